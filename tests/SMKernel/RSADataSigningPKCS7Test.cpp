// PKCS#7 signing and verification through the crypto library, checked against the openssl command
// in a separate process both ways (smime and cms verify ours; ours verifies smime's), on the RSA
// fixtures (leaf with digitalSignature, enc without it, an expired leaf).
#include "RSADataSigningPKCS7.h"

#include "Base64.h"
#include "CertificateValidation.h"
#include "ContentTypeRewrite.h"
#include "KernelHolders.h"
#include "LogTestUtil.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using smkernel::BioPtr;
using smkernel::EvpPkeyPtr;
using smkernel::Pkcs7Ptr;
using smkernel::X509Ptr;
using smkernel::X509StorePtr;
using testutil::RunCommand;
using testutil::ShellQuote;
using Bytes = std::vector<unsigned char>;
using Owned = std::unique_ptr<unsigned char[]>;

// Binary content: line ends of both kinds and a NUL must come back unchanged.
const std::string kData("signed\r\ncontent\n\0with a NUL", 27);

std::string Fixture(const std::string& name)
{
    return std::string(VERIFY_FIXTURE_DIR) + "/" + name;
}

Bytes ToBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

unsigned char* Data()
{
    return reinterpret_cast<unsigned char*>(const_cast<char*>(kData.data()));
}

template <typename T>
T* ReadPem(const std::string& name, T* (*read)(FILE*, T**, pem_password_cb*, void*))
{
    FILE* f = fopen(Fixture(name).c_str(), "r");
    T* object = f != nullptr ? read(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr)
        fclose(f);
    return object;
}

Bytes CertDer(const std::string& name)
{
    X509Ptr cert(ReadPem<X509>(name, PEM_read_X509));
    unsigned char* der = nullptr;
    const int len = i2d_X509(cert.get(), &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

std::pair<int, int> LastError()
{
    unsigned long e = 0, last = 0;
    while ((e = ERR_get_error()) != 0)
        last = e;
    return {ERR_GET_LIB(last), ERR_GET_REASON(last)};
}

class RSADataSigningPKCS7 : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("data.bin"), kData));
    }
    void TearDown() override { ERR_clear_error(); }

    Bytes SignByPfx(int hash, bool attached, const char* pfx = "leaf.p12")
    {
        FILE* f = fopen(Fixture(pfx).c_str(), "rb");
        unsigned char* sig = nullptr;
        int len = 0;
        EXPECT_EQ(QOVA_OK, RSA_SignData_PKCS7_ByPFX(Data(), static_cast<int>(kData.size()), f, "secret", hash,
                                                    attached, &sig, &len));
        if (f != nullptr)
            fclose(f);
        Owned owned(sig);
        return sig != nullptr ? Bytes(sig, sig + len) : Bytes();
    }

    std::string Write(const std::string& name, const Bytes& bytes)
    {
        const std::string path = m_dir.File(name);
        EXPECT_TRUE(testutil::WriteFile(path, std::string(bytes.begin(), bytes.end())));
        return path;
    }

    // openssl smime or cms verification without chain check; the content it writes in *content.
    bool OpensslVerifies(const std::string& tool, const std::string& sig, bool detached, std::string* content)
    {
        const std::string out = m_dir.File(tool + ".out");
        const std::string command = "openssl " + tool + " -verify -noverify" + (tool == "cms" ? " -binary" : "") +
                                    " -inform DER -in " + ShellQuote(sig) +
                                    (detached ? " -content " + ShellQuote(m_dir.File("data.bin")) : "") +
                                    " -out " + ShellQuote(out) + " 2>&1";
        std::string log;
        const bool ok = RunCommand(command, &log) == 0;
        *content = testutil::ReadFileOrEmpty(out);
        return ok;
    }

    testutil::ScopedTempDir m_dir;
};

