// Our key method for SM2 keys, the EC keys of SM2 provider keys, and the wrappers of the stock
// operations that cannot take SM2 keys as they are (item signing with provider keys, SignerInfos,
// the SM2_PRIVATEKEY form).
#include "SM2KeyMethod.h"

#include "CryptoExtHolders.h"
#include "RegistryDetail.h"
#include "SM2Asn1.h"
#include "SM2Core.h"
#include "SM2KeyDetail.h"
#include "SMRegistry.h"

#include <openssl/core_names.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/params.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

using namespace smdetail;

// Errors pushed by the library while we try something that may fail are dropped again.
class ErrorMark
{
public:
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
    ErrorMark(const ErrorMark&) = delete;
    ErrorMark& operator=(const ErrorMark&) = delete;
};

// ---- The example curve ----------------------------------------------------------------------------

const EC_GROUP* ExampleCurve()
{
    static const EcGroupPtr group = [] {
        // The curve's NID exists once the SM objects do.
        RegisterObjects();
        return EcGroupPtr(SM_EC_GROUP_new_by_curve_name(kNidSm2TestCurve));
    }();
    return group.get();
}

// ---- EC keys of SM2 provider keys -----------------------------------------------------------------

void FreeCachedKey(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*)
{
    EC_KEY_free(static_cast<EC_KEY*>(ptr));
}

// A copied key shares the cached EC key.
int DupCachedKey(CRYPTO_EX_DATA*, const CRYPTO_EX_DATA*, void** fromData, int, long, void*)
{
    EC_KEY* ec = static_cast<EC_KEY*>(*fromData);
    if (ec != nullptr && !EC_KEY_up_ref(ec))
        *fromData = nullptr;
    return 1;
}

int EcKeyIndex()
{
    static const int index = EVP_PKEY_get_ex_new_index(0, nullptr, nullptr, DupCachedKey, FreeCachedKey);
    return index;
}

// Two threads may use one provider key at once: the cache is filled and read under a lock.
std::mutex g_cacheMutex;

// Group (named or explicit), public point and, when the key has one, the scalar of a provider key.
EcKeyPtr RebuildEcKey(EVP_PKEY* pkey)
{
    ErrorMark mark;
    OSSL_PARAM* domain = nullptr;
    if (EVP_PKEY_todata(pkey, EVP_PKEY_KEY_PARAMETERS, &domain) != 1)
        return nullptr;
    EcGroupPtr group(EC_GROUP_new_from_params(domain, nullptr, nullptr));
    OSSL_PARAM_free(domain);
    if (!group)
        return nullptr;
    sm2detail::NameExampleCurve(group.get());

    EcKeyPtr ec(EC_KEY_new());
    size_t pubLength = 0;
    if (!ec || !EC_KEY_set_group(ec.get(), group.get()) ||
        !EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &pubLength) || pubLength == 0)
        return nullptr;
    std::vector<unsigned char> pub(pubLength);
    // The point keeps the form it is written in (EC_KEY_oct2key takes it from the first byte).
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size(), &pubLength) ||
        !EC_KEY_oct2key(ec.get(), pub.data(), pubLength, nullptr))
        return nullptr;
    BIGNUM* d = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &d)) {
        BnPtr held(d);
        if (!EC_KEY_set_private_key(ec.get(), d))
            return nullptr;
    }
    return ec;
}

bool IsLegacyOrStockEc(const EVP_PKEY* pkey)
{
    const int id = EVP_PKEY_get_id(pkey);
    return id == EVP_PKEY_SM2 || id == EVP_PKEY_EC;
}

// ---- Routing --------------------------------------------------------------------------------------

enum class Route { Sm2, Stock, Refused };

bool EngineIdStartsWith(const ENGINE* e, const char* prefix)
{
    const char* id = ENGINE_get_id(e);
    return id != nullptr && strncmp(id, prefix, strlen(prefix)) == 0;
}

