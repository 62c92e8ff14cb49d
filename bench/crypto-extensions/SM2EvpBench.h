// SM2 signing and verification of one 32-byte digest through EVP_PKEY_sign / EVP_PKEY_verify, shared
// by the benchmark of our key method and the one of OpenSSL's own SM2. The two run in separate
// processes: once SM_crypto_init has registered our method, every SM2 key operation is ours.
#ifndef VARNELL_BENCH_SM2_EVP_BENCH_H
#define VARNELL_BENCH_SM2_EVP_BENCH_H

#include <openssl/evp.h>

#include <benchmark/benchmark.h>

namespace sm2bench {

inline const unsigned char* Digest()
{
    static const unsigned char digest[32] = {3,   32,  61,  90,  119, 148, 177, 206, 235, 8,   37,
                                             66,  95,  124, 153, 182, 211, 240, 13,  42,  71,  100,
                                             129, 158, 187, 216, 245, 18,  47,  76,  105, 134};
    return digest;
}

inline void SignLoop(benchmark::State& state, EVP_PKEY* pkey)
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    if (ctx == nullptr || EVP_PKEY_sign_init(ctx) != 1)
        state.SkipWithError("no signing context");
    unsigned char sig[128];
    for (auto _ : state) {
        size_t len = sizeof(sig);
        if (EVP_PKEY_sign(ctx, sig, &len, Digest(), 32) != 1)
            state.SkipWithError("EVP_PKEY_sign failed");
        benchmark::DoNotOptimize(sig);
    }
    EVP_PKEY_CTX_free(ctx);
    state.SetItemsProcessed(state.iterations());
}

inline void VerifyLoop(benchmark::State& state, EVP_PKEY* pkey)
{
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    unsigned char sig[128];
    size_t len = sizeof(sig);
    if (ctx == nullptr || EVP_PKEY_sign_init(ctx) != 1 || EVP_PKEY_sign(ctx, sig, &len, Digest(), 32) != 1 ||
        EVP_PKEY_verify_init(ctx) != 1)
        state.SkipWithError("no signature to verify");
    for (auto _ : state) {
        if (EVP_PKEY_verify(ctx, sig, len, Digest(), 32) != 1)
            state.SkipWithError("EVP_PKEY_verify failed");
    }
    EVP_PKEY_CTX_free(ctx);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace sm2bench

#endif
