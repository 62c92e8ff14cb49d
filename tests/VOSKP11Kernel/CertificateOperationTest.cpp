#include "CertificateOperation.h"

#include "CertBuilder.h"
#include "CertificateFields.h"
#include "P11KernelTestUtil.h"
#include "SessionTrace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <map>

namespace {

using namespace p11test;
using p11testbed::FixtureFile;
using sessiontrace::ReadSpyLog;
using sessiontrace::SessionTrace;

std::vector<unsigned char> Bytes(const std::string& text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

std::string Str(const char* text)
{
    return text ? text : "(null)";
}

struct InfoSet
{
    std::vector<_CERTIFICATE_INFO*> infos;
    ~InfoSet() { CleanCertInfoSetVtr(infos); }
};

// A real token seen through opensc's call spy: records name their module, hold the sessions after
// the kernel's own records are gone, and each session is closed exactly once, with the last record
// or copy of its token.
TEST(CertificateRecords, SoftHsmRecordsNameTheirModuleAndCloseEachSessionOnce)
{
    p11testbed::SoftHsmTokens softhsm;
    testutil::ScopedTempDir dir;
    const std::string spyLog = dir.File("spy.log");
    if (!sessiontrace::SpyOnSoftHsm(PKCS11_SPY_PATH, softhsm, spyLog))
        GTEST_SKIP() << "SoftHSM2 or opensc's pkcs11-spy not installed";
    EntryPtr entry = NewEntry(PKCS11_SPY_PATH, "SoftHSM token");
    ASSERT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));

    InfoSet set;
    std::map<std::string, _CERTIFICATE_INFO*> byId;  // SoftHSM2's object order changes between runs
    {
        RecordSet found;
        ASSERT_EQ(QOVA_OK, GetAllCertDataFromDevices(entry.get(), found.records));
        ASSERT_EQ(3u, found.records.size());
        for (_CERTIFICATE_DATA* record : found.records) {
            _CERTIFICATE_INFO* info = nullptr;
            ASSERT_EQ(QOVA_OK, ConstructCertificateInfo(entry->pszCSPName, entry->pszDylibPath, record, &info));
            set.infos.push_back(info);
            byId[info->pCertData->pszCkID] = info;
        }
    }
    EXPECT_EQ(0, ReadSpyLog(spyLog).Closes());
    const std::map<std::string, std::string> kFixture = {{"cont1#2", "RSA 1"}, {"cont2#2", "RSA 2"}, {"A", "RSA 3"}};
    for (const auto& [id, cn] : kFixture) {
        SCOPED_TRACE(id);
        ASSERT_EQ(1u, byId.count(id));
        const _CERTIFICATE_INFO* info = byId[id];
        EXPECT_STREQ("SoftHSM token", info->pszCSPName);
        EXPECT_STREQ(PKCS11_SPY_PATH, info->pszP11Path);
        EXPECT_EQ("CN=" + cn + ", O=Test, C=CN", Str(info->pszSubjectDN));
        EXPECT_EQ(Str(info->pszSubjectDN), Str(info->pszIssuerDN));
        EXPECT_EQ(40u, Str(info->pszSubjectKeyID).size());
        EXPECT_EQ(CERT_TYPE_RSA, info->nCertType);
    }

    // A copy of a tokA record keeps tokA's session after every original is gone.
    _CERTIFICATE_INFO* copy = nullptr;
    ASSERT_EQ(QOVA_OK, DuplicateCertInfo(*byId["cont1#2"], &copy));
    CertInfoPtr copyHolder(copy);
    SessionCtx* tokA = copy->pCertData->pstSessionCtx;
    EXPECT_EQ(3u, tokA->nRefCertCount);
    CleanCertInfoSetVtr(set.infos);
    EXPECT_TRUE(set.infos.empty());
    EXPECT_EQ(1u, tokA->nRefCertCount);
    EXPECT_EQ(1, ReadSpyLog(spyLog).Closes());
    EXPECT_EQ(1, entry->bLoaded);

    copyHolder.reset();
    EXPECT_EQ(0, entry->bLoaded);
    const SessionTrace log = ReadSpyLog(spyLog);
    EXPECT_EQ(2u, log.sessions.size());
    EXPECT_TRUE(log.EachClosedOnce());
    EXPECT_TRUE(log.finalizeLast);
}

