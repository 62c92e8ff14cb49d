// The host program as a browser runs it: start-up from the command line, the conversation over
// pipes, the end of the conversation and the shutdown, seen from outside the process.
#include "HostProcess.h"
#include "LogTestUtil.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <string>
#include <vector>

namespace {

using hostproc::Frame;
using hostproc::Pipe;
using namespace std::string_literals;

const std::string kVersionAnswer = R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6"})";
const std::string kGetVersion = R"({"function":"GetVersion","params":[]})";
const std::string kDisconnect("\0\0\0\0", 4);

// A host run with its own log and an English locale; the trace lines end in "<end>".
class HostProcessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_conf = logtest::WriteDirConf(m_dir, "host.conf",
                                       "[global]\nrotate lock file = $D/zlog.lock\n[formats]\nrecord = \"%V "
                                       "%m<end>%n\"\n[rules]\nqova_category.DEBUG \"$D/host.log\"; record\n");
    }

    hostproc::SpawnOptions Options(std::vector<std::string> args, std::vector<std::pair<int, int>> fds)
    {
        hostproc::SpawnOptions options;
        options.args = std::move(args);
        options.fds = std::move(fds);
        options.env = {"QOVA_LOG_CONF_PATH=" + m_conf, "LANG=C", "PLATFORM_DIALOG_BACKEND=none"};
        options.unsetEnv = {"LC_ALL", "LC_MESSAGES"};
        return options;
    }

    // The host's trace lines, when its log is the test's (a trusted fixed configuration file on
    // the machine would take precedence).
    bool LogIsOurs() const { return !testutil::FileExists("/tmp/VarnellHost.ZEPH.conf"); }
    std::vector<std::string> LogRecords() const
    {
        std::vector<std::string> records;
        const std::string text = testutil::ReadFileOrEmpty(m_dir.File("host.log"));
        size_t from = 0;
        for (size_t end; std::string::npos != (end = text.find("<end>\n", from)); from = end + 6)
            records.push_back(text.substr(from, end - from));
        return records;
    }
    bool Logged(const std::string& part) const
    {
        for (const auto& r : LogRecords()) {
            if (std::string::npos != r.find(part))
                return true;
        }
        return false;
    }

    testutil::ScopedTempDir m_dir;
    std::string m_conf;
};

