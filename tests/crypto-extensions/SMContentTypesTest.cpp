// SM content types in PKCS#7 and PKCS#12. SM-typed input is made from stock structures (RSA ones
// signed by the openssl command in a separate process, SM2 ones signed here) by replacing their
// type identifiers with the library's generic TLV writer; after normalising, the library's own
// PKCS#7 and PKCS#12 functions must treat it exactly as the stock original.
#include "ContentTypeRewrite.h"
#include "SM2KeyMethod.h"
#include "SM2TestSupport.h"
#include "SMContentTypes.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using namespace sm2test;
using namespace typerewrite;
using testutil::RunCommand;
using testutil::ScopedTempDir;
using testutil::ShellQuote;

struct P7Free
{
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using P7 = std::unique_ptr<PKCS7, P7Free>;
struct P12Free
{
    void operator()(PKCS12* p) const { PKCS12_free(p); }
};
using P12 = std::unique_ptr<PKCS12, P12Free>;

const std::string kContent = "SM content types: the signed text";

std::string Fixture(const std::string& name)
{
    return std::string(VERIFY_FIXTURE_DIR) + "/" + name;
}

Bytes FileBytes(const std::string& path)
{
    return ToBytes(testutil::ReadFileOrEmpty(path));
}

Bytes Der(const PKCS7* p7, int smTypes)
{
    unsigned char* der = nullptr;
    const int len = SM_i2d_PKCS7(p7, smTypes, &der);
    Bytes out(der, der + std::max(0, len));
    OPENSSL_free(der);
    return out;
}

P7 Read(const Bytes& der, int* smTypes)
{
    const unsigned char* p = der.data();
    return P7(SM_d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()), smTypes));
}

bool Contains(const Bytes& der, const char* oid)
{
    const Bytes tlv = Encode(Oid(oid));
    return std::search(der.begin(), der.end(), tlv.begin(), tlv.end()) != der.end();
}

// PKCS7_verify without a chain check; the content it hands out in *out.
int Verify(PKCS7* p7, const std::string* detachedContent, std::string* out = nullptr)
{
    BIO* in = detachedContent != nullptr ? BIO_new_mem_buf(detachedContent->data(), -1) : nullptr;
    BIO* sink = BIO_new(BIO_s_mem());
    const int rc = PKCS7_verify(p7, nullptr, nullptr, in, sink, PKCS7_NOVERIFY | PKCS7_BINARY);
    char* data = nullptr;
    const long len = BIO_get_mem_data(sink, &data);
    if (out != nullptr)
        out->assign(data, static_cast<size_t>(len));
    BIO_free(in);
    BIO_free(sink);
    ERR_clear_error();
    return rc;
}

class SMContentTypes : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }
    void TearDown() override { ERR_clear_error(); }

    // Attached or detached RSA signedData from the openssl command.
    Bytes CliSigned(bool detached)
    {
        const std::string in = m_dir.File("content.txt"), out = m_dir.File("signed.der");
        EXPECT_TRUE(testutil::WriteFile(in, kContent));
        const std::string command = "openssl cms -sign -binary -md sha256 -outform DER -signer " +
                                    ShellQuote(Fixture("leaf.pem")) + " -inkey " + ShellQuote(Fixture("leaf.key")) +
                                    (detached ? "" : " -nodetach") + " -in " + ShellQuote(in) + " -out " +
                                    ShellQuote(out) + " 2>&1";
        std::string log;
        EXPECT_EQ(0, RunCommand(command, &log)) << log;
        return FileBytes(out);
    }

    // Attached SM2/SM3 signedData signed here, with a self-signed SM2 certificate.
    Bytes Sm2Signed()
    {
        Pkey key = NewLegacyKey();
        Cert cert(X509_new());
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("SM2 signer"),
                                   -1, -1, 0);
        X509_set_issuer_name(cert.get(), name);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 9);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
        X509_set_pubkey(cert.get(), key.get());
        EXPECT_GT(SM_X509_sign(cert.get(), key.get(), SM_EVP_sm3()), 0);

        P7 p7(PKCS7_new());
        EXPECT_EQ(1, PKCS7_set_type(p7.get(), NID_pkcs7_signed));
        EXPECT_EQ(1, PKCS7_content_new(p7.get(), NID_pkcs7_data));
        EXPECT_NE(nullptr, SM_PKCS7_add_signature(p7.get(), cert.get(), key.get(), SM_EVP_sm3()));
        EXPECT_EQ(1, PKCS7_add_certificate(p7.get(), cert.get()));
        BIO* in = BIO_new_mem_buf(kContent.data(), -1);
        EXPECT_EQ(1, PKCS7_final(p7.get(), in, PKCS7_BINARY));
        BIO_free(in);
        return Der(p7.get(), 0);
    }

    ScopedTempDir m_dir;
};

