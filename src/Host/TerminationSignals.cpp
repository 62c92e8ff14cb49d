#include "TerminationSignals.h"

#include "Tamsel64.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace host {

namespace {

constexpr size_t kStackSize = 256 * 1024;

std::atomic<int> g_signal{0};
// Written before the thread that takes the signals starts, read-only afterwards.
int g_endingFds[2] = {-1, -1};

sigset_t TerminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// A program this process starts must not inherit the blocked signals, or it could not be ended
// with them. posix_spawn-based starts reset the mask themselves; this covers those that fork.
void UnblockInChild()
{
    const sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Nothing here traces: logging may still be starting on the main thread.
void* TakeSignals(void* /*pArg*/)
{
    const sigset_t set = TerminationSignals();
    for (;;) {
        int nSignal = 0;
        if (0 != sigwait(&set, &nSignal))
            continue;
        int nNone = 0;
        // Once the conversation is ending, a further signal changes nothing.
        if (!g_signal.compare_exchange_strong(nNone, nSignal))
            continue;
        // The byte stays in the pipe: every later wait of the worker sees it too.
        const char byEnding = 1;
        while (write(g_endingFds[1], &byEnding, 1) < 0 && EINTR == errno) {
        }
        PlatformCancelDialogs();
    }
    return nullptr;
}

void ClosePipe()
{
    close(g_endingFds[0]);
    close(g_endingFds[1]);
    g_endingFds[0] = g_endingFds[1] = -1;
}

}  // namespace

void TakeTerminationSignals()
{
    if (0 != pipe2(g_endingFds, O_CLOEXEC)) {
        g_endingFds[0] = g_endingFds[1] = -1;
        return;
    }
    const sigset_t set = TerminationSignals();
    sigset_t old;
    if (0 != pthread_sigmask(SIG_BLOCK, &set, &old)) {
        ClosePipe();
        return;
    }
    pthread_attr_t attr;
    pthread_t thread;
    bool bStarted = false;
    if (0 == pthread_attr_init(&attr)) {
        // A stack of its own size: the default follows RLIMIT_STACK, which may be huge.
        bStarted = 0 == pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) &&
                   0 == pthread_attr_setstacksize(&attr, kStackSize) &&
                   0 == pthread_create(&thread, &attr, TakeSignals, nullptr);
        pthread_attr_destroy(&attr);
    }
    if (!bStarted) {
        // Blocked and never taken, the signals could not end the host at all.
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        ClosePipe();
        return;
    }
    pthread_atfork(nullptr, nullptr, UnblockInChild);
}

int ConversationEndingFd()
{
    return g_endingFds[0];
}

int ConversationEndingSignal()
{
    return g_signal.load();
}

}  // namespace host
