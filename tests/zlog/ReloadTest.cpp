// Reload (explicit and periodic) and logging from several threads at once.
#include "LogTestUtil.h"
#include "zlog.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using testutil::ScopedTempDir;

class ReloadTest : public ::testing::Test
{
protected:
    void TearDown() override { zlog_fini(); }

    // A configuration sending every event of every category to `log` as the bare message.
    std::string Conf(const std::string& name, const std::string& log, const std::string& global = "")
    {
        return logtest::WriteDirConf(m_dir, name,
                                     "[global]\nrotate lock file = $D/zlog.lock\n" + global +
                                         "[formats]\nf = \"%m%n\"\n[rules]\n*.* \"$D/" + log + "\"; f\n");
    }
    std::string Read(const std::string& name) const { return testutil::ReadFileOrEmpty(m_dir.File(name)); }

    bool HoldsOpen(const std::string& name) const
    {
        const std::string target = m_dir.File(name);
        DIR* fds = opendir("/proc/self/fd");
        bool found = false;
        while (const struct dirent* entry = readdir(fds)) {
            char link[PATH_MAX] = {0};
            const std::string fd = std::string("/proc/self/fd/") + entry->d_name;
            if (readlink(fd.c_str(), link, sizeof(link) - 1) > 0 && target == link)
                found = true;
        }
        closedir(fds);
        return found;
    }

    ScopedTempDir m_dir;
};

TEST_F(ReloadTest, ReloadBeforeInitDoesNothing)
{
    EXPECT_EQ(0, zlog_reload(nullptr));
    EXPECT_EQ(0, zlog_reload(Conf("a.conf", "a.log").c_str()));
    EXPECT_FALSE(testutil::FileExists(m_dir.File("a.log")));
    EXPECT_EQ(nullptr, zlog_get_category("c"));
}

TEST_F(ReloadTest, ReloadSwitchesRulesKeepsCategoriesAndClosesOldFiles)
{
    const std::string confA = Conf("a.conf", "a.log");
    ASSERT_EQ(0, zlog_init(confA.c_str()));
    zlog_category_t* cat = zlog_get_category("c");
    zlog_info(cat, "a1");
    EXPECT_TRUE(HoldsOpen("a.log"));

    ASSERT_EQ(0, zlog_reload(Conf("b.conf", "b.log").c_str()));
    EXPECT_EQ(cat, zlog_get_category("c"));
    zlog_info(cat, "b1");
    EXPECT_FALSE(HoldsOpen("a.log"));

    // A null path reads the current file again, with what it holds now.
    Conf("b.conf", "c.log");
    ASSERT_EQ(0, zlog_reload(nullptr));
    zlog_info(cat, "c1");
    EXPECT_EQ("a1\n", Read("a.log"));
    EXPECT_EQ("b1\n", Read("b.log"));
    EXPECT_EQ("c1\n", Read("c.log"));
}

TEST_F(ReloadTest, FailedReloadKeepsTheOldConfiguration)
{
    const std::string conf = Conf("a.conf", "a.log");
    ASSERT_EQ(0, zlog_init(conf.c_str()));
    zlog_category_t* cat = zlog_get_category("c");

    const std::string bad = logtest::WriteDirConf(m_dir, "bad.conf", "[rules]\nc.* >nowhere\n");
    const std::string writable = Conf("writable.conf", "w.log");
    chmod(writable.c_str(), 0666);
    const std::string missing = m_dir.File("missing.conf");
    for (const std::string& path : {bad, writable, missing}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(-1, zlog_reload(path.c_str()));
        zlog_info(cat, "still a");
    }
    // The current file turned bad on disk: reloading it fails as well.
    logtest::WriteDirConf(m_dir, "a.conf", "[rules]\nc.* \"$D/x.log\"; nosuchformat\n");
    EXPECT_EQ(-1, zlog_reload(nullptr));
    zlog_info(cat, "still a");
    EXPECT_EQ("still a\nstill a\nstill a\nstill a\n", Read("a.log"));
    EXPECT_FALSE(testutil::FileExists(m_dir.File("w.log")));
    EXPECT_FALSE(testutil::FileExists(m_dir.File("x.log")));
}

