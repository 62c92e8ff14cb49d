// SM2 through EVP_PKEY_sign / verify / encrypt / decrypt with our key method: keys from files,
// certificates and EC_KEYs, OpenSSL's command line (a separate process) as the reference, buffer
// sizes, digest lengths, refused curves, digests and engines.
#include "SM2Asn1.h"
#include "SM2Core.h"
#include "SM2KeyMethod.h"
#include "SM2TestSupport.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/engine.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using namespace sm2test;
using testutil::ReadFile;
using testutil::RunCommand;
using testutil::ScopedTempDir;
using testutil::ShellQuote;
using testutil::WriteFile;

struct CtxDeleter
{
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using Ctx = std::unique_ptr<EVP_PKEY_CTX, CtxDeleter>;

enum class Op { Sign, Verify, Encrypt, Decrypt };

Ctx NewCtx(EVP_PKEY* key, Op op)
{
    Ctx ctx(EVP_PKEY_CTX_new(key, nullptr));
    const int ok = !ctx                ? 0
                   : op == Op::Sign    ? EVP_PKEY_sign_init(ctx.get())
                   : op == Op::Verify  ? EVP_PKEY_verify_init(ctx.get())
                   : op == Op::Encrypt ? EVP_PKEY_encrypt_init(ctx.get())
                                       : EVP_PKEY_decrypt_init(ctx.get());
    return ok == 1 ? std::move(ctx) : nullptr;
}

// Sign, encrypt or decrypt with a size query first; the result code, out resized to what was written.
int Apply(EVP_PKEY* key, Op op, const Bytes& in, Bytes* out)
{
    Ctx ctx = NewCtx(key, op);
    if (!ctx)
        return -100;
    auto call = [&](unsigned char* buf, size_t* len) {
        return op == Op::Sign      ? EVP_PKEY_sign(ctx.get(), buf, len, in.data(), in.size())
               : op == Op::Encrypt ? EVP_PKEY_encrypt(ctx.get(), buf, len, in.data(), in.size())
                                   : EVP_PKEY_decrypt(ctx.get(), buf, len, in.data(), in.size());
    };
    size_t len = 0;
    int rc = call(nullptr, &len);
    if (rc != 1)
        return rc;
    out->assign(len, 0);
    rc = call(out->data(), &len);
    out->resize(rc == 1 ? len : 0);
    return rc;
}

int Verify(EVP_PKEY* key, const Bytes& sig, const Bytes& tbs)
{
    Ctx ctx = NewCtx(key, Op::Verify);
    return ctx ? EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), tbs.data(), tbs.size()) : -100;
}

Bytes Pattern(size_t n, unsigned char seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed + 31 * i);
    return b;
}

class SM2KeyMethod : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        ASSERT_TRUE(MakeCliKey(m_dir, &m_key));
        const std::string cert = m_dir.File("cert.pem");
        ASSERT_EQ(0, RunCommand("openssl req -x509 -new -key " + ShellQuote(m_key.keyPem) +
                                " -sm3 -sigopt distid:1234567812345678 -subj /CN=SM2 -days 2 -out " +
                                ShellQuote(cert) + " 2>&1"));
        m_cert = ReadCert(cert);
        ASSERT_TRUE(m_cert);
        ERR_clear_error();
    }
    void TearDown() override { ERR_clear_error(); }

    // The openssl command verifies sig over the 32-byte e it is given (the only length it takes).
    bool OpensslVerifies(const Bytes& e32, const Bytes& sig)
    {
        const std::string eFile = m_dir.File("e.bin"), sigFile = m_dir.File("sig.der");
        std::string out;
        return WriteFile(eFile, std::string(e32.begin(), e32.end())) &&
               WriteFile(sigFile, std::string(sig.begin(), sig.end())) &&
               RunCommand("openssl pkeyutl -verify -pubin -inkey " + ShellQuote(m_key.pubPem) + " -in " +
                              ShellQuote(eFile) + " -sigfile " + ShellQuote(sigFile) + " 2>&1",
                          &out) == 0;
    }

    ScopedTempDir m_dir;
    CliKey m_key;
    Cert m_cert;
};

