#include "platform/Utf8.h"

namespace platform {

namespace {

// Decodes one sequence at text[i]; returns its length, or 0 when it is not valid UTF-8.
size_t DecodeOne(const unsigned char* s, size_t size, size_t i, uint32_t* codePoint)
{
    const unsigned char c = s[i];
    if (c < 0x80) {
        *codePoint = c;
        return 1;
    }
    size_t len;
    uint32_t cp;
    uint32_t min;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (size - i < len)
        return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned char cc = s[i + k];
        if ((cc & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    *codePoint = cp;
    return len;
}

}  // namespace

bool IsValidUtf8(const char* text, size_t size)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < size;) {
        uint32_t cp;
        const size_t n = DecodeOne(s, size, i, &cp);
        if (0 == n)
            return false;
        i += n;
    }
    return true;
}

long Utf16Length(const std::string& text)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    long units = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t n = DecodeOne(s, text.size(), i, &cp);
        if (0 == n)
            return -1;
        units += cp >= 0x10000 ? 2 : 1;
        i += n;
    }
    return units;
}

std::string MakeValidUtf8(const std::string& text)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t n = DecodeOne(s, text.size(), i, &cp);
        if (0 == n) {
            AppendUtf8(&out, 0xFFFD);
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

void AppendUtf8(std::string* out, uint32_t cp)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace platform
