// The key list: a combo box of key descriptions with the first preselected, OK and Cancel.
#ifndef TAMSEL_SELECT_KEY_WINDOW_CONTROLLER_H
#define TAMSEL_SELECT_KEY_WINDOW_CONTROLLER_H

#include "platform/WindowController.h"

#include <memory>
#include <string>
#include <vector>

namespace tamsel {

class SelectKeyWindowController : public platform::WindowController
{
public:
    void WindowDidLoad() override;
    void ClickOK();
    void ClickCancel();
    // The chosen index, -1 after Cancel, -2 while no button was pressed.
    int GetSelectKey() const { return nSelectedKey; }
    // Null when the layout is missing.
    SelectKeyWindowController* InitWithKeyDesc(const char* const* ppszKeyDesc);
    void Close() override;

private:
    platform::ComboBox* pComboBoxSelectKey = nullptr;
    int nSelectedKey = -2;
    std::unique_ptr<std::vector<std::string>> pMuArrayKey;
};

}  // namespace tamsel

#endif
