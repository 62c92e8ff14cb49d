// PKCS#1 signatures of data and files against the openssl command (a separate process): the same
// signature bytes as `openssl dgst -sign`, verified by `openssl dgst -verify` and verifying the
// command's signatures; keys from PKCS#12 files made by `openssl pkcs12`.
#include "RSADataSigning.h"
#include "SMRegistry.h"
#include "SigningTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>

namespace {

using namespace signingtest;

struct Hash
{
    const char* name;
    int nid;
};
const Hash kHashes[] = {
    {"md5", NID_md5}, {"sha1", NID_sha1}, {"sha256", NID_sha256}, {"sha384", NID_sha384}, {"sha512", NID_sha512}};

class RSADataSigningTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        // Larger than one read block, with a short tail.
        m_data.resize(3 * 16384 + 5);
        ASSERT_EQ(1, RAND_bytes(m_data.data(), static_cast<int>(m_data.size())));
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("data"), std::string(m_data.begin(), m_data.end())));
        ASSERT_EQ(0, testutil::RunCommand("openssl pkey -in " + Fixture("rsa.key") + " -pubout -out " +
                                          m_dir.File("rsa.pub")));
    }

    // Signs the data file in memory from the PKCS#12 file; empty with the code in *code on failure.
    Bytes SignData(const std::string& p12, const char* password, int nid, unsigned int* code)
    {
        FilePtr pfx = Open(Fixture(p12));
        unsigned char* sig = nullptr;
        int sigSize = -7;
        *code = RSA_SignData_PKCS1_ByPFX(m_data.data(), static_cast<int>(m_data.size()), pfx.get(), password, nid,
                                         &sig, &sigSize);
        EXPECT_EQ(QOVA_OK == *code, nullptr != sig);  // outputs only on success
        Bytes result = sig ? Bytes(sig, sig + sigSize) : Bytes();
        delete[] sig;
        return result;
    }

    Bytes SignFile(const std::string& p12, const char* password, int nid, unsigned int* code)
    {
        FilePtr pfx = Open(Fixture(p12));
        FilePtr source = Open(m_dir.File("data"));
        unsigned char* sig = nullptr;
        unsigned int sigSize = 7;
        *code = RSA_SignFile_PKCS1_ByPFX(source.get(), pfx.get(), password, nid, &sig, &sigSize);
        EXPECT_EQ(QOVA_OK == *code, nullptr != sig);
        Bytes result = sig ? Bytes(sig, sig + sigSize) : Bytes();
        delete[] sig;
        return result;
    }

    testutil::ScopedTempDir m_dir;
    Bytes m_data;
};

TEST_F(RSADataSigningTest, SignaturesEqualAndVerifyWithTheOpensslCommand)
{
    const std::string certBase64 = Base64(ReadBytes(Fixture("rsa.der")));
    for (const Hash& hash : kHashes) {
        SCOPED_TRACE(hash.name);
        const std::string dgst = "openssl dgst -" + std::string(hash.name);
        ASSERT_EQ(0, testutil::RunCommand(dgst + " -sign " + Fixture("rsa.key") + " -out " + m_dir.File("ref.sig") +
                                          " " + m_dir.File("data")));
        const Bytes reference = ReadBytes(m_dir.File("ref.sig"));

        // PKCS#1 v1.5 is deterministic: ours must be the very same bytes.
        unsigned int code = 0;
        EXPECT_EQ(reference, SignData("rsa.p12", "secret", hash.nid, &code));
        EXPECT_EQ(QOVA_OK, code);
        FilePtr pfx = Open(Fixture("rsa.p12"));
        FilePtr source = Open(m_dir.File("data"));
        char* fileBase64 = nullptr;
        ASSERT_EQ(QOVA_OK, RSA_SignFile_PKCS1(source.get(), pfx.get(), "secret", hash.nid, ATL_BASE64_FLAG_NOCRLF,
                                              &fileBase64));
        const std::string fileSignature = fileBase64;
        delete[] fileBase64;
        EXPECT_EQ(testutil::ReplaceAll(Base64(reference), "\r\n", ""), fileSignature);

        ASSERT_TRUE(testutil::WriteFile(m_dir.File("ours.sig"), std::string(reference.begin(), reference.end())));
        EXPECT_EQ(0, testutil::RunCommand(dgst + " -verify " + m_dir.File("rsa.pub") + " -signature " +
                                          m_dir.File("ours.sig") + " " + m_dir.File("data") + " >/dev/null"));

        // The command's signature verifies with ours, in memory and over the file (its stream left
        // at the end: the whole file is read from its start).
        const std::string sigBase64 = Base64(reference);
        EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS1(m_data.data(), static_cast<int>(m_data.size()),
                                                         certBase64.c_str(), hash.nid, sigBase64.c_str()));
        fseek(source.get(), 0, SEEK_END);
        EXPECT_EQ(QOVA_OK, RSA_VerifyFileSignature_PKCS1(source.get(), certBase64.c_str(), hash.nid, sigBase64.c_str()));
        // Checked with another digest it fails.
        const int other = hash.nid == NID_sha256 ? NID_sha1 : NID_sha256;
        EXPECT_EQ(QOVA_E_BAD_SIGNATURE, RSA_VerifyFileSignature_PKCS1(source.get(), certBase64.c_str(), other,
                                                                      sigBase64.c_str()));
    }
}

