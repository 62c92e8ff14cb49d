// SM2 key exchange: both roles agree on K, and K equals an independent computation with the library's
// own point and number arithmetic and its X9.63 KDF over its own SM3, on both curves. Peer points off
// the curve are refused, and memory the library releases holds none of the exchange's secrets.
#include "SM2Core.h"
#include "SM2KeyExchange.h"
#include "SM2TestSupport.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace sm2test;
using Errors = std::vector<std::pair<int, int>>;

// Every block the library frees is searched for the armed patterns first. The allocator can only be
// replaced before the library's first allocation, hence at start-up.
const std::vector<Bytes>* g_patterns = nullptr;
int g_hits = 0;

void* WatchMalloc(size_t n, const char*, int)
{
    size_t* h = static_cast<size_t*>(malloc(2 * sizeof(size_t) + n));  // the size, and 16-byte alignment
    return h != nullptr ? (*h = n, h + 2) : nullptr;
}
void WatchFree(void* p, const char*, int)
{
    size_t* h = p != nullptr ? static_cast<size_t*>(p) - 2 : nullptr;
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; h != nullptr && g_patterns != nullptr && i < g_patterns->size(); ++i)
        g_hits += std::search(b, b + *h, (*g_patterns)[i].begin(), (*g_patterns)[i].end()) != b + *h;
    free(h);
}
void* WatchRealloc(void* p, size_t n, const char* file, int line)  // always moves: the old block is released
{
    void* q = WatchMalloc(n, file, line);
    if (q != nullptr && p != nullptr) {
        memcpy(q, p, std::min(n, *(static_cast<size_t*>(p) - 2)));
        WatchFree(p, file, line);
    }
    return q;
}
const bool g_watching = CRYPTO_set_mem_functions(WatchMalloc, WatchRealloc, WatchFree) == 1;

// Runs f with the patterns armed; returns the number of released blocks that held one.
template <typename F>
int ReleasesHolding(const std::vector<Bytes>& patterns, F f)
{
    g_hits = 0;
    g_patterns = &patterns;
    f();
    g_patterns = nullptr;
    return g_hits;
}

// What a number leaves in memory: its words (little-endian here) and its 32-byte big-endian form.
void AddPatterns(const BIGNUM* bn, std::vector<Bytes>* patterns)
{
    Bytes le(BN_num_bytes(bn));
    BN_bn2lebinpad(bn, le.data(), static_cast<int>(le.size()));
    patterns->push_back(le);
    patterns->push_back(Bn32(bn));
}

Bytes X963KdfSm3(const Bytes& z, size_t bytes)
{
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "X963KDF", nullptr);
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    char digest[] = "SM3";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(z.data()), z.size()),
        OSSL_PARAM_construct_end()};
    Bytes out(bytes);
    EXPECT_EQ(1, EVP_KDF_derive(ctx, out.data(), out.size(), params));
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(kdf);
    return out;
}

struct Party
{
    Bn d, x, y, r, rx, ry;  // static and temporary key
    Bytes z = Bytes(32);
};

struct Reference
{
    Bn t, xV, yV;
    Bytes K;
};

