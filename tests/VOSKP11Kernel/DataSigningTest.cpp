// Token signing services: RSA on SoftHSM2 and SM2 through the test module's vendor mechanisms,
// every signature checked by the openssl command in a separate process (in this process our own
// SM2 method serves every SM2 operation once registered).
#include "SigningTestUtil.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace signtest;
using p11test::Openssl;

class DataSigning : public KernelScope
{
};

TEST_F(DataSigning, SoftHsmPkcs1SignaturesVerifyWithOpensslAndTheSessionStaysOpenLoggedOut)
{
    SoftHsmRecord hsm;
    if (!hsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    testutil::ScopedTempDir dir;
    const std::string message = Message(40000);   // more than two read chunks
    ASSERT_TRUE(testutil::WriteFile(dir.File("msg"), message));
    ASSERT_TRUE(Openssl("x509 -in " + FixtureFile("rsa1.pem") + " -pubkey -noout -out " + dir.File("pub.pem")));
    const std::string& pin = p11testbed::kDefaultPin;
    unsigned char* data = p11test::Bytes(message);
    const int size = static_cast<int>(message.size());

    struct Case { unsigned int id; const char* md; };
    const Case kCases[] = {{QOVA_CALG_MD5, "md5"}, {QOVA_CALG_SHA1, "sha1"}, {QOVA_CALG_SHA256, "sha256"},
                           {QOVA_CALG_SHA384, "sha384"}, {QOVA_CALG_SHA512, "sha512"}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.md);
        Text base64;
        ASSERT_EQ(QOVA_OK, PKCS1_SignData(hsm.record.get(), Pin(pin), static_cast<int>(pin.size()), c.id, false, 0,
                                          data, size, &base64.text));
        EXPECT_EQ(std::string::npos, base64.Str().find_first_of("\r\n"));
        ASSERT_TRUE(DecodeBase64To(dir, base64.Str(), dir.File("sig")));
        EXPECT_TRUE(Openssl("dgst -" + std::string(c.md) + " -verify " + dir.File("pub.pem") + " -signature " +
                            dir.File("sig") + " " + dir.File("msg")));
        EXPECT_TRUE(OpenAndLoggedOut(hsm.record.get()));

        // PKCS #1 v1.5 is deterministic: the file streamed to the token signs to the same bytes.
        Out<unsigned char> fromFile;
        FilePtr file = OpenRead(dir.File("msg"));
        ASSERT_EQ(QOVA_OK, PKCS1_SignFile_DER(hsm.record.get(), Pin(pin), static_cast<int>(pin.size()), c.id, 0,
                                              file.get(), &fromFile.data, &fromFile.size));
        EXPECT_EQ(testutil::ReadFileOrEmpty(dir.File("sig")), fromFile.Str());
        EXPECT_TRUE(OpenAndLoggedOut(hsm.record.get()));
    }
}

TEST_F(DataSigning, Sm2Pkcs1SignaturesInBothFormsVerifyWithOpenssl)
{
    Sm2Record sm2;
    ASSERT_NE(nullptr, sm2.record);
    testutil::ScopedTempDir dir;
    const std::string message = Message(1000);
    ASSERT_TRUE(testutil::WriteFile(dir.File("msg"), message));

    // The token's DER, unchanged.
    Out<unsigned char> der;
    ASSERT_EQ(QOVA_OK, PKCS1_SignData_DER(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, true, SIG_TYPE_SM2_Q1_V2,
                                          p11test::Bytes(message), static_cast<int>(message.size()), &der.data,
                                          &der.size));
    EXPECT_EQ(sm2.loaded.module.Calls("C_Sign").back().Field("answer"), std::to_string(der.size));
    EXPECT_TRUE(Sm2VerifiesOverMessage(dir, der.Str(), dir.File("msg")));
    EXPECT_EQ("01", sm2.loaded.module.Calls("C_SignInit").back().Field("param"));
    EXPECT_TRUE(OpenAndLoggedOut(sm2.record.get()));
}

