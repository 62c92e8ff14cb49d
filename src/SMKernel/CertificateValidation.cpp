#include "CertificateValidation.h"

#include "CertificateFields.h"
#include "KernelHolders.h"
#include "QovaTrace.h"
#include "SMContentTypes.h"
#include "SMVerify.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <ctime>
#include <utility>

using smkernel::BioPtr;
using smkernel::EvpPkeyPtr;
using smkernel::Pkcs12Ptr;
using smkernel::Pkcs7Ptr;
using smkernel::X509CrlPtr;
using smkernel::X509Ptr;
using smkernel::X509StackPtr;
using smkernel::X509StoreCtxPtr;
using smkernel::X509StorePtr;

namespace {

#define VALIDATION_TRACE(...)                              \
    do {                                                   \
        if (QovaLogEnabled()) TRACE(3, __VA_ARGS__);       \
    } while (0)

// Certificates and CRLs hold no encrypted PEM; without this the library would prompt on the
// terminal, which for the host is the browser's pipe.
int NoPemPassword(char*, int, int, void*)
{
    return -1;
}

// One object from the caller's stream: PEM, else DER from the stream's start. The PEM attempt's
// "no start line" is no error when the file is DER, so it leaves nothing on the error queue.
template <typename T>
T* ReadPemThenDer(BIO* pBIO, T* (*readPem)(BIO*, T**, pem_password_cb*, void*), T* (*readDer)(BIO*, T**))
{
    ERR_set_mark();
    T* pObject = readPem(pBIO, NULL, NoPemPassword, NULL);
    ERR_pop_to_mark();
    if (NULL != pObject)
        return pObject;
    if (BIO_reset(pBIO) < 0)
        return NULL;
    return readDer(pBIO, NULL);
}

// The library accepts the same certificate twice in a store; a trust store built from files or
// bundles refuses it, so that a duplicated file shows up.
int AddCertToStoreOnce(X509_STORE* pX509Store, X509* pX509)
{
    bool bDuplicate = false;
    if (!X509_STORE_lock(pX509Store))
        return 0;
    STACK_OF(X509_OBJECT)* pObjects = X509_STORE_get0_objects(pX509Store);
    for (int i = 0; i < sk_X509_OBJECT_num(pObjects) && !bDuplicate; ++i) {
        X509* pStored = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(pObjects, i));
        bDuplicate = NULL != pStored && 0 == X509_cmp(pStored, pX509);
    }
    X509_STORE_unlock(pX509Store);
    if (bDuplicate) {
        ERR_raise(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE);
        return 0;
    }
    return X509_STORE_add_cert(pX509Store, pX509);
}

// The certificates of one PKCS#7 bundle into the store, in order. pszStep names the bundle.
unsigned int AddP7bToStore(const char* func, const char* pszStep, unsigned char* pbyP7b, int nP7bSize,
                           X509_STORE* pX509Store)
{
    QOVA_FAIL_IF_IN(func, nP7bSize <= 0, QOVA_E_FAIL, "Check bundle size");
    const unsigned char* pbyData = pbyP7b;
    Pkcs7Ptr p7b(SM_d2i_PKCS7(NULL, &pbyData, nP7bSize, NULL));
    PKCS7* pP7b = p7b.get();
    QOVA_FAIL_IF_IN(func, NULL == pP7b, QOVA_E_FAIL, pszStep);
    // Only SignedData carries a certificate list; reading it from another type would read the wrong
    // member of the content union.
    QOVA_FAIL_IF_IN(func, !PKCS7_type_is_signed(pP7b) || NULL == pP7b->d.sign, QOVA_E_FAIL, "PKCS7_type_is_signed");
    STACK_OF(X509)* pCerts = pP7b->d.sign->cert;
    for (int i = 0; i < sk_X509_num(pCerts); ++i) {
        int nResult = AddCertToStoreOnce(pX509Store, sk_X509_value(pCerts, i));
        QOVA_FAIL_IF_IN(func, 1 != nResult, QOVA_E_FAIL, "X509_STORE_add_cert");
    }
    return QOVA_OK;
}

}  // namespace