// The initiator a's view in the standard's terms: w = ceil(ceil(log2 n) / 2) - 1, xbar = 2^w + (x mod 2^w),
// t = (d + xbar1 r) mod n, V = [t](P_B + [xbar2]R_B), K = KDF(xV || yV || Z_A || Z_B, klen).
Reference ComputeReference(const EC_GROUP* g, const Party& a, const Party& b, size_t klen)
{
    BN_CTX* ctx = BN_CTX_new();
    const BIGNUM* n = EC_GROUP_get0_order(g);
    Bn pow(BN_new()), xbar1(BN_new()), xbar2(BN_new());
    BN_zero(pow.get());
    BN_set_bit(pow.get(), (BN_num_bits(n) + 1) / 2 - 1);
    BN_nnmod(xbar1.get(), a.rx.get(), pow.get(), ctx);
    BN_add(xbar1.get(), xbar1.get(), pow.get());
    BN_nnmod(xbar2.get(), b.rx.get(), pow.get(), ctx);
    BN_add(xbar2.get(), xbar2.get(), pow.get());
    Reference ref{Bn(BN_new()), Bn(BN_new()), Bn(BN_new()), {}};
    BN_mod_mul(ref.t.get(), xbar1.get(), a.r.get(), n, ctx);
    BN_mod_add(ref.t.get(), ref.t.get(), a.d.get(), n, ctx);

    EC_POINT *PB = EC_POINT_new(g), *RB = EC_POINT_new(g), *V = EC_POINT_new(g);
    EXPECT_TRUE(EC_POINT_set_affine_coordinates(g, PB, b.x.get(), b.y.get(), ctx) &&
                EC_POINT_set_affine_coordinates(g, RB, b.rx.get(), b.ry.get(), ctx) &&
                EC_POINT_mul(g, V, nullptr, RB, xbar2.get(), ctx) && EC_POINT_add(g, V, PB, V, ctx) &&
                EC_POINT_mul(g, V, nullptr, V, ref.t.get(), ctx) &&
                EC_POINT_get_affine_coordinates(g, V, ref.xV.get(), ref.yV.get(), ctx));
    for (EC_POINT* p : {PB, RB, V})
        EC_POINT_free(p);
    BN_CTX_free(ctx);
    Bytes z = Bn32(ref.xV.get()), yV = Bn32(ref.yV.get());
    z.insert(z.end(), yV.begin(), yV.end());
    z.insert(z.end(), a.z.begin(), a.z.end());
    z.insert(z.end(), b.z.begin(), b.z.end());
    ref.K = X963KdfSm3(z, klen / 8);
    return ref;
}

class SM2KeyExchange : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_watching) << "the allocation watch must be in place before the library allocates";
        ASSERT_EQ(1, SM_crypto_init());
        ERR_clear_error();
    }
    void TearDown() override { EXPECT_TRUE(DrainErrors().empty()); }

    // Keys from our generators; the temporary point is checked against the library's [r]G.
    static Party NewParty(int nid, const EC_GROUP* g, const std::string& id)
    {
        Party p{Bn(BN_new()), Bn(BN_new()), Bn(BN_new()), Bn(BN_new()), Bn(BN_new()), Bn(BN_new())};
        EXPECT_EQ(1, _SM2_generate_key(p.d.get(), p.x.get(), p.y.get(), nid));
        EXPECT_EQ(1, _SM2_generate_temp_keypair(p.r.get(), p.rx.get(), p.ry.get(), nid));
        EC_POINT* R = EC_POINT_new(g);
        Bn rx(BN_new()), ry(BN_new());
        EXPECT_TRUE(EC_POINT_mul(g, R, p.r.get(), nullptr, nullptr, nullptr) &&
                    EC_POINT_get_affine_coordinates(g, R, rx.get(), ry.get(), nullptr) &&
                    BN_cmp(rx.get(), p.rx.get()) == 0 && BN_cmp(ry.get(), p.ry.get()) == 0);
        EC_POINT_free(R);
        EXPECT_EQ(1, _SM2_CalculateZValue_byCurve(nid, reinterpret_cast<const unsigned char*>(id.data()),
                                                  static_cast<int>(id.size()), p.x.get(), p.y.get(), p.z.data()));
        return p;
    }

    // K as `self` computes it; Z1 is always a's.
    static int Kep(int nid, const Party& self, const Party& peer, const Party& a, const Party& b, size_t klen,
                   Bytes* out)
    {
        return _SM2_KEP(nid, self.rx.get(), self.ry.get(), self.r.get(), self.x.get(), self.y.get(), self.d.get(),
                        a.z.data(), peer.rx.get(), peer.ry.get(), peer.x.get(), peer.y.get(), b.z.data(), klen,
                        out->data());
    }
};