TEST_F(RSADataSigningPKCS7, SignaturesVerifyWithTheOpensslCommandAndWithOurs)
{
    const Bytes leaf = CertDer("leaf.pem");
    for (int hash : {NID_md5, NID_sha1, NID_sha256}) {
        for (bool attached : {true, false}) {
            SCOPED_TRACE(std::string(OBJ_nid2sn(hash)) + (attached ? " attached" : " detached"));
            const Bytes sig = SignByPfx(hash, attached);
            ASSERT_FALSE(sig.empty());

            // The digest asked for, no signed attributes, the signer's certificate only.
            const unsigned char* p = sig.data();
            Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(sig.size())));
            ASSERT_TRUE(p7);
            PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
            ASSERT_NE(nullptr, si);
            EXPECT_EQ(hash, OBJ_obj2nid(si->digest_alg->algorithm));
            EXPECT_LE(sk_X509_ATTRIBUTE_num(si->auth_attr), 0);
            EXPECT_EQ(1, sk_X509_num(p7.get()->d.sign->cert));
            EXPECT_EQ(attached ? 0 : 1, PKCS7_get_detached(p7.get()));

            const std::string path = Write("sig.der", sig);
            for (const std::string tool : {"smime", "cms"}) {
                std::string content;
                EXPECT_TRUE(OpensslVerifies(tool, path, !attached, &content)) << tool;
                EXPECT_EQ(kData, content) << tool;
            }

            unsigned char* cert = nullptr;
            int certSize = 0;
            unsigned char* content = nullptr;
            int contentSize = 0;
            unsigned char* sigBytes = const_cast<unsigned char*>(sig.data());
            const int sigSize = static_cast<int>(sig.size());
            if (attached) {
                ASSERT_EQ(QOVA_OK, RSA_VerifyDataSignature_DERPKCS7Attached(sigBytes, sigSize, &content, &contentSize,
                                                                            &cert, &certSize));
                Owned owned(content);
                EXPECT_EQ(kData, std::string(reinterpret_cast<char*>(content), static_cast<size_t>(contentSize)));
            } else {
                ASSERT_EQ(QOVA_OK, RSA_VerifyDataSignature_DERPKCS7Detached(sigBytes, sigSize, Data(),
                                                                            static_cast<int>(kData.size()), &cert,
                                                                            &certSize));
                std::string changed = kData;
                changed[3] ^= 1;
                EXPECT_EQ(QOVA_E_BAD_SIGNATURE,
                          RSA_VerifyDataSignature_DERPKCS7Detached(
                              sigBytes, sigSize, reinterpret_cast<unsigned char*>(&changed[0]),
                              static_cast<int>(changed.size()), nullptr, nullptr));
                // No content to verify: the attached verification refuses it.
                content = reinterpret_cast<unsigned char*>(8);
                EXPECT_EQ(QOVA_E_BAD_SIGNATURE,
                          RSA_VerifyDataSignature_DERPKCS7Attached(sigBytes, sigSize, &content, &contentSize, nullptr,
                                                                   nullptr));
                EXPECT_EQ(reinterpret_cast<unsigned char*>(8), content);
            }
            Owned ownedCert(cert);
            EXPECT_EQ(leaf, Bytes(cert, cert + certSize));
        }
    }
}

TEST_F(RSADataSigningPKCS7, OpensslSmimeSignaturesVerifyWithOurs)
{
    const Bytes leaf = CertDer("leaf.pem");
    for (bool attached : {true, false}) {
        SCOPED_TRACE(attached ? "attached" : "detached");
        const std::string sig = m_dir.File("smime.der");
        const std::string command = "openssl smime -sign -binary -outform DER -md sha256 -signer " +
                                    ShellQuote(Fixture("leaf.pem")) + " -inkey " + ShellQuote(Fixture("leaf.key")) +
                                    (attached ? " -nodetach" : "") + " -in " + ShellQuote(m_dir.File("data.bin")) +
                                    " -out " + ShellQuote(sig) + " 2>&1";
        std::string log;
        ASSERT_EQ(0, RunCommand(command, &log)) << log;
        Bytes der = ToBytes(testutil::ReadFileOrEmpty(sig));
        unsigned char* cert = nullptr;
        int certSize = 0;
        if (attached) {
            unsigned char* content = nullptr;
            int contentSize = 0;
            ASSERT_EQ(QOVA_OK, RSA_VerifyDataSignature_DERPKCS7Attached(der.data(), static_cast<int>(der.size()),
                                                                        &content, &contentSize, &cert, &certSize));
            Owned owned(content);
            EXPECT_EQ(kData, std::string(reinterpret_cast<char*>(content), static_cast<size_t>(contentSize)));
        } else {
            ASSERT_EQ(QOVA_OK, RSA_VerifyDataSignature_DERPKCS7Detached(der.data(), static_cast<int>(der.size()),
                                                                        Data(), static_cast<int>(kData.size()),
                                                                        &cert, &certSize));
        }
        Owned owned(cert);
        EXPECT_EQ(leaf, Bytes(cert, cert + certSize));
    }
}

