// Host processes that sign at once on one token, as a page that opens several ports makes them:
// the token's PIN tries are shared, and the stored-PIN guard must hold across the processes.
#include "HostProcess.h"
#include "P11TestBed.h"
#include "QovaResult.h"

#include <gtest/gtest.h>

#include <p11-kit/pkcs11.h>

#include <sys/wait.h>

#include <chrono>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

using p11testbed::FixtureFile;

// A token host in conversation, which must end in order at scope exit.
class Host : public hostproc::Conversation
{
public:
    Host() : Conversation(hostproc::TokenHostPath(), Options()) {}
    ~Host()
    {
        const int status = End();
        EXPECT_TRUE(WIFEXITED(status) && 0 == WEXITSTATUS(status)) << status;
    }
    std::string Answer()
    {
        std::string answer;
        return Conversation::Answer(&answer) ? answer : "(no answer)";
    }

private:
    static hostproc::SpawnOptions Options()
    {
        hostproc::SpawnOptions options;
        // SoftHSM2 in the table finds no configuration and drops out of every selection.
        options.env = {"PLATFORM_DIALOG_BACKEND=none", "SOFTHSM2_CONF=/nonexistent/softhsm2.conf", "LANG=C"};
        options.unsetEnv = {"QOVA_LOG_CONF_PATH", "LC_ALL", "LC_MESSAGES"};
        return options;
    }
};

// Every host gets the request before any answer is read, so that they work at the same time.
std::vector<std::string> AskAll(std::vector<std::unique_ptr<Host>>& hosts, const std::string& request)
{
    for (auto& host : hosts)
        EXPECT_TRUE(host->Send(request));
    std::vector<std::string> answers;
    for (auto& host : hosts)
        answers.push_back(host->Answer());
    return answers;
}

long long ErrorCode(const std::string& answer)
{
    std::smatch match;
    return std::regex_search(answer, match, std::regex("\"errorcode\":(-?[0-9]+)")) ? std::stoll(match[1]) : 1;
}

// The token's PIN is not the stored one, and it has two tries left: each host would read "count
// low" and log in, and the second wrong login would lock the token. The first wrong login must
// leave the token at its final try, which every host after it reads and does not spend.
TEST(HostPinGuard, HostsSigningAtOnceSpendOnePinTryAndNeverLockTheToken)
{
    p11testbed::TestModule module;
    const std::string tries = module.File("tries");
    const long long kWrong = static_cast<int>(QovaP11Result(CKR_PIN_INCORRECT));
    const long long kFinalTry = static_cast<int>(QOVA_E_PIN_FINAL_TRY);
    const auto start = std::chrono::steady_clock::now();
    for (const int count : {2, 4, 8}) {
        std::vector<std::unique_ptr<Host>> hosts;
        for (int i = 0; i < count; ++i)
            hosts.push_back(std::make_unique<Host>());
        for (const int delayMs : {0, 5, 20}) {
            for (int round = 0; round < 10; ++round) {
                SCOPED_TRACE(std::to_string(count) + " hosts, " + std::to_string(delayMs) + " ms per call, round " +
                             std::to_string(round));
                // A serial number per round: each round is a token these hosts have not seen refuse.
                const std::string serial = "d" + std::to_string(delayMs) + "r" + std::to_string(round);
                module.Write("token sm2tok 1234 serial=" + serial + " tries=" + tries + " maxtries=3\n" +
                             "cert sm2#2 sm2 " + FixtureFile("sm2.der") + "\nsm2key sm2#2 sm2 " +
                             FixtureFile("sm2.key") + "\ndelay " + std::to_string(delayMs) + "\n");
                ASSERT_TRUE(testutil::WriteFile(tries, "2\n"));
                for (const std::string& answer :
                     AskAll(hosts, R"({"function":"SelectCertificate","params":["SM2 1","","",null]})"))
                    ASSERT_NE(std::string::npos, answer.find("\"result\":true")) << answer;
                module.ClearLog();

                std::map<long long, int> codes;
                for (const std::string& answer :
                     AskAll(hosts, R"({"function":"SignMsgPKCS7","params":["pay 100","SM3",true]})"))
                    ++codes[ErrorCode(answer)];
                EXPECT_EQ((std::map<long long, int>{{kWrong, 1}, {kFinalTry, count - 1}}), codes);
                const std::vector<p11testbed::LoggedCall> logins = module.Calls("C_Login");
                ASSERT_EQ(1u, logins.size());
                EXPECT_EQ(CKR_PIN_INCORRECT, logins[0].rv);
                EXPECT_EQ("1\n", testutil::ReadFileOrEmpty(tries)) << "tries left";
            }
        }
    }
    RecordProperty("wall_seconds", std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                      std::chrono::steady_clock::now() - start).count()));
}

}  // namespace
