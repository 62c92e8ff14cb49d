// The configuration file: sections, lexical rules, global keys, levels, formats and rule syntax.
#include "LogTestUtil.h"
#include "zlog.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using testutil::ScopedTempDir;

class ConfTest : public ::testing::Test
{
protected:
    void TearDown() override { zlog_fini(); }

    int Init(const std::string& text) { return zlog_init(logtest::WriteDirConf(m_dir, "zlog.conf", text).c_str()); }
    std::string Read(const std::string& name) const { return testutil::ReadFileOrEmpty(m_dir.File(name)); }

    ScopedTempDir m_dir;
};

const char kLock[] = "[global]\nrotate lock file = $D/zlog.lock\n";

TEST_F(ConfTest, AcceptsOrRefusesWholeFiles)
{
    struct Case
    {
        const char* name;
        std::string text;
        int result;
    };
    const std::string rules = std::string(kLock) + "[formats]\nf = \"%m%n\"\n[rules]\n";
    const Case cases[] = {
        {"empty file", "", 0},
        {"comments and blank lines only", "# one\n\n   # two\n\t\n", 0},
        {"no rules section", "[global]\nstrict init = true\n", 0},
        {"all sections in order", rules + "c.* >stdout\n", 0},
        {"unknown section", "[global]\n[other]\n", -1},
        {"repeated section", "[formats]\n[formats]\n", -1},
        {"sections out of order", "[formats]\n[global]\n", -1},
        {"text before the first section", "strict init = true\n[global]\n", -1},
        {"unknown section when not strict", "[global]\nstrict init = false\n[bogus]\n", -1},
        {"unknown global key", "[global]\nno such key = 1\n", -1},
        {"unknown global key when not strict", "[global]\nstrict init = false\nno such key = 1\n", 0},
        {"keys are case-sensitive", "[global]\nStrict Init = true\n", -1},
        {"bad file perms", "[global]\nfile perms = 9x\n", -1},
        {"file perms making set-id log files", "[global]\nfile perms = 4755\n", -1},
        {"sticky file perms", "[global]\nfile perms = 1600\n", -1},
        {"file perms 0777", "[global]\nfile perms = 0777\n", 0},
        {"default format unquoted", "[global]\ndefault format = %m%n\n", -1},
        {"unknown output", rules + "c.* >nowhere\n", -1},
        {"record output is refused", rules + "c.* $name\n", -1},
        {"memory log", rules + "c.* >memlog:$D/mem.log; f\n", 0},
        {"memory log without a path", rules + "c.* >memlog:\n", 0},
        {"memory log path longer than 1024 bytes", rules + "c.* >memlog:$D/" + std::string(1100, 'p') + "\n", -1},
        {"memory log options after a comma are ignored", rules + "c.* >memlog:$D/mem.log, 1MB; f\n", 0},
        {"syslog without facility", rules + "c.* >syslog\n", -1},
        {"syslog with a bad facility", rules + "c.* >syslog, LOG_MAIL\n", -1},
        {"syslog with facility", rules + "c.* >syslog, LOG_LOCAL3\n", 0},
        {"unknown format name", rules + "c.* >stdout; nope\n", -1},
        {"unknown specifier", std::string(kLock) + "[formats]\nf = \"%Q\"\n", -1},
        {"per cent at the end", std::string(kLock) + "[formats]\nf = \"abc%\"\n", -1},
        {"unclosed time pattern", std::string(kLock) + "[formats]\nf = \"%d(%Y\"\n", -1},
        {"lone u", std::string(kLock) + "[formats]\nf = \"%u\"\n", -1},
        {"MDC without key", std::string(kLock) + "[formats]\nf = \"%M\"\n", -1},
        {"absurd width", std::string(kLock) + "[formats]\nf = \"%99999999999m\"\n", -1},
        {"format defined twice", std::string(kLock) + "[formats]\nf = \"a\"\nf = \"b\"\n", -1},
        {"level value above 255", "[levels]\nX = 256\n", -1},
        {"bad syslog priority", "[levels]\nX = 10, LOG_FOO\n", -1},
        {"level with priority", "[levels]\nX = 10, LOG_ERR\n", 0},
        {"selector without level", rules + "c >stdout\n", -1},
        {"bad category character", rules + "c-d.* >stdout\n", -1},
        {"rule without output", rules + "c.*\n", -1},
        {"empty file path", rules + "c.* \"\"\n", -1},
        {"file path longer than 1024 bytes", rules + "c.* \"$D/" + std::string(1100, 'p') + "\"\n", -1},
        {"archive without a number", rules + "c.* \"$D/a.log\", 1KB ~ \"$D/a.old\"\n", -1},
        {"bad archive count", rules + "c.* \"$D/a.log\", 1KB * x\n", -1},
        {"line longer than 4096 bytes", std::string(kLock) + "# " + std::string(5000, 'x') + "\n[formats]\nf = \"" +
                                            std::string(4100, 'x') + "\"\n",
         -1},
        {"rotate lock file cannot be opened", "[global]\nrotate lock file = $D/no/such/dir/lock\n[rules]\n", -1},
        {"text with a NUL byte", std::string("[global]\n\0\n", 11), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, Init(c.text));
        zlog_fini();
    }
}

