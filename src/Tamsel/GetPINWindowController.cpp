#include "GetPINWindowController.h"

#include "TamselDialogs.h"

#include "platform/AutoreleasePool.h"
#include "platform/DialogApp.h"
#include "platform/Utf8.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>

namespace tamsel {

GetPINWindowController::~GetPINWindowController()
{
    OPENSSL_cleanse(m_szUserPIN, sizeof(m_szUserPIN));
    if (m_pPINText)
        m_pPINText->Clear();
}

GetPINWindowController* GetPINWindowController::InitPINWindow(int nMinPINSize, int nMaxPINSize, int nInitState)
{
    if (!InitWithWindowNibName("GetPINWindowController", FrameworkBundle()))
        return nullptr;
    SetActionHandler("ClickOK", [this] { ClickOK(); });
    SetActionHandler("ClickCancel", [this] { ClickCancel(); });
    m_nMaxPINSize = nMaxPINSize;
    m_nMinPINSize = nMinPINSize;
    m_nInitState = nInitState;
    m_nReturnCode = -1;
    OPENSSL_cleanse(m_szUserPIN, sizeof(m_szUserPIN));
    return this;
}

void GetPINWindowController::WindowDidLoad()
{
    m_pPINText = GetWindow()->FindView<platform::SecureTextField>("m_pPINText");
    m_pLabel = GetWindow()->FindView<platform::TextField>("m_pLabel");
    if (1 == m_nInitState)
        ShowNotice("RetryPIN");
}

void GetPINWindowController::ShowNotice(const char* key)
{
    if (!m_pLabel)
        return;
    m_pLabel->SetStringValue(LocalizedString(key));
    m_pLabel->SetTextColor(platform::Color::Red());
}

void GetPINWindowController::ClickOK()
{
    platform::AutoreleasePool pool;
    if (!m_pPINText)
        return;
    const std::string& pin = m_pPINText->StringValue();
    const long units = platform::Utf16Length(pin);
    // The bounds count UTF-16 units; the buffer takes 127 bytes of UTF-8. A longer PIN is refused
    // like a wrong length: cutting it would send the token a PIN the user never typed.
    const bool fits = units >= 0 && units >= m_nMinPINSize && units <= m_nMaxPINSize &&
                      pin.size() < sizeof(m_szUserPIN) && pin.find('\0') == std::string::npos;
    if (!fits) {
        ShowNotice("PINLengthError");
        m_nReturnCode = -1;
        return;
    }
    OPENSSL_cleanse(m_szUserPIN, sizeof(m_szUserPIN));
    memcpy(m_szUserPIN, pin.data(), pin.size());
    m_nReturnCode = 0;
    platform::DialogApp().StopModal();
    Close();
}

void GetPINWindowController::ClickCancel()
{
    m_nReturnCode = -1;
    platform::DialogApp().StopModal();
    Close();
}

int GetPINWindowController::GetUserPIN(char** ppszPIN)
{
    if (0 != m_nReturnCode)
        return m_nReturnCode;
    if (nullptr == ppszPIN)
        return -1;
    const size_t length = strnlen(m_szUserPIN, sizeof(m_szUserPIN));
    char* copy = static_cast<char*>(malloc(length + 1));
    if (nullptr == copy) {
        OPENSSL_cleanse(m_szUserPIN, sizeof(m_szUserPIN));
        return -1;
    }
    memcpy(copy, m_szUserPIN, length);
    copy[length] = '\0';
    OPENSSL_cleanse(m_szUserPIN, sizeof(m_szUserPIN));
    *ppszPIN = copy;
    return 0;
}

void GetPINWindowController::Close()
{
    // The typed PIN must not stay in the field once the window is gone.
    if (m_pPINText)
        m_pPINText->Clear();
    WindowController::Close();
}

bool GetPINWindowController::WindowShouldClose(platform::Window& /*window*/)
{
    ClickCancel();
    return false;
}

}  // namespace tamsel
