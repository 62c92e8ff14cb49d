// Streaming SM3. The compression runs straight from the caller's input and allocates nothing:
// Z values, the key derivation, ciphertext check values and the EVP digest all go through here.
#include "SM3Digest.h"

#include "ByteOrder.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

constexpr uint32_t kIV[8] = {0x7380166Fu, 0x4914B2B9u, 0x172442D7u, 0xDA8A0600u,
                             0xA96F30BCu, 0x163138AAu, 0xE38DEE4Du, 0xB0FB0E4Eu};

inline uint32_t Rol(uint32_t x, unsigned n)
{
    return (x << n) | (x >> ((32 - n) & 31));
}

constexpr uint32_t RolConst(uint32_t x, unsigned n)
{
    return n == 0 ? x : ((x << n) | (x >> (32 - n)));
}

// Round constants already rotated by their round number (T_j <<< j mod 32).
struct RoundConstants
{
    uint32_t k[64];
    constexpr RoundConstants() : k()
    {
        for (unsigned j = 0; j < 64; ++j)
            k[j] = RolConst(j < 16 ? 0x79CC4519u : 0x7A879D8Au, j % 32);
    }
};
constexpr RoundConstants kRound;

using smdetail::LoadBE;
using smdetail::StoreBE;

inline uint32_t P0(uint32_t x)
{
    return x ^ Rol(x, 9) ^ Rol(x, 17);
}

inline uint32_t P1(uint32_t x)
{
    return x ^ Rol(x, 15) ^ Rol(x, 23);
}

#define SM3_FF0(x, y, z) ((x) ^ (y) ^ (z))
#define SM3_FF1(x, y, z) (((x) & (y)) | (((x) | (y)) & (z)))
#define SM3_GG0(x, y, z) ((x) ^ (y) ^ (z))
#define SM3_GG1(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))

// The message expansion keeps a window of 16 words; the word W[j+4] that round j needs is expanded
// just before it.
#define SM3_W(i) w[(i) & 15]
#define SM3_EXPAND(i)                                                                                                  \
    (SM3_W(i) = P1(SM3_W((i) - 16) ^ SM3_W((i) - 9) ^ Rol(SM3_W((i) - 3), 15)) ^ Rol(SM3_W((i) - 13), 7) ^            \
                SM3_W((i) - 6))

// One round; the caller rotates the variable names instead of moving eight words per round.
#define SM3_ROUND(FF, GG, A, B, C, D, E, F, G, H, j)                                                                   \
    do {                                                                                                               \
        if ((j) >= 12)                                                                                                 \
            SM3_EXPAND((j) + 4);                                                                                       \
        const uint32_t a12 = Rol(A, 12);                                                                               \
        const uint32_t ss1 = Rol(a12 + E + kRound.k[j], 7);                                                            \
        const uint32_t ss2 = ss1 ^ a12;                                                                                \
        const uint32_t tt1 = FF(A, B, C) + D + ss2 + (SM3_W(j) ^ SM3_W((j) + 4));                                      \
        const uint32_t tt2 = GG(E, F, G) + H + ss1 + SM3_W(j);                                                         \
        B = Rol(B, 9);                                                                                                 \
        D = tt1;                                                                                                       \
        F = Rol(F, 19);                                                                                                \
        H = P0(tt2);                                                                                                   \
    } while (0)

#define SM3_ROUND4(FF, GG, j)                                                                                          \
    SM3_ROUND(FF, GG, a, b, c, d, e, f, g, h, (j));                                                                    \
    SM3_ROUND(FF, GG, d, a, b, c, h, e, f, g, (j) + 1);                                                                \
    SM3_ROUND(FF, GG, c, d, a, b, g, h, e, f, (j) + 2);                                                                \
    SM3_ROUND(FF, GG, b, c, d, a, f, g, h, e, (j) + 3)

// GCC's straight-line vectoriser packs the message expansion into two-word vectors whose loads wait
// on the scalar stores before them, which costs a third of the speed: keep the compression scalar.
#if defined(__GNUC__) && !defined(__clang__)
#define SM3_SCALAR_ONLY __attribute__((optimize("no-tree-slp-vectorize", "no-tree-loop-vectorize")))
#else
#define SM3_SCALAR_ONLY
#endif

