#include "CertificateOperation.h"

#include "CertificateFields.h"
#include "CertificateValidation.h"
#include "KernelHolders.h"
#include "Misc.h"
#include "P11Certificate.h"
#include "P11Module.h"
#include "QovaTrace.h"
#include "Tamsel64.h"
#include "TokenSvcDetail.h"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>
#include <strings.h>

using smkernel::X509Ptr;

namespace {

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

// A record set released at scope end. A record holds its token session: the release of a
// session's last record closes it and lets its module unload.
struct CertInfoSet
{
    std::vector<_CERTIFICATE_INFO*> records;
    ~CertInfoSet() { CleanCertInfoSetVtr(records); }
};

// Token certificate objects of one module; released (and their sessions with them, unless a
// record took a reference) at scope end.
struct CertDataSet
{
    std::vector<_CERTIFICATE_DATA*> records;
    ~CertDataSet() { ClearCertificateDataSet(records); }
};

// The pieces of a split filter text (strdup copies).
struct Alternatives
{
    std::vector<char*> pieces;
    ~Alternatives() { CleanupStringVector(pieces); }
};

bool IsTextSet(const char* pszText)
{
    return NULL != pszText && '\0' != *pszText;
}

// A zero-filled new[] copy of the text; a missing text becomes the empty text.
std::unique_ptr<char[]> CopyTextOrEmpty(const char* pszText)
{
    const size_t nLength = NULL == pszText ? 0 : strlen(pszText);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[nLength + 1]());
    if (copy && nLength > 0) memcpy(copy.get(), pszText, nLength);
    return copy;
}

// The rows offered in the certificate window: one display record per certificate with its own
// copies of the texts and the DER bytes, and the null-terminated pointer array the dialog library
// reads. Everything is freed with this object, whatever the dialog answered.
class DisplayRecords
{
public:
    bool Allocate(size_t nCount)
    {
        m_rows.reset(new (std::nothrow) Row[nCount]());
        m_array.reset(new (std::nothrow) const CertDisplayRecord*[nCount + 1]());
        return m_rows && m_array;
    }

    // Fills row i from the record; null when memory runs out.
    const CertDisplayRecord* Set(size_t i, const _CERTIFICATE_INFO& stCertInfo)
    {
        Row& row = m_rows[i];
        row.subject = CopyTextOrEmpty(stCertInfo.pszSubjectDN);
        row.issuer = CopyTextOrEmpty(stCertInfo.pszIssuerDN);
        if (!row.subject || !row.issuer) return NULL;
        row.record.pszSubjectDN = row.subject.get();
        row.record.pszIssuerDN = row.issuer.get();
        const _CERTIFICATE_DATA* pCertData = stCertInfo.pCertData;
        if (NULL != pCertData && NULL != pCertData->pbyCertificate && pCertData->nCertificateSize > 0) {
            const size_t nSize = static_cast<size_t>(pCertData->nCertificateSize);
            row.der.reset(new (std::nothrow) unsigned char[nSize]);
            if (!row.der) return NULL;
            memcpy(row.der.get(), pCertData->pbyCertificate, nSize);
            row.record.stCertData.pbyData = row.der.get();
            row.record.stCertData.lDataSize = static_cast<int64_t>(pCertData->nCertificateSize);
        }
        m_array[i] = &row.record;
        return &row.record;
    }

    const CertDisplayRecord* const* Array() const { return m_array.get(); }

private:
    struct Row
    {
        CertDisplayRecord record;
        std::unique_ptr<char[]> subject;
        std::unique_ptr<char[]> issuer;
        std::unique_ptr<unsigned char[]> der;
    };
    std::unique_ptr<Row[]> m_rows;
    std::unique_ptr<const CertDisplayRecord*[]> m_array;
};

