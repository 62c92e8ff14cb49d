// SM2 key containers against one made by the openssl tool alone (tests/fixtures/make-sm2-container.sh):
// ours must be the same octets, and open it with the PIN.
#include "Base64.h"
#include "SM2KeyContainer.h"
#include "SM2SM4Data.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/crypto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using testutil::RunCommand;
using testutil::ScopedTempDir;
using testutil::ShellQuote;

char kPin[] = "12345678";

Bytes ReadBytes(const std::string& path)
{
    std::string s;
    EXPECT_TRUE(testutil::ReadFile(path, &s)) << path;
    return Bytes(s.begin(), s.end());
}

Bytes Take(unsigned char* p, int length)
{
    Bytes out(p, p + (p != nullptr && length > 0 ? length : 0));
    delete[] p;
    return out;
}

struct Reference
{
    Bytes cert, d, x, y, pfx;
};

// The reference container is made once for the suite (each openssl run takes a while); every test
// works on its own copy and in its own directory.
class SM2KeyContainerTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(1, SM_crypto_init());
        s_fixtureDir = new ScopedTempDir();
        const std::string dir = s_fixtureDir->Path();
        ASSERT_EQ(0, RunCommand("bash " + ShellQuote(testutil::SourceDir() + "/tests/fixtures/make-sm2-container.sh") +
                                " " + ShellQuote(dir) + " " + kPin + " 2>&1"));
        s_ref = new Reference();
        s_ref->cert = ReadBytes(s_fixtureDir->File("sm2.cer"));
        s_ref->d = ReadBytes(s_fixtureDir->File("sm2.d"));
        const Bytes xy = ReadBytes(s_fixtureDir->File("sm2.xy"));
        ASSERT_EQ(64u, xy.size());
        s_ref->x.assign(xy.begin(), xy.begin() + 32);
        s_ref->y.assign(xy.begin() + 32, xy.end());
        s_ref->pfx = ReadBytes(s_fixtureDir->File("sm2.pfx"));
    }
    static void TearDownTestSuite()
    {
        delete s_ref;
        s_ref = nullptr;
        delete s_fixtureDir;
        s_fixtureDir = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(nullptr, s_ref);
        m_ref = *s_ref;
    }

    static std::string FixtureFile(const std::string& name) { return s_fixtureDir->File(name); }

    Bytes Encapsulate(Bytes key, char* pin, unsigned int* code)
    {
        Bytes cert = m_ref.cert;
        unsigned char* out = nullptr;
        int outLength = 0;
        *code = EncapsulateSM2PFX(cert.data(), static_cast<int>(cert.size()), key.data(), static_cast<int>(key.size()),
                                  pin, &out, &outLength);
        return Take(out, outLength);
    }

    ScopedTempDir m_dir;
    Reference m_ref;

    static ScopedTempDir* s_fixtureDir;
    static Reference* s_ref;
};

ScopedTempDir* SM2KeyContainerTest::s_fixtureDir = nullptr;
Reference* SM2KeyContainerTest::s_ref = nullptr;

TEST_F(SM2KeyContainerTest, SameOctetsAsTheReferenceAndOpensWithThePin)
{
    unsigned int code = 0;
    const Bytes ours = Encapsulate(m_ref.d, kPin, &code);
    ASSERT_EQ(QOVA_OK, code);
    EXPECT_EQ(m_ref.pfx, ours);

    Bytes pfx = m_ref.pfx;
    SM2_KEY_PAIR pair = {};
    unsigned char* cert = nullptr;
    int certLength = 0;
    ASSERT_EQ(QOVA_OK, DecryptSM2PFX(pfx.data(), static_cast<int>(pfx.size()), kPin, &pair, &cert, &certLength));
    EXPECT_EQ(m_ref.cert, Take(cert, certLength));
    EXPECT_EQ(m_ref.d, Bytes(pair.pbyPrivateKey, pair.pbyPrivateKey + pair.nPrivateKeySize));
    EXPECT_EQ(m_ref.x, Bytes(pair.pbyPublicKeyX, pair.pbyPublicKeyX + pair.nPublicKeyXSize));
    EXPECT_EQ(m_ref.y, Bytes(pair.pbyPublicKeyY, pair.pbyPublicKeyY + pair.nPublicKeyYSize));
    CleanupSM2KeyPair(&pair);
    EXPECT_EQ(nullptr, pair.pbyPrivateKey);
    EXPECT_EQ(nullptr, pair.pbyPublicKeyX);
    EXPECT_EQ(nullptr, pair.pbyPublicKeyY);
    EXPECT_EQ(32, pair.nPrivateKeySize);
    CleanupSM2KeyPair(&pair);  // releases nothing the second time
    CleanupSM2KeyPair(nullptr);

    SM2_KEY_PAIR only = {};
    ASSERT_EQ(QOVA_OK, DecryptKeyPairFromSM2PFX(pfx.data(), static_cast<int>(pfx.size()), kPin, &only));
    EXPECT_EQ(m_ref.d, Bytes(only.pbyPrivateKey, only.pbyPrivateKey + only.nPrivateKeySize));
    CleanupSM2KeyPair(&only);
}

