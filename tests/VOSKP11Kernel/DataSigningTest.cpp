// Token signing services: RSA on SoftHSM2 and SM2 through the test module's vendor mechanisms,
// every signature checked by the openssl command in a separate process (in this process our own
// SM2 method serves every SM2 operation once registered).
#include "PKCS7SignedDataOperations.h"
#include "SessionTrace.h"
#include "TokenLoginLock.h"
#include "TokenSigningTestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using namespace signtest;
using p11test::Openssl;

std::vector<std::string> Lengths(const std::vector<p11testbed::LoggedCall>& calls)
{
    std::vector<std::string> lengths;
    for (const auto& call : calls)
        lengths.push_back(call.Field("len"));
    return lengths;
}

// The pieces of a SignedData as our reader gives them (SM2 signatures as r||s).
struct SignedData
{
    unsigned int code = QOVA_E_FAIL;
    std::string cert, signature, content, digestOID, encryptionOID;
    bool attached = false;
};

SignedData Parse(std::string der)
{
    Out<unsigned char> cert, signature, content;
    Out<char> digest, encryption;
    SignedData out;
    out.code = ParsePKCS7Signature(p11test::Bytes(der), static_cast<int>(der.size()), &cert.data, &cert.size,
                                   &signature.data, &signature.size, &content.data, &content.size, &digest.data,
                                   &digest.size, &encryption.data, &encryption.size, nullptr, nullptr, nullptr,
                                   nullptr, 1);
    out.cert = cert.Str();
    out.signature = signature.Str();
    out.content = content.Str();
    out.attached = nullptr != content.data;
    out.digestOID = digest.Str();
    out.encryptionOID = encryption.Str();
    return out;
}

// Whether the DER holds the encoded identifier (tag, length and content).
bool HoldsOid(const std::string& der, const std::string& oidHex)
{
    return std::string::npos != testutil::BytesToHex(p11test::Bytes(der), der.size()).find(oidHex);
}

const char kOidSmSignedDataHex[] = "060a2a811ccf550601040202";   // 1.2.156.10197.6.1.4.2.2
const char kOidSmDataHex[] = "060a2a811ccf550601040201";         // 1.2.156.10197.6.1.4.2.1

class DataSigning : public KernelScope
{
};

