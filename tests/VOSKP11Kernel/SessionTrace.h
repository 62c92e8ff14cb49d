// Sessions a module saw opened and closed, read from opensc's call spy (in front of SoftHSM2) or
// from the test module's call log.
#ifndef VARNELL_TOKENSVC_SESSION_TRACE_H
#define VARNELL_TOKENSVC_SESSION_TRACE_H

#include "P11TestBed.h"
#include "TestUtil.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace sessiontrace {

// Sessions opened on a module, in order, with how often each was closed.
struct SessionTrace
{
    struct Session
    {
        std::string handle;
        std::string slot;
        int closes = 0;
    };
    std::vector<Session> sessions;
    int strayCloses = 0;   // closes of a handle that was not open
    int finalizes = 0;
    bool finalizeLast = false;

    void Opened(const std::string& handle, const std::string& slot) { sessions.push_back({handle, slot, 0}); }
    void Closed(const std::string& handle)
    {
        for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
            if (it->handle == handle && 0 == it->closes) {
                ++it->closes;
                return;
            }
        }
        ++strayCloses;
    }
    // Sessions still open (never closed).
    std::vector<Session> Open() const
    {
        std::vector<Session> open;
        for (const Session& s : sessions) {
            if (0 == s.closes) open.push_back(s);
        }
        return open;
    }
    int Closes() const
    {
        int total = strayCloses;
        for (const Session& s : sessions) total += s.closes;
        return total;
    }
    bool EachClosedOnce() const
    {
        return 0 == strayCloses && std::all_of(sessions.begin(), sessions.end(), [](const Session& s) {
                   return 1 == s.closes;
               });
    }
};

// Points opensc's call spy (the module at spyPath) at SoftHSM2, logging to spyLog. False when
// either is not installed: the caller skips.
inline bool SpyOnSoftHsm(const char* spyPath, const p11testbed::SoftHsmTokens& softhsm, const std::string& spyLog)
{
    if (!softhsm.Ready() || !testutil::FileExists(spyPath))
        return false;
    // The spy leaks its function lists; held loaded, its frames can be named (and suppressed).
    static void* const s_spyHeld = dlopen(spyPath, RTLD_NOW);
    if (nullptr == s_spyHeld)
        return false;
    setenv("PKCS11SPY", p11testbed::SoftHsmModulePath().c_str(), 1);
    setenv("PKCS11SPY_OUTPUT", spyLog.c_str(), 1);
    return true;
}

// opensc's pkcs11-spy output: "N: C_Func", "[in] slotID = 0x..", "[out] *phSession = 0x..",
// "[in] hSession = 0x..", "Returned:  0 CKR_OK".
// From byte `from` of the log on (the spy keeps writing to the file it opened first).
inline SessionTrace ReadSpyLog(const std::string& path, size_t from = 0)
{
    SessionTrace trace;
    const std::string text = testutil::ReadFileOrEmpty(path);
    std::istringstream in(from < text.size() ? text.substr(from) : std::string());
    std::string function, slot, handle;
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(": C_");
        if (colon != std::string::npos && line.find_first_not_of("0123456789") == colon) {
            function = line.substr(colon + 2);
            trace.finalizeLast = "C_Finalize" == function;
        } else if (0 == line.rfind("[in] slotID = ", 0)) {
            slot = line.substr(line.find('=') + 2);
        } else if (0 == line.rfind("[out] *phSession = ", 0) || 0 == line.rfind("[in] hSession = ", 0)) {
            handle = line.substr(line.find('=') + 2);
        } else if (0 == line.rfind("Returned:  0 ", 0)) {
            if ("C_OpenSession" == function) trace.Opened(handle, slot);
            if ("C_CloseSession" == function) trace.Closed(handle);
            if ("C_Finalize" == function) ++trace.finalizes;
        }
    }
    return trace;
}

// How often the spy saw the function called (every answer counts).
inline int CountSpyCalls(const std::string& path, const std::string& function)
{
    std::istringstream in(testutil::ReadFileOrEmpty(path));
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(": C_");
        if (colon != std::string::npos && line.find_first_not_of("0123456789") == colon &&
            line.substr(colon + 2) == function)
            ++count;
    }
    return count;
}

// The same from the test module's call log.
inline SessionTrace ReadModuleLog(const p11testbed::TestModule& module)
{
    SessionTrace trace;
    for (const p11testbed::LoggedCall& call : module.Calls()) {
        trace.finalizeLast = "C_Finalize" == call.function;
        if (0 != call.rv) continue;
        if ("C_OpenSession" == call.function) trace.Opened(call.Field("opened"), call.Field("slot"));
        if ("C_CloseSession" == call.function) trace.Closed(call.Field("session"));
        if ("C_Finalize" == call.function) ++trace.finalizes;
    }
    return trace;
}

}  // namespace sessiontrace

#endif
