// SM objects, the example curve and the one start-up registration.
//
// Everything registered here lives as long as the process: the library cannot remove objects, a freed
// digest left in its name table would dangle, and unloading the providers would leave none. So there
// is no matching cleanup; an uninitialise only counts down elsewhere.
#include "SMRegistry.h"

#include "CryptoExtHolders.h"
#include "RegistryDetail.h"
#include "SM2KeyDetail.h"

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/provider.h>

#include <cstdlib>
#include <mutex>

namespace {

int g_nidSm2TestCurve = NID_undef;
int g_nidSm4Cbc = NID_undef;
int g_nidSm1Cbc = NID_undef;
int g_nidZuc = NID_undef;
int g_nidSm2Sm3Pkcs7 = NID_undef;
int g_nidSmData = NID_undef;
int g_nidSmSignedData = NID_undef;

struct CreatedObject
{
    const char* oid;
    const char* sn;
    const char* ln;
    int* nid;
};

const CreatedObject kCreatedObjects[] = {
    {"1.2.156.10197.1.888", "ChinaSM2TEST256", "prime256v1SM2TEST", &g_nidSm2TestCurve},
    {"1.2.156.10197.1.104", "sm4-cbc", "ChinaSM4-CBC", &g_nidSm4Cbc},
    {"1.2.156.10197.1.102", "sm1-cbc", "ChinaSM1-CBC", &g_nidSm1Cbc},
    {"1.2.156.10197.1.105", "zuc", "ChinaZUC", &g_nidZuc},
    {"1.2.156.10197.1.301.1", "sm2-sm3-pkcs7", "ChinaSM2withSM3PKCS7", &g_nidSm2Sm3Pkcs7},
    {"1.2.156.10197.6.1.4.2.1", "sm-pkcs7-data", "SM-pkcs7-data", &g_nidSmData},
    {"1.2.156.10197.6.1.4.2.2", "sm-pkcs7-signedData", "SM-pkcs7-signed", &g_nidSmSignedData},
};

int CreateObjects()
{
    // The library's add-all runs lazily and would overwrite names registered before it: run it first.
    if (!OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                                 OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                             nullptr))
        return 0;
    for (const CreatedObject& o : kCreatedObjects) {
        // OBJ_create refuses an OID that already exists, so look it up first.
        int nid = OBJ_txt2nid(o.oid);
        if (nid == NID_undef)
            nid = OBJ_create(o.oid, o.sn, o.ln);
        if (nid == NID_undef)
            return 0;
        *o.nid = nid;
    }
    return 1;
}

// The example curve of the SM2 standard (256-bit prime field, cofactor 1).
constexpr const char* kTestP = "8542D69E4C044F18E8B92435BF6FF7DE457283915C45517D722EDB8B08F1DFC3";
constexpr const char* kTestA = "787968B4FA32C3FD2417842E73BBFEFF2F3C848B6831D7E0EC65228B3937E498";
constexpr const char* kTestB = "63E4C6D3B23B0C849CF84241484BFE48F61D59A5B16BA06E6E12D1DA27C5249A";
constexpr const char* kTestN = "8542D69E4C044F18E8B92435BF6FF7DD297720630485628D5AE74EE7C32E79B7";
constexpr const char* kTestGx = "421DEBD61B62EAB6746434EBC3CC315E32220B3BADD50BDC4C4E6C147FEDD43D";
constexpr const char* kTestGy = "0680512BCBB42C07D47349D2153B70C4E5D7FDFCBFA36EA1A85841B9E46E09A2";

smdetail::BnPtr HexNumber(const char* hex)
{
    BIGNUM* bn = nullptr;
    if (BN_hex2bn(&bn, hex) == 0)
        return nullptr;
    return smdetail::BnPtr(bn);
}

EC_GROUP* NewTestCurve(int nid)
{
    using namespace smdetail;
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr p = HexNumber(kTestP), a = HexNumber(kTestA), b = HexNumber(kTestB), n = HexNumber(kTestN);
    BnPtr gx = HexNumber(kTestGx), gy = HexNumber(kTestGy);
    BnPtr one(BN_new());
    if (!ctx || !p || !a || !b || !n || !gx || !gy || !one || !BN_one(one.get()))
        return nullptr;
    EcGroupPtr group(EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), ctx.get()));
    if (!group)
        return nullptr;
    EcPointPtr g(EC_POINT_new(group.get()));
    if (!g || !EC_POINT_set_affine_coordinates(group.get(), g.get(), gx.get(), gy.get(), ctx.get()) ||
        !EC_GROUP_set_generator(group.get(), g.get(), n.get(), one.get()))
        return nullptr;
    EC_GROUP_set_curve_name(group.get(), nid);
    // The library cannot decode this curve by name, so keys on it are written with explicit parameters.
    EC_GROUP_set_asn1_flag(group.get(), OPENSSL_EC_EXPLICIT_CURVE);
    return group.release();
}