TEST_F(DataSigning, SoftHsmPkcs7SignedDataVerifiesWithOpensslCmsAndSmime)
{
    SoftHsmRecord hsm;
    if (!hsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    testutil::ScopedTempDir dir;
    const std::string message = Message(40000);   // more than two read chunks
    ASSERT_TRUE(testutil::WriteFile(dir.File("msg"), message));
    const std::string& pin = p11testbed::kDefaultPin;
    const int pinSize = static_cast<int>(pin.size());
    unsigned char* data = p11test::Bytes(message);
    const int size = static_cast<int>(message.size());
    const std::string rsa1 = testutil::ReadFileOrEmpty(FixtureFile("rsa1.der"));

    struct Case { unsigned int id; const char* md; const char* digestOID; };
    const Case kCases[] = {{QOVA_CALG_MD5, "md5", "1.2.840.113549.2.5"},
                           {QOVA_CALG_SHA1, "sha1", "1.3.14.3.2.26"},
                           {QOVA_CALG_SHA256, "sha256", "2.16.840.1.101.3.4.2.1"}};
    for (const Case& c : kCases) {
        for (const bool attached : {true, false}) {
            SCOPED_TRACE(std::string(c.md) + (attached ? " attached" : " detached"));
            // The request road: the host's PIN, SM2 encoding 0x400 (no effect on RSA), logout.
            Text base64;
            ASSERT_EQ(QOVA_OK, PKCS7_SignData(hsm.record.get(), Pin(pin), pinSize, c.id, attached, true,
                                              SIG_TYPE_SM2_Q7_V3, data, size, 1, &base64.text));
            EXPECT_EQ(std::string::npos, base64.Str().find_first_of("\r\n"));
            EXPECT_TRUE(OpenAndLoggedOut(hsm.record.get()));
            ASSERT_TRUE(DecodeBase64To(dir, base64.Str(), dir.File("p7.der")));
            const std::string content = attached ? "" : " -content " + dir.File("msg");
            ASSERT_TRUE(Openssl("cms -verify -noverify -binary -inform DER -in " + dir.File("p7.der") + content +
                                " -out " + dir.File("cms.out")));
            EXPECT_EQ(message, testutil::ReadFileOrEmpty(dir.File("cms.out")));
            ASSERT_TRUE(Openssl("smime -verify -noverify -inform DER -in " + dir.File("p7.der") + content + " -out " +
                                dir.File("smime.out")));
            EXPECT_EQ(message, testutil::ReadFileOrEmpty(dir.File("smime.out")));
            // A detached SignedData carries no content of its own.
            if (!attached) {
                EXPECT_FALSE(Openssl("cms -verify -noverify -binary -inform DER -in " + dir.File("p7.der")));
            }

            // The digest algorithm of the hash, and rsaEncryption as the signature algorithm.
            const std::string der = testutil::ReadFileOrEmpty(dir.File("p7.der"));
            const SignedData parsed = Parse(der);
            ASSERT_EQ(QOVA_OK, parsed.code);
            EXPECT_EQ(c.digestOID, parsed.digestOID);
            EXPECT_EQ("1.2.840.113549.1.1.1", parsed.encryptionOID);
            EXPECT_EQ(rsa1, parsed.cert);
            EXPECT_EQ(attached, parsed.attached);

            // PKCS #1 v1.5 is deterministic: the file streamed to the token gives the same bytes.
            Out<unsigned char> fromFile;
            FilePtr file = OpenRead(dir.File("msg"));
            ASSERT_EQ(QOVA_OK, PKCS7_SignFile_DER(hsm.record.get(), Pin(pin), pinSize, c.id, attached, false, 0,
                                                  file.get(), &fromFile.data, &fromFile.size));
            EXPECT_EQ(der, fromFile.Str());
            EXPECT_TRUE(OpenAndLoggedOut(hsm.record.get()));
        }
        // A hash the caller computed gives the detached form's bytes.
        const std::string md = c.md;
        ASSERT_TRUE(Openssl("dgst -" + md + " -binary -out " + dir.File("hash") + " " + dir.File("msg")));
        const std::string hash = testutil::ReadFileOrEmpty(dir.File("hash"));
        Text fromHash;
        ASSERT_EQ(QOVA_OK, PKCS7_SignHashDetached(hsm.record.get(), Pin(pin), pinSize, c.id, 0, p11test::Bytes(hash),
                                                  static_cast<int>(hash.size()), 1, &fromHash.text));
        ASSERT_TRUE(DecodeBase64To(dir, fromHash.Str(), dir.File("hash.der")));
        EXPECT_EQ(testutil::ReadFileOrEmpty(dir.File("p7.der")), testutil::ReadFileOrEmpty(dir.File("hash.der")));
    }

    // Hazard: a hash of the wrong length must be refused before the token starts signing, or the
    // session's next signature would fail.
    const std::string shortHash(20, '\x5a');
    Out<unsigned char> out;
    EXPECT_EQ(static_cast<unsigned int>(CKR_ARGUMENTS_BAD),
              PKCS7_SignHash_DER(hsm.record.get(), Pin(pin), pinSize, QOVA_CALG_SHA256, 0, p11test::Bytes(shortHash),
                                 20, 1, &out.data, &out.size));
    EXPECT_EQ(nullptr, out.data);
    EXPECT_EQ(QOVA_OK, PKCS7_SignData_DER(hsm.record.get(), Pin(pin), pinSize, QOVA_CALG_SHA256, false, false, 0,
                                          data, size, 1, &out.data, &out.size));
    EXPECT_TRUE(OpenAndLoggedOut(hsm.record.get()));
}

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
    unsigned char* data = p11test::Bytes(message);
    const int size = static_cast<int>(message.size());

    // The token's DER, unchanged.
    Out<unsigned char> der;
    ASSERT_EQ(QOVA_OK, PKCS1_SignData_DER(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, true, SIG_TYPE_SM2_Q1_V2,
                                          data, size, &der.data, &der.size));
    EXPECT_EQ(sm2.loaded.module.Calls("C_Sign").back().Field("answer"), std::to_string(der.size));
    EXPECT_TRUE(Sm2VerifiesOverMessage(dir, der.Str(), dir.File("msg")));
    EXPECT_EQ("01", sm2.loaded.module.Calls("C_SignInit").back().Field("param"));
    EXPECT_TRUE(OpenAndLoggedOut(sm2.record.get()));

    // r||s, as one line of Base64.
    Text raw;
    ASSERT_EQ(QOVA_OK, PKCS1_SignData(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, false, SIG_TYPE_SM2_Q1_V1, data,
                                      size, &raw.text));
    ASSERT_TRUE(DecodeBase64To(dir, raw.Str(), dir.File("raw")));
    const std::string rs = testutil::ReadFileOrEmpty(dir.File("raw"));
    ASSERT_EQ(64u, rs.size());
    EXPECT_TRUE(Sm2VerifiesOverMessage(dir, DerOfRawSm2(rs), dir.File("msg")));
    EXPECT_TRUE(OpenAndLoggedOut(sm2.record.get()));
}

