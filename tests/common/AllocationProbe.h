// A look at the heap of the C++ code under test. Linking the varnell_allocprobe library into a
// test executable replaces its global operator new and delete (the plain and nothrow forms): every
// block carries a small header with its size, so that a test can
//   - measure the most bytes live at once while a call runs, and set a limit past which
//     allocations fail as if memory ran out (nothrow forms give null, the others throw);
//   - search every block freed while it watches for a secret that should have been wiped, or keep a
//     copy of every such block to search afterwards.
// A scalar/array mismatch between new and delete aborts the program with a message. Link it into
// test executables only, never into a library.
#ifndef VARNELL_TEST_ALLOCATION_PROBE_H
#define VARNELL_TEST_ALLOCATION_PROBE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace allocprobe {

// Counts from construction to destruction; one at a time.
class HeapWatch
{
public:
    // Allocations that would take the live bytes more than `limit` above the level at construction fail.
    explicit HeapWatch(size_t limit = SIZE_MAX);
    ~HeapWatch();
    HeapWatch(const HeapWatch&) = delete;
    HeapWatch& operator=(const HeapWatch&) = delete;

    // The most bytes live at once, above the level at construction.
    size_t PeakBytes() const;
    // True once an allocation was refused for the limit.
    bool LimitReached() const;
};

// Searches every block freed during its life for `size` bytes at `needle`; one at a time.
class FreedBlockSearch
{
public:
    FreedBlockSearch(const void* needle, size_t size);
    ~FreedBlockSearch();
    FreedBlockSearch(const FreedBlockSearch&) = delete;
    FreedBlockSearch& operator=(const FreedBlockSearch&) = delete;

    // Freed blocks that still held the needle.
    size_t Hits() const;
};

// Copies every block freed during its life into a log, for a secret the test learns only after the
// call (a random content key, say); one at a time, and no other probe while it runs.
class FreedBlockLog
{
public:
    FreedBlockLog();
    ~FreedBlockLog();
    FreedBlockLog(const FreedBlockLog&) = delete;
    FreedBlockLog& operator=(const FreedBlockLog&) = delete;

    const std::string& Bytes() const { return m_log; }
    bool Holds(const std::string& secret) const { return std::string::npos != m_log.find(secret); }

private:
    std::string m_log;
};

}  // namespace allocprobe

#endif
