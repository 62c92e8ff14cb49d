// The SM2 key exchange: the shared key K from both parties' static and temporary keys.
//
// Both of the peer's points come from outside, the static key as much as the temporary one: each must
// lie on the curve before it is used. Everything derived from a private key (t, V, the KDF input) and
// xbar are cleared when released.
#include "SM2KeyExchange.h"

#include "CryptoExtHolders.h"
#include "SM2Core.h"
#include "SMRegistry.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace {

using namespace smdetail;

constexpr size_t kN = SM2_NUMBER_LENGTH;
constexpr size_t kKdfInputLength = 4 * kN;  // xV || yV || Z1 || Z2

// Whatever the library pushes during the exchange is dropped again: the lower functions report
// nothing, sm2kep_compute_key reports the one entry that says what failed.
class QuietErrors
{
public:
    QuietErrors() { ERR_set_mark(); }
    ~QuietErrors() { ERR_pop_to_mark(); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;
};

// The KDF input holds V: it goes back through the library's clearing free.
struct KdfInputFree
{
    void operator()(unsigned char* p) const { OPENSSL_clear_free(p, kKdfInputLength); }
};
using KdfInputPtr = std::unique_ptr<unsigned char[], KdfInputFree>;

struct KepCurve
{
    EcGroupPtr group;
    BnCtxPtr ctx;
    BnPtr p;
    const BIGNUM* n = nullptr;
};

bool LoadCurve(int nid, KepCurve& c)
{
    c.ctx.reset(BN_CTX_new());
    c.group.reset(SM_EC_GROUP_new_by_curve_name(nid));
    c.p.reset(BN_new());
    if (!c.ctx || !c.group || !c.p || !EC_GROUP_get_curve(c.group.get(), c.p.get(), nullptr, nullptr, c.ctx.get()))
        return false;
    c.n = EC_GROUP_get0_order(c.group.get());
    return c.n != nullptr && !BN_is_zero(c.n);
}

bool AllPresent(std::initializer_list<const void*> objects)
{
    return std::all_of(objects.begin(), objects.end(), [](const void* o) { return o != nullptr; });
}

// A point the peer supplies: canonical coordinates (0 <= x, y < p) of a point on the curve.
bool IsValidPeerPoint(const KepCurve& c, const BIGNUM* x, const BIGNUM* y, int nid)
{
    return x != nullptr && y != nullptr && !BN_is_negative(x) && !BN_is_negative(y) && BN_cmp(x, c.p.get()) < 0 &&
           BN_cmp(y, c.p.get()) < 0 && _SM2_point_is_on_curve(x, y, nid) == 1;
}

bool CalculateT(const KepCurve& c, BIGNUM* t, const BIGNUM* d, const BIGNUM* xDash, const BIGNUM* r)
{
    BnPtr product(BN_new()), sum(BN_new());
    return product && sum && BN_mod_mul(product.get(), xDash, r, c.n, c.ctx.get()) &&
           BN_mod_add(sum.get(), d, product.get(), c.n, c.ctx.get()) && BN_copy(t, sum.get()) != nullptr;
}

bool CalculatePointV(const KepCurve& c, BIGNUM* xV, BIGNUM* yV, const BIGNUM* xB, const BIGNUM* yB, const BIGNUM* x2,
                     const BIGNUM* y2, const BIGNUM* h, const BIGNUM* t, const BIGNUM* xDash2)
{
    const EC_GROUP* g = c.group.get();
    BN_CTX* ctx = c.ctx.get();
    EcPointPtr PB(EC_POINT_new(g)), R2(EC_POINT_new(g)), Q(EC_POINT_new(g)), V(EC_POINT_new(g));
    BnPtr ht(BN_new()), x(BN_new()), y(BN_new());
    if (!AllPresent({PB.get(), R2.get(), Q.get(), V.get(), ht.get(), x.get(), y.get(), h, t, xDash2}))
        return false;
    // The library's setter refuses points off the curve.
    if (!EC_POINT_set_affine_coordinates(g, PB.get(), xB, yB, ctx) ||
        !EC_POINT_set_affine_coordinates(g, R2.get(), x2, y2, ctx))
        return false;
    // Q = PB + [xbar2]R2; V = [h t]Q (the ladder for the secret scalar).
    if (!EC_POINT_mul(g, Q.get(), nullptr, R2.get(), xDash2, ctx) ||
        !EC_POINT_add(g, Q.get(), PB.get(), Q.get(), ctx) ||
        !BN_mul(ht.get(), h, t, ctx) || !EC_POINT_mul(g, V.get(), nullptr, Q.get(), ht.get(), ctx))
        return false;
    if (EC_POINT_is_at_infinity(g, V.get()) ||
        !EC_POINT_get_affine_coordinates(g, V.get(), x.get(), y.get(), ctx))
        return false;
    return BN_copy(xV, x.get()) != nullptr && BN_copy(yV, y.get()) != nullptr;
}

bool ReadPoint(const EC_GROUP* group, const EC_POINT* point, BIGNUM* x, BIGNUM* y)
{
    return group != nullptr && point != nullptr && EC_POINT_get_affine_coordinates(group, point, x, y, nullptr) == 1;
}

bool DefaultZ(const BIGNUM* x, const BIGNUM* y, unsigned char* z32)
{
    unsigned char xb[kN], yb[kN];
    return _SM2_GetBNBytes(x, xb) && _SM2_GetBNBytes(y, yb) && _SM2_CalculateDefaultZValue(xb, yb, z32);
}

// 0 on success; else the reason to report, or -1 for a failure that is reported without an entry.
int ComputeKey(unsigned char* out, size_t klen, const EC_POINT* peerTempPoint, const EC_POINT* peerStaticPoint,
               const EC_KEY* ownTempKey, const EC_KEY* ownStaticKey, int role)
{
    const BIGNUM* r = ownTempKey != nullptr ? EC_KEY_get0_private_key(ownTempKey) : nullptr;
    const BIGNUM* d = ownStaticKey != nullptr ? EC_KEY_get0_private_key(ownStaticKey) : nullptr;
    if (r == nullptr || d == nullptr)
        return SM2KEP_R_NO_PRIVATE_KEY;

    // The peer's points are read in the group of the own static key.
    const EC_GROUP* group = EC_KEY_get0_group(ownStaticKey);
    BnPtr x1(BN_new()), y1(BN_new()), xA(BN_new()), yA(BN_new()), x2(BN_new()), y2(BN_new()), xB(BN_new()),
        yB(BN_new());
    if (!AllPresent({x1.get(), y1.get(), xA.get(), yA.get(), x2.get(), y2.get(), xB.get(), yB.get()}) ||
        !ReadPoint(EC_KEY_get0_group(ownTempKey), EC_KEY_get0_public_key(ownTempKey), x1.get(), y1.get()) ||
        !ReadPoint(group, EC_KEY_get0_public_key(ownStaticKey), xA.get(), yA.get()) ||
        !ReadPoint(group, peerTempPoint, x2.get(), y2.get()) || !ReadPoint(group, peerStaticPoint, xB.get(), yB.get()))
        return SM2KEP_R_POINT_NOT_READABLE;

    unsigned char ownZ[kN], peerZ[kN];
    if (!DefaultZ(xA.get(), yA.get(), ownZ) || !DefaultZ(xB.get(), yB.get(), peerZ))
        return -1;
    // The initiator's Z always comes first.
    const unsigned char* Z1 = role == 1 ? ownZ : peerZ;
    const unsigned char* Z2 = role == 1 ? peerZ : ownZ;
    if (!_SM2_KEP(kNidSm2, x1.get(), y1.get(), r, xA.get(), yA.get(), d, Z1, x2.get(), y2.get(), xB.get(), yB.get(), Z2,
                  klen, out))
        return SM2KEP_R_KEY_EXCHANGE_FAILED;
    return 0;
}

}  // namespace