// The request road with an SM2 key: the token signs the message with SM3 (0x00010004), its DER is
// cut to r||s and wrapped in each SignerInfo encoding under the SM content types.
TEST_F(DataSigning, Sm2Pkcs7SignedDataInEveryEncodingVerifiesWithOpenssl)
{
    Sm2Record sm2;
    ASSERT_NE(nullptr, sm2.record);
    testutil::ScopedTempDir dir;
    const std::string message = Message(3000);
    ASSERT_TRUE(testutil::WriteFile(dir.File("msg"), message));
    const std::string sm2Cert = testutil::ReadFileOrEmpty(FixtureFile("sm2.der"));
    for (const int encoding : {SIG_TYPE_SM2_Q7_V1, SIG_TYPE_SM2_Q7_V2, SIG_TYPE_SM2_Q7_V3}) {
        for (const bool attached : {true, false}) {
            SCOPED_TRACE(std::to_string(encoding) + (attached ? " attached" : " detached"));
            sm2.loaded.module.ClearLog();
            Out<unsigned char> der;
            ASSERT_EQ(QOVA_OK, PKCS7_SignData_DER(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, attached, true,
                                                  encoding, p11test::Bytes(message), static_cast<int>(message.size()),
                                                  1, &der.data, &der.size));
            const auto inits = sm2.loaded.module.Calls("C_SignInit");
            ASSERT_EQ(1u, inits.size());
            EXPECT_EQ("0x00010004", inits[0].Field("mech"));
            EXPECT_TRUE(OpenAndLoggedOut(sm2.record.get()));

            const SignedData parsed = Parse(der.Str());
            ASSERT_EQ(QOVA_OK, parsed.code);
            EXPECT_TRUE(HoldsOid(der.Str(), kOidSmSignedDataHex));
            EXPECT_TRUE(HoldsOid(der.Str(), kOidSmDataHex));
            EXPECT_EQ("1.2.156.10197.1.401", parsed.digestOID);
            EXPECT_EQ("1.2.156.10197.1.301.1", parsed.encryptionOID);
            EXPECT_EQ(sm2Cert, parsed.cert);
            EXPECT_EQ(attached ? message : "", parsed.content);
            ASSERT_EQ(64u, parsed.signature.size());
            EXPECT_TRUE(Sm2VerifiesOverMessage(dir, DerOfRawSm2(parsed.signature), dir.File("msg")));
        }
    }

    // Over a 32-byte hash (0x00010002), always detached; openssl verifies the hash as the value signed.
    const std::string hash = Message(32);
    Text base64;
    sm2.loaded.module.ClearLog();
    ASSERT_EQ(QOVA_OK, PKCS7_SignHashDetached(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, SIG_TYPE_SM2_Q7_V3,
                                              p11test::Bytes(hash), 32, 1, &base64.text));
    EXPECT_EQ("0x00010002", sm2.loaded.module.Calls("C_SignInit").at(0).Field("mech"));
    ASSERT_TRUE(DecodeBase64To(dir, base64.Str(), dir.File("hash.der")));
    const SignedData parsed = Parse(testutil::ReadFileOrEmpty(dir.File("hash.der")));
    ASSERT_EQ(QOVA_OK, parsed.code);
    EXPECT_FALSE(parsed.attached);
    EXPECT_TRUE(Sm2VerifiesOverHash(dir, DerOfRawSm2(parsed.signature), hash));
    EXPECT_FALSE(Sm2VerifiesOverHash(dir, DerOfRawSm2(parsed.signature), Message(33).substr(1)));
    EXPECT_TRUE(OpenAndLoggedOut(sm2.record.get()));
}

