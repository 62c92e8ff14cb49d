// SM2 CMS envelopes against the openssl command: envelopes made by openssl alone (asn1parse
// -genconf, pkeyutl, enc -sm4-cbc; tests/fixtures/make-sm2-envelope-fixtures.sh) decrypt with
// ours, ours decrypt with openssl alone (tests/fixtures/open-sm2-envelope.sh), round trips in
// every form, and each refusal.
#define ENVELOPE_FIXTURE_DIR SM2_ENVELOPE_FIXTURE_DIR  // enctest::Fixture() reads this suite's fixtures
#include "Base64.h"
#include "CMSStructures.h"
#include "EncryptionTestUtil.h"
#include "SM2Envelope.h"
#include "SMRegistry.h"

#include <gtest/gtest.h>

namespace {

using namespace enctest;
using testutil::ReadFileOrEmpty;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::WriteFile;

char kPin[] = "12345678";
const unsigned long kForms[] = {SM2_ENC_ENCODED_RAW, SM2_ENC_ENCODED_DER};
const char* FormName(unsigned long form) { return SM2_ENC_ENCODED_RAW == form ? "raw" : "der"; }

class SM2Envelope : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }

    std::string Path(const std::string& name) { return dir.File(name); }

    unsigned int EncryptData(std::string plain, unsigned long form, std::string* envelope, const char* cert = "recip")
    {
        std::string der = ReadFileOrEmpty(Fixture(std::string(cert) + ".cer"));
        Out<unsigned char> out;
        const unsigned int result =
            EncryptDataToDerCMSEnvelope(U(plain), N(plain), U(der), N(der), form, &out.p, &out.n);
        *envelope = out.str();
        return result;
    }

    unsigned int EncryptFile(const std::string& plainPath, unsigned long form, const std::string& envelopePath)
    {
        std::string der = ReadFileOrEmpty(Fixture("recip.cer"));
        File in = Open(plainPath, "rb"), out = Open(envelopePath, "wb");
        return EncryptFileToDerCMSEnvelope(in.get(), U(der), N(der), form, out.get());
    }

    unsigned int DecryptData(std::string envelope, unsigned long form, std::string* plain,
                             const char* container = "recip", char* pin = kPin)
    {
        File ctr = Open(Fixture(std::string(container) + ".ctr"), "rb");
        Out<unsigned char> out;
        const unsigned int result =
            DecryptDerCMSEnvelopeData(U(envelope), N(envelope), ctr.get(), pin, form, &out.p, &out.n);
        *plain = out.str();
        // The padding octets of the last block must not stay behind a plaintext read as zero-terminated.
        EXPECT_TRUE(QOVA_OK != result || (nullptr != out.p && 0 == out.p[out.n])) << "zero after the plaintext";
        return result;
    }

    unsigned int DecryptFile(const std::string& envelopePath, unsigned long form, std::string* plain,
                             const char* container = "recip", char* pin = kPin)
    {
        File in = Open(envelopePath, "rb"), ctr = Open(Fixture(std::string(container) + ".ctr"), "rb");
        File out = Open(Path("decrypted"), "wb");
        const unsigned int result = DecryptDerCMSEnvelopeFile(in.get(), ctr.get(), pin, form, out.get());
        out.reset();
        *plain = ReadFileOrEmpty(Path("decrypted"));
        return result;
    }

    testutil::ScopedTempDir dir;
};

