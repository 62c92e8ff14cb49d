#include "VerifyP11lib.h"

#include "ModuleSigning.h"
#include "VOSKMisc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(ModuleCheck, WithoutVerificationOnlyPresenceCountsWithVerificationBothFilesMustOpen)
{
    testutil::ScopedTempDir dir;
    const std::string module = dir.File("m.dylib"), orphanSig = dir.File("o.dylib");
    ASSERT_TRUE(testutil::WriteFile(module, "module"));
    ASSERT_TRUE(testutil::WriteFile(modsig::SigPath(orphanSig), "signature"));
    struct Case { std::string path; bool verify; unsigned int code; };
    const Case kCases[] = {
        {module, false, QOVA_E_FILE_NOT_FOUND},     // no signature file
        {orphanSig, false, QOVA_E_FILE_NOT_FOUND},  // no module file
        {module, true, QOVA_E_OPEN_FAILED},
        {orphanSig, true, QOVA_E_OPEN_FAILED},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path + (c.verify ? " verified" : " present"));
        EXPECT_EQ(c.code, CheckP11Dylib(c.path.c_str(), c.verify, nullptr, 0));
    }
    ASSERT_TRUE(testutil::WriteFile(modsig::SigPath(module), "signature"));
    EXPECT_EQ(QOVA_OK, CheckP11Dylib(module.c_str(), false, nullptr, 0));
    FILE* fp = fopen(module.c_str(), "rb");
    ASSERT_NE(nullptr, fp);
    EXPECT_EQ(QOVA_E_INVALIDARG, VerifyP11Dylib(nullptr, fp, nullptr, 0));
    EXPECT_EQ(QOVA_E_INVALIDARG, VerifyP11Dylib(fp, nullptr, nullptr, 0));
    fclose(fp);
}

// The signature file is read whole up to 10 MiB: a valid signature padded with line breaks (which
// the Base64 text may hold) to exactly the limit still verifies; one byte more is refused unread.
TEST(ModuleCheck, SignatureFileUpToTenMebibytes)
{
    testutil::ScopedTempDir dir;
    const std::string module = dir.File("m.dylib");
    ASSERT_TRUE(testutil::WriteFile(module, std::string(100000, 'm')));
    ASSERT_TRUE(modsig::SignModule(module, "signer"));
    std::string text;
    ASSERT_TRUE(testutil::ReadFile(modsig::SigPath(module), &text));
    modsig::Chain chain(modsig::TrustedTexts());
    for (long size : {READ_FILE_MAX_SIZE, READ_FILE_MAX_SIZE + 1}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(testutil::WriteFile(modsig::SigPath(module), text + std::string(size - text.size(), '\n')));
        EXPECT_EQ(size > READ_FILE_MAX_SIZE ? QOVA_E_READ_FAULT : QOVA_OK,
                  CheckP11Dylib(module.c_str(), true, chain.Get(), chain.Count()));
    }
}

}  // namespace