TEST_F(SM2KeyMethod, KeysFromFilesCertificatesAndEcKeysRoundTrip)
{
    Pkey legacy = NewLegacyKey();
    Pkey fromCert(X509_get_pubkey(m_cert.get()));
    Pkey converted(SM_to_legacy(m_key.pkey.get()));
    ASSERT_TRUE(legacy && fromCert && converted);
    EXPECT_EQ(EVP_PKEY_SM2, EVP_PKEY_get_id(converted.get()));
    struct Case
    {
        const char* name;
        EVP_PKEY* priv;
        EVP_PKEY* pub;
    };
    const Case kCases[] = {{"openssl genpkey", m_key.pkey.get(), m_key.pkey.get()},
                           {"certificate", m_key.pkey.get(), fromCert.get()},
                           {"EC_KEY", legacy.get(), legacy.get()},
                           {"legacy copy of a provider key", converted.get(), m_key.pkey.get()}};
    const Bytes digest = Pattern(32, 7), message = Pattern(100, 3);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes sig;
        ASSERT_EQ(1, Apply(c.priv, Op::Sign, digest, &sig));
        EXPECT_EQ(1, Verify(c.pub, sig, digest));
        // -1 where the library's own SM2 says 0: our method is the one that answered.
        sig.back() ^= 0x01;
        EXPECT_EQ(-1, Verify(c.pub, sig, digest));

        Bytes ct, pt;
        ASSERT_EQ(1, Apply(c.pub, Op::Encrypt, message, &ct));
        ASSERT_EQ(1, Apply(c.priv, Op::Decrypt, ct, &pt));
        EXPECT_EQ(message, pt);
        // The same ciphertext with one bit of C3 changed.
        const unsigned char* p = ct.data();
        SM2Cipher* cipher = d2i_SM2Cipher(nullptr, &p, static_cast<long>(ct.size()));
        ASSERT_NE(nullptr, cipher);
        cipher->HASH->data[5] ^= 0x01;
        unsigned char* der = nullptr;
        const int len = i2d_SM2Cipher(cipher, &der);
        SM2Cipher_free(cipher);
        const Bytes changed(der, der + len);
        OPENSSL_free(der);
        EXPECT_EQ(-1, Apply(c.priv, Op::Decrypt, changed, &pt));
    }
}

TEST_F(SM2KeyMethod, OpensslCommandVerifiesOurSignaturesOfAnyDigestLengthAndDecryptsOurCiphertexts)
{
    // Signing takes all of tbs as e, and so must verification (a verifier that read only the first
    // 32 bytes would reject the 64-byte case). The command takes exactly 32 bytes: e mod n.
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
    BN_CTX* bnCtx = BN_CTX_new();
    for (size_t len : {20, 32, 64}) {
        SCOPED_TRACE(len);
        const Bytes tbs = Pattern(len, static_cast<unsigned char>(0xF0 + len));
        Bytes sig;
        ASSERT_EQ(1, Apply(m_key.pkey.get(), Op::Sign, tbs, &sig));
        EXPECT_EQ(1, Verify(m_key.pkey.get(), sig, tbs));
        Bn e = BytesBn(tbs);
        ASSERT_EQ(1, BN_nnmod(e.get(), e.get(), EC_GROUP_get0_order(group), bnCtx));
        EXPECT_TRUE(OpensslVerifies(Bn32(e.get()), sig));
    }
    BN_CTX_free(bnCtx);
    EC_GROUP_free(group);

    // And the other way: the command's signature of a digest verifies with ours.
    const std::string eFile = m_dir.File("their-e.bin"), sigFile = m_dir.File("their.der");
    const Bytes digest = Pattern(32, 99);
    ASSERT_TRUE(WriteFile(eFile, std::string(digest.begin(), digest.end())));
    ASSERT_EQ(0, RunCommand("openssl pkeyutl -sign -inkey " + ShellQuote(m_key.keyPem) + " -in " +
                            ShellQuote(eFile) + " -out " + ShellQuote(sigFile) + " 2>&1"));
    std::string theirs;
    ASSERT_TRUE(ReadFile(sigFile, &theirs));
    EXPECT_EQ(1, Verify(m_key.pkey.get(), ToBytes(theirs), digest));

    for (size_t len : {1, 200}) {
        SCOPED_TRACE(len);
        const Bytes message = Pattern(len, 1);
        Bytes ct;
        ASSERT_EQ(1, Apply(m_key.pkey.get(), Op::Encrypt, message, &ct));
        const std::string ctFile = m_dir.File("ct.der"), ptFile = m_dir.File("pt");
        ASSERT_TRUE(WriteFile(ctFile, std::string(ct.begin(), ct.end())));
        std::string out;
        ASSERT_EQ(0, RunCommand("openssl pkeyutl -decrypt -inkey " + ShellQuote(m_key.keyPem) + " -in " +
                                    ShellQuote(ctFile) + " -out " + ShellQuote(ptFile) + " 2>&1",
                                &out))
            << out;
        EXPECT_EQ(std::string(message.begin(), message.end()), testutil::ReadFileOrEmpty(ptFile));
    }
}

