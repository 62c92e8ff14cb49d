// The host's main road through the dispatcher, against SoftHSM2 (RSA) and the test module (SM2)
// behind a module table of signed copies and a test trusted chain. Dialogs are turned off: a
// selection that would need one answers "cancelled", so every successful selection here was
// made without a dialog, and every signature with the stored PIN.
#include "HostTestSupport.h"

#include "LogTestUtil.h"
#include "P11TestBed.h"
#include "TestUtil.h"

#include <openssl/evp.h>

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <regex>
#include <sstream>

namespace {

using hosttest::Parse;
using hosttest::Quoted;
using hosttest::Request;
using hosttest::Signed;
using p11testbed::FixtureFile;

// The stored PIN as the test module's fixture writes it.
const std::string kStoredPin = "hex:01083430393137323633";

// The SM2 certificate and key on the test module's token, with the stored PIN, beside a second
// signing certificate (rsa2, no key), so that an empty filter matches more than one. The PIN may
// be followed by the token line's options (serial=, flags=).
std::string Sm2Token(const std::string& pin = kStoredPin, const std::string& extra = "")
{
    return "token sm2tok " + pin + "\n" + extra + "cert sm2#2 sm2 " + FixtureFile("sm2.der") + "\nsm2key sm2#2 sm2 " +
           FixtureFile("sm2.key") + "\ncert rsa2#2 rsa2 " + FixtureFile("rsa2.der") + "\n";
}

int Openssl(const std::string& args, std::string* output = nullptr)
{
    return testutil::RunCommand("openssl " + args + " 2>/dev/null", output);
}

std::string OpensslLine(const std::string& args)
{
    std::string out;
    EXPECT_EQ(0, Openssl(args, &out)) << args;
    out.erase(std::remove(out.begin(), out.end(), '\n'), out.end());
    return out;
}

// Bytes of Base64 text, decoded by the crypto library (line breaks dropped first).
std::string Unbase64(std::string text)
{
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return '\r' == c || '\n' == c; }), text.end());
    std::string out(text.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return std::string();
    const size_t pad = std::count(text.end() - std::min<size_t>(2, text.size()), text.end(), '=');
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

class HostTokens : public hosttest::HostTest
{
protected:
    std::string Select(const std::string& subject)
    {
        return Ask(Request("SelectCertificate", Quoted(subject) + R"(,"","",null)"));
    }
    hosttest::Answer Info(const std::string& type) { return Parse(Ask(Request("GetSignCertInfo", Quoted(type)))); }
    hosttest::Answer Sign(const std::string& message, const std::string& hash, bool withSource)
    {
        return Parse(Ask(Request("SignMsgPKCS7",
                                 Quoted(message) + "," + Quoted(hash) + "," + (withSource ? "true" : "false"))));
    }
    size_t Logins() const { return m_module.Calls("C_Login").size(); }

    hosttest::ScopedEnv m_noDialogs{"PLATFORM_DIALOG_BACKEND", "none"};
    hosttest::ScopedLocale m_locale{"en_US.UTF-8"};
    p11testbed::SoftHsmTokens m_tokens;
    p11testbed::TestModule m_module{Sm2Token()};
    testutil::ScopedTempDir m_dir;
    const std::string m_message = "Pay 100 \xe5\x85\x83 to \"Acme\"\r\nline 2\t\\";
};

TEST_F(HostTokens, RsaRoadEveryFieldAndEveryHashVerifiesWithOpenssl)
{
    if (!m_tokens.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    EXPECT_EQ(R"({"function":"SelectCertificate","errorcode":0,"result":true,"randomId":"r-1"})",
              Ask(R"({"function":"SelectCertificate","params":["rsa 1","","",""],"randomId":"r-1"})"));

    // Every field against the openssl command's reading of the same certificate.
    const std::string pem = FixtureFile("rsa1.pem");
    std::string subject = OpensslLine("x509 -in " + pem + " -noout -subject -nameopt RFC2253");
    subject = testutil::ReplaceAll(subject.substr(subject.find('=') + 1), ",", ", ");
    std::string keyId;
    ASSERT_EQ(0, Openssl("x509 -in " + pem + " -noout -ext subjectKeyIdentifier", &keyId));
    keyId = std::regex_replace(keyId.substr(keyId.find('\n') + 1), std::regex("[ :\n]"), "");
    const std::string serial = OpensslLine("x509 -in " + pem + " -noout -serial").substr(7);
    const struct
    {
        const char* type;
        std::string value;
    } kFields[] = {{"SubjectDN", subject}, {"IssuerDN", subject}, {"SerialNumber", serial}, {"SubjectID", keyId},
                   {"SubjectCN", "RSA 1"}, {"CSPName", "SoftHSM"},  {"CertType", "RSA"}};
    for (const auto& f : kFields) {
        SCOPED_TRACE(f.type);
        const hosttest::Answer a = Info(f.type);
        EXPECT_EQ(0, a.errorcode);
        EXPECT_EQ(f.value, a.text);
    }
    // The certificate itself, in lines of 76 characters separated by CR LF.
    const std::string content = Info("CertContent").text;
    EXPECT_EQ(testutil::ReadFileOrEmpty(FixtureFile("rsa1.der")), Unbase64(content));
    EXPECT_TRUE(std::regex_match(content, std::regex("([A-Za-z0-9+/]{76}\r\n)*[A-Za-z0-9+/=]{1,76}(\r\n)?")));

    const std::string messageFile = m_dir.File("message");
    ASSERT_TRUE(testutil::WriteFile(messageFile, m_message));
    for (const char* hash : {"SHA-1", "SHA-256", "MD-5"}) {
        for (const bool withSource : {true, false}) {
            SCOPED_TRACE(std::string(hash) + (withSource ? " attached" : " detached"));
            const hosttest::Answer a = Sign(m_message, hash, withSource);
            ASSERT_EQ(0, a.errorcode);
            EXPECT_EQ(std::string::npos, a.text.find_first_of("\r\n"));
            ASSERT_TRUE(testutil::WriteFile(m_dir.File("p7.der"), Unbase64(a.text)));
            const std::string out = m_dir.File("out");
            EXPECT_EQ(0, Openssl("smime -verify -noverify -inform DER -in " + m_dir.File("p7.der") + " -out " + out +
                                 (withSource ? "" : " -content " + messageFile)));
            EXPECT_EQ(m_message, testutil::ReadFileOrEmpty(out));
        }
    }
    EXPECT_EQ(0, m_agent->m_nLastError);
}

TEST_F(HostTokens, Sm2SignsWithSm3WhateverHashIsNamedAndOpensslVerifiesRS)
{
    EXPECT_EQ(R"({"function":"SelectCertificate","errorcode":0,"result":true})", Select("SM2 1"));
    EXPECT_EQ("SM2", Info("CertType").text);
    EXPECT_EQ("Test CSP", Info("CSPName").text);
    EXPECT_EQ("CN=SM2 1, O=Test, C=CN", Info("SubjectDN").text);

    const std::string messageFile = m_dir.File("message");
    ASSERT_TRUE(testutil::WriteFile(messageFile, m_message));
    for (const char* hash : {"SHA-1", "SM3", "none at all"}) {
        SCOPED_TRACE(hash);
        const hosttest::Answer a = Sign(m_message, hash, true);
        ASSERT_EQ(0, a.errorcode);
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("p7.der"), Unbase64(a.text)));
        // The SM types and SM3 as the digest; the signature stands last, as an OCTET STRING
        // that holds SEQUENCE { r, s }.
        std::string dump;
        ASSERT_EQ(0, Openssl("asn1parse -inform DER -in " + m_dir.File("p7.der"), &dump));
        EXPECT_NE(std::string::npos, dump.find(":1.2.156.10197.6.1.4.2.2")) << dump;
        EXPECT_NE(std::string::npos, dump.find(":sm3")) << dump;
        const std::regex octets("OCTET STRING +\\[HEX DUMP\\]:([0-9A-F]+)");
        std::string signature;
        for (std::sregex_iterator it(dump.begin(), dump.end(), octets), end; it != end; ++it)
            signature = (*it)[1];
        const std::vector<unsigned char> der = testutil::HexToBytes(signature);
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("rs.der"), std::string(der.begin(), der.end())));
        EXPECT_EQ(0, Openssl("dgst -sm3 -verify " + FixtureFile("sm2pub.pem") +
                             " -sigopt distid:1234567812345678 -signature " + m_dir.File("rs.der") + " " + messageFile));
    }
    // The token was asked with its vendor SM2-with-SM3 mechanism, after a login with the stored PIN.
    ASSERT_EQ(3u, m_module.Calls("C_SignInit").size());
    for (const auto& call : m_module.Calls("C_SignInit"))
        EXPECT_EQ("0x00010004", call.Field("mech"));
    for (const auto& call : m_module.Calls("C_Login")) {
        EXPECT_EQ(0u, call.rv);
        EXPECT_EQ("10", call.Field("pin_len"));
    }
}

