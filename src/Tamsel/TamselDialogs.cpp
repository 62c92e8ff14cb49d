#include "TamselDialogs.h"

#include "GetPINWindowController.h"
#include "SelectCertWindowController.h"
#include "SelectKeyWindowController.h"

#include "platform/AutoreleasePool.h"
#include "platform/Bundle.h"
#include "platform/DialogApp.h"

#include <cstdio>

namespace tamsel {

namespace {

// Without a screen (or off the main thread) the dialog cannot be shown: say so once on stderr,
// never on stdout (the host's reply pipe), and answer as cancelled.
bool DialogsAvailable(const char* entryPoint)
{
    std::string reason;
    if (platform::DialogApp().CanRunModal(&reason))
        return true;
    fprintf(stderr, "Tamsel64: %s: cannot show the dialog (%s); answering as cancelled\n", entryPoint,
            reason.c_str());
    return false;
}

}  // namespace

std::shared_ptr<platform::Bundle> FrameworkBundle()
{
    auto bundle = platform::Bundle::BundleWithIdentifier(kFrameworkBundleIdentifier);
    if (bundle)
        return bundle;
    bundle = platform::Bundle::BundleForAddress(reinterpret_cast<const void*>(&FrameworkBundle));
    if (bundle)
        platform::Bundle::RegisterIdentifier(kFrameworkBundleIdentifier, bundle->ResourcePath());
    return bundle;
}

std::string LocalizedString(const char* key)
{
    auto bundle = FrameworkBundle();
    return bundle ? bundle->LocalizedStringForKey(key, "", "Localizable") : std::string(key);
}

namespace {

// Shows the controller's window and runs its modal session until `done(response)` holds.
// False when the window could not be made.
template <typename Done>
bool RunModalWindow(platform::WindowController& controller, bool bFloating, Done done)
{
    controller.ShowWindow();
    platform::Window* window = controller.GetWindow();
    if (nullptr == window)
        return false;
    if (bFloating)
        window->SetLevel(platform::kFloatingWindowLevel);
    platform::DialogApplication& app = platform::DialogApp();
    platform::ModalSession* session = app.BeginModalSessionForWindow(window);
    int response;
    do {
        response = app.RunModalSession(session);
    } while (!done(response));
    app.EndModalSession(session);
    return true;
}

bool StoppedOrAborted(int response)
{
    return platform::kModalResponseStop == response || platform::kModalResponseAbort == response;
}

}  // namespace

int RunSelectCert(const CertDisplayRecord* const* ppCertRecords)
{
    platform::AutoreleasePool pool;
    RegisterLayouts();
    if (!DialogsAvailable("GetSelectCert"))
        return -1;
    SelectCertWindowController controller;
    if (nullptr == controller.InitWithCertificateInfo(ppCertRecords))
        return -1;
    // The certificate window also ends when its controller has taken an answer.
    const bool shown = RunModalWindow(controller, true, [&controller](int response) {
        return platform::kModalResponseContinue != response || controller.GetWindowQuitState() == 1;
    });
    return shown ? controller.GetSelectCert() : -1;
}

int RunSelectedKey(const char* const* ppszKeyDesc)
{
    platform::AutoreleasePool pool;
    RegisterLayouts();
    if (!DialogsAvailable("GetSelectedKey"))
        return -1;
    SelectKeyWindowController controller;
    if (nullptr == controller.InitWithKeyDesc(ppszKeyDesc))
        return -1;
    if (!RunModalWindow(controller, false, StoppedOrAborted))
        return -1;
    return controller.GetSelectKey();
}

int RunUserPIN(int nInitState, int nMinPINSize, int nMaxPINSize, char** ppszPIN)
{
    platform::AutoreleasePool pool;
    RegisterLayouts();
    // Without a place for the answer the user would type a PIN for nothing.
    if (nullptr == ppszPIN)
        return -1;
    if (!DialogsAvailable("GetUserPIN"))
        return -1;
    GetPINWindowController controller;
    if (nullptr == controller.InitPINWindow(nMinPINSize, nMaxPINSize, nInitState))
        return -1;
    if (!RunModalWindow(controller, false, StoppedOrAborted))
        return -1;
    return controller.GetUserPIN(ppszPIN);
}

int RunAlertPanel(const char* pszTitle, const char* pszMessage, const char* pszButton)
{
    return platform::RunAlertPanel(pszTitle ? pszTitle : "", pszMessage ? pszMessage : "",
                                   pszButton && *pszButton ? pszButton : "OK");
}

void CancelDialogs()
{
    platform::DialogApp().CancelAllModalSessions();
}

}  // namespace tamsel
