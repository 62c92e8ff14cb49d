// PKCS#7 signing and verification through the crypto library, checked both ways against the
// openssl command in a separate process, on the RSA fixtures (leaf with digitalSignature, enc
// without it, an expired leaf).
#include "RSADataSigningPKCS7.h"

#include "Base64.h"
#include "CertificateValidation.h"
#include "ContentTypeRewrite.h"
#include "KernelHolders.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace typerewrite;
using smkernel::BioPtr;
using smkernel::EvpPkeyPtr;
using smkernel::Pkcs7Ptr;
using smkernel::X509Ptr;
using Owned = std::unique_ptr<unsigned char[]>;

// Binary content: line ends of both kinds and a NUL come back unchanged.
const std::string kData("signed\r\ncontent\n\0with a NUL", 27);
unsigned char* const kDataBytes = reinterpret_cast<unsigned char*>(const_cast<char*>(kData.data()));
const int kDataSize = static_cast<int>(kData.size());

std::string Fixture(const std::string& name)
{
    return std::string(VERIFY_FIXTURE_DIR) + "/" + name;
}

std::string Text(const unsigned char* data, int size)
{
    return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
}

Bytes ToBytesOf(const std::string& path)
{
    const std::string content = testutil::ReadFileOrEmpty(path);
    return Bytes(content.begin(), content.end());
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

int LastReason()
{
    unsigned long e = 0, last = 0;
    while ((e = ERR_get_error()) != 0)
        last = e;
    return ERR_GET_LIB(last) == ERR_LIB_PKCS7 ? ERR_GET_REASON(last) : -1;
}

class RSADataSigningPKCS7 : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("data.bin"), kData));
        X509Ptr leaf(ReadPem<X509>("leaf.pem", PEM_read_X509));
        unsigned char* der = nullptr;
        const int len = i2d_X509(leaf.get(), &der);
        m_leaf.assign(der, der + len);
        OPENSSL_free(der);
    }
    void TearDown() override { ERR_clear_error(); }

    Bytes SignByPfx(int hash, bool attached, const std::string& pfx)
    {
        FILE* f = fopen(pfx.c_str(), "rb");
        unsigned char* sig = nullptr;
        int len = 0;
        EXPECT_EQ(QOVA_OK, RSA_SignData_PKCS7_ByPFX(kDataBytes, kDataSize, f, "secret", hash, attached, &sig, &len));
        fclose(f);
        Owned owned(sig);
        return Bytes(sig, sig + len);
    }

    // Our verification of DER: the content (detached: the data given) and the signer's certificate.
    unsigned int Verify(Bytes sig, bool attached, std::string* content, Bytes* cert, int dataSize = kDataSize)
    {
        unsigned char *pbyContent = nullptr, *pbyCert = nullptr;
        int contentSize = 0, certSize = 0;
        const unsigned int code =
            attached ? RSA_VerifyDataSignature_DERPKCS7Attached(sig.data(), static_cast<int>(sig.size()), &pbyContent,
                                                                &contentSize, &pbyCert, &certSize)
                     : RSA_VerifyDataSignature_DERPKCS7Detached(sig.data(), static_cast<int>(sig.size()), kDataBytes,
                                                                dataSize, &pbyCert, &certSize);
        Owned ownedContent(pbyContent), ownedCert(pbyCert);
        *content = attached && code == QOVA_OK ? Text(pbyContent, contentSize) : kData;
        cert->assign(pbyCert, pbyCert + (code == QOVA_OK ? certSize : 0));
        return code;
    }

    testutil::ScopedTempDir m_dir;
    Bytes m_leaf;
};

TEST_F(RSADataSigningPKCS7, SignaturesVerifyWithTheOpensslCommandAndWithOurs)
{
    for (int hash : {NID_md5, NID_sha1, NID_sha256}) {
        for (bool attached : {true, false}) {
            SCOPED_TRACE(std::string(OBJ_nid2sn(hash)) + (attached ? " attached" : " detached"));
            const Bytes sig = SignByPfx(hash, attached, Fixture("leaf.p12"));
            ASSERT_TRUE(testutil::WriteFile(m_dir.File("sig.der"), std::string(sig.begin(), sig.end())));
            for (const std::string tool : {"openssl smime -verify", "openssl cms -verify -binary"}) {
                std::string log;
                EXPECT_EQ(0, testutil::RunCommand(tool + " -noverify -inform DER -in " + m_dir.File("sig.der") +
                                                      (attached ? "" : " -content " + m_dir.File("data.bin")) +
                                                      " -out " + m_dir.File("out") + " 2>&1",
                                                  &log))
                    << tool << ": " << log;
                EXPECT_EQ(kData, testutil::ReadFileOrEmpty(m_dir.File("out"))) << tool;
            }
            // The digest asked for, no signed attributes.
            const unsigned char* p = sig.data();
            Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(sig.size())));
            PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
            ASSERT_NE(nullptr, si);
            EXPECT_EQ(hash, OBJ_obj2nid(si->digest_alg->algorithm));
            EXPECT_EQ(nullptr, si->auth_attr);

            std::string content;
            Bytes cert;
            EXPECT_EQ(QOVA_OK, Verify(sig, attached, &content, &cert));
            EXPECT_EQ(kData, content);
            EXPECT_EQ(m_leaf, cert);
            if (!attached) {
                EXPECT_EQ(QOVA_E_BAD_SIGNATURE, Verify(sig, false, &content, &cert, kDataSize - 1));
                // No content to verify.
                EXPECT_EQ(QOVA_E_BAD_SIGNATURE, Verify(sig, true, &content, &cert));
            }
        }
    }
}

