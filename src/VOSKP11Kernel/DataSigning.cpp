#include "DataSigning.h"

#include "Base64.h"
#include "Misc.h"
#include "P11Certificate.h"
#include "P11Session.h"
#include "P11Sign.h"
#include "PKCS7SignedDataOperations.h"
#include "QovaTrace.h"
#include "SMRegistry.h"
#include "TokenLogin.h"
#include "TokenSvcDetail.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

#define SIGN_TRACE(level, ...)                                 \
    do {                                                       \
        if (QovaLogEnabled()) TRACE((level), __VA_ARGS__);     \
    } while (0)

// Use count of the token services; main thread only.
unsigned int g_ObjectCount = 0;

// Length window of the DER SM2 signature a token returns, as the names of the checks read.
constexpr CK_ULONG SM2_ASN1_Q1_MIN_SIZE = SM2_DER_SIGNATURE_MIN_SIZE;
constexpr CK_ULONG SM2_ASN1_Q1_MAX_SIZE = SM2_DER_SIGNATURE_MAX_SIZE;

// The SignedData encodings of SM2 signatures are the encoder's own codes.
static_assert(SIG_TYPE_SM2_Q7_V1 == SIGNATURE_ENCODED_SM2_INTEGERS &&
                  SIG_TYPE_SM2_Q7_V2 == SIGNATURE_ENCODED_SM2_SEQUENCE &&
                  SIG_TYPE_SM2_Q7_V3 == SIGNATURE_ENCODED_SM2_DER_OCTETS,
              "SM2 SignedData encodings");

// Every OID text handed out by GetAlgOIDbyAlgID has this size, zero-filled.
constexpr size_t kOidTextSize = 128;

const char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";

// Outer and inner content types of the SignedData for each kind of key.
const char kOidPkcs7SignedData[] = "1.2.840.113549.1.7.2";
const char kOidPkcs7Data[] = "1.2.840.113549.1.7.1";
const char kOidSmSignedData[] = "1.2.156.10197.6.1.4.2.2";
const char kOidSmData[] = "1.2.156.10197.6.1.4.2.1";

struct HashOids
{
    unsigned int ulAlgID;
    const char* pszDigest;
    const char* pszDigestEncryption;   // the accurate one
};

