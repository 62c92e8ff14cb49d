// The PKCS#11 kernel's trace lines as they reach a log: steps named after the interface function,
// Failed lines with the code and no reason, the kernel's detail texts, and no PIN anywhere.
#include "LogTestUtil.h"
#include "P11KernelTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using namespace p11test;
using p11testbed::TestModule;
using Records = std::vector<std::string>;

const std::string kModule = "[src/P11Kernel/P11Module.cpp(N)";
const std::string kSession = "[src/P11Kernel/P11Session.cpp(N)";
const std::string kCertificate = "[src/P11Kernel/P11Certificate.cpp(N)";
const std::string kSign = "[src/P11Kernel/P11Sign.cpp(N)";

std::string Ok(const std::string& file, const std::string& func, const std::string& step)
{
    return "INFO " + file + "]:(" + func + " -- " + step + ")\t\t--OK\n";
}

std::string Hex8(unsigned long value)
{
    char sz[24];
    snprintf(sz, sizeof(sz), "0x%08lx", value);
    return sz;
}

std::string Failed(const std::string& file, const std::string& func, const std::string& step, unsigned int code)
{
    return "ERROR " + file + ":](" + func + " -- " + step + ")\t\t--Failed:(" + Hex8(code) + ")\n";
}

// Whether `run` stands in `records` as consecutive records.
bool HasRun(const Records& records, const Records& run)
{
    return records.end() != std::search(records.begin(), records.end(), run.begin(), run.end());
}

// The free-form lines only, without the step lines.
Records Details(const Records& records)
{
    Records details;
    for (const std::string& record : records) {
        if (std::string::npos == record.find(")\t\t--"))
            details.push_back(record);
    }
    return details;
}

std::string Join(const Records& records)
{
    std::string text;
    for (const std::string& record : records)
        text += record + "|\n";
    return text;
}

std::string Cert(const std::string& id, const std::string& file, const std::string& options = "")
{
    return "cert " + id + " label " + p11testbed::FixtureFile(file) + (options.empty() ? "" : " " + options) + "\n";
}

class P11TraceTest : public ::testing::Test
{
protected:
    logtest::TraceCapture m_trace;
};

