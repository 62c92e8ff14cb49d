// SM2 signatures (GM/T 0003.2) and decryption (GM/T 0003.4) on OpenSSL's elliptic-curve arithmetic.
#include "TestP11Sm2.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <cstring>

namespace testp11 {
namespace sm2 {

namespace {

struct Free
{
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
    void operator()(EVP_MD* p) const { EVP_MD_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
    void operator()(ASN1_SEQUENCE_ANY* p) const { sk_ASN1_TYPE_pop_free(p, ASN1_TYPE_free); }
};
using Bn = std::unique_ptr<BIGNUM, Free>;
using Point = std::unique_ptr<EC_POINT, Free>;

const unsigned char kDefaultId[] = "1234567812345678";
constexpr size_t kDefaultIdLength = 16;
constexpr size_t kCoordinate = 32;

Bn NewBn()
{
    return Bn(BN_new());
}

void Append(Bytes* out, const BIGNUM* bn)
{
    const size_t at = out->size();
    out->resize(at + kCoordinate);
    BN_bn2binpad(bn, out->data() + at, kCoordinate);
}

// The curve and, from the key, whatever the operation needs: d and/or the public point P.
struct Key
{
    std::unique_ptr<EC_GROUP, Free> group{EC_GROUP_new_by_curve_name(NID_sm2)};
    std::unique_ptr<BN_CTX, Free> ctx{BN_CTX_new()};
    Bn d;
    Point publicPoint;

    bool Load(const EVP_PKEY* pkey, bool needPrivate)
    {
        if (!group || !ctx || pkey == nullptr)
            return false;
        if (needPrivate) {
            BIGNUM* raw = nullptr;
            if (1 != EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &raw))
                return false;
            d.reset(raw);
            return true;
        }
        BIGNUM* x = nullptr;
        BIGNUM* y = nullptr;
        EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_X, &x);
        EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_Y, &y);
        Bn bx(x), by(y);
        publicPoint.reset(EC_POINT_new(group.get()));
        return bx && by && publicPoint &&
               1 == EC_POINT_set_affine_coordinates(group.get(), publicPoint.get(), bx.get(), by.get(), ctx.get());
    }

    const BIGNUM* Order() const { return EC_GROUP_get0_order(group.get()); }

    // x coordinate of k*G + m*Q (either term may be left out).
    Bn MulX(const BIGNUM* k, const EC_POINT* q, const BIGNUM* m) const
    {
        Point result(EC_POINT_new(group.get()));
        Bn x = NewBn();
        if (!result || !x || 1 != EC_POINT_mul(group.get(), result.get(), k, q, m, ctx.get()) ||
            EC_POINT_is_at_infinity(group.get(), result.get()) ||
            1 != EC_POINT_get_affine_coordinates(group.get(), result.get(), x.get(), nullptr, ctx.get()))
            return Bn();
        return x;
    }
};

Bytes Sm3Parts(std::initializer_list<std::pair<const unsigned char*, size_t>> parts)
{
    std::unique_ptr<EVP_MD, Free> md(EVP_MD_fetch(nullptr, "SM3", nullptr));
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Bytes out(32);
    unsigned int length = 0;
    bool ok = md && ctx && 1 == EVP_DigestInit_ex(ctx, md.get(), nullptr);
    for (const auto& part : parts)
        ok = ok && 1 == EVP_DigestUpdate(ctx, part.first, part.second);
    ok = ok && 1 == EVP_DigestFinal_ex(ctx, out.data(), &length);
    EVP_MD_CTX_free(ctx);
    return ok ? out : Bytes();
}

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA).
Bytes DefaultZ(const Key& key)
{
    Bn p = NewBn(), a = NewBn(), b = NewBn(), xg = NewBn(), yg = NewBn(), xa = NewBn(), ya = NewBn();
    if (!p || !a || !b || !xg || !yg || !xa || !ya ||
        1 != EC_GROUP_get_curve(key.group.get(), p.get(), a.get(), b.get(), key.ctx.get()) ||
        1 != EC_POINT_get_affine_coordinates(key.group.get(), EC_GROUP_get0_generator(key.group.get()), xg.get(),
                                             yg.get(), key.ctx.get()) ||
        1 != EC_POINT_get_affine_coordinates(key.group.get(), key.publicPoint.get(), xa.get(), ya.get(),
                                             key.ctx.get()))
        return Bytes();
    Bytes input{0x00, static_cast<unsigned char>(kDefaultIdLength * 8)};
    input.insert(input.end(), kDefaultId, kDefaultId + kDefaultIdLength);
    for (const BIGNUM* bn : {a.get(), b.get(), xg.get(), yg.get(), xa.get(), ya.get()})
        Append(&input, bn);
    return Sm3(input);
}