// A pipe filled to its capacity: a child writing to it blocks until the test reads.
void Fill(const Pipe& pipe, std::string* filler)
{
    const int capacity = fcntl(pipe.WriteEnd(), F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    filler->assign(static_cast<size_t>(capacity), 'p');
    ASSERT_TRUE(hostproc::WriteAll(pipe.WriteEnd(), *filler));
}

TEST_F(HostProcessTest, DescriptorsComeFromTheFirstTwoArgumentsAndOnlyTheirOwnAreClosed)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> args;
        int readFd;
        int writeFd;
    };
    const Case kCases[] = {
        {"no arguments", {}, 0, 1},
        {"one argument, the caller's origin as a browser passes it", {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}, 0, 1},
        {"0 and 1", {"0", "1"}, 0, 1},
        {"5 and 6", {"5", "6"}, 5, 6},
        {"a third argument is ignored", {"5", "6", "7"}, 5, 6},
    };
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);  // a pipe without reader shows as EPIPE
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Pipe in, out, std_in, std_out;
        std::vector<std::pair<int, int>> fds = {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}};
        if (5 == c.readFd)
            fds.insert(fds.end(), {{in.ReadEnd(), 5}, {out.WriteEnd(), 6}});
        // With descriptors of its own, the host's standard output is full: its exit then waits for
        // the test, which so sees the state between the end of the conversation and the exit.
        std::string filler;
        if (1 != c.writeFd)
            Fill(std_out, &filler);
        const pid_t pid = hostproc::Spawn(hostproc::HostPath(), Options(c.args, fds));
        ASSERT_GT(pid, 0);
        std_in.CloseRead();
        std_out.CloseWrite();
        in.CloseRead();
        out.CloseWrite();
        const int toHost = 5 == c.readFd ? in.WriteEnd() : std_in.WriteEnd();
        const int fromHost = 6 == c.writeFd ? out.ReadEnd() : std_out.ReadEnd();

        std::string answer;
        ASSERT_TRUE(hostproc::WriteAll(toHost, Frame(kGetVersion)));
        ASSERT_TRUE(hostproc::ReadFrame(fromHost, &answer));
        EXPECT_EQ(kVersionAnswer, answer);
        ASSERT_TRUE(hostproc::WriteAll(toHost, kDisconnect));

        std::string rest;
        if (6 == c.writeFd) {
            // End of input on 6 while the host still lives: it closed 6 itself; and nobody reads 5.
            EXPECT_TRUE(hostproc::ReadToEnd(fromHost, &rest));
            EXPECT_EQ("", rest);
            EXPECT_TRUE(hostproc::IsRunning(pid));
            EXPECT_FALSE(hostproc::WriteAll(toHost, "x"));
            EXPECT_EQ(EPIPE, errno);
        }
        ASSERT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &rest));
        const int status = hostproc::WaitExit(pid);
        EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
        // Descriptor 1 stayed open to the end: the argument lines reach it at exit.
        EXPECT_EQ(filler + hostproc::ArgvLines(hostproc::HostPath(), c.args), rest);
    }
    sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(HostProcessTest, FirstFrameOfLengthZeroEndsTheConversationBeforeAnyRequest)
{
    Pipe std_in, std_out;
    const pid_t pid = hostproc::Spawn(hostproc::HostPath(),
                                      Options({}, {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}}));
    ASSERT_GT(pid, 0);
    std_out.CloseWrite();
    // The request behind the end marker must stay unread: the test keeps the read end to see it.
    ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), kDisconnect + Frame(kGetVersion)));
    std::string out;
    ASSERT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &out));
    const int status = hostproc::WaitExit(pid);
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    EXPECT_EQ(hostproc::ArgvLines(hostproc::HostPath(), {}), out);
    std_in.CloseWrite();
    std::string unread;
    ASSERT_TRUE(hostproc::ReadToEnd(std_in.ReadEnd(), &unread));
    EXPECT_EQ(Frame(kGetVersion), unread);
    if (LogIsOurs()) {
        EXPECT_TRUE(Logged("Extension has broken the connection."));
        EXPECT_FALSE(Logged("g_pszRequest"));
        EXPECT_TRUE(Logged("terminate app"));
    }
}

TEST_F(HostProcessTest, RequestsInOneStreamAreAnsweredInOrderEachBeforeTheNextIsRead)
{
    Pipe std_in, std_out;
    const pid_t pid = hostproc::Spawn(hostproc::HostPath(),
                                      Options({}, {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}}));
    ASSERT_GT(pid, 0);
    std_in.CloseRead();
    std_out.CloseWrite();
    // The third describes the second's code: it runs after the second has finished.
    ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(R"({"function":"GetVersion","params":[],"randomId":"1"})") +
                                                          Frame(R"({"function":"Nope","params":[],"randomId":"2"})") +
                                                          Frame(R"({"function":"GetLastErrorDesc","params":[],"randomId":"3"})")));
    std_in.CloseWrite();
    std::string a1, a2, a3, rest;
    ASSERT_TRUE(hostproc::ReadFrame(std_out.ReadEnd(), &a1));
    ASSERT_TRUE(hostproc::ReadFrame(std_out.ReadEnd(), &a2));
    ASSERT_TRUE(hostproc::ReadFrame(std_out.ReadEnd(), &a3));
    ASSERT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &rest));
    const int status = hostproc::WaitExit(pid);
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    EXPECT_EQ(R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6","randomId":"1"})", a1);
    EXPECT_EQ(R"({"function":"Nope", "errorcode":-2146893779, "result":false, "randomId":"2"})", a2);
    EXPECT_NE(std::string::npos, a3.find(R"("errorcode":0,"result":")")) << a3;
    EXPECT_NE(std::string::npos, a3.find(R"x((0xffffffff)","randomId":"3"})x")) << a3;
    EXPECT_EQ(hostproc::ArgvLines(hostproc::HostPath(), {}), rest);
    if (LogIsOurs()) {
        // Read, answer, read, answer: the worker's lines alternate.
        std::string order;
        for (const auto& r : LogRecords()) {
            if (0 == r.find("INFO g_pszRequest: "))
                order += 'R';
            else if (0 == r.find("INFO WriteToNativeMessaging(g_wfd): "))
                order += 'W';
        }
        EXPECT_EQ("RWRWRW", order);
    }
}

