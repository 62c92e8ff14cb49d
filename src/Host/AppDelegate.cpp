#include "AppDelegate.h"

#include "CryptoBridge.h"
#include "QovaTrace.h"
#include "Tamsel64.h"
#include "VarnellObj.h"

#include <pthread.h>

#include <cstdlib>
#include <new>

int g_argc = 0;
char* g_argv[2] = {nullptr, nullptr};
int g_rfd = 0;
int g_wfd = 1;

namespace {

const char kLogConfigPath[] = "/tmp/VarnellHost.ZEPH.conf";
// The headline of the start-up failure alert: where the user finds the publisher.
const char kPublisherAddress[] = "https://www.varnell.example/";

// Prepares a detached thread and starts the worker on it; steps traced in the delegate's name.
unsigned int StartWorker(const char* func)
{
    pthread_attr_t attr;
    int nResult = pthread_attr_init(&attr);
    if (0 == nResult) {
        nResult = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (0 != nResult)
            pthread_attr_destroy(&attr);
    }
    QOVA_FAIL_IF_IN(func, 0 != nResult, static_cast<unsigned int>(nResult), "pthread_attr_setdetachstate");

    pthread_t thread;
    nResult = pthread_create(&thread, &attr, workThread, nullptr);
    pthread_attr_destroy(&attr);
    QOVA_FAIL_IF_IN(func, 0 != nResult, static_cast<unsigned int>(nResult), "pthread_create");
    return QOVA_OK;
}

}  // namespace

unsigned int InitNativeMsgContext()
{
    // Without a usable configuration the host runs untraced.
    qova_log_init_ex(kLogConfigPath);
    TraceHelper trace("InitNativeMsgContext");

    const unsigned int nResult = InitVOSKContext();
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "InitVOSKContext");

    g_pobjCryptoAgent = new (std::nothrow) _VarnellObj[1]();
    QOVA_FAIL_IF(nullptr == g_pobjCryptoAgent, QOVA_E_FAIL, "New memory");
    return QOVA_OK;
}

void UnInitNativeMsgContext()
{
    {
        TraceHelper trace("UnInitNativeMsgContext");
        // A record holds its token session and the session its module: records go before the
        // token services release the module list.
        if (g_pobjCryptoAgent) {
            DeleteCertInfo(g_pobjCryptoAgent->m_pSignCertCtx);
            DeleteCertInfo(g_pobjCryptoAgent->m_pEncryptCertCtx);
            delete[] g_pobjCryptoAgent;
            g_pobjCryptoAgent = nullptr;
        }
        UninitVOSKContext();
    }
    qova_log_fini();
}

void AppDelegate::ApplicationDidFinishLaunching()
{
    platform::Application::Shared().Hide();
    g_rfd = 2 == g_argc ? atoi(g_argv[0]) : 0;
    g_wfd = 2 == g_argc ? atoi(g_argv[1]) : 1;

    unsigned int nResult = InitNativeMsgContext();
    if (!QOVA_STEP_FAILED(QOVA_OK != nResult, nResult, "InitWorkThread") && QOVA_OK == StartWorker(__func__))
        return;

    PlatformRunAlertPanel(kPublisherAddress, "Please reload website.", "OK");
    platform::Application::Shared().Terminate();
}

void AppDelegate::ApplicationWillTerminate()
{
    UnInitNativeMsgContext();
}