const HashOids kHashOids[] = {
    {QOVA_CALG_MD5, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4"},
    {QOVA_CALG_SHA1, "1.3.14.3.2.26", kOidRsaEncryption},   // rsaEncryption, not sha1WithRSAEncryption
    {QOVA_CALG_SHA256, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
    {QOVA_CALG_SHA384, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12"},
    {QOVA_CALG_SHA512, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13"},
    {QOVA_CALG_SM3, "1.2.156.10197.1.401", "1.2.156.10197.1.301.1"},
};

struct AlgNid
{
    unsigned int ulAlgID;
    int nNid;
    const char* pszTrace;
};

const AlgNid kAlgNids[] = {
    {QOVA_CALG_MD5, NID_md5, "CALG_MD5----NID_md5"},
    {QOVA_CALG_SHA1, NID_sha1, "CALG_SHA1----NID_sha1"},
    {QOVA_CALG_SHA256, NID_sha256, "CALG_SHA_256----NID_sha256"},
    {QOVA_CALG_SHA384, NID_sha384, "CALG_SHA_384----NID_sha384"},
    {QOVA_CALG_SHA512, NID_sha512, "CALG_SHA_512---NID_sha512"},
    {QOVA_CALG_SM3, kNidSm3, "CALG_SM3----NID_ChinaSM3"},
    {QOVA_CALG_3DES, NID_des_ede3_cbc, "CALG_3DES---NID_des_ede3_cbc"},
    {QOVA_CALG_RC4, NID_rc4, "CALG_RC4----NID_rc4"},
};

// Logs the record's session out when the signer returns, whatever the path. A record without
// certificate object has no session to log out.
class LogoutAtExit
{
public:
    LogoutAtExit(const _CERTIFICATE_INFO* pCertInfo, bool bLogout)
        : m_pSessionCtx(bLogout && NULL != pCertInfo && NULL != pCertInfo->pCertData
                            ? pCertInfo->pCertData->pstSessionCtx
                            : NULL)
    {
    }
    ~LogoutAtExit()
    {
        if (NULL != m_pSessionCtx) LogoutSession(m_pSessionCtx);
    }
    LogoutAtExit(const LogoutAtExit&) = delete;
    LogoutAtExit& operator=(const LogoutAtExit&) = delete;

private:
    SessionCtx* m_pSessionCtx;
};

// The record's certificate object, with the CKA_ID and session a signature needs.
unsigned int CheckRecord(const char* func, _CERTIFICATE_INFO* pCertInfo, _CERTIFICATE_DATA** ppCertData)
{
    QOVA_FAIL_IF_IN(func, NULL == pCertInfo, QOVA_E_NO_SELECTED_CERT, "Check CertInfo");
    QOVA_FAIL_IF_IN(func, NULL == pCertInfo->pCertData, QOVA_E_NO_SELECTED_CERT, "Check CertInfo(2)");
    _CERTIFICATE_DATA* pCertData = pCertInfo->pCertData;
    const SessionCtx* pSessionCtx = pCertData->pstSessionCtx;
    QOVA_FAIL_IF_IN(func, (NULL == pCertData->pszCkID || NULL == pSessionCtx), QOVA_E_NO_SELECTED_CERT,
                    "Check CertData");
    SIGN_TRACE(3, "pszDylibPath is %s, pszCkID is %s.", QovaTraceText(pCertInfo->pszP11Path).c_str(),
               QovaTraceText(pCertData->pszCkID).c_str());
    *ppCertData = pCertData;
    return QOVA_OK;
}

// Logs in with the PIN (the stored PIN with the checks of TokenLogin.h) and finds the private key
// of the record's certificate.
unsigned int LoginAndFindKey(const char* func, _CERTIFICATE_DATA* pCertData, unsigned char* pbyPIN, int nPINSize,
                             CK_OBJECT_HANDLE* phKey, CK_KEY_TYPE* pulKeyType)
{
    unsigned int nResult = LoginRecordSession(func, pCertData, pbyPIN, nPINSize);
    if (QOVA_OK != nResult) return nResult;
    nResult = AcquireCertificatePrivateKey(pCertData, phKey, pulKeyType);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "AcquireCertificatePrivateKey");
    return QOVA_OK;
}

// What the token signs: data, a hash the caller computed, or the whole of an open file.
struct SignInput
{
    enum Kind { kData, kHash, kFile } kind;
    unsigned char* pbyData;   // data or hash
    int nDataSize;
    FILE* fpFile;
};

// A token signature (new[]) and its length.
struct TokenSignature
{
    std::unique_ptr<unsigned char[]> bytes;
    CK_ULONG ulSize = 0;
};

// The token signs the input with the key: RSA with the PKCS#1 mechanism of the hash, SM2 with the
// vendor mechanisms (parameter byte 1), which answer DER SEQUENCE{r, s}.
unsigned int SignOnToken(const char* func, _CERTIFICATE_DATA* pCertData, CK_OBJECT_HANDLE hKey, bool bSM2,
                         unsigned int ulHashAlg, const SignInput& input, unsigned int nFileSize,
                         TokenSignature* pSignature)
{
    void* pSessionCtx = pCertData->pstSessionCtx;
    unsigned char* pbySignature = NULL;
    CK_ULONG ulSignatureSize = 0;
    unsigned int nResult = QOVA_OK;
    switch (input.kind) {
    case SignInput::kData:
        if (bSM2) {
            nResult = CryptoSM2Sign(pSessionCtx, hKey, ulHashAlg, 1, input.pbyData,
                                    static_cast<CK_ULONG>(input.nDataSize), &pbySignature, &ulSignatureSize);
            QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "CryptiSM2Sign");
        } else {
            nResult = CryptoRSASign(pSessionCtx, hKey, ulHashAlg, input.pbyData,
                                    static_cast<CK_ULONG>(input.nDataSize), &pbySignature, &ulSignatureSize);
            QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "CryptiRSASign");
        }
        break;
    case SignInput::kHash:
        if (bSM2) {
            nResult = CryptoSM2SignHash(pSessionCtx, hKey, ulHashAlg, input.pbyData,
                                        static_cast<CK_ULONG>(input.nDataSize), &pbySignature, &ulSignatureSize);
            QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "CryptoSM2SignHash");
        } else {
            nResult = CryptoRSASignHash(pSessionCtx, hKey, ulHashAlg, input.pbyData,
                                        static_cast<CK_ULONG>(input.nDataSize), &pbySignature, &ulSignatureSize);
            QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "CryptiRSASign");
        }
        break;
    case SignInput::kFile:
        if (bSM2) {
            nResult = CryptoSM2SignFile(pSessionCtx, hKey, ulHashAlg, 1, input.fpFile, nFileSize, &pbySignature,
                                        &ulSignatureSize);
            QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "CryptoSM2SignFile");
        } else {
            nResult = CryptoRSASignFile(pSessionCtx, hKey, ulHashAlg, input.fpFile, nFileSize, &pbySignature,
                                        &ulSignatureSize);
            QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "CryptoRSASignFile");
        }
        break;
    }
    pSignature->bytes.reset(pbySignature);
    pSignature->ulSize = ulSignatureSize;
    return QOVA_OK;
}

