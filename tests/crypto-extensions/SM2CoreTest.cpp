// SM2 core: the standard's worked examples on its example curve, the argument and range checks with
// their error-queue entries, ciphertext tampering, KDF lengths and number conversions.
#include "SM2Core.h"
#include "SM2Detail.h"
#include "SM2TestSupport.h"
#include "SM3Digest.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/ec.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace sm2test;
using testutil::BytesToHex;
using testutil::HexToBytes;

// The worked examples of the standard (example curve).
const char* const kSignId = "ALICE123@YAHOO.COM";
const char* const kSignMsg = "message digest";
const char* const kDA = "128B2FA8 BD433C6C 068C8D80 3DFF7979 2A519A55 171B1B65 0C23661D 15897263";
const char* const kXA = "0AE4C779 8AA0F119 471BEE11 825BE462 02BB79E2 A5844495 E97C04FF 4DF2548A";
const char* const kYA = "7C0240F8 8F1CD4E1 6352A73C 17B7F16F 07353E53 A176D684 A9FE0C6B B798E857";
const char* const kZA = "f4a38489e32b45b6f876e3ac2168ca392362dc8f23459c1d1146fc3dbfb7bc9a";
const char* const kE = "b524f552cd82b8b028476e005c377fb19a87e6fc682d48bb5d42e3d9b9effe76";
const char* const kSignK = "6CB28D99 385C175C 94F94E93 4817663F C176D925 DD72B727 260DBAAE 1FB2F96F";
const char* const kR = "40F1EC59F793D9F49E09DCEF49130D4194F79FB1EED2CAA55BACDB49C4E755D1";
const char* const kS = "6FC6DAC32C5D5CF10C77DFB20F7C2EB667A457872FB09EC56327A67EC7DEEBE7";

const char* const kEncMsg = "encryption standard";
const char* const kDB = "1649AB77 A00637BD 5E2EFE28 3FBF3535 34AA7F7C B89463F2 08DDBC29 20BB0DA0";
const char* const kXB = "435B39CC A8F3B508 C1488AFC 67BE491A 0F7BA07E 581A0E48 49A5CF70 628A7E0A";
const char* const kYB = "75DDBA78 F15FEECB 4C7895E2 C1CDF5FE 01DEBB2C DBADF453 99CCF77B BA076A42";
const char* const kEncK = "4C62EEFD 6ECFC2B9 5B92FD6C 3D957514 8AFA1742 5546D490 18E5388D 49DD7B4F";
const char* const kCiphertext =
    "04"
    "245C26FB68B1DDDDB12C4B6BF9F2B6D5FE60A383B0D18D1C4144ABF17F6252E7"
    "76CB9264C2A7E88E52B19903FDC47378F605E36811F5C07423A24B84400F01B8"
    "650053A89B41C418B0C3AAD00D886C00286467"
    "9C3D7360C30156FAB7C80A0276712DA9D8094A634B766D3A285E07480653426D";

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string BnHex(const BIGNUM* bn)
{
    char* s = BN_bn2hex(bn);
    std::string out(s);
    OPENSSL_free(s);
    return out;
}

class SM2Core : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        ERR_clear_error();
    }
    void TearDown() override { ERR_clear_error(); }

    // A fresh key pair on the SM2 curve.
    void NewKey(Bn* d, Bn* x, Bn* y, int nid = kNidSm2)
    {
        d->reset(BN_new());
        x->reset(BN_new());
        y->reset(BN_new());
        ASSERT_EQ(1, _SM2_generate_key(d->get(), x->get(), y->get(), nid));
    }

    Bytes ExampleZ()
    {
        EC_GROUP* g = SM_EC_GROUP_new_by_curve_name(kNidSm2TestCurve);
        EXPECT_NE(nullptr, g);
        BIGNUM *a = BN_new(), *b = BN_new(), *gx = BN_new(), *gy = BN_new();
        EC_GROUP_get_curve(g, nullptr, a, b, nullptr);
        EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), gx, gy, nullptr);
        Bytes z(32);
        EXPECT_EQ(1, _SM2_CalculateZValue(reinterpret_cast<const unsigned char*>(kSignId),
                                          static_cast<int>(strlen(kSignId)), a, b, gx, gy, HexBn(kXA).get(),
                                          HexBn(kYA).get(), z.data()));
        for (BIGNUM* bn : {a, b, gx, gy})
            BN_free(bn);
        EC_GROUP_free(g);
        return z;
    }
};

