// Termination signals sent to the token host, seen from outside it.
#include "HostProcess.h"
#include "P11TestBed.h"
#include "QovaResult.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

// The SM2 certificate with its key and a second certificate, on a token with the stored PIN.
std::string Token(const std::string& extra)
{
    const std::string dir = p11testbed::FixtureDir();
    return "token t hex:01083430393137323633\ncert a sm2 " + dir + "/sm2.der\nsm2key a sm2 " + dir +
           "/sm2.key\ncert b rsa2 " + dir + "/rsa2.der\n" + extra;
}

// The host on pipes. With its reply pipe filled first it blocks writing its next answer, so the
// test sees its state before that answer is read.
struct Host
{
    Host(std::vector<std::string> env, bool fillReplyPipe)
    {
        if (fillReplyPipe)
            filler.assign(static_cast<size_t>(fcntl(out.WriteEnd(), F_GETPIPE_SZ)), 'p');
        hostproc::WriteAll(out.WriteEnd(), filler);
        hostproc::SpawnOptions options;
        options.fds = {{in.ReadEnd(), 0}, {out.WriteEnd(), 1}};
        options.env = env;
        options.unsetEnv = {"QOVA_LOG_CONF_PATH", "PLATFORM_DIALOG_SCRIPT"};
        pid = hostproc::Spawn(hostproc::TokenHostPath(), options);
        in.CloseRead();
        out.CloseWrite();
    }
    bool Send(const std::string& request) { return hostproc::WriteAll(in.WriteEnd(), hostproc::Frame(request)); }
    std::string Answer()
    {
        std::string answer;
        hostproc::ReadExactly(out.ReadEnd(), filler.size(), &answer);
        filler.clear();
        return hostproc::ReadFrame(out.ReadEnd(), &answer) ? answer : "(none)";
    }
    // What follows the answers (the argument lines at exit) and the exit status.
    int End(std::string* rest)
    {
        hostproc::ReadToEnd(out.ReadEnd(), rest);
        return hostproc::WaitExit(pid);
    }

    hostproc::Pipe in, out;
    std::string filler;
    pid_t pid = -1;
};

bool WaitUntil(const std::function<bool()>& done)
{
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30); !done();) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Guards the token call against the signal: SIGTERM, SIGINT or SIGHUP during a slow C_Sign lets
// the call finish and its answer go out, no further request is read (one waits in the pipe), and
// the host releases session and module in order and exits with 0; so it does between requests.
TEST(TerminationSignals, EndTheConversationInOrderAfterTheTokenCallInFlight)
{
    const struct
    {
        int signal;
        bool duringSign;
    } kCases[] = {{SIGTERM, true}, {SIGINT, true}, {SIGHUP, true}, {SIGTERM, false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::to_string(c.signal) + (c.duringSign ? " during C_Sign" : " between requests"));
        p11testbed::SoftHsmTokens tokens;
        p11testbed::TestModule module(Token(c.duringSign ? "delay C_Sign 1500\n" : ""));
        Host host({"PLATFORM_DIALOG_BACKEND=none"}, false);
        ASSERT_TRUE(host.Send(R"({"function":"SelectCertificate","params":["SM2 1","","",""]})"));
        ASSERT_NE(std::string::npos, host.Answer().find(R"("result":true)"));
        ASSERT_TRUE(host.Send(R"({"function":"SignMsgPKCS7","params":["message","SM3",true]})") &&
                    host.Send(R"({"function":"GetVersion","params":[]})"));
        if (c.duringSign) {
            ASSERT_TRUE(WaitUntil([&] { return !module.Calls("C_SignInit").empty(); }));
            ASSERT_TRUE(module.Calls("C_Sign").empty());  // logged when it returns
            kill(host.pid, c.signal);
        }
        EXPECT_NE(std::string::npos, host.Answer().find(R"("errorcode":0,"result":"MII)"));
        if (!c.duringSign) {
            EXPECT_NE(std::string::npos, host.Answer().find("GetVersion"));
            kill(host.pid, c.signal);
        }
        std::string rest;
        const int status = host.End(&rest);
        EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
        EXPECT_EQ(0u, rest.find("argv[0]:")) << rest;
        const std::vector<std::string> names = module.Names();
        EXPECT_EQ((std::vector<std::string>{"C_Logout", "C_CloseSession", "C_Finalize"}),
                  std::vector<std::string>(names.end() - std::min<size_t>(3, names.size()), names.end()));
    }
}

int Xdotool(const std::string& args)
{
    return testutil::RunCommand("timeout 60 xdotool " + args + " >/dev/null 2>&1");
}

// Guards the dialogs against the signal: SIGTERM with the certificate window open (alone, under
// its certificate sheet, or under the alert of OK without a selection) takes every dialog off the
// display before the answer "cancelled" is written, and the host exits with 0.
TEST(TerminationSignals, OnTheDisplayEndEveryOpenDialogAsCancelled)
{
    if (!getenv("DISPLAY") || 0 != testutil::RunCommand("command -v xdotool >/dev/null"))
        GTEST_SKIP() << "needs a display (xvfb-run) and xdotool";
    const struct
    {
        const char* input;  // the user's, before the signal
        const char* opens;
    } kCases[] = {{"", "Select Certificate"},
                  {"mousemove --window %1 140 71 click --repeat 2 --delay 80 1", "Certificate"},
                  {"key --delay 100 Tab Tab Return", "No Certificate Selected"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.opens);
        p11testbed::SoftHsmTokens tokens;
        p11testbed::TestModule module(Token(""));
        Host host({"GDK_BACKEND=x11", "NO_AT_BRIDGE=1", "PLATFORM_DIALOG_BACKEND=gtk"}, true);
        ASSERT_TRUE(host.Send(R"({"function":"SelectCertificate","params":["","","",""]})"));
        const std::string mine = "search --all --pid " + std::to_string(host.pid) + " ";
        const std::string shown = mine + "--onlyvisible --sync --name ";
        ASSERT_EQ(0, Xdotool(shown + "'^Select Certificate$' windowfocus --sync %1 " + c.input));
        ASSERT_EQ(0, Xdotool(shown + "'^" + c.opens + "$'"));
        kill(host.pid, SIGTERM);
        // The host blocks writing the answer; only the toolkit's hidden window (named after the
        // program) is left.
        const std::string dialogs = "'^(Select Certificate|Certificate|No Certificate Selected)$'";
        EXPECT_TRUE(WaitUntil([&] { return 0 != Xdotool(mine + "--name " + dialogs); }));
        EXPECT_TRUE(hostproc::IsRunning(host.pid));
        const std::string cancelled = std::to_string(static_cast<int>(QOVA_E_CANCELLED));
        EXPECT_EQ(R"({"function":"SelectCertificate","errorcode":)" + cancelled + R"(,"result":false})", host.Answer());
        std::string rest;
        const int status = host.End(&rest);
        EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    }
}

}  // namespace
