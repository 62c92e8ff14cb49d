// The memory log (">memlog:" rules, qova_log_init_memory_log) and the thread-key bookkeeping.
#include "LogTestUtil.h"
#include "QovaResult.h"
#include "engine/Thread.h"
#include "qova_zlog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using testutil::ScopedTempDir;

class MemoryLogTest : public ::testing::Test
{
protected:
    // The pages outlive every configuration of the process: start each test with them empty.
    void SetUp() override
    {
        ASSERT_EQ(0, zlog_init_memory_log("ERROR", m_dir.File("scratch/pages.log").c_str()));
        zlog_error(zlog_get_category("qova_category"), "empties the pages");
        zlog_fini();
    }
    void TearDown() override { qova_log_fini(); }

    // Initialises from a file whose one rule sends category "c" to the memory log as bare messages.
    void InitBare()
    {
        ASSERT_EQ(0, zlog_init(logtest::WriteDirConf(m_dir, "mem.conf",
                                                     "[global]\nrotate lock file = $D/zlog.lock\n[formats]\n"
                                                     "f = \"%m%n\"\n[rules]\nc.* >memlog:$D/mem.log; f\n")
                                   .c_str()));
    }
    std::string Read() const { return testutil::ReadFileOrEmpty(m_path); }
    // The messages of the default-format lines in the file.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> messages;
        for (const std::string& line : logtest::Lines(Read()))
            messages.push_back(line.substr(line.find("] ") + 2));
        return messages;
    }

    ScopedTempDir m_dir;
    std::string m_path = m_dir.File("x/y/mem.log");
};

TEST_F(MemoryLogTest, InitCreatesTheDirectoriesAndEmptiesTheFile)
{
    ASSERT_EQ(QOVA_OK, qova_log_init_memory_log(3, m_path.c_str()));
    struct stat st;
    EXPECT_EQ(0, stat(m_dir.File("x/y").c_str(), &st));
    TRACE(3, "info alone never touches the file");
    EXPECT_FALSE(testutil::FileExists(m_path));
    qova_log_fini();

    ASSERT_TRUE(testutil::WriteFile(m_path, "from an earlier run\n"));
    ASSERT_EQ(QOVA_OK, qova_log_init_memory_log(3, m_path.c_str()));
    EXPECT_TRUE(testutil::FileExists(m_path));
    EXPECT_EQ("", Read());
}

