// Drives real GTK dialogs from inside their own modal loop: a timeout callback runs one step per
// tick, finding windows by title and widgets by name (the model's outlet names), and acting on
// them through GTK's own calls. No sleeps and no synthetic X events.
#ifndef PLATFORM_GTK_DRIVER_H
#define PLATFORM_GTK_DRIVER_H

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

namespace gtkdriver {

// The visible top-level window with this title, or null.
GtkWidget* FindWindow(const std::string& title);
// The widget named `name` inside root (internal children included), or null.
GtkWidget* FindWidget(GtkWidget* root, const std::string& name);
// The text of a label's attributes: true when a foreground colour is set and it is red.
bool LabelIsRed(GtkWidget* label);

class Script
{
public:
    // A step returns true when it is done; false makes it run again on the next tick.
    using Step = std::function<bool()>;

    // Time limits. A window's appearance may take long: under a sanitizer, with every core busy,
    // a first window on a shared virtual display has been seen to take over 20 s. Any other step
    // waits for a reaction (a window going after a key, a label changing), and the dialog must end
    // within the same short time after the last step: a key the window ignores fails the test in
    // seconds, not minutes.
    static constexpr int kAppearanceMs = 90000;
    static constexpr int kReactionMs = 10000;
    explicit Script(int appearanceMs = kAppearanceMs, int reactionMs = kReactionMs);
    ~Script();
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    // A step with the reaction limit.
    Script& Then(const std::string& what, Step step);
    // Waits until a window with this title is visible and has been drawn; *window receives it.
    // The one kind of step with the appearance limit.
    Script& WaitForWindow(const std::string& title, GtkWidget** window);
    // Waits until no visible window has this title.
    Script& WaitForWindowGone(const std::string& title);
    // Saves a PNG of the window into <build>/screenshots/<name>.png.
    Script& Screenshot(GtkWidget** window, const std::string& name);

    // Installs the timeout; the steps run once the dialog's loop turns. A step not done within
    // its limit (counted from the end of the step before), or a dialog whose loop still turns
    // longer than the reaction limit after the last step, is ended and the script fails.
    void Start();
    bool Finished() const { return m_next == m_steps.size() && m_failure.empty(); }
    const std::string& Failure() const { return m_failure; }

private:
    static gboolean Tick(gpointer data);
    void Fail(const std::string& why);

    struct Entry
    {
        std::string what;
        Step step;
        int limitMs;
    };
    Script& Add(const std::string& what, Step step, int limitMs);
    void StartClock();  // for the next step, or for the end after the last one

    std::vector<Entry> m_steps;
    size_t m_next = 0;
    guint m_source = 0;
    gint64 m_deadline = 0;
    int m_appearanceMs;
    int m_reactionMs;
    std::string m_failure;
};

// Queues a press and a release of the key `keyval` for the window, as the display delivers them
// to the window that has the keyboard focus; GTK dispatches them from the window's own loop, to
// its focus widget and key bindings first. A modal window (a sheet) takes them when open.
void PressKey(GtkWidget* window, guint keyval);

// Queues a keyboard focus change into the window, as the display reports one. Queued just before
// keys, it gives them a focused window whatever other windows on a shared display do meanwhile
// (a tree view moves its cursor only while its window has the focus).
void GiveFocus(GtkWidget* window);

// Runs fn from a high-priority idle source (before the script's next step) while `widget` is
// kept alive. For actions that may open a nested loop (an alert), which would otherwise block
// the script's own timeout.
void Defer(std::function<void()> fn, GtkWidget* widget);

// <build>/screenshots/<name>.png from the window's pixels on the display. False on failure.
bool SaveScreenshot(GtkWidget* window, const std::string& name);
// The same of the screen's area that holds all these windows (a window and its tooltip, say).
bool SaveScreenshotOfArea(const std::vector<GtkWidget*>& windows, const std::string& name);
std::string ScreenshotPath(const std::string& name);

}  // namespace gtkdriver

#endif
