// Decrypted content keys and plaintext must be cleared before the kernel releases their arrays.
//
// This executable replaces operator new and delete: while a call is watched, every array released
// through operator delete is copied into a log before it is freed, and the test then searches the
// log for the secret (which it may learn only after the call, as for a random content key).
#include "CMSStructures.h"
#include "EncryptionTestUtil.h"
#include "RSADataEncryption.h"
#include "SMRegistry.h"

#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr size_t kHeaderSize = 16;  // keeps the alignment of malloc

std::atomic<bool> g_watching{false};
char* g_log = nullptr;  // malloc'd: the log must not allocate through the operators it watches
size_t g_logSize = 0;

void LogReleased(const void* p, size_t n)
{
    char* grown = static_cast<char*>(realloc(g_log, g_logSize + n));
    if (nullptr == grown)
        abort();
    memcpy(grown + g_logSize, p, n);
    g_log = grown;
    g_logSize += n;
}

void* Allocate(size_t n)
{
    char* base = static_cast<char*>(malloc(n + kHeaderSize));
    if (nullptr == base)
        return nullptr;
    memcpy(base, &n, sizeof(n));
    return base + kHeaderSize;
}

void Release(void* p)
{
    if (nullptr == p)
        return;
    char* base = static_cast<char*>(p) - kHeaderSize;
    size_t n = 0;
    memcpy(&n, base, sizeof(n));
    if (g_watching.load())
        LogReleased(p, n);
    free(base);
}

}  // namespace