// Tests a to g of the filter in their order; the first that fails drops the record. A test that is
// on fails a record whose field for it is missing: there is nothing that could match.
bool PassesFilter(const _CERTIFICATE_INFO& stCertInfo, const _CERT_FILTER& stFilter, unsigned int uiKeyUsage,
                  const std::vector<char*>& vtrSubjects, const std::vector<char*>& vtrIssuers)
{
    unsigned char* pbyDERCert = stCertInfo.pCertData ? stCertInfo.pCertData->pbyCertificate : NULL;
    const int nDERCertSize = stCertInfo.pCertData ? stCertInfo.pCertData->nCertificateSize : 0;

    if (0 != uiKeyUsage && QOVA_OK != CheckCertKeyUsage(pbyDERCert, nDERCertSize, uiKeyUsage, false)) return false;
    if (QOVA_OK != FilterString(stCertInfo.pszSubjectDN, vtrSubjects)) return false;
    if (QOVA_OK != FilterString(stCertInfo.pszIssuerDN, vtrIssuers)) return false;
    if (IsTextSet(stFilter.pszSerialNumFilter) &&
        (NULL == stCertInfo.pszCertSN || 0 != strcasecmp(stFilter.pszSerialNumFilter, stCertInfo.pszCertSN)))
        return false;
    if (IsTextSet(stFilter.pszSubjectKeyIDFilter) &&
        (NULL == stCertInfo.pszSubjectKeyID || 0 != strcmp(stFilter.pszSubjectKeyIDFilter, stCertInfo.pszSubjectKeyID)))
        return false;
    if (IsTextSet(stFilter.AlgOID) && QOVA_OK != CheckCertAlg(pbyDERCert, nDERCertSize, stFilter.AlgOID)) return false;
    return QOVA_OK == CheckCertTimeValidity(pbyDERCert, nDERCertSize, stFilter.tTimetoVerify);
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
    TOKENSVC_TRACE("CSP: %s", QovaTraceText(info->pszCSPName).c_str());
    QOVA_FAIL_IF(!CopyText(pszP11Path, &info->pszP11Path), QOVA_E_FAIL, "New memory");
    TOKENSVC_TRACE("P11Path: %s", QovaTraceText(info->pszP11Path).c_str());

    unsigned int nResult = DupCertificateData(pCertData, &info->pCertData);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DupCertificateData");

    X509Ptr cert;
    nResult = ConvertCertDataToX509(pCertData->pbyCertificate, pCertData->nCertificateSize, cert.out());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertCertDataToX509");

    // A field that cannot be read stays null; the record is still good for the others.
    GetX509SubjectDN(cert.get(), &info->pszSubjectDN, NULL);
    TOKENSVC_TRACE("pszSubjectDN: %s", QovaTraceText(info->pszSubjectDN).c_str());
    GetX509IssuerDN(cert.get(), &info->pszIssuerDN, NULL);
    TOKENSVC_TRACE("pszIssuerDN: %s", QovaTraceText(info->pszIssuerDN).c_str());
    GetX509SerialNumber(cert.get(), &info->pszCertSN, NULL);
    TOKENSVC_TRACE("pszCertSN: %s", QovaTraceText(info->pszCertSN).c_str());
    GetX509SubjectKeyID(cert.get(), &info->pszSubjectKeyID, NULL);
    TOKENSVC_TRACE("pszSubjectKeyID: %s", QovaTraceText(info->pszSubjectKeyID).c_str());
    GetX509CertType(cert.get(), &info->nCertType);
    TOKENSVC_TRACE("nCertType: %d", info->nCertType);

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
    TOKENSVC_TRACE("tCertTimeInUTC: %d", static_cast<int>(tCertTimeInUTC));
    std::unique_ptr<char[]> notBefore;
    nResult = FormatCTime(__func__, tCertTimeInUTC, notBefore);
    if (QOVA_OK != nResult) return nResult;
    TOKENSVC_TRACE("NotBefore: %s", notBefore.get());

    nResult = GetX509NotAfter(cert.get(), &tCertTimeInUTC);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetX509NotAfter");
    TOKENSVC_TRACE("tCertTimeInUTC: %d", static_cast<int>(tCertTimeInUTC));
    std::unique_ptr<char[]> notAfter;
    nResult = FormatCTime(__func__, tCertTimeInUTC, notAfter);
    if (QOVA_OK != nResult) return nResult;
    TOKENSVC_TRACE("NotAfter: %s", notAfter.get());

    if (ppszNotBefore) *ppszNotBefore = notBefore.release();
    if (ppszNotAfter) *ppszNotAfter = notAfter.release();
    return QOVA_OK;
}

