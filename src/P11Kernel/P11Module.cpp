#include "P11Module.h"

#include "P11Detail.h"
#include "QovaTrace.h"

#include <dlfcn.h>

using p11detail::OrNull;

namespace {

unsigned int OpenAndInitialize(const char* pszModulePath, void** phDLLHandle, CK_FUNCTION_LIST** ppCkFunctionList)
{
    TRACE(3, "Module path: %s.", OrNull(pszModulePath));
    QOVA_P11_FAIL_IF(NULL == pszModulePath, QOVA_E_INVALIDARG, "Check pwszModulePath");
    QOVA_P11_FAIL_IF(NULL == phDLLHandle, QOVA_E_INVALIDARG, "Check phDLLHandle");

    void* hModule = dlopen(pszModulePath, RTLD_LAZY);
    QOVA_P11_FAIL_IF(NULL == hModule, CKR_GENERAL_ERROR, "dlopen...");

    CK_C_GetFunctionList pfnGetFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(hModule, "C_GetFunctionList"));
    if (QOVA_P11_STEP_FAILED(NULL == pfnGetFunctionList, QOVA_E_NO_GETFUNCTIONLIST, "dlsym C_GetFunctionList.")) {
        dlclose(hModule);
        return QOVA_E_NO_GETFUNCTIONLIST;
    }

    // Only the list pointer counts: some modules answer oddly but still fill it.
    CK_FUNCTION_LIST* pFunctionList = NULL;
    pfnGetFunctionList(&pFunctionList);
    if (QOVA_P11_STEP_FAILED(NULL == pFunctionList, QOVA_E_NO_FUNCTIONLIST, "Check function list pointer.")) {
        dlclose(hModule);
        return QOVA_E_NO_FUNCTIONLIST;
    }

    // Another component of the process may have initialised the module already; we do not share it.
    const CK_RV rv = pFunctionList->C_Initialize(NULL);
    if (QOVA_P11_STEP_FAILED(CKR_OK != rv, QovaP11Result(rv), "C_Initialize")) {
        dlclose(hModule);
        return QovaP11Result(rv);
    }

    if (NULL != ppCkFunctionList)
        *ppCkFunctionList = pFunctionList;
    *phDLLHandle = hModule;
    return QOVA_OK;
}

}  // namespace

unsigned int CkInitialize(const char* pszModulePath, void** phDLLHandle, CK_FUNCTION_LIST** ppCkFunctionList)
{
    const unsigned int nResult = OpenAndInitialize(pszModulePath, phDLLHandle, ppCkFunctionList);
    if (QOVA_OK != nResult)
        TRACE(1, "FAILED. Clearup");
    return nResult;
}

unsigned int CkUninitialize(void* hDLLHandle, CK_FUNCTION_LIST* pCkFunctionList)
{
    QOVA_P11_FAIL_IF(NULL == pCkFunctionList, QOVA_E_MISSING_ARG, "Check pCkFunctionList");
    QOVA_P11_FAIL_IF(NULL == hDLLHandle, QOVA_E_MISSING_ARG, "Check phDLLHandle");

    const CK_RV rv = pCkFunctionList->C_Finalize(NULL);
    TRACE(3, "C_Finalize return: %d", static_cast<int>(rv));
    dlclose(hDLLHandle);
    return QOVA_OK;
}

unsigned int LoadP11Dylib(void* pDylibInfo)
{
    DylibInfo* pInfo = static_cast<DylibInfo*>(pDylibInfo);
    QOVA_P11_FAIL_IF(NULL == pInfo, QOVA_E_INVALIDARG, "Check DylibInfo");
    TRACE(3, "CSP: [%s], P11: [%s]", OrNull(pInfo->pszCSPName), OrNull(pInfo->pszDylibPath));
    if (pInfo->bLoaded)
        return QOVA_OK;

    void* hModule = NULL;
    CK_FUNCTION_LIST* pFunctionList = NULL;
    const unsigned int nResult = CkInitialize(pInfo->pszDylibPath, &hModule, &pFunctionList);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CKInitalizeEx");

    pInfo->hDLLHandle = hModule;
    pInfo->pCkFunctionList = pFunctionList;
    pInfo->bLoaded = 1;
    return QOVA_OK;
}

unsigned int UnLoadP11Dylib(void* pDylibInfo)
{
    DylibInfo* pInfo = static_cast<DylibInfo*>(pDylibInfo);
    if (NULL == pInfo || 0 != pInfo->nSessionCount || !pInfo->bLoaded)
        return QOVA_OK;

    const unsigned int nResult = CkUninitialize(pInfo->hDLLHandle, pInfo->pCkFunctionList);
    TRACE(3, "CkUninitialize: 0x%08x", nResult);
    pInfo->bLoaded = 0;
    pInfo->hDLLHandle = NULL;
    pInfo->pCkFunctionList = NULL;
    return QOVA_OK;
}

unsigned int ReleaseDylibInfo(void* pDylibInfo)
{
    DylibInfo* pInfo = static_cast<DylibInfo*>(pDylibInfo);
    if (NULL == pInfo)
        return QOVA_OK;
    delete[] pInfo->pszDylibPath;
    delete[] pInfo->pszCSPName;
    delete[] pInfo;
    return QOVA_OK;
}