TEST_F(P11TraceTest, ModuleLoadTracesEveryStepAndAFailureClearsUp)
{
    const std::string kLoad = "LoadP11Dylib";
    const std::string kInit = "CkInitialize";
    const std::string kTestModule = p11testbed::TestModulePath();
    struct Case
    {
        const char* name;
        std::string path;
        const char* fixture;
        bool nullList;
        unsigned int code;
        Records steps;  // CkInitialize's steps after its argument checks
    };
    const Case kCases[] = {
        {"missing file", "/nonexistent/libnothing.dylib", "token t 1\n", false, 5,
         {Failed(kModule, kInit, "dlopen...", 5)}},
        {"no C_GetFunctionList", p11testbed::NoListModulePath(), "token t 1\n", false, 0xA0073001u,
         {Ok(kModule, kInit, "dlopen..."), Failed(kModule, kInit, "dlsym C_GetFunctionList.", 0xA0073001u)}},
        {"null function list", kTestModule, "token t 1\n", true, 0xA0073002u,
         {Ok(kModule, kInit, "dlopen..."), Ok(kModule, kInit, "dlsym C_GetFunctionList."),
          Failed(kModule, kInit, "Check function list pointer.", 0xA0073002u)}},
        {"already initialised", kTestModule, "token t 1\nfail C_Initialize 0x191\n", false, 0xA0071991u,
         {Ok(kModule, kInit, "dlopen..."), Ok(kModule, kInit, "dlsym C_GetFunctionList."),
          Ok(kModule, kInit, "Check function list pointer."), Failed(kModule, kInit, "C_Initialize", 0xA0071991u)}},
        {"loaded", kTestModule, "token t 1\n", false, 0,
         {Ok(kModule, kInit, "dlopen..."), Ok(kModule, kInit, "dlsym C_GetFunctionList."),
          Ok(kModule, kInit, "Check function list pointer."), Ok(kModule, kInit, "C_Initialize")}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TestModule module(c.fixture);
        if (c.nullList)
            setenv("TESTP11_NULL_LIST", "1", 1);
        EntryPtr entry = NewEntry(c.path, "Corvel Token CSP");
        m_trace.Mark();
        EXPECT_EQ(c.code, LoadP11Dylib(entry.get()));
        unsetenv("TESTP11_NULL_LIST");

        Records expected = {Ok(kModule, kLoad, "Check DylibInfo"),
                            "INFO CSP: [Corvel Token CSP], P11: [" + c.path + "]", "INFO Module path: " + c.path + ".",
                            Ok(kModule, kInit, "Check pwszModulePath"), Ok(kModule, kInit, "Check phDLLHandle")};
        expected.insert(expected.end(), c.steps.begin(), c.steps.end());
        if (0 == c.code) {
            expected.push_back(Ok(kModule, kLoad, "CKInitalizeEx"));
        } else {
            expected.push_back("ERROR FAILED. Clearup");
            expected.push_back(Failed(kModule, kLoad, "CKInitalizeEx", c.code));
        }
        EXPECT_EQ(expected, m_trace.Records());
    }
}

TEST_F(P11TraceTest, ModuleArgumentChecksAndUnloadLines)
{
    void* hModule = nullptr;
    CK_FUNCTION_LIST* pList = nullptr;
    EXPECT_EQ(QOVA_E_INVALIDARG, CkInitialize(nullptr, &hModule, &pList));
    Records expected = {"INFO Module path: (null).",
                        Failed(kModule, "CkInitialize", "Check pwszModulePath", 0x80070057u),
                        "ERROR FAILED. Clearup"};
    EXPECT_EQ(expected, m_trace.Records());

    m_trace.Mark();
    EXPECT_EQ(QOVA_E_MISSING_ARG, CkUninitialize(&hModule, nullptr));
    EXPECT_EQ(Records{Failed(kModule, "CkUninitialize", "Check pCkFunctionList", 0x80070058u)}, m_trace.Records());

    Loaded loaded("token t 1\n");
    // A second load only names the module again.
    m_trace.Mark();
    EXPECT_EQ(QOVA_OK, LoadP11Dylib(loaded.entry.get()));
    expected = {Ok(kModule, "LoadP11Dylib", "Check DylibInfo"),
                "INFO CSP: [Test CSP], P11: [" + p11testbed::TestModulePath() + "]"};
    EXPECT_EQ(expected, m_trace.Records());

    m_trace.Mark();
    EXPECT_EQ(QOVA_OK, UnLoadP11Dylib(loaded.entry.get()));
    expected = {Ok(kModule, "CkUninitialize", "Check pCkFunctionList"),
                Ok(kModule, "CkUninitialize", "Check phDLLHandle"),
                "INFO C_Finalize return: 0", "INFO CkUninitialize: 0x00000000"};
    EXPECT_EQ(expected, m_trace.Records());
}

// A kernel call on a loaded test module, and the run of lines its failure must write.
struct FailureCase
{
    const char* name;
    std::string fixture;
    std::function<unsigned int(Loaded&)> call;
    unsigned int code;
    Records run;
};

void CheckFailures(logtest::TraceCapture& trace, const std::vector<FailureCase>& cases)
{
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        Loaded loaded(c.fixture);
        trace.Mark();
        EXPECT_EQ(c.code, c.call(loaded));
        const Records records = trace.Records();
        EXPECT_TRUE(HasRun(records, c.run)) << Join(records);
    }
}

void ReleaseContext(void* pCtx)
{
    ReleaseSessionContext(pCtx, false);
}

