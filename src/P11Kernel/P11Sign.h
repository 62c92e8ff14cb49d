// Signatures, verification and digests computed by the token with a key that never leaves it.
//
// Hash algorithm identifiers are the QOVA_CALG_* values. RSA keys sign with the standard
// hash-and-sign mechanisms, or with CKM_RSA_PKCS over a DigestInfo built around a given hash; SM2
// keys with the vendor mechanisms QOVA_CKM_SM2_SM3 and QOVA_CKM_SM2_SIGN_HASH, whose signatures
// come back in the token's encoding (DER SEQUENCE{r, s} on the tokens we know). Results are array
// new; the caller delete[]s them. Each operation either ends on the token or leaves the session
// free for the next one, whatever fails.
#ifndef VARNELL_P11_SIGN_H
#define VARNELL_P11_SIGN_H

#include "P11Types.h"

#include <cstdio>

// Thin wrappers: one module call each, with the module's arguments after the function list.
// A missing argument gives 0x80070058 without a call; a failing call its mapped code.
unsigned int CkDigestInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                          CK_MECHANISM* pDigestMechanism);
unsigned int CkDigestUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pPart,
                            CK_ULONG ulPartLen);
unsigned int CkDigestFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pDigest,
                           CK_ULONG* pulDigestLen);
unsigned int CkDigest(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pData,
                      CK_ULONG ulDataLen, unsigned char* pDigest, CK_ULONG* pulDigestLen);
unsigned int CkSignInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_MECHANISM* pSignMechanism,
                        CK_OBJECT_HANDLE hKey);
// An empty part is refused (0x80070058).
unsigned int CkSignUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pPart,
                          CK_ULONG ulPartLen);
unsigned int CkSignFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pSignature,
                         CK_ULONG* pulSignatureLen);
unsigned int CkSign(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pData,
                    CK_ULONG ulDataLen, unsigned char* pSignature, CK_ULONG* pulSignatureLen);
unsigned int CkVerifyInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                          CK_MECHANISM* pVerifyMechanism, CK_OBJECT_HANDLE hKey);
unsigned int CkVerifyUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pPart,
                            CK_ULONG ulPartLen);
unsigned int CkVerifyFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pSignature,
                           CK_ULONG ulSignatureLen);
unsigned int CkVerify(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pData,
                      CK_ULONG ulDataLen, unsigned char* pSignature, CK_ULONG ulSignatureLen);

// RSA hash-and-sign over the data (MD5, SHA-1, SHA-256, SHA-384, SHA-512).
unsigned int CryptoRSASign(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                           unsigned char* pbyData, CK_ULONG ulDataLen, unsigned char** ppbySignature,
                           CK_ULONG* pulSignatureLen);

// SM2 with SM3 over the data (QOVA_CKM_SM2_SM3 with the parameter byte; the token services pass 1).
unsigned int CryptoSM2Sign(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                           unsigned char byParam, unsigned char* pbyData, CK_ULONG ulDataLen,
                           unsigned char** ppbySignature, CK_ULONG* pulSignatureLen);

// SM2 signature of a 32-byte SM3 hash (QOVA_CKM_SM2_SIGN_HASH); another length returns
// CKR_ARGUMENTS_BAD (7, unmapped).
unsigned int CryptoSM2SignHash(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                               unsigned char* pbyHash, CK_ULONG ulHashLen, unsigned char** ppbySignature,
                               CK_ULONG* pulSignatureLen);

// PKCS #1 v1.5 signature of a given hash: DigestInfo prefix and hash signed with CKM_RSA_PKCS. A
// hash of the wrong length returns 7 (unmapped). The buffer has one zeroed byte beyond the signature.
unsigned int CryptoRSASignHash(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                               unsigned char* pbyHashData, CK_ULONG ulHashDataSize, unsigned char** ppSignature,
                               CK_ULONG* pulSignatureLen);

// Multi-part signing of the next ulFileSize bytes of the stream, read in chunks of 16384 bytes.
// A stream that ends early fails (0x8007001E, or 0x80070058 for an empty last read).
unsigned int CryptoRSASignFile(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID, FILE* fpFile,
                               CK_ULONG ulFileSize, unsigned char** ppbySignature, CK_ULONG* pulSignatureLen);
unsigned int CryptoSM2SignFile(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                               unsigned char byParam, FILE* fpFile, CK_ULONG ulFileSize,
                               unsigned char** ppbySignature, CK_ULONG* pulSignatureLen);

// Multi-part digest on the token of the next ulFileSize bytes of the stream; a stream that ends
// early fails with 0x8007001E.
unsigned int CryptoHashFile(void* pSessionCtx, CK_ULONG ulHashAlgID, FILE* fpFile, CK_ULONG ulFileSize,
                            unsigned char** ppbyHash, CK_ULONG* pulHashLen);

// Single-part verification: 0 when the signature is valid, 0xA00718C0 when the token rejects it.
unsigned int CkRSAVerify(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPublicKey,
                         CK_ULONG ulHashAlgID, unsigned char* pbyData, CK_ULONG ulDataLen,
                         unsigned char* pbySignature, CK_ULONG ulSignatureLen);
unsigned int CkSM2Verify(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPublicKey,
                         CK_ULONG ulHashAlgID, unsigned char byParam, unsigned char* pbyData, CK_ULONG ulDataLen,
                         unsigned char* pbySignature, CK_ULONG ulSignatureLen);

#endif
