#include "platform/StringsFile.h"

#include "platform/Utf8.h"

#include <cstdio>
#include <memory>

namespace platform {

namespace {

class StringsParser
{
public:
    explicit StringsParser(const std::string& text) : m_text(text) {}

    bool Parse(StringsTable* table)
    {
        if (!IsValidUtf8(m_text)) {
            m_error = "not valid UTF-8";
            return false;
        }
        if (m_text.compare(0, 3, "\xEF\xBB\xBF") == 0)
            m_pos = 3;
        for (;;) {
            if (!SkipSpaceAndComments())
                return false;
            if (AtEnd())
                return true;
            std::string key;
            std::string value;
            if (!ReadToken(&key))
                return false;
            if (!SkipSpaceAndComments())
                return false;
            if (Peek() == ';') {
                // "key"; stands for "key" = "key";
                value = key;
            } else {
                if (Peek() != '=')
                    return Fail("'=' expected after the key");
                ++m_pos;
                if (!SkipSpaceAndComments())
                    return false;
                if (!ReadToken(&value))
                    return false;
                if (!SkipSpaceAndComments())
                    return false;
                if (Peek() != ';')
                    return Fail("';' expected after the value");
            }
            ++m_pos;
            (*table)[key] = value;
        }
    }

    std::string Error() const { return "line " + std::to_string(m_line) + ": " + m_error; }

private:
    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }

    bool Fail(const char* what)
    {
        m_error = AtEnd() ? std::string(what) + " (end of file)" : what;
        return false;
    }

    void Advance()
    {
        if (m_text[m_pos] == '\n')
            ++m_line;
        ++m_pos;
    }

    bool SkipSpaceAndComments()
    {
        while (!AtEnd()) {
            const char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                Advance();
            } else if (c == '/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '*') {
                m_pos += 2;
                while (!AtEnd() && !(m_text[m_pos] == '*' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '/'))
                    Advance();
                if (AtEnd())
                    return Fail("unterminated comment");
                m_pos += 2;
            } else if (c == '/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '/') {
                while (!AtEnd() && m_text[m_pos] != '\n')
                    ++m_pos;
            } else {
                break;
            }
        }
        return true;
    }

    static bool IsBareChar(char c)
    {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '.' || c == '-' || c == '$' || c == ':' || c == '/';
    }

    bool ReadToken(std::string* out)
    {
        if (Peek() == '"')
            return ReadQuoted(out);
        const size_t start = m_pos;
        while (!AtEnd() && IsBareChar(m_text[m_pos]))
            ++m_pos;
        if (start == m_pos)
            return Fail("a quoted string expected");
        out->assign(m_text, start, m_pos - start);
        return true;
    }

    bool ReadHex4(uint32_t* unit)
    {
        if (m_text.size() - m_pos < 4)
            return Fail("\\U needs four hexadecimal digits");
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = m_text[m_pos + k];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return Fail("\\U needs four hexadecimal digits");
        }
        m_pos += 4;
        *unit = v;
        return true;
    }

    bool ReadQuoted(std::string* out)
    {
        ++m_pos;  // opening quote
        std::string s;
        for (;;) {
            if (AtEnd())
                return Fail("unterminated string");
            const char c = m_text[m_pos];
            if (c == '"') {
                ++m_pos;
                break;
            }
            if (c != '\\') {
                s.push_back(c);
                Advance();
                continue;
            }
            ++m_pos;
            if (AtEnd())
                return Fail("unterminated string");
            const char e = m_text[m_pos++];
            switch (e) {
            case 'n': s.push_back('\n'); break;
            case 't': s.push_back('\t'); break;
            case 'r': s.push_back('\r'); break;
            case '"': s.push_back('"'); break;
            case '\'': s.push_back('\''); break;
            case '\\': s.push_back('\\'); break;
            case 'U':
            case 'u': {
                uint32_t unit = 0;
                if (!ReadHex4(&unit))
                    return false;
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    uint32_t low = 0;
                    if (m_text.compare(m_pos, 2, "\\U") != 0 && m_text.compare(m_pos, 2, "\\u") != 0)
                        return Fail("high surrogate without its low half");
                    m_pos += 2;
                    if (!ReadHex4(&low))
                        return false;
                    if (low < 0xDC00 || low > 0xDFFF)
                        return Fail("high surrogate without its low half");
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    return Fail("low surrogate without its high half");
                }
                if (0 == unit)
                    return Fail("\\U0000 is not allowed");
                AppendUtf8(&s, unit);
                break;
            }
            default:
                return Fail("unknown escape");
            }
        }
        *out = std::move(s);
        return true;
    }

    const std::string& m_text;
    size_t m_pos = 0;
    int m_line = 1;
    std::string m_error;
};

struct FileCloser
{
    void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

bool ParseStringsText(const std::string& text, StringsTable* table, std::string* error)
{
    if (nullptr == table)
        return false;
    StringsTable parsed;
    StringsParser parser(text);
    if (!parser.Parse(&parsed)) {
        if (error)
            *error = parser.Error();
        return false;
    }
    for (auto& entry : parsed)
        (*table)[entry.first] = std::move(entry.second);
    return true;
}

bool ParseStringsFile(const std::string& path, StringsTable* table, std::string* error)
{
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rb"));
    if (!file) {
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file.get())) > 0) {
        if (text.size() + n > kMaxStringsFileSize) {
            if (error)
                *error = path + " is larger than a string table may be";
            return false;
        }
        text.append(buf, n);
    }
    if (ferror(file.get())) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    std::string parseError;
    if (!ParseStringsText(text, table, &parseError)) {
        if (error)
            *error = path + ": " + parseError;
        return false;
    }
    return true;
}

}  // namespace platform
