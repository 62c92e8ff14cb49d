// The shipped form of the dialog library: what it exports, how programs find it, and how it
// behaves in a process of its own.
#include "Tamsel64.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

namespace {

std::string AppDir()
{
    return testutil::BinaryDir() + "/VarnellHost.app";
}

std::string Library()
{
    return AppDir() + "/Frameworks/Tamsel64.framework/libTamsel64.so.1";
}

std::string Probe()
{
    return AppDir() + "/bin/tamsel_probe";
}

// The GTK backend's module, beside the library.
std::string ToolkitModule()
{
    return AppDir() + "/Frameworks/Tamsel64.framework/libTamsel64Gtk.so";
}

std::set<std::string> DynamicSymbols(const std::string& file)
{
    std::string out;
    EXPECT_EQ(0, testutil::RunCommand("nm -D --defined-only " + testutil::ShellQuote(file), &out)) << file;
    std::set<std::string> names;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            names.insert(name);
    }
    return names;
}

// The toolkit's own libraries among the lines of `ldd`, as "name" each.
std::set<std::string> ToolkitLibraries(const std::string& lddOutput)
{
    static const char* const kToolkit[] = {"libgtk-", "libgdk-", "libgdk_pixbuf", "libpango", "libcairo", "libatk",
                                           "libharfbuzz", "libTamsel64Gtk"};
    std::set<std::string> found;
    std::istringstream lines(lddOutput);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        for (const char* prefix : kToolkit) {
            if (0 == name.rfind(prefix, 0))
                found.insert(name);
        }
    }
    return found;
}

struct ProcessResult
{
    int status;
    std::string out;
    std::string err;
    std::string answer;
};

// Runs the probe with a clean dialog environment plus `env`; stdout, stderr and the answer file
// are kept apart. `timeout` guards against a dialog that would wait for a user.
ProcessResult RunProbe(const std::string& env, const std::string& args, const std::string& probe = Probe())
{
    testutil::ScopedTempDir dir;
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u PLATFORM_DIALOG_SCRIPT -u PLATFORM_DIALOG_BACKEND " +
                                env + " timeout 60 " + testutil::ShellQuote(probe) + " --answer " +
                                testutil::ShellQuote(dir.File("answer")) + " " + args + " >" +
                                testutil::ShellQuote(dir.File("out")) + " 2>" + testutil::ShellQuote(dir.File("err"));
    ProcessResult r;
    r.status = testutil::RunCommand(command);
    r.out = testutil::ReadFileOrEmpty(dir.File("out"));
    r.err = testutil::ReadFileOrEmpty(dir.File("err"));
    r.answer = testutil::ReadFileOrEmpty(dir.File("answer"));
    return r;
}

long Lines(const std::string& text)
{
    return std::count(text.begin(), text.end(), '\n');
}

TEST(Library, ExportsOnlyTheEntryPoints)
{
    EXPECT_EQ((std::set<std::string>{"GetSelectCert", "GetSelectedKey", "GetUserPIN", "PlatformRunAlertPanel",
                                     "PlatformCancelDialogs"}),
              DynamicSymbols(Library()));
    // The toolkit module's one entry point, which the library looks up by name.
    EXPECT_EQ((std::set<std::string>{"PlatformGtkModuleCreateBackend"}), DynamicSymbols(ToolkitModule()));
}

// Guards the start of every program that links the library: GTK and its libraries (70 of them, a
// good part of a host's start-up time) are mapped only from the module, once a window is to be
// shown, never at load time.
TEST(Library, ProgramsLoadTheToolkitOnlyThroughItsModule)
{
    for (const std::string& file : {Library(), Probe()}) {
        std::string out;
        ASSERT_EQ(0, testutil::RunCommand("ldd " + testutil::ShellQuote(file), &out)) << file;
        EXPECT_EQ(std::set<std::string>{}, ToolkitLibraries(out)) << file << "\n" << out;
    }
    std::string out;
    ASSERT_EQ(0, testutil::RunCommand("ldd " + testutil::ShellQuote(ToolkitModule()), &out));
    EXPECT_EQ(1u, ToolkitLibraries(out).count("libgtk-3.so.0")) << out;
}

