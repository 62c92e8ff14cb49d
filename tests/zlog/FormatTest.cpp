// Format specifiers and modifiers, the hex dump, the MDC and the default category.
#include "LogTestUtil.h"
#include "zlog.h"

#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <thread>

namespace {

using testutil::ScopedTempDir;

class FormatTest : public ::testing::Test
{
protected:
    void TearDown() override { zlog_fini(); }

    // Inits with one rule for category "fmt_category" writing `pattern` to a fresh file.
    std::string Init(const std::string& pattern)
    {
        const std::string log = m_dir.File("f" + std::to_string(m_count++) + ".log");
        const std::string conf = logtest::WriteDirConf(
            m_dir, "zlog.conf",
            "[global]\nrotate lock file = $D/zlog.lock\n[formats]\nf = \"" + pattern +
                "\"\n[rules]\nfmt_category.* \"" + log + "\"; f\n");
        EXPECT_EQ(0, zlog_init(conf.c_str()));
        return log;
    }

    // Logs one INFO event from "src/a/b.c" line 57 in function "func" and returns the line.
    std::string Render(const std::string& pattern)
    {
        const std::string log = Init(pattern);
        // The file and function are used for exactly the given lengths.
        zlog(zlog_get_category("fmt_category"), "src/a/b.cEXTRA", 9, "funcEXTRA", 4, 57, ZLOG_LEVEL_INFO, "%s",
             "msg");
        zlog_fini();
        return testutil::ReadFileOrEmpty(log);
    }

