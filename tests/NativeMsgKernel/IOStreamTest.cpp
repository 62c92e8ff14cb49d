#include "IOStream.h"
#include "IOStreamDetail.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

using namespace std::string_literals;

class Pipe
{
public:
    Pipe() { EXPECT_EQ(0, pipe2(m_fds, O_CLOEXEC)); }
    ~Pipe()
    {
        CloseRead();
        CloseWrite();
    }
    int ReadEnd() const { return m_fds[0]; }
    int WriteEnd() const { return m_fds[1]; }
    void CloseRead() { Close(0); }
    void CloseWrite() { Close(1); }

private:
    void Close(int i)
    {
        if (m_fds[i] >= 0)
            close(m_fds[i]);
        m_fds[i] = -1;
    }
    int m_fds[2] = {-1, -1};
};

bool WriteAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string ReadToEnd(int fd)
{
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string Header(unsigned int length)
{
    return std::string{static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
                       static_cast<char>((length >> 16) & 0xFF), static_cast<char>((length >> 24) & 0xFF)};
}

// One call of the reader with outputs preset to values it must overwrite (or leave alone).
struct ReadOutcome
{
    unsigned int code = 0;
    bool hasBuffer = false;
    bool bufferUntouched = false;
    std::string body;  // the announced length of bytes, NUL checked separately
    bool nulTerminated = false;
    int length = -7;
};

ReadOutcome ReadOneFrame(int fd)
{
    static char sentinel = 0;
    char* pszMsg = &sentinel;
    ReadOutcome r;
    r.code = ReadFromNativeMessaging(fd, &pszMsg, &r.length);
    r.bufferUntouched = &sentinel == pszMsg;
    if (pszMsg && &sentinel != pszMsg) {
        r.hasBuffer = true;
        r.body.assign(pszMsg, static_cast<size_t>(r.length));
        r.nulTerminated = '\0' == pszMsg[r.length];
        delete[] pszMsg;
    }
    return r;
}

// Whether thread tid sleeps in syscall nr on fd with the given count (kernel's view of the thread).
bool SleepsIn(pid_t tid, long nr, int fd, unsigned long count)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string line;
    if (!std::getline(in, line))
        return false;
    long callNr = -1;
    unsigned long args[3] = {0, 0, 0};
    if (4 != sscanf(line.c_str(), "%ld %lx %lx %lx", &callNr, &args[0], &args[1], &args[2]))
        return false;
    return callNr == nr && args[0] == static_cast<unsigned long>(fd) && args[2] == count;
}

bool WaitSleepsIn(pid_t tid, long nr, int fd, unsigned long count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (SleepsIn(tid, nr, fd, count))
            return true;
        std::this_thread::yield();
    }
    return false;
}

bool CanProbeSyscalls()
{
    std::ifstream in("/proc/self/task/" + std::to_string(gettid()) + "/syscall");
    return in.good();
}

std::atomic<int> g_signalsHandled{0};
void CountSignal(int)
{
    g_signalsHandled.fetch_add(1);
}

// SIGUSR1 interrupts a sleeping read or write (no automatic restart); SIGPIPE is ignored so that a
// closed reader shows up as EPIPE.
class ScopedSignals
{
public:
    ScopedSignals()
    {
        struct sigaction sa = {};
        sa.sa_handler = CountSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGUSR1, &sa, &m_oldUsr1);
        struct sigaction ign = {};
        ign.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ign, &m_oldPipe);
    }
    ~ScopedSignals()
    {
        sigaction(SIGUSR1, &m_oldUsr1, nullptr);
        sigaction(SIGPIPE, &m_oldPipe, nullptr);
    }

private:
    struct sigaction m_oldUsr1 = {};
    struct sigaction m_oldPipe = {};
};