TEST(Library, ProgramsFindTheLibraryThroughTheBundleTree)
{
    std::string dynamic;
    ASSERT_EQ(0, testutil::RunCommand("readelf -d " + testutil::ShellQuote(Library()), &dynamic));
    EXPECT_NE(std::string::npos, dynamic.find("Library soname: [libTamsel64.so.1]")) << dynamic;

    ASSERT_EQ(0, testutil::RunCommand("readelf -d " + testutil::ShellQuote(Probe()), &dynamic));
    EXPECT_NE(std::string::npos, dynamic.find("Library runpath: [$ORIGIN/../Frameworks/Tamsel64.framework]")) << dynamic;
    EXPECT_NE(std::string::npos, dynamic.find("Shared library: [libTamsel64.so.1]")) << dynamic;

    for (const char* file : {"libTamsel64.so.1.0.0", "libTamsel64.so.1", "Resources/Localizable.strings",
                             "Resources/zh-Hans.lproj/Localizable.strings"})
        EXPECT_TRUE(testutil::FileExists(AppDir() + "/Frameworks/Tamsel64.framework/" + file)) << file;
}

TEST(Library, CopyOfTheTreeRunsElsewhere)
{
    testutil::ScopedTempDir dir;
    ASSERT_EQ(0, testutil::RunCommand("mkdir -p " + testutil::ShellQuote(dir.File("Copy.app/bin")) + " && cp -a " +
                                      testutil::ShellQuote(AppDir() + "/Frameworks") + " " +
                                      testutil::ShellQuote(dir.File("Copy.app/")) + " && cp " +
                                      testutil::ShellQuote(Probe()) + " " + testutil::ShellQuote(dir.File("Copy.app/bin/"))));
    const ProcessResult r = RunProbe("", "select-cert 2", dir.File("Copy.app/bin/tamsel_probe"));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("-1\n", r.answer);
    // The copy's toolkit module is found beside the copy's library: GTK starts (and finds no display).
    const ProcessResult gtk =
        RunProbe("DISPLAY=:987 GDK_BACKEND=x11", "select-cert 2", dir.File("Copy.app/bin/tamsel_probe"));
    EXPECT_EQ("-1\n", gtk.answer);
    EXPECT_NE(std::string::npos, gtk.err.find("(no display)")) << gtk.err;
}

// Guards the dialogs of a tree that lacks the toolkit module (or holds a broken one): each answers
// as cancelled with one line on stderr that names the module, as without a display.
TEST(Library, WithoutTheToolkitModuleEveryDialogAnswersCancelled)
{
    testutil::ScopedTempDir dir;
    const std::string copy = dir.File("Copy.app");
    ASSERT_EQ(0, testutil::RunCommand("mkdir -p " + testutil::ShellQuote(copy + "/bin") + " && cp -a " +
                                      testutil::ShellQuote(AppDir() + "/Frameworks") + " " + testutil::ShellQuote(copy) +
                                      " && cp " + testutil::ShellQuote(Probe()) + " " + testutil::ShellQuote(copy + "/bin/")));
    const std::string module = copy + "/Frameworks/Tamsel64.framework/libTamsel64Gtk.so";
    struct Case
    {
        const char* args;
        const char* mention;
    };
    const Case kCases[] = {
        {"select-cert 3", "GetSelectCert"},
        {"select-key a b", "GetSelectedKey"},
        {"pin 0 6 8", "GetUserPIN"},
    };
    // Missing, then a file that is no library.
    for (const char* setup : {"rm -f", "echo 'not a library' >"}) {
        ASSERT_EQ(0, testutil::RunCommand(std::string(setup) + " " + testutil::ShellQuote(module)));
        for (const auto& c : kCases) {
            SCOPED_TRACE(std::string(setup) + " " + c.args);
            const ProcessResult r = RunProbe("DISPLAY=:987 GDK_BACKEND=x11", c.args, copy + "/bin/tamsel_probe");
            EXPECT_EQ(0, r.status);
            EXPECT_EQ("-1\n", r.answer);
            EXPECT_EQ("", r.out);
            EXPECT_EQ(1, Lines(r.err)) << r.err;
            EXPECT_NE(std::string::npos, r.err.find(c.mention)) << r.err;
            EXPECT_NE(std::string::npos, r.err.find(module)) << r.err;
        }
        const ProcessResult alert = RunProbe("DISPLAY=:987", "alert 'https://varnell.example' 'Please reload website.'",
                                             copy + "/bin/tamsel_probe");
        EXPECT_EQ("-1\n", alert.answer);
        EXPECT_EQ(1, Lines(alert.err)) << alert.err;
        EXPECT_NE(std::string::npos, alert.err.find("Please reload website.")) << alert.err;
    }
}

