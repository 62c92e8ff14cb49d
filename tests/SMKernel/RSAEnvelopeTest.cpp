// RSA CMS envelopes against `openssl cms`, `openssl pkeyutl` and `openssl enc`: ours decrypt with
// the openssl command, its -keyid envelopes (DER and streamed BER) decrypt with ours, file and
// memory forms agree, and the refusals of each operation.
#include "Base64.h"
#include "CMSStructures.h"
#include "EncryptionTestUtil.h"
#include "NodeEx.h"
#include "RSADataEncryption.h"
#include "SM2CertHelpers.h"
#include "SMRegistry.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>

namespace {

using enctest::File;
using enctest::Fixture;
using enctest::Hex;
using enctest::Open;
using enctest::Out;
using enctest::RandomBytes;
using enctest::U;
using testutil::ReadFileOrEmpty;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::WriteFile;

constexpr char kPassword[] = "secret";

// Larger than two file read buffers and not a whole number of cipher blocks.
constexpr size_t kLargeSize = 2 * 16384 + 1234;

class RSAEnvelope : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        recipient = ReadFileOrEmpty(Fixture("recip.der"));
        ASSERT_FALSE(recipient.empty());
    }

    unsigned int EncryptData(const std::string& plain, const std::string& certName, int nid, std::string* envelope)
    {
        std::string data = plain, cert = ReadFileOrEmpty(Fixture(certName + ".der"));
        Out<unsigned char> out;
        const unsigned int result = RSA_EncryptDataToDERCMSEnvelope(
            U(data), static_cast<int>(data.size()), U(cert), static_cast<int>(cert.size()), nid, &out.p, &out.n);
        *envelope = out.str();
        return result;
    }

    unsigned int EncryptFile(const std::string& plainPath, int nid, const std::string& envelopePath)
    {
        File in = Open(plainPath, "rb"), out = Open(envelopePath, "wb");
        std::string cert = recipient;
        return RSA_EncryptFileToCMSEnvelope(in.get(), U(cert), static_cast<int>(cert.size()), nid, out.get());
    }

    unsigned int DecryptData(std::string envelope, const std::string& p12Name, std::string* plain)
    {
        File pfx = Open(Fixture(p12Name + ".p12"), "rb");
        std::string password = kPassword;
        Out<unsigned char> out;
        const unsigned int result = RSA_DecryptDataFromDERCMSEnvelope(
            U(envelope), static_cast<int>(envelope.size()), pfx.get(), &password[0], &out.p, &out.n);
        *plain = out.str();
        if (QOVA_OK == result) {
            EXPECT_EQ('\0', out.p[out.n]);
        }
        return result;
    }

    unsigned int DecryptFile(const std::string& envelopePath, const std::string& p12Name, std::string* plain)
    {
        File in = Open(envelopePath, "rb"), pfx = Open(Fixture(p12Name + ".p12"), "rb");
        File out = Open(dir.File("decrypted"), "wb");
        std::string password = kPassword;
        const unsigned int result = RSA_DecryptFileFromCMSEnvelope(in.get(), pfx.get(), &password[0], out.get());
        out.reset();
        *plain = ReadFileOrEmpty(dir.File("decrypted"));
        return result;
    }

    // An envelope for the recipient built from given parts, as another writer might make it.
    std::string Handmade(int nid, std::string key, const std::string& parameters, const std::string& content)
    {
        Out<unsigned char> wrapped, envelope, keyId;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(recipient.data());
        X509* pCert = d2i_X509(nullptr, &p, static_cast<long>(recipient.size()));
        EXPECT_EQ(QOVA_OK, RSAEncryptByX509(pCert, U(key), static_cast<int>(key.size()), &wrapped.p, &wrapped.n));
        X509_free(pCert);
        std::string cert = recipient, params = parameters, data = content;
        EXPECT_EQ(QOVA_OK, GetSubjectKeyIDFromCert(U(cert), static_cast<int>(cert.size()), &keyId.p, &keyId.n));
        Out<char> oid;
        EXPECT_EQ(QOVA_OK, GetOIDFromNID(nid, &oid.p, &oid.n));
        EXPECT_EQ(QOVA_OK, Encode_CMSEnvelope("1.2.840.113549.1.7.3", keyId.p, keyId.n, "1.2.840.113549.1.1.1",
                                              wrapped.p, wrapped.n, "1.2.840.113549.1.7.1", oid.p, U(params),
                                              static_cast<int>(params.size()), U(data), static_cast<int>(data.size()),
                                              &envelope.p, &envelope.n));
        return envelope.str();
    }

    int OpensslCmsDecrypt(const std::string& envelopePath, const std::string& outPath)
    {
        return RunCommand("openssl cms -decrypt -inform DER -binary -recip " + ShellQuote(Fixture("recip.pem")) +
                          " -inkey " + ShellQuote(Fixture("recip.key")) + " -in " + ShellQuote(envelopePath) +
                          " -out " + ShellQuote(outPath) + " 2>&1");
    }

    int OpensslCmsEncrypt(const std::string& plainPath, const std::string& extra, const std::string& envelopePath)
    {
        return RunCommand("openssl cms -encrypt -keyid -des3 -binary -outform DER " + extra + " -in " +
                          ShellQuote(plainPath) + " -out " + ShellQuote(envelopePath) + " " +
                          ShellQuote(Fixture("recip.pem")) + " 2>&1");
    }

    std::string recipient;
    testutil::ScopedTempDir dir;
};

