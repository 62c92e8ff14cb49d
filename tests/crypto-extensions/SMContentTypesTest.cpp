// SM content types in PKCS#7 and PKCS#12. SM-typed input is made from stock structures (RSA ones
// signed by the openssl command in a separate process, SM2 ones signed here, the PKCS#12 fixture)
// by rewriting their type identifiers; normalised, the library's own PKCS#7 and PKCS#12 functions
// must treat it exactly as the stock original.
#include "ContentTypeRewrite.h"
#include "SM2KeyMethod.h"
#include "SM2TestSupport.h"
#include "SMContentTypes.h"
#include "SMRegistry.h"

#include <openssl/pkcs12.h>

#include <gtest/gtest.h>

namespace {

using namespace sm2test;
using namespace typerewrite;

template <typename T, void (*F)(T*)>
struct Del
{
    void operator()(T* p) const { F(p); }
};
using P7 = std::unique_ptr<PKCS7, Del<PKCS7, PKCS7_free>>;
using P12 = std::unique_ptr<PKCS12, Del<PKCS12, PKCS12_free>>;

const std::string kContent = "SM content types: the signed text";

std::string Fixture(const std::string& name)
{
    return std::string(VERIFY_FIXTURE_DIR) + "/" + name;
}

Bytes Der(const PKCS7* p7, int smTypes)
{
    unsigned char* der = nullptr;
    const int len = SM_i2d_PKCS7(p7, smTypes, &der);
    Bytes out(der, der + std::max(0, len));
    OPENSSL_free(der);
    return out;
}

// PKCS7_verify without a chain check: the content it hands out, or "failed".
std::string Verified(PKCS7* p7, const std::string* detachedContent)
{
    BIO* in = detachedContent != nullptr ? BIO_new_mem_buf(detachedContent->data(), -1) : nullptr;
    BIO* sink = BIO_new(BIO_s_mem());
    std::string out = "failed";
    if (PKCS7_verify(p7, nullptr, nullptr, in, sink, PKCS7_NOVERIFY | PKCS7_BINARY) == 1) {
        char* data = nullptr;
        const long len = BIO_get_mem_data(sink, &data);
        out.assign(data, static_cast<size_t>(len));
    }
    BIO_free(in);
    BIO_free(sink);
    ERR_clear_error();
    return out;
}

class SMContentTypes : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }
    void TearDown() override { ERR_clear_error(); }

    Bytes CliSigned(bool detached)
    {
        const std::string in = m_dir.File("content.txt"), out = m_dir.File("signed.der");
        EXPECT_TRUE(testutil::WriteFile(in, kContent));
        EXPECT_EQ(0, testutil::RunCommand("openssl cms -sign -binary -outform DER -signer " + Fixture("leaf.pem") +
                                          " -inkey " + Fixture("leaf.key") + (detached ? "" : " -nodetach") +
                                          " -in " + in + " -out " + out + " 2>&1"));
        return ToBytes(testutil::ReadFileOrEmpty(out));
    }

    // SM2 with SM3, signed here with a self-signed certificate.
    Bytes Sm2Signed()
    {
        Pkey key = NewLegacyKey();
        Cert cert(X509_new());
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("SM2"), -1, -1, 0);
        X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
        X509_set_pubkey(cert.get(), key.get());
        EXPECT_GT(SM_X509_sign(cert.get(), key.get(), SM_EVP_sm3()), 0);
        P7 p7(PKCS7_new());
        BIO* in = BIO_new_mem_buf(kContent.data(), -1);
        EXPECT_TRUE(PKCS7_set_type(p7.get(), NID_pkcs7_signed) && PKCS7_content_new(p7.get(), NID_pkcs7_data) &&
                    SM_PKCS7_add_signature(p7.get(), cert.get(), key.get(), SM_EVP_sm3()) &&
                    PKCS7_add_certificate(p7.get(), cert.get()) && PKCS7_final(p7.get(), in, PKCS7_BINARY));
        BIO_free(in);
        return Der(p7.get(), 0);
    }

    testutil::ScopedTempDir m_dir;
};

