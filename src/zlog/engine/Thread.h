// Per-thread state of the engine: line buffers, the MDC and cached identity and time.
//
// The record is fetched under the global lock (shared) and kept under a thread key. The key is
// made at the first initialisation and deleted again once no thread holds a record (the last one
// ended, or the process exits), so that a host which stops logging leaves no key behind; the next
// logging call makes it anew. One mutex covers the key, its flag and the count of records.
#ifndef VARNELL_ZLOG_ENGINE_THREAD_H
#define VARNELL_ZLOG_ENGINE_THREAD_H

#include "LineBuffer.h"

#include <ctime>
#include <functional>
#include <map>
#include <string>

namespace zlogc {

constexpr size_t kMdcMaxLength = 1024;
constexpr size_t kPathMaxLength = 4096;

struct ThreadRecord
{
    unsigned long generation = 0;  // engine initialisation the record belongs to
    size_t bufferMin = 0;
    size_t bufferMax = 0;

    LineBuffer message;  // %m: the formatted message or hex dump
    LineBuffer line;     // one output line
    LineBuffer path;     // a file path built from specifiers
    LineBuffer archive;  // a rotation archive name

    std::map<std::string, std::string, std::less<>> mdc;

    char host[256] = {0};
    char threadHex[32] = {0};
    char threadDec[32] = {0};

    // Local time of the last second seen, and its "%F %T" text.
    time_t cachedSecond = -1;
    struct tm cachedTm = {};
    char cachedDate[32] = {0};
    size_t cachedDateLength = 0;

    const struct tm& LocalTime(time_t second);
};

// The calling thread's record, made or reset for this initialisation, with buffers sized for the
// configuration (line limit bufferMax - 1, 0 = none). Null when memory runs out.
ThreadRecord* FetchThreadRecord(unsigned long generation, size_t bufferMin, size_t bufferMax);

// The calling thread's record when it already belongs to this initialisation; never creates one,
// nor the key.
ThreadRecord* PeekThreadRecord(unsigned long generation);

// At the engine's first initialisation: makes the key and registers zlog_clean_rest_thread to run
// at exit. False on failure.
bool PrepareThreadKey();

// At shutdown: deletes the key when no thread holds a record.
void ReleaseThreadKeyIfUnused();

// Destructor of the key: frees an ending thread's record and deletes the key after the last one.
void zlog_thread_clean(void* record);

// Exit handler: the same for the calling thread (the main thread runs no key destructors).
void zlog_clean_rest_thread();

struct ThreadKeyState
{
    bool keyExists;
    int bufferCount;  // threads that hold a record
};
ThreadKeyState InspectThreadKey();

// The process id, kept current across fork.
int CachedPid();

}  // namespace zlogc

#endif
