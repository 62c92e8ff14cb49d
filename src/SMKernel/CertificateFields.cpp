#include "CertificateFields.h"

#include "CertificateFieldsDetail.h"
#include "KernelHolders.h"
#include "Misc.h"
#include "QovaTrace.h"
#include "SMRegistry.h"
#include "SslTraceDetail.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

using smkernel::BioPtr;
using smkernel::BnPtr;
using smkernel::OpenSslBytesPtr;

namespace {

// A certificate holds no encrypted PEM; without this the library would prompt on the terminal,
// which for the host is the browser's pipe.
int NoPemPassword(char*, int, int, void*)
{
    return -1;
}

// A time character as a digit; the time strings' digits are taken as they stand.
inline long long Digit(const unsigned char* pbyTime, int nPos)
{
    return static_cast<long long>(pbyTime[nPos]) - '0';
}

long long FloorDiv(long long a, long long b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Days from 1970-01-01 to the first of the month (month 1..12) of the proleptic Gregorian year.
long long DaysFromCivil(long long nYear, long long nMonth)
{
    nYear -= nMonth <= 2 ? 1 : 0;
    const long long nEra = FloorDiv(nYear, 400);
    const long long nYearOfEra = nYear - nEra * 400;
    const long long nDayOfYear = (153 * (nMonth + (nMonth > 2 ? -3 : 9)) + 2) / 5;
    const long long nDayOfEra = nYearOfEra * 365 + nYearOfEra / 4 - nYearOfEra / 100 + nDayOfYear;
    return nEra * 146097 + nDayOfEra - 719468;
}

// The fields read as UTC, out-of-range values carried over as a timegm-style conversion does
// (no local time zone involved).
long long UtcSeconds(long long nYear, long long nMonth, long long nDay, long long nHour, long long nMinute,
                     long long nSecond)
{
    const long long nMonthIndex = nMonth - 1;
    const long long nYearCarry = FloorDiv(nMonthIndex, 12);
    const long long nDays = DaysFromCivil(nYear + nYearCarry, nMonthIndex - nYearCarry * 12 + 1) + nDay - 1;
    return nDays * 86400 + nHour * 3600 + nMinute * 60 + nSecond;
}

unsigned int GetValidityTime(const char* func, const ASN1_TIME* pASN1Time, const char* pszStep, long* ptTime)
{
    QOVA_FAIL_IF_IN(func, NULL == pASN1Time, QOVA_E_FAIL, pszStep);
    long tTime = 0;
    const unsigned int nResult = ASN1_TIME_To_UTCTime(pASN1Time, &tTime);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "ASN1_TIME_To_UTCTime");
    *ptTime = tTime;
    return QOVA_OK;
}

// The DN text of a subject or issuer name: entries last to first, ", " between them.
unsigned int GetX509NameText(const char* func, const X509_NAME* pName, const char* pszTraceFormat, char** ppszDN,
                             int* pnDNLen)
{
    QOVA_FAIL_IF_IN(func, NULL == pName, QOVA_E_FAIL, "Check name");
    const int nEntryNum = X509_NAME_entry_count(pName);
    QOVA_FAIL_IF_IN(func, nEntryNum <= 0, QOVA_E_FAIL, "X509_NAME_entry_count");

    std::unique_ptr<char[]> dn(new (std::nothrow) char[MAX_DN_TEXT_LENGTH + 2]());
    QOVA_FAIL_IF_IN(func, NULL == dn, QOVA_E_FAIL, "New memory");
    char* pszPos = dn.get();
    int nBufferLeftBytes = MAX_DN_TEXT_LENGTH + 1;  // one byte stays for the NUL

    for (int nIndex = nEntryNum - 1; nIndex >= 0; --nIndex) {
        X509_NAME_ENTRY* pEntry = X509_NAME_get_entry(pName, nIndex);
        QOVA_FAIL_IF_IN(func, NULL == pEntry, QOVA_E_FAIL, "X509_NAME_get_entry");
        const int nNID = OBJ_obj2nid(X509_NAME_ENTRY_get_object(pEntry));
        QOVA_FAIL_IF_IN(func, NID_undef == nNID, QOVA_E_FAIL, "OBJ_obj2nid");
        const char* pszNameEntryShortName = OBJ_nid2sn(nNID);
        QOVA_FAIL_IF_IN(func, NULL == pszNameEntryShortName, QOVA_E_FAIL, "OBJ_nid2sn");

        const ASN1_STRING* pValue = X509_NAME_ENTRY_get_data(pEntry);
        QOVA_FAIL_IF_IN(func, NULL == pValue, QOVA_E_FAIL, "X509_NAME_ENTRY_get_data");
        unsigned char* pbyUTF8 = NULL;
        const int nValueLength = ASN1_STRING_to_UTF8(&pbyUTF8, pValue);
        OpenSslBytesPtr value(pbyUTF8);
        QOVA_FAIL_IF_IN(func, nValueLength <= 0, QOVA_E_FAIL, "ASN1_STRING_to_UTF8");
        // A zero byte would end the text for every reader, and a filter would then match a name
        // the certificate does not carry.
        QOVA_FAIL_IF_IN(func, NULL != memchr(pbyUTF8, 0, nValueLength), QOVA_E_FAIL, "Check value");

        QOVA_FAIL_IF_IN(func, nBufferLeftBytes <= (int)strlen(pszNameEntryShortName), QOVA_E_FAIL,
                        "Check buffer size");
        const size_t nShortNameLen = strlen(pszNameEntryShortName);
        memcpy(pszPos, pszNameEntryShortName, nShortNameLen);
        pszPos += nShortNameLen;
        nBufferLeftBytes -= static_cast<int>(nShortNameLen);

        QOVA_FAIL_IF_IN(func, nBufferLeftBytes <= 1, QOVA_E_FAIL, "Check buffer size");
        *pszPos++ = '=';
        nBufferLeftBytes -= 1;

        QOVA_FAIL_IF_IN(func, nBufferLeftBytes <= nValueLength, QOVA_E_FAIL, "Check buffer size");
        memcpy(pszPos, value.get(), static_cast<size_t>(nValueLength));
        pszPos += nValueLength;
        nBufferLeftBytes -= nValueLength;

        if (nIndex > 0) {
            QOVA_FAIL_IF_IN(func, nBufferLeftBytes <= 2, QOVA_E_FAIL, "Check buffer size");
            memcpy(pszPos, ", ", 2);
            pszPos += 2;
            nBufferLeftBytes -= 2;
        }
    }

    if (QovaLogEnabled()) TRACE(3, pszTraceFormat, QovaTraceText(dn.get()).c_str());
    if (pnDNLen) *pnDNLen = static_cast<int>(pszPos - dn.get());
    *ppszDN = dn.release();
    return QOVA_OK;
}

}  // namespace