// The token's DER SM2 signature must lie in the window the tokens answer in: a wrong length is data
// of the wrong form, not a decoding failure.
unsigned int CheckTokenSM2SignatureSize(const char* func, CK_ULONG ulASN1PKCS1SignatureSize, const char* pszStep)
{
    QOVA_FAIL_IF_IN(func,
                    SM2_ASN1_Q1_MIN_SIZE > ulASN1PKCS1SignatureSize || SM2_ASN1_Q1_MAX_SIZE < ulASN1PKCS1SignatureSize,
                    QOVA_E_INVALID_DATA, pszStep);
    return QOVA_OK;
}

// The token's DER SM2 signature cut to r||s.
unsigned int DecodeTokenSM2Signature(const char* func, const TokenSignature& signature, TokenSignature* pRaw)
{
    unsigned char* pbyRaw = NULL;
    int nRawSize = 0;
    const unsigned int nResult =
        Decode_SM2Q1(signature.bytes.get(), static_cast<int>(signature.ulSize), &pbyRaw, &nRawSize);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "Decode_SM2Q1");
    pRaw->bytes.reset(pbyRaw);
    pRaw->ulSize = static_cast<CK_ULONG>(nRawSize);
    return QOVA_OK;
}

// Steps 4 to 10 of every PKCS#7 signer, after its own argument checks: login, key, the token's
// signature, and the SignedData around it with the certificate read again from the token.
unsigned int SignPKCS7(const char* func, _CERTIFICATE_DATA* pCertData, unsigned char* pbyPIN, int nPINSize,
                       unsigned int ulHashAlg, bool bWithSourceData, int nSM2SignatureEncodedType,
                       const SignInput& input, unsigned char** ppbyDERPKCS7Signature, int* pnDERPKCS7SignatureSize)
{
    CK_OBJECT_HANDLE hKey = 0;
    CK_KEY_TYPE ulKeyType = 0;
    unsigned int nResult = LoginAndFindKey(func, pCertData, pbyPIN, nPINSize, &hKey, &ulKeyType);
    if (QOVA_OK != nResult) return nResult;
    SIGN_TRACE(3, "ulKeyType is %d", static_cast<int>(ulKeyType));

    unsigned int nFileSize = 0;
    if (SignInput::kFile == input.kind) {
        nResult = GetFileSize_Ex(input.fpFile, &nFileSize);
        QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetFileSize_Ex");
        SIGN_TRACE(3, "Filesize: %d", static_cast<int>(nFileSize));
    }

    const bool bSM2 = CKK_RSA != ulKeyType;
    TokenSignature signature;
    unsigned long ulEncodedType = SIGNATURE_ENCODED_OCTET_STRING;
    if (bSM2) {
        SIGN_TRACE(3, "SM2 Signature!");
        // Checked before the token starts, so that a refusal leaves no operation behind.
        QOVA_FAIL_IF_IN(func,
                        (SIG_TYPE_SM2_Q7_V3 != nSM2SignatureEncodedType &&
                         SIG_TYPE_SM2_Q7_V2 != nSM2SignatureEncodedType &&
                         SIG_TYPE_SM2_Q7_V1 != nSM2SignatureEncodedType),
                        QOVA_E_SM2_SIG_ENCODING, "Check nSM2SignatureEncodedType");
        TokenSignature der;
        nResult = SignOnToken(func, pCertData, hKey, true, ulHashAlg, input, nFileSize, &der);
        if (QOVA_OK != nResult) return nResult;
        SIGN_TRACE(3, "PKCS1Signature size: %d", static_cast<int>(der.ulSize));
        nResult = CheckTokenSM2SignatureSize(func, der.ulSize, "Check PKCS1 signature size");
        if (QOVA_OK != nResult) return nResult;
        nResult = DecodeTokenSM2Signature(func, der, &signature);
        if (QOVA_OK != nResult) return nResult;
        ulEncodedType = static_cast<unsigned long>(nSM2SignatureEncodedType);
    } else {
        SIGN_TRACE(3, "RSA Signature!");
        nResult = SignOnToken(func, pCertData, hKey, false, ulHashAlg, input, nFileSize, &signature);
        if (QOVA_OK != nResult) return nResult;
    }

    char* pszDigestOID = NULL;
    char* pszDigestEncryptOID = NULL;
    nResult = GetAlgOIDbyAlgID(ulHashAlg, false, &pszDigestOID, &pszDigestEncryptOID);
    std::unique_ptr<char[]> digestOID(pszDigestOID);
    std::unique_ptr<char[]> digestEncryptOID(pszDigestEncryptOID);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, QOVA_E_FAIL, "GetAlgOIDbyAlgID");
    SIGN_TRACE(3, "pszDigestOID is %s, pszDigestEncryptOID is %s.", pszDigestOID, pszDigestEncryptOID);

    unsigned char* pbyCert = NULL;
    int nCertSize = 0;
    nResult = ExportDERCertFromP11(pCertData, &pbyCert, &nCertSize);
    std::unique_ptr<unsigned char[]> cert(pbyCert);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "ExportDERCertFromP11");

    const bool bMemory = SignInput::kData == input.kind;
    unsigned char* pbyPKCS7 = NULL;
    int nPKCS7Size = 0;
    nResult = Encode_PKCS7Signature(cert.get(), nCertSize, bMemory ? input.pbyData : NULL,
                                    bMemory ? input.nDataSize : 0, SignInput::kFile == input.kind ? input.fpFile : NULL,
                                    bWithSourceData, bSM2 ? kOidSmSignedData : kOidPkcs7SignedData,
                                    bSM2 ? kOidSmData : kOidPkcs7Data, pszDigestOID, NULL, pszDigestEncryptOID,
                                    signature.bytes.get(), static_cast<int>(signature.ulSize), ulEncodedType, NULL,
                                    &pbyPKCS7, &nPKCS7Size, NULL, NULL);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "Encode_PKCS7Signature");

    *ppbyDERPKCS7Signature = pbyPKCS7;
    *pnDERPKCS7SignatureSize = nPKCS7Size;
    return QOVA_OK;
}

