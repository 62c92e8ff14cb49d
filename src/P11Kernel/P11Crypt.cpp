#include "P11Crypt.h"

#include "P11OperationDetail.h"

using p11detail::CallForOutput;
using p11detail::OutputSteps;
using p11detail::TraceOutputLength;

namespace {

const OutputSteps kEncryptSteps = {"CKEncrypt", "CKEncrypt for data", "ulEncryptedMsgSize: "};
const OutputSteps kDecryptSteps = {"CkDecrypt", "CkDecrypt for data", "ulDataSize: "};

}  // namespace

// ---- thin wrappers ----

unsigned int CkEncryptInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_MECHANISM* pMechanism,
                           CK_OBJECT_HANDLE hKey)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    QOVA_P11_FAIL_IF(NULL == pMechanism, QOVA_E_MISSING_ARG, "Check pMechanism");
    QOVA_P11_FAIL_IF(0 == hKey, QOVA_E_MISSING_ARG, "Check hKey");
    const CK_RV rv = pCkFunctionList->C_EncryptInit(hSession, pMechanism, hKey);
    P11_WRAPPER_ANSWER("C_EncryptInit", rv);
    return QOVA_OK;
}

unsigned int CkEncryptUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pPart,
                             CK_ULONG ulPartLen, unsigned char* pEncryptedPart, CK_ULONG* pulEncryptedPartLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulPartLen: %d", static_cast<int>(ulPartLen));
    QOVA_P11_FAIL_IF(NULL == pPart, QOVA_E_MISSING_ARG, "Check pPart");
    QOVA_P11_FAIL_IF(0 == ulPartLen, QOVA_E_MISSING_ARG, "Check ulPartLen");
    const CK_RV rv =
        pCkFunctionList->C_EncryptUpdate(hSession, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
    P11_WRAPPER_ANSWER("C_EncryptUpdate", rv);
    TraceOutputLength("pulEncryptedPartLen ", pulEncryptedPartLen);
    return QOVA_OK;
}

unsigned int CkEncryptFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                            unsigned char* pLastEncryptedPart, CK_ULONG* pulLastEncryptedPartLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    const CK_RV rv = pCkFunctionList->C_EncryptFinal(hSession, pLastEncryptedPart, pulLastEncryptedPartLen);
    P11_WRAPPER_ANSWER("C_EncryptFinal", rv);
    TraceOutputLength("pulLastEncryptedPartLen ", pulLastEncryptedPartLen);
    return QOVA_OK;
}

unsigned int CkEncrypt(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pData,
                       CK_ULONG ulDataLen, unsigned char* pEncryptedData, CK_ULONG* pulEncryptedDataLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulDataLen: %d", static_cast<int>(ulDataLen));
    QOVA_P11_FAIL_IF(NULL == pData, QOVA_E_MISSING_ARG, "Check pPart");
    QOVA_P11_FAIL_IF(0 == ulDataLen, QOVA_E_MISSING_ARG, "Check ulPartLen");
    const CK_RV rv = pCkFunctionList->C_Encrypt(hSession, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
    P11_WRAPPER_ANSWER("C_Encrypt", rv);
    TraceOutputLength("pulEncryptedDataLen ", pulEncryptedDataLen);
    return QOVA_OK;
}

unsigned int CkDecryptInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_MECHANISM* pMechanism,
                           CK_OBJECT_HANDLE hKey)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    QOVA_P11_FAIL_IF(NULL == pMechanism, QOVA_E_MISSING_ARG, "Check pMechanism");
    QOVA_P11_FAIL_IF(0 == hKey, QOVA_E_MISSING_ARG, "Check hKey");
    const CK_RV rv = pCkFunctionList->C_DecryptInit(hSession, pMechanism, hKey);
    P11_WRAPPER_ANSWER("C_DecryptInit", rv);
    return QOVA_OK;
}

unsigned int CkDecryptUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                             unsigned char* pEncryptedPart, CK_ULONG ulEncryptedPartLen, unsigned char* pPart,
                             CK_ULONG* pulPartLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulEncryptedPartLen: %d", static_cast<int>(ulEncryptedPartLen));
    QOVA_P11_FAIL_IF(NULL == pEncryptedPart, QOVA_E_MISSING_ARG, "Check pEncryptedPart");
    QOVA_P11_FAIL_IF(0 == ulEncryptedPartLen, QOVA_E_MISSING_ARG, "Check ulEncryptedPartLen");
    const CK_RV rv = pCkFunctionList->C_DecryptUpdate(hSession, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
    P11_WRAPPER_ANSWER("C_DecryptUpdate", rv);
    TraceOutputLength("pulPartLen ", pulPartLen);
    return QOVA_OK;
}

unsigned int CkDecryptFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pLastPart,
                            CK_ULONG* pulLastPartLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    const CK_RV rv = pCkFunctionList->C_DecryptFinal(hSession, pLastPart, pulLastPartLen);
    P11_WRAPPER_ANSWER("C_DecryptFinal", rv);
    TraceOutputLength("pulLastPartLen ", pulLastPartLen);
    return QOVA_OK;
}

