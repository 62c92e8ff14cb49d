// PKCS#7 SignedData through the crypto library's PKCS#7 code: the signing routine with a digest
// chosen by NID, a signature check against the structure's own certificates, and the kernel's
// signing and verification of memory data.
#include "RSADataSigningPKCS7.h"

#include "Base64.h"
#include "CertificateValidation.h"
#include "KernelHolders.h"
#include "QovaTrace.h"
#include "SMContentTypes.h"
#include "SslTraceDetail.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

using smkernel::BioPtr;
using smkernel::EvpPkeyPtr;
using smkernel::OpenSslBytesPtr;
using smkernel::Pkcs7Ptr;
using smkernel::X509Ptr;

namespace {

#define SIGNING_TRACE(...)                                 \
    do {                                                   \
        if (QovaLogEnabled()) TRACE(3, __VA_ARGS__);       \
    } while (0)

using Bytes = std::unique_ptr<unsigned char[]>;

constexpr int kSignFlagsAttached = PKCS7_BINARY | PKCS7_NOATTR;                     // 0x180
constexpr int kSignFlagsDetached = kSignFlagsAttached | PKCS7_DETACHED;             // 0x1C0
constexpr int kVerifyFlagsAttached = PKCS7_NOVERIFY | PKCS7_NOATTR;                 // 0x120
constexpr int kVerifyFlagsDetached = kVerifyFlagsAttached | PKCS7_DETACHED;         // 0x160

// A new[] copy of bytes; an empty copy still gets an array, so that an empty content is handed out.
Bytes CopyBytes(const unsigned char* data, int size)
{
    Bytes copy(new (std::nothrow) unsigned char[std::max(1, size)]);
    if (copy && size > 0)
        memcpy(copy.get(), data, static_cast<size_t>(size));
    return copy;
}

// The content BIO chain of a structure over the caller's data BIO. Freeing it leaves the caller's
// BIO alone; a chain without digests is that BIO itself.
class ContentChain
{
public:
    ContentChain(BIO* chain, BIO* data) : m_chain(chain), m_data(data) {}
    ~ContentChain()
    {
        if (nullptr != m_data)
            BIO_pop(m_data);
        if (m_chain != m_data)
            BIO_free_all(m_chain);
    }
    ContentChain(const ContentChain&) = delete;
    ContentChain& operator=(const ContentChain&) = delete;
    BIO* get() const { return m_chain; }

private:
    BIO* m_chain;
    BIO* m_data;
};

// DER of the structure's first signer, found among its own certificates.
unsigned int SignerCertificate(const char* func, PKCS7* p7, int nFlags, Bytes& cert, int& nCertSize)
{
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> signers(
        PKCS7_get0_signers(p7, NULL, nFlags), [](STACK_OF(X509)* p) { sk_X509_free(p); });
    STACK_OF(X509)* pSigners = signers.get();
    SMKERNEL_FAIL_IF_SSL_IN(func, NULL == pSigners, QOVA_E_FAIL, "PKCS7_get0_signers");
    X509* pSignerCert = sk_X509_value(pSigners, 0);
    SMKERNEL_FAIL_IF_SSL_IN(func, NULL == pSignerCert, QOVA_E_FAIL, "sk_X509_value");

    unsigned char* pbyDER = NULL;
    const int nDERSignCertSize = i2d_X509(pSignerCert, &pbyDER);
    OpenSslBytesPtr der(pbyDER);
    SMKERNEL_FAIL_IF_SSL_IN(func, nDERSignCertSize <= 0, QOVA_E_FAIL, "i2d_X509");
    cert = CopyBytes(pbyDER, nDERSignCertSize);
    QOVA_FAIL_IF_IN(func, NULL == cert, QOVA_E_FAIL, "New memory");
    nCertSize = nDERSignCertSize;
    return QOVA_OK;
}

unsigned int DecodePKCS7(const char* func, unsigned char* pbyDER, int nDERSize, Pkcs7Ptr& pkcs7)
{
    const unsigned char* p = pbyDER;
    pkcs7.reset(SM_d2i_PKCS7(NULL, &p, nDERSize, NULL));
    PKCS7* p7 = pkcs7.get();
    SMKERNEL_FAIL_IF_SSL_IN(func, NULL == p7, QOVA_E_FAIL, "d2i_PKCS7");
    return QOVA_OK;
}

// Hands out an optional output: the array when its pointer is given, the size (or 0 when the
// array was not asked for) when that pointer is.
void HandOut(Bytes& data, int nSize, unsigned char** ppbyOut, int* pnOutSize)
{
    if (NULL != ppbyOut)
        *ppbyOut = data.release();
    if (NULL != pnOutSize)
        *pnOutSize = NULL != ppbyOut ? nSize : 0;
}

}  // namespace

