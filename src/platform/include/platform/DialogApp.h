// Modal sessions and alerts: the application side of the dialogs.
#ifndef PLATFORM_DIALOG_APP_H
#define PLATFORM_DIALOG_APP_H

#include <memory>
#include <string>
#include <vector>

namespace platform {

class Window;

constexpr int kModalResponseStop = -1000;
constexpr int kModalResponseAbort = -1001;
constexpr int kModalResponseContinue = -1002;

// Alert answer for its one button.
constexpr int kAlertDefaultReturn = 1;

struct ModalSession;

class DialogApplication
{
public:
    // False (with the reason) when no dialog can be shown: no display, wrong thread, turned off.
    bool CanRunModal(std::string* reason);

    // Shows the window and makes it the modal window.
    ModalSession* BeginModalSessionForWindow(Window* window);
    // One blocking round of event handling: kModalResponseStop or kModalResponseAbort when
    // StopModal or AbortModal ended the session, else kModalResponseContinue.
    int RunModalSession(ModalSession* session);
    void EndModalSession(ModalSession* session);
    // End the innermost session.
    void StopModal();
    void AbortModal();

    // Asks every modal session, open now or begun later, and every alert to end as cancelled: the
    // application is ending and nobody will answer its dialogs. Callable from any thread: it only
    // marks the request and wakes the main context; the main thread acts on it between two rounds
    // of events. A session then ends as Escape, pressed until its window goes, would end it: the
    // first press ends an open sheet, the next presses the window's Cancel button; a window
    // without one is aborted. An open alert ends (-1); CanRunModal answers false from then on, so
    // no later dialog or alert is shown.
    void CancelAllModalSessions();
    bool ModalSessionsCancelled() const;

    // Keeps a window alive until the current round of events has been handled (a button may
    // close the sheet it sits on).
    void ReleaseLater(std::unique_ptr<Window> window);

private:
    void DrainReleased();
    void Cancel(ModalSession* session);

    std::vector<ModalSession*> m_sessions;
    std::vector<std::unique_ptr<Window>> m_released;
};

DialogApplication& DialogApp();

// A modal alert without a parent window; returns kAlertDefaultReturn, or -1 when no dialog can
// be shown (then the texts go to stderr as one line) or the alert was ended by
// CancelAllModalSessions.
int RunAlertPanel(const std::string& title, const std::string& message, const std::string& button);

}  // namespace platform

#endif
