// The SignedData encoder against independent readers: `openssl cms` and `openssl smime` verify our
// RSA structures and our SM2 structure under the standard identifiers (separate processes), and the
// openssl command's output parses with ours.
#include "PKCS7SignedDataOperations.h"
#include "RSADataSigning.h"
#include "SMRegistry.h"
#include "SigningTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>

namespace {

using namespace signingtest;

class PKCS7SignedDataTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        // Text without line breaks reads the same in the commands' text and binary modes.
        m_content.resize(20000);
        for (size_t i = 0; i < m_content.size(); ++i)
            m_content[i] = static_cast<unsigned char>('a' + i * 7 % 26);
        ASSERT_TRUE(WriteBytes(File("data"), m_content));
        m_spec.cert = ReadBytes(Fixture("rsa.der"));
    }

    std::string File(const std::string& name) const { return m_dir.File(name); }

    // Exit status of `openssl cms|smime -verify` over a DER structure (detached: with the data file).
    int OpensslVerify(const char* command, const Bytes& der, bool detached, std::string* output)
    {
        EXPECT_TRUE(WriteBytes(File("sig.der"), der));
        return testutil::RunCommand(std::string("openssl ") + command + " -verify -noverify -inform DER -in " +
                                        File("sig.der") + (detached ? " -content " + File("data") : "") +
                                        " -out " + File("verified") + " 2>&1",
                                    output);
    }

    Bytes RsaSignature(int nid)
    {
        FilePtr pfx = Open(Fixture("rsa.p12"));
        unsigned char* sig = nullptr;
        int sigSize = 0;
        EXPECT_EQ(QOVA_OK, RSA_SignData_PKCS1_ByPFX(m_content.data(), static_cast<int>(m_content.size()), pfx.get(),
                                                    "secret", nid, &sig, &sigSize));
        return Take(sig, sigSize);
    }

    testutil::ScopedTempDir m_dir;
    Bytes m_content;
    SignedDataSpec m_spec;
};

TEST_F(PKCS7SignedDataTest, RsaStructuresVerifyWithOpensslCmsAndSmime)
{
    struct Hash { const char* name; int nid; const char* oid; };
    const Hash kHashes[] = {{"md5", NID_md5, "1.2.840.113549.2.5"},
                            {"sha1", NID_sha1, "1.3.14.3.2.26"},
                            {"sha256", NID_sha256, kSha256Oid}};
    for (const Hash& hash : kHashes) {
        for (const bool attached : {false, true}) {
            SCOPED_TRACE(std::string(hash.name) + (attached ? " attached" : " detached"));
            SignedDataSpec spec = m_spec;
            spec.attached = attached;
            spec.content = m_content;
            spec.digestOid = hash.oid;
            spec.signature = RsaSignature(hash.nid);
            Bytes der;
            ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &der));

            std::string output;
            EXPECT_EQ(0, OpensslVerify("cms -binary", der, !attached, &output)) << output;
            EXPECT_EQ(0, OpensslVerify("smime", der, !attached, &output)) << output;
            if (attached) {
                EXPECT_EQ(m_content, ReadBytes(File("verified")));
            }

            const ParsedSignedData parsed = ParseSignedData(der);
            ASSERT_EQ(QOVA_OK, parsed.code);
            EXPECT_EQ(spec.cert, parsed.cert);
            EXPECT_EQ(spec.signature, parsed.signature);
            EXPECT_EQ(attached ? m_content : Bytes(), parsed.content);
            EXPECT_EQ(hash.oid, parsed.digestOid);
            EXPECT_EQ(kRsaEncryptionOid, parsed.encryptionOid);
        }
    }
}

