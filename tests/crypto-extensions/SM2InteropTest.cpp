// SM2 against an independent implementation: OpenSSL 3.0's own SM2 through the openssl command line
// as a separate process (in this process SM_crypto_init has made every SM2 operation ours), on the
// SM2 curve with the default user ID.
#include "SM2Core.h"
#include "SM2TestSupport.h"
#include "SM3Digest.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using namespace sm2test;
using testutil::ReadFile;
using testutil::RunCommand;
using testutil::ScopedTempDir;
using testutil::ShellQuote;
using testutil::WriteFile;

// e = SM3(Z || M) with the default user ID.
Bn DigestWithZ(const BIGNUM* x, const BIGNUM* y, const Bytes& msg)
{
    const Bytes x32 = Bn32(x), y32 = Bn32(y);
    unsigned char z[32], e[32];
    EXPECT_EQ(1, _SM2_CalculateDefaultZValue(x32.data(), y32.data(), z));
    SM3_CTX ctx;
    SM3_Init(&ctx);
    SM3_Update(&ctx, z, sizeof(z));
    SM3_Update(&ctx, msg.data(), msg.size());
    SM3_Final(e, &ctx);
    return Bn(BN_bin2bn(e, 32, nullptr));
}

Bytes SigToDer(const ECDSA_SIG* sig)
{
    unsigned char* der = nullptr;
    const int len = i2d_ECDSA_SIG(sig, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

ECDSA_SIG* DerToSig(const Bytes& der)
{
    const unsigned char* p = der.data();
    return d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
}

class SM2Interop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        ASSERT_TRUE(MakeCliKey(m_dir, &m_key));
    }

    ScopedTempDir m_dir;
    CliKey m_key;
};

TEST_F(SM2Interop, OurSignaturesVerifyWithTheOpensslCommand)
{
    for (const std::string& text : {std::string("message digest"), std::string(1000, 'x'), std::string("\x01", 1)}) {
        SCOPED_TRACE(text.size());
        const Bytes msg = ToBytes(text);
        Bn e = DigestWithZ(m_key.x.get(), m_key.y.get(), msg);
        ECDSA_SIG* sig = _SM2_sign(e.get(), m_key.d.get(), kNidSm2);
        ASSERT_NE(nullptr, sig);
        const Bytes der = SigToDer(sig);
        ECDSA_SIG_free(sig);

        const std::string msgFile = m_dir.File("msg"), sigFile = m_dir.File("sig.der");
        ASSERT_TRUE(WriteFile(msgFile, text));
        ASSERT_TRUE(WriteFile(sigFile, std::string(der.begin(), der.end())));
        const std::string verify = "openssl dgst -sm3 -verify " + ShellQuote(m_key.pubPem) +
                                   " -sigopt distid:1234567812345678 -signature " + ShellQuote(sigFile) + " ";
        std::string output;
        EXPECT_EQ(0, RunCommand(verify + ShellQuote(msgFile) + " 2>&1", &output)) << output;
        EXPECT_NE(std::string::npos, output.find("Verified OK")) << output;

        // The same signature does not verify another message: the command really checks.
        ASSERT_TRUE(WriteFile(msgFile, text + "!"));
        EXPECT_NE(0, RunCommand(verify + ShellQuote(msgFile) + " 2>&1", &output)) << output;
    }
}

TEST_F(SM2Interop, OpensslCommandSignaturesVerifyWithOurs)
{
    const std::string text = "The openssl command signs this with SM3 and the default ID";
    const std::string msgFile = m_dir.File("msg"), sigFile = m_dir.File("their.der");
    ASSERT_TRUE(WriteFile(msgFile, text));
    std::string output;
    ASSERT_EQ(0, RunCommand("openssl dgst -sm3 -sign " + ShellQuote(m_key.keyPem) +
                                " -sigopt distid:1234567812345678 -out " + ShellQuote(sigFile) + " " +
                                ShellQuote(msgFile) + " 2>&1",
                            &output))
        << output;
    std::string der;
    ASSERT_TRUE(ReadFile(sigFile, &der));
    ECDSA_SIG* sig = DerToSig(ToBytes(der));
    ASSERT_NE(nullptr, sig);

    Bn e = DigestWithZ(m_key.x.get(), m_key.y.get(), ToBytes(text));
    EXPECT_EQ(1, _SM2_verify(sig, m_key.x.get(), m_key.y.get(), e.get(), kNidSm2));
    Bn other = DigestWithZ(m_key.x.get(), m_key.y.get(), ToBytes(text + "."));
    EXPECT_EQ(0, _SM2_verify(sig, m_key.x.get(), m_key.y.get(), other.get(), kNidSm2));
    ECDSA_SIG_free(sig);
    DrainErrors();
}

