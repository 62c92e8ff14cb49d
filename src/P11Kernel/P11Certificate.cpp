#include "P11Certificate.h"

#include "P11Detail.h"
#include "P11Session.h"
#include "QovaTrace.h"

#include <cstring>

using p11detail::NewZeroed;
using p11detail::OrNull;

namespace {

bool LengthOutOfBounds(CK_ULONG ulLength)
{
    return ulLength > p11detail::kMaxAttributeLength;
}

// The object search after a successful C_FindObjectsInit; the caller ends the search. Traced in
// the name pszFunc.
unsigned int FindFirstObject(const char* pszFunc, CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                             CK_OBJECT_HANDLE* phObject)
{
    CK_OBJECT_HANDLE hObject = 0;
    CK_ULONG ulObjectCount = 0;
    const CK_RV rv = pCkFunctionList->C_FindObjects(hSession, &hObject, 1, &ulObjectCount);
    QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_FindObjects");
    QOVA_P11_FAIL_IF_IN(pszFunc, ulObjectCount <= 0, QOVA_E_NO_OBJECT, "Check ulObjectCount <= 0");
    TRACE(3, "Find the object.");
    *phObject = hObject;
    return QOVA_OK;
}

// Moves the ID and value buffers into a new record that holds the context. Traced in the name pszFunc.
unsigned int AppendRecord(const char* pszFunc, SessionCtx* pCtx, std::unique_ptr<unsigned char[]> value,
                          CK_ULONG ulValueLen, std::unique_ptr<char[]> id, std::vector<_CERTIFICATE_DATA*>& vtrCertData)
{
    _CERTIFICATE_DATA* pRecord = new (std::nothrow) _CERTIFICATE_DATA[1]();
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pRecord, p11detail::kNoHostMemory, "new _CERTIFICATE_DATA");
    pRecord->pszCkID = id.release();
    pRecord->pbyCertificate = value.release();
    pRecord->nCertificateSize = static_cast<int>(ulValueLen);
    pRecord->pstSessionCtx = pCtx;
    ++pCtx->nRefCertCount;
    vtrCertData.push_back(pRecord);
    return QOVA_OK;
}

}  // namespace

unsigned int GetAllCertDataFromDevices(void* pDylibInfo, std::vector<_CERTIFICATE_DATA*>& vtrCertData)
{
    std::vector<_SLOT_STRUCT> vtrSlots;
    std::vector<_TOKEN_STRUCT> vtrTokens;
    const unsigned int nResult = CryptoGetDeviceInfo(pDylibInfo, NULL, vtrSlots, vtrTokens);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CkGetDeviceInfo");
    TRACE(3, "slot count: %d, token count: %d", static_cast<int>(vtrSlots.size()),
          static_cast<int>(vtrTokens.size()));

    for (const _TOKEN_STRUCT& stToken : vtrTokens) {
        void* pCtx = NULL;
        unsigned int nStep = AcquireContext(pDylibInfo, NULL, 0, stToken.ulSlotID, &pCtx);
        TRACE(3, "AcquireContext: 0x%08x", nStep);
        if (QOVA_OK != nStep)
            continue;
        // The listing just read the token's name: a stored-PIN login need not ask for it again.
        p11detail::KeepTokenName(static_cast<SessionCtx*>(pCtx), stToken.stTokenInfo);

        int nCertCount = 0;
        nStep = GetCurrentSessionCertificate(pCtx, &nCertCount, vtrCertData);
        TRACE(3, "GetCurrentSessionCertificate: 0x%08x", nStep);
        TRACE(3, "Current device Certificate count: %d", nCertCount);
        TRACE(3, "Current total Certificate counts: %d", static_cast<int>(vtrCertData.size()));
        // Records that were made hold the session; a context nobody holds is closed here.
        if (QOVA_OK != nStep || 0 == nCertCount)
            ReleaseSessionContext(pCtx, false);
    }
    return QOVA_OK;
}

