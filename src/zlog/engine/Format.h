// Format patterns: literal text mixed with %[-][MIN][.MAX]X specifiers, rendered per event.
#ifndef VARNELL_ZLOG_ENGINE_FORMAT_H
#define VARNELL_ZLOG_ENGINE_FORMAT_H

#include "LineBuffer.h"

#include <sys/time.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

namespace zlogc {

class LevelTable;
struct ThreadRecord;

// One logging call as the formats see it. The time and the message are produced on first use
// and then shared by every rule the event reaches.
struct Event
{
    const char* category = nullptr;
    size_t categoryLength = 0;
    const char* file = nullptr;
    size_t fileLength = 0;
    const char* func = nullptr;
    size_t funcLength = 0;
    long line = 0;
    int level = 0;
    const LevelTable* levels = nullptr;
    ThreadRecord* thread = nullptr;

    // printf form (format + arguments) or hex-dump form (buffer + length).
    bool hexDump = false;
    const char* format = nullptr;
    va_list* args = nullptr;
    const void* dumpData = nullptr;
    size_t dumpLength = 0;

    // Reads the clock once per event.
    const struct timeval& Time();
    // Formats the message once per event; false when it does not fit the configured buffer.
    bool Message(const char** text, size_t* length);

private:
    bool m_haveTime = false;
    struct timeval m_time = {};
    int m_messageState = 0;  // 0 not yet, 1 ready, -1 failed
    const char* m_message = nullptr;
    size_t m_messageLength = 0;
};

// Appends the hex dump of `data` (the engine's fixed layout) to `out`.
bool AppendHexDump(const void* data, size_t length, LineBuffer& out);

class Format
{
public:
    // Null with a reason on a bad pattern. %E(VAR) is read from the environment here. The minimum
    // widths of all specifiers may add up to at most `maxTotalWidth` bytes.
    static std::unique_ptr<Format> Parse(const std::string& pattern, size_t maxTotalWidth, std::string* error);

    // Appends the event's rendering to `out`; false when it does not fit or the message failed.
    bool Render(Event& event, LineBuffer& out) const;

    // A pattern made of literal text only (after %E replacement) renders the same for every event.
    bool IsConstant() const;
    std::string ConstantText() const;

private:
    enum class Kind : unsigned char {
        Literal,
        Category,
        Time,
        Millis,
        Micros,
        File,
        FileBase,
        Line,
        Func,
        Message,
        Pid,
        Host,
        ThreadHex,
        ThreadDec,
        LevelUpper,
        LevelLower,
        Mdc,
    };
    struct Spec
    {
        Kind kind = Kind::Literal;
        bool leftAlign = false;
        size_t minWidth = 0;
        size_t maxWidth = 0;
        std::string text;  // literal text, strftime pattern (empty: "%F %T") or MDC key
    };

    bool RenderSpec(const Spec& spec, Event& event, LineBuffer& out) const;

    std::vector<Spec> m_specs;
};

}  // namespace zlogc

#endif
