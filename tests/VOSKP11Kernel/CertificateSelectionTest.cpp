// Certificate retrieval, filtering and selection over real tokens (SoftHSM2, behind opensc's call
// spy where the sessions are counted) and the test module (fixed slot and object order).
#include "SelectionTestSupport.h"

#include "ModuleSigning.h"
#include "P11Certificate.h"
#include "P11Module.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <functional>

namespace {

using namespace selecttest;
using sessiontrace::ReadModuleLog;
using sessiontrace::ReadSpyLog;

// One row of the certificate window as the selection offered it.
struct Row
{
    std::string name;    // fixture name (or the subject text)
    std::string issuer;
    std::string der;
};

// Every call of the certificate window in this test, and how the window answers (null: the dialog
// library answers).
std::vector<std::vector<Row>> g_windows;
std::function<int(const std::vector<Row>&)> g_answer;

std::vector<std::string> Names(const std::vector<Row>& rows)
{
    std::vector<std::string> names;
    for (const Row& row : rows) names.push_back(row.name);
    return names;
}

std::string DerOf(const std::string& name)
{
    return testutil::ReadFileOrEmpty(Der(name));
}

std::string Handle(const _CERTIFICATE_INFO* info, const char* format)
{
    char text[32];
    snprintf(text, sizeof(text), format, static_cast<unsigned long>(info->pCertData->pstSessionCtx->hSession));
    return text;
}

}  // namespace

// This executable's own GetSelectCert comes before the dialog library's, so that a test decides how
// the window answers and sees the rows it was offered. Without an answer the library's runs.
extern "C" int GetSelectCert(const CertDisplayRecord* const* ppCertRecords)
{
    std::vector<Row> rows;
    for (const CertDisplayRecord* const* pp = ppCertRecords; *pp; ++pp) {
        const CertDisplayRecord& r = **pp;
        rows.push_back({NameOf(r.pszSubjectDN), r.pszIssuerDN ? r.pszIssuerDN : "(null)",
                        r.stCertData.pbyData ? std::string(reinterpret_cast<const char*>(r.stCertData.pbyData),
                                                           static_cast<size_t>(r.stCertData.lDataSize))
                                             : std::string()});
    }
    g_windows.push_back(rows);
    if (g_answer) return g_answer(rows);
    using Entry = int (*)(const CertDisplayRecord* const*);
    static const Entry library = reinterpret_cast<Entry>(dlsym(RTLD_NEXT, "GetSelectCert"));
    return library ? library(ppCertRecords) : -1;
}

namespace {

// A filter whose texts live as long as the object; empty texts stay null.
struct Filter
{
    std::string subject, issuer, keyId, serial, alg;
    int type = 0;
    time_t time = 0;

    Filter& Subject(std::string s) { subject = std::move(s); return *this; }
    Filter& Issuer(std::string s) { issuer = std::move(s); return *this; }
    Filter& KeyId(std::string s) { keyId = std::move(s); return *this; }
    Filter& Serial(std::string s) { serial = std::move(s); return *this; }
    Filter& Alg(std::string s) { alg = std::move(s); return *this; }
    Filter& Type(int t) { type = t; return *this; }
    Filter& Time(time_t t) { time = t; return *this; }

    _CERT_FILTER Get() const
    {
        auto text = [](const std::string& s) { return s.empty() ? nullptr : const_cast<char*>(s.c_str()); };
        return {text(subject), text(issuer), text(keyId), text(serial), text(alg), type, time};
    }
};

struct Selection
{
    unsigned int code = 0;
    CertInfoPtr chosen;
};

Selection Select(const ModuleList& list, const Filter& filter)
{
    _CERT_FILTER f = filter.Get();
    _CERTIFICATE_INFO* info = nullptr;
    Selection s;
    s.code = SelectCertificatefromCSPList(list.Head(), &f, &info);
    s.chosen.reset(info);
    return s;
}

class SelectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_windows.clear();
        g_answer = [](const std::vector<Row>&) { return 0; };
    }
};