TEST_F(ReloadTest, PeriodicReloadAfterPeriodPlusOneEvents)
{
    const std::string conf = Conf("a.conf", "a.log", "reload conf period = 3\n");
    ASSERT_EQ(0, zlog_init(conf.c_str()));
    zlog_category_t* cat = zlog_get_category("c");
    Conf("a.conf", "b.log", "reload conf period = 3\n");
    for (int i = 1; i <= 6; ++i)
        zlog_info(cat, "%d", i);
    EXPECT_EQ("1\n2\n3\n4\n", Read("a.log"));
    EXPECT_EQ("5\n6\n", Read("b.log"));

    // A periodic reload that fails keeps the configuration and tries again a period later.
    logtest::WriteDirConf(m_dir, "a.conf", "[bogus]\n");
    for (int i = 7; i <= 12; ++i)
        zlog_info(cat, "%d", i);
    EXPECT_EQ("5\n6\n7\n8\n9\n10\n11\n12\n", Read("b.log"));
}

// Each line: "<thread> <sequence> " and a payload whose length and letter both derive from the two.
std::string PayloadLine(int thread, int sequence)
{
    return std::to_string(thread) + " " + std::to_string(sequence) + " " +
           std::string(static_cast<size_t>(1 + (sequence * 37) % 3000), static_cast<char>('a' + thread));
}

// Every expected line appears once and whole.
void ExpectAllLines(const std::string& text, int threads, int perThread)
{
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : logtest::Lines(text)) {
        int thread = -1;
        int sequence = -1;
        ASSERT_EQ(2, sscanf(line.c_str(), "%d %d", &thread, &sequence)) << line.substr(0, 80);
        ASSERT_EQ(PayloadLine(thread, sequence), line) << "line broken or interleaved";
        EXPECT_TRUE(seen.insert({thread, sequence}).second) << "line written twice";
    }
    EXPECT_EQ(static_cast<size_t>(threads * perThread), seen.size());
}

TEST_F(ReloadTest, ConcurrentLoggingLosesAndInterleavesNoLine)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    ASSERT_EQ(0, zlog_init(Conf("a.conf", "a.log").c_str()));
    zlog_category_t* cat = zlog_get_category("c");
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < kLines; ++i)
                zlog_info(cat, "%s", PayloadLine(t, i).c_str());
        });
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    ExpectAllLines(Read("a.log"), kThreads, kLines);
}

TEST_F(ReloadTest, ReloadWhileThreadsLogLosesNoLine)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    const std::string confA = Conf("a.conf", "a.log");
    const std::string confB = Conf("b.conf", "b.log");
    ASSERT_EQ(0, zlog_init(confA.c_str()));
    zlog_category_t* cat = zlog_get_category("c");
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                zlog_info(cat, "%s", PayloadLine(t, i).c_str());
            ++finished;
        });
    int reloads = 0;
    while (finished.load() < kThreads || reloads < 10) {
        ASSERT_EQ(0, zlog_reload((reloads % 2 ? confA : confB).c_str()));
        ++reloads;
    }
    for (std::thread& thread : threads)
        thread.join();
    ExpectAllLines(Read("a.log") + Read("b.log"), kThreads, kLines);
}

// A category handle read before zlog_fini may still be used by a thread that races the shutdown:
// the engine must never read a freed category through it, after fini or after the next init.
TEST_F(ReloadTest, HandleKeptAcrossFiniReadsNoFreedMemory)
{
    ASSERT_EQ(0, zlog_init(Conf("a.conf", "a.log").c_str()));
    zlog_category_t* stale = zlog_get_category("c");
    zlog_info(stale, "before");
    zlog_fini();
    zlog_info(stale, "after fini");
    hzlog_info(stale, "ab", 2);
    EXPECT_EQ("before\n", Read("a.log"));

    ASSERT_EQ(0, zlog_init(Conf("b.conf", "b.log").c_str()));
    zlog_info(stale, "stale handle, new configuration");
    zlog_info(zlog_get_category("c"), "fresh handle");
    EXPECT_EQ("before\n", Read("a.log"));
    const std::vector<std::string> lines = logtest::Lines(Read("b.log"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("fresh handle", lines.back());
}

}  // namespace
