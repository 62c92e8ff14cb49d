#include "platform/AppKit.h"
#include "platform/CertificatePanel.h"
#include "platform/DialogApp.h"
#include "platform/DialogBackend.h"
#include "platform/ScriptedDialogBackend.h"

#include "TestCertificates.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

namespace {

using platform::DialogApp;
using platform::ScriptedDialogBackend;
using platform::UserEvent;
using platform::Window;

TEST(DialogScript, ParsesCommandsAndRefusesMalformedOnes)
{
    std::vector<UserEvent> events;
    std::string error;
    ASSERT_TRUE(platform::ParseDialogScript(
        " select pCertTableView 1; click ClickOK;type m_pPINText 12 34 ;doubleclick pCertTableView;close;", &events,
        &error))
        << error;
    ASSERT_EQ(5u, events.size());
    EXPECT_EQ(UserEvent::Kind::Select, events[0].kind);
    EXPECT_EQ("pCertTableView", events[0].outlet);
    EXPECT_EQ("1", events[0].value);
    EXPECT_EQ(UserEvent::Kind::Click, events[1].kind);
    EXPECT_EQ("ClickOK", events[1].outlet);
    EXPECT_EQ(UserEvent::Kind::Type, events[2].kind);
    EXPECT_EQ("12 34", events[2].value);
    EXPECT_EQ(UserEvent::Kind::DoubleClick, events[3].kind);
    EXPECT_EQ("", events[3].value);
    EXPECT_EQ(UserEvent::Kind::CloseWindow, events[4].kind);

    for (const char* bad : {"select pCertTableView", "select pCertTableView one", "click", "click a b", "press OK",
                            "close now", "doubleclick t x", "select t 99999999999"}) {
        events.clear();
        EXPECT_FALSE(platform::ParseDialogScript(bad, &events, &error)) << bad;
        EXPECT_TRUE(events.empty()) << bad;
    }
}

// A window with buttons that end the session in each way, run through the scripted backend.
class ModalSessionTest : public ::testing::Test
{
protected:
    ScriptedDialogBackend* UseScript(std::vector<UserEvent> events)
    {
        auto backend = std::make_unique<ScriptedDialogBackend>(std::move(events));
        ScriptedDialogBackend* raw = backend.get();
        platform::SetDialogBackend(std::move(backend));
        return raw;
    }
    void TearDown() override { platform::SetDialogBackend(nullptr); }

    std::unique_ptr<Window> MakeWindow()
    {
        auto window = std::make_unique<Window>("Test Window");
        auto stop = std::make_unique<platform::Button>("stop");
        stop->SetAction([] { DialogApp().StopModal(); });
        window->AddView(std::move(stop));
        auto abort = std::make_unique<platform::Button>("abort");
        abort->SetAction([] { DialogApp().AbortModal(); });
        window->AddView(std::move(abort));
        auto other = std::make_unique<platform::Button>("other");
        other->SetAction([this] { ++m_otherClicks; });
        window->AddView(std::move(other));
        return window;
    }

    // Runs the session until it ends; returns the responses seen.
    std::vector<int> RunSession(Window* window)
    {
        std::vector<int> responses;
        platform::ModalSession* session = DialogApp().BeginModalSessionForWindow(window);
        for (int i = 0; i < 20; ++i) {
            const int r = DialogApp().RunModalSession(session);
            responses.push_back(r);
            if (r != platform::kModalResponseContinue)
                break;
        }
        DialogApp().EndModalSession(session);
        return responses;
    }

