// Helpers shared by the host's source files; not part of their interface.
#ifndef VARNELL_HOST_DETAIL_H
#define VARNELL_HOST_DETAIL_H

#include "CryptoBridge.h"
#include "QovaTrace.h"

#include <openssl/crypto.h>

#include <cstring>
#include <memory>
#include <new>

// A plain trace line; its arguments are not evaluated while logging is off.
#define HOST_TRACE(level, ...)                           \
    do {                                                 \
        if (QovaLogEnabled()) TRACE(level, __VA_ARGS__); \
    } while (0)

namespace host {

using TextPtr = std::unique_ptr<char[]>;

// A new[] copy of text with its NUL (a null text gives the empty one), or null when no memory is left.
inline char* CopyText(const char* pszText)
{
    const char* pszFrom = pszText ? pszText : "";
    const size_t nSize = strlen(pszFrom) + 1;
    char* pszCopy = new (std::nothrow) char[nSize];
    if (pszCopy)
        memcpy(pszCopy, pszFrom, nSize);
    return pszCopy;
}

// Hands a text to an optional output; without one the text is released.
inline void HandOut(TextPtr text, char** ppszOut)
{
    if (ppszOut)
        *ppszOut = text.release();
}

// The stored PIN in a buffer of its own, cleared when it goes: the token call takes the PIN as
// writable bytes.
class PINCopy
{
public:
    PINCopy() { memcpy(m_byPIN, g_byDefaultPIN, sizeof(m_byPIN)); }
    ~PINCopy() { OPENSSL_cleanse(m_byPIN, sizeof(m_byPIN)); }
    PINCopy(const PINCopy&) = delete;
    PINCopy& operator=(const PINCopy&) = delete;
    unsigned char* Bytes() { return m_byPIN; }

private:
    unsigned char m_byPIN[kDefaultPINSize + 1];
};

}  // namespace host

#endif