// SM2 for the SM2 curve when the key has no engine or one that leaves ECDSA keys to the library's
// software; verification also for a PKCS#11 engine (the token signs, we check). Other curves and
// engines go the stock ECDSA way. The example curve is refused: our byte-level SM2 is fixed to the
// SM2 curve's parameters.
Route SignatureRoute(const EC_KEY* ec, bool verifying)
{
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    if (group == nullptr || sm2detail::IsExampleCurve(group))
        return Route::Refused;
    if (EC_GROUP_get_curve_name(group) != kNidSm2)
        return Route::Stock;
    const ENGINE* e = EC_KEY_get0_engine(ec);
    if (e == nullptr || EngineIdStartsWith(e, "openssl ecdsa") || EngineIdStartsWith(e, "cavium") ||
        (verifying && EngineIdStartsWith(e, "pkcs11")))
        return Route::Sm2;
    return Route::Stock;
}

bool OnSm2Curve(const EC_KEY* ec)
{
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    return group != nullptr && EC_GROUP_get_curve_name(group) == kNidSm2;
}

bool PublicCoordinates(const EC_KEY* ec, BnPtr* x, BnPtr* y)
{
    const EC_POINT* pub = EC_KEY_get0_public_key(ec);
    x->reset(BN_new());
    y->reset(BN_new());
    return pub != nullptr && *x && *y &&
           EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), pub, x->get(), y->get(), nullptr) == 1;
}

// ---- The key method -------------------------------------------------------------------------------

struct MethodData
{
    const EVP_MD* md = nullptr;
};

MethodData* DataOf(EVP_PKEY_CTX* ctx)
{
    return static_cast<MethodData*>(EVP_PKEY_CTX_get_data(ctx));
}

EC_KEY* KeyOf(EVP_PKEY_CTX* ctx)
{
    // The library's ECDSA calls take a non-const key; none of them changes it.
    return const_cast<EC_KEY*>(SM_EVP_PKEY_get0_EC_KEY(EVP_PKEY_CTX_get0_pkey(ctx)));
}

int PkeyInit(EVP_PKEY_CTX* ctx)
{
    MethodData* data = new (std::nothrow) MethodData();
    if (data == nullptr)
        return 0;
    EVP_PKEY_CTX_set_data(ctx, data);
    return 1;
}

int PkeyCopy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src)
{
    if (!PkeyInit(dst))
        return 0;
    const MethodData* from = static_cast<const MethodData*>(EVP_PKEY_CTX_get_data(src));
    if (from != nullptr)
        *DataOf(dst) = *from;
    return 1;
}

void PkeyCleanup(EVP_PKEY_CTX* ctx)
{
    delete DataOf(ctx);
    EVP_PKEY_CTX_set_data(ctx, nullptr);
}

