// Helpers of the envelope-decryption tests: envelopes assembled from parts that the openssl command
// (SM2 key wrapping, content encryption) or OpenSSL's own RSA made, the recipients' fixtures
// (tests/fixtures/make-decrypt-fixtures.sh and the token test bed's), and the module list over the
// test module and SoftHSM2.
#ifndef VARNELL_TOKENSVC_DECRYPT_TEST_UTIL_H
#define VARNELL_TOKENSVC_DECRYPT_TEST_UTIL_H

#include "CMSStructures.h"
#include "DataEncrypt.h"
#include "P11TestBed.h"
#include "TestUtil.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <string>

namespace dectest {

inline std::string Fixture(const std::string& name)
{
    return std::string(DECRYPT_FIXTURE_DIR) + "/" + name;
}

const char kOidEnvelopedData[] = "1.2.840.113549.1.7.3";
const char kOidData[] = "1.2.840.113549.1.7.1";
const char kOidSmEnvelopedData[] = "1.2.156.10197.6.1.4.2.3";
const char kOidSmData[] = "1.2.156.10197.6.1.4.2.1";
const char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";
const char kOidSm2Encryption[] = "1.2.156.10197.1.301.3";
const char kOidSm4Cbc[] = "1.2.156.10197.1.104";
const char kOidDes3Cbc[] = "1.2.840.113549.3.7";
const char kOidAes128Cbc[] = "2.16.840.1.101.3.4.1.2";

inline unsigned char* U(const std::string& s)
{
    return reinterpret_cast<unsigned char*>(const_cast<char*>(s.data()));
}
inline int N(const std::string& s)
{
    return static_cast<int>(s.size());
}
inline std::string Hex(const std::string& s)
{
    return testutil::BytesToHex(U(s), s.size());
}

inline std::string Random(size_t n)
{
    std::string bytes(n, '\0');
    EXPECT_EQ(1, RAND_bytes(U(bytes), static_cast<int>(n)));
    return bytes;
}

// The parts of an envelope; each may be anything, so that broken envelopes are made as easily.
struct EnvelopeSpec
{
    std::string rid;
    std::string keyOID;
    std::string wrappedKey;
    std::string contentOID;
    std::string params;   // DER, written unchanged after the content cipher's identifier
    std::string content;
    bool sm = false;      // SM content types instead of PKCS#7 ones
};

inline std::string OctetString(const std::string& value)
{
    return std::string(1, '\x04') + static_cast<char>(value.size()) + value;
}

inline std::string Encode(const EnvelopeSpec& spec)
{
    unsigned char* out = nullptr;
    int size = 0;
    EXPECT_EQ(QOVA_OK, Encode_CMSEnvelope(spec.sm ? kOidSmEnvelopedData : kOidEnvelopedData, U(spec.rid),
                                          N(spec.rid), spec.keyOID.c_str(), U(spec.wrappedKey), N(spec.wrappedKey),
                                          spec.sm ? kOidSmData : kOidData, spec.contentOID.c_str(), U(spec.params),
                                          N(spec.params), U(spec.content), N(spec.content), &out, &size));
    const std::string der = out ? std::string(reinterpret_cast<char*>(out), size) : std::string();
    delete[] out;
    return der;
}

inline bool Openssl(const std::string& arguments)
{
    return 0 == testutil::RunCommand("openssl " + arguments + " >/dev/null 2>&1");
}

// Data through `openssl enc` in a separate process (cipher as enc names it; IV empty for none).
inline std::string OpensslEnc(const testutil::ScopedTempDir& dir, const std::string& cipher, const std::string& key,
                              const std::string& iv, const std::string& data, bool decrypt = false)
{
    EXPECT_TRUE(testutil::WriteFile(dir.File("enc.in"), data));
    const std::string args = std::string("enc ") + (decrypt ? "-d " : "") + "-" + cipher + " -K " + Hex(key) +
                             (iv.empty() ? "" : " -iv " + Hex(iv)) + " -in " + dir.File("enc.in") + " -out " +
                             dir.File("enc.out");
    EXPECT_TRUE(Openssl(args + (cipher == "rc4" ? " -provider legacy -provider default" : ""))) << args;
    return testutil::ReadFileOrEmpty(dir.File("enc.out"));
}

// A key wrapped for an SM2 public key (PEM) by `openssl pkeyutl`: a DER SM2Cipher.
inline std::string Sm2Wrap(const testutil::ScopedTempDir& dir, const std::string& pubPem, const std::string& key)
{
    EXPECT_TRUE(testutil::WriteFile(dir.File("key.in"), key));
    EXPECT_TRUE(Openssl("pkeyutl -encrypt -pubin -inkey " + pubPem + " -in " + dir.File("key.in") + " -out " +
                        dir.File("key.sm2")));
    return testutil::ReadFileOrEmpty(dir.File("key.sm2"));
}

// A key wrapped with PKCS#1 v1.5 for an RSA certificate (PEM) by `openssl pkeyutl`.
inline std::string RsaWrap(const testutil::ScopedTempDir& dir, const std::string& certPem, const std::string& key)
{
    EXPECT_TRUE(testutil::WriteFile(dir.File("key.in"), key));
    EXPECT_TRUE(Openssl("pkeyutl -encrypt -certin -inkey " + certPem + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
                        dir.File("key.in") + " -out " + dir.File("key.rsa")));
    return testutil::ReadFileOrEmpty(dir.File("key.rsa"));
}

// The subject key identifier octets of a DER certificate, by OpenSSL.
inline std::string SkiOf(const std::string& derPath)
{
    const std::string der = testutil::ReadFileOrEmpty(derPath);
    const unsigned char* p = U(der);
    X509* cert = d2i_X509(nullptr, &p, N(der));
    const ASN1_OCTET_STRING* ski = cert ? X509_get0_subject_key_id(cert) : nullptr;
    const std::string out = ski ? std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(ski)),
                                              static_cast<size_t>(ASN1_STRING_length(ski)))
                                : std::string();
    X509_free(cert);
    return out;
}

