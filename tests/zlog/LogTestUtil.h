// Helpers for the logging tests: trusted configuration files, samples moved into a test's own
// directory, and capture of the standard streams.
#ifndef VARNELL_TESTS_ZLOG_LOG_TEST_UTIL_H
#define VARNELL_TESTS_ZLOG_LOG_TEST_UTIL_H

#include "TestUtil.h"

#include <string>
#include <vector>

namespace logtest {

// Writes `text` as `dir/name` with mode 0600 (a file the trust check accepts) and returns the path.
std::string WriteConf(const testutil::ScopedTempDir& dir, const std::string& name, const std::string& text);

// WriteConf with every "$D" in `text` replaced by the directory's path.
std::string WriteDirConf(const testutil::ScopedTempDir& dir, const std::string& name, const std::string& text);

// A configuration of tests/zlog/samples with every "/tmp/" moved into `dir`, written as a trusted file.
std::string SampleConf(const testutil::ScopedTempDir& dir, const std::string& sample);

// Splits on '\n'; a final line without newline counts, a trailing newline adds no empty line.
std::vector<std::string> Lines(const std::string& text);

// Logging on for the lifetime of the object, into a file of its own directory, one record per
// event: "<LEVEL> <message>", the message verbatim with its own newline, if any. A trace line's
// source line number reads "(N)" in Records(), so expectations do not move with the code.
class TraceCapture
{
public:
    TraceCapture();  // aborts when logging cannot be started
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // Records() starts after what was logged so far.
    void Mark();
    std::vector<std::string> Records() const;
    // The log text since the mark, unchanged.
    std::string Raw() const;

private:
    testutil::ScopedTempDir m_dir;
    std::string m_log;
    size_t m_mark = 0;
};

// Sends file descriptor 1 or 2 into a file until Stop() or destruction.
class CapturedFd
{
public:
    CapturedFd(int fd, const std::string& path);
    ~CapturedFd();
    CapturedFd(const CapturedFd&) = delete;
    CapturedFd& operator=(const CapturedFd&) = delete;

    // Restores the descriptor and returns everything written to it meanwhile.
    std::string Stop();

private:
    int m_fd;
    int m_saved;
    std::string m_path;
};

}  // namespace logtest

#endif