// opensc's spy in SoftHSM2's place, loaded for the whole process: it keeps its function lists, and
// held loaded its frames can be named (and suppressed). It writes to the log it opened first, so a
// test reads the log from where it stood when the test began.
class Spy
{
public:
    bool Ready()
    {
        static testutil::ScopedTempDir s_dir;
        static void* const s_spyHeld =
            testutil::FileExists(PKCS11_SPY_PATH) ? dlopen(PKCS11_SPY_PATH, RTLD_NOW) : nullptr;
        m_log = s_dir.File("spy.log");
        m_start = testutil::ReadFileOrEmpty(m_log).size();
        setenv("PKCS11SPY", p11testbed::SoftHsmModulePath().c_str(), 1);
        setenv("PKCS11SPY_OUTPUT", m_log.c_str(), 1);
        return nullptr != s_spyHeld;
    }
    SessionTrace Read() const { return ReadSpyLog(m_log, m_start); }

private:
    std::string m_log;
    size_t m_start = 0;
};

TEST_F(SelectionTest, EachFilterFieldAloneAndCombinedSelectsExactlyItsCertificatesOnTwoSoftHsmTokens)
{
    p11testbed::SoftHsmTokens tokens(TemplateTokens());
    if (!tokens.Ready()) GTEST_SKIP() << "SoftHSM2 not installed";
    ModuleList list({{"SoftHSM", p11testbed::SoftHsmModulePath()}});

    const std::vector<std::string> kAll = {"sig1", "enc1", "sm2", "both", "plain"};
    struct Case
    {
        const char* name;
        Filter filter;
        std::vector<std::string> expected;
    };
    const Case kCases[] = {
        {"empty filter", Filter(), kAll},
        {"subject in other case", Filter().Subject("alice"), {"sig1", "enc1"}},
        {"subject, second alternative in other case", Filter().Subject("nobody#BETA LTD"), {"both", "plain"}},
        {"subject of separators only", Filter().Subject("#"), kAll},
        {"subject nobody has", Filter().Subject("nobody"), {}},
        {"one subject, no window", Filter().Subject("ALICE SIGNER"), {"sig1"}},
        {"issuer", Filter().Issuer("varnell root"), {"sig1", "enc1"}},
        {"issuer alternatives", Filter().Issuer("other issuing ca#SM2 SIGNER"), {"both", "plain", "sm2"}},
        {"serial in lowercase", Filter().Serial("00c0ffee"), {"both"}},
        {"serial without its leading 00", Filter().Serial("C0FFEE"), {}},
        {"key identifier", Filter().KeyId("ABCDEF0123456789ABCDEF0123456789ABCDEF01"), {"both"}},
        {"key identifier in lowercase", Filter().KeyId("abcdef0123456789abcdef0123456789abcdef01"), {}},
        {"algorithm prefix", Filter().Alg("1.2.840.113549.1.1"), {"sig1", "enc1", "both", "plain"}},
        {"sha256WithRSAEncryption", Filter().Alg("1.2.840.113549.1.1.11"), {"sig1", "enc1"}},
        {"SM2 with SM3", Filter().Alg("1.2.156.10197.1.501"), {"sm2"}},
        {"ECDSA", Filter().Alg("1.2.840.10045"), {}},
        {"encryption: keyEncipherment", Filter().Type(1), {"enc1", "both"}},
        {"signing: digitalSignature", Filter().Type(2), {"sig1", "sm2", "both"}},
        {"another type: no key-usage test", Filter().Type(3), kAll},
        {"time equal to a notAfter", Filter().Time(Utc(2022, 1, 1)), {"sig1", "enc1", "both", "plain"}},
        {"one second after it", Filter().Time(Utc(2022, 1, 1, 0, 0, 1)), {"sig1", "enc1", "both"}},
        {"time equal to a notBefore", Filter().Time(Utc(2021, 6, 1)), {"sig1", "enc1", "both", "plain"}},
        {"one second before it", Filter().Time(Utc(2021, 5, 31, 23, 59, 59)), {"sig1", "enc1", "plain"}},
        {"far ahead", Filter().Time(Utc(2035, 1, 1)), {"sig1", "enc1"}},
        {"subject and signing", Filter().Subject("beta").Type(2), {"both"}},
        {"issuer, encryption and time", Filter().Issuer("varnell").Type(1).Time(Utc(2035, 1, 1)), {"enc1"}},
        {"subject, algorithm and serial", Filter().Subject("acme").Alg("1.2.156").Serial("5e"), {"sm2"}},
        {"serial of an expired certificate", Filter().Serial("7f").Time(Utc(2030, 1, 1)), {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        g_windows.clear();
        list.Load();
        ASSERT_EQ(1, list.Entry(0)->bLoaded);
        Selection s = Select(list, c.filter);
        list.Unload();
        if (c.expected.empty()) {
            EXPECT_EQ(QOVA_E_NO_CERT, s.code);
            EXPECT_FALSE(s.chosen);
            EXPECT_TRUE(g_windows.empty());
        } else {
            ASSERT_EQ(QOVA_OK, s.code);
            ASSERT_TRUE(s.chosen);
            if (1 == c.expected.size()) {
                EXPECT_TRUE(g_windows.empty());
                EXPECT_EQ(c.expected[0], NameOf(s.chosen->pszSubjectDN));
            } else {
                ASSERT_EQ(1u, g_windows.size());
                EXPECT_EQ(Sorted(c.expected), Sorted(Names(g_windows[0])));
                EXPECT_EQ(g_windows[0][0].name, NameOf(s.chosen->pszSubjectDN));
                EXPECT_EQ(DerOf(g_windows[0][0].name), g_windows[0][0].der);
            }
            // The chosen record's session keeps its module loaded until the record goes.
            EXPECT_EQ(1, list.Entry(0)->bLoaded);
            EXPECT_EQ(1u, list.Entry(0)->nSessionCount);
        }
        s.chosen.reset();
        EXPECT_EQ(0, list.Entry(0)->bLoaded);
    }
}

// The window shows the rows in module, token and object order; the chosen row's record keeps its
// session, every other session is closed, and the module without a chosen record is finalised.
TEST_F(SelectionTest, ChosenRecordKeepsOnlyItsSessionAndOtherModulesAreFinalised)
{
    p11testbed::SoftHsmTokens tokens(TemplateTokens());
    Spy spy;
    if (!tokens.Ready() || !spy.Ready()) GTEST_SKIP() << "SoftHSM2 or opensc's pkcs11-spy missing";
    p11testbed::TestModule module("token t1 1234\ncert x1 x1 " + Der("sig1") + "\ncert x3 x3 " + Der("both") +
                                  "\ntoken t2 1234\ncert x2 x2 " + Der("enc1") + "\n");
    ModuleList list({{"SoftHSM", PKCS11_SPY_PATH}, {"Test CSP", p11testbed::TestModulePath()}});
    list.Load();
    g_answer = [](const std::vector<Row>& rows) { return static_cast<int>(rows.size()) - 1; };

    Selection s = Select(list, Filter().Subject("alice"));
    list.Unload();
    ASSERT_EQ(QOVA_OK, s.code);
    ASSERT_EQ(1u, g_windows.size());
    const std::vector<std::string> names = Names(g_windows[0]);
    ASSERT_EQ(4u, names.size());
    EXPECT_EQ((std::vector<std::string>{"enc1", "sig1"}), Sorted({names[0], names[1]}));  // SoftHSM2's own order
    EXPECT_EQ("sig1", names[2]);                                                           // t1
    EXPECT_EQ("enc1", names[3]);                                                           // t2
    EXPECT_STREQ("Test CSP", s.chosen->pszCSPName);
    EXPECT_EQ(list.Path(1), s.chosen->pszP11Path);
    EXPECT_STREQ("x2", s.chosen->pCertData->pszCkID);

    const SessionTrace softHsm = spy.Read();
    EXPECT_EQ(2u, softHsm.sessions.size());  // tokA and tokB; the uninitialised token opens none
    EXPECT_TRUE(softHsm.EachClosedOnce());
    EXPECT_TRUE(softHsm.finalizeLast);
    EXPECT_EQ(0, list.Entry(0)->bLoaded);
    SessionTrace calls = ReadModuleLog(module);
    ASSERT_EQ(2u, calls.sessions.size());
    ASSERT_EQ(1u, calls.Open().size());
    EXPECT_EQ("2", calls.Open()[0].slot);
    EXPECT_EQ(Handle(s.chosen.get(), "%lu"), calls.Open()[0].handle);
    EXPECT_EQ(0, calls.finalizes);
    EXPECT_EQ(1, list.Entry(1)->bLoaded);

    s.chosen.reset();
    calls = ReadModuleLog(module);
    EXPECT_TRUE(calls.EachClosedOnce());
    EXPECT_TRUE(calls.finalizeLast);
    EXPECT_EQ(0, list.Entry(1)->bLoaded);
}

TEST_F(SelectionTest, ModuleWithoutCertificatesIsUnloadedDuringRetrievalWhileTheOthersStay)
{
    p11testbed::SoftHsmTokens tokens(TemplateTokens());
    Spy spy;
    if (!tokens.Ready() || !spy.Ready()) GTEST_SKIP() << "SoftHSM2 or opensc's pkcs11-spy missing";
    p11testbed::TestModule module("token empty 1234\n");
    ModuleList list({{"Test CSP", p11testbed::TestModulePath()}, {"SoftHSM", PKCS11_SPY_PATH}});
    list.Load();
    bool emptyUnloaded = false, softHsmLoaded = false;
    g_answer = [&](const std::vector<Row>& rows) {
        emptyUnloaded = 0 == list.Entry(0)->bLoaded && 1 == ReadModuleLog(module).finalizes;
        softHsmLoaded = 1 == list.Entry(1)->bLoaded;
        const auto it = std::find_if(rows.begin(), rows.end(), [](const Row& r) { return "sm2" == r.name; });
        return static_cast<int>(it - rows.begin());
    };

    Selection s = Select(list, Filter().Subject("acme"));
    list.Unload();
    ASSERT_EQ(QOVA_OK, s.code);
    ASSERT_EQ(1u, g_windows.size());
    EXPECT_EQ((std::vector<std::string>{"enc1", "sig1", "sm2"}), Sorted(Names(g_windows[0])));
    EXPECT_TRUE(emptyUnloaded);
    EXPECT_TRUE(softHsmLoaded);
    EXPECT_EQ("sm2", NameOf(s.chosen->pszSubjectDN));
    EXPECT_STREQ("SoftHSM", s.chosen->pszCSPName);

    SessionTrace softHsm = spy.Read();
    ASSERT_EQ(1u, softHsm.Open().size());  // tokA's, which the record holds; tokB's is closed
    EXPECT_EQ(Handle(s.chosen.get(), "0x%lx"), softHsm.Open()[0].handle);
    EXPECT_EQ(0, softHsm.finalizes);
    EXPECT_EQ(1, list.Entry(1)->bLoaded);

    s.chosen.reset();
    softHsm = spy.Read();
    EXPECT_TRUE(softHsm.EachClosedOnce());
    EXPECT_TRUE(softHsm.finalizeLast);
    EXPECT_EQ(0, list.Entry(1)->bLoaded);
}

// Two signed modules, each loaded from the file that was verified: both offer their certificates in
// one selection, and again in a second selection made while a record of the first module is
// selected. Each module's file must stay its own while the module is in the process (the second one
// stays resident after it is closed), or the second module would be taken for the first or refused.
TEST_F(SelectionTest, TwoSignedModulesOfferTheirCertificatesInEverySelection)
{
    p11testbed::SoftHsmTokens tokens(TemplateTokens());
    if (!tokens.Ready()) GTEST_SKIP() << "SoftHSM2 not installed";
    p11testbed::TestModule module("token t1 1234\ncert x1 x1 " + Der("sig1") + "\n");
    testutil::ScopedTempDir dir;
    const std::string softHsm = dir.File("libsofthsm.dylib"), test = dir.File("libresident.dylib");
    ASSERT_TRUE(modsig::CopyFile(p11testbed::SoftHsmModulePath(), softHsm));
    ASSERT_TRUE(modsig::CopyFile(p11testbed::ResidentModulePath(), test));
    ModuleList list({{"SoftHSM", softHsm}, {"Test CSP", test}});
    for (size_t i = 0; i < 2; ++i) {
        const std::string& file = 0 == i ? softHsm : test;
        ASSERT_TRUE(modsig::SignModule(file, "signer"));
        ASSERT_TRUE(modsig::CopyFile(modsig::SigPath(file), modsig::SigPath(list.Path(i))));
    }
    modsig::Chain chain(modsig::TrustedTexts());

    std::vector<CertInfoPtr> held;
    for (size_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        LoadDylibInfoList(list.Head(), nullptr, true, chain.Get(), chain.Count());
        Selection s = Select(list, Filter().Subject("alice"));
        list.Unload();
        ASSERT_EQ(QOVA_OK, s.code);
        ASSERT_EQ(round, g_windows.size());
        EXPECT_EQ((std::vector<std::string>{"enc1", "sig1", "sig1"}), Sorted(Names(g_windows.back())));
        ASSERT_TRUE(s.chosen);
        EXPECT_STREQ("SoftHSM", s.chosen->pszCSPName);
        EXPECT_EQ(list.Path(0), s.chosen->pszP11Path);
        EXPECT_EQ(1, list.Entry(0)->bLoaded);
        EXPECT_EQ(0, list.Entry(1)->bLoaded);
        held.push_back(std::move(s.chosen));
    }
    held.clear();
    EXPECT_EQ(0, list.Entry(0)->bLoaded);
}

// A row whose module file is in the process already (named twice, by one path or a second link, or
// loaded by the row before) is refused without the loader being asked by its descriptor's name:
// the loader would file that name under the loaded module and hand that module out for the next
// row's file, which gets the same descriptor number. The test module after it (and the first row's
// module) offers its certificates in a first and a second selection, and the second selection
// keeps no descriptor open that the first did not.
TEST_F(SelectionTest, RowWhoseFileIsAlreadyLoadedIsRefusedAndTheNextModuleStillLoads)
{
    p11testbed::SoftHsmTokens tokens(TemplateTokens());
    if (!tokens.Ready()) GTEST_SKIP() << "SoftHSM2 not installed";
    p11testbed::TestModule module("token t1 1234\ncert x1 x1 " + Der("sig1") + "\ncert x2 x2 " + Der("enc1") +
                                  "\n");
    testutil::ScopedTempDir dir;
    auto place = [&](const std::string& from, const std::string& name) {
        const std::string file = dir.File(name);
        EXPECT_TRUE(modsig::CopyFile(from, file) && modsig::SignModule(file, "signer")) << name;
        return file;
    };
    const std::string softHsm = place(p11testbed::SoftHsmModulePath(), "libsofthsm.dylib");
    const std::string link = dir.File("liblinked.dylib");
    ASSERT_EQ(0, ::link(softHsm.c_str(), link.c_str()));
    ASSERT_TRUE(modsig::CopyFile(modsig::SigPath(softHsm), modsig::SigPath(link)));
    // A module loaded by another stays in the process: each such case has its own files.
    const std::string byPath = place(p11testbed::SoftHsmModulePath(), "libbypath.dylib");
    const std::string byFd = place(p11testbed::SoftHsmModulePath(), "libbyfd.dylib");
    const std::string loader1 = place(p11testbed::MarkModulePath(), "libloader1.dylib");
    const std::string loader2 = place(p11testbed::MarkModulePath(), "libloader2.dylib");
    const std::string test = place(p11testbed::TestModulePath(), "libtest.dylib");

    const std::vector<std::string> kBoth = {"enc1", "enc1", "sig1", "sig1"}, kTestOnly = {"enc1", "sig1"};
    struct Case
    {
        const char* name;
        std::vector<std::string> rows;
        std::string loadedOnLoad;  // by the first row's constructor: by path, or through a
        bool byDescriptor;         // descriptor's name that no file answers to afterwards
        std::vector<std::string> offered;
    };
    const Case kCases[] = {
        {"same path twice", {softHsm, softHsm, test}, "", false, kBoth},
        {"second link", {softHsm, link, test}, "", false, kBoth},
        {"loaded by the row before", {loader1, byPath, test}, byPath, false, kTestOnly},
        {"loaded through a closed descriptor", {loader2, byFd, test}, byFd, true, kTestOnly},
    };
    modsig::Chain chain(modsig::TrustedTexts());
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        c.loadedOnLoad.empty() ? unsetenv("TESTP11_LOAD_OTHER")
                               : setenv("TESTP11_LOAD_OTHER", c.loadedOnLoad.c_str(), 1);
        c.byDescriptor ? setenv("TESTP11_LOAD_OTHER_BY_FD", "1", 1) : unsetenv("TESTP11_LOAD_OTHER_BY_FD");
        ModuleList list({{"First", c.rows[0]}, {"Second", c.rows[1]}, {"Test CSP", c.rows[2]}},
                        ModuleList::AsGiven{});
        std::ptrdiff_t descriptors = 0;
        for (int round = 1; round <= 2; ++round) {
            SCOPED_TRACE(round);
            g_windows.clear();
            LoadDylibInfoList(list.Head(), nullptr, true, chain.Get(), chain.Count());
            EXPECT_EQ(0, list.Entry(1)->bLoaded);
            EXPECT_EQ(1, list.Entry(2)->bLoaded);
            Selection s = Select(list, Filter().Subject("alice"));
            list.Unload();
            EXPECT_EQ(QOVA_OK, s.code);
            EXPECT_EQ(c.offered, g_windows.empty() ? std::vector<std::string>() : Sorted(Names(g_windows[0])));
            s.chosen.reset();
            const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
            EXPECT_EQ(1 == round ? (descriptors = open) : descriptors, open);
        }
    }
    unsetenv("TESTP11_LOAD_OTHER");
    unsetenv("TESTP11_LOAD_OTHER_BY_FD");
}

// An answer at or beyond the number of rows offered names no record: it is taken as a cancel.
TEST_F(SelectionTest, CancelAndAnAnswerBeyondTheRowsLeaveNoRecordAndNoSession)
{
    p11testbed::SoftHsmTokens tokens(TemplateTokens());
    if (!tokens.Ready()) GTEST_SKIP() << "SoftHSM2 not installed";
    p11testbed::TestModule module("token t1 1234\ncert x1 x1 " + Der("sig1") + "\ncert x2 x2 " + Der("enc1") +
                                  "\n");
    ModuleList list({{"Test CSP", p11testbed::TestModulePath()}, {"SoftHSM", p11testbed::SoftHsmModulePath()}});
    for (const int answer : {-1, -2, 4, 5, INT_MAX}) {
        SCOPED_TRACE(answer);
        module.ClearLog();
        g_windows.clear();
        g_answer = [answer](const std::vector<Row>&) { return answer; };
        list.Load();
        Selection s = Select(list, Filter().Subject("alice"));
        list.Unload();
        EXPECT_EQ(QOVA_E_CANCELLED, s.code);
        EXPECT_FALSE(s.chosen);
        ASSERT_EQ(1u, g_windows.size());
        EXPECT_EQ(4u, g_windows[0].size());
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(0, list.Entry(i)->bLoaded);
            EXPECT_EQ(0u, list.Entry(i)->nSessionCount);
        }
        const SessionTrace calls = ReadModuleLog(module);
        EXPECT_EQ(1u, calls.sessions.size());
        EXPECT_TRUE(calls.EachClosedOnce());
        EXPECT_TRUE(calls.finalizeLast);
    }
}