TEST_F(SM2Core, StandardSignatureExample)
{
    // The example public key belongs to the example private key and lies on the example curve.
    EXPECT_EQ(1, _SM2_point_is_on_curve(HexBn(kXA).get(), HexBn(kYA).get(), kNidSm2TestCurve));
    EXPECT_EQ(0, _SM2_point_is_on_curve(HexBn(kXA).get(), HexBn(kYA).get(), kNidSm2));

    const Bytes z = ExampleZ();
    EXPECT_EQ(kZA, BytesToHex(z.data(), z.size()));

    Bytes zm(z);
    zm.insert(zm.end(), kSignMsg, kSignMsg + strlen(kSignMsg));
    unsigned char e[32];
    SM3(zm.data(), zm.size(), e);
    EXPECT_EQ(kE, BytesToHex(e, 32));

    Bn eBn(BN_bin2bn(e, 32, nullptr));
    ECDSA_SIG* sig = sm2detail::SignWithNonce(eBn.get(), HexBn(kDA).get(), kNidSm2TestCurve, HexBn(kSignK).get());
    ASSERT_NE(nullptr, sig);
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    EXPECT_EQ(kR, BnHex(r));
    EXPECT_EQ(kS, BnHex(s));
    EXPECT_EQ(1, _SM2_verify(sig, HexBn(kXA).get(), HexBn(kYA).get(), eBn.get(), kNidSm2TestCurve));
    ECDSA_SIG_free(sig);

    // Signing on the example curve with a random nonce works as well.
    sig = _SM2_sign(eBn.get(), HexBn(kDA).get(), kNidSm2TestCurve);
    ASSERT_NE(nullptr, sig);
    EXPECT_EQ(1, _SM2_verify(sig, HexBn(kXA).get(), HexBn(kYA).get(), eBn.get(), kNidSm2TestCurve));
    ECDSA_SIG_free(sig);
    EXPECT_TRUE(DrainErrors().empty());
}

TEST_F(SM2Core, StandardEncryptionExample)
{
    Bytes out(SM2_CIPHERTEXT_OVERHEAD + strlen(kEncMsg));
    ASSERT_EQ(1, sm2detail::EncryptWithNonce(kNidSm2TestCurve, reinterpret_cast<const unsigned char*>(kEncMsg),
                                             static_cast<unsigned int>(strlen(kEncMsg)), HexBn(kXB).get(),
                                             HexBn(kYB).get(), HexBn(kEncK).get(), out.data()));
    EXPECT_EQ(Lower(kCiphertext), BytesToHex(out.data(), out.size()));

    const Bytes ct = HexToBytes(kCiphertext);
    Bytes plain(ct.size() - SM2_CIPHERTEXT_OVERHEAD);
    ASSERT_EQ(1, _SM2_decrypt(kNidSm2TestCurve, ct.data(), static_cast<unsigned int>(ct.size()), HexBn(kDB).get(),
                              plain.data()));
    EXPECT_EQ(kEncMsg, std::string(plain.begin(), plain.end()));
    EXPECT_TRUE(DrainErrors().empty());
}