unsigned int SelectCertificatefromCSPList(void* pDylibInfoList, _CERT_FILTER* pFilter, _CERTIFICATE_INFO** ppCertInfo)
{
    TraceHelper trace("SelectCertificatefromCSPList");
    QOVA_FAIL_IF(ppCertInfo == NULL, QOVA_E_INVALIDARG, "Check ppCertInfo");

    // Both sets go whatever happens, and with them every session but the chosen copy's: a failed
    // or cancelled selection leaves no session open.
    CertInfoSet all, filtered;
    std::vector<_CERTIFICATE_INFO*>& vtrAllCertInfoSet = all.records;
    std::vector<_CERTIFICATE_INFO*>& vtrCertificateInfoSet = filtered.records;

    GetAllCertificateInfo(pDylibInfoList, vtrAllCertInfoSet);
    TOKENSVC_TRACE("All Cert Count: %d", static_cast<int>(vtrAllCertInfoSet.size()));

    unsigned int nResult = FilterCertificate(vtrAllCertInfoSet, pFilter, vtrCertificateInfoSet);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "FilterCertificate");
    TOKENSVC_TRACE("Filtered Cert Count: %d", static_cast<int>(vtrCertificateInfoSet.size()));
    QOVA_FAIL_IF(0 == vtrCertificateInfoSet.size(), QOVA_E_NO_CERT, "FilterCertificate");

    _CERTIFICATE_INFO* pCertInfo = NULL;
    nResult = CustomUIDlgSelectCert(vtrCertificateInfoSet, false, &pCertInfo);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CustomUIDlgSelectCert");
    *ppCertInfo = pCertInfo;
    return QOVA_OK;
}

unsigned int GetAllCertificateInfo(void* pDylibInfoList, std::vector<_CERTIFICATE_INFO*>& vtrCertInfoSet)
{
    TraceHelper trace("GetAllCertificateInfo");
    CertDataSet scratch;
    for (DylibInfo* pDylibInfo = static_cast<DylibInfo*>(pDylibInfoList); NULL != pDylibInfo;
         pDylibInfo = pDylibInfo->pNext) {
        ClearCertificateDataSet(scratch.records);
        const unsigned int nResult = GetAllCertDataFromDevices(pDylibInfo, scratch.records);
        if (QOVA_OK != nResult || scratch.records.empty()) {
            TOKENSVC_TRACE("GetAllCertDataFromDevices[%s]: 0x%08x", QovaTraceText(pDylibInfo->pszCSPName).c_str(),
                           nResult);
            UnLoadP11Dylib(pDylibInfo);
            continue;
        }
        // Each record takes its own reference on the session, which keeps the module loaded.
        for (_CERTIFICATE_DATA* pCertData : scratch.records) {
            _CERTIFICATE_INFO* pCertInfo = NULL;
            if (QOVA_OK != ConstructCertificateInfo(pDylibInfo->pszCSPName, pDylibInfo->pszDylibPath, pCertData,
                                                    &pCertInfo))
                continue;
            CertInfoPtr holder(pCertInfo);
            vtrCertInfoSet.push_back(pCertInfo);
            holder.release();
        }
    }
    return QOVA_OK;
}

