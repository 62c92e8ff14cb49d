#include "TestUtil.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace testutil {

ScopedTempDir::ScopedTempDir()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/varnell-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (nullptr == mkdtemp(buf.data()))
        abort();
    m_path = buf.data();
}

ScopedTempDir::~ScopedTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

bool ReadFile(const std::string& path, std::string* content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *content = ss.str();
    return true;
}

std::string ReadFileOrEmpty(const std::string& path)
{
    std::string content;
    ReadFile(path, &content);
    return content;
}

bool WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return 0 == stat(path.c_str(), &st);
}

int RunCommand(const std::string& command, std::string* output)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::string collected;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        collected.append(buf, n);
    const int status = pclose(pipe);
    if (output)
        *output = collected;
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string ShellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

std::string SourceDir()
{
    const char* dir = getenv("VARNELL_SOURCE_DIR");
    return dir ? dir : ".";
}

std::string BinaryDir()
{
    const char* dir = getenv("VARNELL_BINARY_DIR");
    return dir ? dir : ".";
}

bool TreesNamed()
{
    return nullptr != getenv("VARNELL_SOURCE_DIR") && nullptr != getenv("VARNELL_BINARY_DIR");
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    if (from.empty())
        return text;
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

std::vector<unsigned char> HexToBytes(const std::string& hex)
{
    std::vector<unsigned char> out;
    std::string digits;
    for (char c : hex)
        if (isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string BytesToHex(const unsigned char* data, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
    }
    return out;
}

}  // namespace testutil
