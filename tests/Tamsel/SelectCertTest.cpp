#include "DialogTestSupport.h"
#include "TamselDialogs.h"

#include "platform/Bundle.h"
#include "platform/CertificatePanel.h"
#include "platform/DialogBackend.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using dialogtest::RecordSet;
using platform::UserEvent;
using platform::Window;

class SelectCertTest : public dialogtest::DialogTest
{
protected:
    static RecordSet TwoRecords()
    {
        RecordSet records;
        records.Add("CN=Alice, O=Example", "CN=Example CA");
        records.Add("CN=Bob, O=Example", "CN=Example CA");
        return records;
    }

    // The rows the table shows, as (subject, issuer).
    static std::vector<std::pair<std::string, std::string>> Rows(Window& window)
    {
        std::vector<std::pair<std::string, std::string>> rows;
        auto* content = window.FindView<platform::ArrayController>("pCertContentArray");
        if (content) {
            for (const auto& o : content->ArrangedObjects())
                rows.emplace_back(o.at("SubjectDN"), o.at("IssuerDN"));
        }
        return rows;
    }
};

TEST_F(SelectCertTest, AnswersFollowTheUsersChoice)
{
    struct Case
    {
        const char* name;
        std::vector<UserEvent> script;
        int answer;
        size_t alerts;
    };
    const Case kCases[] = {
        {"second row and OK", {UserEvent::Select("pCertTableView", 1), UserEvent::Click("ClickOK")}, 1, 0},
        {"first row and OK", {UserEvent::Select("pCertTableView", 0), UserEvent::Click("ClickOK")}, 0, 0},
        {"Cancel with a row selected", {UserEvent::Select("pCertTableView", 1), UserEvent::Click("ClickCancel")}, -1, 0},
        {"OK without a selection", {UserEvent::Click("ClickOK")}, -1, 1},
        {"selection cleared before OK",
         {UserEvent::Select("pCertTableView", 1), UserEvent::Select("pCertTableView", -1), UserEvent::Click("ClickOK")},
         -1,
         1},
        {"window closed from its frame", {UserEvent::Select("pCertTableView", 0), UserEvent::CloseWindow()}, -1, 0},
        {"session aborted with a row selected", {UserEvent::Select("pCertTableView", 1)}, -1, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        platform::ScriptedDialogBackend* backend = UseScript(c.script);
        RecordSet records = TwoRecords();
        EXPECT_EQ(c.answer, tamsel::RunSelectCert(records.Pointers()));
        EXPECT_TRUE(backend->Errors().empty()) << backend->Errors().front();
        EXPECT_EQ((std::vector<std::string>{"Select Certificate"}), backend->ShownWindows());
        EXPECT_EQ((std::vector<std::string>{"Select Certificate"}), backend->ClosedWindows());
        EXPECT_EQ(platform::kFloatingWindowLevel, backend->LastLevel("Select Certificate"));
        ASSERT_EQ(c.alerts, backend->Alerts().size());
        if (c.alerts) {
            EXPECT_EQ("No Certificate Selected", backend->Alerts()[0].title);
            EXPECT_EQ("The window will close and nothing will be signed. To sign, try again and select a certificate "
                      "first.",
                      backend->Alerts()[0].message);
            EXPECT_EQ("OK", backend->Alerts()[0].button);
        }
    }
}

// The alert for OK without a row says what follows it, in each language: the window closes and
// nothing is signed.
TEST_F(SelectCertTest, AlertWithoutASelectionSaysNothingWillBeSigned)
{
    const std::pair<const char*, const char*> kCases[] = {{"C.UTF-8", "will close and nothing will be signed"},
                                                          {"zh_CN.UTF-8", "窗口将关闭，不会签署任何内容"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.first);
        SetLocale(c.first);
        platform::ScriptedDialogBackend* backend = UseScript({UserEvent::Click("ClickOK")});
        RecordSet records = TwoRecords();
        EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
        ASSERT_EQ(1u, backend->Alerts().size());
        EXPECT_NE(std::string::npos, backend->Alerts()[0].message.find(c.second)) << backend->Alerts()[0].message;
    }
}

TEST_F(SelectCertTest, RowsKeepTheCallersOrderAndTheAnswerNamesThePickedRecord)
{
    // Hazard: a table that sorts its rows answers with a position that names another record.
    RecordSet records;
    records.Add("CN=Zoe", "CN=CA 3");
    records.Add("CN=Adam", "CN=CA 1");
    records.Add("CN=Mia", "CN=CA 2");
    std::vector<std::pair<std::string, std::string>> rows;
    UseScript({UserEvent::Inspect([&](Window& w) { rows = Rows(w); }), UserEvent::Select("pCertTableView", 1),
               UserEvent::Click("ClickOK")});
    const int answer = tamsel::RunSelectCert(records.Pointers());
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("CN=Zoe", rows[0].first);
    EXPECT_EQ("CN=Adam", rows[1].first);
    EXPECT_EQ("CN=Mia", rows[2].first);
    ASSERT_EQ(1, answer);
    EXPECT_EQ("CN=Adam", records.Subject(static_cast<size_t>(answer)));
}

TEST_F(SelectCertTest, OneRecordStillShowsTheWindow)
{
    RecordSet records;
    records.Add("CN=Only", "CN=CA");
    platform::ScriptedDialogBackend* backend =
        UseScript({UserEvent::Select("pCertTableView", 0), UserEvent::Click("ClickOK")});
    EXPECT_EQ(0, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_EQ(1u, backend->ShownWindows().size());
}

TEST_F(SelectCertTest, NoMoreThanAHundredRecordsAreCopiedOrShown)
{
    RecordSet records;
    for (int i = 0; i < 100; ++i)
        records.AddRaw(("CN=User " + std::to_string(i)).c_str(), "CN=CA", {0x30, 0x00});
    std::vector<const CertDisplayRecord*> pointers(records.Pointers(), records.Pointers() + 100);
    // Records past the hundredth must never be read: these point nowhere valid.
    CertDisplayRecord poisoned;
    poisoned.pszSubjectDN = reinterpret_cast<const char*>(8);
    poisoned.pszIssuerDN = reinterpret_cast<const char*>(8);
    poisoned.stCertData.pbyData = reinterpret_cast<unsigned char*>(8);
    poisoned.stCertData.lDataSize = 1 << 20;
    for (int i = 0; i < 50; ++i)
        pointers.push_back(&poisoned);
    pointers.push_back(nullptr);

    size_t rowCount = 0;
    std::string lastSubject;
    platform::ScriptedDialogBackend* backend = UseScript({UserEvent::Inspect([&](Window& w) {
                                                              auto rows = Rows(w);
                                                              rowCount = rows.size();
                                                              lastSubject = rows.empty() ? "" : rows.back().first;
                                                          }),
                                                          UserEvent::Select("pCertTableView", 100),
                                                          UserEvent::Click("ClickOK")});
    // Row 100 does not exist, so OK finds no selection.
    EXPECT_EQ(-1, tamsel::RunSelectCert(pointers.data()));
    EXPECT_EQ(100u, rowCount);
    EXPECT_EQ("CN=User 99", lastSubject);
    EXPECT_EQ(1u, backend->Alerts().size());

    UseScript({UserEvent::Select("pCertTableView", 99), UserEvent::Click("ClickOK")});
    EXPECT_EQ(99, tamsel::RunSelectCert(pointers.data()));
}

TEST_F(SelectCertTest, MissingOrUndecodableNamesShowEmptyCells)
{
    RecordSet records;
    records.Add("CN=No Issuer", nullptr);
    records.Add("CN=Empty Issuer", "");
    records.Add("CN=\xC3\x28 broken", "CN=Fine CA");
    records.Add(nullptr, "CN=Fine CA");
    std::vector<std::pair<std::string, std::string>> rows;
    UseScript({UserEvent::Inspect([&](Window& w) { rows = Rows(w); }), UserEvent::Select("pCertTableView", 2),
               UserEvent::Click("ClickOK")});
    EXPECT_EQ(2, tamsel::RunSelectCert(records.Pointers()));
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ(std::make_pair(std::string("CN=No Issuer"), std::string()), rows[0]);
    EXPECT_EQ(std::make_pair(std::string("CN=Empty Issuer"), std::string()), rows[1]);
    EXPECT_EQ(std::make_pair(std::string(), std::string("CN=Fine CA")), rows[2]);
    EXPECT_EQ(std::make_pair(std::string(), std::string("CN=Fine CA")), rows[3]);
}

TEST_F(SelectCertTest, DoubleClickOpensTheCertificateSheetAndLeavesTheSelection)
{
    RecordSet records;
    records.Add("CN=Alice", "CN=Example CA");
    records.Add("王五", "示例 CA");
    int selectionAfterSheet = -2;
    platform::ScriptedDialogBackend* backend = UseScript({
        UserEvent::DoubleClick("pCertTableView", 1),
        UserEvent::Click(platform::CertificatePanel::kOKOutlet),
        UserEvent::Inspect([&](Window& w) {
            EXPECT_EQ(nullptr, w.AttachedSheet());
            selectionAfterSheet = w.FindView<platform::ArrayController>("pCertContentArray")->SelectionIndex();
        }),
        UserEvent::DoubleClick("pCertTableView", 0),
        UserEvent::Click(platform::CertificatePanel::kOKOutlet),
        UserEvent::Click("ClickOK"),
    });
    EXPECT_EQ(0, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_EQ(1, selectionAfterSheet);
    EXPECT_TRUE(backend->Errors().empty());
    ASSERT_EQ(2u, backend->Sheets().size());
    EXPECT_EQ("Select Certificate", backend->Sheets()[0].parentTitle);
    EXPECT_EQ("OK", backend->Sheets()[0].button);
    EXPECT_NE(std::string::npos, backend->Sheets()[0].text.find("CN = 王五"));
    EXPECT_NE(std::string::npos, backend->Sheets()[1].text.find("CN = CN=Alice"));
}

TEST_F(SelectCertTest, DoubleClickWithoutACertificateOrSelectionOpensNothing)
{
    RecordSet records;
    records.AddRaw("CN=Garbage", "CN=CA", {0x01, 0x02, 0x03});
    records.AddRaw("CN=Nothing", "CN=CA", {});
    platform::ScriptedDialogBackend* backend = UseScript({
        UserEvent::DoubleClick("pCertTableView", 0),
        UserEvent::DoubleClick("pCertTableView", 1),
        UserEvent::Select("pCertTableView", -1),
        UserEvent::DoubleClick("pCertTableView", -1),
        UserEvent::Select("pCertTableView", 1),
        UserEvent::Click("ClickOK"),
    });
    EXPECT_EQ(1, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_TRUE(backend->Sheets().empty());
    EXPECT_TRUE(backend->Errors().empty());
}

TEST_F(SelectCertTest, ChineseLocaleShowsChineseTextsAndTaiwanTheBaseOnes)
{
    RecordSet records = TwoRecords();
    SetLocale("zh_CN.UTF-8");
    platform::ScriptedDialogBackend* backend = UseScript({UserEvent::Click("ClickOK")});
    EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_EQ((std::vector<std::string>{"选择证书"}), backend->ShownWindows());
    ASSERT_EQ(1u, backend->Alerts().size());
    EXPECT_EQ("未选择证书", backend->Alerts()[0].title);
    EXPECT_EQ("OK", backend->Alerts()[0].button);

    SetLocale("zh_TW.UTF-8");
    backend = UseScript({UserEvent::Click("ClickOK")});
    EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_EQ((std::vector<std::string>{"Select Certificate"}), backend->ShownWindows());
    ASSERT_EQ(1u, backend->Alerts().size());
    EXPECT_EQ("No Certificate Selected", backend->Alerts()[0].title);
}

TEST_F(SelectCertTest, WithoutTheFrameworkTextsTheKeysAreShown)
{
    platform::Bundle::RegisterIdentifier(tamsel::kFrameworkBundleIdentifier, "/nonexistent/Resources");
    RecordSet records = TwoRecords();
    platform::ScriptedDialogBackend* backend = UseScript({UserEvent::Click("ClickOK")});
    EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
    // The layout falls back to its built-in English texts; the alert to its keys.
    EXPECT_EQ((std::vector<std::string>{"Select Certificate"}), backend->ShownWindows());
    ASSERT_EQ(1u, backend->Alerts().size());
    EXPECT_EQ("SelectCertTitle", backend->Alerts()[0].title);
    EXPECT_EQ("SelectCertContext", backend->Alerts()[0].message);
}

TEST_F(SelectCertTest, NoDisplayAnswersCancelledWithOneLineOnStderr)
{
    platform::SetDialogBackend(platform::MakeUnavailableDialogBackend("no display"));
    RecordSet records = TwoRecords();
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-1, tamsel::RunSelectCert(records.Pointers()));
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_NE(std::string::npos, err.find("GetSelectCert")) << err;
    EXPECT_NE(std::string::npos, err.find("no display")) << err;
}

}  // namespace
