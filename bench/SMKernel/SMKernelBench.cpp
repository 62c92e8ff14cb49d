// DER engine and Base64 codec against OpenSSL on the same data, in the same run:
//   parse (+ re-encode) of a 1 MiB PKCS#7 SignedData: DecodeASN1MemoryEx / EncodeASN1ToMemory
//     against d2i_PKCS7 / i2d_PKCS7 and the generic d2i / i2d_ASN1_SEQUENCE_ANY;
//   parse (+ re-encode) of a CRL with 5000 entries (many small nodes) against d2i_X509_CRL and the
//     generic sequence;
//   Base64 of 1 MiB: Base64Encode / Base64Decode (and the allocating wrappers) against
//     EVP_EncodeBlock / EVP_DecodeBlock.
#include "Base64.h"
#include "NodeEx.h"

#include <benchmark/benchmark.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kContentSize = 1 << 20;

using Bytes = std::vector<unsigned char>;

Bytes RandomBytes(size_t size)
{
    Bytes out(size);
    if (1 != RAND_bytes(out.data(), static_cast<int>(size)))
        abort();
    return out;
}

// A SignedData carrying 1 MiB of content, signed with a fresh P-256 key and certificate.
Bytes MakeSignedData()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());

    const Bytes content = RandomBytes(kContentSize);
    BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    PKCS7* p7 = PKCS7_sign(cert, key, nullptr, in, PKCS7_BINARY);
    if (!p7)
        abort();
    unsigned char* der = nullptr;
    const int size = i2d_PKCS7(p7, &der);
    Bytes out(der, der + size);
    OPENSSL_free(der);
    PKCS7_free(p7);
    BIO_free(in);
    X509_free(cert);
    EVP_PKEY_free(key);
    return out;
}

const Bytes& SignedData()
{
    static const Bytes data = MakeSignedData();
    return data;
}

// A CRL of 5000 revoked entries signed with a fresh P-256 key.
Bytes MakeCrl()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, X509_CRL_VERSION_2);
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench CA"), -1, -1, 0);
    X509_CRL_set_issuer_name(crl, name);
    ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
    X509_CRL_set1_lastUpdate(crl, now);
    X509_CRL_set1_nextUpdate(crl, now);
    for (long i = 1; i <= 5000; ++i) {
        X509_REVOKED* revoked = X509_REVOKED_new();
        ASN1_INTEGER* serial = ASN1_INTEGER_new();
        ASN1_INTEGER_set(serial, i * 7919);
        X509_REVOKED_set_serialNumber(revoked, serial);
        X509_REVOKED_set_revocationDate(revoked, now);
        X509_CRL_add0_revoked(crl, revoked);
        ASN1_INTEGER_free(serial);
    }
    X509_CRL_sort(crl);
    X509_CRL_sign(crl, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int size = i2d_X509_CRL(crl, &der);
    Bytes out(der, der + size);
    OPENSSL_free(der);
    ASN1_TIME_free(now);
    X509_NAME_free(name);
    X509_CRL_free(crl);
    EVP_PKEY_free(key);
    return out;
}

const Bytes& Crl()
{
    static const Bytes data = MakeCrl();
    return data;
}

const Bytes& Content()
{
    static const Bytes data = RandomBytes(kContentSize);
    return data;
}

const std::vector<char>& Base64Text()
{
    static const std::vector<char> text = [] {
        std::vector<char> out(4 * ((kContentSize + 2) / 3) + 1);
        const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), Content().data(),
                                      static_cast<int>(kContentSize));
        out.resize(static_cast<size_t>(n));
        return out;
    }();
    return text;
}

void BM_NodeEx_Parse(benchmark::State& state, const Bytes& (*input)())
{
    Bytes der = input();
    for (auto _ : state) {
        NodeEx* root = nullptr;
        if (QOVA_OK != DecodeASN1MemoryEx(der.data(), der.size(), &root))
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root);
        delete root;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}
BENCHMARK_CAPTURE(BM_NodeEx_Parse, SignedData, SignedData);
BENCHMARK_CAPTURE(BM_NodeEx_Parse, Crl, Crl);