int sm2kep_compute_key(void* out, size_t klen, const EC_POINT* peerTempPoint, const EC_POINT* peerStaticPoint,
                       const EC_KEY* ownTempKey, const EC_KEY* ownStaticKey, int role)
{
    int reason;
    {
        QuietErrors quiet;
        reason = ComputeKey(static_cast<unsigned char*>(out), klen, peerTempPoint, peerStaticPoint, ownTempKey,
                            ownStaticKey, role);
    }
    if (reason > 0)
        ERR_raise(ERR_LIB_ECDH, reason);
    return reason == 0 ? 1 : 0;
}

int _SM2_KEP(int nid, const BIGNUM* x1, const BIGNUM* /*p2*/, const BIGNUM* r, const BIGNUM* /*p4*/,
             const BIGNUM* /*p5*/, const BIGNUM* d, const unsigned char* Z1, const BIGNUM* x2, const BIGNUM* y2,
             const BIGNUM* xB, const BIGNUM* yB, const unsigned char* Z2, size_t klen, unsigned char* out)
{
    QuietErrors quiet;
    if (!AllPresent({x1, r, d, Z1, Z2, out}) || klen == 0)
        return 0;
    KepCurve c;
    if (!LoadCurve(nid, c) || !IsValidPeerPoint(c, x2, y2, nid) || !IsValidPeerPoint(c, xB, yB, nid))
        return 0;

    BnPtr xDash1(BN_new()), xDash2(BN_new()), t(BN_new()), h(BN_new()), xV(BN_new()), yV(BN_new());
    KdfInputPtr kdfInput(static_cast<unsigned char*>(OPENSSL_zalloc(kKdfInputLength)));
    if (!AllPresent({xDash1.get(), xDash2.get(), t.get(), h.get(), xV.get(), yV.get(), kdfInput.get()}) ||
        !BN_one(h.get()))
        return 0;
    if (!_SM2_KEP_calculate_xDash(xDash1.get(), x1, SM2KEP_W) || !CalculateT(c, t.get(), d, xDash1.get(), r) ||
        !_SM2_KEP_calculate_xDash(xDash2.get(), x2, SM2KEP_W) ||
        !CalculatePointV(c, xV.get(), yV.get(), xB, yB, x2, y2, h.get(), t.get(), xDash2.get()))
        return 0;

    unsigned char* in = kdfInput.get();
    if (!_SM2_GetBNBytes(xV.get(), in) || !_SM2_GetBNBytes(yV.get(), in + kN))
        return 0;
    memcpy(in + 2 * kN, Z1, kN);
    memcpy(in + 3 * kN, Z2, kN);
    return _SM2_KDF(in, kKdfInputLength, klen, out);
}

