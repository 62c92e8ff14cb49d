// The content key that the token unwrapped, and the plaintext, must be cleared before the envelope
// decryption releases their arrays, on success and when the decryption fails after the unwrapping.
//
// The allocation probe copies every block released through operator delete while a call runs into a
// log, and the test then searches the log for the secrets. (The token modules run in this process
// and allocate through the same operators.)
#include "AllocationProbe.h"
#include "DecryptTestUtil.h"
#include "SelectionTestSupport.h"
#include "TokenSigningTestUtil.h"

#include <gtest/gtest.h>


namespace {

using namespace dectest;
using p11testbed::FixtureFile;

class DecryptionSecrets : public signtest::KernelScope
{
protected:
    void SetUp() override
    {
        signtest::KernelScope::SetUp();
        if (!hsm.Ready() || p11testbed::SoftHsmModulePath().empty()) GTEST_SKIP() << "SoftHSM2 not installed";
        module.Write(Sm2RecipientToken());
    }

    // What was released while the envelope was decrypted; the plaintext handed out is not.
    std::string Released(const std::string& der, const std::string& pin, unsigned int* code)
    {
        list.Load();
        unsigned char* plain = nullptr;
        int size = 0;
        std::string released;
        {
            allocprobe::FreedBlockLog log;
            *code = DecryptCMSEnvelope_DER(list.Head(), U(pin), N(pin), U(der), N(der), &plain, &size);
            released = log.Bytes();
        }
        delete[] plain;
        list.Unload();
        return released;
    }

    testutil::ScopedTempDir dir;
    p11testbed::SoftHsmTokens hsm;
    p11testbed::TestModule module;
    selecttest::ModuleList list{{{"Test CSP", p11testbed::TestModulePath()},
                                 {"SoftHSM", p11testbed::SoftHsmModulePath()}}};
};

bool Holds(const std::string& log, const std::string& secret)
{
    return std::string::npos != log.find(secret);
}

TEST_F(DecryptionSecrets, UnwrappedKeyAndPlaintextAreClearedOnSuccessAndAfterALateFailure)
{
    // 64 bytes of a pattern: any released block of the plaintext holds a 16-byte run of it.
    const std::string plain = "secret-plain-16bsecret-plain-16bsecret-plain-16bsecret-plain-16b";
    const std::string rsaSki = SkiOf(FixtureFile("rsa1.der"));

    struct Case { const char* name; std::string key; std::string der; std::string pin; unsigned int code; };
    std::vector<Case> cases;
    {
        const std::string key = Random(16), iv = Random(16);
        cases.push_back({"SM2", key, Sm2Envelope(dir, plain, key, iv), kSm2Pin, QOVA_OK});
        // Refused after the unwrapping: the IV is one byte short.
        EnvelopeSpec spec;
        spec.sm = true;
        spec.rid = SkiOf(Fixture("sm2enc.der"));
        spec.keyOID = kOidSm2Encryption;
        spec.wrappedKey = Sm2Wrap(dir, Fixture("sm2enc.pub.pem"), key);
        spec.contentOID = kOidSm4Cbc;
        spec.params = OctetString(iv.substr(0, 15));
        spec.content = OpensslEnc(dir, "sm4-cbc", key, iv, plain);
        cases.push_back({"SM2, short IV", key, Encode(spec), kSm2Pin, QOVA_E_DECRYPT_FAILED});
    }
    for (const bool aes128 : {false, true}) {
        const std::string key = Random(aes128 ? 16 : 24), iv = Random(aes128 ? 16 : 8);
        EnvelopeSpec spec;
        spec.rid = rsaSki;
        spec.keyOID = kOidRsaEncryption;
        spec.wrappedKey = RsaWrap(dir, FixtureFile("rsa1.pem"), key);
        spec.contentOID = aes128 ? kOidAes128Cbc : kOidDes3Cbc;
        spec.params = OctetString(iv);
        spec.content = OpensslEnc(dir, aes128 ? "aes-128-cbc" : "des-ede3-cbc", key, iv, plain);
        cases.push_back({aes128 ? "RSA, AES-128 refused" : "RSA 3DES", key, Encode(spec), p11testbed::kDefaultPin,
                         aes128 ? QOVA_E_DECRYPT_FAILED : QOVA_OK});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned int code = QOVA_E_FAIL;
        const std::string log = Released(c.der, c.pin, &code);
        ASSERT_EQ(c.code, code);
        EXPECT_FALSE(log.empty());
        EXPECT_FALSE(Holds(log, c.key));
        EXPECT_FALSE(Holds(log, plain.substr(0, 16)));
    }
}

}  // namespace
