#include "platform/DialogApp.h"

#include "platform/AppKit.h"
#include "platform/DialogBackend.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace platform {

namespace {

// Set once, from any thread; never cleared: the application is ending.
std::atomic<bool> g_cancelled{false};

}  // namespace

struct ModalSession
{
    Window* window = nullptr;
    int response = 0;  // 0 while the session runs
};

DialogApplication& DialogApp()
{
    static auto* app = new DialogApplication;
    return *app;
}

bool DialogApplication::CanRunModal(std::string* reason)
{
    if (ModalSessionsCancelled()) {
        if (reason)
            *reason = "the application is ending";
        return false;
    }
    return CurrentDialogBackend()->Available(reason);
}

void DialogApplication::CancelAllModalSessions()
{
    g_cancelled.store(true);
    // A loop blocked for events returns; one about to block returns at once.
    g_main_context_wakeup(g_main_context_default());
}

bool DialogApplication::ModalSessionsCancelled() const
{
    return g_cancelled.load();
}

void DialogApplication::Cancel(ModalSession* session)
{
    Window* window = session->window;
    const bool wasVisible = window->IsVisible();
    // The sheet is modal for its window: the first press is the sheet's.
    for (int press = 0; press < 2 && 0 == session->response && window->IsVisible(); ++press)
        window->PerformCancel();
    DrainReleased();
    // No Cancel button took it, or the window was closed without ending the session and nothing
    // else will end it now.
    if (0 == session->response && (!wasVisible || window->IsVisible()))
        session->response = kModalResponseAbort;
}

ModalSession* DialogApplication::BeginModalSessionForWindow(Window* window)
{
    if (nullptr == window)
        return nullptr;
    auto* session = new ModalSession;
    session->window = window;
    m_sessions.push_back(session);
    window->OrderFront();
    return session;
}

int DialogApplication::RunModalSession(ModalSession* session)
{
    if (nullptr == session || std::find(m_sessions.begin(), m_sessions.end(), session) == m_sessions.end())
        return kModalResponseAbort;
    if (0 == session->response) {
        if (!ModalSessionsCancelled()) {
            CurrentDialogBackend()->ProcessEvents(true);
            DrainReleased();
        }
        if (ModalSessionsCancelled())
            Cancel(session);
    }
    const int response = session->response;
    if (0 == response)
        return kModalResponseContinue;
    session->response = 0;
    return response;
}

void DialogApplication::EndModalSession(ModalSession* session)
{
    auto it = std::find(m_sessions.begin(), m_sessions.end(), session);
    if (it == m_sessions.end())
        return;
    m_sessions.erase(it);
    delete session;
    DrainReleased();
}

void DialogApplication::StopModal()
{
    if (!m_sessions.empty() && 0 == m_sessions.back()->response)
        m_sessions.back()->response = kModalResponseStop;
}

void DialogApplication::AbortModal()
{
    if (!m_sessions.empty() && 0 == m_sessions.back()->response)
        m_sessions.back()->response = kModalResponseAbort;
}

void DialogApplication::ReleaseLater(std::unique_ptr<Window> window)
{
    if (window)
        m_released.push_back(std::move(window));
}

void DialogApplication::DrainReleased()
{
    while (!m_released.empty()) {
        std::vector<std::unique_ptr<Window>> released;
        released.swap(m_released);
    }
}

namespace {

std::string OneLine(const std::string& text)
{
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return line;
}

}  // namespace

int RunAlertPanel(const std::string& title, const std::string& message, const std::string& button)
{
    DialogBackend* backend = CurrentDialogBackend();
    std::string reason;
    if (!DialogApp().CanRunModal(&reason)) {
        fprintf(stderr, "%s: %s\n", OneLine(title).c_str(), OneLine(message).c_str());
        return -1;
    }
    return backend->RunAlert(title, message, button);
}

}  // namespace platform