int _SM2_KEP_ex(int nid, const unsigned char* x1, const unsigned char* /*y1*/, const unsigned char* r,
                const unsigned char* /*p4*/, const unsigned char* /*p5*/, const unsigned char* d,
                const unsigned char* Z1, const unsigned char* x2, const unsigned char* y2, const unsigned char* xB,
                const unsigned char* yB, const unsigned char* Z2, size_t klen, unsigned char* out)
{
    const unsigned char* numbers[7] = {x1, r, d, x2, y2, xB, yB};
    BnPtr bn[7];
    for (int i = 0; i < 7; ++i) {
        bn[i].reset(numbers[i] != nullptr ? BN_bin2bn(numbers[i], kN, nullptr) : nullptr);
        if (!bn[i])
            return 0;
    }
    return _SM2_KEP(nid, bn[0].get(), nullptr, bn[1].get(), nullptr, nullptr, bn[2].get(), Z1, bn[3].get(),
                    bn[4].get(), bn[5].get(), bn[6].get(), Z2, klen, out);
}

int _SM2_generate_temp_keypair(BIGNUM* r, BIGNUM* x, BIGNUM* y, int nid)
{
    QuietErrors quiet;
    if (r == nullptr || x == nullptr || y == nullptr)
        return 0;
    KepCurve c;
    if (!LoadCurve(nid, c))
        return 0;
    BnPtr k(BN_new()), px(BN_new()), py(BN_new());
    EcPointPtr R(EC_POINT_new(c.group.get()));
    if (!AllPresent({k.get(), px.get(), py.get(), R.get()}))
        return 0;
    do {
        if (!BN_priv_rand_range(k.get(), c.n))
            return 0;
    } while (BN_is_zero(k.get()));
    if (!EC_POINT_mul(c.group.get(), R.get(), k.get(), nullptr, nullptr, c.ctx.get()) ||
        !EC_POINT_get_affine_coordinates(c.group.get(), R.get(), px.get(), py.get(), c.ctx.get()))
        return 0;
    if (!BN_copy(r, k.get()) || !BN_copy(x, px.get()) || !BN_copy(y, py.get())) {
        BN_clear(r);
        return 0;
    }
    return 1;
}

