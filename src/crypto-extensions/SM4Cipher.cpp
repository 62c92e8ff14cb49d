// SM4 and its CBC cipher entry. The rounds use four tables that combine the S-box with the linear
// transform L, so a round costs four lookups; the step functions below keep the textbook form.
#include "SM4Cipher.h"

#include "ByteOrder.h"

#include "RegistryDetail.h"
#include "SMRegistry.h"

#include <openssl/evp.h>

#include <cstring>
#include <openssl/crypto.h>

namespace {

constexpr unsigned char kSbox[256] = {
    0xD6, 0x90, 0xE9, 0xFE, 0xCC, 0xE1, 0x3D, 0xB7, 0x16, 0xB6, 0x14, 0xC2, 0x28, 0xFB, 0x2C, 0x05,
    0x2B, 0x67, 0x9A, 0x76, 0x2A, 0xBE, 0x04, 0xC3, 0xAA, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9C, 0x42, 0x50, 0xF4, 0x91, 0xEF, 0x98, 0x7A, 0x33, 0x54, 0x0B, 0x43, 0xED, 0xCF, 0xAC, 0x62,
    0xE4, 0xB3, 0x1C, 0xA9, 0xC9, 0x08, 0xE8, 0x95, 0x80, 0xDF, 0x94, 0xFA, 0x75, 0x8F, 0x3F, 0xA6,
    0x47, 0x07, 0xA7, 0xFC, 0xF3, 0x73, 0x17, 0xBA, 0x83, 0x59, 0x3C, 0x19, 0xE6, 0x85, 0x4F, 0xA8,
    0x68, 0x6B, 0x81, 0xB2, 0x71, 0x64, 0xDA, 0x8B, 0xF8, 0xEB, 0x0F, 0x4B, 0x70, 0x56, 0x9D, 0x35,
    0x1E, 0x24, 0x0E, 0x5E, 0x63, 0x58, 0xD1, 0xA2, 0x25, 0x22, 0x7C, 0x3B, 0x01, 0x21, 0x78, 0x87,
    0xD4, 0x00, 0x46, 0x57, 0x9F, 0xD3, 0x27, 0x52, 0x4C, 0x36, 0x02, 0xE7, 0xA0, 0xC4, 0xC8, 0x9E,
    0xEA, 0xBF, 0x8A, 0xD2, 0x40, 0xC7, 0x38, 0xB5, 0xA3, 0xF7, 0xF2, 0xCE, 0xF9, 0x61, 0x15, 0xA1,
    0xE0, 0xAE, 0x5D, 0xA4, 0x9B, 0x34, 0x1A, 0x55, 0xAD, 0x93, 0x32, 0x30, 0xF5, 0x8C, 0xB1, 0xE3,
    0x1D, 0xF6, 0xE2, 0x2E, 0x82, 0x66, 0xCA, 0x60, 0xC0, 0x29, 0x23, 0xAB, 0x0D, 0x53, 0x4E, 0x6F,
    0xD5, 0xDB, 0x37, 0x45, 0xDE, 0xFD, 0x8E, 0x2F, 0x03, 0xFF, 0x6A, 0x72, 0x6D, 0x6C, 0x5B, 0x51,
    0x8D, 0x1B, 0xAF, 0x92, 0xBB, 0xDD, 0xBC, 0x7F, 0x11, 0xD9, 0x5C, 0x41, 0x1F, 0x10, 0x5A, 0xD8,
    0x0A, 0xC1, 0x31, 0x88, 0xA5, 0xCD, 0x7B, 0xBD, 0x2D, 0x74, 0xD0, 0x12, 0xB8, 0xE5, 0xB4, 0xB0,
    0x89, 0x69, 0x97, 0x4A, 0x0C, 0x96, 0x77, 0x7E, 0x65, 0xB9, 0xF1, 0x09, 0xC5, 0x6E, 0xC6, 0x84,
    0x18, 0xF0, 0x7D, 0xEC, 0x3A, 0xDC, 0x4D, 0x20, 0x79, 0xEE, 0x5F, 0x3E, 0xD7, 0xCB, 0x39, 0x48};

constexpr uint32_t kFK[4] = {0xA3B1BAC6u, 0x56AA3350u, 0x677D9197u, 0xB27022DCu};

constexpr uint32_t Rol(uint32_t x, unsigned n)
{
    return (x << n) | (x >> (32 - n));
}

constexpr uint32_t LinearL(uint32_t b)
{
    return b ^ Rol(b, 2) ^ Rol(b, 10) ^ Rol(b, 18) ^ Rol(b, 24);
}

constexpr uint32_t LinearLDash(uint32_t b)
{
    return b ^ Rol(b, 13) ^ Rol(b, 23);
}

constexpr uint32_t Tau(uint32_t a)
{
    return (uint32_t(kSbox[a >> 24]) << 24) | (uint32_t(kSbox[(a >> 16) & 0xFF]) << 16) |
           (uint32_t(kSbox[(a >> 8) & 0xFF]) << 8) | uint32_t(kSbox[a & 0xFF]);
}

// CK[i] byte j is (4i + j) * 7 mod 256.
struct KeyConstants
{
    uint32_t ck[32];
    constexpr KeyConstants() : ck()
    {
        for (uint32_t i = 0; i < 32; ++i) {
            uint32_t v = 0;
            for (uint32_t j = 0; j < 4; ++j)
                v = (v << 8) | (((4 * i + j) * 7) & 0xFF);
            ck[i] = v;
        }
    }
};
constexpr KeyConstants kCK;

// T(x) = L(tau(x)) split by input byte: L is linear, so T(x) = t0[b0] ^ t1[b1] ^ t2[b2] ^ t3[b3].
struct RoundTables
{
    uint32_t t0[256], t1[256], t2[256], t3[256];
    constexpr RoundTables() : t0(), t1(), t2(), t3()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t s = kSbox[i];
            t0[i] = LinearL(s << 24);
            t1[i] = LinearL(s << 16);
            t2[i] = LinearL(s << 8);
            t3[i] = LinearL(s);
        }
    }
};
constexpr RoundTables kTables;