TEST_F(P11TraceTest, SessionFailuresNameTheFunctionThatFailed)
{
    const std::string kTwoTokens = "token tokA 1111\ntoken tokB 2222\n";
    const std::vector<FailureCase> kCases = {
        {"first listing call", kTwoTokens + "fail C_GetSlotList 0x30\n",
         [](Loaded& l) {
             CK_SLOT_ID* pSlots = nullptr;
             CK_ULONG ulCount = 0;
             return GetSlotListEx(l.List(), &pSlots, &ulCount);
         },
         0xA0071830u,
         {"INFO C_GetSlotList ulRetCode 48.", Failed(kSession, "GetSlotListEx", "C_GetSlotList(1)", 0xA0071830u)}},
        {"second listing call", kTwoTokens + "fail C_GetSlotList 0x150 after=1\n",
         [](Loaded& l) {
             CK_SLOT_ID ulSlot = 0;
             return GetFirstSlot(l.List(), &ulSlot);
         },
         0xA0071950u,
         {"INFO Slot count: 2", Ok(kSession, "GetFirstSlot", "Check slot count"),
          Ok(kSession, "GetFirstSlot", "new slot list"),
          Failed(kSession, "GetFirstSlot", "C_GetSlotList(2)", 0xA0071950u)}},
        {"no token", "emptyslot\n",
         [](Loaded& l) {
             CK_SLOT_ID ulSlot = 0;
             return GetFirstSlot(l.List(), &ulSlot);
         },
         0xE0u, {"INFO Slot count: 0", Failed(kSession, "GetFirstSlot", "No token present", 0xE0u)}},
        {"slot without description is skipped", kTwoTokens + "fail C_GetSlotInfo 0x30 slot=1\n",
         [](Loaded& l) {
             std::vector<_SLOT_STRUCT> slots;
             std::vector<_TOKEN_STRUCT> tokens;
             return CryptoGetDeviceInfo(l.entry.get(), nullptr, slots, tokens);
         },
         0, {"INFO Slot index: 0, slotID 1", "INFO C_GetSlotInfo[0] ulRetCode 48.", "INFO Slot index: 1, slotID 2"}},
        {"token without description", kTwoTokens + "fail C_GetTokenInfo 0x30 slot=2\n",
         [](Loaded& l) {
             std::vector<_SLOT_STRUCT> slots;
             std::vector<_TOKEN_STRUCT> tokens;
             return CryptoGetDeviceInfo(l.entry.get(), nullptr, slots, tokens);
         },
         0xA0071830u,
         {"INFO Slot index: 1, slotID 2", Failed(kSession, "CryptoGetDeviceInfo", "C_GetTokenInfo", 0xA0071830u),
          "ERROR FAILED. Clearup"}},
        {"unloaded module", kTwoTokens,
         [](Loaded& l) {
             UnLoadP11Dylib(l.entry.get());
             std::vector<_SLOT_STRUCT> slots;
             std::vector<_TOKEN_STRUCT> tokens;
             return CryptoGetDeviceInfo(l.entry.get(), nullptr, slots, tokens);
         },
         0xA0073005u,
         {Ok(kSession, "CryptoGetDeviceInfo", "Check pDylibInfo"),
          "INFO P11 lib: " + p11testbed::TestModulePath(),
          Failed(kSession, "CryptoGetDeviceInfo", "Check pDylibInfo state", 0xA0073005u), "ERROR FAILED. Clearup"}},
        {"session on an unloaded module", kTwoTokens,
         [](Loaded& l) {
             UnLoadP11Dylib(l.entry.get());
             void* pCtx = nullptr;
             return AcquireContext(l.entry.get(), nullptr, 0, 1, &pCtx);
         },
         0xA0073005u, {Failed(kSession, "AcquireContext", "Check P11DylibInfo", 0xA0073005u)}},
        {"wrong PIN while opening", kTwoTokens,
         [](Loaded& l) {
             void* pCtx = nullptr;
             return AcquireContext(l.entry.get(), PinBytes("9999"), 4, 2, &pCtx);
         },
         0xA00718A0u,
         {"INFO nSlotID is 2", "INFO ulSlotID is 2", Ok(kSession, "CKCreateSession", "Check pCkFunctionList"),
          Ok(kSession, "CKCreateSession", "Check pbyPIN"), Ok(kSession, "CKCreateSession", "C_OpenSession"),
          Failed(kSession, "CKCreateSession", "C_Login", 0xA00718A0u),
          Failed(kSession, "AcquireContext", "CKCreateSession", 0xA00718A0u)}},
        {"second login", kTwoTokens,
         [](Loaded& l) {
             void* pCtx = nullptr;
             EXPECT_EQ(QOVA_OK, AcquireContext(l.entry.get(), PinBytes("1111"), 4, 1, &pCtx));
             const unsigned int code = LoginSession(pCtx, PinBytes("1111"), 4);
             ReleaseContext(pCtx);
             return code;
         },
         0xA0071900u,
         {Ok(kSession, "LoginSession", "Check pP11SeesionCtx"), Ok(kSession, "LoginSession", "Check pP11DylibInfo"),
          Ok(kSession, "LoginSession", "Check pbyPIN"), Failed(kSession, "LoginSession", "C_Login", 0xA0071900u),
          // The context is released logged in: log out, then close.
          "INFO reference cert count: 0", Ok(kSession, "CKCloseSession", "Check pCkFunctionList"),
          "INFO Login session", "INFO C_Logout: 0x00000000", "INFO C_CloseSession: 0x00000000"}},
        {"logout without context", kTwoTokens, [](Loaded&) { return LogoutSession(nullptr); }, 0x80070057u,
         {Failed(kSession, "LogoutSession", "Check pP11SeesionCtx", 0x80070057u)}},
    };
    CheckFailures(m_trace, kCases);
}

