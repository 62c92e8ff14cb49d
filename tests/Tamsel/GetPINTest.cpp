#include "DialogTestSupport.h"
#include "TamselDialogs.h"

#include "platform/DialogBackend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

using platform::UserEvent;
using platform::Window;

const char kLengthNotice[] = "The PIN does not have a valid length.";
const char kRetryNotice[] = "The PIN was not accepted. Please enter it again.";
const char kPrompt[] = "Enter the PIN of your token:";

class GetPINTest : public dialogtest::DialogTest
{
protected:
    // Runs the PIN window; returns the code and, on 0, the PIN (freed here).
    int Run(int initState, int minSize, int maxSize, std::string* pin)
    {
        char* out = reinterpret_cast<char*>(&m_sentinel);
        const int code = tamsel::RunUserPIN(initState, minSize, maxSize, &out);
        if (0 == code) {
            pin->assign(out);
            free(out);
        } else {
            EXPECT_EQ(reinterpret_cast<char*>(&m_sentinel), out) << "output touched although no PIN was entered";
        }
        return code;
    }

    // Types one PIN, presses OK and records the label and whether the window is still open.
    std::vector<UserEvent> TryPIN(const std::string& pin)
    {
        return {UserEvent::Type("m_pPINText", pin), UserEvent::Click("ClickOK")};
    }

    int m_sentinel = 0;
};