// On disk a container is Base64 text; written, read back and parsed, it comes out as the same octets.
TEST_F(SM2KeyContainerTest, RoundTripsByteForByteThroughItsFileForm)
{
    unsigned int code = 0;
    Bytes der = Encapsulate(m_ref.d, kPin, &code);
    ASSERT_EQ(QOVA_OK, code);
    char* text = nullptr;
    int textLength = 0;
    ASSERT_EQ(QOVA_OK, Base64EncodeEx(der.data(), static_cast<int>(der.size()), &text, &textLength,
                                      ATL_BASE64_FLAG_NONE));
    ASSERT_TRUE(testutil::WriteFile(m_dir.File("container.txt"), std::string(text, textLength)));
    delete[] text;

    std::string read;
    ASSERT_TRUE(testutil::ReadFile(m_dir.File("container.txt"), &read));
    unsigned char* back = nullptr;
    int backLength = 0;
    ASSERT_EQ(QOVA_OK, Base64DecodeEx(read.c_str(), static_cast<int>(read.size()), &back, &backLength));
    Bytes fromFile = Take(back, backLength);
    EXPECT_EQ(der, fromFile);

    // Its parts as written: the 48 octets of a 32-octet key under SM4, and the certificate unchanged.
    unsigned char *encryptedKey = nullptr, *cert = nullptr;
    int encryptedKeyLength = 0, certLength = 0;
    ASSERT_EQ(QOVA_OK, ParseSM2PFX(fromFile.data(), static_cast<int>(fromFile.size()), &encryptedKey,
                                   &encryptedKeyLength, &cert, &certLength));
    EXPECT_EQ(48, encryptedKeyLength);
    delete[] encryptedKey;
    EXPECT_EQ(m_ref.cert, Take(cert, certLength));

    // Both outputs skipped: a check that it is a container, nothing more.
    EXPECT_EQ(QOVA_OK, ParseSM2PFX(fromFile.data(), static_cast<int>(fromFile.size()), nullptr, nullptr, nullptr,
                                   nullptr));
}

TEST_F(SM2KeyContainerTest, AnotherPinDoesNotOpenIt)
{
    // A fixed key, so that whether another PIN happens to pass the padding check is settled once.
    const Bytes key(32, 0x5C);
    unsigned int code = 0;
    Bytes der = Encapsulate(key, kPin, &code);
    ASSERT_EQ(QOVA_OK, code);
    char other[] = "87654321";
    SM2_KEY_PAIR pair = {};
    unsigned char* cert = nullptr;
    int certLength = -7;
    EXPECT_EQ(QOVA_E_CONTAINER_PIN, DecryptSM2PFX(der.data(), static_cast<int>(der.size()), other, &pair, &cert,
                                                  &certLength));
    EXPECT_EQ(nullptr, pair.pbyPrivateKey);
    EXPECT_EQ(0, pair.nPrivateKeySize);
    EXPECT_EQ(nullptr, cert);
    EXPECT_EQ(-7, certLength);
    char empty[] = "";
    EXPECT_EQ(QOVA_E_CONTAINER_PIN, DecryptKeyPairFromSM2PFX(der.data(), static_cast<int>(der.size()), empty, &pair));
}

