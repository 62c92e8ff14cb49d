#include "P11KernelTestUtil.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace p11test;
using p11testbed::FixtureFile;
using p11testbed::TestModule;

std::string FixtureDer(const std::string& name)
{
    return testutil::ReadFileOrEmpty(FixtureFile(name));
}

// Fixture with certificates from the build's fixture directory.
std::string Cert(const std::string& id, const std::string& file, const std::string& options = "")
{
    return "cert " + id + " label " + FixtureFile(file) + (options.empty() ? "" : " " + options) + "\n";
}

// The whole road on a real token: list, read, log in, find the key, read again, release.
TEST(P11Certificate, SoftHsmRecordsKeysAndReleaseOrder)
{
    p11testbed::SoftHsmTokens softhsm;
    if (!softhsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    const std::string path = p11testbed::SoftHsmModulePath();
    EntryPtr entry = NewEntry(path, "SoftHSM");
    ASSERT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));

    RecordSet set;
    ASSERT_EQ(QOVA_OK, GetAllCertDataFromDevices(entry.get(), set.records));
    // SoftHSM2's object order changes between runs: find records by CKA_ID.
    std::map<std::string, _CERTIFICATE_DATA*> byId;
    for (_CERTIFICATE_DATA* record : set.records)
        byId[record->pszCkID] = record;
    ASSERT_EQ(3u, set.records.size());
    ASSERT_EQ(1u, byId.count("cont1#2"));
    ASSERT_EQ(1u, byId.count("cont2#2"));
    // The ID 41 00 42 is text and ends at its zero byte.
    ASSERT_EQ(1u, byId.count("A"));
    EXPECT_EQ(FixtureDer("rsa1.der"), Der(byId["cont1#2"]));
    EXPECT_EQ(FixtureDer("rsa2.der"), Der(byId["cont2#2"]));
    EXPECT_EQ(FixtureDer("rsa3.der"), Der(byId["A"]));
    for (const _CERTIFICATE_DATA* record : set.records)
        EXPECT_EQ(0, record->pbyCertificate[record->nCertificateSize]);

    // One session per token with certificates; the uninitialised token was skipped.
    SessionCtx* pTokA = byId["cont1#2"]->pstSessionCtx;
    SessionCtx* pTokB = byId["A"]->pstSessionCtx;
    EXPECT_EQ(pTokA, byId["cont2#2"]->pstSessionCtx);
    EXPECT_NE(pTokA, pTokB);
    EXPECT_EQ(2u, pTokA->nRefCertCount);
    EXPECT_EQ(1u, pTokB->nRefCertCount);
    EXPECT_EQ(2u, entry->nSessionCount);

    // The private key needs this layer's login on the record's session.
    CK_OBJECT_HANDLE hKey = 0;
    CK_KEY_TYPE ulKeyType = 99;
    EXPECT_EQ(QOVA_E_INVALIDARG, AcquireCertificatePrivateKey(byId["cont1#2"], &hKey, &ulKeyType));
    const std::string& pin = p11testbed::kDefaultPin;
    EXPECT_EQ(0xA00718A0u, LoginSession(pTokA, PinBytes("12345678"), 8));
    ASSERT_EQ(QOVA_OK, LoginSession(pTokA, PinBytes(pin), static_cast<int>(pin.size())));
    EXPECT_EQ(0xA0071900u, LoginSession(pTokA, PinBytes(pin), static_cast<int>(pin.size())));
    ASSERT_EQ(QOVA_OK, AcquireCertificatePrivateKey(byId["cont1#2"], &hKey, &ulKeyType));
    EXPECT_NE(0u, hKey);
    EXPECT_EQ(static_cast<CK_KEY_TYPE>(CKK_RSA), ulKeyType);

    unsigned char* pbyAgain = nullptr;
    int nAgain = 0;
    ASSERT_EQ(QOVA_OK, ExportDERCertFromP11(byId["cont2#2"], &pbyAgain, &nAgain));
    EXPECT_EQ(FixtureDer("rsa2.der"), std::string(reinterpret_cast<char*>(pbyAgain), nAgain));
    delete[] pbyAgain;
    // The search for "A" misses the object whose ID is 41 00 42.
    EXPECT_EQ(QOVA_E_NO_OBJECT, ExportDERCertFromP11(byId["A"], &pbyAgain, &nAgain));
    EXPECT_EQ(QOVA_OK, LogoutSession(pTokA));

    // A copy holds the session too; the module goes exactly with the last record.
    _CERTIFICATE_DATA* pCopy = nullptr;
    ASSERT_EQ(QOVA_OK, DupCertificateData(byId["A"], &pCopy));
    EXPECT_EQ(2u, pTokB->nRefCertCount);
    ReleaseCertificateData(byId["cont1#2"]);
    ReleaseCertificateData(byId["cont2#2"]);
    ReleaseCertificateData(byId["A"]);
    set.records.clear();
    EXPECT_EQ(1u, entry->nSessionCount);
    EXPECT_EQ(1, entry->bLoaded);
    // Still initialised: a second initialisation is refused.
    void* hProbe = nullptr;
    CK_FUNCTION_LIST* pProbe = nullptr;
    EXPECT_EQ(0xA0071991u, CkInitialize(path.c_str(), &hProbe, &pProbe));

    ReleaseCertificateData(pCopy);
    EXPECT_EQ(0u, entry->nSessionCount);
    EXPECT_EQ(0, entry->bLoaded);
    EXPECT_EQ(nullptr, entry->pCkFunctionList);
    ASSERT_EQ(QOVA_OK, CkInitialize(path.c_str(), &hProbe, &pProbe));
    EXPECT_EQ(QOVA_OK, CkUninitialize(hProbe, pProbe));
}

