// The dialog model: windows and the widgets in them. Controllers read and change only these
// objects; the dialog backend mirrors them on screen and feeds the user's input back.
#ifndef PLATFORM_APPKIT_H
#define PLATFORM_APPKIT_H

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class Bundle;
class Window;

struct Color
{
    bool isDefault = true;
    unsigned char red = 0;
    unsigned char green = 0;
    unsigned char blue = 0;

    static Color Default() { return Color(); }
    static Color Red() { return Color{false, 0xCC, 0x00, 0x00}; }
    bool operator==(const Color& o) const
    {
        return isDefault == o.isDefault && (isDefault || (red == o.red && green == o.green && blue == o.blue));
    }
    bool operator!=(const Color& o) const { return !(*this == o); }
};

// Anything a layout holds and names by its outlet identifier.
class View
{
public:
    enum class Kind { TextField, SecureTextField, Button, ComboBox, ArrayController, TableView };

    explicit View(std::string outlet) : m_outlet(std::move(outlet)) {}
    virtual ~View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    virtual Kind GetKind() const = 0;
    const std::string& Outlet() const { return m_outlet; }
    Window* GetWindow() const { return m_window; }

protected:
    // Tells the backend that the model changed while the window is on screen.
    void NotifyChanged();

private:
    friend class Window;
    std::string m_outlet;
    Window* m_window = nullptr;
};

// A label, or an editable text field; with SetMultiline a scrolling block of text.
class TextField : public View
{
public:
    using View::View;
    Kind GetKind() const override { return Kind::TextField; }

    virtual void SetStringValue(const std::string& text);
    const std::string& StringValue() const { return m_text; }
    void SetTextColor(const Color& color);
    const Color& TextColor() const { return m_color; }
    void SetEditable(bool editable) { m_editable = editable; }
    bool IsEditable() const { return m_editable; }
    void SetMultiline(bool multiline) { m_multiline = multiline; }
    bool IsMultiline() const { return m_multiline; }
    // Secondary text: smaller, dimmed.
    void SetSmall(bool small) { m_small = small; }
    bool IsSmall() const { return m_small; }
    // A multiline text opens tall enough to show its first `length` bytes without scrolling, as
    // far as the screen allows (0: a default height).
    void SetInitiallyVisibleLength(size_t length) { m_initiallyVisible = length; }
    size_t InitiallyVisibleLength() const { return m_initiallyVisible; }

protected:
    std::string m_text;

private:
    Color m_color;
    bool m_editable = false;
    bool m_multiline = false;
    bool m_small = false;
    size_t m_initiallyVisible = 0;
};

// A text field whose contents are hidden on screen and wiped from memory when replaced.
class SecureTextField : public TextField
{
public:
    explicit SecureTextField(std::string outlet);
    ~SecureTextField() override;
    Kind GetKind() const override { return Kind::SecureTextField; }
    void SetStringValue(const std::string& text) override;
    // The same from a character buffer (an on-screen field's own text), copied straight into the
    // wiped buffer, so that no unwiped copy of the secret is made on the way.
    void SetStringValue(const char* text, size_t length);
    // Wipes the text and mirrors the empty field.
    void Clear() { SetStringValue(std::string()); }
};

class Button : public View
{
public:
    using View::View;
    Kind GetKind() const override { return Kind::Button; }

    void SetTitle(const std::string& title) { m_title = title; }
    const std::string& Title() const { return m_title; }
    // The selector name the layout connects the button to ("ClickOK").
    void SetActionName(const std::string& name) { m_actionName = name; }
    const std::string& ActionName() const { return m_actionName; }
    void SetAction(std::function<void()> action) { m_action = std::move(action); }
    // Return in the window presses the default button.
    void SetDefault(bool isDefault) { m_default = isDefault; }
    bool IsDefault() const { return m_default; }
    // Escape in the window presses the cancel button.
    void SetCancel(bool isCancel) { m_cancel = isCancel; }
    bool IsCancel() const { return m_cancel; }
    void PerformClick();

private:
    std::string m_title;
    std::string m_actionName;
    std::function<void()> m_action;
    bool m_default = false;
    bool m_cancel = false;
};

class ComboBox : public View
{
public:
    using View::View;
    Kind GetKind() const override { return Kind::ComboBox; }

    void AddItemsWithObjectValues(const std::vector<std::string>& items);
    const std::vector<std::string>& Items() const { return m_items; }
    int NumberOfItems() const { return static_cast<int>(m_items.size()); }
    // An index outside the list (-1 included) clears the selection.
    void SelectItemAtIndex(int index);
    int IndexOfSelectedItem() const { return m_selected; }

private:
    std::vector<std::string> m_items;
    int m_selected = -1;
};

// Rows of key/value objects with one selected row or none. Keeps the order objects were added in:
// nothing sorts or rearranges them, so a selection index always names the object added at it.
class ArrayController : public View
{
public:
    using Object = std::map<std::string, std::string>;
    using Observer = std::function<void()>;