unsigned int GetCurrentSessionCertificate(void* pSessionCtx, int* pnCertCount,
                                          std::vector<_CERTIFICATE_DATA*>& vtrCertData)
{
    SessionCtx* pCtx = static_cast<SessionCtx*>(pSessionCtx);
    CK_FUNCTION_LIST* pFunctions = NULL;
    const unsigned int nCheck =
        p11detail::CheckSessionCtx(__func__, pCtx, "Check pstSessionCtx", "Check pDylibInfo", &pFunctions);
    if (QOVA_OK != nCheck)
        return nCheck;

    CK_SESSION_INFO stSessionInfo{};
    CK_RV rv = pFunctions->C_GetSessionInfo(pCtx->hSession, &stSessionInfo);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetSessionInfo");

    CK_OBJECT_CLASS ulClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE stTemplate[] = {{CKA_CLASS, &ulClass, sizeof(ulClass)}};
    rv = pFunctions->C_FindObjectsInit(pCtx->hSession, stTemplate, 1);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_FindObjectsInit");

    // The search ends at the first object that cannot be read; what was read until then stays.
    int nAppended = 0;
    unsigned int nResult = QOVA_OK;
    for (;;) {
        if (NULL != pnCertCount)
            *pnCertCount = nAppended;
        unsigned char* pbyValue = NULL;
        CK_ULONG ulValueLen = 0;
        char* pszCkID = NULL;
        const unsigned int nEnum = CKEnumCertificateAttr(pFunctions, pCtx->hSession, &pbyValue, &ulValueLen, &pszCkID);
        if (QOVA_OK != nEnum) {
            TRACE(3, "CKEnumCertificateAttr: 0x%08x", nEnum);
            break;
        }
        nResult = AppendRecord(__func__, pCtx, std::unique_ptr<unsigned char[]>(pbyValue), ulValueLen,
                               std::unique_ptr<char[]>(pszCkID), vtrCertData);
        if (QOVA_OK != nResult)
            break;
        ++nAppended;
    }
    rv = pFunctions->C_FindObjectsFinal(pCtx->hSession);
    TRACE(3, "C_FindObjectsFinal return: %d", static_cast<int>(rv));
    return nResult;
}

unsigned int CKEnumCertificateAttr(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                   unsigned char** ppbyValue, CK_ULONG* pulValueLen, char** ppszCkID)
{
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_INVALIDARG, "Check CkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_INVALIDARG, "Check hSessionHandle");

    CK_OBJECT_HANDLE hObject = 0;
    CK_ULONG ulObjectCount = 0;
    CK_RV rv = pCkFunctionList->C_FindObjects(hSession, &hObject, 1, &ulObjectCount);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_FindObjects");
    TRACE(3, "ulObjectCount: %d", static_cast<int>(ulObjectCount));
    QOVA_P11_FAIL_IF(0 == ulObjectCount, QOVA_E_NO_OBJECT, "Check ObjectCount");

    CK_ATTRIBUTE stTemplate[] = {{CKA_VALUE, NULL, 0}, {CKA_ID, NULL, 0}};
    rv = pCkFunctionList->C_GetAttributeValue(hSession, hObject, stTemplate, 2);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(CKA_VALUE 1)");
    const CK_ULONG ulValueLen = stTemplate[0].ulValueLen;
    const CK_ULONG ulIDLen = stTemplate[1].ulValueLen;
    QOVA_P11_FAIL_IF(LengthOutOfBounds(ulValueLen) || LengthOutOfBounds(ulIDLen), p11detail::kBadModuleAnswer,
                     "Check attribute length");

    std::unique_ptr<unsigned char[]> value = NewZeroed<unsigned char>(ulValueLen + 1);
    std::unique_ptr<char[]> id = NewZeroed<char>(ulIDLen + 1);
    QOVA_P11_FAIL_IF(!value || !id, p11detail::kNoHostMemory, "new attribute buffers");

    stTemplate[0].pValue = value.get();
    stTemplate[1].pValue = id.get();
    rv = pCkFunctionList->C_GetAttributeValue(hSession, hObject, stTemplate, 2);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(CKA_VALUE 2)");
    // The buffers were sized by the first answer; a longer second one would have overrun them.
    QOVA_P11_FAIL_IF(stTemplate[0].ulValueLen > ulValueLen || stTemplate[1].ulValueLen > ulIDLen,
                     p11detail::kBadModuleAnswer, "Check attribute length(2)");

    if (NULL != ppbyValue && NULL != pulValueLen) {
        *ppbyValue = value.release();
        *pulValueLen = stTemplate[0].ulValueLen;
    }
    if (NULL != ppszCkID)
        *ppszCkID = id.release();
    return QOVA_OK;
}