TEST(P11Certificate, RecordsFollowTokenOrderAndEachHoldsItsSession)
{
    Loaded loaded("token first 1\n" + Cert("one", "rsa1.der") + "token empty 2\n" + "token second 3\n" +
                  Cert("two", "sm2.der"));
    RecordSet set;
    ASSERT_EQ(QOVA_OK, GetAllCertDataFromDevices(loaded.entry.get(), set.records));
    ASSERT_EQ(2u, set.records.size());
    EXPECT_STREQ("one", set.records[0]->pszCkID);
    EXPECT_STREQ("two", set.records[1]->pszCkID);
    EXPECT_EQ(FixtureDer("sm2.der"), Der(set.records[1]));
    EXPECT_NE(set.records[0]->pstSessionCtx, set.records[1]->pstSessionCtx);
    EXPECT_EQ(2u, loaded.entry->nSessionCount);

    // The token without certificates had its session closed at once, the module stays.
    const auto closes = loaded.module.Calls("C_CloseSession");
    ASSERT_EQ(1u, closes.size());
    EXPECT_EQ("2", closes[0].Field("slot"));
    // Every search ended with C_FindObjectsFinal.
    EXPECT_EQ(3u, loaded.module.Calls("C_FindObjectsInit").size());
    EXPECT_EQ(3u, loaded.module.Calls("C_FindObjectsFinal").size());

    // Releasing a copy first leaves the source's session open.
    _CERTIFICATE_DATA* pCopy = nullptr;
    ASSERT_EQ(QOVA_OK, DupCertificateData(set.records[0], &pCopy));
    EXPECT_EQ(Der(set.records[0]), Der(pCopy));
    EXPECT_STREQ("one", pCopy->pszCkID);
    EXPECT_NE(set.records[0]->pszCkID, pCopy->pszCkID);
    ReleaseCertificateData(pCopy);
    EXPECT_EQ(1u, set.records[0]->pstSessionCtx->nRefCertCount);
    EXPECT_EQ(1u, loaded.module.Calls("C_CloseSession").size());

    loaded.module.ClearLog();
    ClearCertificateDataSet(set.records);
    EXPECT_TRUE(set.records.empty());
    const std::vector<std::string> kExpected = {"C_CloseSession", "C_CloseSession", "C_Finalize"};
    EXPECT_EQ(kExpected, loaded.module.Names());
    EXPECT_EQ(0, loaded.entry->bLoaded);
}

