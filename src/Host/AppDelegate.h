// The host program's frame: start-up, the worker thread that carries the conversation with the
// browser, and the orderly shutdown. The main thread runs the application loop and every request;
// the worker only reads frames, hands each request over and writes the answers.
#ifndef VARNELL_HOST_APP_DELEGATE_H
#define VARNELL_HOST_APP_DELEGATE_H

#include "platform/Application.h"

// Copies (malloc) of the first two program arguments, kept by main when there are at least two;
// g_argc is then 2, else 0. Written before the application loop starts.
extern int g_argc;
extern char* g_argv[2];
// The descriptors the conversation reads requests from and writes answers to, chosen at launch.
extern int g_rfd;
extern int g_wfd;
// The request being processed (new[]), its length (0 ends the conversation), and its answer
// (new[]). The worker owns them; the main thread uses them only inside the dispatched request.
extern char* g_pszRequest;
extern int g_nRequestSize;
extern char* g_pszResponse;

// The application's delegate. At launch it chooses the descriptors, starts logging and the token
// services, makes the agent record and starts the worker; when that fails it shows the alert and
// terminates. At termination it releases the selected certificates, the agent record, the token
// services and logging, in that order.
class AppDelegate : public platform::ApplicationDelegate
{
public:
    void ApplicationDidFinishLaunching() override;
    void ApplicationWillTerminate() override;
};

// Logging (from /tmp/VarnellHost.ZEPH.conf, used only when usable), the token services and the
// agent record. 0, or the token services' code (no agent record is made then).
unsigned int InitNativeMsgContext();
// Releases what InitNativeMsgContext made; safe after a partial start.
void UnInitNativeMsgContext();

// The worker's body: read a request, have the main thread process it, write the answer, until the
// browser disconnects, a read fails, an answer cannot be written or a termination signal ends the
// conversation (the request in flight is answered first). Then it closes the chosen
// descriptors (never 0 and 1) and asks the main thread, through the main queue, to terminate.
void* workThread(void* pArg);

#endif
