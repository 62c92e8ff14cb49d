#include "QovaTrace.h"

#include <openssl/err.h>

#include <cstdio>
#include <cstring>
#include <string>

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

void QovaTraceP11StepOK(const char* file, int line, const char* func, const char* step)
{
    const size_t nSize = strlen(OrNull(file)) + strlen(OrNull(func)) + strlen(OrNull(step)) + 128;
    std::string line_(nSize, '\0');
    snprintf(&line_[0], nSize, "[%s(%d)]:(%s -- %s)\t\t--OK\n", OrNull(file), line, OrNull(func), OrNull(step));
    TraceLog(3, line_.c_str());
}

void QovaTraceP11StepFailed(const char* file, int line, const char* func, const char* step, unsigned int code)
{
    const size_t nSize = strlen(OrNull(file)) + strlen(OrNull(func)) + strlen(OrNull(step)) + 128;
    std::string line_(nSize, '\0');
    snprintf(&line_[0], nSize, "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x)\n", OrNull(file), line, OrNull(func),
             OrNull(step), code);
    TraceLog(1, line_.c_str());
}
