// Test-side helpers for the token test bed: a SoftHSM2 token directory per test, the test
// module's fixture file and call log, and the paths the build made.
#ifndef VARNELL_P11_TEST_BED_H
#define VARNELL_P11_TEST_BED_H

#include "TestUtil.h"

#include <map>
#include <string>
#include <vector>

namespace p11testbed {

// Built modules and fixtures.
std::string TestModulePath();       // libtestp11.dylib
std::string NoListModulePath();     // a library without C_GetFunctionList
std::string ResidentModulePath();   // the test module, never unmapped once loaded
std::string MarkModulePath();       // no module: loading it creates the file TESTP11_LOAD_MARK names
std::string SoftHsmModulePath();    // empty when SoftHSM2 is not installed
std::string FixtureDir();           // keys and certificates: rsa1.der, sm2.key, ...
std::string FixtureFile(const std::string& name);

// The host's default PIN (bytes 01 08 then "40917263"), which the fixture tokens use.
extern const std::string kDefaultPin;

// A private copy of the template SoftHSM2 tokens (tokA, tokB) and SOFTHSM2_CONF pointing at it.
// The module must be initialised after construction.
class SoftHsmTokens
{
public:
    SoftHsmTokens() : SoftHsmTokens(FixtureDir() + "/softhsm/tokens") {}
    // A copy of another template token directory.
    explicit SoftHsmTokens(const std::string& templateTokens);
    bool Ready() const { return m_ready; }
    const std::string& Dir() const { return m_dir.Path(); }

private:
    testutil::ScopedTempDir m_dir;
    bool m_ready = false;
};

// One line of the test module's call log.
struct LoggedCall
{
    std::string function;
    unsigned long rv = 0;
    std::map<std::string, std::string> fields;
    std::string Field(const std::string& key) const
    {
        auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    }
};

// The test module's fixture file and call log in a private directory, named by TESTP11_CONFIG
// and TESTP11_LOG. Write() replaces the fixture (the module reads it at C_Initialize).
class TestModule
{
public:
    TestModule();
    explicit TestModule(const std::string& fixture) : TestModule() { Write(fixture); }
    void Write(const std::string& fixture);
    std::string File(const std::string& name) const { return m_dir.File(name); }

    std::vector<LoggedCall> Calls() const;
    std::vector<LoggedCall> Calls(const std::string& function) const;
    std::vector<std::string> Names() const;   // function names in call order
    void ClearLog();

private:
    testutil::ScopedTempDir m_dir;
};

}  // namespace p11testbed

#endif
