#include "P11KernelTestUtil.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

using namespace p11test;
using p11testbed::TestModule;

const char kOneToken[] = "token tokA 1234\n";

// True while the library is still mapped into the process.
bool IsMapped(const std::string& path)
{
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    dlclose(handle);
    return true;
}

TEST(P11Module, ResultMappingKeepsLowBitsUnderTheFamilyPrefix)
{
    struct Case { unsigned long rv; unsigned int code; };
    const Case kCases[] = {
        {CKR_PIN_INCORRECT, 0xA00718A0u},        {CKR_SIGNATURE_INVALID, 0xA00718C0u},
        {CKR_USER_ALREADY_LOGGED_IN, 0xA0071900u}, {CKR_CRYPTOKI_ALREADY_INITIALIZED, 0xA0071991u},
        {CKR_VENDOR_DEFINED, 0xA0071800u},        {0x800, 0xA0071800u},
        {0x1801, 0xA0071801u},                    {CKR_GENERAL_ERROR, 0xA0071805u},
        {CKR_FUNCTION_NOT_SUPPORTED, 0xA0071854u}, {CKR_BUFFER_TOO_SMALL, 0xA0071950u},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.rv);
        EXPECT_EQ(c.code, QovaP11Result(c.rv));
    }
}

TEST(P11Module, LoadInitialisesOnceAndUnloadFinalises)
{
    TestModule module(kOneToken);
    EntryPtr entry = NewEntry(p11testbed::TestModulePath());

    ASSERT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));
    EXPECT_EQ(1, entry->bLoaded);
    EXPECT_NE(nullptr, entry->hDLLHandle);
    ASSERT_NE(nullptr, entry->pCkFunctionList);
    const CK_FUNCTION_LIST* pList = entry->pCkFunctionList;
    EXPECT_TRUE(IsMapped(p11testbed::TestModulePath()));

    // Loading again neither reopens nor reinitialises.
    EXPECT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));
    EXPECT_EQ(pList, entry->pCkFunctionList);
    EXPECT_EQ(1u, module.Calls("C_GetFunctionList").size());
    ASSERT_EQ(1u, module.Calls("C_Initialize").size());
    EXPECT_EQ("null", module.Calls("C_Initialize")[0].Field("args"));

    EXPECT_EQ(QOVA_OK, UnLoadP11Dylib(entry.get()));
    EXPECT_EQ(0, entry->bLoaded);
    EXPECT_EQ(nullptr, entry->hDLLHandle);
    EXPECT_EQ(nullptr, entry->pCkFunctionList);
    EXPECT_EQ(1u, module.Calls("C_Finalize").size());
    EXPECT_TRUE(module.Calls("C_CloseAllSessions").empty());
    EXPECT_FALSE(IsMapped(p11testbed::TestModulePath()));

    // Unloading an unloaded entry does nothing; the entry can be loaded again from the start.
    EXPECT_EQ(QOVA_OK, UnLoadP11Dylib(entry.get()));
    EXPECT_EQ(1u, module.Calls("C_Finalize").size());
    EXPECT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));
    EXPECT_EQ(2u, module.Calls("C_Initialize").size());
}

TEST(P11Module, UnloadWithAnOpenSessionKeepsTheModule)
{
    TestModule module(kOneToken);
    EntryPtr entry = NewEntry(p11testbed::TestModulePath());
    ASSERT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));

    entry->nSessionCount = 1;
    EXPECT_EQ(QOVA_OK, UnLoadP11Dylib(entry.get()));
    EXPECT_EQ(1, entry->bLoaded);
    EXPECT_NE(nullptr, entry->pCkFunctionList);
    EXPECT_TRUE(module.Calls("C_Finalize").empty());
    entry->nSessionCount = 0;
}

