// The bridge for encryption certificates and envelopes, behind the host's test module table:
// envelopes of `openssl cms` opened with SoftHSM2's key, SM2 envelopes of our encoder opened
// through the test module's vendor mechanism, and our envelopes opened by the openssl command.
#include "CryptoBridgeEnvelope.h"
#include "HostTestSupport.h"

#include "CMSStructures.h"
#include "LogTestUtil.h"
#include "P11TestBed.h"
#include "TestUtil.h"

#include <openssl/evp.h>

#include <algorithm>
#include <regex>

namespace {

using p11testbed::FixtureFile;

std::string DecryptFixture(const std::string& name)
{
    return std::string(DECRYPT_FIXTURE_DIR) + "/" + name;
}

bool Openssl(const std::string& args)
{
    return 0 == testutil::RunCommand("openssl " + args + " >/dev/null 2>&1");
}

unsigned char* U(const std::string& s)
{
    return reinterpret_cast<unsigned char*>(const_cast<char*>(s.data()));
}

// A text the bridge handed out, released at scope end.
struct Text
{
    char* p = nullptr;
    ~Text() { delete[] p; }
    std::string Str() const { return p ? std::string(p) : std::string(); }
};

// Base64 by the openssl command (64-character lines) and back by the crypto library.
std::string Base64Of(const testutil::ScopedTempDir& dir, const std::string& path)
{
    EXPECT_TRUE(Openssl("base64 -in " + path + " -out " + dir.File("b64")));
    return testutil::ReadFileOrEmpty(dir.File("b64"));
}
std::string Unbase64(std::string text)
{
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return '\r' == c || '\n' == c; }), text.end());
    std::string out(text.size(), '\0');
    const int n = EVP_DecodeBlock(U(out), U(text), static_cast<int>(text.size()));
    if (n < 0) return std::string();
    const size_t pad = std::count(text.end() - std::min<size_t>(2, text.size()), text.end(), '=');
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

// The test module's token holds the SM2 recipient (keyEncipherment) and an SM2 signing
// certificate, under the stored PIN; SoftHSM2 holds rsa1 and rsa2 (both with keyEncipherment).
std::string Sm2Tokens()
{
    return "token enc hex:01083430393137323633\nsm2key k key " + DecryptFixture("sm2enc.key") + "\ncert k crypt " +
           DecryptFixture("sm2enc.der") + "\nsm2key s key " + FixtureFile("sm2.key") + "\ncert s sign " +
           FixtureFile("sm2.der") + "\n";
}

class EnvelopeBridge : public hosttest::HostTest
{
protected:
    void SetUp() override
    {
        hosttest::HostTest::SetUp();
        if (!m_tokens.Ready()) GTEST_SKIP() << "SoftHSM2 not installed";
    }
    // The encryption record goes first, as at the host's termination.
    void TearDown() override
    {
        DeleteCertInfo(m_agent->m_pEncryptCertCtx);
        m_agent->m_pEncryptCertCtx = nullptr;
        hosttest::HostTest::TearDown();
    }
    // Our envelope of the message for a certificate file (DER), as Base64.
    unsigned int Encrypt(const std::string& certDer, const char* type, const char* cipher, Text* envelope)
    {
        const std::string cert = Base64Of(m_dir, certDer);
        return _EncryptMsgCMSEnvelopeEx_ByCert(m_agent, cert.c_str(), type, m_message.c_str(), cipher, &envelope->p);
    }
    unsigned int Decrypt(const std::string& base64, const char* type, Text* plain)
    {
        return _DecryptMsgCMSEnvelopeEx(m_agent, base64.c_str(), type, &plain->p);
    }
    // An envelope of the message made by `openssl cms` for rsa1, as Base64.
    std::string OpensslEnvelope()
    {
        EXPECT_TRUE(testutil::WriteFile(m_dir.File("msg"), m_message));
        EXPECT_TRUE(Openssl("cms -encrypt -keyid -des3 -binary -outform DER -in " + m_dir.File("msg") + " -out " +
                            m_dir.File("cms.der") + " " + FixtureFile("rsa1.pem")));
        return Base64Of(m_dir, m_dir.File("cms.der"));
    }

    hosttest::ScopedEnv m_noDialogs{"PLATFORM_DIALOG_BACKEND", "none"};
    p11testbed::SoftHsmTokens m_tokens;
    p11testbed::TestModule m_module{Sm2Tokens()};
    testutil::ScopedTempDir m_dir;
    const std::string m_message = "Pay 100 \xe5\x85\x83 to \"Acme\"\r\nline 2\t\\";
};

