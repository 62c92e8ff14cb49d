// Block-oriented SM3, written step by step after the standard's description. Kept for callers of the
// older interface; it shares no code with the streaming implementation, which makes it a useful
// second opinion in tests.
#include "SM3BlockApi.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

constexpr uint32_t kIV[8] = {0x7380166Fu, 0x4914B2B9u, 0x172442D7u, 0xDA8A0600u,
                             0xA96F30BCu, 0x163138AAu, 0xE38DEE4Du, 0xB0FB0E4Eu};
constexpr uint32_t kBlockSize = 64;

}  // namespace

uint32_t CROL(uint32_t x, int n)
{
    const unsigned s = static_cast<unsigned>(n) & 31u;
    return s == 0 ? x : ((x << s) | (x >> (32 - s)));
}

uint32_t T(int j)
{
    if (j >= 0 && j <= 15)
        return 0x79CC4519u;
    if (j >= 16 && j <= 63)
        return 0x7A879D8Au;
    return 0;
}

int FF(uint32_t x, uint32_t y, uint32_t z, int j, uint32_t* out)
{
    if (out == nullptr || j < 0 || j > 63)
        return 0;
    *out = j <= 15 ? (x ^ y ^ z) : ((x & y) | (x & z) | (y & z));
    return 1;
}

int GG(uint32_t x, uint32_t y, uint32_t z, int j, uint32_t* out)
{
    if (out == nullptr || j < 0 || j > 63)
        return 0;
    *out = j <= 15 ? (x ^ y ^ z) : ((x & y) | (~x & z));
    return 1;
}

uint32_t P0(uint32_t x)
{
    return x ^ CROL(x, 9) ^ CROL(x, 17);
}

uint32_t P1(uint32_t x)
{
    return x ^ CROL(x, 15) ^ CROL(x, 23);
}

int ExtendMessage(const uint32_t B[16], uint32_t W[68], uint32_t W1[64])
{
    if (B == nullptr || W == nullptr || W1 == nullptr)
        return 0;
    for (int j = 0; j < 16; ++j)
        W[j] = B[j];
    for (int j = 16; j < 68; ++j)
        W[j] = P1(W[j - 16] ^ W[j - 9] ^ CROL(W[j - 3], 15)) ^ CROL(W[j - 13], 7) ^ W[j - 6];
    for (int j = 0; j < 64; ++j)
        W1[j] = W[j] ^ W[j + 4];
    return 1;
}

int CF(const uint32_t V[8], const uint32_t W[68], const uint32_t W1[64], uint32_t out[8])
{
    if (V == nullptr || W == nullptr || W1 == nullptr || out == nullptr)
        return 0;
    uint32_t A = V[0], B = V[1], C = V[2], D = V[3], E = V[4], F = V[5], G = V[6], H = V[7];
    for (int j = 0; j < 64; ++j) {
        const uint32_t SS1 = CROL(CROL(A, 12) + E + CROL(T(j), j % 32), 7);
        const uint32_t SS2 = SS1 ^ CROL(A, 12);
        uint32_t ff = 0, gg = 0;
        FF(A, B, C, j, &ff);
        GG(E, F, G, j, &gg);
        const uint32_t TT1 = ff + D + SS2 + W1[j];
        const uint32_t TT2 = gg + H + SS1 + W[j];
        D = C;
        C = CROL(B, 9);
        B = A;
        A = TT1;
        H = G;
        G = CROL(F, 19);
        F = E;
        E = P0(TT2);
    }
    out[0] = A ^ V[0];
    out[1] = B ^ V[1];
    out[2] = C ^ V[2];
    out[3] = D ^ V[3];
    out[4] = E ^ V[4];
    out[5] = F ^ V[5];
    out[6] = G ^ V[6];
    out[7] = H ^ V[7];
    return 1;
}

int ConvertBytesArraytoInt32Array(const unsigned char* bytes, uint32_t n, uint32_t** words, uint32_t* nwords)
{
    if (bytes == nullptr || n == 0 || words == nullptr || nwords == nullptr)
        return 0;
    const uint32_t count = n / 4 + (n % 4 != 0 ? 1 : 0);
    uint32_t* out = static_cast<uint32_t*>(OPENSSL_zalloc(static_cast<size_t>(count) * sizeof(uint32_t)));
    if (out == nullptr)
        return 0;
    for (uint32_t i = 0; i < n; ++i)
        out[i / 4] |= static_cast<uint32_t>(bytes[i]) << (24 - 8 * (i % 4));
    *words = out;
    *nwords = count;
    return 1;
}

