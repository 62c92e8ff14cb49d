// SM2 with a nonce chosen by the caller. Only for tests that reproduce the standard's worked examples:
// a fixed or predictable k reveals the private key.
#ifndef VARNELL_CRYPTOEXT_SM2_DETAIL_H
#define VARNELL_CRYPTOEXT_SM2_DETAIL_H

#include <openssl/bn.h>
#include <openssl/ec.h>

namespace sm2detail {

// _SM2_sign with k instead of a random nonce; null when this k gives no valid signature (r = 0,
// r + k = n or s = 0) or on the failures of _SM2_sign.
ECDSA_SIG* SignWithNonce(const BIGNUM* e, const BIGNUM* d, int nid, const BIGNUM* k);

// _SM2_encrypt with k instead of a random nonce; 0 also when this k gives an all-zero key stream.
int EncryptWithNonce(int nid, const unsigned char* M, unsigned int mlen, const BIGNUM* Px, const BIGNUM* Py,
                     const BIGNUM* k, unsigned char* out);

}  // namespace sm2detail

#endif