// One 3.6 KB configuration line of %1048576n specifiers would make every logged line allocate
// about 500 MiB: the widths of a format may add up to at most "buffer max" (2 MiB when 0).
TEST_F(ConfTest, FormatWidthsAddingUpPastBufferMaxAreRefused)
{
    struct Case
    {
        const char* name;
        std::string global;
        std::string format;
        int result;
    };
    const std::string mib = "%1048576";
    const Case cases[] = {
        {"default limit, widths at 2 MiB", "", mib + "n" + mib + "m", 0},
        {"default limit, one byte over", "", mib + "n" + mib + "n%1m", -1},
        {"no limit still caps at 2 MiB", "buffer max = 0\n", mib + "n" + mib + "n%1m", -1},
        {"small limit", "buffer max = 1KB\n", "%1000m%25V", -1},
        {"small limit, widths fit", "buffer max = 1KB\n", "%1000m%24V", 0},
        {"the many-specifier line", "", [&] {
             std::string line;
             for (int i = 0; i < 360; ++i)
                 line += mib + "n";
             return line;
         }(), -1},
        {"default format before a smaller limit", "default format = \"%2000m\"\nbuffer max = 1KB\n", "%m", -1},
        {"default format before a larger limit", "default format = \"%1048576m%1048576m%1m\"\nbuffer max = 4MB\n",
         "%m", 0},
        {"file path", "", "%m\"\n[rules]\nc.* \"$D/" + mib + "c" + mib + "c%1c.log", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, Init(std::string(kLock) + c.global + "[formats]\nf = \"" + c.format + "\"\n"));
        zlog_fini();
    }
}

TEST_F(ConfTest, StrictInitOffSkipsBadLinesButTheEnvironmentForcesIt)
{
    const std::string text = std::string(kLock) +
                             "strict init = FALSE\n[formats]\nf = \"%m%n\"\nbad = \"%Q\"\n[rules]\n"
                             "c.* >nowhere\nc.* \"$D/a.log\"; bad\nc.* \"$D/a.log\"; f\n";
    ASSERT_EQ(0, Init(text));
    zlog_info(zlog_get_category("c"), "kept");
    EXPECT_EQ("kept\n", Read("a.log"));
    zlog_fini();

    setenv("ZLOG_STRICT_INIT", "1", 1);
    EXPECT_EQ(-1, Init(text));
    unsetenv("ZLOG_STRICT_INIT");
}

TEST_F(ConfTest, CommentsAndJoinedLines)
{
    ASSERT_EQ(0, Init(std::string(kLock) +
                      "[formats]\n"
                      "joined = \"<%m>   \\\n"
                      "      [%V]%n\"  # the blanks around the join are dropped\n"
                      "[rules]\n"
                      "c.INFO   \"$D/a#b.log\"; joined   # a hash inside quotes is text\n"
                      "c.INFO   \"$D/c.log\", \\\n"
                      "    1MB; joined\n"));
    zlog_info(zlog_get_category("c"), "x");
    EXPECT_EQ("<x>[INFO]\n", Read("a#b.log"));
    EXPECT_EQ("<x>[INFO]\n", Read("c.log"));
}

