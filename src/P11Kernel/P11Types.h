// Records and constants of the PKCS#11 token kernel.
//
// The kernel speaks Cryptoki 2.20 through the names of <p11-kit/pkcs11.h> (its compatibility
// names are the standard's CK_* names). Module entries and sessions travel outside the kernel as
// untyped pointers and are read here as DylibInfo and SessionCtx.
#ifndef VARNELL_P11_TYPES_H
#define VARNELL_P11_TYPES_H

#include "QovaResult.h"

#include <p11-kit/pkcs11.h>

// Vendor mechanisms of the SM2 tokens. They lie below CKM_VENDOR_DEFINED, outside the range the
// standard reserves for vendors; their meaning is the vendor module's.
constexpr CK_MECHANISM_TYPE QOVA_CKM_SM2_DECRYPT = 0x00010001UL;    // SM2 decryption
constexpr CK_MECHANISM_TYPE QOVA_CKM_SM2_SIGN_HASH = 0x00010002UL;  // SM2 signature of a 32-byte hash
constexpr CK_MECHANISM_TYPE QOVA_CKM_SM2_SM3 = 0x00010004UL;        // SM2 signature with SM3 over the message

// Hash algorithm identifiers of the token side, in CryptoAPI numbering.
constexpr CK_ULONG QOVA_CALG_MD5 = 0x8003UL;
constexpr CK_ULONG QOVA_CALG_SHA1 = 0x8004UL;
constexpr CK_ULONG QOVA_CALG_SHA256 = 0x800CUL;
constexpr CK_ULONG QOVA_CALG_SHA384 = 0x800DUL;
constexpr CK_ULONG QOVA_CALG_SHA512 = 0x800EUL;
constexpr CK_ULONG QOVA_CALG_SM3 = 0x800FUL;

// One entry of the module list. Built (array new, value-initialised: zero but nDylibFd) and freed
// by the token services; loaded and unloaded by the kernel.
struct DylibInfo
{
    char* pszDylibPath;                  // module library path, owned (array new)
    char* pszCSPName;                    // display name, owned (array new)
    unsigned char bLoaded;               // 1 while open and initialised
    void* hDLLHandle;                    // dynamic-loader handle while loaded
    CK_FUNCTION_LIST* pCkFunctionList;   // the module's list while loaded; owned by the module
    unsigned int nSessionCount;          // SessionCtx records open on this module
    DylibInfo* pNext;                    // next entry of the module list
    // The checked module file it was loaded from (LoadP11DylibFromFile), kept open while the
    // dynamic loader may know the module by the name /proc/self/fd/N; -1: none.
    int nDylibFd = -1;
};

// An open session (array new by AcquireContext, array delete by ReleaseSessionContext).
struct SessionCtx
{
    CK_SESSION_HANDLE hSession;          // 0: none
    unsigned int nSessionType;           // 1 while this layer has the user logged in
    unsigned int nRefCertCount;          // certificate records holding this session
    DylibInfo* pDylibInfo;               // the module the session belongs to (not owned)
    CK_SLOT_ID ulSlotID = 0;             // the slot it was opened on
    // The token's label and serial number, blank-padded as CK_TOKEN_INFO has them, once known
    // (bTokenNamed 1): the slot listing that opened the session keeps them, or the first
    // NameSessionToken reads them. A session never moves to another token.
    unsigned char bTokenNamed = 0;
    CK_UTF8CHAR tokenLabel[32] = {};
    CK_CHAR tokenSerial[16] = {};
};

// One certificate object of a token (array new; ReleaseCertificateData frees it).
struct _CERTIFICATE_DATA
{
    char* pszCkID;                       // CKA_ID bytes and a zero byte, used as text
    unsigned char* pbyCertificate;       // DER (CKA_VALUE) and one zero byte beyond the length
    int nCertificateSize;                // number of DER bytes
    SessionCtx* pstSessionCtx;           // the session that found it; one reference held
};

// One data object (CKO_DATA) of a session, as CkGetAllDataValue appends it. The caller frees the
// three buffers with delete[].
struct _DATA_VALUE
{
    char* pszApplication;                // CKA_APPLICATION and a zero byte
    CK_ULONG ulObjectIDLen;              // length of CKA_OBJECT_ID
    unsigned char* pbyObjectID;          // CKA_OBJECT_ID (DER), null when the length is 0
    CK_ULONG ulValueLen;                 // length of CKA_VALUE
    unsigned char* pbyValue;             // CKA_VALUE, null when the length is 0
};

struct _SLOT_STRUCT
{
    CK_SLOT_INFO stSlotInfo;
    CK_SLOT_ID ulSlotID;
};

struct _TOKEN_STRUCT
{
    CK_TOKEN_INFO stTokenInfo;
    CK_SLOT_ID ulSlotID;
};

#endif
