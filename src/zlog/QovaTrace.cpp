#include "QovaTrace.h"

#include <openssl/err.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr size_t kTraceLineSize = 512;

const char* OrNull(const char* text)
{
    return text ? text : "(null)";
}

}  // namespace

void QovaTraceStepOK(const char* file, int line, const char* func, const char* step)
{
    char szLine[kTraceLineSize] = {0};
    snprintf(szLine, sizeof(szLine), "[%s(%d)]:(%s -- %s)\t\t--OK\n", OrNull(file), line, OrNull(func), OrNull(step));
    TraceInfo(szLine);
}

void QovaTraceStepFailed(const char* file, int line, const char* func, const char* step, unsigned int code,
                         const char* reason)
{
    char szLine[kTraceLineSize] = {0};
    snprintf(szLine, sizeof(szLine), "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n", OrNull(file), line,
             OrNull(func), OrNull(step), code, OrNull(reason));
    TraceError(szLine);
}

void QovaTraceStepFailedSsl(const char* file, int line, const char* func, const char* step, unsigned int code,
                            const char* reason)
{
    // Peek only: the caller may still want the queued error.
    char szSslError[256] = {0};
    ERR_error_string_n(ERR_peek_last_error(), szSslError, sizeof(szSslError));

    char szLine[kTraceLineSize] = {0};
    snprintf(szLine, sizeof(szLine), "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s] Openssl %s\n",
             OrNull(file), line, OrNull(func), OrNull(step), code, OrNull(reason), szSslError);
    TraceError(szLine);
}

namespace {

// The PKCS#11 kernel's lines: a buffer sized for the path, function and step plus 128 bytes, on
// the stack when that is small enough.
template <typename Writer>
void WithP11LineBuffer(const char* file, const char* func, const char* step, Writer write)
{
    const size_t nSize = strlen(OrNull(file)) + strlen(OrNull(func)) + strlen(OrNull(step)) + 128;
    char szSmall[kTraceLineSize];
    std::unique_ptr<char[]> large;
    char* pszLine = szSmall;
    if (nSize > sizeof(szSmall)) {
        large.reset(new (std::nothrow) char[nSize]);
        if (!large)
            return;
        pszLine = large.get();
    }
    memset(pszLine, 0, nSize);
    write(pszLine, nSize);
}

}  // namespace

void QovaTraceP11StepOK(const char* file, int line, const char* func, const char* step)
{
    WithP11LineBuffer(file, func, step, [&](char* pszLine, size_t nSize) {
        snprintf(pszLine, nSize, "[%s(%d)]:(%s -- %s)\t\t--OK\n", OrNull(file), line, OrNull(func), OrNull(step));
        TraceLog(3, pszLine);
    });
}

void QovaTraceP11StepFailed(const char* file, int line, const char* func, const char* step, unsigned int code)
{
    WithP11LineBuffer(file, func, step, [&](char* pszLine, size_t nSize) {
        snprintf(pszLine, nSize, "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x)\n", OrNull(file), line, OrNull(func),
                 OrNull(step), code);
        TraceLog(1, pszLine);
    });
}
