#include "P11Container.h"

#include "P11Certificate.h"
#include "P11OperationDetail.h"
#include "P11Session.h"
#include "QovaTrace.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstring>
#include <vector>

using p11detail::kContainerChecks;
using p11detail::OpenSessionCtx;
using p11detail::TokenSession;

namespace {

// The CKA_ID of a container's object: the name, the usage suffix and a zero byte in 256 bytes.
struct ContainerID
{
    static constexpr size_t kSize = 256;
    static constexpr size_t kMaxNameLength = kSize - 3;

    // Usage 1 (signature) gives "#2", usage 2 (exchange) "#1"; any other builds nothing. The name
    // must have passed UsableName.
    bool Build(const void* pName, CK_ULONG ulKeyUsage)
    {
        const char* pszSuffix = 1 == ulKeyUsage ? "#2" : 2 == ulKeyUsage ? "#1" : NULL;
        if (NULL == pszSuffix)
            return false;
        const size_t nLength = strlen(static_cast<const char*>(pName));
        memcpy(szID, pName, nLength);
        memcpy(szID + nLength, pszSuffix, 3);
        return true;
    }

    // Text of 1 to 253 bytes; a longer name would not leave room for the suffix.
    static bool UsableName(const void* pName)
    {
        if (NULL == pName)
            return false;
        const size_t nLength = strnlen(static_cast<const char*>(pName), kMaxNameLength + 1);
        return nLength > 0 && nLength <= kMaxNameLength;
    }

    unsigned char* Bytes() { return reinterpret_cast<unsigned char*>(szID); }

    char szID[kSize] = {0};
};

struct X509Free
{
    void operator()(X509* pCert) const { X509_free(pCert); }
};

// The certificate's DER subject name, or nothing when the bytes do not parse as a certificate.
// Tokens that keep to the standard's template rules want it beside the value.
std::vector<unsigned char> CertificateSubject(const unsigned char* pbyDer, CK_ULONG ulSize)
{
    std::vector<unsigned char> subject;
    if (ulSize > p11detail::kMaxAttributeLength)
        return subject;
    // A failed parse must not leave errors behind for the next trace of the library's last error.
    ERR_set_mark();
    const unsigned char* p = pbyDer;
    std::unique_ptr<X509, X509Free> cert(d2i_X509(NULL, &p, static_cast<long>(ulSize)));
    unsigned char* pbyName = NULL;
    const int nLength = cert ? i2d_X509_NAME(X509_get_subject_name(cert.get()), &pbyName) : 0;
    if (nLength > 0)
        subject.assign(pbyName, pbyName + nLength);
    OPENSSL_free(pbyName);
    ERR_pop_to_mark();
    return subject;
}

// Creates the certificate object and hands out its handle. The template is the container's
// eight attributes, then CKA_SUBJECT when the certificate has one to give.
unsigned int CreateCertificateObject(const char* pszFunc, const TokenSession& session, unsigned char* pszName,
                                     ContainerID& id, unsigned char* pbyCertificate, CK_ULONG ulCertificateSize,
                                     CK_OBJECT_HANDLE* phCertificate)
{
    CK_OBJECT_CLASS ulClass = CKO_CERTIFICATE;
    CK_BBOOL bTrue = CK_TRUE;
    CK_BBOOL bFalse = CK_FALSE;
    CK_CERTIFICATE_TYPE ulCertificateType = CKC_X_509;
    std::vector<unsigned char> subject = CertificateSubject(pbyCertificate, ulCertificateSize);
    CK_ATTRIBUTE stTemplate[] = {
        {CKA_CLASS, &ulClass, sizeof(ulClass)},
        {CKA_TOKEN, &bTrue, sizeof(bTrue)},
        {CKA_LABEL, pszName, static_cast<CK_ULONG>(strlen(reinterpret_cast<char*>(pszName)))},
        {CKA_MODIFIABLE, &bTrue, sizeof(bTrue)},
        {CKA_ID, id.Bytes(), static_cast<CK_ULONG>(strlen(id.szID))},
        {CKA_CERTIFICATE_TYPE, &ulCertificateType, sizeof(ulCertificateType)},
        {CKA_PRIVATE, &bFalse, sizeof(bFalse)},
        {CKA_VALUE, pbyCertificate, ulCertificateSize},
        {CKA_SUBJECT, subject.data(), static_cast<CK_ULONG>(subject.size())}};
    const CK_ULONG ulCount = subject.empty() ? 8 : 9;

    CK_OBJECT_HANDLE hCertificate = 0;
    const CK_RV rv = session.pFunctions->C_CreateObject(session.hSession, stTemplate, ulCount, &hCertificate);
    TRACE(3, "C_CreateObject iRetCode is 0X%08x...", static_cast<unsigned int>(rv));
    QOVA_P11_FAIL_IF_IN(pszFunc, CKR_OK != rv, QovaP11Result(rv), "C_CreateObject(CKO_CERTIFICATE)");
    *phCertificate = hCertificate;
    return QOVA_OK;
}

}  // namespace

