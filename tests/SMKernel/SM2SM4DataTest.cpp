// SM2 and SM4 data encryption. SM2 is checked against the openssl command in a separate process
// (in this process every SM2 operation may be ours), SM4 against `openssl enc` and the standard's
// vector.
#include "SM2Cipher.h"
#include "SM2Core.h"
#include "SM2SM4Data.h"
#include "SM2TestSupport.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using sm2test::Bytes;
using testutil::BytesToHex;
using testutil::HexToBytes;
using testutil::RunCommand;
using testutil::ScopedTempDir;
using testutil::ShellQuote;

Bytes ReadBytes(const std::string& path)
{
    std::string s;
    return testutil::ReadFile(path, &s) ? Bytes(s.begin(), s.end()) : Bytes();
}

bool WriteBytes(const std::string& path, const Bytes& b)
{
    return testutil::WriteFile(path, std::string(b.begin(), b.end()));
}

// Takes a new[] output and frees it.
Bytes Take(unsigned char* p, int length)
{
    Bytes out(p, p + (p != nullptr && length > 0 ? length : 0));
    delete[] p;
    return out;
}

Bytes Pattern(size_t size, unsigned char seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<unsigned char>(seed + 7 * i);
    return b;
}

// An SM2 key made by the openssl command (the container fixture's key): the PEM, and d, X and Y as
// 32 octets each.
struct CliKey
{
    std::string keyPem;
    Bytes d, x, y;
};

bool MakeCliKey(const ScopedTempDir& dir, CliKey* key)
{
    if (RunCommand("bash " + ShellQuote(testutil::SourceDir() + "/tests/fixtures/make-sm2-container.sh") + " " +
                   ShellQuote(dir.Path()) + " 1234 2>&1") != 0)
        return false;
    key->keyPem = dir.File("sm2.key");
    key->d = ReadBytes(dir.File("sm2.d"));
    const Bytes xy = ReadBytes(dir.File("sm2.xy"));
    key->x.assign(xy.begin(), xy.begin() + std::min<size_t>(32, xy.size()));
    key->y.assign(xy.begin() + key->x.size(), xy.end());
    return key->d.size() == 32 && key->y.size() == 32;
}

unsigned int Sm2Encrypt(Bytes data, Bytes x, Bytes y, Bytes* out)
{
    unsigned char* p = nullptr;
    int n = 0;
    const unsigned int code = SM2_Encrypt(data.data(), static_cast<int>(data.size()), x.data(),
                                          static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()), &p, &n);
    *out = Take(p, n);
    return code;
}

unsigned int Sm2Decrypt(Bytes ct, Bytes d, Bytes* out)
{
    unsigned char* p = nullptr;
    int n = 0;
    const unsigned int code =
        SM2_Decrypt(ct.data(), static_cast<int>(ct.size()), d.data(), static_cast<int>(d.size()), &p, &n);
    *out = Take(p, n);
    return code;
}

class SM2DataTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_EQ(1, SM_crypto_init()); }
};

TEST_F(SM2DataTest, RoundTripAndAWrongKey)
{
    unsigned char d[32], x[32], y[32], d2[32], x2[32], y2[32];
    ASSERT_EQ(1, _SM2_generate_keypair(d, x, y));
    ASSERT_EQ(1, _SM2_generate_keypair(d2, x2, y2));
    const Bytes message = Pattern(16, 1);
    Bytes ct, pt;
    ASSERT_EQ(QOVA_OK, Sm2Encrypt(message, Bytes(x, x + 32), Bytes(y, y + 32), &ct));
    EXPECT_EQ(112u, ct.size());
    EXPECT_EQ(QOVA_OK, Sm2Decrypt(ct, Bytes(d, d + 32), &pt));
    EXPECT_EQ(message, pt);
    EXPECT_EQ(QOVA_E_FAIL, Sm2Decrypt(ct, Bytes(d2, d2 + 32), &pt));
    EXPECT_TRUE(pt.empty());
}