int Padding(const unsigned char* buf, uint32_t count, uint32_t total, unsigned char** outbuf, uint32_t* outlen)
{
    if (outbuf == nullptr || outlen == nullptr || count > kBlockSize || (buf == nullptr && count != 0))
        return 0;
    const uint32_t size = count <= 55 ? kBlockSize : 2 * kBlockSize;
    unsigned char* out = static_cast<unsigned char*>(OPENSSL_zalloc(size));
    if (out == nullptr)
        return 0;
    if (count != 0)
        memcpy(out, buf, count);
    out[count] = 0x80;
    // The bit count of a 32-bit byte total needs 35 bits: five bytes.
    const uint64_t bits = static_cast<uint64_t>(total) * 8;
    for (int i = 0; i < 5; ++i)
        out[size - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    *outbuf = out;
    *outlen = size;
    return 1;
}

int SM3_DigestBlock(SM3_DIGEST_STATE* state, const unsigned char* block, const uint32_t* lenptr)
{
    if (state == nullptr || block == nullptr || lenptr == nullptr || *lenptr != kBlockSize)
        return 0;

    uint32_t* words = nullptr;
    uint32_t nwords = 0;
    if (!ConvertBytesArraytoInt32Array(block, kBlockSize, &words, &nwords))
        return 0;
    uint32_t* W = static_cast<uint32_t*>(OPENSSL_malloc(68 * sizeof(uint32_t)));
    uint32_t* W1 = static_cast<uint32_t*>(OPENSSL_malloc(64 * sizeof(uint32_t)));
    uint32_t* out = static_cast<uint32_t*>(OPENSSL_malloc(8 * sizeof(uint32_t)));

    int ok = 0;
    if (W != nullptr && W1 != nullptr && out != nullptr && ExtendMessage(words, W, W1) && CF(state->V, W, W1, out)) {
        memcpy(state->V, out, sizeof(state->V));
        state->total += kBlockSize;
        ok = 1;
    }
    OPENSSL_clear_free(words, nwords * sizeof(uint32_t));
    OPENSSL_clear_free(W, 68 * sizeof(uint32_t));
    OPENSSL_clear_free(W1, 64 * sizeof(uint32_t));
    OPENSSL_clear_free(out, 8 * sizeof(uint32_t));
    return ok;
}

int _SM3_DigestInit(SM3_DIGEST_STATE* state)
{
    if (state == nullptr)
        return 0;
    memset(state, 0, sizeof(*state));
    memcpy(state->V, kIV, sizeof(kIV));
    return 1;
}

int _SM3_DigestUpdate(SM3_DIGEST_STATE* state, const unsigned char* data, const uint64_t* lenptr)
{
    if (state == nullptr || lenptr == nullptr)
        return 0;
    if (data == nullptr)
        return 1;
    uint64_t len = *lenptr;
    // The totals are 32-bit: refuse a message that would wrap them rather than return a wrong digest.
    if (len > 0xFFFFFFFFull - state->total - state->count)
        return 0;

    if (state->count + len <= kBlockSize) {
        memcpy(state->buffer + state->count, data, static_cast<size_t>(len));
        state->count += static_cast<uint32_t>(len);
        return 1;
    }

    const uint32_t fill = kBlockSize - state->count;
    memcpy(state->buffer + state->count, data, fill);
    data += fill;
    len -= fill;
    const uint32_t blockLen = kBlockSize;
    if (!SM3_DigestBlock(state, state->buffer, &blockLen))
        return 0;
    state->count = 0;

    while (len >= kBlockSize) {
        if (!SM3_DigestBlock(state, data, &blockLen))
            return 0;
        data += kBlockSize;
        len -= kBlockSize;
    }
    memcpy(state->buffer, data, static_cast<size_t>(len));
    state->count = static_cast<uint32_t>(len);
    return 1;
}

int _SM3_DigestFinal(SM3_DIGEST_STATE* state, const unsigned char* data, const uint64_t* lenptr, uint32_t out[8])
{
    if (state == nullptr || out == nullptr)
        return 0;
    if (data != nullptr && !_SM3_DigestUpdate(state, data, lenptr))
        return 0;

    unsigned char* padded = nullptr;
    uint32_t paddedLen = 0;
    if (!Padding(state->buffer, state->count, state->total + state->count, &padded, &paddedLen))
        return 0;
    int ok = 1;
    const uint32_t blockLen = kBlockSize;
    for (uint32_t off = 0; ok && off < paddedLen; off += kBlockSize)
        ok = SM3_DigestBlock(state, padded + off, &blockLen);
    OPENSSL_clear_free(padded, paddedLen);
    if (!ok)
        return 0;
    memcpy(out, state->V, sizeof(state->V));
    return 1;
}

int _ConvertSM3DigestData2Bytes(const uint32_t words[8], unsigned char bytes[32])
{
    if (words == nullptr || bytes == nullptr)
        return 0;
    for (int i = 0; i < 8; ++i) {
        bytes[4 * i] = static_cast<unsigned char>(words[i] >> 24);
        bytes[4 * i + 1] = static_cast<unsigned char>(words[i] >> 16);
        bytes[4 * i + 2] = static_cast<unsigned char>(words[i] >> 8);
        bytes[4 * i + 3] = static_cast<unsigned char>(words[i]);
    }
    return 1;
}