TEST_F(SM2Core, SignaturesVerifyAndAnyChangedBitIsRejected)
{
    Bn d, x, y;
    NewKey(&d, &x, &y);
    const Bytes eBytes = HexToBytes("00112233445566778899aabbccddeeff0123456789abcdef0123456789abcdef");
    Bn e = BytesBn(eBytes);
    ECDSA_SIG* sig = _SM2_sign(e.get(), d.get(), kNidSm2);
    ASSERT_NE(nullptr, sig);
    ASSERT_EQ(1, _SM2_verify(sig, x.get(), y.get(), e.get(), kNidSm2));
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);

    struct Case
    {
        const char* name;
        int which;  // 0 e, 1 r, 2 s
        int bit;
    };
    const Case kCases[] = {{"e bit 0", 0, 0}, {"e bit 200", 0, 200}, {"r bit 5", 1, 5}, {"s bit 77", 2, 77}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bn e2(BN_dup(e.get())), r2(BN_dup(r)), s2(BN_dup(s));
        BIGNUM* target = c.which == 0 ? e2.get() : c.which == 1 ? r2.get() : s2.get();
        if (BN_is_bit_set(target, c.bit))
            BN_clear_bit(target, c.bit);
        else
            BN_set_bit(target, c.bit);
        ECDSA_SIG* changed = ECDSA_SIG_new();
        ECDSA_SIG_set0(changed, r2.release(), s2.release());
        ERR_clear_error();
        EXPECT_EQ(0, _SM2_verify(changed, x.get(), y.get(), e2.get(), kNidSm2));
        EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 16}}), DrainErrors());
        ECDSA_SIG_free(changed);
    }
    ECDSA_SIG_free(sig);

    // The byte forms agree with the number forms.
    unsigned char d32[32], x32[32], y32[32], r32[32], s32[32];
    ASSERT_EQ(1, _SM2_generate_keypair(d32, x32, y32));
    ASSERT_EQ(1, _SM2_sign_ex(eBytes.data(), d32, r32, s32));
    EXPECT_EQ(1, _SM2_verify_ex(r32, s32, x32, y32, eBytes.data()));
    Bytes otherE(eBytes);
    otherE[31] ^= 1;
    EXPECT_EQ(0, _SM2_verify_ex(r32, s32, x32, y32, otherE.data()));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 16}}), DrainErrors());
}

TEST_F(SM2Core, OutOfRangeSignaturesAndWrongCurvesAreRefused)
{
    Bn d, x, y;
    NewKey(&d, &x, &y);
    Bn e = HexBn("1234567890ABCDEF");
    ECDSA_SIG* good = _SM2_sign(e.get(), d.get(), kNidSm2);
    ASSERT_NE(nullptr, good);
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(good, &r, &s);
    EC_GROUP* group = EC_GROUP_new_by_curve_name(kNidSm2);
    const BIGNUM* n = EC_GROUP_get0_order(group);

    struct Case
    {
        const char* name;
        Bn r, s;
    };
    Case cases[] = {
        {"r = 0", Bn(BN_new()), Bn(BN_dup(s))},
        {"s = 0", Bn(BN_dup(r)), Bn(BN_new())},
        {"r = n", Bn(BN_dup(n)), Bn(BN_dup(s))},
        {"s = n", Bn(BN_dup(r)), Bn(BN_dup(n))},
        {"r + s = n", Bn(BN_dup(r)), Bn(BN_new())},
    };
    BN_sub(cases[4].s.get(), n, r);
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ECDSA_SIG* sig = ECDSA_SIG_new();
        ECDSA_SIG_set0(sig, c.r.release(), c.s.release());
        EXPECT_EQ(0, _SM2_verify(sig, x.get(), y.get(), e.get(), kNidSm2));
        EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 16}}), DrainErrors());
        ECDSA_SIG_free(sig);
    }

    // Only the two SM2 curves sign and verify; missing arguments are refused the same way.
    EXPECT_EQ(nullptr, _SM2_sign(e.get(), d.get(), NID_X9_62_prime256v1));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 67}}), DrainErrors());
    EXPECT_EQ(nullptr, _SM2_sign(nullptr, d.get(), kNidSm2));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 67}}), DrainErrors());
    EXPECT_EQ(nullptr, _SM2_sign(e.get(), d.get(), NID_undef));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 67}}), DrainErrors());
    EXPECT_EQ(0, _SM2_verify(good, x.get(), y.get(), e.get(), NID_X9_62_prime256v1));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 67}}), DrainErrors());
    EXPECT_EQ(0, _SM2_verify(nullptr, x.get(), y.get(), e.get(), kNidSm2));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 67}}), DrainErrors());

    // A public point off the curve cannot verify anything.
    Bn yOff(BN_dup(y.get()));
    BN_add_word(yOff.get(), 1);
    EXPECT_EQ(0, _SM2_verify(good, x.get(), yOff.get(), e.get(), kNidSm2));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 3}}), DrainErrors());

    // A given nonce that yields no valid signature is not silently replaced.
    EXPECT_EQ(nullptr, sm2detail::SignWithNonce(e.get(), d.get(), kNidSm2, n));
    ECDSA_SIG_free(good);
    EC_GROUP_free(group);
    DrainErrors();
}