// A DER result as one line of Base64; the DER is freed on every path.
template <class SignDer>
unsigned int SignAsBase64(const char* func, const char* pszDerStep, char** ppszText, SignDer signDer)
{
    QOVA_FAIL_IF_IN(func, NULL == ppszText, QOVA_E_INVALIDARG, "Check output");
    unsigned char* pbyDer = NULL;
    int nDerSize = 0;
    unsigned int nResult = signDer(&pbyDer, &nDerSize);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, pszDerStep);
    const std::unique_ptr<unsigned char[]> der(pbyDer);
    char* pszText = NULL;
    nResult = Base64EncodeEx(der.get(), nDerSize, &pszText, NULL, ATL_BASE64_FLAG_NOCRLF);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "Base64EncodeEx");
    *ppszText = pszText;
    return QOVA_OK;
}

}  // namespace

bool InitVOSKP11Kernel()
{
    TraceHelper trace("InitVOSKP11Kernel");
    // A failed registration is not counted: the host must not run with broken SM2, and a count
    // left at 1 would make the next initialisation skip the registration and report success.
    if (0 == g_ObjectCount && QOVA_STEP_FAILED_SSL(1 != SM_crypto_init(), QOVA_E_FAIL, "SM_crypto_init"))
        return false;
    ++g_ObjectCount;
    SIGN_TRACE(3, "Step into InitVOSKP11Kernel, g_ObjectCount %d.", static_cast<int>(g_ObjectCount));
    return true;
}

bool UninitVOSKP11Kernel()
{
    TraceHelper trace("UninitVOSKP11Kernel");
    // Below 0 the count would wrap, and the next initialisation would skip the registration.
    if (0 < g_ObjectCount) --g_ObjectCount;
    SIGN_TRACE(3, "Step into UninitVOSKP11Kernel, g_ObjectCount %d.", static_cast<int>(g_ObjectCount));
    // Nothing is cleaned up at 0: the registered objects and providers live as long as the process,
    // and the library must stay usable for init -> uninit -> init.
    return true;
}

