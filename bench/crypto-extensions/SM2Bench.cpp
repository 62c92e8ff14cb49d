// SM2 of one 32-byte digest: the core functions, and signing and verification through EVP_PKEY_sign /
// EVP_PKEY_verify with our key method, for a legacy key and a provider key. OpenSSL's own SM2 through
// the same calls is bench_cryptoext_sm2_stock (a process of its own: here every SM2 operation is ours).
#include "SM2Core.h"
#include "SM2EvpBench.h"
#include "SMRegistry.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>

namespace {

// One key as a legacy key (EC_KEY) and, read back from its DER, as a provider key.
struct Fixture
{
    EVP_PKEY* legacy = nullptr;
    EVP_PKEY* provider = nullptr;
    const BIGNUM* d = nullptr;
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    BIGNUM* e = nullptr;
    const unsigned char* digest = sm2bench::Digest();

    Fixture()
    {
        EC_KEY* ec = EC_KEY_new_by_curve_name(kNidSm2);
        legacy = EVP_PKEY_new();
        x = BN_new();
        y = BN_new();
        if (SM_crypto_init() != 1 || ec == nullptr || !EC_KEY_generate_key(ec) ||
            !EVP_PKEY_assign_EC_KEY(legacy, ec) ||
            !EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), x, y, nullptr))
            abort();
        d = EC_KEY_get0_private_key(ec);
        unsigned char* der = nullptr;
        const int len = i2d_PrivateKey(legacy, &der);
        const unsigned char* p = der;
        provider = len > 0 ? d2i_AutoPrivateKey(nullptr, &p, len) : nullptr;
        OPENSSL_free(der);
        if (provider == nullptr || EVP_PKEY_get_id(provider) == EVP_PKEY_SM2)
            abort();
        e = BN_bin2bn(digest, 32, nullptr);
    }
};

const Fixture& Key()
{
    static const Fixture f;
    return f;
}

void BM_SM2_Sign_Ours(benchmark::State& state)
{
    const Fixture& f = Key();
    for (auto _ : state) {
        ECDSA_SIG* sig = _SM2_sign(f.e, f.d, kNidSm2);
        benchmark::DoNotOptimize(sig);
        ECDSA_SIG_free(sig);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SM2_Sign_Ours);

void BM_SM2_Verify_Ours(benchmark::State& state)
{
    const Fixture& f = Key();
    ECDSA_SIG* sig = _SM2_sign(f.e, f.d, kNidSm2);
    for (auto _ : state) {
        if (_SM2_verify(sig, f.x, f.y, f.e, kNidSm2) != 1)
            state.SkipWithError("verification failed");
    }
    ECDSA_SIG_free(sig);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SM2_Verify_Ours);

void BM_SM2_EvpSign_OursLegacyKey(benchmark::State& state)
{
    sm2bench::SignLoop(state, Key().legacy);
}
BENCHMARK(BM_SM2_EvpSign_OursLegacyKey);

void BM_SM2_EvpSign_OursProviderKey(benchmark::State& state)
{
    sm2bench::SignLoop(state, Key().provider);
}
BENCHMARK(BM_SM2_EvpSign_OursProviderKey);

void BM_SM2_EvpVerify_OursLegacyKey(benchmark::State& state)
{
    sm2bench::VerifyLoop(state, Key().legacy);
}
BENCHMARK(BM_SM2_EvpVerify_OursLegacyKey);

void BM_SM2_EvpVerify_OursProviderKey(benchmark::State& state)
{
    sm2bench::VerifyLoop(state, Key().provider);
}
BENCHMARK(BM_SM2_EvpVerify_OursProviderKey);

void BM_SM2_Encrypt16_Ours(benchmark::State& state)
{
    const Fixture& f = Key();
    unsigned char out[SM2_CIPHERTEXT_OVERHEAD + 16];
    for (auto _ : state)
        benchmark::DoNotOptimize(_SM2_encrypt(kNidSm2, f.digest, 16, f.x, f.y, out));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SM2_Encrypt16_Ours);

void BM_SM2_Decrypt16_Ours(benchmark::State& state)
{
    const Fixture& f = Key();
    unsigned char ct[SM2_CIPHERTEXT_OVERHEAD + 16], out[16];
    _SM2_encrypt(kNidSm2, f.digest, 16, f.x, f.y, ct);
    for (auto _ : state)
        benchmark::DoNotOptimize(_SM2_decrypt(kNidSm2, ct, sizeof(ct), f.d, out));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SM2_Decrypt16_Ours);

}  // namespace
