#include "platform/MainQueue.h"

#include <glib.h>

#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

pid_t CurrentThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

}  // namespace

MainQueue& MainQueue::Get()
{
    // Never destroyed: a worker may still wait in DispatchSync while the process exits.
    static MainQueue* queue = new MainQueue;
    return *queue;
}

bool MainQueue::IsMainThread() const
{
    const pid_t bound = m_mainThread.load();
    return CurrentThreadId() == (bound != 0 ? bound : getpid());
}

void MainQueue::BindMainThread()
{
    m_mainThread.store(CurrentThreadId());
}

void MainQueue::Push(Task task)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    // A wake-up that arrives before the loop blocks makes its next iteration return at once, so
    // none is lost between the loop's look at the queue and its wait.
    g_main_context_wakeup(g_main_context_default());
}

bool MainQueue::TakeTask(Task* task)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_tasks.empty())
        return false;
    *task = std::move(m_tasks.front());
    m_tasks.pop_front();
    return true;
}

void MainQueue::DispatchSync(std::function<void()> fn)
{
    if (!fn)
        return;
    if (IsMainThread()) {
        fn();
        return;
    }
    auto done = std::make_shared<bool>(false);
    Task task;
    task.fn = std::move(fn);
    task.done = done;
    Push(std::move(task));
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [&] { return *done; });
}

void MainQueue::DispatchAsync(std::function<void()> fn)
{
    if (!fn)
        return;
    Task task;
    task.fn = std::move(fn);
    Push(std::move(task));
}

void MainQueue::Stop()
{
    Task task;
    task.stop = true;
    Push(std::move(task));
}

void MainQueue::RunUntilStopped()
{
    BindMainThread();
    GMainContext* context = g_main_context_default();
    for (;;) {
        Task task;
        if (!TakeTask(&task)) {
            g_main_context_iteration(context, TRUE);
            continue;
        }
        if (task.stop)
            return;
        task.fn();
        if (task.done) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                *task.done = true;
            }
            m_done.notify_all();
        }
    }
}

}  // namespace platform
