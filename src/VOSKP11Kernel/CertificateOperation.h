// Certificate records built from token certificate objects, their copies and release, the text
// getters that read one field from DER certificate bytes, and the selection of one certificate
// from every token of the loaded modules.
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

// Selection (main thread only; the certificate window is modal on it). Record sets are vectors whose
// elements belong to the vector's holder (CleanCertInfoSetVtr).

// Retrieves every certificate of every loaded module of the list, keeps those that pass the filter
// (null: no filter) and has the user choose one in the certificate window when more than one
// passes. *ppCertInfo receives a new record, which holds its token session open; every other
// session is closed again, and a module left without sessions is unloaded. 0xA0071001 when no
// certificate was found or none passed, 0x800704C7 when the user made no choice.
unsigned int SelectCertificatefromCSPList(void* pDylibInfoList, _CERT_FILTER* pFilter, _CERTIFICATE_INFO** ppCertInfo);

// Appends one record per certificate of every token of every module of the list, in module, slot
// and object order. A module whose search fails or finds nothing is unloaded (unless a session
// of its is still open) and skipped. Always 0.
unsigned int GetAllCertificateInfo(void* pDylibInfoList, std::vector<_CERTIFICATE_INFO*>& vtrCertInfoSet);

// Appends a copy of every record that passes the filter (null: no filter), in input order; 0 even
// when none passes. An empty input set is 0xA0071001. A test that is on fails a record whose field
// for it is missing.
unsigned int FilterCertificate(std::vector<_CERTIFICATE_INFO*> vtrCertInfoSet, _CERT_FILTER* pFilter,
                               std::vector<_CERTIFICATE_INFO*>& vtrFiltered);

// 0 when the text contains one of the alternatives, ignoring case (no alternatives, or a null or
// empty one, passes), else 0xFFFFFFFF. A null text contains no alternative.
unsigned int FilterString(char* pszSourceStr, std::vector<char*> vtrAlternatives);

// 0 when the OID text is a prefix of the certificate's signature algorithm OID (or is null);
// otherwise the comparison's non-zero value, or a code.
unsigned int CheckCertAlg(unsigned char* pbyDERCert, int nDERCertSize, const char* pszSpecialAlgOID);

// 0 when the time lies within the validity period, both ends included (or is 0); 0x80070057 when
// it lies outside.
unsigned int CheckCertTimeValidity(unsigned char* pbyDERCert, int nDERCertSize, time_t tTimeToVerify);

// Picks one record: the only one without the window unless bPopUIforSignleCert, else the user's
// choice in the certificate window. *ppCertInfo receives a copy. 0x800704C7 when the user made no
// choice (or the window answered with a row it was not offered).
unsigned int CustomUIDlgSelectCert(std::vector<_CERTIFICATE_INFO*> vtrCertificateInfoSet, bool bPopUIforSignleCert,
                                   _CERTIFICATE_INFO** ppCertInfo);

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
