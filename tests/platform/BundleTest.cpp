#include "platform/Bundle.h"
#include "platform/Locale.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

namespace {

using platform::Bundle;
using platform::Locale;

// Sets the three locale variables for one test and puts them back afterwards.
class LocaleEnv
{
public:
    LocaleEnv(const char* lcAll, const char* lcMessages, const char* lang)
    {
        Save("LC_ALL", lcAll);
        Save("LC_MESSAGES", lcMessages);
        Save("LANG", lang);
    }
    ~LocaleEnv()
    {
        for (const auto& s : m_saved) {
            if (s.second.first)
                setenv(s.first.c_str(), s.second.second.c_str(), 1);
            else
                unsetenv(s.first.c_str());
        }
    }

private:
    void Save(const char* name, const char* value)
    {
        const char* old = getenv(name);
        m_saved.push_back({name, {old != nullptr, old ? old : ""}});
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> m_saved;
};

TEST(Locale, IdentifierComesFromTheFirstSetVariableWithoutCodeset)
{
    struct Case
    {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        const char* expected;
    };
    const Case kCases[] = {
        {nullptr, nullptr, "zh_CN.UTF-8", "zh_CN"},
        {nullptr, nullptr, "zh_TW.Big5", "zh_TW"},
        {nullptr, nullptr, "de_DE@euro", "de_DE"},
        {nullptr, nullptr, "sr_RS.UTF-8@latin", "sr_RS"},
        {nullptr, "fr_FR.UTF-8", "zh_CN.UTF-8", "fr_FR"},
        {"en_GB.UTF-8", "fr_FR.UTF-8", "zh_CN.UTF-8", "en_GB"},
        {"", "", "ja_JP.UTF-8", "ja_JP"},
        {nullptr, nullptr, "C", "en_US_POSIX"},
        {nullptr, nullptr, "C.UTF-8", "en_US_POSIX"},
        {nullptr, nullptr, "POSIX", "en_US_POSIX"},
        {nullptr, nullptr, nullptr, "en_US_POSIX"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.lcAll ? c.lcAll : "-") + "/" + (c.lcMessages ? c.lcMessages : "-") + "/" +
                     (c.lang ? c.lang : "-"));
        LocaleEnv env(c.lcAll, c.lcMessages, c.lang);
        EXPECT_EQ(c.expected, Locale::CurrentLocaleIdentifier());
    }
}

TEST(Locale, SimplifiedChineseLocalesPreferZhHans)
{
    const std::pair<const char*, const char*> kCases[] = {
        {"zh", "zh-Hans"},      {"zh_CN", "zh-Hans"}, {"zh_SG", "zh-Hans"}, {"zh_Hans", "zh-Hans"},
        {"zh_Hans_CN", "zh-Hans"}, {"zh_TW", "zh"},   {"zh_HK", "zh"},      {"en_US_POSIX", "en"},
        {"de_DE", "de"},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.second, Locale::PreferredLocalization(c.first)) << c.first;
}

// A bundle with a base table, a zh-Hans table missing one key, and a second table.
class BundleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, mkdir(m_dir.File("Resources").c_str(), 0755));
        ASSERT_EQ(0, mkdir(m_dir.File("Resources/zh-Hans.lproj").c_str(), 0755));
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("Resources/Localizable.strings"),
                                        "\"Hello\" = \"Hello\";\n\"Only\" = \"Base only\";\n"));
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("Resources/zh-Hans.lproj/Localizable.strings"),
                                        "\"Hello\" = \"你好\";\n"));
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("Resources/Other.strings"), "\"Hello\" = \"Other\";\n"));
    }

    std::string Root() const { return m_dir.File("Resources"); }

    testutil::ScopedTempDir m_dir;
};

TEST_F(BundleTest, ChineseLocaleSelectsZhHansAndTaiwanTheBaseTexts)
{
    auto bundle = Bundle::BundleWithPath(Root());
    ASSERT_TRUE(bundle);
    {
        LocaleEnv env(nullptr, nullptr, "zh_CN.UTF-8");
        EXPECT_EQ("你好", bundle->LocalizedStringForKey("Hello", "", "Localizable"));
        // A key the translation lacks falls back to the base table.
        EXPECT_EQ("Base only", bundle->LocalizedStringForKey("Only", "", "Localizable"));
    }
    {
        LocaleEnv env(nullptr, nullptr, "zh_TW.UTF-8");
        EXPECT_EQ("Hello", bundle->LocalizedStringForKey("Hello", "", "Localizable"));
    }
    {
        LocaleEnv env(nullptr, nullptr, "C");
        EXPECT_EQ("Hello", bundle->LocalizedStringForKey("Hello", "", "Localizable"));
        EXPECT_EQ("Other", bundle->LocalizedStringForKey("Hello", "", "Other"));
        EXPECT_EQ("Hello", bundle->LocalizedStringForKey("Hello", "", ""));  // default table
    }
}

// The error descriptions have a narrower Chinese rule than the dialogs: a caller that names the
// localization (none at all included) is not overruled by the locale.
TEST_F(BundleTest, NamedLocalizationReplacesTheLocalesChoice)
{
    auto bundle = Bundle::BundleWithPath(Root());
    ASSERT_TRUE(bundle);
    {
        LocaleEnv env(nullptr, nullptr, "zh_SG.UTF-8");
        EXPECT_EQ("你好", bundle->LocalizedStringForKey("Hello", "", "Localizable"));
        EXPECT_EQ("Hello", bundle->LocalizedStringForKey("Hello", "", "Localizable", ""));
    }
    LocaleEnv env(nullptr, nullptr, "C");
    EXPECT_EQ("你好", bundle->LocalizedStringForKey("Hello", "", "Localizable", "zh-Hans"));
    EXPECT_EQ("Base only", bundle->LocalizedStringForKey("Only", "", "Localizable", "zh-Hans"));
}