TEST_F(HostTokens, CancelledSelectionLeavesNothingSelected)
{
    ASSERT_EQ(R"({"function":"SelectCertificate","errorcode":0,"result":true})", Select("SM2 1"));
    // More than one match needs the dialog, which answers "cancelled".
    EXPECT_EQ("{\"function\":\"SelectCertificate\",\"errorcode\":" + std::to_string(Signed(QOVA_E_CANCELLED)) +
                  ",\"result\":false}",
              Select(""));
    EXPECT_EQ(nullptr, m_agent->m_pSignCertCtx);
    EXPECT_EQ(Signed(QOVA_E_NO_SELECTED_CERT), Sign("m", "SHA-1", true).errorcode);
    EXPECT_EQ(Signed(QOVA_E_NO_SELECTED_CERT), Info("SubjectDN").errorcode);
    // Every session the search opened is closed again.
    EXPECT_EQ(m_module.Calls("C_OpenSession").size(), m_module.Calls("C_CloseSession").size());
    // Nothing found at all.
    EXPECT_EQ(Signed(QOVA_E_NO_CERT), Parse(Select("no such subject")).errorcode);
}

// A page could otherwise make the agent log in with the stored PIN again and again: a selection that
// only one certificate passes opens no window, so alternating selections and signatures costs it
// nothing, and on a token whose PIN differs each pair would spend one try until the token locks. A
// token that refused the stored PIN is not asked again by this agent, whatever is selected in
// between; one that reports its last try or a locked PIN is not asked at all.
TEST_F(HostTokens, AlternatingSelectionsAndSignaturesSpendAtMostOnePinTry)
{
    struct Case
    {
        const char* name;
        std::string fixture;
        unsigned int code;
        size_t logins;
    };
    const unsigned int kWrong = QovaP11Result(CKR_PIN_INCORRECT);
    const unsigned int kLocked = QovaP11Result(CKR_PIN_LOCKED);
    // Each token has a serial number of its own: the refusal is the token's, not the module's.
    const Case kCases[] = {
        {"a token with another PIN", Sm2Token("1234"), kWrong, 1},
        {"another PIN, few tries left", Sm2Token("1234 serial=low flags=CKF_USER_PIN_COUNT_LOW"), kWrong, 1},
        {"one try left", Sm2Token("1234 serial=final flags=CKF_USER_PIN_FINAL_TRY"), QOVA_E_PIN_FINAL_TRY, 0},
        {"the stored PIN, one try left", Sm2Token(kStoredPin + " serial=final2 flags=CKF_USER_PIN_FINAL_TRY"),
         QOVA_E_PIN_FINAL_TRY, 0},
        {"flagged locked", Sm2Token("1234 serial=locked flags=CKF_USER_PIN_LOCKED"), kLocked, 0},
        {"answers locked", Sm2Token(kStoredPin + " serial=answers", "fail C_Login 0xA4\n"), kLocked, 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        m_module.Write(c.fixture);
        m_module.ClearLog();
        for (int round = 0; round < 5; ++round) {
            ASSERT_EQ(0, Parse(Select("SM2 1")).errorcode);
            EXPECT_EQ(Signed(c.code), Sign("m", "SM3", true).errorcode);
        }
        EXPECT_EQ(c.logins, Logins());
        EXPECT_EQ(Signed(c.code), m_agent->m_nLastError);
        char suffix[16];
        snprintf(suffix, sizeof(suffix), "(0x%08x)", c.code);
        const std::string description = Parse(Ask(Request("GetLastErrorDesc", ""))).text;
        EXPECT_NE(std::string::npos, description.find(suffix)) << description;
        EXPECT_NE(0u, description.find("0x")) << "the table has no text for it";
    }
    // Only the PIN answers are remembered: a token that fails once for another reason is asked again.
    m_module.Write(Sm2Token(kStoredPin + " serial=other", "fail C_SignInit 0x30 times=1\n"));
    ASSERT_EQ(0, Parse(Select("SM2 1")).errorcode);
    m_module.ClearLog();
    EXPECT_EQ(Signed(QovaP11Result(CKR_DEVICE_ERROR)), Sign("m", "SM3", true).errorcode);
    EXPECT_EQ(0, Sign("m", "SM3", true).errorcode);
    EXPECT_EQ(2u, Logins());
}

// The whole conversation's log, every level, must not hold the PIN in any form.
TEST_F(HostTokens, NoTraceLineCarriesThePin)
{
    logtest::TraceCapture capture;
    Ask(Request("GetVersion", ""));
    Select("SM2 1");
    for (const char* type : {"SubjectDN", "IssuerDN", "SerialNumber", "SubjectID", "SubjectCN", "CertContent",
                             "CSPName", "CertType"})
        Ask(Request("GetSignCertInfo", Quoted(type)));
    EXPECT_EQ(0, Sign(m_message, "SHA-1", true).errorcode);
    EXPECT_EQ(0, Sign(m_message, "SHA-1", false).errorcode);
    if (m_tokens.Ready()) {
        Select("RSA 1");
        EXPECT_EQ(0, Sign(m_message, "SHA-256", true).errorcode);
    }
    m_module.Write(Sm2Token("1234"));
    Select("SM2 1");
    Sign(m_message, "SM3", true);
    Sign(m_message, "SM3", true);
    Ask(Request("GetLastErrorDesc", ""));
    Ask(R"({"function":"Nope","params":[]})");

    const std::string log = capture.Raw();
    ASSERT_NE(std::string::npos, log.find("C_Login")) << "the log does not cover the login";
    ASSERT_NE(std::string::npos, log.find("_SignMsgPKCS7"));
    std::string lower = log;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char* form : {"40917263", "\x01\x08", "\\x01\\x08", "\\001\\010", "3430393137323633",
                             "34 30 39 31 37 32 36 33", "aqg0mdkxnzi2mw"}) {
        SCOPED_TRACE(form);
        EXPECT_EQ(std::string::npos, lower.find(form));
    }
}

}  // namespace
