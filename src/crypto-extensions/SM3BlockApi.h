// The older block-oriented SM3 interface and its step functions. It allocates per block and is the
// slow path; new code uses SM3Digest.h.
#ifndef VARNELL_CRYPTOEXT_SM3_BLOCK_API_H
#define VARNELL_CRYPTOEXT_SM3_BLOCK_API_H

#include <cstdint>

// Caller-allocated state (104 bytes). A buffer that is exactly full stays buffered until more data
// or the final call arrives. Totals are 32-bit: messages must be shorter than 2^32 bytes.
struct SM3_DIGEST_STATE
{
    unsigned char buffer[64];
    uint32_t count;  // buffered bytes, 0..64
    uint32_t V[8];   // chaining value
    uint32_t total;  // bytes already compressed
};
static_assert(sizeof(SM3_DIGEST_STATE) == 104, "SM3_DIGEST_STATE layout");

// All return 1 on success, 0 on failure.
int _SM3_DigestInit(SM3_DIGEST_STATE* state);
int _SM3_DigestUpdate(SM3_DIGEST_STATE* state, const unsigned char* data, const uint64_t* lenptr);
// Absorbs a last piece (data may be null), pads and writes the chaining value as eight words.
int _SM3_DigestFinal(SM3_DIGEST_STATE* state, const unsigned char* data, const uint64_t* lenptr, uint32_t out[8]);
int _ConvertSM3DigestData2Bytes(const uint32_t words[8], unsigned char bytes[32]);

// Hashes one block; *lenptr must be 64.
int SM3_DigestBlock(SM3_DIGEST_STATE* state, const unsigned char* block, const uint32_t* lenptr);
// A padded copy of `count` buffered bytes (64 or 128 bytes, OPENSSL_malloc'ed; the caller frees it).
int Padding(const unsigned char* buf, uint32_t count, uint32_t total, unsigned char** outbuf, uint32_t* outlen);
// Packs n bytes big-endian into ceil(n/4) newly OPENSSL_malloc'ed words.
int ConvertBytesArraytoInt32Array(const unsigned char* bytes, uint32_t n, uint32_t** words, uint32_t* nwords);

// Step functions on 32-bit words.
uint32_t CROL(uint32_t x, int n);
uint32_t T(int j);
int FF(uint32_t x, uint32_t y, uint32_t z, int j, uint32_t* out);
int GG(uint32_t x, uint32_t y, uint32_t z, int j, uint32_t* out);
uint32_t P0(uint32_t x);
uint32_t P1(uint32_t x);
int ExtendMessage(const uint32_t B[16], uint32_t W[68], uint32_t W1[64]);
int CF(const uint32_t V[8], const uint32_t W[68], const uint32_t W1[64], uint32_t out[8]);

#endif