TEST_F(SM2DataTest, InteroperatesWithTheOpensslCommandThroughDer)
{
    ScopedTempDir dir;
    CliKey key;
    ASSERT_TRUE(MakeCliKey(dir, &key));
    for (size_t size : {size_t(1), size_t(16), size_t(200)}) {
        SCOPED_TRACE(size);
        const Bytes message = Pattern(size, static_cast<unsigned char>(size));

        // Ours -> DER -> openssl.
        Bytes raw;
        ASSERT_EQ(QOVA_OK, Sm2Encrypt(message, key.x, key.y, &raw));
        unsigned char* der = nullptr;
        int derLength = 0;
        ASSERT_EQ(QOVA_OK, Encode_SM2Cipher(raw.data(), static_cast<int>(raw.size()), &der, &derLength));
        ASSERT_TRUE(WriteBytes(dir.File("ours.der"), Take(der, derLength)));
        ASSERT_EQ(0, RunCommand("openssl pkeyutl -decrypt -inkey " + ShellQuote(key.keyPem) + " -in " +
                                ShellQuote(dir.File("ours.der")) + " -out " + ShellQuote(dir.File("ours.txt")) +
                                " 2>&1"));
        EXPECT_EQ(message, ReadBytes(dir.File("ours.txt")));

        // openssl -> DER -> ours.
        ASSERT_TRUE(WriteBytes(dir.File("message"), message));
        ASSERT_EQ(0, RunCommand("openssl pkeyutl -encrypt -inkey " + ShellQuote(key.keyPem) + " -in " +
                                ShellQuote(dir.File("message")) + " -out " + ShellQuote(dir.File("theirs.der")) +
                                " 2>&1"));
        Bytes theirs = ReadBytes(dir.File("theirs.der"));
        unsigned char* p = nullptr;
        int n = 0;
        ASSERT_EQ(QOVA_OK, Decode_SM2Cipher(theirs.data(), static_cast<int>(theirs.size()), &p, &n));
        Bytes pt;
        EXPECT_EQ(QOVA_OK, Sm2Decrypt(Take(p, n), key.d, &pt));
        EXPECT_EQ(message, pt);
    }
}

TEST_F(SM2DataTest, APointOffTheCurveIsRefusedBeforeEncrypting)
{
    Bytes x(32, 0), y(32, 0), ct;
    x[31] = 1;
    y[31] = 2;
    EXPECT_EQ(QOVA_E_FAIL, Sm2Encrypt(Pattern(16, 0), x, y, &ct));
    EXPECT_TRUE(ct.empty());
}

// A ciphertext without C2 once gave a negative message length, and so a huge allocation or a read
// before the buffer: every such length must be refused. Exact-size heap buffers let the sanitizer
// see any read past them.
TEST_F(SM2DataTest, CiphertextsTooShortForAMessageAreRefused)
{
    unsigned char d[32], x[32], y[32];
    ASSERT_EQ(1, _SM2_generate_keypair(d, x, y));
    for (int size : {96, 95, 64, 1, 0, -1}) {
        SCOPED_TRACE(size);
        std::unique_ptr<unsigned char[]> ct(new unsigned char[size > 0 ? size : 1]());
        unsigned char* p = nullptr;
        int n = -7;
        EXPECT_EQ(QOVA_E_FAIL, SM2_Decrypt(ct.get(), size, d, 32, &p, &n));
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(-7, n);
    }
    sm2test::Bn bnD(BN_bin2bn(d, 32, nullptr));
    for (unsigned int size : {97u, 96u, 1u, 0u}) {
        SCOPED_TRACE(size);
        std::unique_ptr<unsigned char[]> ct(new unsigned char[size > 0 ? size : 1]());
        ct[0] = 0x04;
        unsigned char out = 0xEE;
        EXPECT_EQ(0, _SM2_decrypt_v2(kNidSm2, ct.get(), size, bnD.get(), &out));
        EXPECT_EQ(0xEE, out);
    }
}

// The check-value-first form: 04 || x1 || y1 || C3 || C2. A message whose C3 does not match must not
// reach the caller's buffer.
TEST_F(SM2DataTest, CheckValueFirstFormRoundTripsAndAMismatchLeavesNoMessage)
{
    sm2test::Bn d(BN_new()), x(BN_new()), y(BN_new());
    ASSERT_EQ(1, _SM2_generate_key(d.get(), x.get(), y.get(), kNidSm2));
    Bytes message = Pattern(40, 9);
    Bytes ct(97 + message.size());
    ASSERT_EQ(1, _SM2_encrypt_v2(kNidSm2, message.data(), static_cast<unsigned int>(message.size()), x.get(), y.get(),
                                 ct.data()));
    EXPECT_EQ(0x04, ct[0]);

    Bytes out(message.size());
    ASSERT_EQ(1, _SM2_decrypt_v2(kNidSm2, ct.data(), static_cast<unsigned int>(ct.size()), d.get(), out.data()));
    EXPECT_EQ(message, out);

    // The same octets in the crypto library's order decrypt with the core.
    Bytes libraryForm(ct.begin(), ct.begin() + 65);
    libraryForm.insert(libraryForm.end(), ct.begin() + 97, ct.end());
    libraryForm.insert(libraryForm.end(), ct.begin() + 65, ct.begin() + 97);
    Bytes out2(message.size());
    ASSERT_EQ(1, _SM2_decrypt(kNidSm2, libraryForm.data(), static_cast<unsigned int>(libraryForm.size()), d.get(),
                              out2.data()));
    EXPECT_EQ(message, out2);

    ct[70] ^= 0x01;  // inside C3
    Bytes cleared(message.size(), 0xEE);
    EXPECT_EQ(0, _SM2_decrypt_v2(kNidSm2, ct.data(), static_cast<unsigned int>(ct.size()), d.get(), cleared.data()));
    EXPECT_EQ(Bytes(message.size(), 0), cleared);
}

