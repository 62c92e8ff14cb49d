// Token encryption, decryption and random data: RSA on SoftHSM2 against the openssl command, SM2
// ciphertexts made by the openssl command through the test module's vendor mechanism.
#include "P11KernelTestUtil.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace p11test;
using p11testbed::FixtureFile;

const std::string kKey16 = "\x10\x32\x54\x76\x98\xba\xdc\xfe\x01\x23\x45\x67\x89\xab\xcd\xef";

std::string FromHex(const std::string& hex)
{
    const std::vector<unsigned char> bytes = testutil::HexToBytes(hex);
    return std::string(bytes.begin(), bytes.end());
}

// The raw form x1 || y1 || C2 || C3 of a DER SM2Cipher, taken apart by `openssl asn1parse`.
std::string RawFromDer(const std::string& derFile)
{
    std::string dump;
    if (!Openssl("asn1parse -inform DER -in " + derFile, &dump))
        return "";
    std::vector<std::string> values;  // x, y, C3, C2 as hex
    std::istringstream lines(dump);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("prim:") != std::string::npos)
            values.push_back(line.substr(line.rfind(':') + 1));
    }
    if (values.size() != 4)
        return "";
    auto coordinate = [](std::string hex) {
        hex = std::string(64 > hex.size() ? 64 - hex.size() : 0, '0') + hex;
        return FromHex(hex.substr(hex.size() - 64));
    };
    return coordinate(values[0]) + coordinate(values[1]) + FromHex(values[3]) + FromHex(values[2]);
}

TEST(P11Crypt, SoftHsmRsaEncryptionAndDecryptionMatchOpenssl)
{
    SoftHsmKey hsm;
    if (!hsm.Ready())
        GTEST_SKIP() << "SoftHSM2 not installed";
    testutil::ScopedTempDir dir;
    KeySession& key = *hsm.key;

    // Encrypted on the token, decrypted by openssl.
    Output encrypted;
    ASSERT_EQ(QOVA_OK, CkEncryptMsg(key.List(), key.Session(), key.hPublic, CKM_RSA_PKCS, Bytes(kKey16),
                                    kKey16.size(), &encrypted.data, &encrypted.size));
    ASSERT_EQ(256u, encrypted.size);
    EXPECT_EQ(0, encrypted.data[256]);
    testutil::WriteFile(dir.File("enc"), encrypted.Str());
    ASSERT_TRUE(Openssl("pkeyutl -decrypt -inkey " + FixtureFile("rsa1.key") + " -in " + dir.File("enc") +
                        " -out " + dir.File("dec")));
    EXPECT_EQ(kKey16, testutil::ReadFileOrEmpty(dir.File("dec")));

    // Encrypted by openssl, decrypted on the token: SoftHSM2 announces 256 bytes, then writes 16.
    testutil::WriteFile(dir.File("key"), kKey16);
    ASSERT_TRUE(Openssl("pkeyutl -encrypt -certin -inkey " + FixtureFile("rsa1.pem") + " -in " + dir.File("key") +
                        " -out " + dir.File("env")));
    std::string envelope = testutil::ReadFileOrEmpty(dir.File("env"));
    Output decrypted;
    ASSERT_EQ(QOVA_OK, CryptoDecryptMsg(key.pCtx, key.hPrivate, CKM_RSA_PKCS, Bytes(envelope), envelope.size(),
                                        &decrypted.data, &decrypted.size));
    EXPECT_EQ(kKey16, decrypted.Str());
    EXPECT_EQ(0, decrypted.data[decrypted.size]);

    // A corrupt block fails on the token, and the session decrypts again at once.
    std::string corrupt = envelope;
    corrupt[100] ^= 1;
    Output none;
    const unsigned int code = CryptoDecryptMsg(key.pCtx, key.hPrivate, CKM_RSA_PKCS, Bytes(corrupt), corrupt.size(),
                                               &none.data, &none.size);
    EXPECT_EQ(QOVA_E_P11_BASE, code & 0xFFFFF800u) << std::hex << code;
    EXPECT_EQ(nullptr, none.data);
    decrypted.Reset();
    ASSERT_EQ(QOVA_OK, CryptoDecryptMsg(key.pCtx, key.hPrivate, CKM_RSA_PKCS, Bytes(envelope), envelope.size(),
                                        &decrypted.data, &decrypted.size));
    EXPECT_EQ(kKey16, decrypted.Str());

    unsigned char random[32] = {0};
    EXPECT_EQ(QOVA_OK, CkSeedRandom(key.List(), key.Session(), Bytes(kKey16), kKey16.size()));
    EXPECT_EQ(QOVA_OK, CkGenerateRandom(key.List(), key.Session(), random, sizeof(random)));
    EXPECT_NE(std::string(32, '\0'), std::string(reinterpret_cast<char*>(random), sizeof(random)));
}