TEST_F(SMContentTypes, SmSignedDataVerifiesAfterNormalisingAndWritesBackByteForByte)
{
    struct Source
    {
        const char* name;
        Bytes stock;
        bool detached;
    };
    const Source sources[] = {{"RSA attached (openssl cms)", CliSigned(false), false},
                              {"RSA detached (openssl cms)", CliSigned(true), true},
                              {"SM2 with SM3 attached", Sm2Signed(), false}};
    struct Types
    {
        const char* name;
        const char* outer;
        const char* inner;
        int reported;
    };
    const Types kTypes[] = {{"SM signedData with SM data", kSmSignedDataOid, kSmDataOid, SM_PKCS7_TYPES_ALL},
                            {"SM signedData with data", kSmSignedDataOid, nullptr, SM_PKCS7_TYPE_OUTER},
                            {"signedData with SM data", nullptr, kSmDataOid, SM_PKCS7_TYPE_CONTENT},
                            {"stock", nullptr, nullptr, 0}};
    for (const Source& source : sources) {
        ASSERT_FALSE(source.stock.empty()) << source.name;
        for (const Types& types : kTypes) {
            SCOPED_TRACE(std::string(source.name) + ", " + types.name);
            const Bytes input = WithTypes(source.stock, types.outer, types.inner);
            ASSERT_FALSE(input.empty());
            int reported = -1;
            P7 p7 = Read(input, &reported);
            ASSERT_TRUE(p7);
            EXPECT_EQ(types.reported, reported);
            // Normalised, it is the stock structure: it writes as the original and verifies as one.
            EXPECT_EQ(source.stock, Der(p7.get(), 0));
            EXPECT_EQ(input, Der(p7.get(), reported));
            EXPECT_EQ(source.detached ? 1 : 0, PKCS7_get_detached(p7.get()));
            std::string content;
            EXPECT_EQ(1, Verify(p7.get(), source.detached ? &kContent : nullptr, &content));
            EXPECT_EQ(kContent, content);
            if (source.detached) {
                const std::string changed = "s" + kContent.substr(1);
                EXPECT_NE(1, Verify(p7.get(), &changed));
            } else {
                // One changed byte of the embedded content.
                Bytes tampered = input;
                auto at = std::search(tampered.begin(), tampered.end(), kContent.begin(), kContent.end());
                ASSERT_NE(tampered.end(), at);
                *at ^= 0x20;
                P7 bad = Read(tampered, nullptr);
                ASSERT_TRUE(bad);
                EXPECT_NE(1, Verify(bad.get(), nullptr));
            }
        }
    }
}

