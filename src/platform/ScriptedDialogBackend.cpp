#include "platform/ScriptedDialogBackend.h"

#include "platform/CertificatePanel.h"
#include "platform/DialogApp.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace platform {

UserEvent UserEvent::Select(const std::string& outlet, int index)
{
    return UserEvent{Kind::Select, outlet, std::to_string(index), nullptr};
}

UserEvent UserEvent::Type(const std::string& outlet, const std::string& text)
{
    return UserEvent{Kind::Type, outlet, text, nullptr};
}

UserEvent UserEvent::Click(const std::string& outletOrAction)
{
    return UserEvent{Kind::Click, outletOrAction, std::string(), nullptr};
}

UserEvent UserEvent::DoubleClick(const std::string& outlet, int row)
{
    return UserEvent{Kind::DoubleClick, outlet, std::to_string(row), nullptr};
}

UserEvent UserEvent::CloseWindow()
{
    return UserEvent{Kind::CloseWindow, std::string(), std::string(), nullptr};
}

UserEvent UserEvent::Inspect(std::function<void(Window&)> fn)
{
    return UserEvent{Kind::Inspect, std::string(), std::string(), std::move(fn)};
}

namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool ParseIndex(const std::string& text, int* index)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return false;
    *index = static_cast<int>(v);
    return true;
}

}  // namespace

bool ParseDialogScript(const std::string& text, std::vector<UserEvent>* events, std::string* error)
{
    std::vector<UserEvent> parsed;
    size_t start = 0;
    int number = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string command = Trim(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (command.empty())
            continue;
        const size_t verbEnd = command.find_first_of(" \t");
        const std::string verb = command.substr(0, verbEnd);
        std::string rest = verbEnd == std::string::npos ? std::string() : Trim(command.substr(verbEnd));
        const size_t outletEnd = rest.find_first_of(" \t");
        const std::string outlet = rest.substr(0, outletEnd);
        const std::string value = outletEnd == std::string::npos ? std::string() : Trim(rest.substr(outletEnd));
        int index = 0;
        auto fail = [&](const std::string& what) {
            if (error)
                *error = "command " + std::to_string(number) + " (" + command + "): " + what;
            return false;
        };
        if (verb == "select") {
            if (outlet.empty() || !ParseIndex(value, &index))
                return fail("expected: select <outlet> <index>");
            parsed.push_back(UserEvent::Select(outlet, index));
        } else if (verb == "type") {
            if (outlet.empty())
                return fail("expected: type <outlet> <text>");
            parsed.push_back(UserEvent::Type(outlet, value));
        } else if (verb == "click") {
            if (outlet.empty() || !value.empty())
                return fail("expected: click <outlet or action>");
            parsed.push_back(UserEvent::Click(outlet));
        } else if (verb == "doubleclick") {
            if (outlet.empty() || (!value.empty() && !ParseIndex(value, &index)))
                return fail("expected: doubleclick <outlet> [<row>]");
            UserEvent e = UserEvent::DoubleClick(outlet, index);
            if (value.empty())
                e.value.clear();
            parsed.push_back(e);
        } else if (verb == "close") {
            if (!rest.empty())
                return fail("expected: close");
            parsed.push_back(UserEvent::CloseWindow());
        } else {
            return fail("unknown command");
        }
    }
    if (events)
        *events = std::move(parsed);
    return true;
}

ScriptedDialogBackend::ScriptedDialogBackend(std::vector<UserEvent> script) : m_script(script.begin(), script.end())
{
}

bool ScriptedDialogBackend::Available(std::string* /*reason*/)
{
    return true;
}

void ScriptedDialogBackend::RecordText(Window& window, View& view)
{
    if (view.GetKind() == View::Kind::SecureTextField) {
        const TextField& field = static_cast<const TextField&>(view);
        m_texts.push_back(TextRecord{window.Title(), view.Outlet(), std::string(), field.TextColor(),
                                     field.StringValue().size()});
        return;
    }
    if (view.GetKind() != View::Kind::TextField)
        return;
    const TextField& field = static_cast<const TextField&>(view);
    m_texts.push_back(TextRecord{window.Title(), view.Outlet(), field.StringValue(), field.TextColor(), 0});
}

void ScriptedDialogBackend::WindowWillShow(Window& window)
{
    m_open.push_back(&window);
    m_shown.push_back(window.Title());
    m_levels[window.Title()] = window.Level();
    for (const auto& v : window.Views())
        RecordText(window, *v);
}

void ScriptedDialogBackend::WindowDidClose(Window& window)
{
    auto it = std::find(m_open.begin(), m_open.end(), &window);
    if (it == m_open.end())
        return;
    m_open.erase(it);
    m_closed.push_back(window.Title());
}