// Fields that cannot be read stay empty; a failed build gives back the session reference it took.
TEST(CertificateRecords, UnreadableFieldsStayEmptyAndReferencesAreGivenBack)
{
    p11testbed::TestModule files;
    certtest::CertSpec md5;
    md5.digest = "MD5";
    md5.withKeyId = false;
    md5.subject = {{"CN", "md5"}};
    const std::vector<unsigned char> md5Der = certtest::MakeDer(md5);
    ASSERT_TRUE(testutil::WriteFile(files.File("md5.der"), std::string(md5Der.begin(), md5Der.end())));
    ASSERT_TRUE(testutil::WriteFile(files.File("junk.der"), "not a certificate"));
    Loaded loaded("token t 1\ncert rsa l " + FixtureFile("rsa1.der") + "\ncert sm2 l " + FixtureFile("sm2.der") +
                  "\ncert md5 l " + files.File("md5.der") + "\ncert junk l " + files.File("junk.der") + "\n");
    RecordSet found;
    ASSERT_EQ(QOVA_OK, GetAllCertDataFromDevices(loaded.entry.get(), found.records));
    ASSERT_EQ(4u, found.records.size());
    SessionCtx* session = found.records[0]->pstSessionCtx;

    struct Case { const char* id; unsigned int code; int type; const char* dn; bool keyId; };
    const Case kCases[] = {
        {"rsa", QOVA_OK, CERT_TYPE_RSA, "CN=RSA 1, O=Test, C=CN", true},
        {"sm2", QOVA_OK, CERT_TYPE_SM2, "CN=SM2 1, O=Test, C=CN", true},
        {"md5", QOVA_OK, CERT_TYPE_UNKNOWN, "CN=md5", false},
        {"junk", QOVA_E_FAIL, 0, "", false},
    };
    InfoSet set;
    for (size_t i = 0; i < 4; ++i) {
        const Case& c = kCases[i];
        SCOPED_TRACE(c.id);
        ASSERT_STREQ(c.id, found.records[i]->pszCkID);
        _CERTIFICATE_INFO* info = nullptr;
        ASSERT_EQ(c.code, ConstructCertificateInfo("Test CSP", "/m.dylib", found.records[i], &info));
        EXPECT_EQ(4u + set.infos.size() + (info ? 1 : 0), session->nRefCertCount);
        if (!info) continue;
        set.infos.push_back(info);
        EXPECT_EQ(c.type, info->nCertType);
        EXPECT_STREQ(c.dn, info->pszSubjectDN);
        EXPECT_STREQ(c.dn, info->pszIssuerDN);
        EXPECT_NE(nullptr, info->pszCertSN);
        EXPECT_EQ(c.keyId, nullptr != info->pszSubjectKeyID);
        EXPECT_EQ(session, info->pCertData->pstSessionCtx);
    }
    _CERTIFICATE_INFO* info = nullptr;
    EXPECT_EQ(QOVA_E_INVALIDARG, ConstructCertificateInfo(nullptr, "/p", found.records[0], &info));
    EXPECT_EQ(QOVA_E_INVALIDARG, ConstructCertificateInfo("n", "/p", found.records[0], nullptr));
    CleanCertInfoSetVtr(set.infos);
    EXPECT_EQ(4u, session->nRefCertCount);
    EXPECT_TRUE(loaded.module.Calls("C_CloseSession").empty());
}

TEST(CertificateRecords, CopyWithoutCertificateObjectKeepsTextsAndType)
{
    char name[] = "CSP", path[] = "/m.dylib", subject[] = "CN=a", serial[] = "05";
    const _CERTIFICATE_INFO source = {CERT_TYPE_SM2, subject, nullptr, serial, nullptr, name, path, nullptr};
    _CERTIFICATE_INFO* copy = nullptr;
    ASSERT_EQ(QOVA_OK, DuplicateCertInfo(source, &copy));
    CertInfoPtr holder(copy);
    EXPECT_EQ(CERT_TYPE_SM2, copy->nCertType);
    EXPECT_NE(subject, copy->pszSubjectDN);
    const std::vector<std::string> kTexts = {"CN=a", "(null)", "05", "(null)", "CSP", "/m.dylib"};
    EXPECT_EQ(kTexts, (std::vector<std::string>{Str(copy->pszSubjectDN), Str(copy->pszIssuerDN), Str(copy->pszCertSN),
                                                Str(copy->pszSubjectKeyID), Str(copy->pszCSPName),
                                                Str(copy->pszP11Path)}));
    EXPECT_EQ(nullptr, copy->pCertData);
    EXPECT_EQ(QOVA_E_INVALIDARG, DuplicateCertInfo(source, nullptr));
}

// GetCertType as a text getter, so that one table holds the whole family.
unsigned int CertTypeText(unsigned char* der, int size, char** text)
{
    int type = 99;
    const unsigned int code = GetCertType(der, size, text ? &type : nullptr);
    if (QOVA_OK == code) *text = CopyText(std::to_string(type));
    else EXPECT_EQ(99, type);
    return code;
}

