// RSA CMS envelopes against the openssl command: ours decrypt with `openssl cms` (3DES) or with
// `openssl pkeyutl` + `openssl enc` (RC4), its -keyid envelopes (DER and streamed BER) decrypt
// with ours, file and memory forms agree, and each operation's refusals.
#include "Base64.h"
#include "CMSStructures.h"
#include "EncryptionTestUtil.h"
#include "RSADataEncryption.h"
#include "SM2CertHelpers.h"
#include "SMRegistry.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace enctest;
using testutil::ReadFileOrEmpty;
using testutil::RunCommand;
using testutil::WriteFile;

constexpr size_t kLargeSize = 2 * 16384 + 1234;  // more than two read buffers, not whole blocks

class RSAEnvelope : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }

    std::string Path(const char* name) { return dir.File(name); }

    unsigned int EncryptData(std::string plain, const char* certName, int nid, std::string* envelope)
    {
        std::string cert = ReadFileOrEmpty(Fixture(std::string(certName) + ".der"));
        Out<unsigned char> out;
        const unsigned int result =
            RSA_EncryptDataToDERCMSEnvelope(U(plain), N(plain), U(cert), N(cert), nid, &out.p, &out.n);
        *envelope = out.str();
        return result;
    }

    unsigned int EncryptFile(const char* plainName, int nid, const char* envelopeName)
    {
        std::string cert = ReadFileOrEmpty(Fixture("recip.der"));
        File in = Open(Path(plainName), "rb"), out = Open(Path(envelopeName), "wb");
        return RSA_EncryptFileToCMSEnvelope(in.get(), U(cert), N(cert), nid, out.get());
    }

    // Both decryptions of the envelope file; the plaintexts when they succeed.
    void Decrypt(const char* envelopeName, const char* p12Name, unsigned int* dataResult, std::string* fromData,
                 unsigned int* fileResult, std::string* fromFile)
    {
        std::string envelope = ReadFileOrEmpty(Path(envelopeName)), password = "secret";
        File pfx = Open(Fixture(std::string(p12Name) + ".p12"), "rb");
        Out<unsigned char> out;
        *dataResult =
            RSA_DecryptDataFromDERCMSEnvelope(U(envelope), N(envelope), pfx.get(), &password[0], &out.p, &out.n);
        *fromData = out.str();
        EXPECT_TRUE(QOVA_OK != *dataResult || '\0' == out.p[out.n]);
        File in = Open(Path(envelopeName), "rb"), plain = Open(Path("decrypted"), "wb");
        pfx = Open(Fixture(std::string(p12Name) + ".p12"), "rb");
        *fileResult = RSA_DecryptFileFromCMSEnvelope(in.get(), pfx.get(), &password[0], plain.get());
        plain.reset();
        *fromFile = ReadFileOrEmpty(Path("decrypted"));
    }

    // Expects both decryptions to give the plaintext (or both to fail with code).
    void ExpectDecrypts(const char* envelopeName, const std::string& plain, unsigned int code = QOVA_OK)
    {
        unsigned int dataResult, fileResult;
        std::string fromData, fromFile;
        Decrypt(envelopeName, "recip", &dataResult, &fromData, &fileResult, &fromFile);
        EXPECT_EQ(code, dataResult);
        EXPECT_EQ(code, fileResult);
        EXPECT_TRUE((QOVA_OK == code ? plain : "") == fromData && (QOVA_OK == code ? plain : "") == fromFile);
    }

    int OpensslCms(const std::string& args)
    {
        return RunCommand("openssl cms -binary " + args + " 2>&1");
    }

    testutil::ScopedTempDir dir;
};