// Hazards: the library reduces a public coordinate modulo p, so a signature verified for x + p in
// place of x; d = 0 and d = n signed as the key 0, whose s gives the nonce away; a user ID of 8192
// bytes or more wrapped ENTL's 16 bits into the hash of another ID length.
TEST_F(SM2Core, InputsOutsideTheirRangesAreRefused)
{
    Bn d, x, y;
    NewKey(&d, &x, &y);
    Bn e = HexBn("1234567890ABCDEF");
    ECDSA_SIG* sig = _SM2_sign(e.get(), d.get(), kNidSm2);
    ASSERT_NE(nullptr, sig);
    EC_GROUP* group = EC_GROUP_new_by_curve_name(kNidSm2);
    ASSERT_NE(nullptr, group);
    Bn p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
    ASSERT_EQ(1, EC_GROUP_get_curve(group, p.get(), a.get(), b.get(), nullptr));
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx.get(), gy.get(), nullptr));
    const BIGNUM* n = EC_GROUP_get0_order(group);
    auto plus = [](const BIGNUM* u, const BIGNUM* v, bool subtract = false) {
        Bn out(BN_new());
        (subtract ? BN_sub : BN_add)(out.get(), u, v);
        return out;
    };

    // Public coordinates lie in [0, p); the same point written otherwise verifies nothing.
    EXPECT_EQ(1, _SM2_verify(sig, x.get(), y.get(), e.get(), kNidSm2));
    struct PointCase
    {
        const char* name;
        Bn px, py;
    };
    PointCase points[] = {
        {"x + p", plus(x.get(), p.get()), Bn(BN_dup(y.get()))},
        {"y + p", Bn(BN_dup(x.get())), plus(y.get(), p.get())},
        {"x - p", plus(x.get(), p.get(), true), Bn(BN_dup(y.get()))},
    };
    for (const PointCase& c : points) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(0, _SM2_verify(sig, c.px.get(), c.py.get(), e.get(), kNidSm2));
        EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 3}}), DrainErrors());
    }

    // Private keys: only [1, n - 2] signs; a signature is checked against the library's own [d]G.
    auto word = [](unsigned long w, bool negative = false) {
        Bn out(BN_new());
        BN_set_word(out.get(), w);
        BN_set_negative(out.get(), negative ? 1 : 0);
        return out;
    };
    struct KeyCase
    {
        const char* name;
        Bn d;
        bool signs;
    };
    const KeyCase keys[] = {
        {"0", word(0), false},
        {"-1", word(1, true), false},
        {"n", Bn(BN_dup(n)), false},
        {"n + 1", plus(n, word(1).get()), false},
        {"n - 1 (1 + d has no inverse)", plus(n, word(1).get(), true), false},
        {"1", word(1), true},
        {"n - 2", plus(n, word(2).get(), true), true},
    };
    for (const KeyCase& c : keys) {
        SCOPED_TRACE(c.name);
        ECDSA_SIG* made = _SM2_sign(e.get(), c.d.get(), kNidSm2);
        if (!c.signs) {
            EXPECT_EQ(nullptr, made);
            EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 67}}), DrainErrors());
            ECDSA_SIG_free(made);
            continue;
        }
        ASSERT_NE(nullptr, made);
        EC_POINT* P = EC_POINT_new(group);
        Bn px(BN_new()), py(BN_new());
        ASSERT_EQ(1, EC_POINT_mul(group, P, c.d.get(), nullptr, nullptr, nullptr));
        ASSERT_EQ(1, EC_POINT_get_affine_coordinates(group, P, px.get(), py.get(), nullptr));
        EXPECT_EQ(1, _SM2_verify(made, px.get(), py.get(), e.get(), kNidSm2));
        EC_POINT_free(P);
        ECDSA_SIG_free(made);
    }
    // The byte form refuses the key 0 as well, with both outputs zero.
    const Bytes zero(32, 0), e32 = Bn32(e.get());
    Bytes r32(32, 0xAA), s32(32, 0xAA);
    EXPECT_EQ(0, _SM2_sign_ex(e32.data(), zero.data(), r32.data(), s32.data()));
    EXPECT_EQ(zero, r32);
    EXPECT_EQ(zero, s32);
    DrainErrors();

    // User IDs: 8191 bytes is the longest whose bit length fits ENTL's two bytes.
    const Bytes id(8192, 'A');
    Bytes z(32, 0x5A);
    EXPECT_EQ(1, _SM2_CalculateZValue(id.data(), SM2_MAX_USER_ID_LENGTH, a.get(), b.get(), gx.get(), gy.get(),
                                      x.get(), y.get(), z.data()));
    EXPECT_NE(Bytes(32, 0x5A), z);
    z.assign(32, 0x5A);
    EXPECT_EQ(0, _SM2_CalculateZValue(id.data(), 8192, a.get(), b.get(), gx.get(), gy.get(), x.get(), y.get(),
                                      z.data()));
    EXPECT_EQ(Bytes(32, 0x5A), z);

    ECDSA_SIG_free(sig);
    EC_GROUP_free(group);
}

