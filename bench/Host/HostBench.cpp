// The host as a browser pays for it: a GetVersion round trip through a pipe to a running host, the
// cold start of a one-shot message (exec of the host to its first answer), and a SignMsgPKCS7
// round trip on a SoftHSM2 token.
#include "HostProcess.h"

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {


const std::string kGetVersion = R"({"function":"GetVersion","params":[]})";

// A host in conversation over two pipes, ended at scope exit.
class RunningHost : public hostproc::Conversation
{
public:
    explicit RunningHost(const std::string& program, std::vector<std::string> env = {})
        : Conversation(program, Options(std::move(env)))
    {
    }
    bool Ask(const std::string& request, std::string* answer) { return Send(request) && Answer(answer); }

private:
    static hostproc::SpawnOptions Options(std::vector<std::string> env)
    {
        hostproc::SpawnOptions options;
        options.env = std::move(env);
        options.env.push_back("PLATFORM_DIALOG_BACKEND=none");
        return options;
    }
};

void BM_GetVersionRoundTrip(benchmark::State& state)
{
    RunningHost host(hostproc::HostPath());
    std::string answer;
    host.Ask(kGetVersion, &answer);
    for (auto _ : state) {
        if (!host.Ask(kGetVersion, &answer)) {
            state.SkipWithError("no answer");
            break;
        }
    }
}
BENCHMARK(BM_GetVersionRoundTrip)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ColdStartToFirstAnswer(benchmark::State& state)
{
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::string answer;
        bool ok = false;
        {
            RunningHost host(hostproc::HostPath());
            ok = host.Ask(kGetVersion, &answer);
            state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        if (!ok) {
            state.SkipWithError("no answer");
            break;
        }
    }
}
BENCHMARK(BM_ColdStartToFirstAnswer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50)->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Keys, certificates and tokens made once for the run (three RSA signing certificates under the
// host's stored PIN; the filter picks one), removed when the program ends.
class TokenBed
{
public:
    TokenBed()
    {
        char dir[] = "/tmp/varnell-host-bench-XXXXXX";
        if (!mkdtemp(dir))
            return;
        m_dir = dir;
        const std::string command = std::string("bash ") + P11_FIXTURE_SCRIPT + " " + m_dir + "/p11 " +
                                    SOFTHSM2_MODULE_PATH + " >/dev/null 2>&1";
        if (0 == system(command.c_str()))
            m_conf = m_dir + "/p11/softhsm/softhsm2.conf";
    }
    ~TokenBed()
    {
        if (!m_dir.empty())
            system(("rm -rf '" + m_dir + "'").c_str());
    }
    const std::string& Conf() const { return m_conf; }

private:
    std::string m_dir;
    std::string m_conf;
};

const std::string& TokenConf()
{
    static TokenBed bed;
    return bed.Conf();
}

void BM_SignMsgPKCS7RoundTrip(benchmark::State& state)
{
    if (TokenConf().empty()) {
        state.SkipWithError("no SoftHSM2 token");
        return;
    }
    RunningHost host(hostproc::TokenHostPath(), {"SOFTHSM2_CONF=" + TokenConf()});
    std::string answer;
    if (!host.Ask(R"({"function":"SelectCertificate","params":["RSA 1","","",""]})", &answer) ||
        std::string::npos == answer.find("\"result\":true")) {
        state.SkipWithError(("selection failed: " + answer).c_str());
        return;
    }
    const std::string sign = R"({"function":"SignMsgPKCS7","params":["benchmark message","SHA-256",true]})";
    for (auto _ : state) {
        if (!host.Ask(sign, &answer) || std::string::npos == answer.find("\"errorcode\":0,")) {
            state.SkipWithError(("signing failed: " + answer.substr(0, 200)).c_str());
            break;
        }
    }
}
BENCHMARK(BM_SignMsgPKCS7RoundTrip)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
