#include "P11TestBed.h"

#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace p11testbed {

const std::string kDefaultPin("\x01\x08" "40917263");

std::string TestModulePath()
{
    return TESTP11_MODULE_PATH;
}

std::string NoListModulePath()
{
    return TESTP11_NOLIST_PATH;
}

std::string ResidentModulePath()
{
    return TESTP11_RESIDENT_PATH;
}

std::string MarkModulePath()
{
    return TESTP11_MARK_PATH;
}

std::string SoftHsmModulePath()
{
    return SOFTHSM2_MODULE_PATH;
}

std::string FixtureDir()
{
    return P11_FIXTURE_DIR;
}

std::string FixtureFile(const std::string& name)
{
    return FixtureDir() + "/" + name;
}

SoftHsmTokens::SoftHsmTokens(const std::string& templateTokens)
{
    if (SoftHsmModulePath().empty())
        return;
    const std::string copy = "cp -a " + testutil::ShellQuote(templateTokens) + " " +
                             testutil::ShellQuote(m_dir.Path() + "/tokens");
    if (testutil::RunCommand(copy) != 0)
        return;
    const std::string conf = m_dir.File("softhsm2.conf");
    const std::string text = "directories.tokendir = " + m_dir.Path() +
                             "/tokens\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n";
    m_ready = testutil::WriteFile(conf, text) && setenv("SOFTHSM2_CONF", conf.c_str(), 1) == 0;
}

TestModule::TestModule()
{
    setenv("TESTP11_CONFIG", m_dir.File("testp11.conf").c_str(), 1);
    setenv("TESTP11_LOG", m_dir.File("calls.log").c_str(), 1);
    unsetenv("TESTP11_NULL_LIST");
}

void TestModule::Write(const std::string& fixture)
{
    testutil::WriteFile(m_dir.File("testp11.conf"), fixture);
}

std::vector<LoggedCall> TestModule::Calls() const
{
    std::vector<LoggedCall> calls;
    std::istringstream lines(testutil::ReadFileOrEmpty(m_dir.File("calls.log")));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        LoggedCall call;
        words >> call.function;
        for (std::string word; words >> word;) {
            const size_t eq = word.find('=');
            if (eq == std::string::npos)
                continue;
            call.fields[word.substr(0, eq)] = word.substr(eq + 1);
        }
        call.rv = strtoul(call.Field("rv").c_str(), nullptr, 16);
        calls.push_back(call);
    }
    return calls;
}

std::vector<LoggedCall> TestModule::Calls(const std::string& function) const
{
    std::vector<LoggedCall> matching;
    for (const LoggedCall& call : Calls()) {
        if (call.function == function)
            matching.push_back(call);
    }
    return matching;
}

std::vector<std::string> TestModule::Names() const
{
    std::vector<std::string> names;
    for (const LoggedCall& call : Calls())
        names.push_back(call.function);
    return names;
}

void TestModule::ClearLog()
{
    unlink(m_dir.File("calls.log").c_str());
}

}  // namespace p11testbed