void ScriptedDialogBackend::WindowDidChange(Window& window)
{
    m_levels[window.Title()] = window.Level();
}

void ScriptedDialogBackend::ViewDidChange(View& view)
{
    if (Window* window = view.GetWindow())
        RecordText(*window, view);
}

int ScriptedDialogBackend::LastLevel(const std::string& title) const
{
    auto it = m_levels.find(title);
    return it == m_levels.end() ? -1 : it->second;
}

const ScriptedDialogBackend::TextRecord* ScriptedDialogBackend::LastText(const std::string& outlet) const
{
    for (auto it = m_texts.rbegin(); it != m_texts.rend(); ++it) {
        if (it->outlet == outlet)
            return &*it;
    }
    return nullptr;
}

Window* ScriptedDialogBackend::FrontWindow() const
{
    return m_open.empty() ? nullptr : m_open.back();
}

void ScriptedDialogBackend::ProcessEvents(bool /*wait*/)
{
    if (m_script.empty()) {
        ++m_exhaustedRounds;
        DialogApp().AbortModal();
        return;
    }
    UserEvent event = std::move(m_script.front());
    m_script.pop_front();
    Play(event);
}

void ScriptedDialogBackend::Play(const UserEvent& event)
{
    Window* front = FrontWindow();
    if (nullptr == front) {
        m_errors.push_back("no window is open for an event on '" + event.outlet + "'");
        return;
    }
    if (event.kind == UserEvent::Kind::Inspect) {
        if (event.inspect)
            event.inspect(*front);
        return;
    }
    if (event.kind == UserEvent::Kind::CloseWindow) {
        front->PerformClose();
        return;
    }
    View* view = front->FindViewByOutlet(event.outlet);
    if (nullptr == view && event.kind == UserEvent::Kind::Click) {
        for (const auto& v : front->Views()) {
            if (v->GetKind() == View::Kind::Button && static_cast<Button*>(v.get())->ActionName() == event.outlet) {
                view = v.get();
                break;
            }
        }
    }
    if (nullptr == view) {
        m_errors.push_back("no outlet '" + event.outlet + "' in window '" + front->Title() + "'");
        return;
    }
    int index = -1;
    const bool hasIndex = ParseIndex(event.value, &index);
    switch (event.kind) {
    case UserEvent::Kind::Select:
        if (view->GetKind() == View::Kind::TableView && static_cast<TableView*>(view)->Content())
            static_cast<TableView*>(view)->Content()->SetSelectionIndex(hasIndex ? index : -1);
        else if (view->GetKind() == View::Kind::ArrayController)
            static_cast<ArrayController*>(view)->SetSelectionIndex(hasIndex ? index : -1);
        else if (view->GetKind() == View::Kind::ComboBox)
            static_cast<ComboBox*>(view)->SelectItemAtIndex(hasIndex ? index : -1);
        else
            m_errors.push_back("'" + event.outlet + "' has nothing to select");
        break;
    case UserEvent::Kind::Type:
        if ((view->GetKind() == View::Kind::TextField || view->GetKind() == View::Kind::SecureTextField) &&
            static_cast<TextField*>(view)->IsEditable())
            static_cast<TextField*>(view)->SetStringValue(event.value);
        else
            m_errors.push_back("'" + event.outlet + "' takes no typing");
        break;
    case UserEvent::Kind::Click:
        if (view->GetKind() == View::Kind::Button)
            static_cast<Button*>(view)->PerformClick();
        else
            m_errors.push_back("'" + event.outlet + "' is not a button");
        break;
    case UserEvent::Kind::DoubleClick:
        if (view->GetKind() == View::Kind::TableView) {
            TableView* table = static_cast<TableView*>(view);
            if (hasIndex && table->Content())
                table->Content()->SetSelectionIndex(index);
            table->PerformDoubleClick();
        } else {
            m_errors.push_back("'" + event.outlet + "' is not a table");
        }
        break;
    default:
        break;
    }
}

int ScriptedDialogBackend::RunAlert(const std::string& title, const std::string& message, const std::string& button)
{
    m_alerts.push_back(AlertRecord{title, message, button});
    return kAlertDefaultReturn;
}

bool ScriptedDialogBackend::BeginSheet(Window& parent, Window& sheet)
{
    SheetRecord record{parent.Title(), sheet.Title(), std::string(), std::string()};
    if (auto* text = sheet.FindView<TextField>(CertificatePanel::kTextOutlet))
        record.text = text->StringValue();
    if (auto* button = sheet.DefaultButton())
        record.button = button->Title();
    m_sheets.push_back(record);
    m_open.push_back(&sheet);
    m_shown.push_back(sheet.Title());
    return true;
}

}  // namespace platform
