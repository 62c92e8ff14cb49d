// The SM2 DER types: round trips, the exact encodings the formats fix, the SM2_PRIVATEKEY form
// through the legacy decoder, the dual public key block and the attribute choice.
#include "SM2Asn1.h"
#include "SM2Core.h"
#include "SM2KeyMethod.h"
#include "SM2TestSupport.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/objects.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace sm2test;
using testutil::BytesToHex;
using testutil::HexToBytes;

// i2d through a library-style encoder, as bytes.
template <typename T>
Bytes Der(const T* value, int (*i2d)(const T*, unsigned char**))
{
    unsigned char* der = nullptr;
    const int len = i2d(value, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

// DER -> value -> DER gives the same bytes; the decoded value for further checks.
template <typename T>
T* RoundTrip(const Bytes& der, T* (*d2i)(T**, const unsigned char**, long), int (*i2d)(const T*, unsigned char**))
{
    const unsigned char* p = der.data();
    T* back = d2i(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_NE(nullptr, back);
    if (back != nullptr) {
        EXPECT_EQ(der.data() + der.size(), p);
        const Bytes again = Der(back, i2d);
        EXPECT_EQ(BytesToHex(der.data(), der.size()), BytesToHex(again.data(), again.size()));
    }
    return back;
}

ASN1_OCTET_STRING* Octets(const std::string& s)
{
    ASN1_OCTET_STRING* o = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(o, reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
    return o;
}

class SM2Asn1 : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        ERR_clear_error();
    }
    void TearDown() override { ERR_clear_error(); }
};

TEST_F(SM2Asn1, CipherCoordinatesAreMinimalPositiveIntegersAndEveryContainerTypeRoundTrips)
{
    SM2Cipher* c = SM2Cipher_new();
    BN_hex2bn(&c->XCoordinate, "80112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF");
    BN_hex2bn(&c->YCoordinate, "0000000000000000000000000000000000000000000000000000000000000102");
    ASN1_OCTET_STRING_set(c->HASH, Bytes(32, 0xC3).data(), 32);
    ASN1_OCTET_STRING_set(c->cipherText, reinterpret_cast<const unsigned char*>("abc"), 3);
    const Bytes der = Der(c, i2d_SM2Cipher);
    // x1 with its top bit set: 33 content bytes with a leading zero; y1 without leading zeros.
    EXPECT_EQ("304e022100801122", BytesToHex(der.data(), 8));
    EXPECT_EQ("02020102", BytesToHex(der.data() + 37, 4));
    SM2Cipher* back = RoundTrip(der, d2i_SM2Cipher, i2d_SM2Cipher);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(0, BN_cmp(c->XCoordinate, back->XCoordinate));
    SM2Cipher_free(back);

    SM2EnvelopedKey* env = SM2EnvelopedKey_new();
    ASN1_OBJECT_free(env->symAlgID->algorithm);
    env->symAlgID->algorithm = OBJ_nid2obj(kNidSm4Cbc);
    SM2Cipher_free(env->symEncryptedKey);
    env->symEncryptedKey = c;
    ASN1_BIT_STRING_set(env->Sm2PublicKey, Bytes(65, 0x04).data(), 65);
    ASN1_BIT_STRING_set(env->Sm2EncryptedPrivateKey, Bytes(32, 0x5A).data(), 32);
    SM2EnvelopedKey_free(RoundTrip(Der(env, i2d_SM2EnvelopedKey), d2i_SM2EnvelopedKey, i2d_SM2EnvelopedKey));
    // The algorithm identifier has no parameters field.
    EXPECT_EQ("300906072a811ccf550168", BytesToHex(Der(env->symAlgID, i2d_AlgorithmIdentifier).data(), 11));
    SM2EnvelopedKey_free(env);

    PFX_SM2* pfx = PFX_SM2_new();
    ASN1_INTEGER_set(pfx->version, 1);
    pfx->privateData->dataID = OBJ_nid2obj(kNidSmData);
    pfx->privateData->dataEncryptedAlg = OBJ_nid2obj(kNidSm4Cbc);
    ASN1_OCTET_STRING_free(pfx->privateData->encryptedSM2PrivateKey);
    pfx->privateData->encryptedSM2PrivateKey = Octets("encrypted key");
    pfx->publicData->dataID = OBJ_nid2obj(kNidSmData);
    ASN1_OCTET_STRING_free(pfx->publicData->SM2Certificate);
    pfx->publicData->SM2Certificate = Octets("certificate");
    const Bytes pfxDer = Der(pfx, i2d_PFX_SM2);
    PFX_SM2_free(pfx);
    PFX_SM2_free(RoundTrip(pfxDer, d2i_PFX_SM2, i2d_PFX_SM2));
    // The same from a BIO; a truncated one gives null.
    for (size_t len : {pfxDer.size(), pfxDer.size() - 1}) {
        BIO* bio = BIO_new_mem_buf(pfxDer.data(), static_cast<int>(len));
        PFX_SM2* read = d2i_SM2_PFX_bio(bio, nullptr);
        EXPECT_EQ(len == pfxDer.size(), read != nullptr);
        if (read != nullptr) {
            EXPECT_EQ("certificate", std::string(reinterpret_cast<const char*>(read->publicData->SM2Certificate->data),
                                                 read->publicData->SM2Certificate->length));
        }
        PFX_SM2_free(read);
        BIO_free(bio);
    }
}

TEST_F(SM2Asn1, PrivateKeyHasAnIntegerScalarAndDecodesBackWithOrWithoutItsParts)
{
    Pkey key = NewLegacyKey();
    const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(key.get());
    unsigned char* der = nullptr;
    const int len = i2d_SM2PrivateKey(ec, &der);
    ASSERT_GT(len, 0);
    const Bytes full(der, der + len);
    OPENSSL_free(der);
    // SEQUENCE, INTEGER 1, then the scalar as an INTEGER (02), not an OCTET STRING (04).
    EXPECT_EQ(0x30, full[0]);
    EXPECT_EQ("020101", BytesToHex(full.data() + 2, 3));
    EXPECT_EQ(0x02, full[5]);

    const unsigned char* p = full.data();
    EC_KEY* back = d2i_SM2PrivateKey(nullptr, &p, len);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(full.data() + len, p);
    EXPECT_EQ(0, BN_cmp(EC_KEY_get0_private_key(ec), EC_KEY_get0_private_key(back)));
    EXPECT_EQ(0, EC_POINT_cmp(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), EC_KEY_get0_public_key(back),
                              nullptr));

    // Without parameters the group must come from *key; without the point it is computed.
    EC_KEY_set_enc_flags(back, EC_PKEY_NO_PARAMETERS | EC_PKEY_NO_PUBKEY);
    der = nullptr;
    const int shortLen = i2d_SM2PrivateKey(back, &der);
    ASSERT_GT(shortLen, 0);
    const Bytes bare(der, der + shortLen);
    OPENSSL_free(der);
    p = bare.data();
    EXPECT_EQ(nullptr, d2i_SM2PrivateKey(nullptr, &p, shortLen));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{16, SM2_ASN1_R_EC_LIB}}), DrainErrors());
    EC_KEY* into = EC_KEY_new_by_curve_name(NID_sm2);
    EC_KEY* given = into;
    EXPECT_EQ(into, d2i_SM2PrivateKey(&given, &p, shortLen));
    EXPECT_EQ(0, EC_POINT_cmp(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), EC_KEY_get0_public_key(into),
                              nullptr));
    EC_KEY_free(into);
    EC_KEY_free(back);
    SM2_PRIVATEKEY_free(RoundTrip(full, d2i_SM2_PRIVATEKEY, i2d_SM2_PRIVATEKEY));

    // A key on the example curve is written with explicit parameters and recognised when read.
    EC_KEY* example = EC_KEY_new();
    EC_GROUP* group = SM_EC_GROUP_new_by_curve_name(kNidSm2TestCurve);
    ASSERT_EQ(1, EC_KEY_set_group(example, group));
    ASSERT_EQ(1, EC_KEY_generate_key(example));
    der = nullptr;
    const int exampleLen = i2d_SM2PrivateKey(example, &der);
    p = der;
    back = d2i_SM2PrivateKey(nullptr, &p, exampleLen);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(kNidSm2TestCurve, EC_GROUP_get_curve_name(EC_KEY_get0_group(back)));
    EXPECT_EQ(0, BN_cmp(EC_KEY_get0_private_key(example), EC_KEY_get0_private_key(back)));
    for (EC_KEY* k : {example, back})
        EC_KEY_free(k);
    EC_GROUP_free(group);
    OPENSSL_free(der);

    der = nullptr;
    EXPECT_EQ(0, i2d_SM2PrivateKey(nullptr, &der));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{16, SM2_ASN1_R_PASSED_NULL_PARAMETER}}), DrainErrors());
}