TEST_F(SMContentTypes, SmSignedDataVerifiesAfterNormalisingAndWritesBackByteForByte)
{
    const struct
    {
        const char* name;
        Bytes stock;
        bool detached;
    } sources[] = {{"RSA attached", CliSigned(false), false},
                   {"RSA detached", CliSigned(true), true},
                   {"SM2 attached", Sm2Signed(), false}};
    const struct
    {
        const char *outer, *inner;
        int reported;
    } kTypes[] = {{kSmSignedDataOid, kSmDataOid, SM_PKCS7_TYPES_ALL},
                  {kSmSignedDataOid, nullptr, SM_PKCS7_TYPE_OUTER},
                  {nullptr, kSmDataOid, SM_PKCS7_TYPE_CONTENT},
                  {nullptr, nullptr, 0}};
    const std::string changed = "s" + kContent.substr(1);
    for (const auto& source : sources) {
        for (const auto& types : kTypes) {
            SCOPED_TRACE(std::string(source.name) + " " + std::to_string(types.reported));
            const Bytes input = WithTypes(source.stock, types.outer, types.inner);
            ASSERT_FALSE(input.empty());
            const unsigned char* p = input.data();
            int reported = -1;
            P7 p7(SM_d2i_PKCS7(nullptr, &p, static_cast<long>(input.size()), &reported));
            ASSERT_TRUE(p7);
            EXPECT_EQ(types.reported, reported);
            // Normalised, it is the stock structure: it writes as the original and verifies as one.
            EXPECT_EQ(source.stock, Der(p7.get(), 0));
            EXPECT_EQ(input, Der(p7.get(), reported));
            EXPECT_EQ(kContent, Verified(p7.get(), source.detached ? &kContent : nullptr));
            if (source.detached) {
                EXPECT_EQ("failed", Verified(p7.get(), &changed));
            }
        }
    }
}