PKCS7* PKCS7_sign_ex(X509* signcert, EVP_PKEY* pkey, STACK_OF(X509)* certs, BIO* data, int nHashID, int flags)
{
    Pkcs7Ptr p7(PKCS7_new());
    if (!p7) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_MALLOC_FAILURE);
        return NULL;
    }
    if (!PKCS7_set_type(p7.get(), NID_pkcs7_signed) || !PKCS7_content_new(p7.get(), NID_pkcs7_data))
        return NULL;

    const char* pszDigestName = OBJ_nid2sn(nHashID);
    const EVP_MD* md = NULL != pszDigestName ? EVP_get_digestbyname(pszDigestName) : NULL;
    if (NULL == md) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNKNOWN_DIGEST_TYPE);
        return NULL;
    }
    if (NULL != pkey && NULL == PKCS7_sign_add_signer(p7.get(), signcert, pkey, md, flags)) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_PKCS7_ADD_SIGNER_ERROR);
        return NULL;
    }
    if (!(flags & PKCS7_NOCERTS)) {
        for (int i = 0; i < sk_X509_num(certs); ++i) {
            if (!PKCS7_add_certificate(p7.get(), sk_X509_value(certs, i)))
                return NULL;
        }
    }
    if (flags & PKCS7_DETACHED)
        PKCS7_set_detached(p7.get(), 1);
    if ((flags & (PKCS7_STREAM | PKCS7_PARTIAL)) || PKCS7_final(p7.get(), data, flags))
        return p7.release();
    return NULL;
}

int PKCS7_verify_signature(PKCS7* p7, BIO* data)
{
    // Anything but signedData has no signer list to read.
    if (NULL == p7 || !PKCS7_type_is_signed(p7) || NULL == p7->d.sign) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_WRONG_CONTENT_TYPE);
        return -1;
    }
    const bool bDetached = PKCS7_get_detached(p7) != 0;
    if (bDetached && NULL == data) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
        return -1;
    }
    if (!bDetached && NULL != data) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_CONTENT_AND_DATA_PRESENT);
        return -1;
    }
    ContentChain chain(PKCS7_dataInit(p7, data), data);
    if (NULL == chain.get()) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_WRONG_PKCS7_TYPE);
        return -1;
    }
    // Reading the content through the chain feeds the digests.
    unsigned char buffer[4096];
    while (BIO_read(chain.get(), buffer, sizeof(buffer)) > 0) {
    }

    STACK_OF(PKCS7_SIGNER_INFO)* pSignerInfos = PKCS7_get_signer_info(p7);
    if (sk_PKCS7_SIGNER_INFO_num(pSignerInfos) <= 0) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_SIGNERS);
        return -1;
    }
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(pSignerInfos); ++i) {
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(pSignerInfos, i);
        PKCS7_ISSUER_AND_SERIAL* ias = si->issuer_and_serial;
        X509* signer = NULL != ias ? X509_find_by_issuer_and_serial(p7->d.sign->cert, ias->issuer, ias->serial) : NULL;
        if (NULL == signer) {
            ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNABLE_TO_FIND_CERTIFICATE);
            return -1;
        }
        if (PKCS7_signatureVerify(chain.get(), p7, si, signer) < 1) {
            ERR_raise(ERR_LIB_PKCS7, PKCS7_R_SIGNATURE_FAILURE);
            return -1;
        }
    }
    return 0;
}

unsigned int RSA_SignData_PKCS7_ByKeyPair(unsigned char* pbySourceData, int nSourceDataSize, X509* pX509,
                                          EVP_PKEY* pPrivateKey, int nHashID, bool bWithSourceData,
                                          unsigned char** ppbyPKCS7Signature, int* pnPKCS7SignatureSize)
{
    QOVA_FAIL_IF(NULL == pbySourceData || nSourceDataSize < 0 || NULL == pX509 || NULL == pPrivateKey ||
                     NULL == ppbyPKCS7Signature || NULL == pnPKCS7SignatureSize,
                 QOVA_E_INVALIDARG, "Check parameter");

    unsigned int nResult = CheckX509KeyUsage(pX509, CERT_KU_DIGITAL_SIGNATURE, true);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CheckX509KeyUsage");

    BioPtr bio(BIO_new_mem_buf(pbySourceData, nSourceDataSize));
    BIO* pBioSourceData = bio.get();
    QOVA_FAIL_IF_SSL(NULL == pBioSourceData, QOVA_E_FAIL, "BIO_new_mem_buf");

    if (bWithSourceData)
        SIGNING_TRACE("It's PKCS7 attached signature.");
    else
        SIGNING_TRACE("It's PKCS7 detached signature.");
    Pkcs7Ptr pkcs7(PKCS7_sign_ex(pX509, pPrivateKey, NULL, pBioSourceData, nHashID,
                                 bWithSourceData ? kSignFlagsAttached : kSignFlagsDetached));
    PKCS7* p7 = pkcs7.get();
    QOVA_FAIL_IF_SSL(NULL == p7, QOVA_E_FAIL, "PKCS7_sign_ex");

    unsigned char* pbyDER = NULL;
    const int nDERSignatureSize = std::max(0, i2d_PKCS7(p7, &pbyDER));
    OpenSslBytesPtr der(pbyDER);
    QOVA_FAIL_IF_SSL(0 == nDERSignatureSize, QOVA_E_FAIL, "i2d_PKCS7");
    SIGNING_TRACE("DER encoded PKCS7 signature data size : %d", nDERSignatureSize);

    Bytes signature = CopyBytes(pbyDER, nDERSignatureSize);
    QOVA_FAIL_IF(NULL == signature, QOVA_E_FAIL, "New memory");
    *ppbyPKCS7Signature = signature.release();
    *pnPKCS7SignatureSize = nDERSignatureSize;
    return QOVA_OK;
}

