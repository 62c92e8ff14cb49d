// Cost of a trace call with logging off (one pointer test) and on (formatting and one write to a
// file, or a copy into the memory log's page).
#include "QovaTrace.h"
#include "qova_zlog.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void BM_TraceLoggingOff(benchmark::State& state)
{
    qova_log_fini();
    for (auto _ : state)
        benchmark::DoNotOptimize(TRACE(3, "nCount: %d", 42));
}
BENCHMARK(BM_TraceLoggingOff);

unsigned int CheckedStep(const void* p)
{
    QOVA_FAIL_IF(nullptr == p, QOVA_E_INVALIDARG, "Check p");
    return QOVA_OK;
}

void BM_TraceStepLoggingOff(benchmark::State& state)
{
    qova_log_fini();
    int x = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(CheckedStep(&x));
}
BENCHMARK(BM_TraceStepLoggingOff);

enum class Output { File, MemoryLog };

// Logging on in a fresh directory: INFO lines appended to a file, or kept by the memory log.
class LoggingOn
{
public:
    explicit LoggingOn(Output output = Output::File)
    {
        char dir[] = "/tmp/varnell-bench-XXXXXX";
        if (!mkdtemp(dir))
            abort();
        m_dir = dir;
        if (Output::MemoryLog == output) {
            m_ok = QOVA_OK == qova_log_init_memory_log(3, (m_dir + "/mem.log").c_str());
            return;
        }
        const std::string conf = m_dir + "/bench.conf";
        FILE* f = fopen(conf.c_str(), "w");
        if (!f)
            abort();
        fprintf(f, "[global]\nrotate lock file = %s/lock\n[rules]\nqova_category.INFO \"%s/bench.log\"\n", m_dir.c_str(),
                m_dir.c_str());
        fclose(f);
        m_ok = QOVA_OK == qova_log_init_ex(conf.c_str());
    }
    ~LoggingOn()
    {
        qova_log_fini();
        std::string cmd = "rm -rf '" + m_dir + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    bool ok() const { return m_ok; }

private:
    std::string m_dir;
    bool m_ok = false;
};

void BM_TraceLoggingOn(benchmark::State& state)
{
    LoggingOn logging;
    if (!logging.ok()) {
        state.SkipWithError("logging could not be initialised");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(TRACE(3, "nCount: %d", 42));
}
BENCHMARK(BM_TraceLoggingOn);

void BM_TraceStepLoggingOn(benchmark::State& state)
{
    LoggingOn logging;
    if (!logging.ok()) {
        state.SkipWithError("logging could not be initialised");
        return;
    }
    int x = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(CheckedStep(&x));
}
BENCHMARK(BM_TraceStepLoggingOn);

// A logged line with the memory log: INFO is only kept; ERROR also appends the pages to the file.
void BM_TraceMemoryLog(benchmark::State& state)
{
    LoggingOn logging(Output::MemoryLog);
    if (!logging.ok()) {
        state.SkipWithError("logging could not be initialised");
        return;
    }
    const unsigned int level = static_cast<unsigned int>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(TRACE(level, "nCount: %d", 42));
}
BENCHMARK(BM_TraceMemoryLog)->ArgName("level")->Arg(3)->Arg(1);

}  // namespace
