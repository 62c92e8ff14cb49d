#include "Thread.h"

#include "zlog.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

namespace zlogc {

namespace {

// Each thread's record sits under a thread key whose destructor frees it when the thread ends.
// A plain pointer stays valid for code that logs late in process exit, after C++ thread-local
// objects would already be gone. The key is deleted (and made again) while other threads may be
// fetching their records or ending, so every use of the key, its flag and the count happens
// under this one mutex.
std::mutex g_threadMutex;
pthread_key_t zlog_thread_key;
int zlog_thread_key_exist = 0;
int zlog_thread_buf_count = 0;
bool g_exitHandlerRegistered = false;

// `codeName` is how a failure names pthread's code: "rc" at initialisation, "rd" when fetching.
bool CreateKeyLocked(const char* codeName)
{
    if (zlog_thread_key_exist)
        return true;
    const int rc = pthread_key_create(&zlog_thread_key, zlog_thread_clean);
    if (0 != rc) {
        zc_error("pthread_key_create fail, %s[%d]", codeName, rc);
        return false;
    }
    zlog_thread_key_exist = 1;
    zc_debug("zlog_fetch_thread(zlog_thread_key: 0x%08x)", static_cast<unsigned>(zlog_thread_key));
    return true;
}

// After the last record is gone.
void DeleteKeyIfUnusedLocked(const char* who)
{
    if (!zlog_thread_key_exist || zlog_thread_buf_count > 0)
        return;
    const int rc = pthread_key_delete(zlog_thread_key);
    zc_debug("%s(pthread_key_delete: 0x%08x)", who, static_cast<unsigned>(rc));
    zlog_thread_key_exist = 0;
}

int g_pid = 0;
std::once_flag g_pidOnce;

void RefreshPid()
{
    g_pid = static_cast<int>(getpid());
}

void SizeBuffers(ThreadRecord& record, size_t bufferMin, size_t bufferMax)
{
    // A line holds at most bufferMax - 1 bytes; the message needs one more for the terminator.
    const size_t lineLimit = bufferMax ? bufferMax - 1 : 0;
    record.message.Configure(bufferMin, bufferMax);
    record.line.Configure(bufferMin, lineLimit);
    record.path.Configure(256, kPathMaxLength);
    record.archive.Configure(256, kPathMaxLength);
    record.bufferMin = bufferMin;
    record.bufferMax = bufferMax;
}

}  // namespace

const struct tm& ThreadRecord::LocalTime(time_t second)
{
    if (second != cachedSecond) {
        localtime_r(&second, &cachedTm);
        cachedDateLength = strftime(cachedDate, sizeof(cachedDate), "%F %T", &cachedTm);
        cachedSecond = second;
    }
    return cachedTm;
}

ThreadRecord* FetchThreadRecord(unsigned long generation, size_t bufferMin, size_t bufferMax)
{
    ThreadRecord* record = nullptr;
    bool fresh = false;
    {
        std::lock_guard<std::mutex> lock(g_threadMutex);
        if (!CreateKeyLocked("rd"))
            return nullptr;
        record = static_cast<ThreadRecord*>(pthread_getspecific(zlog_thread_key));
        if (nullptr == record) {
            std::unique_ptr<ThreadRecord> made(new (std::nothrow) ThreadRecord);
            if (!made || 0 != pthread_setspecific(zlog_thread_key, made.get()))
                return nullptr;
            record = made.release();
            fresh = true;
            ++zlog_thread_buf_count;
            zc_debug("zlog_fetch_thread(zlog_thread_buf_count: %d)", zlog_thread_buf_count);
        }
    }
    // The record is this thread's alone from here on.
    if (fresh) {
        if (0 != gethostname(record->host, sizeof(record->host) - 1))
            record->host[0] = '\0';
        const pthread_t self = pthread_self();
        snprintf(record->threadHex, sizeof(record->threadHex), "0x%x", static_cast<unsigned>(self));
        snprintf(record->threadDec, sizeof(record->threadDec), "%lu", static_cast<unsigned long>(self));
        record->generation = generation;
        SizeBuffers(*record, bufferMin, bufferMax);
    } else if (record->generation != generation) {
        // A record from before the last shutdown: nothing of it carries over, the MDC included.
        record->mdc.clear();
        record->generation = generation;
        SizeBuffers(*record, bufferMin, bufferMax);
    } else if (record->bufferMin != bufferMin || record->bufferMax != bufferMax) {
        SizeBuffers(*record, bufferMin, bufferMax);
    }
    return record;
}

ThreadRecord* PeekThreadRecord(unsigned long generation)
{
    ThreadRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_threadMutex);
        if (!zlog_thread_key_exist) {
            zc_error("never call zlog_init() or dzlog_init() before(2)");
            return nullptr;
        }
        record = static_cast<ThreadRecord*>(pthread_getspecific(zlog_thread_key));
    }
    return record && record->generation == generation ? record : nullptr;
}

bool PrepareThreadKey()
{
    std::lock_guard<std::mutex> lock(g_threadMutex);
    if (!CreateKeyLocked("rc"))
        return false;
    if (!g_exitHandlerRegistered) {
        const int rc = atexit(zlog_clean_rest_thread);
        if (0 != rc) {
            zc_error("atexit fail, rc[%d]", rc);
            return false;
        }
        g_exitHandlerRegistered = true;
    }
    return true;
}

void ReleaseThreadKeyIfUnused()
{
    std::lock_guard<std::mutex> lock(g_threadMutex);
    zc_debug("zlog_fini_inner(zlog_thread_key_exist: %d; zlog_thread_buf_count: %d)", zlog_thread_key_exist,
             zlog_thread_buf_count);
    DeleteKeyIfUnusedLocked("zlog_fini_inner");
}

void zlog_thread_clean(void* record)
{
    std::lock_guard<std::mutex> lock(g_threadMutex);
    delete static_cast<ThreadRecord*>(record);
    if (zlog_thread_buf_count > 0)
        --zlog_thread_buf_count;
    zc_debug("zlog_thread_clean(zlog_thread_buf_count: %d)", zlog_thread_buf_count);
    DeleteKeyIfUnusedLocked("zlog_thread_clean");
}

void zlog_clean_rest_thread()
{
    std::lock_guard<std::mutex> lock(g_threadMutex);
    if (!zlog_thread_key_exist)
        return;
    if (ThreadRecord* record = static_cast<ThreadRecord*>(pthread_getspecific(zlog_thread_key))) {
        pthread_setspecific(zlog_thread_key, nullptr);
        delete record;
        if (zlog_thread_buf_count > 0)
            --zlog_thread_buf_count;
    }
    zc_debug("zlog_clean_rest_thread: zlog_thread_key(%d)-zlog_thread_buf_count(%d)", zlog_thread_key_exist,
             zlog_thread_buf_count);
    DeleteKeyIfUnusedLocked("zlog_clean_rest_thread");
}

ThreadKeyState InspectThreadKey()
{
    std::lock_guard<std::mutex> lock(g_threadMutex);
    return ThreadKeyState{0 != zlog_thread_key_exist, zlog_thread_buf_count};
}

int CachedPid()
{
    std::call_once(g_pidOnce, [] {
        RefreshPid();
        pthread_atfork(nullptr, nullptr, RefreshPid);
    });
    return g_pid;
}

}  // namespace zlogc