bool AcceptedDigest(const EVP_MD* md)
{
    if (md == nullptr)
        return false;
    const int nid = EVP_MD_get_type(md);
    return nid == kNidSm3 || nid == NID_sha1 || nid == NID_ecdsa_with_SHA1 || nid == NID_sha224 ||
           nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

int PkeyCtrl(EVP_PKEY_CTX* ctx, int type, int, void* p2)
{
    MethodData* data = DataOf(ctx);
    switch (type) {
    case EVP_PKEY_CTRL_MD:
        if (!AcceptedDigest(static_cast<const EVP_MD*>(p2))) {
            ERR_raise(SM2_KEY_ERR_LIB_EC, SM2_KEY_R_INVALID_DIGEST_TYPE);
            return 0;
        }
        data->md = static_cast<const EVP_MD*>(p2);
        return 1;
    case EVP_PKEY_CTRL_GET_MD:
        *static_cast<const EVP_MD**>(p2) = data->md;
        return 1;
    // A user ID is accepted and not used: Z always hashes the default ID.
    case EVP_PKEY_CTRL_SET1_ID:
    case EVP_PKEY_CTRL_DIGESTINIT:
    case EVP_PKEY_CTRL_PKCS7_SIGN:
    case EVP_PKEY_CTRL_CMS_SIGN:
        return 1;
    default:
        return -2;
    }
}

// Text controls: the library handles "digest" itself; nothing else is understood.
int PkeyCtrlStr(EVP_PKEY_CTX*, const char*, const char*)
{
    return -2;
}

// The self-test's probe on this thread, if any (see sm2detail::DigestProbe).
thread_local sm2detail::DigestProbe* t_digestProbe = nullptr;

// DER SEQUENCE { 1, 1 }: what sign answers while a probe watches.
constexpr unsigned char kProbeSignature[] = {0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01};

int PkeySign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs, size_t tbslen)
{
    EC_KEY* ec = KeyOf(ctx);
    if (ec == nullptr || siglen == nullptr)
        return -1;
    const Route route = SignatureRoute(ec, false);
    if (route == Route::Refused)
        return -1;
    const int size = ECDSA_size(ec);
    if (size <= 0)
        return -1;
    if (sig == nullptr) {
        *siglen = static_cast<size_t>(size);
        return 1;
    }
    if (*siglen < static_cast<size_t>(size)) {
        ERR_raise(SM2_KEY_ERR_LIB_EC, SM2_KEY_R_BUFFER_TOO_SMALL);
        return 0;
    }
    if ((tbs == nullptr && tbslen != 0) || tbslen > INT_MAX)
        return -1;

    if (route != Route::Stock && t_digestProbe != nullptr) {
        t_digestProbe->Record(tbs, tbslen);
        memcpy(sig, kProbeSignature, sizeof(kProbeSignature));
        *siglen = sizeof(kProbeSignature);
        return 1;
    }

    if (route == Route::Stock) {
        unsigned int written = 0;
        const int ret = ECDSA_sign(0, tbs, static_cast<int>(tbslen), sig, &written, ec);
        if (ret <= 0)
            return ret;
        *siglen = written;
        return 1;
    }

    // e is tbs as one big-endian number, whatever its length.
    const BIGNUM* d = EC_KEY_get0_private_key(ec);
    BnPtr e(BN_bin2bn(tbs, static_cast<int>(tbslen), nullptr));
    if (d == nullptr || !e)
        return -1;
    EcdsaSigPtr signature(_SM2_sign(e.get(), d, kNidSm2));
    if (!signature)
        return -1;
    const int length = i2d_ECDSA_SIG(signature.get(), nullptr);
    if (length <= 0 || static_cast<size_t>(length) > *siglen)
        return -1;
    unsigned char* p = sig;
    if (i2d_ECDSA_SIG(signature.get(), &p) != length)
        return -1;
    *siglen = static_cast<size_t>(length);
    return 1;
}

// A DER SEQUENCE { r, s } in its one canonical encoding, or null.
EcdsaSigPtr DecodeSignature(const unsigned char* sig, size_t siglen)
{
    // Far more than any SM2 or ECDSA signature of a 256-bit curve.
    if (sig == nullptr || siglen == 0 || siglen > 1024)
        return nullptr;
    const unsigned char* p = sig;
    EcdsaSigPtr decoded(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(siglen)));
    if (!decoded || p != sig + siglen)
        return nullptr;
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(decoded.get(), &der);
    OpensslBytesPtr derHolder(der);
    if (length <= 0 || static_cast<size_t>(length) != siglen || memcmp(der, sig, siglen) != 0)
        return nullptr;
    return decoded;
}