// Refusals that depend on the key come after the login, before the token starts signing, and the
// session is logged out again.
TEST_F(DataSigning, Sm2KeyRefusalsLogOutWithoutStartingTheToken)
{
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir.File("f"), "file"));
    unsigned char data[8] = {1};
    struct Case
    {
        const char* name;
        std::function<unsigned int(_CERTIFICATE_INFO*, Out<unsigned char>*)> call;
        unsigned int code;
    };
    const Case kCases[] = {
        {"PKCS#1 of a file", [&](_CERTIFICATE_INFO* info, Out<unsigned char>* out) {
             FilePtr file = OpenRead(dir.File("f"));
             return PKCS1_SignFile_DER(info, Pin(kSm2Pin), 4, QOVA_CALG_SM3, 0, file.get(), &out->data, &out->size);
         }, QOVA_E_SM2_PKCS1_FILE},
        {"PKCS#1 form 0", [&](_CERTIFICATE_INFO* info, Out<unsigned char>* out) {
             return PKCS1_SignData_DER(info, Pin(kSm2Pin), 4, QOVA_CALG_SM3, false, 0, data, 8, &out->data, &out->size);
         }, QOVA_E_SM2_SIG_ENCODING},
        {"PKCS#1 form 0x400", [&](_CERTIFICATE_INFO* info, Out<unsigned char>* out) {
             return PKCS1_SignData_DER(info, Pin(kSm2Pin), 4, QOVA_CALG_SM3, false, SIG_TYPE_SM2_Q7_V3, data, 8,
                                       &out->data, &out->size);
         }, QOVA_E_SM2_SIG_ENCODING},
        {"SHA-256 with an SM2 key", [&](_CERTIFICATE_INFO* info, Out<unsigned char>* out) {
             return PKCS1_SignData_DER(info, Pin(kSm2Pin), 4, QOVA_CALG_SHA256, false, SIG_TYPE_SM2_Q1_V2, data, 8,
                                       &out->data, &out->size);
         }, QOVA_E_P11_NOT_SUPPORTED},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Sm2Record sm2;
        ASSERT_NE(nullptr, sm2.record);
        Out<unsigned char> out;
        EXPECT_EQ(c.code, c.call(sm2.record.get(), &out));
        EXPECT_EQ(nullptr, out.data);
        const std::vector<std::string> names = sm2.loaded.module.Names();
        ASSERT_FALSE(names.empty());
        EXPECT_EQ("C_Login", names.front());
        EXPECT_EQ("C_Logout", names.back());
        EXPECT_TRUE(sm2.loaded.module.Calls("C_SignInit").empty());
        EXPECT_TRUE(OpenAndLoggedOut(sm2.record.get()));
    }
}

// Hazard: a token that answers a signature outside the DER window (here 65 and 73 bytes) must be
// reported as data of the wrong form, never cut to r||s from whatever bytes it sent.
TEST_F(DataSigning, ATokenSignatureOfTheWrongLengthIsRefused)
{
    for (const char* length : {"65", "73"}) {
        SCOPED_TRACE(length);
        Sm2Record sm2(std::string("sigderlen ") + length + "\n");
        ASSERT_NE(nullptr, sm2.record);
        unsigned char data[8] = {1};
        Out<unsigned char> out;
        EXPECT_EQ(QOVA_E_INVALID_DATA, PKCS1_SignData_DER(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, false,
                                                          SIG_TYPE_SM2_Q1_V2, data, 8, &out.data, &out.size));
        EXPECT_EQ(nullptr, out.data);
        EXPECT_EQ(length, sm2.loaded.module.Calls("C_Sign").back().Field("answer"));
        EXPECT_EQ("C_Logout", sm2.loaded.module.Names().back());
    }
}

TEST_F(DataSigning, AWrongPinGivesTheTokensCodeAndTheNextSignatureWorks)
{
    Sm2Record sm2;
    ASSERT_NE(nullptr, sm2.record);
    unsigned char data[8] = {1};
    Out<unsigned char> out;
    EXPECT_EQ(0xA00718A0u, PKCS1_SignData_DER(sm2.record.get(), Pin("4321"), 4, QOVA_CALG_SM3, false,
                                               SIG_TYPE_SM2_Q1_V2, data, 8, &out.data, &out.size));
    EXPECT_EQ(nullptr, out.data);
    EXPECT_EQ(std::vector<std::string>{"C_Login"}, sm2.loaded.module.Names());
    EXPECT_EQ(QOVA_OK, PKCS1_SignData_DER(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, false, SIG_TYPE_SM2_Q1_V2,
                                          data, 8, &out.data, &out.size));
    EXPECT_TRUE(OpenAndLoggedOut(sm2.record.get()));
}