TEST_F(RSADataSigningTest, ChangedSignaturesDataAndDigestsFail)
{
    unsigned int code = 0;
    const Bytes good = SignFile("rsa.p12", "secret", NID_sha256, &code);
    ASSERT_EQ(QOVA_OK, code);
    const Bytes certDer = ReadBytes(Fixture("rsa.der"));
    const Bytes sm2Der = ReadBytes(Fixture("sm2.der"));

    struct Case
    {
        const char* name;
        std::function<void(Bytes& sig, Bytes& data, Bytes& cert)> change;
        int nid;
        unsigned int dataCode, fileCode;
    };
    const Case kCases[] = {
        {"unchanged", [](Bytes&, Bytes&, Bytes&) {}, NID_sha256, QOVA_OK, QOVA_OK},
        {"one bit of the signature", [](Bytes& s, Bytes&, Bytes&) { s[100] ^= 0x10; }, NID_sha256,
         QOVA_E_BAD_SIGNATURE, QOVA_E_BAD_SIGNATURE},
        {"signature one byte short", [](Bytes& s, Bytes&, Bytes&) { s.pop_back(); }, NID_sha256,
         QOVA_E_BAD_SIGNATURE, QOVA_E_BAD_SIGNATURE},
        {"one bit of the data", [](Bytes&, Bytes& d, Bytes&) { d[20000] ^= 1; }, NID_sha256, QOVA_E_BAD_SIGNATURE,
         QOVA_E_BAD_SIGNATURE},
        {"one byte appended", [](Bytes&, Bytes& d, Bytes&) { d.push_back(0); }, NID_sha256, QOVA_E_BAD_SIGNATURE,
         QOVA_E_BAD_SIGNATURE},
        // A NID that names no digest: the file check passes the digest's code up, the data check
        // reports a plain failure.
        {"no digest", [](Bytes&, Bytes&, Bytes&) {}, NID_rsaEncryption, QOVA_E_FAIL, QOVA_E_BAD_ALGID},
        {"SM2 certificate", [&](Bytes&, Bytes&, Bytes& c) { c = sm2Der; }, NID_sha256, QOVA_E_FAIL, QOVA_E_FAIL},
        {"no certificate", [](Bytes&, Bytes&, Bytes& c) { c.clear(); }, NID_sha256, QOVA_E_FAIL, QOVA_E_FAIL},
        {"certificate cut short", [](Bytes&, Bytes&, Bytes& c) { c.resize(c.size() - 1); }, NID_sha256,
         QOVA_E_FAIL, QOVA_E_FAIL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes sig = good, data = m_data, cert = certDer;
        c.change(sig, data, cert);
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("changed"), std::string(data.begin(), data.end())));
        FilePtr source = Open(m_dir.File("changed"));
        EXPECT_EQ(c.dataCode, RSA_VerifyDataSignature_DERPKCS1_ByDERCert(
                                  data.data(), static_cast<int>(data.size()), cert.empty() ? nullptr : cert.data(),
                                  static_cast<int>(cert.size()), c.nid, sig.data(), static_cast<int>(sig.size())));
        EXPECT_EQ(c.fileCode, RSA_VerifyFileSignature_PKCS1_ByDERCertContent(
                                  source.get(), cert.empty() ? nullptr : cert.data(), static_cast<int>(cert.size()),
                                  c.nid, sig.data(), static_cast<int>(sig.size())));
    }
}