unsigned int GetAlgOIDbyAlgID(unsigned int lMsgDigestAlgorithm, bool bAccurateDigestEncryptionAlgorithm,
                              char** ppszDigestOID, char** ppszDigestEncryptOID)
{
    TraceHelper trace("GetAlgOIDbyAlgID");
    SIGN_TRACE(3, "lMsgDigestAlgorithm %d, bAccurateDigestEncryptionAlgorithm %d.",
               static_cast<int>(lMsgDigestAlgorithm), bAccurateDigestEncryptionAlgorithm ? 1 : 0);
    const HashOids* pOids = NULL;
    for (const HashOids& oids : kHashOids) {
        if (oids.ulAlgID == lMsgDigestAlgorithm) pOids = &oids;
    }
    if (NULL == pOids) {
        SIGN_TRACE(1, "The algorithm is not supported");
        QOVA_TRACE_STEP_FAILED("Check algorithm", QOVA_E_FAIL, "true");
        return QOVA_E_FAIL;
    }

    std::unique_ptr<char[]> digestOID(new (std::nothrow) char[kOidTextSize]());
    std::unique_ptr<char[]> digestEncryptOID(new (std::nothrow) char[kOidTextSize]());
    QOVA_FAIL_IF(NULL == digestOID || NULL == digestEncryptOID, QOVA_E_FAIL, "New memory");
    const char* pszDigestEncryption = pOids->pszDigestEncryption;
    if (!bAccurateDigestEncryptionAlgorithm && QOVA_CALG_SM3 != lMsgDigestAlgorithm) {
        SIGN_TRACE(3, "User defines unaccurate digest encryption algorithm");
        pszDigestEncryption = kOidRsaEncryption;
    }
    // The table's texts are far shorter than the buffers, which stay NUL-terminated.
    strncpy(digestOID.get(), pOids->pszDigest, kOidTextSize - 1);
    strncpy(digestEncryptOID.get(), pszDigestEncryption, kOidTextSize - 1);

    if (NULL != ppszDigestOID) *ppszDigestOID = digestOID.release();
    if (NULL != ppszDigestEncryptOID) *ppszDigestEncryptOID = digestEncryptOID.release();
    return QOVA_OK;
}

unsigned int ConvertAlgIDtoAlgNID(unsigned int ulAlgID, int* pnAlgNID)
{
    TraceHelper trace("ConvertAlgIDtoAlgNID");
    SIGN_TRACE(3, "AlgID: 0x%08x", ulAlgID);
    QOVA_FAIL_IF(NULL == pnAlgNID, QOVA_E_INVALIDARG, "Check Parameters(pnAlgNID)");
    for (const AlgNid& alg : kAlgNids) {
        if (alg.ulAlgID == ulAlgID) {
            SIGN_TRACE(3, "%s", alg.pszTrace);
            *pnAlgNID = alg.nNid;
            return QOVA_OK;
        }
    }
    QOVA_TRACE_STEP_FAILED("Unsupport hash alg, only support sha1 sha256 sha384 md5 for RSA and sm3 for sm2",
                           QOVA_E_INVALIDARG, "TRUE");
    return QOVA_E_INVALIDARG;
}

unsigned int PKCS7_SignData_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, bool bWithSourceData, bool bReserved,
                                int nSM2SignatureEncodedType, unsigned char* pbySourceData, int nSourceDataSize,
                                int bLogout, unsigned char** ppbyDERPKCS7Signature, int* pnDERPKCS7SignatureSize)
{
    TraceHelper trace("PKCS7_SignData_DER");
    (void)bReserved;
    SIGN_TRACE(3, "ulHashAlg %d, bWithSourceData %d.", static_cast<int>(ulHashAlg), bWithSourceData ? 1 : 0);
    const LogoutAtExit logout(pCertInfo, 0 != bLogout);

    _CERTIFICATE_DATA* pCertData = NULL;
    const unsigned int nResult = CheckRecord(__func__, pCertInfo, &pCertData);
    if (QOVA_OK != nResult) return nResult;
    QOVA_FAIL_IF(NULL == pbySourceData, QOVA_E_INVALIDARG, "Check pbySourceData.");
    QOVA_FAIL_IF(nSourceDataSize <= 0, QOVA_E_INVALIDARG, "Check nSourceDataSize.");
    QOVA_FAIL_IF(ppbyDERPKCS7Signature == NULL, QOVA_E_INVALIDARG, "Check ppbyDERPKCS7Signature.");
    QOVA_FAIL_IF(pnDERPKCS7SignatureSize == NULL, QOVA_E_INVALIDARG, "Check pnDERPKCS7SignatureSize.");

    const SignInput input = {SignInput::kData, pbySourceData, nSourceDataSize, NULL};
    return SignPKCS7(__func__, pCertData, pbyPIN, nPINSize, ulHashAlg, bWithSourceData, nSM2SignatureEncodedType,
                     input, ppbyDERPKCS7Signature, pnDERPKCS7SignatureSize);
}

