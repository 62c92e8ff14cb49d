// PKCS7_SignData (RSA 2048, SHA-256, 1 KiB message, logout afterwards) through SoftHSM2 next to
// the token's own work for the same signature on the same session: C_Login, the key's search,
// C_SignInit and C_Sign of the same DigestInfo with CKM_RSA_PKCS, C_Logout. The difference is what
// our wrapping costs: the key type, the size query, reading the certificate again, the SignedData
// and Base64.
//
// Two parts of the wrapping are timed alone: reading the certificate again from the token, and the
// SignedData encoder over the record's certificate with a made-up signature.
//
// The template token of the tests' fixture script is copied into a directory of its own.
#include "DataSigning.h"
#include "P11Kernel.h"
#include "PKCS7SignedDataOperations.h"
#include "VOSKP11Kernel.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The host's default PIN.
const std::string kPin("\x01\x08" "40917263", 10);

// SHA-256's DigestInfo prefix (RFC 8017, section 9.2, note 1).
const unsigned char kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

char* CopyText(const char* text)
{
    char* copy = new char[strlen(text) + 1];
    strcpy(copy, text);
    return copy;
}

struct Bed
{
    std::string dir;
    DylibInfo* entry = nullptr;
    _CERTIFICATE_INFO* record = nullptr;
    std::vector<unsigned char> message = std::vector<unsigned char>(1024);
    std::vector<unsigned char> digestInfo;

    Bed()
    {
        char name[] = "/tmp/varnell-signing-bench-XXXXXX";
        if (nullptr == mkdtemp(name))
            abort();
        dir = name;
        const std::string copy = "cp -a '" BENCH_P11_FIXTURE_DIR "/softhsm/tokens' '" + dir + "/tokens'";
        const std::string conf = dir + "/softhsm2.conf";
        FILE* f = fopen(conf.c_str(), "w");
        if (0 != system(copy.c_str()) || nullptr == f)
            abort();
        fprintf(f, "directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n"
                   "slots.removable = false\n", dir.c_str());
        fclose(f);
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);

        if (!InitVOSKP11Kernel())
            abort();
        entry = new DylibInfo[1]();
        entry->pszDylibPath = CopyText(SOFTHSM2_MODULE_PATH);
        entry->pszCSPName = CopyText("SoftHSM");
        if (QOVA_OK != LoadP11Dylib(entry))
            abort();
        std::vector<_CERTIFICATE_DATA*> found;
        GetAllCertDataFromDevices(entry, found);
        for (_CERTIFICATE_DATA* data : found) {
            if (0 == strcmp("cont1#2", data->pszCkID))
                ConstructCertificateInfo(entry->pszCSPName, entry->pszDylibPath, data, &record);
        }
        ClearCertificateDataSet(found);
        if (nullptr == record)
            abort();

        for (size_t i = 0; i < message.size(); ++i)
            message[i] = static_cast<unsigned char>(i * 7);
        unsigned char hash[32];
        unsigned int hashSize = 0;
        if (!EVP_Digest(message.data(), message.size(), hash, &hashSize, EVP_sha256(), nullptr))
            abort();
        digestInfo.assign(kSha256Prefix, kSha256Prefix + sizeof(kSha256Prefix));
        digestInfo.insert(digestInfo.end(), hash, hash + hashSize);

    }

    ~Bed()
    {
        CleanCertInfo(record);
        delete[] record;
        UnLoadP11Dylib(entry);
        ReleaseDylibInfo(entry);
        UninitVOSKP11Kernel();
        const int removed = system(("rm -rf '" + dir + "'").c_str());
        (void)removed;
    }

    SessionCtx* Session() const { return record->pCertData->pstSessionCtx; }
    unsigned char* PinBytes() const { return reinterpret_cast<unsigned char*>(const_cast<char*>(kPin.data())); }
};

Bed& TheBed()
{
    static Bed bed;
    return bed;
}