TEST(CertificateTextGetters, FieldsAsInTheRecordAndRefusals)
{
    const std::vector<unsigned char> rsa = Bytes(testutil::ReadFileOrEmpty(FixtureFile("rsa1.der")));
    std::vector<unsigned char> sm2 = Bytes(testutil::ReadFileOrEmpty(FixtureFile("sm2.der")));
    certtest::CertSpec bareSpec;
    bareSpec.withKeyId = false;
    bareSpec.digest = "MD5";
    std::vector<unsigned char> bare = certtest::MakeDer(bareSpec);
    std::vector<unsigned char> junk = Bytes("junk");

    _CERTIFICATE_DATA data = {nullptr, const_cast<unsigned char*>(rsa.data()), static_cast<int>(rsa.size()), nullptr};
    _CERTIFICATE_INFO* info = nullptr;
    ASSERT_EQ(QOVA_OK, ConstructCertificateInfo("n", "/p", &data, &info));
    CertInfoPtr record(info);

    using Getter = unsigned int (*)(unsigned char*, int, char**);
    struct Case { const char* name; Getter getter; std::vector<unsigned char> der; unsigned int code; std::string text; };
    const Case kCases[] = {
        {"subject DN", GetSubjectDNFromDERCert, rsa, QOVA_OK, Str(record->pszSubjectDN)},
        {"issuer DN", GetIssuerDNFromDERCert, rsa, QOVA_OK, Str(record->pszIssuerDN)},
        {"serial", GetSNFromDERCert, rsa, QOVA_OK, Str(record->pszCertSN)},
        {"key identifier", GetSubjectKeyIDFromDERCert, rsa, QOVA_OK, Str(record->pszSubjectKeyID)},
        {"common name", GetSubjectCNFromDERCert, sm2, QOVA_OK, "SM2 1"},
        {"RSA type", CertTypeText, rsa, QOVA_OK, "1"},
        {"SM2 type", CertTypeText, sm2, QOVA_OK, "2"},
        {"MD5 type", CertTypeText, bare, QOVA_E_FAIL, ""},
        {"no key identifier", GetSubjectKeyIDFromDERCert, bare, QOVA_E_FAIL, ""},
        {"not a certificate", GetSubjectDNFromDERCert, junk, QOVA_E_FAIL, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> der = c.der;
        char* text = nullptr;
        EXPECT_EQ(c.code, c.getter(der.data(), static_cast<int>(der.size()), &text));
        EXPECT_EQ(c.text, QOVA_OK == c.code ? Str(text) : "");
        EXPECT_EQ(QOVA_OK == c.code, nullptr != text);
        delete[] text;
        // Bad arguments are refused before the bytes are read.
        EXPECT_EQ(QOVA_E_INVALIDARG, c.getter(nullptr, 10, &text));
        EXPECT_EQ(QOVA_E_INVALIDARG, c.getter(der.data(), 0, &text));
        EXPECT_EQ(QOVA_E_INVALIDARG, c.getter(der.data(), static_cast<int>(der.size()), nullptr));
    }
}

TEST(CertificateTextGetters, ValidityAsLocalTimeText)
{
    // A zone east of UTC (POSIX form, no zone files needed), for ctime here and for date.
    setenv("TZ", "CST-8", 1);
    tzset();
    certtest::CertSpec spec;
    spec.notBefore = "240229123456Z";
    spec.notAfter = "20500101000000Z";
    std::vector<unsigned char> der = certtest::MakeDer(spec);
    const int size = static_cast<int>(der.size());
    std::string date;
    ASSERT_EQ(0, testutil::RunCommand("LC_ALL=C date -d @2524608000 '+%a %b %e %H:%M:%S %Y'", &date));

    char* notBefore = nullptr;
    char* notAfter = nullptr;
    ASSERT_EQ(QOVA_OK, GetValidTimeFromDERCert(der.data(), size, &notBefore, &notAfter));
    EXPECT_STREQ("Thu Feb 29 20:34:56 2024", notBefore);
    EXPECT_EQ(date.substr(0, 24), Str(notAfter));
    delete[] notBefore;
    delete[] notAfter;
    EXPECT_EQ(QOVA_OK, GetValidTimeFromDERCert(der.data(), size, nullptr, nullptr));

    notBefore = notAfter = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, GetValidTimeFromDERCert(der.data(), 2, &notBefore, &notAfter));
    EXPECT_EQ(QOVA_E_INVALIDARG, GetValidTimeFromDERCert(nullptr, 2, &notBefore, &notAfter));
    EXPECT_EQ(QOVA_E_INVALIDARG, GetValidTimeFromDERCert(der.data(), 0, &notBefore, &notAfter));
    EXPECT_TRUE(nullptr == notBefore && nullptr == notAfter);
}

}  // namespace
