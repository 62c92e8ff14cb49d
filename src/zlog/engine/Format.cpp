#include "Format.h"

#include "Levels.h"
#include "Thread.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zlogc {

namespace {

// Widths beyond this are refused: a pattern could otherwise ask for gigabytes of padding.
constexpr size_t kMaxWidth = 1024 * 1024;
constexpr size_t kHexRowLength = 80;  // a newline and 79 characters

bool ParseWidth(const std::string& pattern, size_t* pos, size_t* width)
{
    size_t value = 0;
    while (*pos < pattern.size() && pattern[*pos] >= '0' && pattern[*pos] <= '9') {
        value = value * 10 + static_cast<size_t>(pattern[*pos] - '0');
        if (value > kMaxWidth)
            return false;
        ++*pos;
    }
    *width = value;
    return true;
}

// Reads "(text)" at *pos; the text ends at the first ')'.
bool ParseParenthesised(const std::string& pattern, size_t* pos, std::string* text)
{
    if (*pos >= pattern.size() || pattern[*pos] != '(')
        return false;
    const size_t close = pattern.find(')', *pos + 1);
    if (std::string::npos == close)
        return false;
    *text = pattern.substr(*pos + 1, close - *pos - 1);
    *pos = close + 1;
    return true;
}

std::string WidthApplied(std::string text, bool leftAlign, size_t minWidth, size_t maxWidth)
{
    if (maxWidth && text.size() > maxWidth)
        text.resize(maxWidth);
    if (minWidth > text.size()) {
        const std::string pad(minWidth - text.size(), ' ');
        text = leftAlign ? text + pad : pad + text;
    }
    return text;
}

bool AppendDecimal(LineBuffer& out, long value)
{
    char digits[24];
    const int length = snprintf(digits, sizeof(digits), "%ld", value);
    return out.Append(digits, static_cast<size_t>(length));
}

bool AppendZeroPadded(LineBuffer& out, unsigned long value, int width)
{
    char digits[24];
    const int length = snprintf(digits, sizeof(digits), "%0*lu", width, value);
    return out.Append(digits, static_cast<size_t>(length));
}

}  // namespace

const struct timeval& Event::Time()
{
    if (!m_haveTime) {
        gettimeofday(&m_time, nullptr);
        m_haveTime = true;
    }
    return m_time;
}

bool Event::Message(const char** text, size_t* length)
{
    if (0 == m_messageState) {
        m_messageState = -1;
        LineBuffer& buffer = thread->message;
        buffer.Clear();
        if (hexDump) {
            if (AppendHexDump(dumpData, dumpLength, buffer)) {
                m_message = buffer.Data();
                m_messageLength = buffer.Size();
                m_messageState = 1;
            }
        } else if (nullptr == format) {
            m_message = "";
            m_messageLength = 0;
            m_messageState = 1;
        } else if ('%' == format[0] && 's' == format[1] && '\0' == format[2]) {
            // The trace wrapper's own form: take the text as it is, without a copy.
            va_list copy;
            va_copy(copy, *args);
            const char* argument = va_arg(copy, const char*);
            va_end(copy);
            m_message = argument ? argument : "(null)";
            m_messageLength = strlen(m_message);
            m_messageState = 1;
        } else {
            va_list copy;
            va_copy(copy, *args);
            int written = vsnprintf(buffer.Data(), buffer.Capacity(), format, copy);
            va_end(copy);
            if (written >= 0 && static_cast<size_t>(written) >= buffer.Capacity() &&
                buffer.Room(static_cast<size_t>(written) + 1)) {
                va_copy(copy, *args);
                written = vsnprintf(buffer.Data(), buffer.Capacity(), format, copy);
                va_end(copy);
            }
            if (written >= 0 && static_cast<size_t>(written) < buffer.Capacity()) {
                buffer.Commit(static_cast<size_t>(written));
                m_message = buffer.Data();
                m_messageLength = buffer.Size();
                m_messageState = 1;
            }
        }
    }
    *text = m_message;
    *length = m_messageLength;
    return 1 == m_messageState;
}