unsigned int AcquireContextbyContainer(void* pDylibInfo, const char* pszContainerName, int nKeyUsage,
                                       void** ppSessionCtx)
{
    if (QovaLogEnabled())
        TRACE(3, "ContainerName: [%s], KeyUsage: [%d]", QovaTraceText(pszContainerName).c_str(), nKeyUsage);
    QOVA_P11_FAIL_IF(NULL == pDylibInfo, QOVA_E_INVALIDARG, "Check pDylibInfo");
    QOVA_P11_FAIL_IF(!ContainerID::UsableName(pszContainerName), QOVA_E_INVALIDARG, "Check ContainerName");
    ContainerID id;
    QOVA_P11_FAIL_IF(nKeyUsage < 0 || !id.Build(pszContainerName, static_cast<CK_ULONG>(nKeyUsage)),
                     QOVA_E_INVALIDARG, "Only support signature or exchange key");
    QOVA_P11_FAIL_IF(NULL == ppSessionCtx, QOVA_E_INVALIDARG, "Check ppSessionCtx");

    std::vector<_SLOT_STRUCT> vtrSlots;
    std::vector<_TOKEN_STRUCT> vtrTokens;
    const unsigned int nResult = CryptoGetDeviceInfo(pDylibInfo, NULL, vtrSlots, vtrTokens);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CkGetDeviceInfo");
    TRACE(3, "slot count: %d, token count: %d", static_cast<int>(vtrSlots.size()),
          static_cast<int>(vtrTokens.size()));

    // The container lives on the token that holds its public key, which needs no login to be seen.
    for (const _TOKEN_STRUCT& stToken : vtrTokens) {
        void* pCtx = NULL;
        unsigned int nStep = AcquireContext(pDylibInfo, NULL, 0, stToken.ulSlotID, &pCtx);
        TRACE(3, "AcquireContext: 0x%08x", nStep);
        if (QOVA_OK != nStep)
            continue;
        const SessionCtx* pSession = static_cast<const SessionCtx*>(pCtx);
        CK_OBJECT_HANDLE hPublicKey = 0;
        nStep = CkGetSpecifiedObjectByCkID(pSession->pDylibInfo->pCkFunctionList, pSession->hSession, id.Bytes(),
                                           CKO_PUBLIC_KEY, &hPublicKey);
        TRACE(3, "CKGetSpecifiedObjectByCKID(Publickey): 0x%08x", nStep);
        if (QOVA_OK == nStep) {
            QOVA_P11_TRACE_STEP_OK("AcquireContextbyContainer");
            *ppSessionCtx = pCtx;
            return QOVA_OK;
        }
        // Closes this token's session; the module stays loaded for the next token.
        ReleaseSessionContext(pCtx, false);
    }
    QOVA_P11_TRACE_STEP_FAILED("AcquireContextbyContainer", QOVA_E_BAD_KEYSET);
    return QOVA_E_BAD_KEYSET;
}

