#include "DialogTestSupport.h"
#include "TamselDialogs.h"

#include <gtest/gtest.h>

namespace {

using platform::UserEvent;
using platform::Window;

class SelectKeyTest : public dialogtest::DialogTest
{
};

TEST_F(SelectKeyTest, AnswersFollowTheUsersChoice)
{
    struct Case
    {
        const char* name;
        std::vector<const char*> keys;
        std::vector<UserEvent> script;
        int answer;
    };
    const Case kCases[] = {
        {"OK without touching the list picks the first", {"a", "b"}, {UserEvent::Click("ClickOK")}, 0},
        {"second item and OK", {"k1", "k2", "k3"}, {UserEvent::Select("pComboBoxSelectKey", 1), UserEvent::Click("ClickOK")}, 1},
        {"Cancel", {"k1", "k2", "k3"}, {UserEvent::Select("pComboBoxSelectKey", 1), UserEvent::Click("ClickCancel")}, -1},
        {"closed from its frame", {"k1", "k2"}, {UserEvent::CloseWindow()}, -2},
        {"session aborted", {"k1", "k2"}, {}, -2},
        {"selection cleared, then OK", {"k1", "k2"}, {UserEvent::Select("pComboBoxSelectKey", -1), UserEvent::Click("ClickOK")}, -1},
        {"empty list and OK", {}, {UserEvent::Click("ClickOK")}, -1},
        {"empty list and Cancel", {}, {UserEvent::Click("ClickCancel")}, -1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        platform::ScriptedDialogBackend* backend = UseScript(c.script);
        std::vector<const char*> keys = c.keys;
        keys.push_back(nullptr);
        EXPECT_EQ(c.answer, tamsel::RunSelectedKey(keys.data()));
        EXPECT_TRUE(backend->Errors().empty());
        EXPECT_EQ((std::vector<std::string>{"Select Key"}), backend->ShownWindows());
        EXPECT_EQ((std::vector<std::string>{"Select Key"}), backend->ClosedWindows());
    }
}

TEST_F(SelectKeyTest, FirstItemIsPreselectedAndUndecodableTextsKeepTheirPlace)
{
    // Hazard: dropping an entry that is not UTF-8 would shift every later index, and the answer
    // would name another key of the caller's array.
    const char* keys[] = {"k1", "\xFF\xFE", "k3", nullptr};
    std::vector<std::string> items;
    int selected = -5;
    UseScript({UserEvent::Inspect([&](Window& w) {
                   auto* combo = w.FindView<platform::ComboBox>("pComboBoxSelectKey");
                   items = combo->Items();
                   selected = combo->IndexOfSelectedItem();
               }),
               UserEvent::Select("pComboBoxSelectKey", 2), UserEvent::Click("ClickOK")});
    EXPECT_EQ(2, tamsel::RunSelectedKey(keys));
    EXPECT_EQ(0, selected);
    ASSERT_EQ(3u, items.size());
    EXPECT_EQ("k1", items[0]);
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", items[1]);
    EXPECT_EQ("k3", items[2]);
}

TEST_F(SelectKeyTest, ChineseLocaleShowsTheChineseTitle)
{
    SetLocale("zh_CN.UTF-8");
    platform::ScriptedDialogBackend* backend = UseScript({UserEvent::Click("ClickOK")});
    const char* keys[] = {"a", nullptr};
    EXPECT_EQ(0, tamsel::RunSelectedKey(keys));
    EXPECT_EQ((std::vector<std::string>{"选择密钥"}), backend->ShownWindows());
}

}  // namespace
