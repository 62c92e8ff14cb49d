#include "P11Module.h"

#include "P11Detail.h"
#include "QovaTrace.h"

#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using p11detail::OrNull;

namespace {

// The trace names of the designed steps, for the helpers that trace them.
const char kLoadFunc[] = "LoadP11Dylib";
const char kInitFunc[] = "CkInitialize";

// CkInitialize's steps: pszModulePath is the path the trace names, pszLoadName what the dynamic
// loader opens (the path itself, or the name of a descriptor of the checked module file).
unsigned int OpenAndInitialize(const char* pszModulePath, const char* pszLoadName, void** phDLLHandle,
                               CK_FUNCTION_LIST** ppCkFunctionList)
{
    const char* pszFunc = kInitFunc;
    TRACE(3, "Module path: %s.", OrNull(pszModulePath));
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pszModulePath, QOVA_E_INVALIDARG, "Check pwszModulePath");
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == phDLLHandle, QOVA_E_INVALIDARG, "Check phDLLHandle");

    void* hModule = dlopen(pszLoadName, RTLD_LAZY);
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == hModule, CKR_GENERAL_ERROR, "dlopen...");

    CK_C_GetFunctionList pfnGetFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(hModule, "C_GetFunctionList"));
    if (QOVA_P11_STEP_FAILED_IN(pszFunc, NULL == pfnGetFunctionList, QOVA_E_NO_GETFUNCTIONLIST,
                                "dlsym C_GetFunctionList.")) {
        dlclose(hModule);
        return QOVA_E_NO_GETFUNCTIONLIST;
    }

    // Only the list pointer counts: some modules answer oddly but still fill it.
    CK_FUNCTION_LIST* pFunctionList = NULL;
    pfnGetFunctionList(&pFunctionList);
    if (QOVA_P11_STEP_FAILED_IN(pszFunc, NULL == pFunctionList, QOVA_E_NO_FUNCTIONLIST,
                                "Check function list pointer.")) {
        dlclose(hModule);
        return QOVA_E_NO_FUNCTIONLIST;
    }

    // Another component of the process may have initialised the module already; we do not share it.
    const CK_RV rv = pFunctionList->C_Initialize(NULL);
    if (QOVA_P11_STEP_FAILED_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_Initialize")) {
        dlclose(hModule);
        return QovaP11Result(rv);
    }

    if (NULL != ppCkFunctionList)
        *ppCkFunctionList = pFunctionList;
    *phDLLHandle = hModule;
    return QOVA_OK;
}

unsigned int InitializeModule(const char* pszModulePath, const char* pszLoadName, void** phDLLHandle,
                              CK_FUNCTION_LIST** ppCkFunctionList)
{
    const unsigned int nResult = OpenAndInitialize(pszModulePath, pszLoadName, phDLLHandle, ppCkFunctionList);
    if (QOVA_OK != nResult)
        TRACE(1, "FAILED. Clearup");
    return nResult;
}