void* operator new(size_t n)
{
    void* p = Allocate(n);
    if (nullptr == p)
        throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n)
{
    return operator new(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept
{
    return Allocate(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept
{
    return Allocate(n);
}
void operator delete(void* p) noexcept
{
    Release(p);
}
void operator delete[](void* p) noexcept
{
    Release(p);
}
void operator delete(void* p, size_t) noexcept
{
    Release(p);
}
void operator delete[](void* p, size_t) noexcept
{
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    Release(p);
}

namespace {

using enctest::File;
using enctest::Fixture;
using enctest::Open;
using enctest::Out;
using enctest::RandomBytes;
using enctest::U;

// Runs call with the watch on and hands back everything released meanwhile.
template <typename F>
std::string Released(F call)
{
    free(g_log);
    g_log = nullptr;
    g_logSize = 0;
    g_watching = true;
    call();
    g_watching = false;
    std::string log(g_log ? g_log : "", g_logSize);
    return log;
}

bool Holds(const std::string& log, const std::string& secret)
{
    return std::string::npos != log.find(secret);
}

class SecretClearing : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }
    testutil::ScopedTempDir dir;
};

// A plaintext of a repeated 16-byte pattern: any released block of 31 bytes or more of it holds
// the whole pattern.
std::string Pattern(size_t size)
{
    std::string plain;
    while (plain.size() < size)
        plain += "secret-plain-16b";
    plain.resize(size);
    return plain;
}

TEST_F(SecretClearing, SymmetricDecryptionClearsPlaintextOnSuccessAndFailure)
{
    std::string key = RandomBytes(32), iv = RandomBytes(16), plain = Pattern(4096);
    Out<unsigned char> enc;
    ASSERT_EQ(QOVA_OK, SymEncrypt(NID_aes_256_cbc, U(iv), U(key), 32, U(plain), 4096, &enc.p, &enc.n));
    // Damaged padding: every block but the last decrypts correctly before the final step fails.
    enc.p[enc.n - 1] ^= 0x5A;
    unsigned int result = QOVA_OK;
    std::string log = Released([&] {
        Out<unsigned char> dec;
        result = SymDecrypt(NID_aes_256_cbc, U(iv), U(key), 32, enc.p, enc.n, &dec.p, &dec.n);
    });
    EXPECT_EQ(QOVA_E_DECRYPT_FAILED, result);
    EXPECT_FALSE(Holds(log, "secret-plain-16b"));

    enc.p[enc.n - 1] ^= 0x5A;
    ASSERT_TRUE(testutil::WriteFile(dir.File("enc"), enc.str()));
    ASSERT_TRUE(testutil::WriteFile(dir.File("plain"), Pattern(3 * SYM_FILE_BLOCK_SIZE)));
    log = Released([&] {
        File in = Open(dir.File("enc"), "rb"), out = Open(dir.File("dec"), "wb");
        result = SymFileDecrypt(NID_aes_256_cbc, U(iv), U(key), 32, in.get(), out.get());
        File plainFile = Open(dir.File("plain"), "rb"), encFile = Open(dir.File("enc2"), "wb");
        result |= SymFileEncrypt(kNidSm4Cbc, U(iv), U(key), 16, plainFile.get(), encFile.get());
    });
    EXPECT_EQ(QOVA_OK, result);
    EXPECT_EQ(plain, testutil::ReadFileOrEmpty(dir.File("dec")));
    EXPECT_FALSE(Holds(log, "secret-plain-16b"));
}

// The content key of an envelope, unwrapped with the recipient's key outside any watch.
std::string ContentKeyOf(std::string envelope)
{
    Out<unsigned char> wrapped, key;
    EXPECT_EQ(QOVA_OK, Decode_CMSEnvelopeData(U(envelope), static_cast<int>(envelope.size()), nullptr, nullptr,
                                              &wrapped.p, &wrapped.n, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr));
    File keyFile = Open(Fixture("recip.key"), "rb");
    EVP_PKEY* pKey = keyFile ? PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr) : nullptr;
    EXPECT_NE(nullptr, pKey);
    EXPECT_EQ(QOVA_OK, RSADecrypt(pKey, wrapped.p, wrapped.n, &key.p, &key.n));
    EVP_PKEY_free(pKey);
    return key.str();
}

TEST_F(SecretClearing, EnvelopesClearTheContentKeyAndPlaintext)
{
    std::string cert = testutil::ReadFileOrEmpty(Fixture("recip.der")), plain = Pattern(3 * SYM_FILE_BLOCK_SIZE + 100);
    ASSERT_FALSE(cert.empty());
    ASSERT_TRUE(testutil::WriteFile(dir.File("plain"), plain));
    std::string password = "secret";
    unsigned int result = QOVA_OK;

    Out<unsigned char> envelope;
    std::string log = Released([&] {
        result = RSA_EncryptDataToDERCMSEnvelope(U(plain), static_cast<int>(plain.size()), U(cert),
                                                 static_cast<int>(cert.size()), NID_des_ede3_cbc, &envelope.p,
                                                 &envelope.n);
    });
    ASSERT_EQ(QOVA_OK, result);
    std::string contentKey = ContentKeyOf(envelope.str());
    ASSERT_EQ(24u, contentKey.size());
    EXPECT_FALSE(Holds(log, contentKey));

    Out<unsigned char> decrypted;
    log = Released([&] {
        File pfx = Open(Fixture("recip.p12"), "rb");
        result = RSA_DecryptDataFromDERCMSEnvelope(envelope.p, envelope.n, pfx.get(), &password[0], &decrypted.p,
                                                   &decrypted.n);
    });
    ASSERT_EQ(QOVA_OK, result);
    EXPECT_EQ(plain, decrypted.str());
    EXPECT_FALSE(Holds(log, contentKey));

    log = Released([&] {
        File in = Open(dir.File("plain"), "rb"), out = Open(dir.File("env"), "wb");
        result = RSA_EncryptFileToCMSEnvelope(in.get(), U(cert), static_cast<int>(cert.size()), NID_des_ede3_cbc,
                                              out.get());
    });
    ASSERT_EQ(QOVA_OK, result);
    contentKey = ContentKeyOf(testutil::ReadFileOrEmpty(dir.File("env")));
    EXPECT_FALSE(Holds(log, contentKey));
    EXPECT_FALSE(Holds(log, "secret-plain-16b"));

    log = Released([&] {
        File in = Open(dir.File("env"), "rb"), pfx = Open(Fixture("recip.p12"), "rb");
        File out = Open(dir.File("dec"), "wb");
        result = RSA_DecryptFileFromCMSEnvelope(in.get(), pfx.get(), &password[0], out.get());
    });
    ASSERT_EQ(QOVA_OK, result);
    EXPECT_EQ(plain, testutil::ReadFileOrEmpty(dir.File("dec")));
    EXPECT_FALSE(Holds(log, contentKey));
    EXPECT_FALSE(Holds(log, "secret-plain-16b"));
}

}  // namespace