TEST_F(RSADataSigningPKCS7, Base64FrontEndsAndOptionalOutputs)
{
    const Bytes leaf = CertDer("leaf.pem");
    std::string base64[2];
    for (bool attached : {true, false}) {
        FILE* f = fopen(Fixture("leaf.p12").c_str(), "rb");
        char* text = nullptr;
        int length = -1;
        EXPECT_EQ(QOVA_OK, RSA_SignData_PKCS7(Data(), static_cast<int>(kData.size()), f, "secret", NID_sha256,
                                              attached, ATL_BASE64_FLAG_NONE, &text, &length));
        fclose(f);
        ASSERT_NE(nullptr, text);
        EXPECT_EQ(strlen(text), static_cast<size_t>(length));
        EXPECT_NE(nullptr, strstr(text, "\r\n"));   // lines of 76 characters
        base64[attached ? 0 : 1] = text;
        delete[] text;
    }

    unsigned char* content = nullptr;
    unsigned char* cert = nullptr;
    int contentSize = -1, certSize = -1;
    ASSERT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS7Attached(base64[0].c_str(), &content, &contentSize, &cert,
                                                             &certSize));
    Owned ownedContent(content), ownedCert(cert);
    EXPECT_EQ(kData, std::string(reinterpret_cast<char*>(content), static_cast<size_t>(contentSize)));
    EXPECT_EQ(leaf, Bytes(cert, cert + certSize));
    // A size pointer without its array receives 0.
    contentSize = certSize = -1;
    EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS7Attached(base64[0].c_str(), nullptr, &contentSize, nullptr,
                                                             &certSize));
    EXPECT_EQ(0, contentSize);
    EXPECT_EQ(0, certSize);

    cert = nullptr;
    ASSERT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS7Detached(base64[1].c_str(), Data(), static_cast<int>(kData.size()),
                                                             &cert, &certSize));
    Owned ownedDetachedCert(cert);
    EXPECT_EQ(leaf, Bytes(cert, cert + certSize));
    certSize = -1;
    EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS7Detached(base64[1].c_str(), Data(), static_cast<int>(kData.size()),
                                                             nullptr, &certSize));
    EXPECT_EQ(0, certSize);
    EXPECT_EQ(QOVA_E_BAD_SIGNATURE,
              RSA_VerifyDataSignature_PKCS7Detached(base64[1].c_str(), Data(), 5, nullptr, nullptr));
}