unsigned int CkGetSpecifiedObjectByCkID(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                        unsigned char* pszCkID, CK_OBJECT_CLASS ulObjectType,
                                        CK_OBJECT_HANDLE* phObject)
{
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(hSession));
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_INVALIDARG, "Check CkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_INVALIDARG, "Check hSessionHandle");
    QOVA_P11_FAIL_IF(NULL == pszCkID, QOVA_E_INVALIDARG, "Check pszCkID");
    QOVA_P11_FAIL_IF(NULL == phObject, QOVA_E_INVALIDARG, "Check phObject");
    QOVA_P11_FAIL_IF(CKO_CERTIFICATE != ulObjectType && CKO_PUBLIC_KEY != ulObjectType &&
                         CKO_PRIVATE_KEY != ulObjectType,
                     QOVA_E_P11_NOT_SUPPORTED, "Only support asym public-key private-key and certificate");
    const char* pszID = reinterpret_cast<const char*>(pszCkID);
    // The ID comes from the token: escaped, so that it cannot end its log line.
    if (QovaLogEnabled())
        TRACE(3, "The ulObjectType to find is %ld, the ckid to find is %s", static_cast<long>(ulObjectType),
              QovaTraceText(pszID).c_str());

    // The ID is text: it ends at its first zero byte.
    CK_OBJECT_CLASS ulClass = ulObjectType;
    CK_ATTRIBUTE stTemplate[] = {{CKA_CLASS, &ulClass, sizeof(ulClass)},
                                 {CKA_ID, pszCkID, static_cast<CK_ULONG>(strlen(pszID))}};
    const CK_RV rv = pCkFunctionList->C_FindObjectsInit(hSession, stTemplate, 2);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_FindObjectsInit");

    const unsigned int nResult = FindFirstObject(__func__, pCkFunctionList, hSession, phObject);
    const CK_RV rvFinal = pCkFunctionList->C_FindObjectsFinal(hSession);
    TRACE(3, "C_FindObjectsFinal return: %d", static_cast<int>(rvFinal));
    return nResult;
}

unsigned int CkGetObjectAttribute(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                  CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount)
{
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_MISSING_ARG, "Check pCkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_MISSING_ARG, "Check hSessionHandle");
    QOVA_P11_FAIL_IF(0 == hObject, QOVA_E_MISSING_ARG, "Check hObjectHandle");
    QOVA_P11_FAIL_IF(NULL == pTemplate, QOVA_E_MISSING_ARG, "Check pObjectAttribute");

    const CK_RV rv = pCkFunctionList->C_GetAttributeValue(hSession, hObject, pTemplate, ulCount);
    TRACE(3, "C_GetAttributeValue return: %d", static_cast<int>(rv));
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue");
    return QOVA_OK;
}

unsigned int AcquireCertificatePrivateKey(_CERTIFICATE_DATA* pCertData, CK_OBJECT_HANDLE* phPrivateKey,
                                          CK_KEY_TYPE* pulKeyType)
{
    QOVA_P11_FAIL_IF(NULL == pCertData, QOVA_E_INVALIDARG, "Check pCertData");
    if (QovaLogEnabled())
        TRACE(3, "CKID: %s", QovaTraceText(pCertData->pszCkID).c_str());
    QOVA_P11_FAIL_IF(NULL == phPrivateKey || NULL == pulKeyType, QOVA_E_INVALIDARG, "Check phPrivateKey");
    const SessionCtx* pCtx = pCertData->pstSessionCtx;
    QOVA_P11_FAIL_IF(NULL == pCtx || 0 == pCtx->hSession || 1 != pCtx->nSessionType, QOVA_E_INVALIDARG,
                     "Check pSessionCtx");
    QOVA_P11_FAIL_IF(NULL == pCtx->pDylibInfo || NULL == pCtx->pDylibInfo->pCkFunctionList, QOVA_E_INVALIDARG,
                     "Check pSessionCtx(DylibInfo)");
    CK_FUNCTION_LIST* pFunctions = pCtx->pDylibInfo->pCkFunctionList;

    CK_OBJECT_HANDLE hKey = 0;
    unsigned int nResult = CkGetSpecifiedObjectByCkID(pFunctions, pCtx->hSession,
                                                      reinterpret_cast<unsigned char*>(pCertData->pszCkID),
                                                      CKO_PRIVATE_KEY, &hKey);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CkGetSpecifiedObjectByCkID");

    CK_KEY_TYPE ulKeyType = 0;
    CK_ATTRIBUTE stTemplate[] = {{CKA_KEY_TYPE, &ulKeyType, sizeof(ulKeyType)}};
    nResult = CkGetObjectAttribute(pFunctions, pCtx->hSession, hKey, stTemplate, 1);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CkGetObjectAttribute(CKA_KEY_TYPE)");

    *phPrivateKey = hKey;
    *pulKeyType = ulKeyType;
    return QOVA_OK;
}