TEST_F(RSAEnvelope, OursDecryptWithOpensslAndFileAndMemoryFormsAgree)
{
    const std::string decrypt =
        "-decrypt -inform DER -recip " + Fixture("recip.pem") + " -inkey " + Fixture("recip.key");
    for (size_t size : {size_t{1}, size_t{8}, size_t{16384}, kLargeSize}) {
        SCOPED_TRACE(size);
        const std::string plain = RandomBytes(size);
        std::string envelope;
        ASSERT_TRUE(WriteFile(Path("plain"), plain));
        ASSERT_EQ(QOVA_OK, EncryptData(plain, "recip", NID_des_ede3_cbc, &envelope));
        ASSERT_TRUE(WriteFile(Path("data.env"), envelope));
        ASSERT_EQ(QOVA_OK, EncryptFile("plain", NID_des_ede3_cbc, "file.env"));
        for (const char* name : {"data.env", "file.env"}) {
            ASSERT_EQ(0, OpensslCms(decrypt + " -in " + Path(name) + " -out " + Path("out")));
            EXPECT_TRUE(plain == ReadFileOrEmpty(Path("out")));
            ExpectDecrypts(name, plain);
        }
        // The content field counts the padded length: 1 byte gives 8, 8 give 16.
        File env = Open(Path("file.env"), "rb");
        NodeEx* pNode = nullptr;
        ASSERT_EQ(QOVA_OK, Decode_CMSEnvelopeFile(env.get(), nullptr, nullptr, nullptr, nullptr, &pNode, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ((size + 8) / 8 * 8, NodeExPtr(pNode)->ValueLength);

        // OpenSSL 3.0's CMS refuses RC4's NULL parameters: unwrap the key and decrypt the content
        // with the openssl command's primitives instead.
        ASSERT_EQ(QOVA_OK, EncryptFile("plain", NID_rc4, "file.env"));
        ExpectDecrypts("file.env", plain);
        envelope = ReadFileOrEmpty(Path("file.env"));
        Out<unsigned char> key, content;
        Out<char> oid;
        ASSERT_EQ(QOVA_OK, Decode_CMSEnvelopeData(U(envelope), N(envelope), nullptr, nullptr, &key.p, &key.n,
                                                  &content.p, &content.n, nullptr, nullptr, &oid.p, &oid.n, nullptr,
                                                  nullptr));
        EXPECT_STREQ("1.2.840.113549.3.4", oid.p);
        ASSERT_TRUE(WriteFile(Path("key"), key.str()) && WriteFile(Path("content"), content.str()));
        std::string contentKey;
        ASSERT_EQ(0, RunCommand("openssl pkeyutl -decrypt -inkey " + Fixture("recip.key") + " -in " + Path("key"),
                                &contentKey));
        ASSERT_EQ(0, RunCommand("openssl enc -d -rc4 -K " + Hex(contentKey) +
                                " -provider legacy -provider default -in " + Path("content") + " -out " + Path("out")));
        EXPECT_TRUE(plain == ReadFileOrEmpty(Path("out")));
    }
}

// A streamed envelope carries its content as 4096-byte OCTET STRING pieces in a constructed field:
// reading a whole 16384-byte block per piece, or copying the field's value whole from memory, would
// decrypt the pieces' headers as content.
TEST_F(RSAEnvelope, OpensslKeyIdEnvelopesDecryptWithOursWithoutReadingPastAPiece)
{
    for (size_t size : {size_t{1}, size_t{4096}, kLargeSize}) {
        SCOPED_TRACE(size);
        const std::string plain = RandomBytes(size);
        ASSERT_TRUE(WriteFile(Path("plain"), plain));
        const std::string encrypt = "-encrypt -keyid -des3 -outform DER -in " + Path("plain") + " ";
        ASSERT_EQ(0, OpensslCms(encrypt + "-out " + Path("env") + " " + Fixture("recip.pem")));
        ExpectDecrypts("env", plain);
        // The memory form joins the pieces as the file form walks them: both give the plaintext.
        ASSERT_EQ(0, OpensslCms(encrypt + "-stream -out " + Path("stream") + " " + Fixture("recip.pem")));
        ExpectDecrypts("stream", plain);

        std::string envelope = ReadFileOrEmpty(Path("env")), password = "secret";
        Out<char> text;
        ASSERT_EQ(QOVA_OK, Base64EncodeEx(U(envelope), N(envelope), &text.p, &text.n, 0));
        File pfx = Open(Fixture("recip.p12"), "rb");
        Out<unsigned char> out;
        EXPECT_EQ(QOVA_OK, RSA_DecryptDataFromCMSEnvelope(text.p, pfx.get(), &password[0], &out.p, &out.n));
        EXPECT_TRUE(plain == out.str());
    }
}

TEST_F(RSAEnvelope, Refusals)
{
    const std::string plain = "plain text";
    std::string envelope;
    EXPECT_EQ(QOVA_E_KEY_USAGE, EncryptData(plain, "sign", NID_des_ede3_cbc, &envelope));
    EXPECT_NE(QOVA_OK, EncryptData(plain, "noski", NID_des_ede3_cbc, &envelope));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptData(plain, "recip", NID_des_ede3_ecb, &envelope));
    ASSERT_TRUE(WriteFile(Path("empty"), "") && WriteFile(Path("plain"), plain));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptFile("empty", NID_rc4, "env"));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptFile("plain", NID_aes_256_cbc, "env"));
    EXPECT_EQ("", ReadFileOrEmpty(Path("env")) + envelope);
    // Sizes are kept in int: files of 2^31 bytes (sparse here) are refused both ways.
    File big = Open(Path("big"), "wb");
    ASSERT_EQ(0, ftruncate(fileno(big.get()), 0x80000000LL));
    EXPECT_EQ(QOVA_E_READ_FAULT, EncryptFile("big", NID_rc4, "env"));
    std::string password = "secret", empty;
    File pfx = Open(Fixture("recip.p12"), "rb"), in = Open(Path("big"), "rb"), out = Open(Path("out"), "wb");
    EXPECT_EQ(QOVA_E_READ_FAULT, RSA_DecryptFileFromCMSEnvelope(in.get(), pfx.get(), &password[0], out.get()));

    // AES-256 is offered for buffers but never taken; another recipient's key does not open it;
    // an envelope cut inside its content fails at once.
    ASSERT_EQ(QOVA_OK, EncryptData(plain, "recip", NID_aes_256_cbc, &envelope));
    ASSERT_TRUE(WriteFile(Path("aes"), envelope));
    ExpectDecrypts("aes", plain, QOVA_E_DECRYPT_FAILED);
    ASSERT_EQ(QOVA_OK, EncryptData(plain, "recip", NID_des_ede3_cbc, &envelope));
    ASSERT_TRUE(WriteFile(Path("env"), envelope) && WriteFile(Path("cut"), envelope.substr(0, envelope.size() - 5)));
    unsigned int dataResult, fileResult;
    std::string fromData, fromFile;
    Decrypt("env", "other", &dataResult, &fromData, &fileResult, &fromFile);
    EXPECT_TRUE(QOVA_E_DECRYPT_FAILED == dataResult && QOVA_E_DECRYPT_FAILED == fileResult);
    Decrypt("cut", "recip", &dataResult, &fromData, &fileResult, &fromFile);
    EXPECT_TRUE(QOVA_OK != dataResult && QOVA_OK != fileResult);

    Out<unsigned char> o;
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_DecryptDataFromCMSEnvelope(nullptr, pfx.get(), &password[0], &o.p, &o.n));
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_DecryptDataFromCMSEnvelope("MAA=", nullptr, &password[0], &o.p, &o.n));
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_DecryptDataFromCMSEnvelope("MAA=", pfx.get(), &empty[0], &o.p, &o.n));
    EXPECT_EQ(nullptr, o.p);
}

