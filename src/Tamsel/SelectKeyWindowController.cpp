#include "SelectKeyWindowController.h"

#include "TamselDialogs.h"

#include "platform/DialogApp.h"
#include "platform/Utf8.h"

namespace tamsel {

SelectKeyWindowController* SelectKeyWindowController::InitWithKeyDesc(const char* const* ppszKeyDesc)
{
    if (!InitWithWindowNibName("SelectKeyWindowController", FrameworkBundle()))
        return nullptr;
    SetActionHandler("ClickOK", [this] { ClickOK(); });
    SetActionHandler("ClickCancel", [this] { ClickCancel(); });
    pMuArrayKey = std::make_unique<std::vector<std::string>>();
    // A text that is not UTF-8 still takes its place in the list (shown with replacement marks),
    // so every index keeps naming the caller's entry.
    for (int i = 0; ppszKeyDesc && ppszKeyDesc[i]; ++i)
        pMuArrayKey->push_back(platform::MakeValidUtf8(ppszKeyDesc[i]));
    nSelectedKey = -2;
    return this;
}

void SelectKeyWindowController::WindowDidLoad()
{
    pComboBoxSelectKey = GetWindow()->FindView<platform::ComboBox>("pComboBoxSelectKey");
    if (!pComboBoxSelectKey || !pMuArrayKey)
        return;
    const std::vector<std::string> items = *pMuArrayKey;
    pComboBoxSelectKey->AddItemsWithObjectValues(items);
    pComboBoxSelectKey->SelectItemAtIndex(0);
}

void SelectKeyWindowController::ClickOK()
{
    nSelectedKey = pComboBoxSelectKey ? pComboBoxSelectKey->IndexOfSelectedItem() : -1;
    platform::DialogApp().StopModal();
    Close();
}

void SelectKeyWindowController::ClickCancel()
{
    nSelectedKey = -1;
    platform::DialogApp().StopModal();
    Close();
}

void SelectKeyWindowController::Close()
{
    WindowController::Close();
    pMuArrayKey.reset();
}

}  // namespace tamsel