TEST_F(RSADataSigningPKCS7, KeyUsageIsRequiredButTheChainIsNeverChecked)
{
    struct Case
    {
        const char* name;
        const char* cert;
        const char* key;
        unsigned int code;
    };
    const Case kCases[] = {
        {"digitalSignature", "leaf.pem", "leaf.key", QOVA_OK},
        {"keyEncipherment only", "enc.pem", "enc.key", QOVA_E_KEY_USAGE},
        {"expired, issuer unknown to the verifier", "expired.pem", "expired.key", QOVA_OK},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        X509Ptr cert(ReadPem<X509>(c.cert, PEM_read_X509));
        EvpPkeyPtr key(ReadPem<EVP_PKEY>(c.key, PEM_read_PrivateKey));
        unsigned char* const kUntouched = reinterpret_cast<unsigned char*>(8);
        unsigned char* sig = kUntouched;
        int len = -1;
        ASSERT_EQ(c.code, RSA_SignData_PKCS7_ByKeyPair(Data(), static_cast<int>(kData.size()), cert.get(), key.get(),
                                                       NID_sha256, true, &sig, &len));
        if (c.code != QOVA_OK) {
            EXPECT_EQ(kUntouched, sig);
            EXPECT_EQ(-1, len);
            continue;
        }
        Owned owned(sig);
        EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_DERPKCS7Attached(sig, len, nullptr, nullptr, nullptr, nullptr));
    }
    FILE* f = fopen(Fixture("leaf.p12").c_str(), "rb");
    unsigned char* sig = nullptr;
    int len = 0;
    EXPECT_EQ(QOVA_E_FAIL, RSA_SignData_PKCS7_ByPFX(Data(), 4, f, "wrong", NID_sha256, true, &sig, &len));
    fclose(f);
}

TEST_F(RSADataSigningPKCS7, LibrarySigningAndSignatureCheck)
{
    X509Ptr leaf(ReadPem<X509>("leaf.pem", PEM_read_X509));
    EvpPkeyPtr leafKey(ReadPem<EVP_PKEY>("leaf.key", PEM_read_PrivateKey));
    X509Ptr other(ReadPem<X509>("expired.pem", PEM_read_X509));
    EvpPkeyPtr otherKey(ReadPem<EVP_PKEY>("expired.key", PEM_read_PrivateKey));
    auto dataBio = [](const std::string& data) { return BioPtr(BIO_new_mem_buf(data.data(), static_cast<int>(data.size()))); };

    // A NID that names no digest fails before any key is looked at.
    BioPtr in = dataBio(kData);
    EXPECT_EQ(nullptr, PKCS7_sign_ex(nullptr, nullptr, nullptr, in.get(), NID_rsaEncryption, 0));
    EXPECT_EQ(std::make_pair(ERR_LIB_PKCS7, PKCS7_R_UNKNOWN_DIGEST_TYPE), LastError());

    auto sign = [&](int flags, bool secondSigner, bool secondCert) {
        BioPtr bio = dataBio(kData);
        const int first = secondSigner ? flags | PKCS7_PARTIAL : flags;
        Pkcs7Ptr p7(PKCS7_sign_ex(leaf.get(), leafKey.get(), nullptr, bio.get(), NID_sha256, first));
        if (p7 && secondSigner) {
            EXPECT_NE(nullptr, PKCS7_sign_add_signer(p7.get(), other.get(), otherKey.get(), EVP_sha1(),
                                                     flags | (secondCert ? 0 : PKCS7_NOCERTS)));
            BioPtr again = dataBio(kData);
            EXPECT_EQ(1, PKCS7_final(p7.get(), again.get(), flags));
        }
        EXPECT_TRUE(p7);
        return p7;
    };
    const std::string changed = kData.substr(0, kData.size() - 1) + "!";
    struct Case
    {
        const char* name;
        int flags;
        bool secondSigner, secondCert;
        const std::string* data;
        int rc;
        int reason;
    };
    const Case kCases[] = {
        {"attached", 0x180, false, false, nullptr, 0, 0},
        {"detached with its data", 0x1C0, false, false, &kData, 0, 0},
        {"detached without data", 0x1C0, false, false, nullptr, -1, PKCS7_R_NO_CONTENT},
        {"attached given data as well", 0x180, false, false, &kData, -1, PKCS7_R_CONTENT_AND_DATA_PRESENT},
        {"detached over changed data", 0x1C0, false, false, &changed, -1, PKCS7_R_SIGNATURE_FAILURE},
        {"two signers", 0x180, true, true, nullptr, 0, 0},
        {"two signers, second certificate missing", 0x180, true, false, nullptr, -1,
         PKCS7_R_UNABLE_TO_FIND_CERTIFICATE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Pkcs7Ptr p7 = sign(c.flags, c.secondSigner, c.secondCert);
        ASSERT_TRUE(p7);
        EXPECT_EQ(c.secondSigner ? 2 : 1, sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())));
        BioPtr data = c.data != nullptr ? dataBio(*c.data) : BioPtr();
        ERR_clear_error();
        EXPECT_EQ(c.rc, PKCS7_verify_signature(p7.get(), data.get()));
        if (c.rc != 0) {
            EXPECT_EQ(std::make_pair(ERR_LIB_PKCS7, c.reason), LastError());
        }
        // The caller's data BIO is still whole.
        if (data) {
            EXPECT_GE(BIO_reset(data.get()), 0);
        }
    }
}