    using View::View;
    Kind GetKind() const override { return Kind::ArrayController; }

    void AddObject(Object object);
    const std::vector<Object>& ArrangedObjects() const { return m_objects; }
    // -1 when nothing is selected.
    int SelectionIndex() const { return m_selection; }
    // An index outside the rows (-1 included) clears the selection.
    void SetSelectionIndex(int index);
    std::vector<Object> SelectedObjects() const;

    // keyPath "selectionIndexes" or "arrangedObjects".
    void AddObserver(const std::string& keyPath, Observer observer);

private:
    void Notify(const std::string& keyPath);

    std::vector<Object> m_objects;
    int m_selection = -1;
    std::vector<std::pair<std::string, Observer>> m_observers;
};

// A table showing the arranged objects of an array controller, one column per key. Columns cannot
// be sorted or moved.
class TableView : public View
{
public:
    struct Column
    {
        std::string key;    // e.g. "SubjectDN"
        std::string title;  // column header
        int width;          // preferred width in pixels; the columns share the table's visible
                            // width in proportion to these
    };

    using View::View;
    Kind GetKind() const override { return Kind::TableView; }

    void AddColumn(Column column) { m_columns.push_back(std::move(column)); }
    const std::vector<Column>& Columns() const { return m_columns; }
    void Bind(ArrayController* content);
    ArrayController* Content() const { return m_content; }
    void SetDoubleAction(std::function<void()> action) { m_doubleAction = std::move(action); }
    // A double-click on the selected row.
    void PerformDoubleClick();
    void SetMinimumHeight(int height) { m_minimumHeight = height; }
    int MinimumHeight() const { return m_minimumHeight; }

private:
    std::vector<Column> m_columns;
    ArrayController* m_content = nullptr;
    std::function<void()> m_doubleAction;
    int m_minimumHeight = 160;
};

class WindowDelegate
{
public:
    virtual ~WindowDelegate() = default;
    // The user asked to close the window from its frame; true lets it close.
    virtual bool WindowShouldClose(Window& window) = 0;
};

// Floating windows stay above ordinary ones.
constexpr int kNormalWindowLevel = 0;
constexpr int kFloatingWindowLevel = 3;

class Window
{
public:
    explicit Window(std::string title = std::string());
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    void SetTitle(const std::string& title) { m_title = title; }
    const std::string& Title() const { return m_title; }
    void SetLevel(int level);
    int Level() const { return m_level; }
    void SetContentWidth(int width) { m_contentWidth = width; }
    int ContentWidth() const { return m_contentWidth; }
    // Where the window's texts come from (its controller's bundle); may be null.
    void SetBundle(std::shared_ptr<Bundle> bundle) { m_bundle = std::move(bundle); }
    const std::shared_ptr<Bundle>& GetBundle() const { return m_bundle; }

    // Views in layout order; the window owns them.
    template <class T>
    T* AddView(std::unique_ptr<T> view)
    {
        T* raw = view.get();
        static_cast<View*>(raw)->m_window = this;
        m_views.push_back(std::move(view));
        return raw;
    }
    const std::vector<std::unique_ptr<View>>& Views() const { return m_views; }
    View* FindViewByOutlet(const std::string& outlet) const;
    template <class T>
    T* FindView(const std::string& outlet) const
    {
        return dynamic_cast<T*>(FindViewByOutlet(outlet));
    }
    Button* DefaultButton() const;
    Button* CancelButton() const;

    void SetDelegate(WindowDelegate* delegate) { m_delegate = delegate; }
    // Puts the window on screen (through the backend).
    void OrderFront();
    bool IsVisible() const { return m_visible; }
    // Takes the window (and a sheet on it) off screen; the object stays until its owner drops it.
    void Close();
    // A close request from the window frame: asks the delegate, closes when it agrees.
    void PerformClose();
    // Escape: presses the cancel button of the open sheet, else of this window (none: nothing).
    void PerformCancel();

    // A sheet: a modal child shown over this window until EndSheet.
    bool BeginSheet(std::unique_ptr<Window> sheet);
    // Takes the sheet off screen; it is released after the current event.
    void EndSheet();
    Window* AttachedSheet() const { return m_sheet.get(); }
    Window* SheetParent() const { return m_sheetParent; }

private:
    Button* FirstButton(bool (Button::*is)() const) const;

    std::string m_title;
    int m_level = kNormalWindowLevel;
    int m_contentWidth = 0;
    std::shared_ptr<Bundle> m_bundle;
    std::vector<std::unique_ptr<View>> m_views;
    WindowDelegate* m_delegate = nullptr;
    bool m_visible = false;
    std::unique_ptr<Window> m_sheet;
    Window* m_sheetParent = nullptr;
};

}  // namespace platform

#endif
