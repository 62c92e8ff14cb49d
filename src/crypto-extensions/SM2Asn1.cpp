// Templates and coding functions of the SM2 DER types.
#include "SM2Asn1.h"

#include "CryptoExtHolders.h"
#include "SM2KeyDetail.h"
#include "SM2KeyMethod.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <memory>

// The version is an embedded 32-bit field: an embedded LONG would be written from the wrong width.
ASN1_SEQUENCE(SM2_PRIVATEKEY) = {
    ASN1_EMBED(SM2_PRIVATEKEY, version, INT32),
    ASN1_SIMPLE(SM2_PRIVATEKEY, privateKey, ASN1_INTEGER),
    ASN1_EXP_OPT(SM2_PRIVATEKEY, parameters, ECPKPARAMETERS, 0),
    ASN1_EXP_OPT(SM2_PRIVATEKEY, publicKey, ASN1_BIT_STRING, 1),
} ASN1_SEQUENCE_END(SM2_PRIVATEKEY)
IMPLEMENT_ASN1_FUNCTIONS(SM2_PRIVATEKEY)

ASN1_SEQUENCE(SM2Cipher) = {
    ASN1_SIMPLE(SM2Cipher, XCoordinate, BIGNUM),
    ASN1_SIMPLE(SM2Cipher, YCoordinate, BIGNUM),
    ASN1_SIMPLE(SM2Cipher, HASH, ASN1_OCTET_STRING),
    ASN1_SIMPLE(SM2Cipher, cipherText, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2Cipher)
IMPLEMENT_ASN1_FUNCTIONS(SM2Cipher)

ASN1_SEQUENCE(AlgorithmIdentifier) = {
    ASN1_SIMPLE(SM2_ALGORITHM_IDENTIFIER, algorithm, ASN1_OBJECT),
} ASN1_SEQUENCE_END_name(SM2_ALGORITHM_IDENTIFIER, AlgorithmIdentifier)
IMPLEMENT_ASN1_FUNCTIONS_name(SM2_ALGORITHM_IDENTIFIER, AlgorithmIdentifier)

ASN1_SEQUENCE(SM2EnvelopedKey) = {
    ASN1_SIMPLE(SM2EnvelopedKey, symAlgID, AlgorithmIdentifier),
    ASN1_SIMPLE(SM2EnvelopedKey, symEncryptedKey, SM2Cipher),
    ASN1_SIMPLE(SM2EnvelopedKey, Sm2PublicKey, ASN1_BIT_STRING),
    ASN1_SIMPLE(SM2EnvelopedKey, Sm2EncryptedPrivateKey, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(SM2EnvelopedKey)
IMPLEMENT_ASN1_FUNCTIONS(SM2EnvelopedKey)

ASN1_SEQUENCE(PFX_SM2_PRIVATE_DATA) = {
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, dataEncryptedAlg, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, encryptedSM2PrivateKey, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(PFX_SM2_PRIVATE_DATA)
IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2_PRIVATE_DATA)

ASN1_SEQUENCE(PFX_SM2_PUBLIC_DATA) = {
    ASN1_SIMPLE(PFX_SM2_PUBLIC_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PUBLIC_DATA, SM2Certificate, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(PFX_SM2_PUBLIC_DATA)
IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2_PUBLIC_DATA)

ASN1_SEQUENCE(PFX_SM2) = {
    ASN1_SIMPLE(PFX_SM2, version, ASN1_INTEGER),
    ASN1_SIMPLE(PFX_SM2, privateData, PFX_SM2_PRIVATE_DATA),
    ASN1_SIMPLE(PFX_SM2, publicData, PFX_SM2_PUBLIC_DATA),
} ASN1_SEQUENCE_END(PFX_SM2)
IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2)

ASN1_NDEF_SEQUENCE(X509_PUBKEY_DOUBLE) = {
    ASN1_SIMPLE(X509_PUBKEY_DOUBLE, version, ASN1_INTEGER),
    ASN1_SIMPLE(X509_PUBKEY_DOUBLE, tmppubkey, ASN1_OCTET_STRING),
} ASN1_NDEF_SEQUENCE_END(X509_PUBKEY_DOUBLE)
IMPLEMENT_ASN1_FUNCTIONS(X509_PUBKEY_DOUBLE)

namespace {

using namespace smdetail;

constexpr int kFunctionD2i = 146;
constexpr int kFunctionI2d = 192;

// The private-key coders report like the library's EC key coders: library 16 with our reason.
void Raise(int function, int reason)
{
    ERR_new();
    ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, function == kFunctionD2i ? "d2i_SM2PrivateKey" : "i2d_SM2PrivateKey");
    ERR_set_error(SM2_KEY_ERR_LIB_EC, reason, nullptr);
}

// The scalar is secret: its INTEGER is cleared before release.
struct Sm2PrivateKeyFree
{
    void operator()(SM2_PRIVATEKEY* p) const
    {
        if (p->privateKey != nullptr)
            ASN1_STRING_clear_free(p->privateKey);
        p->privateKey = nullptr;
        SM2_PRIVATEKEY_free(p);
    }
};
using Sm2PrivateKeyPtr = std::unique_ptr<SM2_PRIVATEKEY, Sm2PrivateKeyFree>;

using AttributePtr = std::unique_ptr<SM_X509_ATTRIBUTE, LibraryFree<SM_X509_ATTRIBUTE, SM_X509_ATTRIBUTE_free>>;
using PubkeyDoublePtr = std::unique_ptr<X509_PUBKEY_DOUBLE, LibraryFree<X509_PUBKEY_DOUBLE, X509_PUBKEY_DOUBLE_free>>;

// A decoded key before it is handed out: group, scalar, point and how the point was written.
struct DecodedKey
{
    EcGroupPtr group;
    BnPtr d;
    EcPointPtr pub;
    point_conversion_form_t form = POINT_CONVERSION_UNCOMPRESSED;
    bool pubWritten = true;
};

bool DecodeKey(const SM2_PRIVATEKEY& priv, const EC_KEY* given, DecodedKey* out)
{
    if (priv.parameters != nullptr) {
        out->group.reset(EC_GROUP_new_from_ecpkparameters(priv.parameters));
        if (!out->group) {
            Raise(kFunctionD2i, SM2_ASN1_R_EC_LIB);
            return false;
        }
        // The example curve has no OID the library knows: recognise it by its parameters.
        sm2detail::NameExampleCurve(out->group.get());
    } else {
        const EC_GROUP* group = given != nullptr ? EC_KEY_get0_group(given) : nullptr;
        out->group.reset(group != nullptr ? EC_GROUP_dup(group) : nullptr);
        if (!out->group) {
            Raise(kFunctionD2i, SM2_ASN1_R_EC_LIB);
            return false;
        }
    }
    const EC_GROUP* group = out->group.get();

    if (priv.privateKey == nullptr) {
        Raise(kFunctionD2i, SM2_ASN1_R_MISSING_PRIVATE_KEY);
        return false;
    }
    if (ASN1_STRING_type(priv.privateKey) != V_ASN1_INTEGER) {
        Raise(kFunctionD2i, SM2_ASN1_R_EC_LIB);
        return false;
    }
    out->d.reset(BN_bin2bn(ASN1_STRING_get0_data(priv.privateKey), ASN1_STRING_length(priv.privateKey), nullptr));
    if (!out->d) {
        Raise(kFunctionD2i, SM2_ASN1_R_BN_LIB);
        return false;
    }
    BN_set_flags(out->d.get(), BN_FLG_CONSTTIME);

    out->pub.reset(EC_POINT_new(group));
    if (!out->pub) {
        Raise(kFunctionD2i, SM2_ASN1_R_MALLOC_FAILURE);
        return false;
    }
    if (priv.publicKey != nullptr) {
        // An empty BIT STRING has no first byte to take the point's form from.
        const unsigned char* oct = ASN1_STRING_get0_data(priv.publicKey);
        const int octLen = ASN1_STRING_length(priv.publicKey);
        if (oct == nullptr || octLen <= 0 ||
            !EC_POINT_oct2point(group, out->pub.get(), oct, static_cast<size_t>(octLen), nullptr)) {
            Raise(kFunctionD2i, SM2_ASN1_R_EC_LIB);
            return false;
        }
        out->form = static_cast<point_conversion_form_t>(oct[0] & ~0x01);
    } else {
        // Written without its point: compute it, and write it without again.
        if (!EC_POINT_mul(group, out->pub.get(), out->d.get(), nullptr, nullptr, nullptr)) {
            Raise(kFunctionD2i, SM2_ASN1_R_EC_LIB);
            return false;
        }
        out->pubWritten = false;
    }
    return true;
}

bool StoreKey(EC_KEY* key, const DecodedKey& k)
{
    if (!EC_KEY_set_group(key, k.group.get()) || !EC_KEY_set_private_key(key, k.d.get()) ||
        !EC_KEY_set_public_key(key, k.pub.get()))
        return false;
    EC_KEY_set_conv_form(key, k.form);
    unsigned int flags = EC_KEY_get_enc_flags(key) & ~static_cast<unsigned int>(EC_PKEY_NO_PUBKEY);
    EC_KEY_set_enc_flags(key, k.pubWritten ? flags : flags | EC_PKEY_NO_PUBKEY);
    return true;
}

int I2dSm2PrivateKeyAny(const void* key, unsigned char** out)
{
    return i2d_SM2PrivateKey(static_cast<const EC_KEY*>(key), out);
}

}  // namespace

EC_KEY* d2i_SM2PrivateKey(EC_KEY** key, const unsigned char** in, long len)
{
    if (in == nullptr || *in == nullptr || len <= 0) {
        Raise(kFunctionD2i, SM2_ASN1_R_EC_LIB);
        return nullptr;
    }
    const unsigned char* p = *in;
    Sm2PrivateKeyPtr priv(d2i_SM2_PRIVATEKEY(nullptr, &p, len));
    if (!priv) {
        Raise(kFunctionD2i, SM2_ASN1_R_EC_LIB);
        return nullptr;
    }
    const EC_KEY* given = key != nullptr ? *key : nullptr;
    DecodedKey decoded;
    if (!DecodeKey(*priv, given, &decoded))
        return nullptr;

    // A given key keeps its method and engine: only its group and keys are replaced.
    EC_KEY* result = key != nullptr ? *key : nullptr;
    EcKeyPtr fresh;
    if (result == nullptr) {
        fresh.reset(EC_KEY_new());
        if (!fresh) {
            Raise(kFunctionD2i, SM2_ASN1_R_MALLOC_FAILURE);
            return nullptr;
        }
        result = fresh.get();
    }
    if (!StoreKey(result, decoded)) {
        Raise(kFunctionD2i, SM2_ASN1_R_EC_LIB);
        return nullptr;
    }
    if (fresh) {
        fresh.release();
        if (key != nullptr)
            *key = result;
    }
    *in = p;
    return result;
}

int i2d_SM2PrivateKey(const EC_KEY* key, unsigned char** out)
{
    const EC_GROUP* group = key != nullptr ? EC_KEY_get0_group(key) : nullptr;
    const BIGNUM* d = key != nullptr ? EC_KEY_get0_private_key(key) : nullptr;
    const unsigned int flags = key != nullptr ? EC_KEY_get_enc_flags(key) : 0;
    const EC_POINT* pub = key != nullptr ? EC_KEY_get0_public_key(key) : nullptr;
    if (group == nullptr || d == nullptr || (!(flags & EC_PKEY_NO_PUBKEY) && pub == nullptr)) {
        Raise(kFunctionI2d, SM2_ASN1_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    Sm2PrivateKeyPtr priv(SM2_PRIVATEKEY_new());
    if (!priv) {
        Raise(kFunctionI2d, SM2_ASN1_R_MALLOC_FAILURE);
        return 0;
    }
    priv->version = 1;
    ASN1_STRING_clear_free(priv->privateKey);
    priv->privateKey = BN_to_ASN1_INTEGER(d, nullptr);
    if (priv->privateKey == nullptr) {
        Raise(kFunctionI2d, SM2_ASN1_R_MALLOC_FAILURE);
        return 0;
    }
    if (!(flags & EC_PKEY_NO_PARAMETERS)) {
        priv->parameters = EC_GROUP_get_ecpkparameters(group, nullptr);
        if (priv->parameters == nullptr) {
            Raise(kFunctionI2d, SM2_ASN1_R_EC_LIB);
            return 0;
        }
    }
    if (!(flags & EC_PKEY_NO_PUBKEY)) {
        unsigned char* oct = nullptr;
        const size_t octLen = EC_POINT_point2buf(group, pub, EC_KEY_get_conv_form(key), &oct, nullptr);
        OpensslBytesPtr octHolder(oct);
        priv->publicKey = ASN1_BIT_STRING_new();
        if (octLen == 0 || priv->publicKey == nullptr) {
            Raise(kFunctionI2d, octLen == 0 ? SM2_ASN1_R_EC_LIB : SM2_ASN1_R_MALLOC_FAILURE);
            return 0;
        }
        // A whole number of bytes: no unused bits.
        ASN1_STRING_set0(priv->publicKey, octHolder.release(), static_cast<int>(octLen));
        priv->publicKey->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
        priv->publicKey->flags |= ASN1_STRING_FLAG_BITS_LEFT;
    }
    const int len = i2d_SM2_PRIVATEKEY(priv.get(), out);
    if (len <= 0) {
        Raise(kFunctionI2d, SM2_ASN1_R_EC_LIB);
        return 0;
    }
    return len;
}

int PEM_write_bio_SM2PrivateKey(BIO* bp, const EC_KEY* key, const EVP_CIPHER* enc, const unsigned char* kstr, int klen,
                                pem_password_cb* cb, void* u)
{
    return PEM_ASN1_write_bio(I2dSm2PrivateKeyAny, PEM_STRING_ECPRIVATEKEY, bp, key, enc, kstr, klen, cb, u);
}

int PEM_write_SM2PrivateKey(FILE* fp, const EC_KEY* key, const EVP_CIPHER* enc, const unsigned char* kstr, int klen,
                            pem_password_cb* cb, void* u)
{
    return PEM_ASN1_write(I2dSm2PrivateKeyAny, PEM_STRING_ECPRIVATEKEY, fp, key, enc, kstr, klen, cb, u);
}

PFX_SM2* d2i_SM2_PFX_bio(BIO* bp, PFX_SM2** pfx)
{
    if (bp == nullptr)
        return nullptr;
    return static_cast<PFX_SM2*>(ASN1_item_d2i_bio(ASN1_ITEM_rptr(PFX_SM2), bp, pfx));
}

int X509_PUBKEY_DOUBLE_set(X509_PUBKEY_DOUBLE** x, EVP_PKEY* pkey)
{
    if (x == nullptr || pkey == nullptr)
        return 0;
    const EC_KEY* ec = SM_EVP_PKEY_get0_EC_KEY(pkey);
    const EC_GROUP* group = ec != nullptr ? EC_KEY_get0_group(ec) : nullptr;
    const EC_POINT* pub = ec != nullptr ? EC_KEY_get0_public_key(ec) : nullptr;
    if (group == nullptr || pub == nullptr)
        return 0;
    // 04 || x || y on a 256-bit curve; a compressed point or another curve does not fit the block.
    unsigned char point[65];
    const point_conversion_form_t form = EC_KEY_get_conv_form(ec);
    if (EC_POINT_point2oct(group, pub, form, nullptr, 0, nullptr) != sizeof(point) ||
        EC_POINT_point2oct(group, pub, form, point, sizeof(point), nullptr) != sizeof(point))
        return 0;

    unsigned char block[X509_PUBKEY_DOUBLE_BLOCK_LENGTH] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    memcpy(block + 8, point + 1, 32);
    memcpy(block + 72, point + 33, 32);
    PubkeyDoublePtr made(X509_PUBKEY_DOUBLE_new());
    if (!made || !ASN1_INTEGER_set(made->version, 1) ||
        !ASN1_OCTET_STRING_set(made->tmppubkey, block, sizeof(block)))
        return 0;
    X509_PUBKEY_DOUBLE_free(*x);
    *x = made.release();
    return 1;
}

// ---- Attributes -----------------------------------------------------------------------------------

SM_X509_ATTRIBUTE* SM_X509_ATTRIBUTE_new()
{
    return static_cast<SM_X509_ATTRIBUTE*>(OPENSSL_zalloc(sizeof(SM_X509_ATTRIBUTE)));
}

void SM_X509_ATTRIBUTE_free(SM_X509_ATTRIBUTE* a)
{
    if (a == nullptr)
        return;
    ASN1_OBJECT_free(a->object);
    switch (a->single) {
    case 0:
        sk_ASN1_TYPE_pop_free(a->value.set, ASN1_TYPE_free);
        break;
    case 1:
        ASN1_TYPE_free(a->value.single);
        break;
    case 2:
        ASN1_PRINTABLESTRING_free(a->value.challege_password);
        break;
    case 3:
        ASN1_OCTET_STRING_free(a->value.tmppubkey);
        break;
    default:
        break;
    }
    OPENSSL_free(a);
}

SM_X509_ATTRIBUTE* d2i_SM_X509_ATTRIBUTE(SM_X509_ATTRIBUTE** a, const unsigned char** in, long len)
{
    if (in == nullptr || *in == nullptr || len <= 0)
        return nullptr;
    const unsigned char* p = *in;
    long contentLength = 0;
    int tag = 0, cls = 0;
    const int info = ASN1_get_object(&p, &contentLength, &tag, &cls, len);
    // A definite-length universal SEQUENCE (ASN1_get_object has checked the length against len).
    if ((info & 0x80) != 0 || info != V_ASN1_CONSTRUCTED || tag != V_ASN1_SEQUENCE || cls != V_ASN1_UNIVERSAL)
        return nullptr;
    const unsigned char* const end = p + contentLength;

    AttributePtr attr(SM_X509_ATTRIBUTE_new());
    if (!attr)
        return nullptr;
    attr->object = d2i_ASN1_OBJECT(nullptr, &p, end - p);
    if (attr->object == nullptr || p >= end)
        return nullptr;
    // The alternatives in order: a SET OF values, else any single value.
    if (*p == (V_ASN1_CONSTRUCTED | V_ASN1_SET)) {
        attr->single = 0;
        attr->value.set = d2i_ASN1_SET_ANY(nullptr, &p, end - p);
    } else {
        attr->single = 1;
        attr->value.single = d2i_ASN1_TYPE(nullptr, &p, end - p);
    }
    if (attr->value.ptr == nullptr || p != end)
        return nullptr;
    *in = end;
    if (a != nullptr) {
        SM_X509_ATTRIBUTE_free(*a);
        *a = attr.get();
    }
    return attr.release();
}

int i2d_SM_X509_ATTRIBUTE(const SM_X509_ATTRIBUTE* a, unsigned char** out)
{
    if (a == nullptr || a->object == nullptr || a->value.ptr == nullptr)
        return -1;
    // The value as its alternative encodes it.
    auto value = [a](unsigned char** pp) -> int {
        switch (a->single) {
        case 0:
            return i2d_ASN1_SET_ANY(a->value.set, pp);
        case 1:
            return i2d_ASN1_TYPE(a->value.single, pp);
        case 2:
            return i2d_ASN1_PRINTABLESTRING(a->value.challege_password, pp);
        case 3:
            return i2d_ASN1_OCTET_STRING(a->value.tmppubkey, pp);
        default:
            return -1;
        }
    };
    const int objectLength = i2d_ASN1_OBJECT(a->object, nullptr);
    const int valueLength = value(nullptr);
    if (objectLength <= 0 || valueLength <= 0 || valueLength > INT_MAX / 2 - objectLength)
        return -1;
    const int total = ASN1_object_size(1, objectLength + valueLength, V_ASN1_SEQUENCE);
    if (total <= 0 || out == nullptr)
        return total;

    unsigned char* allocated = nullptr;
    if (*out == nullptr) {
        allocated = static_cast<unsigned char*>(OPENSSL_malloc(static_cast<size_t>(total)));
        if (allocated == nullptr)
            return -1;
    }
    unsigned char* p = allocated != nullptr ? allocated : *out;
    ASN1_put_object(&p, 1, objectLength + valueLength, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    if (i2d_ASN1_OBJECT(a->object, &p) != objectLength || value(&p) != valueLength) {
        OPENSSL_free(allocated);
        return -1;
    }
    // The library's convention: a buffer it allocates is returned at its start, a given one advanced.
    *out = allocated != nullptr ? allocated : p;
    return total;
}

int X509_ATTRIBUTE_set1_data_double(STACK_OF(SM_X509_ATTRIBUTE)** attributes, const ASN1_OBJECT* object, int type,
                                    const unsigned char* data, int length)
{
    if (attributes == nullptr || object == nullptr || data == nullptr || length < 0)
        return 0;
    // Only the two value types the attribute can carry; anything else would leave an attribute
    // without a value.
    if (type != SM_ATTRIBUTE_TMPPUBKEY && type != SM_ATTRIBUTE_CHALLENGE_PASSWORD)
        return 0;
    AttributePtr attr(SM_X509_ATTRIBUTE_new());
    if (!attr)
        return 0;
    attr->object = OBJ_dup(object);
    if (attr->object == nullptr)
        return 0;
    ASN1_STRING* value = type == SM_ATTRIBUTE_TMPPUBKEY ? ASN1_OCTET_STRING_new() : ASN1_PRINTABLESTRING_new();
    if (value == nullptr)
        return 0;
    attr->single = type == SM_ATTRIBUTE_TMPPUBKEY ? 3 : 2;
    attr->value.tmppubkey = value;
    if (!ASN1_STRING_set(value, data, length))
        return 0;

    STACK_OF(SM_X509_ATTRIBUTE)* created = nullptr;
    STACK_OF(SM_X509_ATTRIBUTE)* stack = *attributes;
    if (stack == nullptr) {
        stack = created = sk_SM_X509_ATTRIBUTE_new_null();
        if (stack == nullptr)
            return 0;
    }
    if (sk_SM_X509_ATTRIBUTE_push(stack, attr.get()) <= 0) {
        sk_SM_X509_ATTRIBUTE_free(created);
        return 0;
    }
    attr.release();
    *attributes = stack;
    return 1;
}
