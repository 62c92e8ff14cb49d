// The three window layouts. Their texts come from the table named after the layout in the
// framework's resources; the fallbacks here are the English texts.
#include "TamselDialogs.h"

#include "platform/WindowController.h"

#include <mutex>

namespace tamsel {

namespace {

using platform::LayoutTexts;
using platform::Window;

void AddButtons(Window* window, const LayoutTexts& texts)
{
    auto cancel = std::make_unique<platform::Button>("ClickCancel");
    cancel->SetTitle(texts.Text("Cancel", "Cancel"));
    cancel->SetActionName("ClickCancel");
    cancel->SetCancel(true);
    window->AddView(std::move(cancel));
    auto ok = std::make_unique<platform::Button>("ClickOK");
    ok->SetTitle(texts.Text("OK", "OK"));
    ok->SetActionName("ClickOK");
    ok->SetDefault(true);
    window->AddView(std::move(ok));
}

std::unique_ptr<platform::TextField> Label(const char* outlet, const std::string& text)
{
    auto label = std::make_unique<platform::TextField>(outlet);
    label->SetStringValue(text);
    return label;
}

std::unique_ptr<Window> BuildSelectCertWindow(const LayoutTexts& texts)
{
    auto window = std::make_unique<Window>(texts.Text("Title", "Select Certificate"));
    window->SetContentWidth(640);
    window->AddView(Label("pPromptLabel", texts.Text("Prompt", "Select the certificate to use:")));
    auto content = std::make_unique<platform::ArrayController>("pCertContentArray");
    auto table = std::make_unique<platform::TableView>("pCertTableView");
    // Equal shares of the table's width: an issuer's name is as long as a subject's.
    table->AddColumn({"SubjectDN", texts.Text("SubjectColumn", "Issued To"), 300});
    table->AddColumn({"IssuerDN", texts.Text("IssuerColumn", "Issued By"), 300});
    table->SetMinimumHeight(200);
    table->Bind(content.get());
    window->AddView(std::move(content));
    window->AddView(std::move(table));
    auto hint = Label("pHintLabel", texts.Text("Hint", "Double-click a certificate to see its details."));
    hint->SetSmall(true);
    window->AddView(std::move(hint));
    AddButtons(window.get(), texts);
    return window;
}

std::unique_ptr<Window> BuildSelectKeyWindow(const LayoutTexts& texts)
{
    auto window = std::make_unique<Window>(texts.Text("Title", "Select Key"));
    window->SetContentWidth(380);
    window->AddView(Label("pPromptLabel", texts.Text("Prompt", "Select the key to use:")));
    window->AddView(std::make_unique<platform::ComboBox>("pComboBoxSelectKey"));
    AddButtons(window.get(), texts);
    return window;
}

std::unique_ptr<Window> BuildGetPINWindow(const LayoutTexts& texts)
{
    auto window = std::make_unique<Window>(texts.Text("Title", "Enter PIN"));
    window->SetContentWidth(380);
    window->AddView(Label("m_pLabel", texts.Text("Prompt", "Enter the PIN of your token:")));
    window->AddView(std::make_unique<platform::SecureTextField>("m_pPINText"));
    AddButtons(window.get(), texts);
    return window;
}

}  // namespace

void RegisterLayouts()
{
    static std::once_flag once;
    std::call_once(once, [] {
        platform::RegisterLayout("SelectCertWindowController", BuildSelectCertWindow);
        platform::RegisterLayout("SelectKeyWindowController", BuildSelectKeyWindow);
        platform::RegisterLayout("GetPINWindowController", BuildGetPINWindow);
    });
}

}  // namespace tamsel
