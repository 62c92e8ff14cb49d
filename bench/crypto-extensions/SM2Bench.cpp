// SM2 signing and verification of one 32-byte digest: ours next to OpenSSL 3.0's SM2 (its provider,
// through a prepared EVP_PKEY_CTX) in the same run, with the same key.
#include "SM2Core.h"
#include "SMRegistry.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

struct Fixture
{
    EVP_PKEY* pkey = nullptr;
    BIGNUM* d = nullptr;
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    BIGNUM* e = nullptr;
    unsigned char digest[32];

    Fixture()
    {
        SM_crypto_init();
        EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
        if (kctx == nullptr || EVP_PKEY_keygen_init(kctx) != 1 || EVP_PKEY_keygen(kctx, &pkey) != 1 ||
            !EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &d) ||
            !EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_X, &x) ||
            !EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_Y, &y))
            abort();
        EVP_PKEY_CTX_free(kctx);
        for (int i = 0; i < 32; ++i)
            digest[i] = static_cast<unsigned char>(i * 29 + 3);
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

void BM_SM2_Sign_OpenSSL(benchmark::State& state)
{
    const Fixture& f = Key();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(f.pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    unsigned char sig[128];
    for (auto _ : state) {
        size_t len = sizeof(sig);
        if (EVP_PKEY_sign(ctx, sig, &len, f.digest, sizeof(f.digest)) != 1)
            state.SkipWithError("EVP_PKEY_sign failed");
        benchmark::DoNotOptimize(sig);
    }
    EVP_PKEY_CTX_free(ctx);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SM2_Sign_OpenSSL);

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

void BM_SM2_Verify_OpenSSL(benchmark::State& state)
{
    const Fixture& f = Key();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(f.pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    unsigned char sig[128];
    size_t len = sizeof(sig);
    EVP_PKEY_sign(ctx, sig, &len, f.digest, sizeof(f.digest));
    EVP_PKEY_verify_init(ctx);
    for (auto _ : state) {
        if (EVP_PKEY_verify(ctx, sig, len, f.digest, sizeof(f.digest)) != 1)
            state.SkipWithError("EVP_PKEY_verify failed");
    }
    EVP_PKEY_CTX_free(ctx);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SM2_Verify_OpenSSL);

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