TEST_F(RSADataSigningPKCS7, OpensslSmimeSignaturesVerifyWithOurs)
{
    for (bool attached : {true, false}) {
        SCOPED_TRACE(attached ? "attached" : "detached");
        std::string log;
        ASSERT_EQ(0, testutil::RunCommand("openssl smime -sign -binary -outform DER -signer " + Fixture("leaf.pem") +
                                              " -inkey " + Fixture("leaf.key") + (attached ? " -nodetach" : "") +
                                              " -in " + m_dir.File("data.bin") + " -out " + m_dir.File("sig.der") +
                                              " 2>&1",
                                          &log))
            << log;
        std::string content;
        Bytes cert;
        EXPECT_EQ(QOVA_OK, Verify(ToBytesOf(m_dir.File("sig.der")), attached, &content, &cert));
        EXPECT_EQ(kData, content);
        EXPECT_EQ(m_leaf, cert);
    }
}

TEST_F(RSADataSigningPKCS7, Base64FrontEndsAndOptionalOutputs)
{
    FILE* f = fopen(Fixture("leaf.p12").c_str(), "rb");
    char* text = nullptr;
    int length = -1;
    EXPECT_EQ(QOVA_OK, RSA_SignData_PKCS7(kDataBytes, kDataSize, f, "secret", NID_sha256, true, ATL_BASE64_FLAG_NONE,
                                          &text, &length));
    fclose(f);
    ASSERT_NE(nullptr, text);
    std::unique_ptr<char[]> owned(text);
    EXPECT_EQ(strlen(text), static_cast<size_t>(length));
    unsigned char *content = nullptr, *cert = nullptr;
    int contentSize = -1, certSize = -1;
    ASSERT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS7Attached(text, &content, &contentSize, &cert, &certSize));
    Owned ownedContent(content), ownedCert(cert);
    EXPECT_EQ(kData, Text(content, contentSize));
    EXPECT_EQ(m_leaf, Bytes(cert, cert + certSize));
    // A size pointer without its array receives 0.
    contentSize = certSize = -1;
    EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS7Attached(text, nullptr, &contentSize, nullptr, &certSize));
    EXPECT_EQ(0, contentSize + certSize);

    const Bytes detached = SignByPfx(NID_sha256, false, Fixture("leaf.p12"));
    char* detachedText = nullptr;
    ASSERT_EQ(QOVA_OK, Base64EncodeEx(const_cast<unsigned char*>(detached.data()), static_cast<int>(detached.size()),
                                      &detachedText, nullptr, ATL_BASE64_FLAG_NOCRLF));
    std::unique_ptr<char[]> ownedText(detachedText);
    certSize = -1;
    EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_PKCS7Detached(detachedText, kDataBytes, kDataSize, nullptr, &certSize));
    EXPECT_EQ(0, certSize);
    EXPECT_EQ(QOVA_E_BAD_SIGNATURE, RSA_VerifyDataSignature_PKCS7Detached(detachedText, kDataBytes, 5, nullptr, nullptr));
}

TEST_F(RSADataSigningPKCS7, KeyUsageIsRequiredButTheChainIsNeverChecked)
{
    const struct
    {
        const char *cert, *key;
        unsigned int code;
    } kCases[] = {{"enc.pem", "enc.key", QOVA_E_KEY_USAGE}, {"expired.pem", "expired.key", QOVA_OK}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.cert);
        X509Ptr cert(ReadPem<X509>(c.cert, PEM_read_X509));
        EvpPkeyPtr key(ReadPem<EVP_PKEY>(c.key, PEM_read_PrivateKey));
        unsigned char* sig = nullptr;
        int len = -1;
        ASSERT_EQ(c.code, RSA_SignData_PKCS7_ByKeyPair(kDataBytes, kDataSize, cert.get(), key.get(), NID_sha256, true,
                                                       &sig, &len));
        Owned owned(sig);
        EXPECT_EQ(c.code != QOVA_OK, sig == nullptr && len == -1);
        if (sig != nullptr) {
            EXPECT_EQ(QOVA_OK, RSA_VerifyDataSignature_DERPKCS7Attached(sig, len, nullptr, nullptr, nullptr, nullptr));
        }
    }
}

