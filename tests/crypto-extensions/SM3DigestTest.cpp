// SM3: standard vectors, OpenSSL's own SM3 as the reference for random messages and splits, the block
// interface against the streaming one, and the padding boundaries.
#include "SM3BlockApi.h"
#include "SM3Digest.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using testutil::BytesToHex;

std::string Hex(const unsigned char* md)
{
    return BytesToHex(md, SM3_DIGEST_LENGTH);
}

std::string StreamingDigest(const std::vector<unsigned char>& msg, const std::vector<size_t>& splits)
{
    SM3_CTX ctx;
    EXPECT_EQ(1, SM3_Init(&ctx));
    size_t off = 0;
    for (size_t part : splits) {
        EXPECT_EQ(1, SM3_Update(&ctx, msg.data() + off, part));
        off += part;
    }
    EXPECT_EQ(1, SM3_Update(&ctx, msg.data() + off, msg.size() - off));
    unsigned char md[32];
    EXPECT_EQ(1, SM3_Final(md, &ctx));
    return Hex(md);
}

std::string BlockApiDigest(const std::vector<unsigned char>& msg, const std::vector<size_t>& splits)
{
    SM3_DIGEST_STATE st;
    EXPECT_EQ(1, _SM3_DigestInit(&st));
    size_t off = 0;
    for (size_t part : splits) {
        const uint64_t len = part;
        EXPECT_EQ(1, _SM3_DigestUpdate(&st, msg.data() + off, &len));
        off += part;
    }
    const uint64_t rest = msg.size() - off;
    uint32_t words[8];
    EXPECT_EQ(1, _SM3_DigestFinal(&st, msg.data() + off, &rest, words));
    unsigned char md[32];
    EXPECT_EQ(1, _ConvertSM3DigestData2Bytes(words, md));
    return Hex(md);
}

std::string OpenSslDigest(const std::vector<unsigned char>& msg)
{
    EVP_MD* md = EVP_MD_fetch(nullptr, "SM3", nullptr);
    EXPECT_NE(nullptr, md);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    EXPECT_EQ(1, EVP_Digest(msg.data(), msg.size(), out, &outLen, md, nullptr));
    EVP_MD_free(md);
    EXPECT_EQ(32u, outLen);
    return BytesToHex(out, outLen);
}

std::vector<unsigned char> Bytes(const std::string& s)
{
    return std::vector<unsigned char>(s.begin(), s.end());
}

// Random cut points of a message, sorted into part lengths.
std::vector<size_t> RandomSplits(std::mt19937& rng, size_t total)
{
    std::vector<size_t> parts;
    size_t left = total;
    const int pieces = std::uniform_int_distribution<int>(0, 6)(rng);
    for (int i = 0; i < pieces && left > 0; ++i) {
        const size_t part = std::uniform_int_distribution<size_t>(0, left)(rng);
        parts.push_back(part);
        left -= part;
    }
    return parts;
}