TEST_F(SMContentTypes, ContentOfTheWrongTypeOrAbsentIsMalformedAndNeverReadAsSignedData)
{
    auto tlv = [](int tag, const Bytes& value, int cls = V_ASN1_UNIVERSAL) {
        Tlv t;
        t.tag = tag;
        t.cls = cls;
        t.constructed = tag == V_ASN1_SEQUENCE || tag == V_ASN1_SET || cls != V_ASN1_UNIVERSAL;
        t.value = value;
        return Encode(t);
    };
    auto cat = [](const Bytes& a, const Bytes& b) {
        Bytes out = a;
        out.insert(out.end(), b.begin(), b.end());
        return out;
    };
    auto info = [&](const char* oid, const Bytes& content) {   // an empty content is left out
        return tlv(V_ASN1_SEQUENCE, cat(Encode(Oid(oid)), content.empty() ? content : tlv(0, content, 0x80)));
    };
    auto signedData = [&](const Bytes& content) {   // SignedData { 1, {}, content, {} }
        const Bytes set = tlv(V_ASN1_SET, {});
        return tlv(V_ASN1_SEQUENCE, cat(cat(tlv(V_ASN1_INTEGER, {1}), set), cat(content, set)));
    };
    const Bytes octets = tlv(V_ASN1_OCTET_STRING, ToBytes("abc"));
    // A BOOLEAN's or NULL's value is no string at all: taken for one, it would be read as a pointer.
    const Bytes boolean = tlv(V_ASN1_BOOLEAN, {0xFF}), null = tlv(V_ASN1_NULL, {});
    const Bytes smData = info(kSmDataOid, octets), detached = info(kSmDataOid, {});
    const Bytes badInner = signedData(info(kSmDataOid, boolean));
    const struct
    {
        const char* name;
        Bytes der;
        int reason;   // 0: reads, with these SM types
        int reported;
    } kCases[] = {
            {"SM signedData holding a BOOLEAN", info(kSmSignedDataOid, boolean), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData holding a NULL", info(kSmSignedDataOid, null), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData holding no SignedData", info(kSmSignedDataOid, tlv(V_ASN1_SEQUENCE, octets)),
         PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData without content", info(kSmSignedDataOid, {}), PKCS7_R_NO_CONTENT, 0},
        {"SM data holding a BOOLEAN", info(kSmDataOid, boolean), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM data without content", detached, PKCS7_R_NO_CONTENT, 0},
        {"signedData, SM data content holding a BOOLEAN", info(kSignedDataOid, badInner), PKCS7_R_WRONG_CONTENT_TYPE,
         0},
        {"SM signedData", info(kSmSignedDataOid, signedData(smData)), 0, SM_PKCS7_TYPES_ALL},
        {"SM signedData, detached", info(kSmSignedDataOid, signedData(detached)), 0, SM_PKCS7_TYPES_ALL},
        {"SM data", smData, 0, SM_PKCS7_TYPE_OUTER},
        {"the unassigned neighbour", info("1.2.156.10197.6.1.4.2.3", signedData(smData)), 0, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        PKCS7* const kUntouched = reinterpret_cast<PKCS7*>(8);
        PKCS7* target = kUntouched;
        const unsigned char* p = c.der.data();
        int reported = -1;
        P7 p7(SM_d2i_PKCS7(c.reason != 0 ? &target : nullptr, &p, static_cast<long>(c.der.size()), &reported));
        const auto errors = DrainErrors();
        if (c.reason != 0) {
            EXPECT_TRUE(!p7 && target == kUntouched && p == c.der.data() && reported == -1);
            ASSERT_FALSE(errors.empty());
            EXPECT_EQ(std::make_pair(ERR_LIB_PKCS7, c.reason), errors.back());
            continue;
        }
        ASSERT_TRUE(p7);
        EXPECT_EQ(c.reported, reported);
        EXPECT_EQ(c.der, Der(p7.get(), SM_PKCS7_TYPES_ALL));
        EXPECT_EQ(c.reported == SM_PKCS7_TYPE_OUTER, PKCS7_type_is_data(p7.get()));
        EXPECT_EQ(c.reported == SM_PKCS7_TYPES_ALL, PKCS7_type_is_signed(p7.get()));
    }
}

TEST_F(SMContentTypes, Pkcs12SafesOfTheSmDataTypeParse)
{
    // The fixture's data safes retyped, the MAC made again, the authenticated safe retyped too.
    const Bytes stock = ToBytes(testutil::ReadFileOrEmpty(Fixture("leaf.p12")));
    const unsigned char* p = stock.data();
    P12 source(d2i_PKCS12(nullptr, &p, static_cast<long>(stock.size())));
    ASSERT_TRUE(source);
    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(source.get());
    for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes, i);
        if (!PKCS7_type_is_data(safe))
            continue;
        const Bytes der = WithTypes(Der(safe, 0), kSmDataOid, nullptr);
        const unsigned char* q = der.data();
        PKCS7_free(safe);
        sk_PKCS7_set(safes, i, d2i_PKCS7(nullptr, &q, static_cast<long>(der.size())));
    }
    ASSERT_EQ(1, PKCS12_pack_authsafes(source.get(), safes));
    sk_PKCS7_pop_free(safes, PKCS7_free);
    ASSERT_EQ(1, PKCS12_set_mac(source.get(), "secret", -1, nullptr, 0, 2048, EVP_sha256()));
    unsigned char* der = nullptr;
    const int len = i2d_PKCS12(source.get(), &der);
    const Bytes sm = WithAuthSafeType(Bytes(der, der + len), kSmDataOid);
    OPENSSL_free(der);
    auto read = [&] {
        const unsigned char* q = sm.data();
        return P12(SM_d2i_PKCS12(nullptr, &q, static_cast<long>(sm.size())));
    };

    // The library alone takes the authenticated safe for an unknown type: no MAC check.
    const unsigned char* q = sm.data();
    P12 p12(d2i_PKCS12(nullptr, &q, static_cast<long>(sm.size())));
    EXPECT_TRUE(!p12 || PKCS12_verify_mac(p12.get(), "secret", -1) != 1);
    // Ours checks the file's own MAC; the library's parser then passes the SM data safe (the
    // key's) over, ours does not.
    p12 = read();
    EXPECT_EQ(1, PKCS12_verify_mac(p12.get(), "secret", -1));
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    PKCS12_parse(p12.get(), "secret", &key, &cert, nullptr);
    EXPECT_EQ(nullptr, key);
    X509_free(cert);
    cert = nullptr;
    safes = SM_PKCS12_unpack_authsafes(p12.get());
    for (int i = 0; i < sk_PKCS7_num(safes); ++i)
        EXPECT_TRUE(PKCS7_type_is_data(sk_PKCS7_value(safes, i)) || PKCS7_type_is_encrypted(sk_PKCS7_value(safes, i)));
    sk_PKCS7_pop_free(safes, PKCS7_free);
    EXPECT_EQ(0, SM_PKCS12_parse(p12.get(), "wrong", &key, &cert, nullptr));
    EXPECT_EQ(std::make_pair(ERR_LIB_PKCS12, PKCS12_R_MAC_VERIFY_FAILURE), DrainErrors().back());
    ASSERT_EQ(1, SM_PKCS12_parse(p12.get(), "secret", &key, &cert, nullptr));
    EXPECT_EQ(1, X509_check_private_key(Cert(cert).get(), Pkey(key).get()));
}

}  // namespace