unsigned int ParsePFXFile(FILE* fpPFX, char* pszPassword, EVP_PKEY** ppPKey, X509** ppX509,
                          STACK_OF(X509)** ppCACerts)
{
    QOVA_FAIL_IF(NULL == fpPFX, QOVA_E_FAIL, "Check parameter(fpPFX)");

    // Files whose authenticated safe carries the SM data type read like any other.
    Pkcs12Ptr p12(SM_d2i_PKCS12_fp(fpPFX, NULL));
    PKCS12* pPKCS12 = p12.get();
    QOVA_FAIL_IF_SSL(NULL == pPKCS12, QOVA_E_FAIL, "d2i_PKCS12_fp");

    int nResult = PKCS12_verify_mac(pPKCS12, pszPassword, -1);
    QOVA_FAIL_IF_SSL(0 == nResult, QOVA_E_FAIL, "PKCS12_verify_mac");

    // Everything is parsed even when the caller wants less: the library picks the certificate only
    // as the one that matches the key.
    EvpPkeyPtr key;
    X509Ptr cert;
    X509StackPtr caCerts;
    nResult = SM_PKCS12_parse(pPKCS12, pszPassword, key.out(), cert.out(), caCerts.out());
    QOVA_FAIL_IF_SSL(0 == nResult, QOVA_E_MALFORMED, "PKCS12_parse");

    // A file without a key or without a certificate parses; a caller who asked for the missing one
    // would go on with a null.
    EVP_PKEY* pPKey = key.get();
    X509* pX509 = cert.get();
    QOVA_FAIL_IF(NULL != ppPKey && NULL == pPKey, QOVA_E_MALFORMED, "Check private key");
    QOVA_FAIL_IF(NULL != ppX509 && NULL == pX509, QOVA_E_MALFORMED, "Check certificate");

    if (NULL != ppPKey)
        *ppPKey = key.release();
    if (NULL != ppX509)
        *ppX509 = cert.release();
    if (NULL != ppCACerts)
        *ppCACerts = caCerts.release();
    return QOVA_OK;
}

unsigned int LoadCertsToStore(std::vector<FILE*> certFiles, X509_STORE** ppX509Store)
{
    QOVA_FAIL_IF(NULL == ppX509Store, QOVA_E_FAIL, "Check parameter(ppX509Store)");

    X509StorePtr store(SM_X509_STORE_new());
    X509_STORE* pX509_Store = store.get();
    QOVA_FAIL_IF_SSL(NULL == pX509_Store, QOVA_E_FAIL, "X509_STORE_new");

    for (FILE* fpCert : certFiles) {
        QOVA_FAIL_IF(NULL == fpCert, QOVA_E_FAIL, "Check certificate file");
        BioPtr bio(BIO_new_fp(fpCert, BIO_NOCLOSE));
        BIO* pBIO_Cert = bio.get();
        QOVA_FAIL_IF_SSL(NULL == pBIO_Cert, QOVA_E_FAIL, "BIO_new_fp");
        X509Ptr cert(ReadPemThenDer(pBIO_Cert, PEM_read_bio_X509, d2i_X509_bio));
        X509* pX509 = cert.get();
        QOVA_FAIL_IF_SSL(NULL == pX509, QOVA_E_FAIL, "d2i_X509_bio");
        int nResult = AddCertToStoreOnce(pX509_Store, pX509);
        QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "X509_STORE_add_cert");
    }
    *ppX509Store = store.release();
    return QOVA_OK;
}

unsigned int LoadP7bToStore(unsigned char* pbyRootP7b, int nRootP7bSize, unsigned char* pbyIntermediateP7b,
                            int nIntermediateP7bSize, X509_STORE** ppX509Store)
{
    QOVA_FAIL_IF(NULL == ppX509Store, QOVA_E_FAIL, "Check parameter(ppX509Store)");

    X509StorePtr store(SM_X509_STORE_new());
    X509_STORE* pX509_Store = store.get();
    QOVA_FAIL_IF_SSL(NULL == pX509_Store, QOVA_E_FAIL, "X509_STORE_new");

    unsigned int nResult = QOVA_OK;
    if (NULL != pbyRootP7b) {
        nResult = AddP7bToStore(__func__, "d2i_PKCS7(root)", pbyRootP7b, nRootP7bSize, pX509_Store);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Add root bundle");
    }
    if (NULL != pbyIntermediateP7b) {
        nResult = AddP7bToStore(__func__, "d2i_PKCS7(intermediate)", pbyIntermediateP7b, nIntermediateP7bSize,
                                pX509_Store);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Add intermediate bundle");
    }
    *ppX509Store = store.release();
    return QOVA_OK;
}

