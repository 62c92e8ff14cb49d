#include "P11KernelTestUtil.h"

#include <gtest/gtest.h>

namespace {

using namespace p11test;
using p11testbed::TestModule;

const std::string kThreeTokens = "token tokA 1111\ntoken tokB 2222\ntoken tokC 3333\n";

std::vector<std::string> Labels(const std::vector<_TOKEN_STRUCT>& tokens)
{
    std::vector<std::string> labels;
    for (const _TOKEN_STRUCT& token : tokens)
        labels.push_back(Label(token.stTokenInfo));
    return labels;
}

TEST(P11Session, DeviceInfoListsUsableSlotsAndSkipsSlotsWithoutInfo)
{
    // Slot 2 has no token; slot 3's description cannot be read.
    Loaded loaded("token tokA 1\nemptyslot\ntoken tokB 2\ntoken tokC 3\nfail C_GetSlotInfo 0x30 slot=3\n");
    CK_INFO* pInfo = nullptr;
    std::vector<_SLOT_STRUCT> slots(1);   // a successful call appends
    std::vector<_TOKEN_STRUCT> tokens(1);
    ASSERT_EQ(QOVA_OK, CryptoGetDeviceInfo(loaded.entry.get(), &pInfo, slots, tokens));
    ASSERT_NE(nullptr, pInfo);
    EXPECT_EQ(2, pInfo->cryptokiVersion.major);
    delete[] pInfo;

    ASSERT_EQ(3u, slots.size());
    ASSERT_EQ(3u, tokens.size());
    EXPECT_EQ(1u, slots[1].ulSlotID);
    EXPECT_EQ(4u, slots[2].ulSlotID);
    EXPECT_EQ(1u, tokens[1].ulSlotID);
    EXPECT_EQ(4u, tokens[2].ulSlotID);
    EXPECT_EQ("tokA", Label(tokens[1].stTokenInfo));
    EXPECT_EQ("tokC", Label(tokens[2].stTokenInfo));
    EXPECT_TRUE(slots[1].stSlotInfo.flags & CKF_TOKEN_PRESENT);
    // The skipped slot got no token query.
    for (const auto& call : loaded.module.Calls("C_GetTokenInfo"))
        EXPECT_NE("3", call.Field("slot"));
}

TEST(P11Session, DeviceInfoFailuresEmptyBothVectors)
{
    struct Case { const char* name; std::string fixture; unsigned int code; };
    const Case kCases[] = {
        {"token info of one slot", kThreeTokens + "fail C_GetTokenInfo 0x30 slot=2\n", 0xA0071830u},
        {"module info", kThreeTokens + "fail C_GetInfo 0x6\n", 0xA0071806u},
        {"first slot listing", kThreeTokens + "fail C_GetSlotList 0x5\n", 0xA0071805u},
        // A token that arrives between the two listing calls is not retried.
        {"second slot listing", kThreeTokens + "fail C_GetSlotList 0x150 after=1\n", 0xA0071950u},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Loaded loaded(c.fixture);
        std::vector<_SLOT_STRUCT> slots(2);
        std::vector<_TOKEN_STRUCT> tokens(2);
        CK_INFO* pInfo = nullptr;
        EXPECT_EQ(c.code, CryptoGetDeviceInfo(loaded.entry.get(), &pInfo, slots, tokens));
        EXPECT_EQ(nullptr, pInfo);
        EXPECT_TRUE(slots.empty());
        EXPECT_TRUE(tokens.empty());
    }
}

TEST(P11Session, DeviceInfoRefusesMissingOrUnloadedEntries)
{
    TestModule module(kThreeTokens);
    EntryPtr entry = NewEntry(p11testbed::TestModulePath());
    std::vector<_SLOT_STRUCT> slots(1);
    std::vector<_TOKEN_STRUCT> tokens(1);
    EXPECT_EQ(QOVA_E_MODULE_NOT_LOADED, CryptoGetDeviceInfo(nullptr, nullptr, slots, tokens));
    EXPECT_TRUE(slots.empty() && tokens.empty());
    slots.resize(1);
    EXPECT_EQ(QOVA_E_MODULE_NOT_LOADED, CryptoGetDeviceInfo(entry.get(), nullptr, slots, tokens));
    EXPECT_TRUE(slots.empty());
    EXPECT_TRUE(module.Calls().empty());
}

TEST(P11Session, NoSlotWithATokenIsNotAnErrorForTheListingOnly)
{
    Loaded loaded("emptyslot\nemptyslot\n");
    std::vector<_SLOT_STRUCT> slots(1);
    std::vector<_TOKEN_STRUCT> tokens(1);
    EXPECT_EQ(QOVA_OK, CryptoGetDeviceInfo(loaded.entry.get(), nullptr, slots, tokens));
    EXPECT_EQ(1u, slots.size());
    EXPECT_EQ(1u, tokens.size());

    CK_SLOT_ID* pSlots = reinterpret_cast<CK_SLOT_ID*>(&slots);
    CK_ULONG ulCount = 99;
    EXPECT_EQ(QOVA_OK, GetSlotListEx(loaded.List(), &pSlots, &ulCount));
    EXPECT_EQ(nullptr, pSlots);
    EXPECT_EQ(0u, ulCount);

    CK_SLOT_ID ulSlot = 77;
    EXPECT_EQ(static_cast<unsigned int>(CKR_TOKEN_NOT_PRESENT), GetFirstSlot(loaded.List(), &ulSlot));
    EXPECT_EQ(77u, ulSlot);
}

TEST(P11Session, SlotListingsHandOutTokenSlotsOnly)
{
    Loaded loaded("emptyslot\ntoken a 1\nemptyslot\ntoken b 2\n");
    CK_SLOT_ID* pSlots = nullptr;
    CK_ULONG ulCount = 0;
    ASSERT_EQ(QOVA_OK, GetSlotListEx(loaded.List(), &pSlots, &ulCount));
    ASSERT_EQ(2u, ulCount);
    EXPECT_EQ(2u, pSlots[0]);
    EXPECT_EQ(4u, pSlots[1]);
    delete[] pSlots;

    CK_SLOT_ID ulSlot = 0;
    EXPECT_EQ(QOVA_OK, GetFirstSlot(loaded.List(), &ulSlot));
    EXPECT_EQ(2u, ulSlot);
    for (const auto& call : loaded.module.Calls("C_GetSlotList"))
        EXPECT_EQ("1", call.Field("token_present"));

    EXPECT_EQ(QOVA_E_INVALIDARG, GetSlotListEx(nullptr, &pSlots, &ulCount));
    EXPECT_EQ(QOVA_E_INVALIDARG, GetFirstSlot(nullptr, &ulSlot));
}

TEST(P11Session, ContextCountsOnItsModuleAndClosesWhenReleased)
{
    Loaded loaded(kThreeTokens);
    void* pCtx = nullptr;
    ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, 2, &pCtx));
    SessionCtx* pSession = static_cast<SessionCtx*>(pCtx);
    EXPECT_NE(0u, pSession->hSession);
    EXPECT_EQ(0u, pSession->nSessionType);
    EXPECT_EQ(0u, pSession->nRefCertCount);
    EXPECT_EQ(loaded.entry.get(), pSession->pDylibInfo);
    EXPECT_EQ(1u, loaded.entry->nSessionCount);
    const auto open = loaded.module.Calls("C_OpenSession");
    ASSERT_EQ(1u, open.size());
    EXPECT_EQ(std::to_string(CKF_RW_SESSION | CKF_SERIAL_SESSION), open[0].Field("flags"));
    EXPECT_EQ("null", open[0].Field("notify"));
    EXPECT_TRUE(loaded.module.Calls("C_Login").empty());

    // Held by two records: nothing closes.
    pSession->nRefCertCount = 2;
    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(pCtx, true));
    EXPECT_TRUE(loaded.module.Calls("C_CloseSession").empty());
    EXPECT_EQ(1u, loaded.entry->nSessionCount);

    // The last session released without unloading: the module stays.
    pSession->nRefCertCount = 0;
    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(pCtx, false));
    EXPECT_EQ(1u, loaded.module.Calls("C_CloseSession").size());
    EXPECT_TRUE(loaded.module.Calls("C_Logout").empty());
    EXPECT_EQ(0u, loaded.entry->nSessionCount);
    EXPECT_EQ(1, loaded.entry->bLoaded);
    EXPECT_TRUE(loaded.module.Calls("C_Finalize").empty());

    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(nullptr, true));
}