// The encoder measures every leaf and checks every write: file content larger than the engine's
// file chunk and the digest's read block must neither overrun the memory buffer nor come out short.
TEST_F(PKCS7SignedDataTest, AttachedFileContentLargerThanOneReadBufferIsCopiedWhole)
{
    Bytes big(3 * 1024 * 1024 + 16384 + 777);
    ASSERT_EQ(1, RAND_bytes(big.data(), static_cast<int>(big.size())));
    ASSERT_TRUE(WriteBytes(File("big"), big));
    FilePtr source = Open(File("big"));
    FilePtr pfx = Open(Fixture("rsa.p12"));
    unsigned char* sig = nullptr;
    unsigned int sigSize = 0;
    ASSERT_EQ(QOVA_OK, RSA_SignFile_PKCS1_ByPFX(source.get(), pfx.get(), "secret", NID_sha256, &sig, &sigSize));

    SignedDataSpec spec = m_spec;
    spec.attached = true;
    spec.file = source.get();
    spec.signature = Take(sig, static_cast<int>(sigSize));
    Bytes inMemory, inFile;
    ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &inMemory));
    FilePtr out = Open(File("big.p7"), "w+b");
    int written = 0;
    ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, nullptr, out.get(), &written));
    fflush(out.get());
    inFile = ReadBytes(File("big.p7"));
    EXPECT_EQ(inMemory.size(), static_cast<size_t>(written));
    EXPECT_TRUE(inMemory == inFile);
    EXPECT_TRUE(big == ParseSignedData(inMemory).content);

    // The file reader leaves the content in the file and the position where it was.
    fseek(out.get(), 5, SEEK_SET);
    long long offset = -1;
    int size = -1;
    unsigned char* signature = nullptr;
    int signatureSize = 0;
    ASSERT_EQ(QOVA_OK, ParsePKCS7AttachedSignatureFile(out.get(), nullptr, nullptr, &signature, &signatureSize, &offset,
                                                       &size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr));
    EXPECT_EQ(spec.signature, Take(signature, signatureSize));
    EXPECT_EQ(5, ftell(out.get()));
    ASSERT_EQ(big.size(), static_cast<size_t>(size));
    EXPECT_TRUE(Bytes(inFile.begin() + offset, inFile.begin() + offset + size) == big);

    std::string output;
    EXPECT_EQ(0, testutil::RunCommand("openssl cms -verify -noverify -binary -inform DER -in " + File("big.p7") +
                                          " -out /dev/null 2>&1",
                                      &output))
        << output;
}

TEST_F(PKCS7SignedDataTest, OpensslSignedDataParsesWithOurReaders)
{
    ASSERT_EQ(0, testutil::RunCommand("openssl smime -sign -nodetach -binary -outform DER -md sha256 -signer " +
                                      Fixture("rsa.pem") + " -inkey " + Fixture("rsa.key") + " -in " + File("data") +
                                      " -out " + File("smime.der")));
    Bytes der = ReadBytes(File("smime.der"));
    const unsigned char* p = der.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(nullptr, p7);
    const ASN1_OCTET_STRING* encDigest = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0)->enc_digest;
    const Bytes reference(encDigest->data, encDigest->data + encDigest->length);
    PKCS7_free(p7);

    const ParsedSignedData parsed = ParseSignedData(der);
    ASSERT_EQ(QOVA_OK, parsed.code);
    EXPECT_EQ(m_spec.cert, parsed.cert);
    EXPECT_EQ(reference, parsed.signature);
    EXPECT_EQ(m_content, parsed.content);
    EXPECT_EQ(kSha256Oid, parsed.digestOid);
    EXPECT_TRUE(parsed.unsignedAttributes.empty());

    // The messageDigest attribute holds SHA-256 of the content as the openssl command computes it.
    std::string digest;
    ASSERT_EQ(0, testutil::RunCommand("openssl dgst -sha256 -r " + File("data"), &digest));
    Bytes attrs = parsed.signedAttributes;
    ASSERT_EQ(0xA0, attrs.at(0));
    unsigned char* values = nullptr;
    int valuesSize = 0;
    ASSERT_EQ(QOVA_OK, ParseSignedUnsignedAttributes(attrs.data(), static_cast<int>(attrs.size()),
                                                     "1.2.840.113549.1.9.4", &values, &valuesSize));
    EXPECT_EQ("0420" + digest.substr(0, 64), testutil::BytesToHex(values, static_cast<size_t>(valuesSize)));
    delete[] values;

    // The library's reader gives the same pieces.
    X509* cert = nullptr;
    int digestNID = 0;
    unsigned char *signature = nullptr, *content = nullptr;
    int signatureSize = 0, contentSize = 0;
    ASSERT_EQ(QOVA_OK, DecodeRSAPKCS7Signature(der.data(), static_cast<int>(der.size()), &cert, &digestNID, &signature,
                                               &signatureSize, &content, &contentSize));
    unsigned char* certDer = nullptr;
    const int certDerSize = i2d_X509(cert, &certDer);
    EXPECT_EQ(m_spec.cert, Bytes(certDer, certDer + certDerSize));
    OPENSSL_free(certDer);
    X509_free(cert);
    EXPECT_EQ(NID_sha256, digestNID);
    EXPECT_EQ(reference, Take(signature, signatureSize));
    EXPECT_EQ(m_content, Take(content, contentSize));
}

