#include "GtkDriver.h"

#include "platform/DialogApp.h"

#include "TestUtil.h"

#include <sys/stat.h>

#include <cstring>

namespace gtkdriver {

namespace {

void CollectNamed(GtkWidget* widget, const std::string& name, GtkWidget** found)
{
    if (*found)
        return;
    const char* widgetName = gtk_widget_get_name(widget);
    if (widgetName && name == widgetName) {
        *found = widget;
        return;
    }
    if (GTK_IS_CONTAINER(widget)) {
        struct Search
        {
            const std::string* name;
            GtkWidget** found;
        } search{&name, found};
        gtk_container_forall(
            GTK_CONTAINER(widget),
            [](GtkWidget* child, gpointer data) {
                auto* s = static_cast<Search*>(data);
                CollectNamed(child, *s->name, s->found);
            },
            &search);
    }
}

void OnDrawn(GtkWidget* widget, cairo_t* /*cr*/, gpointer /*data*/)
{
    g_object_set_data(G_OBJECT(widget), "gtkdriver-drawn", GINT_TO_POINTER(1));
}

}  // namespace

GtkWidget* FindWindow(const std::string& title)
{
    GList* toplevels = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* l = toplevels; l; l = l->next) {
        GtkWindow* window = GTK_WINDOW(l->data);
        const char* t = gtk_window_get_title(window);
        if (t && title == t && gtk_widget_get_visible(GTK_WIDGET(window)))
            found = GTK_WIDGET(window);
    }
    g_list_free(toplevels);
    return found;
}

GtkWidget* FindWidget(GtkWidget* root, const std::string& name)
{
    GtkWidget* found = nullptr;
    if (root)
        CollectNamed(root, name, &found);
    return found;
}

bool LabelIsRed(GtkWidget* label)
{
    PangoAttrList* attributes = gtk_label_get_attributes(GTK_LABEL(label));
    if (!attributes)
        return false;
    PangoAttrIterator* it = pango_attr_list_get_iterator(attributes);
    bool red = false;
    do {
        auto* fg = reinterpret_cast<PangoAttrColor*>(pango_attr_iterator_get(it, PANGO_ATTR_FOREGROUND));
        if (fg)
            red = fg->color.red > 0x8000 && fg->color.green < 0x4000 && fg->color.blue < 0x4000;
    } while (!red && pango_attr_iterator_next(it));
    pango_attr_iterator_destroy(it);
    return red;
}

Script::Script(int appearanceMs, int reactionMs) : m_appearanceMs(appearanceMs), m_reactionMs(reactionMs) {}

Script::~Script()
{
    if (m_source)
        g_source_remove(m_source);
}

Script& Script::Add(const std::string& what, Step step, int limitMs)
{
    m_steps.push_back(Entry{what, std::move(step), limitMs});
    return *this;
}

Script& Script::Then(const std::string& what, Step step)
{
    return Add(what, std::move(step), m_reactionMs);
}

Script& Script::WaitForWindow(const std::string& title, GtkWidget** window)
{
    return Add("window '" + title + "' appears", [title, window] {
        GtkWidget* w = FindWindow(title);
        if (!w || !gtk_widget_get_mapped(w))
            return false;
        if (!g_object_get_data(G_OBJECT(w), "gtkdriver-watched")) {
            g_object_set_data(G_OBJECT(w), "gtkdriver-watched", GINT_TO_POINTER(1));
            g_signal_connect_after(w, "draw", G_CALLBACK(OnDrawn), nullptr);
            gtk_widget_queue_draw(w);
            return false;
        }
        if (!g_object_get_data(G_OBJECT(w), "gtkdriver-drawn"))
            return false;
        if (window)
            *window = w;
        return true;
    }, m_appearanceMs);
}

Script& Script::WaitForWindowGone(const std::string& title)
{
    return Then("window '" + title + "' goes", [title] { return nullptr == FindWindow(title); });
}

Script& Script::Screenshot(GtkWidget** window, const std::string& name)
{
    return Then("screenshot " + name, [window, name] { return SaveScreenshot(*window, name); });
}

void Script::StartClock()
{
    const int limitMs = m_next < m_steps.size() ? m_steps[m_next].limitMs : m_reactionMs;
    m_deadline = g_get_monotonic_time() + static_cast<gint64>(limitMs) * 1000;
}

void Script::Start()
{
    StartClock();
    m_source = g_timeout_add(15, &Script::Tick, this);
}

void Script::Fail(const std::string& why)
{
    m_failure = why;
    // End whatever is open so that the test finishes and reports instead of hanging.
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l; l = l->next) {
        if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
            gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_CANCEL);
    }
    g_list_free(toplevels);
    platform::DialogApp().AbortModal();
}