TEST(SM3Digest, StandardVectorsOnBothInterfacesAndTheDigestEntry)
{
    struct Case
    {
        const char* name;
        std::string msg;
        const char* digest;
    };
    const Case kCases[] = {
        {"abc", "abc", "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"},
        {"abcd x 16", std::string(
                          "abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd"),
         "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto msg = Bytes(c.msg);
        unsigned char md[32];
        EXPECT_EQ(md, SM3(msg.data(), msg.size(), md));
        EXPECT_EQ(c.digest, Hex(md));
        EXPECT_EQ(c.digest, BlockApiDigest(msg, {}));

        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int outLen = 0;
        ASSERT_NE(nullptr, SM_EVP_sm3());
        ASSERT_EQ(1, EVP_Digest(msg.data(), msg.size(), out, &outLen, SM_EVP_sm3(), nullptr));
        EXPECT_EQ(c.digest, BytesToHex(out, outLen));
    }
}

TEST(SM3Digest, RandomMessagesAndSplitsMatchOpenSsl)
{
    std::mt19937 rng(20240917);
    for (int round = 0; round < 300; ++round) {
        const size_t len = round < 150 ? std::uniform_int_distribution<size_t>(0, 300)(rng)
                                       : std::uniform_int_distribution<size_t>(0, 20000)(rng);
        std::vector<unsigned char> msg(len);
        for (auto& b : msg)
            b = static_cast<unsigned char>(rng());
        const auto splits = RandomSplits(rng, len);
        SCOPED_TRACE("length " + std::to_string(len) + ", " + std::to_string(splits.size()) + " extra updates");

        const std::string expected = OpenSslDigest(msg);
        EXPECT_EQ(expected, StreamingDigest(msg, splits));
        EXPECT_EQ(expected, BlockApiDigest(msg, splits));
    }
}

TEST(SM3Digest, DigestEntryCopiesAndResumesLikeAnyLibraryDigest)
{
    // Our entry has no copy function: the library copies the private data, which must be enough.
    const auto msg = Bytes("The quick brown fox jumps over the lazy dog, twice over and once more");
    EVP_MD_CTX* a = EVP_MD_CTX_new();
    EVP_MD_CTX* b = EVP_MD_CTX_new();
    ASSERT_EQ(1, EVP_DigestInit_ex(a, SM_EVP_sm3(), nullptr));
    ASSERT_EQ(1, EVP_DigestUpdate(a, msg.data(), 37));
    ASSERT_EQ(1, EVP_MD_CTX_copy_ex(b, a));
    ASSERT_EQ(1, EVP_DigestUpdate(b, msg.data() + 37, msg.size() - 37));
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    ASSERT_EQ(1, EVP_DigestFinal_ex(b, out, &outLen));
    EXPECT_EQ(OpenSslDigest(msg), BytesToHex(out, outLen));
    EXPECT_EQ(32, EVP_MD_get_size(SM_EVP_sm3()));
    EXPECT_EQ(64, EVP_MD_get_block_size(SM_EVP_sm3()));
    EVP_MD_CTX_free(a);
    EVP_MD_CTX_free(b);
}

TEST(SM3Digest, PaddingBoundaries)
{
    // 55 bytes still fit 0x80 and the length in one block; 56 to 64 buffered bytes need a second one.
    for (size_t len : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128}) {
        SCOPED_TRACE(len);
        std::vector<unsigned char> msg(len, static_cast<unsigned char>('a' + len % 26));
        const std::string expected = OpenSslDigest(msg);
        EXPECT_EQ(expected, StreamingDigest(msg, {}));
        EXPECT_EQ(expected, BlockApiDigest(msg, {}));
    }

    struct PadCase
    {
        uint32_t count;
        int ok;
        uint32_t size;
    };
    const PadCase kPads[] = {{0, 1, 64}, {55, 1, 64}, {56, 1, 128}, {64, 1, 128}, {65, 0, 0}};
    const std::vector<unsigned char> data(64, 0xAB);
    for (const PadCase& c : kPads) {
        SCOPED_TRACE(c.count);
        unsigned char* out = nullptr;
        uint32_t outLen = 0;
        // Total 0x20000001 bytes: the bit length needs all five length bytes.
        ASSERT_EQ(c.ok, Padding(data.data(), c.count, 0x20000001u, &out, &outLen));
        if (!c.ok)
            continue;
        ASSERT_EQ(c.size, outLen);
        EXPECT_EQ(std::vector<unsigned char>(data.begin(), data.begin() + c.count),
                  std::vector<unsigned char>(out, out + c.count));
        EXPECT_EQ(0x80, out[c.count]);
        EXPECT_EQ("0000000100000008", BytesToHex(out + outLen - 8, 8));
        for (uint32_t i = c.count + 1; i < outLen - 8; ++i)
            ASSERT_EQ(0, out[i]) << i;
        OPENSSL_free(out);
    }
}

TEST(SM3Digest, EmptyUpdatesChangeNothingAndEmptyMessageDigest)
{
    SM3_CTX ctx;
    ASSERT_EQ(1, SM3_Init(&ctx));
    EXPECT_EQ(1, SM3_Update(&ctx, nullptr, 0));
    EXPECT_EQ(1, SM3_Update(&ctx, "x", 0));
    unsigned char md[32];
    ASSERT_EQ(1, SM3_Final(md, &ctx));
    EXPECT_EQ(OpenSslDigest({}), Hex(md));
    EXPECT_EQ("1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b", Hex(md));
}