bool AppendHexDump(const void* data, size_t length, LineBuffer& out)
{
    if (nullptr == data)
        return out.Append("buf=(null)");

    static const char kHeader[] =
        "\n             0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F    0123456789ABCDEF";
    static_assert(sizeof(kHeader) - 1 == kHexRowLength, "header row width");
    static const char kHex[] = "0123456789abcdef";

    const size_t rows = length ? length / 16 + (length % 16 ? 1 : 0) : 1;
    if (rows >= SIZE_MAX / 4 / kHexRowLength)
        return out.Room(SIZE_MAX);  // refused: marks the overflow
    if (!out.Room((rows + 1) * kHexRowLength))
        return false;
    out.Append(kHeader, kHexRowLength);

    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    char row[kHexRowLength];
    for (size_t r = 0; r < rows; ++r) {
        char* p = row;
        *p++ = '\n';
        unsigned long number = static_cast<unsigned long>((r + 1) % 10000000000ul);
        for (int d = 9; d >= 0; --d) {
            p[d] = static_cast<char>('0' + number % 10);
            number /= 10;
        }
        p += 10;
        memcpy(p, "   ", 3);
        p += 3;
        for (size_t j = 0; j < 16; ++j) {
            const size_t index = r * 16 + j;
            if (index < length) {
                *p++ = kHex[bytes[index] >> 4];
                *p++ = kHex[bytes[index] & 0x0f];
            } else {
                *p++ = ' ';
                *p++ = ' ';
            }
            *p++ = ' ';
        }
        *p++ = ' ';
        *p++ = ' ';
        for (size_t j = 0; j < 16; ++j) {
            const size_t index = r * 16 + j;
            const unsigned char b = index < length ? bytes[index] : ' ';
            *p++ = b >= 0x20 && b <= 0x7e ? static_cast<char>(b) : '.';
        }
        out.Append(row, kHexRowLength);
    }
    return true;
}

std::unique_ptr<Format> Format::Parse(const std::string& pattern, size_t maxTotalWidth, std::string* error)
{
    std::unique_ptr<Format> format(new Format);
    std::string literal;
    auto flushLiteral = [&]() {
        if (!literal.empty()) {
            Spec spec;
            spec.text.swap(literal);
            format->m_specs.push_back(std::move(spec));
            literal.clear();
        }
    };
    auto fail = [&](const char* reason, size_t at) -> std::unique_ptr<Format> {
        *error = std::string(reason) + " at offset " + std::to_string(at) + " of format [" + pattern + "]";
        return nullptr;
    };

    size_t pos = 0;
    size_t totalWidth = 0;
    while (pos < pattern.size()) {
        if (pattern[pos] != '%') {
            literal += pattern[pos++];
            continue;
        }
        const size_t start = pos++;
        Spec spec;
        if (pos < pattern.size() && '-' == pattern[pos]) {
            spec.leftAlign = true;
            ++pos;
        }
        if (!ParseWidth(pattern, &pos, &spec.minWidth))
            return fail("width too large", start);
        if (pos < pattern.size() && '.' == pattern[pos]) {
            ++pos;
            if (!ParseWidth(pattern, &pos, &spec.maxWidth))
                return fail("width too large", start);
        }
        if (pos >= pattern.size())
            return fail("'%' at the end", start);
        // Each width is padding that every line of the format carries (and a literal's is spent
        // right here): bounded per specifier, and together by the line limit.
        totalWidth += spec.minWidth;
        if (totalWidth > maxTotalWidth)
            return fail("widths add up to more than the line limit", start);

        bool isLiteral = false;
        std::string text;
        const char x = pattern[pos++];
        switch (x) {
        case 'c': spec.kind = Kind::Category; break;
        case 'd':
            spec.kind = Kind::Time;
            if (pos < pattern.size() && '(' == pattern[pos] && !ParseParenthesised(pattern, &pos, &spec.text))
                return fail("unclosed %d(", start);
            break;
        case 'D': spec.kind = Kind::Time; break;
        case 'm':
            if (pos < pattern.size() && 's' == pattern[pos]) {
                spec.kind = Kind::Millis;
                ++pos;
            } else {
                spec.kind = Kind::Message;
            }
            break;
        case 'u':
            if (pos >= pattern.size() || 's' != pattern[pos])
                return fail("unknown specifier", start);
            spec.kind = Kind::Micros;
            ++pos;
            break;
        case 'F': spec.kind = Kind::File; break;
        case 'f': spec.kind = Kind::FileBase; break;
        case 'L': spec.kind = Kind::Line; break;
        case 'U': spec.kind = Kind::Func; break;
        case 'p': spec.kind = Kind::Pid; break;
        case 'H': spec.kind = Kind::Host; break;
        case 't': spec.kind = Kind::ThreadHex; break;
        case 'T': spec.kind = Kind::ThreadDec; break;
        case 'V': spec.kind = Kind::LevelUpper; break;
        case 'v': spec.kind = Kind::LevelLower; break;
        case 'M':
            spec.kind = Kind::Mdc;
            if (!ParseParenthesised(pattern, &pos, &spec.text))
                return fail("%M needs (key)", start);
            if (spec.text.size() > kMdcMaxLength)
                spec.text.resize(kMdcMaxLength);
            break;
        case 'E': {
            std::string name;
            if (!ParseParenthesised(pattern, &pos, &name))
                return fail("%E needs (VAR)", start);
            const char* value = getenv(name.c_str());
            text = value ? value : "(null)";
            isLiteral = true;
            break;
        }
        case 'n':
            text = "\n";
            isLiteral = true;
            break;
        case '%':
            text = "%";
            isLiteral = true;
            break;
        default: return fail("unknown specifier", start);
        }

        if (isLiteral) {
            literal += WidthApplied(text, spec.leftAlign, spec.minWidth, spec.maxWidth);
        } else {
            flushLiteral();
            format->m_specs.push_back(std::move(spec));
        }
    }
    flushLiteral();
    return format;
}

