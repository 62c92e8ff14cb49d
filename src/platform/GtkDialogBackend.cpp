#include "platform/GtkDialogBackend.h"

#include "platform/AppKit.h"
#include "platform/DialogApp.h"
#include "platform/Utf8.h"

#include <gtk/gtk.h>
#include <openssl/crypto.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

namespace {

pid_t CurrentThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// ---- Starting GTK once per process --------------------------------------------------------------

GLogWriterOutput WriteLogToStderr(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer /*data*/)
{
    const char* domain = nullptr;
    const char* message = nullptr;
    for (gsize i = 0; i < count; ++i) {
        if (0 == strcmp(fields[i].key, "GLIB_DOMAIN"))
            domain = static_cast<const char*>(fields[i].value);
        else if (0 == strcmp(fields[i].key, "MESSAGE"))
            message = static_cast<const char*>(fields[i].value);
    }
    if (g_log_writer_default_would_drop(level, domain))
        return G_LOG_WRITER_HANDLED;
    // An alert without a parent is what the caller asked for: the host has no window of its own.
    if (message && strstr(message, "mapped without a transient parent"))
        return G_LOG_WRITER_HANDLED;
    gchar* line = g_log_writer_format_fields(level, fields, count, FALSE);
    fprintf(stderr, "%s\n", line);
    g_free(line);
    return G_LOG_WRITER_HANDLED;
}

void PrintToStderr(const gchar* text)
{
    fputs(text, stderr);
}

struct GtkStart
{
    std::mutex mutex;
    bool attempted = false;
    bool ok = false;
    pid_t thread = 0;
};

GtkStart& StartState()
{
    static auto* state = new GtkStart;
    return *state;
}

bool StartGtk(std::string* reason)
{
    GtkStart& s = StartState();
    std::lock_guard<std::mutex> lock(s.mutex);
    const pid_t self = CurrentThreadId();
    if (!s.attempted) {
        // GTK belongs to the thread that runs the application's loop: the process's first thread.
        if (self != getpid()) {
            if (reason)
                *reason = "not called on the main thread";
            return false;
        }
        s.attempted = true;
        s.thread = self;
        setenv("NO_AT_BRIDGE", "1", 1);
        // With G_MESSAGES_DEBUG set GLib would write to stdout, the host's reply pipe.
        g_log_set_writer_func(WriteLogToStderr, nullptr, nullptr);
        g_set_print_handler(PrintToStderr);
        // gtk_init would call setlocale(LC_ALL, ""), changing number formats and string
        // comparison in the rest of the process.
        gtk_disable_setlocale();
        s.ok = gtk_init_check(nullptr, nullptr);
    }
    if (!s.ok) {
        if (reason)
            *reason = "no display";
        return false;
    }
    if (self != s.thread) {
        if (reason)
            *reason = "not called on the main thread";
        return false;
    }
    return true;
}

bool GtkStarted()
{
    GtkStart& s = StartState();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.ok && s.thread == CurrentThreadId();
}

// Why an alert's loop ended: its button or a close request answered it, or it went off screen.
struct AlertRun
{
    bool ended = false;
    bool destroyed = false;

    static void OnResponse(GtkDialog*, gint, gpointer data) { static_cast<AlertRun*>(data)->ended = true; }
    static void OnUnmap(GtkWidget*, gpointer data) { static_cast<AlertRun*>(data)->ended = true; }
    static void OnDestroy(GtkWidget*, gpointer data)
    {
        static_cast<AlertRun*>(data)->ended = true;
        static_cast<AlertRun*>(data)->destroyed = true;
    }
};

}  // namespace

// ---- Windows on screen ----------------------------------------------------------------------------

struct GtkDialogBackend::Impl
{
    struct Shown;

    // What a signal handler needs: the window it belongs to and the model view it mirrors.
    struct Binding
    {
        Impl* impl;
        Shown* shown;
        View* view;
    };

    struct Shown
    {
        Window* model = nullptr;
        GtkWidget* toplevel = nullptr;
        std::map<View*, GtkWidget*> widgets;
        std::vector<std::unique_ptr<Binding>> bindings;
        std::vector<std::pair<gpointer, gulong>> handlers;
        size_t tableRows = 0;
        int tableWidth = 0;     // the visible width the table's columns were last shared out for
        guint shareSource = 0;  // a pending sharing of that width
    };

    std::map<Window*, std::unique_ptr<Shown>> windows;
    std::vector<Window*> order;  // most recently shown last
    // While a view's state is copied between model and widget, the copy's echo (a signal from
    // the widget, a change notice from the model) is ignored for that view only; other views
    // the change affects are still mirrored.
    View* mirroring = nullptr;
    bool building = false;  // a window is being built and shown: its widgets' signals are GTK's own

    bool Ignore(const Binding* binding) const { return building || binding->view == mirroring; }

    // Marks a view as being mirrored for the life of the scope.
    class Mirroring
    {
    public:
        Mirroring(Impl* impl, View* view) : m_impl(impl), m_saved(impl->mirroring) { impl->mirroring = view; }
        ~Mirroring() { m_impl->mirroring = m_saved; }

    private:
        Impl* m_impl;
        View* m_saved;
    };

