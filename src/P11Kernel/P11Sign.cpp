#include "P11Sign.h"

#include "P11OperationDetail.h"

#include <algorithm>
#include <cstring>

using p11detail::CallForOutput;
using p11detail::FinishIntoScratch;
using p11detail::OutputSteps;
using p11detail::TokenSession;

namespace {

constexpr size_t kFileChunk = 16384;

// DigestInfo prefixes of RFC 8017, section 9.2, note 1.
const unsigned char kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                    0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
const unsigned char kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                     0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
const unsigned char kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
const unsigned char kSha384Prefix[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
const unsigned char kSha512Prefix[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

// The RSA hash algorithms: hash-and-sign and digest mechanisms, DigestInfo prefix, hash length.
struct RsaHash
{
    CK_ULONG ulHashAlgID;
    CK_MECHANISM_TYPE ulSignMechanism;
    CK_MECHANISM_TYPE ulDigestMechanism;
    const unsigned char* pbyPrefix;
    size_t nPrefixLen;
    CK_ULONG ulHashLen;
    const char* pszLengthStep;
};

const RsaHash kRsaHashes[] = {
    {QOVA_CALG_MD5, CKM_MD5_RSA_PKCS, CKM_MD5, kMd5Prefix, sizeof(kMd5Prefix), 16, "Check HashDataSize(CALG_MD5)"},
    {QOVA_CALG_SHA1, CKM_SHA1_RSA_PKCS, CKM_SHA_1, kSha1Prefix, sizeof(kSha1Prefix), 20,
     "Check HashDataSize(CALG_SHA1)"},
    {QOVA_CALG_SHA256, CKM_SHA256_RSA_PKCS, CKM_SHA256, kSha256Prefix, sizeof(kSha256Prefix), 32,
     "Check HashDataSize(CALG_SHA256)"},
    {QOVA_CALG_SHA384, CKM_SHA384_RSA_PKCS, CKM_SHA384, kSha384Prefix, sizeof(kSha384Prefix), 48,
     "Check HashDataSize(CALG_SHA384)"},
    {QOVA_CALG_SHA512, CKM_SHA512_RSA_PKCS, CKM_SHA512, kSha512Prefix, sizeof(kSha512Prefix), 64,
     "Check HashDataSize(CALG_SHA512)"},
};

// The row of an RSA hash id, or null.
const RsaHash* FindRsaHash(CK_ULONG ulHashAlgID)
{
    for (const RsaHash& hash : kRsaHashes) {
        if (hash.ulHashAlgID == ulHashAlgID)
            return &hash;
    }
    return NULL;
}

const OutputSteps kSignSteps = {"CkSign for size", "CkSign for data", "ulSignatureLen: "};
const OutputSteps kSignFinalSteps = {"CkSignFinal for size", "CkSignFinal for data", "ulSignatureLen: "};
const OutputSteps kDigestFinalSteps = {"CkDigestFinal for size", "CkDigestFinal for data", "ulHashLen: "};

// The output pair, checked by every signer before the token is touched, so that a refusal never
// leaves an operation active.
unsigned int CheckSignOutput(const char* pszFunc, unsigned char** ppbySignature, CK_ULONG* pulSignatureLen)
{
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == ppbySignature, QOVA_E_INVALIDARG, "Check ppbySignature");
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pulSignatureLen, QOVA_E_INVALIDARG, "Check pulSignatureLen");
    return QOVA_OK;
}

// Single-part signing: init, size query, zeroed buffer (nExtra bytes more), signature.
unsigned int SignOnce(const char* pszFunc, const TokenSession& session, CK_MECHANISM* pMechanism,
                      CK_OBJECT_HANDLE hKey, unsigned char* pbyData, CK_ULONG ulDataLen, size_t nExtra,
                      unsigned char** ppbySignature, CK_ULONG* pulSignatureLen)
{
    // Modules refuse a null data pointer even for the empty message.
    unsigned char byEmpty = 0;
    unsigned char* pbyInput = NULL != pbyData ? pbyData : &byEmpty;

    unsigned int nResult = CkSignInit(session.pFunctions, session.hSession, pMechanism, hKey);
    QOVA_P11_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "CkSignInit");
    auto sign = [&](unsigned char* pbyOut, CK_ULONG* pulOutLen) {
        return CkSign(session.pFunctions, session.hSession, pbyInput, ulDataLen, pbyOut, pulOutLen);
    };
    return CallForOutput(pszFunc, kSignSteps, sign, nExtra, false, ppbySignature, pulSignatureLen);
}

