// Base64 codec against coreutils base64, the openssl tool and OpenSSL's EVP block functions.
#include "Base64.h"

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
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

struct Encoded
{
    unsigned int result = 0;
    std::string text;
    int length = -1;
};

Encoded EncodeEx(const Bytes& data, unsigned long flags)
{
    Encoded out;
    char* text = nullptr;
    // Zero octets still come from a valid buffer; a null buffer is refused.
    unsigned char empty = 0;
    unsigned char* bytes = data.empty() ? &empty : const_cast<unsigned char*>(data.data());
    out.result = Base64EncodeEx(bytes, static_cast<int>(data.size()), &text, &out.length, flags);
    if (text) {
        out.text = text;
        EXPECT_EQ(static_cast<size_t>(out.length), out.text.size());
    }
    delete[] text;
    return out;
}

struct Decoded
{
    unsigned int result = 0;
    Bytes data;
};

Decoded DecodeEx(const std::string& text, int length = -1)
{
    Decoded out;
    unsigned char* data = nullptr;
    int size = 0;
    out.result = Base64DecodeEx(text.c_str(), length < 0 ? static_cast<int>(text.size()) : length, &data, &size);
    if (data)
        out.data.assign(data, data + size);
    delete[] data;
    return out;
}

std::string RemoveAll(std::string text, char c)
{
    text.erase(std::remove(text.begin(), text.end(), c), text.end());
    return text;
}

TEST(Base64Length, RequiredLengthsOfTheDesign)
{
    struct Case { int n; unsigned long flags; int length; };
    const Case kCases[] = {{1, ATL_BASE64_FLAG_NONE, 6},    {1, ATL_BASE64_FLAG_NOCRLF, 4},
                           {3, ATL_BASE64_FLAG_NONE, 6},    {57, ATL_BASE64_FLAG_NONE, 80},
                           {57, ATL_BASE64_FLAG_NOCRLF, 76}, {0, ATL_BASE64_FLAG_NONE, 2},
                           {0, ATL_BASE64_FLAG_NOPAD, 2},   {0, ATL_BASE64_FLAG_NOCRLF, 0},
                           {58, ATL_BASE64_FLAG_NONE, 84},  {2, ATL_BASE64_FLAG_NOPAD, 6}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::to_string(c.n) + " octets, flags " + std::to_string(c.flags));
        EXPECT_EQ(c.length, Base64EncodeGetRequiredLength(c.n, c.flags));
    }
    EXPECT_EQ(-1, Base64EncodeGetRequiredLength(-1, ATL_BASE64_FLAG_NONE));
    EXPECT_EQ(123, Base64DecodeGetRequiredLength(123));
}

// Hazard: 4n/3 and the line breaks overflowed int for inputs above about 1.6e9 octets, giving a
// negative or wrapped size that let the encoder run past its buffer.
TEST(Base64Length, HugeSizesAreRefusedNotWrapped)
{
    for (int n : {INT_MAX, 2000000000, 1600000000}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(-1, Base64EncodeGetRequiredLength(n, ATL_BASE64_FLAG_NONE));
        EXPECT_EQ(-1, Base64EncodeGetRequiredLength(n, ATL_BASE64_FLAG_NOPAD));
    }
    EXPECT_EQ(-1, Base64EncodeGetRequiredLength(INT_MAX, ATL_BASE64_FLAG_NOCRLF));
    // Just below the limit the size is exact: 4n/3 rounded up to whole groups, 2 octets per line.
    const long long n = 1500000000;
    const long long chars = (n + 2) / 3 * 4;
    EXPECT_EQ(chars + 2 * (chars / 76 + 1), Base64EncodeGetRequiredLength(static_cast<int>(n), ATL_BASE64_FLAG_NONE));
    EXPECT_EQ(chars, Base64EncodeGetRequiredLength(static_cast<int>(n), ATL_BASE64_FLAG_NOCRLF));

    // The wrappers refuse before touching the (small) data buffer.
    unsigned char small[4] = {0};
    char* text = nullptr;
    EXPECT_EQ(QOVA_E_BASE64_ENCODE, Base64EncodeEx(small, 1600000000, &text, nullptr, ATL_BASE64_FLAG_NONE));
    EXPECT_EQ(QOVA_E_BASE64_ENCODE, Base64EncodeEx(small, INT_MAX, &text, nullptr, ATL_BASE64_FLAG_NOCRLF));
    EXPECT_EQ(nullptr, text);
    char dest[16];
    int destSize = INT_MAX;
    EXPECT_FALSE(Base64Encode(small, INT_MAX, dest, &destSize, ATL_BASE64_FLAG_NONE));
}

