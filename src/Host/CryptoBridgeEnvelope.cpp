#include "CryptoBridgeEnvelope.h"

#include "Base64.h"
#include "CertificateOperation.h"
#include "CompiledTables.h"
#include "CryptoBridge.h"
#include "DataEncrypt.h"
#include "DylibInfo.h"
#include "HostDetail.h"
#include "NodeEx.h"
#include "RSADataEncryption.h"
#include "SM2Envelope.h"

#include <openssl/crypto.h>
#include <openssl/obj_mac.h>

#include <strings.h>

#include <climits>
#include <cstring>

namespace {

using host::TextPtr;

// Names compared without regard to case, as the designed checks spell the comparison.
int stricmp(const char* pszA, const char* pszB)
{
    return strcasecmp(pszA, pszB);
}

// A new[] array a callee handed out, released at scope end (cleared first when it is a secret).
template <bool kSecret>
struct OwnedBytes
{
    unsigned char* p = nullptr;
    int n = 0;

    OwnedBytes() = default;
    ~OwnedBytes()
    {
        if (kSecret && nullptr != p && n > 0) OPENSSL_cleanse(p, static_cast<size_t>(n));
        delete[] p;
    }
    OwnedBytes(const OwnedBytes&) = delete;
    OwnedBytes& operator=(const OwnedBytes&) = delete;
};

// Content-type identifiers by their value octets.
struct ContentType
{
    int nType;
    const char* pszName;
    unsigned char byValue[10];
    size_t nSize;
};
const ContentType kContentTypes[] = {
    {RSA_SIGNED_DATA, "RSA_SIGNED_DATA", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}, 9},
    {SM2_SIGNED_DATA, "SM2_SIGNED_DATA", {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02}, 10},
    {RSA_ENVELOPED_DATA, "RSA_ENVELOPED_DATA", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03}, 9},
    {SM2_ENVELOPED_DATA, "SM2_ENVELOPED_DATA", {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x03}, 10},
};

// Text from outside as the byte buffer and int length the kernel takes.
unsigned int TextBytes(const char* func, const char* pszText, unsigned char** ppbyBytes, int* pnSize)
{
    const size_t nSize = strlen(pszText);
    QOVA_FAIL_IF_IN(func, nSize > static_cast<size_t>(INT_MAX), QOVA_E_INVALIDARG, "Check text size");
    *ppbyBytes = reinterpret_cast<unsigned char*>(const_cast<char*>(pszText));
    *pnSize = static_cast<int>(nSize);
    return QOVA_OK;
}

// The module list is loaded for one operation and unloaded after it, on every path; a module that
// still has a session (a selected record's) stays loaded.
class LoadedModules
{
public:
    LoadedModules()
    {
        LoadDylibInfoList(g_pDylibInfoList, NULL, true, g_CertificateChain, g_Certificate_Chain_Count);
    }
    ~LoadedModules() { UnloadDylibInfoList(g_pDylibInfoList); }
    LoadedModules(const LoadedModules&) = delete;
    LoadedModules& operator=(const LoadedModules&) = delete;
};

}  // namespace

unsigned int _SelectEncryptCertificate(_VarnellObj* pobjCryptoAgent, const char* pszSubjectDNFilter,
                                       const char* pszIssureDNFilter, const char* pszSN, char** ppszSubjectDN)
{
    TraceHelper trace("_SelectEncryptCertificate");
    HOST_TRACE(3, "pszSubjectDNFilter is %s.", QovaTraceText(pszSubjectDNFilter).c_str());
    HOST_TRACE(3, "pszIssureDNFilter is %s.", QovaTraceText(pszIssureDNFilter).c_str());
    HOST_TRACE(3, "pszSN is %s.", QovaTraceText(pszSN).c_str());
    QOVA_FAIL_IF(NULL == pobjCryptoAgent, QOVA_E_INVALIDARG, "Check pobjCryptoAgent");
    QOVA_FAIL_IF(NULL == ppszSubjectDN, QOVA_E_INVALIDARG, "Check ppszSubjectDN");

    // Whatever happens next, the previous choice is gone: a failed or cancelled selection leaves
    // nothing selected.
    DeleteCertInfo(pobjCryptoAgent->m_pEncryptCertCtx);
    pobjCryptoAgent->m_pEncryptCertCtx = NULL;

    const LoadedModules modules;
    _CERT_FILTER filter = {};
    filter.pszSubjectDNFilter = const_cast<char*>(pszSubjectDNFilter);
    filter.pszIssureDNFilter = const_cast<char*>(pszIssureDNFilter);
    filter.pszSerialNumFilter = const_cast<char*>(pszSN);
    filter.dwCertificateType = 1;

    _CERTIFICATE_INFO* pSelected = NULL;
    unsigned int nResult = SelectCertificatefromCSPList(g_pDylibInfoList, &filter, &pSelected);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SelectCertificatefromCSPList");
    // Released with its session unless it is stored.
    CertInfoPtr record(pSelected);

    const _CERTIFICATE_DATA* pCertData = record->pCertData;
    char* pszSubjectDN = NULL;
    nResult = GetSubjectDNFromDERCert(pCertData ? pCertData->pbyCertificate : NULL,
                                      pCertData ? pCertData->nCertificateSize : 0, &pszSubjectDN);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetSubjectDNFromDERCert");
    HOST_TRACE(3, "SubjectDN: %s", QovaTraceText(pszSubjectDN).c_str());

    pobjCryptoAgent->m_pEncryptCertCtx = record.release();
    *ppszSubjectDN = pszSubjectDN;
    return QOVA_OK;
}