// A file of more than one chunk reaches the token in 16384-byte chunks and is embedded as it is.
TEST_F(DataSigning, Sm2FileSignedDataStreamsTheFileAndEmbedsItsBytes)
{
    Sm2Record sm2;
    ASSERT_NE(nullptr, sm2.record);
    testutil::ScopedTempDir dir;
    const std::string message = Message(40000);
    ASSERT_TRUE(testutil::WriteFile(dir.File("msg"), message));
    FilePtr file = OpenRead(dir.File("msg"));
    fseek(file.get(), 123, SEEK_SET);   // the whole file is signed, wherever the stream stood
    Text base64;
    ASSERT_EQ(QOVA_OK, PKCS7_SignFile(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, true, false,
                                      SIG_TYPE_SM2_Q7_V2, file.get(), &base64.text));
    EXPECT_EQ((std::vector<std::string>{"16384", "16384", "7232"}), Lengths(sm2.loaded.module.Calls("C_SignUpdate")));
    EXPECT_EQ("C_Logout", sm2.loaded.module.Names().back());
    ASSERT_TRUE(DecodeBase64To(dir, base64.Str(), dir.File("p7.der")));
    const SignedData parsed = Parse(testutil::ReadFileOrEmpty(dir.File("p7.der")));
    ASSERT_EQ(QOVA_OK, parsed.code);
    EXPECT_EQ(message, parsed.content);
    EXPECT_TRUE(Sm2VerifiesOverMessage(dir, DerOfRawSm2(parsed.signature), dir.File("msg")));
}