// Passes the next ulFileSize bytes of the stream to update in chunks of kFileChunk bytes. On
// failure *pbLocal tells whether the failure was ours (the operation is then still active).
template <class Update>
unsigned int StreamFile(const char* pszFunc, FILE* fpFile, CK_ULONG ulFileSize, bool bEmptyPartAccepted,
                        Update update, bool* pbLocal)
{
    *pbLocal = true;
    if (0 == ulFileSize)
        return QOVA_OK;
    std::unique_ptr<unsigned char[]> buffer = p11detail::NewZeroed<unsigned char>(kFileChunk);
    QOVA_P11_FAIL_IF_IN(pszFunc, !buffer, p11detail::kNoHostMemory, "new read buffer");

    CK_ULONG ulRemaining = ulFileSize;
    for (;;) {
        memset(buffer.get(), 0, kFileChunk);
        // The last chunk asks only for what remains, so exactly the given size is signed.
        const size_t nWanted = static_cast<size_t>(std::min<CK_ULONG>(ulRemaining, kFileChunk));
        const size_t nRead = fread(buffer.get(), 1, nWanted, fpFile);
        if (ulRemaining >= kFileChunk) {
            QOVA_P11_FAIL_IF_IN(pszFunc, kFileChunk != nRead || 0 != ferror(fpFile), QOVA_E_READ_FAULT,
                                "fread(fpFile)");
            TRACE(3, "Once read size: %d", static_cast<int>(nRead));
        } else {
            TRACE(3, "Last read size: %d", static_cast<int>(nRead));
            // An update that takes empty parts would let the loop spin at the stream's end.
            if (bEmptyPartAccepted)
                QOVA_P11_FAIL_IF_IN(pszFunc, 0 == nRead, QOVA_E_READ_FAULT, "fread(fpFile)");
        }
        const unsigned int nResult = update(buffer.get(), static_cast<CK_ULONG>(nRead));
        if (QOVA_OK != nResult) {
            *pbLocal = p11detail::RefusedLocally(nResult);
            return nResult;
        }
        if (nRead == ulRemaining)
            return QOVA_OK;
        ulRemaining -= nRead;
    }
}

// The rest of a multi-part operation over a stream once its init has succeeded: the chunks, then
// the two-call final. A failure of our own ends the operation on the token first.
template <class Update, class Final>
unsigned int StreamThenFinal(const char* pszFunc, const OutputSteps& finalSteps, FILE* fpFile, CK_ULONG ulFileSize,
                             bool bEmptyPartAccepted, Update update, Final final, unsigned char** ppOutput,
                             CK_ULONG* pulOutputLen)
{
    bool bLocal = false;
    const unsigned int nResult = StreamFile(pszFunc, fpFile, ulFileSize, bEmptyPartAccepted, update, &bLocal);
    if (QOVA_OK != nResult) {
        if (bLocal)
            FinishIntoScratch(final);
        return nResult;
    }
    return CallForOutput(pszFunc, finalSteps, final, 0, false, ppOutput, pulOutputLen);
}

// Multi-part signing of a stream: init, the chunks, the two-call final.
unsigned int SignStream(const char* pszFunc, const TokenSession& session, CK_MECHANISM* pMechanism,
                        CK_OBJECT_HANDLE hKey, FILE* fpFile, CK_ULONG ulFileSize, unsigned char** ppbySignature,
                        CK_ULONG* pulSignatureLen)
{
    unsigned int nResult = CkSignInit(session.pFunctions, session.hSession, pMechanism, hKey);
    QOVA_P11_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "CkSignInit");
    auto update = [&](unsigned char* pbyPart, CK_ULONG ulPartLen) {
        return CkSignUpdate(session.pFunctions, session.hSession, pbyPart, ulPartLen);
    };
    auto final = [&](unsigned char* pbyOut, CK_ULONG* pulOutLen) {
        return CkSignFinal(session.pFunctions, session.hSession, pbyOut, pulOutLen);
    };
    return StreamThenFinal(pszFunc, kSignFinalSteps, fpFile, ulFileSize, false, update, final, ppbySignature,
                           pulSignatureLen);
}