// e = SM3(content) without Z, signed by the openssl command with the fixture's SM2 key; the DER it
// gives converts to r||s, and encoding 0x400 under the standard identifiers verifies with
// `openssl cms` on OpenSSL 3.0. The SM forms parse back to the same r||s.
TEST_F(PKCS7SignedDataTest, SM2SignedDataParsesBackAndVerifiesWithOpensslUnderStandardIdentifiers)
{
    ASSERT_EQ(0, testutil::RunCommand("openssl dgst -sm3 -binary -out " + File("e") + " " + File("data") +
                                      " && openssl pkeyutl -sign -inkey " + Fixture("sm2.key") + " -in " + File("e") +
                                      " -out " + File("sm2.sig")));
    Bytes tokenForm = ReadBytes(File("sm2.sig"));
    unsigned char* rs = nullptr;
    int rsSize = 0;
    ASSERT_EQ(QOVA_OK, Decode_SM2Q1(tokenForm.data(), static_cast<int>(tokenForm.size()), &rs, &rsSize));
    const Bytes raw = Take(rs, rsSize);
    ASSERT_EQ(64u, raw.size());

    SignedDataSpec spec = m_spec;
    spec.cert = ReadBytes(Fixture("sm2.der"));
    spec.digestOid = kSm3Oid;
    spec.encryptionOid = kSM2SignatureOid;
    spec.signature = raw;
    spec.encodedType = SIGNATURE_ENCODED_SM2_DER_OCTETS;
    for (const bool attached : {false, true}) {
        SCOPED_TRACE(attached ? "attached" : "detached");
        spec.attached = attached;
        spec.content = m_content;
        Bytes der;
        ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &der));
        std::string output;
        EXPECT_EQ(0, OpensslVerify("cms -binary", der, !attached, &output)) << output;
        // Under the standard type the OCTET STRING comes back as it stands.
        const ParsedSignedData parsed = ParseSignedData(der);
        ASSERT_EQ(QOVA_OK, parsed.code);
        unsigned char* back = nullptr;
        int backSize = 0;
        Bytes q1 = parsed.signature;
        ASSERT_EQ(QOVA_OK, Decode_SM2Q1(q1.data(), static_cast<int>(q1.size()), &back, &backSize));
        EXPECT_EQ(raw, Take(back, backSize));
    }

    spec.contentInfoOid = kSMSignedDataOid;
    spec.contentTypeOid = kSMDataOid;
    for (const unsigned long type : {SIGNATURE_ENCODED_SM2_INTEGERS, SIGNATURE_ENCODED_SM2_SEQUENCE,
                                     SIGNATURE_ENCODED_SM2_DER_OCTETS}) {
        SCOPED_TRACE(type);
        spec.encodedType = type;
        Bytes der;
        ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &der));
        EXPECT_EQ(raw, ParseSignedData(der, 1).signature);
        // Without decoding, the DER form stays DER; the INTEGER forms are always r||s.
        unsigned char* q1 = nullptr;
        int q1Size = 0;
        ASSERT_EQ(QOVA_OK, Encode_SM2Q1(spec.signature.data(), 32, spec.signature.data() + 32, 32, &q1, &q1Size));
        EXPECT_EQ(SIGNATURE_ENCODED_SM2_DER_OCTETS == type ? Take(q1, q1Size) : (delete[] q1, raw),
                  ParseSignedData(der, 0).signature);
    }
}

