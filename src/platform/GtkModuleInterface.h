// The interface between the platform layer and its toolkit module (libTamsel64Gtk.so), which holds
// the GTK backend so that GTK and its libraries are mapped only once a window is to be shown.
//
// The module keeps no platform state of its own: the modal sessions and the current backend stay
// the layer's, and the module reaches the few platform functions its backend calls through the
// table below, which the layer hands to the module's one entry point. Both sides come from the
// same build; the version and size guard against a module left over from another one.
#ifndef PLATFORM_GTK_MODULE_INTERFACE_H
#define PLATFORM_GTK_MODULE_INTERFACE_H

#include <cstddef>
#include <string>

namespace platform {

class ArrayController;
class Button;
class ComboBox;
class DialogApplication;
class DialogBackend;
class SecureTextField;
class TableView;
class Window;

// Raised whenever the table changes; a module of another version refuses the table.
constexpr unsigned kGtkModuleInterfaceVersion = 2;

struct GtkModuleOperations
{
    unsigned version;  // kGtkModuleInterfaceVersion
    size_t size;       // sizeof(GtkModuleOperations)

    std::string (*makeValidUtf8)(const std::string& text);
    DialogApplication& (*dialogApp)();
    void (*abortModal)(DialogApplication& app);
    bool (*modalSessionsCancelled)(const DialogApplication& app);
    void (*setSelectionIndex)(ArrayController& controller, int index);
    void (*setSecureStringValue)(SecureTextField& field, const char* text, size_t length);
    void (*selectItemAtIndex)(ComboBox& combo, int index);
    void (*performClick)(Button& button);
    void (*performDoubleClick)(TableView& table);
    void (*performClose)(Window& window);
    void (*performCancel)(Window& window);
    Button* (*defaultButton)(const Window& window);
};

}  // namespace platform

// The module's entry point: a new GTK backend that calls the platform through `operations` (which
// must outlive every backend it made), or null when the table does not fit the module. The caller
// owns the backend.
#define PLATFORM_GTK_MODULE_ENTRY_POINT "PlatformGtkModuleCreateBackend"
extern "C" {
typedef platform::DialogBackend* (*PlatformGtkModuleCreateBackendFn)(const platform::GtkModuleOperations* operations);
}

#endif