TEST(Base64Encode, EdgeCasesOfTheDesign)
{
    struct Case { const char* name; Bytes data; unsigned long flags; unsigned int result; std::string text; };
    const std::string line76(76, 'A');
    const Case kCases[] = {
        {"abc", {'a', 'b', 'c'}, ATL_BASE64_FLAG_NONE, QOVA_OK, "YWJj"},
        {"zero octet padded", {0}, ATL_BASE64_FLAG_NONE, QOVA_OK, "AA=="},
        {"zero octet unpadded", {0}, ATL_BASE64_FLAG_NOPAD, QOVA_OK, "AA"},
        {"two octets", {0, 0}, ATL_BASE64_FLAG_NONE, QOVA_OK, "AAA="},
        {"57 octets end in CR LF", Bytes(57, 0), ATL_BASE64_FLAG_NONE, QOVA_OK, line76 + "\r\n"},
        {"58 octets", Bytes(58, 0), ATL_BASE64_FLAG_NONE, QOVA_OK, line76 + "\r\nAA=="},
        {"58 octets one line", Bytes(58, 0), ATL_BASE64_FLAG_NOCRLF, QOVA_OK, line76 + "AA=="},
        {"60 octets: no CR LF after a short last line", Bytes(60, 0), ATL_BASE64_FLAG_NONE, QOVA_OK,
         line76 + "\r\nAAAA"},
        {"empty", {}, ATL_BASE64_FLAG_NONE, QOVA_OK, ""},
        {"empty unpadded", {}, ATL_BASE64_FLAG_NOPAD, QOVA_OK, ""},
        {"empty one line", {}, ATL_BASE64_FLAG_NOCRLF, QOVA_E_BASE64_ENCODE, ""},
        {"flags 3", {'a'}, 3, QOVA_E_INVALIDARG, ""},
        {"flags 4", {'a'}, 4, QOVA_E_INVALIDARG, ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Encoded out = EncodeEx(c.data, c.flags);
        EXPECT_EQ(c.result, out.result);
        EXPECT_EQ(c.text, out.text);
    }

    EXPECT_EQ(QOVA_E_INVALIDARG, Base64EncodeEx(nullptr, 1, nullptr, nullptr, ATL_BASE64_FLAG_NONE));
    char* text = nullptr;
    EXPECT_EQ(QOVA_E_BASE64_ENCODE, Base64EncodeEx(nullptr, 3, &text, nullptr, ATL_BASE64_FLAG_NONE));
    EXPECT_EQ(nullptr, text);

    // The buffer function writes nothing into a buffer below the required length.
    const unsigned char abc[] = {'a', 'b', 'c'};
    char dest[8];
    memset(dest, '#', sizeof(dest));
    int destSize = 5;
    EXPECT_FALSE(Base64Encode(abc, 3, dest, &destSize, ATL_BASE64_FLAG_NONE));
    EXPECT_EQ('#', dest[0]);
    destSize = 6;
    EXPECT_TRUE(Base64Encode(abc, 3, dest, &destSize, ATL_BASE64_FLAG_NONE));
    EXPECT_EQ(4, destSize);
    EXPECT_EQ(0, memcmp(dest, "YWJj", 4));
    EXPECT_EQ('#', dest[4]);  // no NUL
    EXPECT_FALSE(Base64Encode(abc, 3, nullptr, &destSize, ATL_BASE64_FLAG_NONE));
    EXPECT_FALSE(Base64Encode(abc, 3, dest, nullptr, ATL_BASE64_FLAG_NONE));
}

// Output for many sizes against coreutils: flag 0 is `base64 -w 76` with CR LF between lines (and
// after the last full-group line only when it is full and nothing follows), flag 2 is `base64 -w0`,
// flag 1 is flag 0 without the padding.
TEST(Base64Encode, MatchesCoreutilsBase64)
{
    testutil::ScopedTempDir dir;
    std::vector<size_t> sizes;
    // Every size up to past the first line break, and around the second and third.
    for (size_t n = 0; n <= 62; ++n)
        sizes.push_back(n);
    for (size_t n = 111; n <= 117; ++n)
        sizes.push_back(n);
    for (size_t n = 168; n <= 174; ++n)
        sizes.push_back(n);
    for (size_t n : {1000, 1140, 1141, 4096, 65536, 1048576, 1048577})
        sizes.push_back(n);
    std::vector<Bytes> inputs;
    for (size_t n : sizes) {
        inputs.push_back(RandomBytes(n));
        ASSERT_TRUE(testutil::WriteFile(dir.File("in." + std::to_string(n)),
                                        std::string(inputs.back().begin(), inputs.back().end())));
    }
    ASSERT_EQ(0, testutil::RunCommand("cd " + testutil::ShellQuote(dir.Path()) +
                                      " && for f in in.*; do base64 -w 76 $f > $f.w76 && base64 -w 0 $f > $f.w0;"
                                      " done"));

    for (size_t i = 0; i < sizes.size(); ++i) {
        const size_t n = sizes[i];
        SCOPED_TRACE(std::to_string(n) + " octets");
        const std::string base = dir.File("in." + std::to_string(n));
        std::string lines = testutil::ReadFileOrEmpty(base + ".w76");
        if (!lines.empty() && lines.back() == '\n')
            lines.pop_back();
        std::string crlf;
        for (char c : lines) {
            if ('\n' == c)
                crlf += '\r';
            crlf += c;
        }
        lines.swap(crlf);
        const size_t groups = n / 3;
        if (groups > 0 && groups % 19 == 0 && n % 3 == 0)
            lines += "\r\n";
        const std::string oneLine = testutil::ReadFileOrEmpty(base + ".w0");

        const Encoded lined = EncodeEx(inputs[i], ATL_BASE64_FLAG_NONE);
        ASSERT_EQ(QOVA_OK, lined.result);
        EXPECT_EQ(lines, lined.text);

        const Encoded unpadded = EncodeEx(inputs[i], ATL_BASE64_FLAG_NOPAD);
        ASSERT_EQ(QOVA_OK, unpadded.result);
        EXPECT_EQ(RemoveAll(lines, '='), unpadded.text);
        if (n < 57) {
            EXPECT_EQ(RemoveAll(oneLine, '='), unpadded.text);
        }

        const Encoded single = EncodeEx(inputs[i], ATL_BASE64_FLAG_NOCRLF);
        if (0 == n) {
            EXPECT_EQ(QOVA_E_BASE64_ENCODE, single.result);
            continue;
        }
        ASSERT_EQ(QOVA_OK, single.result);
        EXPECT_EQ(oneLine, single.text);

        // Each result fits the length the encoder announces.
        EXPECT_LE(lined.length, Base64EncodeGetRequiredLength(static_cast<int>(n), ATL_BASE64_FLAG_NONE));
        EXPECT_LE(unpadded.length, Base64EncodeGetRequiredLength(static_cast<int>(n), ATL_BASE64_FLAG_NOPAD));
        EXPECT_LE(single.length, Base64EncodeGetRequiredLength(static_cast<int>(n), ATL_BASE64_FLAG_NOCRLF));

        // EVP_EncodeBlock writes the same single line.
        std::string evp(static_cast<size_t>(4 * ((n + 2) / 3) + 1), '\0');
        const int evpLength = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&evp[0]), inputs[i].data(),
                                              static_cast<int>(n));
        evp.resize(static_cast<size_t>(evpLength));
        EXPECT_EQ(evp, single.text);
    }
}