TEST_F(SM2Interop, OpensslCommandCiphertextsDecryptWithOursAndBack)
{
    for (size_t len : {1, 16, 200}) {
        SCOPED_TRACE(len);
        std::string text(len, '\0');
        for (size_t i = 0; i < len; ++i)
            text[i] = static_cast<char>('A' + i % 26);
        const std::string msgFile = m_dir.File("plain"), ctFile = m_dir.File("ct.der");
        ASSERT_TRUE(WriteFile(msgFile, text));
        std::string output;
        ASSERT_EQ(0, RunCommand("openssl pkeyutl -encrypt -pubin -inkey " + ShellQuote(m_key.pubPem) + " -in " +
                                    ShellQuote(msgFile) + " -out " + ShellQuote(ctFile) + " 2>&1",
                                &output))
            << output;
        std::string der;
        ASSERT_TRUE(ReadFile(ctFile, &der));
        Bytes raw;
        ASSERT_TRUE(DerToRaw(ToBytes(der), &raw));
        ASSERT_EQ(SM2_CIPHERTEXT_OVERHEAD + len, raw.size());
        Bytes plain(len);
        ASSERT_EQ(1, _SM2_decrypt(kNidSm2, raw.data(), static_cast<unsigned int>(raw.size()), m_key.d.get(),
                                  plain.data()));
        EXPECT_EQ(text, std::string(plain.begin(), plain.end()));

        // Ours, written as DER, decrypts with the openssl command.
        Bytes ours(SM2_CIPHERTEXT_OVERHEAD + len);
        ASSERT_EQ(1, _SM2_encrypt(kNidSm2, reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<unsigned int>(len), m_key.x.get(), m_key.y.get(), ours.data()));
        Bytes oursDer;
        ASSERT_TRUE(RawToDer(ours, &oursDer));
        const std::string oursFile = m_dir.File("ours.der"), backFile = m_dir.File("back");
        ASSERT_TRUE(WriteFile(oursFile, std::string(oursDer.begin(), oursDer.end())));
        ASSERT_EQ(0, RunCommand("openssl pkeyutl -decrypt -inkey " + ShellQuote(m_key.keyPem) + " -in " +
                                    ShellQuote(oursFile) + " -out " + ShellQuote(backFile) + " 2>&1",
                                &output))
            << output;
        std::string back;
        ASSERT_TRUE(ReadFile(backFile, &back));
        EXPECT_EQ(text, back);
    }
}

TEST_F(SM2Interop, ZValueOfProviderAndLegacyKeys)
{
    // A provider key (as certificates give them) and the same key as a legacy EC key.
    unsigned char zProvider[32], zLegacy[32];
    ASSERT_EQ(1, EVP_PKEY_CalculateZValue_SM2(m_key.pkey.get(), zProvider));

    EC_KEY* ec = EC_KEY_new_by_curve_name(kNidSm2);
    ASSERT_NE(nullptr, ec);
    ASSERT_EQ(1, EC_KEY_set_public_key_affine_coordinates(ec, m_key.x.get(), m_key.y.get()));
    EVP_PKEY* legacy = EVP_PKEY_new();
    ASSERT_EQ(1, EVP_PKEY_assign_EC_KEY(legacy, ec));
    ASSERT_EQ(1, EVP_PKEY_CalculateZValue_SM2(legacy, zLegacy));
    EVP_PKEY_free(legacy);
    EXPECT_EQ(testutil::BytesToHex(zProvider, 32), testutil::BytesToHex(zLegacy, 32));
}

}  // namespace
