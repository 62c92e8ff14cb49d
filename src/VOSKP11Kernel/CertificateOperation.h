// Certificate records built from token certificate objects, their copies and release, and the text
// getters that read one field from DER certificate bytes.
//
// A record keeps its token session (and with it its module) open for as long as it lives: release
// records before the module list is freed. Results are 0 or a result code; outputs are written
// only on success. Texts are new[] arrays that the caller delete[]s.
#ifndef VARNELL_TOKENSVC_CERTIFICATE_OPERATION_H
#define VARNELL_TOKENSVC_CERTIFICATE_OPERATION_H

#include "CertInfo.h"

#include <memory>
#include <vector>

// A new record for one token certificate, from the module entry's display name and path. The
// record takes its own copy of pCertData (sharing the session); pCertData stays the caller's. Only
// the copy and the certificate's decoding can fail; a field that cannot be read stays null.
unsigned int ConstructCertificateInfo(const char* pszCSPName, const char* pszP11Path, _CERTIFICATE_DATA* pCertData,
                                      _CERTIFICATE_INFO** ppCertInfo);

// Deep copy of a record; the copy shares the token session.
unsigned int DuplicateCertInfo(_CERTIFICATE_INFO stCertInfo, _CERTIFICATE_INFO** ppCertInfo);

// Frees what the record owns (its texts and its certificate object, dropping the session
// reference); the record itself stays its holder's. Null is ignored.
void CleanCertInfo(_CERTIFICATE_INFO* pCertInfo);

// Cleans and array-deletes every record, then empties the vector.
void CleanCertInfoSetVtr(std::vector<_CERTIFICATE_INFO*>& vtrCertInfoSet);

// One field of DER (or PEM) certificate bytes as text.
unsigned int GetSubjectDNFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszSubjectDN);
unsigned int GetIssuerDNFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszIssuerDN);
unsigned int GetSNFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszCertSN);
unsigned int GetSubjectKeyIDFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszSubjectKeyID);
unsigned int GetSubjectCNFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszSubjectCN);

// 1 RSA, 2 SM2.
unsigned int GetCertType(unsigned char* pbyDERCert, int nDERCertSize, int* pnCertType);

// notBefore and notAfter as ctime() text in the local time zone ("Thu Nov 24 18:22:48 1986", 24
// characters). Either out-parameter may be null.
unsigned int GetValidTimeFromDERCert(unsigned char* pbyDERCert, int nDERCertSize, char** ppszNotBefore,
                                     char** ppszNotAfter);

// A record released on every path: CleanCertInfo, then array delete.
struct CertInfoFree
{
    void operator()(_CERTIFICATE_INFO* pCertInfo) const
    {
        CleanCertInfo(pCertInfo);
        delete[] pCertInfo;
    }
};
using CertInfoPtr = std::unique_ptr<_CERTIFICATE_INFO, CertInfoFree>;

#endif
