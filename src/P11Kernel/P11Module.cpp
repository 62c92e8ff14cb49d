#include "P11Module.h"

#include "P11Detail.h"
#include "QovaTrace.h"

#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using p11detail::OrNull;

namespace {

// The trace names of the designed steps, for the helpers that trace them.
const char kLoadFunc[] = "LoadP11Dylib";
const char kInitFunc[] = "CkInitialize";

// Whether the object the loader handed out bears this name as its own. When it bears another, the
// loader found the file loaded already (it compares device and inode) and has filed the name under
// that object for as long as the object stays.
bool BearsName(void* hModule, const char* pszName)
{
    struct link_map* pMap = NULL;
    return 0 == dlinfo(hModule, RTLD_DI_LINKMAP, &pMap) && NULL != pMap && NULL != pMap->l_name &&
           0 == strcmp(pMap->l_name, pszName);
}

// CkInitialize's steps: pszModulePath is the path the trace names, pszLoadName what the dynamic
// loader opens (the path itself, or the name of a descriptor of the checked module file). With
// bOwnName the object must be a new one by that name; *pbNameTaken tells that it was not, and
// that the loader now knows the name as another object's.
unsigned int OpenAndInitialize(const char* pszModulePath, const char* pszLoadName, bool bOwnName, void** phDLLHandle,
                               CK_FUNCTION_LIST** ppCkFunctionList, bool* pbNameTaken)
{
    const char* pszFunc = kInitFunc;
    TRACE(3, "Module path: %s.", OrNull(pszModulePath));
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pszModulePath, QOVA_E_INVALIDARG, "Check pwszModulePath");
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == phDLLHandle, QOVA_E_INVALIDARG, "Check phDLLHandle");

    void* hModule = dlopen(pszLoadName, RTLD_LAZY);
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == hModule, CKR_GENERAL_ERROR, "dlopen...");
    // An object loaded before under a name that no file answers to (relative, or a closed
    // descriptor's) escapes the check before the load: it shows here.
    if (bOwnName && QOVA_P11_STEP_FAILED_IN(pszFunc, !BearsName(hModule, pszLoadName), CKR_GENERAL_ERROR,
                                            "dlinfo(RTLD_DI_LINKMAP)")) {
        dlclose(hModule);
        *pbNameTaken = true;
        return CKR_GENERAL_ERROR;
    }

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

unsigned int InitializeModule(const char* pszModulePath, const char* pszLoadName, bool bOwnName, void** phDLLHandle,
                              CK_FUNCTION_LIST** ppCkFunctionList, bool* pbNameTaken)
{
    const unsigned int nResult =
        OpenAndInitialize(pszModulePath, pszLoadName, bOwnName, phDLLHandle, ppCkFunctionList, pbNameTaken);
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

// A file as the dynamic loader tells files apart.
struct FileId
{
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId& other) const { return dev == other.dev && ino == other.ino; }
};

bool IdOfDescriptor(int fd, FileId* pId)
{
    struct stat st;
    if (0 != fstat(fd, &st))
        return false;
    *pId = {st.st_dev, st.st_ino};
    return true;
}

bool SameFile(int fd1, int fd2)
{
    FileId id1, id2;
    return IdOfDescriptor(fd1, &id1) && IdOfDescriptor(fd2, &id2) && id1 == id2;
}

// Descriptors whose names the loader may hold for good: one it filed under an object loaded by
// another name, and a module's that the loader keeps in the process after its entry is gone. They
// stay open until the process ends, so that their numbers never name another file; their files
// are remembered as in the process.
struct KeptFiles
{
    std::mutex lock;
    std::vector<FileId> files;
};

KeptFiles& Kept()
{
    static KeptFiles s_kept;
    return s_kept;
}

void KeepForLife(int fd)
{
    FileId id;
    if (!IdOfDescriptor(fd, &id))
        return;
    KeptFiles& kept = Kept();
    const std::lock_guard<std::mutex> guard(kept.lock);
    kept.files.push_back(id);
}

bool IsKept(const FileId& id)
{
    KeptFiles& kept = Kept();
    const std::lock_guard<std::mutex> guard(kept.lock);
    for (const FileId& file : kept.files) {
        if (file == id)
            return true;
    }
    return false;
}

