#include "CryptoBridge.h"

#include "Base64.h"
#include "CertificateOperation.h"
#include "CompiledTables.h"
#include "DataSigning.h"
#include "DylibInfo.h"
#include "HostDetail.h"
#include "TokenLogin.h"

#include <openssl/crypto.h>

#include <strings.h>

#include <climits>
#include <cstring>

int g_P11_dylib_count = 0;
int g_Certificate_Chain_Count = 0;
void* g_pDylibInfoList = nullptr;
const unsigned char g_byDefaultPIN[kDefaultPINSize + 1] = {0x01, 0x08, '4', '0', '9', '1', '7', '2', '6', '3', 0};

namespace {

using host::TextPtr;

// The record's DER certificate, or nothing when it has no certificate object.
unsigned char* DerOf(_CERTIFICATE_INFO* pCertInfo, int* pnSize)
{
    _CERTIFICATE_DATA* pCertData = pCertInfo->pCertData;
    *pnSize = pCertData ? pCertData->nCertificateSize : 0;
    return pCertData ? pCertData->pbyCertificate : nullptr;
}

using DerTextGetter = unsigned int (*)(unsigned char*, int, char**);

template <DerTextGetter getter>
unsigned int ReadDerField(_CERTIFICATE_INFO* pCertInfo, char** ppszText)
{
    int nSize = 0;
    unsigned char* pbyDer = DerOf(pCertInfo, &nSize);
    return getter(pbyDer, nSize, ppszText);
}

unsigned int ReadCertContent(_CERTIFICATE_INFO* pCertInfo, char** ppszText)
{
    int nSize = 0;
    unsigned char* pbyDer = DerOf(pCertInfo, &nSize);
    return Base64EncodeEx(pbyDer, nSize, ppszText, nullptr, 0);
}

unsigned int CopyField(const char* pszField, char** ppszText)
{
    char* pszCopy = host::CopyText(pszField);
    if (!pszCopy)
        return QOVA_E_FAIL;
    *ppszText = pszCopy;
    return QOVA_OK;
}

unsigned int ReadCSPName(_CERTIFICATE_INFO* pCertInfo, char** ppszText)
{
    return CopyField(pCertInfo->pszCSPName, ppszText);
}

unsigned int ReadCertType(_CERTIFICATE_INFO* pCertInfo, char** ppszText)
{
    return CopyField(1 == pCertInfo->nCertType ? "RSA" : "SM2", ppszText);
}

// The information types of _GetCertInfo, tried in this order.
struct InfoType
{
    const char* name;
    unsigned int (*read)(_CERTIFICATE_INFO* pCertInfo, char** ppszText);
};
const InfoType kInfoTypes[] = {
    {"SubjectDN", ReadDerField<GetSubjectDNFromDERCert>},
    {"IssuerDN", ReadDerField<GetIssuerDNFromDERCert>},
    {"SerialNumber", ReadDerField<GetSNFromDERCert>},
    {"SubjectID", ReadDerField<GetSubjectKeyIDFromDERCert>},
    {"SubjectCN", ReadDerField<GetSubjectCNFromDERCert>},
    {"CertContent", ReadCertContent},
    {"CSPName", ReadCSPName},
    {"CertType", ReadCertType},
};

// The names of GetAlgIDfromAlgName; only "SHA-512" is compared without regard to case.
struct AlgName
{
    const char* name;
    unsigned int ulAlgID;
    bool bAnyCase;
};
const AlgName kAlgNames[] = {
    {"SHA-1", QOVA_CALG_SHA1, false},  {"SHA-256", QOVA_CALG_SHA256, false}, {"SHA-384", QOVA_CALG_SHA384, false},
    {"SHA-512", QOVA_CALG_SHA512, true}, {"MD-5", QOVA_CALG_MD5, false},     {"SM3", QOVA_CALG_SM3, false},
    {"RC4", QOVA_CALG_RC4, false},     {"3DES", QOVA_CALG_3DES, false},
};

}  // namespace

unsigned int InitVOSKContext()
{
    TraceHelper trace("InitVOSKContext");
    g_P11_dylib_count = g_P11_dylibPath_rows;
    g_Certificate_Chain_Count = g_CertificateChain_rows;
    const bool bKernel = InitVOSKP11Kernel();
    // Logins with the stored PIN spend no PIN try the token cannot spare (TokenLogin.h).
    SetStoredPIN(g_byDefaultPIN, kDefaultPINSize);
    // A list that is still there may hold the modules of live records: keep it.
    if (nullptr == g_pDylibInfoList)
        InitDylibInfoList(g_P11_dylibPath, g_P11_dylib_count, &g_pDylibInfoList);
    QOVA_FAIL_IF(!bKernel, QOVA_E_FAIL, "InitVOSKP11Kernel");
    return QOVA_OK;
}

