// The main queue: work handed to the main thread, served in order by the application loop. The
// loop runs on GLib's default main context, so that whatever the toolkit leaves there between two
// pieces of work (a window's destroy request, its pending events) is served while the queue waits.
#ifndef PLATFORM_MAIN_QUEUE_H
#define PLATFORM_MAIN_QUEUE_H

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {

class MainQueue
{
public:
    // The one queue of the process; it lives until the process ends.
    static MainQueue& Get();

    // Runs fn on the main thread and returns when it has finished. Called on the main thread it
    // runs fn at once (waiting for itself would never end).
    void DispatchSync(std::function<void()> fn);
    // Queues fn for the main thread and returns at once.
    void DispatchAsync(std::function<void()> fn);

    // Makes the calling thread the main thread and serves the queue until a Stop() request is
    // reached; work queued before the request runs first. While no work is queued it serves the
    // default main context. Queued work is taken only here, never by a nested iteration of that
    // context (a modal session's), so a request never starts inside another one's dialog.
    void RunUntilStopped();
    // Queues the stop request; callable from any thread.
    void Stop();

    // True on the thread that serves the queue (before any served, the process's first thread).
    bool IsMainThread() const;
    void BindMainThread();

private:
    MainQueue() = default;

    struct Task
    {
        std::function<void()> fn;
        bool stop = false;
        std::shared_ptr<bool> done;  // set for synchronous work
    };

    void Push(Task task);

    bool TakeTask(Task* task);

    std::mutex m_mutex;
    std::condition_variable m_done;
    std::deque<Task> m_tasks;
    std::atomic<pid_t> m_mainThread{0};
};

}  // namespace platform

#endif
