#include "CertBuilder.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>

namespace certtest {

namespace {

[[noreturn]] void Refused(const char* what)
{
    fprintf(stderr, "test certificate: %s refused\n", what);
    abort();
}

EVP_PKEY* SigningKey(bool ec)
{
    // Made once per process: key generation dominates otherwise.
    static EVP_PKEY* s_rsa = EVP_RSA_gen(1024);
    static EVP_PKEY* s_ec = EVP_EC_gen("P-256");
    EVP_PKEY* key = ec ? s_ec : s_rsa;
    if (!key) Refused("key generation");
    return key;
}

X509_NAME* MakeName(const std::vector<NameEntry>& entries)
{
    X509_NAME* name = X509_NAME_new();
    for (const NameEntry& e : entries) {
        ASN1_OBJECT* obj = OBJ_txt2obj(e.field.c_str(), 0);
        if (!obj || !X509_NAME_add_entry_by_OBJ(name, obj, e.type, reinterpret_cast<const unsigned char*>(e.value.data()),
                                                static_cast<int>(e.value.size()), -1, e.joinPrevious ? -1 : 0))
            Refused(e.field.c_str());
        ASN1_OBJECT_free(obj);
    }
    return name;
}

void SetTime(ASN1_TIME* t, const std::string& text)
{
    if (!ASN1_TIME_set_string(t, text.c_str())) Refused(text.c_str());
}

}  // namespace

std::vector<unsigned char> MakeDer(const CertSpec& spec)
{
    EVP_PKEY* key = spec.key ? spec.key : SigningKey(spec.ecKey);
    X509* cert = X509_new();
    X509_set_version(cert, 2);

    BIGNUM* bn = nullptr;
    if (!BN_hex2bn(&bn, spec.serialHex.c_str())) Refused("serial");
    BN_set_negative(bn, spec.negativeSerial ? 1 : 0);
    ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(bn, nullptr);
    X509_set_serialNumber(cert, serial);
    ASN1_INTEGER_free(serial);
    BN_free(bn);

    SetTime(X509_getm_notBefore(cert), spec.notBefore);
    SetTime(X509_getm_notAfter(cert), spec.notAfter);
    X509_NAME* subject = MakeName(spec.subject);
    X509_NAME* issuer = MakeName(spec.issuer.empty() ? spec.subject : spec.issuer);
    X509_set_subject_name(cert, subject);
    X509_set_issuer_name(cert, issuer);
    X509_NAME_free(subject);
    X509_NAME_free(issuer);
    X509_set_pubkey(cert, key);

    if (spec.withKeyId) {
        std::vector<unsigned char> value = spec.keyIdValue;
        if (value.empty()) {
            value = {0x04, 0x14};
            for (unsigned char b = 0xA0; b < 0xB4; ++b) value.push_back(b);
        }
        ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(data, value.data(), static_cast<int>(value.size()));
        X509_EXTENSION* ext = X509_EXTENSION_create_by_NID(nullptr, NID_subject_key_identifier, 0, data);
        if (!ext || !X509_add_ext(cert, ext, -1)) Refused("key identifier");
        X509_EXTENSION_free(ext);
        ASN1_OCTET_STRING_free(data);
    }

    if (!X509_sign(cert, key, EVP_get_digestbyname(spec.digest.c_str()))) Refused(spec.digest.c_str());
    unsigned char* der = nullptr;
    const int size = i2d_X509(cert, &der);
    if (size <= 0) Refused("encoding");
    std::vector<unsigned char> out(der, der + size);
    OPENSSL_free(der);
    X509_free(cert);
    return out;
}

}  // namespace certtest
