// OpenSSL 3.0's own SM2 (its provider) through EVP_PKEY_sign / EVP_PKEY_verify, in a process where
// SM_crypto_init never runs. Compare with BM_SM2_Evp* of bench_cryptoext_sm2.
#include "SM2EvpBench.h"

#include <cstdlib>

namespace {

EVP_PKEY* Key()
{
    static EVP_PKEY* const pkey = [] {
        EVP_PKEY* k = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
        if (k == nullptr)
            abort();
        return k;
    }();
    return pkey;
}

void BM_SM2_EvpSign_OpenSSL(benchmark::State& state)
{
    sm2bench::SignLoop(state, Key());
}
BENCHMARK(BM_SM2_EvpSign_OpenSSL);

void BM_SM2_EvpVerify_OpenSSL(benchmark::State& state)
{
    sm2bench::VerifyLoop(state, Key());
}
BENCHMARK(BM_SM2_EvpVerify_OpenSSL);

}  // namespace
