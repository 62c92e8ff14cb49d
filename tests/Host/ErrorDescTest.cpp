// The localized descriptions: the two string tables, and the lookup by locale.
#include "HostTestSupport.h"

#include "GetErrorDesc.h"
#include "TestUtil.h"

#include "platform/StringsFile.h"

#include <p11-kit/pkcs11.h>

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <vector>

namespace {

using hosttest::ScopedEnv;
using hosttest::ScopedLocale;

std::string Resources()
{
    return testutil::BinaryDir() + "/VarnellHost.app/Resources";
}

platform::StringsTable Table(const std::string& path)
{
    platform::StringsTable table;
    std::string error;
    EXPECT_TRUE(platform::ParseStringsFile(path, &table, &error)) << path << ": " << error;
    return table;
}

std::string Key(unsigned int code)
{
    char key[16];
    snprintf(key, sizeof(key), "0x%08X", code);
    return key;
}

// Every constant "constexpr unsigned int NAME = 0x...u;" of the result-code header, by name.
std::map<std::string, unsigned int> ResultHeaderCodes()
{
    std::string header;
    EXPECT_TRUE(testutil::ReadFile(testutil::SourceDir() + "/src/zlog/QovaResult.h", &header));
    const std::regex constant(R"(constexpr\s+unsigned\s+int\s+(\w+)\s*=\s*(0x[0-9A-Fa-f]+)u?\s*;)");
    std::map<std::string, unsigned int> codes;
    for (std::sregex_iterator it(header.begin(), header.end(), constant), end; it != end; ++it)
        codes[(*it)[1]] = static_cast<unsigned int>(std::stoul((*it)[2], nullptr, 16));
    return codes;
}

// Every return value the Cryptoki header defines, as the PKCS#11 kernel maps a failing one.
std::map<std::string, unsigned int> TokenAnswerCodes()
{
    std::string header;
    EXPECT_TRUE(testutil::ReadFile("/usr/include/p11-kit-1/p11-kit/pkcs11.h", &header));
    const std::regex value(R"(#define\s+(CKR_\w+)\s+\((0x[0-9A-Fa-f]+|[0-9]+)UL\))");
    std::map<std::string, unsigned int> codes;
    for (std::sregex_iterator it(header.begin(), header.end(), value), end; it != end; ++it)
        codes[(*it)[1]] = QovaP11Result(std::stoul((*it)[2], nullptr, 0));
    codes["CKR_VENDOR_DEFINED"] = QovaP11Result(CKR_VENDOR_DEFINED);
    return codes;
}

TEST(LocalizableTables, BothHoldTheSameKeysAndDescribeEveryResultCode)
{
    HOSTTEST_SKIP_WITHOUT_TREES();
    const platform::StringsTable base = Table(Resources() + "/Localizable.strings");
    const platform::StringsTable zh = Table(Resources() + "/zh-Hans.lproj/Localizable.strings");
    std::set<std::string> baseKeys, zhKeys;
    for (const auto& [key, text] : base) {
        baseKeys.insert(key);
        EXPECT_TRUE(std::regex_match(key, std::regex("0x[0-9A-F]{8}"))) << key;
        EXPECT_FALSE(text.empty()) << key;
    }
    for (const auto& [key, text] : zh) {
        zhKeys.insert(key);
        EXPECT_FALSE(text.empty()) << key;
        EXPECT_NE(base.count(key) ? base.at(key) : "", text) << key << ": not translated";
    }
    EXPECT_EQ(baseKeys, zhKeys);

    const auto own = ResultHeaderCodes();
    EXPECT_GE(own.size(), 45u);  // the header was read
    for (const auto& [name, code] : own)
        EXPECT_EQ(1u, base.count(Key(code))) << name;
    // The token's answers travel up as 0xA0071800 plus the return value's low bits.
    const auto token = TokenAnswerCodes();
    EXPECT_GT(token.size(), 80u);
    for (const auto& [name, code] : token)
        EXPECT_EQ(1u, base.count(Key(code))) << name;
    EXPECT_EQ(1u, base.count("0x00000000"));
}

class ErrorDesc : public ::testing::Test
{
protected:
    // The description of a code, or "(none)" when none was written.
    static std::string Describe(unsigned int code)
    {
        char* pszDesc = nullptr;
        GetErrorCodeLocalDesc(code, &pszDesc);
        const std::string text = pszDesc ? pszDesc : "(none)";
        delete[] pszDesc;
        return text;
    }
    void SetUp() override
    {
        HOSTTEST_SKIP_WITHOUT_TREES();
        m_base = Table(Resources() + "/Localizable.strings");
        m_zh = Table(Resources() + "/zh-Hans.lproj/Localizable.strings");
    }
    platform::StringsTable m_base;
    platform::StringsTable m_zh;
};

TEST_F(ErrorDesc, KeyInUppercaseDigitsAndTheCodeInLowercase)
{
    ScopedLocale english("en_US.UTF-8");
    EXPECT_EQ(m_base.at("0x80070057") + "(0x80070057)", Describe(0x80070057));
    EXPECT_EQ(m_base.at("0xA0072001") + "(0xa0072001)", Describe(0xA0072001));
    EXPECT_EQ(m_base.at("0xFFFFFFFF") + "(0xffffffff)", Describe(static_cast<unsigned int>(-1)));
    EXPECT_EQ(m_base.at("0xA00718A0") + "(0xa00718a0)", Describe(QovaP11Result(CKR_PIN_INCORRECT)));
    // A code the table does not list is described by its own key.
    EXPECT_EQ("0x00000005(0x00000005)", Describe(5));
    GetErrorCodeLocalDesc(0x80070057, nullptr);  // released when nobody takes it
}

TEST_F(ErrorDesc, ExactlyTheSimplifiedChineseLocalesReadTheChineseTable)
{
    struct Case
    {
        std::string lang;
        bool chinese;
    };
    const Case kCases[] = {{"zh_CN.UTF-8", true},  {"zh_CN", true},         {"zh", true},
                           {"zh_Hans", true},      {"zh_Hans_CN", true},    {"zh_Hans_CN.UTF-8@x", true},
                           {"zh_TW.UTF-8", false}, {"zh-Hans", false},
                           {"en_US.UTF-8", false}, {"C", false},            {"", false},
                           // The dialogs prefer zh-Hans for these; the descriptions do not.
                           {"zh_SG.UTF-8", false}, {"zh_SG", false},        {"zh_Hans_HK", false},
                           {"zh_Hans_SG.UTF-8", false}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.lang);
        ScopedLocale locale(c.lang);
        const auto& table = c.chinese ? m_zh : m_base;
        EXPECT_EQ(table.at("0x800704C7") + "(0x800704c7)", Describe(0x800704C7));
    }
    // LC_ALL comes before LANG.
    ScopedLocale english("en_US.UTF-8");
    ScopedEnv all("LC_ALL", "zh_CN.UTF-8");
    EXPECT_EQ(m_zh.at("0x00000000") + "(0x00000000)", Describe(0));
}