    Binding* Bind(Shown* shown, View* view)
    {
        shown->bindings.push_back(std::make_unique<Binding>(Binding{this, shown, view}));
        return shown->bindings.back().get();
    }

    // With `after`, the handler runs once the instance's own handling left the signal unhandled.
    void Connect(Shown* shown, gpointer instance, const char* signal, GCallback callback, Binding* binding,
                 bool after = false)
    {
        const gulong id = after ? g_signal_connect_after(instance, signal, callback, binding)
                                : g_signal_connect(instance, signal, callback, binding);
        shown->handlers.emplace_back(instance, id);
    }

    Shown* Find(Window* window)
    {
        auto it = windows.find(window);
        return it == windows.end() ? nullptr : it->second.get();
    }

    GtkWidget* Build(Window& window, GtkWindow* parent);
    GtkWidget* BuildView(Shown* shown, View* view);
    void Sync(Shown* shown, View* view);
    void Destroy(Window& window);
    Window* FrontWindow() const { return order.empty() ? nullptr : order.back(); }

    // Signal handlers.
    static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data);
    static gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer data);
    static void OnClicked(GtkButton*, gpointer data);
    static void OnEntryChanged(GtkEditable*, gpointer data);
    static void OnComboChanged(GtkComboBox*, gpointer data);
    static void OnSelectionChanged(GtkTreeSelection*, gpointer data);
    static void OnRowActivated(GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer data);
    static gboolean OnTableKeyPress(GtkWidget*, GdkEventKey* event, gpointer data);
    static void OnTableWidthChanged(GtkAdjustment*, gpointer data);
    static gboolean ShareTableWidth(gpointer data);
};

namespace {

// A block of text: its margins, the least room it may be given, and the height it opens with at
// least.
constexpr int kTextMargin = 6;
constexpr int kTextMinimumWidth = 280;
constexpr int kTextMinimumHeight = 120;
constexpr int kTextDefaultHeight = 420;
constexpr int kBorder = 18;  // around a window's contents

void ApplyLabelStyle(GtkWidget* label, const TextField& field)
{
    PangoAttrList* attributes = pango_attr_list_new();
    if (field.IsSmall())
        pango_attr_list_insert(attributes, pango_attr_scale_new(PANGO_SCALE_SMALL));
    const Color color = field.TextColor();
    if (!color.isDefault)
        pango_attr_list_insert(attributes, pango_attr_foreground_new(static_cast<guint16>(color.red * 257),
                                                                     static_cast<guint16>(color.green * 257),
                                                                     static_cast<guint16>(color.blue * 257)));
    gtk_label_set_attributes(GTK_LABEL(label), attributes);
    pango_attr_list_unref(attributes);
}

// A wrapped line's continuation starts this many columns past where its own line's text begins
// (the printout's own step), so that a long name stays under its field and reads as one.
constexpr int kHangingColumns = 4;

// How far a line's continuations hang in from where the line starts, for a line that begins with
// `depth` spaces.
int HangingIndent(GtkWidget* widget, int depth)
{
    const std::string columns(static_cast<size_t>(depth + kHangingColumns), 'x');
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, columns.c_str());
    int width = 0;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    g_object_unref(layout);
    return width;
}

// Gives each line of the view's text its hanging indent: the first line starts at the margin as
// before (its leading spaces indent it), the continuations under it. Tags per indent depth; their
// widths follow the view's font, so this runs again when the view's style changes.
void ApplyHangingIndents(GtkTextView* view)
{
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(view);
    GtkTextTagTable* tags = gtk_text_buffer_get_tag_table(buffer);
    std::map<int, GtkTextTag*> byDepth;
    const int lines = gtk_text_buffer_get_line_count(buffer);
    for (int line = 0; line < lines; ++line) {
        GtkTextIter start, text, end;
        gtk_text_buffer_get_iter_at_line(buffer, &start, line);
        text = start;
        int depth = 0;
        while (!gtk_text_iter_ends_line(&text) && ' ' == gtk_text_iter_get_char(&text)) {
            ++depth;
            gtk_text_iter_forward_char(&text);
        }
        if (gtk_text_iter_ends_line(&text))
            continue;  // nothing to wrap
        end = text;
        gtk_text_iter_forward_to_line_end(&end);
        GtkTextTag*& tag = byDepth[depth];
        if (!tag) {
            const std::string name = "hanging-indent-" + std::to_string(depth);
            tag = gtk_text_tag_table_lookup(tags, name.c_str());
            if (!tag)
                tag = gtk_text_buffer_create_tag(buffer, name.c_str(), nullptr);
            // A negative indent is a hanging one: the first line keeps the margin.
            g_object_set(tag, "indent", -HangingIndent(GTK_WIDGET(view), depth), nullptr);
        }
        gtk_text_buffer_apply_tag(buffer, tag, &start, &end);
    }
}

void SetWrappedText(GtkTextView* view, const std::string& text)
{
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(view), text.c_str(), -1);
    ApplyHangingIndents(view);
}

void OnWrappedTextStyleUpdated(GtkWidget* widget, gpointer /*data*/)
{
    ApplyHangingIndents(GTK_TEXT_VIEW(widget));
}