// Verification in one call: init with the public key, then the signature checked.
unsigned int VerifyOnce(const char* pszFunc, CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                        CK_MECHANISM* pMechanism, CK_OBJECT_HANDLE hPublicKey, unsigned char* pbyData,
                        CK_ULONG ulDataLen, unsigned char* pbySignature, CK_ULONG ulSignatureLen)
{
    unsigned int nResult = CkVerifyInit(pCkFunctionList, hSession, pMechanism, hPublicKey);
    QOVA_P11_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "CkVerifyInit");
    nResult = CkVerify(pCkFunctionList, hSession, pbyData, ulDataLen, pbySignature, ulSignatureLen);
    QOVA_P11_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "CkVerify");
    return QOVA_OK;
}

// The checks of both verifiers, all before the token is touched.
unsigned int CheckVerifyArguments(const char* pszFunc, CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                                  const unsigned char* pbyData, CK_ULONG ulDataLen, const unsigned char* pbySignature,
                                  CK_ULONG ulSignatureLen)
{
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(hSession));
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pCkFunctionList, QOVA_E_MISSING_ARG, "Check pCkFunctionList");
    QOVA_P11_FAIL_IF_IN(pszFunc, 0 == hSession, QOVA_E_MISSING_ARG, "Check hSessionHandle");
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pbyData, QOVA_E_MISSING_ARG, "Check pData");
    QOVA_P11_FAIL_IF_IN(pszFunc, 0 == ulDataLen, QOVA_E_MISSING_ARG, "Check ulDataLen");
    QOVA_P11_FAIL_IF_IN(pszFunc, 0 == ulSignatureLen, QOVA_E_MISSING_ARG, "Check ulSignatureLen");
    // The module would read the signature through a null pointer.
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pbySignature, QOVA_E_MISSING_ARG, "Check pSignature");
    return QOVA_OK;
}

}  // namespace

// ---- thin wrappers ----

unsigned int CkDigestInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                          CK_MECHANISM* pDigestMechanism)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    QOVA_P11_FAIL_IF(NULL == pDigestMechanism, QOVA_E_MISSING_ARG, "Check pDigestMechanism");
    const CK_RV rv = pCkFunctionList->C_DigestInit(hSession, pDigestMechanism);
    P11_WRAPPER_ANSWER("C_DigestInit", rv);
    return QOVA_OK;
}

unsigned int CkDigestUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pPart,
                            CK_ULONG ulPartLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulPartLen: %d", static_cast<int>(ulPartLen));
    QOVA_P11_FAIL_IF(NULL == pPart, QOVA_E_MISSING_ARG, "Check pPart");
    const CK_RV rv = pCkFunctionList->C_DigestUpdate(hSession, pPart, ulPartLen);
    P11_WRAPPER_ANSWER("C_DigestUpdate", rv);
    return QOVA_OK;
}

unsigned int CkDigestFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pDigest,
                           CK_ULONG* pulDigestLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    const CK_RV rv = pCkFunctionList->C_DigestFinal(hSession, pDigest, pulDigestLen);
    P11_WRAPPER_ANSWER("C_DigestFinal", rv);
    p11detail::TraceOutputLength("pulDigestLen: ", pulDigestLen);
    return QOVA_OK;
}

unsigned int CkDigest(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pData,
                      CK_ULONG ulDataLen, unsigned char* pDigest, CK_ULONG* pulDigestLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulDataLen: %d", static_cast<int>(ulDataLen));
    const CK_RV rv = pCkFunctionList->C_Digest(hSession, pData, ulDataLen, pDigest, pulDigestLen);
    P11_WRAPPER_ANSWER("C_Digest", rv);
    p11detail::TraceOutputLength("pulDigestLen: ", pulDigestLen);
    return QOVA_OK;
}

