#include "platform/Application.h"
#include "platform/MainQueue.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::Application;
using platform::MainQueue;

pid_t ThreadId()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

TEST(MainQueue, WorkerSynchronousDispatchesRunOnTheMainThreadInOrder)
{
    MainQueue& queue = MainQueue::Get();
    const pid_t mainThread = ThreadId();
    std::vector<int> order;
    std::vector<pid_t> threads;
    std::atomic<bool> workerSawResults{true};

    std::thread worker([&] {
        EXPECT_FALSE(queue.IsMainThread());
        for (int i = 0; i < 50; ++i) {
            int produced = -1;
            queue.DispatchSync([&, i] {
                order.push_back(i);
                threads.push_back(ThreadId());
                produced = i * 2;
            });
            // The block has finished when DispatchSync returns: its result is there.
            if (produced != i * 2)
                workerSawResults = false;
        }
        queue.Stop();
    });
    queue.RunUntilStopped();
    worker.join();

    EXPECT_TRUE(workerSawResults);
    ASSERT_EQ(50u, order.size());
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(i, order[static_cast<size_t>(i)]);
        EXPECT_EQ(mainThread, threads[static_cast<size_t>(i)]);
    }
    EXPECT_TRUE(queue.IsMainThread());
}

TEST(MainQueue, SynchronousDispatchOnTheMainThreadRunsInline)
{
    MainQueue& queue = MainQueue::Get();
    queue.BindMainThread();
    bool ran = false;
    queue.DispatchSync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(MainQueue, AsynchronousWorkQueuedBeforeTheStopRunsFirst)
{
    MainQueue& queue = MainQueue::Get();
    std::vector<int> order;
    std::thread worker([&] {
        queue.DispatchAsync([&] { order.push_back(1); });
        queue.DispatchSync([&] { order.push_back(2); });
        queue.DispatchAsync([&] { order.push_back(3); });
        queue.Stop();
    });
    queue.RunUntilStopped();
    worker.join();
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
}

// Guards the loop serving the toolkit's main context while it waits for work: a window's destroy
// request left there would otherwise stay unsent and the window on screen until the next dialog.
TEST(MainQueue, ServesTheDefaultMainContextWhileWaitingForWork)
{
    MainQueue& queue = MainQueue::Get();
    std::atomic<bool> served{false};
    std::atomic<bool> stoppedByWatchdog{false};
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        [](gpointer data) -> gboolean {
            static_cast<std::atomic<bool>*>(data)->store(true);
            MainQueue::Get().Stop();
            return G_SOURCE_REMOVE;
        },
        &served, nullptr);
    std::thread watchdog([&] {
        for (int i = 0; i < 500 && !served; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!served) {
            stoppedByWatchdog = true;
            queue.Stop();
        }
    });
    queue.RunUntilStopped();
    watchdog.join();
    EXPECT_TRUE(served);
    EXPECT_FALSE(stoppedByWatchdog);
}

// Guards the rule that queued work is taken only by the queue's own loop: a modal session iterates
// the same context, and a request started inside it would run inside another request's dialog.
TEST(MainQueue, QueuedWorkNeverRunsInsideANestedIteration)
{
    MainQueue& queue = MainQueue::Get();
    std::vector<std::string> order;
    std::thread worker([&] {
        queue.DispatchSync([&] {
            order.push_back("outer begins");
            // Queued from another thread while the outer task runs, as a request would be.
            std::thread([&] { queue.DispatchAsync([&] { order.push_back("inner"); }); }).join();
            for (int i = 0; i < 20; ++i)
                g_main_context_iteration(nullptr, FALSE);
            order.push_back("outer ends");
        });
        queue.Stop();
    });
    queue.RunUntilStopped();
    worker.join();
    EXPECT_EQ((std::vector<std::string>{"outer begins", "outer ends", "inner"}), order);
}

// Records the application's life in order; its worker does what the host's does.
class RecordingDelegate : public platform::ApplicationDelegate
{
public:
    void ApplicationDidFinishLaunching() override
    {
        events.push_back("launched");
        Application::Shared().Hide();
        m_worker = std::thread([this] {
            for (int i = 0; i < 3; ++i)
                MainQueue::Get().DispatchSync([this, i] { events.push_back("request " + std::to_string(i)); });
            Application::Shared().Terminate();
        });
    }
    void ApplicationWillTerminate() override
    {
        events.push_back("terminating");
        onMainThread = MainQueue::Get().IsMainThread();
        m_worker.join();
    }

    std::vector<std::string> events;
    bool onMainThread = false;

private:
    std::thread m_worker;
};

TEST(Application, TerminateFromTheWorkerEndsTheLoopAfterWillTerminate)
{
    RecordingDelegate delegate;
    Application::Shared().SetDelegate(&delegate);
    Application::Shared().RunUntilTerminated();
    Application::Shared().SetDelegate(nullptr);
    EXPECT_EQ((std::vector<std::string>{"launched", "request 0", "request 1", "request 2", "terminating"}),
              delegate.events);
    EXPECT_TRUE(delegate.onMainThread);
    EXPECT_TRUE(Application::Shared().IsHidden());
}

struct ExitingDelegate : platform::ApplicationDelegate
{
    void ApplicationDidFinishLaunching() override
    {
        std::thread([] { Application::Shared().Terminate(); }).detach();
    }
    void ApplicationWillTerminate() override { fprintf(stderr, "will terminate\n"); }
};

void RunApplicationMain()
{
    ExitingDelegate delegate;
    char arg0[] = "host";
    char* argv[] = {arg0, nullptr};
    platform::ApplicationMain(1, argv, &delegate);
}

TEST(ApplicationDeathTest, RunExitsWithZeroAfterWillTerminate)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunApplicationMain(), ::testing::ExitedWithCode(0), "will terminate");
}

}  // namespace
