// The sample configurations, with their /tmp paths moved into the test's own directory.
#include "LogTestUtil.h"
#include "QovaResult.h"
#include "qova_zlog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using testutil::ScopedTempDir;

const char kDefaultLine[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d %s \[\d+:src/zlog/qova_zlog\.cpp:\d+\] %s)";

std::regex DefaultLine(const char* level, const char* text)
{
    char pattern[256];
    snprintf(pattern, sizeof(pattern), kDefaultLine, level, text);
    return std::regex(pattern);
}

TEST(SampleConf, FileInfoWritesInfoAndAboveInTheDefaultFormat)
{
    ScopedTempDir dir;
    const mode_t previous = umask(022);
    ASSERT_EQ(QOVA_OK, qova_log_init_ex(logtest::SampleConf(dir, "qova-file-info.conf").c_str()));
    umask(previous);
    const std::string log = dir.File("qova-log-samples/file/qova.log");
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));  // created, with its directories, at initialisation
    EXPECT_EQ(0600u, st.st_mode & 0777);

    TRACE(4, "debug text");
    TRACE(3, "info text");
    TRACE(1, "error text");
    qova_log_fini();

    const std::vector<std::string> lines = logtest::Lines(testutil::ReadFileOrEmpty(log));
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], DefaultLine("INFO", "info text"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], DefaultLine("ERROR", "error text"))) << lines[1];
}

TEST(SampleConf, NamedFormatsAndLevelSelectors)
{
    ScopedTempDir dir;
    ASSERT_EQ(QOVA_OK, qova_log_init_ex(logtest::SampleConf(dir, "qova-named-format.conf").c_str()));
    logtest::CapturedFd out(1, dir.File("stdout"));
    logtest::CapturedFd err(2, dir.File("stderr"));
    for (unsigned int level = 0; level <= 4; ++level)
        TRACE(level, "m%u", level);
    zlog_info(zlog_get_category("other"), "stray");
    const std::string outText = out.Stop();
    const std::string errText = err.Stop();
    qova_log_fini();

    EXPECT_EQ("m0\nm1\nm2\nm3\nm4\n", outText);
    EXPECT_EQ("stray\n", errText);

    const std::vector<std::string> errors =
        logtest::Lines(testutil::ReadFileOrEmpty(dir.File("qova-log-samples/named/err.log")));
    ASSERT_EQ(1u, errors.size());
    EXPECT_TRUE(std::regex_match(
        errors[0],
        std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ERROR qova_category qova_zlog\.cpp:\d+ TRACE - m1)")))
        << errors[0];

    const std::vector<std::string> main =
        logtest::Lines(testutil::ReadFileOrEmpty(dir.File("qova-log-samples/named/main.log")));
    ASSERT_EQ(4u, main.size());
    const char* levels[] = {"FATAL", "ERROR", "WARN", "INFO"};
    for (size_t i = 0; i < main.size(); ++i) {
        const std::string text = "m" + std::to_string(i);
        EXPECT_TRUE(std::regex_match(main[i], DefaultLine(levels[i], text.c_str()))) << main[i];
    }
}

// Run by hand (outside ctest, without its environment and from another directory) the suite
// must still find its sample configurations and helper program instead of aborting without a word.
TEST(SampleConf, SuiteRunsOutsideCtest)
{
    ScopedTempDir dir;
    char self[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    std::string out;
    const int status = testutil::RunCommand(
        "cd " + testutil::ShellQuote(dir.Path()) + " && env -u VARNELL_SOURCE_DIR -u VARNELL_BINARY_DIR " +
            testutil::ShellQuote(self) + " --gtest_filter='SampleConf.*:Diagnostics.*:-SampleConf.SuiteRunsOutsideCtest' 2>&1",
        &out);
    EXPECT_EQ(0, status) << out;
}

}  // namespace