unsigned int CkSignInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_MECHANISM* pSignMechanism,
                        CK_OBJECT_HANDLE hKey)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    QOVA_P11_FAIL_IF(NULL == pSignMechanism, QOVA_E_MISSING_ARG, "Check pSignMechanism");
    QOVA_P11_FAIL_IF(0 == hKey, QOVA_E_MISSING_ARG, "Check hKey");
    const CK_RV rv = pCkFunctionList->C_SignInit(hSession, pSignMechanism, hKey);
    TRACE(3, "ulRetCode: %d", static_cast<int>(rv));
    QOVA_P11_FAIL_IF(CKR_OK != rv, QovaP11Result(rv), "C_SignInit");
    return QOVA_OK;
}

unsigned int CkSignUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pPart,
                          CK_ULONG ulPartLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulPartLen: %d", static_cast<int>(ulPartLen));
    QOVA_P11_FAIL_IF(NULL == pPart, QOVA_E_MISSING_ARG, "Check pPart");
    QOVA_P11_FAIL_IF(0 == ulPartLen, QOVA_E_MISSING_ARG, "Check ulPartLen");
    const CK_RV rv = pCkFunctionList->C_SignUpdate(hSession, pPart, ulPartLen);
    P11_WRAPPER_ANSWER("C_SignUpdate", rv);
    return QOVA_OK;
}

unsigned int CkSignFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pSignature,
                         CK_ULONG* pulSignatureLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    const CK_RV rv = pCkFunctionList->C_SignFinal(hSession, pSignature, pulSignatureLen);
    P11_WRAPPER_ANSWER("C_SignFinal", rv);
    p11detail::TraceOutputLength("pulSignatureLen: ", pulSignatureLen);
    return QOVA_OK;
}

unsigned int CkSign(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pData,
                    CK_ULONG ulDataLen, unsigned char* pSignature, CK_ULONG* pulSignatureLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulDataLen: %d", static_cast<int>(ulDataLen));
    const CK_RV rv = pCkFunctionList->C_Sign(hSession, pData, ulDataLen, pSignature, pulSignatureLen);
    P11_WRAPPER_ANSWER("C_Sign", rv);
    p11detail::TraceOutputLength("pulSignatureLen: ", pulSignatureLen);
    return QOVA_OK;
}

unsigned int CkVerifyInit(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession,
                          CK_MECHANISM* pVerifyMechanism, CK_OBJECT_HANDLE hKey)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    QOVA_P11_FAIL_IF(NULL == pVerifyMechanism, QOVA_E_MISSING_ARG, "Check pVerifyMechanism");
    QOVA_P11_FAIL_IF(0 == hKey, QOVA_E_MISSING_ARG, "Check hKey");
    const CK_RV rv = pCkFunctionList->C_VerifyInit(hSession, pVerifyMechanism, hKey);
    P11_WRAPPER_ANSWER("C_VerifyInit", rv);
    return QOVA_OK;
}

unsigned int CkVerifyUpdate(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pPart,
                            CK_ULONG ulPartLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulPartLen: %d", static_cast<int>(ulPartLen));
    QOVA_P11_FAIL_IF(NULL == pPart, QOVA_E_MISSING_ARG, "Check pPart");
    QOVA_P11_FAIL_IF(0 == ulPartLen, QOVA_E_MISSING_ARG, "Check ulPartLen");
    const CK_RV rv = pCkFunctionList->C_VerifyUpdate(hSession, pPart, ulPartLen);
    P11_WRAPPER_ANSWER("C_VerifyUpdate", rv);
    return QOVA_OK;
}

unsigned int CkVerifyFinal(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pSignature,
                           CK_ULONG ulSignatureLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulSignatureLen: %d", static_cast<int>(ulSignatureLen));
    const CK_RV rv = pCkFunctionList->C_VerifyFinal(hSession, pSignature, ulSignatureLen);
    P11_WRAPPER_ANSWER("C_VerifyFinal", rv);
    return QOVA_OK;
}

unsigned int CkVerify(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, unsigned char* pData,
                      CK_ULONG ulDataLen, unsigned char* pSignature, CK_ULONG ulSignatureLen)
{
    P11_WRAPPER_CHECKS(pCkFunctionList, hSession);
    TRACE(3, "ulDataLen: %d, ulSignatureLen: %d", static_cast<int>(ulDataLen), static_cast<int>(ulSignatureLen));
    QOVA_P11_FAIL_IF(NULL == pData, QOVA_E_MISSING_ARG, "Check pData");
    QOVA_P11_FAIL_IF(0 == ulDataLen, QOVA_E_MISSING_ARG, "Check ulDataLen");
    const CK_RV rv = pCkFunctionList->C_Verify(hSession, pData, ulDataLen, pSignature, ulSignatureLen);
    P11_WRAPPER_ANSWER("C_Verify", rv);
    return QOVA_OK;
}