// Refusals that depend on the key come after the login, before the token starts signing, and the
// session is logged out again.
TEST_F(DataSigning, Sm2KeyRefusalsLogOutWithoutStartingTheToken)
{
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir.File("f"), "file"));
    unsigned char data[20] = {1};
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
        {"PKCS#7 encoding 0", [&](_CERTIFICATE_INFO* info, Out<unsigned char>* out) {
             return PKCS7_SignData_DER(info, Pin(kSm2Pin), 4, QOVA_CALG_SM3, true, false, 0, data, 8, 1, &out->data,
                                       &out->size);
         }, QOVA_E_SM2_SIG_ENCODING},
        {"PKCS#7 of a file, encoding 2", [&](_CERTIFICATE_INFO* info, Out<unsigned char>* out) {
             FilePtr file = OpenRead(dir.File("f"));
             return PKCS7_SignFile_DER(info, Pin(kSm2Pin), 4, QOVA_CALG_SM3, true, false, SIG_TYPE_SM2_Q1_V2,
                                       file.get(), &out->data, &out->size);
         }, QOVA_E_SM2_SIG_ENCODING},
        {"PKCS#7 with SHA-1", [&](_CERTIFICATE_INFO* info, Out<unsigned char>* out) {
             return PKCS7_SignData_DER(info, Pin(kSm2Pin), 4, QOVA_CALG_SHA1, true, false, SIG_TYPE_SM2_Q7_V3, data, 8,
                                       1, &out->data, &out->size);
         }, QOVA_E_P11_NOT_SUPPORTED},
        // Hazard: a hash of the wrong length must be refused before the token starts signing.
        {"PKCS#7 of a 20-byte hash", [&](_CERTIFICATE_INFO* info, Out<unsigned char>* out) {
             return PKCS7_SignHash_DER(info, Pin(kSm2Pin), 4, QOVA_CALG_SM3, SIG_TYPE_SM2_Q7_V3, data, 20, 1,
                                       &out->data, &out->size);
         }, static_cast<unsigned int>(CKR_ARGUMENTS_BAD)},
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
        const std::function<unsigned int(Out<unsigned char>*)> kCalls[] = {
            [&](Out<unsigned char>* out) {
                return PKCS1_SignData_DER(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, false, SIG_TYPE_SM2_Q1_V1,
                                          data, 8, &out->data, &out->size);
            },
            [&](Out<unsigned char>* out) {
                return PKCS1_SignData_DER(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, false, SIG_TYPE_SM2_Q1_V2,
                                          data, 8, &out->data, &out->size);
            },
            [&](Out<unsigned char>* out) {
                return PKCS7_SignData_DER(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, true, false,
                                          SIG_TYPE_SM2_Q7_V1, data, 8, 1, &out->data, &out->size);
            },
        };
        for (const auto& call : kCalls) {
            Out<unsigned char> out;
            EXPECT_EQ(QOVA_E_INVALID_DATA, call(&out));
            EXPECT_EQ(nullptr, out.data);
            EXPECT_EQ(length, sm2.loaded.module.Calls("C_Sign").back().Field("answer"));
            EXPECT_EQ("C_Logout", sm2.loaded.module.Names().back());
        }
    }
}

TEST_F(DataSigning, AWrongPinGivesTheTokensCodeAndTheNextSignatureWorks)
{
    Sm2Record sm2;
    ASSERT_NE(nullptr, sm2.record);
    unsigned char data[8] = {1};
    Text text;
    EXPECT_EQ(0xA00718A0u, PKCS7_SignData(sm2.record.get(), Pin("4321"), 4, QOVA_CALG_SM3, true, true,
                                           SIG_TYPE_SM2_Q7_V3, data, 8, 1, &text.text));
    EXPECT_EQ(nullptr, text.text);
    EXPECT_EQ(std::vector<std::string>{"C_Login"}, sm2.loaded.module.Names());
    EXPECT_EQ(QOVA_OK, PKCS7_SignData(sm2.record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, true, true,
                                      SIG_TYPE_SM2_Q7_V3, data, 8, 1, &text.text));
    EXPECT_TRUE(OpenAndLoggedOut(sm2.record.get()));
}

// The stored PIN named to the token services for the life of one agent.
struct StoredPinScope
{
    explicit StoredPinScope(const std::string& pin) { SetStoredPIN(p11test::PinBytes(pin), static_cast<int>(pin.size())); }
    ~StoredPinScope() { SetStoredPIN(nullptr, 0); }
    StoredPinScope(const StoredPinScope&) = delete;
    StoredPinScope& operator=(const StoredPinScope&) = delete;
};

// A new selection as the host makes one: the module is loaded again once no record holds it.
CertInfoPtr Reselect(DylibInfo* entry, const std::string& id)
{
    if (!entry->bLoaded) {
        EXPECT_EQ(QOVA_OK, LoadP11Dylib(entry));
    }
    return RecordFor(entry, id);
}