// Missing records and arguments are refused before any token call.
TEST_F(DataSigning, RefusedArgumentsNeverReachTheToken)
{
    Sm2Record sm2;
    ASSERT_NE(nullptr, sm2.record);
    _CERTIFICATE_INFO* info = sm2.record.get();
    _CERTIFICATE_INFO noObject = *info;
    noObject.pCertData = nullptr;
    _CERTIFICATE_DATA noIdData = *info->pCertData;
    noIdData.pszCkID = nullptr;
    _CERTIFICATE_INFO noId = *info;
    noId.pCertData = &noIdData;
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir.File("f"), "file"));
    FilePtr file = OpenRead(dir.File("f"));
    unsigned char data[8] = {1};
    unsigned char* pin = Pin(kSm2Pin);
    const unsigned int sm3 = QOVA_CALG_SM3;
    const int q2 = SIG_TYPE_SM2_Q1_V2;
    Out<unsigned char> out;
    Text text;

    struct Case { const char* name; std::function<unsigned int()> call; unsigned int code; };
    const Case kCases[] = {
        {"no record", [&] { return PKCS1_SignData_DER(nullptr, pin, 4, sm3, 0, q2, data, 8, &out.data, &out.size); },
         QOVA_E_NO_SELECTED_CERT},
        {"no certificate object",
         [&] { return PKCS1_SignData_DER(&noObject, pin, 4, sm3, 0, q2, data, 8, &out.data, &out.size); },
         QOVA_E_NO_SELECTED_CERT},
        {"no CKA_ID", [&] { return PKCS1_SignData_DER(&noId, pin, 4, sm3, 0, q2, data, 8, &out.data, &out.size); },
         QOVA_E_NO_SELECTED_CERT},
        {"file: no record", [&] { return PKCS1_SignFile_DER(nullptr, pin, 4, sm3, 0, file.get(), &out.data, &out.size); },
         QOVA_E_NO_SELECTED_CERT},
        {"file: no CKA_ID", [&] { return PKCS1_SignFile_DER(&noId, pin, 4, sm3, 0, file.get(), &out.data, &out.size); },
         QOVA_E_NO_SELECTED_CERT},
        {"no data", [&] { return PKCS1_SignData_DER(info, pin, 4, sm3, 0, q2, nullptr, 8, &out.data, &out.size); },
         QOVA_E_INVALIDARG},
        {"empty data", [&] { return PKCS1_SignData_DER(info, pin, 4, sm3, 0, q2, data, 0, &out.data, &out.size); },
         QOVA_E_INVALIDARG},
        {"negative size", [&] { return PKCS1_SignData_DER(info, pin, 4, sm3, 0, q2, data, -1, &out.data, &out.size); },
         QOVA_E_INVALIDARG},
        {"no output", [&] { return PKCS1_SignData_DER(info, pin, 4, sm3, 0, q2, data, 8, nullptr, &out.size); },
         QOVA_E_INVALIDARG},
        {"no size output", [&] { return PKCS1_SignData_DER(info, pin, 4, sm3, 0, q2, data, 8, &out.data, nullptr); },
         QOVA_E_INVALIDARG},
        {"no file", [&] { return PKCS1_SignFile_DER(info, pin, 4, sm3, 0, nullptr, &out.data, &out.size); },
         QOVA_E_INVALIDARG},
        {"file: no output", [&] { return PKCS1_SignFile_DER(info, pin, 4, sm3, 0, file.get(), nullptr, &out.size); },
         QOVA_E_INVALIDARG},
        {"Base64: no text output", [&] { return PKCS1_SignData(info, pin, 4, sm3, 0, q2, data, 8, nullptr); },
         QOVA_E_INVALIDARG},
        {"Base64: no data", [&] { return PKCS1_SignData(info, pin, 4, sm3, 0, q2, nullptr, 8, &text.text); },
         QOVA_E_INVALIDARG},
        {"Base64 file: no record", [&] { return PKCS1_SignFile(nullptr, pin, 4, sm3, 0, file.get(), &text.text); },
         QOVA_E_NO_SELECTED_CERT},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.code, c.call());
        EXPECT_EQ(nullptr, out.data);
        EXPECT_EQ(nullptr, text.text);
        EXPECT_EQ(std::vector<std::string>{}, sm2.loaded.module.Names());
    }
}

}  // namespace
