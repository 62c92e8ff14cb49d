#include "DataEncrypt.h"

#include "Base64.h"
#include "CMSStructures.h"
#include "CertificateOperation.h"
#include "KernelHolders.h"
#include "Misc.h"
#include "P11Certificate.h"
#include "P11Crypt.h"
#include "P11Session.h"
#include "RSADataEncryption.h"
#include "SM2SM4Data.h"
#include "SMRegistry.h"
#include "TokenLogin.h"
#include "TokenSvcDetail.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

const char kOidSm2Encryption[] = "1.2.156.10197.1.301.3";
const char kOidSm4Cbc[] = "1.2.156.10197.1.104";
// Signature-algorithm arcs of the certificates each kind of envelope is opened with.
const char kArcSm[] = "1.2.156.10197";
const char kArcRsa[] = "1.2.840.113549";

using smkernel::Bytes;
using smkernel::SecretBytes;
using smkernel::Text;

// A record set released (with the sessions its records hold) at scope end.
struct CertInfoSet
{
    std::vector<_CERTIFICATE_INFO*> records;
    CertInfoSet() = default;
    ~CertInfoSet() { CleanCertInfoSetVtr(records); }
    CertInfoSet(const CertInfoSet&) = delete;
    CertInfoSet& operator=(const CertInfoSet&) = delete;
};

// Logs the record's session out when the unwrapping returns, whatever the path.
class LogoutAtExit
{
public:
    explicit LogoutAtExit(void* pSessionCtx) : m_pSessionCtx(pSessionCtx) {}
    ~LogoutAtExit()
    {
        if (NULL != m_pSessionCtx) LogoutSession(m_pSessionCtx);
    }
    LogoutAtExit(const LogoutAtExit&) = delete;
    LogoutAtExit& operator=(const LogoutAtExit&) = delete;

private:
    void* m_pSessionCtx;
};

// The parts of an envelope that its decryption reads.
struct EnvelopeParts
{
    Bytes recipientKeyID;
    Bytes encryptedKey;
    Bytes encryptedContent;
    Text keyEncryptionOID;
    Text contentEncryptionOID;
    Bytes iv;
};

unsigned int DecodeEnvelope(const char* func, unsigned char* pbyDER, int nDERSize, EnvelopeParts* pParts)
{
    const unsigned int nResult =
        Decode_CMSEnvelopeData(pbyDER, nDERSize, &pParts->recipientKeyID.ptr, &pParts->recipientKeyID.size,
                               &pParts->encryptedKey.ptr, &pParts->encryptedKey.size, &pParts->encryptedContent.ptr,
                               &pParts->encryptedContent.size, &pParts->keyEncryptionOID.ptr,
                               &pParts->keyEncryptionOID.size, &pParts->contentEncryptionOID.ptr,
                               &pParts->contentEncryptionOID.size, &pParts->iv.ptr, &pParts->iv.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "Decode_CMSEnvelopeData");
    return QOVA_OK;
}

// RSA envelopes: the content cipher must be one the envelopes of this system are made with.
unsigned int RsaContentCipher(const char* func, const char* pszContentEncryptionOID, int* pnSymAlgNID)
{
    // Numeric form only: an identifier is never looked up by its name.
    ASN1_OBJECT* pASN1ObjContentEncryptionAlg = OBJ_txt2obj(pszContentEncryptionOID, 1);
    if (NULL == pASN1ObjContentEncryptionAlg) {
        QOVA_TRACE_STEP_FAILED_IN(func, "OBJ_txt2obj", QOVA_E_DECRYPT_FAILED,
                                  "NULL == pASN1ObjContentEncryptionAlg");
        return QOVA_E_DECRYPT_FAILED;
    }
    const int nSymAlgNID = OBJ_obj2nid(pASN1ObjContentEncryptionAlg);
    ASN1_OBJECT_free(pASN1ObjContentEncryptionAlg);
    TOKENSVC_TRACE("nSymAlgNID: %d", nSymAlgNID);
    QOVA_FAIL_IF_IN(func,
                    NID_rc4 != nSymAlgNID && NID_des_ede3_cbc != nSymAlgNID && NID_aes_256_cbc != nSymAlgNID,
                    QOVA_E_DECRYPT_FAILED, "Check nSymAlgNID");
    *pnSymAlgNID = nSymAlgNID;
    return QOVA_OK;
}

}  // namespace