// Decoding what other tools write: openssl's 64-character LF lines, coreutils' lines, our own
// CR LF lines and one-line text.
TEST(Base64Decode, AcceptsTextOfOtherTools)
{
    testutil::ScopedTempDir dir;
    for (size_t n : {1, 2, 3, 47, 48, 49, 57, 58, 100, 1000, 65537}) {
        SCOPED_TRACE(std::to_string(n) + " octets");
        const Bytes data = RandomBytes(n);
        const std::string in = dir.File("data");
        ASSERT_TRUE(testutil::WriteFile(in, std::string(data.begin(), data.end())));
        std::string opensslText, coreutilsText;
        ASSERT_EQ(0, testutil::RunCommand("openssl base64 -in " + testutil::ShellQuote(in), &opensslText));
        ASSERT_EQ(0, testutil::RunCommand("base64 " + testutil::ShellQuote(in), &coreutilsText));
        if (n > 48) {
            EXPECT_EQ(64u, opensslText.find('\n'));
        }

        for (const std::string& text : {opensslText, coreutilsText, EncodeEx(data, ATL_BASE64_FLAG_NONE).text,
                                        EncodeEx(data, ATL_BASE64_FLAG_NOPAD).text,
                                        EncodeEx(data, ATL_BASE64_FLAG_NOCRLF).text}) {
            const Decoded out = DecodeEx(text);
            EXPECT_EQ(QOVA_OK, out.result);
            EXPECT_EQ(data, out.data);
        }
    }
}

