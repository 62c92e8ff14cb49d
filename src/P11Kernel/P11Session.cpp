#include "P11Session.h"

#include "P11Detail.h"
#include "P11Module.h"
#include "QovaTrace.h"

#include <cstring>

using p11detail::NewZeroed;
using p11detail::OrNull;

namespace {

// Both calls of the two-call slot listing; a count of 0 gives a null list. Traced in the name pszFunc.
unsigned int ListSlotsWithToken(const char* pszFunc, CK_FUNCTION_LIST* pCkFunctionList,
                                std::unique_ptr<CK_SLOT_ID[]>* pSlots, CK_ULONG* pulCount)
{
    CK_ULONG ulCount = 0;
    CK_RV rv = pCkFunctionList->C_GetSlotList(CK_TRUE, NULL, &ulCount);
    TRACE(3, "C_GetSlotList ulRetCode %d.", static_cast<int>(rv));
    QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_GetSlotList(1)");
    TRACE(3, "Slot count: %lu", ulCount);
    if (0 == ulCount) {
        pSlots->reset();
        *pulCount = 0;
        return QOVA_OK;
    }
    QOVA_P11_FAIL_IF_IN(pszFunc, ulCount > p11detail::kMaxSlotCount, p11detail::kBadModuleAnswer,
                        "Check slot count");

    std::unique_ptr<CK_SLOT_ID[]> slots = NewZeroed<CK_SLOT_ID>(ulCount);
    QOVA_P11_FAIL_IF_IN(pszFunc, !slots, p11detail::kNoHostMemory, "new slot list");

    // No retry: a token that arrives between the calls fails the listing with CKR_BUFFER_TOO_SMALL.
    CK_ULONG ulSecondCount = ulCount;
    rv = pCkFunctionList->C_GetSlotList(CK_TRUE, slots.get(), &ulSecondCount);
    QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_GetSlotList(2)");
    QOVA_P11_FAIL_IF_IN(pszFunc, ulSecondCount > ulCount, p11detail::kBadModuleAnswer, "Check slot count(2)");

    *pSlots = std::move(slots);
    *pulCount = ulSecondCount;
    return QOVA_OK;
}

// CryptoGetDeviceInfo's steps, traced in the name pszFunc.
unsigned int ReadDeviceInfo(const char* pszFunc, DylibInfo* pInfo, CK_INFO** ppInfo,
                            std::vector<_SLOT_STRUCT>& vtrSlots, std::vector<_TOKEN_STRUCT>& vtrTokens)
{
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pInfo, QOVA_E_MODULE_NOT_LOADED, "Check pDylibInfo");
    TRACE(3, "P11 lib: %s", OrNull(pInfo->pszDylibPath));
    QOVA_P11_FAIL_IF_IN(pszFunc, !pInfo->bLoaded, QOVA_E_MODULE_NOT_LOADED, "Check pDylibInfo state");
    CK_FUNCTION_LIST* pFunctions = pInfo->pCkFunctionList;
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pFunctions, QOVA_E_MODULE_NOT_LOADED, "Check pCkFunctionList");

    std::unique_ptr<CK_INFO[]> info = NewZeroed<CK_INFO>(1);
    QOVA_P11_FAIL_IF_IN(pszFunc, !info, p11detail::kNoHostMemory, "new CK_INFO");
    const CK_RV rvInfo = pFunctions->C_GetInfo(info.get());
    QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rvInfo, QovaP11Result(rvInfo), "C_GetInfo");

    CK_SLOT_ID* pSlotList = NULL;
    CK_ULONG ulSlotCount = 0;
    const unsigned int nResult = GetSlotListEx(pFunctions, &pSlotList, &ulSlotCount);
    QOVA_P11_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "GetSlotListEx");
    const std::unique_ptr<CK_SLOT_ID[]> slots(pSlotList);
    TRACE(3, "Slot count: %lu", ulSlotCount);

    for (CK_ULONG i = 0; i < ulSlotCount; ++i) {
        const CK_SLOT_ID ulSlotID = slots[i];
        TRACE(3, "Slot index: %lu, slotID %ld", i, static_cast<long>(ulSlotID));

        _SLOT_STRUCT stSlot{};
        const CK_RV rvSlot = pFunctions->C_GetSlotInfo(ulSlotID, &stSlot.stSlotInfo);
        if (CKR_OK != rvSlot) {
            // A slot that cannot describe itself is left out, token and all.
            TRACE(3, "C_GetSlotInfo[%d] ulRetCode %d.", static_cast<int>(i), static_cast<int>(rvSlot));
            continue;
        }
        stSlot.ulSlotID = ulSlotID;
        vtrSlots.push_back(stSlot);

        _TOKEN_STRUCT stToken{};
        const CK_RV rvToken = pFunctions->C_GetTokenInfo(ulSlotID, &stToken.stTokenInfo);
        QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rvToken, QovaP11Result(rvToken), "C_GetTokenInfo");
        stToken.ulSlotID = ulSlotID;
        vtrTokens.push_back(stToken);
    }

    if (NULL != ppInfo)
        *ppInfo = info.release();
    return QOVA_OK;
}

