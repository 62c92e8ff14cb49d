// The engine's diagnostic channel: its own messages go to the files named by the environment,
// never to the log or the standard streams.
#include "LogTestUtil.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using testutil::ScopedTempDir;

std::string Child()
{
    return ZLOG_TEST_DIAGNOSTICS_CHILD;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text)
{
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

TEST(Diagnostics, LinesGoToTheProfileFilesInTheirFormat)
{
    ScopedTempDir dir;
    const std::string conf = logtest::WriteDirConf(dir, "bad.conf", "[rules]\nc.* >nowhere\n");
    std::string out;
    ASSERT_EQ(0, testutil::RunCommand("cd " + testutil::ShellQuote(dir.Path()) + " && ZLOG_PROFILE_DEBUG=debug.txt " +
                                          "ZLOG_PROFILE_ERROR=error.txt " + testutil::ShellQuote(Child()) + " " +
                                          testutil::ShellQuote(conf) + " 2>&1",
                                      &out));
    EXPECT_EQ("", out);

    const std::regex line(R"(\d\d-\d\d \d\d:\d\d:\d\d (DEBUG|WARN |ERROR) \(\d+:(src/zlog|tests/zlog)/[A-Za-z_/]+\.cpp:\d+\) .*)");
    const std::vector<std::string> errors = logtest::Lines(testutil::ReadFileOrEmpty(dir.File("error.txt")));
    const std::vector<std::string> debug = logtest::Lines(testutil::ReadFileOrEmpty(dir.File("debug.txt")));
    ASSERT_FALSE(errors.empty());
    ASSERT_FALSE(debug.empty());
    for (const std::string& l : errors) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        EXPECT_EQ(std::string::npos, l.find(" DEBUG (")) << l;
    }
    for (const std::string& l : debug)
        EXPECT_TRUE(std::regex_match(l, line) && l.find(" DEBUG (") != std::string::npos) << l;

    EXPECT_TRUE(Contains(errors, ") before finish, must zlog_init() or dzlog_init() fisrt"));
    EXPECT_TRUE(Contains(errors, "parse configure file[" + conf + "]line_no[2] fail"));
    EXPECT_TRUE(Contains(errors, ") ------init failed------"));
    EXPECT_TRUE(Contains(errors, " WARN  (") && Contains(errors, ") a warning from the child"));
    EXPECT_TRUE(Contains(debug, ") ------qova_log_init_ex:config_path[" + conf + "]------"));
    EXPECT_TRUE(Contains(debug, ") ------fire-new init------"));
}

TEST(Diagnostics, UnsetVariablesDiscardEverything)
{
    ScopedTempDir dir;
    const std::string conf = logtest::WriteDirConf(dir, "bad.conf", "[rules]\nc.* >nowhere\n");
    std::string out;
    ASSERT_EQ(0, testutil::RunCommand("cd " + testutil::ShellQuote(dir.Path()) +
                                          " && env -u ZLOG_PROFILE_DEBUG -u ZLOG_PROFILE_ERROR " +
                                          testutil::ShellQuote(Child()) + " " + testutil::ShellQuote(conf) + " 2>&1",
                                      &out));
    EXPECT_EQ("", out);
    std::string listing;
    testutil::RunCommand("ls -A " + testutil::ShellQuote(dir.Path()), &listing);
    EXPECT_EQ("bad.conf\n", listing);
}

}  // namespace