TEST_F(SM2Envelope, RoundTripsInEveryFormAndSize)
{
    // 16384 and 16385 octets: one full read buffer, and one more octet; 40000: several buffers.
    const size_t kSizes[] = {3, 16, 16384, 16385, 40000};
    for (unsigned long form : kForms) {
        for (size_t size : kSizes) {
            SCOPED_TRACE(std::string(FormName(form)) + " " + std::to_string(size));
            std::string plain = RandomBytes(size), envelope, decrypted;
            ASSERT_EQ(QOVA_OK, EncryptData(plain, form, &envelope));
            EXPECT_EQ(QOVA_OK, DecryptData(envelope, form, &decrypted));
            EXPECT_EQ(Hex(plain), Hex(decrypted));

            std::string pem = ReadFileOrEmpty(Fixture("recip.pem"));  // the certificate as PEM text
            for (unsigned long flags : {ATL_BASE64_FLAG_NONE, ATL_BASE64_FLAG_NOCRLF}) {
                Out<char> text;
                Out<unsigned char> out;
                ASSERT_EQ(QOVA_OK, EncryptDataToBase64CMSEnvelope(U(plain), N(plain), U(pem), N(pem), form, &text.p,
                                                                  &text.n, flags));
                EXPECT_EQ(ATL_BASE64_FLAG_NONE == flags, nullptr != strchr(text.p, '\n'));
                File ctr = Open(Fixture("recip.ctr"), "rb");
                EXPECT_EQ(QOVA_OK,
                          DecryptBase64CMSEnvelopeData(text.p, text.n, ctr.get(), kPin, form, &out.p, &out.n));
                EXPECT_EQ(Hex(plain), Hex(out.str()));
            }

            // The file forms, and the memory form of the envelope file.
            ASSERT_TRUE(WriteFile(Path("plain"), plain));
            ASSERT_EQ(QOVA_OK, EncryptFile(Path("plain"), form, Path("envelope")));
            EXPECT_EQ(QOVA_OK, DecryptFile(Path("envelope"), form, &decrypted));
            EXPECT_EQ(Hex(plain), Hex(decrypted));
            std::string fileEnvelope = ReadFileOrEmpty(Path("envelope"));
            EXPECT_EQ(QOVA_OK, DecryptData(fileEnvelope, form, &decrypted));
            EXPECT_EQ(Hex(plain), Hex(decrypted));

            Out<unsigned char> key, content;
            ASSERT_EQ(QOVA_OK, Decode_CMSEnvelopeData(U(fileEnvelope), N(fileEnvelope), nullptr, nullptr, &key.p,
                                                      &key.n, &content.p, &content.n, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr, nullptr));
            EXPECT_EQ(static_cast<int>(size / 16 * 16 + 16), content.n);
            if (SM2_ENC_ENCODED_RAW == form)
                EXPECT_EQ(112, key.n);
            else
                EXPECT_EQ(0x30, key.p[0]);
        }
    }
}

// The independent reader: `openssl asn1parse` finds the fields and shows the SM identifiers and the
// recipient's key identifier; `openssl pkeyutl` and `openssl enc` decrypt the content.
TEST_F(SM2Envelope, OursOpenWithTheOpensslCommand)
{
    std::string ski;
    ASSERT_EQ(0, RunCommand("openssl x509 -inform DER -in " + ShellQuote(Fixture("recip.cer")) +
                                " -noout -ext subjectKeyIdentifier | tail -1 | tr -d ' :\\n' | tr A-F a-f",
                            &ski));
    ASSERT_EQ(40u, ski.size());
    const std::string plain = RandomBytes(20000);
    ASSERT_TRUE(WriteFile(Path("plain"), plain));
    // The message form with the raw key, the file form with the DER key.
    for (unsigned long form : kForms) {
        SCOPED_TRACE(FormName(form));
        const std::string path = Path(SM2_ENC_ENCODED_RAW == form ? "data.env" : "file.env");
        std::string envelope, asn1, fields;
        if (SM2_ENC_ENCODED_RAW == form) {
            ASSERT_EQ(QOVA_OK, EncryptData(plain, form, &envelope));
            ASSERT_TRUE(WriteFile(path, envelope));
        } else {
            ASSERT_EQ(QOVA_OK, EncryptFile(Path("plain"), form, path));
        }
        EXPECT_EQ(0, RunCommand("openssl asn1parse -inform DER -in " + ShellQuote(path), &asn1));
        for (const char* oid :
             {"1.2.156.10197.6.1.4.2.3", "1.2.156.10197.1.301.3", "1.2.156.10197.6.1.4.2.1", "1.2.156.10197.1.104"})
            EXPECT_NE(std::string::npos, asn1.find(std::string(":") + oid)) << oid;
        ASSERT_EQ(0, RunCommand("bash " + ShellQuote(testutil::SourceDir() + "/tests/fixtures/open-sm2-envelope.sh") +
                                    " " + ShellQuote(path) + " " + ShellQuote(Fixture("recip.key")) + " " +
                                    FormName(form) + " " + ShellQuote(Path("opened")),
                                &fields));
        EXPECT_NE(std::string::npos, fields.find("rid=" + ski + "\n")) << fields;
        EXPECT_EQ(Hex(plain), Hex(ReadFileOrEmpty(Path("opened"))));
    }
}

