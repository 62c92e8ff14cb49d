// Throughput of our SM3, SM4-CBC and ZUC on 1 MiB buffers, next to OpenSSL 3.0's own SM3 and SM4-CBC
// (its provider implementations) in the same run.
#include "SM3Digest.h"
#include "SMRegistry.h"

#include <openssl/evp.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr size_t kBufferSize = 1 << 20;

const std::vector<unsigned char>& Buffer()
{
    static const std::vector<unsigned char> buf = [] {
        std::vector<unsigned char> b(kBufferSize);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<unsigned char>(i * 131 + 7);
        return b;
    }();
    return buf;
}

void BM_SM3_Ours(benchmark::State& state)
{
    const auto& buf = Buffer();
    unsigned char md[32];
    for (auto _ : state) {
        SM3_CTX ctx;
        SM3_Init(&ctx);
        SM3_Update(&ctx, buf.data(), buf.size());
        SM3_Final(md, &ctx);
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_SM3_Ours);

void DigestThroughEvp(benchmark::State& state, const EVP_MD* md)
{
    const auto& buf = Buffer();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, buf.data(), buf.size());
        EVP_DigestFinal_ex(ctx, out, &outLen);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}

void BM_SM3_OursThroughEvp(benchmark::State& state)
{
    SM_crypto_init();
    DigestThroughEvp(state, SM_EVP_sm3());
}
BENCHMARK(BM_SM3_OursThroughEvp);

void BM_SM3_OpenSSL(benchmark::State& state)
{
    EVP_MD* md = EVP_MD_fetch(nullptr, "SM3", nullptr);
    DigestThroughEvp(state, md);
    EVP_MD_free(md);
}
BENCHMARK(BM_SM3_OpenSSL);

void CipherThroughEvp(benchmark::State& state, const EVP_CIPHER* cipher, int enc)
{
    const auto& buf = Buffer();
    std::vector<unsigned char> out(kBufferSize + 32);
    const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const unsigned char iv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int n = 0;
        EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, enc);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, out.data(), &n, buf.data(), static_cast<int>(buf.size()));
        EVP_CipherFinal_ex(ctx, out.data() + n, &n);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}

void BM_SM4CBC_Encrypt_Ours(benchmark::State& state)
{
    SM_crypto_init();
    CipherThroughEvp(state, SM_EVP_sm4_cbc(), 1);
}
BENCHMARK(BM_SM4CBC_Encrypt_Ours);

void BM_SM4CBC_Encrypt_OpenSSL(benchmark::State& state)
{
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "SM4-CBC", nullptr);
    CipherThroughEvp(state, c, 1);
    EVP_CIPHER_free(c);
}
BENCHMARK(BM_SM4CBC_Encrypt_OpenSSL);

void BM_SM4CBC_Decrypt_Ours(benchmark::State& state)
{
    SM_crypto_init();
    CipherThroughEvp(state, SM_EVP_sm4_cbc(), 0);
}
BENCHMARK(BM_SM4CBC_Decrypt_Ours);

void BM_SM4CBC_Decrypt_OpenSSL(benchmark::State& state)
{
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "SM4-CBC", nullptr);
    CipherThroughEvp(state, c, 0);
    EVP_CIPHER_free(c);
}
BENCHMARK(BM_SM4CBC_Decrypt_OpenSSL);

void BM_ZUC_Ours(benchmark::State& state)
{
    SM_crypto_init();
    CipherThroughEvp(state, EVP_zuc(), 1);
}
BENCHMARK(BM_ZUC_Ours);

}  // namespace