// A descriptor closed at scope end unless released.
class ModuleFile
{
public:
    explicit ModuleFile(int fd) : m_fd(fd) {}
    ~ModuleFile()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    ModuleFile(const ModuleFile&) = delete;
    ModuleFile& operator=(const ModuleFile&) = delete;
    int Get() const { return m_fd; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Through this name the dynamic loader opens the very file the descriptor holds.
std::string LoaderName(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Whether the dynamic loader already holds an object by this name (or of the file it names). glibc
// hands such an object out instead of opening the file again, so a descriptor number that an
// earlier module was loaded by must not serve another file.
bool LoaderHolds(const std::string& name)
{
    void* hLoaded = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (NULL != hLoaded)
        dlclose(hLoaded);  // the question took a reference
    return NULL != hLoaded;
}

bool SameFile(int fd1, int fd2)
{
    struct stat st1, st2;
    return 0 == fstat(fd1, &st1) && 0 == fstat(fd2, &st2) && st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino;
}

// After the module was closed (or failed to load) its descriptor goes, unless the loader keeps the
// module in the process under the descriptor's name (a library marked never to be unmapped): then
// the number stays the module's own, so that no other file is ever loaded by that name.
void ReleaseModuleFile(DylibInfo* pInfo)
{
    if (pInfo->nDylibFd >= 0 && !LoaderHolds(LoaderName(pInfo->nDylibFd))) {
        close(pInfo->nDylibFd);
        pInfo->nDylibFd = -1;
    }
}

// LoadP11Dylib's steps, by path (nDylibFd negative) or from the checked module file.
unsigned int BindModule(DylibInfo* pInfo, int nDylibFd)
{
    // A standard stream is never a module's file, nor closed here.
    ModuleFile file(nDylibFd > STDERR_FILENO ? nDylibFd : -1);
    const char* pszFunc = kLoadFunc;
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pInfo, QOVA_E_INVALIDARG, "Check DylibInfo");
    TRACE(3, "CSP: [%s], P11: [%s]", OrNull(pInfo->pszCSPName), OrNull(pInfo->pszDylibPath));
    if (pInfo->bLoaded)
        return QOVA_OK;

    std::string loadName;
    if (nDylibFd < 0) {
        loadName = OrNull(pInfo->pszDylibPath);
    } else {
        QOVA_P11_FAIL_IF_IN(pszFunc, file.Get() < 0, QOVA_E_INVALIDARG, "Check nDylibFd");
        if (pInfo->nDylibFd >= 0) {
            // The module stayed in the process since its last unload, under its old descriptor's
            // name; that name is used again only for the same file.
            QOVA_P11_FAIL_IF_IN(pszFunc, !SameFile(pInfo->nDylibFd, file.Get()), CKR_GENERAL_ERROR,
                                "Check resident module file");
            loadName = LoaderName(pInfo->nDylibFd);
        } else {
            loadName = LoaderName(file.Get());
            QOVA_P11_FAIL_IF_IN(pszFunc, LoaderHolds(loadName), CKR_GENERAL_ERROR, "dlopen(RTLD_NOLOAD)");
            pInfo->nDylibFd = file.Release();
        }
    }

    void* hModule = NULL;
    CK_FUNCTION_LIST* pFunctionList = NULL;
    const unsigned int nResult = InitializeModule(pInfo->pszDylibPath, loadName.c_str(), &hModule, &pFunctionList);
    if (QOVA_OK != nResult)
        ReleaseModuleFile(pInfo);
    QOVA_P11_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "CKInitalizeEx");

    pInfo->hDLLHandle = hModule;
    pInfo->pCkFunctionList = pFunctionList;
    pInfo->bLoaded = 1;
    return QOVA_OK;
}

}  // namespace

unsigned int CkInitialize(const char* pszModulePath, void** phDLLHandle, CK_FUNCTION_LIST** ppCkFunctionList)
{
    return InitializeModule(pszModulePath, pszModulePath, phDLLHandle, ppCkFunctionList);
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
    return BindModule(static_cast<DylibInfo*>(pDylibInfo), -1);
}

unsigned int LoadP11DylibFromFile(void* pDylibInfo, int nDylibFd)
{
    return BindModule(static_cast<DylibInfo*>(pDylibInfo), nDylibFd);
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
    ReleaseModuleFile(pInfo);
    return QOVA_OK;
}

unsigned int ReleaseDylibInfo(void* pDylibInfo)
{
    DylibInfo* pInfo = static_cast<DylibInfo*>(pDylibInfo);
    if (NULL == pInfo)
        return QOVA_OK;
    if (pInfo->nDylibFd >= 0)
        close(pInfo->nDylibFd);
    delete[] pInfo->pszDylibPath;
    delete[] pInfo->pszCSPName;
    delete[] pInfo;
    return QOVA_OK;
}
