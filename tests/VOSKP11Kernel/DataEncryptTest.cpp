// Envelope decryption with token keys: RSA envelopes of `openssl cms` and of our encoder opened
// with SoftHSM2's key, SM2 envelopes opened through the test module's vendor mechanism, and the
// refusals before and after the token unwrapped the key.
#include "DecryptTestUtil.h"
#include "RSADataEncryption.h"
#include "SM2Envelope.h"
#include "SelectionTestSupport.h"
#include "TokenSigningTestUtil.h"

#include <gtest/gtest.h>

namespace {

using namespace dectest;
using p11testbed::FixtureFile;
using signtest::Message;

// Every envelope is opened the way the host opens it: through a module list over the test module
// and SoftHSM2, whose modules are loaded before and unloaded after.
class EnvelopeDecryption : public signtest::KernelScope
{
protected:
    void SetUp() override
    {
        signtest::KernelScope::SetUp();
        if (!hsm.Ready() || p11testbed::SoftHsmModulePath().empty())
            GTEST_SKIP() << "SoftHSM2 not installed";
    }

    // Writes the test module's tokens, loads every module and starts the call log afresh.
    void Load(const std::string& testModuleTokens = Sm2RecipientToken())
    {
        module.Write(testModuleTokens);
        list.Load();
        module.ClearLog();
    }
    Decrypted Decrypt(const std::string& der, const std::string& pin)
    {
        Decrypted out = DecryptDer(list.Head(), pin, der);
        list.Unload();
        return out;
    }
    bool Called(const std::string& function) const { return !module.Calls(function).empty(); }