TEST_F(EnvelopeBridge, OpensslCmsEnvelopeOpensWithTheSoftHsmKeyAndTheStoredPin)
{
    Text plain;
    ASSERT_EQ(QOVA_OK, Decrypt(OpensslEnvelope(), "RSA", &plain));
    EXPECT_EQ(m_message, plain.Str());
    // Every module was unloaded again: the test module was finalised.
    EXPECT_FALSE(m_module.Calls("C_Finalize").empty());
}

TEST_F(EnvelopeBridge, Sm2EnvelopeOfOurEncoderOpensThroughTheVendorMechanism)
{
    Text envelope;
    ASSERT_EQ(QOVA_OK, Encrypt(DecryptFixture("sm2enc.der"), "sm2", nullptr, &envelope));
    // Base64 in lines of 76 characters separated by CR LF.
    EXPECT_TRUE(std::regex_match(envelope.Str(), std::regex("([A-Za-z0-9+/]{76}\r\n)*[A-Za-z0-9+/=]{1,76}(\r\n)?")));
    m_module.ClearLog();
    Text plain;
    ASSERT_EQ(QOVA_OK, Decrypt(envelope.Str(), "SM2", &plain));
    EXPECT_EQ(m_message, plain.Str());
    const auto inits = m_module.Calls("C_DecryptInit");
    ASSERT_EQ(1u, inits.size());
    EXPECT_EQ("0x00010001", inits[0].Field("mech"));
}

TEST_F(EnvelopeBridge, RsaEnvelopesOfTheBridgeOpenWithTheOpensslCommand)
{
    const std::string key = FixtureFile("rsa1.key");
    const std::string recipient = FixtureFile("rsa1.pem");
    for (const char* cipher : {"3DES", "3des"}) {
        SCOPED_TRACE(cipher);
        Text envelope;
        ASSERT_EQ(QOVA_OK, Encrypt(FixtureFile("rsa1.der"), "RSA", cipher, &envelope));
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("env.der"), Unbase64(envelope.Str())));
        ASSERT_TRUE(Openssl("cms -decrypt -inform DER -in " + m_dir.File("env.der") + " -inkey " + key + " -recip " +
                            recipient + " -out " + m_dir.File("plain")));
        EXPECT_EQ(m_message, testutil::ReadFileOrEmpty(m_dir.File("plain")));
    }

    // RC4 has no CMS form in the openssl command: the key through `pkeyutl`, the content through `enc`.
    Text envelope;
    ASSERT_EQ(QOVA_OK, Encrypt(FixtureFile("rsa1.der"), "rsa", "rc4", &envelope));
    std::string der = Unbase64(envelope.Str());
    unsigned char *wrapped = nullptr, *content = nullptr;
    int wrappedSize = 0, contentSize = 0;
    char* contentOID = nullptr;
    ASSERT_EQ(QOVA_OK, Decode_CMSEnvelopeData(U(der), static_cast<int>(der.size()), nullptr, nullptr, &wrapped,
                                              &wrappedSize, &content, &contentSize, nullptr, nullptr, &contentOID,
                                              nullptr, nullptr, nullptr));
    EXPECT_STREQ("1.2.840.113549.3.4", contentOID);
    ASSERT_TRUE(testutil::WriteFile(m_dir.File("key.rsa"), std::string(reinterpret_cast<char*>(wrapped), wrappedSize)));
    ASSERT_TRUE(testutil::WriteFile(m_dir.File("content"), std::string(reinterpret_cast<char*>(content), contentSize)));
    delete[] wrapped;
    delete[] content;
    delete[] contentOID;
    ASSERT_TRUE(Openssl("pkeyutl -decrypt -inkey " + key + " -in " + m_dir.File("key.rsa") + " -out " +
                        m_dir.File("key")));
    const std::string rc4Key = testutil::ReadFileOrEmpty(m_dir.File("key"));
    ASSERT_EQ(16u, rc4Key.size());
    ASSERT_TRUE(Openssl("enc -d -rc4 -provider legacy -provider default -K " +
                        testutil::BytesToHex(U(rc4Key), rc4Key.size()) + " -in " + m_dir.File("content") + " -out " +
                        m_dir.File("plain")));
    EXPECT_EQ(m_message, testutil::ReadFileOrEmpty(m_dir.File("plain")));
}