void BM_OpenSSL_d2i_PKCS7(benchmark::State& state)
{
    const Bytes& der = SignedData();
    for (auto _ : state) {
        const unsigned char* p = der.data();
        PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
        if (!p7)
            state.SkipWithError("d2i failed");
        benchmark::DoNotOptimize(p7);
        PKCS7_free(p7);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}
BENCHMARK(BM_OpenSSL_d2i_PKCS7);

void BM_NodeEx_ParseEncode(benchmark::State& state, const Bytes& (*input)())
{
    Bytes der = input();
    for (auto _ : state) {
        NodeEx* root = nullptr;
        unsigned char* encoded = nullptr;
        int size = 0;
        int depth = 0;
        if (QOVA_OK != DecodeASN1MemoryEx(der.data(), der.size(), &root) ||
            QOVA_OK != EncodeASN1ToMemory(root, &encoded, &size, &depth) || static_cast<size_t>(size) != der.size())
            state.SkipWithError("round trip failed");
        benchmark::DoNotOptimize(encoded);
        delete[] encoded;
        delete root;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}
BENCHMARK_CAPTURE(BM_NodeEx_ParseEncode, SignedData, SignedData);
BENCHMARK_CAPTURE(BM_NodeEx_ParseEncode, Crl, Crl);

void BM_OpenSSL_d2i_i2d_PKCS7(benchmark::State& state)
{
    const Bytes& der = SignedData();
    for (auto _ : state) {
        const unsigned char* p = der.data();
        PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
        unsigned char* encoded = nullptr;
        const int size = p7 ? i2d_PKCS7(p7, &encoded) : -1;
        if (static_cast<size_t>(size) != der.size())
            state.SkipWithError("round trip failed");
        benchmark::DoNotOptimize(encoded);
        OPENSSL_free(encoded);
        PKCS7_free(p7);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}
BENCHMARK(BM_OpenSSL_d2i_i2d_PKCS7);

void BM_OpenSSL_d2i_i2d_SEQUENCE_ANY(benchmark::State& state, const Bytes& (*input)())
{
    const Bytes& der = input();
    for (auto _ : state) {
        const unsigned char* p = der.data();
        ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
        unsigned char* encoded = nullptr;
        const int size = seq ? i2d_ASN1_SEQUENCE_ANY(seq, &encoded) : -1;
        if (static_cast<size_t>(size) != der.size())
            state.SkipWithError("round trip failed");
        benchmark::DoNotOptimize(encoded);
        OPENSSL_free(encoded);
        sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}
BENCHMARK_CAPTURE(BM_OpenSSL_d2i_i2d_SEQUENCE_ANY, SignedData, SignedData);
BENCHMARK_CAPTURE(BM_OpenSSL_d2i_i2d_SEQUENCE_ANY, Crl, Crl);

void BM_OpenSSL_d2i_X509_CRL(benchmark::State& state)
{
    const Bytes& der = Crl();
    for (auto _ : state) {
        const unsigned char* p = der.data();
        X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
        if (!crl)
            state.SkipWithError("d2i failed");
        benchmark::DoNotOptimize(crl);
        X509_CRL_free(crl);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * der.size()));
}
BENCHMARK(BM_OpenSSL_d2i_X509_CRL);

void BM_Base64Encode_OneLine(benchmark::State& state)
{
    const Bytes& data = Content();
    std::vector<char> out(static_cast<size_t>(Base64EncodeGetRequiredLength(static_cast<int>(data.size()),
                                                                            ATL_BASE64_FLAG_NOCRLF)));
    for (auto _ : state) {
        int size = static_cast<int>(out.size());
        if (!Base64Encode(data.data(), static_cast<int>(data.size()), out.data(), &size, ATL_BASE64_FLAG_NOCRLF))
            state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Base64Encode_OneLine);

void BM_Base64Encode_Lines(benchmark::State& state)
{
    const Bytes& data = Content();
    std::vector<char> out(static_cast<size_t>(Base64EncodeGetRequiredLength(static_cast<int>(data.size()),
                                                                            ATL_BASE64_FLAG_NONE)));
    for (auto _ : state) {
        int size = static_cast<int>(out.size());
        if (!Base64Encode(data.data(), static_cast<int>(data.size()), out.data(), &size, ATL_BASE64_FLAG_NONE))
            state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Base64Encode_Lines);

void BM_Base64EncodeEx_OneLine(benchmark::State& state)
{
    Bytes data = Content();
    for (auto _ : state) {
        char* text = nullptr;
        int length = 0;
        if (QOVA_OK != Base64EncodeEx(data.data(), static_cast<int>(data.size()), &text, &length,
                                      ATL_BASE64_FLAG_NOCRLF))
            state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(text);
        delete[] text;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Base64EncodeEx_OneLine);

void BM_OpenSSL_EVP_EncodeBlock(benchmark::State& state)
{
    const Bytes& data = Content();
    std::vector<unsigned char> out(4 * ((data.size() + 2) / 3) + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), data.data(), static_cast<int>(data.size())));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_OpenSSL_EVP_EncodeBlock);

void BM_Base64Decode(benchmark::State& state)
{
    const std::vector<char>& text = Base64Text();
    std::vector<unsigned char> out(text.size());
    for (auto _ : state) {
        int size = static_cast<int>(out.size());
        if (!Base64Decode(text.data(), static_cast<int>(text.size()), out.data(), &size))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentSize));
}
BENCHMARK(BM_Base64Decode);

void BM_Base64DecodeEx(benchmark::State& state)
{
    const std::vector<char>& text = Base64Text();
    for (auto _ : state) {
        unsigned char* data = nullptr;
        int size = 0;
        if (QOVA_OK != Base64DecodeEx(text.data(), static_cast<int>(text.size()), &data, &size))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(data);
        delete[] data;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentSize));
}
BENCHMARK(BM_Base64DecodeEx);

void BM_OpenSSL_EVP_DecodeBlock(benchmark::State& state)
{
    const std::vector<char>& text = Base64Text();
    std::vector<unsigned char> out(text.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                                 static_cast<int>(text.size())));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentSize));
}
BENCHMARK(BM_OpenSSL_EVP_DecodeBlock);

}  // namespace