// ---- SM4 ------------------------------------------------------------------------------------------

const Bytes kKey = HexToBytes("0123456789abcdeffedcba9876543210");
const Bytes kIv = HexToBytes("000102030405060708090a0b0c0d0e0f");

unsigned int Sm4Cbc(bool encrypt, Bytes in, Bytes iv, Bytes key, Bytes* out)
{
    unsigned char* p = nullptr;
    int n = 0;
    const unsigned int code =
        encrypt ? SM4_Encrypt_CBC(in.data(), static_cast<int>(in.size()), iv.data(), static_cast<int>(iv.size()),
                                  key.data(), static_cast<int>(key.size()), &p, &n)
                : SM4_Decrypt_CBC(in.data(), static_cast<int>(in.size()), iv.data(), static_cast<int>(iv.size()),
                                  key.data(), static_cast<int>(key.size()), &p, &n);
    *out = Take(p, n);
    return code;
}

unsigned int Sm4NoPad(bool encrypt, Bytes in, Bytes iv, SM4EncrytType type, Bytes* out)
{
    unsigned char* p = nullptr;
    int n = -1;
    Bytes key = kKey;
    const unsigned int code =
        encrypt ? SM4_Encrypt_Nopadding(in.data(), static_cast<int>(in.size()), iv.data(), static_cast<int>(iv.size()),
                                        key.data(), 16, type, &p, &n)
                : SM4_Decrypt_Nopadding(in.data(), static_cast<int>(in.size()), iv.data(), static_cast<int>(iv.size()),
                                        key.data(), 16, type, &p, &n);
    *out = Take(p, n);
    return code;
}

// `openssl enc` in its own process; cipher e.g. "-sm4-cbc", extra e.g. "-nopad".
Bytes OpensslEnc(const ScopedTempDir& dir, const std::string& cipher, const std::string& extra, const Bytes& key,
                 const Bytes& iv, const Bytes& plain)
{
    EXPECT_TRUE(WriteBytes(dir.File("plain"), plain));
    const std::string ivArg = iv.empty() ? "" : " -iv " + BytesToHex(iv.data(), iv.size());
    EXPECT_EQ(0, RunCommand("openssl enc " + cipher + " " + extra + " -K " + BytesToHex(key.data(), key.size()) +
                            ivArg + " -in " + ShellQuote(dir.File("plain")) + " -out " +
                            ShellQuote(dir.File("cipher")) + " 2>&1"));
    return ReadBytes(dir.File("cipher"));
}

TEST(SM4DataTest, EncryptionEqualsOpensslEnc)
{
    ScopedTempDir dir;
    for (size_t size : {size_t(1), size_t(15), size_t(16), size_t(17), size_t(100)}) {
        SCOPED_TRACE(size);
        const Bytes plain = Pattern(size, 3);
        Bytes ours, back;
        ASSERT_EQ(QOVA_OK, Sm4Cbc(true, plain, kIv, kKey, &ours));
        EXPECT_EQ((size / 16) * 16 + 16, ours.size());
        EXPECT_EQ(OpensslEnc(dir, "-sm4-cbc", "", kKey, kIv, plain), ours);
        ASSERT_EQ(QOVA_OK, Sm4Cbc(false, ours, kIv, kKey, &back));
        EXPECT_EQ(plain, back);
    }
    const Bytes blocks = Pattern(48, 5);
    Bytes cbc, ecb;
    ASSERT_EQ(QOVA_OK, Sm4NoPad(true, blocks, kIv, SM4_CBC, &cbc));
    EXPECT_EQ(OpensslEnc(dir, "-sm4-cbc", "-nopad", kKey, kIv, blocks), cbc);
    ASSERT_EQ(QOVA_OK, Sm4NoPad(true, blocks, kIv, SM4_ECB, &ecb));
    EXPECT_EQ(OpensslEnc(dir, "-sm4-ecb", "-nopad", kKey, {}, blocks), ecb);
}

