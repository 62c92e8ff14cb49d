#include "Misc.h"

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::vector<std::string> Split(const char* text, const char* sep, unsigned int* code)
{
    std::vector<char*> tokens;
    *code = SplitString(text, sep, tokens);
    std::vector<std::string> out(tokens.begin(), tokens.end());
    CleanupStringVector(tokens);
    return out;
}

TEST(SplitString, PiecesBetweenWholeSeparators)
{
    struct Case { const char* name; const char* text; const char* sep; unsigned int code; std::vector<std::string> out; };
    const Case kCases[] = {
        {"single mark", "X#Y##Z#", "#", QOVA_OK, {"X", "Y", "Z"}},
        {"separator is a string, not a set", "X#Y##Z#", "##", QOVA_OK, {"X#Y", "Z#"}},
        {"no separator in text", "abc", "#", QOVA_OK, {"abc"}},
        {"only separators", "###", "#", QOVA_OK, {}},
        {"empty text", "", "#", QOVA_OK, {}},
        {"null text", nullptr, "#", QOVA_OK, {}},
        {"null separator", "a#b", nullptr, QOVA_E_FAIL, {}},
        {"empty separator must not loop", "a#b", "", QOVA_E_FAIL, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        unsigned int code = 0;
        EXPECT_EQ(c.out, Split(c.text, c.sep, &code));
        EXPECT_EQ(c.code, code);
    }
}

TEST(SplitString, KeepsWhatTheListHeld)
{
    std::vector<char*> tokens{strdup("first")};
    ASSERT_EQ(QOVA_OK, SplitString("a#b", "#", tokens));
    ASSERT_EQ(3u, tokens.size());
    EXPECT_STREQ("first", tokens[0]);
    EXPECT_STREQ("b", tokens[2]);
    CleanupStringVector(tokens);
    EXPECT_TRUE(tokens.empty());
}

TEST(ConvertBinaryDataToString, UppercaseInOrderOrReversed)
{
    unsigned char bytes[] = {0x01, 0xAB, 0xFF};
    struct Case { int size; bool reverse; const char* text; };
    const Case kCases[] = {{3, false, "01ABFF"}, {3, true, "FFAB01"}, {0, false, ""}, {-5, false, ""}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        char* text = nullptr;
        ASSERT_EQ(QOVA_OK, ConvertBinaryDataToString(bytes, c.size, &text, c.reverse));
        EXPECT_STREQ(c.text, text);
        delete[] text;
    }
}

TEST(GetFileSize_Ex, SizeAndRewind)
{
    testutil::ScopedTempDir dir;
    const std::string path = dir.File("f");
    FILE* fp = fopen(path.c_str(), "w+b");
    ASSERT_NE(nullptr, fp);
    unsigned size = 99;
    EXPECT_EQ(QOVA_OK, GetFileSize_Ex(fp, &size));
    EXPECT_EQ(0u, size);
    fputs("hello", fp);
    EXPECT_EQ(QOVA_OK, GetFileSize_Ex(fp, &size));
    EXPECT_EQ(5u, size);
    EXPECT_EQ(0, ftell(fp));
    EXPECT_EQ(QOVA_E_INVALIDARG, GetFileSize_Ex(fp, nullptr));
    EXPECT_EQ(QOVA_E_INVALIDARG, GetFileSize_Ex(nullptr, &size));
    fclose(fp);
}

TEST(GetFileSize_Ex, RefusesSizesThatDoNotFitAnInt)
{
    // A size cut to 32 bits would let callers process part of a file and report success.
    testutil::ScopedTempDir dir;
    const std::string path = dir.File("big");
    FILE* fp = fopen(path.c_str(), "w+b");
    ASSERT_NE(nullptr, fp);
    ASSERT_EQ(0, ftruncate(fileno(fp), 0x80000000LL));  // sparse: no disk used
    unsigned size = 7;
    EXPECT_EQ(QOVA_E_READ_FAULT, GetFileSize_Ex(fp, &size));
    EXPECT_EQ(7u, size);
    ASSERT_EQ(0, ftruncate(fileno(fp), 0x7FFFFFFFLL));
    EXPECT_EQ(QOVA_OK, GetFileSize_Ex(fp, &size));
    EXPECT_EQ(0x7FFFFFFFu, size);
    fclose(fp);
}

TEST(GetFileSize_Ex, PipeFailsTheSizeQuery)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    FILE* fp = fdopen(fds[0], "rb");
    unsigned size = 7;
    EXPECT_EQ(QOVA_E_FAIL, GetFileSize_Ex(fp, &size));
    EXPECT_EQ(7u, size);
    fclose(fp);
    close(fds[1]);
}

}  // namespace