struct FileSearch
{
    FileId id;
    bool found;
};

int MatchLoadedFile(struct dl_phdr_info* pObject, size_t, void* pData)
{
    FileSearch* pSearch = static_cast<FileSearch*>(pData);
    // The main program has no name in the list.
    const char* pszName =
        NULL != pObject->dlpi_name && '\0' != pObject->dlpi_name[0] ? pObject->dlpi_name : "/proc/self/exe";
    struct stat st;
    pSearch->found = 0 == stat(pszName, &st) && FileId{st.st_dev, st.st_ino} == pSearch->id;
    return pSearch->found ? 1 : 0;
}

// Whether the module file at fd is in the process already: the file of a loaded object's name, or a
// kept one. Asked for such a file by the descriptor's name, RTLD_NOLOAD included, the loader would
// hand out the loaded object and keep the name for it, so that the next file to get this
// descriptor number would be taken for that object. Our own modules bear the names of descriptors
// held open, which name their files. A file that cannot be told is taken as loaded.
bool InProcess(int fd)
{
    FileSearch search = {{0, 0}, false};
    if (!IdOfDescriptor(fd, &search.id) || IsKept(search.id))
        return true;
    dl_iterate_phdr(MatchLoadedFile, &search);
    return search.found;
}

int MatchName(struct dl_phdr_info* pObject, size_t, void* pData)
{
    return NULL != pObject->dlpi_name && 0 == strcmp(pObject->dlpi_name, static_cast<const char*>(pData)) ? 1 : 0;
}

// Whether an object of the process still bears this name, after it was closed: a library marked
// never to be unmapped, or one that another component holds too.
bool LoaderKeepsName(const std::string& name)
{
    return 0 != dl_iterate_phdr(MatchName, const_cast<char*>(name.c_str()));
}

// After the module was closed (or failed to load) its descriptor goes, unless the loader keeps the
// module in the process under the descriptor's name: then the number stays the module's own, so
// that no other file is ever loaded by that name.
void ReleaseModuleFile(DylibInfo* pInfo)
{
    if (pInfo->nDylibFd >= 0 && !LoaderKeepsName(LoaderName(pInfo->nDylibFd))) {
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
        } else {
            // The loader is not asked about a file it may hold already, not even with RTLD_NOLOAD.
            QOVA_P11_FAIL_IF_IN(pszFunc, InProcess(file.Get()), CKR_GENERAL_ERROR, "Check module file not loaded");
            pInfo->nDylibFd = file.Release();
        }
        loadName = LoaderName(pInfo->nDylibFd);
    }

    void* hModule = NULL;
    CK_FUNCTION_LIST* pFunctionList = NULL;
    bool bNameTaken = false;
    const unsigned int nResult = InitializeModule(pInfo->pszDylibPath, loadName.c_str(), nDylibFd >= 0, &hModule,
                                                  &pFunctionList, &bNameTaken);
    if (bNameTaken) {
        // The loader files this descriptor's name under another object now: the number must never
        // name another file, and the file is not to be asked about again.
        KeepForLife(pInfo->nDylibFd);
        pInfo->nDylibFd = -1;
    } else if (QOVA_OK != nResult) {
        ReleaseModuleFile(pInfo);
    }
    QOVA_P11_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "CKInitalizeEx");

    pInfo->hDLLHandle = hModule;
    pInfo->pCkFunctionList = pFunctionList;
    pInfo->bLoaded = 1;
    return QOVA_OK;
}

}  // namespace

unsigned int CkInitialize(const char* pszModulePath, void** phDLLHandle, CK_FUNCTION_LIST** ppCkFunctionList)
{
    bool bNameTaken = false;
    return InitializeModule(pszModulePath, pszModulePath, false, phDLLHandle, ppCkFunctionList, &bNameTaken);
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
    if (pInfo->nDylibFd >= 0) {
        // A module the loader keeps goes on bearing its descriptor's name after the entry.
        if (LoaderKeepsName(LoaderName(pInfo->nDylibFd)))
            KeepForLife(pInfo->nDylibFd);
        else
            close(pInfo->nDylibFd);
    }
    delete[] pInfo->pszDylibPath;
    delete[] pInfo->pszCSPName;
    delete[] pInfo;
    return QOVA_OK;
}