unsigned int certfields_detail::ReadSubjectKeyIdentifier(const char* pszFunc, const X509* pX509Cert,
                                                         smkernel::Asn1OctetStringPtr& keyIdentifier)
{
    const int nPosition = X509_get_ext_by_NID(pX509Cert, NID_subject_key_identifier, -1);
    QOVA_FAIL_IF_IN(pszFunc, -1 == nPosition, QOVA_E_FAIL, "X509_get_ext_by_NID");
    X509_EXTENSION* pX509Extension = X509_get_ext(pX509Cert, nPosition);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pX509Extension, QOVA_E_FAIL, "X509_get_ext");
    const ASN1_OCTET_STRING* pExtensionValue = X509_EXTENSION_get_data(pX509Extension);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pExtensionValue, QOVA_E_FAIL, "X509_EXTENSION_get_data");

    // The inner OCTET STRING's length takes more than one octet from 128 octets of identifier on.
    const int nExtensionValueSize = ASN1_STRING_length(pExtensionValue);
    const unsigned char* pbyValue = ASN1_STRING_get0_data(pExtensionValue);
    const unsigned char* p = pbyValue;
    smkernel::Asn1OctetStringPtr decoded(d2i_ASN1_OCTET_STRING(NULL, &p, nExtensionValueSize));
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == decoded.get() || p != pbyValue + nExtensionValueSize, QOVA_E_FAIL,
                            "d2i_ASN1_OCTET_STRING");
    keyIdentifier = std::move(decoded);
    return QOVA_OK;
}

