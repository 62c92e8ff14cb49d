// Pieces of the SM2 key method shared inside the crypto extensions and with their tests.
#ifndef VARNELL_CRYPTOEXT_SM2_KEY_DETAIL_H
#define VARNELL_CRYPTOEXT_SM2_KEY_DETAIL_H

#include <openssl/ec.h>

namespace sm2detail {

// Whether a group is the standard's example curve, by name or, for a group decoded from explicit
// parameters, by its parameters.
bool IsExampleCurve(const EC_GROUP* group);
// Gives an unnamed group with the example curve's parameters the example curve's NID.
void NameExampleCurve(EC_GROUP* group);

// The mark that the library's item signing and verification leave on their digest contexts (they
// preset the key context, which sets this flag; 3.0 keeps the flag internal). The Z value is
// hashed only where it is set.
constexpr int kItemSigningFlag = 0x0400;
// Tests only: wait for another flag instead, as a library that stopped marking item signing would
// make the hook behave.
void SetItemSigningFlag(int flag);

// Signs a throw-away certificate with a new SM2 key and SM3 and checks that the signature is over
// SM3(Z || TBS) and that X509_verify accepts it. 1, or 0 with an error entry and a line on stderr.
int RunItemSigningSelfTest();

}  // namespace sm2detail

#endif
