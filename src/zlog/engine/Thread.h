// Per-thread state of the engine: line buffers, the MDC and cached identity and time.
//
// The record is fetched under the global lock (shared). It lives until its thread ends; the
// bookkeeping of how many threads hold one belongs here as well, behind these two functions.
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

// The calling thread's record when it already belongs to this initialisation; never creates one.
ThreadRecord* PeekThreadRecord(unsigned long generation);

// The process id, kept current across fork.
int CachedPid();

}  // namespace zlogc

#endif