// The shared secret's key stream: SM3(x2 || y2 || counter) blocks, counter from 1, big-endian.
Bytes Kdf(const Bytes& x2y2, size_t length)
{
    Bytes stream;
    for (uint32_t counter = 1; stream.size() < length; ++counter) {
        const unsigned char ct[4] = {static_cast<unsigned char>(counter >> 24),
                                     static_cast<unsigned char>(counter >> 16),
                                     static_cast<unsigned char>(counter >> 8), static_cast<unsigned char>(counter)};
        const Bytes block = Sm3Parts({{x2y2.data(), x2y2.size()}, {ct, sizeof(ct)}});
        if (block.empty())
            return Bytes();
        stream.insert(stream.end(), block.begin(), block.end());
    }
    stream.resize(length);
    return stream;
}

struct Ciphertext
{
    Bn x, y;
    Bytes c2, c3;
};

bool ParseDer(const Bytes& in, Ciphertext* out)
{
    const unsigned char* p = in.data();
    std::unique_ptr<ASN1_SEQUENCE_ANY, Free> seq(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(in.size())));
    if (!seq || p != in.data() + in.size() || sk_ASN1_TYPE_num(seq.get()) != 4)
        return false;
    const ASN1_TYPE* f[4];
    for (int i = 0; i < 4; ++i)
        f[i] = sk_ASN1_TYPE_value(seq.get(), i);
    if (f[0]->type != V_ASN1_INTEGER || f[1]->type != V_ASN1_INTEGER || f[2]->type != V_ASN1_OCTET_STRING ||
        f[3]->type != V_ASN1_OCTET_STRING)
        return false;
    out->x.reset(ASN1_INTEGER_to_BN(f[0]->value.integer, nullptr));
    out->y.reset(ASN1_INTEGER_to_BN(f[1]->value.integer, nullptr));
    const ASN1_OCTET_STRING* c3 = f[2]->value.octet_string;
    const ASN1_OCTET_STRING* c2 = f[3]->value.octet_string;
    out->c3.assign(ASN1_STRING_get0_data(c3), ASN1_STRING_get0_data(c3) + ASN1_STRING_length(c3));
    out->c2.assign(ASN1_STRING_get0_data(c2), ASN1_STRING_get0_data(c2) + ASN1_STRING_length(c2));
    return out->x && out->y && out->c3.size() == 32;
}

bool ParseRaw(const Bytes& in, Ciphertext* out)
{
    if (in.size() <= 3 * kCoordinate)
        return false;
    out->x.reset(BN_bin2bn(in.data(), kCoordinate, nullptr));
    out->y.reset(BN_bin2bn(in.data() + kCoordinate, kCoordinate, nullptr));
    out->c2.assign(in.begin() + 2 * kCoordinate, in.end() - kCoordinate);
    out->c3.assign(in.end() - kCoordinate, in.end());
    return out->x && out->y;
}

}  // namespace

Bytes Sm3(const Bytes& data)
{
    return Sm3Parts({{data.data(), data.size()}});
}

bool MessageDigest(const EVP_PKEY* pkey, const Bytes& message, Bytes* e)
{
    Key key;
    if (!key.Load(pkey, false))
        return false;
    const Bytes z = DefaultZ(key);
    if (z.empty())
        return false;
    *e = Sm3Parts({{z.data(), z.size()}, {message.data(), message.size()}});
    return !e->empty();
}

bool Sign(const EVP_PKEY* pkey, const Bytes& eBytes, Bytes* der)
{
    Key key;
    if (eBytes.size() != 32 || !key.Load(pkey, true))
        return false;
    const BIGNUM* n = key.Order();
    Bn e(BN_bin2bn(eBytes.data(), 32, nullptr));
    Bn k = NewBn(), r = NewBn(), s = NewBn(), t = NewBn();
    if (!e || !k || !r || !s || !t)
        return false;
    BN_CTX* ctx = key.ctx.get();
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (1 != BN_priv_rand_range(k.get(), n) || BN_is_zero(k.get()))
            continue;
        Bn x1 = key.MulX(k.get(), nullptr, nullptr);
        // r = (e + x1) mod n; r = 0 and r + k = n are refused.
        if (!x1 || 1 != BN_mod_add(r.get(), e.get(), x1.get(), n, ctx) || BN_is_zero(r.get()) ||
            1 != BN_add(t.get(), r.get(), k.get()) || 0 == BN_cmp(t.get(), n))
            continue;
        // s = (1 + d)^-1 * (k - r*d) mod n.
        Bn inv = NewBn(), rd = NewBn();
        if (!inv || !rd || 1 != BN_add(t.get(), key.d.get(), BN_value_one()) ||
            nullptr == BN_mod_inverse(inv.get(), t.get(), n, ctx) ||
            1 != BN_mod_mul(rd.get(), r.get(), key.d.get(), n, ctx) ||
            1 != BN_mod_sub(t.get(), k.get(), rd.get(), n, ctx) ||
            1 != BN_mod_mul(s.get(), inv.get(), t.get(), n, ctx) ||
            BN_is_zero(s.get()))
            continue;
        std::unique_ptr<ECDSA_SIG, Free> sig(ECDSA_SIG_new());
        BIGNUM* rCopy = BN_dup(r.get());
        BIGNUM* sCopy = BN_dup(s.get());
        if (!sig || !rCopy || !sCopy || 1 != ECDSA_SIG_set0(sig.get(), rCopy, sCopy)) {
            BN_free(rCopy);
            BN_free(sCopy);
            return false;
        }
        unsigned char* out = nullptr;
        const int length = i2d_ECDSA_SIG(sig.get(), &out);
        if (length <= 0)
            return false;
        der->assign(out, out + length);
        OPENSSL_free(out);
        return true;
    }
    return false;
}

