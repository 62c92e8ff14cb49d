#include "TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <memory>

namespace testcerts {

namespace {

template <class T, void (*F)(T*)>
struct Deleter
{
    void operator()(T* p) const { F(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;

NamePtr MakeName(const std::string& cn)
{
    NamePtr name(X509_NAME_new());
    X509_NAME_add_entry_by_txt(name.get(), "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Varnell Test"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                               -1, 0);
    return name;
}

NamePtr MakeName(const NameEntries& entries)
{
    NamePtr name(X509_NAME_new());
    for (const auto& e : entries) {
        if (!X509_NAME_add_entry_by_txt(name.get(), e.first.c_str(), MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(e.second.c_str()), -1, -1, 0))
            abort();
    }
    return name;
}

std::vector<unsigned char> SignedCertificate(const NamePtr& subject, const NamePtr& issuer, long serial)
{
    KeyPtr key(EVP_EC_gen("P-256"));
    CertPtr cert(X509_new());
    if (!key || !cert)
        abort();
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
    X509_set_subject_name(cert.get(), subject.get());
    X509_set_issuer_name(cert.get(), issuer.get());
    X509_set_pubkey(cert.get(), key.get());
    if (0 == X509_sign(cert.get(), key.get(), EVP_sha256()))
        abort();
    unsigned char* der = nullptr;
    const int size = i2d_X509(cert.get(), &der);
    if (size <= 0)
        abort();
    std::vector<unsigned char> out(der, der + size);
    OPENSSL_free(der);
    return out;
}

}  // namespace

std::vector<unsigned char> MakeCertificate(const std::string& subjectCN, const std::string& issuerCN, long serial)
{
    return SignedCertificate(MakeName(subjectCN), MakeName(issuerCN), serial);
}

std::vector<unsigned char> MakeCertificate(const NameEntries& subject, const NameEntries& issuer, long serial)
{
    return SignedCertificate(MakeName(subject), MakeName(issuer), serial);
}

}  // namespace testcerts
