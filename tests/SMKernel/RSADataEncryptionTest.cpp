// Symmetric ciphers against `openssl enc`, each operation's refusals, the exact key and IV lengths
// of decryption, file edge cases, DES content keys, and RSA encryption's refusals.
#define OPENSSL_SUPPRESS_DEPRECATED  // DES_is_weak_key is the independent reference for weak keys
#include "EncryptionTestUtil.h"
#include "KernelHolders.h"
#include "RSADataEncryption.h"
#include "RSADataEncryptionDetail.h"
#include "SMRegistry.h"

#include <openssl/des.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

using namespace enctest;
using testutil::ReadFileOrEmpty;
using testutil::WriteFile;

struct CipherRow { const char* encName; int nid; int keyLength; int ivLength; bool buffer; bool file; };

// Every row of the cipher table (decryption takes all); which encryption takes it.
std::vector<CipherRow> CipherRows()
{
    return {{"rc4", NID_rc4, 16, 0, true, true},           {"des-ede3", NID_des_ede3_ecb, 24, 0, true, false},
            {"des-ede3-cbc", NID_des_ede3_cbc, 24, 8, true, true}, {"aes-256-ecb", NID_aes_256_ecb, 32, 0, false, true},
            {"aes-256-cbc", NID_aes_256_cbc, 32, 16, true, false}, {"sm4-cbc", kNidSm4Cbc, 16, 16, false, true}};
}

class SymmetricCiphers : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }

    unsigned int OnFiles(bool encrypt, int nid, std::string key, std::string iv, const std::string& in)
    {
        File fin = Open(in, "rb"), fout = Open(dir.File("out"), "wb");
        unsigned char* pbyIV = iv.empty() ? nullptr : U(iv);
        return encrypt ? SymFileEncrypt(nid, pbyIV, U(key), N(key), fin.get(), fout.get())
                       : SymFileDecrypt(nid, pbyIV, U(key), N(key), fin.get(), fout.get());
    }

    testutil::ScopedTempDir dir;
};

TEST_F(SymmetricCiphers, EncryptionEqualsOpensslEncAndDecryptionInvertsIt)
{
    for (const CipherRow& row : CipherRows()) {
        for (size_t size : {1u, 16384u, 2u * 16384u + 5u}) {  // one byte, one read buffer, more than two
            SCOPED_TRACE(std::string(row.encName) + " " + std::to_string(size));
            std::string key = RandomBytes(row.keyLength), iv = RandomBytes(row.ivLength), plain = RandomBytes(size);
            ASSERT_TRUE(WriteFile(dir.File("plain"), plain));
            ASSERT_EQ(0, testutil::RunCommand(
                             std::string("openssl enc -e -") + row.encName + " -K " + Hex(key) +
                             (row.ivLength ? " -iv " + Hex(iv) : "") +
                             (NID_rc4 == row.nid ? " -provider legacy -provider default" : "") + " -in " +
                             dir.File("plain") + " -out " + dir.File("ref")));
            std::string reference = ReadFileOrEmpty(dir.File("ref"));
            if (row.buffer) {
                Out<unsigned char> enc;
                ASSERT_EQ(QOVA_OK, SymEncrypt(row.nid, row.ivLength ? U(iv) : nullptr, U(key), N(key), U(plain),
                                              N(plain), &enc.p, &enc.n));
                EXPECT_EQ(Hex(reference), Hex(enc.str()));
            }
            if (row.file) {
                ASSERT_EQ(QOVA_OK, OnFiles(true, row.nid, key, iv, dir.File("plain")));
                EXPECT_EQ(Hex(reference), Hex(ReadFileOrEmpty(dir.File("out"))));
            }
            Out<unsigned char> dec;
            ASSERT_EQ(QOVA_OK, SymDecrypt(row.nid, row.ivLength ? U(iv) : nullptr, U(key), N(key), U(reference),
                                          N(reference), &dec.p, &dec.n));
            EXPECT_TRUE(plain == dec.str() && '\0' == dec.p[dec.n]);
            ASSERT_EQ(QOVA_OK, OnFiles(false, row.nid, key, iv, dir.File("ref")));
            EXPECT_TRUE(plain == ReadFileOrEmpty(dir.File("out")));
        }
    }
}