// A caller that repeats its request with the stored PIN, which nobody types, would spend one PIN try
// per request, through signing and envelope decryption alike, until the token locks.
TEST_F(DataSigning, AStoredPinRefusalHoldsForSigningAndDecryptionButATypedPinIsTried)
{
    const std::string stored = "4321";   // the token's PIN is 1234
    const StoredPinScope agent(stored);
    p11test::Loaded loaded(p11test::kSm2Token + "cert k l " + FixtureFile("sm2.der") + "\n");
    unsigned char data[8] = {1};
    unsigned char wrapped[16] = {2};
    for (int round = 0; round < 3; ++round) {
        const CertInfoPtr record = Reselect(loaded.entry.get(), "k");
        ASSERT_NE(nullptr, record);
        Text text;
        EXPECT_EQ(0xA00718A0u, PKCS7_SignData(record.get(), Pin(stored), 4, QOVA_CALG_SM3, true, true,
                                               SIG_TYPE_SM2_Q7_V3, data, 8, 1, &text.text));
        Out<unsigned char> key;
        EXPECT_EQ(0xA00718A0u,
                  DecryptSessionKey(record.get(), Pin(stored), 4, wrapped, sizeof(wrapped), &key.data, &key.size));
        EXPECT_TRUE(OpenAndLoggedOut(record.get()));
    }
    EXPECT_EQ(1u, loaded.module.Calls("C_Login").size());
    const CertInfoPtr record = Reselect(loaded.entry.get(), "k");
    Text text;
    EXPECT_EQ(QOVA_OK, PKCS7_SignData(record.get(), Pin(kSm2Pin), 4, QOVA_CALG_SM3, true, true, SIG_TYPE_SM2_Q7_V3,
                                      data, 8, 1, &text.text));
    EXPECT_EQ(2u, loaded.module.Calls("C_Login").size());
}

// Two tokens of one module may report the same label and a blank serial number: the refusal of
// one must not stop the other, whose PIN is right, without a login.
TEST_F(DataSigning, ARefusalStaysWithItsTokenWhenTwoTokensShareLabelAndBlankSerial)
{
    const std::string stored = "4321";
    const StoredPinScope agent(stored);
    const std::string objects = " key " + FixtureFile("sm2.key") + "\n";
    p11test::Loaded loaded("token t 1234 serial=\nsm2key a" + objects + "cert a l " + FixtureFile("sm2.der") +
                           "\ntoken t " + stored + " serial=\nsm2key b" + objects + "cert b l " +
                           FixtureFile("sm2.der") + "\n");
    unsigned char data[8] = {1};
    for (int round = 0; round < 2; ++round) {
        for (const char* id : {"a", "b"}) {
            SCOPED_TRACE(id);
            const CertInfoPtr record = Reselect(loaded.entry.get(), id);
            ASSERT_NE(nullptr, record);
            Text text;
            EXPECT_EQ(std::string("a") == id ? 0xA00718A0u : QOVA_OK,
                      PKCS7_SignData(record.get(), Pin(stored), 4, QOVA_CALG_SM3, true, true, SIG_TYPE_SM2_Q7_V3,
                                     data, 8, 1, &text.text));
        }
    }
    EXPECT_EQ(3u, loaded.module.Calls("C_Login").size());
}