unsigned int _GetEncryptCertInfo(_VarnellObj* pobjCryptoAgent, const char* pszUTF8InfoType, char** ppszCertInfo)
{
    TraceHelper trace("_GetEncryptCertInfo");
    QOVA_FAIL_IF(NULL == pobjCryptoAgent, QOVA_E_INVALIDARG, "Check pobjCryptoAgent");
    QOVA_FAIL_IF(NULL == pobjCryptoAgent->m_pEncryptCertCtx, QOVA_E_NO_SELECTED_CERT, "Check m_pEncryptCertCtx");
    return _GetCertInfo(pobjCryptoAgent->m_pEncryptCertCtx, pszUTF8InfoType, ppszCertInfo);
}

unsigned int GetPKCS7Type(unsigned char* pbyDERPKCS7SignData, int nDERPKCS7SignData, int* pnPKCS7Type)
{
    TraceHelper trace("GetPKCS7Type");
    QOVA_FAIL_IF((NULL == pbyDERPKCS7SignData || 0 == nDERPKCS7SignData), QOVA_E_INVALIDARG, "Check Parameters");
    QOVA_FAIL_IF(nDERPKCS7SignData < 0, QOVA_E_INVALIDARG, "Check nDERPKCS7SignData");
    QOVA_FAIL_IF(NULL == pnPKCS7Type, QOVA_E_INVALIDARG, "Check pnPKCS7Type");

    NodeEx* pRoot = NULL;
    const unsigned int nResult =
        DecodeASN1MemoryEx(pbyDERPKCS7SignData, static_cast<unsigned long>(nDERPKCS7SignData), &pRoot);
    const NodeExPtr tree(pRoot);
    QOVA_FAIL_IF(QOVA_OK != nResult || NULL == pRoot, QOVA_E_INVALID_DATA, "DecodeASN1MemoryEx");
    const NodeEx* pP7DecodeNode = tree.get();
    QOVA_FAIL_IF(pP7DecodeNode->vetNodes.size() != 2, QOVA_E_INVALID_DATA, "Check PKCS#7 nodes");
    const NodeEx* pContentType = pP7DecodeNode->vetNodes[0];
    QOVA_FAIL_IF(0 == pContentType->ValueLength, QOVA_E_INVALID_DATA, "Check content type");

    // Parsed from memory, the value lies inside the caller's buffer.
    const unsigned char* pbyValue = GetNodeExValuePointer(pContentType);
    for (const ContentType& type : kContentTypes) {
        if (NULL != pbyValue && type.nSize == pContentType->ValueLength &&
            0 == memcmp(pbyValue, type.byValue, type.nSize)) {
            HOST_TRACE(3, "PKCS#7 content type:%s", type.pszName);
            *pnPKCS7Type = type.nType;
            return QOVA_OK;
        }
    }
    QOVA_TRACE_STEP_FAILED("Unsupported PKCS#7 content type.", QOVA_E_INVALID_DATA, "true");
    return QOVA_E_INVALID_DATA;
}