TEST_F(P11TraceTest, CertificateFailuresNameTheFunctionThatFailed)
{
    const std::string kToken = "token tokA 1111\n" + Cert("c1", "rsa1.der") + Cert("c2", "rsa2.der", "type=1");
    // A session of the first token, from the enumeration; released with the records.
    struct Session
    {
        RecordSet set;
        CK_SESSION_HANDLE Handle(Loaded& l)
        {
            EXPECT_EQ(QOVA_OK, GetAllCertDataFromDevices(l.entry.get(), set.records));
            return set.records.empty() ? 0 : set.records[0]->pstSessionCtx->hSession;
        }
    };
    const std::vector<FailureCase> kCases = {
        {"no object with the ID", kToken,
         [](Loaded& l) {
             Session s;
             const CK_SESSION_HANDLE h = s.Handle(l);
             CK_OBJECT_HANDLE hObject = 0;
             return CkGetSpecifiedObjectByCkID(l.List(), h, PinBytes("none"), CKO_PRIVATE_KEY, &hObject);
         },
         0x8009002Au,
         {"INFO The ulObjectType to find is 3, the ckid to find is none",
          Ok(kCertificate, "CkGetSpecifiedObjectByCkID", "C_FindObjectsInit"),
          Ok(kCertificate, "CkGetSpecifiedObjectByCkID", "C_FindObjects"),
          Failed(kCertificate, "CkGetSpecifiedObjectByCkID", "Check ulObjectCount <= 0", 0x8009002Au),
          "INFO C_FindObjectsFinal return: 0"}},
        {"class not supported", kToken,
         [](Loaded& l) {
             Session s;
             const CK_SESSION_HANDLE h = s.Handle(l);
             CK_OBJECT_HANDLE hObject = 0;
             return CkGetSpecifiedObjectByCkID(l.List(), h, PinBytes("c1"), CKO_SECRET_KEY, &hObject);
         },
         0xA0071854u,
         {Failed(kCertificate, "CkGetSpecifiedObjectByCkID", "Only support asym public-key private-key and certificate",
                 0xA0071854u)}},
        {"certificate not X.509", kToken,
         [](Loaded& l) {
             Session s;
             const CK_SESSION_HANDLE h = s.Handle(l);
             CK_OBJECT_HANDLE hObject = 0;
             EXPECT_EQ(QOVA_OK, CkGetSpecifiedObjectByCkID(l.List(), h, PinBytes("c2"), CKO_CERTIFICATE, &hObject));
             unsigned char* pbyCert = nullptr;
             CK_ULONG ulSize = 0;
             return CkExportCertificate(l.List(), h, hObject, &pbyCert, &ulSize);
         },
         0xA0071863u,
         {Ok(kCertificate, "CkExportCertificate", "C_GetAttributeValue(class)"),
          Ok(kCertificate, "CkExportCertificate", "Check ulObjectClass CKO_CERTIFICATE"),
          Failed(kCertificate, "CkExportCertificate", "Check ulCertificateType CKC_X_509", 0xA0071863u)}},
        {"key of a session never logged in", kToken,
         [](Loaded& l) {
             Session s;
             s.Handle(l);
             CK_OBJECT_HANDLE hKey = 0;
             CK_KEY_TYPE ulType = 0;
             return AcquireCertificatePrivateKey(s.set.records[0], &hKey, &ulType);
         },
         0x80070057u,
         {Ok(kCertificate, "AcquireCertificatePrivateKey", "Check pCertData"), "INFO CKID: c1",
          Ok(kCertificate, "AcquireCertificatePrivateKey", "Check phPrivateKey"),
          Failed(kCertificate, "AcquireCertificatePrivateKey", "Check pSessionCtx", 0x80070057u)}},
        {"certificate gone from the token", kToken,
         [](Loaded& l) {
             Session s;
             s.Handle(l);
             // The record now names an ID the token does not hold.
             s.set.records[0]->pszCkID[0] = 'x';
             unsigned char* pbyCert = nullptr;
             int nSize = 0;
             return ExportDERCertFromP11(s.set.records[0], &pbyCert, &nSize);
         },
         0x8009002Au,
         {"INFO C_FindObjectsFinal return: 0",
          Failed(kCertificate, "ExportDERCertFromP11", "CkGetSpecifiedObjectByCkID for certificate", 0x8009002Au)}},
        {"attributes of an object cannot be read", "token tokA 1111\n" + Cert("c1", "rsa1.der") + "hide c1 CKA_VALUE\n",
         [](Loaded& l) {
             RecordSet set;
             return GetAllCertDataFromDevices(l.entry.get(), set.records);
         },
         0,
         {Ok(kCertificate, "CKEnumCertificateAttr", "C_FindObjects"), "INFO ulObjectCount: 1",
          Ok(kCertificate, "CKEnumCertificateAttr", "Check ObjectCount"),
          Failed(kCertificate, "CKEnumCertificateAttr", "C_GetAttributeValue(CKA_VALUE 1)", 0xA0071812u),
          "INFO CKEnumCertificateAttr: 0xa0071812", "INFO C_FindObjectsFinal return: 0",
          "INFO GetCurrentSessionCertificate: 0x00000000", "INFO Current device Certificate count: 0",
          "INFO Current total Certificate counts: 0", "INFO reference cert count: 0"}},
    };
    CheckFailures(m_trace, kCases);
}