TEST(P11Session, ReleasingTheLastSessionWithUnloadFinalisesAfterClosing)
{
    Loaded loaded(kThreeTokens);
    void* pFirst = nullptr;
    void* pSecond = nullptr;
    ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, 1, &pFirst));
    ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), PinBytes("3333"), 4, 3, &pSecond));
    EXPECT_EQ(1u, static_cast<SessionCtx*>(pSecond)->nSessionType);
    EXPECT_EQ(2u, loaded.entry->nSessionCount);

    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(pFirst, true));
    EXPECT_EQ(1, loaded.entry->bLoaded);
    loaded.module.ClearLog();
    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(pSecond, true));
    EXPECT_EQ(0, loaded.entry->bLoaded);
    const std::vector<std::string> kExpected = {"C_Logout", "C_CloseSession", "C_Finalize"};
    EXPECT_EQ(kExpected, loaded.module.Names());
}

TEST(P11Session, AcquireContextFailuresOpenNothing)
{
    Loaded loaded(kThreeTokens);
    void* pCtx = nullptr;

    EntryPtr unloaded = NewEntry(p11testbed::TestModulePath());
    EXPECT_EQ(QOVA_E_MODULE_NOT_LOADED, AcquireContext(unloaded.get(), nullptr, 0, 1, &pCtx));
    EXPECT_EQ(QOVA_E_MODULE_NOT_LOADED, AcquireContext(nullptr, nullptr, 0, 1, &pCtx));
    EXPECT_EQ(0u, unloaded->nSessionCount);
    EXPECT_TRUE(loaded.module.Calls("C_OpenSession").empty());

    // A rejected PIN closes the session opened for it, without a logout.
    EXPECT_EQ(0xA00718A0u, AcquireContext(loaded.entry.get(), PinBytes("9999"), 4, 1, &pCtx));
    EXPECT_EQ(nullptr, pCtx);
    EXPECT_EQ(0u, loaded.entry->nSessionCount);
    const std::vector<std::string> kExpected = {"C_OpenSession", "C_Login", "C_CloseSession"};
    const std::vector<std::string> names = loaded.module.Names();
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(kExpected, std::vector<std::string>(names.end() - 3, names.end()));
    EXPECT_TRUE(loaded.module.Calls("C_Logout").empty());

    EXPECT_EQ(QovaP11Result(CKR_SLOT_ID_INVALID), AcquireContext(loaded.entry.get(), nullptr, 0, 42, &pCtx));
    EXPECT_EQ(0u, loaded.entry->nSessionCount);
}

