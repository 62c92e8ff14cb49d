// The host's layer over the token services: it owns the module list built from the compiled-in
// tables, keeps the selected certificate in the agent record, and offers one function per host
// operation. Main thread only. Results are 0 or a result code; texts are handed out as new[]
// arrays that the caller delete[]s, and only on success.
#ifndef VARNELL_HOST_CRYPTO_BRIDGE_H
#define VARNELL_HOST_CRYPTO_BRIDGE_H

#include "CertInfo.h"
#include "VarnellObj.h"

// Row and certificate counts of the compiled-in tables (CompiledTables.h) as the module list was
// built from them; 0 while the token services are down.
extern int g_P11_dylib_count;
extern int g_Certificate_Chain_Count;
// Head of the module list (DylibInfo.h); null while the token services are down.
extern void* g_pDylibInfoList;

// The PIN every signing request hands to the token: the bytes 01 08, then "40917263". The user is
// never asked for a PIN.
constexpr int kDefaultPINSize = 10;
extern const unsigned char g_byDefaultPIN[kDefaultPINSize + 1];

// Starts the token services (InitVOSKP11Kernel) and builds the module list from the compiled-in
// table; nothing is loaded yet. 0, or 0xFFFFFFFF when the services could not start. A second call
// keeps the list it finds.
unsigned int InitVOSKContext();
// Stops the token services and frees the module list; release every certificate record first.
// Returns the services' success flag.
bool UninitVOSKContext();

// Cleans and releases a certificate record; null does nothing.
void DeleteCertInfo(_CERTIFICATE_INFO* pCertInfo);

// Accepts and ignores a module list text; sets *pbSuccess (when given) to true. Always 0.
unsigned int _SetSM2CSPList(_VarnellObj* pobjCryptoAgent, const char* pszCSPList, bool* pbSuccess);

// One field of a record as text, by a type name compared without regard to case: "SubjectDN",
// "IssuerDN", "SerialNumber", "SubjectID", "SubjectCN", "CertContent" (Base64 in 76-character
// lines), "CSPName", "CertType" ("RSA" or "SM2"). 0x80070057 for a missing record or an unknown
// name. The text is released when ppszCertInfo is null.
unsigned int _GetCertInfo(_CERTIFICATE_INFO* pCertInfo, const char* pszFlag, char** ppszCertInfo);
// _GetCertInfo on the selected signing certificate; 0xA0072001 when none is selected.
unsigned int _GetSignCertInfo(_VarnellObj* pobjCryptoAgent, const char* pszUTF8InfoType, char** ppszCertInfo);

// Selects the signing certificate: releases the one selected before, checks and loads every
// module of the list, keeps the certificates with digitalSignature that pass the filters (each may
// be empty) and lets the user choose when more than one does. 0 and *pbSuccess true, or the
// selection's code (0x800704C7 when the user cancelled, 0xA0071001 when nothing matched), and then
// nothing is selected.
unsigned int _SelectCertificate(_VarnellObj* pobjCryptoAgent, const char* pszSubjectDNFilter,
                                const char* pszIssureDNFilter, const char* pszSN, bool* pbSuccess);

// Has the token sign the message text (without its NUL) with the selected certificate's key and
// the stored PIN; *ppszPKCS7Signature receives the PKCS#7 SignedData as one line of Base64. SM2
// certificates always hash with SM3; RSA ones take "SHA-1", "SHA-256" or "MD-5" (exact letters).
// The token services guard the stored PIN's logins (TokenLogin.h): a token that refused it once, or
// that reports its PIN locked or one try left, answers without a login.
unsigned int _SignMsgPKCS7(_VarnellObj* pobjCryptoAgent, const char* pszSourceData, const char* pszHashAlg,
                           bool bWithSourceData, char** ppszPKCS7Signature);

// The CryptoAPI-style identifier of a hash or cipher name ("SHA-1" 0x8004, "SHA-256" 0x800C,
// "SHA-384" 0x800D, "SHA-512" 0x800E in any case, "MD-5" 0x8003, "SM3" 0x800F, "RC4" 0x6801,
// "3DES" 0x6603). An unlisted name gives 0x80070057 and leaves *pulAlgID alone.
unsigned int GetAlgIDfromAlgName(const char* pszAlgName, unsigned int* pulAlgID);

#endif