TEST_F(RSAEnvelope, Our3DESEnvelopesDecryptWithOpensslCms)
{
    const std::string plain = RandomBytes(kLargeSize);
    std::string envelope;
    ASSERT_EQ(QOVA_OK, EncryptData(plain, "recip", NID_des_ede3_cbc, &envelope));
    ASSERT_TRUE(WriteFile(dir.File("data.env"), envelope));
    ASSERT_EQ(0, OpensslCmsDecrypt(dir.File("data.env"), dir.File("out")));
    EXPECT_TRUE(plain == ReadFileOrEmpty(dir.File("out")));

    ASSERT_TRUE(WriteFile(dir.File("plain"), plain));
    ASSERT_EQ(QOVA_OK, EncryptFile(dir.File("plain"), NID_des_ede3_cbc, dir.File("file.env")));
    ASSERT_EQ(0, OpensslCmsDecrypt(dir.File("file.env"), dir.File("out")));
    EXPECT_TRUE(plain == ReadFileOrEmpty(dir.File("out")));

    // AES-256 envelopes are made (and the openssl command reads them) but ours refuse them.
    ASSERT_EQ(QOVA_OK, EncryptData(plain, "recip", NID_aes_256_cbc, &envelope));
    ASSERT_TRUE(WriteFile(dir.File("aes.env"), envelope));
    ASSERT_EQ(0, OpensslCmsDecrypt(dir.File("aes.env"), dir.File("out")));
    EXPECT_TRUE(plain == ReadFileOrEmpty(dir.File("out")));
    std::string decrypted;
    EXPECT_EQ(QOVA_E_DECRYPT_FAILED, DecryptData(envelope, "recip", &decrypted));
}

