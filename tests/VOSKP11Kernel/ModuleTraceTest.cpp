// The module walk's trace lines as they reach a log: the table rows, the signature path, the
// failing step with its code and reason, and outside text (a path from a configured table) escaped;
// and the selection's refusal of a missing out-parameter in its quoted words.
#include "CertificateOperation.h"
#include "DylibInfo.h"
#include "LogTestUtil.h"
#include "VOSKMisc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool Has(const std::vector<std::string>& records, const std::string& record)
{
    return records.end() != std::find(records.begin(), records.end(), record);
}

TEST(ModuleTrace, WalkNamesRowsSignaturePathAndTheFailingStep)
{
    testutil::ScopedTempDir dir;
    const std::string module = dir.File("lib\nA.dylib"), sig = dir.File("lib\nA.sig");
    ASSERT_TRUE(testutil::WriteFile(module, "module"));
    const std::string shown = dir.File("lib\\nA.dylib"), shownSig = dir.File("lib\\nA.sig");
    logtest::TraceCapture capture;
    const char* table[1][2] = {{"CSP\x01", module.c_str()}};
    void* list = nullptr;
    ASSERT_EQ(QOVA_OK, InitDylibInfoList(table, 1, &list));
    LoadDylibInfoList(list, nullptr, true, nullptr, 0);
    UnitDylibInfoList(list);

    const std::vector<std::string> records = capture.Records();
    EXPECT_TRUE(Has(records, "INFO CSPName[0]: CSP\\x01; P11Path: " + shown)) << capture.Raw();
    EXPECT_TRUE(Has(records, "INFO DylibPath: " + shown));
    EXPECT_TRUE(Has(records, "INFO pszDylibSigPath: " + shownSig));
    EXPECT_TRUE(Has(records, "ERROR [src/VOSKP11Kernel/VerifyP11lib.cpp(N):](CheckP11Dylib -- fopen(DylibSig))\t\t"
                             "--Failed:(0x8007006e) [Reason:NULL == fpDylibSigFile]\n"));
    EXPECT_EQ(std::string::npos, capture.Raw().find("LoadP11Dylib"));
}

// A log reader searches for the quoted reason; the condition reversed would not be found.
TEST(ModuleTrace, SelectionWithoutOutParameterQuotesItsReason)
{
    logtest::TraceCapture capture;
    EXPECT_EQ(QOVA_E_INVALIDARG, SelectCertificatefromCSPList(nullptr, nullptr, nullptr));
    EXPECT_TRUE(Has(capture.Records(),
                    "ERROR [src/VOSKP11Kernel/CertificateOperation.cpp(N):](SelectCertificatefromCSPList -- "
                    "Check ppCertInfo)\t\t--Failed:(0x80070057) [Reason:ppCertInfo == NULL]\n"))
        << capture.Raw();
}

}  // namespace
