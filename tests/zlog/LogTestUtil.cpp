#include "LogTestUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace logtest {

std::string WriteConf(const testutil::ScopedTempDir& dir, const std::string& name, const std::string& text)
{
    const std::string path = dir.File(name);
    if (!testutil::WriteFile(path, text) || 0 != chmod(path.c_str(), 0600))
        abort();
    return path;
}

std::string WriteDirConf(const testutil::ScopedTempDir& dir, const std::string& name, const std::string& text)
{
    return WriteConf(dir, name, testutil::ReplaceAll(text, "$D", dir.Path()));
}

std::string SampleConf(const testutil::ScopedTempDir& dir, const std::string& sample)
{
    std::string text;
    if (!testutil::ReadFile(testutil::SourceDir() + "/tests/zlog/samples/" + sample, &text))
        abort();
    return WriteConf(dir, sample, testutil::ReplaceAll(text, "/tmp/", dir.Path() + "/"));
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (std::string::npos == end)
            end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

CapturedFd::CapturedFd(int fd, const std::string& path) : m_fd(fd), m_path(path)
{
    fflush(nullptr);
    m_saved = dup(fd);
    const int target = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (m_saved < 0 || target < 0 || dup2(target, fd) < 0)
        abort();
    close(target);
}

CapturedFd::~CapturedFd()
{
    Stop();
}

std::string CapturedFd::Stop()
{
    if (m_saved >= 0) {
        fflush(nullptr);
        dup2(m_saved, m_fd);
        close(m_saved);
        m_saved = -1;
    }
    return testutil::ReadFileOrEmpty(m_path);
}

}  // namespace logtest