// OpenSSL 3.0's CMS refuses RC4 with NULL parameters: unwrap the key and decrypt the content with
// the openssl command's primitives instead.
TEST_F(RSAEnvelope, OurRC4EnvelopesDecryptWithOpensslPkeyutlAndEnc)
{
    const std::string plain = RandomBytes(kLargeSize);
    ASSERT_TRUE(WriteFile(dir.File("plain"), plain));
    ASSERT_EQ(QOVA_OK, EncryptFile(dir.File("plain"), NID_rc4, dir.File("file.env")));
    std::string envelopes[2] = {"", ReadFileOrEmpty(dir.File("file.env"))};
    ASSERT_EQ(QOVA_OK, EncryptData(plain, "recip", NID_rc4, &envelopes[0]));
    for (std::string& envelope : envelopes) {
        Out<unsigned char> key, content, parameters;
        Out<char> oid;
        ASSERT_EQ(QOVA_OK, Decode_CMSEnvelopeData(U(envelope), static_cast<int>(envelope.size()), nullptr, nullptr,
                                                  &key.p, &key.n, &content.p, &content.n, nullptr, nullptr, &oid.p,
                                                  &oid.n, &parameters.p, &parameters.n));
        EXPECT_STREQ("1.2.840.113549.3.4", oid.p);
        EXPECT_EQ(0, parameters.n);
        ASSERT_TRUE(WriteFile(dir.File("key.enc"), key.str()) && WriteFile(dir.File("content"), content.str()));
        std::string contentKey;
        ASSERT_EQ(0, RunCommand("openssl pkeyutl -decrypt -inkey " + ShellQuote(Fixture("recip.key")) + " -in " +
                                    ShellQuote(dir.File("key.enc")),
                                &contentKey));
        ASSERT_EQ(16u, contentKey.size());
        ASSERT_EQ(0, RunCommand("openssl enc -d -rc4 -K " + Hex(contentKey) +
                                " -provider legacy -provider default -in " + ShellQuote(dir.File("content")) +
                                " -out " + ShellQuote(dir.File("out"))));
        EXPECT_TRUE(plain == ReadFileOrEmpty(dir.File("out")));
    }
}

TEST_F(RSAEnvelope, OpensslKeyIdEnvelopesDecryptWithOursInEveryForm)
{
    const std::string plain = RandomBytes(kLargeSize);
    ASSERT_TRUE(WriteFile(dir.File("plain"), plain));
    ASSERT_EQ(0, OpensslCmsEncrypt(dir.File("plain"), "", dir.File("env")));
    std::string envelope = ReadFileOrEmpty(dir.File("env")), decrypted;

    EXPECT_EQ(QOVA_OK, DecryptData(envelope, "recip", &decrypted));
    EXPECT_TRUE(plain == decrypted);
    EXPECT_EQ(QOVA_OK, DecryptFile(dir.File("env"), "recip", &decrypted));
    EXPECT_TRUE(plain == decrypted);

    Out<char> text;
    ASSERT_EQ(QOVA_OK, Base64EncodeEx(U(envelope), static_cast<int>(envelope.size()), &text.p, &text.n, 0));
    File pfx = Open(Fixture("recip.p12"), "rb");
    std::string password = kPassword;
    Out<unsigned char> out;
    EXPECT_EQ(QOVA_OK, RSA_DecryptDataFromCMSEnvelope(text.p, pfx.get(), &password[0], &out.p, &out.n));
    EXPECT_TRUE(plain == out.str());
}

// A streamed envelope carries its content as 4096-byte OCTET STRING pieces in a constructed field:
// reading a whole 16384-byte block per piece would decrypt the next pieces' headers as content.
TEST_F(RSAEnvelope, StreamedEnvelopeDecryptsPieceByPieceWithoutReadingPastAPiece)
{
    for (size_t size : {kLargeSize, size_t{1}, size_t{4096}}) {
        SCOPED_TRACE(size);
        const std::string plain = RandomBytes(size);
        ASSERT_TRUE(WriteFile(dir.File("plain"), plain));
        ASSERT_EQ(0, OpensslCmsEncrypt(dir.File("plain"), "-stream", dir.File("env")));
        std::string decrypted;
        EXPECT_EQ(QOVA_OK, DecryptFile(dir.File("env"), "recip", &decrypted));
        EXPECT_TRUE(plain == decrypted);
    }
}

