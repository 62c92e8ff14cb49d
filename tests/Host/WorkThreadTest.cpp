// The worker at the end of a conversation, in process: which descriptors it closes, and how its
// request to end reaches the application.
#include "AppDelegate.h"
#include "HostProcess.h"

#include "platform/Application.h"
#include "platform/MainQueue.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

bool IsOpen(int fd)
{
    return fcntl(fd, F_GETFD) >= 0 || EBADF != errno;
}

TEST(WorkThread, AtTheEndItClosesTheChosenDescriptorsButNeverZeroAndOne)
{
    struct Case
    {
        const char* name;
        bool standard;  // the conversation runs over 0 and 1
    };
    for (const Case c : {Case{"own descriptors", false}, Case{"0 and 1", true}}) {
        SCOPED_TRACE(c.name);
        hostproc::Pipe in, out;
        ASSERT_TRUE(hostproc::WriteAll(in.WriteEnd(), std::string("\0\0\0\0", 4)));
        // The test's own 0 and 1 are kept aside and put back afterwards.
        const int savedIn = dup(0), savedOut = dup(1);
        if (c.standard) {
            ASSERT_EQ(0, dup2(in.ReadEnd(), 0));
            ASSERT_EQ(1, dup2(out.WriteEnd(), 1));
            g_rfd = 0;
            g_wfd = 1;
        } else {
            g_rfd = dup(in.ReadEnd());
            g_wfd = dup(out.WriteEnd());
        }
        std::thread worker([] { workThread(nullptr); });
        worker.join();
        const bool readOpen = IsOpen(g_rfd), writeOpen = IsOpen(g_wfd);
        dup2(savedIn, 0);
        dup2(savedOut, 1);
        close(savedIn);
        close(savedOut);
        EXPECT_EQ(c.standard, readOpen);
        EXPECT_EQ(c.standard, writeOpen);
        platform::Application::Shared().RunUntilTerminated();  // takes the worker's request to end
    }
}

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
