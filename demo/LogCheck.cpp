// Initialises logging from a configuration made for the run, writes the trace lines of a few
// checked steps and a scope tracer, and prints the resulting log file.
#include "QovaTrace.h"
#include "qova_zlog.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

unsigned int CheckArgument(const char* pszText)
{
    TraceHelper trace("CheckArgument");
    QOVA_FAIL_IF(NULL == pszText, QOVA_E_INVALIDARG, "Check pszText");
    TRACE(3, "pszText: %s", pszText);
    return QOVA_OK;
}

}  // namespace

int main(int argc, char** argv)
{
    char dirTemplate[] = "/tmp/qova-logcheck-XXXXXX";
    const char* pszDir = argc > 1 ? argv[1] : mkdtemp(dirTemplate);
    if (!pszDir) {
        perror("mkdtemp");
        return 2;
    }
    const std::string dir = pszDir;
    const std::string conf = dir + "/qova.conf";
    const std::string log = dir + "/qova.log";
    {
        std::ofstream out(conf);
        out << "[global]\nrotate lock file = " << dir << "/zlog.lock\n"
            << "[rules]\nqova_category.DEBUG \"" << log << "\"\n";
    }

    const unsigned int nInit = qova_log_init_ex(conf.c_str());
    std::printf("qova_log_init_ex: 0x%08x\n", nInit);
    if (QOVA_OK != nInit)
        return 1;
    CheckArgument("hello");
    CheckArgument(nullptr);
    qova_log_fini();

    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    std::printf("---- %s\n%s", log.c_str(), text.str().c_str());
    const bool ok = text.str().find("--OK") != std::string::npos &&
                    text.str().find("--Failed:(0x80070057) [Reason:NULL == pszText]") != std::string::npos;
    std::printf("self-check: %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