unsigned int VerifyCertChainByTrustedStore(X509_STORE* pX509Store, X509* pX509)
{
    QOVA_FAIL_IF(NULL == pX509Store || NULL == pX509, QOVA_E_FAIL, "Check parameters");

    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    X509_STORE_CTX* pX509StoreCtx = ctx.get();
    QOVA_FAIL_IF_SSL(NULL == pX509StoreCtx, QOVA_E_FAIL, "X509_STORE_CTX_new");

    int nResult = SM_X509_STORE_CTX_init(pX509StoreCtx, pX509Store, pX509, NULL);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "X509_STORE_CTX_init");

    nResult = X509_verify_cert(pX509StoreCtx);
    if (1 == nResult) {
        QOVA_TRACE_STEP_OK("X509_verify_cert");
        return QOVA_OK;
    }
    const int nErrorCode = X509_STORE_CTX_get_error(pX509StoreCtx);
    VALIDATION_TRACE("X509_verify_cert(ErrorCode:%d ErrorInfo:%s)", nErrorCode,
                     X509_verify_cert_error_string(nErrorCode));
    QOVA_FAIL_IF(X509_V_ERR_CERT_NOT_YET_VALID == nErrorCode || X509_V_ERR_CERT_HAS_EXPIRED == nErrorCode,
                 QOVA_E_CERT_TIME, "X509_verify_cert");
    QOVA_TRACE_STEP_FAILED("X509_verify_cert", QOVA_E_CERT_CHAIN, "true");
    return QOVA_E_CERT_CHAIN;
}

unsigned int CheckX509KeyUsage(X509* pX509, unsigned int uiCheckBits, bool bAllBits)
{
    QOVA_FAIL_IF(NULL == pX509, QOVA_E_FAIL, "Check parameter(pX509)");

    int nResult = X509_check_purpose(pX509, -1, 0);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "X509_check_purpose fill data");

    const uint32_t uExtensionFlag = X509_get_extension_flags(pX509);
    VALIDATION_TRACE("pX509->ex_flags(0x%08x)", static_cast<unsigned int>(uExtensionFlag));
    QOVA_FAIL_IF(!(uExtensionFlag & EXFLAG_KUSAGE), QOVA_E_KEY_USAGE, "pX509->ex_flags & EXFLAG_KUSAGE");

    const uint32_t uKeyUsage = X509_get_key_usage(pX509);
    VALIDATION_TRACE("pX509->ex_kusage(0x%08x)", static_cast<unsigned int>(uKeyUsage));
    VALIDATION_TRACE("uiCheckBits(0x%08x)", uiCheckBits);
    if (bAllBits) {
        VALIDATION_TRACE("All the check bits must be present.");
        nResult = (uKeyUsage & uiCheckBits) == uiCheckBits ? 1 : 0;
    } else {
        VALIDATION_TRACE("One of the check bit present is OK.");
        nResult = (uKeyUsage & uiCheckBits) != 0 ? 1 : 0;
    }
    QOVA_FAIL_IF(0 == nResult, QOVA_E_KEY_USAGE, "Check x509 key usage");
    return QOVA_OK;
}

unsigned int CheckCertKeyUsage(unsigned char* pbyCert, int nCertSize, unsigned int uiCheckBits, bool bAllBits)
{
    X509Ptr cert;
    ConvertCertDataToX509(pbyCert, nCertSize, cert.out());
    X509* pX509Cert = cert.get();
    QOVA_FAIL_IF(NULL == pX509Cert, QOVA_E_FAIL, "ConvertCertDataToX509");
    return CheckX509KeyUsage(pX509Cert, uiCheckBits, bAllBits);
}

