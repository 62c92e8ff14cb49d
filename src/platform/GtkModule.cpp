// The toolkit module's side of its interface with the platform layer: the entry point, and the
// platform functions the GTK backend calls. Those are defined here once more, for this module
// only (its symbols are local), as calls through the layer's table, so that the backend's code
// reaches the layer's one DialogApp() and its model objects' own functions.
//
// A platform function the backend starts to call must be added here and to the table: the module
// is linked with every symbol resolved, so a missing one fails the build, not the first window.
#include "GtkModuleInterface.h"

#include "platform/AppKit.h"
#include "platform/DialogApp.h"
#include "platform/GtkDialogBackend.h"
#include "platform/Utf8.h"

namespace {

const platform::GtkModuleOperations* g_platform = nullptr;

}  // namespace

namespace platform {

std::string MakeValidUtf8(const std::string& text)
{
    return g_platform->makeValidUtf8(text);
}

DialogApplication& DialogApp()
{
    return g_platform->dialogApp();
}

void DialogApplication::AbortModal()
{
    g_platform->abortModal(*this);
}

bool DialogApplication::ModalSessionsCancelled() const
{
    return g_platform->modalSessionsCancelled(*this);
}

void ArrayController::SetSelectionIndex(int index)
{
    g_platform->setSelectionIndex(*this, index);
}

void SecureTextField::SetStringValue(const char* text, size_t length)
{
    g_platform->setSecureStringValue(*this, text, length);
}

void ComboBox::SelectItemAtIndex(int index)
{
    g_platform->selectItemAtIndex(*this, index);
}

void Button::PerformClick()
{
    g_platform->performClick(*this);
}

void TableView::PerformDoubleClick()
{
    g_platform->performDoubleClick(*this);
}

void Window::PerformClose()
{
    g_platform->performClose(*this);
}

void Window::PerformCancel()
{
    g_platform->performCancel(*this);
}

Button* Window::DefaultButton() const
{
    return g_platform->defaultButton(*this);
}

}  // namespace platform

extern "C" __attribute__((visibility("default"))) platform::DialogBackend*
PlatformGtkModuleCreateBackend(const platform::GtkModuleOperations* operations)
{
    if (nullptr == operations || platform::kGtkModuleInterfaceVersion != operations->version ||
        sizeof(platform::GtkModuleOperations) != operations->size)
        return nullptr;
    // The layer hands over the same table each time; its functions live as long as the process.
    g_platform = operations;
    return new platform::GtkDialogBackend;
}