TEST_F(P11TraceTest, EnumerationDetailsFollowTheTokens)
{
    // One token with a certificate, one without: the second session is closed at once.
    Loaded loaded("token tokA 1111\n" + Cert("c1", "rsa1.der") + "token tokB 2222\n");
    RecordSet set;
    m_trace.Mark();
    ASSERT_EQ(QOVA_OK, GetAllCertDataFromDevices(loaded.entry.get(), set.records));
    ASSERT_EQ(1u, set.records.size());
    const Records details = Details(m_trace.Records());
    const Records kFirst = {"INFO slot count: 2, token count: 2", "INFO nSlotID is 1", "INFO ulSlotID is 1"};
    const Records kFirstDone = {"INFO ulObjectCount: 1", "INFO ulObjectCount: 0",
                                "INFO CKEnumCertificateAttr: 0x8009002a",
                                "INFO C_FindObjectsFinal return: 0", "INFO GetCurrentSessionCertificate: 0x00000000",
                                "INFO Current device Certificate count: 1", "INFO Current total Certificate counts: 1",
                                "INFO nSlotID is 2"};
    const Records kSecondDone = {"INFO ulObjectCount: 0", "INFO CKEnumCertificateAttr: 0x8009002a",
                                 "INFO C_FindObjectsFinal return: 0", "INFO GetCurrentSessionCertificate: 0x00000000",
                                 "INFO Current device Certificate count: 0", "INFO Current total Certificate counts: 1",
                                 "INFO reference cert count: 0"};
    EXPECT_TRUE(HasRun(details, kFirst)) << Join(details);
    EXPECT_TRUE(HasRun(details, kFirstDone)) << Join(details);
    EXPECT_TRUE(HasRun(details, kSecondDone)) << Join(details);
    EXPECT_EQ("INFO C_CloseSession: 0x00000000", details.back());
}

TEST_F(P11TraceTest, TokenIdCannotForgeLogLines)
{
    // A CKA_ID is the token's text; a line break in it must not start a line of its own.
    Loaded loaded("token tokA 1111\n" + Cert("hex:410a4552524f52", "rsa1.der"));
    RecordSet set;
    ASSERT_EQ(QOVA_OK, GetAllCertDataFromDevices(loaded.entry.get(), set.records));
    ASSERT_EQ(1u, set.records.size());
    ASSERT_EQ(QOVA_OK, LoginSession(set.records[0]->pstSessionCtx, PinBytes("1111"), 4));
    m_trace.Mark();
    CK_OBJECT_HANDLE hKey = 0;
    CK_KEY_TYPE ulType = 0;
    EXPECT_EQ(0x8009002Au, AcquireCertificatePrivateKey(set.records[0], &hKey, &ulType));
    const Records details = Details(m_trace.Records());
    const Records kExpected = {"INFO CKID: A\\nERROR",
                               "INFO Session handle: " + Hex8(set.records[0]->pstSessionCtx->hSession),
                               "INFO The ulObjectType to find is 3, the ckid to find is A\\nERROR",
                               "INFO C_FindObjectsFinal return: 0"};
    EXPECT_EQ(kExpected, details);
}