TEST_F(MemoryLogTest, OnlyErrorFlushesWhatWasKept)
{
    ASSERT_EQ(QOVA_OK, qova_log_init_memory_log(9, m_path.c_str()));  // 9: INFO
    const struct
    {
        unsigned int level;
        const char* text;
        std::vector<std::string> file;  // messages in the file afterwards
    } steps[] = {
        {3, "i1", {}},
        {4, "debug is below the rule", {}},
        {2, "w1", {}},
        {1, "e1", {"i1", "w1", "e1"}},
        {3, "i2", {"i1", "w1", "e1"}},
        {0, "fatal does not flush", {"i1", "w1", "e1"}},
        {1, "e2", {"i1", "w1", "e1", "i2", "fatal does not flush", "e2"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.text);
        TRACE(step.level, "%s", step.text);
        EXPECT_EQ(step.file, Messages());
    }
    qova_log_fini();
    EXPECT_EQ(QOVA_LOG_E_INIT, qova_log_init_memory_log(3, ""));
    EXPECT_EQ(QOVA_LOG_E_INIT, qova_log_init_memory_log(3, nullptr));
    EXPECT_FALSE(QovaLogEnabled());
}

// 1024-byte lines: 32 of them fill a page exactly.
std::string Numbered(int first, int last)
{
    std::string text;
    for (int i = first; i <= last; ++i) {
        char head[8];
        snprintf(head, sizeof(head), "%04d", i);
        text += head + std::string(1019, 'm') + "\n";
    }
    return text;
}

TEST_F(MemoryLogTest, PagesTurnOverAndOversizedLinesKeepTheirEnd)
{
    InitBare();
    zlog_category_t* cat = zlog_get_category("c");
    m_path = m_dir.File("mem.log");
    auto logLines = [&](int first, int last) {
        for (const std::string& line : logtest::Lines(Numbered(first, last)))
            zlog_info(cat, "%s", line.c_str());
    };
    logLines(0, 32);  // the 33rd line starts a new page: the full one stays as the previous page
    zlog_error(cat, "e1");
    EXPECT_EQ(Numbered(0, 32) + "e1\n", Read());

    logLines(100, 164);  // two page turns: the oldest page is gone
    zlog_error(cat, "e2");
    EXPECT_EQ(Numbered(0, 32) + "e1\n" + Numbered(132, 164) + "e2\n", Read());

    const std::string huge = std::string(8000, 'a') + std::string(32000, 'z');
    zlog_info(cat, "%s", huge.c_str());
    zlog_error(cat, "e3");
    const std::string text = Read();
    EXPECT_EQ(std::string(767, 'a') + std::string(32000, 'z') + "\ne3\n", text.substr(text.find("e2\n") + 3));
}

TEST_F(MemoryLogTest, ReloadRebuildsFromTheKeptRuleAndEmptiesTheFile)
{
    ASSERT_EQ(QOVA_OK, qova_log_init_memory_log(3, m_path.c_str()));
    TRACE(1, "e1");
    ASSERT_EQ(std::vector<std::string>{"e1"}, Messages());
    ASSERT_EQ(0, zlog_reload(nullptr));
    EXPECT_EQ("", Read());
    TRACE(3, "i");
    EXPECT_EQ("", Read());
    TRACE(1, "e2");
    EXPECT_EQ((std::vector<std::string>{"i", "e2"}), Messages());
}

// A comma ends a memory log's path as it ends every output's: what follows is option text, which a
// memory log ignores. Neither the rule nor the wrapper's path may be refused for it, nor log into a
// file named with the comma.
TEST_F(MemoryLogTest, ACommaEndsThePathAndItsOptionsAreIgnored)
{
    const struct
    {
        const char* name;
        const char* dir;
        std::function<bool()> init;
        std::function<void()> error;
    } cases[] = {
        {"rule of a configuration file", "a",
         [&] {
             return 0 == zlog_init(logtest::WriteDirConf(m_dir, "comma.conf",
                                                         "[global]\nrotate lock file = $D/zlog.lock\n[rules]\n"
                                                         "c.* >memlog:$D/a/mem.log , 1MB * 3\n")
                                       .c_str());
         },
         [] { zlog_error(zlog_get_category("c"), "e"); }},
        {"path given to qova_log_init_memory_log", "b",
         [&] { return QOVA_OK == qova_log_init_memory_log(3, m_dir.File("b/mem.log,1MB").c_str()); },
         [] { TRACE(1, "e"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.init());
        c.error();
        qova_log_fini();
        std::string listing;
        testutil::RunCommand("ls -A " + testutil::ShellQuote(m_dir.File(c.dir)), &listing);
        EXPECT_EQ("mem.log\n", listing);
        m_path = m_dir.File(std::string(c.dir) + "/mem.log");
        EXPECT_EQ(std::vector<std::string>{"e"}, Messages());
    }
}

// A failed memory-log initialisation must not leave its rule behind: the next initialisation with
// other arguments, or a reload after a file-based one, would otherwise pick up the stale rule.
TEST_F(MemoryLogTest, FailedInitKeepsNoStaleRule)
{
    const std::string bad = m_dir.File("bad.log;nosuchformat");
    EXPECT_EQ(QOVA_LOG_E_INIT, qova_log_init_memory_log(3, bad.c_str()));
    ASSERT_EQ(QOVA_OK, qova_log_init_memory_log(3, m_path.c_str()));
    TRACE(1, "new arguments");
    EXPECT_EQ(std::vector<std::string>{"new arguments"}, Messages());
    qova_log_fini();

    EXPECT_EQ(-1, zlog_init_memory_log("INFO", bad.c_str()));
    ASSERT_EQ(0, zlog_init(logtest::WriteDirConf(m_dir, "file.conf",
                                                 "[global]\nrotate lock file = $D/zlog.lock\n[formats]\nf = \"%m%n\"\n"
                                                 "[rules]\nc.* \"$D/file.log\"; f\n")
                               .c_str()));
    ASSERT_EQ(0, zlog_reload(nullptr));
    zlog_info(zlog_get_category("c"), "from the file's rule");
    EXPECT_EQ("from the file's rule\n", testutil::ReadFileOrEmpty(m_dir.File("file.log")));
}

// The memory-log file is emptied at every build and appended to on ERROR, typically in /tmp: a
// link planted at its path must not make the host empty or write another of the user's files.
TEST_F(MemoryLogTest, PlantedFileIsNeitherEmptiedNorWritten)
{
    const std::string victim = m_dir.File("victim");
    const std::string kVictimText = "the user's own file\n";
    ASSERT_TRUE(testutil::WriteFile(victim, kVictimText));
    ASSERT_EQ(0, mkdir(m_dir.File("x").c_str(), 0755));
    ASSERT_EQ(0, mkdir(m_dir.File("x/y").c_str(), 0755));
    for (bool fifo : {false, true}) {
        ASSERT_EQ(0, fifo ? mkfifo(m_path.c_str(), 0600) : symlink(victim.c_str(), m_path.c_str()));
        EXPECT_EQ(QOVA_LOG_E_INIT, qova_log_init_memory_log(3, m_path.c_str()));
        unlink(m_path.c_str());
    }
    EXPECT_EQ(kVictimText, testutil::ReadFileOrEmpty(victim));

    // Planted after initialisation: the flush is refused, and nothing kept is lost.
    ASSERT_EQ(QOVA_OK, qova_log_init_memory_log(3, m_path.c_str()));
    ASSERT_EQ(0, symlink(victim.c_str(), m_path.c_str()));
    TRACE(1, "e1");
    EXPECT_EQ(kVictimText, testutil::ReadFileOrEmpty(victim));
    unlink(m_path.c_str());
    TRACE(1, "e2");
    EXPECT_EQ((std::vector<std::string>{"e1", "e2"}), Messages());
}

TEST_F(MemoryLogTest, ThreadThatExitsLowersTheCountAndTheKeyIsMadeAgain)
{
    InitBare();
    zlog_category_t* cat = zlog_get_category("c");
    zlogc::zlog_clean_rest_thread();  // this thread gives up its record, as at process exit
    ASSERT_EQ(0, zlogc::InspectThreadKey().bufferCount);
    for (const char* text : {"first", "second"}) {
        zlogc::ThreadKeyState during = {};
        std::thread([&] {
            zlog_error(cat, "%s", text);
            during = zlogc::InspectThreadKey();
        }).join();
        EXPECT_TRUE(during.keyExists);
        EXPECT_EQ(1, during.bufferCount);
        const zlogc::ThreadKeyState after = zlogc::InspectThreadKey();
        EXPECT_FALSE(after.keyExists);
        EXPECT_EQ(0, after.bufferCount);
    }
    EXPECT_EQ("first\nsecond\n", testutil::ReadFileOrEmpty(m_dir.File("mem.log")));
}

// Eight threads at a time log and end while another logs errors. Tickets keep the volume between
// two ERROR events to about 12 KB (a line that took its ticket before an error may land after it,
// so 24 KB at worst, under a page): then every line must reach the file, whole.
TEST_F(MemoryLogTest, ThreadsComingAndGoingLoseNoLineBetweenErrors)
{
    constexpr int kSlots = 8;
    constexpr int kThreadsPerSlot = 20;
    constexpr int kLinesPerThread = 25;
    constexpr int kTicketsPerError = 150;  // lines of at most 80 bytes
    InitBare();
    zlog_category_t* cat = zlog_get_category("c");
    const int countBefore = zlogc::InspectThreadKey().bufferCount;
    auto line = [](int slot, int thread, int i) {
        const int n = (slot * 7 + thread * 3 + i) % 60;
        return "w " + std::to_string(slot) + " " + std::to_string(thread) + " " + std::to_string(i) + " " +
               std::string(static_cast<size_t>(10 + n), static_cast<char>('a' + n % 26));
    };

    std::atomic<int> tickets{kTicketsPerError};
    std::atomic<bool> workersDone{false};
    std::thread errors([&] {
        for (int n = 0;; ++n) {
            bool done = false;
            while (!(done = workersDone.load()) && tickets.load() > 0)
                std::this_thread::yield();
            zlog_error(cat, "E %d", n);
            if (done)
                return;
            tickets.store(kTicketsPerError);
        }
    });
    std::vector<std::thread> slots;
    for (int slot = 0; slot < kSlots; ++slot)
        slots.emplace_back([&, slot] {
            for (int t = 0; t < kThreadsPerSlot; ++t)
                std::thread([&, slot, t] {
                    for (int i = 0; i < kLinesPerThread; ++i) {
                        int left = tickets.load();
                        while (left <= 0 || !tickets.compare_exchange_weak(left, left - 1)) {
                            std::this_thread::yield();
                            left = tickets.load();
                        }
                        zlog_info(cat, "%s", line(slot, t, i).c_str());
                    }
                }).join();
        });
    for (std::thread& slot : slots)
        slot.join();
    workersDone = true;
    errors.join();

    std::set<std::string> expected;
    for (int slot = 0; slot < kSlots; ++slot)
        for (int t = 0; t < kThreadsPerSlot; ++t)
            for (int i = 0; i < kLinesPerThread; ++i)
                expected.insert(line(slot, t, i));
    int nextError = 0;
    for (const std::string& got : logtest::Lines(testutil::ReadFileOrEmpty(m_dir.File("mem.log")))) {
        if (got.rfind("E ", 0) == 0) {
            ASSERT_EQ("E " + std::to_string(nextError++), got);
            continue;
        }
        ASSERT_EQ(1u, expected.erase(got)) << "torn, repeated or unknown line: " << got.substr(0, 80);
    }
    EXPECT_TRUE(expected.empty()) << expected.size() << " lines lost";
    EXPECT_GT(nextError, 1);
    EXPECT_EQ(countBefore, zlogc::InspectThreadKey().bufferCount);
}

}  // namespace
