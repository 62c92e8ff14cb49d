// Symmetric ciphers against `openssl enc`, the refusals of each operation, the exact key and IV
// lengths of decryption, file edge cases, DES content keys, and RSA PKCS#1 v1.5 encryption
// against `openssl pkeyutl`.
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

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using enctest::File;
using enctest::Fixture;
using enctest::Hex;
using enctest::Open;
using enctest::Out;
using enctest::RandomBytes;
using enctest::U;
using testutil::ReadFileOrEmpty;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::WriteFile;

struct CipherRow
{
    const char* encName;  // the openssl enc name
    int nid;
    int keyLength;
    int ivLength;
    bool bufferEncrypt;   // SymEncrypt takes it
    bool fileEncrypt;     // SymFileEncrypt takes it
};

// Every row of the cipher table; decryption takes all of them.
std::vector<CipherRow> CipherRows()
{
    return {
        {"rc4", NID_rc4, 16, 0, true, true},
        {"des-ede3", NID_des_ede3_ecb, 24, 0, true, false},
        {"des-ede3-cbc", NID_des_ede3_cbc, 24, 8, true, true},
        {"aes-256-ecb", NID_aes_256_ecb, 32, 0, false, true},
        {"aes-256-cbc", NID_aes_256_cbc, 32, 16, true, false},
        {"sm4-cbc", kNidSm4Cbc, 16, 16, false, true},
    };
}

class SymmetricCiphers : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }

    // `openssl enc` over a file; RC4 lives in the legacy provider.
    int OpensslEnc(const char* direction, const CipherRow& row, const std::string& key, const std::string& iv,
                   const std::string& in, const std::string& out)
    {
        std::string cmd = std::string("openssl enc ") + direction + " -" + row.encName + " -K " + Hex(key);
        if (row.ivLength > 0)
            cmd += " -iv " + Hex(iv);
        if (NID_rc4 == row.nid)
            cmd += " -provider legacy -provider default";
        cmd += " -in " + ShellQuote(in) + " -out " + ShellQuote(out) + " 2>&1";
        return RunCommand(cmd);
    }

    unsigned int FileEncrypt(const CipherRow& row, std::string key, std::string iv, const std::string& in,
                             const std::string& out)
    {
        File fin = Open(in, "rb"), fout = Open(out, "wb");
        return SymFileEncrypt(row.nid, iv.empty() ? nullptr : U(iv), U(key), static_cast<int>(key.size()), fin.get(),
                              fout.get());
    }

    unsigned int FileDecrypt(const CipherRow& row, std::string key, std::string iv, const std::string& in,
                             const std::string& out)
    {
        File fin = Open(in, "rb"), fout = Open(out, "wb");
        return SymFileDecrypt(row.nid, iv.empty() ? nullptr : U(iv), U(key), static_cast<int>(key.size()), fin.get(),
                              fout.get());
    }

    testutil::ScopedTempDir dir;
};

TEST_F(SymmetricCiphers, EncryptionEqualsOpensslEncAndDecryptionInvertsIt)
{
    // One byte, exactly one read buffer, and more than two.
    for (const CipherRow& row : CipherRows()) {
        for (size_t size : {1u, 16384u, 2u * 16384u + 5u}) {
            SCOPED_TRACE(std::string(row.encName) + " size " + std::to_string(size));
            std::string key = RandomBytes(row.keyLength), iv = RandomBytes(row.ivLength);
            std::string plain = RandomBytes(size);
            const std::string plainPath = dir.File("plain"), refPath = dir.File("ref");
            ASSERT_TRUE(WriteFile(plainPath, plain));
            ASSERT_EQ(0, OpensslEnc("-e", row, key, iv, plainPath, refPath));
            std::string reference = ReadFileOrEmpty(refPath);

            if (row.bufferEncrypt) {
                Out<unsigned char> enc;
                ASSERT_EQ(QOVA_OK, SymEncrypt(row.nid, row.ivLength ? U(iv) : nullptr, U(key), row.keyLength,
                                              U(plain), static_cast<int>(size), &enc.p, &enc.n));
                EXPECT_EQ(Hex(reference), Hex(enc.str()));
            }
            if (row.fileEncrypt) {
                ASSERT_EQ(QOVA_OK, FileEncrypt(row, key, iv, plainPath, dir.File("enc")));
                EXPECT_EQ(Hex(reference), Hex(ReadFileOrEmpty(dir.File("enc"))));
            }

            Out<unsigned char> dec;
            ASSERT_EQ(QOVA_OK, SymDecrypt(row.nid, row.ivLength ? U(iv) : nullptr, U(key), row.keyLength,
                                          U(reference), static_cast<int>(reference.size()), &dec.p, &dec.n));
            EXPECT_TRUE(plain == dec.str());
            EXPECT_EQ('\0', dec.p[dec.n]);
            ASSERT_EQ(QOVA_OK, FileDecrypt(row, key, iv, refPath, dir.File("dec")));
            EXPECT_TRUE(plain == ReadFileOrEmpty(dir.File("dec")));
        }
    }
}

