// SM2 item signing with the Z value (certificates, chains) and PKCS#7 SignerInfos without it; the
// openssl command line in a separate process is the reference for certificates.
#include "SM2Core.h"
#include "SM2KeyMethod.h"
#include "SM2TestSupport.h"
#include "SM3Digest.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509_vfy.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace sm2test;
using testutil::BytesToHex;
using testutil::RunCommand;
using testutil::ScopedTempDir;
using testutil::ShellQuote;

const std::string kDistId = " -sigopt distid:1234567812345678 ";

// True when sig verifies against e with the public key of pkey, directly on the SM2 core.
bool CoreVerifies(EVP_PKEY* pkey, const unsigned char* sig, int sigLength, const unsigned char* e32)
{
    Bn x, y, e(BN_bin2bn(e32, 32, nullptr));
    ECDSA_SIG* s = d2i_ECDSA_SIG(nullptr, &sig, sigLength);
    const bool ok = s != nullptr && PublicXY(pkey, &x, &y) && _SM2_verify(s, x.get(), y.get(), e.get(), kNidSm2) == 1;
    ECDSA_SIG_free(s);
    DrainErrors();
    return ok;
}

// The certificate's signature is over SM3(Z || TBS), Z of the issuer's key with the default ID.
bool SignedOverZAndTbs(X509* cert, EVP_PKEY* issuerKey)
{
    unsigned char* tbs = nullptr;
    const int tbsLength = i2d_re_X509_tbs(cert, &tbs);
    Bytes zm(32);
    EXPECT_EQ(1, EVP_PKEY_CalculateZValue_SM2(issuerKey, zm.data()));
    zm.insert(zm.end(), tbs, tbs + tbsLength);
    OPENSSL_free(tbs);
    unsigned char e[32];
    SM3(zm.data(), zm.size(), e);
    const ASN1_BIT_STRING* sig = nullptr;
    X509_get0_signature(&sig, nullptr, cert);
    return CoreVerifies(issuerKey, ASN1_STRING_get0_data(sig), ASN1_STRING_length(sig), e);
}

Cert NewCert(EVP_PKEY* subjectKey, const char* cn, X509* issuer)
{
    Cert cert(X509_new());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 42);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), subjectKey);
    return cert;
}

bool WritePem(X509* cert, const std::string& path)
{
    FILE* f = fopen(path.c_str(), "w");
    const bool ok = f != nullptr && PEM_write_X509(f, cert) == 1;
    if (f != nullptr)
        fclose(f);
    return ok;
}

// X509_verify_cert of leaf under a store trusting ca; the context's error in *error.
int VerifyChain(X509* ca, X509* leaf, int* error)
{
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, ca);
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, leaf, nullptr);
    const int rc = X509_verify_cert(ctx);
    *error = X509_STORE_CTX_get_error(ctx);
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    return rc;
}

class SM2ItemSigning : public ::testing::Test
{
protected:
    // A CA and a leaf made by the openssl command with SM3 and the default ID.
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        ASSERT_TRUE(MakeCliKey(m_dir, &m_ca, "ca"));
        ASSERT_TRUE(MakeCliKey(m_dir, &m_leaf, "leaf"));
        m_caPem = m_dir.File("ca.crt");
        const std::string csr = m_dir.File("leaf.csr"), leafPem = m_dir.File("leaf.crt");
        for (const std::string& command :
             {"openssl req -x509 -new -key " + ShellQuote(m_ca.keyPem) + " -sm3" + kDistId +
                  "-subj /CN=SM2-CA -days 2 -out " + ShellQuote(m_caPem),
              "openssl req -new -key " + ShellQuote(m_leaf.keyPem) + " -sm3" + kDistId +
                  "-subj /CN=SM2-leaf -out " + ShellQuote(csr),
              "openssl x509 -req -in " + ShellQuote(csr) + " -CA " + ShellQuote(m_caPem) + " -CAkey " +
                  ShellQuote(m_ca.keyPem) + " -sm3" + kDistId +
                  "-vfyopt distid:1234567812345678 -set_serial 7 -days 2 -out " + ShellQuote(leafPem)}) {
            std::string out;
            ASSERT_EQ(0, RunCommand(command + " 2>&1", &out)) << command << "\n" << out;
        }
        m_caCert = ReadCert(m_caPem);
        m_leafCert = ReadCert(leafPem);
        ASSERT_TRUE(m_caCert && m_leafCert);
    }
    void TearDown() override { ERR_clear_error(); }

    ScopedTempDir m_dir;
    CliKey m_ca, m_leaf;
    std::string m_caPem;
    Cert m_caCert, m_leafCert;
};