TEST_F(SM2KeyExchange, BothRolesAgreeWithTheReferenceOverNumbersOnBothCurves)
{
    for (int nid : {kNidSm2, kNidSm2TestCurve}) {
        SCOPED_TRACE(nid);
        EC_GROUP* g = SM_EC_GROUP_new_by_curve_name(nid);
        const Party a = NewParty(nid, g, "ALICE123@YAHOO.COM"), b = NewParty(nid, g, "BILL456@YAHOO.COM");
        for (size_t klen : {8u, 128u, 392u, 1024u}) {
            SCOPED_TRACE(klen);
            Bytes ka(klen / 8 + 1, 0xA5), kb(klen / 8 + 1, 0xA5);  // one byte more: it stays as it was
            ASSERT_EQ(1, Kep(nid, a, b, a, b, klen, &ka));
            ASSERT_EQ(1, Kep(nid, b, a, a, b, klen, &kb));
            EXPECT_EQ(0xA5, ka.back());
            ka.pop_back();
            kb.pop_back();
            EXPECT_EQ(ComputeReference(g, a, b, klen).K, ka);
            EXPECT_EQ(ka, kb);
        }
        Bytes ka(16), kex(16);
        ASSERT_EQ(1, Kep(nid, a, b, a, b, 128, &ka));
        ASSERT_EQ(1, _SM2_KEP_ex(nid, Bn32(a.rx.get()).data(), nullptr, Bn32(a.r.get()).data(), nullptr, nullptr,
                                 Bn32(a.d.get()).data(), a.z.data(), Bn32(b.rx.get()).data(), Bn32(b.ry.get()).data(),
                                 Bn32(b.x.get()).data(), Bn32(b.y.get()).data(), b.z.data(), 128, kex.data()));
        EXPECT_EQ(ka, kex);
        EC_GROUP_free(g);
    }
}