unsigned int FilterCertificate(std::vector<_CERTIFICATE_INFO*> vtrCertInfoSet, _CERT_FILTER* pFilter,
                               std::vector<_CERTIFICATE_INFO*>& vtrFiltered)
{
    TraceHelper trace("FilterCertificate");
    QOVA_FAIL_IF(0 == vtrCertInfoSet.size(), QOVA_E_NO_CERT, "Check nCSPCount");

    // No filter at all is the empty filter: every test off.
    const _CERT_FILTER stFilter = NULL == pFilter ? _CERT_FILTER() : *pFilter;
    TOKENSVC_TRACE("pszSubjectDNFilter is %s.", QovaTraceText(stFilter.pszSubjectDNFilter).c_str());
    TOKENSVC_TRACE("pszIssureDNFilter is %s.", QovaTraceText(stFilter.pszIssureDNFilter).c_str());
    TOKENSVC_TRACE("pszSN is %s.", QovaTraceText(stFilter.pszSerialNumFilter).c_str());
    TOKENSVC_TRACE("dwCertificateType %d", stFilter.dwCertificateType);
    TOKENSVC_TRACE("AlgOID %s", QovaTraceText(stFilter.AlgOID).c_str());
    TOKENSVC_TRACE("tTimetoVerify %d", static_cast<int>(stFilter.tTimetoVerify));

    unsigned int uiKeyUsage = 0;
    if (1 == stFilter.dwCertificateType) uiKeyUsage = CERT_KU_KEY_ENCIPHERMENT;
    else if (2 == stFilter.dwCertificateType) uiKeyUsage = CERT_KU_DIGITAL_SIGNATURE;

    // A split that fails leaves its list empty, which turns its test off; it is only traced.
    Alternatives subjects, issuers;
    if (NULL != stFilter.pszSubjectDNFilter) {
        const unsigned int nResult = SplitString(stFilter.pszSubjectDNFilter, "#", subjects.pieces);
        TOKENSVC_TRACE("SplitString(SubjectDN): 0x%08x", nResult);
    }
    if (NULL != stFilter.pszIssureDNFilter) {
        const unsigned int nResult = SplitString(stFilter.pszIssureDNFilter, "#", issuers.pieces);
        TOKENSVC_TRACE("SplitString(IssuerDN): 0x%08x", nResult);
    }

    for (_CERTIFICATE_INFO* pCertInfo : vtrCertInfoSet) {
        if (NULL == pCertInfo || !PassesFilter(*pCertInfo, stFilter, uiKeyUsage, subjects.pieces, issuers.pieces))
            continue;
        _CERTIFICATE_INFO* pCopy = NULL;
        if (QOVA_OK != DuplicateCertInfo(*pCertInfo, &pCopy)) continue;
        CertInfoPtr holder(pCopy);
        vtrFiltered.push_back(pCopy);
        holder.release();
    }
    return QOVA_OK;
}

unsigned int FilterString(char* pszSourceStr, std::vector<char*> vtrAlternatives)
{
    TraceHelper trace("FilterString");
    TOKENSVC_TRACE("pszSourceStr: %s", QovaTraceText(pszSourceStr).c_str());
    if (vtrAlternatives.empty()) {
        TOKENSVC_TRACE("Don't need check!");
        return QOVA_OK;
    }
    for (const char* pszAlternative : vtrAlternatives) {
        if (!IsTextSet(pszAlternative)) return QOVA_OK;
        if (NULL != pszSourceStr && NULL != strcasestr(pszSourceStr, pszAlternative)) return QOVA_OK;
    }
    return QOVA_E_FAIL;
}

unsigned int CheckCertAlg(unsigned char* pbyDERCert, int nDERCertSize, const char* pszSpecialAlgOID)
{
    TraceHelper trace("CheckCertAlg");
    TOKENSVC_TRACE("pszSpecialAlgOID: %s", QovaTraceText(pszSpecialAlgOID).c_str());
    if (NULL == pszSpecialAlgOID) return QOVA_OK;
    QOVA_FAIL_IF(NULL == pbyDERCert || 0 == nDERCertSize, QOVA_E_INVALIDARG, "Check Parameters(CertData)");

    X509Ptr cert;
    const unsigned int nResult = ConvertCertDataToX509(pbyDERCert, nDERCertSize, cert.out());
    X509* pX509Cert = cert.get();
    QOVA_FAIL_IF(NULL == pX509Cert, nResult, "ConvertCertDataToX509");

    const X509_ALGOR* pSigAlg = NULL;
    X509_get0_signature(NULL, &pSigAlg, pX509Cert);
    const ASN1_OBJECT* pAlgOID = NULL;
    if (NULL != pSigAlg) X509_ALGOR_get0(&pAlgOID, NULL, NULL, pSigAlg);
    char szAlgOID[512] = {0};
    // OBJ_obj2txt gives -1 on an error; both that and nothing written leave no OID to compare.
    const int nAlgOIDLen = NULL == pAlgOID ? 0 : std::max(0, OBJ_obj2txt(szAlgOID, sizeof(szAlgOID), pAlgOID, 1));
    QOVA_FAIL_IF(0 == nAlgOIDLen, QOVA_E_FAIL, "OBJ_obj2txt(sig_alg->AlgOID)");

    const int nCompare = strncmp(szAlgOID, pszSpecialAlgOID, strlen(pszSpecialAlgOID));
    QOVA_FAIL_IF(0 != nCompare, static_cast<unsigned int>(nCompare), "compare Alg");
    return QOVA_OK;
}