TEST_F(P11TraceTest, ContainerNameCannotForgeLogLines)
{
    // A container name comes from the caller; a line break in it must not start a line of its own.
    Loaded loaded("token t 1\n");
    m_trace.Mark();
    void* pCtx = nullptr;
    EXPECT_EQ(QOVA_E_BAD_KEYSET, AcquireContextbyContainer(loaded.entry.get(), "c\nERROR", 1, &pCtx));
    const Records details = Details(m_trace.Records());
    ASSERT_FALSE(details.empty());
    EXPECT_EQ("INFO ContainerName: [c\\nERROR], KeyUsage: [1]", details[0]);
    const std::string kContainer = "[src/P11Kernel/P11Container.cpp(N)";
    EXPECT_EQ(Failed(kContainer, "AcquireContextbyContainer", "AcquireContextbyContainer", QOVA_E_BAD_KEYSET),
              m_trace.Records().back());
}

// Secrets: the PIN goes to the token and nowhere else.
TEST_F(P11TraceTest, NoPinInAnyTraceLine)
{
    const std::string kPin = "Pin-7c41-Secret";
    const std::string kWrongPin = "Wrong-9e0d-Guess";
    auto Check = [&](const std::string& pin) {
        const std::string log = m_trace.Raw();
        EXPECT_EQ(std::string::npos, log.find(pin)) << pin;
        const std::string hex = testutil::BytesToHex(reinterpret_cast<const unsigned char*>(pin.data()), pin.size());
        std::string upper = hex;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        EXPECT_EQ(std::string::npos, log.find(hex)) << hex;
        EXPECT_EQ(std::string::npos, log.find(upper)) << upper;
    };
    {
        Loaded loaded("token tokA " + kPin + "\n" + Cert("c1", "rsa1.der"));
        const int nPin = static_cast<int>(kPin.size());
        const int nWrong = static_cast<int>(kWrongPin.size());
        void* pCtx = nullptr;
        EXPECT_EQ(0xA00718A0u, AcquireContext(loaded.entry.get(), PinBytes(kWrongPin), nWrong, 1, &pCtx));
        ASSERT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), PinBytes(kPin), nPin, 1, &pCtx));
        ReleaseContext(pCtx);
        EXPECT_EQ(QOVA_OK, CKCreateSession(loaded.List(), PinBytes(kPin), nPin, 1, nullptr, nullptr));

        RecordSet set;
        ASSERT_EQ(QOVA_OK, GetAllCertDataFromDevices(loaded.entry.get(), set.records));
        ASSERT_EQ(1u, set.records.size());
        void* pRecordCtx = set.records[0]->pstSessionCtx;
        EXPECT_EQ(0xA00718A0u, LoginSession(pRecordCtx, PinBytes(kWrongPin), nWrong));
        EXPECT_EQ(QOVA_OK, LoginSession(pRecordCtx, PinBytes(kPin), nPin));
        EXPECT_EQ(0xA0071900u, LoginSession(pRecordCtx, PinBytes(kPin), nPin));
        EXPECT_EQ(QOVA_OK, LogoutSession(pRecordCtx));
    }
    ASSERT_NE(std::string::npos, m_trace.Raw().find("C_Login"));  // the logins were traced
    Check(kPin);
    Check(kWrongPin);

    // The same on a real token, with the fixture tokens' PIN.
    p11testbed::SoftHsmTokens softhsm;
    if (!softhsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    EntryPtr entry = NewEntry(p11testbed::SoftHsmModulePath(), "SoftHSM");
    ASSERT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));
    {
        RecordSet set;
        ASSERT_EQ(QOVA_OK, GetAllCertDataFromDevices(entry.get(), set.records));
        auto found = std::find_if(set.records.begin(), set.records.end(),
                                  [](const _CERTIFICATE_DATA* r) { return std::string("cont1#2") == r->pszCkID; });
        ASSERT_NE(set.records.end(), found);
        const std::string& pin = p11testbed::kDefaultPin;
        const int nPin = static_cast<int>(pin.size());
        EXPECT_EQ(0xA00718A0u, LoginSession((*found)->pstSessionCtx, PinBytes("\x01\x08" "00000000"), nPin));
        EXPECT_EQ(QOVA_OK, LoginSession((*found)->pstSessionCtx, PinBytes(pin), nPin));
        CK_OBJECT_HANDLE hKey = 0;
        CK_KEY_TYPE ulType = 0;
        EXPECT_EQ(QOVA_OK, AcquireCertificatePrivateKey(*found, &hKey, &ulType));
    }
    Check(p11testbed::kDefaultPin.substr(2));
}