unsigned int PKCS7_SignHash_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, int nSM2SignatureEncodedType, unsigned char* pbyHashData,
                                int nHashDataSize, int bLogout, unsigned char** ppbyDERPKCS7Signature,
                                int* pnDERPKCS7SignatureSize)
{
    TraceHelper trace("PKCS7_SignHash_DER");
    SIGN_TRACE(3, "ulHashAlg %d.", static_cast<int>(ulHashAlg));
    const LogoutAtExit logout(pCertInfo, 0 != bLogout);

    _CERTIFICATE_DATA* pCertData = NULL;
    const unsigned int nResult = CheckRecord(__func__, pCertInfo, &pCertData);
    if (QOVA_OK != nResult) return nResult;
    QOVA_FAIL_IF(NULL == pbyHashData, QOVA_E_INVALIDARG, "Check pbyHashData.");
    QOVA_FAIL_IF(nHashDataSize <= 0, QOVA_E_INVALIDARG, "Check nHashDataSize.");
    QOVA_FAIL_IF(ppbyDERPKCS7Signature == NULL, QOVA_E_INVALIDARG, "Check ppbyDERPKCS7Signature.");
    QOVA_FAIL_IF(pnDERPKCS7SignatureSize == NULL, QOVA_E_INVALIDARG, "Check pnDERPKCS7SignatureSize.");

    const SignInput input = {SignInput::kHash, pbyHashData, nHashDataSize, NULL};
    return SignPKCS7(__func__, pCertData, pbyPIN, nPINSize, ulHashAlg, false, nSM2SignatureEncodedType, input,
                     ppbyDERPKCS7Signature, pnDERPKCS7SignatureSize);
}

unsigned int PKCS7_SignFile_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, bool bWithSourceData, bool bReserved,
                                int nSM2SignatureEncodedType, FILE* fpSourceFile,
                                unsigned char** ppbyDERPKCS7Signature, int* pnDERPKCS7SignatureSize)
{
    TraceHelper trace("PKCS7_SignFile_DER");
    (void)bReserved;
    SIGN_TRACE(3, "ulHashAlg %d, bWithSourceData %d.", static_cast<int>(ulHashAlg), bWithSourceData ? 1 : 0);
    const LogoutAtExit logout(pCertInfo, true);

    _CERTIFICATE_DATA* pCertData = NULL;
    const unsigned int nResult = CheckRecord(__func__, pCertInfo, &pCertData);
    if (QOVA_OK != nResult) return nResult;
    QOVA_FAIL_IF(NULL == fpSourceFile, QOVA_E_INVALIDARG, "Check pbySourceData.");
    QOVA_FAIL_IF(ppbyDERPKCS7Signature == NULL, QOVA_E_INVALIDARG, "Check ppbyDERPKCS7Signature.");
    QOVA_FAIL_IF(pnDERPKCS7SignatureSize == NULL, QOVA_E_INVALIDARG, "Check pnDERPKCS7SignatureSize.");

    const SignInput input = {SignInput::kFile, NULL, 0, fpSourceFile};
    return SignPKCS7(__func__, pCertData, pbyPIN, nPINSize, ulHashAlg, bWithSourceData, nSM2SignatureEncodedType,
                     input, ppbyDERPKCS7Signature, pnDERPKCS7SignatureSize);
}