TEST_F(HostProcessTest, NonNumericArgumentsUseDescriptorZeroAndTheRetryOnOneCarriesTheAnswer)
{
    const std::vector<std::string> args = {"abc", "def"};
    Pipe std_in, std_out;
    const pid_t pid = hostproc::Spawn(hostproc::HostPath(),
                                      Options(args, {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}}));
    ASSERT_GT(pid, 0);
    std_in.CloseRead();
    std_out.CloseWrite();
    ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(kGetVersion) + kDisconnect));
    std::string answer, rest;
    ASSERT_TRUE(hostproc::ReadFrame(std_out.ReadEnd(), &answer));
    ASSERT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &rest));
    const int status = hostproc::WaitExit(pid);
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    EXPECT_EQ(kVersionAnswer, answer);
    EXPECT_EQ(hostproc::ArgvLines(hostproc::HostPath(), args), rest);
    if (LogIsOurs()) {
        EXPECT_TRUE(Logged("INFO WriteToNativeMessaging(g_wfd): 0xffffffff8"));  // the write to 0 failed
    }
}

// The argument lines go to standard output, which is the reply pipe: however long they are, not
// one byte of them may reach it before the conversation has ended.
TEST_F(HostProcessTest, ArgumentLinesOfAnyLengthReachTheReplyPipeOnlyAtExit)
{
    for (const size_t length : {size_t{8 * 1024}, size_t{100 * 1024}}) {  // one argument holds at most 128 KiB
        SCOPED_TRACE(length);
        const std::vector<std::string> args = {"chrome-extension://" + std::string(length, 'a') + "/"};
        Pipe std_in, std_out;
        const pid_t pid = hostproc::Spawn(hostproc::HostPath(),
                                          Options(args, {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}}));
        ASSERT_GT(pid, 0);
        std_in.CloseRead();
        std_out.CloseWrite();
        ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(kGetVersion)));
        std::string answer, rest;
        ASSERT_TRUE(hostproc::ReadFrame(std_out.ReadEnd(), &answer));
        EXPECT_EQ(kVersionAnswer, answer);
        std_in.CloseWrite();
        ASSERT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &rest));
        const int status = hostproc::WaitExit(pid);
        EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
        EXPECT_TRUE(hostproc::ArgvLines(hostproc::HostPath(), args) == rest);
    }
}

// A browser that has gone away leaves a pipe without reader: the write must fail and the host end
// in order, not die of SIGPIPE before its shutdown.
TEST_F(HostProcessTest, ReplyPipeWithoutReaderEndsTheConversationInOrderWithoutSigpipe)
{
    Pipe std_in, std_out;
    const pid_t pid = hostproc::Spawn(hostproc::HostPath(),
                                      Options({}, {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}}));
    ASSERT_GT(pid, 0);
    std_in.CloseRead();
    std_out.CloseWrite();
    std_out.CloseRead();
    // The input stays open: only the failed writes can end this conversation.
    ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(kGetVersion)));
    const int status = hostproc::WaitExit(pid);
    EXPECT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    if (LogIsOurs()) {
        EXPECT_TRUE(Logged("WriteToNativeMessaging -- write)\t\t--Failed"));
        EXPECT_TRUE(Logged("terminate app"));
    }
}