// Key and IV come from the envelope: any length but the cipher's must be refused before they reach
// the cipher, which would read a short one past its end.
TEST_F(RSAEnvelope, ContentKeyAndIVOfAnyButTheCiphersLengthAreRefused)
{
    std::string cert = ReadFileOrEmpty(Fixture("recip.der"));
    Out<unsigned char> keyId;
    ASSERT_EQ(QOVA_OK, GetSubjectKeyIDFromCert(U(cert), N(cert), &keyId.p, &keyId.n));
    const unsigned char* p = U(cert);
    X509* pCert = d2i_X509(nullptr, &p, N(cert));
    auto octets = [](const std::string& iv) { return std::string("\x04", 1) + char(iv.size()) + iv; };
    auto envelope = [&](int nid, std::string key, std::string parameters, std::string content) {
        Out<unsigned char> wrapped, out;
        Out<char> oid;
        EXPECT_EQ(QOVA_OK, RSAEncryptByX509(pCert, U(key), N(key), &wrapped.p, &wrapped.n));
        EXPECT_EQ(QOVA_OK, GetOIDFromNID(nid, &oid.p, &oid.n));
        EXPECT_EQ(QOVA_OK, Encode_CMSEnvelope("1.2.840.113549.1.7.3", keyId.p, keyId.n, "1.2.840.113549.1.1.1",
                                              wrapped.p, wrapped.n, "1.2.840.113549.1.7.1", oid.p, U(parameters),
                                              N(parameters), U(content), N(content), &out.p, &out.n));
        EXPECT_TRUE(WriteFile(Path("env"), out.str()));
    };
    const std::string null("\x05\x00", 2), content = RandomBytes(32);
    struct Case { int nid; size_t keyLength; std::string parameters; };
    const Case kCases[] = {{NID_des_ede3_cbc, 16, octets(RandomBytes(8))},
                           {NID_des_ede3_cbc, 24, octets(RandomBytes(7))},
                           {NID_des_ede3_cbc, 24, octets(RandomBytes(16))},
                           {NID_des_ede3_cbc, 24, null},
                           {NID_rc4, 5, null},
                           {NID_rc4, 32, null}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::to_string(c.keyLength) + " " + Hex(c.parameters));
        envelope(c.nid, RandomBytes(c.keyLength), c.parameters, content);
        ExpectDecrypts("env", "", QOVA_E_DECRYPT_FAILED);
    }
    // The same shape with the cipher's lengths decrypts.
    std::string key = RandomBytes(24), iv = RandomBytes(8), plain = "handmade";
    Out<unsigned char> encrypted;
    ASSERT_EQ(QOVA_OK, SymEncrypt(NID_des_ede3_cbc, U(iv), U(key), 24, U(plain), 8, &encrypted.p, &encrypted.n));
    envelope(NID_des_ede3_cbc, key, octets(iv), encrypted.str());
    ExpectDecrypts("env", plain);
    X509_free(pCert);
}

}  // namespace