unsigned int CkExportCertificate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                 CK_OBJECT_HANDLE hCertificate, unsigned char** ppbyCertificate,
                                 CK_ULONG* pulCertificateSize)
{
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(hSession));
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_INVALIDARG, "Check CkFunctionList");
    QOVA_P11_FAIL_IF(0 == hSession, QOVA_E_INVALIDARG, "Check hSessionHandle");
    QOVA_P11_FAIL_IF(0 == hCertificate, QOVA_E_INVALIDARG, "Check hCertificateHandle");
    QOVA_P11_FAIL_IF(NULL == ppbyCertificate, QOVA_E_INVALIDARG, "Check ppbyCertificate");
    QOVA_P11_FAIL_IF(NULL == pulCertificateSize, QOVA_E_INVALIDARG, "Check pulCertificateSize");

    CK_OBJECT_CLASS ulObjectClass = 0;
    CK_CERTIFICATE_TYPE ulCertificateType = 0;
    CK_ATTRIBUTE stKind[] = {{CKA_CLASS, &ulObjectClass, sizeof(ulObjectClass)},
                             {CKA_CERTIFICATE_TYPE, &ulCertificateType, sizeof(ulCertificateType)}};
    CK_RV rv = pCkFunctionList->C_GetAttributeValue(hSession, hCertificate, stKind, 2);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(class)");
    QOVA_P11_FAIL_IF(CKO_CERTIFICATE != ulObjectClass, QOVA_E_P11_NOT_X509, "Check ulObjectClass CKO_CERTIFICATE");
    QOVA_P11_FAIL_IF(CKC_X_509 != ulCertificateType, QOVA_E_P11_NOT_X509, "Check ulCertificateType CKC_X_509");

    CK_ATTRIBUTE stValue[] = {{CKA_VALUE, NULL, 0}};
    rv = pCkFunctionList->C_GetAttributeValue(hSession, hCertificate, stValue, 1);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(data 1)");
    const CK_ULONG ulLength = stValue[0].ulValueLen;
    QOVA_P11_FAIL_IF(LengthOutOfBounds(ulLength), p11detail::kBadModuleAnswer, "Check attribute length");

    // One zero byte beyond the DER, as in the certificate records.
    std::unique_ptr<unsigned char[]> value = NewZeroed<unsigned char>(ulLength + 1);
    QOVA_P11_FAIL_IF(!value, p11detail::kNoHostMemory, "new certificate buffer");
    stValue[0].pValue = value.get();
    rv = pCkFunctionList->C_GetAttributeValue(hSession, hCertificate, stValue, 1);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetAttributeValue(data 2)");
    QOVA_P11_FAIL_IF(stValue[0].ulValueLen > ulLength, p11detail::kBadModuleAnswer, "Check attribute length(2)");

    *ppbyCertificate = value.release();
    *pulCertificateSize = stValue[0].ulValueLen;
    TRACE(3, "pulCertificateSize: %d", static_cast<int>(*pulCertificateSize));
    return QOVA_OK;
}

