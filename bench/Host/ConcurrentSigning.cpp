// Several host processes signing at once on one SoftHSM2 token, as a page that opens several ports
// makes them: every host selects "RSA 1" (token tokA, the host's stored PIN, which is right), then
// all sign their signatures back to back at the same time. Counts the failed selections and
// signatures by code, and the failing steps from the hosts' own trace lines (ERROR level).
//
//   host_concurrent_signing [--host PATH] [--hosts K] [--signatures N] [--runs R] [--select-each 1]
//                           [--keep 1]
//
// With --select-each 1 every host selects again before each signature, so that selections (which
// read every token's information) run while other hosts log in. --keep 1 leaves the token copies
// and the hosts' logs (runN/hostI.log) in the directory it names.
//
// PATH defaults to the SoftHSM2 host of this build; any host built with a signed SoftHSM2 copy in
// its table will do (another build's, to compare). Each run starts from a fresh copy of the tokens.
#include "HostProcess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {


const char kSelect[] = R"({"function":"SelectCertificate","params":["RSA 1","","",""]})";
const char kSign[] = R"({"function":"SignMsgPKCS7","params":["concurrent message","SHA-256",true]})";

// A host in conversation over two pipes, ended at scope exit.
class Host : public hostproc::Conversation
{
public:
    Host(const std::string& program, const std::vector<std::string>& env) : Conversation(program, Options(env)) {}
    std::string Answer()
    {
        std::string answer;
        return Conversation::Answer(&answer) ? answer : std::string();
    }

private:
    static hostproc::SpawnOptions Options(const std::vector<std::string>& env)
    {
        hostproc::SpawnOptions options;
        options.env = env;
        options.env.push_back("PLATFORM_DIALOG_BACKEND=none");
        options.env.push_back("LANG=C");
        options.unsetEnv = {"LC_ALL", "LC_MESSAGES"};
        return options;
    }
};

// "0xA0071805" for an answer's errorcode, "ok" for 0, "no answer" without one.
std::string Code(const std::string& answer)
{
    std::smatch match;
    if (!std::regex_search(answer, match, std::regex("\"errorcode\":(-?[0-9]+)")))
        return "no answer";
    const unsigned int code = static_cast<unsigned int>(std::stoll(match[1]));
    if (0 == code)
        return "ok";
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", code);
    return text;
}

bool Run(const std::string& command)
{
    return 0 == system(command.c_str());
}

std::string Read(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "rb");
    std::string text;
    if (file) {
        char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), file)) > 0;)
            text.append(buf, n);
        fclose(file);
    }
    return text;
}

bool Write(const std::string& path, const std::string& text, mode_t mode = 0600)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool ok = text.size() == fwrite(text.data(), 1, text.size(), file);
    return 0 == fclose(file) && ok && 0 == chmod(path.c_str(), mode);
}

// Where each failure began: a failed request leaves a chain of Failed lines, innermost step first,
// up to the handler's own (nm...), so the first line of each chain is its origin. Given as
// "Function -- Step (code)". The Failed lines that every good conversation has (the end of a
// certificate list, SoftHSM2's uninitialised slot, a module of the table that is not installed)
// are left out.
std::vector<std::string> FailureOrigins(const std::string& log)
{
    std::vector<std::string> origins;
    const std::regex failed(R"(\]\((.*) -- (.*)\)\t\t--Failed:\((0x[0-9a-f]+)\))");
    std::istringstream lines(log);
    bool chainOpen = false;
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!std::regex_search(line, match, failed))
            continue;
        if ("Check ObjectCount" == match[2] || "0xa00718e1" == match[3] || "0x8007006e" == match[3])
            continue;
        if (!chainOpen)
            origins.push_back(match[1].str() + " -- " + match[2].str() + " (" + match[3].str() + ")");
        chainOpen = 0 != match[1].str().rfind("nm", 0);
    }
    return origins;
}

struct Tally
{
    int selections = 0, selectionsFailed = 0, signatures = 0, signaturesFailed = 0;
    std::map<std::string, int> selectCodes, signCodes, steps;
};