TEST(SM4DataTest, StandardVectorAndUnpaddedModes)
{
    // Key = plaintext = 0123..3210 gives 681edf34...; reversed round keys decrypt.
    Bytes key = kKey, block = kKey, out(16), back(16);
    unsigned int* rk = nullptr;
    ASSERT_EQ(QOVA_OK, SM4_Init_Key(key.data(), 16, 1, &rk));
    EXPECT_EQ(1, SM4_ecb_encrypt(block.data(), rk, out.data()));
    delete[] rk;
    EXPECT_EQ(HexToBytes("681edf34d206965e86b3e94f536e4246"), out);
    ASSERT_EQ(QOVA_OK, SM4_Init_Key(key.data(), 16, 0, &rk));
    EXPECT_EQ(1, SM4_ecb_encrypt(out.data(), rk, back.data()));
    delete[] rk;
    EXPECT_EQ(kKey, back);
    EXPECT_EQ(QOVA_OK, SM4_Init_Key(key.data(), 16, 1, nullptr));

    Bytes twoEqual = kKey;
    twoEqual.insert(twoEqual.end(), kKey.begin(), kKey.end());
    Bytes ecb, cbc, plain;
    ASSERT_EQ(QOVA_OK, Sm4NoPad(true, twoEqual, {}, SM4_ECB, &ecb));
    EXPECT_EQ(Bytes(ecb.begin(), ecb.begin() + 16), Bytes(ecb.begin() + 16, ecb.end()));
    EXPECT_EQ(out, Bytes(ecb.begin(), ecb.begin() + 16));
    ASSERT_EQ(QOVA_OK, Sm4NoPad(true, twoEqual, Bytes(16, 0), SM4_CBC, &cbc));
    EXPECT_EQ(Bytes(ecb.begin(), ecb.begin() + 16), Bytes(cbc.begin(), cbc.begin() + 16));
    EXPECT_NE(Bytes(cbc.begin(), cbc.begin() + 16), Bytes(cbc.begin() + 16, cbc.end()));
    ASSERT_EQ(QOVA_OK, Sm4NoPad(false, cbc, Bytes(16, 0), SM4_CBC, &plain));
    EXPECT_EQ(twoEqual, plain);
    ASSERT_EQ(QOVA_OK, Sm4NoPad(false, ecb, {}, SM4_ECB, &plain));
    EXPECT_EQ(twoEqual, plain);

    EXPECT_EQ(QOVA_E_INVALIDARG, Sm4NoPad(true, Pattern(17, 0), kIv, SM4_CBC, &plain));
    EXPECT_EQ(QOVA_E_INVALIDARG, Sm4NoPad(false, Pattern(17, 0), kIv, SM4_ECB, &plain));
    // Nothing to encrypt is no error; the output is empty.
    unsigned char* p = nullptr;
    int n = -1;
    EXPECT_EQ(QOVA_OK, SM4_Encrypt_Nopadding(nullptr, 0, nullptr, 0, key.data(), 16, SM4_ECB, &p, &n));
    EXPECT_EQ(0, n);
    delete[] p;

    Bytes padded;
    EXPECT_EQ(QOVA_OK, Sm4Cbc(true, Pattern(16, 0), kIv, kKey, &padded));
    EXPECT_EQ(32u, padded.size());
    EXPECT_EQ(QOVA_OK, Sm4Cbc(true, Pattern(15, 0), kIv, kKey, &padded));
    EXPECT_EQ(16u, padded.size());
    EXPECT_EQ(QOVA_E_INVALIDARG, Sm4Cbc(true, {}, kIv, kKey, &padded));
    // A wrong key shows in the padding check.
    Bytes wrong = kKey;
    wrong[0] ^= 1;
    EXPECT_EQ(QOVA_OK, Sm4Cbc(true, Pattern(20, 0), kIv, kKey, &padded));
    Bytes none;
    EXPECT_EQ(QOVA_E_FAIL, Sm4Cbc(false, padded, kIv, wrong, &none));
    EXPECT_TRUE(none.empty());
}

