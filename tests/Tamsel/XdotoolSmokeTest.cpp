// A whole process that uses the dialog library, answered with real key presses on the display.
// Key presses go to whichever window has the focus, so this test runs alone on its display.
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace {

std::string Probe()
{
    return testutil::BinaryDir() + "/VarnellHost.app/bin/tamsel_probe";
}

TEST(WholeProcess, CertificateTableAnswersRealKeyPresses)
{
    const char* display = getenv("DISPLAY");
    if (!display || !*display)
        GTEST_SKIP() << "no display (run under xvfb-run)";
    if (0 != testutil::RunCommand("command -v xdotool >/dev/null"))
        GTEST_SKIP() << "xdotool is not installed";
    const std::pair<const char*, const char*> kModes[] = {{"", "1\n"}, {"debug", "1\n"}, {"escape", "-1\n"}};
    for (const auto& m : kModes) {
        const std::string mode = m.first;
        SCOPED_TRACE(mode);
        testutil::ScopedTempDir dir;
        std::string log;
        const int status = testutil::RunCommand(
            "bash " + testutil::ShellQuote(testutil::SourceDir() + "/tests/Tamsel/xdotool_smoke.sh") + " " +
                testutil::ShellQuote(Probe()) + " " + testutil::ShellQuote(dir.Path()) + " " + mode + " 2>&1",
            &log);
        ASSERT_EQ(0, status) << log << testutil::ReadFileOrEmpty(dir.File("err"));
        EXPECT_EQ("0\n", testutil::ReadFileOrEmpty(dir.File("status")));
        EXPECT_EQ(m.second, testutil::ReadFileOrEmpty(dir.File("answer")));
        // Hazard: with G_MESSAGES_DEBUG set GLib's default writer puts debug lines on stdout, the
        // host's reply pipe.
        EXPECT_EQ("", testutil::ReadFileOrEmpty(dir.File("out")));
        if (mode != "debug") {
            // No GTK or GLib complaint in a normal run.
            EXPECT_EQ("", testutil::ReadFileOrEmpty(dir.File("err")));
        } else {
            EXPECT_NE("", testutil::ReadFileOrEmpty(dir.File("err")));
        }
    }
}

// Guards each window leaving the screen when its call returns, in a caller that does not run the
// toolkit afterwards (as the host between two requests): the destroy request stayed in the display
// connection's buffer and the dead window on screen for as long as the caller lived.
TEST(WholeProcess, WindowsLeaveTheScreenWhenTheCallReturnsThoughTheToolkitIsNotRunAgain)
{
    const char* display = getenv("DISPLAY");
    if (!display || !*display)
        GTEST_SKIP() << "no display (run under xvfb-run)";
    if (0 != testutil::RunCommand("command -v xdotool >/dev/null"))
        GTEST_SKIP() << "xdotool is not installed";
    struct Case
    {
        const char* title;
        const char* keys;
        const char* probeArguments;
        const char* answer;
    };
    const Case kCases[] = {
        {"Select Key", "Escape", "select-key k1 k2", "-1\n"},
        {"Enter PIN", "type:123456 Return", "pin 0 6 8", "0 123456\n"},
        {"Select Certificate", "Down Return", "select-cert 2", "0\n"},
        {"Varnell Probe", "Return", "alert 'Varnell Probe' 'An alert of its own'", "1\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.title);
        testutil::ScopedTempDir dir;
        std::string log;
        const int status = testutil::RunCommand(
            "bash " + testutil::ShellQuote(testutil::SourceDir() + "/tests/Tamsel/xdotool_window_gone.sh") + " " +
                testutil::ShellQuote(Probe()) + " " + testutil::ShellQuote(dir.Path()) + " " +
                testutil::ShellQuote(c.title) + " " + testutil::ShellQuote(c.keys) + " " + c.probeArguments + " 2>&1",
            &log);
        ASSERT_EQ(0, status) << log << testutil::ReadFileOrEmpty(dir.File("err"));
        EXPECT_EQ(c.answer, testutil::ReadFileOrEmpty(dir.File("answer")));
        EXPECT_EQ("", testutil::ReadFileOrEmpty(dir.File("visible"))) << "windows still viewable after the answer";
    }
}

}  // namespace