TEST(P11Certificate, EnumerationStopsAtAnUnreadableObjectAndKeepsEarlierRecords)
{
    struct Case { const char* name; std::string objects; std::vector<std::string> ids; };
    const Case kCases[] = {
        {"certificate without CKA_ID", Cert("a", "rsa1.der") + Cert("-", "rsa2.der") + Cert("c", "rsa3.der"), {"a"}},
        {"failing search step", Cert("a", "rsa1.der") + Cert("b", "rsa2.der") + "fail C_FindObjects 0x30 after=1\n",
         {"a"}},
        {"failing attribute read", Cert("a", "rsa1.der") + "fail C_GetAttributeValue 0x30\n", {}},
        // Hazard: a module's lengths are outside input and must never size an allocation unchecked.
        {"unavailable length answered as success", Cert("a", "rsa1.der") + "badlen a CKA_VALUE -1 0\n", {}},
        {"read longer than announced", Cert("a", "rsa1.der") + "badlen a CKA_ID 1 64\n", {}},
        {"huge length", Cert("a", "rsa1.der") + "badlen a CKA_VALUE 0x7fffffffffff 0\n", {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Loaded loaded("token t 1\n" + c.objects);
        RecordSet set;
        EXPECT_EQ(QOVA_OK, GetAllCertDataFromDevices(loaded.entry.get(), set.records));
        std::vector<std::string> ids;
        for (const _CERTIFICATE_DATA* record : set.records)
            ids.push_back(record->pszCkID);
        EXPECT_EQ(c.ids, ids);
        EXPECT_EQ(1u, loaded.module.Calls("C_FindObjectsFinal").size());
        EXPECT_EQ(c.ids.empty() ? 1u : 0u, loaded.module.Calls("C_CloseSession").size());
    }
}

TEST(P11Certificate, SessionCertificateReportsItsCountAndFailures)
{
    Loaded loaded("token t 1\n" + Cert("a", "rsa1.der") + Cert("b", "rsa2.der") +
                  "fail C_GetSessionInfo 0xb3 times=1\n");
    void* pCtx = nullptr;
    ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, 1, &pCtx));
    RecordSet set;
    int nCount = -1;
    EXPECT_EQ(0xA00718B3u, GetCurrentSessionCertificate(pCtx, &nCount, set.records));
    EXPECT_TRUE(loaded.module.Calls("C_FindObjectsInit").empty());
    ASSERT_EQ(QOVA_OK, GetCurrentSessionCertificate(pCtx, &nCount, set.records));
    EXPECT_EQ(2, nCount);
    EXPECT_EQ(2u, static_cast<SessionCtx*>(pCtx)->nRefCertCount);
    const auto init = loaded.module.Calls("C_FindObjectsInit");
    ASSERT_EQ(1u, init.size());
    EXPECT_EQ(std::to_string(CKO_CERTIFICATE), init[0].Field("class"));
    EXPECT_EQ("", init[0].Field("id"));

    SessionCtx empty{0, 0, 0, loaded.entry.get()};
    EXPECT_EQ(QOVA_E_INVALIDARG, GetCurrentSessionCertificate(&empty, &nCount, set.records));
    EXPECT_EQ(QOVA_E_INVALIDARG, GetCurrentSessionCertificate(nullptr, &nCount, set.records));
    EXPECT_EQ(2u, set.records.size());
}

TEST(P11Certificate, SearchByIdAlwaysEndsTheSearch)
{
    struct Case
    {
        const char* name;
        std::string id;
        CK_OBJECT_CLASS cls;
        std::string fault;
        unsigned int code;
        std::vector<std::string> calls;
    };
    const std::vector<std::string> kFullSearch = {"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"};
    const Case kCases[] = {
        {"found", "cont#2", CKO_CERTIFICATE, "", QOVA_OK, kFullSearch},
        {"private key hidden before login", "cont#2", CKO_PRIVATE_KEY, "", QOVA_E_NO_OBJECT, kFullSearch},
        {"public key", "cont#2", CKO_PUBLIC_KEY, "", QOVA_OK, kFullSearch},
        {"no match", "nothing", CKO_CERTIFICATE, "", QOVA_E_NO_OBJECT, kFullSearch},
        {"failing step", "cont#2", CKO_CERTIFICATE, "fail C_FindObjects 0x30\n", 0xA0071830u, kFullSearch},
        {"failing init", "cont#2", CKO_CERTIFICATE, "fail C_FindObjectsInit 0x90\n", 0xA0071890u,
         {"C_FindObjectsInit"}},
        {"data objects are not searched", "cont#2", CKO_DATA, "", QOVA_E_P11_NOT_SUPPORTED, {}},
        {"vendor classes are not searched", "cont#2", 4, "", QOVA_E_P11_NOT_SUPPORTED, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Loaded loaded("token t 1234\n" + Cert("cont#2", "rsa2.der") + "sm2key cont#2 key " + FixtureFile("sm2.key") +
                      "\n" + c.fault);
        void* pCtx = nullptr;
        ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, 1, &pCtx));
        loaded.module.ClearLog();
        CK_OBJECT_HANDLE hObject = 0;
        EXPECT_EQ(c.code, CkGetSpecifiedObjectByCkID(loaded.List(), static_cast<SessionCtx*>(pCtx)->hSession,
                                                      PinBytes(c.id), c.cls, &hObject));
        EXPECT_EQ(c.code == QOVA_OK, hObject != 0);
        EXPECT_EQ(c.calls, loaded.module.Names());
        ReleaseSessionContext(pCtx, false);
    }
}

