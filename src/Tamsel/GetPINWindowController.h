// The PIN window: a hidden-text field, a notice label, OK and Cancel.
#ifndef TAMSEL_GET_PIN_WINDOW_CONTROLLER_H
#define TAMSEL_GET_PIN_WINDOW_CONTROLLER_H

#include "platform/WindowController.h"

namespace tamsel {

// Bytes of the PIN buffer; the PIN's UTF-8 form may take all but the terminating NUL.
constexpr int kPINBufferSize = 128;

class GetPINWindowController : public platform::WindowController
{
public:
    GetPINWindowController() = default;
    ~GetPINWindowController() override;

    // Null when the layout is missing.
    GetPINWindowController* InitPINWindow(int nMinPINSize, int nMaxPINSize, int nInitState);
    void WindowDidLoad() override;
    void ClickOK();
    void ClickCancel();
    // 0 with *ppszPIN set to a malloc copy of the PIN (the controller's copy is wiped), else the
    // code as it is.
    int GetUserPIN(char** ppszPIN);
    void Close() override;
    bool WindowShouldClose(platform::Window& window) override;

private:
    void ShowNotice(const char* key);

    platform::SecureTextField* m_pPINText = nullptr;
    platform::TextField* m_pLabel = nullptr;
    int m_nInitState = 0;
    int m_nMaxPINSize = 0;
    int m_nMinPINSize = 0;
    int m_nReturnCode = -1;
    char m_szUserPIN[kPINBufferSize] = {};
};

}  // namespace tamsel

#endif
