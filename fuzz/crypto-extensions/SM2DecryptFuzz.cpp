// SM2 decryption of untrusted ciphertexts. First input byte odd: the rest is taken as a ciphertext.
// Even: bytes 1-2 pick a position, byte 3 a mask, the rest is a message that is encrypted, changed at
// that position by that mask (0: unchanged) and decrypted. A ciphertext that fails must leave the
// output untouched (all zero here); an unchanged one must give the message back; a changed one must fail.
#include "SM2Core.h"
#include "SMRegistry.h"

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Key
{
    BIGNUM* d = nullptr;
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
};

const Key& FixedKey()
{
    static const Key key = [] {
        Key k;
        SM_crypto_init();
        BN_hex2bn(&k.d, "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8");
        k.x = BN_new();
        k.y = BN_new();
        EC_GROUP* g = EC_GROUP_new_by_curve_name(kNidSm2);
        EC_POINT* p = EC_POINT_new(g);
        if (!EC_POINT_mul(g, p, k.d, nullptr, nullptr, nullptr) ||
            !EC_POINT_get_affine_coordinates(g, p, k.x, k.y, nullptr))
            abort();
        EC_POINT_free(p);
        EC_GROUP_free(g);
        return k;
    }();
    return key;
}

bool AllZero(const std::vector<unsigned char>& v)
{
    for (unsigned char b : v)
        if (b != 0)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Key& key = FixedKey();
    if (size == 0 || size > 4096)
        return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;

    if (mode & 1) {
        std::vector<unsigned char> out(size > SM2_CIPHERTEXT_OVERHEAD ? size - SM2_CIPHERTEXT_OVERHEAD : 1, 0);
        if (_SM2_decrypt(kNidSm2, data, static_cast<unsigned int>(size), key.d, out.data()) != 1 && !AllZero(out))
            abort();
        return 0;
    }

    if (size < 4)
        return 0;
    const size_t pos = data[0] | (size_t(data[1]) << 8);
    const unsigned char mask = data[2];
    const unsigned char* msg = data + 3;
    const size_t mlen = size - 3;
    std::vector<unsigned char> ct(SM2_CIPHERTEXT_OVERHEAD + mlen);
    if (_SM2_encrypt(kNidSm2, msg, static_cast<unsigned int>(mlen), key.x, key.y, ct.data()) != 1)
        abort();
    ct[pos % ct.size()] ^= mask;
    std::vector<unsigned char> out(mlen, 0);
    const int rc = _SM2_decrypt(kNidSm2, ct.data(), static_cast<unsigned int>(ct.size()), key.d, out.data());
    if (mask == 0) {
        if (rc != 1 || memcmp(out.data(), msg, mlen) != 0)
            abort();
    } else if (rc == 1 || !AllZero(out)) {
        abort();
    }
    return 0;
}
