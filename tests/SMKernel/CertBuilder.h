// Certificates made on the fly for the certificate-field tests: names, serials, times, key
// identifiers and signature algorithms as a test needs them.
#ifndef VARNELL_TESTS_SMKERNEL_CERT_BUILDER_H
#define VARNELL_TESTS_SMKERNEL_CERT_BUILDER_H

#include <openssl/asn1.h>

#include <string>
#include <vector>

namespace certtest {

struct NameEntry
{
    std::string field;                // short name or dotted OID
    std::string value;                // bytes of the value as the type wants them
    int type = V_ASN1_UTF8STRING;     // a string type (no size limits) or an MBSTRING_* form
    bool joinPrevious = false;        // same RDN as the entry before (a multi-valued RDN)
};

struct CertSpec
{
    std::vector<NameEntry> subject = {{"CN", "Test"}};
    std::vector<NameEntry> issuer;                  // empty: the subject
    std::string serialHex = "01";                   // magnitude; "0" allowed
    bool negativeSerial = false;
    std::string notBefore = "20240101000000Z";      // 13 characters: UTCTime, 15: GeneralizedTime
    std::string notAfter = "20340101000000Z";
    bool withKeyId = true;
    std::vector<unsigned char> keyIdValue;          // the extension's value; empty: 04 14 and 20 bytes
    std::string digest = "SHA256";
    bool ecKey = false;                             // P-256 instead of RSA
};

// DER of a certificate made after the spec, signed by a key of its own. Aborts when the library
// refuses the spec (a test error, not a case).
std::vector<unsigned char> MakeDer(const CertSpec& spec);

// The 20 identifier bytes a spec without keyIdValue gets.
std::vector<unsigned char> DefaultKeyId();

}  // namespace certtest

#endif