TEST_F(RSADataSigningPKCS7, LibrarySigningAndSignatureCheck)
{
    X509Ptr leaf(ReadPem<X509>("leaf.pem", PEM_read_X509)), other(ReadPem<X509>("expired.pem", PEM_read_X509));
    EvpPkeyPtr leafKey(ReadPem<EVP_PKEY>("leaf.key", PEM_read_PrivateKey));
    EvpPkeyPtr otherKey(ReadPem<EVP_PKEY>("expired.key", PEM_read_PrivateKey));
    auto bio = [](const std::string& s) { return BioPtr(BIO_new_mem_buf(s.data(), static_cast<int>(s.size()))); };
    // A NID that names no digest fails before any key is looked at.
    EXPECT_EQ(nullptr, PKCS7_sign_ex(nullptr, nullptr, nullptr, bio(kData).get(), NID_rsaEncryption, 0));
    EXPECT_EQ(PKCS7_R_UNKNOWN_DIGEST_TYPE, LastReason());

    const std::string changed = kData.substr(1) + "!";
    const struct
    {
        const char* name;
        int flags;
        int secondSigner;   // 0 none, 1 with its certificate, 2 without
        const std::string* data;
        int reason;         // 0: verifies
    } kCases[] = {
        {"attached", 0x180, 0, nullptr, 0},
        {"detached with its data", 0x1C0, 0, &kData, 0},
        {"detached without data", 0x1C0, 0, nullptr, PKCS7_R_NO_CONTENT},
        {"attached given data as well", 0x180, 0, &kData, PKCS7_R_CONTENT_AND_DATA_PRESENT},
        {"detached over changed data", 0x1C0, 0, &changed, PKCS7_R_SIGNATURE_FAILURE},
        {"two signers", 0x180, 1, nullptr, 0},
        {"two signers, second certificate missing", 0x180, 2, nullptr, PKCS7_R_UNABLE_TO_FIND_CERTIFICATE},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Pkcs7Ptr p7(PKCS7_sign_ex(leaf.get(), leafKey.get(), nullptr, bio(kData).get(), NID_sha256,
                                  c.flags | (c.secondSigner ? PKCS7_PARTIAL : 0)));
        ASSERT_TRUE(p7);
        if (c.secondSigner) {
            ASSERT_NE(nullptr, PKCS7_sign_add_signer(p7.get(), other.get(), otherKey.get(), EVP_sha1(),
                                                     c.flags | (c.secondSigner == 2 ? PKCS7_NOCERTS : 0)));
            ASSERT_EQ(1, PKCS7_final(p7.get(), bio(kData).get(), c.flags));
        }
        BioPtr data = c.data != nullptr ? bio(*c.data) : BioPtr();
        ERR_clear_error();
        EXPECT_EQ(c.reason == 0 ? 0 : -1, PKCS7_verify_signature(p7.get(), data.get()));
        EXPECT_EQ(c.reason == 0 ? -1 : c.reason, LastReason());
    }
}

TEST_F(RSADataSigningPKCS7, SmContentTypesReadThroughTheKernel)
{
    std::string content;
    Bytes cert;
    EXPECT_EQ(QOVA_OK, Verify(WithTypes(SignByPfx(NID_sha256, true, Fixture("leaf.p12")), kSmSignedDataOid,
                                        kSmDataOid),
                              true, &content, &cert));
    EXPECT_EQ(kData, content);

    Bytes bundle = WithTypes(ToBytesOf(Fixture("both.p7b")), kSmSignedDataOid, kSmDataOid);
    smkernel::X509StorePtr store;
    ASSERT_EQ(QOVA_OK, LoadP7bToStore(bundle.data(), static_cast<int>(bundle.size()), nullptr, 0, store.out()));
    EXPECT_EQ(2, sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())));

    // A PKCS#12 file whose authenticated safe has the SM data type signs through ParsePFXFile.
    const Bytes p12 = WithAuthSafeType(ToBytesOf(Fixture("leaf.p12")), kSmDataOid);
    ASSERT_TRUE(testutil::WriteFile(m_dir.File("sm.p12"), std::string(p12.begin(), p12.end())));
    EXPECT_EQ(QOVA_OK, Verify(SignByPfx(NID_sha1, false, m_dir.File("sm.p12")), false, &content, &cert));
    EXPECT_EQ(m_leaf, cert);
}

}  // namespace