TEST(Base64Decode, EdgeCasesOfTheDesign)
{
    struct Case { const char* name; std::string text; int length; std::string data; };
    const Case kCases[] = {
        {"CR LF inside a group", "YW\r\nJj", -1, "abc"},
        {"blanks between characters", "Y W J j", -1, "abc"},
        {"four padding characters", "YWJj====", -1, "abc"},
        {"two characters", "YQ", -1, "a"},
        {"three characters", "YWI", -1, "ab"},
        {"one character decodes to nothing", "Y", -1, ""},
        {"other bytes are skipped", "Y\x01W*J\xffj", -1, "abc"},
        {"NUL after a whole group ends the text", std::string("YWJj\0YWJj", 9), 9, "abc"},
        {"NUL inside a group is skipped", std::string("YW\0Jj", 5), 5, "abc"},
        {"length shorter than the text", "YWJjYWJj", 4, "abc"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Decoded out = DecodeEx(c.text, c.length);
        EXPECT_EQ(QOVA_OK, out.result);
        EXPECT_EQ(Bytes(c.data.begin(), c.data.end()), out.data);
    }
    EXPECT_EQ(-1, DecodeBase64Char('='));
    EXPECT_EQ(62, DecodeBase64Char('+'));
    EXPECT_EQ(63, DecodeBase64Char('/'));
    EXPECT_EQ(-1, DecodeBase64Char(0x141));

    EXPECT_EQ(QOVA_E_BASE64_DECODE, DecodeEx("YWJj", 0).result);
    unsigned char* data = nullptr;
    int size = 0;
    EXPECT_EQ(QOVA_E_BASE64_DECODE, Base64DecodeEx("YWJj", -5, &data, &size));
    EXPECT_EQ(QOVA_E_BASE64_DECODE, Base64DecodeEx(nullptr, 4, &data, &size));
    EXPECT_EQ(QOVA_E_INVALIDARG, Base64DecodeEx("YWJj", 4, nullptr, &size));
    EXPECT_EQ(QOVA_E_INVALIDARG, Base64DecodeEx("YWJj", 4, &data, nullptr));
    EXPECT_EQ(nullptr, data);
}

TEST(Base64Decode, CapacityIsHonouredGroupByGroup)
{
    const char* text = "YWJjZGVmZ2g=";  // abcdefgh
    unsigned char dest[16];

    // Measuring call: nothing written, false, full length.
    int size = 0;
    EXPECT_FALSE(Base64Decode(text, 12, nullptr, &size));
    EXPECT_EQ(8, size);

    // Room for 7: the first two groups (6 octets) are written, the third does not fit.
    memset(dest, '#', sizeof(dest));
    size = 7;
    EXPECT_FALSE(Base64Decode(text, 12, dest, &size));
    EXPECT_EQ(8, size);
    EXPECT_EQ(0, memcmp(dest, "abcdef#", 7));

    // Once a group did not fit nothing more is written, even a smaller one that would.
    memset(dest, '#', sizeof(dest));
    size = 5;
    EXPECT_FALSE(Base64Decode("YWJjZGVmZA", 10, dest, &size));
    EXPECT_EQ(7, size);
    EXPECT_EQ(0, memcmp(dest, "abc##", 5));

    size = 8;
    EXPECT_TRUE(Base64Decode(text, 12, dest, &size));
    EXPECT_EQ(8, size);
    EXPECT_EQ(0, memcmp(dest, "abcdefgh", 8));
    EXPECT_FALSE(Base64Decode(nullptr, 4, dest, &size));
    EXPECT_FALSE(Base64Decode(text, 12, dest, nullptr));
}

TEST(Base64Decode, RandomTextAgainstEvpDecodeBlock)
{
    // Whole groups of alphabet characters decode exactly as OpenSSL decodes them.
    for (int round = 0; round < 200; ++round) {
        const Bytes data = RandomBytes(static_cast<size_t>(round * 3));
        std::string text(static_cast<size_t>(round * 4 + 1), '\0');
        const int textLength = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), data.data(),
                                               static_cast<int>(data.size()));
        text.resize(static_cast<size_t>(textLength));
        Bytes evp(data.size() + 3);
        const int evpLength = EVP_DecodeBlock(evp.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                              textLength);
        evp.resize(static_cast<size_t>(evpLength < 0 ? 0 : evpLength));
        const Decoded ours = DecodeEx(text);
        if (0 == round) {
            EXPECT_EQ(QOVA_E_BASE64_DECODE, ours.result);
            continue;
        }
        EXPECT_EQ(QOVA_OK, ours.result);
        EXPECT_EQ(evp, ours.data);
        EXPECT_EQ(data, ours.data);
    }
}

}  // namespace
