// SM4: the standard's vectors, the textbook step functions against the table-driven rounds, and our
// CBC cipher entry against OpenSSL 3.0's own SM4.
#include "SM4Cipher.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using testutil::BytesToHex;
using testutil::HexToBytes;
using Bytes = std::vector<unsigned char>;

const char* const kKeyHex = "0123456789abcdeffedcba9876543210";
const char* const kCipherHex = "681edf34d206965e86b3e94f536e4246";

void ToWords(const unsigned char* b, uint32_t w[4])
{
    for (int i = 0; i < 4; ++i) {
        w[i] = (uint32_t(b[4 * i]) << 24) | (uint32_t(b[4 * i + 1]) << 16) | (uint32_t(b[4 * i + 2]) << 8) | b[4 * i + 3];
    }
}

std::string WordsHex(const uint32_t w[4])
{
    unsigned char b[16];
    for (int i = 0; i < 4; ++i) {
        b[4 * i] = static_cast<unsigned char>(w[i] >> 24);
        b[4 * i + 1] = static_cast<unsigned char>(w[i] >> 16);
        b[4 * i + 2] = static_cast<unsigned char>(w[i] >> 8);
        b[4 * i + 3] = static_cast<unsigned char>(w[i]);
    }
    return BytesToHex(b, 16);
}

void RoundKeys(const Bytes& key, uint32_t rk[32], bool decrypt)
{
    uint32_t k[4];
    ToWords(key.data(), k);
    ASSERT_EQ(1, _SM4_ExtendKey(k, rk));
    if (decrypt) {
        ASSERT_EQ(1, _SM4_InvertRoundKey(rk));
    }
}

// Runs a whole message through a cipher with the given update splits.
Bytes RunCipher(const EVP_CIPHER* cipher, bool enc, const Bytes& key, const Bytes& iv, const Bytes& in, bool pad,
                const std::vector<size_t>& splits = {})
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(1, EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.data(), enc ? 1 : 0));
    EXPECT_EQ(1, EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0));
    Bytes out(in.size() + 32);
    int total = 0, n = 0;
    size_t off = 0;
    for (size_t part : splits) {
        EXPECT_EQ(1, EVP_CipherUpdate(ctx, out.data() + total, &n, in.data() + off, static_cast<int>(part)));
        total += n;
        off += part;
    }
    EXPECT_EQ(1, EVP_CipherUpdate(ctx, out.data() + total, &n, in.data() + off, static_cast<int>(in.size() - off)));
    total += n;
    EXPECT_EQ(1, EVP_CipherFinal_ex(ctx, out.data() + total, &n));
    total += n;
    out.resize(total);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

TEST(SM4Cipher, StandardVectorThroughTheCbcStep)
{
    const Bytes key = HexToBytes(kKeyHex);
    uint32_t rk[32];
    RoundKeys(key, rk, false);

    unsigned char iv[16] = {0};
    unsigned char out[16];
    ASSERT_EQ(1, SM4_cbc_encrypt(key.data(), rk, iv, out, 1));
    EXPECT_EQ(kCipherHex, BytesToHex(out, 16));
    EXPECT_EQ(kCipherHex, BytesToHex(iv, 16)) << "the IV must hold the last ciphertext block";

    // Decryption with the reversed keys, in place.
    uint32_t drk[32];
    RoundKeys(key, drk, true);
    unsigned char iv2[16] = {0};
    ASSERT_EQ(1, SM4_cbc_encrypt(out, drk, iv2, out, 0));
    EXPECT_EQ(kKeyHex, BytesToHex(out, 16));
    EXPECT_EQ(kCipherHex, BytesToHex(iv2, 16)) << "after decryption the IV is the ciphertext block";

    // The word form gives the same and chains the same way.
    uint32_t in[4], ivw[4] = {0, 0, 0, 0}, outw[4];
    ToWords(key.data(), in);
    ASSERT_EQ(1, _SM4_encrypt(in, rk, ivw, outw, 1));
    EXPECT_EQ(kCipherHex, WordsHex(outw));
    EXPECT_EQ(kCipherHex, WordsHex(ivw));
}

TEST(SM4Cipher, OneMillionEncryptions)
{
    const Bytes key = HexToBytes(kKeyHex);
    uint32_t rk[32], block[4];
    RoundKeys(key, rk, false);
    ToWords(key.data(), block);
    for (int i = 0; i < 1000000; ++i)
        ASSERT_EQ(1, _SM4_CipherPlaintextTransform(block, rk, block));
    EXPECT_EQ("595298c7c6fd271f0402f804c33d3f66", WordsHex(block));
}

