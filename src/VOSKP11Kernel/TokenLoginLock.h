// The lock that makes "read the token's PIN flags, log in with the stored PIN" one step for all
// host processes of the user (TokenLogin.h says why); the login step's own helpers, apart so that
// tests can point them at directories of their own.
//
// Each token has a lock file in the user's lock directory, named by a hash of the module path, the
// token label and the serial number: never by the slot ID, which two processes may see differ for
// one token. The lock is an exclusive flock(2), which the kernel drops when its holder dies.
#ifndef VARNELL_TOKENSVC_TOKEN_LOGIN_LOCK_H
#define VARNELL_TOKENSVC_TOKEN_LOGIN_LOCK_H

#include "P11Types.h"

#include <sys/types.h>

#include <chrono>
#include <string>

namespace tokenlock {

// The lock directory of uid, the same for every browser of the user: <runUserBase>/<uid>/varnell
// when <runUserBase>/<uid> is a directory of uid's own with mode 0700, otherwise
// <tmpBase>/varnell-<uid>. It is created with mode 0700 if missing and used only when lstat shows
// a directory (not a link) owned by uid and closed to group and others; otherwise
// QOVA_E_PIN_GUARD_UNAVAILABLE. The host passes "/run/user", "/tmp" and its effective uid.
// Traced in the name func.
unsigned int ChooseLockDir(const char* func, const std::string& runUserBase, const std::string& tmpBase, uid_t uid,
                           std::string* pDir);

// The lock file's name for a token: hex SHA-256 of the module path, the label and the serial
// number (the fixed-width fields as CK_TOKEN_INFO has them), and ".lock".
std::string LockFileName(const char* pszModulePath, const CK_UTF8CHAR (&label)[32], const CK_CHAR (&serial)[16]);

// An exclusive lock on one lock file, held until the object ends.
class TokenLock
{
public:
    static constexpr std::chrono::milliseconds kRetry{10};
    static constexpr std::chrono::milliseconds kTimeout{10000};

    TokenLock() = default;
    ~TokenLock();
    TokenLock(const TokenLock&) = delete;
    TokenLock& operator=(const TokenLock&) = delete;

    // Opens (creating, mode 0600, never through a link) and locks the file at path, trying LOCK_NB
    // every kRetry for at most timeout (flock itself waits without end), then
    // QOVA_E_PIN_GUARD_UNAVAILABLE. Once locked, the path must still name the locked file (it may
    // have been removed or replaced meanwhile); otherwise the lock is taken again on what the path
    // names now. Traced in the name func.
    unsigned int Take(const char* func, const std::string& path, std::chrono::milliseconds timeout = kTimeout);
    int Fd() const { return m_fd; }

private:
    void Release();
    int m_fd = -1;
};

}  // namespace tokenlock

#endif