TEST_F(SymmetricCiphers, EachEncryptionRefusesCiphersAndKeyLengthsOutsideItsTable)
{
    std::string key(32, 'k'), iv(16, 'i'), plain = "plain text";
    ASSERT_TRUE(WriteFile(dir.File("plain"), plain));
    auto buffer = [&](int nid, int keyLength) {
        Out<unsigned char> out;
        return SymEncrypt(nid, U(iv), U(key), keyLength, U(plain), N(plain), &out.p, &out.n);
    };
    auto file = [&](int nid, int keyLength) {
        return OnFiles(true, nid, key.substr(0, keyLength), iv, dir.File("plain"));
    };
    auto generate = [&](int nid) { Out<unsigned char> out; return GenerateSymKey(nid, &out.p, &out.n); };
    const std::function<unsigned int()> kCalls[] = {
        [&] { return buffer(NID_aes_256_ecb, 32); }, [&] { return buffer(kNidSm4Cbc, 16); },
        [&] { return buffer(NID_des_ede3_cbc, 16); }, [&] { return buffer(NID_des_ede3_ecb, 16); },
        [&] { return buffer(NID_rc4, 5); },           [&] { return buffer(NID_sha256, 32); },
        [&] { return file(NID_aes_256_cbc, 32); },     [&] { return file(NID_des_ede3_ecb, 24); },
        [&] { return file(NID_des_ede3_cbc, 16); },    [&] { return file(kNidSm4Cbc, 32); },
        [&] { return generate(NID_des_ede3_ecb); },    [&] { return generate(NID_aes_256_ecb); },
    };
    for (size_t i = 0; i < sizeof(kCalls) / sizeof(kCalls[0]); ++i) {
        EXPECT_EQ(QOVA_E_INVALIDARG, kCalls[i]()) << "case " << i;
        EXPECT_EQ("", ReadFileOrEmpty(dir.File("out")));
    }
}

// Key and IV of an envelope come from outside: a short key would be read past its end, a long one
// used in part, and a missing IV replaced by whatever the context holds.
TEST_F(SymmetricCiphers, DecryptionRefusesKeysOfAnyButTheCiphersLengthAndAMissingIV)
{
    std::string data = RandomBytes(32), iv = RandomBytes(16);
    ASSERT_TRUE(WriteFile(dir.File("data"), data));
    for (const CipherRow& row : CipherRows()) {
        std::vector<std::pair<int, bool>> tries = {{row.keyLength - 1, true}, {row.keyLength + 1, true}, {5, true}};
        if (row.ivLength > 0) tries.push_back({row.keyLength, false});
        for (const auto& t : tries) {
            SCOPED_TRACE(std::string(row.encName) + " key " + std::to_string(t.first) + (t.second ? "" : " no IV"));
            std::string key = RandomBytes(t.first);
            Out<unsigned char> out;
            EXPECT_EQ(QOVA_E_DECRYPT_FAILED, SymDecrypt(row.nid, t.second ? U(iv) : nullptr, U(key), t.first, U(data),
                                                        32, &out.p, &out.n));
            EXPECT_EQ(QOVA_E_DECRYPT_FAILED, OnFiles(false, row.nid, key, t.second ? iv : "", dir.File("data")));
            EXPECT_EQ("", ReadFileOrEmpty(dir.File("out")));
        }
    }
}

TEST_F(SymmetricCiphers, FilesThatAreEmptyTooLargeOrUnwritableFail)
{
    const std::string key(16, 'k');
    ASSERT_TRUE(WriteFile(dir.File("empty"), ""));
    // Sizes are kept in int: a file of 2^31 bytes (sparse here) would be processed in part.
    File big = Open(dir.File("big"), "wb");
    ASSERT_EQ(0, ftruncate(fileno(big.get()), 0x80000000LL));
    for (const char* name : {"empty", "big"}) {
        EXPECT_EQ(QOVA_E_READ_FAULT, OnFiles(true, NID_rc4, key, "", dir.File(name)));
        EXPECT_EQ(QOVA_E_READ_FAULT, OnFiles(false, NID_rc4, key, "", dir.File(name)));
    }
    // A full disk is reported, not taken for a finished file.
    ASSERT_TRUE(WriteFile(dir.File("plain"), RandomBytes(100)));
    File full = Open("/dev/full", "wb"), plain = Open(dir.File("plain"), "rb");
    setvbuf(full.get(), nullptr, _IONBF, 0);
    std::string k = key;
    EXPECT_EQ(QOVA_E_WRITE_FAULT, SymFileEncrypt(NID_rc4, nullptr, U(k), 16, plain.get(), full.get()));
    EXPECT_EQ(QOVA_E_WRITE_FAULT, SymFileDecrypt(NID_rc4, nullptr, U(k), 16, plain.get(), full.get()));
}

