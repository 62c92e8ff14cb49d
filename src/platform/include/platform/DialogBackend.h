// The backend that puts model windows on screen and turns the user's input into model changes.
#ifndef PLATFORM_DIALOG_BACKEND_H
#define PLATFORM_DIALOG_BACKEND_H

#include <memory>
#include <string>

namespace platform {

class View;
class Window;

class DialogBackend
{
public:
    virtual ~DialogBackend() = default;

    // Whether dialogs can be shown here and now; when not, *reason (when given) says why in a
    // few words.
    virtual bool Available(std::string* reason) = 0;
    virtual void WindowWillShow(Window& window) = 0;
    virtual void WindowDidClose(Window& window) = 0;
    // The window's title or level changed while it is on screen.
    virtual void WindowDidChange(Window& window) = 0;
    // A model property changed while its window is on screen.
    virtual void ViewDidChange(View& view) = 0;
    // Handles pending input; with wait, blocks until at least one event was handled.
    virtual void ProcessEvents(bool wait) = 0;
    // A modal alert with one button; returns 1 once the user dismissed it.
    virtual int RunAlert(const std::string& title, const std::string& message, const std::string& button) = 0;
    // Shows a sheet over its parent (the sheet is already attached to the parent).
    virtual bool BeginSheet(Window& parent, Window& sheet) = 0;
};

// The process's backend, chosen on first use from PLATFORM_DIALOG_BACKEND (gtk, the default, or
// none); builds with test hooks also accept "script" and PLATFORM_DIALOG_SCRIPT. The gtk choice
// is MakeGtkDialogBackend(): choosing it loads nothing yet.
DialogBackend* CurrentDialogBackend();
// Replaces the backend (tests); null goes back to the choice from the environment.
void SetDialogBackend(std::unique_ptr<DialogBackend> backend);

// A backend that cannot show anything; every dialog answers as cancelled.
std::unique_ptr<DialogBackend> MakeUnavailableDialogBackend(const std::string& reason);

// The GTK backend, which lives in the toolkit module at `modulePath` (empty: GtkModulePath()). The
// module, and with it GTK, is loaded on the backend's first Available(), that is when the first
// window is to be shown; a module that cannot be loaded makes the backend unavailable, with the
// loader's message as the reason.
std::unique_ptr<DialogBackend> MakeGtkDialogBackend(const std::string& modulePath = std::string());
// Where the default backend finds the toolkit module: beside the library (or program) that holds
// the platform layer, in the bundle Frameworks/Tamsel64.framework/ beside libTamsel64.so.
std::string GtkModulePath();

}  // namespace platform

#endif