unsigned int ConvertCertDataToX509(unsigned char* pbyCertData, int nCertDataSize, X509** ppX509Cert)
{
    QOVA_FAIL_IF(NULL == pbyCertData || nCertDataSize <= 0 || NULL == ppX509Cert, QOVA_E_FAIL, "Check parameters");

    BIO* pBIO_Cert = BIO_new_mem_buf(pbyCertData, nCertDataSize);
    BioPtr bio(pBIO_Cert);
    QOVA_FAIL_IF_SSL(NULL == pBIO_Cert, QOVA_E_FAIL, "BIO_new_mem_buf");

    // PEM first; its failure ("no start line") is no error of ours when the bytes are DER.
    ERR_set_mark();
    X509* pX509Cert = PEM_read_bio_X509(pBIO_Cert, NULL, NoPemPassword, NULL);
    ERR_pop_to_mark();
    if (NULL == pX509Cert) {
        QOVA_FAIL_IF_SSL(BIO_reset(pBIO_Cert) < 0, QOVA_E_FAIL, "BIO_reset");
        pX509Cert = d2i_X509_bio(pBIO_Cert, NULL);
        QOVA_FAIL_IF_SSL(NULL == pX509Cert, QOVA_E_FAIL, "d2i_X509_bio");
    }
    *ppX509Cert = pX509Cert;
    return QOVA_OK;
}

unsigned int ASN1_TIME_To_UTCTime(const ASN1_TIME* pASN1Time, long* ptUTCTime)
{
    QOVA_FAIL_IF(NULL == ptUTCTime, QOVA_E_FAIL, "Check parameter(ptUTCTime)");
    *ptUTCTime = 0;
    QOVA_FAIL_IF(NULL == pASN1Time, QOVA_E_FAIL, "Check parameter(pASN1Time)");
    // Only what the library reads as a time: the digits below are taken as they stand, and letters,
    // month 13 or day 99 would otherwise be carried into some other instant.
    QOVA_FAIL_IF(1 != ASN1_TIME_check(pASN1Time), QOVA_E_FAIL, "ASN1_TIME_check");

    const int nASN1TimeLength = ASN1_STRING_length(pASN1Time);
    const unsigned char* pbyTime = ASN1_STRING_get0_data(pASN1Time);
    long long nYear = 0;
    int nPos = 0;
    if (V_ASN1_UTCTIME == ASN1_STRING_type(pASN1Time)) {
        QOVA_FAIL_IF(((nASN1TimeLength < 11) || (nASN1TimeLength > 17)), QOVA_E_FAIL, "Check ASN1TIME length.");
        SMKERNEL_TRACE("ASN1TIME type:V_ASN1_UTCTIME");
        const long long nYY = Digit(pbyTime, 0) * 10 + Digit(pbyTime, 1);
        nYear = nYY < 50 ? 2000 + nYY : 1900 + nYY;
        nPos = 10;
    } else {
        QOVA_FAIL_IF(nASN1TimeLength < 13, QOVA_E_FAIL, "Check ASN1TIME format.");
        SMKERNEL_TRACE("ASN1TIME type:V_ASN1_GENERALIZEDTIME");
        nYear = Digit(pbyTime, 0) * 1000 + Digit(pbyTime, 1) * 100 + Digit(pbyTime, 2) * 10 + Digit(pbyTime, 3);
        nPos = 12;
    }
    const int nDatePos = nPos - 8;  // MMDDHHMM precede the seconds
    const long long nMonth = Digit(pbyTime, nDatePos) * 10 + Digit(pbyTime, nDatePos + 1);
    const long long nDay = Digit(pbyTime, nDatePos + 2) * 10 + Digit(pbyTime, nDatePos + 3);
    const long long nHour = Digit(pbyTime, nDatePos + 4) * 10 + Digit(pbyTime, nDatePos + 5);
    const long long nMinute = Digit(pbyTime, nDatePos + 6) * 10 + Digit(pbyTime, nDatePos + 7);

    // Every read below is bounded by the string's length: a zone mark near the end of a short
    // string must not send the reader past it.
    long long nSecond = 0;
    unsigned char chZone = pbyTime[nPos];
    if ('+' != chZone && '-' != chZone && 'Z' != chZone) {
        QOVA_FAIL_IF(nPos + 2 >= nASN1TimeLength, QOVA_E_FAIL, "Check ASN1TIME format.");
        nSecond = Digit(pbyTime, nPos) * 10 + Digit(pbyTime, nPos + 1);
        nPos += 2;
        if ('.' == pbyTime[nPos]) {
            // Fractions of a second are dropped.
            ++nPos;
            while (nPos < nASN1TimeLength && pbyTime[nPos] >= '0' && pbyTime[nPos] <= '9')
                ++nPos;
        }
        QOVA_FAIL_IF(nPos >= nASN1TimeLength, QOVA_E_FAIL, "Check ASN1TIME format.");
        chZone = pbyTime[nPos];
    }

    long long nOffset = 0;
    if ('+' == chZone || '-' == chZone) {
        QOVA_FAIL_IF(nASN1TimeLength - nPos < 5, QOVA_E_FAIL, "Check ASN1TIME format.");
        const long long nZoneSeconds = (Digit(pbyTime, nPos + 1) * 10 + Digit(pbyTime, nPos + 2)) * 3600 +
                                       (Digit(pbyTime, nPos + 3) * 10 + Digit(pbyTime, nPos + 4)) * 60;
        nOffset = '+' == chZone ? -nZoneSeconds : nZoneSeconds;
    } else if ('Z' != chZone) {
        QOVA_TRACE_STEP_FAILED("Check ASN1TIME format.", QOVA_E_FAIL, "true");
        return QOVA_E_FAIL;
    }

    SMKERNEL_TRACE("Broken-down time: %04d/%02d/%02d %02d:%02d:%02d", static_cast<int>(nYear), static_cast<int>(nMonth),
                static_cast<int>(nDay), static_cast<int>(nHour), static_cast<int>(nMinute), static_cast<int>(nSecond));
    *ptUTCTime = static_cast<long>(UtcSeconds(nYear, nMonth, nDay, nHour, nMinute, nSecond) + nOffset);
    return QOVA_OK;
}

