// The worker at the end of a conversation, in process: how its request to end reaches the
// application.
#include "AppDelegate.h"
#include "HostProcess.h"

#include "platform/Application.h"
#include "platform/MainQueue.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

namespace {

// The application object belongs to the main thread: the worker's request to end is work queued
// for it, which runs behind what was queued before, never a stop issued from the worker itself.
TEST(WorkThread, TheRequestToEndReachesTheApplicationOnlyAsWorkOnTheMainQueue)
{
    hostproc::Pipe in, out;
    ASSERT_TRUE(hostproc::WriteAll(in.WriteEnd(), std::string("\0\0\0\0", 4)));
    g_rfd = dup(in.ReadEnd());
    g_wfd = dup(out.WriteEnd());
    std::thread worker([] { workThread(nullptr); });
    worker.join();

    // Queued after the worker has ended: it still runs, because the end request only comes into
    // force when the main thread takes it from the queue.
    bool ranBeforeTheEnd = false;
    platform::MainQueue::Get().DispatchAsync([&] { ranBeforeTheEnd = true; });
    platform::Application::Shared().RunUntilTerminated();
    EXPECT_TRUE(ranBeforeTheEnd);
}

}  // namespace