TEST(P11Session, LoginAndLogoutFollowTheTokensAnswers)
{
    Loaded loaded(kThreeTokens);
    void* pCtx = nullptr;
    ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, 2, &pCtx));
    SessionCtx* pSession = static_cast<SessionCtx*>(pCtx);

    // Never logged in through this layer: no call to the token.
    EXPECT_EQ(QOVA_OK, LogoutSession(pCtx));
    EXPECT_TRUE(loaded.module.Calls("C_Logout").empty());

    EXPECT_EQ(0xA00718A0u, LoginSession(pCtx, PinBytes("1111"), 4));
    EXPECT_EQ(0u, pSession->nSessionType);
    EXPECT_EQ(QOVA_OK, LoginSession(pCtx, PinBytes("2222"), 4));
    EXPECT_EQ(1u, pSession->nSessionType);
    EXPECT_EQ(0xA0071900u, LoginSession(pCtx, PinBytes("2222"), 4));
    EXPECT_EQ(1u, pSession->nSessionType);

    EXPECT_EQ(QOVA_OK, LogoutSession(pCtx));
    EXPECT_EQ(0u, pSession->nSessionType);
    EXPECT_EQ(1u, loaded.module.Calls("C_Logout").size());
    for (const auto& call : loaded.module.Calls("C_Login"))
        EXPECT_EQ(std::to_string(CKU_USER), call.Field("user"));

    EXPECT_EQ(QOVA_E_INVALIDARG, LoginSession(nullptr, PinBytes("2222"), 4));
    EXPECT_EQ(QOVA_E_INVALIDARG, LogoutSession(nullptr));
    SessionCtx orphan{pSession->hSession, 1, 0, nullptr};
    EXPECT_EQ(QOVA_E_INVALIDARG, LoginSession(&orphan, PinBytes("2222"), 4));
    EXPECT_EQ(QOVA_E_INVALIDARG, LogoutSession(&orphan));
    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(pCtx, false));
}