// About one wrong PIN in 256 passes the padding check; the key it gives is not the certificate's, so
// the container still does not open (it used to open into that wrong key). So does a container
// whose key is not its certificate's, with its own PIN.
TEST_F(SM2KeyContainerTest, AKeyThatIsNotTheCertificatesDoesNotOpen)
{
    unsigned int code = 0;
    Bytes der = Encapsulate(m_ref.d, kPin, &code);
    ASSERT_EQ(QOVA_OK, code);
    unsigned char* encrypted = nullptr;
    int encryptedLength = 0;
    ASSERT_EQ(QOVA_OK, ParseSM2PFX(der.data(), static_cast<int>(der.size()), &encrypted, &encryptedLength, nullptr,
                                   nullptr));
    Bytes encryptedKey = Take(encrypted, encryptedLength);
    std::string lucky;
    for (int i = 0; i < 100000 && lucky.empty(); ++i) {
        std::string pin = std::to_string(i);
        unsigned char* plain = nullptr;
        int plainLength = 0;
        if (QOVA_OK == SM4DecryptByPin(encryptedKey.data(), encryptedLength, &pin[0], &plain, &plainLength))
            lucky = pin;
        Take(plain, plainLength);
    }
    ASSERT_FALSE(lucky.empty());
    ASSERT_NE(std::string(kPin), lucky);

    const Bytes otherKey(32, 0x5C);
    Bytes otherDer = Encapsulate(otherKey, kPin, &code);
    ASSERT_EQ(QOVA_OK, code);
    struct Case
    {
        const char* name;
        Bytes* container;
        char* pin;
    };
    const Case kCases[] = {{"wrong PIN through the padding check", &der, &lucky[0]},
                           {"key of another certificate", &otherDer, kPin}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        SM2_KEY_PAIR pair = {};
        unsigned char* cert = nullptr;
        int certLength = -7;
        EXPECT_EQ(QOVA_E_CONTAINER_PIN, DecryptSM2PFX(c.container->data(), static_cast<int>(c.container->size()), c.pin,
                                                      &pair, &cert, &certLength));
        EXPECT_EQ(nullptr, pair.pbyPrivateKey);
        EXPECT_EQ(nullptr, cert);
    }
}

// The key check computes d*G on the certificate's own curve: on the SM2 curve alone, a P-256
// container with the right PIN read as a wrong PIN.
TEST_F(SM2KeyContainerTest, AContainerOnAnotherCurveOpensWithItsPin)
{
    ASSERT_EQ(0, RunCommand("bash " + ShellQuote(testutil::SourceDir() + "/tests/fixtures/make-sm2-container.sh") +
                            " " + ShellQuote(m_dir.Path()) + " " + kPin + " p256 '' P-256 2>&1"));
    Bytes pfx = ReadBytes(m_dir.File("p256.pfx"));
    const Bytes xy = ReadBytes(m_dir.File("p256.xy"));
    ASSERT_EQ(64u, xy.size());

    SM2_KEY_PAIR pair = {};
    ASSERT_EQ(QOVA_OK, DecryptKeyPairFromSM2PFX(pfx.data(), static_cast<int>(pfx.size()), kPin, &pair));
    EXPECT_EQ(ReadBytes(m_dir.File("p256.d")), Bytes(pair.pbyPrivateKey, pair.pbyPrivateKey + pair.nPrivateKeySize));
    EXPECT_EQ(Bytes(xy.begin(), xy.begin() + 32), Bytes(pair.pbyPublicKeyX, pair.pbyPublicKeyX + pair.nPublicKeyXSize));
    EXPECT_EQ(Bytes(xy.begin() + 32, xy.end()), Bytes(pair.pbyPublicKeyY, pair.pbyPublicKeyY + pair.nPublicKeyYSize));
    CleanupSM2KeyPair(&pair);

    // The check itself still holds on that curve: another PIN does not open it.
    char other[] = "87654321";
    EXPECT_EQ(QOVA_E_CONTAINER_PIN, DecryptKeyPairFromSM2PFX(pfx.data(), static_cast<int>(pfx.size()), other, &pair));
    EXPECT_EQ(nullptr, pair.pbyPrivateKey);
}