// The size a window built around a block of text opens with: its layout's width, and tall enough
// for the first part of the text the model wants seen without scrolling (wrapped at that width),
// though never taller than the screen's work area.
void SetOpeningSizeForText(GtkWindow* toplevel, GtkWindow* parent, GtkWidget* box, GtkTextView* view,
                           const TextField& field, int contentWidth)
{
    const int width = contentWidth > 0 ? contentWidth : 560;
    int textHeight = kTextDefaultHeight;
    const size_t length = std::min(field.InitiallyVisibleLength(), field.StringValue().size());
    if (length > 0) {
        const std::string shown = MakeValidUtf8(field.StringValue().substr(0, length));
        PangoLayout* layout = gtk_widget_create_pango_layout(GTK_WIDGET(view), nullptr);
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        // The text's width: the window's less its border, the frame and the margins, and less a
        // scroll bar in case the theme's takes room.
        const int kFrameAndScrollBar = 2 + 16;
        const int textWidth = width - 2 * kBorder - 2 * kTextMargin - kFrameAndScrollBar;
        pango_layout_set_width(layout, std::max(textWidth, 1) * PANGO_SCALE);
        // Line by line, each with its hanging indent, as the view lays them out; an indent is
        // measured once per depth.
        int height = 0;
        std::map<size_t, int> hangs;
        for (size_t from = 0; from <= shown.size();) {
            const size_t end = std::min(shown.find('\n', from), shown.size());
            const std::string line = shown.substr(from, end - from);
            const size_t depth = line.find_first_not_of(' ');
            int hang = 0;
            if (std::string::npos != depth) {
                auto known = hangs.find(depth);
                if (hangs.end() == known)
                    known = hangs.emplace(depth, HangingIndent(GTK_WIDGET(view), static_cast<int>(depth))).first;
                hang = known->second;
            }
            pango_layout_set_text(layout, line.c_str(), -1);
            pango_layout_set_indent(layout, -hang * PANGO_SCALE);
            int lineHeight = 0;
            pango_layout_get_pixel_size(layout, nullptr, &lineHeight);
            height += lineHeight;
            from = end + 1;
        }
        g_object_unref(layout);
        textHeight = std::max(textHeight, height + 2 * kTextMargin);
    }
    // The rest of the window (border, other views, buttons) as laid out around the smallest text.
    int boxMinimum = 0;
    gtk_widget_get_preferred_height_for_width(box, width, &boxMinimum, nullptr);
    int windowHeight = boxMinimum - kTextMinimumHeight + textHeight;

    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(toplevel));
    GdkWindow* near = parent ? gtk_widget_get_window(GTK_WIDGET(parent)) : nullptr;
    GdkMonitor* monitor = near ? gdk_display_get_monitor_at_window(display, near) : nullptr;
    if (!monitor)
        monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0)
        monitor = gdk_display_get_monitor(display, 0);
    if (monitor) {
        GdkRectangle area;
        gdk_monitor_get_workarea(monitor, &area);
        const int kTitleBarRoom = 64;
        windowHeight = std::min(windowHeight, area.height - kTitleBarRoom);
    }
    gtk_window_set_default_size(toplevel, width, std::max(windowHeight, boxMinimum));
}

// A table's store holds one text per column, then the row's tooltip: every column's title and
// whole text, one to a line, for cells too narrow to show them (names that end in a long email
// address look alike up to their ellipsis).
void FillStore(GtkListStore* store, const TableView& table)
{
    gtk_list_store_clear(store);
    if (!table.Content())
        return;
    const auto& columns = table.Columns();
    const gint tooltipColumn = static_cast<gint>(columns.size());
    for (const auto& object : table.Content()->ArrangedObjects()) {
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        std::string tooltip;
        for (size_t c = 0; c < columns.size(); ++c) {
            auto it = object.find(columns[c].key);
            const std::string text = it == object.end() ? std::string() : MakeValidUtf8(it->second);
            gtk_list_store_set(store, &iter, static_cast<gint>(c), text.c_str(), -1);
            // The tooltip column is markup: titles in bold, the texts escaped.
            gchar* title = g_markup_escape_text(MakeValidUtf8(columns[c].title).c_str(), -1);
            gchar* value = g_markup_escape_text(text.c_str(), -1);
            tooltip += std::string(tooltip.empty() ? "" : "\n") + "<b>" + title + "</b>\n" + value;
            g_free(title);
            g_free(value);
        }
        gtk_list_store_set(store, &iter, tooltipColumn, tooltip.c_str(), -1);
    }
}

// Shows a secret in an entry. The display copy (invalid bytes replaced) is wiped at once; the
// entry's own buffer wipes itself.
void SetSecretEntryText(GtkWidget* entry, const std::string& secret)
{
    std::string shown = MakeValidUtf8(secret);
    gtk_entry_set_text(GTK_ENTRY(entry), shown.c_str());
    if (!shown.empty())
        OPENSSL_cleanse(&shown[0], shown.size());
}

void SelectRow(GtkTreeView* tree, int row)
{
    GtkTreeSelection* selection = gtk_tree_view_get_selection(tree);
    if (row < 0) {
        gtk_tree_selection_unselect_all(selection);
        return;
    }
    GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_selection_select_path(selection, path);
    gtk_tree_view_scroll_to_cell(tree, path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
}

}  // namespace