TEST(P11Certificate, LaterSearchesUseTheIdAsText)
{
    Loaded loaded("token t 1234\n" + Cert("hex:410042", "rsa1.der") + Cert("cont#2", "rsa2.der") +
                  "sm2key cont#2 key " + FixtureFile("sm2.key") + " keytype=0x80000001\n");
    void* pCtx = nullptr;
    ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, 1, &pCtx));

    // The CKA_ID 41 00 42 is searched as the one byte 41.
    RecordSet set;
    int nCount = 0;
    ASSERT_EQ(QOVA_OK, GetCurrentSessionCertificate(pCtx, &nCount, set.records));
    ASSERT_EQ(2, nCount);
    EXPECT_STREQ("A", set.records[0]->pszCkID);
    loaded.module.ClearLog();
    unsigned char* pbyDer = nullptr;
    int nDer = 0;
    EXPECT_EQ(QOVA_E_NO_OBJECT, ExportDERCertFromP11(set.records[0], &pbyDer, &nDer));
    const auto init = loaded.module.Calls("C_FindObjectsInit");
    ASSERT_EQ(1u, init.size());
    EXPECT_EQ("41", init[0].Field("id"));
    EXPECT_EQ(std::to_string(CKO_CERTIFICATE), init[0].Field("class"));

    // The private key of the SM2 record, once this layer logged in.
    _CERTIFICATE_DATA* pSm2 = set.records[1];
    CK_OBJECT_HANDLE hKey = 0;
    CK_KEY_TYPE ulKeyType = 0;
    loaded.module.ClearLog();
    EXPECT_EQ(QOVA_E_INVALIDARG, AcquireCertificatePrivateKey(pSm2, &hKey, &ulKeyType));
    EXPECT_TRUE(loaded.module.Calls().empty());
    ASSERT_EQ(QOVA_OK, LoginSession(pCtx, PinBytes("1234"), 4));
    ASSERT_EQ(QOVA_OK, AcquireCertificatePrivateKey(pSm2, &hKey, &ulKeyType));
    EXPECT_EQ(0x80000001u, ulKeyType);
    EXPECT_NE(0u, hKey);
    const auto search = loaded.module.Calls("C_FindObjectsInit");
    ASSERT_EQ(1u, search.size());
    EXPECT_EQ(std::to_string(CKO_PRIVATE_KEY), search[0].Field("class"));
    EXPECT_EQ("636f6e742332", search[0].Field("id"));
    EXPECT_EQ(QOVA_E_INVALIDARG, AcquireCertificatePrivateKey(nullptr, &hKey, &ulKeyType));
    EXPECT_EQ(QOVA_OK, LogoutSession(pCtx));
}

TEST(P11Certificate, ExportChecksTheObjectKindAndLength)
{
    struct Case { const char* name; std::string objects; unsigned int code; };
    const Case kCases[] = {
        {"X.509", Cert("x", "rsa1.der"), QOVA_OK},
        {"attribute certificate", Cert("x", "rsa1.der", "type=1"), QOVA_E_P11_NOT_X509},
        {"no certificate type", Cert("x", "rsa1.der") + "hide x CKA_CERTIFICATE_TYPE\n", 0xA0071812u},
        {"value refused", Cert("x", "rsa1.der") + "hide x CKA_VALUE 0x11\n", 0xA0071811u},
        // Hazard: a module's lengths are outside input and must never size an allocation unchecked.
        {"unavailable length answered as success", Cert("x", "rsa1.der") + "badlen x CKA_VALUE -1 0\n",
         0xA0071830u},
        {"read longer than announced", Cert("x", "rsa1.der") + "badlen x CKA_VALUE 10 2000\n", 0xA0071830u},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Loaded loaded("token t 1\n" + c.objects);
        void* pCtx = nullptr;
        ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, 1, &pCtx));
        _CERTIFICATE_DATA record{const_cast<char*>("x"), nullptr, 0, static_cast<SessionCtx*>(pCtx)};
        unsigned char* pbyDer = nullptr;
        int nDer = -1;
        EXPECT_EQ(c.code, ExportDERCertFromP11(&record, &pbyDer, &nDer));
        if (c.code == QOVA_OK) {
            EXPECT_EQ(FixtureDer("rsa1.der"), std::string(reinterpret_cast<char*>(pbyDer), nDer));
            delete[] pbyDer;
        } else {
            EXPECT_EQ(nullptr, pbyDer);
            EXPECT_EQ(-1, nDer);
        }
        EXPECT_EQ(QOVA_E_INVALIDARG, ExportDERCertFromP11(&record, nullptr, &nDer));
        ReleaseSessionContext(pCtx, false);
    }
}

}  // namespace