TEST_F(SM2Asn1, AnEmptyPublicKeyBitStringMustNotCrashTheDecoder)
{
    // { 1, d = 1, [0] SM2 curve, [1] BIT STRING of no bytes at all }: no first byte to read the form from.
    const Bytes der = HexToBytes("3017020101020101a00a06082a811ccf5501822da103030100");
    const unsigned char* p = der.data();
    EXPECT_EQ(nullptr, d2i_SM2PrivateKey(nullptr, &p, static_cast<long>(der.size())));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{16, SM2_ASN1_R_EC_LIB}}), DrainErrors());
}

TEST_F(SM2Asn1, Sm2PrivateKeyFormLoadsThroughTheLegacyDecoderAndLeavesNoError)
{
    Pkey key = NewLegacyKey();
    BIO* mem = BIO_new(BIO_s_mem());
    ASSERT_EQ(1, PEM_write_bio_SM2PrivateKey(mem, EVP_PKEY_get0_EC_KEY(key.get()), nullptr, nullptr, 0, nullptr,
                                             nullptr));
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* der = nullptr;
    long len = 0;
    ASSERT_EQ(1, PEM_read_bio(mem, &name, &header, &der, &len));
    EXPECT_STREQ("EC PRIVATE KEY", name);
    BIO_free(mem);

    EVP_PKEY* loaded = nullptr;
    const unsigned char* p = der;
    EVP_PKEY* returned = SM_d2i_AutoPrivateKey(&loaded, &p, len);
    ASSERT_NE(nullptr, returned);
    EXPECT_EQ(returned, loaded);
    EXPECT_EQ(der + len, p);
    EXPECT_EQ(0ul, ERR_peek_error());
    EXPECT_EQ(1, EVP_PKEY_is_a(loaded, "SM2"));
    EXPECT_EQ(1, EVP_PKEY_eq(key.get(), loaded));
    EVP_PKEY_free(loaded);
    OPENSSL_free(name);
    OPENSSL_free(header);

    // What neither way reads: the decode entry comes last.
    der[0] = 0x31;
    p = der;
    EXPECT_EQ(nullptr, SM_d2i_AutoPrivateKey(nullptr, &p, len));
    const auto errors = DrainErrors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(std::make_pair(SM2_KEY_ERR_LIB_EC, SM2_KEY_R_DECODE_ERROR), errors.back());
    OPENSSL_free(der);
}