TEST_F(SM2Core, EncryptionRoundTripsAndLengthLimits)
{
    Bn d, x, y;
    NewKey(&d, &x, &y);
    for (size_t len : {1, 2, 31, 32, 33, 64, 100, 1000}) {
        SCOPED_TRACE(len);
        Bytes msg(len);
        for (size_t i = 0; i < len; ++i)
            msg[i] = static_cast<unsigned char>(i * 7 + len);
        Bytes ct(SM2_CIPHERTEXT_OVERHEAD + len);
        ASSERT_EQ(1, _SM2_encrypt(kNidSm2, msg.data(), static_cast<unsigned int>(len), x.get(), y.get(), ct.data()));
        EXPECT_EQ(0x04, ct[0]);
        Bytes back(len);
        ASSERT_EQ(1, _SM2_decrypt(kNidSm2, ct.data(), static_cast<unsigned int>(ct.size()), d.get(), back.data()));
        EXPECT_EQ(msg, back);
    }

    // In place: the message may sit where C2 goes, and C2 may be decrypted where it lies.
    Bytes buf(SM2_CIPHERTEXT_OVERHEAD + 5);
    memcpy(buf.data() + 65, "hello", 5);
    ASSERT_EQ(1, _SM2_encrypt(kNidSm2, buf.data() + 65, 5, x.get(), y.get(), buf.data()));
    ASSERT_EQ(1, _SM2_decrypt(kNidSm2, buf.data(), static_cast<unsigned int>(buf.size()), d.get(), buf.data() + 65));
    EXPECT_EQ("hello", std::string(buf.begin() + 65, buf.begin() + 70));

    unsigned char one = 0x5A;
    Bytes out(SM2_CIPHERTEXT_OVERHEAD + 1);
    EXPECT_EQ(0, _SM2_encrypt(kNidSm2, &one, 0, x.get(), y.get(), out.data()));
    Bytes ct97(97, 0x04), plain(8, 0xAA);
    EXPECT_EQ(0, _SM2_decrypt(kNidSm2, ct97.data(), 97, d.get(), plain.data()));
    EXPECT_EQ(0, _SM2_decrypt(kNidSm2, ct97.data(), 0, d.get(), plain.data()));
    EXPECT_EQ(Bytes(8, 0xAA), plain) << "a refused ciphertext writes nothing";

    // Encryption to a point off the curve is refused.
    Bn yOff(BN_dup(y.get()));
    BN_add_word(yOff.get(), 1);
    EXPECT_EQ(0, _SM2_encrypt(kNidSm2, &one, 1, x.get(), yOff.get(), out.data()));
    EXPECT_TRUE(DrainErrors().empty()) << "encryption and decryption report nothing on the queue";
}

