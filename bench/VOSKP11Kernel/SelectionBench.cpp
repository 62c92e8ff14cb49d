// Certificate selection over one SoftHSM2 token holding 200 certificates, of which the subject
// filter passes one (so no window opens). BM_SelectionRequest is what a selection request costs
// the host: load the module list (unverified), select, release the record, unload;
// BM_SelectCertificate times SelectCertificatefromCSPList alone on loaded modules.
#include "CertificateOperation.h"
#include "DylibInfo.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kCertificates = 200;
constexpr const char* kPin = "123456";

[[noreturn]] void Fail(const char* what)
{
    fprintf(stderr, "selection bench set-up: %s\n", what);
    abort();
}

void Check(bool ok, const char* what)
{
    if (!ok) Fail(what);
}

// DER of a certificate "CN=Bench NNN, O=Bench" signed by key.
std::vector<unsigned char> MakeCertificate(EVP_PKEY* key, int n, std::vector<unsigned char>* subjectDer)
{
    X509* cert = X509_new();
    X509_NAME* name = X509_NAME_new();
    const std::string cn = "Bench " + std::to_string(1000 + n).substr(1);
    Check(cert && name && X509_set_version(cert, 2) && ASN1_INTEGER_set(X509_get_serialNumber(cert), n + 1) &&
              X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Bench"),
                                         -1, -1, 0) &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0) &&
              X509_set_subject_name(cert, name) && X509_set_issuer_name(cert, name) &&
              X509_gmtime_adj(X509_getm_notBefore(cert), 0) &&
              X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 86400) && X509_set_pubkey(cert, key) &&
              X509_sign(cert, key, EVP_sha256()) > 0,
          "certificate");
    unsigned char* p = nullptr;
    const int size = i2d_X509(cert, &p);
    unsigned char* s = nullptr;
    const int subjectSize = i2d_X509_NAME(name, &s);
    Check(size > 0 && subjectSize > 0, "DER");
    std::vector<unsigned char> der(p, p + size);
    subjectDer->assign(s, s + subjectSize);
    OPENSSL_free(p);
    OPENSSL_free(s);
    X509_NAME_free(name);
    X509_free(cert);
    return der;
}

// A SoftHSM2 token directory of its own with the certificates, and a module list over SoftHSM2
// under a ".dylib" name with a signature file beside it (the unverified load needs both).
struct Bed
{
    std::string dir;
    std::string modulePath;
    void* list = nullptr;

    Bed()
    {
        char name[] = "/tmp/varnell-select-bench-XXXXXX";
        Check(nullptr != mkdtemp(name), "mkdtemp");
        dir = name;
        const std::string conf = dir + "/softhsm2.conf";
        Check(0 == system(("mkdir " + dir + "/tokens").c_str()), "mkdir");
        FILE* f = fopen(conf.c_str(), "w");
        Check(nullptr != f, "conf");
        fprintf(f, "directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n", dir.c_str());
        fclose(f);
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);
        Check(0 == system((std::string("softhsm2-util --init-token --free --label bench --so-pin 12345678 --pin ") +
                           kPin + " >/dev/null")
                              .c_str()),
              "softhsm2-util");
        FillToken();