// Between the stored PIN's flag read and its login no other host process may log in: the login
// waits for the token's lock, which all host processes of the user share, reads the flags only
// once it holds it, lets go once the login has answered, and never logs in without it. A typed
// PIN takes no lock.
TEST_F(DataSigning, AStoredPinLoginHoldsTheTokensLockFromTheFlagReadToTheLoginsAnswer)
{
    // A serial number of this test's own: other tests lock their tokens meanwhile.
    const std::string serial = "lock" + std::to_string(getpid());
    p11test::Loaded loaded("token t 1234 serial=" + serial + "\nsm2key k key " + FixtureFile("sm2.key") +
                           "\ncert k l " + FixtureFile("sm2.der") + "\n");
    CK_UTF8CHAR label[32];
    CK_CHAR serialField[16];
    memset(label, ' ', sizeof(label));
    memset(serialField, ' ', sizeof(serialField));
    label[0] = 't';
    memcpy(serialField, serial.data(), std::min(serial.size(), sizeof(serialField)));
    std::string lockDir;
    ASSERT_EQ(QOVA_OK, tokenlock::ChooseLockDir("test", "/run/user", "/tmp", geteuid(), &lockDir));
    const std::string lockPath =
        lockDir + "/" + tokenlock::LockFileName(loaded.entry->pszDylibPath, label, serialField);
    const auto hold = [&] {
        const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_EQ(0, flock(fd, LOCK_EX));
        return fd;
    };
    const CertInfoPtr record = RecordFor(loaded.entry.get(), "k");
    ASSERT_NE(nullptr, record);
    unsigned char data[8] = {1};
    const auto sign = [&](const std::string& pin) {
        Text text;
        return PKCS7_SignData(record.get(), Pin(pin), 4, QOVA_CALG_SM3, true, true, SIG_TYPE_SM2_Q7_V3, data, 8, 1,
                              &text.text);
    };
    {
        const StoredPinScope agent(kSm2Pin);
        // Another host's lock, let go after 300 ms: the flags are read after that, not before.
        int fd = hold();
        loaded.module.ClearLog();
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const int log = open(loaded.module.File("calls.log").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
            EXPECT_EQ(16, write(log, "released rv=0x0\n", 16));
            close(log);
            close(fd);
        });
        EXPECT_EQ(QOVA_OK, sign(kSm2Pin));
        release.join();
        // No token call while waiting; the session's slot and token name are known (no
        // C_GetSessionInfo, one C_GetTokenInfo for the flags).
        const std::vector<std::string> names = loaded.module.Names();
        EXPECT_EQ((std::vector<std::string>{"released", "C_GetTokenInfo", "C_Login"}),
                  std::vector<std::string>(names.begin(), names.begin() + std::min<size_t>(3, names.size())));
        EXPECT_EQ(1u, loaded.module.Calls("C_GetTokenInfo").size());
        fd = open(lockPath.c_str(), O_RDWR);
        EXPECT_EQ(0, flock(fd, LOCK_EX | LOCK_NB)) << "the lock is still held after the signature";
        // Held for good: after 10 s the login gives up without reading the flags or logging in.
        loaded.module.ClearLog();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(QOVA_E_PIN_GUARD_UNAVAILABLE, sign(kSm2Pin));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(0u, loaded.module.Calls("C_GetTokenInfo").size());
        EXPECT_EQ(0u, loaded.module.Calls("C_Login").size());
        close(fd);
        fd = hold();
        const StoredPinScope otherAgent("9999");
        EXPECT_EQ(QOVA_OK, sign(kSm2Pin)) << "a typed PIN";
        close(fd);
    }
    // The lock file of this test's own token (hosts never remove theirs).
    unlink(lockPath.c_str());
}

