// Base64 codec against coreutils base64, the openssl tool and OpenSSL's EVP block functions.
#include "Base64.h"

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes RandomBytes(size_t size)
{
    Bytes out(size);
    if (size > 0 && 1 != RAND_bytes(out.data(), static_cast<int>(size)))
        ADD_FAILURE() << "RAND_bytes";
    return out;
}

// Base64EncodeEx; *result gets its code. Zero octets come from a valid (empty) buffer.
std::string Encode(const Bytes& data, unsigned long flags, unsigned int* result = nullptr)
{
    unsigned char empty = 0;
    char* text = nullptr;
    int length = -1;
    const unsigned int code = Base64EncodeEx(data.empty() ? &empty : const_cast<unsigned char*>(data.data()),
                                             static_cast<int>(data.size()), &text, &length, flags);
    std::string out = text ? text : "";
    EXPECT_EQ(QOVA_OK == code ? static_cast<int>(out.size()) : -1, length);
    delete[] text;
    if (result)
        *result = code;
    else
        EXPECT_EQ(QOVA_OK, code);
    return out;
}

Bytes Decode(const std::string& text, unsigned int expected = QOVA_OK)
{
    unsigned char* data = nullptr;
    int size = 0;
    EXPECT_EQ(expected, Base64DecodeEx(text.data(), static_cast<int>(text.size()), &data, &size));
    Bytes out(data, data + (data ? size : 0));
    delete[] data;
    return out;
}

TEST(Base64Length, RequiredLengths)
{
    struct Case { int n; unsigned long flags; int length; };
    const Case kCases[] = {{1, 0, 6}, {1, 2, 4}, {3, 0, 6}, {57, 0, 80}, {57, 2, 76}, {58, 0, 84},
                           {0, 0, 2}, {0, 1, 2}, {0, 2, 0}, {2, 1, 6}, {-1, 0, -1}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::to_string(c.n) + " octets, flags " + std::to_string(c.flags));
        EXPECT_EQ(c.length, Base64EncodeGetRequiredLength(c.n, c.flags));
    }
    EXPECT_EQ(123, Base64DecodeGetRequiredLength(123));
}

// Hazard: 4n/3 plus line breaks overflowed int above about 1.6e9 octets, giving a negative or
// wrapped size that let the encoder run past its buffer.
TEST(Base64Length, HugeSizesAreRefusedNotWrapped)
{
    for (int n : {INT_MAX, 2000000000, 1600000000})
        EXPECT_EQ(-1, Base64EncodeGetRequiredLength(n, ATL_BASE64_FLAG_NONE)) << n;
    EXPECT_EQ(-1, Base64EncodeGetRequiredLength(INT_MAX, ATL_BASE64_FLAG_NOCRLF));
    // Just below the limit the size is exact: 4 characters per group, 2 per line break.
    EXPECT_EQ(2000000000 + 2 * (2000000000 / 76 + 1), Base64EncodeGetRequiredLength(1500000000, 0));

    // Refused before the (small) data buffer is read.
    unsigned char small[4] = {0};
    char* text = nullptr;
    EXPECT_EQ(QOVA_E_BASE64_ENCODE, Base64EncodeEx(small, 1600000000, &text, nullptr, ATL_BASE64_FLAG_NONE));
    EXPECT_EQ(nullptr, text);
    char dest[16];
    int destSize = INT_MAX;
    EXPECT_FALSE(Base64Encode(small, INT_MAX, dest, &destSize, ATL_BASE64_FLAG_NONE));
}