TEST_F(RSADataSigningPKCS7, SmContentTypesReadThroughTheKernel)
{
    using namespace typerewrite;
    // Our attached signature with the SM types.
    const Bytes sm = WithTypes(SignByPfx(NID_sha256, true), kSmSignedDataOid, kSmDataOid);
    ASSERT_FALSE(sm.empty());
    Bytes der = sm;
    unsigned char* content = nullptr;
    int contentSize = 0;
    ASSERT_EQ(QOVA_OK, RSA_VerifyDataSignature_DERPKCS7Attached(der.data(), static_cast<int>(der.size()), &content,
                                                                &contentSize, nullptr, nullptr));
    Owned owned(content);
    EXPECT_EQ(kData, std::string(reinterpret_cast<char*>(content), static_cast<size_t>(contentSize)));

    // A certificate bundle of type SM signedData.
    Bytes bundle = WithTypes(ToBytes(testutil::ReadFileOrEmpty(Fixture("both.p7b"))), kSmSignedDataOid, kSmDataOid);
    ASSERT_FALSE(bundle.empty());
    X509StorePtr store;
    ASSERT_EQ(QOVA_OK, LoadP7bToStore(bundle.data(), static_cast<int>(bundle.size()), nullptr, 0, store.out()));
    EXPECT_EQ(2, sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())));

    // A PKCS#12 file whose authenticated safe is SM data signs through ParsePFXFile.
    const Bytes p12 = WithAuthSafeType(ToBytes(testutil::ReadFileOrEmpty(Fixture("leaf.p12"))), kSmDataOid);
    ASSERT_FALSE(p12.empty());
    Write("sm.p12", p12);
    FILE* f = fopen(m_dir.File("sm.p12").c_str(), "rb");
    ASSERT_NE(nullptr, f);
    unsigned char* sig = nullptr;
    int len = 0;
    EXPECT_EQ(QOVA_OK, RSA_SignData_PKCS7_ByPFX(Data(), 4, f, "secret", NID_sha1, false, &sig, &len));
    fclose(f);
    Owned ownedSig(sig);
    EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_DERPKCS7Detached(sig, len, Data(), 4, nullptr, nullptr));
}

TEST_F(RSADataSigningPKCS7, TraceLinesNameTheFailedStep)
{
    logtest::TraceCapture trace;
    Bytes sig = SignByPfx(NID_sha256, false);
    ASSERT_FALSE(sig.empty());
    EXPECT_EQ(QOVA_E_BAD_SIGNATURE, RSA_VerifyDataSignature_DERPKCS7Attached(sig.data(), static_cast<int>(sig.size()),
                                                                             nullptr, nullptr, nullptr, nullptr));
    const std::string log = trace.Raw();
    EXPECT_NE(std::string::npos, log.find("It's PKCS7 detached signature."));
    EXPECT_NE(std::string::npos, log.find("DER encoded PKCS7 signature data size : " + std::to_string(sig.size())));
    EXPECT_NE(std::string::npos, log.find("(RSA_VerifyDataSignature_DERPKCS7Attached -- PKCS7_verify)\t\t--Failed:"
                                          "(0x80090006) [Reason:1 != nResult] Openssl error:"));
}

}  // namespace
