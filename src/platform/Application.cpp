#include "platform/Application.h"

#include "platform/MainQueue.h"

#include <cstdlib>

namespace platform {

Application& Application::Shared()
{
    static Application* application = new Application;
    return *application;
}

void Application::RunUntilTerminated()
{
    MainQueue& queue = MainQueue::Get();
    queue.BindMainThread();
    if (m_delegate)
        m_delegate->ApplicationDidFinishLaunching();
    queue.RunUntilStopped();
    if (m_delegate)
        m_delegate->ApplicationWillTerminate();
}

void Application::Run()
{
    RunUntilTerminated();
    exit(0);
}

void Application::Terminate()
{
    MainQueue::Get().Stop();
}

int ApplicationMain(int /*argc*/, char** /*argv*/, ApplicationDelegate* delegate)
{
    Application::Shared().SetDelegate(delegate);
    Application::Shared().Run();
}

}  // namespace platform