// ---- composite operations ----

unsigned int CryptoRSASign(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                           unsigned char* pbyData, CK_ULONG ulDataLen, unsigned char** ppbySignature,
                           CK_ULONG* pulSignatureLen)
{
    TokenSession session{};
    unsigned int nResult = p11detail::OpenSessionCtx(__func__, pSessionCtx, &session);
    if (QOVA_OK != nResult)
        return nResult;
    nResult = CheckSignOutput(__func__, ppbySignature, pulSignatureLen);
    if (QOVA_OK != nResult)
        return nResult;
    // An empty message may come without a pointer.
    QOVA_P11_FAIL_IF(NULL == pbyData && 0 != ulDataLen, QOVA_E_INVALIDARG, "Check pbyData");
    const RsaHash* pHash = FindRsaHash(ulHashAlgID);
    QOVA_P11_FAIL_IF(NULL == pHash, QOVA_E_P11_NOT_SUPPORTED,
                     "Only support SHA1 SHA256 SHA384 SHA512 and MD5 sign hash");
    TRACE(3, "SignMechanismType is %d.", static_cast<int>(pHash->ulSignMechanism));

    CK_MECHANISM stMechanism = {pHash->ulSignMechanism, NULL, 0};
    return SignOnce(__func__, session, &stMechanism, hPrivateKey, pbyData, ulDataLen, 0, ppbySignature,
                    pulSignatureLen);
}

unsigned int CryptoSM2Sign(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                           unsigned char byParam, unsigned char* pbyData, CK_ULONG ulDataLen,
                           unsigned char** ppbySignature, CK_ULONG* pulSignatureLen)
{
    TokenSession session{};
    unsigned int nResult = p11detail::OpenSessionCtx(__func__, pSessionCtx, &session);
    if (QOVA_OK != nResult)
        return nResult;
    nResult = CheckSignOutput(__func__, ppbySignature, pulSignatureLen);
    if (QOVA_OK != nResult)
        return nResult;
    // An empty message may come without a pointer.
    QOVA_P11_FAIL_IF(NULL == pbyData && 0 != ulDataLen, QOVA_E_INVALIDARG, "Check pbyData");
    QOVA_P11_FAIL_IF(QOVA_CALG_SM3 != ulHashAlgID, QOVA_E_P11_NOT_SUPPORTED, "Only support SM3 sign hash");
    TRACE(3, "SignMechanismType is %d.", static_cast<int>(QOVA_CKM_SM2_SM3));

    CK_MECHANISM stMechanism = {QOVA_CKM_SM2_SM3, &byParam, 1};
    return SignOnce(__func__, session, &stMechanism, hPrivateKey, pbyData, ulDataLen, 0, ppbySignature,
                    pulSignatureLen);
}

unsigned int CryptoSM2SignHash(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                               unsigned char* pbyHash, CK_ULONG ulHashLen, unsigned char** ppbySignature,
                               CK_ULONG* pulSignatureLen)
{
    TokenSession session{};
    unsigned int nResult = p11detail::OpenSessionCtx(__func__, pSessionCtx, &session);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(NULL == pbyHash, QOVA_E_INVALIDARG, "Check pbyHash");
    nResult = CheckSignOutput(__func__, ppbySignature, pulSignatureLen);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(QOVA_CALG_SM3 != ulHashAlgID, QOVA_E_P11_NOT_SUPPORTED, "Only support SM3 sign hash");
    QOVA_P11_FAIL_IF(32 != ulHashLen, CKR_ARGUMENTS_BAD, "Check ulHashLen(CALG_SM3)");
    TRACE(3, "SignMechanismType is %d.", static_cast<int>(QOVA_CKM_SM2_SIGN_HASH));

    CK_MECHANISM stMechanism = {QOVA_CKM_SM2_SIGN_HASH, NULL, 0};
    return SignOnce(__func__, session, &stMechanism, hPrivateKey, pbyHash, ulHashLen, 0, ppbySignature,
                    pulSignatureLen);
}

