// Rules: category matching, rule order, and the outputs (files, rotation, standard streams, pipes).
#include "LogTestUtil.h"
#include "zlog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

using testutil::ScopedTempDir;

const char kHead[] = "[global]\nrotate lock file = $D/zlog.lock\n";

class RuleTest : public ::testing::Test
{
protected:
    void TearDown() override { zlog_fini(); }

    void Init(const std::string& text)
    {
        ASSERT_EQ(0, zlog_init(logtest::WriteDirConf(m_dir, "zlog.conf", text).c_str()));
    }
    std::string Read(const std::string& name) const { return testutil::ReadFileOrEmpty(m_dir.File(name)); }
    bool Exists(const std::string& name) const { return testutil::FileExists(m_dir.File(name)); }

    ScopedTempDir m_dir;
};

TEST_F(RuleTest, CategoriesMatchExactlyByPrefixOrAsUnmatched)
{
    Init(std::string(kHead) +
         "[formats]\nf = \"%c%n\"\n[rules]\n"
         "qova_.*          \"$D/prefix.log\"; f\n"
         "qova_category.*  \"$D/exact.log\"; f\n"
         "!.*              \"$D/first-unmatched.log\"; f\n"
         "!.*              \"$D/unmatched.log\"; f\n");
    for (const char* name : {"qova", "qova_x", "qova_category", "qovax", "QOVA_CATEGORY", "other"})
        zlog_info(zlog_get_category(name), "x");
    EXPECT_EQ("qova\nqova_x\nqova_category\n", Read("prefix.log"));
    EXPECT_EQ("qova_category\n", Read("exact.log"));
    EXPECT_EQ("qovax\nQOVA_CATEGORY\nother\n", Read("unmatched.log"));  // only the last '!' rule serves
    EXPECT_EQ("", Read("first-unmatched.log"));
    EXPECT_EQ(zlog_get_category("qova"), zlog_get_category("qova"));
}

TEST_F(RuleTest, StarRuleLeavesNothingUnmatched)
{
    Init(std::string(kHead) +
         "[formats]\nf = \"%c%n\"\n[rules]\n*.* \"$D/all.log\"; f\n!.* \"$D/unmatched.log\"; f\n");
    zlog_info(zlog_get_category("anything"), "x");
    EXPECT_EQ("anything\n", Read("all.log"));
    EXPECT_EQ("", Read("unmatched.log"));
}

TEST_F(RuleTest, EveryMatchingRuleWritesInFileOrder)
{
    Init(std::string(kHead) +
         "[formats]\na = \"A %m%n\"\nb = \"B %m%n\"\n[rules]\n"
         "c.*     \"$D/a.log\"; a\nc.ERROR \"$D/a.log\"; b\nc.*     \"$D/a.log\"; b\n");
    zlog_category_t* cat = zlog_get_category("c");
    zlog_info(cat, "info");
    zlog_error(cat, "error");
    EXPECT_EQ("A info\nB info\nA error\nB error\nB error\n", Read("a.log"));
}

TEST_F(RuleTest, DefaultFormatLine)
{
    Init(std::string(kHead) + "[rules]\nc.INFO \"$D/a.log\"\n");
    const time_t before = time(nullptr);
    const int line = __LINE__ + 1;
    zlog_info(zlog_get_category("c"), "hello %d", 42);
    const time_t after = time(nullptr);

    const std::string text = Read("a.log");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        text, match, std::regex(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) INFO \[(\d+):tests/zlog/RuleTest\.cpp:(\d+)\] hello 42\n)")))
        << text;
    EXPECT_EQ(std::to_string(getpid()), match[2].str());
    EXPECT_EQ(std::to_string(line), match[3].str());
    struct tm stamp = {};
    ASSERT_NE(nullptr, strptime(match[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &stamp));
    stamp.tm_isdst = -1;
    const time_t logged = mktime(&stamp);
    EXPECT_LE(before, logged);
    EXPECT_GE(after, logged);
}

