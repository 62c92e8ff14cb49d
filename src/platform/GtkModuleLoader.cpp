// The GTK backend as the platform layer sees it: a stand-in that loads the toolkit module when the
// first window is to be shown and forwards to the backend the module makes. A request that opens
// no window never maps GTK and its libraries, which would cost a start of the host more than all
// the rest of its work.
#include "GtkModuleInterface.h"

#include "platform/AppKit.h"
#include "platform/Bundle.h"
#include "platform/DialogApp.h"
#include "platform/DialogBackend.h"
#include "platform/Utf8.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <mutex>

namespace platform {

namespace {

// What the module's backend may call; the functions are the layer's own, on its own state.
const GtkModuleOperations kOperations = {
    kGtkModuleInterfaceVersion,
    sizeof(GtkModuleOperations),
    [](const std::string& text) { return MakeValidUtf8(text); },
    []() -> DialogApplication& { return DialogApp(); },
    [](DialogApplication& app) { app.AbortModal(); },
    [](const DialogApplication& app) { return app.ModalSessionsCancelled(); },
    [](ArrayController& controller, int index) { controller.SetSelectionIndex(index); },
    [](SecureTextField& field, const char* text, size_t length) { field.SetStringValue(text, length); },
    [](ComboBox& combo, int index) { combo.SelectItemAtIndex(index); },
    [](Button& button) { button.PerformClick(); },
    [](TableView& table) { table.PerformDoubleClick(); },
    [](Window& window) { window.PerformClose(); },
    [](Window& window) { window.PerformCancel(); },
    [](const Window& window) { return window.DefaultButton(); },
};

class GtkModuleBackend : public DialogBackend
{
public:
    explicit GtkModuleBackend(std::string path) : m_path(std::move(path)) {}

    bool Available(std::string* reason) override { return Backend().Available(reason); }
    void WindowWillShow(Window& window) override { Backend().WindowWillShow(window); }
    void WindowDidClose(Window& window) override { Backend().WindowDidClose(window); }
    void WindowDidChange(Window& window) override { Backend().WindowDidChange(window); }
    void ViewDidChange(View& view) override { Backend().ViewDidChange(view); }
    void ProcessEvents(bool wait) override { Backend().ProcessEvents(wait); }
    int RunAlert(const std::string& title, const std::string& message, const std::string& button) override
    {
        return Backend().RunAlert(title, message, button);
    }
    bool BeginSheet(Window& parent, Window& sheet) override { return Backend().BeginSheet(parent, sheet); }

private:
    // The module's backend, loaded on the first call (from whichever thread; the backend itself
    // keeps GTK to the main thread), or, when the module cannot be used, a backend that says why.
    DialogBackend& Backend()
    {
        std::call_once(m_once, [this] {
            std::string failure;
            m_backend = Load(&failure);
            if (!m_backend)
                m_backend = MakeUnavailableDialogBackend(failure);
        });
        return *m_backend;
    }

    std::unique_ptr<DialogBackend> Load(std::string* failure) const
    {
        if (m_path.empty()) {
            *failure = "the toolkit module cannot be found";
            return nullptr;
        }
        // Never closed: GTK, once mapped, cannot be unloaded.
        void* module = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (nullptr == module) {
            const char* error = dlerror();
            *failure = "the toolkit module cannot be loaded: " + std::string(error ? error : m_path);
            return nullptr;
        }
        auto create =
            reinterpret_cast<PlatformGtkModuleCreateBackendFn>(dlsym(module, PLATFORM_GTK_MODULE_ENTRY_POINT));
        std::unique_ptr<DialogBackend> backend(nullptr != create ? create(&kOperations) : nullptr);
        if (!backend)
            *failure = "the toolkit module " + m_path + " does not fit this library";
        return backend;
    }

    const std::string m_path;
    std::once_flag m_once;
    std::unique_ptr<DialogBackend> m_backend;
};

}  // namespace

std::string GtkModulePath()
{
    std::string directory = DirectoryOfObjectAt(reinterpret_cast<const void*>(&GtkModulePath));
    if (directory.empty())
        return std::string();
    // A library found through its program's RUNPATH sits in ".../bin/../Frameworks/...": the
    // plain path reads better where a message names the module.
    char real[PATH_MAX];
    if (nullptr != realpath(directory.c_str(), real))
        directory = real;
    return directory + "/" PLATFORM_GTK_MODULE_FILE;
}

std::unique_ptr<DialogBackend> MakeGtkDialogBackend(const std::string& modulePath)
{
    // An empty path (the folder of the platform layer unknown) fails on the first Available().
    return std::make_unique<GtkModuleBackend>(modulePath.empty() ? GtkModulePath() : modulePath);
}

}  // namespace platform
