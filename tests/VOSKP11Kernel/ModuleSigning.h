// Module files signed as a publisher signs them, and the trusted chains of the module tests.
#ifndef VARNELL_TOKENSVC_MODULE_SIGNING_H
#define VARNELL_TOKENSVC_MODULE_SIGNING_H

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace modsig {

// Fixture files: root, inter, other (.pem); signers signer, expired, rootsigner, othersigner
// (.pem and .key); trusted.txt.
inline std::string Fixture(const std::string& name)
{
    return std::string(MODSIG_FIXTURE_DIR) + "/" + name;
}

inline bool CopyFile(const std::string& from, const std::string& to)
{
    std::string content;
    return testutil::ReadFile(from, &content) && testutil::WriteFile(to, content);
}

// Writes the module's signature file (path minus six characters, plus ".sig").
inline bool SignModule(const std::string& module, const std::string& signer)
{
    return 0 == testutil::RunCommand("bash " + testutil::ShellQuote(SIGN_MODULE_SCRIPT) + " " +
                                     testutil::ShellQuote(module) + " " +
                                     testutil::ShellQuote(Fixture(signer + ".pem")) + " " +
                                     testutil::ShellQuote(Fixture(signer + ".key")));
}

inline std::string SigPath(const std::string& module)
{
    return module.substr(0, module.size() - 6) + ".sig";
}

// Base64 certificate texts as the host passes them: an array of C strings.
struct Chain
{
    explicit Chain(std::vector<std::string> texts) : texts(std::move(texts))
    {
        for (const std::string& text : this->texts) pointers.push_back(text.c_str());
    }
    const char** Get() { return pointers.empty() ? nullptr : pointers.data(); }
    int Count() const { return static_cast<int>(pointers.size()); }
    std::vector<std::string> texts;
    std::vector<const char*> pointers;
};

// The test chain in its table form: code-signing CA, then root.
inline std::vector<std::string> TrustedTexts()
{
    std::istringstream in(testutil::ReadFileOrEmpty(Fixture("trusted.txt")));
    std::vector<std::string> texts;
    for (std::string line; std::getline(in, line);) texts.push_back(line);
    EXPECT_EQ(2u, texts.size());
    return texts;
}

}  // namespace modsig

#endif