unsigned int GetX509NotBefore(X509* pX509Cert, long* ptNotBefore)
{
    QOVA_FAIL_IF(NULL == pX509Cert || NULL == ptNotBefore, QOVA_E_FAIL, "Check parameters");
    long tNotBefore = 0;
    const unsigned int nResult =
        GetValidityTime(__func__, X509_get0_notBefore(pX509Cert), "X509_get_notBefore", &tNotBefore);
    if (QOVA_OK != nResult) return nResult;
    SMKERNEL_TRACE("Certificate validity not before(time_t):%lld", static_cast<long long>(tNotBefore));
    *ptNotBefore = tNotBefore;
    return QOVA_OK;
}

unsigned int GetX509NotAfter(X509* pX509Cert, long* ptNotAfter)
{
    QOVA_FAIL_IF(NULL == pX509Cert || NULL == ptNotAfter, QOVA_E_FAIL, "Check parameters");
    long tNotAfter = 0;
    const unsigned int nResult =
        GetValidityTime(__func__, X509_get0_notAfter(pX509Cert), "X509_get_notAfter", &tNotAfter);
    if (QOVA_OK != nResult) return nResult;
    SMKERNEL_TRACE("Certificate validity not after(time_t):%lld", static_cast<long long>(tNotAfter));
    *ptNotAfter = tNotAfter;
    return QOVA_OK;
}

unsigned int GetX509CertType(X509* pX509Cert, int* pnCertType)
{
    QOVA_FAIL_IF(NULL == pnCertType, QOVA_E_FAIL, "Check parameter(pnCertType)");
    *pnCertType = CERT_TYPE_UNKNOWN;
    QOVA_FAIL_IF(NULL == pX509Cert, QOVA_E_FAIL, "Check parameter(pX509Cert)");

    const int nSigAlgNID = X509_get_signature_nid(pX509Cert);
    QOVA_FAIL_IF(NID_undef == nSigAlgNID, QOVA_E_FAIL, "X509_get_signature_nid");
    SMKERNEL_TRACE("Certificate signature algorithm NID:%d", nSigAlgNID);

    if (NID_sha1WithRSAEncryption == nSigAlgNID || NID_sha1WithRSA == nSigAlgNID ||
        NID_sha256WithRSAEncryption == nSigAlgNID || NID_sha384WithRSAEncryption == nSigAlgNID ||
        NID_sha512WithRSAEncryption == nSigAlgNID) {
        SMKERNEL_TRACE("Certificate type:RSA");
        *pnCertType = CERT_TYPE_RSA;
        return QOVA_OK;
    }
    if (kNidSm2Sm3 == nSigAlgNID) {
        SMKERNEL_TRACE("Certificate type:SM2");
        *pnCertType = CERT_TYPE_SM2;
        return QOVA_OK;
    }
    QOVA_TRACE_STEP_FAILED("Unsupported certificate signature algorithm", QOVA_E_FAIL, "true");
    return QOVA_E_FAIL;
}

