#include "platform/WindowController.h"

#include "platform/Bundle.h"
#include "platform/DialogApp.h"

#include <mutex>

namespace platform {

namespace {

std::mutex g_layoutMutex;

std::map<std::string, LayoutBuilder>& Layouts()
{
    static auto* layouts = new std::map<std::string, LayoutBuilder>;
    return *layouts;
}

LayoutBuilder FindLayout(const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_layoutMutex);
    auto it = Layouts().find(name);
    return it == Layouts().end() ? LayoutBuilder() : it->second;
}

}  // namespace

LayoutTexts::LayoutTexts(std::shared_ptr<Bundle> bundle, std::string table)
    : m_bundle(std::move(bundle)), m_table(std::move(table))
{
}

std::string LayoutTexts::Text(const std::string& key, const std::string& fallback) const
{
    if (!m_bundle)
        return fallback;
    return m_bundle->LocalizedStringForKey(key, fallback, m_table);
}

void RegisterLayout(const std::string& name, LayoutBuilder builder)
{
    std::lock_guard<std::mutex> lock(g_layoutMutex);
    Layouts()[name] = std::move(builder);
}

bool HasLayout(const std::string& name)
{
    return static_cast<bool>(FindLayout(name));
}

WindowController::~WindowController()
{
    if (m_window) {
        m_window->SetDelegate(nullptr);
        m_window->Close();
    }
}

bool WindowController::InitWithWindowNibName(const std::string& name, std::shared_ptr<Bundle> bundle)
{
    if (!HasLayout(name))
        return false;
    m_layoutName = name;
    m_bundle = std::move(bundle);
    return true;
}

Window* WindowController::GetWindow()
{
    if (m_window || m_loading)
        return m_window.get();
    LayoutBuilder builder = FindLayout(m_layoutName);
    if (!builder)
        return nullptr;
    m_loading = true;
    std::unique_ptr<Window> window = builder(LayoutTexts(m_bundle, m_layoutName));
    if (window) {
        window->SetBundle(m_bundle);
        window->SetDelegate(this);
        for (const auto& v : window->Views()) {
            if (v->GetKind() != View::Kind::Button)
                continue;
            Button* button = static_cast<Button*>(v.get());
            const std::string action = button->ActionName();
            if (!action.empty())
                button->SetAction([this, action] { PerformAction(action); });
        }
        m_window = std::move(window);
        AwakeFromNib();
        WindowDidLoad();
    }
    m_loading = false;
    return m_window.get();
}

void WindowController::ShowWindow()
{
    if (Window* window = GetWindow())
        window->OrderFront();
}

void WindowController::Close()
{
    if (m_window)
        m_window->Close();
}

bool WindowController::WindowShouldClose(Window& /*window*/)
{
    DialogApp().AbortModal();
    Close();
    return false;
}

void WindowController::SetActionHandler(const std::string& name, std::function<void()> handler)
{
    m_actions[name] = std::move(handler);
}

void WindowController::PerformAction(const std::string& name)
{
    auto it = m_actions.find(name);
    if (it != m_actions.end() && it->second) {
        auto handler = it->second;
        handler();
    }
}

}  // namespace platform
