#include "platform/StringsFile.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

namespace {

using platform::ParseStringsText;
using platform::StringsTable;

TEST(StringsFile, ParsesTheFormsATableUses)
{
    struct Case
    {
        const char* name;
        std::string text;
        StringsTable expected;
    };
    const Case kCases[] = {
        {"empty", "", {}},
        {"one entry", "\"a\" = \"b\";", {{"a", "b"}}},
        {"comments everywhere", "/* c */ \"a\" /* x */ = // line\n \"b\" ; // end", {{"a", "b"}}},
        {"byte order mark", "\xEF\xBB\xBF\"k\"=\"v\";", {{"k", "v"}}},
        {"escapes", R"("k" = "a\nb\t\"q\" \\ \'s\'";)", {{"k", "a\nb\t\"q\" \\ 's'"}}},
        {"\\U escape", R"("k" = "\U4E2D\u6587";)", {{"k", "\xE4\xB8\xAD\xE6\x96\x87"}}},
        {"surrogate pair", R"("k" = "\UD83D\UDE00";)", {{"k", "\xF0\x9F\x98\x80"}}},
        {"raw UTF-8", "\"标题\" = \"选择证书\";", {{"标题", "选择证书"}}},
        {"bare words", "key = value_1.x;", {{"key", "value_1.x"}}},
        {"key only", "\"same\";", {{"same", "same"}}},
        {"last duplicate wins", "\"a\"=\"1\";\"a\"=\"2\";", {{"a", "2"}}},
        {"several lines", "\"a\" = \"1\";\n\"b\" = \"2\";\n", {{"a", "1"}, {"b", "2"}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        StringsTable table;
        std::string error;
        EXPECT_TRUE(ParseStringsText(c.text, &table, &error)) << error;
        EXPECT_EQ(c.expected, table);
    }
}

TEST(StringsFile, RefusesMalformedTablesAndLeavesTheResultAlone)
{
    struct Case
    {
        const char* name;
        std::string text;
        const char* where;  // expected in the error text
    };
    const Case kCases[] = {
        {"unterminated string", "\"a\" = \"b;", "line 1"},
        {"missing semicolon", "\"a\" = \"b\"\n\"c\" = \"d\";", "';'"},
        {"missing equals", "\"a\" \"b\";", "'='"},
        {"unknown escape", R"("a" = "\q";)", "escape"},
        {"short \\U", R"("a" = "\U12";)", "hexadecimal"},
        {"lone high surrogate", R"("a" = "\UD83D";)", "surrogate"},
        {"lone low surrogate", R"("a" = "\UDE00";)", "surrogate"},
        {"NUL escape", R"("a" = "\U0000";)", "U0000"},
        {"invalid UTF-8", "\"a\" = \"\xC3\x28\";", "UTF-8"},
        {"unterminated comment", "/* \"a\" = \"b\";", "comment"},
        {"error on a later line", "\"a\" = \"b\";\n\n\"c\" = ;", "line 3"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        StringsTable table{{"kept", "yes"}};
        std::string error;
        EXPECT_FALSE(ParseStringsText(c.text, &table, &error));
        EXPECT_NE(std::string::npos, error.find(c.where)) << error;
        EXPECT_EQ((StringsTable{{"kept", "yes"}}), table);
    }
}

TEST(StringsFile, ReadsFilesAndRefusesMissingOrOversizedOnes)
{
    testutil::ScopedTempDir dir;
    StringsTable table;
    std::string error;
    ASSERT_TRUE(testutil::WriteFile(dir.File("t.strings"), "\"a\" = \"b\";"));
    EXPECT_TRUE(platform::ParseStringsFile(dir.File("t.strings"), &table, &error)) << error;
    EXPECT_EQ("b", table["a"]);

    EXPECT_FALSE(platform::ParseStringsFile(dir.File("missing.strings"), &table, &error));

    // An unbounded file must not be read into memory whole.
    std::string big = "/*";
    big.append(platform::kMaxStringsFileSize, ' ');
    big += "*/";
    ASSERT_TRUE(testutil::WriteFile(dir.File("big.strings"), big));
    EXPECT_FALSE(platform::ParseStringsFile(dir.File("big.strings"), &table, &error));
    EXPECT_NE(std::string::npos, error.find("larger")) << error;
}

}  // namespace