// The steps of the session guards of LoginSession, LogoutSession and GetSessionTokenInfo.
constexpr char kCheckSession[] = "Check pP11SeesionCtx";
constexpr char kCheckModule[] = "Check pP11DylibInfo";

}  // namespace

unsigned int p11detail::CheckSessionCtx(const char* pszFunc, const SessionCtx* pCtx, const char* pszSessionStep,
                                        const char* pszModuleStep, CK_FUNCTION_LIST** ppFunctions)
{
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pCtx || 0 == pCtx->hSession, QOVA_E_INVALIDARG, pszSessionStep);
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pCtx->pDylibInfo || NULL == pCtx->pDylibInfo->pCkFunctionList,
                        QOVA_E_INVALIDARG, pszModuleStep);
    *ppFunctions = pCtx->pDylibInfo->pCkFunctionList;
    return QOVA_OK;
}

void p11detail::KeepTokenName(SessionCtx* pCtx, const CK_TOKEN_INFO& stTokenInfo)
{
    memcpy(pCtx->tokenLabel, stTokenInfo.label, sizeof(pCtx->tokenLabel));
    memcpy(pCtx->tokenSerial, stTokenInfo.serialNumber, sizeof(pCtx->tokenSerial));
    pCtx->bTokenNamed = 1;
}

unsigned int GetSlotListEx(CK_FUNCTION_LIST* pCkFunctionList, CK_SLOT_ID** ppSlotList, CK_ULONG* pulSlotCount)
{
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList || NULL == ppSlotList || NULL == pulSlotCount, QOVA_E_INVALIDARG,
                     "Check parameter");

    std::unique_ptr<CK_SLOT_ID[]> slots;
    CK_ULONG ulCount = 0;
    const unsigned int nResult = ListSlotsWithToken(__func__, pCkFunctionList, &slots, &ulCount);
    if (QOVA_OK != nResult)
        return nResult;
    *ppSlotList = slots.release();
    *pulSlotCount = ulCount;
    return QOVA_OK;
}

unsigned int GetFirstSlot(CK_FUNCTION_LIST* pCkFunctionList, CK_SLOT_ID* pSlotID)
{
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList || NULL == pSlotID, QOVA_E_INVALIDARG, "Check parameter");

    std::unique_ptr<CK_SLOT_ID[]> slots;
    CK_ULONG ulCount = 0;
    const unsigned int nResult = ListSlotsWithToken(__func__, pCkFunctionList, &slots, &ulCount);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(0 == ulCount, CKR_TOKEN_NOT_PRESENT, "No token present");
    *pSlotID = slots[0];
    return QOVA_OK;
}

unsigned int CryptoGetDeviceInfo(void* pDylibInfo, CK_INFO** ppInfo, std::vector<_SLOT_STRUCT>& vtrSlots,
                                 std::vector<_TOKEN_STRUCT>& vtrTokens)
{
    // A successful call appends to what the caller passed in; a failed one leaves nothing.
    const unsigned int nResult =
        ReadDeviceInfo(__func__, static_cast<DylibInfo*>(pDylibInfo), ppInfo, vtrSlots, vtrTokens);
    if (QOVA_OK != nResult) {
        TRACE(1, "FAILED. Clearup");
        vtrSlots.clear();
        vtrTokens.clear();
    }
    return nResult;
}

