// ZUC: the standard's keystream sets, the 128-EEA3 IV layout, and how the cipher entry splits calls.
#include "SMRegistry.h"
#include "TestUtil.h"
#include "ZUCCipher.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using testutil::BytesToHex;
using testutil::HexToBytes;
using Bytes = std::vector<unsigned char>;

struct Generator
{
    uint32_t cells[16];
    uint32_t* lfsr = cells;
    uint32_t R1 = 0, R2 = 0, X0 = 0, X1 = 0, X2 = 0, X3 = 0;

    Generator(const Bytes& key, const Bytes& iv)
    {
        _ZUC_Initialize(key.data(), iv.data(), &lfsr, &R1, &R2, &X0, &X1, &X2, &X3);
    }
    uint32_t Next() { return _ZUC_NextKey(&lfsr, &R1, &R2, &X0, &X1, &X2, &X3); }
    std::vector<uint32_t> Stream(int n)
    {
        std::vector<uint32_t> out(n);
        uint32_t* p = out.data();
        EXPECT_EQ(n, _ZUC_GenerateKeyStream(&lfsr, &R1, &R2, &X0, &X1, &X2, &X3, &p, n));
        return out;
    }
};

TEST(ZUCCipher, StandardKeystreamSets)
{
    struct Case
    {
        const char* key;
        const char* iv;
        std::vector<uint32_t> words;
    };
    const Case kCases[] = {
        {"00000000000000000000000000000000", "00000000000000000000000000000000",
         {0x27bede74, 0x018082da, 0x87d4e5b6, 0x9f18bf66, 0x32070e0f, 0x39b7b692, 0xb4673edc, 0x3184a48e, 0x27636f44,
          0x14510d62}},
        {"ffffffffffffffffffffffffffffffff", "ffffffffffffffffffffffffffffffff", {0x0657cfa0, 0x7096398b}},
        {"3d4c4be96a82fdaeb58f641db17b455b", "84319aa8de6915ca1f6bda6bfbd8c766", {0x14f1c272, 0x3279c419}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.key);
        Generator byWord(HexToBytes(c.key), HexToBytes(c.iv));
        for (uint32_t expected : c.words)
            EXPECT_EQ(expected, byWord.Next());

        Generator byStream(HexToBytes(c.key), HexToBytes(c.iv));
        EXPECT_EQ(c.words, byStream.Stream(static_cast<int>(c.words.size())));
    }
}

TEST(ZUCCipher, Eea3IvLayout)
{
    unsigned char buf[16];
    unsigned char* iv = buf;
    ASSERT_EQ(1, _ZUC_ExtendtoIV(0x01020304u, 5, 1, &iv));
    EXPECT_EQ("010203042c000000010203042c000000", BytesToHex(buf, 16));

    // Bearer and direction are kept to the byte.
    ASSERT_EQ(1, _ZUC_ExtendtoIV(0xFFFFFFFFu, 0x1F, 1, &iv));
    EXPECT_EQ("fffffffffc000000fffffffffc000000", BytesToHex(buf, 16));
}

Bytes Encrypt(const Bytes& key, const Bytes& iv, const Bytes& msg, const std::vector<size_t>& calls)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(1, EVP_EncryptInit_ex(ctx, EVP_zuc(), nullptr, key.data(), iv.data()));
    Bytes out(msg.size());
    int total = 0, n = 0;
    size_t off = 0;
    for (size_t part : calls) {
        EXPECT_EQ(1, EVP_EncryptUpdate(ctx, out.data() + total, &n, msg.data() + off, static_cast<int>(part)));
        total += n;
        off += part;
    }
    EXPECT_EQ(msg.size(), off);
    EXPECT_EQ(1, EVP_EncryptFinal_ex(ctx, out.data() + total, &n));
    EXPECT_EQ(0, n);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

TEST(ZUCCipher, EntryXorsTheKeystreamAndStartsEachCallOnAFreshWord)
{
    ASSERT_NE(nullptr, EVP_zuc());
    const Bytes key = HexToBytes("3d4c4be96a82fdaeb58f641db17b455b");
    const Bytes iv = HexToBytes("84319aa8de6915ca1f6bda6bfbd8c766");
    const Bytes zeros(8, 0);

    // Encrypting zeros yields the keystream, most significant byte first.
    EXPECT_EQ("14f1c2723279c419", BytesToHex(Encrypt(key, iv, zeros, {8}).data(), 8));

    // Calls whose lengths are multiples of four continue the stream...
    EXPECT_EQ(Encrypt(key, iv, zeros, {8}), Encrypt(key, iv, zeros, {4, 4}));
    EXPECT_EQ(Encrypt(key, iv, zeros, {8}), Encrypt(key, iv, zeros, {0, 8, 0}));

    // ...while a call of 3 drops the rest of its word: the next call starts on word 2.
    const Bytes split = Encrypt(key, iv, zeros, {3, 5});
    EXPECT_EQ("14f1c2", BytesToHex(split.data(), 3));
    EXPECT_EQ("3279c419", BytesToHex(split.data() + 3, 4));
    EXPECT_NE(BytesToHex(Encrypt(key, iv, zeros, {8}).data() + 3, 5), BytesToHex(split.data() + 3, 5));

    // Decryption is the same operation.
    const Bytes msg = HexToBytes("00112233445566778899aabbccddeeff0102");
    const Bytes ct = Encrypt(key, iv, msg, {msg.size()});
    EXPECT_EQ(msg, Encrypt(key, iv, ct, {msg.size()}));
}

}  // namespace