unsigned int ExportDERCertFromP11(_CERTIFICATE_DATA* pCertData, unsigned char** ppbyCertificate,
                                  int* pnCertificateSize)
{
    QOVA_P11_FAIL_IF(NULL == pCertData, QOVA_E_INVALIDARG, "Check certData");
    const SessionCtx* pCtx = pCertData->pstSessionCtx;
    QOVA_P11_FAIL_IF(NULL == pCtx || NULL == pCtx->pDylibInfo, QOVA_E_INVALIDARG, "Check pstSessionCtx");
    QOVA_P11_FAIL_IF(NULL == ppbyCertificate || NULL == pnCertificateSize, QOVA_E_INVALIDARG,
                     "Check ppbyCertificate");
    CK_FUNCTION_LIST* pFunctions = pCtx->pDylibInfo->pCkFunctionList;

    CK_OBJECT_HANDLE hCertificate = 0;
    unsigned int nResult = CkGetSpecifiedObjectByCkID(pFunctions, pCtx->hSession,
                                                      reinterpret_cast<unsigned char*>(pCertData->pszCkID),
                                                      CKO_CERTIFICATE, &hCertificate);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CkGetSpecifiedObjectByCkID for certificate");

    unsigned char* pbyCertificate = NULL;
    CK_ULONG ulSize = 0;
    nResult = CkExportCertificate(pFunctions, pCtx->hSession, hCertificate, &pbyCertificate, &ulSize);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CkExportCertificate for certificate data");

    // The length was bounded well below INT_MAX when it was read.
    *ppbyCertificate = pbyCertificate;
    *pnCertificateSize = static_cast<int>(ulSize);
    return QOVA_OK;
}

unsigned int DupCertificateData(_CERTIFICATE_DATA* pSrcCertData, _CERTIFICATE_DATA** ppCertData)
{
    QOVA_P11_FAIL_IF(NULL == pSrcCertData || pSrcCertData->nCertificateSize < 0, QOVA_E_INVALIDARG,
                     "Check pSrcCertData");
    // A copy nobody receives would be released at once; the session count ends where it was.
    if (NULL == ppCertData)
        return QOVA_OK;

    std::unique_ptr<unsigned char[]> der;
    if (NULL != pSrcCertData->pbyCertificate) {
        const size_t nSize = static_cast<size_t>(pSrcCertData->nCertificateSize);
        der = NewZeroed<unsigned char>(nSize + 1);
        QOVA_P11_FAIL_IF(!der, p11detail::kNoHostMemory, "new certificate copy");
        memcpy(der.get(), pSrcCertData->pbyCertificate, nSize);
    }
    std::unique_ptr<char[]> id;
    if (NULL != pSrcCertData->pszCkID) {
        const size_t nLength = strlen(pSrcCertData->pszCkID);
        id = NewZeroed<char>(nLength + 1);
        QOVA_P11_FAIL_IF(!id, p11detail::kNoHostMemory, "new CKA_ID copy");
        memcpy(id.get(), pSrcCertData->pszCkID, nLength);
    }
    _CERTIFICATE_DATA* pCopy = new (std::nothrow) _CERTIFICATE_DATA[1]();
    QOVA_P11_FAIL_IF(NULL == pCopy, p11detail::kNoHostMemory, "new _CERTIFICATE_DATA");

    pCopy->pbyCertificate = der.release();
    pCopy->nCertificateSize = NULL != pCopy->pbyCertificate ? pSrcCertData->nCertificateSize : 0;
    pCopy->pszCkID = id.release();
    pCopy->pstSessionCtx = pSrcCertData->pstSessionCtx;
    if (NULL != pCopy->pstSessionCtx)
        ++pCopy->pstSessionCtx->nRefCertCount;
    *ppCertData = pCopy;
    return QOVA_OK;
}

void ReleaseCertificateData(_CERTIFICATE_DATA* pCertData)
{
    if (NULL == pCertData)
        return;
    delete[] pCertData->pszCkID;
    delete[] pCertData->pbyCertificate;
    SessionCtx* pCtx = pCertData->pstSessionCtx;
    if (NULL != pCtx) {
        if (pCtx->nRefCertCount > 0)
            --pCtx->nRefCertCount;
        ReleaseSessionContext(pCtx, true);
    }
    delete[] pCertData;
}

void ClearCertificateDataSet(std::vector<_CERTIFICATE_DATA*>& vtrCertData)
{
    for (_CERTIFICATE_DATA* pRecord : vtrCertData)
        ReleaseCertificateData(pRecord);
    vtrCertData.clear();
}
