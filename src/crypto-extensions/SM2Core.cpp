// SM2 signatures, encryption, key generation, Z value and key derivation.
//
// Speed: the groups of the two SM2 curves are made once per process, with the generator's
// precomputation, and shared read-only. Secret scalars (k, d) go through the library's constant-time
// ladder; verification's [s]G + [t]P uses the precomputed generator.
#include "SM2Core.h"

#include "CryptoExtHolders.h"
#include "SM2Detail.h"
#include "SM3Digest.h"
#include "SMRegistry.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cstring>
#include <initializer_list>
#include <memory>

namespace {

using namespace smdetail;

// The SM2 curve's a, b and generator, as the default Z value hashes them.
constexpr unsigned char kSm2A[32] = {
    0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr unsigned char kSm2B[32] = {
    0x28, 0xE9, 0xFA, 0x9E, 0x9D, 0x9F, 0x5E, 0x34, 0x4D, 0x5A, 0x9E, 0x4B, 0xCF, 0x65, 0x09, 0xA7,
    0xF3, 0x97, 0x89, 0xF5, 0x15, 0xAB, 0x8F, 0x92, 0xDD, 0xBC, 0xBD, 0x41, 0x4D, 0x94, 0x0E, 0x93};
constexpr unsigned char kSm2Gx[32] = {
    0x32, 0xC4, 0xAE, 0x2C, 0x1F, 0x19, 0x81, 0x19, 0x5F, 0x99, 0x04, 0x46, 0x6A, 0x39, 0xC9, 0x94,
    0x8F, 0xE3, 0x0B, 0xBF, 0xF2, 0x66, 0x0B, 0xE1, 0x71, 0x5A, 0x45, 0x89, 0x33, 0x4C, 0x74, 0xC7};
constexpr unsigned char kSm2Gy[32] = {
    0xBC, 0x37, 0x36, 0xA2, 0xF4, 0xF6, 0x77, 0x9C, 0x59, 0xBD, 0xCE, 0xE3, 0x6B, 0x69, 0x21, 0x53,
    0xD0, 0xA9, 0x87, 0x7C, 0xC6, 0x2A, 0x47, 0x40, 0x02, 0xDF, 0x32, 0xE5, 0x21, 0x39, 0xF0, 0xA0};

constexpr size_t kN = SM2_NUMBER_LENGTH;

// Everything the library pushes while one of our operations runs is dropped again; signing and
// verification then report the one entry that says what failed, the others report nothing.
class ErrorScope
{
public:
    explicit ErrorScope(const char* function) : m_function(function) { ERR_set_mark(); }
    ~ErrorScope()
    {
        ERR_pop_to_mark();
        if (m_lib != 0) {
            ERR_new();
            ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, m_function);
            ERR_set_error(m_lib, m_reason, nullptr);
        }
    }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

    // The first failure is the one reported.
    void Fail(int lib, int reason)
    {
        if (m_lib == 0) {
            m_lib = lib;
            m_reason = reason;
        }
    }
    void Fail(int reason) { Fail(SM2_ERR_LIB, reason); }

private:
    const char* m_function;
    int m_lib = 0;
    int m_reason = 0;
};

// ---- Curves ---------------------------------------------------------------------------------------

struct SharedCurve
{
    EcGroupPtr group;
    BnPtr p;
    bool cofactorOne = false;
};

std::unique_ptr<SharedCurve> MakeSharedCurve(int nid)
{
    auto c = std::make_unique<SharedCurve>();
    BnCtxPtr ctx(BN_CTX_new());
    c->group.reset(SM_EC_GROUP_new_by_curve_name(nid));
    c->p.reset(BN_new());
    if (!ctx || !c->group || !c->p || !EC_GROUP_get_curve(c->group.get(), c->p.get(), nullptr, nullptr, ctx.get()) ||
        !EC_GROUP_precompute_mult(c->group.get(), ctx.get()))
        return nullptr;
    c->cofactorOne = BN_is_one(EC_GROUP_get0_cofactor(c->group.get()));
    return c;
}

const SharedCurve* FindSharedCurve(int nid)
{
    if (nid == kNidSm2) {
        static const std::unique_ptr<SharedCurve> sm2 = MakeSharedCurve(kNidSm2);
        return sm2.get();
    }
    if (nid != NID_undef && nid == kNidSm2TestCurve) {
        static const std::unique_ptr<SharedCurve> example = MakeSharedCurve(kNidSm2TestCurve);
        return example.get();
    }
    return nullptr;
}

// A curve for one call: shared for the SM2 curves, made for the call otherwise.
struct Curve
{
    const EC_GROUP* group = nullptr;
    const BIGNUM* n = nullptr;
    const BIGNUM* p = nullptr;
    bool cofactorOne = false;
    EcGroupPtr ownGroup;
    BnPtr ownP;
};

enum class CurveLoad { Ok, NoGroup, Failed };

CurveLoad LoadCurve(int nid, BN_CTX* ctx, Curve& c)
{
    if (const SharedCurve* shared = FindSharedCurve(nid)) {
        c.group = shared->group.get();
        c.p = shared->p.get();
        c.cofactorOne = shared->cofactorOne;
    } else {
        c.ownGroup.reset(SM_EC_GROUP_new_by_curve_name(nid));
        if (!c.ownGroup)
            return CurveLoad::NoGroup;
        c.ownP.reset(BN_new());
        if (!c.ownP || !EC_GROUP_get_curve(c.ownGroup.get(), c.ownP.get(), nullptr, nullptr, ctx))
            return CurveLoad::Failed;
        c.group = c.ownGroup.get();
        c.p = c.ownP.get();
        c.cofactorOne = BN_is_one(EC_GROUP_get0_cofactor(c.group));
    }
    c.n = EC_GROUP_get0_order(c.group);
    return c.n != nullptr && !BN_is_zero(c.n) ? CurveLoad::Ok : CurveLoad::Failed;
}

bool IsSm2Curve(int nid)
{
    return nid != NID_undef && (nid == kNidSm2 || nid == kNidSm2TestCurve);
}

// A coordinate in [0, p). The library reduces a larger one modulo p, so x + p would name the same
// point as x: one public key with many encodings.
bool IsFieldElement(const BIGNUM* v, const BIGNUM* p)
{
    return !BN_is_negative(v) && BN_cmp(v, p) < 0;
}

// The library's affine-coordinate setter refuses points off the curve; the explicit test is kept
// for versions that do not.
bool SetPoint(const EC_GROUP* group, EC_POINT* point, const BIGNUM* x, const BIGNUM* y, BN_CTX* ctx)
{
    return EC_POINT_set_affine_coordinates(group, point, x, y, ctx) == 1 &&
           EC_POINT_is_on_curve(group, point, ctx) == 1;
}

// S = [h]P must not be the point at infinity. With cofactor 1 that is P itself: skip the multiplication.
bool PassesCofactorCheck(const Curve& c, const EC_POINT* point, BN_CTX* ctx)
{
    if (c.cofactorOne)
        return EC_POINT_is_at_infinity(c.group, point) == 0;
    EcPointPtr s(EC_POINT_new(c.group));
    return s && EC_POINT_mul(c.group, s.get(), nullptr, point, EC_GROUP_get0_cofactor(c.group), ctx) &&
           EC_POINT_is_at_infinity(c.group, s.get()) == 0;
}

// ---- Nonces ---------------------------------------------------------------------------------------

class NonceSource
{
public:
    virtual ~NonceSource() = default;
    // k in [1, n - 1]; false when no (further) nonce can be had.
    virtual bool Next(BIGNUM* k, const BIGNUM* n) = 0;
};

class RandomNonce : public NonceSource
{
public:
    bool Next(BIGNUM* k, const BIGNUM* n) override
    {
        do {
            if (!BN_priv_rand_range(k, n))
                return false;
        } while (BN_is_zero(k));
        return true;
    }
};

// One given nonce; asking again (the nonce was unusable) fails.
class FixedNonce : public NonceSource
{
public:
    explicit FixedNonce(const BIGNUM* k) : m_k(k) {}
    bool Next(BIGNUM* k, const BIGNUM* n) override
    {
        if (m_used || m_k == nullptr || BN_is_zero(m_k) || BN_cmp(m_k, n) >= 0)
            return false;
        m_used = true;
        return BN_copy(k, m_k) != nullptr;
    }

private:
    const BIGNUM* m_k;
    bool m_used = false;
};

// ---- Key derivation -------------------------------------------------------------------------------

// SM3(z || counter) blocks for counter = 1, 2, ...; z is absorbed once.
class KdfStream
{
public:
    KdfStream(const unsigned char* z, size_t zlen)
    {
        SM3_Init(&m_base);
        SM3_Update(&m_base, z, zlen);
    }
    ~KdfStream() { OPENSSL_cleanse(&m_base, sizeof(m_base)); }
    KdfStream(const KdfStream&) = delete;
    KdfStream& operator=(const KdfStream&) = delete;