TEST(Library, WithoutADisplayEveryDialogAnswersCancelledOnStderrOnly)
{
    struct Case
    {
        const char* args;
        const char* answer;
        const char* mention;
    };
    const Case kCases[] = {
        {"select-cert 3", "-1\n", "GetSelectCert"},
        {"select-key a b", "-1\n", "GetSelectedKey"},
        {"pin 0 6 8", "-1\n", "GetUserPIN"},
        {"alert 'https://varnell.example' 'Please reload website.'", "-1\n", "Please reload website."},
    };
    // No display at all, and a display that cannot be opened.
    for (const char* env : {"", "DISPLAY=:987 GDK_BACKEND=x11 G_MESSAGES_DEBUG=all"}) {
        for (const auto& c : kCases) {
            SCOPED_TRACE(std::string(env) + " " + c.args);
            const ProcessResult r = RunProbe(env, c.args);
            EXPECT_EQ(0, r.status);
            EXPECT_EQ(c.answer, r.answer);
            // Standard output is the host's reply pipe: not one byte may go there.
            EXPECT_EQ("", r.out);
            EXPECT_EQ(1, Lines(r.err)) << r.err;
            EXPECT_NE(std::string::npos, r.err.find(c.mention)) << r.err;
        }
    }
}

TEST(Library, ScriptHookAnswersDialogsOnlyInTestBuilds)
{
    const ProcessResult r =
        RunProbe("PLATFORM_DIALOG_SCRIPT='select pCertTableView 1; click ClickOK'", "select-cert 3");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
#ifdef PLATFORM_TEST_HOOKS
    EXPECT_EQ("1\n", r.answer) << r.err;
    const ProcessResult pin = RunProbe("PLATFORM_DIALOG_SCRIPT='type m_pPINText 1234; click ClickOK; type m_pPINText "
                                       "123456; click ClickOK'",
                                       "pin 1 6 8");
    EXPECT_EQ("0 123456\n", pin.answer) << pin.err;
    const ProcessResult broken = RunProbe("PLATFORM_DIALOG_SCRIPT='press OK'", "select-key a");
    EXPECT_EQ("-1\n", broken.answer);
    EXPECT_NE(std::string::npos, broken.err.find("does not parse")) << broken.err;
#else
    // A shipped library ignores the hook: without a display the answer stays "cancelled".
    EXPECT_EQ("-1\n", r.answer) << r.err;
#endif
}

TEST(Library, TurnedOffDialogsAnswerCancelled)
{
    const ProcessResult r = RunProbe("PLATFORM_DIALOG_BACKEND=none DISPLAY=:99", "select-key a");
    EXPECT_EQ("-1\n", r.answer);
    EXPECT_NE(std::string::npos, r.err.find("turned off")) << r.err;
}

}  // namespace