unsigned int VerifyCertTime(X509* pX509)
{
    QOVA_FAIL_IF(NULL == pX509, QOVA_E_FAIL, "Check parameter(pX509)");

    const time_t tCurrentTime = time(NULL);
    QOVA_FAIL_IF(-1 == tCurrentTime, QOVA_E_FAIL, "time");
    VALIDATION_TRACE("Current time(time_t):%lld", static_cast<long long>(tCurrentTime));

    long tNotBefore = 0;
    unsigned int nResult = GetX509NotBefore(pX509, &tNotBefore);
    QOVA_FAIL_IF(QOVA_OK != nResult, QOVA_E_FAIL, "GetX509NotBefore");
    QOVA_FAIL_IF((tCurrentTime < tNotBefore), QOVA_E_CERT_TIME, "Check certificate validity NotBefore");

    long tNotAfter = 0;
    nResult = GetX509NotAfter(pX509, &tNotAfter);
    QOVA_FAIL_IF(QOVA_OK != nResult, QOVA_E_FAIL, "GetX509NotAfter");
    QOVA_FAIL_IF((tCurrentTime > tNotAfter), QOVA_E_CERT_TIME, "Check certificate validity NotAfter");
    return QOVA_OK;
}

unsigned int VerifyCertCRL(FILE* fpCRL, X509* pX509)
{
    QOVA_FAIL_IF(NULL == fpCRL || NULL == pX509, QOVA_E_FAIL, "Check parameters");

    BioPtr bio(BIO_new_fp(fpCRL, BIO_NOCLOSE));
    BIO* pBIO_CRL = bio.get();
    QOVA_FAIL_IF_SSL(NULL == pBIO_CRL, QOVA_E_FAIL, "BIO_new_fp");
    X509CrlPtr crl(ReadPemThenDer(pBIO_CRL, PEM_read_bio_X509_CRL, d2i_X509_CRL_bio));
    X509_CRL* pX509CRL = crl.get();
    QOVA_FAIL_IF_SSL(NULL == pX509CRL, QOVA_E_FAIL, "d2i_X509_CRL_bio");

    // A CRL that revokes nothing omits the revokedCertificates field, and the library then gives
    // no list at all: that is a valid answer ("not revoked"), not a failure.
    STACK_OF(X509_REVOKED)* pRevokedList = X509_CRL_get_REVOKED(pX509CRL);

    const ASN1_INTEGER* pSerialNumber = X509_get0_serialNumber(pX509);
    for (int i = 0; i < sk_X509_REVOKED_num(pRevokedList); ++i) {
        const X509_REVOKED* pRevoked = sk_X509_REVOKED_value(pRevokedList, i);
        if (0 == ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(pRevoked), pSerialNumber)) {
            QOVA_TRACE_STEP_FAILED("Check the certificate is pRevoked?", QOVA_E_CERT_REVOKED, "true");
            return QOVA_E_CERT_REVOKED;
        }
    }
    QOVA_TRACE_STEP_OK("Check the certificate is pRevoked?");
    return QOVA_OK;
}

unsigned int VerifyCertChain(std::vector<FILE*> certFiles, X509* pX509)
{
    X509StorePtr store;
    unsigned int nResult = LoadCertsToStore(std::move(certFiles), store.out());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "LoadCertsToStore");
    nResult = VerifyCertChainByTrustedStore(store.get(), pX509);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "VerifyCertChainByTrustedStore");
    return QOVA_OK;
}

unsigned int VerifyX509(X509* pX509, unsigned int uiFlags, FILE* fpCRL, std::vector<FILE*> certFiles)
{
    unsigned int nResult = QOVA_OK;
    if (uiFlags & CERT_VERIFY_TIME) {
        nResult = VerifyCertTime(pX509);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "VerifyCertTime");
    }
    if (uiFlags & CERT_VERIFY_CRL) {
        nResult = VerifyCertCRL(fpCRL, pX509);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "VerifyCertCRL");
    }
    if (uiFlags & CERT_VERIFY_CHAIN) {
        nResult = VerifyCertChain(std::move(certFiles), pX509);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "VerifyCertChain");
    }
    return QOVA_OK;
}

unsigned int VerifyCertificate(unsigned char* pbyCert, int nCertSize, unsigned int uiFlags, FILE* fpCRL,
                               std::vector<FILE*> certFiles)
{
    X509Ptr cert;
    ConvertCertDataToX509(pbyCert, nCertSize, cert.out());
    X509* pX509Cert = cert.get();
    QOVA_FAIL_IF(NULL == pX509Cert, QOVA_E_FAIL, "ConvertCertDataToX509");
    return VerifyX509(pX509Cert, uiFlags, fpCRL, std::move(certFiles));
}
