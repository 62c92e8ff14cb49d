// A growable byte buffer with an upper bound. Each thread keeps a few of them across events, so a
// logged line costs no allocation once the buffers have grown to the lines in use.
#ifndef VARNELL_ZLOG_ENGINE_LINE_BUFFER_H
#define VARNELL_ZLOG_ENGINE_LINE_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace zlogc {

class LineBuffer
{
public:
    // `limit` is the most bytes the buffer may ever hold (0: bounded only by memory).
    void Configure(size_t initialSize, size_t limit)
    {
        m_limit = limit;
        if (m_limit && initialSize > m_limit)
            initialSize = m_limit;
        m_size = 0;
        m_overflow = false;
        if (initialSize != m_capacity) {
            m_data.reset(initialSize ? new (std::nothrow) char[initialSize] : nullptr);
            m_capacity = m_data ? initialSize : 0;
        }
    }

    void Clear()
    {
        m_size = 0;
        m_overflow = false;
    }

    char* Data() { return m_data.get(); }
    const char* Data() const { return m_data.get(); }
    size_t Size() const { return m_size; }
    size_t Capacity() const { return m_capacity; }
    size_t Limit() const { return m_limit; }
    // Set once something did not fit; the content is then incomplete.
    bool Overflow() const { return m_overflow; }

    // Makes room for `extra` more bytes; false (and the overflow mark) when the limit forbids it
    // or memory runs out.
    bool Room(size_t extra)
    {
        if (m_overflow)
            return false;
        if (extra <= m_capacity - m_size)
            return true;
        if (extra > kMaxSize - m_size || (m_limit && m_size + extra > m_limit)) {
            m_overflow = true;
            return false;
        }
        const size_t need = m_size + extra;
        size_t capacity = m_capacity ? m_capacity : 256;
        while (capacity < need)
            capacity = capacity > kMaxSize / 2 ? need : capacity * 2;
        if (m_limit && capacity > m_limit)
            capacity = m_limit;
        std::unique_ptr<char[]> grown(new (std::nothrow) char[capacity]);
        if (!grown) {
            m_overflow = true;
            return false;
        }
        if (m_size)
            memcpy(grown.get(), m_data.get(), m_size);
        m_data = std::move(grown);
        m_capacity = capacity;
        return true;
    }

    bool Append(const char* text, size_t length)
    {
        if (!Room(length))
            return false;
        if (length)
            memcpy(m_data.get() + m_size, text, length);
        m_size += length;
        return true;
    }

    bool Append(const char* text) { return Append(text, strlen(text)); }

    bool Append(char c)
    {
        if (!Room(1))
            return false;
        m_data[m_size++] = c;
        return true;
    }

    bool AppendFill(char c, size_t count)
    {
        if (!Room(count))
            return false;
        memset(m_data.get() + m_size, c, count);
        m_size += count;
        return true;
    }

    // Inserts `count` copies of `c` at offset `at` (at <= Size()).
    bool InsertFill(size_t at, char c, size_t count)
    {
        if (!Room(count))
            return false;
        memmove(m_data.get() + at + count, m_data.get() + at, m_size - at);
        memset(m_data.get() + at, c, count);
        m_size += count;
        return true;
    }

    void Truncate(size_t size)
    {
        if (size < m_size)
            m_size = size;
    }

    // Accepts `count` bytes written straight into the free space after Room().
    void Commit(size_t count) { m_size += count; }

private:
    static constexpr size_t kMaxSize = SIZE_MAX / 4;

    std::unique_ptr<char[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
    size_t m_limit = 0;
    bool m_overflow = false;
};

}  // namespace zlogc

#endif