int _SM2_KEP_calculate_xDash(BIGNUM* out, const BIGNUM* x, int w)
{
    if (out == nullptr || x == nullptr || w < 0 || BN_is_negative(x))
        return 0;
    BnPtr power(BN_new()), mask(BN_new()), low(BN_new());
    if (!AllPresent({power.get(), mask.get(), low.get()}))
        return 0;
    BN_zero(power.get());
    return BN_set_bit(power.get(), w) && BN_copy(mask.get(), power.get()) && BN_sub_word(mask.get(), 1) &&
                   _SM2_BNBitAND(low.get(), x, mask.get()) && BN_add(low.get(), low.get(), power.get()) &&
                   BN_copy(out, low.get())
               ? 1
               : 0;
}

int _SM2_BNBitAND(BIGNUM* out, const BIGNUM* a, const BIGNUM* b)
{
    if (out == nullptr || a == nullptr || b == nullptr || BN_is_negative(a) || BN_is_negative(b))
        return 0;
    BnPtr result(BN_new());
    if (!result)
        return 0;
    BN_zero(result.get());
    const int bits = std::min(BN_num_bits(a), BN_num_bits(b));
    for (int i = 0; i < bits; ++i) {
        if (BN_is_bit_set(a, i) && BN_is_bit_set(b, i) && !BN_set_bit(result.get(), i))
            return 0;
    }
    return BN_copy(out, result.get()) != nullptr ? 1 : 0;
}

int _SM2_log2n(const BIGNUM* n, int* w)
{
    if (w == nullptr)
        return 0;
    *w = 1;
    if (n == nullptr || BN_is_negative(n) || BN_num_bits(n) < 2)
        return 0;
    // 2^w >= n exactly when w >= the bit length of n - 1.
    BnPtr m(BN_dup(n));
    if (!m || !BN_sub_word(m.get(), 1))
        return 0;
    *w = std::max(1, BN_num_bits(m.get()));
    return 1;
}

int _SM2_KEP_calculate_t(BIGNUM* t, const BIGNUM* d, const BIGNUM* xDash, const BIGNUM* r, const BIGNUM* n)
{
    if (!AllPresent({t, d, xDash, r, n}) || BN_is_zero(n) || BN_is_negative(n))
        return 0;
    KepCurve c;  // only its context and order are used
    c.ctx.reset(BN_CTX_new());
    c.n = n;
    return c.ctx && CalculateT(c, t, d, xDash, r) ? 1 : 0;
}

int _SM2_KEP_calculate_point_V(BIGNUM* xV, BIGNUM* yV, const BIGNUM* xB, const BIGNUM* yB, const BIGNUM* x2,
                               const BIGNUM* y2, const BIGNUM* h, const BIGNUM* t, const BIGNUM* xDash2, int nid)
{
    QuietErrors quiet;
    if (!AllPresent({xV, yV, xB, yB, x2, y2}))
        return 0;
    KepCurve c;
    return LoadCurve(nid, c) && CalculatePointV(c, xV, yV, xB, yB, x2, y2, h, t, xDash2) ? 1 : 0;
}

int _SM2_CalculateZValue_byCurve(int nid, const unsigned char* id, int idlen, const BIGNUM* x, const BIGNUM* y,
                                 unsigned char* z32)
{
    QuietErrors quiet;
    if (nid == NID_undef || (nid != kNidSm2 && nid != kNidSm2TestCurve))
        return 0;
    KepCurve c;
    if (!LoadCurve(nid, c))
        return 0;
    BnPtr a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
    if (!AllPresent({a.get(), b.get(), gx.get(), gy.get()}) ||
        !EC_GROUP_get_curve(c.group.get(), nullptr, a.get(), b.get(), c.ctx.get()) ||
        !EC_POINT_get_affine_coordinates(c.group.get(), EC_GROUP_get0_generator(c.group.get()), gx.get(), gy.get(),
                                         c.ctx.get()))
        return 0;
    return _SM2_CalculateZValue(id, idlen, a.get(), b.get(), gx.get(), gy.get(), x, y, z32);
}

int _SM2_CalculateZValue_byCurve_ex(int nid, const unsigned char* id, int idlen, const unsigned char* x32,
                                    const unsigned char* y32, unsigned char* z32)
{
    if (x32 == nullptr || y32 == nullptr)
        return 0;
    BnPtr x(BN_bin2bn(x32, kN, nullptr)), y(BN_bin2bn(y32, kN, nullptr));
    return x && y ? _SM2_CalculateZValue_byCurve(nid, id, idlen, x.get(), y.get(), z32) : 0;
}