TEST_F(SM2KeyMethod, SizeQueriesGiveTheBoundAndShortBuffersAreNeverWritten)
{
    const Bytes message = Pattern(100, 5);
    Ctx enc = NewCtx(m_key.pkey.get(), Op::Encrypt);
    ASSERT_TRUE(enc);
    size_t len = 0;
    ASSERT_EQ(1, EVP_PKEY_encrypt(enc.get(), nullptr, &len, message.data(), message.size()));
    EXPECT_EQ(message.size() + 116, len);
    Bytes buf(400, 0xAA);
    len = 50;
    EXPECT_EQ(-1, EVP_PKEY_encrypt(enc.get(), buf.data(), &len, message.data(), message.size()));
    EXPECT_EQ(Bytes(400, 0xAA), buf);
    len = message.size() + 116;
    ASSERT_EQ(1, EVP_PKEY_encrypt(enc.get(), buf.data(), &len, message.data(), message.size()));
    const Bytes ct(buf.begin(), buf.begin() + len);
    EXPECT_TRUE(std::all_of(buf.begin() + len, buf.end(), [](unsigned char b) { return b == 0xAA; }));

    Ctx dec = NewCtx(m_key.pkey.get(), Op::Decrypt);
    ASSERT_EQ(1, EVP_PKEY_decrypt(dec.get(), nullptr, &len, ct.data(), ct.size()));
    EXPECT_EQ(ct.size(), len);
    Bytes pt(200, 0xAA);
    len = message.size() - 1;
    EXPECT_EQ(-1, EVP_PKEY_decrypt(dec.get(), pt.data(), &len, ct.data(), ct.size()));
    EXPECT_EQ(Bytes(200, 0xAA), pt);
    len = message.size();
    ASSERT_EQ(1, EVP_PKEY_decrypt(dec.get(), pt.data(), &len, ct.data(), ct.size()));
    EXPECT_EQ(message, Bytes(pt.begin(), pt.begin() + len));

    // A signature buffer shorter than the key's signature size: (16, 100) and 0.
    Ctx sign = NewCtx(m_key.pkey.get(), Op::Sign);
    len = 10;
    EXPECT_EQ(0, EVP_PKEY_sign(sign.get(), buf.data(), &len, message.data(), 32));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{SM2_KEY_ERR_LIB_EC, SM2_KEY_R_BUFFER_TOO_SMALL}}), DrainErrors());
}

TEST_F(SM2KeyMethod, KeysOnTheExampleCurveAreRefusedNotComputedWithTheSm2CurvesParameters)
{
    // An SM2 key whose EC key was moved to the example curve still reaches our method.
    Pkey key = NewLegacyKey();
    EC_KEY* ec = EVP_PKEY_get1_EC_KEY(key.get());
    EC_GROUP* example = SM_EC_GROUP_new_by_curve_name(kNidSm2TestCurve);
    Bn d(BN_new()), x(BN_new()), y(BN_new());
    ASSERT_EQ(1, _SM2_generate_key(d.get(), x.get(), y.get(), kNidSm2TestCurve));
    ASSERT_EQ(1, EC_KEY_set_group(ec, example));
    ASSERT_EQ(1, EC_KEY_set_private_key(ec, d.get()));
    ASSERT_EQ(1, EC_KEY_set_public_key_affine_coordinates(ec, x.get(), y.get()));
    EC_GROUP_free(example);
    EC_KEY_free(ec);
    ASSERT_EQ(EVP_PKEY_SM2, EVP_PKEY_get_id(key.get()));

    const Bytes digest = Pattern(32, 1);
    Bytes out;
    EXPECT_EQ(-1, Apply(key.get(), Op::Sign, digest, &out));
    EXPECT_EQ(-1, Verify(key.get(), Pattern(72, 2), digest));
    EXPECT_EQ(-1, Apply(key.get(), Op::Encrypt, digest, &out));
    EXPECT_EQ(-1, Apply(key.get(), Op::Decrypt, Pattern(150, 3), &out));
}