TEST_F(SymmetricCiphers, OutputIsPaddedToTheNextWholeBlock)
{
    struct Case { int nid; int keyLength; int size; int expected; };
    const Case kCases[] = {
        {NID_aes_256_cbc, 32, 16, 32}, {NID_aes_256_cbc, 32, 15, 16}, {NID_des_ede3_ecb, 24, 8, 16},
        {NID_des_ede3_cbc, 24, 1, 8},  {NID_rc4, 16, 5, 5},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(OBJ_nid2sn(c.nid) + std::string(" ") + std::to_string(c.size));
        std::string key = RandomBytes(c.keyLength), iv = RandomBytes(16), plain = RandomBytes(c.size);
        Out<unsigned char> enc;
        ASSERT_EQ(QOVA_OK, SymEncrypt(c.nid, U(iv), U(key), c.keyLength, U(plain), c.size, &enc.p, &enc.n));
        EXPECT_EQ(c.expected, enc.n);
    }
}

TEST_F(SymmetricCiphers, EachOperationRefusesCiphersAndKeyLengthsOutsideItsTable)
{
    std::string key(32, 'k'), iv(16, 'i'), plain = "plain text";
    File plainFile = Open(dir.File("p"), "w+b");
    fputs("plain text", plainFile.get());
    File outFile = Open(dir.File("o"), "wb");
    auto buffer = [&](int nid, int keyLength) {
        Out<unsigned char> out;
        return SymEncrypt(nid, U(iv), U(key), keyLength, U(plain), static_cast<int>(plain.size()), &out.p, &out.n);
    };
    auto file = [&](int nid, int keyLength) {
        return SymFileEncrypt(nid, U(iv), U(key), keyLength, plainFile.get(), outFile.get());
    };
    auto generate = [&](int nid) {
        Out<unsigned char> out;
        return GenerateSymKey(nid, &out.p, &out.n);
    };
    struct Case { const char* name; std::function<unsigned int()> call; };
    const Case kCases[] = {
        {"buffer AES-256-ECB", [&] { return buffer(NID_aes_256_ecb, 32); }},
        {"buffer SM4", [&] { return buffer(kNidSm4Cbc, 16); }},
        {"buffer 3DES 16-byte key", [&] { return buffer(NID_des_ede3_cbc, 16); }},
        {"buffer 3DES-ECB 16-byte key", [&] { return buffer(NID_des_ede3_ecb, 16); }},
        {"buffer RC4 5-byte key", [&] { return buffer(NID_rc4, 5); }},
        {"file AES-256-CBC", [&] { return file(NID_aes_256_cbc, 32); }},
        {"file 3DES-ECB", [&] { return file(NID_des_ede3_ecb, 24); }},
        {"file 3DES 16-byte key", [&] { return file(NID_des_ede3_cbc, 16); }},
        {"file SM4 32-byte key", [&] { return file(kNidSm4Cbc, 32); }},
        {"key 3DES-ECB", [&] { return generate(NID_des_ede3_ecb); }},
        {"key AES-256-ECB", [&] { return generate(NID_aes_256_ecb); }},
        {"unknown cipher", [&] { return buffer(NID_sha256, 32); }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(QOVA_E_INVALIDARG, c.call());
    }
    Out<unsigned char> out;
    EXPECT_EQ(QOVA_E_INVALIDARG, SymEncrypt(NID_aes_256_cbc, U(iv), U(key), 32, U(plain), 0, &out.p, &out.n));
    EXPECT_EQ(0L, ftell(outFile.get()));
}

// Key and IV of an envelope come from outside: a shorter key would be read past its end, and a
// longer one would decrypt with part of it.
TEST_F(SymmetricCiphers, DecryptionRefusesKeysOfAnyButTheCiphersLengthAndAMissingIV)
{
    for (const CipherRow& row : CipherRows()) {
        SCOPED_TRACE(row.encName);
        std::string key = RandomBytes(row.keyLength + 1), iv = RandomBytes(16), data = RandomBytes(32);
        const std::string dataPath = dir.File("data");
        ASSERT_TRUE(WriteFile(dataPath, data));
        for (int keyLength : {row.keyLength - 1, row.keyLength + 1, 5, 0}) {
            Out<unsigned char> out;
            EXPECT_EQ(QOVA_E_DECRYPT_FAILED,
                      SymDecrypt(row.nid, U(iv), U(key), keyLength, U(data), 32, &out.p, &out.n));
            EXPECT_EQ(QOVA_E_DECRYPT_FAILED,
                      FileDecrypt(row, key.substr(0, static_cast<size_t>(keyLength)), iv, dataPath, dir.File("o")));
            EXPECT_EQ("", ReadFileOrEmpty(dir.File("o")));
        }
        if (row.ivLength > 0) {
            Out<unsigned char> out;
            EXPECT_EQ(QOVA_E_DECRYPT_FAILED,
                      SymDecrypt(row.nid, nullptr, U(key), row.keyLength, U(data), 32, &out.p, &out.n));
            EXPECT_EQ(QOVA_E_DECRYPT_FAILED,
                      FileDecrypt(row, key.substr(0, static_cast<size_t>(row.keyLength)), "", dataPath, dir.File("o")));
        }
    }
}

TEST_F(SymmetricCiphers, AWrongKeyFailsThePaddingCheckExceptForRC4)
{
    // Fixed keys: with random ones the padding of a wrong decryption is valid once in 256 runs.
    std::string plain = "sixteen byte txt", iv(16, '\x11');
    const std::vector<CipherRow> rows = CipherRows();
    for (int nid : {NID_aes_256_cbc, NID_des_ede3_cbc, NID_rc4}) {
        SCOPED_TRACE(OBJ_nid2sn(nid));
        const CipherRow row = *std::find_if(rows.begin(), rows.end(), [&](const CipherRow& r) { return r.nid == nid; });
        std::string key(static_cast<size_t>(row.keyLength), '\x5a'), wrong(static_cast<size_t>(row.keyLength), '\xa5');
        Out<unsigned char> enc, dec;
        ASSERT_EQ(QOVA_OK, SymEncrypt(nid, U(iv), U(key), row.keyLength, U(plain), 16, &enc.p, &enc.n));
        const unsigned int result = SymDecrypt(nid, U(iv), U(wrong), row.keyLength, enc.p, enc.n, &dec.p, &dec.n);
        if (NID_rc4 == nid) {
            EXPECT_EQ(QOVA_OK, result);
            EXPECT_NE(plain, dec.str());
        } else {
            EXPECT_EQ(QOVA_E_DECRYPT_FAILED, result);
            EXPECT_EQ(nullptr, dec.p);
        }
    }
}

TEST_F(SymmetricCiphers, FilesThatAreEmptyTooLargeOrUnwritableFail)
{
    const CipherRow rc4 = CipherRows()[0];
    const std::string key(16, 'k');
    ASSERT_TRUE(WriteFile(dir.File("empty"), ""));
    EXPECT_EQ(QOVA_E_READ_FAULT, FileEncrypt(rc4, key, "", dir.File("empty"), dir.File("o")));
    EXPECT_EQ(QOVA_E_READ_FAULT, FileDecrypt(rc4, key, "", dir.File("empty"), dir.File("o")));

    // Sizes are kept in int: a file of 2^31 bytes (sparse, so nothing is written to disk) would be
    // processed in part and reported as done.
    {
        File big = Open(dir.File("big"), "wb");
        ASSERT_EQ(0, ftruncate(fileno(big.get()), 0x80000000LL));
    }
    EXPECT_EQ(QOVA_E_READ_FAULT, FileEncrypt(rc4, key, "", dir.File("big"), dir.File("o")));
    EXPECT_EQ(QOVA_E_READ_FAULT, FileDecrypt(rc4, key, "", dir.File("big"), dir.File("o")));
    EXPECT_EQ("", ReadFileOrEmpty(dir.File("o")));

    // A full disk is reported, not taken for a finished file.
    ASSERT_TRUE(WriteFile(dir.File("plain"), RandomBytes(100)));
    File full = Open("/dev/full", "wb");
    ASSERT_NE(nullptr, full);
    setvbuf(full.get(), nullptr, _IONBF, 0);
    File plain = Open(dir.File("plain"), "rb");
    std::string k = key;
    EXPECT_EQ(QOVA_E_WRITE_FAULT, SymFileEncrypt(NID_rc4, nullptr, U(k), 16, plain.get(), full.get()));
    EXPECT_EQ(QOVA_E_WRITE_FAULT, SymFileDecrypt(NID_rc4, nullptr, U(k), 16, plain.get(), full.get()));
}

TEST_F(SymmetricCiphers, ContentKeysHaveTheCiphersLengthAndDesKeysAreOddParityAndNotWeak)
{
    for (const auto& c : std::vector<std::pair<int, int>>{{NID_rc4, 16}, {NID_des_ede3_cbc, 24}, {NID_aes_256_cbc, 32}}) {
        Out<unsigned char> first, second;
        ASSERT_EQ(QOVA_OK, GenerateSymKey(c.first, &first.p, &first.n));
        ASSERT_EQ(QOVA_OK, GenerateSymKey(c.first, &second.p, &second.n));
        EXPECT_EQ(c.second, first.n);
        EXPECT_NE(first.str(), second.str());
        if (NID_des_ede3_cbc != c.first)
            continue;
        for (int i = 0; i < 24; i += 8) {
            DES_cblock block;
            memcpy(block, first.p + i, 8);
            EXPECT_EQ(1, DES_check_key_parity(&block));
            EXPECT_EQ(0, DES_is_weak_key(&block));
        }
    }
}

TEST(DesWeakKeys, TableAgreesWithTheLibrarysOldCheck)
{
    // Every weak and semi-weak key is made of these bytes; walk all 6^8 keys built from them.
    const unsigned char kBytes[] = {0x01, 0xFE, 0x1F, 0xE0, 0x0E, 0xF1};
    int nWeak = 0;
    DES_cblock key;
    for (int n = 0; n < 1679616; ++n) {
        for (int i = 0, v = n; i < 8; ++i, v /= 6)
            key[i] = kBytes[v % 6];
        const bool bWeak = smkernel::IsWeakDesKey(key);
        ASSERT_EQ(DES_is_weak_key(&key) == 1, bWeak) << testutil::BytesToHex(key, 8);
        nWeak += bWeak ? 1 : 0;
    }
    EXPECT_EQ(16, nWeak);
}

class RSAEncryption : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }

    static smkernel::EvpPkeyPtr Key(const std::string& name)
    {
        File f = Open(Fixture(name + ".key"), "rb");
        return smkernel::EvpPkeyPtr(f ? PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    static smkernel::X509Ptr Cert(const std::string& name)
    {
        File f = Open(Fixture(name + ".pem"), "rb");
        return smkernel::X509Ptr(f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr);
    }

    testutil::ScopedTempDir dir;
};

TEST_F(RSAEncryption, RoundTripsWithOpensslPkeyutl)
{
    smkernel::X509Ptr cert = Cert("recip");
    smkernel::EvpPkeyPtr key = Key("recip");
    ASSERT_TRUE(cert && key);
    std::string contentKey = RandomBytes(24);

    Out<unsigned char> enc;
    ASSERT_EQ(QOVA_OK, RSAEncryptByX509(cert.get(), U(contentKey), 24, &enc.p, &enc.n));
    EXPECT_EQ(256, enc.n);
    ASSERT_TRUE(WriteFile(dir.File("enc"), enc.str()));
    std::string unwrapped;
    ASSERT_EQ(0, RunCommand("openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:pkcs1 -inkey " +
                                ShellQuote(Fixture("recip.key")) + " -in " + ShellQuote(dir.File("enc")),
                            &unwrapped));
    EXPECT_EQ(Hex(contentKey), Hex(unwrapped));

    ASSERT_TRUE(WriteFile(dir.File("key"), contentKey));
    ASSERT_EQ(0, RunCommand("openssl pkeyutl -encrypt -pkeyopt rsa_padding_mode:pkcs1 -certin -inkey " +
                            ShellQuote(Fixture("recip.pem")) + " -in " + ShellQuote(dir.File("key")) + " -out " +
                            ShellQuote(dir.File("wrapped"))));
    std::string wrapped = ReadFileOrEmpty(dir.File("wrapped"));
    Out<unsigned char> dec;
    ASSERT_EQ(QOVA_OK, RSADecrypt(key.get(), U(wrapped), static_cast<int>(wrapped.size()), &dec.p, &dec.n));
    EXPECT_EQ(Hex(contentKey), Hex(dec.str()));
}

TEST_F(RSAEncryption, RefusesSmallKeysLongDataOtherKeyTypesAndCertificatesWithoutKeyEncipherment)
{
    std::string data = RandomBytes(118);
    smkernel::EvpPkeyPtr rsa1024 = Key("rsa1024"), rsa512 = Key("rsa512"), ec = Key("ec");
    ASSERT_TRUE(rsa1024 && rsa512 && ec);
    Out<unsigned char> out;
    EXPECT_EQ(QOVA_OK, RSAEncrypt(rsa1024.get(), U(data), 117, &out.p, &out.n));
    EXPECT_EQ(128, out.n);
    struct Case { const char* name; unsigned int code; std::function<unsigned int(Out<unsigned char>&)> call; };
    const Case kCases[] = {
        {"118 bytes for 1024 bits", QOVA_E_ENCRYPT_FAILED,
         [&](Out<unsigned char>& o) { return RSAEncrypt(rsa1024.get(), U(data), 118, &o.p, &o.n); }},
        {"512-bit key", QOVA_E_ENCRYPT_FAILED,
         [&](Out<unsigned char>& o) { return RSAEncrypt(rsa512.get(), U(data), 16, &o.p, &o.n); }},
        {"EC key", QOVA_E_ENCRYPT_FAILED,
         [&](Out<unsigned char>& o) { return RSAEncrypt(ec.get(), U(data), 16, &o.p, &o.n); }},
        {"null key", QOVA_E_INVALIDARG,
         [&](Out<unsigned char>& o) { return RSAEncrypt(nullptr, U(data), 16, &o.p, &o.n); }},
        {"decrypt with 512-bit key", QOVA_E_DECRYPT_FAILED,
         [&](Out<unsigned char>& o) { return RSADecrypt(rsa512.get(), U(data), 64, &o.p, &o.n); }},
        {"decrypt with EC key", QOVA_E_DECRYPT_FAILED,
         [&](Out<unsigned char>& o) { return RSADecrypt(ec.get(), U(data), 64, &o.p, &o.n); }},
        {"decrypt garbage", QOVA_E_DECRYPT_FAILED,
         [&](Out<unsigned char>& o) { return RSADecrypt(rsa1024.get(), U(data), 118, &o.p, &o.n); }},
        {"certificate for signing only", QOVA_E_KEY_USAGE,
         [&](Out<unsigned char>& o) { return RSAEncryptByX509(Cert("sign").get(), U(data), 16, &o.p, &o.n); }},
        {"null certificate", QOVA_E_INVALIDARG,
         [&](Out<unsigned char>& o) { return RSAEncryptByX509(nullptr, U(data), 16, &o.p, &o.n); }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Out<unsigned char> o;
        EXPECT_EQ(c.code, c.call(o));
        EXPECT_EQ(nullptr, o.p);
    }
}

}  // namespace
