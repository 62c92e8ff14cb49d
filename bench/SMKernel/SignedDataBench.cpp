// Encode_PKCS7Signature (attached 1 MiB content, signature given) next to i2d_PKCS7 of the same
// structure already built by the library, and ParsePKCS7Signature (every piece asked for) next to
// d2i_PKCS7 on the same bytes. BM_CertificatePieces times the issuer and serial reads of the
// public functions, one certificate check each; BM_CertificatePiecesInOnePass the one check the
// encoder makes for both, which i2d_PKCS7 of a built structure does not.
#include "PKCS7SignedDataOperations.h"
#include "SM2CertHelpers.h"
#include "SM2CertHelpersDetail.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Input
{
    Bytes cert, content = Bytes(1u << 20), signature = Bytes(256), der;

    Input()
    {
        EVP_PKEY* key = EVP_RSA_gen(2048);
        X509* x509 = X509_new();
        if (!key || !x509 || 1 != RAND_bytes(content.data(), static_cast<int>(content.size())) ||
            1 != RAND_bytes(signature.data(), static_cast<int>(signature.size())))
            abort();
        X509_NAME* name = X509_get_subject_name(x509);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench"), -1, -1, 0);
        X509_set_issuer_name(x509, name);
        ASN1_INTEGER_set(X509_get_serialNumber(x509), 0x1234);
        X509_gmtime_adj(X509_getm_notBefore(x509), 0);
        X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
        X509_set_pubkey(x509, key);
        if (0 == X509_sign(x509, key, EVP_sha256()))
            abort();
        unsigned char* p = nullptr;
        const int size = i2d_X509(x509, &p);
        cert.assign(p, p + size);
        OPENSSL_free(p);
        X509_free(x509);
        EVP_PKEY_free(key);
        der = Encode();
    }

    Bytes Encode()
    {
        unsigned char* out = nullptr;
        int size = 0;
        if (QOVA_OK != Encode_PKCS7Signature(cert.data(), static_cast<int>(cert.size()), content.data(),
                                             static_cast<int>(content.size()), nullptr, true, "1.2.840.113549.1.7.2",
                                             "1.2.840.113549.1.7.1", "2.16.840.1.101.3.4.2.1", nullptr,
                                             "1.2.840.113549.1.1.1", signature.data(),
                                             static_cast<int>(signature.size()), SIGNATURE_ENCODED_OCTET_STRING,
                                             nullptr, &out, &size, nullptr, nullptr))
            abort();
        Bytes result(out, out + size);
        delete[] out;
        return result;
    }
};

Input& TheInput()
{
    static Input input;
    return input;
}

void BM_Encode_PKCS7Signature(benchmark::State& state)
{
    Input& in = TheInput();
    for (auto _ : state) {
        unsigned char* out = nullptr;
        int size = 0;
        Encode_PKCS7Signature(in.cert.data(), static_cast<int>(in.cert.size()), in.content.data(),
                              static_cast<int>(in.content.size()), nullptr, true, "1.2.840.113549.1.7.2",
                              "1.2.840.113549.1.7.1", "2.16.840.1.101.3.4.2.1", nullptr, "1.2.840.113549.1.1.1",
                              in.signature.data(), static_cast<int>(in.signature.size()),
                              SIGNATURE_ENCODED_OCTET_STRING, nullptr, &out, &size, nullptr, nullptr);
        benchmark::DoNotOptimize(out);
        delete[] out;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.der.size()));
}
BENCHMARK(BM_Encode_PKCS7Signature);

void BM_CertificatePieces(benchmark::State& state)
{
    Input& in = TheInput();
    for (auto _ : state) {
        unsigned char *issuer = nullptr, *serial = nullptr;
        int issuerSize = 0, serialSize = 0;
        GetIssuerFromCert(in.cert.data(), static_cast<int>(in.cert.size()), &issuer, &issuerSize);
        GetSerialNumberFromCert(in.cert.data(), static_cast<int>(in.cert.size()), &serial, &serialSize);
        benchmark::DoNotOptimize(serial);
        delete[] issuer;
        delete[] serial;
    }
}
BENCHMARK(BM_CertificatePieces);

void BM_CertificatePiecesInOnePass(benchmark::State& state)
{
    Input& in = TheInput();
    for (auto _ : state) {
        unsigned char *issuer = nullptr, *serial = nullptr;
        int issuerSize = 0, serialSize = 0;
        certpieces_detail::GetIssuerAndSerialNumberFromCert(__func__, in.cert.data(), static_cast<int>(in.cert.size()),
                                                            &issuer, &issuerSize, &serial, &serialSize);
        benchmark::DoNotOptimize(serial);
        delete[] issuer;
        delete[] serial;
    }
}
BENCHMARK(BM_CertificatePiecesInOnePass);

void BM_i2d_PKCS7(benchmark::State& state)
{
    Input& in = TheInput();
    const unsigned char* p = in.der.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(in.der.size()));
    if (!p7)
        abort();
    for (auto _ : state) {
        unsigned char* out = nullptr;
        const int size = i2d_PKCS7(p7, &out);
        benchmark::DoNotOptimize(size);
        OPENSSL_free(out);
    }
    PKCS7_free(p7);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.der.size()));
}
BENCHMARK(BM_i2d_PKCS7);

void BM_ParsePKCS7Signature(benchmark::State& state)
{
    Input& in = TheInput();
    for (auto _ : state) {
        unsigned char *cert = nullptr, *sig = nullptr, *content = nullptr, *sa = nullptr, *ua = nullptr;
        char *digestOid = nullptr, *encryptionOid = nullptr;
        int certSize = 0, sigSize = 0, contentSize = 0, saSize = 0, uaSize = 0, dSize = 0, eSize = 0;
        ParsePKCS7Signature(in.der.data(), static_cast<int>(in.der.size()), &cert, &certSize, &sig, &sigSize, &content,
                            &contentSize, &digestOid, &dSize, &encryptionOid, &eSize, &sa, &saSize, &ua, &uaSize, 1);
        benchmark::DoNotOptimize(content);
        delete[] cert;
        delete[] sig;
        delete[] content;
        delete[] digestOid;
        delete[] encryptionOid;
        delete[] sa;
        delete[] ua;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.der.size()));
}
BENCHMARK(BM_ParsePKCS7Signature);

void BM_d2i_PKCS7(benchmark::State& state)
{
    Input& in = TheInput();
    for (auto _ : state) {
        const unsigned char* p = in.der.data();
        PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(in.der.size()));
        benchmark::DoNotOptimize(p7);
        PKCS7_free(p7);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.der.size()));
}
BENCHMARK(BM_d2i_PKCS7);

}  // namespace