std::vector<UserEvent> Join(std::initializer_list<std::vector<UserEvent>> parts)
{
    std::vector<UserEvent> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST_F(GetPINTest, LengthBoundsAcceptOnlyPINsInsideThem)
{
    struct Case
    {
        const char* name;
        int minSize;
        int maxSize;
        std::vector<std::string> tries;  // the last one is accepted, all before it refused
    };
    const Case kCases[] = {
        {"exactly six", 6, 6, {"12345", "1234567", "", "123456"}},
        {"six to eight, shortest", 6, 8, {"12345", "123456"}},
        {"six to eight, longest", 6, 8, {"123456789", "12345678"}},
        // Bounds count UTF-16 units: four Chinese characters are 4 units (12 bytes of UTF-8).
        {"Chinese characters", 4, 4, {"密码测", "密码测试"}},
        // A character outside the basic plane is two units: two emoji make four.
        {"characters beyond U+FFFF", 4, 4, {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"}},
        {"PIN that is not UTF-8", 1, 8, {"\xC3\x28", "ok"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<UserEvent> script;
        int refusalsSeen = 0;
        for (size_t i = 0; i < c.tries.size(); ++i) {
            auto one = TryPIN(c.tries[i]);
            script.insert(script.end(), one.begin(), one.end());
            if (i + 1 < c.tries.size()) {
                // After a refused PIN the window is still open and shows the length notice in red.
                script.push_back(UserEvent::Inspect([&](Window& w) {
                    EXPECT_TRUE(w.IsVisible());
                    auto* label = w.FindView<platform::TextField>("m_pLabel");
                    EXPECT_EQ(kLengthNotice, label->StringValue());
                    EXPECT_EQ(platform::Color::Red(), label->TextColor());
                    ++refusalsSeen;
                }));
            }
        }
        platform::ScriptedDialogBackend* backend = UseScript(script);
        std::string pin;
        EXPECT_EQ(0, Run(0, c.minSize, c.maxSize, &pin));
        EXPECT_EQ(c.tries.back(), pin);
        EXPECT_EQ(static_cast<int>(c.tries.size()) - 1, refusalsSeen);
        EXPECT_EQ(0u, backend->RemainingEvents());
        EXPECT_TRUE(backend->Errors().empty());
    }
}

TEST_F(GetPINTest, PINLongerThanTheBufferIsRefusedNotCut)
{
    // Hazard: a PIN cut to 127 bytes is not the PIN the user typed and burns one of the token's tries.
    const std::string ascii128(128, 'a');
    const std::string ascii127(127, 'a');
    std::string chinese43;
    for (int i = 0; i < 43; ++i)
        chinese43 += "密";  // 43 UTF-16 units, 129 bytes
    bool refusedLong = false;
    bool refusedChinese = false;
    UseScript(Join({TryPIN(ascii128),
                    {UserEvent::Inspect([&](Window& w) {
                        refusedLong = w.IsVisible() &&
                                      w.FindView<platform::TextField>("m_pLabel")->StringValue() == kLengthNotice;
                    })},
                    TryPIN(chinese43),
                    {UserEvent::Inspect([&](Window& w) {
                        refusedChinese = w.IsVisible() &&
                                         w.FindView<platform::TextField>("m_pLabel")->StringValue() == kLengthNotice;
                    })},
                    TryPIN(ascii127)}));
    std::string pin;
    EXPECT_EQ(0, Run(0, 1, 200, &pin));
    EXPECT_TRUE(refusedLong);
    EXPECT_TRUE(refusedChinese);
    EXPECT_EQ(ascii127, pin);
}

TEST_F(GetPINTest, InitialStateDecidesTheNoticeBeforeAnyInput)
{
    struct Case
    {
        int initState;
        const char* text;
        platform::Color color;
    };
    const Case kCases[] = {{0, kPrompt, platform::Color::Default()},
                           {1, kRetryNotice, platform::Color::Red()},
                           {2, kPrompt, platform::Color::Default()}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.initState);
        std::string shownText;
        platform::Color shownColor;
        UseScript({UserEvent::Inspect([&](Window& w) {
                       auto* label = w.FindView<platform::TextField>("m_pLabel");
                       shownText = label->StringValue();
                       shownColor = label->TextColor();
                   }),
                   UserEvent::Click("ClickCancel")});
        std::string pin;
        EXPECT_EQ(-1, Run(c.initState, 6, 8, &pin));
        EXPECT_EQ(c.text, shownText);
        EXPECT_EQ(c.color, shownColor);
    }
}

TEST_F(GetPINTest, RetryThenShortPINThenValidPIN)
{
    platform::ScriptedDialogBackend* backend =
        UseScript(Join({TryPIN("12345"), TryPIN("123456")}));
    std::string pin;
    EXPECT_EQ(0, Run(1, 6, 8, &pin));
    EXPECT_EQ("123456", pin);
    // The label went from the retry notice to the length notice, both red, and the window closed
    // only once, after the valid PIN.
    std::vector<std::string> labels;
    for (const auto& t : backend->Texts()) {
        if (t.outlet == "m_pLabel" && (labels.empty() || labels.back() != t.text)) {
            labels.push_back(t.text);
            EXPECT_TRUE(t.text == kPrompt || t.color == platform::Color::Red()) << t.text;
        }
    }
    EXPECT_EQ((std::vector<std::string>{kRetryNotice, kLengthNotice}), labels);
    EXPECT_EQ(1u, backend->ClosedWindows().size());
}

TEST_F(GetPINTest, CancelAndEveryOtherEndLeaveTheOutputUntouched)
{
    const std::vector<UserEvent> scripts[] = {
        {UserEvent::Type("m_pPINText", "123456"), UserEvent::Click("ClickCancel")},
        {UserEvent::Type("m_pPINText", "123456"), UserEvent::CloseWindow()},
        {UserEvent::Type("m_pPINText", "123456")},  // session aborted
        {UserEvent::Type("m_pPINText", "123"), UserEvent::Click("ClickOK"), UserEvent::Click("ClickCancel")},
    };
    for (const auto& script : scripts) {
        platform::ScriptedDialogBackend* backend = UseScript(script);
        std::string pin;
        EXPECT_EQ(-1, Run(0, 6, 8, &pin));
        EXPECT_EQ(1u, backend->ClosedWindows().size());
    }
}

TEST_F(GetPINTest, FieldIsWipedWhenTheWindowCloses)
{
    // Hazard: the typed PIN staying in the field's memory after the window is gone.
    for (const char* end : {"ClickOK", "ClickCancel"}) {
        SCOPED_TRACE(end);
        platform::ScriptedDialogBackend* backend =
            UseScript({UserEvent::Type("m_pPINText", "123456"), UserEvent::Click(end)});
        std::string pin;
        Run(0, 6, 8, &pin);
        const auto* last = backend->LastText("m_pPINText");
        ASSERT_NE(nullptr, last);
        EXPECT_EQ(0u, last->secureLength);
        // The wipe was mirrored before the window closed.
        bool typed = false;
        for (const auto& t : backend->Texts())
            typed = typed || (t.outlet == "m_pPINText" && t.secureLength == 6);
        EXPECT_TRUE(typed);
    }
}

TEST_F(GetPINTest, NowhereToPutThePINShowsNoWindow)
{
    platform::ScriptedDialogBackend* backend = UseScript({UserEvent::Type("m_pPINText", "123456"), UserEvent::Click("ClickOK")});
    EXPECT_EQ(-1, tamsel::RunUserPIN(0, 6, 8, nullptr));
    EXPECT_TRUE(backend->ShownWindows().empty());
}

TEST_F(GetPINTest, ChineseLocaleShowsChineseNotices)
{
    SetLocale("zh_CN.UTF-8");
    platform::ScriptedDialogBackend* backend = UseScript(Join({TryPIN("1"), TryPIN("123456")}));
    std::string pin;
    EXPECT_EQ(0, Run(1, 6, 8, &pin));
    EXPECT_EQ((std::vector<std::string>{"输入 PIN 码"}), backend->ShownWindows());
    std::vector<std::string> labels;
    for (const auto& t : backend->Texts()) {
        if (t.outlet == "m_pLabel")
            labels.push_back(t.text);
    }
    ASSERT_FALSE(labels.empty());
    EXPECT_EQ("PIN 码不正确，请重新输入。", labels.front());
    EXPECT_EQ("PIN 码长度不正确。", labels.back());
}

TEST_F(GetPINTest, NoDisplayAnswersCancelled)
{
    platform::SetDialogBackend(platform::MakeUnavailableDialogBackend("no display"));
    ::testing::internal::CaptureStderr();
    std::string pin;
    EXPECT_EQ(-1, Run(0, 6, 8, &pin));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("GetUserPIN")) << err;
}

}  // namespace