TEST_F(ConfTest, BufferMaxSizesAndUnits)
{
    struct Case
    {
        const char* value;
        size_t limit;  // longest line in bytes; 0: no limit
    };
    const Case cases[] = {{"100", 99}, {"1k", 999}, {"1K", 999}, {"1kb", 1023}, {"1KB", 1023}, {"0", 0}, {"junk", 0},
                          {"-5", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_EQ(0, Init(std::string(kLock) + "buffer min = 16\nbuffer max = " + c.value +
                          "\n[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$D/" + c.value + ".log\"; f\n"));
        zlog_category_t* cat = zlog_get_category("c");
        const size_t longest = c.limit ? c.limit : 5000;
        const std::string fits(longest - 1, 'f');
        const std::string over(longest, 'o');
        zlog_info(cat, "%s", fits.c_str());
        zlog_info(cat, "%s", over.c_str());
        hzlog_info(cat, over.data(), over.size());  // a dump of that size never fits either
        zlog_info(cat, "after");
        zlog_fini();
        const std::string expected =
            c.limit ? fits + "\nafter\n" : fits + "\n" + over + "\n";  // no limit: the dump is written too
        const std::string log = Read(std::string(c.value) + ".log");
        EXPECT_EQ(expected, log.substr(0, expected.size()));
        if (c.limit) {
            EXPECT_EQ(expected.size(), log.size());
        }
    }
}

TEST_F(ConfTest, DefaultLimitWritesLinesUpTo2MiBMinusOneWhole)
{
    ASSERT_EQ(0, Init(std::string(kLock) + "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$D/a.log\"; f\n"));
    zlog_category_t* cat = zlog_get_category("c");
    const std::string whole(2 * 1024 * 1024 - 2, 'w');
    zlog_info(cat, "%s", whole.c_str());
    zlog_info(cat, "%s!", whole.c_str());  // one byte too many: dropped whole
    EXPECT_EQ(whole + "\n", Read("a.log"));
}

TEST_F(ConfTest, LevelsSectionAddsNamesAndUnknownValuesPrintAsUnknown)
{
    ASSERT_EQ(0, Init(std::string(kLock) +
                      "[levels]\nTRACE = 10, LOG_DEBUG\nloud = 130\n[formats]\nf = \"%V %v %m%n\"\n[rules]\n"
                      "c.trace \"$D/a.log\"; f\n"));
    zlog_category_t* cat = zlog_get_category("c");
    for (int level : {5, 10, 30, 130})
        zlog(cat, "f", 1, "g", 1, 1, level, "%d", level);
    EXPECT_EQ("TRACE trace 10\nUNKNOWN unknown 30\nLOUD loud 130\n", Read("a.log"));
}

TEST_F(ConfTest, LevelSelectors)
{
    struct Case
    {
        const char* selector;
        const char* expected;
    };
    // Unknown names: the plain and '!' forms select every level, '=' none.
    const Case cases[] = {{"INFO", "40 60 80 100 120 255 "},
                          {"info", "40 60 80 100 120 255 "},
                          {"DEBUG", "20 30 40 60 80 100 120 255 "},
                          {"=ERROR", "100 "},
                          {"!INFO", "0 20 30 60 80 100 120 255 "},
                          {"*", "0 20 30 40 60 80 100 120 255 "},
                          {"NOPE", "0 20 30 40 60 80 100 120 255 "},
                          {"=NOPE", ""},
                          {"!NOPE", "0 20 30 40 60 80 100 120 255 "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        const std::string log = m_dir.File(std::string("sel") + std::to_string(&c - cases) + ".log");
        ASSERT_EQ(0, Init(std::string(kLock) + "[formats]\nf = \"%m \"\n[rules]\nc." + c.selector + " \"" + log +
                          "\"; f\n"));
        zlog_category_t* cat = zlog_get_category("c");
        for (int level : {0, 20, 30, 40, 60, 80, 100, 120, 255})
            zlog(cat, "f", 1, "g", 1, 1, level, "%d", level);
        zlog_fini();
        EXPECT_EQ(c.expected, testutil::ReadFileOrEmpty(log));
    }
}

TEST_F(ConfTest, LevelsOutsideTheTableLogNothing)
{
    ASSERT_EQ(0, Init(std::string(kLock) + "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$D/a.log\"; f\n"));
    zlog_category_t* cat = zlog_get_category("c");
    for (int level : {-1, 256, 1000, INT_MAX, INT_MIN}) {
        zlog(cat, "f", 1, "g", 1, 1, level, "%d", level);
        hzlog(cat, "f", 1, "g", 1, 1, level, "ab", 2);
    }
    zlog(cat, "f", 1, "g", 1, 1, 255, "last");
    EXPECT_EQ("last\n", Read("a.log"));
}

TEST_F(ConfTest, BuiltInConfigurationSendsEverythingToStdout)
{
    unsetenv("QOVA_LOG_CONF_PATH");
    logtest::CapturedFd out(1, m_dir.File("stdout"));
    ASSERT_EQ(0, zlog_init(nullptr));
    zlog(zlog_get_category("any"), "src/x.c", 7, "fn", 2, 12, 5, "low %d", 5);
    zlog_fini();
    const std::vector<std::string> lines = logtest::Lines(out.Stop());
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(lines[0].find(" UNKNOWN [") != std::string::npos);
    EXPECT_EQ(":src/x.c:12] low 5", lines[0].substr(lines[0].find(':', lines[0].find('['))));
}

TEST_F(ConfTest, InitTwiceFailsAndInitAfterFiniWorks)
{
    const std::string text = std::string(kLock) + "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$D/a.log\"; f\n";
    ASSERT_EQ(0, Init(text));
    EXPECT_EQ(-1, Init(text));
    zlog_fini();
    EXPECT_EQ(nullptr, zlog_get_category("c"));
    ASSERT_EQ(0, Init(text));
    zlog_info(zlog_get_category("c"), "again");
    EXPECT_EQ("again\n", Read("a.log"));
}

}  // namespace
