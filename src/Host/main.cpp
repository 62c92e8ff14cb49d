// VarnellHost: the native-messaging host a browser extension starts. Usage, as the browser calls
// it: VarnellHost [ORIGIN]; with two arguments READ_FD WRITE_FD the conversation runs over those
// descriptors instead of standard input and output.
#include "AppDelegate.h"
#include "TerminationSignals.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kStdoutBufferSize = 64 * 1024;

// Standard output is the reply pipe: the argument lines must stay in stdio's buffer until the
// process exits, however large they are, so that no unframed byte reaches the browser while the
// conversation runs. The buffer is never released: stdio flushes it after every destructor ran.
void HoldStdoutUntilExit(int argc, char** argv)
{
    static char s_buffer[kStdoutBufferSize];
    size_t nNeeded = 1;
    for (int i = 0; i < argc; ++i)
        nNeeded += strlen(argv[i]) + 32;
    char* pBuffer = s_buffer;
    size_t nSize = sizeof(s_buffer);
    if (nNeeded > nSize) {
        static char* s_large = nullptr;
        s_large = static_cast<char*>(malloc(nNeeded));
        if (s_large) {
            pBuffer = s_large;
            nSize = nNeeded;
        }
    }
    setvbuf(stdout, pBuffer, _IOFBF, nSize);
}

}  // namespace

int main(int argc, char** argv)
{
    // Before any thread starts: they all inherit the blocked termination signals.
    host::TakeTerminationSignals();
    // A browser that has gone away must make the next write fail, not kill the host before its
    // orderly shutdown.
    signal(SIGPIPE, SIG_IGN);
    HoldStdoutUntilExit(argc, argv);

    for (int i = 0; i < argc; ++i)
        printf("argv[%d]:%s\n", i, argv[i]);

    if (argc > 2) {
        g_argv[0] = strdup(argv[1]);
        g_argv[1] = strdup(argv[2]);
        if (g_argv[0] && g_argv[1]) {
            g_argc = 2;
        } else {
            free(g_argv[0]);
            free(g_argv[1]);
            g_argv[0] = g_argv[1] = nullptr;
        }
    }

    static AppDelegate delegate;
    return platform::ApplicationMain(argc, argv, &delegate);
}