unsigned int GetX509SubjectCN(X509* pX509Cert, char** ppszSubjectCN, int* pnSubjectCNLen)
{
    QOVA_FAIL_IF(NULL == pX509Cert || NULL == ppszSubjectCN || NULL == pnSubjectCNLen, QOVA_E_FAIL,
                 "Check parameters");
    const X509_NAME* pSubject = X509_get_subject_name(pX509Cert);
    QOVA_FAIL_IF(NULL == pSubject, QOVA_E_FAIL, "X509_get_subject_name");
    const int nCNIndex = X509_NAME_get_index_by_NID(pSubject, NID_commonName, -1);
    QOVA_FAIL_IF(-1 == nCNIndex, QOVA_E_FAIL, "X509_NAME_get_index_by_NID");
    X509_NAME_ENTRY* pEntry = X509_NAME_get_entry(pSubject, nCNIndex);
    QOVA_FAIL_IF(NULL == pEntry, QOVA_E_FAIL, "X509_NAME_get_entry");

    const ASN1_STRING* pValue = X509_NAME_ENTRY_get_data(pEntry);
    QOVA_FAIL_IF(NULL == pValue, QOVA_E_FAIL, "X509_NAME_ENTRY_get_data");
    unsigned char* pbyUTF8 = NULL;
    const int nSubjectCNLen = ASN1_STRING_to_UTF8(&pbyUTF8, pValue);
    OpenSslBytesPtr utf8(pbyUTF8);
    QOVA_FAIL_IF(nSubjectCNLen <= 0, QOVA_E_FAIL, "ASN1_STRING_to_UTF8");
    QOVA_FAIL_IF(NULL != memchr(pbyUTF8, 0, nSubjectCNLen), QOVA_E_FAIL, "Check value");

    char* pszSubjectCN = new (std::nothrow) char[static_cast<size_t>(nSubjectCNLen) + 1]();
    QOVA_FAIL_IF(NULL == pszSubjectCN, QOVA_E_FAIL, "New memory");
    memcpy(pszSubjectCN, utf8.get(), static_cast<size_t>(nSubjectCNLen));
    SMKERNEL_TRACE("Certificate subject CN:%s", QovaTraceText(pszSubjectCN).c_str());
    *ppszSubjectCN = pszSubjectCN;
    *pnSubjectCNLen = nSubjectCNLen;
    return QOVA_OK;
}

unsigned int GetX509SubjectDN(X509* pX509Cert, char** ppszSubjectDN, int* pnSubjectDNLen)
{
    QOVA_FAIL_IF(NULL == pX509Cert || NULL == ppszSubjectDN, QOVA_E_FAIL, "Check parameters");
    return GetX509NameText(__func__, X509_get_subject_name(pX509Cert), "Certificate subject DN:%s", ppszSubjectDN,
                           pnSubjectDNLen);
}

unsigned int GetX509IssuerDN(X509* pX509Cert, char** ppszIssuerDN, int* pnIssuerDNLen)
{
    QOVA_FAIL_IF(NULL == pX509Cert || NULL == ppszIssuerDN, QOVA_E_FAIL, "Check parameters");
    return GetX509NameText(__func__, X509_get_issuer_name(pX509Cert), "Certificate issuer DN:%s", ppszIssuerDN,
                           pnIssuerDNLen);
}

