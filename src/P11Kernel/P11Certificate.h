// Certificate objects of a token, their records, and the private key that belongs to each.
#ifndef VARNELL_P11_CERTIFICATE_H
#define VARNELL_P11_CERTIFICATE_H

#include "P11Types.h"

#include <vector>

// Appends one new record per certificate object of every token of the loaded module, in token
// order. Tokens that cannot be opened or read are skipped; only a failed listing is returned.
unsigned int GetAllCertDataFromDevices(void* pDylibInfo, std::vector<_CERTIFICATE_DATA*>& vtrCertData);

// Appends one record per certificate object visible in the session; *pnCertCount gets their number.
unsigned int GetCurrentSessionCertificate(void* pSessionCtx, int* pnCertCount,
                                          std::vector<_CERTIFICATE_DATA*>& vtrCertData);

// Takes the next object of a running certificate search and reads its CKA_VALUE and CKA_ID
// (array new, one zero byte beyond each value). 0x8009002A when the search is exhausted.
unsigned int CKEnumCertificateAttr(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                   unsigned char** ppbyValue, CK_ULONG* pulValueLen, char** ppszCkID);

// The first object of the class (certificate, public or private key) whose CKA_ID equals the text.
unsigned int CkGetSpecifiedObjectByCkID(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                        unsigned char* pszCkID, CK_OBJECT_CLASS ulObjectType,
                                        CK_OBJECT_HANDLE* phObject);

// One C_GetAttributeValue call.
unsigned int CkGetObjectAttribute(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                  CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount);

// The private key with the record's CKA_ID, in the record's session, which this layer must have
// logged in (LoginSession). Key type 0 is RSA, every other value SM2.
unsigned int AcquireCertificatePrivateKey(_CERTIFICATE_DATA* pCertData, CK_OBJECT_HANDLE* phPrivateKey,
                                          CK_KEY_TYPE* pulKeyType);

// DER value of an X.509 certificate object (array new).
unsigned int CkExportCertificate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                 CK_OBJECT_HANDLE hCertificate, unsigned char** ppbyCertificate,
                                 CK_ULONG* pulCertificateSize);

// Reads the record's certificate again from the token (array new). No login needed.
unsigned int ExportDERCertFromP11(_CERTIFICATE_DATA* pCertData, unsigned char** ppbyCertificate,
                                  int* pnCertificateSize);

// Deep copy that shares the session (one more reference on it).
unsigned int DupCertificateData(_CERTIFICATE_DATA* pSrcCertData, _CERTIFICATE_DATA** ppCertData);

// Frees a record and drops its session reference; the last reference closes the session and
// unloads the module when that was its last session. Null is ignored.
void ReleaseCertificateData(_CERTIFICATE_DATA* pCertData);

// Releases every record of the vector and empties it.
void ClearCertificateDataSet(std::vector<_CERTIFICATE_DATA*>& vtrCertData);

#endif
