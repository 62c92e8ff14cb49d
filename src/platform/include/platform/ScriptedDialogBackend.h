// A backend without a screen: plays a list of user events, one per round of events, and records
// what the dialogs showed. When the list runs out the modal session is aborted, so a test that
// forgot an event ends instead of hanging.
#ifndef PLATFORM_SCRIPTED_DIALOG_BACKEND_H
#define PLATFORM_SCRIPTED_DIALOG_BACKEND_H

#include "platform/AppKit.h"
#include "platform/DialogBackend.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platform {

struct UserEvent
{
    enum class Kind {
        Select,       // table row or combo box item `value` of outlet ("-1" clears)
        Type,         // replace the text of outlet with `value`
        Click,        // press the button with that outlet or action name
        DoubleClick,  // select row `value` (when given) of the table, then double-click it
        CloseWindow,  // close the front window from its frame
        Inspect,      // call `inspect` with the front window (tests look at the model)
    };

    Kind kind;
    std::string outlet;
    std::string value;
    std::function<void(Window&)> inspect;

    static UserEvent Select(const std::string& outlet, int index);
    static UserEvent Type(const std::string& outlet, const std::string& text);
    static UserEvent Click(const std::string& outletOrAction);
    static UserEvent DoubleClick(const std::string& outlet, int row);
    static UserEvent CloseWindow();
    static UserEvent Inspect(std::function<void(Window&)> fn);
};

// "select pCertTableView 1; click ClickOK; type m_pPINText 123456; doubleclick pCertTableView 0;
// close": commands separated by ';', the value is the rest of the command after the outlet.
bool ParseDialogScript(const std::string& text, std::vector<UserEvent>* events, std::string* error);

class ScriptedDialogBackend : public DialogBackend
{
public:
    struct AlertRecord
    {
        std::string title;
        std::string message;
        std::string button;
    };
    struct SheetRecord
    {
        std::string parentTitle;
        std::string title;
        std::string text;
        std::string button;
    };
    // A text shown in a label or field: when its window appeared and at every change after.
    // A secure field's text is never kept, only its length in bytes.
    struct TextRecord
    {
        std::string windowTitle;
        std::string outlet;
        std::string text;
        Color color;
        size_t secureLength;
    };

    explicit ScriptedDialogBackend(std::vector<UserEvent> script);

    bool Available(std::string* reason) override;
    void WindowWillShow(Window& window) override;
    void WindowDidClose(Window& window) override;
    void WindowDidChange(Window& window) override;
    void ViewDidChange(View& view) override;
    void ProcessEvents(bool wait) override;
    int RunAlert(const std::string& title, const std::string& message, const std::string& button) override;
    bool BeginSheet(Window& parent, Window& sheet) override;

    const std::vector<std::string>& ShownWindows() const { return m_shown; }
    const std::vector<std::string>& ClosedWindows() const { return m_closed; }
    const std::vector<AlertRecord>& Alerts() const { return m_alerts; }
    const std::vector<SheetRecord>& Sheets() const { return m_sheets; }
    const std::vector<TextRecord>& Texts() const { return m_texts; }
    // The last level a window with this title had on screen (-1 when never shown).
    int LastLevel(const std::string& title) const;
    // Events that found no target (a wrong outlet name, no window open).
    const std::vector<std::string>& Errors() const { return m_errors; }
    size_t RemainingEvents() const { return m_script.size(); }
    // Rounds of events that found the script empty.
    int ExhaustedRounds() const { return m_exhaustedRounds; }
    // The last text recorded for an outlet (empty when none).
    const TextRecord* LastText(const std::string& outlet) const;

private:
    Window* FrontWindow() const;
    void Play(const UserEvent& event);
    void RecordText(Window& window, View& view);

    std::deque<UserEvent> m_script;
    std::vector<Window*> m_open;
    std::vector<std::string> m_shown;
    std::vector<std::string> m_closed;
    std::vector<AlertRecord> m_alerts;
    std::vector<SheetRecord> m_sheets;
    std::vector<TextRecord> m_texts;
    std::map<std::string, int> m_levels;
    std::vector<std::string> m_errors;
    int m_exhaustedRounds = 0;
};

}  // namespace platform

#endif