TEST(P11Session, FailedLogoutKeepsTheLoggedInType)
{
    Loaded loaded(kThreeTokens + "fail C_Logout 0x30 times=1\n");
    void* pCtx = nullptr;
    ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), PinBytes("1111"), 4, 1, &pCtx));
    EXPECT_EQ(0xA0071830u, LogoutSession(pCtx));
    EXPECT_EQ(1u, static_cast<SessionCtx*>(pCtx)->nSessionType);
    EXPECT_EQ(QOVA_OK, LogoutSession(pCtx));
    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(pCtx, false));
}

TEST(P11Session, NegativePinLengthNeverReachesTheToken)
{
    // Hazard: a negative length passed on would be read by the token as a huge unsigned length.
    Loaded loaded(kThreeTokens);
    void* pCtx = nullptr;
    EXPECT_EQ(QOVA_E_INVALIDARG, AcquireContext(loaded.entry.get(), PinBytes("1111"), -1, 1, &pCtx));
    EXPECT_TRUE(loaded.module.Calls("C_OpenSession").empty());
    ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, 1, &pCtx));
    EXPECT_EQ(QOVA_E_INVALIDARG, LoginSession(pCtx, PinBytes("1111"), -4));
    EXPECT_EQ(QOVA_E_INVALIDARG, LoginSession(pCtx, nullptr, 4));
    EXPECT_TRUE(loaded.module.Calls("C_Login").empty());
    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(pCtx, false));
}

TEST(P11Session, CreateSessionWithoutOutParametersClosesItAgain)
{
    Loaded loaded(kThreeTokens);
    CK_SESSION_HANDLE hSession = 0;
    EXPECT_EQ(QOVA_OK, CKCreateSession(loaded.List(), PinBytes("1111"), 4, 1, &hSession, nullptr));
    EXPECT_EQ(0u, hSession);
    const std::vector<std::string> kExpected = {"C_GetFunctionList", "C_Initialize", "C_OpenSession",
                                                "C_Login", "C_Logout", "C_CloseSession"};
    EXPECT_EQ(kExpected, loaded.module.Names());

    loaded.module.ClearLog();
    EXPECT_EQ(QOVA_OK, CKCloseSession(loaded.List(), 0, 1));
    EXPECT_TRUE(loaded.module.Calls().empty());
}

// SoftHSM2: tokens are found by label; slot order is not fixed.
TEST(P11Session, SoftHsmTokensLoginAndSecondLogin)
{
    p11testbed::SoftHsmTokens softhsm;
    if (!softhsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    EntryPtr entry = NewEntry(p11testbed::SoftHsmModulePath(), "SoftHSM");
    ASSERT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));

    std::vector<_SLOT_STRUCT> slots;
    std::vector<_TOKEN_STRUCT> tokens;
    ASSERT_EQ(QOVA_OK, CryptoGetDeviceInfo(entry.get(), nullptr, slots, tokens));
    // tokA, tokB and the uninitialised token SoftHSM2 always adds.
    ASSERT_EQ(3u, tokens.size());
    const _TOKEN_STRUCT* pTokA = nullptr;
    for (const _TOKEN_STRUCT& token : tokens) {
        if (Label(token.stTokenInfo) == "tokA")
            pTokA = &token;
    }
    ASSERT_NE(nullptr, pTokA);
    std::vector<std::string> labels = Labels(tokens);
    EXPECT_NE(labels.end(), std::find(labels.begin(), labels.end(), "tokB"));

    void* pCtx = nullptr;
    EXPECT_EQ(0xA00718A0u, AcquireContext(entry.get(), PinBytes("wrong pin"), 9, pTokA->ulSlotID, &pCtx));
    EXPECT_EQ(0u, entry->nSessionCount);
    ASSERT_EQ(QOVA_OK, AcquireContext(entry.get(), nullptr, 0, pTokA->ulSlotID, &pCtx));
    EXPECT_EQ(0xA00718A0u, LoginSession(pCtx, PinBytes("wrong pin"), 9));
    const std::string& pin = p11testbed::kDefaultPin;
    EXPECT_EQ(QOVA_OK, LoginSession(pCtx, PinBytes(pin), static_cast<int>(pin.size())));
    EXPECT_EQ(0xA0071900u, LoginSession(pCtx, PinBytes(pin), static_cast<int>(pin.size())));
    EXPECT_EQ(1u, static_cast<SessionCtx*>(pCtx)->nSessionType);
    EXPECT_EQ(QOVA_OK, LogoutSession(pCtx));
    EXPECT_EQ(QOVA_OK, ReleaseSessionContext(pCtx, true));
    EXPECT_EQ(0, entry->bLoaded);
}

}  // namespace