TEST(SM4Cipher, TextbookStepFunctionsAgreeWithTheRounds)
{
    std::mt19937 rng(4242);
    uint32_t t = 0, l = 0, tau = 0;
    EXPECT_EQ(1, _SM4_NLTransform(0x00010203u, &tau));
    EXPECT_EQ(0xD690E9FEu, tau);  // the S-box's first four entries
    EXPECT_EQ(1, _SM4_LTransform(1, &l));
    EXPECT_EQ(1u ^ (1u << 2) ^ (1u << 10) ^ (1u << 18) ^ (1u << 24), l);
    EXPECT_EQ(1, _SM4_LDashTransform(1, &l));
    EXPECT_EQ(1u ^ (1u << 13) ^ (1u << 23), l);

    for (int round = 0; round < 200; ++round) {
        const uint32_t x = static_cast<uint32_t>(rng());
        ASSERT_EQ(1, _SM4_NLTransform(x, &tau));
        ASSERT_EQ(1, _SM4_LTransform(tau, &l));
        ASSERT_EQ(1, _SM4_TTransform(x, &t));
        EXPECT_EQ(l, t);
        ASSERT_EQ(1, _SM4_LDashTransform(tau, &l));
        ASSERT_EQ(1, _SM4_TDashTransform(x, &t));
        EXPECT_EQ(l, t);

        // 32 rounds of the F transform, then the reverse output.
        uint32_t key[4], rk[32], X[36], out[4];
        for (auto& k : key)
            k = static_cast<uint32_t>(rng());
        ASSERT_EQ(1, _SM4_ExtendKey(key, rk));
        for (int i = 0; i < 4; ++i)
            X[i] = static_cast<uint32_t>(rng());
        for (int i = 0; i < 32; ++i)
            ASSERT_EQ(1, _SM4_FTransform(&X[i], rk[i], &X[i + 4]));
        ASSERT_EQ(1, _SM4_CipherPlaintextTransform(X, rk, out));
        EXPECT_EQ(X[35], out[0]);
        EXPECT_EQ(X[34], out[1]);
        EXPECT_EQ(X[33], out[2]);
        EXPECT_EQ(X[32], out[3]);
    }
}

TEST(SM4Cipher, BlocksMatchOpenSslSm4Ecb)
{
    EVP_CIPHER* ecb = EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr);
    ASSERT_NE(nullptr, ecb);
    std::mt19937 rng(77);
    for (int round = 0; round < 200; ++round) {
        Bytes key(16), block(16);
        for (auto& b : key)
            b = static_cast<unsigned char>(rng());
        for (auto& b : block)
            b = static_cast<unsigned char>(rng());
        const Bytes expected = RunCipher(ecb, true, key, Bytes(16), block, false);

        uint32_t rk[32], in[4], out[4];
        RoundKeys(key, rk, false);
        ToWords(block.data(), in);
        ASSERT_EQ(1, _SM4_CipherPlaintextTransform(in, rk, out));
        EXPECT_EQ(BytesToHex(expected.data(), 16), WordsHex(out));

        // And back with the reversed keys.
        uint32_t back[4];
        ASSERT_EQ(1, _SM4_InvertRoundKey(rk));
        ASSERT_EQ(1, _SM4_CipherPlaintextTransform(out, rk, back));
        EXPECT_EQ(BytesToHex(block.data(), 16), WordsHex(back));
    }
    EVP_CIPHER_free(ecb);
}

TEST(SM4Cipher, CbcEntryMatchesOpenSslWithAndWithoutPadding)
{
    const EVP_CIPHER* ours = SM_EVP_sm4_cbc();
    ASSERT_NE(nullptr, ours);
    EVP_CIPHER* theirs = EVP_CIPHER_fetch(nullptr, "SM4-CBC", nullptr);
    ASSERT_NE(nullptr, theirs);
    std::mt19937 rng(99);
    for (int round = 0; round < 200; ++round) {
        const bool pad = round % 2 == 0;
        size_t len = std::uniform_int_distribution<size_t>(0, 2000)(rng);
        if (!pad)
            len -= len % 16;
        Bytes key(16), iv(16), msg(len);
        for (auto* v : {&key, &iv, &msg})
            for (auto& b : *v)
                b = static_cast<unsigned char>(rng());
        std::vector<size_t> splits;
        for (size_t left = len; left > 0 && splits.size() < 4;) {
            const size_t part = std::uniform_int_distribution<size_t>(0, left)(rng);
            splits.push_back(part);
            left -= part;
        }
        SCOPED_TRACE(std::to_string(len) + (pad ? " bytes, padded" : " bytes, no padding"));

        const Bytes expected = RunCipher(theirs, true, key, iv, msg, pad);
        const Bytes actual = RunCipher(ours, true, key, iv, msg, pad, splits);
        EXPECT_EQ(BytesToHex(expected.data(), expected.size()), BytesToHex(actual.data(), actual.size()));
        EXPECT_EQ(msg, RunCipher(ours, false, key, iv, actual, pad, splits));
        EXPECT_EQ(msg, RunCipher(theirs, false, key, iv, actual, pad));
    }
    EVP_CIPHER_free(theirs);
}

TEST(SM4Cipher, CbcEntryPaddingAndPartialBlocks)
{
    const EVP_CIPHER* ours = SM_EVP_sm4_cbc();
    ASSERT_NE(nullptr, ours);
    const Bytes key = HexToBytes(kKeyHex);
    const Bytes iv(16, 0);

    // A 16-byte message gains a whole block of padding.
    EXPECT_EQ(32u, RunCipher(ours, true, key, iv, key, true).size());
    EXPECT_EQ(kCipherHex, BytesToHex(RunCipher(ours, true, key, iv, key, false).data(), 16));

    // The cipher function itself handles whole blocks only and leaves a tail alone.
    auto doCipher = EVP_CIPHER_meth_get_do_cipher(ours);
    ASSERT_NE(nullptr, doCipher);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ASSERT_EQ(1, EVP_EncryptInit_ex(ctx, ours, nullptr, key.data(), iv.data()));
    Bytes in(key);
    in.insert(in.end(), {1, 2, 3, 4});
    Bytes out(20, 0xEE);
    ASSERT_EQ(1, doCipher(ctx, out.data(), in.data(), 20));
    EXPECT_EQ(kCipherHex, BytesToHex(out.data(), 16));
    EXPECT_EQ("eeeeeeee", BytesToHex(out.data() + 16, 4));
    EXPECT_EQ(kCipherHex, BytesToHex(EVP_CIPHER_CTX_iv(ctx), 16));
    EVP_CIPHER_CTX_free(ctx);
}

}  // namespace