unsigned int CKCreateSession(CK_FUNCTION_LIST* pCkFunctionList, unsigned char* pbyPIN, int nPINLen,
                             CK_SLOT_ID ulSlotID, CK_SESSION_HANDLE* phSession, int* pnSessionType)
{
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_INVALIDARG, "Check pCkFunctionList");
    // A negative length would reach the token as a huge unsigned one.
    QOVA_P11_FAIL_IF(nPINLen < 0 || (NULL == pbyPIN && nPINLen > 0), QOVA_E_INVALIDARG, "Check pbyPIN");

    CK_SESSION_HANDLE hSession = 0;
    CK_RV rv = pCkFunctionList->C_OpenSession(ulSlotID, CKF_RW_SESSION | CKF_SERIAL_SESSION, NULL, NULL, &hSession);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_OpenSession");

    int nSessionType = 0;
    if (NULL != pbyPIN && 0 != nPINLen) {
        rv = pCkFunctionList->C_Login(hSession, CKU_USER, pbyPIN, static_cast<CK_ULONG>(nPINLen));
        if (QOVA_P11_STEP_FAILED(CKR_OK != rv, QovaP11Result(rv), "C_Login")) {
            pCkFunctionList->C_CloseSession(hSession);
            return QovaP11Result(rv);
        }
        nSessionType = 1;
    }
    TRACE(3, "SessionType: %d, hSession is %08X", nSessionType, static_cast<unsigned int>(hSession));

    if (NULL == phSession || NULL == pnSessionType) {
        // Nobody would own the session: close it again.
        CKCloseSession(pCkFunctionList, hSession, nSessionType);
        return QOVA_OK;
    }
    *phSession = hSession;
    *pnSessionType = nSessionType;
    return QOVA_OK;
}

unsigned int CKCloseSession(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, int nSessionType)
{
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_INVALIDARG, "Check pCkFunctionList");
    if (0 == hSession) {
        TRACE(3, "No session need close");
        return QOVA_OK;
    }
    if (1 == nSessionType) {
        TRACE(3, "Login session");
        const CK_RV rvLogout = pCkFunctionList->C_Logout(hSession);
        TRACE(3, "C_Logout: 0x%08x", static_cast<unsigned int>(rvLogout));
    }
    const CK_RV rvClose = pCkFunctionList->C_CloseSession(hSession);
    TRACE(3, "C_CloseSession: 0x%08x", static_cast<unsigned int>(rvClose));
    return QOVA_OK;
}

unsigned int AcquireContext(void* pDylibInfo, unsigned char* pbyPIN, int nPINLen, CK_SLOT_ID ulSlotID,
                            void** ppSessionCtx)
{
    DylibInfo* pInfo = static_cast<DylibInfo*>(pDylibInfo);
    QOVA_P11_FAIL_IF(NULL == pInfo || !pInfo->bLoaded || NULL == pInfo->pCkFunctionList, QOVA_E_MODULE_NOT_LOADED,
                     "Check P11DylibInfo");
    QOVA_P11_FAIL_IF(NULL == ppSessionCtx, QOVA_E_INVALIDARG, "Check ppSessionCtx");
    TRACE(3, "nSlotID is %d", static_cast<int>(ulSlotID));
    TRACE(3, "ulSlotID is %ld", static_cast<long>(ulSlotID));

    CK_SESSION_HANDLE hSession = 0;
    int nSessionType = 0;
    const unsigned int nResult =
        CKCreateSession(pInfo->pCkFunctionList, pbyPIN, nPINLen, ulSlotID, &hSession, &nSessionType);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CKCreateSession");

    SessionCtx* pCtx = new (std::nothrow) SessionCtx[1]();
    if (QOVA_P11_STEP_FAILED(NULL == pCtx, p11detail::kNoHostMemory, "new SessionCtx")) {
        CKCloseSession(pInfo->pCkFunctionList, hSession, nSessionType);
        return p11detail::kNoHostMemory;
    }
    pCtx->hSession = hSession;
    pCtx->nSessionType = static_cast<unsigned int>(nSessionType);
    pCtx->nRefCertCount = 0;
    pCtx->pDylibInfo = pInfo;
    pCtx->ulSlotID = ulSlotID;
    ++pInfo->nSessionCount;
    *ppSessionCtx = pCtx;
    return QOVA_OK;
}