unsigned int RSA_SignData_PKCS7_ByPFX(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpPFXFile,
                                      const char* pszPFXPassword, int nHashID, bool bWithSourceData,
                                      unsigned char** ppbyPKCS7Signature, int* pnPKCS7SignatureSize)
{
    EvpPkeyPtr key;
    X509Ptr cert;
    // The reader only reads the password.
    unsigned int nResult = ParsePFXFile(fpPFXFile, const_cast<char*>(pszPFXPassword), key.out(), cert.out(), NULL);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ParsePFXFile");

    nResult = RSA_SignData_PKCS7_ByKeyPair(pbySourceData, nSourceDataSize, cert.get(), key.get(), nHashID,
                                           bWithSourceData, ppbyPKCS7Signature, pnPKCS7SignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_SignData_PKCS7_ByKeyPair");
    return QOVA_OK;
}

unsigned int RSA_SignData_PKCS7(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpPFXFile,
                                const char* pszPFXPassword, int nHashID, bool bWithSourceData, unsigned long dwFlags,
                                char** ppszBase64PKCS7Signature, int* pnBase64PKCS7SignatureSize)
{
    QOVA_FAIL_IF(NULL == ppszBase64PKCS7Signature, QOVA_E_INVALIDARG, "Check parameter");

    unsigned char* pbySignature = NULL;
    int nSignatureSize = 0;
    unsigned int nResult = RSA_SignData_PKCS7_ByPFX(pbySourceData, nSourceDataSize, fpPFXFile, pszPFXPassword,
                                                    nHashID, bWithSourceData, &pbySignature, &nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_SignData_PKCS7_ByPFX");
    Bytes signature(pbySignature);

    char* pszBase64 = NULL;
    int nBase64Size = 0;
    nResult = Base64EncodeEx(signature.get(), nSignatureSize, &pszBase64, &nBase64Size, dwFlags);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64EncodeEx");
    *ppszBase64PKCS7Signature = pszBase64;
    if (NULL != pnBase64PKCS7SignatureSize)
        *pnBase64PKCS7SignatureSize = nBase64Size;
    return QOVA_OK;
}

unsigned int RSA_VerifyDataSignature_DERPKCS7Detached(unsigned char* pbyPKCS7Signature, int nPKCS7SignatureSize,
                                                      unsigned char* pbySourceData, int nSourceDataSize,
                                                      unsigned char** ppbySignerCert, int* pnSignerCertSize)
{
    QOVA_FAIL_IF(NULL == pbyPKCS7Signature || nPKCS7SignatureSize <= 0 || NULL == pbySourceData ||
                     nSourceDataSize < 0,
                 QOVA_E_INVALIDARG, "Check parameter");

    Pkcs7Ptr pkcs7;
    unsigned int nResult = DecodePKCS7(__func__, pbyPKCS7Signature, nPKCS7SignatureSize, pkcs7);
    if (QOVA_OK != nResult)
        return nResult;
    BioPtr bio(BIO_new_mem_buf(pbySourceData, nSourceDataSize));
    BIO* pBioSourceData = bio.get();
    QOVA_FAIL_IF_SSL(NULL == pBioSourceData, QOVA_E_FAIL, "BIO_new_mem_buf");

    nResult = PKCS7_verify(pkcs7.get(), NULL, NULL, pBioSourceData, NULL, kVerifyFlagsDetached);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_BAD_SIGNATURE, "PKCS7_verify");

    Bytes cert;
    int nCertSize = 0;
    if (NULL != ppbySignerCert) {
        nResult = SignerCertificate(__func__, pkcs7.get(), kVerifyFlagsDetached, cert, nCertSize);
        if (QOVA_OK != nResult)
            return nResult;
    }
    HandOut(cert, nCertSize, ppbySignerCert, pnSignerCertSize);
    return QOVA_OK;
}

unsigned int RSA_VerifyDataSignature_PKCS7Detached(const char* pszBase64PKCS7Signature, unsigned char* pbySourceData,
                                                   int nSourceDataSize, unsigned char** ppbySignerCert,
                                                   int* pnSignerCertSize)
{
    QOVA_FAIL_IF(NULL == pszBase64PKCS7Signature, QOVA_E_INVALIDARG, "Check parameter");

    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    unsigned int nResult =
        Base64DecodeEx(pszBase64PKCS7Signature, static_cast<int>(strnlen(pszBase64PKCS7Signature, INT32_MAX)),
                       &pbyDER, &nDERSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64DecodeEx");
    Bytes der(pbyDER);

    unsigned char* pbyCert = NULL;
    int nCertSize = 0;
    nResult = RSA_VerifyDataSignature_DERPKCS7Detached(der.get(), nDERSize, pbySourceData, nSourceDataSize, &pbyCert,
                                                       &nCertSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyDataSignature_DERPKCS7Detached");
    Bytes cert(pbyCert);
    HandOut(cert, nCertSize, ppbySignerCert, pnSignerCertSize);
    return QOVA_OK;
}

unsigned int RSA_VerifyDataSignature_DERPKCS7Attached(unsigned char* pbyPKCS7Signature, int nPKCS7SignatureSize,
                                                      unsigned char** ppbySourceData, int* pnSourceDataSize,
                                                      unsigned char** ppbySignerCert, int* pnSignerCertSize)
{
    QOVA_FAIL_IF(NULL == pbyPKCS7Signature || nPKCS7SignatureSize <= 0, QOVA_E_INVALIDARG, "Check parameter");

    Pkcs7Ptr pkcs7;
    unsigned int nResult = DecodePKCS7(__func__, pbyPKCS7Signature, nPKCS7SignatureSize, pkcs7);
    if (QOVA_OK != nResult)
        return nResult;
    BioPtr bio(BIO_new(BIO_s_mem()));
    BIO* pBioSourceData = bio.get();
    QOVA_FAIL_IF(NULL == pBioSourceData, QOVA_E_FAIL, "BIO_new");

    nResult = PKCS7_verify(pkcs7.get(), NULL, NULL, NULL, pBioSourceData, kVerifyFlagsAttached);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_BAD_SIGNATURE, "PKCS7_verify");

    Bytes content;
    int nContentSize = 0;
    if (NULL != ppbySourceData) {
        char* pContent = NULL;
        const long nLength = BIO_get_mem_data(pBioSourceData, &pContent);
        QOVA_FAIL_IF(nLength < 0 || nLength > INT32_MAX, QOVA_E_FAIL, "BIO_get_mem_data");
        nContentSize = static_cast<int>(nLength);
        content = CopyBytes(reinterpret_cast<unsigned char*>(pContent), nContentSize);
        QOVA_FAIL_IF(NULL == content, QOVA_E_FAIL, "New memory");
    }
    // The signer comes before anything is handed out, so that a failure leaves the caller nothing.
    Bytes cert;
    int nCertSize = 0;
    if (NULL != ppbySignerCert) {
        nResult = SignerCertificate(__func__, pkcs7.get(), kVerifyFlagsAttached, cert, nCertSize);
        if (QOVA_OK != nResult)
            return nResult;
    }
    HandOut(content, nContentSize, ppbySourceData, pnSourceDataSize);
    HandOut(cert, nCertSize, ppbySignerCert, pnSignerCertSize);
    return QOVA_OK;
}

unsigned int RSA_VerifyDataSignature_PKCS7Attached(const char* pszBase64PKCS7Signature, unsigned char** ppbySourceData,
                                                   int* pnSourceDataSize, unsigned char** ppbySignerCert,
                                                   int* pnSignerCertSize)
{
    QOVA_FAIL_IF(NULL == pszBase64PKCS7Signature, QOVA_E_INVALIDARG, "Check parameter");

    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    unsigned int nResult =
        Base64DecodeEx(pszBase64PKCS7Signature, static_cast<int>(strnlen(pszBase64PKCS7Signature, INT32_MAX)),
                       &pbyDER, &nDERSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64DecodeEx");
    Bytes der(pbyDER);

    unsigned char* pbyContent = NULL;
    int nContentSize = 0;
    unsigned char* pbyCert = NULL;
    int nCertSize = 0;
    nResult = RSA_VerifyDataSignature_DERPKCS7Attached(der.get(), nDERSize, &pbyContent, &nContentSize, &pbyCert,
                                                       &nCertSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyDataSignature_DERPKCS7Attached");
    Bytes content(pbyContent);
    Bytes cert(pbyCert);
    HandOut(content, nContentSize, ppbySourceData, pnSourceDataSize);
    HandOut(cert, nCertSize, ppbySignerCert, pnSignerCertSize);
    return QOVA_OK;
}