// The same against a real token seen through opensc's call spy. SoftHSM2 answers a wrong PIN with
// "count low" and never reports a last try, so each new agent (each host process) may still spend
// one try on it.
TEST_F(DataSigning, FiveRoundsOfSelectionAndSignatureLogIntoSoftHsmOnce)
{
    p11testbed::SoftHsmTokens softhsm;
    testutil::ScopedTempDir dir;
    const std::string spyLog = dir.File("spy.log");
    if (!sessiontrace::SpyOnSoftHsm(PKCS11_SPY_PATH, softhsm, spyLog))
        GTEST_SKIP() << "SoftHSM2 or opensc's pkcs11-spy not installed";
    EntryPtr entry = p11test::NewEntry(PKCS11_SPY_PATH, "SoftHSM");
    ASSERT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));

    const std::string stored = "00000000";   // tokA's PIN is the host's
    const std::string message = "pay 100";
    unsigned char* data = p11test::Bytes(message);
    const auto sign = [&](const std::string& pin) {
        const CertInfoPtr record = Reselect(entry.get(), "cont1#2");
        Text text;
        return nullptr == record ? QOVA_E_NO_CERT
                                 : PKCS7_SignData(record.get(), Pin(pin), static_cast<int>(pin.size()),
                                                  QOVA_CALG_SHA256, true, true, 0, data, 7, 1, &text.text);
    };
    const unsigned int kWrong = QovaP11Result(CKR_PIN_INCORRECT);
    {
        const StoredPinScope agent(stored);
        for (int round = 0; round < 5; ++round)
            EXPECT_EQ(kWrong, sign(stored));
        EXPECT_EQ(1, sessiontrace::CountSpyCalls(spyLog, "C_Login"));
        const CertInfoPtr record = Reselect(entry.get(), "cont1#2");
        ASSERT_NE(nullptr, record);
        CK_TOKEN_INFO info{};
        ASSERT_EQ(QOVA_OK, GetSessionTokenInfo(record->pCertData->pstSessionCtx, &info));
        EXPECT_EQ(CKF_USER_PIN_COUNT_LOW,
                  info.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED));
    }
    {
        const StoredPinScope nextAgent(stored);
        EXPECT_EQ(kWrong, sign(stored));
        EXPECT_EQ(kWrong, sign(stored));
        EXPECT_EQ(2, sessiontrace::CountSpyCalls(spyLog, "C_Login"));
        // The token's own PIN, typed by someone, opens it.
        EXPECT_EQ(QOVA_OK, sign(p11testbed::kDefaultPin));
        EXPECT_EQ(3, sessiontrace::CountSpyCalls(spyLog, "C_Login"));
    }
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
    unsigned char data[32] = {1};
    unsigned char* pin = Pin(kSm2Pin);
    const unsigned int sm3 = QOVA_CALG_SM3;
    const int q2 = SIG_TYPE_SM2_Q1_V2;
    const int q7 = SIG_TYPE_SM2_Q7_V3;
    Out<unsigned char> out;
    Text text;

    unsigned char** der = &out.data;
    int* size = &out.size;
    FILE* f = file.get();
    const unsigned int kNoRecord = QOVA_E_NO_SELECTED_CERT;
    const unsigned int kBad = QOVA_E_INVALIDARG;

    struct Case { const char* name; std::function<unsigned int()> call; unsigned int code; };
    const Case kCases[] = {
        {"no record", [&] { return PKCS7_SignData_DER(nullptr, pin, 4, sm3, 1, 0, q7, data, 8, 1, der, size); },
         kNoRecord},
        {"no certificate object",
         [&] { return PKCS7_SignHash_DER(&noObject, pin, 4, sm3, q7, data, 32, 1, der, size); }, kNoRecord},
        {"no CKA_ID", [&] { return PKCS7_SignFile_DER(&noId, pin, 4, sm3, 1, 0, q7, f, der, size); }, kNoRecord},
        {"PKCS#1 file, no CKA_ID", [&] { return PKCS1_SignFile_DER(&noId, pin, 4, sm3, 0, f, der, size); }, kNoRecord},
        {"no data", [&] { return PKCS7_SignData_DER(info, pin, 4, sm3, 1, 0, q7, nullptr, 8, 1, der, size); }, kBad},
        {"negative size", [&] { return PKCS1_SignData_DER(info, pin, 4, sm3, 0, q2, data, -1, der, size); }, kBad},
        {"empty hash", [&] { return PKCS7_SignHash_DER(info, pin, 4, sm3, q7, data, 0, 1, der, size); }, kBad},
        {"no file", [&] { return PKCS7_SignFile_DER(info, pin, 4, sm3, 1, 0, q7, nullptr, der, size); }, kBad},
        {"PKCS#1, no file", [&] { return PKCS1_SignFile_DER(info, pin, 4, sm3, 0, nullptr, der, size); }, kBad},
        {"no output", [&] { return PKCS1_SignData_DER(info, pin, 4, sm3, 0, q2, data, 8, nullptr, size); }, kBad},
        {"no size output", [&] { return PKCS7_SignData_DER(info, pin, 4, sm3, 1, 0, q7, data, 8, 1, der, nullptr); },
         kBad},
        {"PKCS#1 file, no output", [&] { return PKCS1_SignFile_DER(info, pin, 4, sm3, 0, f, der, nullptr); }, kBad},
        {"Base64, no text output", [&] { return PKCS7_SignData(info, pin, 4, sm3, 1, 0, q7, data, 8, 1, nullptr); },
         kBad},
        {"Base64, no record", [&] { return PKCS1_SignFile(nullptr, pin, 4, sm3, 0, f, &text.text); }, kNoRecord},
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
