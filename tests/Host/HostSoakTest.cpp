// 10,000 requests in one conversation with a host that signs on a SoftHSM2 token: after the first
// 1,000 its memory stays flat and it holds no more descriptors than before. A new selection loads
// and unloads the modules; under the sanitizer every load of a library costs bookkeeping of its own
// that stays (the release host stays flat), so the selections are counted for descriptors only.
#include "HostProcess.h"
#include "P11TestBed.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>

namespace {

using hostproc::Frame;
using hostproc::Pipe;

constexpr int kRequests = 10000;
constexpr int kWarmUp = 1000;

const std::string kSelect = R"({"function":"SelectCertificate","params":["RSA 1","","",""]})";

// The conversation after the selection, request by request.
std::string RequestNumber(int i)
{
    switch (i % 5) {
    case 1:
        return R"({"function":"SignMsgPKCS7","params":["soak message )" + std::to_string(i) + R"(","SHA-256",true]})";
    case 2:
        return R"({"function":"GetSignCertInfo","params":["SubjectDN"],"randomId":")" + std::to_string(i) + "\"}";
    case 3:
        return R"({"function":"Nope","params":[]})";
    case 4:
        return R"({"function":"GetLastErrorDesc","params":[]})";
    default:
        return R"({"function":"GetVersion","params":[]})";
    }
}

TEST(HostSoak, TenThousandRequestsInOneConversationKeepMemoryAndDescriptorsFlat)
{
    p11testbed::SoftHsmTokens tokens;
    if (!tokens.Ready())
        GTEST_SKIP() << "SoftHSM2 is not installed";
    Pipe std_in, std_out;
    hostproc::SpawnOptions options;
    options.fds = {{std_in.ReadEnd(), 0}, {std_out.WriteEnd(), 1}};
    // Without its quarantine the sanitizer hands freed memory out again at once, as malloc does, and
    // without its stacks for returned frames it keeps no frames of its own: the measure is then the
    // host's own.
    const char* asan = getenv("ASAN_OPTIONS");
    options.env = {"ASAN_OPTIONS=" + std::string(asan ? asan : "") +
                       ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0:detect_stack_use_after_return=0",
                   "LANG=C", "PLATFORM_DIALOG_BACKEND=none"};
    options.unsetEnv = {"QOVA_LOG_CONF_PATH", "LC_ALL", "LC_MESSAGES"};
    const pid_t pid = hostproc::Spawn(hostproc::TokenHostPath(), options);
    ASSERT_GT(pid, 0);
    std_in.CloseRead();
    std_out.CloseWrite();

    long rssAfterWarmUp = 0;
    int fdsAfterWarmUp = 0;
    int failed = 0;
    for (int i = 0; i < kRequests; ++i) {
        const std::string request = 0 == i ? kSelect : RequestNumber(i);
        std::string answer;
        ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(request)));
        ASSERT_TRUE(hostproc::ReadFrame(std_out.ReadEnd(), &answer)) << "request " << i;
        // Every request but the unknown function succeeds, the signature included.
        const bool expectFailure = std::string::npos != request.find("Nope");
        if (expectFailure != (std::string::npos == answer.find("\"errorcode\":0,")) && ++failed <= 5)
            ADD_FAILURE() << "request " << i << ": " << request << "\nanswer: " << answer.substr(0, 300);
        if (kWarmUp == i + 1) {
            rssAfterWarmUp = hostproc::ResidentKb(pid);
            fdsAfterWarmUp = hostproc::OpenDescriptors(pid);
        }
    }
    const long rssAtEnd = hostproc::ResidentKb(pid);
    const int fdsAtEnd = hostproc::OpenDescriptors(pid);
    // Each selection releases the previous record with its session and module, then loads again.
    for (int i = 0; i < 20; ++i) {
        std::string answer;
        ASSERT_TRUE(hostproc::WriteAll(std_in.WriteEnd(), Frame(kSelect)));
        ASSERT_TRUE(hostproc::ReadFrame(std_out.ReadEnd(), &answer));
        EXPECT_NE(std::string::npos, answer.find("\"result\":true")) << answer;
    }
    const int fdsAfterSelections = hostproc::OpenDescriptors(pid);
    std_in.CloseWrite();
    std::string rest;
    EXPECT_TRUE(hostproc::ReadToEnd(std_out.ReadEnd(), &rest));
    const int status = hostproc::WaitExit(pid);
    EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;

    EXPECT_EQ(0, failed);
    ASSERT_GT(rssAfterWarmUp, 0);
    EXPECT_LE(rssAtEnd * 100, rssAfterWarmUp * 105) << "RSS " << rssAfterWarmUp << " kB after " << kWarmUp
                                                    << " requests, " << rssAtEnd << " kB after " << kRequests;
    EXPECT_EQ(fdsAfterWarmUp, fdsAtEnd);
    EXPECT_EQ(fdsAtEnd, fdsAfterSelections);
    RecordProperty("rss_kb_after_warm_up", std::to_string(rssAfterWarmUp));
    RecordProperty("rss_kb_at_end", std::to_string(rssAtEnd));
}

}  // namespace
