// Window controllers and the layouts they load by name.
#ifndef PLATFORM_WINDOW_CONTROLLER_H
#define PLATFORM_WINDOW_CONTROLLER_H

#include "platform/AppKit.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace platform {

class Bundle;

// The texts of one layout: table "<layout name>" of the controller's bundle.
class LayoutTexts
{
public:
    LayoutTexts(std::shared_ptr<Bundle> bundle, std::string table);
    // The localized text for key, or fallback when the table has none.
    std::string Text(const std::string& key, const std::string& fallback) const;
    const std::shared_ptr<Bundle>& GetBundle() const { return m_bundle; }

private:
    std::shared_ptr<Bundle> m_bundle;
    std::string m_table;
};

using LayoutBuilder = std::function<std::unique_ptr<Window>(const LayoutTexts& texts)>;

// Registers the layout a controller loads with InitWithWindowNibName(name); a later registration
// under the same name replaces the earlier one.
void RegisterLayout(const std::string& name, LayoutBuilder builder);
bool HasLayout(const std::string& name);

class WindowController : public WindowDelegate
{
public:
    WindowController() = default;
    ~WindowController() override;
    WindowController(const WindowController&) = delete;
    WindowController& operator=(const WindowController&) = delete;

    // Remembers the layout; the window is built on first use. False when no such layout exists.
    bool InitWithWindowNibName(const std::string& name, std::shared_ptr<Bundle> bundle);
    // Builds the window when needed: layout, buttons connected to the controller's actions,
    // AwakeFromNib, WindowDidLoad. Null when the layout could not be built.
    Window* GetWindow();
    // Loads the window when needed and puts it on screen.
    void ShowWindow();
    const std::shared_ptr<Bundle>& GetBundle() const { return m_bundle; }

    virtual void AwakeFromNib() {}
    virtual void WindowDidLoad() {}
    // Takes the window off screen.
    virtual void Close();
    // Closing from the window frame: by default the modal session is aborted and the window closed.
    bool WindowShouldClose(Window& window) override;

protected:
    // Connects the layout's action name (e.g. "ClickOK") to a member of the controller.
    void SetActionHandler(const std::string& name, std::function<void()> handler);

private:
    void PerformAction(const std::string& name);

    std::string m_layoutName;
    std::shared_ptr<Bundle> m_bundle;
    std::unique_ptr<Window> m_window;
    bool m_loading = false;
    std::map<std::string, std::function<void()>> m_actions;
};

}  // namespace platform

#endif
