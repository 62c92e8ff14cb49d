#include "TokenLoginLock.h"

#include "TokenSvcDetail.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace tokenlock {

namespace {

using Clock = std::chrono::steady_clock;

bool IsPrivateDirOf(const struct stat& st, uid_t uid)
{
    return S_ISDIR(st.st_mode) && uid == st.st_uid && 0 == (st.st_mode & (S_IRWXG | S_IRWXO));
}

// One flock on fd, LOCK_NB retried every kRetry until the deadline; errno as flock left it.
bool LockUntil(int fd, Clock::time_point deadline)
{
    for (;;) {
        if (0 == flock(fd, LOCK_EX | LOCK_NB))
            return true;
        if (EINTR == errno)
            continue;
        if (EWOULDBLOCK != errno || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(TokenLock::kRetry);
    }
}

// Whether the path still names the file open at fd.
bool NamesOpenFile(const std::string& path, int fd)
{
    struct stat stHeld{};
    struct stat stNamed{};
    return 0 == fstat(fd, &stHeld) && 0 == stat(path.c_str(), &stNamed) && stHeld.st_dev == stNamed.st_dev &&
           stHeld.st_ino == stNamed.st_ino;
}

}  // namespace

unsigned int ChooseLockDir(const char* func, const std::string& runUserBase, const std::string& tmpBase, uid_t uid,
                           std::string* pDir)
{
    const std::string uidText = std::to_string(uid);
    const std::string runDir = runUserBase + "/" + uidText;
    struct stat stRun{};
    // The login session's own runtime directory, when the system made one for the user.
    const bool bRunDir = 0 == lstat(runDir.c_str(), &stRun) && S_ISDIR(stRun.st_mode) && uid == stRun.st_uid &&
                         0700 == (stRun.st_mode & 07777);
    const std::string dir = bRunDir ? runDir + "/varnell" : tmpBase + "/varnell-" + uidText;
    TOKENSVC_TRACE("Lock directory: %s", QovaTraceText(dir.c_str()).c_str());

    // An existing one may be anybody's: lstat decides below.
    const int nMade = mkdir(dir.c_str(), 0700);
    const int nMakeError = 0 == nMade ? 0 : errno;
    QOVA_FAIL_IF_IN(func, 0 != nMakeError && EEXIST != nMakeError, QOVA_E_PIN_GUARD_UNAVAILABLE,
                    "mkdir lock directory");
    struct stat stDir{};
    QOVA_FAIL_IF_IN(func, 0 != lstat(dir.c_str(), &stDir), QOVA_E_PIN_GUARD_UNAVAILABLE, "lstat lock directory");
    // Whoever else could write into it could swap the lock files; a link could lead anywhere.
    QOVA_FAIL_IF_IN(func, !IsPrivateDirOf(stDir, uid), QOVA_E_PIN_GUARD_UNAVAILABLE, "Check lock directory");
    *pDir = dir;
    return QOVA_OK;
}

std::string LockFileName(const char* pszModulePath, const CK_UTF8CHAR (&label)[32], const CK_CHAR (&serial)[16])
{
    // The path ends at its zero byte; label and serial have fixed widths: no two tokens share an input.
    const std::string path = NULL != pszModulePath ? pszModulePath : "";
    std::string input(path.c_str(), path.size() + 1);
    input.append(reinterpret_cast<const char*>(label), sizeof(label));
    input.append(reinterpret_cast<const char*>(serial), sizeof(serial));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int nDigestSize = 0;
    if (1 != EVP_Digest(input.data(), input.size(), digest, &nDigestSize, EVP_sha256(), NULL))
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string name;
    for (unsigned int i = 0; i < nDigestSize; ++i) {
        name += kHex[digest[i] >> 4];
        name += kHex[digest[i] & 15];
    }
    return name + ".lock";
}

TokenLock::~TokenLock()
{
    Release();
}

void TokenLock::Release()
{
    // Closing the last descriptor of the open file releases the lock.
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

unsigned int TokenLock::Take(const char* func, const std::string& path, std::chrono::milliseconds timeout)
{
    Release();
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        QOVA_FAIL_IF_IN(func, m_fd < 0, QOVA_E_PIN_GUARD_UNAVAILABLE, "open lock file");
        const bool bLocked = LockUntil(m_fd, deadline);
        if (!bLocked)
            Release();
        QOVA_FAIL_IF_IN(func, !bLocked, QOVA_E_PIN_GUARD_UNAVAILABLE, "flock lock file");
        // The lock counts only on the file that the other hosts open by the same name now.
        if (NamesOpenFile(path, m_fd)) {
            if (QovaLogEnabled()) QovaTraceStepOK(__FILE__, __LINE__, func, "Check lock file");
            return QOVA_OK;
        }
        Release();
        TOKENSVC_TRACE("The lock file was removed or replaced: locking again");
        QOVA_FAIL_IF_IN(func, Clock::now() >= deadline, QOVA_E_PIN_GUARD_UNAVAILABLE, "Check lock file (again)");
    }
}

}  // namespace tokenlock
