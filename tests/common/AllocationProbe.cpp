#include "AllocationProbe.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// 16 bytes keep the blocks aligned as operator new must.
struct alignas(16) Header
{
    size_t size;
    uint32_t tag;
};
static_assert(sizeof(Header) == 16, "header of 16 bytes");

constexpr uint32_t kScalarTag = 0x5CA1A7EDu;
constexpr uint32_t kArrayTag = 0xA77A7EDu;
constexpr uint32_t kFreedTag = 0xF7EEDu;

std::atomic<size_t> g_live{0};

std::atomic<bool> g_watching{false};
std::atomic<size_t> g_base{0};
std::atomic<size_t> g_peak{0};
std::atomic<size_t> g_limit{SIZE_MAX};
std::atomic<bool> g_limitReached{false};

std::atomic<const unsigned char*> g_needle{nullptr};
std::atomic<size_t> g_needleSize{0};
std::atomic<size_t> g_hits{0};

// Freed blocks are appended here while a FreedBlockLog lives; taken while appending, so that the
// log's own growth is not logged.
std::atomic<std::string*> g_freedLog{nullptr};

void* Allocate(size_t size, uint32_t tag)
{
    if (size > SIZE_MAX - sizeof(Header) - 1)
        return nullptr;
    if (g_watching.load(std::memory_order_acquire)) {
        const size_t base = g_base.load(std::memory_order_relaxed);
        const size_t after = g_live.load(std::memory_order_relaxed) + size;
        if (after > base && after - base > g_limit.load(std::memory_order_relaxed)) {
            g_limitReached.store(true, std::memory_order_relaxed);
            return nullptr;
        }
    }
    auto* header = static_cast<Header*>(malloc(sizeof(Header) + (size ? size : 1)));
    if (header == nullptr)
        return nullptr;
    header->size = size;
    header->tag = tag;
    const size_t live = g_live.fetch_add(size, std::memory_order_relaxed) + size;
    if (g_watching.load(std::memory_order_acquire)) {
        size_t peak = g_peak.load(std::memory_order_relaxed);
        while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
        }
    }
    return header + 1;
}

void* AllocateOrThrow(size_t size, uint32_t tag)
{
    void* block = Allocate(size, tag);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void Release(void* block, uint32_t tag)
{
    if (block == nullptr)
        return;
    Header* header = static_cast<Header*>(block) - 1;
    if (header->tag != tag) {
        fprintf(stderr, "allocprobe: %s of a block %s\n", tag == kArrayTag ? "delete[]" : "delete",
                header->tag == kFreedTag ? "freed before" : "not made by the matching new");
        abort();
    }
    const unsigned char* needle = g_needle.load(std::memory_order_acquire);
    const size_t needleSize = g_needleSize.load(std::memory_order_relaxed);
    if (needle != nullptr && needleSize != 0 && header->size >= needleSize &&
        memmem(block, header->size, needle, needleSize) != nullptr)
        g_hits.fetch_add(1, std::memory_order_relaxed);
    if (std::string* log = g_freedLog.exchange(nullptr, std::memory_order_acq_rel)) {
        log->append(static_cast<const char*>(block), header->size);
        g_freedLog.store(log, std::memory_order_release);
    }
    g_live.fetch_sub(header->size, std::memory_order_relaxed);
    header->tag = kFreedTag;
    free(header);
}

}  // namespace

namespace allocprobe {

HeapWatch::HeapWatch(size_t limit)
{
    const size_t live = g_live.load();
    g_base.store(live);
    g_peak.store(live);
    g_limit.store(limit);
    g_limitReached.store(false);
    g_watching.store(true, std::memory_order_release);
}

HeapWatch::~HeapWatch()
{
    g_watching.store(false, std::memory_order_release);
}

size_t HeapWatch::PeakBytes() const
{
    return g_peak.load() - g_base.load();
}

bool HeapWatch::LimitReached() const
{
    return g_limitReached.load();
}

FreedBlockSearch::FreedBlockSearch(const void* needle, size_t size)
{
    g_hits.store(0);
    g_needleSize.store(size);
    g_needle.store(static_cast<const unsigned char*>(needle), std::memory_order_release);
}

FreedBlockSearch::~FreedBlockSearch()
{
    g_needle.store(nullptr, std::memory_order_release);
}

size_t FreedBlockSearch::Hits() const
{
    return g_hits.load();
}

FreedBlockLog::FreedBlockLog()
{
    m_log.reserve(1 << 20);
    g_freedLog.store(&m_log, std::memory_order_release);
}

FreedBlockLog::~FreedBlockLog()
{
    g_freedLog.store(nullptr, std::memory_order_release);
}

}  // namespace allocprobe

void* operator new(size_t size)
{
    return AllocateOrThrow(size, kScalarTag);
}

void* operator new[](size_t size)
{
    return AllocateOrThrow(size, kArrayTag);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size, kScalarTag);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size, kArrayTag);
}

void operator delete(void* block) noexcept
{
    Release(block, kScalarTag);
}

void operator delete[](void* block) noexcept
{
    Release(block, kArrayTag);
}

void operator delete(void* block, size_t) noexcept
{
    Release(block, kScalarTag);
}

void operator delete[](void* block, size_t) noexcept
{
    Release(block, kArrayTag);
}

void operator delete(void* block, const std::nothrow_t&) noexcept
{
    Release(block, kScalarTag);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    Release(block, kArrayTag);
}
