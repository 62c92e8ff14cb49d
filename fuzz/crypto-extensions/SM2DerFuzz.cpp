// The SM2 DER decoders on untrusted input. The first byte picks the decoder, the rest is its input:
// 0 the attribute (hand-written decoder), 1 the SM2_PRIVATEKEY form, 2 the legacy private-key decoder,
// 3 SM2Cipher decryption through EVP_PKEY_decrypt with our key method, 4 the key container, 5 the
// enveloped key, 6 the dual public key. Whatever decodes must encode again, and the encoding must
// decode to the same encoding; decryption writes nothing past its buffer and, failing, no plaintext.
#include "SM2Asn1.h"
#include "SM2KeyMethod.h"
#include "SMRegistry.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

EVP_PKEY* FixedKey()
{
    static EVP_PKEY* const key = [] {
        if (SM_crypto_init() != 1)
            abort();
        BIGNUM* d = nullptr;
        BN_hex2bn(&d, "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8");
        EC_KEY* ec = EC_KEY_new_by_curve_name(kNidSm2);
        EC_POINT* p = EC_POINT_new(EC_KEY_get0_group(ec));
        EVP_PKEY* k = EVP_PKEY_new();
        if (!EC_POINT_mul(EC_KEY_get0_group(ec), p, d, nullptr, nullptr, nullptr) ||
            !EC_KEY_set_private_key(ec, d) || !EC_KEY_set_public_key(ec, p) || !EVP_PKEY_assign_EC_KEY(k, ec))
            abort();
        EC_POINT_free(p);
        BN_clear_free(d);
        return k;
    }();
    return key;
}

template <typename T>
void RoundTrip(const uint8_t* data, size_t size, T* (*d2i)(T**, const unsigned char**, long),
               int (*i2d)(const T*, unsigned char**), void (*freeFn)(T*))
{
    const unsigned char* p = data;
    T* value = d2i(nullptr, &p, static_cast<long>(size));
    if (value == nullptr)
        return;
    if (p < data || p > data + size)
        abort();
    unsigned char* der = nullptr;
    const int len = i2d(value, &der);
    freeFn(value);
    if (len <= 0)
        abort();
    p = der;
    T* again = d2i(nullptr, &p, len);
    unsigned char* der2 = nullptr;
    const int len2 = again != nullptr ? i2d(again, &der2) : 0;
    if (again == nullptr || p != der + len || len2 != len || memcmp(der, der2, static_cast<size_t>(len)) != 0)
        abort();
    freeFn(again);
    OPENSSL_free(der);
    OPENSSL_free(der2);
}

void PrivateKey(const uint8_t* data, size_t size)
{
    const unsigned char* p = data;
    EC_KEY* key = d2i_SM2PrivateKey(nullptr, &p, static_cast<long>(size));
    if (key == nullptr)
        return;
    unsigned char* der = nullptr;
    const int len = i2d_SM2PrivateKey(key, &der);
    p = der;
    EC_KEY* again = len > 0 ? d2i_SM2PrivateKey(nullptr, &p, len) : nullptr;
    // A scalar is written back whole; a key without a usable point may not encode.
    if (again != nullptr && BN_cmp(EC_KEY_get0_private_key(key), EC_KEY_get0_private_key(again)) != 0)
        abort();
    EC_KEY_free(again);
    EC_KEY_free(key);
    OPENSSL_free(der);
}

void Decrypt(const uint8_t* data, size_t size)
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(FixedKey(), nullptr);
    size_t len = 0;
    if (ctx == nullptr || EVP_PKEY_decrypt_init(ctx) != 1 || EVP_PKEY_decrypt(ctx, nullptr, &len, data, size) != 1 ||
        len != size)
        abort();
    // Nothing past the buffer is written, and a failure leaves no plaintext (at most zeroes).
    std::vector<unsigned char> out(len + 16, 0x5A);
    const int rc = EVP_PKEY_decrypt(ctx, out.data(), &len, data, size);
    for (size_t i = 0; i < out.size(); ++i) {
        if ((i >= size && out[i] != 0x5A) || (rc != 1 && out[i] != 0x5A && out[i] != 0))
            abort();
    }
    EVP_PKEY_CTX_free(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 8192)
        return 0;
    FixedKey();
    const uint8_t mode = data[0] % 7;
    ++data;
    --size;
    switch (mode) {
    case 0:
        RoundTrip(data, size, d2i_SM_X509_ATTRIBUTE, i2d_SM_X509_ATTRIBUTE, SM_X509_ATTRIBUTE_free);
        break;
    case 1:
        PrivateKey(data, size);
        break;
    case 2: {
        const unsigned char* p = data;
        EVP_PKEY_free(SM_d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(size)));
        break;
    }
    case 3:
        Decrypt(data, size);
        break;
    case 4:
        RoundTrip(data, size, d2i_PFX_SM2, i2d_PFX_SM2, PFX_SM2_free);
        break;
    case 5:
        RoundTrip(data, size, d2i_SM2EnvelopedKey, i2d_SM2EnvelopedKey, SM2EnvelopedKey_free);
        break;
    default:
        RoundTrip(data, size, d2i_X509_PUBKEY_DOUBLE, i2d_X509_PUBKEY_DOUBLE, X509_PUBKEY_DOUBLE_free);
        break;
    }
    ERR_clear_error();
    return 0;
}