TEST_F(SM2Envelope, OpensslEnvelopesOpenWithOurs)
{
    for (const char* text : {"abc", "large"}) {
        const std::string plain = ReadFileOrEmpty(Fixture(std::string(text) + ".bin"));
        ASSERT_FALSE(plain.empty());
        for (unsigned long form : kForms) {
            SCOPED_TRACE(std::string(text) + " " + FormName(form));
            const std::string path = Fixture(std::string(text) + "-" + FormName(form) + ".env");
            std::string fromData, fromFile;
            EXPECT_EQ(QOVA_OK, DecryptData(ReadFileOrEmpty(path), form, &fromData));
            EXPECT_EQ(QOVA_OK, DecryptFile(path, form, &fromFile));
            EXPECT_EQ(Hex(plain), Hex(fromData));
            EXPECT_EQ(Hex(plain), Hex(fromFile));
        }
    }
}

// Every envelope below is recip's, of "abc", made by openssl alone; the memory form runs with the
// container, PIN and selector given, the file form with the same.
TEST_F(SM2Envelope, DecryptionRefusals)
{
    struct Case
    {
        const char* name;
        const char* envelope;
        const char* container;
        const char* pin;
        unsigned long form;
        unsigned int dataCode;
        unsigned int fileCode;
    };
    const Case kCases[] = {
        {"container of another certificate", "abc-der", "other", kPin, SM2_ENC_ENCODED_DER, QOVA_E_DECRYPT_FAILED,
         QOVA_E_RECIPIENT_MISMATCH},
        {"wrong PIN", "abc-der", "recip", "87654321", SM2_ENC_ENCODED_DER, QOVA_E_CONTAINER_PIN,
         QOVA_E_CONTAINER_PIN},
        {"two recipients", "two-recipients-der", "recip", kPin, SM2_ENC_ENCODED_DER, QOVA_E_ENVELOPE_SHAPE,
         QOVA_E_ENVELOPE_SHAPE},
        {"no encrypted content", "no-content-der", "recip", kPin, SM2_ENC_ENCODED_DER, QOVA_E_ENVELOPE_SHAPE,
         QOVA_E_ENVELOPE_SHAPE},
        // The memory form does not look at the identifiers; the file form takes only SM2 and SM4.
        {"content identifier of AES", "aes-content-der", "recip", kPin, SM2_ENC_ENCODED_DER, QOVA_OK,
         QOVA_E_ENVELOPE_SHAPE},
        {"key identifier of RSA", "rsa-keyalg-der", "recip", kPin, SM2_ENC_ENCODED_DER, QOVA_OK,
         QOVA_E_ENVELOPE_SHAPE},
        // A 15-octet IV or content key must be refused before it reaches SM4, which reads 16.
        {"IV of 15 octets", "short-iv-der", "recip", kPin, SM2_ENC_ENCODED_DER, QOVA_E_ENVELOPE_SHAPE,
         QOVA_E_ENVELOPE_SHAPE},
        {"content key of 15 octets", "short-key-der", "recip", kPin, SM2_ENC_ENCODED_DER, QOVA_E_ENVELOPE_SHAPE,
         QOVA_E_ENVELOPE_SHAPE},
        {"refused selector", "abc-der", "recip", kPin, 0x400, QOVA_E_INVALIDARG, QOVA_E_INVALIDARG},
        {"DER key read as raw", "abc-der", "recip", kPin, SM2_ENC_ENCODED_RAW, QOVA_E_FAIL, QOVA_E_FAIL},
        {"not DER", "abc.bin", "recip", kPin, SM2_ENC_ENCODED_DER, QOVA_E_FAIL, QOVA_E_FAIL},
        {"not DER, wrong PIN", "abc.bin", "recip", "87654321", SM2_ENC_ENCODED_DER, QOVA_E_FAIL,
         QOVA_E_CONTAINER_PIN},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string path = Fixture(std::string(c.envelope) + (strchr(c.envelope, '.') ? "" : ".env"));
        std::string pin = c.pin, fromData, fromFile;
        EXPECT_EQ(c.dataCode, DecryptData(ReadFileOrEmpty(path), c.form, &fromData, c.container, &pin[0]));
        EXPECT_EQ(QOVA_OK == c.dataCode ? "abc" : "", fromData);
        EXPECT_EQ(c.fileCode, DecryptFile(path, c.form, &fromFile, c.container, &pin[0]));
    }

    // A raw key read as DER is refused: as bytes that are not DER, or, when its random octets happen to
    // form one complete TLV (one fixture in about 250), as an SM2Cipher of the wrong shape.
    {
        const std::string path = Fixture("abc-raw.env");
        std::string pin = kPin, fromData, fromFile;
        const unsigned int dataCode = DecryptData(ReadFileOrEmpty(path), SM2_ENC_ENCODED_DER, &fromData, "recip", &pin[0]);
        EXPECT_TRUE(QOVA_E_FAIL == dataCode || QOVA_E_MALFORMED == dataCode) << std::hex << dataCode;
        EXPECT_EQ("", fromData);
        const unsigned int fileCode = DecryptFile(path, SM2_ENC_ENCODED_DER, &fromFile, "recip", &pin[0]);
        EXPECT_TRUE(QOVA_E_FAIL == fileCode || QOVA_E_MALFORMED == fileCode) << std::hex << fileCode;
    }

    // The Base64 form passes the codes up; an empty container file is a failed read.
    std::string text = ReadFileOrEmpty(Fixture("abc-der.env"));
    Out<char> base64;
    Out<unsigned char> out;
    ASSERT_EQ(QOVA_OK, Base64EncodeEx(U(text), N(text), &base64.p, &base64.n, ATL_BASE64_FLAG_NONE));
    File other = Open(Fixture("other.ctr"), "rb");
    EXPECT_EQ(QOVA_E_DECRYPT_FAILED,
              DecryptBase64CMSEnvelopeData(base64.p, base64.n, other.get(), kPin, SM2_ENC_ENCODED_DER, &out.p, &out.n));
    ASSERT_TRUE(WriteFile(Path("empty.ctr"), ""));
    File empty = Open(Path("empty.ctr"), "rb");
    EXPECT_EQ(QOVA_E_READ_FAULT,
              DecryptBase64CMSEnvelopeData(base64.p, base64.n, empty.get(), kPin, SM2_ENC_ENCODED_DER, &out.p, &out.n));
    EXPECT_EQ(nullptr, out.p);
}