TEST_F(PKCS7SignedDataTest, EncodingCodesAndSignatureSizes)
{
    // r starts with 0x9A (an INTEGER of 33 octets), s with 0x12 (32 octets).
    Bytes raw(64);
    ASSERT_EQ(1, RAND_bytes(raw.data(), 64));
    raw[0] = 0x9A;
    raw[32] = 0x12;
    m_spec.signature = raw;
    m_spec.encodedType = SIGNATURE_ENCODED_SM2_DER_OCTETS;
    Bytes der;
    ASSERT_EQ(QOVA_OK, EncodeSignedData(m_spec, &der));
    const Bytes q1 = ParseSignedData(der, 0).signature;
    ASSERT_EQ(71u, q1.size());
    EXPECT_EQ("30450221009a", testutil::BytesToHex(q1.data(), 6));
    EXPECT_EQ("022012", testutil::BytesToHex(q1.data() + 37, 3));

    // An r that starts with 0x00 loses it: 32 octets with a leading zero are not DER, and strict
    // verifiers refuse such a signature.
    raw[0] = 0x00;
    raw[1] = 0x5A;
    unsigned char* out = nullptr;
    int outSize = 0;
    ASSERT_EQ(QOVA_OK, Encode_SM2Q1(raw.data(), 32, raw.data() + 32, 32, &out, &outSize));
    EXPECT_EQ("3043021f5a", testutil::BytesToHex(out, 5));
    delete[] out;

    struct Case { const char* name; unsigned long type; size_t size; unsigned int code; };
    const Case kCases[] = {
        {"0x300", 0x300, 64, QOVA_E_INVALIDARG},        {"0x101", 0x101, 64, QOVA_E_INVALIDARG},
        {"0x800", 0x800, 64, QOVA_E_INVALIDARG},        {"0x100 of 63 octets", 0x100, 63, QOVA_E_INVALIDARG},
        {"0x200 of 65 octets", 0x200, 65, QOVA_E_INVALIDARG}, {"0x400 of 0 octets", 0x400, 0, QOVA_E_INVALIDARG},
        {"RSA of any size", 0x000, 3, QOVA_OK},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        SignedDataSpec spec = m_spec;
        spec.encodedType = c.type;
        spec.signature.resize(c.size);
        // The attribute nodes are released on every path (the sanitizer sees a leak or a double free).
        ASSERT_EQ(QOVA_OK, ConstructNode_SignedAttributes_SingleItem("1.2.840.113549.1.9.3", const_cast<unsigned char*>(
            reinterpret_cast<const unsigned char*>("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01")), 11,
            &spec.signedAttributes));
        Bytes out;
        EXPECT_EQ(c.code, EncodeSignedData(spec, &out));
        EXPECT_EQ(QOVA_OK == c.code, !out.empty());
    }

    // Attached without data or file; no output asked for; empty content.
    SignedDataSpec spec = m_spec;
    spec.signature = Bytes(8, 1);
    spec.encodedType = SIGNATURE_ENCODED_OCTET_STRING;
    spec.attached = true;
    unsigned char* none = nullptr;
    int noneSize = 0;
    EXPECT_EQ(QOVA_E_FAIL, Encode_PKCS7Signature(spec.cert.data(), static_cast<int>(spec.cert.size()), nullptr, 0,
                                                 nullptr, true, kSignedDataOid, kDataOid, kSha256Oid, nullptr,
                                                 kRsaEncryptionOid, spec.signature.data(), 8, 0, nullptr, &none,
                                                 &noneSize, nullptr, nullptr));
    EXPECT_EQ(QOVA_OK, EncodeSignedData(spec, nullptr));
    ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &der));
    const Bytes emptyContent = {0xA0, 0x02, 0x04, 0x00};
    EXPECT_NE(der.end(), std::search(der.begin(), der.end(), emptyContent.begin(), emptyContent.end()));
    const ParsedSignedData parsed = ParseSignedData(der);
    EXPECT_TRUE(parsed.hasContent);
    EXPECT_TRUE(parsed.content.empty());

    // Attached file content of 2^31 octets or more would not fit the int sizes: refused.
    cookie_io_functions_t hugeFile = {};
    hugeFile.seek = [](void* cookie, off64_t* offset, int whence) {
        long long& position = *static_cast<long long*>(cookie);
        position = (whence == SEEK_END ? 0x80000000LL : whence == SEEK_CUR ? position : 0) + *offset;
        *offset = position;
        return 0;
    };
    long long position = 0;
    spec.file = fopencookie(&position, "r", hugeFile);
    ASSERT_NE(nullptr, spec.file);
    EXPECT_EQ(QOVA_E_READ_FAULT, EncodeSignedData(spec, &der));
    fclose(spec.file);
}

}  // namespace