unsigned int CryptoRSASignHash(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                               unsigned char* pbyHashData, CK_ULONG ulHashDataSize, unsigned char** ppSignature,
                               CK_ULONG* pulSignatureLen)
{
    QOVA_P11_FAIL_IF(NULL == pbyHashData, QOVA_E_INVALIDARG, "Check pbyHashData");
    TokenSession session{};
    const unsigned int nResult = p11detail::OpenSessionCtx(__func__, pSessionCtx, &session);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(NULL == ppSignature, QOVA_E_INVALIDARG, "Check ppSignature");
    QOVA_P11_FAIL_IF(NULL == pulSignatureLen, QOVA_E_INVALIDARG, "Check pulSignatureLen");
    const RsaHash* pHash = FindRsaHash(ulHashAlgID);
    QOVA_P11_FAIL_IF(NULL == pHash, QOVA_E_P11_NOT_SUPPORTED, "Only support SHA1 and MD5 sign hash");
    QOVA_P11_FAIL_IF(pHash->ulHashLen != ulHashDataSize, CKR_ARGUMENTS_BAD, pHash->pszLengthStep);
    TRACE(3, "SignMechanismType is %d.", static_cast<int>(CKM_RSA_PKCS));

    // The longest block: SHA-512's 19-byte prefix and 64-byte hash.
    unsigned char byBlock[19 + 64] = {0};
    memcpy(byBlock, pHash->pbyPrefix, pHash->nPrefixLen);
    memcpy(byBlock + pHash->nPrefixLen, pbyHashData, ulHashDataSize);
    CK_MECHANISM stMechanism = {CKM_RSA_PKCS, NULL, 0};
    return SignOnce(__func__, session, &stMechanism, hPrivateKey, byBlock, pHash->nPrefixLen + ulHashDataSize, 1,
                    ppSignature, pulSignatureLen);
}

unsigned int CryptoRSASignFile(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID, FILE* fpFile,
                               CK_ULONG ulFileSize, unsigned char** ppbySignature, CK_ULONG* pulSignatureLen)
{
    TokenSession session{};
    unsigned int nResult = p11detail::OpenSessionCtx(__func__, pSessionCtx, &session);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(NULL == fpFile, QOVA_E_MISSING_ARG, "Check fpFile");
    nResult = CheckSignOutput(__func__, ppbySignature, pulSignatureLen);
    if (QOVA_OK != nResult)
        return nResult;
    const RsaHash* pHash = FindRsaHash(ulHashAlgID);
    QOVA_P11_FAIL_IF(NULL == pHash, QOVA_E_P11_NOT_SUPPORTED, "Only support SHA1 and MD5 sign hash");
    TRACE(3, "SignMechanismType is %d.", static_cast<int>(pHash->ulSignMechanism));

    CK_MECHANISM stMechanism = {pHash->ulSignMechanism, NULL, 0};
    return SignStream(__func__, session, &stMechanism, hPrivateKey, fpFile, ulFileSize, ppbySignature,
                      pulSignatureLen);
}

unsigned int CryptoSM2SignFile(void* pSessionCtx, CK_OBJECT_HANDLE hPrivateKey, CK_ULONG ulHashAlgID,
                               unsigned char byParam, FILE* fpFile, CK_ULONG ulFileSize,
                               unsigned char** ppbySignature, CK_ULONG* pulSignatureLen)
{
    TokenSession session{};
    unsigned int nResult = p11detail::OpenSessionCtx(__func__, pSessionCtx, &session);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(NULL == fpFile, QOVA_E_MISSING_ARG, "Check fpFile");
    nResult = CheckSignOutput(__func__, ppbySignature, pulSignatureLen);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(QOVA_CALG_SM3 != ulHashAlgID, QOVA_E_P11_NOT_SUPPORTED, "Only support SM3 sign hash");
    TRACE(3, "SignMechanismType is %d.", static_cast<int>(QOVA_CKM_SM2_SM3));

    CK_MECHANISM stMechanism = {QOVA_CKM_SM2_SM3, &byParam, 1};
    return SignStream(__func__, session, &stMechanism, hPrivateKey, fpFile, ulFileSize, ppbySignature,
                      pulSignatureLen);
}

