#include "CertificateOperation.h"

#include "CertificateFields.h"
#include "KernelHolders.h"
#include "P11Certificate.h"
#include "QovaTrace.h"

#include <cstring>
#include <ctime>
#include <new>

using smkernel::X509Ptr;

namespace {

#define CERTINFO_TRACE(...)                                \
    do {                                                   \
        if (QovaLogEnabled()) TRACE(3, __VA_ARGS__);       \
    } while (0)

// ctime()'s text without its newline.
constexpr size_t kCTimeLength = 24;

// A new[] copy of the text (null stays null) into *ppszCopy; false when no memory is left.
bool CopyText(const char* pszText, char** ppszCopy)
{
    if (NULL == pszText) return true;
    const size_t nSize = strlen(pszText) + 1;
    char* pszCopy = new (std::nothrow) char[nSize];
    if (NULL == pszCopy) return false;
    memcpy(pszCopy, pszText, nSize);
    *ppszCopy = pszCopy;
    return true;
}

using TextGetter = unsigned int (*)(X509*, char**, int*);

// Steps 3 and 4 of every text getter, traced in the getter's name.
unsigned int ReadCertText(const char* func, unsigned char* pbyCertData, int nCertDataSize, TextGetter getter,
                          const char* pszGetterName, char** ppszText)
{
    X509Ptr cert;
    unsigned int nResult = ConvertCertDataToX509(pbyCertData, nCertDataSize, cert.out());
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "ConvertCertDataToX509");
    char* pszText = NULL;
    int nTextLength = 0;
    nResult = getter(cert.get(), &pszText, &nTextLength);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, pszGetterName);
    *ppszText = pszText;
    return QOVA_OK;
}

// The time as ctime() writes it in the local time zone, in a zeroed buffer of 25 bytes.
unsigned int FormatCTime(const char* func, long tTime, std::unique_ptr<char[]>& text)
{
    const time_t tValue = static_cast<time_t>(tTime);
    char szCTime[64] = {0};  // ctime_r needs 26 bytes; years it cannot print give null
    const char* pszCTime = ctime_r(&tValue, szCTime);
    QOVA_FAIL_IF_IN(func, NULL == pszCTime || strlen(pszCTime) < kCTimeLength, QOVA_E_FAIL, "ctime");
    text.reset(new (std::nothrow) char[kCTimeLength + 1]());
    QOVA_FAIL_IF_IN(func, NULL == text, QOVA_E_FAIL, "New memory");
    memcpy(text.get(), pszCTime, kCTimeLength);
    return QOVA_OK;
}

}  // namespace

unsigned int ConstructCertificateInfo(const char* pszCSPName, const char* pszP11Path, _CERTIFICATE_DATA* pCertData,
                                      _CERTIFICATE_INFO** ppCertInfo)
{
    TraceHelper trace("ConstructCertificateInfo");
    // The module list always passes both; a record without them could not name its module.
    QOVA_FAIL_IF(NULL == pszCSPName || NULL == pszP11Path, QOVA_E_INVALIDARG, "Check Parameters(Module)");
    QOVA_FAIL_IF(NULL == pCertData || NULL == ppCertInfo, QOVA_E_INVALIDARG, "Check Parameters(CertData)");

    CertInfoPtr info(new (std::nothrow) _CERTIFICATE_INFO[1]());
    QOVA_FAIL_IF(NULL == info, QOVA_E_FAIL, "New memory");
    QOVA_FAIL_IF(!CopyText(pszCSPName, &info->pszCSPName), QOVA_E_FAIL, "New memory");
    CERTINFO_TRACE("CSP: %s", QovaTraceText(info->pszCSPName).c_str());
    QOVA_FAIL_IF(!CopyText(pszP11Path, &info->pszP11Path), QOVA_E_FAIL, "New memory");
    CERTINFO_TRACE("P11Path: %s", QovaTraceText(info->pszP11Path).c_str());

    unsigned int nResult = DupCertificateData(pCertData, &info->pCertData);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DupCertificateData");

    X509Ptr cert;
    nResult = ConvertCertDataToX509(pCertData->pbyCertificate, pCertData->nCertificateSize, cert.out());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertCertDataToX509");

    // A field that cannot be read stays null; the record is still good for the others.
    GetX509SubjectDN(cert.get(), &info->pszSubjectDN, NULL);
    CERTINFO_TRACE("pszSubjectDN: %s", QovaTraceText(info->pszSubjectDN).c_str());
    GetX509IssuerDN(cert.get(), &info->pszIssuerDN, NULL);
    CERTINFO_TRACE("pszIssuerDN: %s", QovaTraceText(info->pszIssuerDN).c_str());
    GetX509SerialNumber(cert.get(), &info->pszCertSN, NULL);
    CERTINFO_TRACE("pszCertSN: %s", QovaTraceText(info->pszCertSN).c_str());
    GetX509SubjectKeyID(cert.get(), &info->pszSubjectKeyID, NULL);
    CERTINFO_TRACE("pszSubjectKeyID: %s", QovaTraceText(info->pszSubjectKeyID).c_str());
    GetX509CertType(cert.get(), &info->nCertType);
    CERTINFO_TRACE("nCertType: %d", info->nCertType);

    *ppCertInfo = info.release();
    return QOVA_OK;
}