int RegisterDigestsAndCiphers()
{
    const EVP_MD* sm3 = SM_EVP_sm3();
    const EVP_CIPHER* sm4 = SM_EVP_sm4_cbc();
    const EVP_CIPHER* zuc = EVP_zuc();
    if (sm3 == nullptr || sm4 == nullptr || zuc == nullptr)
        return 0;
    // "sm3"/"SM3" and, through the signature type, "SM2-SM3"/"SM2-with-SM3"; then the old aliases.
    if (!EVP_add_digest(sm3))
        return 0;
    const char* sm3Name = OBJ_nid2sn(kNidSm3);
    for (const char* alias : {"tls1-sm3", "ChinaSM3", "ChinaSM2withSM3"}) {
        if (!EVP_add_digest_alias(sm3Name, alias))
            return 0;
    }
    // Short and long names: "sm4-cbc" (which also replaces the library's SM4-CBC by name),
    // "ChinaSM4-CBC", "zuc", "ChinaZUC".
    return EVP_add_cipher(sm4) && EVP_add_cipher(zuc) ? 1 : 0;
}

OSSL_PROVIDER* g_defaultProvider = nullptr;
OSSL_PROVIDER* g_legacyProvider = nullptr;

// Runs at exit before the library's own cleanup (handlers run in reverse order of registration and
// the library registered its handler when it was first initialised): without it the references we
// hold would keep both providers alive through that cleanup and show up as leaks.
void UnloadProvidersAtExit()
{
    if (g_legacyProvider != nullptr)
        OSSL_PROVIDER_unload(g_legacyProvider);
    if (g_defaultProvider != nullptr)
        OSSL_PROVIDER_unload(g_defaultProvider);
    g_legacyProvider = g_defaultProvider = nullptr;
}

int LoadProviders()
{
    // Loading a provider explicitly ends the implicit default one, so load default and then legacy
    // (old PKCS#12 files need RC4 and RC2-40). They stay loaded for the life of the process.
    g_defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
    g_legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
    atexit(UnloadProvidersAtExit);
    return g_defaultProvider != nullptr && g_legacyProvider != nullptr ? 1 : 0;
}

int InitOnce()
{
    // 1. The library's own tables, then the SM objects.
    if (!smdetail::RegisterObjects())
        return 0;
    // 2. Digests and ciphers, then our SM2 key method.
    if (!RegisterDigestsAndCiphers() || !smdetail::RegisterSm2KeyMethod())
        return 0;
    // 3. Ex-data indexes: the engine hook slots, the EC keys of SM2 provider keys and the
    //    verification fields of stores and contexts.
    if (!smdetail::RegisterEngineSlots() || !smdetail::RegisterEcKeyCache() || !smdetail::RegisterVerifySlots())
        return 0;
    // 4. Providers.
    if (!LoadProviders())
        return 0;
    // 5. The self-test of SM2 item signing with the Z value runs last; its failure fails start-up.
    return sm2detail::RunItemSigningSelfTest();
}

}  // namespace

const int& kNidSm2TestCurve = g_nidSm2TestCurve;
const int& kNidSm4Cbc = g_nidSm4Cbc;
const int& kNidSm1Cbc = g_nidSm1Cbc;
const int& kNidZuc = g_nidZuc;
const int& kNidSm2Sm3Pkcs7 = g_nidSm2Sm3Pkcs7;
const int& kNidSmData = g_nidSmData;
const int& kNidSmSignedData = g_nidSmSignedData;

int smdetail::RegisterObjects()
{
    static const int result = CreateObjects();
    return result;
}

int SM_crypto_init()
{
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] { result = InitOnce(); });
    return result;
}

const char* SM_nid2sn(int nid)
{
    if (nid == NID_undef)
        return nullptr;
    if (nid == kNidSm2)
        return "ChinaSM2256";
    if (nid == kNidSm3)
        return "sm3";
    if (nid == kNidSm2Sm3)
        return "sm2-sm3";
    return OBJ_nid2sn(nid);
}

EC_GROUP* SM_EC_GROUP_new_by_curve_name(int nid)
{
    if (nid == NID_undef)
        return nullptr;
    if (nid == kNidSm2TestCurve)
        return NewTestCurve(nid);
    return EC_GROUP_new_by_curve_name(nid);
}