// An answer longer than a frame may be goes out as the end marker FF FF FF FF alone. Once that
// part reached descriptor 1, sending it there again would put a second marker into the stream.
TEST_F(HostProcessTest, AfterPartOfAnAnswerReachedDescriptorOneNothingIsSentThereAgain)
{
    Pipe std_in, std_out;
    const pid_t pid = hostproc::Spawn(hostproc::HostPath(),
                                      Options({}, {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}}));
    ASSERT_GT(pid, 0);
    std_in.CloseRead();
    std_out.CloseWrite();
    const std::string longId(1100000, 'r');
    const std::string request = R"({"function":"GetVersion","params":[],"randomId":")" + longId + "\"}";
    // The second request is never answered: the first answer's failure ends the conversation.
    ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(request) + Frame(kGetVersion)));
    std::string out;
    ASSERT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &out));
    const int status = hostproc::WaitExit(pid);
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    EXPECT_EQ("\xFF\xFF\xFF\xFF"s + hostproc::ArgvLines(hostproc::HostPath(), {}), out);
}

// The worker cannot start (its stack cannot be reserved): the alert, and termination without
// reading a byte.
TEST_F(HostProcessTest, FailedWorkerStartShowsTheAlertAndTerminatesWithoutReading)
{
    if ("0\n" != testutil::ReadFileOrEmpty("/proc/sys/vm/overcommit_memory"))
        GTEST_SKIP() << "a huge thread stack is refused only under heuristic overcommit";
    Pipe std_in, std_out, std_err;
    hostproc::SpawnOptions options =
        Options({}, {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}, {std_err.WriteEnd(), 2}});
    // Threads take the stack limit as their stack size: 1 TiB cannot be mapped.
    options.stackLimit = 1ul << 40;
    const pid_t pid = hostproc::Spawn(hostproc::HostPath(), options);
    ASSERT_GT(pid, 0);
    std_out.CloseWrite();
    std_err.CloseWrite();
    ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(kGetVersion)));
    std::string out, err;
    ASSERT_TRUE(hostproc::ReadToEnd(std_err.ReadEnd(), &err));
    ASSERT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &out));
    const int status = hostproc::WaitExit(pid);
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    EXPECT_NE(std::string::npos, err.find("Please reload website.")) << err;
    EXPECT_EQ(hostproc::ArgvLines(hostproc::HostPath(), {}), out);
    std_in.CloseWrite();
    std::string unread;
    ASSERT_TRUE(hostproc::ReadToEnd(std_in.ReadEnd(), &unread));
    EXPECT_EQ(Frame(kGetVersion), unread);
    if (LogIsOurs()) {
        EXPECT_TRUE(Logged("pthread_create)\t\t--Failed"));
    }
}

// Guards the cost of every request: a conversation that opens no window, with the dialogs as a
// browser's host has them (GTK, in a desktop session), never maps the toolkit, whose 70 libraries
// would take most of the host's start-up time.
TEST_F(HostProcessTest, AConversationWithoutAWindowMapsNoToolkit)
{
    Pipe std_in, std_out;
    hostproc::SpawnOptions options = Options({}, {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}});
    const char* display = getenv("DISPLAY");
    options.env = {"QOVA_LOG_CONF_PATH=" + m_conf, "LANG=C", "DISPLAY="s + (display && *display ? display : ":987")};
    options.unsetEnv.insert(options.unsetEnv.end(), {"PLATFORM_DIALOG_BACKEND", "PLATFORM_DIALOG_SCRIPT"});
    const pid_t pid = hostproc::Spawn(hostproc::HostPath(), options);
    ASSERT_GT(pid, 0);
    std_out.CloseWrite();
    std::string answer;
    ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(kGetVersion)));
    ASSERT_TRUE(hostproc::ReadFrame(std_out.ReadEnd(), &answer));
    EXPECT_EQ(kVersionAnswer, answer);
    // The host now waits for the next request: what it has mapped, as the kernel sees it.
    const std::string maps = testutil::ReadFileOrEmpty("/proc/" + std::to_string(pid) + "/maps");
    EXPECT_NE(std::string::npos, maps.find("libTamsel64.so")) << maps;
    for (const char* library : {"libgtk-3", "libgdk-3", "libpango", "libcairo", "libatk", "libTamsel64Gtk"})
        EXPECT_EQ(std::string::npos, maps.find(library)) << library;
    ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), kDisconnect));
    std::string rest;
    ASSERT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &rest));
    const int status = hostproc::WaitExit(pid);
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
}

}  // namespace