unsigned int GetX509SerialNumber(X509* pX509Cert, char** ppszSerialNumber, int* pnSerialNumberLen)
{
    QOVA_FAIL_IF(NULL == pX509Cert || NULL == ppszSerialNumber, QOVA_E_FAIL, "Check parameters");
    const ASN1_INTEGER* pASN1_INTEGER = X509_get0_serialNumber(pX509Cert);
    QOVA_FAIL_IF(NULL == pASN1_INTEGER, QOVA_E_FAIL, "X509_get_serialNumber");
    BIGNUM* pBN = ASN1_INTEGER_to_BN(pASN1_INTEGER, NULL);
    BnPtr bn(pBN);
    QOVA_FAIL_IF_SSL(NULL == pBN, QOVA_E_FAIL, "ASN1_INTEGER_to_BN");

    // One zero byte in front of the magnitude, for the "00" that marks a first byte >= 0x80.
    const size_t nBufferSize = static_cast<size_t>(BN_num_bytes(pBN)) + 1;
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[nBufferSize]());
    QOVA_FAIL_IF(NULL == bytes, QOVA_E_FAIL, "New memory");
    const int nSerialNumberLen = BN_bn2bin(pBN, bytes.get() + 1);
    QOVA_FAIL_IF(0 == nSerialNumberLen, QOVA_E_FAIL, "BN_bn2bin");

    const bool bLeadingZero = 0 != (bytes[1] & 0x80);
    char* pszSerialNumber = NULL;
    const unsigned int nResult =
        ConvertBinaryDataToString(bLeadingZero ? bytes.get() : bytes.get() + 1,
                                  bLeadingZero ? nSerialNumberLen + 1 : nSerialNumberLen, &pszSerialNumber, false);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertBinaryDataToString");
    if (pnSerialNumberLen) *pnSerialNumberLen = static_cast<int>(strlen(pszSerialNumber));
    *ppszSerialNumber = pszSerialNumber;
    return QOVA_OK;
}

unsigned int GetX509SubjectKeyID(X509* pX509Cert, char** ppszSubjectKeyID, int* pnSubjectKeyIDLen)
{
    QOVA_FAIL_IF(NULL == pX509Cert || NULL == ppszSubjectKeyID, QOVA_E_FAIL, "Check parameters");
    smkernel::Asn1OctetStringPtr keyIdentifier;
    unsigned int nResult = certfields_detail::ReadSubjectKeyIdentifier(__func__, pX509Cert, keyIdentifier);
    if (QOVA_OK != nResult) return nResult;

    char* pszSubjectKeyID = NULL;
    nResult = ConvertBinaryDataToString(const_cast<unsigned char*>(ASN1_STRING_get0_data(keyIdentifier.get())),
                                        ASN1_STRING_length(keyIdentifier.get()), &pszSubjectKeyID, false);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertBinaryDataToString");
    SMKERNEL_TRACE("Certificate Subject Key ID:%s", pszSubjectKeyID);
    if (pnSubjectKeyIDLen) *pnSubjectKeyIDLen = static_cast<int>(strlen(pszSubjectKeyID));
    *ppszSubjectKeyID = pszSubjectKeyID;
    return QOVA_OK;
}

unsigned int GetX509CertAlg(X509* pX509Cert, char** ppszCertAlg)
{
    QOVA_FAIL_IF(NULL == pX509Cert, QOVA_E_FAIL, "Check parameters");
    const X509_ALGOR* pX509SigAlg = NULL;
    X509_get0_signature(NULL, &pX509SigAlg, pX509Cert);
    QOVA_FAIL_IF(NULL == pX509SigAlg, QOVA_E_FAIL, "X509_get0_signature");
    const ASN1_OBJECT* pAlgorithm = NULL;
    X509_ALGOR_get0(&pAlgorithm, NULL, NULL, pX509SigAlg);

    char szAlgOID[512] = {0};
    const int nAlgOIDLen = OBJ_obj2txt(szAlgOID, sizeof(szAlgOID), pAlgorithm, 1);
    QOVA_FAIL_IF(0 == nAlgOIDLen, QOVA_E_FAIL, "OBJ_obj2txt(sig_alg->algorithm)");
    // A longer OID would come back cut; a cut OID names another algorithm.
    QOVA_FAIL_IF(nAlgOIDLen < 0 || nAlgOIDLen >= (int)sizeof(szAlgOID), QOVA_E_FAIL, "Check OID length");

    if (NULL == ppszCertAlg) return QOVA_OK;
    char* pszCertAlg = new (std::nothrow) char[static_cast<size_t>(nAlgOIDLen) + 1]();
    QOVA_FAIL_IF(NULL == pszCertAlg, QOVA_E_FAIL, "New memory");
    memcpy(pszCertAlg, szAlgOID, static_cast<size_t>(nAlgOIDLen));
    *ppszCertAlg = pszCertAlg;
    return QOVA_OK;
}