GtkWidget* GtkDialogBackend::Impl::BuildView(Shown* shown, View* view)
{
    GtkWidget* widget = nullptr;  // the widget named after the outlet
    GtkWidget* packed = nullptr;  // what goes into the window's box
    switch (view->GetKind()) {
    case View::Kind::TextField: {
        auto* field = static_cast<TextField*>(view);
        const std::string text = MakeValidUtf8(field->StringValue());
        if (field->IsMultiline()) {
            widget = gtk_text_view_new();
            GtkTextView* view = GTK_TEXT_VIEW(widget);
            gtk_text_view_set_editable(view, field->IsEditable());
            gtk_text_view_set_cursor_visible(view, field->IsEditable());
            gtk_text_view_set_monospace(view, TRUE);
            // Long lines (a certificate's names) wrap at the visible edge instead of running past it.
            gtk_text_view_set_wrap_mode(view, GTK_WRAP_WORD_CHAR);
            gtk_text_view_set_left_margin(view, kTextMargin);
            gtk_text_view_set_right_margin(view, kTextMargin);
            gtk_text_view_set_top_margin(view, kTextMargin);
            gtk_text_view_set_bottom_margin(view, kTextMargin);
            SetWrappedText(view, text);
            Connect(shown, widget, "style-updated", G_CALLBACK(OnWrappedTextStyleUpdated), Bind(shown, field));
            packed = gtk_scrolled_window_new(nullptr, nullptr);
            gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(packed), GTK_SHADOW_IN);
            // Wrapped text never needs a horizontal scroll bar; without one the text does not hold
            // the window at the widest width it once had.
            gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(packed), GTK_POLICY_EXTERNAL, GTK_POLICY_AUTOMATIC);
            // Only a small minimum: the window opens at the size Build works out, and the user may
            // make it smaller or larger from there.
            gtk_scrolled_window_set_min_content_width(GTK_SCROLLED_WINDOW(packed), kTextMinimumWidth);
            gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(packed), kTextMinimumHeight);
            gtk_widget_set_vexpand(packed, TRUE);
            gtk_container_add(GTK_CONTAINER(packed), widget);
        } else if (field->IsEditable()) {
            widget = gtk_entry_new();
            gtk_entry_set_text(GTK_ENTRY(widget), text.c_str());
            gtk_entry_set_activates_default(GTK_ENTRY(widget), TRUE);
            Connect(shown, widget, "changed", G_CALLBACK(OnEntryChanged), Bind(shown, view));
        } else {
            widget = gtk_label_new(text.c_str());
            gtk_label_set_xalign(GTK_LABEL(widget), 0.0f);
            gtk_label_set_line_wrap(GTK_LABEL(widget), TRUE);
            gtk_label_set_max_width_chars(GTK_LABEL(widget), 60);
            if (field->IsSmall())
                gtk_style_context_add_class(gtk_widget_get_style_context(widget), "dim-label");
            ApplyLabelStyle(widget, *field);
        }
        break;
    }
    case View::Kind::SecureTextField: {
        auto* field = static_cast<SecureTextField*>(view);
        widget = gtk_entry_new();
        gtk_entry_set_visibility(GTK_ENTRY(widget), FALSE);
        gtk_entry_set_input_purpose(GTK_ENTRY(widget), GTK_INPUT_PURPOSE_PIN);
        gtk_entry_set_activates_default(GTK_ENTRY(widget), TRUE);
        SetSecretEntryText(widget, field->StringValue());
        Connect(shown, widget, "changed", G_CALLBACK(OnEntryChanged), Bind(shown, view));
        break;
    }
    case View::Kind::ComboBox: {
        auto* combo = static_cast<ComboBox*>(view);
        widget = gtk_combo_box_text_new();
        for (const auto& item : combo->Items())
            gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(widget), MakeValidUtf8(item).c_str());
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget), combo->IndexOfSelectedItem());
        Connect(shown, widget, "changed", G_CALLBACK(OnComboChanged), Bind(shown, view));
        break;
    }
    case View::Kind::TableView: {
        auto* table = static_cast<TableView*>(view);
        const auto& columns = table->Columns();
        std::vector<GType> types(columns.size() + 1, G_TYPE_STRING);  // the texts, then the tooltip
        GtkListStore* store = gtk_list_store_newv(static_cast<gint>(types.size()), types.data());
        FillStore(store, *table);
        shown->tableRows = table->Content() ? table->Content()->ArrangedObjects().size() : 0;
        widget = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
        g_object_unref(store);
        GtkTreeView* tree = GTK_TREE_VIEW(widget);
        for (size_t c = 0; c < columns.size(); ++c) {
            GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
            g_object_set(renderer, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
            GtkTreeViewColumn* column = gtk_tree_view_column_new_with_attributes(
                MakeValidUtf8(columns[c].title).c_str(), renderer, "text", static_cast<gint>(c), nullptr);
            gtk_tree_view_column_set_resizable(column, TRUE);
            // No expanding: GTK keeps the extra space it once gave expanding columns while the
            // table's width stays the same, which would push the shared widths past the edge.
            gtk_tree_view_column_set_expand(column, FALSE);
            gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
            gtk_tree_view_column_set_fixed_width(column, columns[c].width);
            // Rows stay in the caller's order: a sorted or rearranged table would answer with a
            // position that names another certificate.
            gtk_tree_view_column_set_clickable(column, FALSE);
            gtk_tree_view_column_set_reorderable(column, FALSE);
            gtk_tree_view_append_column(tree, column);
        }
        gtk_tree_view_set_reorderable(tree, FALSE);
        gtk_tree_view_set_enable_search(tree, FALSE);
        gtk_tree_view_set_headers_clickable(tree, FALSE);
        gtk_tree_view_set_tooltip_column(tree, static_cast<gint>(columns.size()));
        GtkTreeSelection* selection = gtk_tree_view_get_selection(tree);
        gtk_tree_selection_set_mode(selection, GTK_SELECTION_SINGLE);
        Binding* binding = Bind(shown, view);
        Connect(shown, selection, "changed", G_CALLBACK(OnSelectionChanged), binding);
        Connect(shown, widget, "row-activated", G_CALLBACK(OnRowActivated), binding);
        // Before the tree's own key handling, which would first choose its cursor row.
        Connect(shown, widget, "key-press-event", G_CALLBACK(OnTableKeyPress), binding);
        packed = gtk_scrolled_window_new(nullptr, nullptr);
        gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(packed), GTK_SHADOW_IN);
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(packed), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
        gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(packed), table->MinimumHeight());
        gtk_widget_set_vexpand(packed, TRUE);
        gtk_container_add(GTK_CONTAINER(packed), widget);
        // The scrolled window's adjustment, which the table uses from here on, knows the visible width.
        Connect(shown, gtk_scrolled_window_get_hadjustment(GTK_SCROLLED_WINDOW(packed)), "changed",
                G_CALLBACK(OnTableWidthChanged), binding);
        break;
    }
    case View::Kind::Button: {
        auto* button = static_cast<Button*>(view);
        widget = gtk_button_new_with_label(MakeValidUtf8(button->Title()).c_str());
        gtk_widget_set_size_request(widget, 88, -1);
        Connect(shown, widget, "clicked", G_CALLBACK(OnClicked), Bind(shown, view));
        if (button->IsDefault()) {
            gtk_widget_set_can_default(widget, TRUE);
            gtk_style_context_add_class(gtk_widget_get_style_context(widget), "suggested-action");
        }
        break;
    }
    case View::Kind::ArrayController:
        return nullptr;
    }
    gtk_widget_set_name(widget, view->Outlet().c_str());
    shown->widgets[view] = widget;
    return packed ? packed : widget;
}

