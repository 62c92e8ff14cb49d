// SM2 public-key encryption of short buffers (in practice a 16-octet SM4 key) and SM4 encryption of
// data, in software. All SM2 work here uses the SM2 curve (kNidSm2) except the two _v2 routines,
// which take the curve.
//
// SM2 ciphertext forms:
//   SM2_Encrypt / SM2_Decrypt          x1 || y1 || C2 || C3         (96 + message length, no 0x04;
//                                                                    the raw form of SM2Cipher.h)
//   _SM2_encrypt_v2 / _SM2_decrypt_v2  0x04 || x1 || y1 || C3 || C2 (97 + message length)
// SM2 keys as octets: X and Y of 32 octets each, big-endian; d big-endian (at most 32 octets used).
//
// SM4: key and IV of 16 octets each; the IV comes before the key. The CBC functions pad as the
// crypto library does (PKCS#7, 1 to 16 octets). The PIN functions use K = SM3(PIN || 00000001)
// (the SM2 key derivation over the PIN's octets without its NUL, 256 bits): IV = K[0..15],
// key = K[16..31].
//
// Results (unless noted): QOVA_OK; QOVA_E_INVALIDARG for a missing input or a refused length;
// QOVA_E_FAIL for any failure of the crypto library or the SM2 routines (a wrong key, a damaged
// ciphertext, a wrong PIN whose padding does not check). Outputs are new[] arrays the caller
// delete[]s, handed out only on success.
#ifndef VARNELL_SMKERNEL_SM2_SM4_DATA_H
#define VARNELL_SMKERNEL_SM2_SM4_DATA_H

#include "QovaResult.h"

#include <openssl/bn.h>

// The chaining of the unpadded SM4 functions: SM4_CBC, or any other value for ECB.
enum SM4EncrytType
{
    SM4_CBC = 0,
    SM4_ECB = 1,
};

// 1 on success, 0 on failure. out must hold 97 + messageLength octets (messageLength >= 1).
int _SM2_encrypt_v2(int curveNid, unsigned char* message, unsigned int messageLength, BIGNUM* publicX,
                    BIGNUM* publicY, unsigned char* out);
// 1 on success, 0 on failure. out must hold inLength - 97 octets; an input without at least one
// octet of C2 is refused, and out holds nothing of the message unless the check value C3 matched.
int _SM2_decrypt_v2(int curveNid, unsigned char* in, unsigned int inLength, BIGNUM* privateKey, unsigned char* out);

// The point (X, Y) must lie on the SM2 curve; *encryptedLength = dataLength + 96.
unsigned int SM2_Encrypt(unsigned char* data, int dataLength, unsigned char* publicKeyX, int publicKeyXLength,
                         unsigned char* publicKeyY, int publicKeyYLength, unsigned char** encrypted,
                         int* encryptedLength);
// encryptedLength must be at least 97; *dataLength = encryptedLength - 96.
unsigned int SM2_Decrypt(unsigned char* encrypted, int encryptedLength, unsigned char* privateKey,
                         int privateKeyLength, unsigned char** data, int* dataLength);

// SM4-CBC with padding: (plainLength / 16) * 16 + 16 octets out.
unsigned int SM4_Encrypt_CBC(unsigned char* plain, int plainLength, unsigned char* iv, int ivLength,
                             unsigned char* key, int keyLength, unsigned char** encrypted, int* encryptedLength);
// The output array has encryptedLength + 16 octets, zero beyond the plaintext.
unsigned int SM4_Decrypt_CBC(unsigned char* encrypted, int encryptedLength, unsigned char* iv, int ivLength,
                             unsigned char* key, int keyLength, unsigned char** plain, int* plainLength);

// One 16-octet block through the SM4 rounds with the given 32 round keys (reversed keys decrypt).
// Returns 1 (0 for a null argument).
int SM4_ecb_encrypt(unsigned char* in, unsigned int* roundKeys, unsigned char* out);
// The 32 round keys of a 16-octet key (reversed when encrypt is 0), as a new[] array of 32 words
// when roundKeys is not null. Returns QOVA_OK, or QOVA_E_INVALIDARG for a missing key or a length
// other than 16.
unsigned int SM4_Init_Key(const unsigned char* key, int keyLength, int encrypt, unsigned int** roundKeys);

// SM4 in CBC or ECB mode without padding: inLength must be a multiple of 16, the output is as long
// as the input. The IV is needed only for CBC (a null IV chains from zero). The output is handed
// out only when both out and outLength are given.
unsigned int SM4_Encrypt_Nopadding(unsigned char* in, int inLength, unsigned char* iv, int ivLength,
                                   unsigned char* key, int keyLength, SM4EncrytType type, unsigned char** out,
                                   int* outLength);
unsigned int SM4_Decrypt_Nopadding(unsigned char* in, int inLength, unsigned char* iv, int ivLength,
                                   unsigned char* key, int keyLength, SM4EncrytType type, unsigned char** out,
                                   int* outLength);

// SM4-CBC with padding under the key and IV derived from the PIN.
unsigned int SM4EncryptByPin(unsigned char* data, int dataLength, char* pin, unsigned char** encrypted,
                             int* encryptedLength);
unsigned int SM4DecryptByPin(unsigned char* encrypted, int encryptedLength, char* pin, unsigned char** data,
                             int* dataLength);

#endif