TEST_F(SM2Asn1, DualPublicKeyBlockLayout)
{
    Pkey key = NewLegacyKey();
    X509_PUBKEY_DOUBLE* dbl = X509_PUBKEY_DOUBLE_new();   // replaced (and freed) by the call
    ASSERT_EQ(1, X509_PUBKEY_DOUBLE_set(&dbl, key.get()));
    EXPECT_EQ(1, ASN1_INTEGER_get(dbl->version));
    ASSERT_EQ(X509_PUBKEY_DOUBLE_BLOCK_LENGTH, dbl->tmppubkey->length);
    Bn x, y;
    ASSERT_TRUE(PublicXY(key.get(), &x, &y));
    Bytes expected = HexToBytes("00b4000000010000");
    const Bytes x32 = Bn32(x.get()), y32 = Bn32(y.get()), zero(32, 0);
    for (const Bytes* part : {&x32, &zero, &y32, &zero})
        expected.insert(expected.end(), part->begin(), part->end());
    EXPECT_EQ(BytesToHex(expected.data(), expected.size()), BytesToHex(dbl->tmppubkey->data, 136));
    X509_PUBKEY_DOUBLE_free(RoundTrip(Der(dbl, i2d_X509_PUBKEY_DOUBLE), d2i_X509_PUBKEY_DOUBLE,
                                      i2d_X509_PUBKEY_DOUBLE));

    // A compressed point (33 bytes) does not fit: 0, and *x stays as it was.
    X509_PUBKEY_DOUBLE* before = dbl;
    EC_KEY* ec = EVP_PKEY_get1_EC_KEY(key.get());
    EC_KEY_set_conv_form(ec, POINT_CONVERSION_COMPRESSED);
    EC_KEY_free(ec);
    EXPECT_EQ(0, X509_PUBKEY_DOUBLE_set(&dbl, key.get()));
    EXPECT_EQ(before, dbl);
    EXPECT_EQ(0, X509_PUBKEY_DOUBLE_set(nullptr, key.get()));
    EXPECT_EQ(0, X509_PUBKEY_DOUBLE_set(&dbl, nullptr));
    X509_PUBKEY_DOUBLE_free(dbl);
}