bool Verify(const EVP_PKEY* pkey, const Bytes& eBytes, const Bytes& der)
{
    Key key;
    if (eBytes.size() != 32 || der.empty() || !key.Load(pkey, false))
        return false;
    const unsigned char* p = der.data();
    std::unique_ptr<ECDSA_SIG, Free> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig || p != der.data() + der.size())
        return false;
    // Only the strict encoding counts, as the vendor tokens check it.
    unsigned char* again = nullptr;
    const int length = i2d_ECDSA_SIG(sig.get(), &again);
    const bool strict = length == static_cast<int>(der.size()) && 0 == memcmp(again, der.data(), der.size());
    OPENSSL_free(again);
    if (!strict)
        return false;

    const BIGNUM* n = key.Order();
    const BIGNUM* r = ECDSA_SIG_get0_r(sig.get());
    const BIGNUM* s = ECDSA_SIG_get0_s(sig.get());
    if (BN_is_zero(r) || BN_is_negative(r) || BN_cmp(r, n) >= 0 || BN_is_zero(s) || BN_is_negative(s) ||
        BN_cmp(s, n) >= 0)
        return false;
    Bn e(BN_bin2bn(eBytes.data(), 32, nullptr));
    Bn t = NewBn(), check = NewBn();
    if (!e || !t || !check || 1 != BN_mod_add(t.get(), r, s, n, key.ctx.get()) || BN_is_zero(t.get()))
        return false;
    // x1 of s*G + t*P; valid when (e + x1) mod n = r.
    Bn x1 = key.MulX(s, key.publicPoint.get(), t.get());
    return x1 && 1 == BN_mod_add(check.get(), e.get(), x1.get(), n, key.ctx.get()) && 0 == BN_cmp(check.get(), r);
}

bool Decrypt(const EVP_PKEY* pkey, const Bytes& in, Bytes* plaintext)
{
    Key key;
    Ciphertext c;
    if (!key.Load(pkey, true) || !(ParseDer(in, &c) || ParseRaw(in, &c)) || c.c2.empty() ||
        BN_num_bytes(c.x.get()) > static_cast<int>(kCoordinate) ||
        BN_num_bytes(c.y.get()) > static_cast<int>(kCoordinate))
        return false;
    Point c1(EC_POINT_new(key.group.get()));
    Point shared(EC_POINT_new(key.group.get()));
    Bn x2 = NewBn(), y2 = NewBn();
    if (!c1 || !shared || !x2 || !y2 ||
        1 != EC_POINT_set_affine_coordinates(key.group.get(), c1.get(), c.x.get(), c.y.get(), key.ctx.get()) ||
        1 != EC_POINT_is_on_curve(key.group.get(), c1.get(), key.ctx.get()) ||
        1 != EC_POINT_mul(key.group.get(), shared.get(), nullptr, c1.get(), key.d.get(), key.ctx.get()) ||
        1 != EC_POINT_get_affine_coordinates(key.group.get(), shared.get(), x2.get(), y2.get(), key.ctx.get()))
        return false;
    Bytes x2y2;
    Append(&x2y2, x2.get());
    Append(&x2y2, y2.get());
    const Bytes t = Kdf(x2y2, c.c2.size());
    if (t.empty() || std::all_of(t.begin(), t.end(), [](unsigned char b) { return b == 0; }))
        return false;
    Bytes m(c.c2.size());
    for (size_t i = 0; i < m.size(); ++i)
        m[i] = c.c2[i] ^ t[i];
    const Bytes u =
        Sm3Parts({{x2y2.data(), kCoordinate}, {m.data(), m.size()}, {x2y2.data() + kCoordinate, kCoordinate}});
    OPENSSL_cleanse(x2y2.data(), x2y2.size());
    if (u.size() != 32 || 0 != CRYPTO_memcmp(u.data(), c.c3.data(), 32)) {
        OPENSSL_cleanse(m.data(), m.size());
        return false;
    }
    *plaintext = std::move(m);
    return true;
}

}  // namespace sm2
}  // namespace testp11