TEST(DesKeys, ContentKeysAreOddParityAndNotWeakAsTheLibrarysOldCheckSays)
{
    Out<unsigned char> key;
    ASSERT_EQ(QOVA_OK, GenerateSymKey(NID_des_ede3_cbc, &key.p, &key.n));
    ASSERT_EQ(24, key.n);
    for (int i = 0; i < 24; i += 8) {
        DES_cblock block;
        memcpy(block, key.p + i, 8);
        EXPECT_TRUE(1 == DES_check_key_parity(&block) && 0 == DES_is_weak_key(&block));
    }
    // Every weak and semi-weak key is made of these bytes: walk all 6^8 keys built from them.
    const unsigned char kBytes[] = {0x01, 0xFE, 0x1F, 0xE0, 0x0E, 0xF1};
    int nWeak = 0;
    DES_cblock block;
    for (int n = 0; n < 1679616; ++n) {
        for (int i = 0, v = n; i < 8; ++i, v /= 6) block[i] = kBytes[v % 6];
        ASSERT_EQ(1 == DES_is_weak_key(&block), smkernel::IsWeakDesKey(block)) << testutil::BytesToHex(block, 8);
        nWeak += smkernel::IsWeakDesKey(block) ? 1 : 0;
    }
    EXPECT_EQ(16, nWeak);
}

TEST(RSAEncryption, RefusesSmallKeysLongDataOtherKeyTypesAndCertificatesWithoutKeyEncipherment)
{
    ASSERT_EQ(1, SM_crypto_init());
    auto key = [](const char* name) {
        File f = Open(Fixture(std::string(name) + ".key"), "rb");
        return smkernel::EvpPkeyPtr(f ? PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr) : nullptr);
    };
    File signFile = Open(Fixture("sign.pem"), "rb");
    smkernel::X509Ptr sign(PEM_read_X509(signFile.get(), nullptr, nullptr, nullptr));
    smkernel::EvpPkeyPtr rsa1024 = key("rsa1024"), rsa512 = key("rsa512"), ec = key("ec");
    ASSERT_TRUE(rsa1024 && rsa512 && ec && sign);
    std::string data(128, '\xff');  // as ciphertext larger than any 1024-bit modulus
    Out<unsigned char> out;
    EXPECT_EQ(QOVA_OK, RSAEncrypt(rsa1024.get(), U(data), 117, &out.p, &out.n));  // 128 - 11
    EXPECT_EQ(128, out.n);
    struct Case { unsigned int code; std::function<unsigned int(Out<unsigned char>&)> call; };
    const Case kCases[] = {
        {QOVA_E_ENCRYPT_FAILED, [&](auto& o) { return RSAEncrypt(rsa1024.get(), U(data), 118, &o.p, &o.n); }},
        {QOVA_E_ENCRYPT_FAILED, [&](auto& o) { return RSAEncrypt(rsa512.get(), U(data), 16, &o.p, &o.n); }},
        {QOVA_E_ENCRYPT_FAILED, [&](auto& o) { return RSAEncrypt(ec.get(), U(data), 16, &o.p, &o.n); }},
        {QOVA_E_INVALIDARG, [&](auto& o) { return RSAEncrypt(nullptr, U(data), 16, &o.p, &o.n); }},
        {QOVA_E_DECRYPT_FAILED, [&](auto& o) { return RSADecrypt(rsa512.get(), U(data), 64, &o.p, &o.n); }},
        {QOVA_E_DECRYPT_FAILED, [&](auto& o) { return RSADecrypt(ec.get(), U(data), 64, &o.p, &o.n); }},
        {QOVA_E_DECRYPT_FAILED, [&](auto& o) { return RSADecrypt(rsa1024.get(), U(data), 128, &o.p, &o.n); }},
        {QOVA_E_KEY_USAGE, [&](auto& o) { return RSAEncryptByX509(sign.get(), U(data), 16, &o.p, &o.n); }},
    };
    for (const Case& c : kCases) {
        Out<unsigned char> o;
        EXPECT_EQ(c.code, c.call(o)) << "case " << (&c - kCases);
        EXPECT_EQ(nullptr, o.p);
    }
}

}  // namespace
