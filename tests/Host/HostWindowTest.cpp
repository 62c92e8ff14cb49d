// The certificate window of a real host on the display, answered with real input (xdotool), and
// seen from the X server: once the page has its answer, no window of the host may stay on screen,
// although the host goes on living for the page's next request. Keys and clicks go to whichever
// window has the focus, so these tests run alone on their display.
#include "HostProcess.h"
#include "P11TestBed.h"
#include "QovaResult.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

namespace {


// Two signing certificates on one token of the test module, which lists them in its fixture's
// order (SoftHSM2's order changes with each token made): the window shows RSA 1, then RSA 2.
const std::string kSelect = R"({"function":"SelectCertificate","params":["RSA 1#RSA 2","","",""]})";
const std::string kSubject = R"({"function":"GetSignCertInfo","params":["SubjectDN"]})";
const std::string kCancelled = std::to_string(static_cast<int>(QOVA_E_CANCELLED));

// xdotool's output (a time limit keeps a window that never appears from hanging the test).
std::string Xdotool(const std::string& args, int limitSeconds = 10)
{
    std::string out;
    testutil::RunCommand("timeout " + std::to_string(limitSeconds) + " xdotool " + args + " 2>/dev/null", &out);
    return out;
}

// The X server's view: the process's windows that are viewable now (mapped, with mapped parents).
// All conditions must hold (xdotool's default is any), so only windows of the process.
std::string ViewableWindows(pid_t pid)
{
    return Xdotool("search --all --onlyvisible --pid " + std::to_string(pid));
}

// The first viewable window of the process with this title that is not `other`; empty when none
// appeared within the limit. A first window under a loaded sanitizer build can take 20 s.
std::string WaitForWindow(pid_t pid, const std::string& title, const std::string& other = "")
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        std::istringstream ids(Xdotool("search --all --onlyvisible --pid " + std::to_string(pid) + " --name " +
                                       testutil::ShellQuote("^" + title + "$")));
        for (std::string id; ids >> id;) {
            if (id != other)
                return id;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::string();
}

// A click on one of the window's two buttons, at the bottom right: OK, and Cancel left of it.
void ClickButton(const std::string& window, bool ok)
{
    std::istringstream geometry(Xdotool("getwindowgeometry --shell " + window));
    int width = 0, height = 0;
    for (std::string line; std::getline(geometry, line);) {
        if (0 == line.compare(0, 6, "WIDTH="))
            width = std::stoi(line.substr(6));
        else if (0 == line.compare(0, 7, "HEIGHT="))
            height = std::stoi(line.substr(7));
    }
    ASSERT_GT(width, 200);
    const int x = width - (ok ? 62 : 158), y = height - 35;
    Xdotool("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

class HostWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* display = getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "no display (run under xvfb-run)";
        if (0 != testutil::RunCommand("command -v xdotool >/dev/null"))
            GTEST_SKIP() << "xdotool is not installed";
    }

    // A host in its own conversation, as a page's port starts one. The end of the conversation
    // ends it in order (a host still in a dialog is killed after the wait).
    struct Host : hostproc::Conversation
    {
        Host() : Conversation(hostproc::TokenHostPath(), Options()) {}
        ~Host()
        {
            if (Pid() <= 0)
                return;
            const int status = End(nullptr, 20000);
            EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
        }
        std::string Answer()
        {
            std::string answer;
            EXPECT_TRUE(Conversation::Answer(&answer, 30000));
            return answer;
        }
        std::string Ask(const std::string& request)
        {
            EXPECT_TRUE(Send(request));
            return Answer();
        }
        static hostproc::SpawnOptions Options()
        {
            hostproc::SpawnOptions options;
            // SoftHSM2 in the table finds no configuration and drops out of every selection.
            options.env = {"LANG=C", "GDK_BACKEND=x11", "NO_AT_BRIDGE=1", "SOFTHSM2_CONF=/nonexistent/softhsm2.conf"};
            options.unsetEnv = {"LC_ALL", "LC_MESSAGES", "QOVA_LOG_CONF_PATH", "PLATFORM_DIALOG_BACKEND",
                                "PLATFORM_DIALOG_SCRIPT", "WAYLAND_DISPLAY"};
            return options;
        }
    };


    p11testbed::TestModule m_module{"token t hex:01083430393137323633\ncert a rsa1 " + p11testbed::FixtureDir() +
                                    "/rsa1.der\ncert b rsa2 " + p11testbed::FixtureDir() + "/rsa2.der\n"};
};

// Guards the window leaving the screen once answered: its destroy request stayed in the display
// connection's buffer while the host waited for the next request, and the dead window stayed in
// front of the page (an alert too) until the next selection. The next selection must still open a
// window that answers.
TEST_F(HostWindowTest, NoWindowStaysOnScreenAfterTheAnswerAndTheNextSelectionWorks)
{
    struct Case
    {
        const char* name;
        const char* keys;  // pressed in the window, or null to click
        bool clickOK;      // the click: OK (true) or Cancel
        bool alert;        // OK without a choice: the alert comes, its OK is pressed with Return
        std::string errorcode;
        const char* subject;  // chosen certificate, when one is
    };
    const Case kCases[] = {
        {"Down, Return", "Down Return", false, false, "0", "CN=RSA 1"},
        {"Cancel", nullptr, false, false, kCancelled, nullptr},
        {"Escape", "Escape", false, false, kCancelled, nullptr},
        {"OK without a choice, then the alert", nullptr, true, true, kCancelled, nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Host host;
        ASSERT_GT(host.Pid(), 0);
        EXPECT_TRUE(host.Send(kSelect));
        const std::string window = WaitForWindow(host.Pid(), "Select Certificate");
        ASSERT_NE("", window) << "the certificate window did not appear";
        if (c.keys) {
            Xdotool("windowfocus --sync " + window + " key --delay 100 " + c.keys);
        } else {
            ClickButton(window, c.clickOK);
        }
        if (c.alert) {
            const std::string alert = WaitForWindow(host.Pid(), "No Certificate Selected");
            ASSERT_NE("", alert) << "the alert did not appear";
            Xdotool("windowfocus --sync " + alert + " key Return");
        }
        const std::string answer = host.Answer();
        EXPECT_NE(std::string::npos, answer.find("\"errorcode\":" + c.errorcode + ",")) << answer;
        if (c.subject) {
            EXPECT_NE(std::string::npos, host.Ask(kSubject).find(c.subject));
        }
        // The page has its answer and the host lives on: a second later nothing of it is on screen.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_EQ("", ViewableWindows(host.Pid())) << "windows still viewable after the answer";

        // The next selection opens a window again, and it takes keys: Down, Down, Return is RSA 2.
        EXPECT_TRUE(host.Send(kSelect));
        const std::string next = WaitForWindow(host.Pid(), "Select Certificate", window);
        ASSERT_NE("", next) << "the second certificate window did not appear";
        Xdotool("windowfocus --sync " + next + " key --delay 100 Down Down Return");
        EXPECT_NE(std::string::npos, host.Answer().find("\"errorcode\":0,"));
        EXPECT_NE(std::string::npos, host.Ask(kSubject).find("CN=RSA 2"));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_EQ("", ViewableWindows(host.Pid())) << "windows still viewable after the second answer";
    }
}

}  // namespace