TEST_F(SM2Envelope, EncryptionRefusals)
{
    std::string envelope;
    // digitalSignature only: refused by the key usage check, before any key is drawn.
    EXPECT_EQ(QOVA_E_KEY_USAGE, EncryptData("abc", SM2_ENC_ENCODED_DER, &envelope, "sign"));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptData("abc", 0x400, &envelope));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptData("", SM2_ENC_ENCODED_DER, &envelope));
    EXPECT_EQ("", envelope);

    ASSERT_TRUE(WriteFile(Path("empty"), "") && WriteFile(Path("plain"), RandomBytes(5000)));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptFile(Path("empty"), SM2_ENC_ENCODED_RAW, Path("envelope")));
    EXPECT_EQ(QOVA_E_INVALIDARG, EncryptFile(Path("plain"), 0x400, Path("envelope")));

    // An unbuffered stream on a full device fails the first write, the envelope head.
    std::string der = ReadFileOrEmpty(Fixture("recip.cer"));
    File in = Open(Path("plain"), "rb"), full = Open("/dev/full", "wb");
    ASSERT_TRUE(full && 0 == setvbuf(full.get(), nullptr, _IONBF, 0));
    EXPECT_EQ(QOVA_E_WRITE_FAULT, EncryptFileToDerCMSEnvelope(in.get(), U(der), N(der), SM2_ENC_ENCODED_DER,
                                                              full.get()));
}

}  // namespace