unsigned int ReleaseSessionContext(void* pSessionCtx, bool bUnload)
{
    SessionCtx* pCtx = static_cast<SessionCtx*>(pSessionCtx);
    if (NULL == pCtx)
        return QOVA_OK;
    TRACE(3, "reference cert count: %d", static_cast<int>(pCtx->nRefCertCount));
    if (0 != pCtx->nRefCertCount)
        return QOVA_OK;

    DylibInfo* pInfo = pCtx->pDylibInfo;
    if (NULL != pInfo) {
        if (NULL != pInfo->pCkFunctionList)
            CKCloseSession(pInfo->pCkFunctionList, pCtx->hSession, static_cast<int>(pCtx->nSessionType));
        if (pInfo->nSessionCount > 0)
            --pInfo->nSessionCount;
        if (bUnload)
            UnLoadP11Dylib(pInfo);
    }
    delete[] pCtx;
    return QOVA_OK;
}

unsigned int LoginSession(void* pSessionCtx, unsigned char* pbyPIN, int nPINLen)
{
    SessionCtx* pCtx = static_cast<SessionCtx*>(pSessionCtx);
    CK_FUNCTION_LIST* pFunctions = NULL;
    const unsigned int nCheck = p11detail::CheckSessionCtx(__func__, pCtx, kCheckSession, kCheckModule, &pFunctions);
    if (QOVA_OK != nCheck)
        return nCheck;
    // A negative length would reach the token as a huge unsigned one.
    QOVA_P11_FAIL_IF(nPINLen < 0 || (NULL == pbyPIN && nPINLen > 0), QOVA_E_INVALIDARG, "Check pbyPIN");

    const CK_RV rv = pFunctions->C_Login(pCtx->hSession, CKU_USER, pbyPIN, static_cast<CK_ULONG>(nPINLen));
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_Login");
    pCtx->nSessionType = 1;
    return QOVA_OK;
}

unsigned int LogoutSession(void* pSessionCtx)
{
    SessionCtx* pCtx = static_cast<SessionCtx*>(pSessionCtx);
    CK_FUNCTION_LIST* pFunctions = NULL;
    const unsigned int nCheck = p11detail::CheckSessionCtx(__func__, pCtx, kCheckSession, kCheckModule, &pFunctions);
    if (QOVA_OK != nCheck)
        return nCheck;
    if (1 != pCtx->nSessionType)
        return QOVA_OK;

    const CK_RV rv = pFunctions->C_Logout(pCtx->hSession);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_Logout");
    pCtx->nSessionType = 0;
    return QOVA_OK;
}

unsigned int GetSessionTokenInfo(void* pSessionCtx, CK_TOKEN_INFO* pTokenInfo)
{
    SessionCtx* pCtx = static_cast<SessionCtx*>(pSessionCtx);
    CK_FUNCTION_LIST* pFunctions = NULL;
    const unsigned int nCheck = p11detail::CheckSessionCtx(__func__, pCtx, kCheckSession, kCheckModule, &pFunctions);
    if (QOVA_OK != nCheck)
        return nCheck;
    QOVA_P11_FAIL_IF(NULL == pTokenInfo, QOVA_E_INVALIDARG, "Check pTokenInfo");

    CK_TOKEN_INFO stTokenInfo{};
    const CK_RV rv = pFunctions->C_GetTokenInfo(pCtx->ulSlotID, &stTokenInfo);
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_GetTokenInfo");
    if (!pCtx->bTokenNamed)
        p11detail::KeepTokenName(pCtx, stTokenInfo);
    *pTokenInfo = stTokenInfo;
    return QOVA_OK;
}

unsigned int NameSessionToken(void* pSessionCtx)
{
    SessionCtx* pCtx = static_cast<SessionCtx*>(pSessionCtx);
    if (NULL != pCtx && pCtx->bTokenNamed)
        return QOVA_OK;
    CK_TOKEN_INFO stTokenInfo{};
    return GetSessionTokenInfo(pSessionCtx, &stTokenInfo);
}