TEST_F(EnvelopeBridge, EncryptionRefusals)
{
    const std::string rsa = Base64Of(m_dir, FixtureFile("rsa1.der"));
    const char* msg = m_message.c_str();
    struct Case { const char* name; _VarnellObj* agent; const char* cert; const char* type; const char* message;
                  const char* cipher; unsigned int code; };
    const Case kCases[] = {
        {"no agent", nullptr, rsa.c_str(), "RSA", msg, "3DES", QOVA_E_INVALIDARG},
        {"no certificate", m_agent, "", "RSA", msg, "3DES", QOVA_E_INVALIDARG},
        {"no type", m_agent, rsa.c_str(), nullptr, msg, "3DES", QOVA_E_INVALIDARG},
        {"empty message", m_agent, rsa.c_str(), "RSA", "", "3DES", QOVA_E_INVALIDARG},
        {"unknown cipher", m_agent, rsa.c_str(), "rsa", msg, "aes", QOVA_E_INVALIDARG},
        {"no cipher", m_agent, rsa.c_str(), "RSA", msg, nullptr, QOVA_E_INVALIDARG},
        {"unknown type", m_agent, rsa.c_str(), "DSA", msg, "3DES", QOVA_E_INVALIDARG},
        {"not a certificate", m_agent, "*** not a certificate ***", "RSA", msg, "3DES", QOVA_E_FAIL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Text envelope;
        EXPECT_EQ(c.code, _EncryptMsgCMSEnvelopeEx_ByCert(c.agent, c.cert, c.type, c.message, c.cipher, &envelope.p));
        EXPECT_EQ(nullptr, envelope.p);
    }
    // An SM2 certificate without keyEncipherment gets no envelope.
    Text envelope;
    EXPECT_EQ(QOVA_E_KEY_USAGE, Encrypt(FixtureFile("sm2.der"), "SM2", nullptr, &envelope));
    // Without an output the envelope is made and released.
    EXPECT_EQ(QOVA_OK, _EncryptMsgCMSEnvelopeEx_ByCert(m_agent, rsa.c_str(), "RSA", msg, "RC4", nullptr));
}

TEST_F(EnvelopeBridge, EnvelopeTypeMustMatchTheContentType)
{
    Text sm2;
    ASSERT_EQ(QOVA_OK, Encrypt(DecryptFixture("sm2enc.der"), "SM2", nullptr, &sm2));
    const std::string rsa = OpensslEnvelope();
    struct Case { const char* name; std::string envelope; const char* type; unsigned int code; };
    const Case kCases[] = {
        {"RSA type, SM2 envelope", sm2.Str(), "RSA", QOVA_E_ENVELOPE_TYPE},
        {"SM2 type, RSA envelope", rsa, "sm2", QOVA_E_ENVELOPE_TYPE},
        {"other names are not compared", rsa, "CMS", QOVA_OK},
        {"lower case", sm2.Str(), "sm2", QOVA_OK},
        {"empty envelope", "", "RSA", QOVA_E_INVALIDARG},
        {"empty type", rsa, "", QOVA_E_INVALIDARG},
        {"not PKCS#7", "MAMCAQE=", "RSA", QOVA_E_INVALID_DATA},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Text plain;
        EXPECT_EQ(c.code, Decrypt(c.envelope, c.type, &plain));
        EXPECT_EQ(QOVA_OK == c.code ? m_message : std::string(), plain.Str());
    }
    EXPECT_EQ(QOVA_E_INVALIDARG, _DecryptMsgCMSEnvelopeEx(m_agent, rsa.c_str(), "RSA", nullptr));
}

TEST_F(EnvelopeBridge, EncryptionCertificateSelectionNeedsKeyEncipherment)
{
    Text dn, info;
    EXPECT_EQ(QOVA_E_NO_SELECTED_CERT, _GetEncryptCertInfo(m_agent, "SubjectCN", &info.p));
    EXPECT_EQ(QOVA_E_INVALIDARG, _GetEncryptCertInfo(nullptr, "SubjectCN", &info.p));
    EXPECT_EQ(QOVA_E_INVALIDARG, _SelectEncryptCertificate(m_agent, "SM2 Crypt", "", "", nullptr));
    EXPECT_EQ(QOVA_E_INVALIDARG, _SelectEncryptCertificate(nullptr, "SM2 Crypt", "", "", &dn.p));

    ASSERT_EQ(QOVA_OK, _SelectEncryptCertificate(m_agent, "SM2 Crypt", "", "", &dn.p));
    EXPECT_EQ("CN=SM2 Crypt, O=Test, C=CN", dn.Str());
    ASSERT_EQ(QOVA_OK, _GetEncryptCertInfo(m_agent, "certtype", &info.p));
    EXPECT_EQ("SM2", info.Str());
    // The signing certificate stays unselected.
    EXPECT_EQ(nullptr, m_agent->m_pSignCertCtx);

    // The SM2 signing certificate lacks keyEncipherment; the failed selection leaves none selected.
    EXPECT_EQ(QOVA_E_NO_CERT, _SelectEncryptCertificate(m_agent, "SM2 1", "", "", &dn.p));
    EXPECT_EQ(QOVA_E_NO_SELECTED_CERT, _GetEncryptCertInfo(m_agent, "SubjectCN", &info.p));

    // RSA on SoftHSM2.
    Text rsaDn, cn;
    ASSERT_EQ(QOVA_OK, _SelectEncryptCertificate(m_agent, "RSA 1", "", "", &rsaDn.p));
    EXPECT_EQ("CN=RSA 1, O=Test, C=CN", rsaDn.Str());
    ASSERT_EQ(QOVA_OK, _GetEncryptCertInfo(m_agent, "SubjectCN", &cn.p));
    EXPECT_EQ("RSA 1", cn.Str());
}

TEST(PKCS7Type, ContentTypesByTheirIdentifierAndTheTraceNamesThem)
{
    testutil::ScopedTempDir dir;
    // ContentInfo { OID, [0] { } } with the identifier's value octets given in hex.
    auto contentInfo = [](const std::string& oidHex) {
        const std::vector<unsigned char> oid = testutil::HexToBytes(oidHex);
        std::string der = "\x30";
        der += static_cast<char>(oid.size() + 4);
        der += '\x06';
        der += static_cast<char>(oid.size());
        der.append(oid.begin(), oid.end());
        der += std::string("\xA0\x00", 2);
        return der;
    };
    ASSERT_TRUE(testutil::WriteFile(dir.File("msg"), "abc"));
    ASSERT_TRUE(Openssl("cms -sign -binary -nodetach -outform DER -in " + dir.File("msg") + " -signer " +
                        FixtureFile("rsa1.pem") + " -inkey " + FixtureFile("rsa1.key") + " -out " + dir.File("p7")));
    ASSERT_TRUE(Openssl("cms -encrypt -keyid -des3 -binary -outform DER -in " + dir.File("msg") + " -out " +
                        dir.File("env") + " " + FixtureFile("rsa1.pem")));

    struct Case { const char* name; std::string der; unsigned int code; int type; const char* trace; };
    const Case kCases[] = {
        {"RSA SignedData", testutil::ReadFileOrEmpty(dir.File("p7")), QOVA_OK, RSA_SIGNED_DATA, "RSA_SIGNED_DATA"},
        {"RSA EnvelopedData", testutil::ReadFileOrEmpty(dir.File("env")), QOVA_OK, RSA_ENVELOPED_DATA,
         "RSA_ENVELOPED_DATA"},
        {"SM2 SignedData", contentInfo("2A811CCF550601040202"), QOVA_OK, SM2_SIGNED_DATA, "SM2_SIGNED_DATA"},
        {"SM2 EnvelopedData", contentInfo("2A811CCF550601040203"), QOVA_OK, SM2_ENVELOPED_DATA,
         "SM2_ENVELOPED_DATA"},
        {"data", contentInfo("2A864886F70D010701"), QOVA_E_INVALID_DATA, 0, nullptr},
        {"three children", std::string("\x30\x09\x02\x01\x01\x02\x01\x02\x02\x01\x03", 11),
         QOVA_E_INVALID_DATA, 0, nullptr},
        {"empty identifier", std::string("\x30\x04\x06\x00\xA0\x00", 6), QOVA_E_INVALID_DATA, 0, nullptr},
        {"not DER", "\x30\x05\x06", QOVA_E_INVALID_DATA, 0, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        logtest::TraceCapture capture;
        int type = 0;
        EXPECT_EQ(c.code, GetPKCS7Type(U(c.der), static_cast<int>(c.der.size()), &type));
        EXPECT_EQ(c.type, type);
        // Hazard: the type's name is narrow text; a wide-string format would print garbage.
        if (c.trace) {
            EXPECT_NE(std::string::npos, capture.Raw().find(std::string("PKCS#7 content type:") + c.trace));
        }
    }
    int type = 0;
    EXPECT_EQ(QOVA_E_INVALIDARG, GetPKCS7Type(nullptr, 5, &type));
    EXPECT_EQ(QOVA_E_INVALIDARG, GetPKCS7Type(U("\x30\x00"), 0, &type));
}

}  // namespace