unsigned int CkDecrypt(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pEncryptedData,
                       CK_ULONG ulEncryptedDataLen, unsigned char* pData, CK_ULONG* pulDataLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulEncryptedDataLen: %d", static_cast<int>(ulEncryptedDataLen));
    QOVA_P11_FAIL_IF(NULL == pEncryptedData, QOVA_E_MISSING_ARG, "Check pEncryptedData");
    QOVA_P11_FAIL_IF(0 == ulEncryptedDataLen, QOVA_E_MISSING_ARG, "Check ulEncryptedDataLen");
    const CK_RV rv = pCkFunctionList->C_Decrypt(hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
    P11_WRAPPER_ANSWER("C_Decrypt", rv);
    TraceOutputLength("pulDataLen ", pulDataLen);
    return QOVA_OK;
}

unsigned int CkSeedRandom(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pSeed,
                          CK_ULONG ulSeedLen)
{
    TRACE(3, "ulSeedLen: %d", static_cast<int>(ulSeedLen));
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_MISSING_ARG, "Check pCkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_MISSING_ARG, "Check hSessionHandle");
    QOVA_P11_FAIL_IF(NULL == pSeed, QOVA_E_MISSING_ARG, "Check pSeed");
    QOVA_P11_FAIL_IF(0 == ulSeedLen, QOVA_E_MISSING_ARG, "Check ulSeedLen");
    const CK_RV rv = pCkFunctionList->C_SeedRandom(hSession, pSeed, ulSeedLen);
    P11_WRAPPER_ANSWER("C_SeedRandom", rv);
    return QOVA_OK;
}

unsigned int CkGenerateRandom(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                              unsigned char* pRandomData, CK_ULONG ulRandomLen)
{
    TRACE(3, "ulSeedLen: %d", static_cast<int>(ulRandomLen));
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_MISSING_ARG, "Check pCkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_MISSING_ARG, "Check hSessionHandle");
    QOVA_P11_FAIL_IF(NULL == pRandomData, QOVA_E_MISSING_ARG, "Check pSeed");
    QOVA_P11_FAIL_IF(0 == ulRandomLen, QOVA_E_MISSING_ARG, "Check ulSeedLen");
    const CK_RV rv = pCkFunctionList->C_GenerateRandom(hSession, pRandomData, ulRandomLen);
    P11_WRAPPER_ANSWER("C_GenerateRandom", rv);
    return QOVA_OK;
}

// ---- composite operations ----

unsigned int CkEncryptMsg(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey,
                          CK_MECHANISM_TYPE ulMechanism, unsigned char* pbyData, CK_ULONG ulDataLen,
                          unsigned char** ppbyEncryptedMsg, CK_ULONG* pulEncryptedMsgSize)
{
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(hSession));
    TRACE(3, "ulDataLen: %d", static_cast<int>(ulDataLen));
    TRACE(3, "ulMechanism: 0x%08x", static_cast<unsigned int>(ulMechanism));
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_MISSING_ARG, "Check pCkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_MISSING_ARG, "Check hSessionHandle");
    // The encryption call would refuse these only after the init had started the operation.
    QOVA_P11_FAIL_IF(NULL == pbyData, QOVA_E_MISSING_ARG, "Check pPart");
    QOVA_P11_FAIL_IF(0 == ulDataLen, QOVA_E_MISSING_ARG, "Check ulPartLen");
    QOVA_P11_FAIL_IF(NULL == ppbyEncryptedMsg, QOVA_E_INVALIDARG, "Check ppbyEncryptedMsg");
    QOVA_P11_FAIL_IF(NULL == pulEncryptedMsgSize, QOVA_E_INVALIDARG, "Check pulEncryptedMsgSize");

    CK_MECHANISM stMechanism = {ulMechanism, NULL, 0};
    const unsigned int nResult = CkEncryptInit(pCkFunctionList, hSession, &stMechanism, hKey);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CKEncryptInit");
    auto encrypt = [&](unsigned char* pbyOut, CK_ULONG* pulOutLen) {
        return CkEncrypt(pCkFunctionList, hSession, pbyData, ulDataLen, pbyOut, pulOutLen);
    };
    return CallForOutput(__func__, kEncryptSteps, encrypt, 1, false, ppbyEncryptedMsg, pulEncryptedMsgSize);
}

unsigned int CryptoDecryptMsg(void* pSessionCtx, CK_OBJECT_HANDLE hKey, CK_MECHANISM_TYPE ulMechanism,
                              unsigned char* pbyEncryptedMsg, CK_ULONG ulEncryptedMsgSize, unsigned char** ppbyData,
                              CK_ULONG* pulDataSize)
{
    TRACE(3, "ulEncryptedMsgSize: %d", static_cast<int>(ulEncryptedMsgSize));
    TRACE(3, "ulMechanism: 0x%08x", static_cast<unsigned int>(ulMechanism));
    p11detail::TokenSession session{};
    unsigned int nResult = p11detail::OpenSessionCtx(__func__, pSessionCtx, &session);
    if (QOVA_OK != nResult)
        return nResult;
    // The decryption call would refuse these only after the init had started the operation.
    QOVA_P11_FAIL_IF(NULL == pbyEncryptedMsg, QOVA_E_MISSING_ARG, "Check pEncryptedData");
    QOVA_P11_FAIL_IF(0 == ulEncryptedMsgSize, QOVA_E_MISSING_ARG, "Check ulEncryptedDataLen");
    QOVA_P11_FAIL_IF(NULL == ppbyData, QOVA_E_INVALIDARG, "Check ppbyData");
    QOVA_P11_FAIL_IF(NULL == pulDataSize, QOVA_E_INVALIDARG, "Check pulDataSize");

    CK_MECHANISM stMechanism = {ulMechanism, NULL, 0};
    nResult = CkDecryptInit(session.pFunctions, session.hSession, &stMechanism, hKey);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CkDecryptInit");
    auto decrypt = [&](unsigned char* pbyOut, CK_ULONG* pulOutLen) {
        return CkDecrypt(session.pFunctions, session.hSession, pbyEncryptedMsg, ulEncryptedMsgSize, pbyOut,
                         pulOutLen);
    };
    return CallForOutput(__func__, kDecryptSteps, decrypt, 1, true, ppbyData, pulDataSize);
}
