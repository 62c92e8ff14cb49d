// The certificate record of the token services: what selection filters on and the host reports,
// the module the certificate came from, and the token-side certificate object through which
// signing and decryption reach the token later; and the filter a certificate selection applies.
#ifndef VARNELL_TOKENSVC_CERT_INFO_H
#define VARNELL_TOKENSVC_CERT_INFO_H

#include "P11Types.h"

#include <ctime>

// Allocated with array new and zero-filled; released with CleanCertInfo, then array delete.
// Text fields are owned new[] copies; a null text is a field that could not be read.
struct _CERTIFICATE_INFO
{
    int nCertType;                  // 1 RSA, 2 SM2; 0 when no type was determined
    char* pszSubjectDN;             // subject DN text
    char* pszIssuerDN;              // issuer DN text
    char* pszCertSN;                // serial number, uppercase hex
    char* pszSubjectKeyID;          // subject key identifier, uppercase hex (none without the extension)
    char* pszCSPName;               // display name of the module that holds the certificate
    char* pszP11Path;               // path of that module
    _CERTIFICATE_DATA* pCertData;   // own copy of the token certificate object; holds its session
};

// Which certificates a selection keeps; zero-filled, then filled by its user, who owns the texts.
// A null or empty text turns its test off.
struct _CERT_FILTER
{
    char* pszSubjectDNFilter;       // "#"-separated alternatives; the subject DN must contain one (any case)
    char* pszIssureDNFilter;        // the same for the issuer DN
    char* pszSubjectKeyIDFilter;    // equal to the record's key identifier (case-sensitive uppercase hex)
    char* pszSerialNumFilter;       // equal to the record's serial number, in any case
    char* AlgOID;                   // dotted OID text, a prefix of the certificate's signature algorithm OID
    int dwCertificateType;          // 1 keyEncipherment required, 2 digitalSignature required, else no test
    time_t tTimetoVerify;           // within notBefore..notAfter (both inclusive); 0: no test
};

#endif