bool Format::IsConstant() const
{
    for (const Spec& spec : m_specs)
        if (spec.kind != Kind::Literal)
            return false;
    return true;
}

std::string Format::ConstantText() const
{
    std::string text;
    for (const Spec& spec : m_specs)
        text += spec.text;
    return text;
}

bool Format::RenderSpec(const Spec& spec, Event& event, LineBuffer& out) const
{
    switch (spec.kind) {
    case Kind::Literal: return out.Append(spec.text.data(), spec.text.size());
    case Kind::Category: return out.Append(event.category, event.categoryLength);
    case Kind::Time: {
        const struct timeval& now = event.Time();
        const struct tm& local = event.thread->LocalTime(now.tv_sec);
        if (spec.text.empty())
            return out.Append(event.thread->cachedDate, event.thread->cachedDateLength);
        char text[1024];
        const size_t length = strftime(text, sizeof(text), spec.text.c_str(), &local);
        return out.Append(text, length);
    }
    case Kind::Millis: return AppendZeroPadded(out, static_cast<unsigned long>(event.Time().tv_usec / 1000), 3);
    case Kind::Micros: return AppendZeroPadded(out, static_cast<unsigned long>(event.Time().tv_usec), 6);
    case Kind::File:
        return event.file ? out.Append(event.file, event.fileLength) : out.Append("(file=null)");
    case Kind::FileBase: {
        if (nullptr == event.file)
            return out.Append("(file=null)");
        size_t begin = event.fileLength;
        while (begin > 0 && event.file[begin - 1] != '/')
            --begin;
        return out.Append(event.file + begin, event.fileLength - begin);
    }
    case Kind::Line: return AppendDecimal(out, event.line);
    case Kind::Func:
        return event.func ? out.Append(event.func, event.funcLength) : out.Append("(func=null)");
    case Kind::Message: {
        const char* text = nullptr;
        size_t length = 0;
        if (!event.Message(&text, &length))
            return false;
        return out.Append(text, length);
    }
    case Kind::Pid: return AppendDecimal(out, CachedPid());
    case Kind::Host: return out.Append(event.thread->host);
    case Kind::ThreadHex: return out.Append(event.thread->threadHex);
    case Kind::ThreadDec: return out.Append(event.thread->threadDec);
    case Kind::LevelUpper: {
        const std::string& name = event.levels->Get(event.level).upper;
        return out.Append(name.data(), name.size());
    }
    case Kind::LevelLower: {
        const std::string& name = event.levels->Get(event.level).lower;
        return out.Append(name.data(), name.size());
    }
    case Kind::Mdc: {
        const auto found = event.thread->mdc.find(spec.text);
        if (found == event.thread->mdc.end())
            return true;
        return out.Append(found->second.data(), found->second.size());
    }
    }
    return true;
}

bool Format::Render(Event& event, LineBuffer& out) const
{
    for (const Spec& spec : m_specs) {
        const size_t start = out.Size();
        if (!RenderSpec(spec, event, out))
            return false;
        if (spec.kind != Kind::Literal && (spec.minWidth || spec.maxWidth)) {
            size_t length = out.Size() - start;
            if (spec.maxWidth && length > spec.maxWidth) {
                out.Truncate(start + spec.maxWidth);
                length = spec.maxWidth;
            }
            if (spec.minWidth > length) {
                const size_t pad = spec.minWidth - length;
                if (!(spec.leftAlign ? out.AppendFill(' ', pad) : out.InsertFill(start, ' ', pad)))
                    return false;
            }
        }
    }
    return !out.Overflow();
}

}  // namespace zlogc