    int m_otherClicks = 0;
};

TEST_F(ModalSessionTest, ResponsesTellStopAbortAndContinueApart)
{
    const int kStop = platform::kModalResponseStop;
    const int kAbort = platform::kModalResponseAbort;
    const int kContinue = platform::kModalResponseContinue;
    struct Case
    {
        const char* name;
        std::vector<UserEvent> script;
        std::vector<int> responses;
    };
    const Case kCases[] = {
        {"stop", {UserEvent::Click("stop")}, {kStop}},
        {"abort", {UserEvent::Click("abort")}, {kAbort}},
        {"continue then stop", {UserEvent::Click("other"), UserEvent::Click("stop")}, {kContinue, kStop}},
        // An exhausted script ends the session instead of hanging the test.
        {"script runs out", {UserEvent::Click("other")}, {kContinue, kAbort}},
        {"unknown outlet is recorded, not fatal", {UserEvent::Click("nothing"), UserEvent::Click("stop")},
         {kContinue, kStop}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ScriptedDialogBackend* backend = UseScript(c.script);
        auto window = MakeWindow();
        EXPECT_EQ(c.responses, RunSession(window.get()));
        EXPECT_EQ((std::vector<std::string>{"Test Window"}), backend->ShownWindows());
        window.reset();
        EXPECT_EQ((std::vector<std::string>{"Test Window"}), backend->ClosedWindows());
    }
    EXPECT_EQ(2, m_otherClicks);
    EXPECT_EQ(platform::kModalResponseAbort, DialogApp().RunModalSession(nullptr));
}

TEST_F(ModalSessionTest, FrameCloseWithoutDelegateClosesTheWindow)
{
    ScriptedDialogBackend* backend = UseScript({UserEvent::CloseWindow(), UserEvent::Click("stop")});
    auto window = MakeWindow();
    platform::ModalSession* session = DialogApp().BeginModalSessionForWindow(window.get());
    EXPECT_EQ(platform::kModalResponseContinue, DialogApp().RunModalSession(session));
    EXPECT_FALSE(window->IsVisible());
    EXPECT_EQ((std::vector<std::string>{"Test Window"}), backend->ClosedWindows());
    DialogApp().EndModalSession(session);
}

TEST_F(ModalSessionTest, CertificateSheetShowsTheLibraryPrintoutAndKeepsTheParentSessionRunning)
{
    const std::vector<unsigned char> der = testcerts::MakeCertificate("张三", "Test Issuing CA", 0x1234);
    int didEnd = 0;
    int didEndCode = 0;
    ScriptedDialogBackend* backend = nullptr;
    std::vector<UserEvent> script;
    Window* parent = nullptr;
    script.push_back(UserEvent::Inspect([&](Window& front) {
        EXPECT_EQ(parent, &front);
        EXPECT_TRUE(platform::CertificatePanel::BeginSheetForWindow(parent, der.data(), der.size(),
                                                                    [&](Window* sheet, int code) {
                                                                        ++didEnd;
                                                                        didEndCode = code;
                                                                        EXPECT_NE(nullptr, sheet);
                                                                    }));
        // Only one sheet at a time.
        EXPECT_FALSE(platform::CertificatePanel::BeginSheetForWindow(parent, der.data(), der.size(), nullptr));
    }));
    // The sheet is modal: the parent's buttons are out of reach while it is open.
    script.push_back(UserEvent::Click("stop"));
    script.push_back(UserEvent::Click(platform::CertificatePanel::kOKOutlet));
    script.push_back(UserEvent::Click("stop"));
    backend = UseScript(std::move(script));
    auto window = MakeWindow();
    parent = window.get();

    const std::vector<int> responses = RunSession(parent);
    EXPECT_EQ((std::vector<int>{platform::kModalResponseContinue, platform::kModalResponseContinue,
                                platform::kModalResponseContinue, platform::kModalResponseStop}),
              responses);
    EXPECT_EQ(1, didEnd);
    EXPECT_EQ(1, didEndCode);
    EXPECT_EQ(nullptr, parent->AttachedSheet());
    ASSERT_EQ(1u, backend->Errors().size());
    EXPECT_NE(std::string::npos, backend->Errors()[0].find("'stop'"));

    ASSERT_EQ(1u, backend->Sheets().size());
    const auto& sheet = backend->Sheets()[0];
    EXPECT_EQ("Certificate", sheet.title);
    EXPECT_EQ("Test Window", sheet.parentTitle);
    EXPECT_EQ("OK", sheet.button);
    EXPECT_NE(std::string::npos, sheet.text.find("Certificate:"));
    EXPECT_NE(std::string::npos, sheet.text.find("0x1234"));

    // The subject line matches the openssl tool's reading of the same certificate, UTF-8 unescaped.
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir.File("c.der"), std::string(der.begin(), der.end())));
    std::string subject;
    ASSERT_EQ(0, testutil::RunCommand("openssl x509 -inform DER -noout -subject -nameopt oneline,-esc_msb -in " +
                                          testutil::ShellQuote(dir.File("c.der")),
                                      &subject));
    ASSERT_EQ(0u, subject.rfind("subject=", 0)) << subject;
    subject = subject.substr(8, subject.find('\n') - 8);
    EXPECT_NE(std::string::npos, subject.find("张三"));
    EXPECT_NE(std::string::npos, sheet.text.find("Subject: " + subject)) << sheet.text;
}