unsigned int CheckCertTimeValidity(unsigned char* pbyDERCert, int nDERCertSize, time_t tTimeToVerify)
{
    TraceHelper trace("CheckCertTimeValidity");
    TOKENSVC_TRACE("tTimeToVerify: %d", static_cast<int>(tTimeToVerify));
    if (0 == tTimeToVerify) return QOVA_OK;

    X509Ptr cert;
    unsigned int nResult = ConvertCertDataToX509(pbyDERCert, nDERCertSize, cert.out());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertCertDataToX509");

    long tCertTimeInUTC = 0;
    nResult = GetX509NotBefore(cert.get(), &tCertTimeInUTC);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetX509NotBefore");
    TOKENSVC_TRACE("tCertTimeInUTC: %d", static_cast<int>(tCertTimeInUTC));
    QOVA_FAIL_IF(tCertTimeInUTC > tTimeToVerify, QOVA_E_INVALIDARG, "Check NotBefore");

    nResult = GetX509NotAfter(cert.get(), &tCertTimeInUTC);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetX509NotAfter");
    QOVA_FAIL_IF(tCertTimeInUTC < tTimeToVerify, QOVA_E_INVALIDARG, "Check NotAfter");
    return QOVA_OK;
}

unsigned int CustomUIDlgSelectCert(std::vector<_CERTIFICATE_INFO*> vtrCertificateInfoSet, bool bPopUIforSignleCert,
                                   _CERTIFICATE_INFO** ppCertInfo)
{
    TraceHelper trace("CustomUIDlgSelectCert");
    TOKENSVC_TRACE("bPopUIforSignleCert: %d", bPopUIforSignleCert ? 1 : 0);
    TOKENSVC_TRACE("Certificate count: %d", static_cast<int>(vtrCertificateInfoSet.size()));
    QOVA_FAIL_IF(vtrCertificateInfoSet.size() <= 0, QOVA_E_NO_CERT, "Check vtrCertificateInfoSet size");
    QOVA_FAIL_IF(NULL == ppCertInfo, QOVA_E_INVALIDARG, "Check ppCertInfo");
    const bool bHasNullRecord =
        vtrCertificateInfoSet.end() != std::find(vtrCertificateInfoSet.begin(), vtrCertificateInfoSet.end(), nullptr);
    QOVA_FAIL_IF(bHasNullRecord, QOVA_E_INVALIDARG, "Check vtrCertificateInfoSet");

    int nCertIndex = 0;
    if (1 < vtrCertificateInfoSet.size() || bPopUIforSignleCert) {
        const size_t nCount = vtrCertificateInfoSet.size();
        DisplayRecords display;
        QOVA_FAIL_IF(!display.Allocate(nCount), QOVA_E_FAIL, "New memory");
        for (size_t i = 0; i < nCount; ++i) {
            const CertDisplayRecord* pRecord = display.Set(i, *vtrCertificateInfoSet[i]);
            QOVA_FAIL_IF(NULL == pRecord, QOVA_E_FAIL, "New memory");
            TOKENSVC_TRACE("SubjectDN: %s", QovaTraceText(pRecord->pszSubjectDN).c_str());
            TOKENSVC_TRACE("IssuerDN: %s", QovaTraceText(pRecord->pszIssuerDN).c_str());
            TOKENSVC_TRACE("CertData size: %d", static_cast<int>(pRecord->stCertData.lDataSize));
        }
        const int nUIArrayIndex = static_cast<int>(nCount);
        TOKENSVC_TRACE("nUIArrayIndex: %d", nUIArrayIndex);
        nCertIndex = GetSelectCert(display.Array());
        TOKENSVC_TRACE("GetSelectCert nIndex %d", nCertIndex);
        QOVA_FAIL_IF(nCertIndex < 0, QOVA_E_CANCELLED, "GetSelectCert");
        // The window answers only with a row it showed; any other answer chooses nothing.
        QOVA_FAIL_IF(nCertIndex >= nUIArrayIndex, QOVA_E_CANCELLED, "GetSelectCert");
    }

    _CERTIFICATE_INFO* pCopy = NULL;
    const unsigned int nResult = DuplicateCertInfo(*vtrCertificateInfoSet[static_cast<size_t>(nCertIndex)], &pCopy);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DuplicateCertInfo");
    *ppCertInfo = pCopy;
    return QOVA_OK;
}