// A record lacks a field when the certificate has none or it could not be read: a test that is on
// for that field has nothing to match and drops the record; it must not read a null text.
TEST_F(SelectionTest, FilterOnAFieldTheRecordLacksDropsTheRecordWithoutCrash)
{
    std::string der = DerOf("sig1");
    _CERTIFICATE_DATA data = {const_cast<char*>("sig1"), reinterpret_cast<unsigned char*>(&der[0]),
                              static_cast<int>(der.size()), nullptr};
    _CERTIFICATE_INFO* full = nullptr;
    ASSERT_EQ(QOVA_OK, ConstructCertificateInfo("CSP", "/m.dylib", &data, &full));
    CertInfoPtr fullHolder(full);
    _CERTIFICATE_INFO bare = {};
    const std::vector<_CERTIFICATE_INFO*> input = {full, &bare};

    struct Case
    {
        const char* name;
        Filter filter;
        std::vector<std::string> passing;
    };
    const Case kCases[] = {
        {"no test", Filter(), {"sig1", "(null)"}},
        {"alternatives only separators", Filter().Subject("##").Issuer("#"), {"sig1", "(null)"}},
        {"subject", Filter().Subject("Alice"), {"sig1"}},
        {"issuer", Filter().Issuer("Varnell"), {"sig1"}},
        {"serial", Filter().Serial("1a2b3c"), {"sig1"}},
        {"key identifier", Filter().KeyId("1111111111111111111111111111111111111111"), {"sig1"}},
        {"algorithm", Filter().Alg("1.2.840"), {"sig1"}},
        {"signing", Filter().Type(2), {"sig1"}},
        {"encryption", Filter().Type(1), {}},
        {"time", Filter().Time(Utc(2030, 1, 1)), {"sig1"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        _CERT_FILTER f = c.filter.Get();
        std::vector<_CERTIFICATE_INFO*> passed;
        EXPECT_EQ(QOVA_OK, FilterCertificate(input, &f, passed));
        std::vector<std::string> names;
        for (_CERTIFICATE_INFO* info : passed) {
            names.push_back(NameOf(info->pszSubjectDN));
            EXPECT_TRUE(info != full && info != &bare);  // copies, not the input records
        }
        EXPECT_EQ(c.passing, names);
        CleanCertInfoSetVtr(passed);
    }
    // No filter passes both; the window offers the bare record with empty texts and no bytes.
    std::vector<_CERTIFICATE_INFO*> passed;
    EXPECT_EQ(QOVA_OK, FilterCertificate(input, nullptr, passed));
    g_answer = [](const std::vector<Row>&) { return 1; };
    _CERTIFICATE_INFO* chosen = nullptr;
    EXPECT_EQ(QOVA_OK, CustomUIDlgSelectCert(passed, false, &chosen));
    CertInfoPtr chosenHolder(chosen);
    CleanCertInfoSetVtr(passed);
    ASSERT_EQ(1u, g_windows.size());
    ASSERT_EQ(2u, g_windows[0].size());
    EXPECT_EQ("CN=Varnell Root CA, O=Varnell, C=CN", g_windows[0][0].issuer);
    EXPECT_EQ(der, g_windows[0][0].der);
    EXPECT_EQ("", g_windows[0][1].name);
    EXPECT_EQ("", g_windows[0][1].issuer);
    EXPECT_EQ("", g_windows[0][1].der);
    ASSERT_NE(nullptr, chosen);
    EXPECT_EQ(nullptr, chosen->pszSubjectDN);

    // One record opens the window only when asked to.
    g_answer = [](const std::vector<Row>&) { return 0; };
    ASSERT_EQ(QOVA_OK, CustomUIDlgSelectCert({full}, true, &chosen));
    chosenHolder.reset(chosen);
    EXPECT_EQ(2u, g_windows.size());
    EXPECT_STREQ(full->pszSubjectDN, chosen->pszSubjectDN);
}

TEST_F(SelectionTest, RefusalsAndTheSingleTests)
{
    std::string der = DerOf("sig1");
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&der[0]);
    const int size = static_cast<int>(der.size());
    unsigned char junk[] = "junk";
    char a[] = "a", empty[] = "", zz[] = "zz", dn[] = "CN=A";
    std::vector<_CERTIFICATE_INFO*> none;
    _CERTIFICATE_INFO* info = nullptr;
    _CERT_FILTER filter = {};

    struct Case
    {
        const char* name;
        unsigned int code;
        unsigned int expected;
    };
    const Case kCases[] = {
        {"selection without out-parameter", SelectCertificatefromCSPList(nullptr, &filter, nullptr), QOVA_E_INVALIDARG},
        {"selection over an empty list", SelectCertificatefromCSPList(nullptr, &filter, &info), QOVA_E_NO_CERT},
        {"filter of an empty set", FilterCertificate(none, &filter, none), QOVA_E_NO_CERT},
        {"window for an empty set", CustomUIDlgSelectCert(none, true, &info), QOVA_E_NO_CERT},
        {"text without alternatives", FilterString(nullptr, {}), QOVA_OK},
        {"an empty alternative", FilterString(dn, {zz, empty}), QOVA_OK},
        {"no text", FilterString(nullptr, {a}), QOVA_E_FAIL},
        {"algorithm without bytes", CheckCertAlg(nullptr, 0, "1.2"), QOVA_E_INVALIDARG},
        {"algorithm of junk", CheckCertAlg(junk, 4, "1.2"), QOVA_E_FAIL},
        {"no algorithm", CheckCertAlg(bytes, size, nullptr), QOVA_OK},
        {"whole algorithm OID", CheckCertAlg(bytes, size, "1.2.840.113549.1.1.11"), QOVA_OK},
        {"time 0 without bytes", CheckCertTimeValidity(nullptr, 0, 0), QOVA_OK},
        {"time at notAfter", CheckCertTimeValidity(bytes, size, Utc(2040, 1, 1)), QOVA_OK},
        {"time after notAfter", CheckCertTimeValidity(bytes, size, Utc(2040, 1, 1, 0, 0, 1)), QOVA_E_INVALIDARG},
        {"time before notBefore", CheckCertTimeValidity(bytes, size, Utc(2019, 12, 31, 23, 59, 59)), QOVA_E_INVALIDARG},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, c.code);
    }
    EXPECT_EQ(nullptr, info);
    EXPECT_NE(QOVA_OK, CheckCertAlg(bytes, size, "1.2.840.113549.1.1.12"));
    EXPECT_TRUE(g_windows.empty());
}

