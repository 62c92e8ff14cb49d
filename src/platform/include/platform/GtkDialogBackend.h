// The dialog backend that shows model windows as GTK 3 windows.
//
// GTK is started on the first dialog, on the process's main thread only, without touching the
// process locale, with GLib's messages sent to stderr (stdout is the host's reply pipe) and
// without the accessibility bridge. Without a display, or called from another thread, it reports
// itself unavailable and the dialog answers as cancelled.
//
// The class is built only into the toolkit module (libTamsel64Gtk.so); the platform layer and
// tests make it through MakeGtkDialogBackend() (platform/DialogBackend.h).
#ifndef PLATFORM_GTK_DIALOG_BACKEND_H
#define PLATFORM_GTK_DIALOG_BACKEND_H

#include "platform/DialogBackend.h"

#include <memory>

namespace platform {

class GtkDialogBackend : public DialogBackend
{
public:
    GtkDialogBackend();
    ~GtkDialogBackend() override;

    bool Available(std::string* reason) override;
    void WindowWillShow(Window& window) override;
    void WindowDidClose(Window& window) override;
    void WindowDidChange(Window& window) override;
    void ViewDidChange(View& view) override;
    void ProcessEvents(bool wait) override;
    int RunAlert(const std::string& title, const std::string& message, const std::string& button) override;
    bool BeginSheet(Window& parent, Window& sheet) override;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform

#endif
