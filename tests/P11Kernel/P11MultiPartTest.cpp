// The thin wrappers that no composite operation calls (CkDigest, the verify, encrypt and decrypt
// updates and finals), driven part by part on SoftHSM2 and checked against the openssl command.
#include "P11KernelTestUtil.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace p11test;
using p11testbed::FixtureFile;

const std::string kAesKeyHex = "00112233445566778899aabbccddeeff";
const std::string kIvHex = "0f0e0d0c0b0a09080706050403020100";

// The AES key above as a session object of the token, for encryption and decryption.
CK_OBJECT_HANDLE CreateAesKey(CK_FUNCTION_LIST* list, CK_SESSION_HANDLE session)
{
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_AES;
    CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
    std::vector<unsigned char> value = testutil::HexToBytes(kAesKeyHex);
    CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof(cls)},          {CKA_KEY_TYPE, &type, sizeof(type)},
                            {CKA_TOKEN, &no, sizeof(no)},            {CKA_ENCRYPT, &yes, sizeof(yes)},
                            {CKA_DECRYPT, &yes, sizeof(yes)},        {CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE key = 0;
    return CKR_OK == list->C_CreateObject(session, templ, sizeof(templ) / sizeof(templ[0]), &key) ? key : 0;
}

TEST(P11MultiPart, SoftHsmDigestVerifyEncryptAndDecryptPartByPartMatchOpenssl)
{
    SoftHsmKey hsm;
    if (!hsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    testutil::ScopedTempDir dir;
    CK_FUNCTION_LIST* list = hsm.key->List();
    const CK_SESSION_HANDLE session = hsm.key->Session();
    const CK_OBJECT_HANDLE aesKey = CreateAesKey(list, session);
    ASSERT_NE(0u, aesKey);

    // Every byte value, in a length that is no multiple of the cipher block.
    std::string message(40003, '\0');
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<char>((i * 13 + i / 256) & 0xff);
    ASSERT_TRUE(testutil::WriteFile(dir.File("msg"), message));
    const std::string msg = dir.File("msg");
    ASSERT_TRUE(Openssl("dgst -sha256 -binary -out " + msg + ".sha256 " + msg));
    ASSERT_TRUE(Openssl("dgst -sha256 -sign " + FixtureFile("rsa1.key") + " -out " + msg + ".sig " + msg));
    ASSERT_TRUE(Openssl("enc -aes-128-cbc -K " + kAesKeyHex + " -iv " + kIvHex + " -in " + msg + " -out " + msg +
                        ".enc"));
    std::string signature = testutil::ReadFileOrEmpty(dir.File("msg.sig"));
    std::string changedSignature = signature;
    changedSignature[7] ^= 0x01;

    std::vector<unsigned char> iv = testutil::HexToBytes(kIvHex);
    CK_MECHANISM sha256 = {CKM_SHA256, nullptr, 0};
    CK_MECHANISM rsaSha256 = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_MECHANISM aesCbcPad = {CKM_AES_CBC_PAD, iv.data(), iv.size()};

    // Each row feeds the token its input file in parts and gathers what comes back.
    using Parts = std::vector<std::string>;
    auto verify = [&](std::string& sig) {
        return [&](const Parts& parts, std::string*) {
            unsigned int code = CkVerifyInit(list, session, &rsaSha256, hsm.key->hPublic);
            for (const std::string& part : parts)
                code = QOVA_OK == code ? CkVerifyUpdate(list, session, Bytes(part), part.size()) : code;
            return QOVA_OK == code ? CkVerifyFinal(list, session, Bytes(sig), sig.size()) : code;
        };
    };
    // The encrypt and decrypt updates and finals share one shape.
    using Update = unsigned int (*)(CK_FUNCTION_LIST*, CK_SESSION_HANDLE, unsigned char*, CK_ULONG, unsigned char*,
                                    CK_ULONG*);
    using Final = unsigned int (*)(CK_FUNCTION_LIST*, CK_SESSION_HANDLE, unsigned char*, CK_ULONG*);
    auto cipher = [&](bool encrypt, Update update, Final finish) {
        return [&, encrypt, update, finish](const Parts& parts, std::string* out) {
            unsigned int code = encrypt ? CkEncryptInit(list, session, &aesCbcPad, aesKey)
                                        : CkDecryptInit(list, session, &aesCbcPad, aesKey);
            std::vector<unsigned char> buffer;
            for (const std::string& part : parts) {
                buffer.assign(part.size() + 32, 0);
                CK_ULONG length = buffer.size();
                code = QOVA_OK == code ? update(list, session, Bytes(part), part.size(), buffer.data(), &length) : code;
                out->append(reinterpret_cast<char*>(buffer.data()), QOVA_OK == code ? length : 0);
            }
            buffer.assign(32, 0);
            CK_ULONG length = buffer.size();
            code = QOVA_OK == code ? finish(list, session, buffer.data(), &length) : code;
            out->append(reinterpret_cast<char*>(buffer.data()), QOVA_OK == code ? length : 0);
            return code;
        };
    };
    const struct
    {
        const char* name;
        const char* input;     // file fed to the token
        const char* expected;  // file the token's output must equal; null: no output
        std::function<unsigned int(const Parts&, std::string*)> run;
        unsigned int code;
    } cases[] = {
        {"CkDigest", "msg", "msg.sha256",
         [&](const Parts& parts, std::string* out) {
             std::string whole;
             for (const std::string& part : parts)
                 whole += part;
             unsigned int code = CkDigestInit(list, session, &sha256);
             CK_ULONG length = 0;
             code = QOVA_OK == code ? CkDigest(list, session, Bytes(whole), whole.size(), nullptr, &length) : code;
             std::vector<unsigned char> digest(length);
             code = QOVA_OK == code ? CkDigest(list, session, Bytes(whole), whole.size(), digest.data(), &length) : code;
             out->assign(reinterpret_cast<char*>(digest.data()), QOVA_OK == code ? length : 0);
             return code;
         },
         QOVA_OK},
        {"CkVerifyUpdate and CkVerifyFinal", "msg", nullptr, verify(signature), QOVA_OK},
        {"CkVerifyFinal of a changed signature", "msg", nullptr, verify(changedSignature),
         QovaP11Result(CKR_SIGNATURE_INVALID)},
        {"CkEncryptUpdate and CkEncryptFinal", "msg", "msg.enc", cipher(true, CkEncryptUpdate, CkEncryptFinal),
         QOVA_OK},
        {"CkDecryptUpdate and CkDecryptFinal", "msg.enc", "msg", cipher(false, CkDecryptUpdate, CkDecryptFinal),
         QOVA_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Parts that start and end inside cipher blocks and inside the digest's own blocks.
        const std::string input = testutil::ReadFileOrEmpty(dir.File(c.input));
        ASSERT_GT(input.size(), 20000u);
        const Parts parts = {input.substr(0, 1), input.substr(1, 17), input.substr(18, 16384),
                             input.substr(16402)};
        std::string out;
        EXPECT_EQ(c.code, c.run(parts, &out));
        EXPECT_EQ(c.expected ? testutil::ReadFileOrEmpty(dir.File(c.expected)) : std::string(), out);
    }
}

}  // namespace
