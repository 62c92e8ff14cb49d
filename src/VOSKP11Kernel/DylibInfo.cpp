#include "DylibInfo.h"

#include "P11Module.h"
#include "TokenSvcDetail.h"
#include "VerifyP11lib.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// The signature file's name replaces this many characters at the end of the module path.
constexpr size_t kDylibSuffixLength = 6;

DylibInfo* Head(void* pDylibInfoList)
{
    return static_cast<DylibInfo*>(pDylibInfoList);
}

// A new[] copy of the text into a buffer of its length plus one; null when no memory is left.
char* CopyText(const char* pszText)
{
    const size_t nSize = strlen(pszText) + 1;
    char* pszCopy = new (std::nothrow) char[nSize];
    if (NULL != pszCopy) memcpy(pszCopy, pszText, nSize);
    return pszCopy;
}

// Frees a list that was being built (nothing of it is loaded yet).
struct ListFree
{
    void operator()(DylibInfo* pHead) const
    {
        while (NULL != pHead) {
            DylibInfo* pNext = pHead->pNext;
            ReleaseDylibInfo(pHead);
            pHead = pNext;
        }
    }
};

}  // namespace

unsigned int InitDylibInfoList(const char* pszTable[][2], int nCount, void** ppDylibInfoList)
{
    TraceHelper trace("InitDylibInfoList");
    QOVA_FAIL_IF(NULL == ppDylibInfoList, QOVA_E_INVALIDARG, "Check ppDylibInfoList");
    QOVA_FAIL_IF(nCount > 0 && NULL == pszTable, QOVA_E_INVALIDARG, "Check pszTable");
    for (int i = 0; i < nCount; ++i)
        QOVA_FAIL_IF(NULL == pszTable[i][0] || NULL == pszTable[i][1], QOVA_E_INVALIDARG, "Check pszTable row");

    std::unique_ptr<DylibInfo, ListFree> head;
    DylibInfo* pTail = NULL;
    for (int i = 0; i < nCount; ++i) {
        const char* pszCSPName = pszTable[i][0];
        const char* pszPath = pszTable[i][1];
        TOKENSVC_TRACE("CSPName[%d]: %s; P11Path: %s", i, QovaTraceText(pszCSPName).c_str(),
                       QovaTraceText(pszPath).c_str());
        DylibInfo* pEntry = new (std::nothrow) DylibInfo[1]();
        QOVA_FAIL_IF(NULL == pEntry, QOVA_E_FAIL, "New memory");
        // Linked first, so that the list frees it on any failure below.
        if (NULL == pTail)
            head.reset(pEntry);
        else
            pTail->pNext = pEntry;
        pTail = pEntry;
        pEntry->pszCSPName = CopyText(pszCSPName);
        pEntry->pszDylibPath = CopyText(pszPath);
        QOVA_FAIL_IF(NULL == pEntry->pszCSPName || NULL == pEntry->pszDylibPath, QOVA_E_FAIL, "New memory");
        TOKENSVC_TRACE("DylibPath: %s", QovaTraceText(pEntry->pszDylibPath).c_str());
    }
    *ppDylibInfoList = head.release();
    return QOVA_OK;
}

unsigned int UnitDylibInfoList(void* pDylibInfoList)
{
    TraceHelper trace("UnitDylibInfoList");
    DylibInfo* pEntry = Head(pDylibInfoList);
    while (NULL != pEntry) {
        UnLoadP11Dylib(pEntry);
        DylibInfo* pNext = pEntry->pNext;
        pEntry->pNext = NULL;
        ReleaseDylibInfo(pEntry);
        pEntry = pNext;
    }
    return QOVA_OK;
}

void LoadDylibInfoList(void* pDylibInfoList, const char* pszDylibPath, bool bVerify, const char** ppszCertChain,
                       int nCertCount)
{
    TraceHelper trace("LoadDylibInfoList");
    for (DylibInfo* pEntry = Head(pDylibInfoList); NULL != pEntry; pEntry = pEntry->pNext) {
        if (NULL != pszDylibPath && 0 != strcmp(pszDylibPath, pEntry->pszDylibPath))
            continue;
        TOKENSVC_TRACE("DylibPath: %s", QovaTraceText(pEntry->pszDylibPath).c_str());
        // A module that fails its check is not loaded; the next one is still tried.
        int nDylibFd = -1;
        if (QOVA_OK != OpenVerifiedP11Dylib(pEntry->pszDylibPath, bVerify, ppszCertChain, nCertCount, &nDylibFd))
            continue;
        // Loaded from the very file that was verified (without verification, by its path).
        const unsigned int nResult = LoadP11DylibFromFile(pEntry, nDylibFd);
        TOKENSVC_TRACE("LoadP11Dylib: 0x%08x", nResult);
    }
}

void UnloadDylibInfoList(void* pDylibInfoList)
{
    TraceHelper trace("UnloadDylibInfoList");
    for (DylibInfo* pEntry = Head(pDylibInfoList); NULL != pEntry; pEntry = pEntry->pNext)
        UnLoadP11Dylib(pEntry);
}

unsigned int GetDylibInfo(const char* pszDylibPath, void* pDylibInfoList, void** ppDylibInfo)
{
    TraceHelper trace("GetDylibInfo");
    QOVA_FAIL_IF(NULL == pszDylibPath || 0 == strlen(pszDylibPath), QOVA_E_INVALIDARG, "Check DylibPath");
    QOVA_FAIL_IF(NULL == ppDylibInfo, QOVA_E_INVALIDARG, "Check ppDylibInfo");
    DylibInfo* pEntry = Head(pDylibInfoList);
    while (NULL != pEntry && 0 != strcmp(pszDylibPath, pEntry->pszDylibPath))
        pEntry = pEntry->pNext;
    *ppDylibInfo = pEntry;
    return QOVA_OK;
}

unsigned int ConstructSigFilePathbyDylibPath(const char* pszDylibPath, char** ppszSigFilePath)
{
    TraceHelper trace("ConstructSigFilePathbyDylibPath");
    QOVA_FAIL_IF(NULL == pszDylibPath || NULL == ppszSigFilePath, QOVA_E_INVALIDARG, "Check Parameters");
    const size_t nPathLength = strlen(pszDylibPath);
    // Six characters are dropped whatever they are; a shorter path has none to drop.
    QOVA_FAIL_IF(nPathLength < kDylibSuffixLength, QOVA_E_INVALIDARG, "Check DylibPath length");

    char* pszSigFilePath = new (std::nothrow) char[nPathLength + 1]();
    QOVA_FAIL_IF(NULL == pszSigFilePath, QOVA_E_FAIL, "New memory");
    memcpy(pszSigFilePath, pszDylibPath, nPathLength - kDylibSuffixLength);
    strcat(pszSigFilePath, ".sig");
    *ppszSigFilePath = pszSigFilePath;
    return QOVA_OK;
}