gboolean Script::Tick(gpointer data)
{
    auto* self = static_cast<Script*>(data);
    if (g_get_monotonic_time() > self->m_deadline) {
        // A dialog still turning its loop after the last step did not end on it (a key it
        // ignored, say): end it, so the test reports instead of waiting for a user.
        self->Fail(self->m_next < self->m_steps.size() ? "timed out at step: " + self->m_steps[self->m_next].what
                                                       : "the dialog stayed open after the last step");
        self->m_source = 0;
        return G_SOURCE_REMOVE;
    }
    if (self->m_next >= self->m_steps.size())
        return G_SOURCE_CONTINUE;
    if (self->m_steps[self->m_next].step()) {
        ++self->m_next;
        self->StartClock();
    }
    return G_SOURCE_CONTINUE;
}

namespace {

void PutKeyEvent(GdkWindow* target, GdkEventType type, guint keyval)
{
    GdkEvent* event = gdk_event_new(type);
    event->key.window = GDK_WINDOW(g_object_ref(target));
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = keyval;
    GdkDisplay* display = gdk_window_get_display(target);
    // Key bindings match the hardware key, as for a key pressed on the keyboard.
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &count) && count > 0) {
        event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
        event->key.group = static_cast<guint8>(keys[0].group);
    }
    g_free(keys);
    GdkDevice* keyboard = gdk_seat_get_keyboard(gdk_display_get_default_seat(display));
    gdk_event_set_device(event, keyboard);
    gdk_event_set_source_device(event, keyboard);
    gdk_event_put(event);
    gdk_event_free(event);
}

}  // namespace

void PressKey(GtkWidget* window, guint keyval)
{
    GdkWindow* target = window ? gtk_widget_get_window(window) : nullptr;
    if (!target)
        return;
    PutKeyEvent(target, GDK_KEY_PRESS, keyval);
    PutKeyEvent(target, GDK_KEY_RELEASE, keyval);
}

void GiveFocus(GtkWidget* window)
{
    GdkWindow* target = window ? gtk_widget_get_window(window) : nullptr;
    if (!target)
        return;
    GdkEvent* event = gdk_event_new(GDK_FOCUS_CHANGE);
    event->focus_change.window = GDK_WINDOW(g_object_ref(target));
    event->focus_change.send_event = TRUE;
    event->focus_change.in = TRUE;
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_window_get_display(target))));
    gdk_event_put(event);
    gdk_event_free(event);
}

void Defer(std::function<void()> fn, GtkWidget* widget)
{
    struct Deferred
    {
        std::function<void()> fn;
        GtkWidget* widget;
    };
    auto* d = new Deferred{std::move(fn), widget};
    g_object_ref(widget);
    g_idle_add_full(
        G_PRIORITY_HIGH,
        [](gpointer data) -> gboolean {
            auto* deferred = static_cast<Deferred*>(data);
            deferred->fn();
            return G_SOURCE_REMOVE;
        },
        d,
        [](gpointer data) {
            auto* deferred = static_cast<Deferred*>(data);
            g_object_unref(deferred->widget);
            delete deferred;
        });
}

std::string ScreenshotPath(const std::string& name)
{
    const std::string dir = testutil::BinaryDir() + "/screenshots";
    mkdir(dir.c_str(), 0755);
    return dir + "/" + name + ".png";
}

namespace {

bool SavePixbuf(GdkPixbuf* pixbuf, const std::string& name)
{
    if (!pixbuf)
        return false;
    GError* error = nullptr;
    const bool saved = gdk_pixbuf_save(pixbuf, ScreenshotPath(name).c_str(), "png", &error, nullptr);
    if (error)
        g_error_free(error);
    g_object_unref(pixbuf);
    return saved;
}

}  // namespace

bool SaveScreenshotOfArea(const std::vector<GtkWidget*>& windows, const std::string& name)
{
    GdkRectangle area = {0, 0, 0, 0};
    for (GtkWidget* window : windows) {
        GdkWindow* gdkWindow = window ? gtk_widget_get_window(window) : nullptr;
        if (!gdkWindow || !gdk_window_is_viewable(gdkWindow))
            return false;
        GdkRectangle r;
        gdk_window_get_origin(gdkWindow, &r.x, &r.y);
        r.width = gdk_window_get_width(gdkWindow);
        r.height = gdk_window_get_height(gdkWindow);
        if (0 == area.width)
            area = r;
        else
            gdk_rectangle_union(&area, &r, &area);
    }
    if (0 == area.width)
        return false;
    gdk_display_sync(gdk_display_get_default());
    return SavePixbuf(
        gdk_pixbuf_get_from_window(gdk_get_default_root_window(), area.x, area.y, area.width, area.height), name);
}

bool SaveScreenshot(GtkWidget* window, const std::string& name)
{
    // The pixels on the display, as the user sees them. The window must not be covered: tests
    // that take pictures run alone on their display.
    GdkWindow* gdkWindow = window ? gtk_widget_get_window(window) : nullptr;
    if (!gdkWindow || !gdk_window_is_viewable(gdkWindow))
        return false;
    gdk_display_sync(gdk_window_get_display(gdkWindow));
    return SavePixbuf(
        gdk_pixbuf_get_from_window(gdkWindow, 0, 0, gdk_window_get_width(gdkWindow), gdk_window_get_height(gdkWindow)),
        name);
}

}  // namespace gtkdriver