// The key and the re-read certificate are found by the record's CKA_ID as text: the first object
// with that ID, and an ID cut at its first zero byte. Tokens rely on this, so it stays: two
// certificates under one ID, or an ID with a zero byte, cannot be told apart on one token.
TEST_F(SelectionTest, RecordsFindTheirTokenObjectsByIdTextFirstMatchCutAtZero)
{
    p11testbed::TestModule module("token t1 1234\ncert dup a " + Der("sig1") + "\ncert dup b " + Der("enc1") +
                                  "\ncert hex:410042 c " + Der("both") + "\n");
    ModuleList list({{"Test CSP", p11testbed::TestModulePath()}});
    struct Case
    {
        const char* subject;
        const char* id;
        unsigned int code;
        std::string reread;
    };
    const Case kCases[] = {
        {"Alice Signer", "dup", QOVA_OK, DerOf("sig1")},
        {"Alice Crypt", "dup", QOVA_OK, DerOf("sig1")},  // the first certificate under its ID
        {"Carol", "A", QOVA_E_NO_OBJECT, ""},          // 41 00 42 read as "A", which no object has
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.subject);
        list.Load();
        Selection s = Select(list, Filter().Subject(c.subject));
        list.Unload();
        ASSERT_EQ(QOVA_OK, s.code);
        EXPECT_STREQ(c.id, s.chosen->pCertData->pszCkID);
        unsigned char* reread = nullptr;
        int size = 0;
        EXPECT_EQ(c.code, ExportDERCertFromP11(s.chosen->pCertData, &reread, &size));
        EXPECT_EQ(c.reread, reread ? std::string(reinterpret_cast<char*>(reread), static_cast<size_t>(size)) : "");
        delete[] reread;
    }
}