TEST_F(RSADataSigningTest, KeysThatMayNotSignAreRefusedBeforeSigning)
{
    struct Case
    {
        const char* name;
        const char* p12;
        const char* password;
        int nid;
        unsigned int code;
    };
    const Case kCases[] = {
        {"no keyUsage", "noku.p12", "secret", NID_sha256, QOVA_E_KEY_USAGE},
        {"keyUsage without digitalSignature", "keyenc.p12", "secret", NID_sha256, QOVA_E_KEY_USAGE},
        {"SM2 key", "sm2.p12", "secret", NID_sha256, QOVA_E_FAIL},
        {"wrong password", "rsa.p12", "wrong", NID_sha256, QOVA_E_FAIL},
        {"no digest", "rsa.p12", "secret", NID_rsaEncryption, QOVA_E_BAD_ALGID},
        {"key too short for the DigestInfo", "rsa512.p12", "secret", NID_sha512, QOVA_E_FAIL},
        {"short key, short enough digest", "rsa512.p12", "secret", NID_sha256, QOVA_OK},
        {"SM3", "rsa.p12", "secret", kNidSm3, QOVA_OK},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        unsigned int code = 0;
        const Bytes dataSig = SignData(c.p12, c.password, c.nid, &code);
        EXPECT_EQ(c.code, code);
        const Bytes fileSig = SignFile(c.p12, c.password, c.nid, &code);
        EXPECT_EQ(c.code, code);
        EXPECT_EQ(dataSig, fileSig);
    }
}

// The library's RSA signer refuses SM3 as a signature digest: the SM3 DigestInfo must still be
// signed (parameters NULL) and checked (parameters NULL or absent), against the openssl command's
// raw PKCS#1 v1.5 operations.
TEST_F(RSADataSigningTest, Sm3DigestInfoIsSignedAndCheckedThoughTheLibraryRefusesSm3)
{
    using testutil::HexToBytes;
    ASSERT_EQ(0, testutil::RunCommand("openssl dgst -sm3 -binary -out " + m_dir.File("sm3") + " " + m_dir.File("data")));
    const Bytes digest = ReadBytes(m_dir.File("sm3"));
    ASSERT_EQ(32u, digest.size());
    auto digestInfo = [&](const std::string& headHex) {
        Bytes der = HexToBytes(headHex);
        der.insert(der.end(), digest.begin(), digest.end());
        return der;
    };
    const std::string sm3Oid = "06082a811ccf55018311";  // 1.2.156.10197.1.401
    const Bytes withNull = digestInfo("3030300c" + sm3Oid + "05000420");
    const Bytes withoutParameters = digestInfo("302e300a" + sm3Oid + "0420");

    // Signatures the command makes over DigestInfos written here, checked by ours.
    Bytes trailing = withNull;
    trailing.push_back(0);
    const Bytes sha256Identifier = digestInfo("3031300d060960864801650304020105000420");
    const struct
    {
        const char* name;
        Bytes digestInfo;
        unsigned int code;
    } cases[] = {
        {"NULL parameters", withNull, QOVA_OK},
        {"no parameters", withoutParameters, QOVA_OK},
        {"an octet after the DigestInfo", trailing, QOVA_E_BAD_SIGNATURE},
        {"identifier of SHA-256", sha256Identifier, QOVA_E_BAD_SIGNATURE},
    };
    const std::string certBase64 = Base64(ReadBytes(Fixture("rsa.der")));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteBytes(m_dir.File("di"), c.digestInfo));
        ASSERT_EQ(0, testutil::RunCommand("openssl pkeyutl -sign -inkey " + Fixture("rsa.key") +
                                          " -pkeyopt rsa_padding_mode:pkcs1 -in " + m_dir.File("di") + " -out " +
                                          m_dir.File("ref.sig")));
        const std::string sigBase64 = Base64(ReadBytes(m_dir.File("ref.sig")));
        EXPECT_EQ(c.code, RSA_VerifyDataSignature_PKCS1(m_data.data(), static_cast<int>(m_data.size()),
                                                        certBase64.c_str(), kNidSm3, sigBase64.c_str()));
        FilePtr source = Open(m_dir.File("data"));
        EXPECT_EQ(c.code, RSA_VerifyFileSignature_PKCS1(source.get(), certBase64.c_str(), kNidSm3, sigBase64.c_str()));
    }

    // Ours recovers to the DigestInfo with NULL parameters.
    unsigned int code = 0;
    const Bytes signature = SignData("rsa.p12", "secret", kNidSm3, &code);
    ASSERT_EQ(QOVA_OK, code);
    ASSERT_TRUE(WriteBytes(m_dir.File("ours.sig"), signature));
    std::string parsed;
    ASSERT_EQ(0, testutil::RunCommand("openssl pkeyutl -verifyrecover -pubin -inkey " + m_dir.File("rsa.pub") +
                                      " -in " + m_dir.File("ours.sig") + " -out " + m_dir.File("recovered") +
                                      " && openssl asn1parse -inform DER -in " + m_dir.File("recovered"),
                                      &parsed));
    EXPECT_EQ(withNull, ReadBytes(m_dir.File("recovered")));
    EXPECT_NE(std::string::npos, parsed.find("OBJECT            :sm3")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("prim: NULL")) << parsed;
    std::string digestHex = testutil::BytesToHex(digest.data(), digest.size());
    std::transform(digestHex.begin(), digestHex.end(), digestHex.begin(), ::toupper);
    EXPECT_NE(std::string::npos, parsed.find("[HEX DUMP]:" + digestHex)) << parsed;
}