GtkWidget* GtkDialogBackend::Impl::Build(Window& window, GtkWindow* parent)
{
    auto shown = std::make_unique<Shown>();
    shown->model = &window;
    Shown* s = shown.get();

    GtkWidget* toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    s->toplevel = toplevel;
    gtk_widget_set_name(toplevel, window.Title().c_str());
    gtk_window_set_title(GTK_WINDOW(toplevel), MakeValidUtf8(window.Title()).c_str());
    gtk_window_set_type_hint(GTK_WINDOW(toplevel), GDK_WINDOW_TYPE_HINT_DIALOG);
    if (parent) {
        gtk_window_set_transient_for(GTK_WINDOW(toplevel), parent);
        gtk_window_set_modal(GTK_WINDOW(toplevel), TRUE);
        gtk_window_set_destroy_with_parent(GTK_WINDOW(toplevel), TRUE);
        gtk_window_set_position(GTK_WINDOW(toplevel), GTK_WIN_POS_CENTER_ON_PARENT);
    } else {
        gtk_window_set_position(GTK_WINDOW(toplevel), GTK_WIN_POS_CENTER);
    }
    if (window.Level() >= kFloatingWindowLevel)
        gtk_window_set_keep_above(GTK_WINDOW(toplevel), TRUE);
    Connect(s, toplevel, "delete-event", G_CALLBACK(OnDelete), Bind(s, nullptr));
    // After the window's own key handling: a widget that uses Escape itself (an open list) keeps it.
    Connect(s, toplevel, "key-press-event", G_CALLBACK(OnKeyPress), Bind(s, nullptr), true);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
    gtk_container_set_border_width(GTK_CONTAINER(box), kBorder);
    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    gtk_box_set_spacing(GTK_BOX(buttons), 8);
    gtk_widget_set_margin_top(buttons, 6);
    bool resizable = false;
    GtkWidget* defaultButton = nullptr;
    GtkWidget* focus = nullptr;
    TextField* text = nullptr;  // a block of text the window is built around
    for (const auto& v : window.Views()) {
        GtkWidget* packed = BuildView(s, v.get());
        if (!packed)
            continue;
        GtkWidget* widget = s->widgets[v.get()];
        switch (v->GetKind()) {
        case View::Kind::Button:
            gtk_container_add(GTK_CONTAINER(buttons), packed);
            if (static_cast<Button*>(v.get())->IsDefault())
                defaultButton = widget;
            break;
        case View::Kind::TableView:
            resizable = true;
            focus = focus ? focus : widget;
            gtk_box_pack_start(GTK_BOX(box), packed, TRUE, TRUE, 0);
            break;
        case View::Kind::TextField:
            if (static_cast<TextField*>(v.get())->IsMultiline()) {
                resizable = true;
                text = text ? text : static_cast<TextField*>(v.get());
            }
            gtk_box_pack_start(GTK_BOX(box), packed, static_cast<TextField*>(v.get())->IsMultiline(), TRUE, 0);
            break;
        default:
            focus = focus ? focus : widget;
            gtk_box_pack_start(GTK_BOX(box), packed, FALSE, TRUE, 0);
            break;
        }
    }
    gtk_box_pack_end(GTK_BOX(box), buttons, FALSE, TRUE, 0);
    // A window around a block of text opens at its layout's width but may be made narrower.
    if (window.ContentWidth() > 0 && !text)
        gtk_widget_set_size_request(box, window.ContentWidth(), -1);
    gtk_container_add(GTK_CONTAINER(toplevel), box);
    if (text) {
        // Measured with the views shown: hidden ones take no room.
        gtk_widget_show_all(box);
        SetOpeningSizeForText(GTK_WINDOW(toplevel), parent, box, GTK_TEXT_VIEW(s->widgets[text]), *text,
                              window.ContentWidth());
    }
    gtk_window_set_resizable(GTK_WINDOW(toplevel), resizable);
    if (defaultButton)
        gtk_window_set_default(GTK_WINDOW(toplevel), defaultButton);

    windows[&window] = std::move(shown);
    order.push_back(&window);

    building = true;
    gtk_widget_show_all(toplevel);
    gtk_window_present(GTK_WINDOW(toplevel));
    if (focus) {
        gtk_widget_grab_focus(focus);
        // A tree view selects its first row when it takes the focus; the user has chosen nothing yet.
        if (GTK_IS_TREE_VIEW(focus)) {
            for (const auto& entry : s->widgets) {
                if (entry.second == focus)
                    SelectRow(GTK_TREE_VIEW(focus),
                              static_cast<TableView*>(entry.first)->Content()
                                  ? static_cast<TableView*>(entry.first)->Content()->SelectionIndex()
                                  : -1);
            }
        }
    } else if (defaultButton) {
        gtk_widget_grab_focus(defaultButton);
    }
    building = false;
    return toplevel;
}