TEST_F(P11TraceTest, SigningStepsNameTheOperationAndTheChunks)
{
    Loaded loaded("token t 1234\nsm2key k key " + p11testbed::FixtureFile("sm2.key") + "\n");
    KeySession key(loaded.entry.get(), "t", "1234", "k");
    ASSERT_TRUE(key.Ready());
    const std::string kSession = Hex8(key.Session());

    // A hash of the wrong length is refused in the operation's name, before the token is touched.
    unsigned char byHash[20] = {0};
    Output sig;
    m_trace.Mark();
    EXPECT_EQ(7u, CryptoSM2SignHash(key.pCtx, key.hPrivate, QOVA_CALG_SM3, byHash, 20, &sig.data, &sig.size));
    const Records kRefused = {Ok(kSign, "CryptoSM2SignHash", "Only support SM3 sign hash"),
                              Failed(kSign, "CryptoSM2SignHash", "Check ulHashLen(CALG_SM3)", 7)};
    EXPECT_TRUE(HasRun(m_trace.Records(), kRefused)) << Join(m_trace.Records());

    // A chunk and a bit: one full read, a last read of what remains, then the final's two calls.
    testutil::ScopedTempDir dir;
    testutil::WriteFile(dir.File("f"), std::string(16400, 'x'));
    FILE* file = fopen(dir.File("f").c_str(), "rb");
    ASSERT_NE(nullptr, file);
    m_trace.Mark();
    EXPECT_EQ(QOVA_OK, CryptoSM2SignFile(key.pCtx, key.hPrivate, QOVA_CALG_SM3, 1, file, 16400, &sig.data, &sig.size));
    fclose(file);
    const std::string kHandle = "INFO Session handle: " + kSession;
    const Records kChunks = {"INFO Once read size: 16384", kHandle, "INFO ulPartLen: 16384",
                             "INFO C_SignUpdate ulRetCode is 0.", "INFO Last read size: 16", kHandle,
                             "INFO ulPartLen: 16", "INFO C_SignUpdate ulRetCode is 0.", kHandle,
                             "INFO C_SignFinal ulRetCode is 0.", "INFO pulSignatureLen: 72",
                             "INFO ulSignatureLen: 72", kHandle, "INFO C_SignFinal ulRetCode is 0.",
                             "INFO pulSignatureLen: " + std::to_string(sig.size)};
    const Records details = Details(m_trace.Records());
    EXPECT_TRUE(HasRun(details, kChunks)) << Join(details);
}

// Secrets: a decrypted key reaches the caller and nothing else.
TEST_F(P11TraceTest, NoDecryptedKeyInAnyTraceLine)
{
    const std::string kKey = "Key-5b1e-Secret!";
    Loaded loaded("token t 1234\nsm2key k key " + p11testbed::FixtureFile("sm2.key") + "\n");
    KeySession key(loaded.entry.get(), "t", "1234", "k");
    ASSERT_TRUE(key.Ready());
    testutil::ScopedTempDir dir;
    testutil::WriteFile(dir.File("key"), kKey);
    ASSERT_TRUE(Openssl("pkeyutl -encrypt -pubin -inkey " + p11testbed::FixtureFile("sm2pub.pem") + " -in " +
                        dir.File("key") + " -out " + dir.File("env")));
    const std::string envelope = testutil::ReadFileOrEmpty(dir.File("env"));

    m_trace.Mark();
    Output plain;
    ASSERT_EQ(QOVA_OK, CryptoDecryptMsg(key.pCtx, key.hPrivate, QOVA_CKM_SM2_DECRYPT, Bytes(envelope),
                                        envelope.size(), &plain.data, &plain.size));
    EXPECT_EQ(kKey, plain.Str());
    const std::string log = m_trace.Raw();
    ASSERT_NE(std::string::npos, log.find("CryptoDecryptMsg -- CkDecrypt for data"));
    ASSERT_NE(std::string::npos, log.find("INFO pulDataLen 16"));
    std::string hex = testutil::BytesToHex(Bytes(kKey), kKey.size());
    EXPECT_EQ(std::string::npos, log.find(kKey));
    EXPECT_EQ(std::string::npos, log.find(hex));
    std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
    EXPECT_EQ(std::string::npos, log.find(hex));
}

}  // namespace