TEST(P11Module, FailedLoadsLeaveTheEntryUnloadedAndTheLibraryClosed)
{
    struct Case
    {
        const char* name;
        std::string path;
        const char* fixture;
        bool nullList;
        unsigned int code;
    };
    const Case kCases[] = {
        {"missing file", "/nonexistent/libnothing.dylib", kOneToken, false, CKR_GENERAL_ERROR},
        {"no C_GetFunctionList", p11testbed::NoListModulePath(), kOneToken, false, QOVA_E_NO_GETFUNCTIONLIST},
        {"null function list", p11testbed::TestModulePath(), kOneToken, true, QOVA_E_NO_FUNCTIONLIST},
        // Another component of the process initialised the module first.
        {"already initialised", p11testbed::TestModulePath(), "token t 1\nfail C_Initialize 0x191\n", false,
         0xA0071991u},
        {"unreadable fixture", p11testbed::TestModulePath(), "bogus line\n", false, 0xA0071805u},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TestModule module(c.fixture);
        if (c.nullList)
            setenv("TESTP11_NULL_LIST", "1", 1);
        EntryPtr entry = NewEntry(c.path);
        EXPECT_EQ(c.code, LoadP11Dylib(entry.get()));
        EXPECT_EQ(0, entry->bLoaded);
        EXPECT_EQ(nullptr, entry->hDLLHandle);
        EXPECT_EQ(nullptr, entry->pCkFunctionList);
        EXPECT_FALSE(IsMapped(c.path));
        EXPECT_TRUE(module.Calls("C_Finalize").empty());
        unsetenv("TESTP11_NULL_LIST");
    }
}

TEST(P11Module, MissingArgumentsAreRefused)
{
    void* hModule = nullptr;
    CK_FUNCTION_LIST* pList = nullptr;
    EXPECT_EQ(QOVA_E_INVALIDARG, LoadP11Dylib(nullptr));
    EXPECT_EQ(QOVA_E_INVALIDARG, CkInitialize(nullptr, &hModule, &pList));
    EXPECT_EQ(QOVA_E_INVALIDARG, CkInitialize(p11testbed::TestModulePath().c_str(), nullptr, &pList));
    EXPECT_EQ(QOVA_E_MISSING_ARG, CkUninitialize(&hModule, nullptr));
    EXPECT_EQ(QOVA_E_MISSING_ARG, CkUninitialize(nullptr, reinterpret_cast<CK_FUNCTION_LIST*>(&hModule)));
    EXPECT_EQ(QOVA_OK, UnLoadP11Dylib(nullptr));
    EXPECT_EQ(QOVA_OK, ReleaseDylibInfo(nullptr));
    EXPECT_FALSE(IsMapped(p11testbed::TestModulePath()));
}

TEST(P11Module, CkInitializeWithoutListOutParameterStillHandsOutTheHandle)
{
    TestModule module(kOneToken);
    void* hModule = nullptr;
    ASSERT_EQ(QOVA_OK, CkInitialize(p11testbed::TestModulePath().c_str(), &hModule, nullptr));
    ASSERT_NE(nullptr, hModule);
    // The list is the module's own; fetch it again to finalise.
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(hModule, "C_GetFunctionList"));
    CK_FUNCTION_LIST* pList = nullptr;
    ASSERT_EQ(CKR_OK, getList(&pList));
    EXPECT_EQ(QOVA_OK, CkUninitialize(hModule, pList));
    EXPECT_EQ(1u, module.Calls("C_Finalize").size());
}

TEST(P11Module, SoftHsmWithoutConfigurationFailsToInitialise)
{
    if (p11testbed::SoftHsmModulePath().empty())
        GTEST_SKIP() << "SoftHSM2 not installed";
    testutil::ScopedTempDir dir;
    setenv("SOFTHSM2_CONF", dir.File("missing.conf").c_str(), 1);
    EntryPtr entry = NewEntry(p11testbed::SoftHsmModulePath());
    EXPECT_EQ(0xA0071805u, LoadP11Dylib(entry.get()));
    EXPECT_EQ(0, entry->bLoaded);
}

TEST(P11Module, SoftHsmInTwoEntriesRefusesTheSecondInitialisation)
{
    p11testbed::SoftHsmTokens tokens;
    if (!tokens.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    EntryPtr first = NewEntry(p11testbed::SoftHsmModulePath(), "first");
    EntryPtr second = NewEntry(p11testbed::SoftHsmModulePath(), "second");
    ASSERT_EQ(QOVA_OK, LoadP11Dylib(first.get()));
    EXPECT_EQ(0xA0071991u, LoadP11Dylib(second.get()));
    EXPECT_EQ(0, second->bLoaded);

    // The failed load closed only its own reference: the first entry still works.
    CK_SLOT_ID ulSlot = 0;
    EXPECT_EQ(QOVA_OK, GetFirstSlot(first->pCkFunctionList, &ulSlot));
    EXPECT_EQ(QOVA_OK, UnLoadP11Dylib(first.get()));
    EXPECT_EQ(QOVA_OK, LoadP11Dylib(second.get()));
}

}  // namespace