// The translation is looked up at run time: without it there is no description at all; a key it
// lacks is described by the key.
TEST_F(ErrorDesc, MissingTranslationGivesNothing)
{
    testutil::ScopedTempDir bundle;
    ASSERT_TRUE(testutil::WriteFile(bundle.File("Localizable.strings"), "\"0x00000001\" = \"one\";\n"));
    ScopedEnv main("PLATFORM_MAIN_BUNDLE", bundle.Path());
    {
        ScopedLocale chinese("zh_CN.UTF-8");
        char* pszDesc = reinterpret_cast<char*>(0x1);  // must stay untouched
        GetErrorCodeLocalDesc(1, &pszDesc);
        EXPECT_EQ(reinterpret_cast<char*>(0x1), pszDesc);
        _VarnellObj agent = {};
        pszDesc = nullptr;
        EXPECT_EQ(QOVA_OK, _GetLastErrorDesc(&agent, 1, &pszDesc));
        EXPECT_EQ(nullptr, pszDesc);
    }
    ASSERT_EQ(0, mkdir(bundle.File("zh-Hans.lproj").c_str(), 0700));
    ASSERT_TRUE(testutil::WriteFile(bundle.File("zh-Hans.lproj/Localizable.strings"), "\"0x00000002\" = \"二\";\n"));
    ScopedLocale chinese("zh_Hans_CN");
    EXPECT_EQ("二(0x00000002)", Describe(2));
    EXPECT_EQ("0x00000001(0x00000001)", Describe(1));
    EXPECT_EQ("0x00000003(0x00000003)", Describe(3));
}

