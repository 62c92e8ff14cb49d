// Reads arbitrary bytes as a certificate (PEM or DER) and runs every field reader over it, and the
// issuer and serial readers of the certificate pieces over the bytes themselves; the bytes also go
// to the time reader as a UTCTime and as a GeneralizedTime string of exactly their length, so a
// read past a short time string is seen.
#include "CertificateFields.h"
#include "SM2CertHelpers.h"

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

bool IsUpperHex(const char* text)
{
    for (; *text; ++text)
        if (!((*text >= '0' && *text <= '9') || (*text >= 'A' && *text <= 'F'))) return false;
    return true;
}

// A text reader either fails and writes nothing, or hands out a text whose length it reports.
void CheckText(unsigned int (*reader)(X509*, char**, int*), X509* cert, bool hex, int maxLength)
{
    char* text = nullptr;
    int length = -1;
    if (QOVA_OK != reader(cert, &text, &length)) {
        if (text || -1 != length) __builtin_trap();
        return;
    }
    if (!text || length < 0 || static_cast<size_t>(length) != strlen(text) || length > maxLength) __builtin_trap();
    if (hex && (!IsUpperHex(text) || length % 2)) __builtin_trap();
    delete[] text;
}

void CheckTime(int type, const uint8_t* data, size_t size)
{
    ASN1_STRING* time = ASN1_STRING_type_new(type);
    unsigned char* exact = static_cast<unsigned char*>(OPENSSL_malloc(size ? size : 1));
    if (!time || !exact) __builtin_trap();
    if (size) memcpy(exact, data, size);
    ASN1_STRING_set0(time, exact, static_cast<int>(size));
    long utc = 1;
    if (QOVA_OK != ASN1_TIME_To_UTCTime(time, &utc) && 0 != utc) __builtin_trap();
    ASN1_STRING_free(time);
}

// A piece is handed out only as the whole TLV the library reads it as, and nothing on failure.
template <typename T>
void CheckPiece(unsigned int (*getter)(unsigned char*, int, unsigned char**, int*), std::vector<unsigned char> bytes,
                T* (*d2i)(T**, const unsigned char**, long), void (*release)(T*))
{
    unsigned char* piece = nullptr;
    int length = -1;
    if (QOVA_OK != getter(bytes.data(), static_cast<int>(bytes.size()), &piece, &length)) {
        if (piece || -1 != length) __builtin_trap();
        return;
    }
    const unsigned char* p = piece;
    T* decoded = piece && length > 0 ? d2i(nullptr, &p, length) : nullptr;
    if (!decoded || p != piece + length) __builtin_trap();
    release(decoded);
    delete[] piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16) return 0;
    std::vector<unsigned char> bytes(data, data + size);
    X509* cert = nullptr;
    if (QOVA_OK == ConvertCertDataToX509(bytes.data(), static_cast<int>(bytes.size()), &cert)) {
        if (!cert) __builtin_trap();
        long t = 0;
        GetX509NotBefore(cert, &t);
        GetX509NotAfter(cert, &t);
        int type = -1;
        if (QOVA_OK != GetX509CertType(cert, &type) ? CERT_TYPE_UNKNOWN != type
                                                     : (CERT_TYPE_RSA != type && CERT_TYPE_SM2 != type))
            __builtin_trap();
        CheckText(GetX509SubjectCN, cert, false, 1 << 20);
        CheckText(GetX509SubjectDN, cert, false, MAX_DN_TEXT_LENGTH);
        CheckText(GetX509IssuerDN, cert, false, MAX_DN_TEXT_LENGTH);
        CheckText(GetX509SerialNumber, cert, true, 1 << 20);
        CheckText(GetX509SubjectKeyID, cert, true, 1 << 20);
        char* alg = nullptr;
        if (QOVA_OK == GetX509CertAlg(cert, &alg)) {
            if (!alg || !*alg) __builtin_trap();
            delete[] alg;
        }
        GetX509CertAlg(cert, nullptr);
        X509_free(cert);
    } else if (cert) {
        __builtin_trap();
    }
    CheckPiece(GetIssuerFromCert, bytes, d2i_X509_NAME, X509_NAME_free);
    CheckPiece(GetSerialNumberFromCert, bytes, d2i_ASN1_INTEGER, ASN1_INTEGER_free);
    if (size <= 64) {
        CheckTime(V_ASN1_UTCTIME, data, size);
        CheckTime(V_ASN1_GENERALIZEDTIME, data, size);
    }
    return 0;
}