void GtkDialogBackend::Impl::Sync(Shown* shown, View* view)
{
    auto it = shown->widgets.find(view);
    if (it == shown->widgets.end())
        return;
    GtkWidget* widget = it->second;
    Mirroring scope(this, view);
    switch (view->GetKind()) {
    case View::Kind::TextField: {
        auto* field = static_cast<TextField*>(view);
        const std::string text = MakeValidUtf8(field->StringValue());
        if (GTK_IS_LABEL(widget)) {
            gtk_label_set_text(GTK_LABEL(widget), text.c_str());
            ApplyLabelStyle(widget, *field);
        } else if (GTK_IS_ENTRY(widget)) {
            if (text != gtk_entry_get_text(GTK_ENTRY(widget)))
                gtk_entry_set_text(GTK_ENTRY(widget), text.c_str());
        } else if (GTK_IS_TEXT_VIEW(widget)) {
            SetWrappedText(GTK_TEXT_VIEW(widget), text);
        }
        break;
    }
    case View::Kind::SecureTextField: {
        const std::string& text = static_cast<SecureTextField*>(view)->StringValue();
        if (text != gtk_entry_get_text(GTK_ENTRY(widget)))
            SetSecretEntryText(widget, text);
        break;
    }
    case View::Kind::ComboBox: {
        auto* combo = static_cast<ComboBox*>(view);
        GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(widget));
        if (gtk_tree_model_iter_n_children(model, nullptr) != combo->NumberOfItems()) {
            gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(widget));
            for (const auto& item : combo->Items())
                gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(widget), MakeValidUtf8(item).c_str());
        }
        gtk_combo_box_set_active(GTK_COMBO_BOX(widget), combo->IndexOfSelectedItem());
        break;
    }
    case View::Kind::TableView: {
        auto* table = static_cast<TableView*>(view);
        const size_t rows = table->Content() ? table->Content()->ArrangedObjects().size() : 0;
        if (rows != shown->tableRows) {
            FillStore(GTK_LIST_STORE(gtk_tree_view_get_model(GTK_TREE_VIEW(widget))), *table);
            shown->tableRows = rows;
        }
        SelectRow(GTK_TREE_VIEW(widget), table->Content() ? table->Content()->SelectionIndex() : -1);
        break;
    }
    default:
        break;
    }
}

void GtkDialogBackend::Impl::Destroy(Window& window)
{
    auto it = windows.find(&window);
    if (it == windows.end())
        return;
    std::unique_ptr<Shown> shown = std::move(it->second);
    windows.erase(it);
    order.erase(std::remove(order.begin(), order.end(), &window), order.end());
    for (const auto& h : shown->handlers)
        g_signal_handler_disconnect(h.first, h.second);
    if (shown->shareSource)
        g_source_remove(shown->shareSource);
    GdkDisplay* display = gtk_widget_get_display(shown->toplevel);
    gtk_widget_destroy(shown->toplevel);
    // The destroy request waits in the display connection's buffer until the toolkit next reads
    // events; a caller that returns to a loop of its own (or to none) would leave the window on
    // screen, dead, until then.
    gdk_display_flush(display);
}

