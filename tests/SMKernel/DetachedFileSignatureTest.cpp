// Detached PKCS#7 file signatures (the module signature files): ours verified by `openssl cms` and
// `openssl smime` in a separate process, and the openssl command's detached signatures verified by
// ours; keys from PKCS#12 files made by `openssl pkcs12`.
#include "PKCS7SignedDataOperations.h"
#include "RSADataSigning.h"
#include "SMRegistry.h"
#include "SigningTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <string>

namespace {

using namespace signingtest;

class DetachedFileSignatureTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        // Larger than one read block, with a short tail.
        Bytes data(5 * 16384 + 3);
        ASSERT_EQ(1, RAND_bytes(data.data(), static_cast<int>(data.size())));
        ASSERT_TRUE(WriteBytes(File("data"), data));
    }

    std::string File(const std::string& name) const { return m_dir.File(name); }

    // Base64 signature of the data file; empty with the code in *code on failure.
    std::string Sign(const std::string& p12, int nid, bool accurate, unsigned long flags, unsigned int* code)
    {
        FilePtr pfx = Open(Fixture(p12));
        FilePtr source = Open(File("data"));
        char* text = nullptr;
        *code = RSA_SignFile_PKCS7Detached(source.get(), pfx.get(), "secret", nid, accurate, flags, &text);
        const std::string result = text ? text : "";
        delete[] text;
        return result;
    }

    // Our verifier over a DER signature file and the named data file; the signer certificate in *cert.
    unsigned int Verify(const Bytes& der, const std::string& dataFile, Bytes* cert = nullptr)
    {
        FilePtr source = Open(File(dataFile));
        Bytes copy = der;
        unsigned char* signer = nullptr;
        int signerSize = 0;
        const unsigned int code = RSA_VerifyFileSignature_DERPKCS7Detached(
            copy.data(), static_cast<int>(copy.size()), source.get(), cert ? &signer : nullptr, &signerSize);
        if (cert)
            *cert = Take(signer, signerSize);
        return code;
    }

    // The openssl command's own SignedData of the data file (DER) with extra options.
    Bytes OpensslSign(const std::string& signer, const std::string& options)
    {
        const int status = testutil::RunCommand("openssl cms -sign -binary -outform DER -signer " + Fixture(signer + ".pem") +
                                                " -inkey " + Fixture(signer + ".key") + " -in " + File("data") +
                                                " -out " + File("ossl.der") + " " + options);
        EXPECT_EQ(0, status) << options;
        return ReadBytes(File("ossl.der"));
    }

    testutil::ScopedTempDir m_dir;
};

TEST_F(DetachedFileSignatureTest, OursVerifyWithOpensslAndOursWithTheSignerCertificate)
{
    struct Hash { const char* name; int nid; };
    const Hash kHashes[] = {{"md5", NID_md5},       {"sha1", NID_sha1},     {"sha256", NID_sha256},
                            {"sha384", NID_sha384}, {"sha512", NID_sha512}};
    const Bytes signerDer = ReadBytes(Fixture("rsa.der"));
    for (const Hash& hash : kHashes) {
        for (const bool accurate : {true, false}) {
            SCOPED_TRACE(std::string(hash.name) + (accurate ? " with its signature OID" : " with rsaEncryption"));
            unsigned int code = 0;
            // 76-character lines with CRLF, as signature files are written.
            const std::string text = Sign("rsa.p12", hash.nid, accurate, ATL_BASE64_FLAG_NONE, &code);
            ASSERT_EQ(QOVA_OK, code);
            ASSERT_NE(std::string::npos, text.find("\r\n"));
            ASSERT_TRUE(testutil::WriteFile(File("sig.b64"), text));
            ASSERT_EQ(0, testutil::RunCommand("openssl base64 -d -in " + File("sig.b64") + " -out " + File("sig.der")));
            const std::string check = " -noverify -binary -inform DER -in " + File("sig.der") + " -content " +
                                      File("data") + " -out /dev/null 2>&1";
            std::string output;
            EXPECT_EQ(0, testutil::RunCommand("openssl cms -verify" + check, &output)) << output;
            EXPECT_EQ(0, testutil::RunCommand("openssl smime -verify" + check, &output)) << output;

            // Ours, from the wrapped text and from the same text on one line, with the stream left at
            // its end: the whole file is read from its start.
            FilePtr source = Open(File("data"));
            fseek(source.get(), 0, SEEK_END);
            for (const std::string& form : {text, testutil::ReplaceAll(text, "\r\n", "")}) {
                unsigned char* cert = nullptr;
                int certSize = 0;
                ASSERT_EQ(QOVA_OK, RSA_VerifyFileSignature_PKCS7Detached(form.c_str(), source.get(), &cert, &certSize));
                EXPECT_EQ(signerDer, Take(cert, certSize));
            }
            // No outputs asked for: the code alone.
            EXPECT_EQ(QOVA_OK, RSA_VerifyFileSignature_PKCS7Detached(text.c_str(), source.get(), nullptr, nullptr));
        }
    }
}

