// The shared key of the SM2 key exchange (GB/T 32918 part 3). From its own static and temporary key
// pairs and the peer's static and temporary public points, each party derives the same key K. Only K
// is computed: the optional confirmation hashes are neither produced nor compared.
//
//   xbar = 2^w + (x AND (2^w - 1)) with w = 127;  t = (d + xbar1 * r) mod n;
//   V = [h * t](PB + [xbar2]R2) with h = 1;    K = KDF(xV || yV || Z1 || Z2, klen)
//
// Z1 is the initiator's Z and Z2 the responder's, whichever side computes. Key lengths (klen) are in
// bits; the output receives klen / 8 bytes. Numbers in the _ex forms are 32-byte big-endian strings.
//
// Everything returns 1 on success and 0 on failure. Only sm2kep_compute_key reports on the library's
// error queue, as (ERR_LIB_ECDH, one of the reasons below); the other functions leave it as it was.
#ifndef VARNELL_CRYPTOEXT_SM2_KEY_EXCHANGE_H
#define VARNELL_CRYPTOEXT_SM2_KEY_EXCHANGE_H

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstddef>

constexpr int SM2KEP_W = 127;  // the standard's w for a 256-bit order

constexpr int SM2KEP_R_NO_PRIVATE_KEY = 100;       // an own key has no private key
constexpr int SM2KEP_R_POINT_NOT_READABLE = 101;   // a point's affine coordinates cannot be read
constexpr int SM2KEP_R_KEY_EXCHANGE_FAILED = 102;  // the exchange itself failed (a peer point off the curve, ...)

// K of the exchange on the SM2 curve into out (klen / 8 bytes). Both own keys must hold private and
// public keys. Role 1: the caller is the initiator; any other role: the responder. The Z values are the
// default-identity Z of the two static public keys.
int sm2kep_compute_key(void* out, size_t klen, const EC_POINT* peerTempPoint, const EC_POINT* peerStaticPoint,
                       const EC_KEY* ownTempKey, const EC_KEY* ownStaticKey, int role);

// The exchange over numbers. x1 and r: the own temporary public x and private key; d: the own static
// private key; (x2, y2): the peer's temporary point; (xB, yB): the peer's static point; Z1, Z2: 32
// bytes each. Both peer points must lie on the curve. p2, p4 and p5 are not read.
int _SM2_KEP(int nid, const BIGNUM* x1, const BIGNUM* p2, const BIGNUM* r, const BIGNUM* p4, const BIGNUM* p5,
             const BIGNUM* d, const unsigned char* Z1, const BIGNUM* x2, const BIGNUM* y2, const BIGNUM* xB,
             const BIGNUM* yB, const unsigned char* Z2, size_t klen, unsigned char* out);
// The same with every number as 32 bytes; y1, p4 and p5 are not read.
int _SM2_KEP_ex(int nid, const unsigned char* x1, const unsigned char* y1, const unsigned char* r,
                const unsigned char* p4, const unsigned char* p5, const unsigned char* d, const unsigned char* Z1,
                const unsigned char* x2, const unsigned char* y2, const unsigned char* xB, const unsigned char* yB,
                const unsigned char* Z2, size_t klen, unsigned char* out);

// A temporary key pair: r in [1, n - 1] and the point [r]G as (x, y).
int _SM2_generate_temp_keypair(BIGNUM* r, BIGNUM* x, BIGNUM* y, int nid);

// Steps of the exchange.
// out = 2^w + (x AND (2^w - 1)); x >= 0, w >= 0.
int _SM2_KEP_calculate_xDash(BIGNUM* out, const BIGNUM* x, int w);
// out = a AND b over the bit length of the shorter; a, b >= 0.
int _SM2_BNBitAND(BIGNUM* out, const BIGNUM* a, const BIGNUM* b);
// *w = the smallest integer of at least 1 with 2^w >= n; 0 (and *w = 1) when n < 2.
int _SM2_log2n(const BIGNUM* n, int* w);
// t = (d + xbar * r) mod n.
int _SM2_KEP_calculate_t(BIGNUM* t, const BIGNUM* d, const BIGNUM* xDash, const BIGNUM* r, const BIGNUM* n);
// V = [h * t](PB + [xbar2]R2) with PB = (xB, yB) and R2 = (x2, y2); 0 when V is the point at infinity.
int _SM2_KEP_calculate_point_V(BIGNUM* xV, BIGNUM* yV, const BIGNUM* xB, const BIGNUM* yB, const BIGNUM* x2,
                               const BIGNUM* y2, const BIGNUM* h, const BIGNUM* t, const BIGNUM* xDash2, int nid);

// The Z value of (x, y) for an identity, with a, b and the generator of the SM2 curve (kNidSm2) or of
// the example curve (kNidSm2TestCurve); 0 for any other curve.
int _SM2_CalculateZValue_byCurve(int nid, const unsigned char* id, int idlen, const BIGNUM* x, const BIGNUM* y,
                                 unsigned char* z32);
int _SM2_CalculateZValue_byCurve_ex(int nid, const unsigned char* id, int idlen, const unsigned char* x32,
                                    const unsigned char* y32, unsigned char* z32);

#endif
