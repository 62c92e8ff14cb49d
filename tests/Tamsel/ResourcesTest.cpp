#include "DialogTestSupport.h"

#include "platform/StringsFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;

std::set<std::string> Keys(const platform::StringsTable& table)
{
    std::set<std::string> keys;
    for (const auto& e : table)
        keys.insert(e.first);
    return keys;
}

TEST(FrameworkResources, EveryTableParsesAndTheTranslationHasTheSameKeys)
{
    const fs::path root = dialogtest::FrameworkResources();
    ASSERT_TRUE(fs::is_directory(root)) << root;
    int tables = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.path().extension() != ".strings")
            continue;
        ++tables;
        SCOPED_TRACE(entry.path().filename().string());
        platform::StringsTable base;
        platform::StringsTable zh;
        std::string error;
        ASSERT_TRUE(platform::ParseStringsFile(entry.path().string(), &base, &error)) << error;
        const fs::path zhPath = root / "zh-Hans.lproj" / entry.path().filename();
        ASSERT_TRUE(platform::ParseStringsFile(zhPath.string(), &zh, &error)) << error;
        EXPECT_EQ(Keys(base), Keys(zh));
        for (const auto& e : zh)
            EXPECT_NE(e.second, "") << e.first;
    }
    EXPECT_EQ(5, tables);
    // The translation folder holds no table the base lacks.
    for (const auto& entry : fs::directory_iterator(root / "zh-Hans.lproj"))
        EXPECT_TRUE(fs::exists(root / entry.path().filename())) << entry.path();
}

TEST(FrameworkResources, LocalizableHoldsExactlyTheFourKeys)
{
    platform::StringsTable table;
    ASSERT_TRUE(platform::ParseStringsFile(dialogtest::FrameworkResources() + "/Localizable.strings", &table));
    EXPECT_EQ((std::set<std::string>{"SelectCertTitle", "SelectCertContext", "RetryPIN", "PINLengthError"}),
              Keys(table));
}

}  // namespace