TEST_F(BundleTest, MissingKeyGivesTheValueElseTheKey)
{
    LocaleEnv env(nullptr, nullptr, "C");
    auto bundle = Bundle::BundleWithPath(Root());
    ASSERT_TRUE(bundle);
    EXPECT_EQ("fallback", bundle->LocalizedStringForKey("0x00000005", "fallback", "Localizable"));
    EXPECT_EQ("0x00000005", bundle->LocalizedStringForKey("0x00000005", "", "Localizable"));
    EXPECT_EQ("Hello", bundle->LocalizedStringForKey("Hello", "", "NoSuchTable"));
    EXPECT_EQ("k", bundle->LocalizedStringForKey("k", "", "../Resources/Localizable"));
}

TEST_F(BundleTest, LocalizationFolderIsFoundAndAMissingOneReportedMissing)
{
    auto bundle = Bundle::BundleWithPath(Root());
    ASSERT_TRUE(bundle);
    const std::string zh = bundle->PathForResource("zh-Hans", "lproj");
    EXPECT_EQ(Root() + "/zh-Hans.lproj", zh);
    auto zhBundle = Bundle::BundleWithPath(zh);
    ASSERT_TRUE(zhBundle);
    {
        // The localization folder as a bundle of its own answers from its own table, whatever the locale.
        LocaleEnv env(nullptr, nullptr, "C");
        EXPECT_EQ("你好", zhBundle->LocalizedStringForKey("Hello", "", "Localizable"));
    }
    EXPECT_EQ("", bundle->PathForResource("fr", "lproj"));
    EXPECT_EQ(nullptr, Bundle::BundleWithPath(bundle->PathForResource("fr", "lproj")));
    EXPECT_EQ(nullptr, Bundle::BundleWithPath(m_dir.File("nowhere")));
    EXPECT_EQ(nullptr, Bundle::BundleWithPath(m_dir.File("Resources/Other.strings")));  // a file is no bundle
    EXPECT_EQ(Root() + "/Other.strings", bundle->PathForResource("Other", "strings"));
    EXPECT_EQ("", bundle->PathForResource("../Resources/Other", "strings"));
}

TEST_F(BundleTest, MainBundleIsBesideTheProgramUnlessOverridden)
{
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::string dir = exe;
    dir.erase(dir.rfind('/'));
    const std::string parent = dir.substr(0, dir.rfind('/'));

    unsetenv("PLATFORM_MAIN_BUNDLE");
    EXPECT_EQ(parent + "/Resources", Bundle::MainBundle()->ResourcePath());
    // Functions of the program itself belong to the same folder.
    EXPECT_EQ(dir + "/Resources", Bundle::BundleForAddress(reinterpret_cast<const void*>(&testutil::SourceDir))->ResourcePath());
    // A function of a shared library belongs to the library's folder.
    const std::string libm = Bundle::BundleForAddress(reinterpret_cast<const void*>(&::cos))->ResourcePath();
    EXPECT_NE(std::string::npos, libm.find("/lib")) << libm;

    setenv("PLATFORM_MAIN_BUNDLE", Root().c_str(), 1);
    EXPECT_EQ(Root(), Bundle::MainBundle()->ResourcePath());
    unsetenv("PLATFORM_MAIN_BUNDLE");
}

// Hazard: a program started by a relative path ("./prog") got the relative folder "./Resources",
// which names another folder, or none, once the working directory changes.
TEST(BundleForAddress, ProgramStartedByARelativePathGetsAnAbsoluteFolder)
{
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(BUNDLE_PROBE_PATH, real));
    std::string dir = real;
    dir.erase(dir.rfind('/'));
    const std::string parent = dir.substr(0, dir.rfind('/'));
    const std::string name = dir.substr(dir.rfind('/') + 1) + "/bundle_probe";
    struct Case
    {
        const char* name;
        std::string command;
    };
    const Case kCases[] = {
        {"./prog", "cd " + testutil::ShellQuote(dir) + " && ./bundle_probe"},
        {"folder/prog", "cd " + testutil::ShellQuote(parent) + " && ./" + testutil::ShellQuote(name)},
        {"./prog, then a change of folder", "cd " + testutil::ShellQuote(dir) + " && ./bundle_probe --chdir /"},
        {"absolute path", testutil::ShellQuote(std::string(real))},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string output;
        ASSERT_EQ(0, testutil::RunCommand(c.command, &output));
        EXPECT_EQ(dir + "/Resources\n", output);
    }
}

TEST_F(BundleTest, IdentifiersMapToRegisteredFolders)
{
    EXPECT_EQ(nullptr, Bundle::BundleWithIdentifier("test.unregistered"));
    Bundle::RegisterIdentifier("test.bundle", Root());
    auto bundle = Bundle::BundleWithIdentifier("test.bundle");
    ASSERT_TRUE(bundle);
    EXPECT_EQ(Root(), bundle->ResourcePath());
}

}  // namespace
