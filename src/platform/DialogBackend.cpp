#include "platform/DialogBackend.h"

#include "platform/DialogApp.h"
#include "platform/ScriptedDialogBackend.h"

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

class UnavailableDialogBackend : public DialogBackend
{
public:
    explicit UnavailableDialogBackend(std::string reason) : m_reason(std::move(reason)) {}
    bool Available(std::string* reason) override
    {
        if (reason)
            *reason = m_reason;
        return false;
    }
    void WindowWillShow(Window&) override {}
    void WindowDidClose(Window&) override {}
    void WindowDidChange(Window&) override {}
    void ViewDidChange(View&) override {}
    // Nothing on screen could ever end a session.
    void ProcessEvents(bool) override { DialogApp().AbortModal(); }
    int RunAlert(const std::string&, const std::string&, const std::string&) override { return -1; }
    bool BeginSheet(Window&, Window&) override { return false; }

private:
    std::string m_reason;
};

bool EnvEquals(const char* value, const char* expected)
{
    return value && 0 == strcmp(value, expected);
}

std::unique_ptr<DialogBackend> MakeDefaultBackend()
{
    const char* choice = getenv("PLATFORM_DIALOG_BACKEND");
#ifdef PLATFORM_TEST_HOOKS
    const char* script = getenv("PLATFORM_DIALOG_SCRIPT");
    if (EnvEquals(choice, "script") || (!(choice && *choice) && script)) {
        std::vector<UserEvent> events;
        std::string error;
        if (!ParseDialogScript(script ? script : "", &events, &error))
            return MakeUnavailableDialogBackend("PLATFORM_DIALOG_SCRIPT does not parse: " + error);
        return std::make_unique<ScriptedDialogBackend>(std::move(events));
    }
#endif
    if (EnvEquals(choice, "none"))
        return MakeUnavailableDialogBackend("dialogs are turned off");
    return MakeGtkDialogBackend();
}

std::unique_ptr<DialogBackend>& Slot()
{
    // Never destroyed: windows may still be closed while the process exits.
    static auto* slot = new std::unique_ptr<DialogBackend>;
    return *slot;
}

}  // namespace

std::unique_ptr<DialogBackend> MakeUnavailableDialogBackend(const std::string& reason)
{
    return std::make_unique<UnavailableDialogBackend>(reason);
}

DialogBackend* CurrentDialogBackend()
{
    auto& slot = Slot();
    if (!slot)
        slot = MakeDefaultBackend();
    return slot.get();
}

void SetDialogBackend(std::unique_ptr<DialogBackend> backend)
{
    Slot() = std::move(backend);
}

}  // namespace platform