    void NextBlock(unsigned char out[32])
    {
        ++m_counter;
        const unsigned char ct[4] = {static_cast<unsigned char>(m_counter >> 24),
                                     static_cast<unsigned char>(m_counter >> 16),
                                     static_cast<unsigned char>(m_counter >> 8),
                                     static_cast<unsigned char>(m_counter)};
        SM3_CTX c = m_base;
        SM3_Update(&c, ct, sizeof(ct));
        SM3_Final(out, &c);
        OPENSSL_cleanse(&c, sizeof(c));
    }

private:
    SM3_CTX m_base;
    uint32_t m_counter = 0;
};

// C3 = SM3(x2 || M || y2), the check value of an SM2 ciphertext.
void ComputeC3(const unsigned char* x2y2, const unsigned char* M, size_t mlen, unsigned char* c3)
{
    SM3_CTX h;
    SM3_Init(&h);
    SM3_Update(&h, x2y2, kN);
    SM3_Update(&h, M, mlen);
    SM3_Update(&h, x2y2 + kN, kN);
    SM3_Final(c3, &h);
    OPENSSL_cleanse(&h, sizeof(h));
}

// out = in XOR t (or t itself when in is null) for len bytes of t = KDF(z); in and out may be the
// same buffer. Returns whether any byte of t was non-zero.
bool ApplyKdf(const unsigned char* z, size_t zlen, const unsigned char* in, unsigned char* out, size_t len)
{
    KdfStream kdf(z, zlen);
    unsigned char block[32];
    unsigned char any = 0;
    for (size_t off = 0; off < len; off += sizeof(block)) {
        kdf.NextBlock(block);
        const size_t take = len - off < sizeof(block) ? len - off : sizeof(block);
        for (size_t i = 0; i < take; ++i) {
            any |= block[i];
            out[off + i] = in != nullptr ? static_cast<unsigned char>(in[off + i] ^ block[i]) : block[i];
        }
    }
    OPENSSL_cleanse(block, sizeof(block));
    return any != 0;
}

// ---- Signature ------------------------------------------------------------------------------------

ECDSA_SIG* SignImpl(const BIGNUM* e, const BIGNUM* d, int nid, NonceSource& nonce, ErrorScope& err)
{
    if (e == nullptr || d == nullptr || !IsSm2Curve(nid)) {
        err.Fail(SM2_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    BnCtxPtr ctx(BN_CTX_new());
    if (!ctx) {
        err.Fail(SM2_R_MALLOC_FAILURE);
        return nullptr;
    }
    Curve curve;
    switch (LoadCurve(nid, ctx.get(), curve)) {
    case CurveLoad::Ok:
        break;
    case CurveLoad::NoGroup:
        err.Fail(SM2_ERR_LIB_EC, SM2_R_UNKNOWN_GROUP);
        return nullptr;
    case CurveLoad::Failed:
        err.Fail(SM2_R_EC_LIB);
        return nullptr;
    }
    const BIGNUM* n = curve.n;

    BnPtr k(BN_new()), x1(BN_new()), r(BN_new()), s(BN_new()), tmp(BN_new()), inv(BN_new());
    EcPointPtr kG(EC_POINT_new(curve.group));
    if (!k || !x1 || !r || !s || !tmp || !inv || !kG) {
        err.Fail(SM2_R_MALLOC_FAILURE);
        return nullptr;
    }

    // (1 + d)^-1 does not depend on k; the inversion is kept constant-time because d is secret.
    if (!BN_add(tmp.get(), d, BN_value_one())) {
        err.Fail(SM2_R_BN_LIB);
        return nullptr;
    }
    // d must lie in [1, n - 2]: 0 and n sign with the key 0 (s then gives k away), and for n - 1
    // the value 1 + d has no inverse.
    if (BN_is_negative(d) || BN_is_zero(d) || BN_cmp(tmp.get(), n) >= 0) {
        err.Fail(SM2_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    BN_set_flags(tmp.get(), BN_FLG_CONSTTIME);
    if (BN_mod_inverse(inv.get(), tmp.get(), n, ctx.get()) == nullptr) {
        err.Fail(SM2_R_BN_LIB);
        return nullptr;
    }

    for (;;) {
        if (!nonce.Next(k.get(), n)) {
            err.Fail(SM2_R_RANDOM_FAILED);
            return nullptr;
        }
        if (!EC_POINT_mul(curve.group, kG.get(), k.get(), nullptr, nullptr, ctx.get()) ||
            !EC_POINT_get_affine_coordinates(curve.group, kG.get(), x1.get(), nullptr, ctx.get())) {
            err.Fail(SM2_R_EC_LIB);
            return nullptr;
        }
        // r = (e + x1) mod n; a new k when r = 0 or r + k = n.
        if (!BN_mod_add(r.get(), e, x1.get(), n, ctx.get()) || !BN_add(tmp.get(), r.get(), k.get())) {
            err.Fail(SM2_R_BN_LIB);
            return nullptr;
        }
        if (BN_is_zero(r.get()) || BN_cmp(tmp.get(), n) == 0)
            continue;
        // s = (1 + d)^-1 (k - r d) mod n; a new k when s = 0.
        if (!BN_mod_mul(tmp.get(), r.get(), d, n, ctx.get()) || !BN_mod_sub(tmp.get(), k.get(), tmp.get(), n, ctx.get()) ||
            !BN_mod_mul(s.get(), inv.get(), tmp.get(), n, ctx.get())) {
            err.Fail(SM2_R_BN_LIB);
            return nullptr;
        }
        if (!BN_is_zero(s.get()))
            break;
    }

    ECDSA_SIG* sig = ECDSA_SIG_new();
    if (sig == nullptr) {
        err.Fail(SM2_R_MALLOC_FAILURE);
        return nullptr;
    }
    ECDSA_SIG_set0(sig, r.release(), s.release());
    return sig;
}

int VerifyImpl(const ECDSA_SIG* sig, const BIGNUM* Px, const BIGNUM* Py, const BIGNUM* e, int nid, ErrorScope& err)
{
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    if (sig != nullptr)
        ECDSA_SIG_get0(sig, &r, &s);
    if (r == nullptr || s == nullptr || Px == nullptr || Py == nullptr || e == nullptr || !IsSm2Curve(nid)) {
        err.Fail(SM2_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    BnCtxPtr ctx(BN_CTX_new());
    if (!ctx) {
        err.Fail(SM2_R_MALLOC_FAILURE);
        return 0;
    }
    Curve curve;
    switch (LoadCurve(nid, ctx.get(), curve)) {
    case CurveLoad::Ok:
        break;
    case CurveLoad::NoGroup:
        err.Fail(SM2_ERR_LIB_EC, SM2_R_UNKNOWN_GROUP);
        return 0;
    case CurveLoad::Failed:
        err.Fail(SM2_R_EC_LIB);
        return 0;
    }
    const BIGNUM* n = curve.n;

    // 1 <= r, s <= n - 1.
    for (const BIGNUM* v : {r, s}) {
        if (BN_is_zero(v) || BN_is_negative(v) || BN_cmp(v, n) >= 0) {
            err.Fail(SM2_R_EC_LIB);
            return 0;
        }
    }
    BnPtr t(BN_new()), x1(BN_new()), R(BN_new());
    EcPointPtr P(EC_POINT_new(curve.group)), sum(EC_POINT_new(curve.group));
    if (!t || !x1 || !R || !P || !sum) {
        err.Fail(SM2_R_MALLOC_FAILURE);
        return 0;
    }
    if (!BN_mod_add(t.get(), r, s, n, ctx.get())) {
        err.Fail(SM2_R_BN_LIB);
        return 0;
    }
    if (BN_is_zero(t.get())) {
        err.Fail(SM2_R_EC_LIB);
        return 0;
    }
    // (x1, y1) = [s]G + [t]P.
    if (!IsFieldElement(Px, curve.p) || !IsFieldElement(Py, curve.p) ||
        !SetPoint(curve.group, P.get(), Px, Py, ctx.get()) ||
        !EC_POINT_mul(curve.group, sum.get(), s, P.get(), t.get(), ctx.get()) ||
        !EC_POINT_get_affine_coordinates(curve.group, sum.get(), x1.get(), nullptr, ctx.get()) ||
        !BN_mod_add(R.get(), e, x1.get(), n, ctx.get())) {
        err.Fail(SM2_R_BN_LIB);
        return 0;
    }
    if (BN_cmp(R.get(), r) != 0) {
        err.Fail(SM2_R_EC_LIB);
        return 0;
    }
    return 1;
}

// ---- Encryption -----------------------------------------------------------------------------------

int EncryptImpl(int nid, const unsigned char* M, unsigned int mlen, const BIGNUM* Px, const BIGNUM* Py,
                NonceSource& nonce, unsigned char* out)
{
    if (M == nullptr || mlen == 0 || Px == nullptr || Py == nullptr || out == nullptr)
        return 0;
    BnCtxPtr ctx(BN_CTX_new());
    Curve curve;
    if (!ctx || LoadCurve(nid, ctx.get(), curve) != CurveLoad::Ok)
        return 0;
    BnPtr k(BN_new()), x1(BN_new()), y1(BN_new()), x2(BN_new()), y2(BN_new());
    EcPointPtr P(EC_POINT_new(curve.group)), C1(EC_POINT_new(curve.group)), kP(EC_POINT_new(curve.group));
    if (!k || !x1 || !y1 || !x2 || !y2 || !P || !C1 || !kP)
        return 0;
    if (!SetPoint(curve.group, P.get(), Px, Py, ctx.get()) || !PassesCofactorCheck(curve, P.get(), ctx.get()))
        return 0;

    const size_t total = SM2_CIPHERTEXT_OVERHEAD + mlen;
    unsigned char x2y2[2 * kN];
    unsigned char c3[SM3_DIGEST_LENGTH];
    int ok = 0;
    for (;;) {
        if (!nonce.Next(k.get(), curve.n))
            break;
        if (!EC_POINT_mul(curve.group, C1.get(), k.get(), nullptr, nullptr, ctx.get()) ||
            !EC_POINT_get_affine_coordinates(curve.group, C1.get(), x1.get(), y1.get(), ctx.get()) ||
            !EC_POINT_mul(curve.group, kP.get(), nullptr, P.get(), k.get(), ctx.get()) ||
            !EC_POINT_get_affine_coordinates(curve.group, kP.get(), x2.get(), y2.get(), ctx.get()) ||
            !_SM2_GetBNBytes(x1.get(), out + 1) || !_SM2_GetBNBytes(y1.get(), out + 1 + kN) ||
            !_SM2_GetBNBytes(x2.get(), x2y2) || !_SM2_GetBNBytes(y2.get(), x2y2 + kN))
            break;

        // C3 first: the message may be read from where C2 goes.
        ComputeC3(x2y2, M, mlen, c3);

        // An all-zero key stream would leave C2 = M: draw another k.
        if (!ApplyKdf(x2y2, sizeof(x2y2), M, out + 1 + 2 * kN, mlen))
            continue;
        out[0] = 0x04;
        memcpy(out + 1 + 2 * kN + mlen, c3, sizeof(c3));
        ok = 1;
        break;
    }
    OPENSSL_cleanse(x2y2, sizeof(x2y2));
    OPENSSL_cleanse(c3, sizeof(c3));
    if (!ok)
        OPENSSL_cleanse(out, total);
    return ok;
}

}  // namespace

// ---- Interface ------------------------------------------------------------------------------------

ECDSA_SIG* _SM2_sign(const BIGNUM* e, const BIGNUM* d, int nid)
{
    ErrorScope err("_SM2_sign");
    RandomNonce nonce;
    return SignImpl(e, d, nid, nonce, err);
}

int _SM2_verify(const ECDSA_SIG* sig, const BIGNUM* Px, const BIGNUM* Py, const BIGNUM* e, int nid)
{
    ErrorScope err("_SM2_verify");
    return VerifyImpl(sig, Px, Py, e, nid, err);
}

ECDSA_SIG* sm2detail::SignWithNonce(const BIGNUM* e, const BIGNUM* d, int nid, const BIGNUM* k)
{
    ErrorScope err("_SM2_sign");
    FixedNonce nonce(k);
    return SignImpl(e, d, nid, nonce, err);
}

int sm2detail::EncryptWithNonce(int nid, const unsigned char* M, unsigned int mlen, const BIGNUM* Px,
                                const BIGNUM* Py, const BIGNUM* k, unsigned char* out)
{
    ErrorScope quiet("_SM2_encrypt");
    FixedNonce nonce(k);
    return EncryptImpl(nid, M, mlen, Px, Py, nonce, out);
}

int _SM2_sign_ex(const unsigned char* e32, const unsigned char* d32, unsigned char* r32, unsigned char* s32)
{
    if (r32 != nullptr)
        memset(r32, 0, kN);
    if (s32 != nullptr)
        memset(s32, 0, kN);
    if (e32 == nullptr || d32 == nullptr || r32 == nullptr || s32 == nullptr)
        return 0;
    BnPtr e(BN_bin2bn(e32, kN, nullptr)), d(BN_bin2bn(d32, kN, nullptr));
    if (!e || !d)
        return 0;
    EcdsaSigPtr sig(_SM2_sign(e.get(), d.get(), kNidSm2));
    if (!sig)
        return 0;
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    if (!_SM2_GetBNBytes(r, r32) || !_SM2_GetBNBytes(s, s32)) {
        memset(r32, 0, kN);
        memset(s32, 0, kN);
        return 0;
    }
    return 1;
}

int _SM2_verify_ex(const unsigned char* r32, const unsigned char* s32, const unsigned char* Px32,
                   const unsigned char* Py32, const unsigned char* e32)
{
    if (r32 == nullptr || s32 == nullptr || Px32 == nullptr || Py32 == nullptr || e32 == nullptr) {
        ErrorScope err("_SM2_verify");
        err.Fail(SM2_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    BnPtr x(BN_bin2bn(Px32, kN, nullptr)), y(BN_bin2bn(Py32, kN, nullptr)), e(BN_bin2bn(e32, kN, nullptr));
    BIGNUM* r = BN_bin2bn(r32, kN, nullptr);
    BIGNUM* s = BN_bin2bn(s32, kN, nullptr);
    EcdsaSigPtr sig(ECDSA_SIG_new());
    if (!sig || r == nullptr || s == nullptr || !ECDSA_SIG_set0(sig.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        ErrorScope err("_SM2_verify");
        err.Fail(SM2_R_MALLOC_FAILURE);
        return 0;
    }
    return _SM2_verify(sig.get(), x.get(), y.get(), e.get(), kNidSm2);
}

int _SM2_point_is_on_curve(const BIGNUM* x, const BIGNUM* y, int nid)
{
    ErrorScope quiet("_SM2_point_is_on_curve");
    if (x == nullptr || y == nullptr)
        return 0;
    BnCtxPtr ctx(BN_CTX_new());
    Curve curve;
    if (!ctx || LoadCurve(nid, ctx.get(), curve) != CurveLoad::Ok)
        return 0;
    EcPointPtr P(EC_POINT_new(curve.group));
    return P && SetPoint(curve.group, P.get(), x, y, ctx.get()) ? 1 : 0;
}

int _SM2_generate_key(BIGNUM* d, BIGNUM* x, BIGNUM* y, int nid)
{
    ErrorScope quiet("_SM2_generate_key");
    if (d == nullptr || x == nullptr || y == nullptr)
        return 0;
    BnCtxPtr ctx(BN_CTX_new());
    Curve curve;
    if (!ctx || LoadCurve(nid, ctx.get(), curve) != CurveLoad::Ok)
        return 0;
    // d in [1, n - 2]: signing needs 1 + d to be invertible.
    BnPtr range(BN_dup(curve.n));
    EcPointPtr P(EC_POINT_new(curve.group));
    if (!range || !P || !BN_sub_word(range.get(), 2) || BN_is_zero(range.get()) ||
        !BN_priv_rand_range(d, range.get()) || !BN_add_word(d, 1) ||
        !EC_POINT_mul(curve.group, P.get(), d, nullptr, nullptr, ctx.get()) ||
        !EC_POINT_get_affine_coordinates(curve.group, P.get(), x, y, ctx.get())) {
        BN_clear(d);
        return 0;
    }
    return 1;
}

int _SM2_generate_keypair(unsigned char* d32, unsigned char* x32, unsigned char* y32)
{
    if (d32 == nullptr || x32 == nullptr || y32 == nullptr)
        return 0;
    BnPtr d(BN_new()), x(BN_new()), y(BN_new());
    if (!d || !x || !y || !_SM2_generate_key(d.get(), x.get(), y.get(), kNidSm2))
        return 0;
    unsigned char dBytes[kN], xBytes[kN], yBytes[kN];
    int ok = _SM2_GetBNBytes(d.get(), dBytes) && _SM2_GetBNBytes(x.get(), xBytes) && _SM2_GetBNBytes(y.get(), yBytes);
    if (ok) {
        memcpy(d32, dBytes, kN);
        memcpy(x32, xBytes, kN);
        memcpy(y32, yBytes, kN);
    }
    OPENSSL_cleanse(dBytes, sizeof(dBytes));
    return ok;
}

int _SM2_GetBNBytes(const BIGNUM* bn, unsigned char* out32)
{
    if (out32 == nullptr)
        return 0;
    memset(out32, 0, kN);
    if (bn == nullptr || BN_num_bytes(bn) > static_cast<int>(kN))
        return 0;
    return BN_bn2binpad(bn, out32, kN) == static_cast<int>(kN) ? 1 : 0;
}

int _SM2_Bytes2BN(const unsigned char* bytes, int len, BIGNUM* bn)
{
    if (bytes == nullptr || bn == nullptr || len < 0)
        return 0;
    // The SM2 curve's order has 256 bits: of a longer string only the leading 32 bytes count.
    const int use = len > static_cast<int>(kN) ? static_cast<int>(kN) : len;
    return BN_bin2bn(bytes, use, bn) != nullptr ? 1 : 0;
}

int _SM2_CalculateZValue(const unsigned char* id, int idlen, const BIGNUM* a, const BIGNUM* b, const BIGNUM* xG,
                         const BIGNUM* yG, const BIGNUM* xA, const BIGNUM* yA, unsigned char* z32)
{
    if (z32 == nullptr || idlen < 0 || idlen > SM2_MAX_USER_ID_LENGTH || (id == nullptr && idlen != 0))
        return 0;
    unsigned char fields[6][kN];
    const BIGNUM* numbers[6] = {a, b, xG, yG, xA, yA};
    for (int i = 0; i < 6; ++i) {
        if (!_SM2_GetBNBytes(numbers[i], fields[i]))
            return 0;
    }
    // ENTL: the ID's length in bits, two bytes big-endian.
    const unsigned int bits = static_cast<unsigned int>(idlen) * 8u;
    const unsigned char entl[2] = {static_cast<unsigned char>(bits >> 8), static_cast<unsigned char>(bits)};
    SM3_CTX h;
    SM3_Init(&h);
    SM3_Update(&h, entl, sizeof(entl));
    SM3_Update(&h, id, static_cast<size_t>(idlen));
    SM3_Update(&h, fields, sizeof(fields));
    SM3_Final(z32, &h);
    return 1;
}

int _SM2_CalculateDefaultZValue(const unsigned char* xA32, const unsigned char* yA32, unsigned char* z32)
{
    if (xA32 == nullptr || yA32 == nullptr || z32 == nullptr)
        return 0;
    const unsigned int bits = sizeof(SM2_DEFAULT_USER_ID) * 8u;
    const unsigned char entl[2] = {static_cast<unsigned char>(bits >> 8), static_cast<unsigned char>(bits)};
    SM3_CTX h;
    SM3_Init(&h);
    SM3_Update(&h, entl, sizeof(entl));
    SM3_Update(&h, SM2_DEFAULT_USER_ID, sizeof(SM2_DEFAULT_USER_ID));
    SM3_Update(&h, kSm2A, kN);
    SM3_Update(&h, kSm2B, kN);
    SM3_Update(&h, kSm2Gx, kN);
    SM3_Update(&h, kSm2Gy, kN);
    SM3_Update(&h, xA32, kN);
    SM3_Update(&h, yA32, kN);
    SM3_Final(z32, &h);
    return 1;
}

int EVP_PKEY_CalculateZValue_SM2(EVP_PKEY* pkey, unsigned char* z32)
{
    ErrorScope quiet("EVP_PKEY_CalculateZValue_SM2");
    if (pkey == nullptr || z32 == nullptr)
        return 0;
    BnPtr x, y;
    // A legacy EC key holds its point; a provider key (for example from a certificate, type "SM2")
    // gives its coordinates as parameters.
    const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(pkey);
    if (ec != nullptr && EC_KEY_get0_group(ec) != nullptr && EC_KEY_get0_public_key(ec) != nullptr) {
        x.reset(BN_new());
        y.reset(BN_new());
        if (!x || !y ||
            !EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), x.get(), y.get(),
                                             nullptr))
            return 0;
    } else {
        BIGNUM* px = nullptr;
        BIGNUM* py = nullptr;
        const int ok = EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_X, &px) &&
                       EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_Y, &py);
        x.reset(px);
        y.reset(py);
        if (!ok)
            return 0;
    }
    unsigned char xb[kN], yb[kN];
    return _SM2_GetBNBytes(x.get(), xb) && _SM2_GetBNBytes(y.get(), yb) && _SM2_CalculateDefaultZValue(xb, yb, z32);
}

int _SM2_KDF(const unsigned char* z, size_t zlen, size_t klen, unsigned char* out)
{
    if (klen == 0 || out == nullptr || (z == nullptr && zlen != 0))
        return 0;
    // klen counts bits; a remainder of bits is dropped. No working buffer: blocks go straight to out.
    ApplyKdf(z, zlen, nullptr, out, klen / 8);
    return 1;
}

int _SM2_IsAllZero(const unsigned char* buf, int len)
{
    if (len < 1)
        return 1;
    if (buf == nullptr)
        return 0;
    unsigned char any = 0;
    for (int i = 0; i < len; ++i)
        any |= buf[i];
    return any == 0 ? 1 : 0;
}

int _SM2_encrypt(int nid, const unsigned char* M, unsigned int mlen, const BIGNUM* Px, const BIGNUM* Py,
                 unsigned char* out)
{
    ErrorScope quiet("_SM2_encrypt");
    RandomNonce nonce;
    return EncryptImpl(nid, M, mlen, Px, Py, nonce, out);
}

int _SM2_decrypt(int nid, const unsigned char* in, unsigned int inlen, const BIGNUM* d, unsigned char* out)
{
    ErrorScope quiet("_SM2_decrypt");
    // At least one byte of message: 0x04, x1, y1, C2, C3.
    if (in == nullptr || d == nullptr || out == nullptr || inlen < SM2_CIPHERTEXT_OVERHEAD + 1 || in[0] != 0x04)
        return 0;
    const size_t c2len = inlen - SM2_CIPHERTEXT_OVERHEAD;
    const unsigned char* c2 = in + 1 + 2 * kN;
    const unsigned char* c3 = c2 + c2len;

    BnCtxPtr ctx(BN_CTX_new());
    Curve curve;
    if (!ctx || LoadCurve(nid, ctx.get(), curve) != CurveLoad::Ok)
        return 0;
    BnPtr x1(BN_bin2bn(in + 1, kN, nullptr)), y1(BN_bin2bn(in + 1 + kN, kN, nullptr)), x2(BN_new()), y2(BN_new());
    EcPointPtr C1(EC_POINT_new(curve.group)), dC1(EC_POINT_new(curve.group));
    if (!x1 || !y1 || !x2 || !y2 || !C1 || !dC1)
        return 0;
    // C1 must be a canonical point of the curve.
    if (!IsFieldElement(x1.get(), curve.p) || !IsFieldElement(y1.get(), curve.p) ||
        !SetPoint(curve.group, C1.get(), x1.get(), y1.get(), ctx.get()) ||
        !PassesCofactorCheck(curve, C1.get(), ctx.get()))
        return 0;

    unsigned char x2y2[2 * kN];
    if (!EC_POINT_mul(curve.group, dC1.get(), nullptr, C1.get(), d, ctx.get()) ||
        !EC_POINT_get_affine_coordinates(curve.group, dC1.get(), x2.get(), y2.get(), ctx.get()) ||
        !_SM2_GetBNBytes(x2.get(), x2y2) || !_SM2_GetBNBytes(y2.get(), x2y2 + kN)) {
        OPENSSL_cleanse(x2y2, sizeof(x2y2));
        return 0;
    }

    int ok = 0;
    if (ApplyKdf(x2y2, sizeof(x2y2), c2, out, c2len)) {
        unsigned char u[SM3_DIGEST_LENGTH];
        ComputeC3(x2y2, out, c2len, u);
        ok = CRYPTO_memcmp(u, c3, sizeof(u)) == 0 ? 1 : 0;
    }
    OPENSSL_cleanse(x2y2, sizeof(x2y2));
    // A message that fails its check value (or an all-zero key stream) must not reach the caller.
    if (!ok)
        OPENSSL_cleanse(out, c2len);
    return ok;
}