TEST_F(SM2KeyExchange, KeyObjectsAgreeInBothRolesAndReportTheirFailures)
{
    EC_KEY* keys[4];  // a static, a temporary, b static, b temporary
    for (EC_KEY*& k : keys) {
        k = EC_KEY_new_by_curve_name(NID_sm2);
        ASSERT_EQ(1, EC_KEY_generate_key(k));
    }
    const EC_GROUP* g = EC_KEY_get0_group(keys[0]);
    const EC_POINT *PA = EC_KEY_get0_public_key(keys[0]), *RA = EC_KEY_get0_public_key(keys[1]);
    const EC_POINT *PB = EC_KEY_get0_public_key(keys[2]), *RB = EC_KEY_get0_public_key(keys[3]);
    Party a, b;  // the reference's view, with the default identity's Z
    for (Party* p : {&a, &b}) {
        EC_KEY** k = p == &a ? keys : keys + 2;
        *p = Party{Bn(BN_dup(EC_KEY_get0_private_key(k[0]))), Bn(BN_new()), Bn(BN_new()),
                   Bn(BN_dup(EC_KEY_get0_private_key(k[1]))), Bn(BN_new()), Bn(BN_new())};
        EC_POINT_get_affine_coordinates(g, EC_KEY_get0_public_key(k[0]), p->x.get(), p->y.get(), nullptr);
        EC_POINT_get_affine_coordinates(g, EC_KEY_get0_public_key(k[1]), p->rx.get(), p->ry.get(), nullptr);
        ASSERT_EQ(1, _SM2_CalculateZValue_byCurve(kNidSm2, SM2_DEFAULT_USER_ID, 16, p->x.get(), p->y.get(),
                                                  p->z.data()));
    }
    for (size_t klen : {128u, 392u}) {
        Bytes ka(klen / 8), kb(klen / 8);
        ASSERT_EQ(1, sm2kep_compute_key(ka.data(), klen, RB, PB, keys[1], keys[0], 1));
        ASSERT_EQ(1, sm2kep_compute_key(kb.data(), klen, RA, PA, keys[3], keys[2], 0));
        EXPECT_EQ(ka, kb);
        EXPECT_EQ(ComputeReference(g, a, b, klen).K, ka);
    }

    // The peer's static key comes from outside as much as its temporary one: a point off the curve
    // (made without the library's check) is refused in either place.
    Bn x(BN_new()), y(BN_new());
    EC_POINT_get_affine_coordinates(g, PB, x.get(), y.get(), nullptr);
    BN_add_word(y.get(), 1);
    EC_POINT *offCurve = EC_POINT_new(g), *infinity = EC_POINT_new(g);
    ASSERT_EQ(1, EC_POINT_set_Jprojective_coordinates_GFp(g, offCurve, x.get(), y.get(), BN_value_one(), nullptr));
    EC_POINT_set_to_infinity(g, infinity);
    EC_KEY* publicOnly = EC_KEY_new_by_curve_name(NID_sm2);
    EC_KEY_set_public_key(publicOnly, RA);
    Bytes k(16, 0x5A);
    EXPECT_EQ(0, sm2kep_compute_key(k.data(), 128, RB, offCurve, keys[1], keys[0], 1));
    EXPECT_EQ(0, sm2kep_compute_key(k.data(), 128, offCurve, PB, keys[1], keys[0], 1));
    EXPECT_EQ(0, sm2kep_compute_key(k.data(), 128, RB, PB, publicOnly, keys[0], 1));
    EXPECT_EQ(0, sm2kep_compute_key(k.data(), 128, infinity, PB, keys[1], keys[0], 1));
    EXPECT_EQ(0, sm2kep_compute_key(k.data(), 0, RB, PB, keys[1], keys[0], 1));
    EXPECT_EQ((Errors{{ERR_LIB_ECDH, SM2KEP_R_KEY_EXCHANGE_FAILED},
                      {ERR_LIB_ECDH, SM2KEP_R_KEY_EXCHANGE_FAILED},
                      {ERR_LIB_ECDH, SM2KEP_R_NO_PRIVATE_KEY},
                      {ERR_LIB_ECDH, SM2KEP_R_POINT_NOT_READABLE},
                      {ERR_LIB_ECDH, SM2KEP_R_KEY_EXCHANGE_FAILED}}),
              DrainErrors());
    EXPECT_EQ(Bytes(16, 0x5A), k);
    EC_POINT_free(offCurve);
    EC_POINT_free(infinity);
    EC_KEY_free(publicOnly);
    for (EC_KEY* key : keys)
        EC_KEY_free(key);
}

// A static point of the peer off the curve must be refused like a temporary one, not multiplied into V.
TEST_F(SM2KeyExchange, PeerStaticPointOffTheCurveIsRefusedLikeATemporaryOne)
{
    EC_GROUP* g = SM_EC_GROUP_new_by_curve_name(kNidSm2);
    const Party a = NewParty(kNidSm2, g, "A");
    Party b = NewParty(kNidSm2, g, "B");
    Bn p(BN_new());
    EC_GROUP_get_curve(g, p.get(), nullptr, nullptr, nullptr);
    // y + 1 is off the curve; x + p names the same point, but not in its canonical form.
    const std::pair<Bn Party::*, const BIGNUM*> kChanges[] = {
        {&Party::ry, BN_value_one()}, {&Party::y, BN_value_one()}, {&Party::x, BN_value_one()}, {&Party::x, p.get()}};
    for (const auto& change : kChanges) {
        Bn saved(BN_dup((b.*change.first).get()));
        BN_add((b.*change.first).get(), saved.get(), change.second);
        Bytes k(16, 0x5A);
        EXPECT_EQ(0, Kep(kNidSm2, a, b, a, b, 128, &k));
        EXPECT_EQ(Bytes(16, 0x5A), k);
        BN_copy((b.*change.first).get(), saved.get());
    }
    EC_GROUP_free(g);
}