        modulePath = dir + "/libsofthsm2.dylib";
        Check(0 == symlink(SOFTHSM2_MODULE_PATH, modulePath.c_str()), "symlink");
        Check(0 == system(("touch " + dir + "/libsofthsm2.sig").c_str()), "signature file");
        const char* table[1][2] = {{"SoftHSM", modulePath.c_str()}};
        Check(QOVA_OK == InitDylibInfoList(table, 1, &list), "module list");
    }

    ~Bed()
    {
        UnitDylibInfoList(list);
        system(("rm -rf " + dir).c_str());
    }

    // The certificates go in through the module's own interface, before the list loads it.
    void FillToken()
    {
        void* module = dlopen(SOFTHSM2_MODULE_PATH, RTLD_NOW);
        Check(nullptr != module, "dlopen");
        auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST**)>(dlsym(module, "C_GetFunctionList"));
        CK_FUNCTION_LIST* p11 = nullptr;
        Check(getList && CKR_OK == getList(&p11) && CKR_OK == p11->C_Initialize(nullptr), "C_Initialize");
        CK_SLOT_ID slots[8];
        CK_ULONG count = 8;
        Check(CKR_OK == p11->C_GetSlotList(CK_TRUE, slots, &count) && count > 0, "C_GetSlotList");
        CK_SESSION_HANDLE session = 0;
        CK_SLOT_ID slot = slots[0];
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_TOKEN_INFO info;
            if (CKR_OK == p11->C_GetTokenInfo(slots[i], &info) && (info.flags & CKF_TOKEN_INITIALIZED)) slot = slots[i];
        }
        Check(CKR_OK == p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) &&
                  CKR_OK == p11->C_Login(session, CKU_USER, reinterpret_cast<unsigned char*>(const_cast<char*>(kPin)),
                                         6),
              "session");

        EVP_PKEY* key = EVP_EC_gen("P-256");
        Check(nullptr != key, "key");
        for (int n = 0; n < kCertificates; ++n) {
            std::vector<unsigned char> subject;
            std::vector<unsigned char> der = MakeCertificate(key, n, &subject);
            std::string id = "bench" + std::to_string(n);
            CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
            CK_CERTIFICATE_TYPE type = CKC_X_509;
            CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
            CK_ATTRIBUTE attrs[] = {
                {CKA_CLASS, &cls, sizeof(cls)},
                {CKA_CERTIFICATE_TYPE, &type, sizeof(type)},
                {CKA_TOKEN, &yes, sizeof(yes)},
                {CKA_PRIVATE, &no, sizeof(no)},
                {CKA_SUBJECT, subject.data(), subject.size()},
                {CKA_VALUE, der.data(), der.size()},
                {CKA_ID, &id[0], id.size()},
            };
            CK_OBJECT_HANDLE object = 0;
            Check(CKR_OK == p11->C_CreateObject(session, attrs, sizeof(attrs) / sizeof(attrs[0]), &object),
                  "C_CreateObject");
        }
        EVP_PKEY_free(key);
        p11->C_Logout(session);
        p11->C_CloseSession(session);
        p11->C_Finalize(nullptr);
        dlclose(module);
    }
};

Bed& TheBed()
{
    static Bed* bed = new Bed;  // lives to the end of the process, like a host's module list
    return *bed;
}

_CERT_FILTER OneMatch()
{
    static char subject[] = "CN=Bench 137,";
    _CERT_FILTER filter = {};
    filter.pszSubjectDNFilter = subject;
    return filter;
}

void SelectOnce(void* list, benchmark::State& state)
{
    _CERT_FILTER filter = OneMatch();
    _CERTIFICATE_INFO* info = nullptr;
    if (QOVA_OK != SelectCertificatefromCSPList(list, &filter, &info)) state.SkipWithError("selection failed");
    CertInfoPtr chosen(info);
}

void BM_SelectionRequest(benchmark::State& state)
{
    Bed& bed = TheBed();
    for (auto _ : state) {
        LoadDylibInfoList(bed.list, nullptr, false, nullptr, 0);
        SelectOnce(bed.list, state);
        UnloadDylibInfoList(bed.list);
    }
    state.counters["certificates"] = kCertificates;
}
BENCHMARK(BM_SelectionRequest)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_SelectCertificate(benchmark::State& state)
{
    Bed& bed = TheBed();
    // One record stays selected between rounds, as in the host, so the module stays loaded.
    LoadDylibInfoList(bed.list, nullptr, false, nullptr, 0);
    _CERT_FILTER filter = OneMatch();
    _CERTIFICATE_INFO* held = nullptr;
    if (QOVA_OK != SelectCertificatefromCSPList(bed.list, &filter, &held)) state.SkipWithError("selection failed");
    for (auto _ : state) SelectOnce(bed.list, state);
    CertInfoPtr release(held);
    UnloadDylibInfoList(bed.list);
}
BENCHMARK(BM_SelectCertificate)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
