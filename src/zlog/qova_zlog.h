// Logging wrapper: the one category "qova_category" and the trace calls of every kernel.
#ifndef VARNELL_QOVA_ZLOG_H
#define VARNELL_QOVA_ZLOG_H

#include "zlog.h"

#include <atomic>

// Null while logging is off; every trace call tests it first. Atomic: a thread may trace while
// another shuts logging down, and must then see it off rather than a handle being freed.
extern std::atomic<zlog_category_t*> g_ptr_qova_category;

unsigned int qova_log_init();
unsigned int qova_log_init_ex(const char* configPath);
unsigned int qova_log_init_memory_log(unsigned int level, const char* logPath);
void qova_log_fini();

unsigned int TRACE(unsigned int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
unsigned int TRACE_BINARY(unsigned int level, const void* data, int length);

unsigned int TraceInfo(const char* text);
unsigned int TraceError(const char* text);
unsigned int TraceLog(int level, const char* text);

inline bool QovaLogEnabled()
{
    return nullptr != g_ptr_qova_category.load(std::memory_order_acquire);
}

// Logs an entry line when constructed and an exit line when destroyed, so a function's
// trace lines are bracketed on every return path. The name must outlive the tracer.
class TraceHelper
{
public:
    explicit TraceHelper(const char* functionName);
    virtual ~TraceHelper();
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;

private:
    const char* m_pszFunctionName;
};

#endif