unsigned int PKCS1_SignData_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, bool bWithZValue, int nSM2SignatureEncodedType,
                                unsigned char* pbySourceData, int nSourceDataSize, unsigned char** ppbyPKCS1Siganture,
                                int* pnPKCS1SigantureSize)
{
    TraceHelper trace("PKCS1_SignData_DER");
    SIGN_TRACE(3, "ulHashAlg %d, bWithZValue: %d, nSourceDataSize %d.", static_cast<int>(ulHashAlg),
               bWithZValue ? 1 : 0, nSourceDataSize);
    const LogoutAtExit logout(pCertInfo, true);

    _CERTIFICATE_DATA* pCertData = NULL;
    unsigned int nResult = CheckRecord(__func__, pCertInfo, &pCertData);
    if (QOVA_OK != nResult) return nResult;
    QOVA_FAIL_IF(NULL == pbySourceData, QOVA_E_INVALIDARG, "Check pbySourceData.");
    QOVA_FAIL_IF(nSourceDataSize <= 0, QOVA_E_INVALIDARG, "Check nSourceDataSize.");
    QOVA_FAIL_IF(ppbyPKCS1Siganture == NULL, QOVA_E_INVALIDARG, "Check ppbyPKCS1Siganture.");
    QOVA_FAIL_IF(pnPKCS1SigantureSize == NULL, QOVA_E_INVALIDARG, "Check pnPKCS1SigantureSize.");

    CK_OBJECT_HANDLE hKey = 0;
    CK_KEY_TYPE ulKeyType = 0;
    nResult = LoginAndFindKey(__func__, pCertData, pbyPIN, nPINSize, &hKey, &ulKeyType);
    if (QOVA_OK != nResult) return nResult;
    SIGN_TRACE(3, "ulKeyType is %d", static_cast<int>(ulKeyType));

    const SignInput input = {SignInput::kData, pbySourceData, nSourceDataSize, NULL};
    TokenSignature signature;
    if (CKK_RSA != ulKeyType) {
        SIGN_TRACE(3, "SM2 Signature!");
        QOVA_FAIL_IF((SIG_TYPE_SM2_Q1_V1 != nSM2SignatureEncodedType &&
                      SIG_TYPE_SM2_Q1_V2 != nSM2SignatureEncodedType),
                     QOVA_E_SM2_SIG_ENCODING, "Check nSM2SignatureEncodedType");
        nResult = SignOnToken(__func__, pCertData, hKey, true, ulHashAlg, input, 0, &signature);
        if (QOVA_OK != nResult) return nResult;
        SIGN_TRACE(3, "PKCS1Signature size: %d", static_cast<int>(signature.ulSize));
        nResult = CheckTokenSM2SignatureSize(__func__, signature.ulSize, "Check raw signature size");
        if (QOVA_OK != nResult) return nResult;
        if (SIG_TYPE_SM2_Q1_V1 == nSM2SignatureEncodedType) {
            SIGN_TRACE(3, "Need SM2_Q1");
            TokenSignature raw;
            nResult = DecodeTokenSM2Signature(__func__, signature, &raw);
            if (QOVA_OK != nResult) return nResult;
            signature = std::move(raw);
        } else {
            SIGN_TRACE(3, "Need SM2_Q2");
        }
    } else {
        SIGN_TRACE(3, "RSA Signature!");
        nResult = SignOnToken(__func__, pCertData, hKey, false, ulHashAlg, input, 0, &signature);
        if (QOVA_OK != nResult) return nResult;
    }

    *pnPKCS1SigantureSize = static_cast<int>(signature.ulSize);
    *ppbyPKCS1Siganture = signature.bytes.release();
    return QOVA_OK;
}