TEST_F(DetachedFileSignatureTest, OpensslDetachedSignaturesVerifyWithOurs)
{
    Bytes cert;
    EXPECT_EQ(QOVA_OK, Verify(OpensslSign("rsa", "-noattr -md sha256"), "data", &cert));
    EXPECT_EQ(ReadBytes(Fixture("rsa.der")), cert);
    // Another certificate beside the signer's: the one the SignerInfo names comes back.
    EXPECT_EQ(QOVA_OK, Verify(OpensslSign("rsa", "-noattr -md sha384 -certfile " + Fixture("noku.pem")), "data", &cert));
    EXPECT_EQ(ReadBytes(Fixture("rsa.der")), cert);
    // The PKCS#7 signer of `openssl smime` too.
    ASSERT_EQ(0, testutil::RunCommand("openssl smime -sign -binary -noattr -outform DER -md sha1 -signer " +
                                      Fixture("rsa.pem") + " -inkey " + Fixture("rsa.key") + " -in " + File("data") +
                                      " -out " + File("smime.der")));
    EXPECT_EQ(QOVA_OK, Verify(ReadBytes(File("smime.der")), "data", &cert));
    EXPECT_EQ(ReadBytes(Fixture("rsa.der")), cert);
}

TEST_F(DetachedFileSignatureTest, SignaturesThatMustNotVerify)
{
    unsigned int code = 0;
    const std::string good = Sign("rsa.p12", NID_sha256, true, ATL_BASE64_FLAG_NOCRLF, &code);
    ASSERT_EQ(QOVA_OK, code);
    const Bytes data = ReadBytes(File("data"));
    Bytes changed = data;
    changed[40000] ^= 0x01;
    ASSERT_TRUE(WriteBytes(File("changed"), changed));
    Bytes appended = data;
    appended.push_back('x');
    ASSERT_TRUE(WriteBytes(File("appended"), appended));

    // A structure that names a digest identifier the library does not know, or one that is no digest.
    const Bytes signerDer = ReadBytes(Fixture("rsa.der"));
    auto encode = [&](const Bytes& signer, const char* oid) {
        Bytes cert = signer, signature(256, 0x5A);
        unsigned char* out = nullptr;
        int outSize = 0;
        EXPECT_EQ(QOVA_OK, Encode_PKCS7Signature(cert.data(), static_cast<int>(cert.size()), nullptr, 0, nullptr,
                                                 false, "1.2.840.113549.1.7.2", "1.2.840.113549.1.7.1", oid, nullptr,
                                                 "1.2.840.113549.1.1.1", signature.data(), 256, 0, nullptr, &out,
                                                 &outSize, nullptr, nullptr));
        return Take(out, outSize);
    };

    struct Case
    {
        const char* name;
        Bytes der;
        const char* dataFile;
        unsigned int code;
    };
    const Bytes ours = [&] {
        unsigned char* der = nullptr;
        int size = 0;
        EXPECT_EQ(QOVA_OK, Base64DecodeEx(good.c_str(), static_cast<int>(good.size()), &der, &size));
        return Take(der, size);
    }();
    const Case kCases[] = {
        {"unchanged", ours, "data", QOVA_OK},
        {"file changed by one byte", ours, "changed", QOVA_E_BAD_SIGNATURE},
        {"file with one byte appended", ours, "appended", QOVA_E_BAD_SIGNATURE},
        {"attached content, even with a good signature", OpensslSign("rsa", "-noattr -md sha256 -nodetach"), "data",
         QOVA_E_PKCS7_SHAPE},
        {"signature over signed attributes", OpensslSign("rsa", "-md sha256"), "data", QOVA_E_BAD_SIGNATURE},
        {"SM2 signer", encode(ReadBytes(Fixture("sm2.der")), "1.2.156.10197.1.401"), "data", QOVA_E_FAIL},
        // Without certificates (and without CRLs) the SignedData lacks an element the reader requires.
        {"no certificates", OpensslSign("rsa", "-noattr -nocerts"), "data", QOVA_E_PKCS7_SHAPE},
        {"certificates without the signer's",
         OpensslSign("rsa", "-noattr -nocerts -certfile " + Fixture("noku.pem") + " -certfile " + Fixture("sm2.pem")),
         "data", QOVA_E_FAIL},
        {"digest identifier unknown to the library", encode(signerDer, "1.2.3.4.5"), "data", QOVA_E_PKCS7_SHAPE},
        {"identifier that names no digest", encode(signerDer, "1.2.840.113549.1.1.1"), "data", QOVA_E_BAD_ALGID},
        {"not DER", Bytes{0x30, 0x03, 0x02, 0x01}, "data", QOVA_E_FAIL},
        {"a bare SEQUENCE", Bytes{0x30, 0x00}, "data", QOVA_E_PKCS7_SHAPE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes cert{0x42};
        EXPECT_EQ(c.code, Verify(c.der, c.dataFile, &cert));
        EXPECT_EQ(QOVA_OK == c.code, !cert.empty());  // the certificate only on success
    }

    FilePtr source = Open(File("data"));
    unsigned char* cert = nullptr;
    EXPECT_EQ(QOVA_E_BASE64_DECODE, RSA_VerifyFileSignature_PKCS7Detached("", source.get(), &cert, nullptr));
    EXPECT_EQ(nullptr, cert);
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_VerifyFileSignature_PKCS7Detached(good.c_str(), nullptr, &cert, nullptr));
}

TEST_F(DetachedFileSignatureTest, SignersThatAreRefused)
{
    struct Case
    {
        const char* name;
        const char* p12;
        int nid;
        unsigned int code;
    };
    const Case kCases[] = {
        {"SM3 has no identifiers here", "rsa.p12", kNidSm3, QOVA_E_FAIL},
        {"SM2 key", "sm2.p12", NID_sha256, QOVA_E_FAIL},
        {"no keyUsage", "noku.p12", NID_sha256, QOVA_E_KEY_USAGE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        unsigned int code = 0;
        EXPECT_EQ("", Sign(c.p12, c.nid, true, ATL_BASE64_FLAG_NOCRLF, &code));
        EXPECT_EQ(c.code, code);
    }
    FilePtr pfx = Open(Fixture("rsa.p12"));
    unsigned char* der = nullptr;
    int size = 0;
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_SignFile_PKCS7Detached_ByPFX(nullptr, pfx.get(), "secret", NID_sha256, true,
                                                                  &der, &size));
    char* text = nullptr;
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_SignFile_PKCS7Detached(pfx.get(), nullptr, "secret", NID_sha256, true, 0, &text));
}

}  // namespace