gboolean GtkDialogBackend::Impl::OnKeyPress(GtkWidget* /*widget*/, GdkEventKey* event, gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    if (GDK_KEY_Escape != event->keyval || 0 != (event->state & gtk_accelerator_get_default_mod_mask()))
        return FALSE;
    // Escape means the window's Cancel button, as in any modal window; the model may close the
    // window (and so destroy it) here.
    binding->shown->model->PerformCancel();
    return TRUE;
}

gboolean GtkDialogBackend::Impl::OnDelete(GtkWidget* /*widget*/, GdkEvent* /*event*/, gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    // The model decides; it closes the window (and so destroys it) when it agrees.
    binding->shown->model->PerformClose();
    return TRUE;
}

void GtkDialogBackend::Impl::OnClicked(GtkButton* /*button*/, gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    static_cast<Button*>(binding->view)->PerformClick();
}

void GtkDialogBackend::Impl::OnEntryChanged(GtkEditable* editable, gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    if (binding->impl->Ignore(binding))
        return;
    Mirroring scope(binding->impl, binding->view);
    const gchar* text = gtk_entry_get_text(GTK_ENTRY(editable));
    // Every keystroke in a PIN field goes straight into the field's wiped buffer.
    if (View::Kind::SecureTextField == binding->view->GetKind())
        static_cast<SecureTextField*>(binding->view)->SetStringValue(text, strlen(text));
    else
        static_cast<TextField*>(binding->view)->SetStringValue(text);
}

void GtkDialogBackend::Impl::OnComboChanged(GtkComboBox* combo, gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    if (binding->impl->Ignore(binding))
        return;
    Mirroring scope(binding->impl, binding->view);
    static_cast<ComboBox*>(binding->view)->SelectItemAtIndex(gtk_combo_box_get_active(combo));
}

namespace {

int SelectedRow(GtkTreeSelection* selection)
{
    GtkTreeModel* model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(selection, &model, &iter))
        return -1;
    GtkTreePath* path = gtk_tree_model_get_path(model, &iter);
    const int row = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    return row;
}

}  // namespace

void GtkDialogBackend::Impl::OnSelectionChanged(GtkTreeSelection* selection, gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    if (binding->impl->Ignore(binding))
        return;
    auto* table = static_cast<TableView*>(binding->view);
    if (!table->Content())
        return;
    Mirroring scope(binding->impl, binding->view);
    table->Content()->SetSelectionIndex(SelectedRow(selection));
}

void GtkDialogBackend::Impl::OnRowActivated(GtkTreeView* tree, GtkTreePath* path, GtkTreeViewColumn* /*column*/,
                                            gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    auto* table = static_cast<TableView*>(binding->view);
    if (table->Content() && path && gtk_tree_path_get_depth(path) > 0) {
        // The activated row is the chosen one, on screen and in the model.
        const int row = gtk_tree_path_get_indices(path)[0];
        Mirroring scope(binding->impl, binding->view);
        SelectRow(tree, row);
        table->Content()->SetSelectionIndex(row);
    }
    // A key that reaches here means OK (OnTableKeyPress takes Return and Space first); a
    // double-click (reported as a single button press) opens the certificate.
    GdkEvent* event = gtk_get_current_event();
    const bool fromKey = event && (event->type == GDK_KEY_PRESS || event->type == GDK_KEY_RELEASE);
    if (event)
        gdk_event_free(event);
    if (fromKey) {
        if (Button* ok = binding->shown->model->DefaultButton())
            ok->PerformClick();
    } else {
        table->PerformDoubleClick();
    }
}

// Return (and Space) on the table mean the window's OK for what the table shows chosen: with a
// highlighted row that row, with none what OK does then. The tree itself would first choose its
// cursor row, which a window that just opened shows nowhere (it sits on the first row).
gboolean GtkDialogBackend::Impl::OnTableKeyPress(GtkWidget* /*widget*/, GdkEventKey* event, gpointer data)
{
    switch (event->keyval) {
    case GDK_KEY_Return:
    case GDK_KEY_ISO_Enter:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_space:
    case GDK_KEY_KP_Space:
        break;
    default:
        return FALSE;
    }
    if (0 != (event->state & gtk_accelerator_get_default_mod_mask()))
        return FALSE;
    auto* binding = static_cast<Binding*>(data);
    Button* ok = binding->shown->model->DefaultButton();
    if (!ok)
        return FALSE;
    ok->PerformClick();
    return TRUE;
}

// The columns share the table's visible width in proportion to their layout widths, so that the
// last one never runs past the visible edge: a cell too narrow for its text ends in an ellipsis.
// Shared again only when the visible width changes, so a column the user resized keeps its width
// until then. The widths are set from a source of their own, before the next drawing: a resize
// asked for while GTK allocates sizes may be dropped.
void GtkDialogBackend::Impl::OnTableWidthChanged(GtkAdjustment* adjustment, gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    const int visible = static_cast<int>(gtk_adjustment_get_page_size(adjustment));
    if (visible <= 0 || visible == binding->shown->tableWidth || binding->shown->shareSource)
        return;
    binding->shown->shareSource = g_idle_add_full(G_PRIORITY_HIGH_IDLE, ShareTableWidth, binding, nullptr);
}

