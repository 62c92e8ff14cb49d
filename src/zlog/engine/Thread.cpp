#include "Thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

namespace zlogc {

namespace {

// Each thread's record sits under a thread key whose destructor frees it when the thread ends.
// A plain pointer stays valid for code that logs late in process exit, after C++ thread-local
// objects would already be gone.
pthread_key_t g_recordKey;
pthread_once_t g_recordKeyOnce = PTHREAD_ONCE_INIT;
bool g_recordKeyReady = false;

void DeleteRecord(void* record)
{
    delete static_cast<ThreadRecord*>(record);
}

void CreateRecordKey()
{
    g_recordKeyReady = 0 == pthread_key_create(&g_recordKey, DeleteRecord);
}

ThreadRecord* CurrentRecord()
{
    pthread_once(&g_recordKeyOnce, CreateRecordKey);
    return g_recordKeyReady ? static_cast<ThreadRecord*>(pthread_getspecific(g_recordKey)) : nullptr;
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
    ThreadRecord* record = CurrentRecord();
    if (nullptr == record) {
        if (!g_recordKeyReady)
            return nullptr;
        std::unique_ptr<ThreadRecord> fresh(new (std::nothrow) ThreadRecord);
        if (!fresh || 0 != pthread_setspecific(g_recordKey, fresh.get()))
            return nullptr;
        record = fresh.release();
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
    ThreadRecord* record = CurrentRecord();
    return record && record->generation == generation ? record : nullptr;
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