unsigned int DecryptSessionKey(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                               unsigned char* pbyEncryptedKey, int nEncryptedKeySize, unsigned char** ppbySessionKey,
                               int* pnSessionKeySize)
{
    TraceHelper trace("DecryptSessionKey");
    QOVA_FAIL_IF(NULL == pCertInfo, QOVA_E_NO_SELECTED_CERT, "Check pCertInfo");
    QOVA_FAIL_IF(NULL == pCertInfo->pCertData, QOVA_E_NO_SELECTED_CERT, "Check pCertInfo member");
    _CERTIFICATE_DATA* pCertData = pCertInfo->pCertData;
    const LogoutAtExit logout(pCertData->pstSessionCtx);
    QOVA_FAIL_IF(NULL == pCertData->pszCkID || NULL == pCertData->pstSessionCtx, QOVA_E_NO_SELECTED_CERT,
                 "Check CertData");
    TOKENSVC_TRACE("pszDylib: %s, ckID: %s", QovaTraceText(pCertInfo->pszP11Path).c_str(),
                   QovaTraceText(pCertData->pszCkID).c_str());
    // A negative size would reach the token as a huge length.
    QOVA_FAIL_IF(nEncryptedKeySize < 0, QOVA_E_INVALIDARG, "Check nEncryptedKeySize");
    QOVA_FAIL_IF(NULL == ppbySessionKey || NULL == pnSessionKeySize, QOVA_E_INVALIDARG, "Check output");

    unsigned int nResult = LoginRecordSession(__func__, pCertData, pbyPIN, nPINSize);
    if (QOVA_OK != nResult) return nResult;
    CK_OBJECT_HANDLE hKey = 0;
    CK_KEY_TYPE ulKeyType = 0;
    nResult = AcquireCertificatePrivateKey(pCertData, &hKey, &ulKeyType);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "AcquireCertificatePrivateKey");
    TOKENSVC_TRACE("ulKeyType is %d", static_cast<int>(ulKeyType));

    const CK_MECHANISM_TYPE ulMechanism = CKK_RSA != ulKeyType ? QOVA_CKM_SM2_DECRYPT : CKM_RSA_PKCS;
    SecretBytes key;
    CK_ULONG ulKeySize = 0;
    nResult = CryptoDecryptMsg(pCertData->pstSessionCtx, hKey, ulMechanism, pbyEncryptedKey,
                               static_cast<CK_ULONG>(nEncryptedKeySize), &key.ptr, &ulKeySize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CKDecryptMsg");
    // No key the token unwraps is anywhere near this long; the holder clears what it can name.
    key.size = static_cast<int>(ulKeySize < static_cast<CK_ULONG>(INT_MAX) ? ulKeySize : INT_MAX);
    QOVA_FAIL_IF(ulKeySize >= static_cast<CK_ULONG>(INT_MAX), QOVA_E_DECRYPT_FAILED, "Check key size");

    *pnSessionKeySize = key.size;
    *ppbySessionKey = key.release();
    return QOVA_OK;
}

