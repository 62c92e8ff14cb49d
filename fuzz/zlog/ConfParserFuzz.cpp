// Configuration parser fuzz target. The text is parsed with outputs disabled, so no file, lock
// file, directory, pipe command or syslog connection is ever opened; then every rule's format is
// rendered for a few events into a bounded buffer, as the event path would, and discarded.
#include "engine/Conf.h"
#include "engine/Thread.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

constexpr size_t kMaxInput = 64 * 1024;
constexpr size_t kMaxLine = 1024 * 1024;

void RenderSample(const zlogc::Conf& conf, const zlogc::Rule& rule, int level, bool hexDump)
{
    zlogc::ThreadRecord* thread = zlogc::FetchThreadRecord(1, 1024, 64 * 1024);
    if (nullptr == thread)
        return;
    static const char kCategory[] = "qova_category";
    static const unsigned char kDump[] = {'z', 'l', 'o', 'g', 0x00, 0x7f, 0xff};
    zlogc::Event event;
    event.category = kCategory;
    event.categoryLength = sizeof(kCategory) - 1;
    event.file = "src/zlog/qova_zlog.cpp";
    event.fileLength = 22;
    event.func = "TRACE";
    event.funcLength = 5;
    event.line = 57;
    event.level = level;
    event.levels = &conf.levels;
    event.thread = thread;
    event.hexDump = hexDump;
    event.dumpData = kDump;
    event.dumpLength = sizeof(kDump);
    event.format = nullptr;  // an empty message; no arguments are read
    zlogc::LineBuffer line;
    line.Configure(256, kMaxLine);
    rule.format->Render(event, line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    zlogc::ConfOptions options;
    options.openOutputs = false;
    std::unique_ptr<zlogc::Conf> conf =
        zlogc::ParseConfText(reinterpret_cast<const char*>(data), size, "/nonexistent/fuzz.conf", options);
    if (!conf)
        return 0;
    zlogc::MatchRules(*conf, "qova_category");
    for (const auto& rule : conf->rules) {
        RenderSample(*conf, *rule, 40, false);
        RenderSample(*conf, *rule, 100, true);
        RenderSample(*conf, *rule, 254, false);
    }
    return 0;
}