// The SM4 functions used to read 16 octets of key and IV whatever length they were told. Buffers of
// exactly the stated length let the sanitizer catch a read past them; every function must refuse.
TEST(SM4DataTest, KeyAndIvMustBeSixteenOctets)
{
    struct Case
    {
        const char* name;
        int ivLength, keyLength;
    };
    const Case kCases[] = {{"8-octet IV", 8, 16}, {"8-octet key", 16, 8}, {"17-octet key", 16, 17}, {"no IV", 0, 16}};
    Bytes data = Pattern(32, 1);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<unsigned char[]> iv(new unsigned char[c.ivLength + 1]());
        std::unique_ptr<unsigned char[]> key(new unsigned char[c.keyLength]());
        unsigned char* p = nullptr;
        int n = -7;
        EXPECT_EQ(QOVA_E_INVALIDARG,
                  SM4_Encrypt_CBC(data.data(), 32, iv.get(), c.ivLength, key.get(), c.keyLength, &p, &n));
        EXPECT_EQ(QOVA_E_INVALIDARG,
                  SM4_Decrypt_CBC(data.data(), 32, iv.get(), c.ivLength, key.get(), c.keyLength, &p, &n));
        EXPECT_EQ(QOVA_E_INVALIDARG, SM4_Encrypt_Nopadding(data.data(), 32, iv.get(), c.ivLength, key.get(),
                                                           c.keyLength, SM4_CBC, &p, &n));
        EXPECT_EQ(QOVA_E_INVALIDARG, SM4_Decrypt_Nopadding(data.data(), 32, iv.get(), c.ivLength, key.get(),
                                                           c.keyLength, SM4_CBC, &p, &n));
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(-7, n);
    }
    // A long IV buffer does not help a wrong stated length.
    Bytes longIv(32, 0);
    Bytes key = kKey;
    unsigned char* p = nullptr;
    int n = 0;
    EXPECT_EQ(QOVA_E_INVALIDARG, SM4_Decrypt_CBC(data.data(), 32, longIv.data(), 8, key.data(), 16, &p, &n));
    // ECB needs no IV at all.
    EXPECT_EQ(QOVA_OK, SM4_Encrypt_Nopadding(data.data(), 32, nullptr, 0, key.data(), 16, SM4_ECB, &p, &n));
    delete[] p;
    // The key schedule refuses a short key too.
    std::unique_ptr<unsigned char[]> shortKey(new unsigned char[8]());
    unsigned int* rk = nullptr;
    EXPECT_EQ(QOVA_E_INVALIDARG, SM4_Init_Key(shortKey.get(), 8, 1, &rk));
    EXPECT_EQ(nullptr, rk);
}

// K = SM3(PIN || 00000001) by OpenSSL's own SM3, then `openssl enc` with IV = K[0..15], key = K[16..31].
TEST(SM4DataTest, PinEncryptionEqualsOpensslEncUnderTheDerivedKey)
{
    ScopedTempDir dir;
    char pin[] = "12345678";
    Bytes kdfInput(pin, pin + strlen(pin));
    kdfInput.insert(kdfInput.end(), {0, 0, 0, 1});
    EVP_MD* sm3 = EVP_MD_fetch(nullptr, "SM3", nullptr);
    ASSERT_NE(nullptr, sm3);
    unsigned char k[32];
    unsigned int kLength = 0;
    ASSERT_EQ(1, EVP_Digest(kdfInput.data(), kdfInput.size(), k, &kLength, sm3, nullptr));
    EVP_MD_free(sm3);

    Bytes secret = Pattern(32, 0x40), ours, back;
    unsigned char* p = nullptr;
    int n = 0;
    ASSERT_EQ(QOVA_OK, SM4EncryptByPin(secret.data(), 32, pin, &p, &n));
    ours = Take(p, n);
    EXPECT_EQ(48u, ours.size());
    EXPECT_EQ(OpensslEnc(dir, "-sm4-cbc", "", Bytes(k + 16, k + 32), Bytes(k, k + 16), secret), ours);

    ASSERT_EQ(QOVA_OK, SM4DecryptByPin(ours.data(), static_cast<int>(ours.size()), pin, &p, &n));
    EXPECT_EQ(secret, Take(p, n));
    // Another PIN fails the padding check (or, rarely, gives other octets).
    char other[] = "87654321";
    p = nullptr;
    const unsigned int code = SM4DecryptByPin(ours.data(), static_cast<int>(ours.size()), other, &p, &n);
    if (code == QOVA_OK)
        EXPECT_NE(secret, Take(p, n));
    else
        EXPECT_EQ(QOVA_E_FAIL, code);
}

}  // namespace