unsigned int _EncryptMsgCMSEnvelopeEx_ByCert(_VarnellObj* pobjCryptoAgent, const char* pszBase64CertContent,
                                             const char* pszCertType, const char* pszMessage,
                                             const char* pszEncryptAlg, char** ppszBase64CMSEnvelope)
{
    TraceHelper trace("_EncryptMsgCMSEnvelopeEx_ByCert");
    HOST_TRACE(3, "pszCertType: %s", QovaTraceText(pszCertType).c_str());
    HOST_TRACE(3, "pszEncryptAlg: %s", QovaTraceText(pszEncryptAlg).c_str());
    QOVA_FAIL_IF(NULL == pobjCryptoAgent, QOVA_E_INVALIDARG, "Check pobjCryptoAgent");
    QOVA_FAIL_IF(NULL == pszBase64CertContent || 0 == strlen(pszBase64CertContent), QOVA_E_INVALIDARG,
                 "Check pszBase64CertContent");
    QOVA_FAIL_IF(NULL == pszCertType || 0 == strlen(pszCertType), QOVA_E_INVALIDARG, "Check pszCertType");
    QOVA_FAIL_IF(NULL == pszMessage || 0 == strlen(pszMessage), QOVA_E_INVALIDARG, "Check pszMessage");
    unsigned char* pbyMessage = NULL;
    int nMessageSize = 0;
    unsigned int nResult = TextBytes(__func__, pszMessage, &pbyMessage, &nMessageSize);
    if (QOVA_OK != nResult) return nResult;
    const size_t nCertTextSize = strlen(pszBase64CertContent);
    QOVA_FAIL_IF(nCertTextSize > static_cast<size_t>(INT_MAX), QOVA_E_INVALIDARG, "Check certificate size");

    OwnedBytes<false> cert;
    nResult = Base64DecodeEx(pszBase64CertContent, static_cast<int>(nCertTextSize), &cert.p, &cert.n);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64DecodeEx");

    char* pszEnvelope = NULL;
    int nEnvelopeSize = 0;
    if (0 == stricmp(pszCertType, "SM2")) {
        // The standard form of an SM2 ciphertext, which the vendor tokens unwrap as it stands.
        nResult = EncryptDataToBase64CMSEnvelope(pbyMessage, nMessageSize, cert.p, cert.n, SM2_ENC_ENCODED_DER,
                                                 &pszEnvelope, &nEnvelopeSize, 0);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncryptDataToBase64CMSEnvelope");
    } else if (0 == stricmp(pszCertType, "RSA")) {
        QOVA_FAIL_IF(NULL == pszEncryptAlg ||
                         (0 != stricmp(pszEncryptAlg, "RC4") && 0 != stricmp(pszEncryptAlg, "3DES")),
                     QOVA_E_INVALIDARG, "Check EncryptAlg");
        const int nSymAlgNID = 0 == stricmp(pszEncryptAlg, "RC4") ? NID_rc4 : NID_des_ede3_cbc;
        nResult = RSA_EncryptDataToCMSEnvelope(pbyMessage, nMessageSize, cert.p, cert.n, nSymAlgNID, 0, &pszEnvelope,
                                               &nEnvelopeSize);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_EncryptDataToCMSEnvelope");
    } else {
        QOVA_TRACE_STEP_FAILED("Check Cert Type(content)", QOVA_E_INVALIDARG, "true");
        return QOVA_E_INVALIDARG;
    }
    host::HandOut(TextPtr(pszEnvelope), ppszBase64CMSEnvelope);
    return QOVA_OK;
}

unsigned int _DecryptMsgCMSEnvelopeEx(_VarnellObj* pobjCryptoAgent, const char* pszBase64CMSEnvelope,
                                      const char* pszEnvelopeType, char** ppszPlaint)
{
    TraceHelper trace("_DecryptMsgCMSEnvelopeEx");
    (void)pobjCryptoAgent;
    QOVA_FAIL_IF(NULL == pszBase64CMSEnvelope || 0 == strlen(pszBase64CMSEnvelope), QOVA_E_INVALIDARG,
                 "Check pszBase64CMSEnvelope");
    QOVA_FAIL_IF(NULL == pszEnvelopeType || 0 == strlen(pszEnvelopeType), QOVA_E_INVALIDARG,
                 "Check pszEnvelopeType");
    QOVA_FAIL_IF(NULL == ppszPlaint, QOVA_E_INVALIDARG, "Check ppszPlaint");
    HOST_TRACE(3, "pszBase64CMSEnvelope: %s", QovaTraceText(pszBase64CMSEnvelope).c_str());
    const size_t nTextSize = strlen(pszBase64CMSEnvelope);
    QOVA_FAIL_IF(nTextSize > static_cast<size_t>(INT_MAX), QOVA_E_INVALIDARG, "Check envelope size");

    OwnedBytes<false> der;
    unsigned int nResult = Base64DecodeEx(pszBase64CMSEnvelope, static_cast<int>(nTextSize), &der.p, &der.n);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64DecodeEx");
    int nPKCS7Type = 0;
    nResult = GetPKCS7Type(der.p, der.n, &nPKCS7Type);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetPKCS7Type");
    QOVA_FAIL_IF((0 == stricmp(pszEnvelopeType, "RSA") && RSA_ENVELOPED_DATA != nPKCS7Type), QOVA_E_ENVELOPE_TYPE,
                 "Check envelope type");
    QOVA_FAIL_IF((0 == stricmp(pszEnvelopeType, "SM2") && SM2_ENVELOPED_DATA != nPKCS7Type), QOVA_E_ENVELOPE_TYPE,
                 "Check envelope type");

    const LoadedModules modules;
    OwnedBytes<true> plain;
    {
        host::PINCopy pin;
        nResult = DecryptCMSEnvelope_DER(g_pDylibInfoList, pin.Bytes(), kDefaultPINSize, der.p, der.n, &plain.p,
                                         &plain.n);
    }
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DecryptCMSEnvelope_DER");
    // The plaintext is followed by a zero byte: it leaves as text.
    *ppszPlaint = reinterpret_cast<char*>(plain.p);
    plain.p = nullptr;
    plain.n = 0;
    return QOVA_OK;
}