TEST_F(RSADataSigningTest, EmptyFileWithKeyObjectAndBase64Layers)
{
    FilePtr keyFile = Open(Fixture("rsa.key"));
    EVP_PKEY* key = PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, key);
    ASSERT_TRUE(testutil::WriteFile(m_dir.File("empty"), ""));
    FilePtr empty = Open(m_dir.File("empty"));
    unsigned char* sig = nullptr;
    unsigned int sigSize = 0;
    ASSERT_EQ(QOVA_OK, RSA_SignFile_PKCS1_ByPrivateKey(empty.get(), key, NID_sha256, &sig, &sigSize));
    EVP_PKEY_free(key);
    EXPECT_EQ(256u, sigSize);
    ASSERT_TRUE(testutil::WriteFile(m_dir.File("empty.sig"), std::string(sig, sig + sigSize)));
    delete[] sig;
    EXPECT_EQ(0, testutil::RunCommand("openssl dgst -sha256 -verify " + m_dir.File("rsa.pub") + " -signature " +
                                      m_dir.File("empty.sig") + " " + m_dir.File("empty") + " >/dev/null"));

    // Base64 with 76-character lines and its length; the verifier skips the line breaks.
    FilePtr pfx = Open(Fixture("rsa.p12"));
    char* text = nullptr;
    int textLength = 0;
    ASSERT_EQ(QOVA_OK, RSA_SignData_PKCS1(nullptr, 0, pfx.get(), "secret", NID_sha256, ATL_BASE64_FLAG_NONE, &text,
                                          &textLength));
    const std::string lines = text;
    delete[] text;
    EXPECT_EQ(static_cast<size_t>(textLength), lines.size());
    EXPECT_NE(std::string::npos, lines.find("\r\n"));
    const std::string certLines = Base64(ReadBytes(Fixture("rsa.der")));
    EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS1(nullptr, 0, certLines.c_str(), NID_sha256, lines.c_str()));
    EXPECT_EQ(QOVA_OK, RSA_VerifyFileSignature_PKCS1(empty.get(), certLines.c_str(), NID_sha256, lines.c_str()));
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_VerifyFileSignature_PKCS1(empty.get(), nullptr, NID_sha256, lines.c_str()));
}

}  // namespace