// An SM2 envelope for the fixture recipient sm2enc: SM4-CBC content by `openssl enc`, the key
// wrapped by `openssl pkeyutl`.
inline std::string Sm2Envelope(const testutil::ScopedTempDir& dir, const std::string& plain,
                               const std::string& key, const std::string& iv)
{
    EnvelopeSpec spec;
    spec.sm = true;
    spec.rid = SkiOf(Fixture("sm2enc.der"));
    spec.keyOID = kOidSm2Encryption;
    spec.wrappedKey = Sm2Wrap(dir, Fixture("sm2enc.pub.pem"), key);
    spec.contentOID = kOidSm4Cbc;
    spec.params = OctetString(iv);
    spec.content = OpensslEnc(dir, "sm4-cbc", key, iv, plain);
    return Encode(spec);
}

// The test module's objects of the SM2 recipient sm2enc under CKA_ID "k", and its token "t" (PIN
// 1234) holding them.
inline std::string Sm2RecipientObjects()
{
    return "sm2key k key " + Fixture("sm2enc.key") + "\ncert k l " + Fixture("sm2enc.der") + "\n";
}
inline std::string Sm2RecipientToken()
{
    return "token t 1234\n" + Sm2RecipientObjects();
}
const std::string kSm2Pin = "1234";

// Plaintext and code of one decryption.
struct Decrypted
{
    unsigned int code = QOVA_E_FAIL;
    std::string plain;
    bool terminated = false;   // a zero byte follows the plaintext
};

inline Decrypted DecryptDer(void* list, const std::string& pin, const std::string& der)
{
    Decrypted out;
    unsigned char* plain = nullptr;
    int size = -1;
    out.code = DecryptCMSEnvelope_DER(list, U(pin), N(pin), U(der), N(der), &plain, &size);
    if (plain) {
        out.plain.assign(reinterpret_cast<char*>(plain), static_cast<size_t>(size));
        out.terminated = 0 == plain[size];
    }
    delete[] plain;
    return out;
}

}  // namespace dectest

#endif