gboolean GtkDialogBackend::Impl::ShareTableWidth(gpointer data)
{
    auto* binding = static_cast<Binding*>(data);
    binding->shown->shareSource = 0;
    auto it = binding->shown->widgets.find(binding->view);
    if (it == binding->shown->widgets.end())
        return G_SOURCE_REMOVE;
    GtkTreeView* tree = GTK_TREE_VIEW(it->second);
    const int visible =
        static_cast<int>(gtk_adjustment_get_page_size(gtk_scrollable_get_hadjustment(GTK_SCROLLABLE(tree))));
    if (visible <= 0)
        return G_SOURCE_REMOVE;
    binding->shown->tableWidth = visible;
    const auto& columns = static_cast<TableView*>(binding->view)->Columns();
    long long total = 0;
    for (const auto& column : columns)
        total += std::max(column.width, 1);
    int left = visible;
    for (size_t c = 0; c < columns.size(); ++c) {
        GtkTreeViewColumn* column = gtk_tree_view_get_column(tree, static_cast<gint>(c));
        if (!column)
            break;
        const int width = c + 1 == columns.size()
                              ? left
                              : static_cast<int>(visible * static_cast<long long>(std::max(columns[c].width, 1)) / total);
        left -= width;
        gtk_tree_view_column_set_fixed_width(column, std::max(width, 1));
    }
    return G_SOURCE_REMOVE;
}

// ---- The backend ------------------------------------------------------------------------------------

GtkDialogBackend::GtkDialogBackend() : m_impl(std::make_unique<Impl>()) {}

GtkDialogBackend::~GtkDialogBackend()
{
    if (!GtkStarted())
        return;
    while (!m_impl->order.empty())
        m_impl->Destroy(*m_impl->order.back());
}

bool GtkDialogBackend::Available(std::string* reason)
{
    return StartGtk(reason);
}

void GtkDialogBackend::WindowWillShow(Window& window)
{
    if (!GtkStarted() || m_impl->Find(&window))
        return;
    m_impl->Build(window, nullptr);
}

void GtkDialogBackend::WindowDidClose(Window& window)
{
    if (GtkStarted())
        m_impl->Destroy(window);
}

void GtkDialogBackend::WindowDidChange(Window& window)
{
    Impl::Shown* shown = m_impl->Find(&window);
    if (!shown)
        return;
    gtk_window_set_title(GTK_WINDOW(shown->toplevel), MakeValidUtf8(window.Title()).c_str());
    gtk_window_set_keep_above(GTK_WINDOW(shown->toplevel), window.Level() >= kFloatingWindowLevel);
}

void GtkDialogBackend::ViewDidChange(View& view)
{
    if (&view == m_impl->mirroring || nullptr == view.GetWindow())
        return;
    if (Impl::Shown* shown = m_impl->Find(view.GetWindow()))
        m_impl->Sync(shown, &view);
}

void GtkDialogBackend::ProcessEvents(bool wait)
{
    if (!GtkStarted()) {
        DialogApp().AbortModal();
        return;
    }
    gtk_main_iteration_do(wait ? TRUE : FALSE);
}

int GtkDialogBackend::RunAlert(const std::string& title, const std::string& message, const std::string& button)
{
    if (!GtkStarted())
        return -1;
    GtkWindow* parent = nullptr;
    if (Window* front = m_impl->FrontWindow()) {
        if (Impl::Shown* shown = m_impl->Find(front))
            parent = GTK_WINDOW(shown->toplevel);
    }
    const std::string safeTitle = MakeValidUtf8(title);
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s",
                                               safeTitle.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", MakeValidUtf8(message).c_str());
    GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), MakeValidUtf8(button).c_str(), GTK_RESPONSE_OK);
    gtk_widget_set_name(ok, "AlertOK");
    gtk_widget_set_name(dialog, "Alert");
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    gtk_window_set_title(GTK_WINDOW(dialog), safeTitle.c_str());
    // Without a window manager a window sits at 0,0 unless placed.
    gtk_window_set_position(GTK_WINDOW(dialog), parent ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    // gtk_dialog_run's loop, which also ends when the application cancels its dialogs. Held
    // until here: a close request destroys the dialog while it runs.
    g_object_ref(dialog);
    AlertRun run;
    const gulong handlers[] = {g_signal_connect(dialog, "response", G_CALLBACK(AlertRun::OnResponse), &run),
                               g_signal_connect(dialog, "unmap", G_CALLBACK(AlertRun::OnUnmap), &run),
                               g_signal_connect(dialog, "destroy", G_CALLBACK(AlertRun::OnDestroy), &run)};
    gtk_widget_show(dialog);
    while (!run.ended && !DialogApp().ModalSessionsCancelled())
        gtk_main_iteration_do(TRUE);
    GdkDisplay* display = gtk_widget_get_display(dialog);
    if (!run.destroyed) {
        for (const gulong id : handlers)
            g_signal_handler_disconnect(dialog, id);
        gtk_widget_destroy(dialog);
    }
    g_object_unref(dialog);
    // As for a window: the alert leaves the screen now, not at the toolkit's next turn.
    gdk_display_flush(display);
    return run.ended ? kAlertDefaultReturn : -1;
}

bool GtkDialogBackend::BeginSheet(Window& parent, Window& sheet)
{
    Impl::Shown* shown = m_impl->Find(&parent);
    if (!GtkStarted() || !shown)
        return false;
    m_impl->Build(sheet, GTK_WINDOW(shown->toplevel));
    return true;
}

}  // namespace platform