TEST_F(SM2KeyExchange, StepsAndZValues)
{
    int w[4] = {0, 0, 0, 0};
    const int ok[4] = {_SM2_log2n(HexBn("1").get(), &w[0]), _SM2_log2n(HexBn("2").get(), &w[1]),
                       _SM2_log2n(HexBn("4").get(), &w[2]), _SM2_log2n(HexBn("5").get(), &w[3])};
    EXPECT_EQ((std::vector<int>{0, 1, 1, 1, 1, 2, 1, 3}),
              (std::vector<int>{ok[0], w[0], ok[1], w[1], ok[2], w[2], ok[3], w[3]}));  // (result, w) for 1, 2, 4, 5
    // Bits from w up are dropped, bit w is set: bit 127 of the input must not carry into bit 128.
    Bn out(BN_new());
    ASSERT_EQ(1, _SM2_KEP_calculate_xDash(out.get(), HexBn("0123456789ABCDEF7EDCBA9876543210F123456789ABCDEF"
                                                           "FEDCBA9876543210").get(), SM2KEP_W));
    EXPECT_EQ(0, BN_cmp(HexBn("F123456789ABCDEFFEDCBA9876543210").get(), out.get()));
    ASSERT_EQ(1, _SM2_BNBitAND(out.get(), HexBn("F0F0F0").get(), HexBn("3C").get()));
    EXPECT_EQ(0, BN_cmp(HexBn("30").get(), out.get()));
    ASSERT_EQ(1, _SM2_KEP_calculate_t(out.get(), HexBn("5").get(), HexBn("3").get(), HexBn("4").get(),
                                      HexBn("B").get()));  // (5 + 3 * 4) mod 11
    EXPECT_EQ(0, BN_cmp(HexBn("6").get(), out.get()));

    // Z of the standard's signature example on its example curve; no Z for other curves.
    const auto* id = reinterpret_cast<const unsigned char*>("ALICE123@YAHOO.COM");
    const Bytes xA = testutil::HexToBytes("0AE4C7798AA0F119471BEE11825BE46202BB79E2A5844495E97C04FF4DF2548A");
    const Bytes yA = testutil::HexToBytes("7C0240F88F1CD4E16352A73C17B7F16F07353E53A176D684A9FE0C6BB798E857");
    unsigned char z[32];
    ASSERT_EQ(1, _SM2_CalculateZValue_byCurve_ex(kNidSm2TestCurve, id, 18, xA.data(), yA.data(), z));
    EXPECT_EQ("f4a38489e32b45b6f876e3ac2168ca392362dc8f23459c1d1146fc3dbfb7bc9a", testutil::BytesToHex(z, 32));
    EXPECT_EQ(0, _SM2_CalculateZValue_byCurve_ex(NID_X9_62_prime256v1, id, 18, xA.data(), yA.data(), z));
}

// t, V and the key derivation's input must be cleared before their memory goes back: a released block
// that still holds one of them, or a copy of a private key, leaks the exchange's secrets.
TEST_F(SM2KeyExchange, IntermediateSecretsAreClearedBeforeTheirMemoryIsReleased)
{
    std::vector<Bytes> patterns;
    Bn uncleared = HexBn("1122334455667788990011223344556677889900AABBCCDDEEFF");
    AddPatterns(uncleared.get(), &patterns);
    ASSERT_GT(ReleasesHolding(patterns, [&] { uncleared.reset(); }), 0) << "the watch must see an uncleared release";

    for (int nid : {kNidSm2, kNidSm2TestCurve}) {
        EC_GROUP* g = SM_EC_GROUP_new_by_curve_name(nid);
        const Party a = NewParty(nid, g, "A"), b = NewParty(nid, g, "B");
        const Reference ref = ComputeReference(g, a, b, 256);
        patterns.clear();
        for (const BIGNUM* secret : {ref.t.get(), ref.xV.get(), ref.yV.get(), a.r.get(), a.d.get()})
            AddPatterns(secret, &patterns);
        Bytes k(32);
        EXPECT_EQ(0, ReleasesHolding(patterns, [&] { EXPECT_EQ(1, Kep(nid, a, b, a, b, 256, &k)); })) << nid;
        EXPECT_EQ(ref.K, k);
        EC_GROUP_free(g);
    }
}

}  // namespace