unsigned int CryptoHashFile(void* pSessionCtx, CK_ULONG ulHashAlgID, FILE* fpFile, CK_ULONG ulFileSize,
                            unsigned char** ppbyHash, CK_ULONG* pulHashLen)
{
    QOVA_P11_FAIL_IF(NULL == fpFile, QOVA_E_MISSING_ARG, "Check fpfile");
    TokenSession session{};
    unsigned int nResult = p11detail::OpenSessionCtx(__func__, pSessionCtx, &session);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(NULL == ppbyHash, QOVA_E_INVALIDARG, "Check ppbyHash");
    QOVA_P11_FAIL_IF(NULL == pulHashLen, QOVA_E_INVALIDARG, "Check pulHashLen");
    const RsaHash* pHash = FindRsaHash(ulHashAlgID);
    QOVA_P11_FAIL_IF(NULL == pHash, QOVA_E_P11_NOT_SUPPORTED, "Only support SHA1 and MD5 sign hash");
    TRACE(3, "HashMechanismType is %d.", static_cast<int>(pHash->ulDigestMechanism));

    CK_MECHANISM stMechanism = {pHash->ulDigestMechanism, NULL, 0};
    nResult = CkDigestInit(session.pFunctions, session.hSession, &stMechanism);
    QOVA_P11_FAIL_IF(QOVA_OK != nResult, nResult, "CkDigestInit");
    auto update = [&](unsigned char* pbyPart, CK_ULONG ulPartLen) {
        return CkDigestUpdate(session.pFunctions, session.hSession, pbyPart, ulPartLen);
    };
    auto final = [&](unsigned char* pbyOut, CK_ULONG* pulOutLen) {
        return CkDigestFinal(session.pFunctions, session.hSession, pbyOut, pulOutLen);
    };
    return StreamThenFinal(__func__, kDigestFinalSteps, fpFile, ulFileSize, true, update, final, ppbyHash, pulHashLen);
}

unsigned int CkRSAVerify(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPublicKey,
                         CK_ULONG ulHashAlgID, unsigned char* pbyData, CK_ULONG ulDataLen,
                         unsigned char* pbySignature, CK_ULONG ulSignatureLen)
{
    const unsigned int nResult = CheckVerifyArguments(__func__, pCkFunctionList, hSession, pbyData, ulDataLen,
                                                      pbySignature, ulSignatureLen);
    if (QOVA_OK != nResult)
        return nResult;
    const RsaHash* pHash = FindRsaHash(ulHashAlgID);
    QOVA_P11_FAIL_IF(NULL == pHash, QOVA_E_P11_NOT_SUPPORTED, "Only support SHA1 and MD5 sign hash");
    TRACE(3, "stVerifyMechanismType is %d.", static_cast<int>(pHash->ulSignMechanism));

    CK_MECHANISM stMechanism = {pHash->ulSignMechanism, NULL, 0};
    return VerifyOnce(__func__, pCkFunctionList, hSession, &stMechanism, hPublicKey, pbyData, ulDataLen, pbySignature,
                      ulSignatureLen);
}

unsigned int CkSM2Verify(CK_FUNCTION_LIST* pCkFunctionList, CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPublicKey,
                         CK_ULONG ulHashAlgID, unsigned char byParam, unsigned char* pbyData, CK_ULONG ulDataLen,
                         unsigned char* pbySignature, CK_ULONG ulSignatureLen)
{
    const unsigned int nResult = CheckVerifyArguments(__func__, pCkFunctionList, hSession, pbyData, ulDataLen,
                                                      pbySignature, ulSignatureLen);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_P11_FAIL_IF(QOVA_CALG_SM3 != ulHashAlgID, QOVA_E_P11_NOT_SUPPORTED, "Only support SM3 verify hash");
    TRACE(3, "stVerifyMechanismType is %d.", static_cast<int>(QOVA_CKM_SM2_SM3));

    CK_MECHANISM stMechanism = {QOVA_CKM_SM2_SM3, &byParam, 1};
    return VerifyOnce(__func__, pCkFunctionList, hSession, &stMechanism, hPublicKey, pbyData, ulDataLen, pbySignature,
                      ulSignatureLen);
}