TEST_F(SM2Asn1, AttributeValuesAreWrittenAsTheirTypeAndReadBackAsSingle)
{
    struct Case
    {
        int type;
        const char* valueTag;   // the bare value's tag after the OID
        int asn1Type;           // what it decodes to under `single`
    };
    const Case kCases[] = {{SM_ATTRIBUTE_CHALLENGE_PASSWORD, "13", V_ASN1_PRINTABLESTRING},
                           {SM_ATTRIBUTE_TMPPUBKEY, "04", V_ASN1_OCTET_STRING}};
    const ASN1_OBJECT* object = OBJ_nid2obj(NID_pkcs9_challengePassword);
    const std::string data = "secret";
    STACK_OF(SM_X509_ATTRIBUTE)* attrs = nullptr;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.type);
        ASSERT_EQ(1, X509_ATTRIBUTE_set1_data_double(&attrs, object, c.type,
                                                     reinterpret_cast<const unsigned char*>(data.data()),
                                                     static_cast<int>(data.size())));
        const SM_X509_ATTRIBUTE* attr = sk_SM_X509_ATTRIBUTE_value(attrs, sk_SM_X509_ATTRIBUTE_num(attrs) - 1);
        const Bytes der = Der(attr, i2d_SM_X509_ATTRIBUTE);
        EXPECT_EQ(std::string("301306092a864886f70d010907") + c.valueTag + "06736563726574",
                  BytesToHex(der.data(), der.size()));
        SM_X509_ATTRIBUTE* back = RoundTrip(der, d2i_SM_X509_ATTRIBUTE, i2d_SM_X509_ATTRIBUTE);
        ASSERT_NE(nullptr, back);
        EXPECT_EQ(1, back->single);
        EXPECT_EQ(c.asn1Type, ASN1_TYPE_get(back->value.single));
        SM_X509_ATTRIBUTE_free(back);
    }
    EXPECT_EQ(2, sk_SM_X509_ATTRIBUTE_num(attrs));

    // A value in a SET decodes as `set`; other input fails.
    const Bytes setDer = HexToBytes("301406092a864886f70d010907310713057365637265");
    SM_X509_ATTRIBUTE* set = RoundTrip(setDer, d2i_SM_X509_ATTRIBUTE, i2d_SM_X509_ATTRIBUTE);
    ASSERT_NE(nullptr, set);
    EXPECT_EQ(0, set->single);
    SM_X509_ATTRIBUTE_free(set);
    for (const char* bad : {"3100", "300b06092a864886f70d010907", "301406092a864886f70d0109073107130573656372"}) {
        const Bytes b = HexToBytes(bad);
        const unsigned char* p = b.data();
        EXPECT_EQ(nullptr, d2i_SM_X509_ATTRIBUTE(nullptr, &p, static_cast<long>(b.size()))) << bad;
    }

    // A value type the attribute cannot carry is refused, not reported as an attribute without value.
    STACK_OF(SM_X509_ATTRIBUTE)* none = nullptr;
    EXPECT_EQ(0, X509_ATTRIBUTE_set1_data_double(&none, object, V_ASN1_UTF8STRING,
                                                 reinterpret_cast<const unsigned char*>("x"), 1));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(0, X509_ATTRIBUTE_set1_data_double(&attrs, object, 4, reinterpret_cast<const unsigned char*>("x"), 1));
    EXPECT_EQ(2, sk_SM_X509_ATTRIBUTE_num(attrs));
    sk_SM_X509_ATTRIBUTE_pop_free(attrs, SM_X509_ATTRIBUTE_free);
}

}  // namespace
