#include "CompiledTables.h"

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace {

// Base64 by the crypto library's own decoder, an independent reference for ours.
std::vector<unsigned char> DecodeBase64(const std::string& text)
{
    std::vector<unsigned char> out(text.size());
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return {};
    size_t size = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;  // padding decodes as zeros
    out.resize(size);
    return out;
}

std::string Sha256Hex(const std::vector<unsigned char>& data)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(data.data(), data.size(), digest);
    return testutil::BytesToHex(digest, sizeof(digest));
}

std::string CommonName(X509_NAME* name)
{
    char text[256] = {0};
    X509_NAME_get_text_by_NID(name, NID_commonName, text, sizeof(text));
    return text;
}

std::string RunGenerator(const std::string& modules, const std::string& certs, int* status)
{
    testutil::ScopedTempDir dir;
    EXPECT_TRUE(testutil::WriteFile(dir.File("modules.txt"), modules));
    EXPECT_TRUE(testutil::WriteFile(dir.File("certs.txt"), certs));
    std::string output;
    *status = testutil::RunCommand(
        testutil::ShellQuote(CMAKE_COMMAND_PATH) + " -DMODULE_TABLE=" + testutil::ShellQuote(dir.File("modules.txt")) +
            " -DTRUSTED_CERTS=" + testutil::ShellQuote(dir.File("certs.txt")) +
            " -DOUTPUT=" + testutil::ShellQuote(dir.File("out.cpp")) + " -P " +
            testutil::ShellQuote(testutil::SourceDir() + "/cmake/GenerateTables.cmake") + " 2>&1",
        &output);
    return output;
}

// The shipped tables: the one module row, and the public code-signing CA and its root, recognised
// by the SHA-256 of their DER bytes and checked as a chain.
TEST(CompiledTables, DefaultsHoldTheModuleRowAndTheTwoPublicCertificates)
{
#ifdef VARNELL_TABLES_CONFIGURED
    GTEST_SKIP() << "this build was configured with tables of its own";
#endif
    ASSERT_EQ(1, g_P11_dylibPath_rows);
    EXPECT_STREQ("Corvel Token CSP", g_P11_dylibPath[0][0]);
    EXPECT_STREQ("/usr/local/lib/libCorvelP11_2G.dylib", g_P11_dylibPath[0][1]);

    ASSERT_EQ(2, g_CertificateChain_rows);
    struct Expected { size_t size; const char* sha256; const char* cn; };
    const Expected kChain[] = {
        {1373, "582dc1d97a790ef04fe2567b1ec88c26b03bf6e99937cae6a0b50397ad20bbf8",
         "Symantec Class 3 SHA256 Code Signing CA"},
        {1239, "9acfab7e43c8d880d06b262a94deeee4b4659989c3d0caf19baf6405e41ab7df",
         "VeriSign Class 3 Public Primary Certification Authority - G5"},
    };
    X509* certs[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const std::vector<unsigned char> der = DecodeBase64(g_CertificateChain[i]);
        EXPECT_EQ(kChain[i].size, der.size());
        EXPECT_EQ(kChain[i].sha256, Sha256Hex(der));
        const unsigned char* p = der.data();
        certs[i] = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        ASSERT_NE(nullptr, certs[i]);
        EXPECT_EQ(kChain[i].cn, CommonName(X509_get_subject_name(certs[i])));
    }
    // Chain order: the CA first, issued and signed by the root that follows it.
    EXPECT_EQ(0, X509_NAME_cmp(X509_get_issuer_name(certs[0]), X509_get_subject_name(certs[1])));
    EXPECT_EQ(1, X509_verify(certs[0], X509_get0_pubkey(certs[1])));
    EXPECT_EQ(1, X509_verify(certs[1], X509_get0_pubkey(certs[1])));
    X509_free(certs[0]);
    X509_free(certs[1]);
}

// A build tree of its own, configured with the two cache variables, compiles their tables in.
TEST(CompiledTables, CacheVariablesReplaceTheDefaults)
{
    testutil::ScopedTempDir dir;
    // Texts a C string would trip over, a comment, a blank line and CR LF line ends.
    const std::string modules =
        "# modules for this test\r\n"
        "Vendor \"A\"; B\\C?? \xE6\xB5\x8B\xE8\xAF\x95|/opt/a b/libA.dylib\r\n"
        "\r\n"
        "  Second | /opt/lib|B.dylib  \r\n";
    const std::string certs = "QUJD\nREVGRw==\n";
    ASSERT_TRUE(testutil::WriteFile(dir.File("modules.txt"), modules));
    ASSERT_TRUE(testutil::WriteFile(dir.File("certs.txt"), certs));
    const std::string cmake = testutil::ShellQuote(CMAKE_COMMAND_PATH);
    const std::string build = dir.File("build");
    ASSERT_EQ(0, testutil::RunCommand(cmake + " -S " + testutil::ShellQuote(testutil::SourceDir()) + " -B " +
                                      testutil::ShellQuote(build) + " -G Ninja -DCMAKE_BUILD_TYPE=Debug" +
                                      " -DVARNELL_MODULE_TABLE=" + testutil::ShellQuote(dir.File("modules.txt")) +
                                      " -DVARNELL_TRUSTED_CERTS=" + testutil::ShellQuote(dir.File("certs.txt")) +
                                      " >/dev/null 2>&1"));
    ASSERT_EQ(0, testutil::RunCommand(cmake + " --build " + testutil::ShellQuote(build) +
                                      " --target tables_probe >/dev/null 2>&1"));
    std::string output;
    ASSERT_EQ(0, testutil::RunCommand(testutil::ShellQuote(build + "/tests/tables/tables_probe"), &output));
    EXPECT_EQ("module Vendor \"A\"; B\\C?? \xE6\xB5\x8B\xE8\xAF\x95|/opt/a b/libA.dylib\n"
              "module Second|/opt/lib|B.dylib\n"
              "cert QUJD\n"
              "cert REVGRw==\n",
              output);
}

TEST(CompiledTables, MalformedTableFilesStopTheBuildAtTheirLine)
{
    struct Case { const char* name; std::string modules; std::string certs; std::string message; };
    const Case kCases[] = {
        {"no bar", "#\nname only\n", "QUJD\n", "modules.txt:2: expected"},
        {"no path", "name|  \n", "QUJD\n", "modules.txt:1: the module path is empty"},
        {"PEM", "a|/b\n", "-----BEGIN CERTIFICATE-----\n", "certs.txt:1: not one line of Base64"},
        {"no certificate", "a|/b\n", "# none\n\n", "certs.txt: no certificate line"},
        {"tab", "a\tb|/c\n", "QUJD\n", "modules.txt:1: control character"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        int status = 0;
        const std::string output = RunGenerator(c.modules, c.certs, &status);
        EXPECT_NE(0, status);
        EXPECT_NE(std::string::npos, output.find(c.message)) << output;
    }
}

}  // namespace