TEST_F(SM2Core, TamperedCiphertextsFailAndLeaveNoPlaintext)
{
    Bn d, x, y;
    NewKey(&d, &x, &y);
    const std::string secret = "attack at dawn, bring the SM4 key";
    Bytes ct(SM2_CIPHERTEXT_OVERHEAD + secret.size());
    ASSERT_EQ(1, _SM2_encrypt(kNidSm2, reinterpret_cast<const unsigned char*>(secret.data()),
                              static_cast<unsigned int>(secret.size()), x.get(), y.get(), ct.data()));

    struct Case
    {
        const char* name;
        size_t offset;
        unsigned char mask;
    };
    const size_t c2 = 65, c3 = 65 + secret.size();
    const Case kCases[] = {
        {"first byte not 04", 0, 0x06},       {"C1 off the curve", 64, 0x01}, {"C1 x off the curve", 1, 0x80},
        {"first byte of C2", c2, 0x01},       {"last byte of C2", c3 - 1, 0x80},
        {"first byte of C3", c3, 0x01},       {"last byte of C3", ct.size() - 1, 0x40},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes bad(ct);
        bad[c.offset] ^= c.mask;
        Bytes out(secret.size(), 0);
        EXPECT_EQ(0, _SM2_decrypt(kNidSm2, bad.data(), static_cast<unsigned int>(bad.size()), d.get(), out.data()));
        // The hazard: a changed check value used to leave the decrypted, unchecked message in the
        // caller's buffer, where a caller ignoring the result would use it.
        EXPECT_EQ(Bytes(secret.size(), 0), out);
    }
    // A wrong private key decrypts nothing either.
    Bn d2, x2, y2;
    NewKey(&d2, &x2, &y2);
    Bytes out(secret.size(), 0);
    EXPECT_EQ(0, _SM2_decrypt(kNidSm2, ct.data(), static_cast<unsigned int>(ct.size()), d2.get(), out.data()));
    EXPECT_EQ(Bytes(secret.size(), 0), out);
    EXPECT_TRUE(DrainErrors().empty());
}

TEST_F(SM2Core, KeyDerivationLengths)
{
    const Bytes z = HexToBytes("0102030405060708090a0b0c0d0e0f10");
    auto block = [&](unsigned char counter) {
        Bytes in(z);
        in.insert(in.end(), {0, 0, 0, counter});
        unsigned char md[32];
        unsigned int mdLen = 0;
        EVP_MD* sm3 = EVP_MD_fetch(nullptr, "SM3", nullptr);
        EVP_Digest(in.data(), in.size(), md, &mdLen, sm3, nullptr);
        EVP_MD_free(sm3);
        return Bytes(md, md + 32);
    };
    Bytes expected = block(1);
    const Bytes second = block(2);
    expected.insert(expected.end(), second.begin(), second.end());

    struct Case
    {
        size_t klen;
        int ok;
        size_t bytes;
    };
    const Case kCases[] = {{0, 0, 0}, {7, 1, 0}, {12, 1, 1}, {256, 1, 32}, {263, 1, 32}, {264, 1, 33}, {512, 1, 64}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.klen);
        Bytes out(80, 0xEE);
        EXPECT_EQ(c.ok, _SM2_KDF(z.data(), z.size(), c.klen, out.data()));
        EXPECT_EQ(Bytes(expected.begin(), expected.begin() + c.bytes), Bytes(out.begin(), out.begin() + c.bytes));
        EXPECT_EQ(Bytes(80 - c.bytes, 0xEE), Bytes(out.begin() + c.bytes, out.end())) << "wrote past klen / 8";
    }
}