TEST_F(ModalSessionTest, BytesThatAreNotACertificateOpenNoSheet)
{
    std::vector<unsigned char> der = testcerts::MakeCertificate("A", "B", 1);
    std::vector<unsigned char> trailing = der;
    trailing.push_back(0);
    const std::vector<unsigned char> garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
    std::vector<unsigned char> cut(der.begin(), der.end() - 1);

    ScriptedDialogBackend* backend = UseScript({});
    auto window = MakeWindow();
    window->OrderFront();
    EXPECT_FALSE(platform::CertificatePanel::BeginSheetForWindow(window.get(), nullptr, 0, nullptr));
    EXPECT_FALSE(platform::CertificatePanel::BeginSheetForWindow(window.get(), garbage.data(), garbage.size(), nullptr));
    EXPECT_FALSE(platform::CertificatePanel::BeginSheetForWindow(window.get(), trailing.data(), trailing.size(), nullptr));
    EXPECT_FALSE(platform::CertificatePanel::BeginSheetForWindow(window.get(), cut.data(), cut.size(), nullptr));
    EXPECT_TRUE(backend->Sheets().empty());
    EXPECT_EQ(nullptr, window->AttachedSheet());
    EXPECT_TRUE(platform::CertificateCreateWithData(der.data(), der.size()) != nullptr);
}

TEST_F(ModalSessionTest, AlertWithoutADisplayGoesToStderrAsOneLine)
{
    platform::SetDialogBackend(platform::MakeUnavailableDialogBackend("no display"));
    std::string reason;
    EXPECT_FALSE(DialogApp().CanRunModal(&reason));
    EXPECT_EQ("no display", reason);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, platform::RunAlertPanel("https://varnell.example", "Please reload\nwebsite.", "OK"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("https://varnell.example: Please reload website.\n", err);
}

TEST_F(ModalSessionTest, AlertIsRecordedByTheBackend)
{
    ScriptedDialogBackend* backend = UseScript({});
    EXPECT_EQ(platform::kAlertDefaultReturn, platform::RunAlertPanel("T", "M", "OK"));
    ASSERT_EQ(1u, backend->Alerts().size());
    EXPECT_EQ("T", backend->Alerts()[0].title);
    EXPECT_EQ("M", backend->Alerts()[0].message);
    EXPECT_EQ("OK", backend->Alerts()[0].button);
}

// Guards the end of every dialog when the application is ending (CancelAllModalSessions, from
// another thread): as Escape pressed until the window goes, so with a sheet open the first press is
// the sheet's alone, then the window's Cancel; a window without one is aborted; no alert or later
// dialog is shown. The request lasts for the life of the process: the cases run in a child.
TEST_F(ModalSessionTest, CancellingEveryDialogEndsAnOpenSheetFirstThenItsWindow)
{
    const auto cancelled = [this] {
        ScriptedDialogBackend* backend = UseScript({});
        std::thread([] { DialogApp().CancelAllModalSessions(); }).join();
        for (const bool sheet : {true, false}) {
            std::string presses;
            Window window("W");
            auto* stop = window.AddView(std::make_unique<platform::Button>("stop"));
            stop->SetAction([&] { presses += "window "; DialogApp().StopModal(); });
            stop->SetCancel(sheet);  // without a sheet: no Cancel button
            platform::ModalSession* session = DialogApp().BeginModalSessionForWindow(&window);
            auto child = std::make_unique<Window>("S");
            auto* ok = child->AddView(std::make_unique<platform::Button>("ok"));
            ok->SetAction([&] { presses += "sheet "; window.EndSheet(); });
            ok->SetCancel(true);
            if (sheet)
                window.BeginSheet(std::move(child));
            EXPECT_EQ(sheet ? platform::kModalResponseStop : platform::kModalResponseAbort,
                      DialogApp().RunModalSession(session));
            DialogApp().EndModalSession(session);
            EXPECT_EQ(sheet ? "sheet window " : "", presses);
        }
        EXPECT_EQ(0, backend->ExhaustedRounds());
        EXPECT_FALSE(DialogApp().CanRunModal(nullptr));
        EXPECT_EQ(-1, platform::RunAlertPanel("T", "M", "OK"));
        EXPECT_TRUE(backend->Alerts().empty());
        // A death test shows only the child's stderr.
        const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
        for (int i = 0; i < result->total_part_count(); ++i)
            fprintf(stderr, "%s\n", result->GetTestPartResult(i).message());
        exit(HasFailure() ? 1 : 0);
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(cancelled(), ::testing::ExitedWithCode(0), "");
}

TEST(Widgets, SecureFieldWipesTheReplacedText)
{
    // Hazard: a PIN left readable in freed or reused memory after the field was cleared.
    platform::SecureTextField field("pin");
    field.SetStringValue("123456");
    const char* buffer = field.StringValue().data();  // short text: stored inside the object
    field.Clear();
    EXPECT_EQ("", field.StringValue());
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ('\0', buffer[i]) << i;
}

}  // namespace