// Interrupts thread `thread` (sleeping in nr on fd for count bytes) and waits until it sleeps there
// again, i.e. until the interrupted call was retried.
bool InterruptAndWaitForRetry(pthread_t thread, pid_t tid, long nr, int fd, unsigned long count)
{
    if (!WaitSleepsIn(tid, nr, fd, count))
        return false;
    const int before = g_signalsHandled.load();
    pthread_kill(thread, SIGUSR1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g_signalsHandled.load() == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return g_signalsHandled.load() != before;
}

TEST(ReadFromNativeMessaging, WholeInputsGiveFramesOrDisconnects)
{
    struct Case
    {
        const char* name;
        std::string input;  // written, then the write end is closed
        bool frame;         // false: disconnect
        std::string body;
        std::string leftUnread;
    };
    const Case kCases[] = {
        {"disconnect header 00 00 00 00", "\x00\x00\x00\x00{}"s, false, "", "{}"},
        {"disconnect header FF FF FF FF", "\xFF\xFF\xFF\xFF{}"s, false, "", "{}"},
        {"end of input before any header byte", "", false, "", ""},
        {"end of input after three header bytes", "\x02\x00\x00"s, false, "", ""},
        {"a frame {}", "\x02\x00\x00\x00{}"s, true, "{}", ""},
        {"a frame leaves the next one unread", "\x02\x00\x00\x00{}\x01\x00\x00\x00x"s, true, "{}",
         "\x01\x00\x00\x00x"s},
        {"a body with a NUL inside keeps all its bytes", "\x03\x00\x00\x00" "a\0b"s, true, "a\0b"s, ""},
        {"end of input inside the body", "\x05\x00\x00\x00{}"s, false, "", ""},
        {"end of input right after the header", "\x05\x00\x00\x00"s, false, "", ""},
        // Announcing more than the browser ever sends must not reserve memory for it.
        {"announced length 64 MiB + 1 is refused", Header(67108865) + "abcd", false, "", "abcd"},
        {"announced length 2 GiB is refused", Header(0x80000000u) + "abcd", false, "", "abcd"},
        {"announced length 64 MiB is accepted, then input ends", Header(67108864) + "abcd", false, "", ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Pipe pipe;
        ASSERT_TRUE(WriteAll(pipe.WriteEnd(), c.input));
        pipe.CloseWrite();

        const ReadOutcome r = ReadOneFrame(pipe.ReadEnd());
        EXPECT_EQ(0u, r.code);
        EXPECT_EQ(c.frame, r.hasBuffer);
        EXPECT_FALSE(r.bufferUntouched);
        if (c.frame) {
            EXPECT_EQ(c.body, r.body);
            EXPECT_EQ(static_cast<int>(c.body.size()), r.length);
            EXPECT_TRUE(r.nulTerminated);
        } else {
            EXPECT_EQ(0, r.length);
        }
        EXPECT_EQ(c.leftUnread, ReadToEnd(pipe.ReadEnd()));
    }
}

TEST(ReadFromNativeMessaging, OutputsAreOptional)
{
    Pipe pipe;
    ASSERT_TRUE(WriteAll(pipe.WriteEnd(), "\x02\x00\x00\x00{}\x02\x00\x00\x00[]\x00\x00\x00\x00"s));
    pipe.CloseWrite();
    int length = -1;
    EXPECT_EQ(0u, ReadFromNativeMessaging(pipe.ReadEnd(), nullptr, &length));  // buffer released inside
    EXPECT_EQ(2, length);
    char* pszMsg = nullptr;
    EXPECT_EQ(0u, ReadFromNativeMessaging(pipe.ReadEnd(), &pszMsg, nullptr));
    ASSERT_NE(nullptr, pszMsg);
    EXPECT_STREQ("[]", pszMsg);
    delete[] pszMsg;
    EXPECT_EQ(0u, ReadFromNativeMessaging(pipe.ReadEnd(), nullptr, nullptr));
}

TEST(ReadFromNativeMessaging, FrameArrivingInPiecesIsJoinedInOrder)
{
    if (!CanProbeSyscalls())
        GTEST_SKIP() << "no /proc/<tid>/syscall";
    Pipe pipe;
    std::atomic<pid_t> readerTid{0};
    ReadOutcome r;
    std::thread reader([&] {
        readerTid = gettid();
        r = ReadOneFrame(pipe.ReadEnd());
    });
    while (0 == readerTid.load())
        std::this_thread::yield();

    // Each piece is written only once the reader sleeps waiting for exactly the bytes still missing,
    // so every piece arrives through a read of its own.
    const std::string pieces[] = {"\x0B"s, "\x00\x00"s, "\x00"s, "he", "llo", " ", "world"};
    const std::string frame = "\x0B\x00\x00\x00hello world"s;
    size_t sent = 0;
    bool inOrder = true;
    for (const auto& piece : pieces) {
        const size_t inPart = sent < 4 ? 4 - sent : 11 - (sent - 4);
        if (!WaitSleepsIn(readerTid, SYS_read, pipe.ReadEnd(), inPart)) {
            inOrder = false;
            break;
        }
        ASSERT_TRUE(WriteAll(pipe.WriteEnd(), piece));
        sent += piece.size();
    }
    pipe.CloseWrite();
    reader.join();
    EXPECT_TRUE(inOrder) << "the reader did not wait for the missing bytes after " << sent << " bytes";
    EXPECT_EQ(0u, r.code);
    ASSERT_TRUE(r.hasBuffer);
    EXPECT_EQ("hello world", r.body);
    EXPECT_EQ(11, r.length);
    EXPECT_TRUE(r.nulTerminated);
}

TEST(ReadFromNativeMessaging, InterruptedReadsAreRetried)
{
    if (!CanProbeSyscalls())
        GTEST_SKIP() << "no /proc/<tid>/syscall";
    ScopedSignals signals;
    Pipe pipe;
    std::atomic<pid_t> readerTid{0};
    ReadOutcome r;
    std::thread reader([&] {
        readerTid = gettid();
        r = ReadOneFrame(pipe.ReadEnd());
    });
    while (0 == readerTid.load())
        std::this_thread::yield();
    const pthread_t handle = reader.native_handle();
    const int fd = pipe.ReadEnd();

    // An interruption at the header, in the middle of the header and inside the body.
    bool retried = InterruptAndWaitForRetry(handle, readerTid, SYS_read, fd, 4) && WaitSleepsIn(readerTid, SYS_read, fd, 4);
    retried = retried && WriteAll(pipe.WriteEnd(), "\x05"s) &&
              InterruptAndWaitForRetry(handle, readerTid, SYS_read, fd, 3) && WaitSleepsIn(readerTid, SYS_read, fd, 3);
    retried = retried && WriteAll(pipe.WriteEnd(), "\x00\x00\x00"s) &&
              InterruptAndWaitForRetry(handle, readerTid, SYS_read, fd, 5) && WaitSleepsIn(readerTid, SYS_read, fd, 5);
    retried = retried && WriteAll(pipe.WriteEnd(), "hello");
    pipe.CloseWrite();
    reader.join();
    EXPECT_TRUE(retried);
    EXPECT_EQ(0u, r.code);
    EXPECT_EQ("hello", r.body);
}

TEST(ReadFromNativeMessaging, ReadErrorInsideBodyReturnsErrnoAndLeavesOutputs)
{
    // A local socket whose peer closes with unread data of its own reports ECONNRESET once the
    // queued bytes are consumed: here after the header and three body bytes.
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    ASSERT_TRUE(WriteAll(sv[1], "\x0A\x00\x00\x00" "abc"s));
    ASSERT_TRUE(WriteAll(sv[0], "unread"));
    close(sv[1]);

    const ReadOutcome r = ReadOneFrame(sv[0]);
    close(sv[0]);
    EXPECT_EQ(static_cast<unsigned int>(ECONNRESET), r.code);
    EXPECT_TRUE(r.bufferUntouched);
    EXPECT_EQ(-7, r.length);
}

// Writes text through the frame writer while a reader thread collects everything that arrives.
std::string CaptureFrame(const char* text, unsigned int* pCode)
{
    Pipe pipe;
    std::string captured;
    std::thread reader([&] { captured = ReadToEnd(pipe.ReadEnd()); });
    *pCode = WriteToNativeMessaging(pipe.WriteEnd(), text);
    pipe.CloseWrite();
    reader.join();
    return captured;
}

TEST(WriteToNativeMessaging, FramesBySize)
{
    struct Case
    {
        const char* name;
        std::string text;
        unsigned int code;
        std::string expected;
    };
    const std::string oneMiB(1048576, 'x');
    const Case kCases[] = {
        {"empty text is the header alone", "", 0, "\x00\x00\x00\x00"s},
        {"{}", "{}", 0, "\x02\x00\x00\x00{}"s},
        {"300 bytes, two length bytes", std::string(300, 'y'), 0, "\x2C\x01\x00\x00"s + std::string(300, 'y')},
        {"exactly 1,048,576 bytes is a normal frame", oneMiB, 0, "\x00\x00\x10\x00"s + oneMiB},
        {"1,048,577 bytes send only FF FF FF FF", oneMiB + "x", 0xFFFFFFFFu, "\xFF\xFF\xFF\xFF"s},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        unsigned int code = 1;
        const std::string frame = CaptureFrame(c.text.c_str(), &code);
        EXPECT_EQ(c.code, code);
        EXPECT_EQ(c.expected.size(), frame.size());
        EXPECT_TRUE(c.expected == frame);
    }
    unsigned int code = 1;
    EXPECT_EQ("", CaptureFrame(nullptr, &code));
    EXPECT_EQ(0xFFFFFFFFu, code);
}

TEST(WriteToNativeMessaging, InterruptedAndPartialWritesStillDeliverTheWholeFrame)
{
    if (!CanProbeSyscalls())
        GTEST_SKIP() << "no /proc/<tid>/syscall";
    ScopedSignals signals;
    const std::string text(1048576, 'w');
    const unsigned long frameSize = text.size() + 4;
    Pipe pipe;
    std::atomic<pid_t> writerTid{0};
    unsigned int code = 1;
    std::thread writer([&] {
        writerTid = gettid();
        code = WriteToNativeMessaging(pipe.WriteEnd(), text.c_str());
        pipe.CloseWrite();
    });
    while (0 == writerTid.load())
        std::this_thread::yield();
    const pthread_t handle = writer.native_handle();
    const int fd = pipe.WriteEnd();
    const long capacity = fcntl(fd, F_GETPIPE_SZ);

    // The first write fills the pipe and sleeps: interrupted, it returns the part it wrote. The writer
    // must go on with the rest; that write sleeps at once and, interrupted, fails with EINTR.
    const unsigned long rest = frameSize - static_cast<unsigned long>(capacity);
    const bool continued = InterruptAndWaitForRetry(handle, writerTid, SYS_write, fd, frameSize) &&
                           InterruptAndWaitForRetry(handle, writerTid, SYS_write, fd, rest) &&
                           WaitSleepsIn(writerTid, SYS_write, fd, rest);
    const std::string captured = ReadToEnd(pipe.ReadEnd());
    writer.join();
    EXPECT_TRUE(continued);
    EXPECT_EQ(0u, code);
    EXPECT_EQ(frameSize, captured.size());
    EXPECT_TRUE("\x00\x00\x10\x00"s + text == captured);
}

TEST(WriteToNativeMessaging, NonBlockingSocketWithSmallBufferTakesTheFrameInParts)
{
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    const int small = 4096;
    ASSERT_EQ(0, setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)));
    ASSERT_EQ(0, fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK));

    std::string text(1048576, '\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('A' + i % 23);
    std::string captured;
    std::thread reader([&] { captured = ReadToEnd(sv[1]); });
    EXPECT_EQ(0u, WriteToNativeMessaging(sv[0], text.c_str()));
    close(sv[0]);
    reader.join();
    close(sv[1]);
    EXPECT_TRUE("\x00\x00\x10\x00"s + text == captured);
}