TEST_F(RSAEnvelope, FileAndMemoryFormsGiveTheSamePlaintext)
{
    for (int nid : {NID_rc4, NID_des_ede3_cbc}) {
        for (size_t size : {size_t{1}, size_t{8}, size_t{16384}, kLargeSize}) {
            SCOPED_TRACE(std::string(OBJ_nid2sn(nid)) + " " + std::to_string(size));
            const std::string plain = RandomBytes(size);
            ASSERT_TRUE(WriteFile(dir.File("plain"), plain));
            ASSERT_EQ(QOVA_OK, EncryptFile(dir.File("plain"), nid, dir.File("file.env")));
            std::string fileEnvelope = ReadFileOrEmpty(dir.File("file.env")), dataEnvelope, fromMemory, fromFile;
            ASSERT_EQ(QOVA_OK, EncryptData(plain, "recip", nid, &dataEnvelope));
            ASSERT_TRUE(WriteFile(dir.File("data.env"), dataEnvelope));

            EXPECT_EQ(QOVA_OK, DecryptData(fileEnvelope, "recip", &fromMemory));
            EXPECT_EQ(QOVA_OK, DecryptFile(dir.File("file.env"), "recip", &fromFile));
            EXPECT_TRUE(plain == fromMemory && plain == fromFile);
            EXPECT_EQ(QOVA_OK, DecryptFile(dir.File("data.env"), "recip", &fromFile));
            EXPECT_TRUE(plain == fromFile);

            // The content field counts the padded length: 1 byte gives 8 under 3DES, 8 give 16.
            File env = Open(dir.File("file.env"), "rb");
            NodeEx* pNode = nullptr;
            ASSERT_EQ(QOVA_OK, Decode_CMSEnvelopeFile(env.get(), nullptr, nullptr, nullptr, nullptr, &pNode, nullptr,
                                                      nullptr, nullptr, nullptr, nullptr, nullptr));
            NodeExPtr node(pNode);
            EXPECT_EQ(NID_rc4 == nid ? size : (size + 8) / 8 * 8, node->ValueLength);
        }
    }
}

TEST_F(RSAEnvelope, EncryptionRefusals)
{
    const std::string plain = "plain text";
    std::string envelope;
    EXPECT_EQ(QOVA_E_KEY_USAGE, EncryptData(plain, "sign", NID_des_ede3_cbc, &envelope));
    EXPECT_NE(QOVA_OK, EncryptData(plain, "noski", NID_des_ede3_cbc, &envelope));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptData(plain, "recip", NID_des_ede3_ecb, &envelope));
    EXPECT_EQ("", envelope);

    ASSERT_TRUE(WriteFile(dir.File("empty"), "") && WriteFile(dir.File("plain"), plain));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptFile(dir.File("empty"), NID_rc4, dir.File("env")));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptFile(dir.File("plain"), NID_aes_256_cbc, dir.File("env")));
    EXPECT_EQ("", ReadFileOrEmpty(dir.File("env")));
    {
        File big = Open(dir.File("big"), "wb");
        ASSERT_EQ(0, ftruncate(fileno(big.get()), 0x80000000LL));
    }
    EXPECT_EQ(QOVA_E_READ_FAULT, EncryptFile(dir.File("big"), NID_rc4, dir.File("env")));
    std::string decrypted;
    EXPECT_EQ(QOVA_E_READ_FAULT, DecryptFile(dir.File("big"), "recip", &decrypted));

    Out<char> text;
    std::string cert = recipient, data = plain;
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_EncryptDataToCMSEnvelope(U(data), 0, U(cert), static_cast<int>(cert.size()),
                                                              NID_rc4, 0, &text.p, &text.n));
    EXPECT_EQ(nullptr, text.p);
}

