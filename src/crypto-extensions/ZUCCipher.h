// ZUC-128 stream cipher (GB/T 33133): keystream generator and the 128-EEA3 IV builder.
#ifndef VARNELL_CRYPTOEXT_ZUC_CIPHER_H
#define VARNELL_CRYPTOEXT_ZUC_CIPHER_H

#include <cstdint>

// Loads key and IV into the 16 LFSR cells that *lfsr points to, runs the 32 initialisation rounds and
// the first half of the first working step. Returns the last nonlinear-function output (ignored).
uint32_t _ZUC_Initialize(const unsigned char key[16], const unsigned char iv[16], uint32_t** lfsr, uint32_t* R1,
                         uint32_t* R2, uint32_t* X0, uint32_t* X1, uint32_t* X2, uint32_t* X3);
// One working step; returns the next keystream word.
uint32_t _ZUC_NextKey(uint32_t** lfsr, uint32_t* R1, uint32_t* R2, uint32_t* X0, uint32_t* X1, uint32_t* X2,
                      uint32_t* X3);
// Writes n keystream words to the array that *out points to; returns n.
int _ZUC_GenerateKeyStream(uint32_t** lfsr, uint32_t* R1, uint32_t* R2, uint32_t* X0, uint32_t* X1, uint32_t* X2,
                           uint32_t* X3, uint32_t** out, int n);
// The 16-byte 128-EEA3 IV into the buffer that *iv points to; returns 1.
int _ZUC_ExtendtoIV(uint32_t count, uint32_t bearer, uint32_t direction, unsigned char** iv);
// The nonlinear function: updates R1 and R2, returns (X0 ^ R1) + R2.
uint32_t F(uint32_t X0, uint32_t X1, uint32_t X2, uint32_t* R1, uint32_t* R2);

#endif