int PkeyVerify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen, const unsigned char* tbs, size_t tbslen)
{
    EC_KEY* ec = KeyOf(ctx);
    if (ec == nullptr || (tbs == nullptr && tbslen != 0) || tbslen > INT_MAX)
        return -1;
    const Route route = SignatureRoute(ec, true);
    if (route == Route::Refused)
        return -1;
    if (route != Route::Stock && t_digestProbe != nullptr) {
        t_digestProbe->Record(tbs, tbslen);
        return 1;
    }
    EcdsaSigPtr signature = DecodeSignature(sig, siglen);
    if (route == Route::Stock)
        return signature ? ECDSA_do_verify(tbs, static_cast<int>(tbslen), signature.get(), ec) : -1;

    // e from all of tbs, exactly as signing takes it.
    BnPtr x, y;
    BnPtr e(BN_bin2bn(tbs, static_cast<int>(tbslen), nullptr));
    if (!signature || !e || !PublicCoordinates(ec, &x, &y))
        return -1;
    return _SM2_verify(signature.get(), x.get(), y.get(), e.get(), kNidSm2) == 1 ? 1 : -1;
}

// The largest DER SM2Cipher for a message of len bytes: the SEQUENCE and OCTET STRING headers of
// up to six bytes, two INTEGERs of up to 33 bytes, and C3.
constexpr size_t kCipherDerOverhead = 116;
// Messages the DER length (an int) can carry with room to spare.
constexpr size_t kMaxMessage = INT_MAX - 4096;

int PkeyEncrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen)
{
    EC_KEY* ec = KeyOf(ctx);
    if (ec == nullptr || outlen == nullptr || !OnSm2Curve(ec) || inlen > kMaxMessage)
        return -1;
    if (out == nullptr) {
        *outlen = inlen + kCipherDerOverhead;
        return 1;
    }
    BnPtr x, y;
    if (in == nullptr || inlen == 0 || !PublicCoordinates(ec, &x, &y))
        return -1;
    std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[SM2_CIPHERTEXT_OVERHEAD + inlen]);
    if (!raw || !_SM2_encrypt(kNidSm2, in, static_cast<unsigned int>(inlen), x.get(), y.get(), raw.get()))
        return -1;

    // 04 || x1 || y1 || C2 || C3 as SEQUENCE { x1, y1, C3, C2 }.
    const unsigned char* c2 = raw.get() + 1 + 2 * SM2_NUMBER_LENGTH;
    std::unique_ptr<SM2Cipher, decltype(&SM2Cipher_free)> cipher(SM2Cipher_new(), SM2Cipher_free);
    if (!cipher || !BN_bin2bn(raw.get() + 1, SM2_NUMBER_LENGTH, cipher->XCoordinate) ||
        !BN_bin2bn(raw.get() + 1 + SM2_NUMBER_LENGTH, SM2_NUMBER_LENGTH, cipher->YCoordinate) ||
        !ASN1_OCTET_STRING_set(cipher->HASH, c2 + inlen, SM2_NUMBER_LENGTH) ||
        !ASN1_OCTET_STRING_set(cipher->cipherText, c2, static_cast<int>(inlen)))
        return -1;
    const int length = i2d_SM2Cipher(cipher.get(), nullptr);
    if (length <= 0 || static_cast<size_t>(length) > *outlen)
        return -1;
    unsigned char* p = out;
    if (i2d_SM2Cipher(cipher.get(), &p) != length)
        return -1;
    *outlen = static_cast<size_t>(length);
    return 1;
}

// A coordinate right-aligned in 32 bytes; false for a negative one or one longer than 32 bytes.
bool Coordinate32(const BIGNUM* bn, unsigned char* out)
{
    return bn != nullptr && !BN_is_negative(bn) && _SM2_GetBNBytes(bn, out) == 1;
}

int PkeyDecrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen)
{
    EC_KEY* ec = KeyOf(ctx);
    if (ec == nullptr)
        return -1;
    // A token engine decrypts with its own key.
    if (const ENGINE* e = EC_KEY_get0_engine(ec)) {
        if (SM_ENGINE_PKEY_DECRYPT_PTR hook = ENGINE_get_pkey_decrypt_function(e))
            return hook(ctx, out, outlen, in, inlen);
    }
    if (outlen == nullptr || !OnSm2Curve(ec))
        return -1;
    if (out == nullptr) {
        *outlen = inlen;
        return 1;
    }
    const BIGNUM* d = EC_KEY_get0_private_key(ec);
    if (d == nullptr || in == nullptr || inlen == 0 || inlen > kMaxMessage)
        return -1;
    const unsigned char* p = in;
    std::unique_ptr<SM2Cipher, decltype(&SM2Cipher_free)> cipher(
        d2i_SM2Cipher(nullptr, &p, static_cast<long>(inlen)), SM2Cipher_free);
    if (!cipher || p != in + inlen || ASN1_STRING_length(cipher->HASH) != static_cast<int>(SM2_NUMBER_LENGTH))
        return -1;
    const size_t c2len = static_cast<size_t>(ASN1_STRING_length(cipher->cipherText));
    if (c2len == 0 || c2len > *outlen)
        return -1;

    const size_t rawLength = SM2_CIPHERTEXT_OVERHEAD + c2len;
    std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[rawLength]);
    if (!raw)
        return -1;
    raw[0] = 0x04;
    unsigned char* c2 = raw.get() + 1 + 2 * SM2_NUMBER_LENGTH;
    if (!Coordinate32(cipher->XCoordinate, raw.get() + 1) ||
        !Coordinate32(cipher->YCoordinate, raw.get() + 1 + SM2_NUMBER_LENGTH))
        return -1;
    memcpy(c2, ASN1_STRING_get0_data(cipher->cipherText), c2len);
    memcpy(c2 + c2len, ASN1_STRING_get0_data(cipher->HASH), SM2_NUMBER_LENGTH);
    if (!_SM2_decrypt(kNidSm2, raw.get(), static_cast<unsigned int>(rawLength), d, out))
        return -1;
    *outlen = c2len;
    return 1;
}

std::atomic<int> g_itemSigningFlag{sm2detail::kItemSigningFlag};

// Runs at the start of every EVP_DigestSign / EVP_DigestVerify; only item signing and verification
// (which preset the key context) get Z, and only for the SM2 curve with SM3.
int PkeyDigestCustom(EVP_PKEY_CTX* ctx, EVP_MD_CTX* mctx)
{
    if (!EVP_MD_CTX_test_flags(mctx, g_itemSigningFlag.load(std::memory_order_relaxed)))
        return 1;
    const EC_KEY* ec = KeyOf(ctx);
    if (ec == nullptr || EC_KEY_get0_group(ec) == nullptr) {
        ERR_raise(SM2_KEY_ERR_LIB_ASN1, SM2_KEY_R_EC_LIB);
        return 0;
    }
    const EVP_MD* md = EVP_MD_CTX_get0_md(mctx);
    if (!OnSm2Curve(ec) || md == nullptr || EVP_MD_get_type(md) != kNidSm3)
        return 1;
    BnPtr x, y;
    unsigned char x32[SM2_NUMBER_LENGTH], y32[SM2_NUMBER_LENGTH], z[SM2_NUMBER_LENGTH];
    if (!PublicCoordinates(ec, &x, &y) || !_SM2_GetBNBytes(x.get(), x32) || !_SM2_GetBNBytes(y.get(), y32) ||
        !_SM2_CalculateDefaultZValue(x32, y32, z)) {
        ERR_raise(SM2_KEY_ERR_LIB_ASN1, SM2_KEY_R_EC_LIB);
        return 0;
    }
    return EVP_DigestUpdate(mctx, z, sizeof(z));
}

}  // namespace

// ---- Registration ---------------------------------------------------------------------------------

