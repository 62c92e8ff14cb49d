// The application object: launch, serve the main queue, terminate.
#ifndef PLATFORM_APPLICATION_H
#define PLATFORM_APPLICATION_H

#include <atomic>

namespace platform {

class ApplicationDelegate
{
public:
    virtual ~ApplicationDelegate() = default;
    virtual void ApplicationDidFinishLaunching() {}
    virtual void ApplicationWillTerminate() {}
};

class Application
{
public:
    static Application& Shared();

    void SetDelegate(ApplicationDelegate* delegate) { m_delegate = delegate; }
    ApplicationDelegate* Delegate() const { return m_delegate; }

    // Binds the main thread, tells the delegate that launching finished, serves the main queue
    // until Terminate(), tells the delegate the application will terminate, then exits with 0
    // (which flushes stdio).
    [[noreturn]] void Run();
    // Run() without the exit: returns after ApplicationWillTerminate.
    void RunUntilTerminated();
    // Ends the loop after the work already queued; callable from any thread.
    void Terminate();

    // Nothing is ever shown; the request is only recorded.
    void Hide() { m_hidden = true; }
    bool IsHidden() const { return m_hidden; }

private:
    Application() = default;

    ApplicationDelegate* m_delegate = nullptr;
    std::atomic<bool> m_hidden{false};
};

// Sets the delegate and runs the application; does not return.
[[noreturn]] int ApplicationMain(int argc, char** argv, ApplicationDelegate* delegate);

}  // namespace platform

#endif