TEST_F(SM2ItemSigning, CertificatesSignedBySmX509SignVerifyHereAndWithTheOpensslCommand)
{
    Pkey legacy = NewLegacyKey();
    struct Case
    {
        const char* name;
        EVP_PKEY* subject;
        EVP_PKEY* signer;   // provider keys are turned into legacy ones by SM_X509_sign
        X509* issuer;       // null: self-signed
    };
    const Case kCases[] = {{"self-signed with an EC_KEY", legacy.get(), legacy.get(), nullptr},
                           {"issued with the CA's key from its file", m_leaf.pkey.get(), m_ca.pkey.get(),
                            m_caCert.get()}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cert cert = NewCert(c.subject, "signed here", c.issuer);
        ASSERT_GT(SM_X509_sign(cert.get(), c.signer, SM_EVP_sm3()), 0);
        EVP_PKEY* issuerKey = c.issuer != nullptr ? X509_get0_pubkey(c.issuer) : c.signer;
        EXPECT_EQ(1, X509_verify(cert.get(), issuerKey));
        EXPECT_TRUE(SignedOverZAndTbs(cert.get(), issuerKey));

        const std::string pem = m_dir.File("signed-here.crt");
        ASSERT_TRUE(WritePem(cert.get(), pem));
        std::string out;
        EXPECT_EQ(0, RunCommand("openssl verify -vfyopt distid:1234567812345678 -CAfile " +
                                    ShellQuote(c.issuer != nullptr ? m_caPem : pem) + " " + ShellQuote(pem) + " 2>&1",
                                &out))
            << out;
    }

    // The library's item signing alone cannot take a provider key; SM2 signs only with SM3.
    Cert cert = NewCert(m_leaf.pkey.get(), "refused", nullptr);
    EXPECT_EQ(0, X509_sign(cert.get(), m_leaf.pkey.get(), SM_EVP_sm3()));
    EXPECT_EQ(0, SM_X509_sign(cert.get(), m_leaf.pkey.get(), EVP_sha256()));
}

TEST_F(SM2ItemSigning, ChainFromTheOpensslCommandVerifiesInAStoreAndFailsWithAChangedSignature)
{
    // The command signed over Z with the default ID: no per-certificate ID is needed here.
    int error = 0;
    EXPECT_EQ(1, VerifyChain(m_caCert.get(), m_leafCert.get(), &error));
    EXPECT_EQ(X509_V_OK, error);
    EXPECT_TRUE(SignedOverZAndTbs(m_leafCert.get(), m_ca.pkey.get()));

    // The last DER byte of a certificate is the last byte of its signature's s.
    unsigned char* der = nullptr;
    const int len = i2d_X509(m_leafCert.get(), &der);
    der[len - 1] ^= 0x01;
    const unsigned char* p = der;
    Cert changed(d2i_X509(nullptr, &p, len));
    OPENSSL_free(der);
    ASSERT_TRUE(changed);
    EXPECT_NE(1, VerifyChain(m_caCert.get(), changed.get(), &error));
    EXPECT_EQ(X509_V_ERR_CERT_SIGNATURE_FAILURE, error);
}

TEST_F(SM2ItemSigning, Pkcs7SignerInfosCarryTheSm2AlgorithmAndVerifyWithAndWithoutSignedAttributes)
{
    const std::string content = "PKCS#7 signed with SM2 and SM3, hashed without Z";
    for (bool withAttributes : {false, true}) {
        SCOPED_TRACE(withAttributes ? "signed attributes" : "no signed attributes");
        PKCS7* p7 = PKCS7_new();
        ASSERT_EQ(1, PKCS7_set_type(p7, NID_pkcs7_signed));
        ASSERT_EQ(1, PKCS7_content_new(p7, NID_pkcs7_data));
        PKCS7_SIGNER_INFO* si = SM_PKCS7_add_signature(p7, m_leafCert.get(), m_leaf.pkey.get(), SM_EVP_sm3());
        ASSERT_NE(nullptr, si);
        if (withAttributes) {
            ASSERT_EQ(1, PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                                    OBJ_nid2obj(NID_pkcs7_data)));
        }
        ASSERT_EQ(1, PKCS7_add_certificate(p7, m_leafCert.get()));
        BIO* data = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
        ASSERT_EQ(1, PKCS7_final(p7, data, PKCS7_BINARY));
        BIO_free(data);
        unsigned char* der = nullptr;
        const int len = i2d_PKCS7(p7, &der);
        PKCS7_free(p7);
        const unsigned char* p = der;
        p7 = d2i_PKCS7(nullptr, &p, len);
        OPENSSL_free(der);
        ASSERT_NE(nullptr, p7);
        si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);

        // 1.2.156.10197.1.301.1 with no parameters at all (not even NULL).
        unsigned char* alg = nullptr;
        const int algLength = i2d_X509_ALGOR(si->digest_enc_alg, &alg);
        EXPECT_EQ("300b06092a811ccf5501822d01", BytesToHex(alg, static_cast<size_t>(algLength)));
        OPENSSL_free(alg);

        // Over SM3 of the content or of the signed attributes, without Z.
        Bytes signedBytes(content.begin(), content.end());
        if (withAttributes) {
            unsigned char* attrs = nullptr;
            const int attrsLength = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs,
                                                  ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
            signedBytes.assign(attrs, attrs + attrsLength);
            OPENSSL_free(attrs);
        }
        unsigned char e[32];
        SM3(signedBytes.data(), signedBytes.size(), e);
        EXPECT_TRUE(CoreVerifies(m_leaf.pkey.get(), si->enc_digest->data, si->enc_digest->length, e));

        // The chain (with Z) and the signature (without) both verify; a changed signature does not.
        X509_STORE* store = X509_STORE_new();
        X509_STORE_add_cert(store, m_caCert.get());
        EXPECT_EQ(1, PKCS7_verify(p7, nullptr, store, nullptr, nullptr, PKCS7_BINARY));
        si->enc_digest->data[si->enc_digest->length - 1] ^= 0x01;
        EXPECT_NE(1, PKCS7_verify(p7, nullptr, store, nullptr, nullptr, PKCS7_BINARY));
        X509_STORE_free(store);
        PKCS7_free(p7);
        ERR_clear_error();
    }
}

}  // namespace