bool UninitVOSKContext()
{
    TraceHelper trace("UninitVOSKContext");
    const bool bKernel = UninitVOSKP11Kernel();
    // What the tokens said to the stored PIN is forgotten with the agent.
    SetStoredPIN(NULL, 0);
    UnitDylibInfoList(g_pDylibInfoList);
    g_pDylibInfoList = nullptr;
    g_P11_dylib_count = 0;
    g_Certificate_Chain_Count = 0;
    return bKernel;
}

void DeleteCertInfo(_CERTIFICATE_INFO* pCertInfo)
{
    TraceHelper trace("DeleteCertInfo");
    if (nullptr == pCertInfo)
        return;
    CleanCertInfo(pCertInfo);
    delete[] pCertInfo;
}

unsigned int _SetSM2CSPList(_VarnellObj* pobjCryptoAgent, const char* pszCSPList, bool* pbSuccess)
{
    TraceHelper trace("_SetSM2CSPList");
    (void)pobjCryptoAgent;
    (void)pszCSPList;
    if (pbSuccess)
        *pbSuccess = true;
    return QOVA_OK;
}

unsigned int _GetCertInfo(_CERTIFICATE_INFO* pCertInfo, const char* pszFlag, char** ppszCertInfo)
{
    TraceHelper trace("_GetCertInfo");
    HOST_TRACE(3, "pszFlag: %s", QovaTraceText(pszFlag).c_str());
    QOVA_FAIL_IF(NULL == pCertInfo, QOVA_E_INVALIDARG, "Check pCertInfo");

    const InfoType* pType = NULL;
    for (const InfoType& type : kInfoTypes) {
        if (pszFlag && 0 == strcasecmp(pszFlag, type.name)) {
            pType = &type;
            break;
        }
    }
    QOVA_FAIL_IF(NULL == pType, QOVA_E_INVALIDARG, "Error query type");

    char* pszText = NULL;
    const unsigned int nResult = pType->read(pCertInfo, &pszText);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, pType->name);
    TextPtr text(pszText);
    HOST_TRACE(3, "Cert info: %s", QovaTraceText(pszText).c_str());
    host::HandOut(std::move(text), ppszCertInfo);
    return QOVA_OK;
}

unsigned int _GetSignCertInfo(_VarnellObj* pobjCryptoAgent, const char* pszUTF8InfoType, char** ppszCertInfo)
{
    TraceHelper trace("_GetSignCertInfo");
    QOVA_FAIL_IF(NULL == pobjCryptoAgent, QOVA_E_INVALIDARG, "Check pobjCryptoAgent");
    QOVA_FAIL_IF(NULL == pobjCryptoAgent->m_pSignCertCtx, QOVA_E_NO_SELECTED_CERT, "Check m_pSignCertCtx");
    return _GetCertInfo(pobjCryptoAgent->m_pSignCertCtx, pszUTF8InfoType, ppszCertInfo);
}

unsigned int _SelectCertificate(_VarnellObj* pobjCryptoAgent, const char* pszSubjectDNFilter,
                                const char* pszIssureDNFilter, const char* pszSN, bool* pbSuccess)
{
    TraceHelper trace("_SelectCertificate");
    HOST_TRACE(3, "pszSubjectDNFilter is %s.", QovaTraceText(pszSubjectDNFilter).c_str());
    HOST_TRACE(3, "pszIssureDNFilter is %s.", QovaTraceText(pszIssureDNFilter).c_str());
    HOST_TRACE(3, "pszSN is %s.", QovaTraceText(pszSN).c_str());
    QOVA_FAIL_IF(NULL == pobjCryptoAgent, QOVA_E_INVALIDARG, "Check pobjCryptoAgent");
    QOVA_FAIL_IF(NULL == pbSuccess, QOVA_E_INVALIDARG, "Check pbSuccess");

    // Whatever happens next, the previous choice is gone: a failed or cancelled selection leaves
    // nothing selected.
    DeleteCertInfo(pobjCryptoAgent->m_pSignCertCtx);
    pobjCryptoAgent->m_pSignCertCtx = NULL;

    LoadDylibInfoList(g_pDylibInfoList, NULL, true, g_CertificateChain, g_Certificate_Chain_Count);

    // The filter's texts stay ours; the selection only reads them.
    _CERT_FILTER filter = {};
    filter.pszSubjectDNFilter = const_cast<char*>(pszSubjectDNFilter);
    filter.pszIssureDNFilter = const_cast<char*>(pszIssureDNFilter);
    filter.pszSerialNumFilter = const_cast<char*>(pszSN);
    filter.dwCertificateType = 2;

    _CERTIFICATE_INFO* pCertInfo = NULL;
    const unsigned int nResult = SelectCertificatefromCSPList(g_pDylibInfoList, &filter, &pCertInfo);
    // The chosen record's session keeps its module loaded; every other module goes.
    const bool bFailed = QOVA_STEP_FAILED(QOVA_OK != nResult, nResult, "SelectCertificatefromCSPList");
    if (!bFailed) {
        pobjCryptoAgent->m_pSignCertCtx = pCertInfo;
        *pbSuccess = true;
    }
    UnloadDylibInfoList(g_pDylibInfoList);
    return nResult;
}