    testutil::ScopedTempDir dir;
    p11testbed::SoftHsmTokens hsm;
    p11testbed::TestModule module;
    selecttest::ModuleList list{{{"Test CSP", p11testbed::TestModulePath()},
                                 {"SoftHSM", p11testbed::SoftHsmModulePath()}}};
};

TEST_F(EnvelopeDecryption, RsaEnvelopesOfOpensslCmsAndOfOurEncoderOpenWithTheSoftHsmKey)
{
    const std::string message = Message(3000);
    ASSERT_TRUE(testutil::WriteFile(dir.File("msg"), message));
    const std::string cert = testutil::ReadFileOrEmpty(FixtureFile("rsa1.der"));

    struct Case { const char* name; const char* cmsCipher; int nid; };
    const Case kCases[] = {{"openssl cms 3DES", "des3", 0},
                           {"openssl cms AES-256", "aes256", 0},
                           {"our 3DES", nullptr, NID_des_ede3_cbc},
                           {"our RC4", nullptr, NID_rc4},
                           {"our AES-256", nullptr, NID_aes_256_cbc}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string der;
        if (c.cmsCipher) {
            ASSERT_TRUE(Openssl(std::string("cms -encrypt -keyid -") + c.cmsCipher + " -binary -outform DER -in " +
                                dir.File("msg") + " -out " + dir.File("env.der") + " " + FixtureFile("rsa1.pem")));
            der = testutil::ReadFileOrEmpty(dir.File("env.der"));
        } else {
            signtest::Out<unsigned char> env;
            ASSERT_EQ(QOVA_OK, RSA_EncryptDataToDERCMSEnvelope(U(message), N(message), U(cert), N(cert), c.nid,
                                                               &env.data, &env.size));
            der = env.Str();
        }
        Load();
        const Decrypted out = Decrypt(der, p11testbed::kDefaultPin);
        ASSERT_EQ(QOVA_OK, out.code);
        EXPECT_EQ(message, out.plain);
        EXPECT_TRUE(out.terminated);
        // No token of the test module holds the recipient.
        EXPECT_FALSE(Called("C_DecryptInit"));
    }

    // The Base64 front end, in 76-character lines.
    ASSERT_TRUE(Openssl("cms -encrypt -keyid -des3 -binary -outform DER -in " + dir.File("msg") + " -out " +
                        dir.File("env.der") + " " + FixtureFile("rsa1.pem")));
    ASSERT_TRUE(Openssl("base64 -in " + dir.File("env.der") + " -out " + dir.File("env.b64")));
    std::string base64 = testutil::ReadFileOrEmpty(dir.File("env.b64"));
    Load();
    signtest::Out<unsigned char> plain;
    const std::string& pin = p11testbed::kDefaultPin;
    EXPECT_EQ(QOVA_OK, DecryptCMSEnvelope(list.Head(), U(pin), N(pin), &base64[0], &plain.data, &plain.size));
    EXPECT_EQ(message, plain.Str());
}

TEST_F(EnvelopeDecryption, Sm2EnvelopesOpenThroughTheVendorMechanismAndTheSessionIsLoggedOut)
{
    const std::string message = Message(100);
    const std::string cert = testutil::ReadFileOrEmpty(Fixture("sm2enc.der"));
    // Made from the openssl command's parts, and by our encoder with the key in either SM2 form.
    struct Case { const char* name; unsigned long form; };
    const Case kCases[] = {{"openssl parts", 0}, {"ours, DER key", SM2_ENC_ENCODED_DER},
                           {"ours, raw key", SM2_ENC_ENCODED_RAW}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string der;
        if (0 == c.form) {
            der = Sm2Envelope(dir, message, Random(16), Random(16));
        } else {
            signtest::Out<unsigned char> env;
            ASSERT_EQ(QOVA_OK, EncryptDataToDerCMSEnvelope(U(message), N(message), U(cert), N(cert), c.form,
                                                           &env.data, &env.size));
            der = env.Str();
        }
        Load();
        const Decrypted out = Decrypt(der, kSm2Pin);
        ASSERT_EQ(QOVA_OK, out.code);
        EXPECT_EQ(message, out.plain);
        EXPECT_TRUE(out.terminated);

        const auto inits = module.Calls("C_DecryptInit");
        ASSERT_EQ(1u, inits.size());
        EXPECT_EQ("0x00010001", inits[0].Field("mech"));
        EXPECT_EQ("null", inits[0].Field("param"));
        const std::vector<std::string> names = module.Names();
        const auto login = std::find(names.begin(), names.end(), "C_Login");
        const auto logout = std::find(names.begin(), names.end(), "C_Logout");
        const auto decrypt = std::find(names.begin(), names.end(), "C_DecryptInit");
        EXPECT_TRUE(login < decrypt && decrypt < logout && logout != names.end());
    }
}

TEST_F(EnvelopeDecryption, RefusalsBeforeAndAfterTheTokenUnwrappedTheKey)
{
    const std::string message = "content";
    const std::string sm2Ski = SkiOf(Fixture("sm2enc.der"));
    const std::string rsaSki = SkiOf(FixtureFile("rsa1.der"));

    // An SM2 envelope with one part changed.
    auto sm2 = [&](auto change) {
        EnvelopeSpec spec;
        spec.sm = true;
        spec.rid = sm2Ski;
        spec.keyOID = kOidSm2Encryption;
        std::string key = Random(16), iv = Random(16);
        change(spec, key, iv);
        spec.wrappedKey = Sm2Wrap(dir, Fixture("sm2enc.pub.pem"), key);
        if (spec.contentOID.empty()) spec.contentOID = kOidSm4Cbc;
        spec.params = OctetString(iv);
        spec.content = Random(16);
        return Encode(spec);
    };
    // An RSA envelope for rsa1 on SoftHSM2 with a 3DES-CBC content by default.
    auto rsa = [&](const std::string& contentOID, size_t keySize, size_t ivSize) {
        EnvelopeSpec spec;
        spec.rid = rsaSki;
        spec.keyOID = kOidRsaEncryption;
        spec.wrappedKey = RsaWrap(dir, FixtureFile("rsa1.pem"), Random(keySize));
        spec.contentOID = contentOID;
        spec.params = OctetString(Random(ivSize));
        spec.content = Random(32);
        return Encode(spec);
    };
    using Spec = EnvelopeSpec;
    using S = std::string;

    // How far the test module got: nowhere, the login, the unwrapping; or SoftHSM2 holds the key.
    enum Reached { kNothing, kLogin, kUnwrap, kSoftHsm };
    struct Case { const char* name; std::string der; std::string pin; unsigned int code; Reached reached; };
    const std::string& hsmPin = p11testbed::kDefaultPin;
    const Case kCases[] = {
        // An SM2 key encryption with another content cipher is an RSA envelope: the recipient's
        // SM2-signed certificate is not considered.
        {"SM2 key, 3DES content", sm2([](Spec& s, S&, S&) { s.contentOID = kOidDes3Cbc; }), kSm2Pin, QOVA_E_NO_CERT,
         kNothing},
        {"recipient on no token", sm2([](Spec& s, S&, S&) { s.rid = Random(20); }), kSm2Pin, QOVA_E_NO_CERT,
         kNothing},
        // Hazard: an empty recipient identifier must not turn the key-identifier filter off and hand
        // the key to whichever certificate comes first.
        {"empty recipient", sm2([](Spec& s, S&, S&) { s.rid.clear(); }), kSm2Pin, QOVA_E_NO_CERT, kNothing},
        {"not an envelope", S("\x30\x03\x02\x01\x01", 5), kSm2Pin, QOVA_E_ENVELOPE_SHAPE, kNothing},
        {"wrong PIN", sm2([](Spec&, S&, S&) {}), "4321", QovaP11Result(CKR_PIN_INCORRECT), kLogin},
        // Hazard: the unwrapped key and the IV reach the cipher only at its exact lengths; shorter
        // ones would be read past their end.
        {"SM4 IV of 15", sm2([](Spec&, S&, S& iv) { iv.resize(15); }), kSm2Pin, QOVA_E_DECRYPT_FAILED, kUnwrap},
        {"SM4 key of 15", sm2([](Spec&, S& key, S&) { key.resize(15); }), kSm2Pin, QOVA_E_DECRYPT_FAILED, kUnwrap},
        {"SM4 key of 17", sm2([](Spec&, S& key, S&) { key.push_back('x'); }), kSm2Pin, QOVA_E_DECRYPT_FAILED,
         kUnwrap},
        {"3DES IV of 7", rsa(kOidDes3Cbc, 24, 7), hsmPin, QOVA_E_DECRYPT_FAILED, kSoftHsm},
        {"3DES key of 16", rsa(kOidDes3Cbc, 16, 8), hsmPin, QOVA_E_DECRYPT_FAILED, kSoftHsm},
        // A content cipher the envelopes are never made with, refused after the unwrapping.
        {"AES-128 content", rsa(kOidAes128Cbc, 16, 16), hsmPin, QOVA_E_DECRYPT_FAILED, kSoftHsm},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Load();
        const Decrypted out = Decrypt(c.der, c.pin);
        EXPECT_EQ(c.code, out.code);
        EXPECT_TRUE(out.plain.empty());
        EXPECT_EQ(kLogin == c.reached || kUnwrap == c.reached, Called("C_Login"));
        EXPECT_EQ(kUnwrap == c.reached, Called("C_Decrypt"));
        // Once logged in, the session is logged out on every path.
        EXPECT_EQ(kUnwrap == c.reached, Called("C_Logout"));
    }
}

TEST_F(EnvelopeDecryption, OnlyTheFirstCertificateWithTheRecipientKeyIdentifierIsTried)
{
    const std::string der = Sm2Envelope(dir, "abc", Random(16), Random(16));
    // The same certificate twice: first under a CKA_ID without key, then with its key.
    Load("token t 1234\ncert first l1 " + Fixture("sm2enc.der") + "\n" + Sm2RecipientObjects());
    const Decrypted out = Decrypt(der, kSm2Pin);
    EXPECT_EQ(QOVA_E_NO_OBJECT, out.code);
    EXPECT_FALSE(Called("C_DecryptInit"));
    EXPECT_TRUE(Called("C_Logout"));

    // In the other order the key is found.
    Load(Sm2RecipientToken() + "cert first l1 " + Fixture("sm2enc.der") + "\n");
    EXPECT_EQ(QOVA_OK, Decrypt(der, kSm2Pin).code);
}

TEST_F(EnvelopeDecryption, ArgumentsAreCheckedBeforeAnyToken)
{
    Load();
    std::string der = Sm2Envelope(dir, "abc", Random(16), Random(16));
    const std::string& pin = kSm2Pin;
    unsigned char* plain = nullptr;
    int size = 0;
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope_DER(list.Head(), U(pin), 4, nullptr, N(der), &plain, &size));
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope_DER(list.Head(), U(pin), 4, U(der), 0, &plain, &size));
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope_DER(list.Head(), nullptr, 4, U(der), N(der), &plain, &size));
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope_DER(list.Head(), U(pin), 0, U(der), N(der), &plain, &size));
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope_DER(list.Head(), U(pin), 4, U(der), N(der), nullptr, &size));
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope_DER(list.Head(), U(pin), 4, U(der), N(der), &plain, nullptr));
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope(list.Head(), U(pin), 4, nullptr, &plain, &size));
    char empty[] = "";
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope(list.Head(), U(pin), 4, empty, &plain, &size));
    char noBytes[] = "***";   // Base64 of nothing
    EXPECT_EQ(QOVA_E_INVALIDARG, DecryptCMSEnvelope(list.Head(), U(pin), 4, noBytes, &plain, &size));
    char garbage[] = "*** not an envelope ***";
    EXPECT_EQ(QOVA_E_FAIL, DecryptCMSEnvelope(list.Head(), U(pin), 4, garbage, &plain, &size));
    EXPECT_EQ(nullptr, plain);
    EXPECT_TRUE(module.Names().empty());

    // Records that cannot reach a key.
    unsigned char* key = nullptr;
    EXPECT_EQ(QOVA_E_NO_SELECTED_CERT, DecryptSessionKey(nullptr, U(pin), 4, U(der), N(der), &key, &size));
    _CERTIFICATE_INFO info{};
    EXPECT_EQ(QOVA_E_NO_SELECTED_CERT, DecryptSessionKey(&info, U(pin), 4, U(der), N(der), &key, &size));
    _CERTIFICATE_DATA data{};
    info.pCertData = &data;
    EXPECT_EQ(QOVA_E_NO_SELECTED_CERT, DecryptSessionKey(&info, U(pin), 4, U(der), N(der), &key, &size));
    EXPECT_EQ(nullptr, key);
}

TEST_F(EnvelopeDecryption, NoLoadedModuleMeansNoCertificate)
{
    module.Write(Sm2RecipientToken());   // not loaded
    const std::string der = Sm2Envelope(dir, "abc", Random(16), Random(16));
    EXPECT_EQ(QOVA_E_NO_CERT, Decrypt(der, kSm2Pin).code);
    EXPECT_EQ(QOVA_E_NO_CERT, DecryptDer(nullptr, kSm2Pin, der).code);
}

}  // namespace