TEST_F(RuleTest, StaticFilesExistAfterInitWithTheirPermissions)
{
    const mode_t previous = umask(022);
    Init(std::string(kHead) + "file perms = 640\n[rules]\nc.* \"$D/x/y/z.log\"\n");
    zlog_fini();
    Init(std::string(kHead) + "[rules]\nc.* \"$D/default.log\"\n");
    umask(previous);
    struct stat st;
    ASSERT_EQ(0, stat(m_dir.File("x/y/z.log").c_str(), &st));  // missing directories are created
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(0u, st.st_size);
    ASSERT_EQ(0, stat(m_dir.File("default.log").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(RuleTest, PathsWithSpecifiersAreBuiltPerEvent)
{
    setenv("ZLOG_RULE_TEST_DIR", m_dir.Path().c_str(), 1);
    Init(std::string(kHead) +
         "[formats]\nf = \"%m%n\"\n[rules]\n"
         "*.* \"$D/%c/%V.log\"; f\n"
         "*.* \"%E(ZLOG_RULE_TEST_DIR)/env.log\"; f\n");
    EXPECT_TRUE(Exists("env.log"));  // %E only: a fixed path, opened at load
    EXPECT_FALSE(Exists("one"));     // nothing built before the first event
    zlog_info(zlog_get_category("one"), "i");
    zlog_error(zlog_get_category("one"), "e");
    zlog_info(zlog_get_category("two"), "t");
    EXPECT_EQ("i\n", Read("one/INFO.log"));
    EXPECT_EQ("e\n", Read("one/ERROR.log"));
    EXPECT_EQ("t\n", Read("two/INFO.log"));
    EXPECT_EQ("i\ne\nt\n", Read("env.log"));
}

TEST_F(RuleTest, StandardStreams)
{
    Init(std::string(kHead) +
         "[formats]\nf = \"%V %m%n\"\n[rules]\nc.=INFO >stdout; f\nc.ERROR >stderr; f\nc.* -\"$D/sync.log\"; f\n");
    zlog_category_t* cat = zlog_get_category("c");
    logtest::CapturedFd out(1, m_dir.File("stdout"));
    logtest::CapturedFd err(2, m_dir.File("stderr"));
    zlog_info(cat, "to out");
    zlog_error(cat, "to err");
    zlog_fatal(cat, "also err");
    EXPECT_EQ("INFO to out\n", out.Stop());
    EXPECT_EQ("ERROR to err\nFATAL also err\n", err.Stop());
    EXPECT_EQ("INFO to out\nERROR to err\nFATAL also err\n", Read("sync.log"));
}

// 30-byte lines into a 100-byte file: every third line fills it and it rotates.
void LogNumbered(zlog_category_t* cat, int count)
{
    for (int i = 0; i < count; ++i)
        zlog_info(cat, "%029d", i);
}

std::string Numbered(int first, int last)
{
    std::string text;
    char line[32];
    for (int i = first; i <= last; ++i) {
        snprintf(line, sizeof(line), "%029d\n", i);
        text += line;
    }
    return text;
}

TEST_F(RuleTest, RollingRotationKeepsCountArchivesNewestFirst)
{
    Init(std::string(kHead) + "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$D/r.log\", 100 * 3; f\n");
    LogNumbered(zlog_get_category("c"), 16);
    EXPECT_EQ(Numbered(15, 15), Read("r.log"));
    EXPECT_EQ(Numbered(12, 14), Read("r.log.0"));
    EXPECT_EQ(Numbered(9, 11), Read("r.log.1"));
    EXPECT_EQ(Numbered(6, 8), Read("r.log.2"));
    EXPECT_FALSE(Exists("r.log.3"));
}

TEST_F(RuleTest, SequenceRotationNumbersArchivesUpwards)
{
    Init(std::string(kHead) + "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$D/s.log\", 100 * 2 ~ \"$D/old/%c.#2s.log\"; f\n");
    LogNumbered(zlog_get_category("c"), 15);
    EXPECT_FALSE(Exists("old/c.00.log"));  // the archive directory was created; the oldest beyond the count are trimmed
    EXPECT_FALSE(Exists("old/c.01.log"));
    EXPECT_EQ(Numbered(6, 8), Read("old/c.02.log"));
    EXPECT_EQ(Numbered(9, 11), Read("old/c.03.log"));
    EXPECT_EQ(Numbered(12, 14), Read("old/c.04.log"));
    EXPECT_FALSE(Exists("s.log"));
}

TEST_F(RuleTest, LineLargerThanTheRotationSizeDoesNotRotate)
{
    Init(std::string(kHead) + "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$D/r.log\", 100; f\n");
    const std::string big(150, 'b');
    zlog_info(zlog_get_category("c"), "%s", big.c_str());
    EXPECT_EQ(big + "\n", Read("r.log"));
    EXPECT_FALSE(Exists("r.log.0"));
}

TEST_F(RuleTest, PipeOutputReachesTheCommandAndClosesAtFini)
{
    Init(std::string(kHead) + "[formats]\nf = \"%m%n\"\n[rules]\nc.* | cat >> '$D/pipe.log'; f\n");
    zlog_category_t* cat = zlog_get_category("c");
    zlog_info(cat, "one");
    zlog_info(cat, "two");
    zlog_fini();  // waits for the command
    EXPECT_EQ("one\ntwo\n", Read("pipe.log"));
}

// A command that exits without reading must not take the logging process down with SIGPIPE.
TEST_F(RuleTest, PipeToAnExitedCommandDoesNotKillTheProcess)
{
    Init(std::string(kHead) +
         "[formats]\nf = \"%m%n\"\n[rules]\nc.* | true; f\nc.* \"$D/after.log\"; f\n");
    zlog_category_t* cat = zlog_get_category("c");
    const std::string line(1000, 'p');
    for (int i = 0; i < 200; ++i)  // more than a pipe buffer: the writes must meet the closed end
        zlog_info(cat, "%s", line.c_str());
    zlog_info(cat, "still alive");
    const std::vector<std::string> lines = logtest::Lines(Read("after.log"));
    ASSERT_EQ(201u, lines.size());
    EXPECT_EQ("still alive", lines.back());
}

// A rule that writes into a shared directory such as /tmp: another local user may plant the log
// path as a link to one of the user's own files (a shell start-up file), a FIFO, or a file of
// their own. The host must never append its lines (request texts among them) to such a file.
TEST_F(RuleTest, LogPathsPlantedAsLinksOrForeignFilesAreNotWritten)
{
    const bool root = 0 == geteuid();
    const std::string victim = m_dir.File("victim");
    const std::string kVictimText = "# the user's shell start-up file\n";
    struct Plant
    {
        const char* name;
        bool needsRoot;
        std::function<void(const std::string&)> make;
    };
    const Plant plants[] = {
        {"symbolic link to the user's file", false,
         [&](const std::string& at) { ASSERT_EQ(0, symlink(victim.c_str(), at.c_str())); }},
        {"dangling symbolic link", false,
         [&](const std::string& at) { ASSERT_EQ(0, symlink(m_dir.File("created-through-link").c_str(), at.c_str())); }},
        {"hard link to the user's file", false,
         [&](const std::string& at) { ASSERT_EQ(0, link(victim.c_str(), at.c_str())); }},
        {"FIFO", false, [&](const std::string& at) { ASSERT_EQ(0, mkfifo(at.c_str(), 0666)); }},
        {"file of another user", true,
         [&](const std::string& at) {
             ASSERT_TRUE(testutil::WriteFile(at, ""));
             ASSERT_EQ(0, chown(at.c_str(), 65534, 65534));
         }},
    };
    struct Kind
    {
        const char* name;
        const char* rule;
        const char* planted;
        bool failsAtInit;  // a fixed file is opened at load
    };
    const Kind kinds[] = {
        {"fixed path", "c.* \"$D/fixed.log\"; f\n", "fixed.log", true},
        {"path built per event", "c.* \"$D/%c.log\"; f\n", "c.log", false},
        {"fixed path with rotation", "c.* \"$D/rot.log\", 1MB; f\n", "rot.log", false},
    };
    for (const Plant& plant : plants) {
        for (const Kind& kind : kinds) {
            SCOPED_TRACE(std::string(plant.name) + ", " + kind.name);
            if (plant.needsRoot && !root)
                continue;
            ASSERT_TRUE(testutil::WriteFile(victim, kVictimText));
            const std::string at = m_dir.File(kind.planted);
            unlink(at.c_str());
            plant.make(at);
            const std::string conf =
                logtest::WriteDirConf(m_dir, "zlog.conf", std::string(kHead) + "[formats]\nf = \"%m%n\"\n[rules]\n" + kind.rule);
            EXPECT_EQ(kind.failsAtInit ? -1 : 0, zlog_init(conf.c_str()));
            zlog_info(zlog_get_category("c"), "request text from a web page");
            zlog_fini();
            EXPECT_EQ(kVictimText, Read("victim"));
            EXPECT_FALSE(Exists("created-through-link"));
            if (plant.needsRoot) {
                EXPECT_EQ("", Read(kind.planted));
            }
            unlink(at.c_str());
        }
    }
}

}  // namespace