unsigned int _SignMsgPKCS7(_VarnellObj* pobjCryptoAgent, const char* pszSourceData, const char* pszHashAlg,
                           bool bWithSourceData, char** ppszPKCS7Signature)
{
    TraceHelper trace("_SignMsgPKCS7");
    HOST_TRACE(3, "ulHashAlg %s", QovaTraceText(pszHashAlg).c_str());
    HOST_TRACE(3, "pszSourceData %s", QovaTraceText(pszSourceData).c_str());
    HOST_TRACE(3, "bWithSourceData: %d", bWithSourceData ? 1 : 0);

    QOVA_FAIL_IF(NULL == pobjCryptoAgent, QOVA_E_INVALIDARG, "Check Obj");
    QOVA_FAIL_IF(NULL == pszSourceData || 0 == strlen(pszSourceData), QOVA_E_INVALIDARG, "Check pszSourceData");
    // The token takes the length as an int.
    const size_t nSourceSize = strlen(pszSourceData);
    QOVA_FAIL_IF(nSourceSize > static_cast<size_t>(INT_MAX), QOVA_E_INVALIDARG, "Check pszSourceData size");
    QOVA_FAIL_IF(NULL == pszHashAlg, QOVA_E_INVALIDARG, "Check HashAlg");
    _CERTIFICATE_INFO* pCertInfo = pobjCryptoAgent->m_pSignCertCtx;
    QOVA_FAIL_IF(NULL == pCertInfo, QOVA_E_NO_SELECTED_CERT, "Check pCertInfo");

    const _CERTIFICATE_DATA* pCertData = pCertInfo->pCertData;
    HOST_TRACE(3, "CSP: %s", QovaTraceText(pCertInfo->pszCSPName).c_str());
    HOST_TRACE(3, "DylibPath: %s", QovaTraceText(pCertInfo->pszP11Path).c_str());
    HOST_TRACE(3, "CKID: %s", QovaTraceText(pCertData ? pCertData->pszCkID : NULL).c_str());

    unsigned int ulHashAlg = 0;
    if (2 == pCertInfo->nCertType) {
        HOST_TRACE(3, "SM2 Cert");
        ulHashAlg = QOVA_CALG_SM3;
    } else if (1 == pCertInfo->nCertType) {
        HOST_TRACE(3, "RSA Cert");
        QOVA_FAIL_IF((0 != strcasecmp(pszHashAlg, "SHA-1") && 0 != strcasecmp(pszHashAlg, "SHA-256") &&
                      0 != strcasecmp(pszHashAlg, "MD-5")),
                     QOVA_E_BAD_ALGID, "Check HashAlg for RSA");
        const unsigned int nResult = GetAlgIDfromAlgName(pszHashAlg, &ulHashAlg);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetAlgIDfromAlgName");
    }

    char* pszSignature = NULL;
    unsigned int nResult = QOVA_OK;
    {
        host::PINCopy pin;
        nResult = PKCS7_SignData(pCertInfo, pin.Bytes(), kDefaultPINSize, ulHashAlg, bWithSourceData, true,
                                 SIG_TYPE_SM2_Q7_V3,
                                 reinterpret_cast<unsigned char*>(const_cast<char*>(pszSourceData)),
                                 static_cast<int>(nSourceSize), 1, &pszSignature);
    }
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "PKCS7_SignData");
    host::HandOut(TextPtr(pszSignature), ppszPKCS7Signature);
    return QOVA_OK;
}

unsigned int GetAlgIDfromAlgName(const char* pszAlgName, unsigned int* pulAlgID)
{
    TraceHelper trace("GetAlgIDfromAlgName");
    HOST_TRACE(3, "AlgName: %s", QovaTraceText(pszAlgName).c_str());
    QOVA_FAIL_IF(NULL == pulAlgID, QOVA_E_INVALIDARG, "Check pulAlgID");

    const AlgName* pFound = NULL;
    for (const AlgName& alg : kAlgNames) {
        if (pszAlgName && 0 == (alg.bAnyCase ? strcasecmp(pszAlgName, alg.name) : strcmp(pszAlgName, alg.name))) {
            pFound = &alg;
            break;
        }
    }
    QOVA_FAIL_IF(NULL == pFound, QOVA_E_INVALIDARG,
                 "Unsupport hash Alg, only support sha1 sha256 sha384 md5 for RSA and sm3 for sm2");
    *pulAlgID = pFound->ulAlgID;
    return QOVA_OK;
}