inline uint32_t RoundT(uint32_t x)
{
    return kTables.t0[x >> 24] ^ kTables.t1[(x >> 16) & 0xFF] ^ kTables.t2[(x >> 8) & 0xFF] ^ kTables.t3[x & 0xFF];
}

// 32 rounds on (x0, x1, x2, x3); the result is (x3, x2, x1, x0) written to out.
inline void Rounds(const uint32_t* rk, uint32_t x0, uint32_t x1, uint32_t x2, uint32_t x3, uint32_t out[4])
{
    for (int i = 0; i < 32; i += 4) {
        x0 ^= RoundT(x1 ^ x2 ^ x3 ^ rk[i]);
        x1 ^= RoundT(x2 ^ x3 ^ x0 ^ rk[i + 1]);
        x2 ^= RoundT(x3 ^ x0 ^ x1 ^ rk[i + 2]);
        x3 ^= RoundT(x0 ^ x1 ^ x2 ^ rk[i + 3]);
    }
    out[0] = x3;
    out[1] = x2;
    out[2] = x1;
    out[3] = x0;
}

using smdetail::LoadBE;
using smdetail::StoreBE;

// CBC over whole blocks with the chaining value in words; rk are decryption keys when !enc.
void CbcBlocks(const uint32_t* rk, uint32_t iv[4], const unsigned char* in, unsigned char* out, size_t blocks, int enc)
{
    uint32_t y[4];
    if (enc) {
        for (; blocks != 0; --blocks, in += 16, out += 16) {
            Rounds(rk, LoadBE(in) ^ iv[0], LoadBE(in + 4) ^ iv[1], LoadBE(in + 8) ^ iv[2], LoadBE(in + 12) ^ iv[3], iv);
            for (int i = 0; i < 4; ++i)
                StoreBE(out + 4 * i, iv[i]);
        }
    } else {
        for (; blocks != 0; --blocks, in += 16, out += 16) {
            const uint32_t c[4] = {LoadBE(in), LoadBE(in + 4), LoadBE(in + 8), LoadBE(in + 12)};
            Rounds(rk, c[0], c[1], c[2], c[3], y);
            for (int i = 0; i < 4; ++i) {
                StoreBE(out + 4 * i, y[i] ^ iv[i]);
                iv[i] = c[i];
            }
        }
    }
}

// The cipher entry's context: the key words, then the round keys (reversed when decrypting).
struct Sm4EntryContext
{
    uint32_t key[4];
    uint32_t rk[32];
};
static_assert(sizeof(Sm4EntryContext) == 144, "SM4 entry context layout");

int sm4_init_key(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* /*iv*/, int enc)
{
    Sm4EntryContext* c = static_cast<Sm4EntryContext*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
    if (c == nullptr || key == nullptr)
        return 0;
    for (int i = 0; i < 4; ++i)
        c->key[i] = LoadBE(key + 4 * i);
    _SM4_ExtendKey(c->key, c->rk);
    if (!enc)
        _SM4_InvertRoundKey(c->rk);
    return 1;
}

// Whole blocks only: the library buffers partial input and adds the padding itself.
int sm4_cipher_cbc(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t len)
{
    Sm4EntryContext* c = static_cast<Sm4EntryContext*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
    unsigned char* ivBytes = EVP_CIPHER_CTX_iv_noconst(ctx);
    if (c == nullptr || ivBytes == nullptr)
        return 0;
    const size_t blocks = len / SM4_BLOCK_SIZE;
    if (blocks == 0)
        return 1;
    uint32_t iv[4] = {LoadBE(ivBytes), LoadBE(ivBytes + 4), LoadBE(ivBytes + 8), LoadBE(ivBytes + 12)};
    CbcBlocks(c->rk, iv, in, out, blocks, EVP_CIPHER_CTX_encrypting(ctx));
    for (int i = 0; i < 4; ++i)
        StoreBE(ivBytes + 4 * i, iv[i]);
    return 1;
}