TEST_F(SM2Core, NumberConversions)
{
    unsigned char out[32];
    memset(out, 0xCC, sizeof(out));
    Bn big = HexBn("01" + std::string(64, 'F'));  // 33 bytes
    EXPECT_EQ(0, _SM2_GetBNBytes(big.get(), out));
    EXPECT_EQ(std::string(64, '0'), BytesToHex(out, 32));

    Bn one = HexBn("1");
    EXPECT_EQ(1, _SM2_GetBNBytes(one.get(), out));
    EXPECT_EQ(std::string(62, '0') + "01", BytesToHex(out, 32));

    Bytes forty(40);
    for (size_t i = 0; i < forty.size(); ++i)
        forty[i] = static_cast<unsigned char>(i + 1);
    Bn bn(BN_new());
    ASSERT_EQ(1, _SM2_Bytes2BN(forty.data(), 40, bn.get()));
    EXPECT_EQ(BytesToHex(forty.data(), 32), Lower(BnHex(bn.get())));
    ASSERT_EQ(1, _SM2_Bytes2BN(forty.data(), 3, bn.get()));
    EXPECT_EQ("010203", BnHex(bn.get()));
    EXPECT_EQ(0, _SM2_Bytes2BN(nullptr, 3, bn.get()));

    const unsigned char zeros[4] = {0, 0, 0, 0}, some[4] = {0, 0, 1, 0};
    EXPECT_EQ(1, _SM2_IsAllZero(zeros, 4));
    EXPECT_EQ(0, _SM2_IsAllZero(some, 4));
    EXPECT_EQ(1, _SM2_IsAllZero(some, 2));
    EXPECT_EQ(1, _SM2_IsAllZero(some, 0));
    EXPECT_EQ(1, _SM2_IsAllZero(nullptr, -1));
}

TEST_F(SM2Core, GeneratedKeysAndTheDefaultZValue)
{
    Bn d, x, y;
    NewKey(&d, &x, &y);
    EXPECT_EQ(1, _SM2_point_is_on_curve(x.get(), y.get(), kNidSm2));

    // The public point is [d]G, computed here by the library directly.
    EC_GROUP* g = EC_GROUP_new_by_curve_name(kNidSm2);
    EC_POINT* P = EC_POINT_new(g);
    BIGNUM *px = BN_new(), *py = BN_new(), *a = BN_new(), *b = BN_new(), *gx = BN_new(), *gy = BN_new();
    ASSERT_EQ(1, EC_POINT_mul(g, P, d.get(), nullptr, nullptr, nullptr));
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(g, P, px, py, nullptr));
    EXPECT_EQ(0, BN_cmp(px, x.get()));
    EXPECT_EQ(0, BN_cmp(py, y.get()));

    // The default Z is the general Z with the default ID and the SM2 curve's own parameters.
    ASSERT_EQ(1, EC_GROUP_get_curve(g, nullptr, a, b, nullptr));
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), gx, gy, nullptr));
    unsigned char z1[32], z2[32];
    ASSERT_EQ(1, _SM2_CalculateZValue(SM2_DEFAULT_USER_ID, 16, a, b, gx, gy, x.get(), y.get(), z1));
    const Bytes x32 = Bn32(x.get()), y32 = Bn32(y.get());
    ASSERT_EQ(1, _SM2_CalculateDefaultZValue(x32.data(), y32.data(), z2));
    EXPECT_EQ(BytesToHex(z1, 32), BytesToHex(z2, 32));

    // Numbers longer than 32 bytes have no Z.
    Bn big = HexBn("01" + std::string(64, '0'));
    EXPECT_EQ(0, _SM2_CalculateZValue(SM2_DEFAULT_USER_ID, 16, a, b, gx, gy, big.get(), y.get(), z1));
    EXPECT_EQ(0, EVP_PKEY_CalculateZValue_SM2(nullptr, z1));

    for (BIGNUM* bn : {px, py, a, b, gx, gy})
        BN_free(bn);
    EC_POINT_free(P);
    EC_GROUP_free(g);
}

}  // namespace