TEST_F(SMContentTypes, ContentOfTheWrongTypeOrAbsentIsMalformedAndNeverDecodedAsSignedData)
{
    auto tlv = [](int tag, int cls, bool constructed, const Bytes& value) {
        Tlv t;
        t.tag = tag;
        t.cls = cls;
        t.constructed = constructed;
        t.value = value;
        return Encode(t);
    };
    auto seq = [&](const Bytes& v) { return tlv(V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, v); };
    auto explicit0 = [&](const Bytes& v) { return tlv(0, V_ASN1_CONTEXT_SPECIFIC, true, v); };
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    auto contentInfo = [&](const char* oid, const Bytes* content) {
        return seq(cat({Encode(Oid(oid)), content != nullptr ? explicit0(*content) : Bytes()}));
    };
    const Bytes octets = tlv(V_ASN1_OCTET_STRING, V_ASN1_UNIVERSAL, false, ToBytes("abc"));
    const Bytes integer = tlv(V_ASN1_INTEGER, V_ASN1_UNIVERSAL, false, {1});
    // Their values are no strings at all: read as one, they would be taken for pointers.
    const Bytes boolean = tlv(V_ASN1_BOOLEAN, V_ASN1_UNIVERSAL, false, {0xFF});
    const Bytes null = tlv(V_ASN1_NULL, V_ASN1_UNIVERSAL, false, {});
    // SignedData { 1, {}, content, {} }
    auto signedData = [&](const Bytes& content) {
        const Bytes emptySet = tlv(V_ASN1_SET, V_ASN1_UNIVERSAL, true, {});
        return seq(cat({integer, emptySet, content, emptySet}));
    };
    const Bytes smDataOctets = contentInfo(kSmDataOid, &octets);
    const Bytes smDataInteger = contentInfo(kSmDataOid, &integer);
    const Bytes smDataDetached = contentInfo(kSmDataOid, nullptr);
    const Bytes goodSigned = signedData(smDataOctets);
    const Bytes notSigned = seq(integer);
    const Bytes signedWithBadInner = signedData(smDataInteger);
    const Bytes detachedSigned = signedData(smDataDetached);
    const Bytes octetsAsSeq = seq(octets);

    struct Case
    {
        const char* name;
        Bytes der;
        int reason;    // 0: reads
        int reported;
    };
    const Case kCases[] = {
        {"SM signedData holding an OCTET STRING", contentInfo(kSmSignedDataOid, &octets), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData holding an INTEGER", contentInfo(kSmSignedDataOid, &integer), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData holding a BOOLEAN", contentInfo(kSmSignedDataOid, &boolean), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData holding a NULL", contentInfo(kSmSignedDataOid, &null), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM data holding a BOOLEAN", contentInfo(kSmDataOid, &boolean), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData holding a SEQUENCE that is no SignedData", contentInfo(kSmSignedDataOid, &notSigned),
         PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData without content", contentInfo(kSmSignedDataOid, nullptr), PKCS7_R_NO_CONTENT, 0},
        {"SM data holding a SEQUENCE", contentInfo(kSmDataOid, &octetsAsSeq), PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM data without content", smDataDetached, PKCS7_R_NO_CONTENT, 0},
        {"SM data content holding an INTEGER", contentInfo(kSmSignedDataOid, &signedWithBadInner),
         PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"signedData whose SM data content holds an INTEGER", contentInfo(kSignedDataOid, &signedWithBadInner),
         PKCS7_R_WRONG_CONTENT_TYPE, 0},
        {"SM signedData", contentInfo(kSmSignedDataOid, &goodSigned), 0, SM_PKCS7_TYPES_ALL},
        {"SM signedData, detached", contentInfo(kSmSignedDataOid, &detachedSigned), 0, SM_PKCS7_TYPES_ALL},
        {"SM data", smDataOctets, 0, SM_PKCS7_TYPE_OUTER},
        // The unassigned neighbour of the SM types is neither signed nor data.
        {"1.2.156.10197.6.1.4.2.3", contentInfo("1.2.156.10197.6.1.4.2.3", &goodSigned), 0, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        PKCS7* const kUntouched = reinterpret_cast<PKCS7*>(8);
        PKCS7* target = kUntouched;
        const unsigned char* p = c.der.data();
        int reported = -1;
        P7 p7(SM_d2i_PKCS7(c.reason != 0 ? &target : nullptr, &p, static_cast<long>(c.der.size()), &reported));
        const auto errors = DrainErrors();
        if (c.reason != 0) {
            EXPECT_FALSE(p7);
            EXPECT_EQ(kUntouched, target);
            EXPECT_EQ(c.der.data(), p);
            EXPECT_EQ(-1, reported);
            ASSERT_FALSE(errors.empty());
            EXPECT_EQ(std::make_pair(ERR_LIB_PKCS7, c.reason), errors.back());
            continue;
        }
        ASSERT_TRUE(p7);
        EXPECT_EQ(c.reported, reported);
        EXPECT_EQ(c.der.data() + c.der.size(), p);
        EXPECT_EQ(c.der, Der(p7.get(), reported));
        EXPECT_EQ(c.der, Der(p7.get(), SM_PKCS7_TYPES_ALL));
        const int nid = OBJ_obj2nid(p7->type);
        if (reported == SM_PKCS7_TYPE_OUTER) {
            EXPECT_EQ(NID_pkcs7_data, nid);
            EXPECT_EQ(Bytes({'a', 'b', 'c'}), Bytes(p7->d.data->data, p7->d.data->data + p7->d.data->length));
        } else if (reported != 0) {
            EXPECT_EQ(NID_pkcs7_signed, nid);
            EXPECT_EQ(c.name == std::string("SM signedData, detached") ? 1 : 0, PKCS7_get_detached(p7.get()));
        } else {
            EXPECT_FALSE(PKCS7_type_is_signed(p7.get()) || PKCS7_type_is_data(p7.get()));
            EXPECT_EQ(nullptr, PKCS7_get_signer_info(p7.get()));
        }
    }
}

TEST_F(SMContentTypes, BuiltWithSmTypesSignedContentIsAttachedUntilRemoved)
{
    P7 p7(PKCS7_new());
    ASSERT_EQ(1, SM_PKCS7_set_type(p7.get(), kNidSmSignedData));
    ASSERT_EQ(1, PKCS7_content_new(p7.get(), NID_pkcs7_data));
    EXPECT_EQ(1, ASN1_INTEGER_get(p7->d.sign->version));
    EXPECT_EQ(0, PKCS7_get_detached(p7.get()));
    Bytes der = Der(p7.get(), SM_PKCS7_TYPES_ALL);
    EXPECT_TRUE(Contains(der, kSmSignedDataOid) && Contains(der, kSmDataOid));
    EXPECT_FALSE(Contains(der, kSignedDataOid) || Contains(der, kDataOid));

    PKCS7_set_detached(p7.get(), 1);
    EXPECT_EQ(1, PKCS7_get_detached(p7.get()));
    int reported = 0;
    P7 back = Read(Der(p7.get(), SM_PKCS7_TYPES_ALL), &reported);
    ASSERT_TRUE(back);
    EXPECT_EQ(SM_PKCS7_TYPES_ALL, reported);
    EXPECT_EQ(1, PKCS7_get_detached(back.get()));

    P7 data(PKCS7_new());
    ASSERT_EQ(1, SM_PKCS7_set_type(data.get(), kNidSmData));
    EXPECT_TRUE(PKCS7_type_is_data(data.get()));
    EXPECT_TRUE(Contains(Der(data.get(), SM_PKCS7_TYPE_OUTER), kSmDataOid));
    EXPECT_EQ(0, SM_PKCS7_set_type(data.get(), NID_sm2));
}

TEST_F(SMContentTypes, Pkcs12WithSmAuthenticatedSafeParsesWithItsOwnMac)
{
    const Bytes stock = FileBytes(Fixture("leaf.p12"));
    const Bytes sm = WithAuthSafeType(stock, kSmDataOid);
    ASSERT_FALSE(sm.empty());
    ASSERT_NE(stock, sm);

    // The library alone reads the safe as an unknown type and cannot check the MAC.
    const unsigned char* p = sm.data();
    P12 plain(d2i_PKCS12(nullptr, &p, static_cast<long>(sm.size())));
    EXPECT_TRUE(!plain || PKCS12_verify_mac(plain.get(), "secret", -1) != 1);

    const std::string path = m_dir.File("sm.p12");
    ASSERT_TRUE(testutil::WriteFile(path, std::string(sm.begin(), sm.end()) + "trailing"));
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    P12 fromFile(SM_d2i_PKCS12_fp(f, nullptr));
    fclose(f);
    p = sm.data();
    P12 fromMemory(SM_d2i_PKCS12(nullptr, &p, static_cast<long>(sm.size())));
    EXPECT_EQ(sm.data() + sm.size(), p);
    Cert leaf = ReadCert(Fixture("leaf.pem"));
    for (PKCS12* p12 : {fromFile.get(), fromMemory.get()}) {
        ASSERT_NE(nullptr, p12);
        EXPECT_EQ(0, PKCS12_verify_mac(p12, "wrong", -1));
        EXPECT_EQ(1, PKCS12_verify_mac(p12, "secret", -1));
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        ASSERT_EQ(1, PKCS12_parse(p12, "secret", &key, &cert, nullptr));
        Pkey keyHolder(key);
        Cert certHolder(cert);
        EXPECT_EQ(0, X509_cmp(leaf.get(), cert));
        EXPECT_EQ(1, X509_check_private_key(cert, key));
    }
}

TEST_F(SMContentTypes, Pkcs12SafesOfSmDataTypeParse)
{
    // The fixture's safes, each data safe given the SM data type and the MAC made again.
    const Bytes stock = FileBytes(Fixture("leaf.p12"));
    const unsigned char* p = stock.data();
    P12 source(d2i_PKCS12(nullptr, &p, static_cast<long>(stock.size())));
    ASSERT_TRUE(source);
    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(source.get());
    STACK_OF(PKCS7)* smSafes = sk_PKCS7_new_null();
    int smCount = 0;
    for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes, i);
        unsigned char* der = nullptr;
        const int len = i2d_PKCS7(safe, &der);
        Bytes bytes(der, der + len);
        OPENSSL_free(der);
        if (PKCS7_type_is_data(safe)) {
            bytes = WithTypes(bytes, kSmDataOid, nullptr);
            ++smCount;
        }
        const unsigned char* q = bytes.data();
        sk_PKCS7_push(smSafes, d2i_PKCS7(nullptr, &q, static_cast<long>(bytes.size())));
    }
    sk_PKCS7_pop_free(safes, PKCS7_free);
    ASSERT_GT(smCount, 0);
    ASSERT_EQ(1, PKCS12_pack_authsafes(source.get(), smSafes));
    sk_PKCS7_pop_free(smSafes, PKCS7_free);
    ASSERT_EQ(1, PKCS12_set_mac(source.get(), "secret", -1, nullptr, 0, 2048, EVP_sha256()));
    unsigned char* der = nullptr;
    const int len = i2d_PKCS12(source.get(), &der);
    const Bytes sm = WithAuthSafeType(Bytes(der, der + len), kSmDataOid);
    OPENSSL_free(der);

    auto read = [&] {
        const unsigned char* q = sm.data();
        return P12(SM_d2i_PKCS12(nullptr, &q, static_cast<long>(sm.size())));
    };
    P12 p12 = read();
    ASSERT_TRUE(p12);
    STACK_OF(PKCS7)* normalised = SM_PKCS12_unpack_authsafes(p12.get());
    ASSERT_NE(nullptr, normalised);
    for (int i = 0; i < sk_PKCS7_num(normalised); ++i) {
        PKCS7* safe = sk_PKCS7_value(normalised, i);
        EXPECT_TRUE(PKCS7_type_is_data(safe) || PKCS7_type_is_encrypted(safe));
        if (PKCS7_type_is_data(safe)) {
            STACK_OF(PKCS12_SAFEBAG)* bags = PKCS12_unpack_p7data(safe);
            EXPECT_NE(nullptr, bags);
            sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
        }
    }
    sk_PKCS7_pop_free(normalised, PKCS7_free);

    // The library's parser passes SM data safes over: no key.
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    PKCS12_parse(p12.get(), "secret", &key, &cert, nullptr);
    EXPECT_EQ(nullptr, key);
    X509_free(cert);
    ERR_clear_error();

    p12 = read();
    EXPECT_EQ(0, SM_PKCS12_parse(p12.get(), "wrong", &key, &cert, nullptr));
    EXPECT_EQ(std::make_pair(ERR_LIB_PKCS12, PKCS12_R_MAC_VERIFY_FAILURE), DrainErrors().back());
    ASSERT_EQ(1, SM_PKCS12_parse(p12.get(), "secret", &key, &cert, nullptr));
    Pkey keyHolder(key);
    Cert certHolder(cert);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(0, X509_cmp(ReadCert(Fixture("leaf.pem")).get(), cert));
    EXPECT_EQ(1, X509_check_private_key(cert, key));
}

}  // namespace