unsigned int DuplicateCertInfo(_CERTIFICATE_INFO stCertInfo, _CERTIFICATE_INFO** ppCertInfo)
{
    TraceHelper trace("DuplicateCertInfo");
    QOVA_FAIL_IF(NULL == ppCertInfo, QOVA_E_INVALIDARG, "Check Parameters(ppCertInfo)");

    CertInfoPtr copy(new (std::nothrow) _CERTIFICATE_INFO[1]());
    QOVA_FAIL_IF(NULL == copy, QOVA_E_FAIL, "New memory");
    const bool bCopied = CopyText(stCertInfo.pszCSPName, &copy->pszCSPName) &&
                         CopyText(stCertInfo.pszP11Path, &copy->pszP11Path) &&
                         CopyText(stCertInfo.pszSubjectDN, &copy->pszSubjectDN) &&
                         CopyText(stCertInfo.pszIssuerDN, &copy->pszIssuerDN) &&
                         CopyText(stCertInfo.pszCertSN, &copy->pszCertSN) &&
                         CopyText(stCertInfo.pszSubjectKeyID, &copy->pszSubjectKeyID);
    QOVA_FAIL_IF(!bCopied, QOVA_E_FAIL, "New memory");

    if (NULL != stCertInfo.pCertData) {
        const unsigned int nResult = DupCertificateData(stCertInfo.pCertData, &copy->pCertData);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DupCertificateData");
    }
    copy->nCertType = stCertInfo.nCertType;
    *ppCertInfo = copy.release();
    return QOVA_OK;
}

void CleanCertInfo(_CERTIFICATE_INFO* pCertInfo)
{
    TraceHelper trace("CleanCertInfo");
    if (NULL == pCertInfo) return;
    for (char** ppszField : {&pCertInfo->pszCSPName, &pCertInfo->pszP11Path, &pCertInfo->pszSubjectDN,
                             &pCertInfo->pszIssuerDN, &pCertInfo->pszCertSN, &pCertInfo->pszSubjectKeyID}) {
        delete[] *ppszField;
        *ppszField = NULL;
    }
    ReleaseCertificateData(pCertInfo->pCertData);
    pCertInfo->pCertData = NULL;
}

void CleanCertInfoSetVtr(std::vector<_CERTIFICATE_INFO*>& vtrCertInfoSet)
{
    TraceHelper trace("CleanCertInfoSetVtr");
    for (_CERTIFICATE_INFO* pCertInfo : vtrCertInfoSet) {
        CleanCertInfo(pCertInfo);
        delete[] pCertInfo;
    }
    vtrCertInfoSet.clear();
}

unsigned int GetSubjectDNFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszSubjectDN)
{
    TraceHelper trace("GetSubjectDNFromDERCert");
    QOVA_FAIL_IF(NULL == pbyCertData || 0 == nCertDataSize, QOVA_E_INVALIDARG, "Check Parameters(CertData)");
    QOVA_FAIL_IF(NULL == ppszSubjectDN, QOVA_E_INVALIDARG, "Check Parameters(SubjectDN)");
    return ReadCertText(__func__, pbyCertData, nCertDataSize, GetX509SubjectDN, "GetX509SubjectDN", ppszSubjectDN);
}

unsigned int GetIssuerDNFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszIssuerDN)
{
    TraceHelper trace("GetIssuerDNFromDERCert");
    QOVA_FAIL_IF(NULL == pbyCertData || 0 == nCertDataSize, QOVA_E_INVALIDARG, "Check Parameters(CertData)");
    QOVA_FAIL_IF(NULL == ppszIssuerDN, QOVA_E_INVALIDARG, "Check Parameters(ppszIssuerDN)");
    return ReadCertText(__func__, pbyCertData, nCertDataSize, GetX509IssuerDN, "GetX509IssuerDN", ppszIssuerDN);
}