// Without the default-ASN.1 flag the library cannot turn this cipher's IV into parameters.
int sm4_set_asn1_params(EVP_CIPHER_CTX*, ASN1_TYPE*)
{
    return -1;
}

EVP_CIPHER* MakeSm4CbcEntry()
{
    if (smdetail::RegisterObjects() != 1)
        return nullptr;
    EVP_CIPHER* c = EVP_CIPHER_meth_new(kNidSm4Cbc, SM4_BLOCK_SIZE, SM4_KEY_SIZE);
    if (c == nullptr)
        return nullptr;
    if (!EVP_CIPHER_meth_set_iv_length(c, SM4_BLOCK_SIZE) || !EVP_CIPHER_meth_set_flags(c, EVP_CIPH_CBC_MODE) ||
        !EVP_CIPHER_meth_set_init(c, sm4_init_key) || !EVP_CIPHER_meth_set_do_cipher(c, sm4_cipher_cbc) ||
        !EVP_CIPHER_meth_set_impl_ctx_size(c, sizeof(Sm4EntryContext)) ||
        !EVP_CIPHER_meth_set_set_asn1_params(c, sm4_set_asn1_params)) {
        EVP_CIPHER_meth_free(c);
        return nullptr;
    }
    return c;
}

}  // namespace

int _SM4_NLTransform(uint32_t in, uint32_t* out)
{
    *out = Tau(in);
    return 1;
}

int _SM4_LTransform(uint32_t in, uint32_t* out)
{
    *out = LinearL(in);
    return 1;
}

int _SM4_LDashTransform(uint32_t in, uint32_t* out)
{
    *out = LinearLDash(in);
    return 1;
}

int _SM4_TTransform(uint32_t in, uint32_t* out)
{
    uint32_t t = 0;
    _SM4_NLTransform(in, &t);
    return _SM4_LTransform(t, out);
}

int _SM4_TDashTransform(uint32_t in, uint32_t* out)
{
    uint32_t t = 0;
    _SM4_NLTransform(in, &t);
    return _SM4_LDashTransform(t, out);
}

int _SM4_FTransform(const uint32_t X[4], uint32_t rk, uint32_t* out)
{
    uint32_t t = 0;
    _SM4_TTransform(X[1] ^ X[2] ^ X[3] ^ rk, &t);
    *out = X[0] ^ t;
    return 1;
}

int _SM4_ExtendKey(const uint32_t key[4], uint32_t rk[32])
{
    uint32_t k[36];
    for (int i = 0; i < 4; ++i)
        k[i] = key[i] ^ kFK[i];
    for (int i = 0; i < 32; ++i) {
        uint32_t t = 0;
        _SM4_TDashTransform(k[i + 1] ^ k[i + 2] ^ k[i + 3] ^ kCK.ck[i], &t);
        k[i + 4] = k[i] ^ t;
        rk[i] = k[i + 4];
    }
    OPENSSL_cleanse(k, sizeof(k));
    return 1;
}

int _SM4_InvertRoundKey(uint32_t rk[32])
{
    for (int i = 0; i < 16; ++i) {
        const uint32_t t = rk[i];
        rk[i] = rk[31 - i];
        rk[31 - i] = t;
    }
    return 1;
}

int _SM4_CipherPlaintextTransform(const uint32_t in[4], const uint32_t rk[32], uint32_t out[4])
{
    Rounds(rk, in[0], in[1], in[2], in[3], out);
    return 1;
}

int _SM4_encrypt(const uint32_t in[4], const uint32_t rk[32], uint32_t iv[4], uint32_t out[4], int enc)
{
    uint32_t y[4];
    if (enc) {
        Rounds(rk, in[0] ^ iv[0], in[1] ^ iv[1], in[2] ^ iv[2], in[3] ^ iv[3], y);
        for (int i = 0; i < 4; ++i)
            out[i] = iv[i] = y[i];
    } else {
        const uint32_t c[4] = {in[0], in[1], in[2], in[3]};
        Rounds(rk, c[0], c[1], c[2], c[3], y);
        for (int i = 0; i < 4; ++i) {
            out[i] = y[i] ^ iv[i];
            iv[i] = c[i];
        }
    }
    return 1;
}

int SM4_cbc_encrypt(const unsigned char* in, const uint32_t* rk, unsigned char* iv, unsigned char* out, int enc)
{
    uint32_t ivWords[4] = {LoadBE(iv), LoadBE(iv + 4), LoadBE(iv + 8), LoadBE(iv + 12)};
    CbcBlocks(rk, ivWords, in, out, 1, enc);
    for (int i = 0; i < 4; ++i)
        StoreBE(iv + 4 * i, ivWords[i]);
    return 1;
}

const EVP_CIPHER* SM_EVP_sm4_cbc()
{
    static EVP_CIPHER* entry = MakeSm4CbcEntry();
    return entry;
}
