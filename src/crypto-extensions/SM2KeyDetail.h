// Pieces of the SM2 key method shared inside the crypto extensions and with their tests.
#ifndef VARNELL_CRYPTOEXT_SM2_KEY_DETAIL_H
#define VARNELL_CRYPTOEXT_SM2_KEY_DETAIL_H

#include <openssl/ec.h>

#include <cstddef>
#include <vector>

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

// While one lives on a thread, the key method's SM2 sign and verify on that thread record the digest
// they are handed and answer at once (sign with a fixed dummy signature, verify with success)
// instead of doing the curve arithmetic. The start-up self-test needs only that digest, and the
// arithmetic would be most of the host's start-up time.
class DigestProbe
{
public:
    DigestProbe();
    ~DigestProbe();
    DigestProbe(const DigestProbe&) = delete;
    DigestProbe& operator=(const DigestProbe&) = delete;

    // The digests handed to sign and verify, in order.
    const std::vector<std::vector<unsigned char>>& Digests() const { return m_digests; }

    // Called by the key method.
    void Record(const unsigned char* digest, size_t length) { m_digests.emplace_back(digest, digest + length); }

private:
    std::vector<std::vector<unsigned char>> m_digests;
    DigestProbe* m_previous;
};

// Signs and verifies a throw-away certificate with SM3 through the library's item signing and checks
// that both hand the key method SM3(Z || TBS). 1, or 0 with an error entry and a line on stderr.
int RunItemSigningSelfTest();

}  // namespace sm2detail

#endif
