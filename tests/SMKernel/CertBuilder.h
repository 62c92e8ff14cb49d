// Certificates made on the fly for the certificate-field tests.
#ifndef VARNELL_TESTS_SMKERNEL_CERT_BUILDER_H
#define VARNELL_TESTS_SMKERNEL_CERT_BUILDER_H

#include <openssl/asn1.h>
#include <openssl/types.h>

#include <string>
#include <vector>

namespace certtest {

struct NameEntry
{
    std::string field;             // short name or dotted OID
    std::string value;             // the value's bytes as the type wants them
    int type = V_ASN1_UTF8STRING;  // a string type: no size limits apply
    bool joinPrevious = false;     // same RDN as the entry before (multi-valued RDN)
};

struct CertSpec
{
    std::vector<NameEntry> subject = {{"CN", "Test"}};
    std::vector<NameEntry> issuer;              // empty: the subject
    std::string serialHex = "01";
    bool negativeSerial = false;
    std::string notBefore = "20240101000000Z";  // 13 characters: UTCTime, 15: GeneralizedTime
    std::string notAfter = "20340101000000Z";
    bool withKeyId = true;
    std::vector<unsigned char> keyIdValue;      // the extension's value; empty: 04 14 A0..B3
    std::string digest = "SHA256";
    bool ecKey = false;                         // P-256 instead of RSA
    EVP_PKEY* key = nullptr;                    // the certificate's own key instead of either
};

// DER of a certificate as the CertSpec describes it, signed by its own key; aborts when the library refuses it.
std::vector<unsigned char> MakeDer(const CertSpec& spec);

}  // namespace certtest

#endif