// The dialog library's own window, answered by the scripted backend that test builds compile in:
// one selection picks the second row, the next one is cancelled.
TEST_F(SelectionTest, ScriptedCertificateWindowOfTheDialogLibrary)
{
#ifndef PLATFORM_TEST_HOOKS
    GTEST_SKIP() << "needs a build with PLATFORM_TEST_HOOKS";
#else
    setenv("PLATFORM_DIALOG_BACKEND", "script", 1);
    setenv("PLATFORM_DIALOG_SCRIPT", "select pCertTableView 1; click ClickOK; click ClickCancel", 1);
    g_answer = nullptr;
    p11testbed::TestModule module("token t1 1234\ncert x1 x1 " + Der("sig1") + "\ncert x2 x2 " + Der("enc1") +
                                  "\ncert x3 x3 " + Der("both") + "\n");
    ModuleList list({{"Test CSP", p11testbed::TestModulePath()}});

    list.Load();
    Selection s = Select(list, Filter());
    list.Unload();
    ASSERT_EQ(QOVA_OK, s.code);
    EXPECT_STREQ("x2", s.chosen->pCertData->pszCkID);
    EXPECT_EQ(1u, ReadModuleLog(module).Open().size());
    s.chosen.reset();
    EXPECT_TRUE(ReadModuleLog(module).EachClosedOnce());

    list.Load();
    s = Select(list, Filter());
    list.Unload();
    EXPECT_EQ(QOVA_E_CANCELLED, s.code);
    EXPECT_FALSE(s.chosen);
    EXPECT_TRUE(ReadModuleLog(module).EachClosedOnce());
    EXPECT_EQ(0, list.Entry(0)->bLoaded);
    EXPECT_EQ(2u, g_windows.size());
#endif
}

}  // namespace