void BM_PKCS7_SignData(benchmark::State& state)
{
    Bed& bed = TheBed();
    for (auto _ : state) {
        char* text = nullptr;
        if (QOVA_OK != PKCS7_SignData(bed.record, bed.PinBytes(), static_cast<int>(kPin.size()), QOVA_CALG_SHA256, true,
                                      true, SIG_TYPE_SM2_Q7_V3, bed.message.data(),
                                      static_cast<int>(bed.message.size()), 1, &text)) {
            state.SkipWithError("PKCS7_SignData failed");
            break;
        }
        benchmark::DoNotOptimize(text);
        delete[] text;
    }
}
BENCHMARK(BM_PKCS7_SignData)->Unit(benchmark::kMillisecond);

void BM_TokenLoginSignLogout(benchmark::State& state)
{
    Bed& bed = TheBed();
    CK_FUNCTION_LIST* list = bed.Session()->pDylibInfo->pCkFunctionList;
    const CK_SESSION_HANDLE session = bed.Session()->hSession;
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    char id[] = "cont1#2";
    CK_ATTRIBUTE key[] = {{CKA_CLASS, &keyClass, sizeof(keyClass)}, {CKA_ID, id, strlen(id)}};
    unsigned char signature[256];
    for (auto _ : state) {
        CK_ULONG size = sizeof(signature);
        CK_OBJECT_HANDLE hKey = 0;
        CK_ULONG found = 0;
        // SoftHSM2 drops the handles of private objects at logout: the key is found after each login.
        const bool ok = CKR_OK == list->C_Login(session, CKU_USER, bed.PinBytes(), kPin.size()) &&
                        CKR_OK == list->C_FindObjectsInit(session, key, 2) &&
                        CKR_OK == list->C_FindObjects(session, &hKey, 1, &found) &&
                        CKR_OK == list->C_FindObjectsFinal(session) && 1 == found &&
                        CKR_OK == list->C_SignInit(session, &mechanism, hKey) &&
                        CKR_OK == list->C_Sign(session, bed.digestInfo.data(), bed.digestInfo.size(), signature,
                                               &size) &&
                        CKR_OK == list->C_Logout(session);
        if (!ok) {
            state.SkipWithError("token signature failed");
            break;
        }
        benchmark::DoNotOptimize(signature);
    }
}
BENCHMARK(BM_TokenLoginSignLogout)->Unit(benchmark::kMillisecond);

void BM_ReadCertificateAgain(benchmark::State& state)
{
    Bed& bed = TheBed();
    for (auto _ : state) {
        unsigned char* cert = nullptr;
        int size = 0;
        if (QOVA_OK != ExportDERCertFromP11(bed.record->pCertData, &cert, &size)) {
            state.SkipWithError("ExportDERCertFromP11 failed");
            break;
        }
        delete[] cert;
    }
}
BENCHMARK(BM_ReadCertificateAgain)->Unit(benchmark::kMillisecond);

void BM_EncodeSignedData(benchmark::State& state)
{
    Bed& bed = TheBed();
    unsigned char signature[256] = {1};
    for (auto _ : state) {
        unsigned char* der = nullptr;
        int size = 0;
        if (QOVA_OK != Encode_PKCS7Signature(bed.record->pCertData->pbyCertificate,
                                             bed.record->pCertData->nCertificateSize, bed.message.data(),
                                             static_cast<int>(bed.message.size()), nullptr, true,
                                             "1.2.840.113549.1.7.2", "1.2.840.113549.1.7.1", "2.16.840.1.101.3.4.2.1",
                                             nullptr, "1.2.840.113549.1.1.1", signature, sizeof(signature),
                                             SIGNATURE_ENCODED_OCTET_STRING, nullptr, &der, &size, nullptr, nullptr)) {
            state.SkipWithError("Encode_PKCS7Signature failed");
            break;
        }
        delete[] der;
    }
}
BENCHMARK(BM_EncodeSignedData)->Unit(benchmark::kMillisecond);

}  // namespace