int smdetail::RegisterSm2KeyMethod()
{
    static const int result = [] {
        EVP_PKEY_METHOD* method = EVP_PKEY_meth_new(EVP_PKEY_SM2, 0);
        if (method == nullptr)
            return 0;
        // No init functions for the operations: the library then passes buffers and lengths straight
        // through.
        EVP_PKEY_meth_set_init(method, PkeyInit);
        EVP_PKEY_meth_set_copy(method, PkeyCopy);
        EVP_PKEY_meth_set_cleanup(method, PkeyCleanup);
        EVP_PKEY_meth_set_sign(method, nullptr, PkeySign);
        EVP_PKEY_meth_set_verify(method, nullptr, PkeyVerify);
        EVP_PKEY_meth_set_encrypt(method, nullptr, PkeyEncrypt);
        EVP_PKEY_meth_set_decrypt(method, nullptr, PkeyDecrypt);
        EVP_PKEY_meth_set_ctrl(method, PkeyCtrl, PkeyCtrlStr);
        EVP_PKEY_meth_set_digest_custom(method, PkeyDigestCustom);
        // The library owns the method from here and frees it at exit.
        if (!EVP_PKEY_meth_add0(method)) {
            EVP_PKEY_meth_free(method);
            return 0;
        }
        return 1;
    }();
    return result;
}

int smdetail::RegisterEcKeyCache()
{
    return EcKeyIndex() >= 0 ? 1 : 0;
}

sm2detail::DigestProbe::DigestProbe() : m_previous(t_digestProbe)
{
    t_digestProbe = this;
}

sm2detail::DigestProbe::~DigestProbe()
{
    t_digestProbe = m_previous;
}

void sm2detail::SetItemSigningFlag(int flag)
{
    g_itemSigningFlag.store(flag, std::memory_order_relaxed);
}

bool sm2detail::IsExampleCurve(const EC_GROUP* group)
{
    if (group == nullptr)
        return false;
    const int nid = EC_GROUP_get_curve_name(group);
    if (nid != NID_undef)
        return nid == kNidSm2TestCurve;
    const EC_GROUP* example = ExampleCurve();
    return example != nullptr && EC_GROUP_cmp(group, example, nullptr) == 0;
}

void sm2detail::NameExampleCurve(EC_GROUP* group)
{
    if (group != nullptr && EC_GROUP_get_curve_name(group) == NID_undef && kNidSm2TestCurve != NID_undef &&
        IsExampleCurve(group))
        EC_GROUP_set_curve_name(group, kNidSm2TestCurve);
}

// ---- EC keys --------------------------------------------------------------------------------------

const EC_KEY* SM_EVP_PKEY_get0_EC_KEY(EVP_PKEY* pkey)
{
    if (pkey == nullptr)
        return nullptr;
    if (IsLegacyOrStockEc(pkey)) {
        ErrorMark mark;
        return EVP_PKEY_get0_EC_KEY(pkey);
    }
    const int index = EcKeyIndex();
    if (index < 0 || !EVP_PKEY_is_a(pkey, "SM2"))
        return nullptr;
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    if (const EC_KEY* cached = static_cast<const EC_KEY*>(EVP_PKEY_get_ex_data(pkey, index)))
        return cached;
    EcKeyPtr rebuilt = RebuildEcKey(pkey);
    if (!rebuilt || !EVP_PKEY_set_ex_data(pkey, index, rebuilt.get()))
        return nullptr;
    return rebuilt.release();
}

EC_KEY* SM_EVP_PKEY_get1_EC_KEY(EVP_PKEY* pkey)
{
    if (pkey == nullptr)
        return nullptr;
    if (IsLegacyOrStockEc(pkey)) {
        ErrorMark mark;
        return EVP_PKEY_get1_EC_KEY(pkey);
    }
    return EVP_PKEY_is_a(pkey, "SM2") ? RebuildEcKey(pkey).release() : nullptr;
}

EVP_PKEY* SM_to_legacy(EVP_PKEY* pkey)
{
    EcKeyPtr ec(SM_EVP_PKEY_get1_EC_KEY(pkey));
    EvpPkeyPtr legacy(EVP_PKEY_new());
    if (!ec || !legacy || !EVP_PKEY_assign_EC_KEY(legacy.get(), ec.get()))
        return nullptr;
    ec.release();
    return legacy.release();
}