unsigned int PKCS1_SignFile_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, int nReserved, FILE* fpSourceFile,
                                unsigned char** ppbyDERPKCS1Siganture, int* pnDERPKCS1SigantureSize)
{
    TraceHelper trace("PKCS1_SignFile_DER");
    (void)nReserved;
    SIGN_TRACE(3, "ulHashAlg %d.", static_cast<int>(ulHashAlg));
    const LogoutAtExit logout(pCertInfo, true);

    QOVA_FAIL_IF(NULL == pCertInfo, QOVA_E_NO_SELECTED_CERT, "Check CertInfo");
    QOVA_FAIL_IF(NULL == pCertInfo->pCertData, QOVA_E_NO_SELECTED_CERT, "Check CertInfo(2)");
    _CERTIFICATE_DATA* pCertData = pCertInfo->pCertData;
    QOVA_FAIL_IF((NULL == pCertData->pszCkID || NULL == pCertData->pstSessionCtx), QOVA_E_NO_SELECTED_CERT,
                 "Check CertData");
    SIGN_TRACE(3, "pszDylibPath is %s, pszCkID is %s.", QovaTraceText(pCertInfo->pszP11Path).c_str(),
               QovaTraceText(pCertData->pszCkID).c_str());
    QOVA_FAIL_IF(NULL == fpSourceFile, QOVA_E_INVALIDARG, "Check SourceFile.");
    QOVA_FAIL_IF(ppbyDERPKCS1Siganture == NULL, QOVA_E_INVALIDARG, "Check ppbyDERPKCS1Siganture.");
    QOVA_FAIL_IF(pnDERPKCS1SigantureSize == NULL, QOVA_E_INVALIDARG, "Check pnDERPKCS1SigantureSize.");

    CK_OBJECT_HANDLE hKey = 0;
    CK_KEY_TYPE ulKeyType = 0;
    unsigned int nResult = LoginAndFindKey(__func__, pCertData, pbyPIN, nPINSize, &hKey, &ulKeyType);
    if (QOVA_OK != nResult) return nResult;
    unsigned int nFileSize = 0;
    nResult = GetFileSize_Ex(fpSourceFile, &nFileSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetFileSize_Ex");
    SIGN_TRACE(3, "Filesize: %d", static_cast<int>(nFileSize));
    SIGN_TRACE(3, "ulKeyType: %d", static_cast<int>(ulKeyType));
    if (CKK_RSA != ulKeyType) {
        QOVA_TRACE_STEP_FAILED("Unsupport SM2", QOVA_E_SM2_PKCS1_FILE, "TRUE");
        return QOVA_E_SM2_PKCS1_FILE;
    }

    const SignInput input = {SignInput::kFile, NULL, 0, fpSourceFile};
    TokenSignature signature;
    nResult = SignOnToken(__func__, pCertData, hKey, false, ulHashAlg, input, nFileSize, &signature);
    if (QOVA_OK != nResult) return nResult;
    SIGN_TRACE(3, "nSignedDataSize %d.", static_cast<int>(signature.ulSize));

    *pnDERPKCS1SigantureSize = static_cast<int>(signature.ulSize);
    *ppbyDERPKCS1Siganture = signature.bytes.release();
    return QOVA_OK;
}

unsigned int PKCS7_SignData(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize, unsigned int ulHashAlg,
                            bool bWithSourceData, bool bReserved, int nSM2SignatureEncodedType,
                            unsigned char* pbySourceData, int nSourceDataSize, int bLogout,
                            char** ppszPKCS7Signature)
{
    TraceHelper trace("PKCS7_SignData");
    return SignAsBase64(__func__, "PKCS7_SignData_DER", ppszPKCS7Signature, [&](unsigned char** ppbyDer, int* pnSize) {
        return PKCS7_SignData_DER(pCertInfo, pbyPIN, nPINSize, ulHashAlg, bWithSourceData, bReserved,
                                  nSM2SignatureEncodedType, pbySourceData, nSourceDataSize, bLogout, ppbyDer, pnSize);
    });
}

unsigned int PKCS7_SignHashDetached(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                    unsigned int ulHashAlg, int nSM2SignatureEncodedType, unsigned char* pbyHashData,
                                    int nHashDataSize, int bLogout, char** ppszPKCS7Signature)
{
    TraceHelper trace("PKCS7_SignHashDetached");
    return SignAsBase64(__func__, "PKCS7_SignHash_DER", ppszPKCS7Signature, [&](unsigned char** ppbyDer, int* pnSize) {
        return PKCS7_SignHash_DER(pCertInfo, pbyPIN, nPINSize, ulHashAlg, nSM2SignatureEncodedType, pbyHashData,
                                  nHashDataSize, bLogout, ppbyDer, pnSize);
    });
}

unsigned int PKCS7_SignFile(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize, unsigned int ulHashAlg,
                            bool bWithSourceData, bool bReserved, int nSM2SignatureEncodedType, FILE* fpSourceFile,
                            char** ppszPKCS7Signature)
{
    TraceHelper trace("PKCS7_SignFile");
    return SignAsBase64(__func__, "PKCS7_SignFile_DER", ppszPKCS7Signature, [&](unsigned char** ppbyDer, int* pnSize) {
        return PKCS7_SignFile_DER(pCertInfo, pbyPIN, nPINSize, ulHashAlg, bWithSourceData, bReserved,
                                  nSM2SignatureEncodedType, fpSourceFile, ppbyDer, pnSize);
    });
}

unsigned int PKCS1_SignData(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize, unsigned int ulHashAlg,
                            bool bWithZValue, int nSM2SignatureEncodedType, unsigned char* pbySourceData,
                            int nSourceDataSize, char** ppszPKCS1Siganture)
{
    TraceHelper trace("PKCS1_SignData");
    return SignAsBase64(__func__, "PKCS1_SignData_DER", ppszPKCS1Siganture, [&](unsigned char** ppbyDer, int* pnSize) {
        return PKCS1_SignData_DER(pCertInfo, pbyPIN, nPINSize, ulHashAlg, bWithZValue, nSM2SignatureEncodedType,
                                  pbySourceData, nSourceDataSize, ppbyDer, pnSize);
    });
}

unsigned int PKCS1_SignFile(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize, unsigned int ulHashAlg,
                            int nReserved, FILE* fpSourceFile, char** ppszPKCS1Siganture)
{
    TraceHelper trace("PKCS1_SignFile");
    return SignAsBase64(__func__, "PKCS1_SignFile_DER", ppszPKCS1Siganture, [&](unsigned char** ppbyDer, int* pnSize) {
        return PKCS1_SignFile_DER(pCertInfo, pbyPIN, nPINSize, ulHashAlg, nReserved, fpSourceFile, ppbyDer, pnSize);
    });
}