TEST_F(SM2KeyContainerTest, DataThatIsNoContainerIsRefused)
{
    ASSERT_EQ(0, RunCommand("openssl pkcs12 -export -passout pass:1234 -inkey " + ShellQuote(FixtureFile("sm2.key")) +
                            " -in " + ShellQuote(FixtureFile("sm2.cer")) + " -out " + ShellQuote(m_dir.File("p12")) +
                            " 2>&1"));
    Bytes random(300);
    for (size_t i = 0; i < random.size(); ++i)
        random[i] = static_cast<unsigned char>(i * 151 + 7);
    struct Case
    {
        const char* name;
        Bytes data;
    };
    const Case kCases[] = {
        {"a PKCS#12 file", ReadBytes(m_dir.File("p12"))},
        {"a certificate", m_ref.cert},
        {"random octets", random},
        {"a cut-off container", Bytes(m_ref.pfx.begin(), m_ref.pfx.end() - 40)},
        {"an empty SEQUENCE", {0x30, 0x00}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes data = c.data;
        unsigned char* key = nullptr;
        int keyLength = -7;
        EXPECT_EQ(QOVA_E_NOT_KEY_CONTAINER,
                  ParseSM2PFX(data.data(), static_cast<int>(data.size()), &key, &keyLength, nullptr, nullptr));
        EXPECT_EQ(nullptr, key);
        EXPECT_EQ(-7, keyLength);
        SM2_KEY_PAIR pair = {};
        EXPECT_EQ(QOVA_E_NOT_KEY_CONTAINER,
                  DecryptSM2PFX(data.data(), static_cast<int>(data.size()), kPin, &pair, nullptr, nullptr));
    }
}

TEST_F(SM2KeyContainerTest, OnlyTheKeyAndCertificateMatter)
{
    // Another cipher named, octets after the structure: still opened with SM4, trailing octets ignored.
    Bytes reference = m_ref.pfx;
    unsigned char* key = nullptr;
    int keyLength = 0;
    ASSERT_EQ(QOVA_OK, ParseSM2PFX(reference.data(), static_cast<int>(reference.size()), &key, &keyLength, nullptr,
                                   nullptr));
    Bytes encrypted = Take(key, keyLength);
    Bytes cert = m_ref.cert;
    SM2_PRIVATE_DATA* privateData = nullptr;
    SM2_PUBLIC_DATA* publicData = nullptr;
    SM2_PFX* pfx = nullptr;
    ASSERT_EQ(QOVA_OK, CreateSM2PrivateData("1.2.156.10197.6.1.4.2.1", "2.16.840.1.101.3.4.1.2", encrypted.data(),
                                            static_cast<unsigned int>(encrypted.size()), &privateData));
    ASSERT_EQ(QOVA_OK, CreateSM2PublicData("1.2.3.4", cert.data(), static_cast<unsigned int>(cert.size()), &publicData));
    ASSERT_EQ(QOVA_OK, CreateSM2PFX(7, privateData, publicData, &pfx));
    unsigned char* der = nullptr;
    const int derLength = i2d_SM2_PFX(pfx, &der);
    ASSERT_GT(derLength, 0);
    Bytes data(der, der + derLength);
    OPENSSL_free(der);
    SM2_PFX_free(pfx);
    data.insert(data.end(), {0xDE, 0xAD});

    SM2_KEY_PAIR pair = {};
    ASSERT_EQ(QOVA_OK, DecryptKeyPairFromSM2PFX(data.data(), static_cast<int>(data.size()), kPin, &pair));
    EXPECT_EQ(m_ref.d, Bytes(pair.pbyPrivateKey, pair.pbyPrivateKey + pair.nPrivateKeySize));
    CleanupSM2KeyPair(&pair);

    // Identifiers are converted numerically only: a name is no identifier.
    EXPECT_EQ(QOVA_E_FAIL, CreateSM2PublicData("sm-pkcs7-data", cert.data(), 4, &publicData));
    EXPECT_EQ(nullptr, publicData);

    // A certificate without a readable public key: the PIN opens the key, the container still fails.
    unsigned int code = 0;
    m_ref.cert = {0x30, 0x03, 0x02, 0x01, 0x05};
    Bytes noCert = Encapsulate(m_ref.d, kPin, &code);
    ASSERT_EQ(QOVA_OK, code);
    EXPECT_EQ(QOVA_E_FAIL, DecryptKeyPairFromSM2PFX(noCert.data(), static_cast<int>(noCert.size()), kPin, &pair));
    EXPECT_EQ(nullptr, pair.pbyPrivateKey);
}

}  // namespace
