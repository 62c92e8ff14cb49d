// SM2 as a vendor token computes it, written on OpenSSL's EC_GROUP, EC_POINT and BIGNUM arithmetic.
//
// Once the project's start-up registration has run, every EVP_PKEY SM2 operation in the process is
// the project's own; the module must stay an independent reference, so it never uses them. SM3
// comes from a provider fetch, which the registration leaves alone.
#ifndef TESTP11_SM2_H
#define TESTP11_SM2_H

#include "TestP11State.h"

namespace testp11 {
namespace sm2 {

// SM3 of the data.
Bytes Sm3(const Bytes& data);

// e = SM3(Z || message), Z over the default user ID "1234567812345678" and the key's public point.
bool MessageDigest(const EVP_PKEY* key, const Bytes& message, Bytes* e);

// Signature of the 32-byte value e as DER SEQUENCE{r, s}.
bool Sign(const EVP_PKEY* key, const Bytes& e, Bytes* der);

// Whether der is a strict DER SEQUENCE{r, s} that signs e.
bool Verify(const EVP_PKEY* key, const Bytes& e, const Bytes& der);

// Plaintext of a ciphertext in the raw form x1 || y1 || C2 || C3 or as a DER SM2Cipher
// SEQUENCE{x, y, C3, C2}. False when the form, the point or the check value C3 is wrong.
bool Decrypt(const EVP_PKEY* key, const Bytes& ciphertext, Bytes* plaintext);

}  // namespace sm2
}  // namespace testp11

#endif