void OneRun(const std::string& program, const std::string& bed, int count, int signatures, bool selectEach, int run,
            Tally* tally)
{
    const std::string dir = bed + "/run" + std::to_string(run);
    if (!Run("rm -rf '" + dir + "' && mkdir -p '" + dir + "' && cp -a '" + bed + "/p11/softhsm/tokens' '" + dir +
             "/'")) {
        fprintf(stderr, "cannot copy the tokens\n");
        exit(1);
    }
    Write(dir + "/softhsm2.conf", "directories.tokendir = " + dir + "/tokens\nobjectstore.backend = file\n"
                                  "log.level = ERROR\nslots.removable = false\n");
    std::vector<std::unique_ptr<Host>> hosts;
    for (int i = 0; i < count; ++i) {
        const std::string log = dir + "/host" + std::to_string(i);
        Write(log + ".conf", "[global]\nrotate lock file = " + dir + "/zlog.lock\n[formats]\nrecord = \"%m%n\"\n"
                             "[rules]\nqova_category.ERROR \"" + log + ".log\"; record\n");
        const std::vector<std::string> env = {"SOFTHSM2_CONF=" + dir + "/softhsm2.conf",
                                              "QOVA_LOG_CONF_PATH=" + log + ".conf"};
        hosts.push_back(std::make_unique<Host>(program, env));
    }
    for (auto& host : hosts)
        host->Send(kSelect);
    std::vector<bool> selected;
    for (auto& host : hosts) {
        const std::string answer = host->Answer();
        selected.push_back(std::string::npos != answer.find("\"result\":true"));
        ++tally->selections;
        if (!selected.back()) {
            ++tally->selectionsFailed;
            ++tally->selectCodes[Code(answer)];
        }
    }
    // Each selected host signs on its own thread, all at the same time.
    std::vector<std::map<std::string, int>> codes(hosts.size()), selectCodes(hosts.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < hosts.size(); ++i) {
        if (!selected[i])
            continue;
        threads.emplace_back([&, i] {
            for (int n = 0; n < signatures; ++n) {
                if (selectEach) {
                    hosts[i]->Send(kSelect);
                    const std::string answer = hosts[i]->Answer();
                    ++selectCodes[i][std::string::npos != answer.find("\"result\":true") ? "ok" : Code(answer)];
                }
                hosts[i]->Send(kSign);
                ++codes[i][Code(hosts[i]->Answer())];
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    hosts.clear();
    // Each host's answers by code, added up: all of them, the failed ones, and the failed by code.
    const auto add = [](const std::vector<std::map<std::string, int>>& perHost, int* all, int* failed,
                        std::map<std::string, int>* byCode) {
        for (const auto& host : perHost) {
            for (const auto& entry : host) {
                *all += entry.second;
                if ("ok" != entry.first) {
                    *failed += entry.second;
                    (*byCode)[entry.first] += entry.second;
                }
            }
        }
    };
    add(selectCodes, &tally->selections, &tally->selectionsFailed, &tally->selectCodes);
    add(codes, &tally->signatures, &tally->signaturesFailed, &tally->signCodes);
    for (int i = 0; i < count; ++i) {
        for (const std::string& step : FailureOrigins(Read(dir + "/host" + std::to_string(i) + ".log")))
            ++tally->steps[step];
    }
}

void Print(const char* what, const std::map<std::string, int>& counts)
{
    for (const auto& entry : counts)
        printf("    %-6d %s %s\n", entry.second, what, entry.first.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    std::string program = hostproc::TokenHostPath();
    int count = 4, signatures = 50, runs = 3;
    bool selectEach = false, keep = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if ("--host" == option)
            program = argv[i + 1];
        else if ("--hosts" == option)
            count = atoi(argv[i + 1]);
        else if ("--signatures" == option)
            signatures = atoi(argv[i + 1]);
        else if ("--runs" == option)
            runs = atoi(argv[i + 1]);
        else if ("--select-each" == option)
            selectEach = 0 != atoi(argv[i + 1]);
        else if ("--keep" == option)
            keep = 0 != atoi(argv[i + 1]);
        else {
            fprintf(stderr, "usage: %s [--host PATH] [--hosts K] [--signatures N] [--runs R] [--select-each 1]"
                            " [--keep 1]\n", argv[0]);
            return 2;
        }
    }
    char bedTemplate[] = "/tmp/varnell-concurrent-XXXXXX";
    if (!mkdtemp(bedTemplate))
        return 1;
    const std::string bed = bedTemplate;
    if (!Run("bash " P11_FIXTURE_SCRIPT " '" + bed + "/p11' " SOFTHSM2_MODULE_PATH " >/dev/null 2>&1")) {
        fprintf(stderr, "cannot make the SoftHSM2 tokens\n");
        return 1;
    }
    printf("host %s\n%d hosts x %d signatures, %d runs%s\n", program.c_str(), count, signatures, runs,
           selectEach ? ", a selection before each signature" : "");
    Tally total;
    for (int run = 0; run < runs; ++run) {
        Tally tally;
        OneRun(program, bed, count, signatures, selectEach, run, &tally);
        printf("run %d: %d of %d selections failed, %d of %d signatures failed (%.1f %%)\n", run + 1,
               tally.selectionsFailed, tally.selections, tally.signaturesFailed, tally.signatures,
               tally.signatures ? 100.0 * tally.signaturesFailed / tally.signatures : 0.0);
        Print("selections", tally.selectCodes);
        Print("signatures", tally.signCodes);
        Print("began in", tally.steps);
        total.selections += tally.selections;
        total.selectionsFailed += tally.selectionsFailed;
        total.signatures += tally.signatures;
        total.signaturesFailed += tally.signaturesFailed;
    }
    printf("all runs: %d of %d selections failed, %d of %d signatures failed (%.1f %%)\n", total.selectionsFailed,
           total.selections, total.signaturesFailed, total.signatures,
           total.signatures ? 100.0 * total.signaturesFailed / total.signatures : 0.0);
    if (keep)
        printf("tokens and host logs kept in %s\n", bed.c_str());
    else
        Run("rm -rf '" + bed + "'");
    return 0;
}
