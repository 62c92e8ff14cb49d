#include "AppDelegate.h"

#include "IOStream.h"
#include "IOStreamDetail.h"
#include "QovaTrace.h"
#include "TerminationSignals.h"
#include "nmMessageSigning.h"
#include "platform/MainQueue.h"

#include <unistd.h>

char* g_pszRequest = nullptr;
int g_nRequestSize = 0;
char* g_pszResponse = nullptr;

namespace {

void ReleaseRequestAndResponse()
{
    delete[] g_pszRequest;
    g_pszRequest = nullptr;
    delete[] g_pszResponse;
    g_pszResponse = nullptr;
    g_nRequestSize = 0;
}

// Runs on the main thread, where all state of the token services, the agent record and the
// dialogs lives; the worker waits meanwhile, so the buffers need no lock.
void ProcessRequestOnMainThread()
{
    if (QovaLogEnabled())
        TRACE(3, "g_pszRequest: %s", QovaTraceText(g_pszRequest).c_str());
    ProcessRequest(g_pszRequest, &g_pszResponse);
    if (QovaLogEnabled())
        TRACE(3, "g_pszResponse: %s", QovaTraceText(g_pszResponse).c_str());
}

// Writes the answer to the chosen descriptor, else once more to descriptor 1. When descriptor 1
// was the chosen one and already took part of the frame, a second whole frame would follow that
// part in the same stream and corrupt it: then the conversation ends instead.
unsigned int WriteResponse()
{
    size_t nWritten = 0;
    unsigned int nResult = WriteToNativeMessagingCounted(g_wfd, g_pszResponse, &nWritten);
    TRACE(3, "WriteToNativeMessaging(g_wfd): 0x%0x8", nResult);
    if (QOVA_OK != nResult && (1 != g_wfd || 0 == nWritten))
        nResult = WriteToNativeMessaging(1, g_pszResponse);
    return nResult;
}

}  // namespace

void* workThread(void* /*pArg*/)
{
    {
        TraceHelper trace("workThread");
        for (;;) {
            ReleaseRequestAndResponse();
            // A termination signal ends the wait for the next request as a disconnect would.
            unsigned int nResult = ReadFromNativeMessagingUntilWoken(g_rfd, host::ConversationEndingFd(),
                                                                     &g_pszRequest, &g_nRequestSize);
            if (QOVA_STEP_FAILED(QOVA_OK != nResult, nResult, "ReadFromeNativeMessaging"))
                break;
            if (0 == g_nRequestSize) {
                if (const int nSignal = host::ConversationEndingSignal())
                    TRACE(3, "Termination signal %d: the conversation ends.", nSignal);
                else
                    TRACE(3, "Extension has broken the connection.");
                break;
            }
            platform::MainQueue::Get().DispatchSync(ProcessRequestOnMainThread);
            nResult = WriteResponse();
            if (QOVA_STEP_FAILED(QOVA_OK != nResult, nResult, "WriteToNativeMessaging"))
                break;
        }
        ReleaseRequestAndResponse();
        if (0 != g_rfd)
            close(g_rfd);
        // One descriptor given for both directions is closed once.
        if (1 != g_wfd && g_wfd != g_rfd)
            close(g_wfd);
        TRACE(3, "terminate app");
    }
    // The application object belongs to the main thread: the request to end goes through its
    // queue, behind any work already there.
    platform::MainQueue::Get().DispatchAsync([] { platform::Application::Shared().Terminate(); });
    return nullptr;
}