TEST_F(RSAEnvelope, DecryptionRefusals)
{
    const std::string plain = RandomBytes(100);
    std::string envelope, decrypted;
    ASSERT_EQ(QOVA_OK, EncryptData(plain, "recip", NID_des_ede3_cbc, &envelope));
    ASSERT_TRUE(WriteFile(dir.File("env"), envelope));
    EXPECT_EQ(QOVA_E_DECRYPT_FAILED, DecryptData(envelope, "other", &decrypted));
    EXPECT_EQ(QOVA_E_DECRYPT_FAILED, DecryptFile(dir.File("env"), "other", &decrypted));

    // Cut inside the encrypted content: fails at once rather than waiting for more input.
    ASSERT_TRUE(WriteFile(dir.File("cut"), envelope.substr(0, envelope.size() - 20)));
    EXPECT_NE(QOVA_OK, DecryptFile(dir.File("cut"), "recip", &decrypted));
    EXPECT_NE(QOVA_OK, DecryptData(envelope.substr(0, envelope.size() - 20), "recip", &decrypted));

    File pfx = Open(Fixture("recip.p12"), "rb");
    std::string password = kPassword, empty;
    Out<unsigned char> out;
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_DecryptDataFromCMSEnvelope(nullptr, pfx.get(), &password[0], &out.p, &out.n));
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_DecryptDataFromCMSEnvelope("MAA=", nullptr, &password[0], &out.p, &out.n));
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_DecryptDataFromCMSEnvelope("MAA=", pfx.get(), &empty[0], &out.p, &out.n));
    EXPECT_EQ(QOVA_E_INVALIDARG, RSA_DecryptDataFromCMSEnvelope("MAA=", pfx.get(), nullptr, &out.p, &out.n));
    EXPECT_EQ(nullptr, out.p);
}

// Key and IV come from the envelope: any length but the cipher's must be refused before they reach
// the cipher, which would read a short one past its end.
TEST_F(RSAEnvelope, ContentKeyAndIVOfAnyButTheCiphersLengthAreRefused)
{
    const std::string content = RandomBytes(32);
    auto octets = [](const std::string& iv) { return std::string("\x04", 1) + char(iv.size()) + iv; };
    const std::string nullParameters("\x05\x00", 2);
    struct Case { const char* name; int nid; size_t keyLength; std::string parameters; };
    const Case kCases[] = {
        {"3DES 16-byte key", NID_des_ede3_cbc, 16, octets(RandomBytes(8))},
        {"3DES 7-byte IV", NID_des_ede3_cbc, 24, octets(RandomBytes(7))},
        {"3DES 16-byte IV", NID_des_ede3_cbc, 24, octets(RandomBytes(16))},
        {"3DES no IV", NID_des_ede3_cbc, 24, nullParameters},
        {"RC4 5-byte key", NID_rc4, 5, nullParameters},
        {"RC4 32-byte key", NID_rc4, 32, nullParameters},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string envelope = Handmade(c.nid, RandomBytes(c.keyLength), c.parameters, content);
        ASSERT_FALSE(envelope.empty());
        ASSERT_TRUE(WriteFile(dir.File("env"), envelope));
        std::string decrypted;
        EXPECT_EQ(QOVA_E_DECRYPT_FAILED, DecryptData(envelope, "recip", &decrypted));
        EXPECT_EQ(QOVA_E_DECRYPT_FAILED, DecryptFile(dir.File("env"), "recip", &decrypted));
        EXPECT_EQ("", decrypted);
    }
    // The same shape with the right lengths decrypts.
    std::string key = RandomBytes(24), iv = RandomBytes(8), plain = "handmade", decrypted;
    Out<unsigned char> encrypted;
    ASSERT_EQ(QOVA_OK, SymEncrypt(NID_des_ede3_cbc, U(iv), U(key), 24, U(plain), 8, &encrypted.p, &encrypted.n));
    EXPECT_EQ(QOVA_OK, DecryptData(Handmade(NID_des_ede3_cbc, key, octets(iv), encrypted.str()), "recip", &decrypted));
    EXPECT_EQ(plain, decrypted);
}

}  // namespace