SM3_SCALAR_ONLY inline __attribute__((always_inline)) void CompressBlocksImpl(uint32_t state[8],
                                                                               const unsigned char* data,
                                                                               size_t blocks)
{
    uint32_t w[16];
    while (blocks--) {
        for (int i = 0; i < 16; ++i)
            w[i] = LoadBE(data + 4 * i);

        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

        SM3_ROUND4(SM3_FF0, SM3_GG0, 0);
        SM3_ROUND4(SM3_FF0, SM3_GG0, 4);
        SM3_ROUND4(SM3_FF0, SM3_GG0, 8);
        SM3_ROUND4(SM3_FF0, SM3_GG0, 12);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 16);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 20);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 24);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 28);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 32);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 36);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 40);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 44);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 48);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 52);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 56);
        SM3_ROUND4(SM3_FF1, SM3_GG1, 60);

        state[0] ^= a;
        state[1] ^= b;
        state[2] ^= c;
        state[3] ^= d;
        state[4] ^= e;
        state[5] ^= f;
        state[6] ^= g;
        state[7] ^= h;
        data += 64;
    }
    OPENSSL_cleanse(w, sizeof(w));
}

SM3_SCALAR_ONLY void CompressBlocksGeneric(uint32_t state[8], const unsigned char* data, size_t blocks)
{
    CompressBlocksImpl(state, data, blocks);
}

#if defined(__x86_64__)
// The rounds are mostly rotations; with BMI2 they need no register copies, which makes the
// compression about a fifth faster. Chosen at run time, so the library still runs on any x86-64.
SM3_SCALAR_ONLY __attribute__((target("bmi,bmi2"))) void CompressBlocksBmi2(uint32_t state[8],
                                                                            const unsigned char* data, size_t blocks)
{
    CompressBlocksImpl(state, data, blocks);
}
#endif

using CompressFn = void (*)(uint32_t*, const unsigned char*, size_t);

CompressFn PickCompress()
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2"))
        return CompressBlocksBmi2;
#endif
    return CompressBlocksGeneric;
}

inline void CompressBlocks(uint32_t state[8], const unsigned char* data, size_t blocks)
{
    static const CompressFn compress = PickCompress();
    compress(state, data, blocks);
}

}  // namespace

int SM3_Init(SM3_CTX* ctx)
{
    if (ctx == nullptr)
        return 0;
    memcpy(ctx->state, kIV, sizeof(kIV));
    ctx->nblocks = 0;
    ctx->num = 0;
    return 1;
}

int SM3_Update(SM3_CTX* ctx, const void* data, size_t len)
{
    if (ctx == nullptr)
        return 0;
    if (len == 0)
        return 1;
    const unsigned char* in = static_cast<const unsigned char*>(data);

    if (ctx->num != 0) {
        const size_t space = SM3_CBLOCK - ctx->num;
        if (len < space) {
            memcpy(ctx->block + ctx->num, in, len);
            ctx->num += len;
            return 1;
        }
        memcpy(ctx->block + ctx->num, in, space);
        CompressBlocks(ctx->state, ctx->block, 1);
        ctx->nblocks++;
        in += space;
        len -= space;
    }

    const size_t blocks = len / SM3_CBLOCK;
    if (blocks != 0) {
        CompressBlocks(ctx->state, in, blocks);
        ctx->nblocks += blocks;
        in += blocks * SM3_CBLOCK;
        len -= blocks * SM3_CBLOCK;
    }

    if (len != 0)
        memcpy(ctx->block, in, len);
    ctx->num = len;
    return 1;
}

int SM3_Final(unsigned char* md, SM3_CTX* ctx)
{
    if (ctx == nullptr)
        return 0;

    ctx->block[ctx->num] = 0x80;
    if (ctx->num + 9 > SM3_CBLOCK) {
        memset(ctx->block + ctx->num + 1, 0, SM3_CBLOCK - ctx->num - 1);
        CompressBlocks(ctx->state, ctx->block, 1);
        memset(ctx->block, 0, SM3_CBLOCK - 8);
    } else {
        memset(ctx->block + ctx->num + 1, 0, SM3_CBLOCK - ctx->num - 9);
    }

    const uint64_t bits = (ctx->nblocks << 9) + (ctx->num << 3);
    StoreBE(ctx->block + 56, static_cast<uint32_t>(bits >> 32));
    StoreBE(ctx->block + 60, static_cast<uint32_t>(bits));
    CompressBlocks(ctx->state, ctx->block, 1);

    if (md != nullptr) {
        for (int i = 0; i < 8; ++i)
            StoreBE(md + 4 * i, ctx->state[i]);
    }
    OPENSSL_cleanse(ctx->block, sizeof(ctx->block));
    return 1;
}

void SM3_Compress(uint32_t state[8], const unsigned char* block)
{
    if (state != nullptr && block != nullptr)
        CompressBlocks(state, block, 1);
}

unsigned char* SM3(const unsigned char* data, size_t len, unsigned char* md)
{
    SM3_CTX ctx;
    SM3_Init(&ctx);
    SM3_Update(&ctx, data, len);
    SM3_Final(md, &ctx);
    OPENSSL_cleanse(&ctx, sizeof(ctx));
    return md;
}