unsigned int CryptoGetSpecifiedObject(void* pSessionCtx, unsigned char* pszContainerName, CK_OBJECT_CLASS ulObjectType,
                                      CK_ULONG ulKeyUsage, CK_OBJECT_HANDLE* phObject)
{
    TokenSession session;
    unsigned int nResult = OpenSessionCtx(__func__, pSessionCtx, &session, kContainerChecks);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(!ContainerID::UsableName(pszContainerName), QOVA_E_INVALIDARG, "Check pszContainerName");
    ContainerID id;
    QOVA_P11_FAIL_IF(!id.Build(pszContainerName, ulKeyUsage), QOVA_E_P11_NOT_SUPPORTED, "Bad ulKeyUsage");

    nResult = CkGetSpecifiedObjectByCkID(session.pFunctions, session.hSession, id.Bytes(), ulObjectType, phObject);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CKGetSpecifiedObjectByCKID");
    return QOVA_OK;
}

unsigned int CryptoImportCertificate(void* pSessionCtx, unsigned char* pszContainerName, CK_ULONG ulKeyUsage,
                                     unsigned char* pbyCertificate, CK_ULONG ulCertificateSize,
                                     CK_OBJECT_HANDLE* phCertificate)
{
    TRACE(3, "ulCertificateSize: %d", static_cast<int>(ulCertificateSize));
    if (QovaLogEnabled())
        TRACE(3, "pszContainerName: %s", QovaTraceText(reinterpret_cast<const char*>(pszContainerName)).c_str());
    TokenSession session;
    unsigned int nResult = OpenSessionCtx(__func__, pSessionCtx, &session, kContainerChecks);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(!ContainerID::UsableName(pszContainerName), QOVA_E_INVALIDARG, "Check pszContainerName");
    QOVA_P11_FAIL_IF(NULL == pbyCertificate, QOVA_E_INVALIDARG, "Check pbyCertificate");
    QOVA_P11_FAIL_IF(0 == ulCertificateSize, QOVA_E_INVALIDARG, "Check ulCertificateSize");
    ContainerID id;
    QOVA_P11_FAIL_IF(!id.Build(pszContainerName, ulKeyUsage), QOVA_E_P11_NOT_SUPPORTED, "Bad ulKeyUsage");
    if (QovaLogEnabled())
        TRACE(3, "byCkID: %s", QovaTraceText(id.szID).c_str());

    // Any failed search means there is no old certificate to replace.
    CK_OBJECT_HANDLE hOld = 0;
    const unsigned int nSearch =
        CkGetSpecifiedObjectByCkID(session.pFunctions, session.hSession, id.Bytes(), CKO_CERTIFICATE, &hOld);
    if (QOVA_OK != nSearch) {
        TRACE(3, "CkGetSpecifiedObjectByCkID: 0x%08x", nSearch);
        hOld = 0;
    }

    // The new certificate first: a token that refuses it still holds the user's old one.
    CK_OBJECT_HANDLE hNew = 0;
    nResult = CreateCertificateObject(__func__, session, pszContainerName, id, pbyCertificate, ulCertificateSize,
                                      &hNew);
    if (QOVA_OK != nResult)
        return nResult;

    if (0 != hOld) {
        const CK_RV rv = session.pFunctions->C_DestroyObject(session.hSession, hOld);
        TRACE(3, "C_DestroyObject return: %d", static_cast<int>(rv));
        if (QOVA_P11_STEP_FAILED(CKR_OK != rv, QovaP11Result(rv), "C_DestroyObject(Certificate)")) {
            // The old certificate stays; taking the new one back leaves one object with the ID.
            const CK_RV rvUndo = session.pFunctions->C_DestroyObject(session.hSession, hNew);
            TRACE(3, "C_DestroyObject(new certificate) return: %d", static_cast<int>(rvUndo));
            return QovaP11Result(rv);
        }
    }
    if (NULL != phCertificate) {
        TRACE(3, "Pass the certificate handle out.");
        *phCertificate = hNew;
    }
    return QOVA_OK;
}
