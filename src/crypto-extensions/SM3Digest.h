// SM3 hash (GB/T 32905): the streaming interface that everything in the system uses.
#ifndef VARNELL_CRYPTOEXT_SM3_DIGEST_H
#define VARNELL_CRYPTOEXT_SM3_DIGEST_H

#include <cstddef>
#include <cstdint>

constexpr size_t SM3_DIGEST_LENGTH = 32;
constexpr size_t SM3_CBLOCK = 64;

// Caller-allocated streaming context (112 bytes). Between calls `num` is 0..63.
struct SM3_CTX
{
    uint32_t state[8];       // chaining value, host order, word 0 first
    uint64_t nblocks;        // 64-byte blocks already compressed
    unsigned char block[64]; // input not yet compressed
    uint64_t num;            // valid bytes in `block`
};
static_assert(sizeof(SM3_CTX) == 112, "SM3_CTX layout");

// All return 1, or 0 for a null context.
int SM3_Init(SM3_CTX* ctx);
int SM3_Update(SM3_CTX* ctx, const void* data, size_t len);
// Output first, context second. The context must be re-initialised before it is used again.
int SM3_Final(unsigned char* md, SM3_CTX* ctx);

// Compresses one 64-byte block (sixteen big-endian words) into the chaining value in place.
void SM3_Compress(uint32_t state[8], const unsigned char* block);

// One-shot digest; returns md.
unsigned char* SM3(const unsigned char* data, size_t len, unsigned char* md);

#endif
