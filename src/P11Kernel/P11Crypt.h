// Encryption and decryption by the token with a key it holds, and its random-number generator.
//
// The composite operations take a bare mechanism type (no parameter) and hand out a zeroed array
// new buffer one byte longer than the result, so that a result that is text ends with a zero byte;
// the caller delete[]s it. Decrypted data is a secret: clear it before release.
#ifndef VARNELL_P11_CRYPT_H
#define VARNELL_P11_CRYPT_H

#include "P11Types.h"

// Thin wrappers: one module call each, with the module's arguments after the function list.
// A missing argument gives 0x80070058 without a call; a failing call its mapped code. Output
// buffers and lengths go to the module untested (a null buffer is the size query).
unsigned int CkEncryptInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_MECHANISM* pMechanism,
                           CK_OBJECT_HANDLE hKey);
unsigned int CkEncryptUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pPart,
                             CK_ULONG ulPartLen, unsigned char* pEncryptedPart, CK_ULONG* pulEncryptedPartLen);
unsigned int CkEncryptFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                            unsigned char* pLastEncryptedPart, CK_ULONG* pulLastEncryptedPartLen);
unsigned int CkEncrypt(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pData,
                       CK_ULONG ulDataLen, unsigned char* pEncryptedData, CK_ULONG* pulEncryptedDataLen);
unsigned int CkDecryptInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_MECHANISM* pMechanism,
                           CK_OBJECT_HANDLE hKey);
unsigned int CkDecryptUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                             unsigned char* pEncryptedPart, CK_ULONG ulEncryptedPartLen, unsigned char* pPart,
                             CK_ULONG* pulPartLen);
unsigned int CkDecryptFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pLastPart,
                            CK_ULONG* pulLastPartLen);
unsigned int CkDecrypt(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pEncryptedData,
                       CK_ULONG ulEncryptedDataLen, unsigned char* pData, CK_ULONG* pulDataLen);
unsigned int CkSeedRandom(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pSeed,
                          CK_ULONG ulSeedLen);
// A length of 0 is refused (0x80070058) without a module call.
unsigned int CkGenerateRandom(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                              unsigned char* pRandomData, CK_ULONG ulRandomLen);

// Single-part encryption; empty input gives 0x80070058 before the token is touched.
unsigned int CkEncryptMsg(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey,
                          CK_MECHANISM_TYPE ulMechanism, unsigned char* pbyData, CK_ULONG ulDataLen,
                          unsigned char** ppbyEncryptedMsg, CK_ULONG* pulEncryptedMsgSize);

// Single-part decryption in the session of a session context (logged in for a private key):
// CKM_RSA_PKCS for RSA keys, QOVA_CKM_SM2_DECRYPT for SM2 keys. Empty input gives 0x80070058
// before the token is touched.
unsigned int CryptoDecryptMsg(void* pSessionCtx, CK_OBJECT_HANDLE hKey, CK_MECHANISM_TYPE ulMechanism,
                              unsigned char* pbyEncryptedMsg, CK_ULONG ulEncryptedMsgSize, unsigned char** ppbyData,
                              CK_ULONG* pulDataSize);

#endif
