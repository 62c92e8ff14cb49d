// SM2 (GB/T 32918) on the crypto library's elliptic-curve and big-number arithmetic: signatures over
// a caller-computed e, the identity hash Z, the key derivation, encryption, key generation, and the
// byte/number conversions the software kernel uses.
//
// Curves are NIDs (SMRegistry.h). Signing and verification accept only kNidSm2 and kNidSm2TestCurve;
// the other operations take any named curve. The byte interfaces always use kNidSm2 and pass numbers
// as 32-byte big-endian strings, right-aligned.
//
// SM2 ciphertext: 0x04 || x1 || y1 || C2 || C3, that is the point C1 = [k]G (65 bytes), the message
// XOR the derived key (as long as the message), then SM3(x2 || M || y2) (32 bytes): 97 + mlen bytes.
//
// Everything returns 1 on success and 0 on failure unless noted. Signing and verification push
// (lib, reason) entries on the library's error queue; the other functions leave the queue as it was.
#ifndef VARNELL_CRYPTOEXT_SM2_CORE_H
#define VARNELL_CRYPTOEXT_SM2_CORE_H

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstddef>

constexpr size_t SM2_NUMBER_LENGTH = 32;
constexpr size_t SM2_CIPHERTEXT_OVERHEAD = 97;  // 0x04, x1, y1 and C3
constexpr unsigned char SM2_DEFAULT_USER_ID[16] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                                   '1', '2', '3', '4', '5', '6', '7', '8'};

// Error-queue entries of signing and verification (library, reason).
constexpr int SM2_ERR_LIB = 42;                 // the library's ECDSA library number
constexpr int SM2_R_PASSED_NULL_PARAMETER = 67; // argument missing, a private key outside [1, n - 2], or a
                                                // curve that is not an SM2 curve
constexpr int SM2_R_MALLOC_FAILURE = 65;        // a record, number, context or point could not be made
constexpr int SM2_R_EC_LIB = 16;                // curve arithmetic failed; in verification: bad signature
constexpr int SM2_R_RANDOM_FAILED = 104;        // the random source failed while choosing k
constexpr int SM2_R_BN_LIB = 3;                 // big-number arithmetic failed; in verification also a public
                                                // point that is not a point of the curve (coordinates >= p included)
constexpr int SM2_ERR_LIB_EC = 16;              // the library's EC library number ...
constexpr int SM2_R_UNKNOWN_GROUP = 141;        // ... with this reason: the curve's group cannot be made

// Signs e with the private key d (in [1, n - 2]); a new (r, s) record for the caller to free, or null.
ECDSA_SIG* _SM2_sign(const BIGNUM* e, const BIGNUM* d, int nid);
// 1 when (r, s) is a valid signature of e for the public point (Px, Py), whose coordinates lie in
// [0, p); 0 otherwise.
int _SM2_verify(const ECDSA_SIG* sig, const BIGNUM* Px, const BIGNUM* Py, const BIGNUM* e, int nid);
// Byte forms on kNidSm2; r32 and s32 are zeroed first.
int _SM2_sign_ex(const unsigned char* e32, const unsigned char* d32, unsigned char* r32, unsigned char* s32);
int _SM2_verify_ex(const unsigned char* r32, const unsigned char* s32, const unsigned char* Px32,
                   const unsigned char* Py32, const unsigned char* e32);

int _SM2_point_is_on_curve(const BIGNUM* x, const BIGNUM* y, int nid);
// A new key pair on the curve, into the caller's numbers (d in [1, n - 2]).
int _SM2_generate_key(BIGNUM* d, BIGNUM* x, BIGNUM* y, int nid);
int _SM2_generate_keypair(unsigned char* d32, unsigned char* x32, unsigned char* y32);

// Zeroes 32 bytes and writes bn right-aligned; 0 (all zero) when bn needs more than 32 bytes.
int _SM2_GetBNBytes(const BIGNUM* bn, unsigned char* out32);
// bn from big-endian bytes; of a longer string only the first 32 bytes are used.
int _SM2_Bytes2BN(const unsigned char* bytes, int len, BIGNUM* bn);

// The longest user ID of a Z value: its length in bits must fit ENTL's 16 bits.
constexpr int SM2_MAX_USER_ID_LENGTH = 8191;

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA), ENTL the ID's bit length in two bytes; an ID
// longer than SM2_MAX_USER_ID_LENGTH is refused.
int _SM2_CalculateZValue(const unsigned char* id, int idlen, const BIGNUM* a, const BIGNUM* b, const BIGNUM* xG,
                         const BIGNUM* yG, const BIGNUM* xA, const BIGNUM* yA, unsigned char* z32);
// Z with the default user ID and the SM2 curve's a, b and generator, whatever curve the key is on.
int _SM2_CalculateDefaultZValue(const unsigned char* xA32, const unsigned char* yA32, unsigned char* z32);
// The default Z of an elliptic-curve key's public point (legacy EC keys and provider keys alike).
int EVP_PKEY_CalculateZValue_SM2(EVP_PKEY* pkey, unsigned char* z32);

// klen / 8 bytes (klen in bits) of SM3(z || 00000001) || SM3(z || 00000002) || ... into out.
int _SM2_KDF(const unsigned char* z, size_t zlen, size_t klen, unsigned char* out);
// 1 when len < 1 or every byte is zero.
int _SM2_IsAllZero(const unsigned char* buf, int len);

// out must hold 97 + mlen bytes; mlen >= 1.
int _SM2_encrypt(int nid, const unsigned char* M, unsigned int mlen, const BIGNUM* Px, const BIGNUM* Py,
                 unsigned char* out);
// out must hold inlen - 97 bytes. On any failure out holds no plaintext: a ciphertext whose check value
// does not match is not decrypted into the caller's buffer.
int _SM2_decrypt(int nid, const unsigned char* in, unsigned int inlen, const BIGNUM* d, unsigned char* out);

#endif
