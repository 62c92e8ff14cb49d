// Token signatures and digests: RSA on SoftHSM2 checked by the openssl command, SM2 through the
// test module's vendor mechanisms checked by the openssl command in a separate process.
#include "P11KernelTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace p11test;
using p11testbed::FixtureFile;

struct FileClose
{
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// Message bytes of every value, longer than two read chunks.
std::string Message(size_t size)
{
    std::string message(size, '\0');
    for (size_t i = 0; i < size; ++i)
        message[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return message;
}

FilePtr OpenFile(const testutil::ScopedTempDir& dir, const std::string& name, const std::string& content)
{
    testutil::WriteFile(dir.File(name), content);
    return FilePtr(fopen(dir.File(name).c_str(), "rb"));
}

std::vector<std::string> Lengths(const std::vector<p11testbed::LoggedCall>& calls)
{
    std::vector<std::string> lengths;
    for (const auto& call : calls)
        lengths.push_back(call.Field("len"));
    return lengths;
}

TEST(P11Sign, SoftHsmRsaSignaturesAndDigestsMatchOpenssl)
{
    SoftHsmKey hsm;
    if (!hsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    testutil::ScopedTempDir dir;
    const std::string message = Message(40000);
    testutil::WriteFile(dir.File("msg"), message);

    struct Case { CK_ULONG id; const char* md; };
    const Case kCases[] = {{QOVA_CALG_MD5, "md5"}, {QOVA_CALG_SHA1, "sha1"}, {QOVA_CALG_SHA256, "sha256"},
                           {QOVA_CALG_SHA384, "sha384"}, {QOVA_CALG_SHA512, "sha512"}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.md);
        Output sig;
        ASSERT_EQ(QOVA_OK, CryptoRSASign(hsm.key->pCtx, hsm.key->hPrivate, c.id, Bytes(message), message.size(),
                                         &sig.data, &sig.size));
        testutil::WriteFile(dir.File("sig"), sig.Str());
        EXPECT_TRUE(Openssl("dgst -" + std::string(c.md) + " -prverify " + FixtureFile("rsa1.key") + " -signature " +
                            dir.File("sig") + " " + dir.File("msg")));

        // The token's digest of the file equals openssl's.
        Output hash;
        FilePtr file = OpenFile(dir, "msg", message);
        ASSERT_EQ(QOVA_OK, CryptoHashFile(hsm.key->pCtx, c.id, file.get(), message.size(), &hash.data, &hash.size));
        std::string dgst;
        ASSERT_TRUE(Openssl("dgst -" + std::string(c.md) + " -r " + dir.File("msg"), &dgst));
        EXPECT_EQ(dgst.substr(0, dgst.find(' ')), testutil::BytesToHex(hash.data, hash.size));

        // PKCS #1 v1.5 is deterministic: the hash signed through its DigestInfo and the file signed
        // in chunks give the very same bytes.
        Output fromHash;
        ASSERT_EQ(QOVA_OK, CryptoRSASignHash(hsm.key->pCtx, hsm.key->hPrivate, c.id, hash.data, hash.size,
                                             &fromHash.data, &fromHash.size));
        EXPECT_EQ(sig.Str(), fromHash.Str());
        EXPECT_EQ(0, fromHash.data[fromHash.size]);
        Output fromFile;
        file = OpenFile(dir, "msg", message);
        ASSERT_EQ(QOVA_OK, CryptoRSASignFile(hsm.key->pCtx, hsm.key->hPrivate, c.id, file.get(), message.size(),
                                             &fromFile.data, &fromFile.size));
        EXPECT_EQ(sig.Str(), fromFile.Str());

        EXPECT_EQ(QOVA_OK, CkRSAVerify(hsm.key->List(), hsm.key->Session(), hsm.key->hPublic, c.id, Bytes(message),
                                       message.size(), sig.data, sig.size));
        std::string tampered = message;
        tampered[20000] ^= 1;
        EXPECT_EQ(0xA00718C0u, CkRSAVerify(hsm.key->List(), hsm.key->Session(), hsm.key->hPublic, c.id,
                                           Bytes(tampered), tampered.size(), sig.data, sig.size));
    }

    // The block signed for a SHA-1 hash is its DigestInfo, as the public key recovers it.
    const std::string hash(20, '\x5a');
    Output sig;
    ASSERT_EQ(QOVA_OK, CryptoRSASignHash(hsm.key->pCtx, hsm.key->hPrivate, QOVA_CALG_SHA1, Bytes(hash), hash.size(),
                                         &sig.data, &sig.size));
    testutil::WriteFile(dir.File("sig"), sig.Str());
    std::string block;
    ASSERT_TRUE(Openssl("pkeyutl -verifyrecover -inkey " + FixtureFile("rsa1.key") + " -in " + dir.File("sig") +
                            " | od -An -tx1 | tr -d ' \\n'",
                        &block));
    EXPECT_EQ("3021300906052b0e03021a05000414" + testutil::BytesToHex(Bytes(hash), hash.size()), block);
}

TEST(P11Sign, SoftHsmFileSigningSignsExactlyTheGivenSizeAndAShortStreamFreesTheSession)
{
    SoftHsmKey hsm;
    if (!hsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    testutil::ScopedTempDir dir;
    const std::string message = Message(150);
    auto signMemory = [&](size_t size) {
        Output sig;
        EXPECT_EQ(QOVA_OK, CryptoRSASign(hsm.key->pCtx, hsm.key->hPrivate, QOVA_CALG_SHA256,
                                         size == 0 ? nullptr : Bytes(message), size, &sig.data, &sig.size));
        return sig.Str();
    };
    auto signFile = [&](size_t size, const std::string& content, unsigned int code) {
        FilePtr file = OpenFile(dir, "f", content);
        Output sig;
        EXPECT_EQ(code, CryptoRSASignFile(hsm.key->pCtx, hsm.key->hPrivate, QOVA_CALG_SHA256, file.get(), size,
                                          &sig.data, &sig.size));
        return sig.Str();
    };
    // Hazard: a last chunk read whole would sign the bytes beyond the given size, or fail on them.
    EXPECT_EQ(signMemory(100), signFile(100, message, QOVA_OK));
    // Size 0: init and final at once, the signature of the empty message.
    EXPECT_EQ(signMemory(0), signFile(0, message, QOVA_OK));
    // Hazard: a stream that ends early must not leave the token's signing operation active, or
    // every later signature on the session fails.
    EXPECT_EQ("", signFile(100, message.substr(0, 50), QOVA_E_MISSING_ARG));
    EXPECT_EQ(signMemory(100), signFile(100, message, QOVA_OK));
}

TEST(P11Sign, Sm2SignaturesOfTheTestModuleVerifyWithOpenssl)
{
    Sm2Token sm2;
    ASSERT_TRUE(sm2.key.Ready());
    testutil::ScopedTempDir dir;
    const std::string message = Message(40000);
    testutil::WriteFile(dir.File("msg"), message);
    const std::string pub = FixtureFile("sm2pub.pem");

    // Over the message with SM3 and Z of the default user ID; openssl's own default ID is empty.
    Output sig;
    ASSERT_EQ(QOVA_OK, CryptoSM2Sign(sm2.key.pCtx, sm2.key.hPrivate, QOVA_CALG_SM3, 1, Bytes(message), message.size(),
                                     &sig.data, &sig.size));
    testutil::WriteFile(dir.File("sig"), sig.Str());
    const std::string verify = "dgst -sm3 -verify " + pub + " -signature " + dir.File("sig") + " ";
    EXPECT_TRUE(Openssl(verify + "-sigopt distid:1234567812345678 " + dir.File("msg")));
    EXPECT_FALSE(Openssl(verify + dir.File("msg")));
    // The token's size query answers 72, the signature is handed out with the DER length.
    const auto signs = sm2.loaded.module.Calls("C_Sign");
    ASSERT_EQ(2u, signs.size());
    EXPECT_EQ("72", signs[0].Field("answer"));
    EXPECT_EQ(std::to_string(sig.size), signs[1].Field("answer"));
    EXPECT_EQ("01", sm2.loaded.module.Calls("C_SignInit")[0].Field("param"));
    EXPECT_EQ(QOVA_OK, CkSM2Verify(sm2.key.List(), sm2.key.Session(), sm2.key.hPublic, QOVA_CALG_SM3, 1,
                                   Bytes(message), message.size(), sig.data, sig.size));
    EXPECT_EQ(0xA00718C0u, CkSM2Verify(sm2.key.List(), sm2.key.Session(), sm2.key.hPublic, QOVA_CALG_SM3, 1,
                                       Bytes(message), message.size() - 1, sig.data, sig.size));
    // And the other way round: openssl's signature verifies on the token.
    ASSERT_TRUE(Openssl("dgst -sm3 -sign " + FixtureFile("sm2.key") + " -sigopt distid:1234567812345678 -out " +
                        dir.File("osig") + " " + dir.File("msg")));
    const std::string opensslSig = testutil::ReadFileOrEmpty(dir.File("osig"));
    EXPECT_EQ(QOVA_OK, CkSM2Verify(sm2.key.List(), sm2.key.Session(), sm2.key.hPublic, QOVA_CALG_SM3, 1,
                                   Bytes(message), message.size(), Bytes(opensslSig), opensslSig.size()));

    // A file of more than two chunks, streamed in chunks of 16384 bytes.
    sm2.loaded.module.ClearLog();
    FilePtr file = OpenFile(dir, "msg", message);
    Output fileSig;
    ASSERT_EQ(QOVA_OK, CryptoSM2SignFile(sm2.key.pCtx, sm2.key.hPrivate, QOVA_CALG_SM3, 1, file.get(), message.size(),
                                         &fileSig.data, &fileSig.size));
    EXPECT_EQ((std::vector<std::string>{"16384", "16384", "7232"}), Lengths(sm2.loaded.module.Calls("C_SignUpdate")));
    testutil::WriteFile(dir.File("sig"), fileSig.Str());
    EXPECT_TRUE(Openssl(verify + "-sigopt distid:1234567812345678 " + dir.File("msg")));

    // Over a 32-byte hash, which openssl takes as the value it verifies.
    const std::string hash = Message(32);
    testutil::WriteFile(dir.File("hash"), hash);
    Output hashSig;
    ASSERT_EQ(QOVA_OK, CryptoSM2SignHash(sm2.key.pCtx, sm2.key.hPrivate, QOVA_CALG_SM3, Bytes(hash), hash.size(),
                                         &hashSig.data, &hashSig.size));
    testutil::WriteFile(dir.File("sig"), hashSig.Str());
    const std::string verifyHash = "pkeyutl -verify -pubin -inkey " + pub + " -sigfile " + dir.File("sig") + " -in ";
    EXPECT_TRUE(Openssl(verifyHash + dir.File("hash")));
    testutil::WriteFile(dir.File("hash"), Message(33).substr(1));
    EXPECT_FALSE(Openssl(verifyHash + dir.File("hash")));
}

TEST(P11Sign, TheTokenSignatureIsHandedOutWithTheLengthOfItsSecondAnswer)
{
    struct Case { const char* name; const char* fixture; std::string query; CK_ULONG length; };
    const Case kCases[] = {
        {"DER of 72 bytes", "sigderlen 72\n", "72", 72},
        {"a token that answers 73 bytes", "sigderlen 73\n", "73", 73},
        {"a token that answers 65 bytes after announcing 72", "sigderlen 65\n", "72", 65},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Sm2Token sm2(c.fixture);
        const std::string hash(32, '\x11');
        Output sig;
        ASSERT_EQ(QOVA_OK, CryptoSM2SignHash(sm2.key.pCtx, sm2.key.hPrivate, QOVA_CALG_SM3, Bytes(hash), hash.size(),
                                             &sig.data, &sig.size));
        EXPECT_EQ(c.length, sig.size);
        EXPECT_EQ(c.query, sm2.loaded.module.Calls("C_Sign")[0].Field("answer"));
    }
}

TEST(P11Sign, RefusedArgumentsNeverReachTheToken)
{
    Sm2Token sm2;
    ASSERT_TRUE(sm2.key.Ready());
    void* ctx = sm2.key.pCtx;
    const CK_OBJECT_HANDLE key = sm2.key.hPrivate;
    CK_FUNCTION_LIST* list = sm2.key.List();
    const CK_SESSION_HANDLE session = sm2.key.Session();
    DylibInfo unloaded{};
    SessionCtx noList{session, 1, 0, &unloaded};
    SessionCtx noSession{0, 1, 0, sm2.loaded.entry.get()};
    unsigned char data[64] = {1};
    CK_MECHANISM sha1 = {CKM_SHA_1, nullptr, 0};
    testutil::ScopedTempDir dir;
    FilePtr file = OpenFile(dir, "f", "x");
    const CK_ULONG kSm3 = QOVA_CALG_SM3;
    Output out;
    unsigned char** sig = &out.data;
    CK_ULONG* len = &out.size;

    struct Case { const char* name; std::function<unsigned int()> call; unsigned int code; };
    const Case kCases[] = {
        {"RSA signature with SM3", [&] { return CryptoRSASign(ctx, key, kSm3, data, 8, sig, len); },
         QOVA_E_P11_NOT_SUPPORTED},
        {"SM2 signature with SHA-1", [&] { return CryptoSM2Sign(ctx, key, QOVA_CALG_SHA1, 1, data, 8, sig, len); },
         QOVA_E_P11_NOT_SUPPORTED},
        {"unknown hash id", [&] { return CryptoRSASignHash(ctx, key, 0x8001, data, 20, sig, len); },
         QOVA_E_P11_NOT_SUPPORTED},
        // Hazard: a length check after the init would leave the signing operation active.
        {"SM2 hash of 20 bytes", [&] { return CryptoSM2SignHash(ctx, key, kSm3, data, 20, sig, len); },
         CKR_ARGUMENTS_BAD},
        {"SHA-256 hash of 20 bytes",
         [&] { return CryptoRSASignHash(ctx, key, QOVA_CALG_SHA256, data, 20, sig, len); }, CKR_ARGUMENTS_BAD},
        {"no hash", [&] { return CryptoRSASignHash(ctx, key, QOVA_CALG_SHA1, nullptr, 20, sig, len); },
         QOVA_E_INVALIDARG},
        {"no output", [&] { return CryptoSM2Sign(ctx, key, kSm3, 1, data, 8, nullptr, len); },
         QOVA_E_INVALIDARG},
        {"no context", [&] { return CryptoSM2Sign(nullptr, key, kSm3, 1, data, 8, sig, len); },
         QOVA_E_INVALIDARG},
        {"module not loaded", [&] { return CryptoSM2Sign(&noList, key, kSm3, 1, data, 8, sig, len); },
         QOVA_E_MISSING_ARG},
        {"no session", [&] { return CryptoSM2Sign(&noSession, key, kSm3, 1, data, 8, sig, len); },
         QOVA_E_MISSING_ARG},
        {"key handle 0", [&] { return CryptoSM2Sign(ctx, 0, kSm3, 1, data, 8, sig, len); },
         QOVA_E_MISSING_ARG},
        {"no stream", [&] { return CryptoHashFile(ctx, QOVA_CALG_SHA1, nullptr, 1, sig, len); },
         QOVA_E_MISSING_ARG},
        {"digest with SM3", [&] { return CryptoHashFile(ctx, kSm3, file.get(), 1, sig, len); },
         QOVA_E_P11_NOT_SUPPORTED},
        {"verification of empty data",
         [&] { return CkSM2Verify(list, session, key, kSm3, 1, data, 0, data, 64); }, QOVA_E_MISSING_ARG},
        {"verification without signature",
         [&] { return CkRSAVerify(list, session, key, QOVA_CALG_SHA1, data, 8, nullptr, 64); }, QOVA_E_MISSING_ARG},
        {"empty update", [&] { return CkSignUpdate(list, session, data, 0); }, QOVA_E_MISSING_ARG},
        {"digest without session", [&] { return CkDigestInit(list, 0, &sha1); }, QOVA_E_MISSING_ARG},
        {"verification key 0", [&] { return CkVerifyInit(list, session, &sha1, 0); }, QOVA_E_MISSING_ARG},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.code, c.call());
        EXPECT_EQ(nullptr, out.data);
        EXPECT_EQ(std::vector<std::string>{}, sm2.loaded.module.Names());
    }
}

// Hazard: a failure of ours after the token started an operation would leave it active, and every
// later operation of that kind on the session would be refused until the session closes.
TEST(P11Sign, ALocalFailureAfterTheStartEndsTheTokenOperation)
{
    testutil::ScopedTempDir dir;
    const std::string hash(32, '\x22');
    struct Case
    {
        const char* name;
        std::string fixture;
        std::function<unsigned int(KeySession&)> call;
        unsigned int code;
        const char* ending;  // the call that ended the operation
    };
    const Case kCases[] = {
        {"stream short of a full chunk", "",
         [&](KeySession& k) {
             FilePtr file = OpenFile(dir, "f", Message(16383));
             Output sig;
             return CryptoSM2SignFile(k.pCtx, k.hPrivate, QOVA_CALG_SM3, 1, file.get(), 16384, &sig.data, &sig.size);
         },
         QOVA_E_READ_FAULT, "C_SignFinal"},
        {"stream ending in the last chunk", "",
         [&](KeySession& k) {
             FilePtr file = OpenFile(dir, "f", Message(50));
             Output sig;
             return CryptoSM2SignFile(k.pCtx, k.hPrivate, QOVA_CALG_SM3, 1, file.get(), 100, &sig.data, &sig.size);
         },
         QOVA_E_MISSING_ARG, "C_SignFinal"},
        // The digest's update takes empty parts: the loop must neither spin nor leave the digest active.
        {"digest of a stream ending in the last chunk", "",
         [&](KeySession& k) {
             FilePtr file = OpenFile(dir, "f", Message(50));
             Output digest;
             return CryptoHashFile(k.pCtx, QOVA_CALG_SHA256, file.get(), 100, &digest.data, &digest.size);
         },
         QOVA_E_READ_FAULT, "C_DigestFinal"},
        {"a size answer past every bound", "sizequery 0x7fffffffffff\n",
         [&](KeySession& k) {
             Output sig;
             return CryptoSM2SignHash(k.pCtx, k.hPrivate, QOVA_CALG_SM3, Bytes(hash), 32, &sig.data, &sig.size);
         },
         0xA0071830u, "C_Sign"},
        {"a buffer found too small after the size query", "fail C_Sign 0x150 after=1 times=1\n",
         [&](KeySession& k) {
             Output sig;
             return CryptoSM2SignHash(k.pCtx, k.hPrivate, QOVA_CALG_SM3, Bytes(hash), 32, &sig.data, &sig.size);
         },
         0xA0071950u, "C_Sign"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Sm2Token sm2(c.fixture);
        ASSERT_TRUE(sm2.key.Ready());
        EXPECT_EQ(c.code, c.call(sm2.key));
        const auto calls = sm2.loaded.module.Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(c.ending, calls.back().function);
        EXPECT_EQ("set", calls.back().Field("out"));
        EXPECT_EQ(0u, calls.back().rv);

        // Both kinds of operation start again on the same session.
        FilePtr file = OpenFile(dir, "g", Message(10));
        Output sig, digest;
        CryptoSM2SignFile(sm2.key.pCtx, sm2.key.hPrivate, QOVA_CALG_SM3, 1, file.get(), 10, &sig.data, &sig.size);
        rewind(file.get());
        CryptoHashFile(sm2.key.pCtx, QOVA_CALG_SHA256, file.get(), 10, &digest.data, &digest.size);
        for (const char* init : {"C_SignInit", "C_DigestInit"}) {
            const auto inits = sm2.loaded.module.Calls(init);
            ASSERT_FALSE(inits.empty());
            EXPECT_EQ(0u, inits.back().rv) << init;
        }
    }
}

TEST(P11Sign, AWrongPinLeavesTheKeyOutOfReach)
{
    Loaded loaded(kSm2Token);
    KeySession good(loaded.entry.get(), "t", "1234", "k");
    ASSERT_TRUE(good.Ready());
    const CK_OBJECT_HANDLE key = good.hPrivate;
    ASSERT_EQ(QOVA_OK, LogoutSession(good.pCtx));
    EXPECT_EQ(0xA00718A0u, LoginSession(good.pCtx, PinBytes("4321"), 4));

    const std::string hash(32, '\x33');
    Output sig;
    EXPECT_EQ(0xA0071860u, CryptoSM2SignHash(good.pCtx, key, QOVA_CALG_SM3, Bytes(hash), 32, &sig.data, &sig.size));
    EXPECT_EQ(nullptr, sig.data);
    ASSERT_EQ(QOVA_OK, LoginSession(good.pCtx, PinBytes("1234"), 4));
    EXPECT_EQ(QOVA_OK, CryptoSM2SignHash(good.pCtx, key, QOVA_CALG_SM3, Bytes(hash), 32, &sig.data, &sig.size));
}

}  // namespace