unsigned int DecryptCMSEnvelope_DER(void* pDylibInfoList, unsigned char* pbyPIN, int nPINSize,
                                    unsigned char* pbyDEREnvelopeData, int nDEREnvelopeDataSize,
                                    unsigned char** ppbySourceData, int* pnSourceDataSize)
{
    TraceHelper trace("DecryptCMSEnvelope_DER");
    QOVA_FAIL_IF(NULL == pbyDEREnvelopeData, QOVA_E_INVALIDARG, "Check Parameters(pbyDEREnvelopeData)");
    QOVA_FAIL_IF(0 == nDEREnvelopeDataSize, QOVA_E_INVALIDARG, "Check Parameters(nDEREnvelopeDataSize)");
    QOVA_FAIL_IF(NULL == pbyPIN, QOVA_E_INVALIDARG, "Check Parameters(pbyPIN)");
    QOVA_FAIL_IF(0 == nPINSize, QOVA_E_INVALIDARG, "Check Parameters(nPINSize)");
    QOVA_FAIL_IF(NULL == ppbySourceData, QOVA_E_INVALIDARG, "Check Parameters(ppbySourceData)");
    QOVA_FAIL_IF(NULL == pnSourceDataSize, QOVA_E_INVALIDARG, "Check Parameters(pnSourceDataSize)");

    EnvelopeParts envelope;
    unsigned int nResult = DecodeEnvelope(__func__, pbyDEREnvelopeData, nDEREnvelopeDataSize, &envelope);
    if (QOVA_OK != nResult) return nResult;
    // An empty identifier would turn the key-identifier filter off and hand the content key to
    // whichever certificate comes first.
    QOVA_FAIL_IF(envelope.recipientKeyID.size <= 0, QOVA_E_NO_CERT, "Check recipient key identifier");

    CertInfoSet allSet;
    std::vector<_CERTIFICATE_INFO*>& vtrAllCertInfoSet = allSet.records;
    nResult = GetAllCertificateInfo(pDylibInfoList, vtrAllCertInfoSet);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetAllCertificate");
    QOVA_FAIL_IF(0 == vtrAllCertInfoSet.size(), QOVA_E_NO_CERT, "GetAllCertificateInfo");

    const bool bSM = 0 == strcmp(envelope.keyEncryptionOID.ptr, kOidSm2Encryption) &&
                     0 == strcmp(envelope.contentEncryptionOID.ptr, kOidSm4Cbc);
    TOKENSVC_TRACE("Envelope mode: %s", bSM ? "SM" : "RSA");

    Text subjectKeyID;
    nResult = ConvertBinaryDataToString(envelope.recipientKeyID.ptr, envelope.recipientKeyID.size, &subjectKeyID.ptr,
                                        false);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertBinaryDataToString");
    TOKENSVC_TRACE("Recipient key identifier: %s", subjectKeyID.ptr);

    _CERT_FILTER filter = {};
    filter.pszSubjectKeyIDFilter = subjectKeyID.ptr;
    filter.AlgOID = const_cast<char*>(bSM ? kArcSm : kArcRsa);
    CertInfoSet filteredSet;
    std::vector<_CERTIFICATE_INFO*>& vtrCertInfoSet = filteredSet.records;
    nResult = FilterCertificate(vtrAllCertInfoSet, &filter, vtrCertInfoSet);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "FilterCertificate");
    QOVA_FAIL_IF(0 == vtrCertInfoSet.size(), QOVA_E_NO_CERT, "FilterCertificate");

    SecretBytes key;
    nResult = DecryptSessionKey(vtrCertInfoSet[0], pbyPIN, nPINSize, envelope.encryptedKey.ptr,
                                envelope.encryptedKey.size, &key.ptr, &key.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DecryptSessionKey");

    int nContentAlgNID = kNidSm4Cbc;
    if (!bSM) {
        nResult = RsaContentCipher(__func__, envelope.contentEncryptionOID.ptr, &nContentAlgNID);
        if (QOVA_OK != nResult) return nResult;
    }
    // Key and IV come from outside: the cipher would read a short one past its end.
    nResult = CheckEnvelopeKeyAndIV(nContentAlgNID, key.size, envelope.iv.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CheckEnvelopeKeyAndIV");

    unsigned char* pbyPlain = NULL;
    int nPlainSize = 0;
    if (bSM) {
        nResult = SM4_Decrypt_CBC(envelope.encryptedContent.ptr, envelope.encryptedContent.size, envelope.iv.ptr,
                                  envelope.iv.size, key.ptr, key.size, &pbyPlain, &nPlainSize);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SM4_Decrypt_CBC");
    } else {
        nResult = SymDecrypt(nContentAlgNID, envelope.iv.ptr, key.ptr, key.size, envelope.encryptedContent.ptr,
                             envelope.encryptedContent.size, &pbyPlain, &nPlainSize);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SymDecrypt");
    }
    *ppbySourceData = pbyPlain;
    *pnSourceDataSize = nPlainSize;
    return QOVA_OK;
}

unsigned int DecryptCMSEnvelope(void* pDylibInfoList, unsigned char* pbyPIN, int nPINSize, char* pszBase64Envelope,
                                unsigned char** ppbySourceData, int* pnSourceDataSize)
{
    TraceHelper trace("DecryptCMSEnvelope");
    QOVA_FAIL_IF(NULL == pszBase64Envelope || 0 == strlen(pszBase64Envelope), QOVA_E_INVALIDARG,
                 "Check Parameters(DecryptCMSEnvelope)");
    const size_t nTextSize = strlen(pszBase64Envelope);
    QOVA_FAIL_IF(nTextSize > static_cast<size_t>(INT_MAX), QOVA_E_INVALIDARG, "Check Base64 size");

    Bytes der;
    unsigned int nResult = Base64DecodeEx(pszBase64Envelope, static_cast<int>(nTextSize), &der.ptr, &der.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64DecodeEx");
    nResult = DecryptCMSEnvelope_DER(pDylibInfoList, pbyPIN, nPINSize, der.ptr, der.size, ppbySourceData,
                                     pnSourceDataSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DecryptCMSEnvelope_DER");
    return QOVA_OK;
}