// ---- Wrapped stock operations ---------------------------------------------------------------------

int SM_X509_sign(X509* x, EVP_PKEY* pkey, const EVP_MD* md)
{
    if (x == nullptr || pkey == nullptr) {
        ERR_raise(ERR_LIB_X509, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    // Item signing needs a legacy key for our method (a provider key would ask for a provider
    // signature algorithm, which our method does not have).
    if (EVP_PKEY_get_id(pkey) != EVP_PKEY_SM2 && EVP_PKEY_is_a(pkey, "SM2")) {
        EvpPkeyPtr legacy(SM_to_legacy(pkey));
        if (!legacy) {
            ERR_raise(ERR_LIB_X509, ERR_R_EC_LIB);
            return 0;
        }
        return X509_sign(x, legacy.get(), md);
    }
    return X509_sign(x, pkey, md);
}

EVP_PKEY* SM_d2i_AutoPrivateKey(EVP_PKEY** a, const unsigned char** pp, long length)
{
    if (pp == nullptr || *pp == nullptr || length <= 0) {
        ERR_raise(SM2_KEY_ERR_LIB_EC, SM2_KEY_R_DECODE_ERROR);
        return nullptr;
    }
    const unsigned char* p = *pp;
    EvpPkeyPtr key(d2i_AutoPrivateKey(nullptr, &p, length));
    if (!key) {
        p = *pp;
        EcKeyPtr ec(d2i_SM2PrivateKey(nullptr, &p, length));
        key.reset(ec ? EVP_PKEY_new() : nullptr);
        if (!key || !EVP_PKEY_assign_EC_KEY(key.get(), ec.get())) {
            ERR_raise(SM2_KEY_ERR_LIB_EC, SM2_KEY_R_DECODE_ERROR);
            return nullptr;
        }
        ec.release();
        // The key was readable after all: the first attempt's errors are no errors.
        ERR_clear_error();
    }
    if (a != nullptr) {
        EVP_PKEY_free(*a);
        *a = key.get();
    }
    *pp = p;
    return key.release();
}

PKCS7_SIGNER_INFO* SM_PKCS7_add_signature(PKCS7* p7, X509* x509, EVP_PKEY* pkey, const EVP_MD* dgst)
{
    if (p7 == nullptr || x509 == nullptr || pkey == nullptr || dgst == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    // The library's SignerInfo setup refuses SM2 keys; any other pairing is its business.
    if (!EVP_PKEY_is_a(pkey, "SM2") || EVP_MD_get_type(dgst) != kNidSm3)
        return PKCS7_add_signature(p7, x509, pkey, dgst);

    std::unique_ptr<PKCS7_SIGNER_INFO, decltype(&PKCS7_SIGNER_INFO_free)> si(PKCS7_SIGNER_INFO_new(),
                                                                             PKCS7_SIGNER_INFO_free);
    if (!si || !ASN1_INTEGER_set(si->version, 1) ||
        !X509_NAME_set(&si->issuer_and_serial->issuer, X509_get_issuer_name(x509)))
        return nullptr;
    ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(x509));
    if (serial == nullptr)
        return nullptr;
    ASN1_INTEGER_free(si->issuer_and_serial->serial);
    si->issuer_and_serial->serial = serial;
    // The digest with NULL parameters as the library writes it; the SM2 algorithm without any.
    if (!X509_ALGOR_set0(si->digest_alg, OBJ_nid2obj(kNidSm3), V_ASN1_NULL, nullptr) ||
        !X509_ALGOR_set0(si->digest_enc_alg, OBJ_nid2obj(kNidSm2Sm3Pkcs7), V_ASN1_UNDEF, nullptr) ||
        !EVP_PKEY_up_ref(pkey))
        return nullptr;
    si->pkey = pkey;
    if (!PKCS7_add_signer(p7, si.get()))
        return nullptr;
    return si.release();
}