    ScopedTempDir m_dir;
    int m_count = 0;
};

TEST_F(FormatTest, SpecifiersAndModifiers)
{
    char host[256] = {0};
    gethostname(host, sizeof(host) - 1);
    char year[8];
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(year, sizeof(year), "%Y", &local);
    char threadHex[32];
    snprintf(threadHex, sizeof(threadHex), "0x%x", static_cast<unsigned>(pthread_self()));
    setenv("ZLOG_FORMAT_TEST_VAR", "envvalue", 1);
    unsetenv("ZLOG_FORMAT_TEST_UNSET");

    struct Case
    {
        const char* pattern;
        std::string expected;
    };
    const Case cases[] = {
        {"%c", "fmt_category"},
        {"%F|%f|%L|%U", "src/a/b.c|b.c|57|func"},
        {"%V %v %m%%", "INFO info msg%"},
        {"%-6V|%6V|", "INFO  |  INFO|"},
        {"%5.5c|%.3U|%.2m|%-8.3m|", "fmt_c|fun|ms|msg     |"},
        {"%p", std::to_string(getpid())},
        {"%H", host},
        {"%t", threadHex},
        {"%T", std::to_string(static_cast<unsigned long>(pthread_self()))},
        {"%d(%Y)", year},
        {"%E(ZLOG_FORMAT_TEST_VAR) %E(ZLOG_FORMAT_TEST_UNSET) %10E(ZLOG_FORMAT_TEST_VAR)|%-4.3E(ZLOG_FORMAT_TEST_VAR)|",
         "envvalue (null)   envvalue|env |"},
        {"a%nb", "a\nb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(c.expected, Render(c.pattern));
    }
}

TEST_F(FormatTest, TimeIsReadOnceAndSharedBySpecifiers)
{
    const std::string line = Render("%D|%d|%d()|%d(%F %T)|%ms|%us|%us");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m,
                                 std::regex(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\|(.*)\|(.*)\|(.*)\|(\d{3})\|(\d{6})\|(\d{6}))")))
        << line;
    EXPECT_EQ(m[1], m[2]);
    EXPECT_EQ(m[1], m[3]);
    EXPECT_EQ(m[1], m[4]);
    EXPECT_EQ(m[6], m[7]);
    EXPECT_EQ(m[5].str(), m[6].str().substr(0, 3));  // milliseconds of the same stamp
}

TEST_F(FormatTest, NullFileAndFunction)
{
    const std::string log = Init("%F %f %U %m");
    zlog(zlog_get_category("fmt_category"), nullptr, 0, nullptr, 0, 1, ZLOG_LEVEL_INFO, "x");
    zlog_fini();
    EXPECT_EQ("(file=null) (file=null) (func=null) x", testutil::ReadFileOrEmpty(log));
}

TEST_F(FormatTest, HexDumpInTheDefaultFormat)
{
    const std::string log = m_dir.File("hex.log");
    ASSERT_EQ(0, zlog_init(logtest::WriteDirConf(m_dir, "zlog.conf",
                                                 "[global]\nrotate lock file = $D/zlog.lock\n[rules]\nc.* \"" + log +
                                                     "\"\n")
                               .c_str()));
    zlog_category_t* cat = zlog_get_category("c");
    const unsigned char data[] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                                  'a', 'b', 'c', 'd', 'e', 'f', 0x00, 0x0a, 0xff, 0x41};
    hzlog_info(cat, data, sizeof(data));
    hzlog_info(cat, data, 0);
    zlog_fini();

    const std::string text = testutil::ReadFileOrEmpty(log);
    const std::string header =
        "\n             0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F    0123456789ABCDEF";
    const std::string expected =
        header +
        "\n0000000001   30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66   0123456789abcdef"
        "\n0000000002   00 0a ff 41                                       ...A            \n";
    const std::string empty = header + "\n0000000001   " + std::string(48, ' ') + "  " + std::string(16, ' ') + "\n";
    const std::regex prefix(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d INFO \[\d+:tests/zlog/FormatTest\.cpp:\d+\] )");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, prefix));
    ASSERT_EQ(0, m.position(0));
    const size_t second = text.find("INFO [", m.length(0));
    ASSERT_NE(std::string::npos, second);
    EXPECT_EQ(expected, text.substr(m.length(0), expected.size()));  // the first line ends in a space
    EXPECT_EQ(empty, text.substr(text.size() - empty.size()));
}

TEST_F(FormatTest, MdcIsPerThreadCutAndShownByM)
{
    EXPECT_EQ(-1, zlog_put_mdc("k", "v"));  // not initialised
    EXPECT_EQ(nullptr, zlog_get_mdc("k"));
    const std::string log = Init("[%M(user)][%M(none)]%n");
    zlog_category_t* cat = zlog_get_category("fmt_category");

    EXPECT_EQ(0, zlog_put_mdc("user", "alice"));
    EXPECT_STREQ("alice", zlog_get_mdc("user"));
    zlog_info(cat, "x");
    EXPECT_EQ(0, zlog_put_mdc("user", "bob"));  // replaces
    zlog_info(cat, "x");

    std::thread other([&] {
        EXPECT_EQ(nullptr, zlog_get_mdc("user"));  // each thread has its own map
        zlog_info(cat, "x");
        EXPECT_EQ(0, zlog_put_mdc("user", "carol"));
        zlog_info(cat, "x");
    });
    other.join();
    EXPECT_STREQ("bob", zlog_get_mdc("user"));

    const std::string longKey(2000, 'k');
    const std::string longValue(3000, 'v');
    EXPECT_EQ(0, zlog_put_mdc(longKey.c_str(), longValue.c_str()));
    EXPECT_EQ(std::string(1024, 'v'), zlog_get_mdc(longKey.substr(0, 1024).c_str()));

    zlog_remove_mdc("user");
    EXPECT_EQ(nullptr, zlog_get_mdc("user"));
    zlog_info(cat, "x");
    EXPECT_EQ(0, zlog_put_mdc("user", "dave"));
    zlog_clean_mdc();
    EXPECT_EQ(nullptr, zlog_get_mdc("user"));
    EXPECT_EQ(nullptr, zlog_get_mdc(longKey.c_str()));
    EXPECT_EQ("[alice][]\n[bob][]\n[][]\n[carol][]\n[][]\n", testutil::ReadFileOrEmpty(log));
}

TEST_F(FormatTest, MdcSurvivesReloadButNotFini)
{
    const std::string log = Init("%M(k)%n");
    EXPECT_EQ(0, zlog_put_mdc("k", "v"));
    EXPECT_EQ(0, zlog_reload(nullptr));
    EXPECT_STREQ("v", zlog_get_mdc("k"));
    zlog_fini();
    Init("%M(k)%n");
    EXPECT_EQ(nullptr, zlog_get_mdc("k"));
}

TEST_F(FormatTest, DefaultCategory)
{
    const std::string conf = logtest::WriteDirConf(
        m_dir, "d.conf",
        "[global]\nrotate lock file = $D/zlog.lock\n[formats]\nf = \"%c %m%n\"\n[rules]\n*.* \"$D/d.log\"; f\n");
    EXPECT_EQ(-1, dzlog_set_category("early"));
    ASSERT_EQ(0, zlog_init(conf.c_str()));
    dzlog_info("dropped: no default category yet");
    ASSERT_EQ(0, dzlog_set_category("first"));
    dzlog_info("one %d", 1);
    hdzlog_info("ab", 2);
    zlog_fini();
    ASSERT_EQ(0, dzlog_init(conf.c_str(), "second"));
    dzlog_error("two");
    EXPECT_EQ(-1, dzlog_init(conf.c_str(), "third"));
    const std::string text = testutil::ReadFileOrEmpty(m_dir.File("d.log"));
    EXPECT_EQ(0u, text.find("first one 1\nfirst \n "));
    EXPECT_NE(std::string::npos, text.find("\nsecond two\n"));
    EXPECT_EQ(std::string::npos, text.find("dropped"));
}

}  // namespace