TEST(Base64Encode, EdgeCases)
{
    struct Case { const char* name; Bytes data; unsigned long flags; unsigned int result; std::string text; };
    const std::string line(76, 'A');
    const Case kCases[] = {
        {"abc", {'a', 'b', 'c'}, 0, QOVA_OK, "YWJj"},
        {"zero octet padded", {0}, 0, QOVA_OK, "AA=="},
        {"zero octet unpadded", {0}, 1, QOVA_OK, "AA"},
        {"57 octets end in CR LF", Bytes(57, 0), 0, QOVA_OK, line + "\r\n"},
        {"58 octets", Bytes(58, 0), 0, QOVA_OK, line + "\r\nAA=="},
        {"58 octets one line", Bytes(58, 0), 2, QOVA_OK, line + "AA=="},
        {"no CR LF after a short last line", Bytes(60, 0), 0, QOVA_OK, line + "\r\nAAAA"},
        {"empty", {}, 0, QOVA_OK, ""},
        {"empty unpadded", {}, 1, QOVA_OK, ""},
        {"empty one line", {}, 2, QOVA_E_BASE64_ENCODE, ""},
        {"flags 3", {'a'}, 3, QOVA_E_INVALIDARG, ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        unsigned int result = 0;
        EXPECT_EQ(c.text, Encode(c.data, c.flags, &result));
        EXPECT_EQ(c.result, result);
    }
    char* text = nullptr;
    EXPECT_EQ(QOVA_E_BASE64_ENCODE, Base64EncodeEx(nullptr, 3, &text, nullptr, ATL_BASE64_FLAG_NONE));
    EXPECT_EQ(QOVA_E_INVALIDARG, Base64EncodeEx(nullptr, 3, nullptr, nullptr, ATL_BASE64_FLAG_NONE));

    // The buffer function writes nothing into a buffer below the required length, and no NUL.
    char dest[8] = "#######";
    int destSize = 5;
    EXPECT_FALSE(Base64Encode(reinterpret_cast<const unsigned char*>("abc"), 3, dest, &destSize, 0));
    EXPECT_STREQ("#######", dest);
    destSize = 6;
    EXPECT_TRUE(Base64Encode(reinterpret_cast<const unsigned char*>("abc"), 3, dest, &destSize, 0));
    EXPECT_EQ(4, destSize);
    EXPECT_STREQ("YWJj###", dest);
}

// Flag 0 is `base64 -w 76` with CR LF between lines (and after the full-group text only when it
// fills whole lines), flag 2 is `base64 -w 0` and EVP_EncodeBlock, flag 1 is flag 0 without "=".
TEST(Base64Encode, MatchesCoreutilsAndOpenSSL)
{
    testutil::ScopedTempDir dir;
    std::vector<size_t> sizes = {111, 112, 113, 114, 115, 116, 170, 171, 172, 1140, 1141, 65536, 1048577};
    for (size_t n = 0; n <= 62; ++n)
        sizes.push_back(n);
    for (size_t n : sizes) {
        const Bytes data = RandomBytes(n);
        ASSERT_TRUE(testutil::WriteFile(dir.File("in." + std::to_string(n)), std::string(data.begin(), data.end())));
    }
    ASSERT_EQ(0, testutil::RunCommand("cd " + testutil::ShellQuote(dir.Path()) +
                                      " && for f in in.*; do base64 -w 76 $f > $f.w76 && base64 -w 0 $f > $f.w0; done"));

    for (size_t n : sizes) {
        SCOPED_TRACE(std::to_string(n) + " octets");
        const std::string base = dir.File("in." + std::to_string(n));
        const std::string raw = testutil::ReadFileOrEmpty(base);
        const Bytes data(raw.begin(), raw.end());
        std::string lines;
        for (char c : testutil::ReadFileOrEmpty(base + ".w76"))
            lines += '\n' == c ? std::string("\r\n") : std::string(1, c);
        if (!(n % 57 == 0 && n > 0))
            lines.resize(lines.size() >= 2 ? lines.size() - 2 : 0);
        EXPECT_EQ(lines, Encode(data, ATL_BASE64_FLAG_NONE));
        lines.erase(std::remove(lines.begin(), lines.end(), '='), lines.end());
        EXPECT_EQ(lines, Encode(data, ATL_BASE64_FLAG_NOPAD));
        if (0 == n)
            continue;
        const std::string oneLine = testutil::ReadFileOrEmpty(base + ".w0");
        EXPECT_EQ(oneLine, Encode(data, ATL_BASE64_FLAG_NOCRLF));
        std::string evp(oneLine.size() + 1, '\0');
        evp.resize(static_cast<size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&evp[0]), data.data(), static_cast<int>(n))));
        EXPECT_EQ(oneLine, evp);
    }
}

TEST(Base64Decode, AcceptsTextOfOtherTools)
{
    testutil::ScopedTempDir dir;
    for (size_t n : {1, 2, 3, 48, 49, 57, 58, 1000, 65537}) {
        SCOPED_TRACE(std::to_string(n) + " octets");
        const Bytes data = RandomBytes(n);
        ASSERT_TRUE(testutil::WriteFile(dir.File("data"), std::string(data.begin(), data.end())));
        std::string opensslText, coreutilsText;
        ASSERT_EQ(0, testutil::RunCommand("openssl base64 -in " + testutil::ShellQuote(dir.File("data")),
                                          &opensslText));
        ASSERT_EQ(0, testutil::RunCommand("base64 " + testutil::ShellQuote(dir.File("data")), &coreutilsText));
        EXPECT_EQ(n > 48 ? 64u : opensslText.size() - 1, opensslText.find('\n'));  // 64-character LF lines
        for (unsigned long flags : {0ul, 1ul, 2ul})
            EXPECT_EQ(data, Decode(Encode(data, flags)));
        EXPECT_EQ(data, Decode(opensslText));
        EXPECT_EQ(data, Decode(coreutilsText));
    }
}

TEST(Base64Decode, EdgeCasesAndCapacity)
{
    struct Case { const char* name; std::string text; std::string data; };
    const Case kCases[] = {
        {"CR LF inside a group", "YW\r\nJj", "abc"},
        {"blanks between characters", "Y W J j", "abc"},
        {"four padding characters", "YWJj====", "abc"},
        {"two characters", "YQ", "a"},
        {"one character decodes to nothing", "Y", ""},
        {"other bytes are skipped", "Y\x01W*J\xffj", "abc"},
        {"NUL after a whole group ends the text", std::string("YWJj\0YWJj", 9), "abc"},
        {"NUL inside a group is skipped", std::string("YW\0Jj", 5), "abc"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Bytes(c.data.begin(), c.data.end()), Decode(c.text));
    }
    EXPECT_EQ(-1, DecodeBase64Char('='));
    EXPECT_EQ(63, DecodeBase64Char('/'));
    Decode("", QOVA_E_BASE64_DECODE);
    unsigned char* data = nullptr;
    int size = 0;
    EXPECT_EQ(QOVA_E_BASE64_DECODE, Base64DecodeEx(nullptr, 4, &data, &size));

    // A measuring call writes nothing; whole groups that fit are written, none after the first
    // that does not, and the count goes on.
    EXPECT_FALSE(Base64Decode("YWJjZGVmZA", 10, nullptr, &size));
    EXPECT_EQ(7, size);
    unsigned char dest[8];
    memset(dest, '#', sizeof(dest));
    size = 5;
    EXPECT_FALSE(Base64Decode("YWJjZGVmZA", 10, dest, &size));
    EXPECT_EQ(7, size);
    EXPECT_EQ(0, memcmp(dest, "abc#####", 8));
    size = 7;
    EXPECT_TRUE(Base64Decode("YWJjZGVmZA", 10, dest, &size));
    EXPECT_EQ(0, memcmp(dest, "abcdefd#", 8));
}

}  // namespace