TEST(WriteToNativeMessaging, DescriptorThatRefusesGivesFailure)
{
    ScopedSignals signals;  // SIGPIPE ignored: a closed reader shows as EPIPE
    struct Case
    {
        const char* name;
        std::string text;
        size_t readBeforeClose;  // bytes the reader takes before it goes away
    };
    const Case kCases[] = {
        {"reader gone before the frame", "{}", 0},
        {"reader gone in the middle of the frame", std::string(1048576, 'q'), 100000},
        {"reader gone before the end marker", std::string(1048577, 'q'), 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Pipe pipe;
        std::thread reader([&] {
            std::string got(c.readBeforeClose, '\0');
            size_t done = 0;
            while (done < got.size()) {
                const ssize_t n = read(pipe.ReadEnd(), &got[done], got.size() - done);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            pipe.CloseRead();
        });
        if (0 == c.readBeforeClose)
            reader.join();
        EXPECT_EQ(0xFFFFFFFFu, WriteToNativeMessaging(pipe.WriteEnd(), c.text.c_str()));
        if (reader.joinable())
            reader.join();
    }
    Pipe pipe;
    EXPECT_EQ(0xFFFFFFFFu, WriteToNativeMessaging(pipe.ReadEnd(), "{}"));  // not open for writing
}

// The host's worker retries a failed frame on descriptor 1 only when nothing of it reached the
// stream there: a whole frame sent again after part of it would corrupt the conversation. So the
// count must say exactly how much went out, also when the reader goes away in the middle.
TEST(WriteToNativeMessagingCounted, ReportsTheBytesThatReachedTheDescriptor)
{
    ScopedSignals signals;
    struct Case
    {
        const char* name;
        std::string text;
        long readerTakes;  // -1: the reader reads to the end; else it takes this many bytes and goes
        unsigned int code;
        size_t minWritten;
        size_t maxWritten;
    };
    const std::string big(1048576, 'c');
    const Case kCases[] = {
        {"whole frame", "{}", -1, 0, 6, 6},
        {"longest frame", big, -1, 0, big.size() + 4, big.size() + 4},
        {"too long: the end marker alone", big + "c", -1, 0xFFFFFFFFu, 4, 4},
        {"reader gone before the frame", "{}", 0, 0xFFFFFFFFu, 0, 0},
        // The pipe holds its capacity beyond what the reader took; the rest is refused.
        {"reader gone in the middle", big, 100000, 0xFFFFFFFFu, 100000, big.size() + 3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Pipe pipe;
        std::string got;
        std::thread reader([&] {
            if (c.readerTakes < 0) {
                got = ReadToEnd(pipe.ReadEnd());
                return;
            }
            got.resize(static_cast<size_t>(c.readerTakes));
            size_t done = 0;
            while (done < got.size()) {
                const ssize_t n = read(pipe.ReadEnd(), &got[done], got.size() - done);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            pipe.CloseRead();
        });
        if (0 == c.readerTakes)
            reader.join();
        size_t written = 12345;
        EXPECT_EQ(c.code, WriteToNativeMessagingCounted(pipe.WriteEnd(), c.text.c_str(), &written));
        pipe.CloseWrite();
        if (reader.joinable())
            reader.join();
        EXPECT_LE(c.minWritten, written);
        EXPECT_GE(c.maxWritten, written);
        if (c.readerTakes < 0) {
            EXPECT_EQ(got.size(), written);
        }
    }
    size_t written = 12345;
    EXPECT_EQ(0xFFFFFFFFu, WriteToNativeMessagingCounted(1, nullptr, &written));
    EXPECT_EQ(0u, written);
    Pipe pipe;
    std::thread reader([&] { ReadToEnd(pipe.ReadEnd()); });
    EXPECT_EQ(0u, WriteToNativeMessagingCounted(pipe.WriteEnd(), "{}", nullptr));  // the count is optional
    pipe.CloseWrite();
    reader.join();
}

}  // namespace
