// Decrypted content keys, private keys and plaintext must be cleared before the kernel releases their arrays.
//
// The allocation probe copies every block released through operator delete while a call runs into a
// log, and the test then searches the log for the secret (which it may learn only after the call, as
// for a random content key).
#include "AllocationProbe.h"
#include "CMSStructures.h"
#include "EncryptionTestUtil.h"
#include "RSADataEncryption.h"
#include "SM2Envelope.h"
#include "SM2SM4Data.h"
#include "SMRegistry.h"

#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using namespace enctest;

// Everything released while call runs.
template <typename F>
std::string Released(F call)
{
    allocprobe::FreedBlockLog log;
    call();
    return log.Bytes();
}

bool Holds(const std::string& log, const std::string& secret) { return std::string::npos != log.find(secret); }

// A repeated 16-byte pattern: any released block of 31 bytes or more of it holds the whole pattern.
const std::string kPattern = "secret-plain-16b";
std::string Pattern(size_t size)
{
    std::string plain;
    while (plain.size() < size) plain += kPattern;
    return plain.substr(0, size);
}

// The content key of an envelope, unwrapped outside any watch.
std::string ContentKeyOf(std::string envelope)
{
    Out<unsigned char> wrapped, key;
    EXPECT_EQ(QOVA_OK, Decode_CMSEnvelopeData(U(envelope), N(envelope), nullptr, nullptr, &wrapped.p, &wrapped.n,
                                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    File keyFile = Open(Fixture("recip.key"), "rb");
    EVP_PKEY* pKey = PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr);
    EXPECT_EQ(QOVA_OK, RSADecrypt(pKey, wrapped.p, wrapped.n, &key.p, &key.n));
    EVP_PKEY_free(pKey);
    return key.str();
}

class SecretClearing : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }
    testutil::ScopedTempDir dir;
    unsigned int result = QOVA_OK;
};

TEST_F(SecretClearing, SymmetricDecryptionClearsPlaintextOnFailureAndFileBuffers)
{
    std::string key = RandomBytes(32), iv = RandomBytes(16), plain = Pattern(4096);
    Out<unsigned char> enc, dec;
    ASSERT_EQ(QOVA_OK, SymEncrypt(NID_aes_256_cbc, U(iv), U(key), 32, U(plain), 4096, &enc.p, &enc.n));
    enc.p[enc.n - 1] ^= 0x5A;  // bad padding: every block but the last decrypts before the final step fails
    std::string log = Released(
        [&] { result = SymDecrypt(NID_aes_256_cbc, U(iv), U(key), 32, enc.p, enc.n, &dec.p, &dec.n); });
    EXPECT_EQ(QOVA_E_DECRYPT_FAILED, result);
    EXPECT_FALSE(Holds(log, kPattern));

    enc.p[enc.n - 1] ^= 0x5A;
    ASSERT_TRUE(testutil::WriteFile(dir.File("enc"), enc.str()) &&
                testutil::WriteFile(dir.File("plain"), Pattern(3 * SYM_FILE_BLOCK_SIZE)));
    log = Released([&] {
        File in = Open(dir.File("enc"), "rb"), out = Open(dir.File("dec"), "wb");
        result = SymFileDecrypt(NID_aes_256_cbc, U(iv), U(key), 32, in.get(), out.get());
        File plainFile = Open(dir.File("plain"), "rb"), encFile = Open(dir.File("enc2"), "wb");
        result |= SymFileEncrypt(kNidSm4Cbc, U(iv), U(key), 16, plainFile.get(), encFile.get());
    });
    EXPECT_EQ(QOVA_OK, result);
    EXPECT_EQ(plain, testutil::ReadFileOrEmpty(dir.File("dec")));
    EXPECT_FALSE(Holds(log, kPattern));
}