TEST_F(SM2KeyMethod, DigestControlTakesSm3AndTheStockEcDigestsOnly)
{
    struct Case
    {
        const EVP_MD* md;
        int rc;
    };
    const Case kCases[] = {{SM_EVP_sm3(), 1}, {EVP_sha256(), 1}, {EVP_sha1(), 1}, {EVP_md5(), 0}};
    Ctx ctx = NewCtx(m_key.pkey.get(), Op::Sign);
    for (const Case& c : kCases) {
        SCOPED_TRACE(EVP_MD_get0_name(c.md));
        EXPECT_EQ(c.rc, EVP_PKEY_CTX_set_signature_md(ctx.get(), c.md));
        const auto errors = DrainErrors();
        EXPECT_EQ(c.rc == 0, std::find(errors.begin(), errors.end(),
                                       std::make_pair(SM2_KEY_ERR_LIB_EC, SM2_KEY_R_INVALID_DIGEST_TYPE)) !=
                                 errors.end());
    }
}

// A token engine's ECDSA signing, which for an SM2 key returns an SM2 signature of the digest.
int g_engineSignCalls = 0;
int EngineSign(int, const unsigned char* dgst, int dlen, unsigned char* sig, unsigned int* siglen, const BIGNUM*,
               const BIGNUM*, EC_KEY* eckey)
{
    ++g_engineSignCalls;
    Bn e(BN_bin2bn(dgst, dlen, nullptr));
    ECDSA_SIG* s = _SM2_sign(e.get(), EC_KEY_get0_private_key(eckey), kNidSm2);
    const int len = s != nullptr ? i2d_ECDSA_SIG(s, &sig) : 0;
    ECDSA_SIG_free(s);
    *siglen = static_cast<unsigned int>(len);
    return len > 0 ? 1 : 0;
}

int EngineDecrypt(EVP_PKEY_CTX*, unsigned char* out, size_t* outlen, const unsigned char*, size_t)
{
    if (out != nullptr)
        memcpy(out, "token", 5);
    *outlen = 5;
    return 1;
}

TEST_F(SM2KeyMethod, TheKeysEngineDecidesTheRoute)
{
    struct Case
    {
        const char* engineId;
        int engineSignCalls;   // 1: the engine signed (stock ECDSA route)
        int verify;            // 1: verified as SM2; 0: checked as ECDSA
    };
    const Case kCases[] = {{"pkcs11", 1, 1}, {"openssl ecdsa method", 0, 1}, {"cavium", 0, 1}, {"other hsm", 1, 0}};
    EC_KEY_METHOD* method = EC_KEY_METHOD_new(EC_KEY_get_default_method());
    int (*setup)(EC_KEY*, BN_CTX*, BIGNUM**, BIGNUM**) = nullptr;
    ECDSA_SIG* (*signSig)(const unsigned char*, int, const BIGNUM*, const BIGNUM*, EC_KEY*) = nullptr;
    EC_KEY_METHOD_get_sign(EC_KEY_get_default_method(), nullptr, &setup, &signSig);
    EC_KEY_METHOD_set_sign(method, EngineSign, setup, signSig);
    const Bytes digest = Pattern(32, 9);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.engineId);
        ENGINE* e = ENGINE_new();
        ASSERT_EQ(1, ENGINE_set_id(e, c.engineId));
        ASSERT_EQ(1, ENGINE_set_name(e, c.engineId));
        ASSERT_EQ(1, ENGINE_set_EC(e, method));
        ASSERT_EQ(1, ENGINE_set_pkey_decrypt_function(e, EngineDecrypt));
        EC_KEY* ec = EC_KEY_new_method(e);
        ASSERT_NE(nullptr, ec);
        Pkey key(EVP_PKEY_new());
        EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_sm2);
        ASSERT_EQ(1, EC_KEY_set_group(ec, group));
        EC_GROUP_free(group);
        ASSERT_EQ(1, EC_KEY_generate_key(ec));
        ASSERT_EQ(1, EVP_PKEY_assign_EC_KEY(key.get(), ec));

        g_engineSignCalls = 0;
        Bytes sig, pt;
        ASSERT_EQ(1, Apply(key.get(), Op::Sign, digest, &sig));
        EXPECT_EQ(c.engineSignCalls, g_engineSignCalls);
        EXPECT_EQ(c.verify, Verify(key.get(), sig, digest));
        // The engine's decryption hook takes the whole call.
        ASSERT_EQ(1, Apply(key.get(), Op::Decrypt, Pattern(120, 4), &pt));
        EXPECT_EQ("token", std::string(pt.begin(), pt.end()));
        key.reset();
        ENGINE_free(e);
    }
    EC_KEY_METHOD_free(method);
    ERR_clear_error();
}

}  // namespace
