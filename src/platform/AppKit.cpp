#include "platform/AppKit.h"

#include "platform/DialogApp.h"
#include "platform/DialogBackend.h"

#include <openssl/crypto.h>

namespace platform {

void View::NotifyChanged()
{
    if (m_window && m_window->IsVisible())
        CurrentDialogBackend()->ViewDidChange(*this);
}

void TextField::SetStringValue(const std::string& text)
{
    m_text = text;
    NotifyChanged();
}

void TextField::SetTextColor(const Color& color)
{
    m_color = color;
    NotifyChanged();
}

SecureTextField::SecureTextField(std::string outlet) : TextField(std::move(outlet))
{
    SetEditable(true);
}

SecureTextField::~SecureTextField()
{
    if (!m_text.empty())
        OPENSSL_cleanse(&m_text[0], m_text.size());
}

void SecureTextField::SetStringValue(const std::string& text)
{
    SetStringValue(text.data(), text.size());
}

void SecureTextField::SetStringValue(const char* text, size_t length)
{
    // Wipe the old secret in place before the string can reuse or free its buffer.
    if (!m_text.empty())
        OPENSSL_cleanse(&m_text[0], m_text.size());
    m_text.clear();
    m_text.reserve(length + 1);
    m_text.append(text, length);
    NotifyChanged();
}

void Button::PerformClick()
{
    if (m_action) {
        auto action = m_action;
        action();
    }
}

void ComboBox::AddItemsWithObjectValues(const std::vector<std::string>& items)
{
    m_items.insert(m_items.end(), items.begin(), items.end());
    NotifyChanged();
}

void ComboBox::SelectItemAtIndex(int index)
{
    m_selected = (index >= 0 && index < NumberOfItems()) ? index : -1;
    NotifyChanged();
}

void ArrayController::AddObject(Object object)
{
    m_objects.push_back(std::move(object));
    Notify("arrangedObjects");
}

void ArrayController::SetSelectionIndex(int index)
{
    const int selection = (index >= 0 && index < static_cast<int>(m_objects.size())) ? index : -1;
    if (selection == m_selection)
        return;
    m_selection = selection;
    Notify("selectionIndexes");
}

std::vector<ArrayController::Object> ArrayController::SelectedObjects() const
{
    if (m_selection < 0)
        return {};
    return {m_objects[static_cast<size_t>(m_selection)]};
}

void ArrayController::AddObserver(const std::string& keyPath, Observer observer)
{
    m_observers.emplace_back(keyPath, std::move(observer));
}

void ArrayController::Notify(const std::string& keyPath)
{
    const auto observers = m_observers;
    for (const auto& o : observers) {
        if (o.first == keyPath && o.second)
            o.second();
    }
}

void TableView::Bind(ArrayController* content)
{
    m_content = content;
    if (content) {
        content->AddObserver("arrangedObjects", [this] { NotifyChanged(); });
        content->AddObserver("selectionIndexes", [this] { NotifyChanged(); });
    }
}

void TableView::PerformDoubleClick()
{
    if (m_doubleAction) {
        auto action = m_doubleAction;
        action();
    }
}

Window::Window(std::string title) : m_title(std::move(title)) {}

Window::~Window()
{
    m_delegate = nullptr;
    if (m_sheet) {
        m_sheet->Close();
        m_sheet.reset();
    }
    Close();
}

void Window::SetLevel(int level)
{
    m_level = level;
    if (m_visible)
        CurrentDialogBackend()->WindowDidChange(*this);
}

View* Window::FindViewByOutlet(const std::string& outlet) const
{
    for (const auto& v : m_views) {
        if (v->Outlet() == outlet)
            return v.get();
    }
    return nullptr;
}

Button* Window::FirstButton(bool (Button::*is)() const) const
{
    for (const auto& v : m_views) {
        if (v->GetKind() == View::Kind::Button) {
            Button* b = static_cast<Button*>(v.get());
            if ((b->*is)())
                return b;
        }
    }
    return nullptr;
}

Button* Window::DefaultButton() const
{
    return FirstButton(&Button::IsDefault);
}

Button* Window::CancelButton() const
{
    return FirstButton(&Button::IsCancel);
}

void Window::OrderFront()
{
    if (m_visible)
        return;
    m_visible = true;
    CurrentDialogBackend()->WindowWillShow(*this);
}

void Window::Close()
{
    if (m_sheet)
        EndSheet();
    if (!m_visible)
        return;
    m_visible = false;
    CurrentDialogBackend()->WindowDidClose(*this);
}

void Window::PerformClose()
{
    if (m_sheetParent) {
        // A sheet has no close box of its own: closing it means its button.
        if (Button* b = DefaultButton())
            b->PerformClick();
        return;
    }
    if (m_sheet)
        return;  // the sheet is modal for this window
    if (nullptr == m_delegate || m_delegate->WindowShouldClose(*this))
        Close();
}

void Window::PerformCancel()
{
    // An open sheet is modal for this window: the key is the sheet's. On screen the sheet takes
    // the key itself; the application's cancel of every dialog comes here and so ends the sheet
    // before the window.
    if (m_sheet) {
        m_sheet->PerformCancel();
        return;
    }
    if (Button* b = CancelButton())
        b->PerformClick();
}

bool Window::BeginSheet(std::unique_ptr<Window> sheet)
{
    if (!sheet || m_sheet || !m_visible)
        return false;
    m_sheet = std::move(sheet);
    m_sheet->m_sheetParent = this;
    m_sheet->m_visible = true;
    if (!CurrentDialogBackend()->BeginSheet(*this, *m_sheet)) {
        m_sheet->m_visible = false;
        m_sheet->m_sheetParent = nullptr;
        m_sheet.reset();
        return false;
    }
    return true;
}

void Window::EndSheet()
{
    if (!m_sheet)
        return;
    std::unique_ptr<Window> sheet = std::move(m_sheet);
    sheet->Close();
    sheet->m_sheetParent = nullptr;
    DialogApp().ReleaseLater(std::move(sheet));
}

}  // namespace platform
