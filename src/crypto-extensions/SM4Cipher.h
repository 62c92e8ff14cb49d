// SM4 block cipher (GB/T 32907). Blocks and keys are four big-endian 32-bit words; 32 round keys.
#ifndef VARNELL_CRYPTOEXT_SM4_CIPHER_H
#define VARNELL_CRYPTOEXT_SM4_CIPHER_H

#include <cstdint>

constexpr int SM4_BLOCK_SIZE = 16;
constexpr int SM4_KEY_SIZE = 16;
constexpr int SM4_ROUNDS = 32;

// Every function returns 1.
int _SM4_ExtendKey(const uint32_t key[4], uint32_t rk[32]);
// Reverses the round keys in place: encryption keys become decryption keys and back.
int _SM4_InvertRoundKey(uint32_t rk[32]);
// The 32 rounds and the reverse output; with reversed keys it decrypts.
int _SM4_CipherPlaintextTransform(const uint32_t in[4], const uint32_t rk[32], uint32_t out[4]);

// One CBC step on one 16-byte block. enc != 0: out = E(in ^ iv); enc == 0: out = D(in) ^ iv, with rk
// the reversed keys. The new chaining value is written back to iv; in and out may be the same block.
int SM4_cbc_encrypt(const unsigned char* in, const uint32_t* rk, unsigned char* iv, unsigned char* out, int enc);
// The same step on word arrays.
int _SM4_encrypt(const uint32_t in[4], const uint32_t rk[32], uint32_t iv[4], uint32_t out[4], int enc);

// Step functions on one word.
int _SM4_NLTransform(uint32_t in, uint32_t* out);     // tau: the S-box on each byte
int _SM4_LTransform(uint32_t in, uint32_t* out);      // L
int _SM4_LDashTransform(uint32_t in, uint32_t* out);  // L' of the key schedule
int _SM4_TTransform(uint32_t in, uint32_t* out);      // T = L(tau)
int _SM4_TDashTransform(uint32_t in, uint32_t* out);  // T' = L'(tau)
int _SM4_FTransform(const uint32_t X[4], uint32_t rk, uint32_t* out);

#endif