unsigned int GetSNFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszCertSN)
{
    TraceHelper trace("GetSNFromDERCert");
    QOVA_FAIL_IF(NULL == pbyCertData || 0 == nCertDataSize, QOVA_E_INVALIDARG, "Check Parameters(CertData)");
    QOVA_FAIL_IF(NULL == ppszCertSN, QOVA_E_INVALIDARG, "Check Parameters(ppszCertSN)");
    return ReadCertText(__func__, pbyCertData, nCertDataSize, GetX509SerialNumber, "GetX509SerialNumber", ppszCertSN);
}

unsigned int GetSubjectKeyIDFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszSubjectKeyID)
{
    TraceHelper trace("GetSubjectKeyIDFromDERCert");
    QOVA_FAIL_IF(NULL == pbyCertData || 0 == nCertDataSize, QOVA_E_INVALIDARG, "Check Parameters(CertData)");
    QOVA_FAIL_IF(NULL == ppszSubjectKeyID, QOVA_E_INVALIDARG, "Check Parameters(ppszSubjectKeyID)");
    return ReadCertText(__func__, pbyCertData, nCertDataSize, GetX509SubjectKeyID, "GetX509SubjectKeyID",
                        ppszSubjectKeyID);
}

unsigned int GetSubjectCNFromDERCert(unsigned char* pbyCertData, int nCertDataSize, char** ppszSubjectCN)
{
    TraceHelper trace("GetSubjectCNFromDERCert");
    QOVA_FAIL_IF(NULL == pbyCertData || 0 == nCertDataSize, QOVA_E_INVALIDARG, "Check Parameters(CertData)");
    QOVA_FAIL_IF(NULL == ppszSubjectCN, QOVA_E_INVALIDARG, "Check Parameters(ppszSubjectCN)");
    return ReadCertText(__func__, pbyCertData, nCertDataSize, GetX509SubjectCN, "GetX509SubjectCN", ppszSubjectCN);
}

unsigned int GetCertType(unsigned char* pbyDERCert, int nDERCertSize, int* pnCertType)
{
    TraceHelper trace("GetCertType");
    QOVA_FAIL_IF(NULL == pbyDERCert || 0 == nDERCertSize, QOVA_E_INVALIDARG, "Check Parameters(CertData)");
    QOVA_FAIL_IF(NULL == pnCertType, QOVA_E_INVALIDARG, "Check Parameters(pnCertType)");

    X509Ptr cert;
    unsigned int nResult = ConvertCertDataToX509(pbyDERCert, nDERCertSize, cert.out());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConverCertDataToX509");
    int nCertType = 0;
    nResult = GetX509CertType(cert.get(), &nCertType);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetX509CertType");
    *pnCertType = nCertType;
    return QOVA_OK;
}

unsigned int GetValidTimeFromDERCert(unsigned char* pbyDERCert, int nDERCertSize, char** ppszNotBefore,
                                     char** ppszNotAfter)
{
    TraceHelper trace("GetValidTimeFromDERCert");
    QOVA_FAIL_IF(NULL == pbyDERCert || 0 == nDERCertSize, QOVA_E_INVALIDARG, "Check Parameters(CertData)");

    X509Ptr cert;
    unsigned int nResult = ConvertCertDataToX509(pbyDERCert, nDERCertSize, cert.out());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertCertDataToX509");

    long tCertTimeInUTC = 0;
    nResult = GetX509NotBefore(cert.get(), &tCertTimeInUTC);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetX509NotBefore");
    CERTINFO_TRACE("tCertTimeInUTC: %d", static_cast<int>(tCertTimeInUTC));
    std::unique_ptr<char[]> notBefore;
    nResult = FormatCTime(__func__, tCertTimeInUTC, notBefore);
    if (QOVA_OK != nResult) return nResult;
    CERTINFO_TRACE("NotBefore: %s", notBefore.get());

    nResult = GetX509NotAfter(cert.get(), &tCertTimeInUTC);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetX509NotAfter");
    CERTINFO_TRACE("tCertTimeInUTC: %d", static_cast<int>(tCertTimeInUTC));
    std::unique_ptr<char[]> notAfter;
    nResult = FormatCTime(__func__, tCertTimeInUTC, notAfter);
    if (QOVA_OK != nResult) return nResult;
    CERTINFO_TRACE("NotAfter: %s", notAfter.get());

    if (ppszNotBefore) *ppszNotBefore = notBefore.release();
    if (ppszNotAfter) *ppszNotAfter = notAfter.release();
    return QOVA_OK;
}