TEST(SM3Digest, MissingArgumentsAreRefused)
{
    unsigned char md[32];
    EXPECT_EQ(0, SM3_Init(nullptr));
    EXPECT_EQ(0, SM3_Update(nullptr, "abc", 3));
    EXPECT_EQ(0, SM3_Final(md, nullptr));
    EXPECT_EQ(0, _SM3_DigestInit(nullptr));

    // A null data pointer is a no-op for the block interface.
    SM3_DIGEST_STATE st;
    ASSERT_EQ(1, _SM3_DigestInit(&st));
    const SM3_DIGEST_STATE before = st;
    const uint64_t len = 10;
    EXPECT_EQ(1, _SM3_DigestUpdate(&st, nullptr, &len));
    EXPECT_EQ(0, memcmp(&before, &st, sizeof(st)));

    // SM3_DigestBlock hashes exactly one 64-byte block.
    unsigned char block[64] = {0};
    for (uint32_t bad : {0u, 63u, 65u, 128u}) {
        EXPECT_EQ(0, SM3_DigestBlock(&st, block, &bad));
    }
    EXPECT_EQ(0, memcmp(&before, &st, sizeof(st)));
    const uint32_t good = 64;
    EXPECT_EQ(1, SM3_DigestBlock(&st, block, &good));
    EXPECT_EQ(64u, st.total);
}

TEST(SM3Digest, StepFunctionsFollowTheStandard)
{
    EXPECT_EQ(0x79CC4519u, T(0));
    EXPECT_EQ(0x79CC4519u, T(15));
    EXPECT_EQ(0x7A879D8Au, T(16));
    EXPECT_EQ(0x7A879D8Au, T(63));
    EXPECT_EQ(0u, T(64));

    uint32_t out = 0;
    EXPECT_EQ(1, FF(0xF0F0F0F0u, 0xCCCCCCCCu, 0xAAAAAAAAu, 3, &out));
    EXPECT_EQ(0xF0F0F0F0u ^ 0xCCCCCCCCu ^ 0xAAAAAAAAu, out);
    EXPECT_EQ(1, FF(0xF0F0F0F0u, 0xCCCCCCCCu, 0xAAAAAAAAu, 20, &out));
    EXPECT_EQ(0xE8E8E8E8u, out);  // majority
    EXPECT_EQ(1, GG(0xF0F0F0F0u, 0xCCCCCCCCu, 0xAAAAAAAAu, 20, &out));
    EXPECT_EQ(0xCACACACAu, out);  // choose
    EXPECT_EQ(0, FF(1, 2, 3, 64, &out));
    EXPECT_EQ(0, GG(1, 2, 3, 64, &out));

    EXPECT_EQ(0x80000001u, CROL(0xC0000000u, 1));
    EXPECT_EQ(0x12345678u, CROL(0x12345678u, 32));
    EXPECT_EQ(1u ^ (1u << 9) ^ (1u << 17), P0(1));
    EXPECT_EQ(1u ^ (1u << 15) ^ (1u << 23), P1(1));

    // The block compressed by the step functions equals the streaming compression.
    unsigned char block[64];
    for (int i = 0; i < 64; ++i)
        block[i] = static_cast<unsigned char>(i * 37 + 11);
    uint32_t* words = nullptr;
    uint32_t nwords = 0;
    ASSERT_EQ(1, ConvertBytesArraytoInt32Array(block, 64, &words, &nwords));
    ASSERT_EQ(16u, nwords);
    EXPECT_EQ(0x0B30557Au, words[0]);
    uint32_t W[68], W1[64], V[8], out8[8];
    SM3_CTX ref;
    SM3_Init(&ref);
    memcpy(V, ref.state, sizeof(V));
    ASSERT_EQ(1, ExtendMessage(words, W, W1));
    ASSERT_EQ(1, CF(V, W, W1, out8));
    SM3_Compress(ref.state, block);
    EXPECT_EQ(0, memcmp(ref.state, out8, sizeof(out8)));
    OPENSSL_free(words);

    // A byte count that is not a multiple of four packs into a last, partly filled word.
    const unsigned char five[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(1, ConvertBytesArraytoInt32Array(five, 5, &words, &nwords));
    ASSERT_EQ(2u, nwords);
    EXPECT_EQ(0x01020304u, words[0]);
    EXPECT_EQ(0x05000000u, words[1]);
    OPENSSL_free(words);
}

}  // namespace