TEST(P11Crypt, Sm2CiphertextsOfOpensslDecryptThroughTheVendorMechanism)
{
    Sm2Token sm2("fail C_Decrypt 0x150 after=7 times=1\n");
    ASSERT_TRUE(sm2.key.Ready());
    testutil::ScopedTempDir dir;
    testutil::WriteFile(dir.File("key"), kKey16);
    ASSERT_TRUE(Openssl("pkeyutl -encrypt -pubin -inkey " + FixtureFile("sm2pub.pem") + " -in " + dir.File("key") +
                        " -out " + dir.File("env.der")));
    const std::string der = testutil::ReadFileOrEmpty(dir.File("env.der"));
    const std::string raw = RawFromDer(dir.File("env.der"));
    ASSERT_EQ(96 + kKey16.size(), raw.size());

    auto decrypt = [&](const std::string& ciphertext, std::string* plain) {
        Output out;
        const unsigned int code = CryptoDecryptMsg(sm2.key.pCtx, sm2.key.hPrivate, QOVA_CKM_SM2_DECRYPT,
                                                   Bytes(ciphertext), ciphertext.size(), &out.data, &out.size);
        if (out.data != nullptr) {
            EXPECT_EQ(0, out.data[out.size]);
        }
        *plain = out.Str();
        return code;
    };
    std::string plain;
    EXPECT_EQ(QOVA_OK, decrypt(der, &plain));
    EXPECT_EQ(kKey16, plain);
    // The token announced the ciphertext's length and wrote the key's.
    const auto init = sm2.loaded.module.Calls("C_DecryptInit");
    ASSERT_EQ(1u, init.size());
    EXPECT_EQ("0x00010001", init[0].Field("mech"));
    EXPECT_EQ("null", init[0].Field("param"));
    const auto calls = sm2.loaded.module.Calls("C_Decrypt");
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(std::to_string(der.size()), calls[0].Field("answer"));
    EXPECT_EQ("16", calls[1].Field("answer"));

    EXPECT_EQ(QOVA_OK, decrypt(raw, &plain));
    EXPECT_EQ(kKey16, plain);
    std::string tampered = raw;
    tampered.back() ^= 1;
    EXPECT_EQ(0xA0071840u, decrypt(tampered, &plain));
    EXPECT_EQ("", plain);

    // A token that finds the buffer too small after its own size answer: the decryption is ended
    // into a scratch buffer, and the next one starts.
    sm2.loaded.module.ClearLog();
    EXPECT_EQ(0xA0071950u, decrypt(raw, &plain));
    const auto ended = sm2.loaded.module.Calls();
    ASSERT_FALSE(ended.empty());
    EXPECT_EQ("C_Decrypt", ended.back().function);
    EXPECT_EQ(0u, ended.back().rv);
    EXPECT_EQ(QOVA_OK, decrypt(der, &plain));
    EXPECT_EQ(kKey16, plain);
}

// Hazard: an input refused only by the encryption or decryption call would leave the operation
// started by the init active.
TEST(P11Crypt, EmptyInputIsRefusedBeforeTheOperationStarts)
{
    Sm2Token sm2;
    ASSERT_TRUE(sm2.key.Ready());
    KeySession& key = sm2.key;
    unsigned char data[8] = {1};
    Output out;
    void* ctx = key.pCtx;
    CK_FUNCTION_LIST* list = key.List();
    const CK_SESSION_HANDLE session = key.Session();
    const CK_MECHANISM_TYPE kSm2 = QOVA_CKM_SM2_DECRYPT;
    struct Case { const char* name; std::function<unsigned int()> call; unsigned int code; };
    const Case kCases[] = {
        {"decryption without input",
         [&] { return CryptoDecryptMsg(ctx, key.hPrivate, kSm2, nullptr, 8, &out.data, &out.size); },
         QOVA_E_MISSING_ARG},
        {"decryption of 0 bytes",
         [&] { return CryptoDecryptMsg(ctx, key.hPrivate, kSm2, data, 0, &out.data, &out.size); },
         QOVA_E_MISSING_ARG},
        {"decryption without context",
         [&] { return CryptoDecryptMsg(nullptr, key.hPrivate, kSm2, data, 8, &out.data, &out.size); },
         QOVA_E_INVALIDARG},
        {"encryption of 0 bytes",
         [&] { return CkEncryptMsg(list, session, key.hPublic, CKM_RSA_PKCS, data, 0, &out.data, &out.size); },
         QOVA_E_MISSING_ARG},
        {"encryption with key handle 0",
         [&] { return CkEncryptMsg(list, session, 0, CKM_RSA_PKCS, data, 8, &out.data, &out.size); },
         QOVA_E_MISSING_ARG},
        {"encryption without output",
         [&] { return CkEncryptMsg(list, session, key.hPublic, CKM_RSA_PKCS, data, 8, nullptr, &out.size); },
         QOVA_E_INVALIDARG},
        {"random data of length 0", [&] { return CkGenerateRandom(list, session, data, 0); },
         QOVA_E_MISSING_ARG},
        {"random data without buffer", [&] { return CkGenerateRandom(list, session, nullptr, 8); },
         QOVA_E_MISSING_ARG},
        {"seed of length 0", [&] { return CkSeedRandom(list, session, data, 0); }, QOVA_E_MISSING_ARG},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.code, c.call());
        EXPECT_EQ(nullptr, out.data);
        EXPECT_EQ(std::vector<std::string>{}, sm2.loaded.module.Names());
    }
}

TEST(P11Crypt, RandomDataComesBackInTheLengthAsked)
{
    Sm2Token sm2;
    ASSERT_TRUE(sm2.key.Ready());
    std::string buffer(4096, '\0');
    ASSERT_EQ(QOVA_OK, CkGenerateRandom(sm2.key.List(), sm2.key.Session(), Bytes(buffer), 1));
    ASSERT_EQ(QOVA_OK, CkGenerateRandom(sm2.key.List(), sm2.key.Session(), Bytes(buffer), 4096));
    EXPECT_NE(std::string(4096, '\0'), buffer);
    const auto calls = sm2.loaded.module.Calls("C_GenerateRandom");
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("1", calls[0].Field("len"));
    EXPECT_EQ("4096", calls[1].Field("len"));
}

}  // namespace