TEST_F(SecretClearing, EnvelopesClearTheContentKeyAndPlaintext)
{
    std::string cert = testutil::ReadFileOrEmpty(Fixture("recip.der")), password = "secret";
    std::string plain = Pattern(3 * SYM_FILE_BLOCK_SIZE + 100);
    ASSERT_TRUE(testutil::WriteFile(dir.File("plain"), plain));

    Out<unsigned char> envelope, decrypted;
    std::string log = Released([&] {
        result = RSA_EncryptDataToDERCMSEnvelope(U(plain), N(plain), U(cert), N(cert), NID_des_ede3_cbc, &envelope.p,
                                                 &envelope.n);
    });
    ASSERT_EQ(QOVA_OK, result);
    std::string contentKey = ContentKeyOf(envelope.str());
    ASSERT_EQ(24u, contentKey.size());
    EXPECT_FALSE(Holds(log, contentKey));
    log = Released([&] {
        File pfx = Open(Fixture("recip.p12"), "rb");
        result = RSA_DecryptDataFromDERCMSEnvelope(envelope.p, envelope.n, pfx.get(), &password[0], &decrypted.p,
                                                   &decrypted.n);
    });
    EXPECT_EQ(plain, decrypted.str());
    EXPECT_FALSE(Holds(log, contentKey));

    log = Released([&] {
        File in = Open(dir.File("plain"), "rb"), out = Open(dir.File("env"), "wb");
        result = RSA_EncryptFileToCMSEnvelope(in.get(), U(cert), N(cert), NID_des_ede3_cbc, out.get());
    });
    ASSERT_EQ(QOVA_OK, result);
    contentKey = ContentKeyOf(testutil::ReadFileOrEmpty(dir.File("env")));
    EXPECT_FALSE(Holds(log, contentKey) || Holds(log, kPattern));
    log = Released([&] {
        File in = Open(dir.File("env"), "rb"), pfx = Open(Fixture("recip.p12"), "rb");
        File out = Open(dir.File("dec"), "wb");
        result = RSA_DecryptFileFromCMSEnvelope(in.get(), pfx.get(), &password[0], out.get());
    });
    EXPECT_EQ(plain, testutil::ReadFileOrEmpty(dir.File("dec")));
    EXPECT_FALSE(Holds(log, contentKey) || Holds(log, kPattern));
}

// Made by tests/fixtures/make-sm2-envelope-fixtures.sh.
std::string SM2Fixture(const std::string& name) { return std::string(SM2_ENVELOPE_FIXTURE_DIR) + "/" + name; }

// The SM4 key of an SM2 envelope (raw key form), unwrapped outside any watch with the recipient's
// private scalar.
std::string SM2ContentKeyOf(std::string envelope, const std::string& d)
{
    Out<unsigned char> wrapped, key;
    EXPECT_EQ(QOVA_OK, Decode_CMSEnvelopeData(U(envelope), N(envelope), nullptr, nullptr, &wrapped.p, &wrapped.n,
                                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    std::string scalar = d;
    EXPECT_EQ(QOVA_OK, SM2_Decrypt(wrapped.p, wrapped.n, U(scalar), N(scalar), &key.p, &key.n));
    return key.str();
}

TEST_F(SecretClearing, SM2EnvelopesClearTheUnwrappedKeyPrivateKeyAndPlaintext)
{
    std::string cert = testutil::ReadFileOrEmpty(SM2Fixture("recip.cer"));
    const std::string d = testutil::ReadFileOrEmpty(SM2Fixture("recip.d"));
    ASSERT_EQ(32u, d.size());
    char pin[] = "12345678";
    std::string plain = Pattern(3 * SYM_FILE_BLOCK_SIZE + 100);
    ASSERT_TRUE(testutil::WriteFile(dir.File("plain"), plain));

    Out<unsigned char> envelope, decrypted;
    std::string log = Released([&] {
        result = EncryptDataToDerCMSEnvelope(U(plain), N(plain), U(cert), N(cert), SM2_ENC_ENCODED_RAW, &envelope.p,
                                             &envelope.n);
    });
    ASSERT_EQ(QOVA_OK, result);
    std::string contentKey = SM2ContentKeyOf(envelope.str(), d);
    ASSERT_EQ(16u, contentKey.size());
    EXPECT_FALSE(Holds(log, contentKey));
    log = Released([&] {
        File ctr = Open(SM2Fixture("recip.ctr"), "rb");
        result = DecryptDerCMSEnvelopeData(envelope.p, envelope.n, ctr.get(), pin, SM2_ENC_ENCODED_RAW, &decrypted.p,
                                           &decrypted.n);
    });
    EXPECT_EQ(plain, decrypted.str());
    EXPECT_FALSE(Holds(log, contentKey) || Holds(log, d) || Holds(log, kPattern));

    log = Released([&] {
        File in = Open(dir.File("plain"), "rb"), out = Open(dir.File("env"), "wb");
        result = EncryptFileToDerCMSEnvelope(in.get(), U(cert), N(cert), SM2_ENC_ENCODED_RAW, out.get());
    });
    ASSERT_EQ(QOVA_OK, result);
    contentKey = SM2ContentKeyOf(testutil::ReadFileOrEmpty(dir.File("env")), d);
    EXPECT_FALSE(Holds(log, contentKey) || Holds(log, kPattern));
    log = Released([&] {
        File in = Open(dir.File("env"), "rb"), ctr = Open(SM2Fixture("recip.ctr"), "rb");
        File out = Open(dir.File("dec"), "wb");
        result = DecryptDerCMSEnvelopeFile(in.get(), ctr.get(), pin, SM2_ENC_ENCODED_RAW, out.get());
    });
    EXPECT_EQ(QOVA_OK, result);
    EXPECT_EQ(plain, testutil::ReadFileOrEmpty(dir.File("dec")));
    EXPECT_FALSE(Holds(log, contentKey) || Holds(log, d) || Holds(log, kPattern));
}

}  // namespace
