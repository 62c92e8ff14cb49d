#include "LogTestUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cctype>
#include <cstdlib>

#include "qova_zlog.h"

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
    const std::string path = std::string(ZLOG_TEST_SAMPLE_DIR) + "/" + sample;
    if (!testutil::ReadFile(path, &text)) {
        fprintf(stderr, "sample configuration %s cannot be read\n", path.c_str());
        abort();
    }
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

namespace {

// Ends every record, so that messages with and without their own newline stay apart.
constexpr char kRecordEnd[] = "<end>\n";

// "LEVEL [path(123)..." becomes "LEVEL [path(N)...".
std::string WithoutLineNumber(std::string record)
{
    const size_t nBlank = record.find(' ');
    if (std::string::npos == nBlank || record.compare(nBlank + 1, 1, "[") != 0)
        return record;
    const size_t nOpen = record.find_first_of("()]", nBlank + 2);
    if (std::string::npos == nOpen || '(' != record[nOpen])
        return record;
    size_t nEnd = nOpen + 1;
    while (nEnd < record.size() && isdigit(static_cast<unsigned char>(record[nEnd])))
        ++nEnd;
    if (nEnd == nOpen + 1 || nEnd >= record.size() || ')' != record[nEnd])
        return record;
    return record.replace(nOpen + 1, nEnd - nOpen - 1, "N");
}

}  // namespace

TraceCapture::TraceCapture()
{
    m_log = m_dir.File("trace.log");
    const std::string conf = WriteConf(m_dir, "trace.conf",
                                       "[global]\nrotate lock file = " + m_dir.File("zlog.lock") +
                                           "\n[formats]\nrecord = \"%V %m<end>%n\"\n[rules]\nqova_category.DEBUG \"" +
                                           m_log + "\"; record\n");
    if (0 != qova_log_init_ex(conf.c_str()))
        abort();
}

TraceCapture::~TraceCapture()
{
    qova_log_fini();
}

void TraceCapture::Mark()
{
    m_mark = testutil::ReadFileOrEmpty(m_log).size();
}

std::string TraceCapture::Raw() const
{
    const std::string text = testutil::ReadFileOrEmpty(m_log);
    return m_mark < text.size() ? text.substr(m_mark) : std::string();
}

std::vector<std::string> TraceCapture::Records() const
{
    const std::string text = Raw();
    std::vector<std::string> records;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find(kRecordEnd, begin);
        if (std::string::npos == end)
            end = text.size();
        records.push_back(WithoutLineNumber(text.substr(begin, end - begin)));
        begin = end + sizeof(kRecordEnd) - 1;
    }
    return records;
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