// Texts that must tell the reader what to do, read as a page gets them: through GetLastErrorDesc
// after the code was the last result. A shorter text would send the reader the wrong way: a hash
// name spoken of where a field name or the parameter count was wrong, "no display" without the
// session the browser needs, a missing object where the private key is missing, a PIN refusal
// that a changed PIN would not end without a reload (the host remembers it while it runs).
class ErrorDescAdvice : public hosttest::HostTest
{
protected:
    std::string LastErrorDesc(unsigned int code)
    {
        m_agent->m_nLastError = static_cast<int>(code);
        const hosttest::Answer a = hosttest::Parse(Ask(R"({"function":"GetLastErrorDesc","params":[]})"));
        EXPECT_EQ(0, a.errorcode);
        return a.text;
    }
};

TEST_F(ErrorDescAdvice, BothTablesSayWhatIsMeantAndWhatToDo)
{
    HOSTTEST_SKIP_WITHOUT_TREES();
    const std::vector<std::string> kNames = {"\"SHA-1\"",  "\"SHA-256\"",  "\"MD-5\"",    "SubjectDN",
                                             "IssuerDN",   "SerialNumber", "SubjectID",   "SubjectCN",
                                             "CertContent", "CSPName",     "CertType"};
    struct Case
    {
        unsigned int code;
        std::vector<std::string> english, chinese;
    };
    std::vector<Case> cases = {
        {0x80070057, {"missing or not valid", "for example"}, {"例如"}},
        {0x800704C7, {"cancelled", "desktop session", "DISPLAY", "WAYLAND_DISPLAY"}, {"桌面会话", "DISPLAY", "WAYLAND_DISPLAY"}},
        {0x8009002A, {"No matching object", "private key of the selected certificate is not on the token"},
         {"未找到匹配的对象", "私钥不在令牌中"}},
    };
    for (const std::string& name : kNames) {
        cases[0].english.push_back(name);
        cases[0].chinese.push_back(name);
    }
    for (const CK_RV rv : {CKR_PIN_INCORRECT, CKR_PIN_INVALID, CKR_PIN_LEN_RANGE, CKR_PIN_EXPIRED, CKR_PIN_LOCKED})
        cases.push_back({QovaP11Result(rv),
                         {"If you have just changed or unlocked the PIN, reload the page so that it connects again."},
                         {"如果刚刚修改或解锁了 PIN 码，请重新加载网页，使其重新连接。"}});
    for (const bool chinese : {false, true}) {
        hosttest::ScopedLocale locale(chinese ? "zh_CN.UTF-8" : "en_US.UTF-8");
        for (const Case& c : cases) {
            const std::string text = LastErrorDesc(c.code);
            SCOPED_TRACE(Key(c.code) + ": " + text);
            char suffix[16];
            snprintf(suffix, sizeof(suffix), "(0x%08x)", c.code);
            EXPECT_EQ(text.size() - strlen(suffix), text.rfind(suffix));
            for (const std::string& part : chinese ? c.chinese : c.english)
                EXPECT_NE(std::string::npos, text.find(part)) << part;
        }
    }
}

}  // namespace
