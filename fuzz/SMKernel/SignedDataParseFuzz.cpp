// Reads arbitrary bytes as a PKCS#7 SignedData with every piece asked for, in memory (with and
// without SM2 decoding) and as an attached-signature file; the attribute blocks it hands out go to
// the attribute reader, and the bytes also go to the SM2 signature decoder and the library reader.
#include "PKCS7SignedDataOperations.h"
#include "SMRegistry.h"

#include <openssl/x509.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Either nothing was handed out, or a buffer of the size reported (a null buffer only with size 0).
template <class T>
void CheckPiece(unsigned int code, T* data, int size)
{
    if (QOVA_OK != code) {
        if (data || 0x5A5A != size) __builtin_trap();
        return;
    }
    if (size < 0 || (!data && 0 != size)) __builtin_trap();
    if (size > 0) {
        volatile T last = data[size - 1];  // the whole buffer is readable
        (void)last;
    }
}

void ReadAttributes(unsigned char* block, int size)
{
    for (const char* oid : {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"}) {
        unsigned char* values = nullptr;
        int valuesSize = 0;
        if (QOVA_OK == ParseSignedUnsignedAttributes(block, size, oid, &values, &valuesSize) &&
            (valuesSize < 0 || valuesSize > size))
            __builtin_trap();
        delete[] values;
    }
}

void ParseMemory(std::vector<unsigned char>& data, int decode)
{
    unsigned char *cert = nullptr, *sig = nullptr, *content = nullptr, *sa = nullptr, *ua = nullptr;
    char *digestOid = nullptr, *encryptionOid = nullptr;
    int certSize = 0x5A5A, sigSize = 0x5A5A, contentSize = 0x5A5A, saSize = 0x5A5A, uaSize = 0x5A5A,
        dSize = 0x5A5A, eSize = 0x5A5A;
    const unsigned int code =
        ParsePKCS7Signature(data.data(), static_cast<int>(data.size()), &cert, &certSize, &sig, &sigSize, &content,
                            &contentSize, &digestOid, &dSize, &encryptionOid, &eSize, &sa, &saSize, &ua, &uaSize, decode);
    CheckPiece(code, cert, certSize);
    CheckPiece(code, sig, sigSize);
    CheckPiece(code, content, contentSize);
    CheckPiece(code, digestOid, dSize);
    CheckPiece(code, encryptionOid, eSize);
    CheckPiece(code, sa, saSize);
    CheckPiece(code, ua, uaSize);
    if (QOVA_OK == code) {
        if (!sig || (content && 0 != content[contentSize]) || (digestOid && strlen(digestOid) != size_t(dSize)))
            __builtin_trap();
        if (sa)
            ReadAttributes(sa, saSize);
        if (ua)
            ReadAttributes(ua, uaSize);
    }
    delete[] cert;
    delete[] sig;
    delete[] content;
    delete[] digestOid;
    delete[] encryptionOid;
    delete[] sa;
    delete[] ua;
}

void ParseFile(std::vector<unsigned char>& data)
{
    FILE* file = fmemopen(data.data(), data.size(), "rb");
    if (!file) return;
    fseek(file, static_cast<long>(data.size() / 2), SEEK_SET);
    unsigned char *cert = nullptr, *sig = nullptr;
    int certSize = 0x5A5A, sigSize = 0x5A5A, contentSize = 0x5A5A;
    long long offset = 0;
    const unsigned int code = ParsePKCS7AttachedSignatureFile(file, &cert, &certSize, &sig, &sigSize, &offset,
                                                              &contentSize, nullptr, nullptr, nullptr, nullptr,
                                                              nullptr, nullptr, nullptr, nullptr);
    CheckPiece(code, cert, certSize);
    CheckPiece(code, sig, sigSize);
    if (QOVA_OK == code && (offset < 0 || static_cast<unsigned long long>(offset) + contentSize > data.size()))
        __builtin_trap();
    if (ftell(file) != static_cast<long>(data.size() / 2)) __builtin_trap();  // position restored
    fclose(file);
    delete[] cert;
    delete[] sig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    static const bool initialised = 1 == SM_crypto_init();
    if (!initialised) __builtin_trap();
    if (0 == size || size > INT_MAX) return 0;
    std::vector<unsigned char> data(bytes, bytes + size);
    ParseMemory(data, 1);
    ParseMemory(data, 0);
    ParseFile(data);

    unsigned char* rs = nullptr;
    int rsSize = 0;
    if (QOVA_OK == Decode_SM2Q1(data.data(), static_cast<int>(size), &rs, &rsSize) && 64 != rsSize) __builtin_trap();
    delete[] rs;

    X509* cert = nullptr;
    int nid = 0;
    unsigned char *sig = nullptr, *content = nullptr;
    int sigSize = 0, contentSize = 0;
    DecodeRSAPKCS7Signature(data.data(), static_cast<int>(size), &cert, &nid, &sig, &sigSize, &content, &contentSize);
    X509_free(cert);
    delete[] sig;
    delete[] content;
    return 0;
}
