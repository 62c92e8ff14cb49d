// Steps shared by the token's sign, digest, encrypt and decrypt operations (and the session
// prologue of the key-container operations); not part of the kernel's interface.
//
// Once an operation's init call has succeeded the token holds it open until its last call ends it:
// a failing token call ends it too, but a failure of our own (a short file read, a refused
// argument, a size we will not allocate) would leave it active, and every later operation of that
// kind on the session would be refused. Such failures end the operation into a scratch buffer.
#ifndef VARNELL_P11_OPERATION_DETAIL_H
#define VARNELL_P11_OPERATION_DETAIL_H

#include "P11Detail.h"
#include "QovaTrace.h"

#include <openssl/crypto.h>

// The opening of every thin wrapper: the session traced, the function list and the session tested.
#define P11_WRAPPER_CHECKS(list, session)                                                  \
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(session));                \
    QOVA_P11_FAIL_IF(NULL == (list), QOVA_E_MISSING_ARG, "Check pCkFunctionList");        \
    QOVA_P11_FAIL_IF(0 == (session), QOVA_E_MISSING_ARG, "Check hSessionHandle")

// The module's answer traced as "<call> ulRetCode is %d.", a failure returned as its mapped code.
#define P11_WRAPPER_ANSWER(call, rv)                                       \
    TRACE(3, call " ulRetCode is %d.", static_cast<int>(rv));              \
    QOVA_P11_FAIL_IF(CKR_OK != (rv), QovaP11Result(rv), call)

namespace p11detail {

// A module session as the composite operations use it.
struct TokenSession
{
    CK_FUNCTION_LIST* pFunctions;
    CK_SESSION_HANDLE hSession;
};

// How a prologue refuses a context without function list or session: the code and the step text
// of the function-list check.
struct SessionCtxChecks
{
    unsigned int nMissingCode;
    const char* pszListStep;
};

// The sign, digest, encrypt and decrypt operations: 0x80070058.
constexpr SessionCtxChecks kOperationChecks = {QOVA_E_MISSING_ARG, "Check pCkFunctionList"};
// The key-container operations: 0x80070057.
constexpr SessionCtxChecks kContainerChecks = {QOVA_E_INVALIDARG, "Check CkFunctionList"};

// The prologue of the composite operations, traced in the name pszFunc: the context and its module
// entry (0x80070057), then the function list and the session handle (as `checks` says).
inline unsigned int OpenSessionCtx(const char* pszFunc, void* pSessionCtx, TokenSession* pSession,
                                   const SessionCtxChecks& checks = kOperationChecks)
{
    const SessionCtx* pCtx = static_cast<const SessionCtx*>(pSessionCtx);
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pCtx || NULL == pCtx->pDylibInfo, QOVA_E_INVALIDARG, "Check SessionCtx");
    QOVA_P11_FAIL_IF_IN(pszFunc, NULL == pCtx->pDylibInfo->pCkFunctionList, checks.nMissingCode, checks.pszListStep);
    TRACE(3, "Session handle: 0x%08x", static_cast<unsigned int>(pCtx->hSession));
    QOVA_P11_FAIL_IF_IN(pszFunc, 0 == pCtx->hSession, checks.nMissingCode, "Check hSessionHandle");
    pSession->pFunctions = pCtx->pDylibInfo->pCkFunctionList;
    pSession->hSession = pCtx->hSession;
    return QOVA_OK;
}

// A wrapper's output length after a successful call: the text, then the number.
inline void TraceOutputLength(const char* pszText, const CK_ULONG* pulLength)
{
    if (NULL != pulLength)
        TRACE(3, "%s%d", pszText, static_cast<int>(*pulLength));
}

// The wrappers refuse arguments with 0x80070058 before they call the module; a mapped code comes
// from the module, whose failure has ended the operation already.
inline bool RefusedLocally(unsigned int nResult)
{
    return QOVA_E_MISSING_ARG == nResult;
}

// Ends an interrupted operation with its last call (a wrapper call taking an output buffer and its
// length): into a scratch buffer, or, when the token asks for more, into one of its size. What the
// token writes is cleared (it may be a decrypted key) and dropped.
template <class LastCall>
void FinishIntoScratch(LastCall lastCall)
{
    unsigned char byScratch[4096];
    CK_ULONG ulLength = sizeof(byScratch);
    unsigned int nResult = lastCall(byScratch, &ulLength);
    OPENSSL_cleanse(byScratch, sizeof(byScratch));
    if (QovaP11Result(CKR_BUFFER_TOO_SMALL) == nResult && ulLength <= kMaxOutputLength) {
        const CK_ULONG ulSize = ulLength;
        std::unique_ptr<unsigned char[]> scratch = NewZeroed<unsigned char>(ulSize);
        if (scratch) {
            nResult = lastCall(scratch.get(), &ulLength);
            OPENSSL_cleanse(scratch.get(), ulSize);
        }
    }
    TRACE(3, "Interrupted operation ended: 0x%08x", nResult);
}

// Step texts of an operation's last call.
struct OutputSteps
{
    const char* pszSize;        // the size query
    const char* pszData;        // the call into the buffer
    const char* pszSizeTrace;   // the size line's text before the number
};

// The two-call output of an operation's last call: the size query, a zeroed buffer of that size
// and nExtra bytes more, the call into it. Hands out the buffer (array new) and the length of the
// second call. bSecret: the output is cleared before a failed buffer is freed.
template <class LastCall>
unsigned int CallForOutput(const char* pszFunc, const OutputSteps& steps, LastCall lastCall, size_t nExtra,
                           bool bSecret, unsigned char** ppOutput, CK_ULONG* pulOutputLen)
{
    CK_ULONG ulSize = 0;
    unsigned int nResult = lastCall(NULL, &ulSize);
    QOVA_P11_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, steps.pszSize);
    TRACE(3, "%s%d", steps.pszSizeTrace, static_cast<int>(ulSize));

    // The size query left the operation active: every failure from here on must end it.
    if (QOVA_P11_STEP_FAILED_IN(pszFunc, ulSize > kMaxOutputLength, kBadModuleAnswer, "Check output size")) {
        FinishIntoScratch(lastCall);
        return kBadModuleAnswer;
    }
    const size_t nBufferSize = static_cast<size_t>(ulSize) + nExtra;
    std::unique_ptr<unsigned char[]> output = NewZeroed<unsigned char>(nBufferSize);
    if (QOVA_P11_STEP_FAILED_IN(pszFunc, !output, kNoHostMemory, "new output buffer")) {
        FinishIntoScratch(lastCall);
        return kNoHostMemory;
    }

    CK_ULONG ulLength = ulSize;
    nResult = lastCall(output.get(), &ulLength);
    // A module that now wants more than it announced keeps the operation active.
    const bool bTooSmall = QovaP11Result(CKR_BUFFER_TOO_SMALL) == nResult;
    if (QOVA_OK == nResult && ulLength > ulSize)
        nResult = kBadModuleAnswer;
    if (QOVA_P11_STEP_FAILED_IN(pszFunc, QOVA_OK != nResult, nResult, steps.pszData)) {
        if (bSecret)
            OPENSSL_cleanse(output.get(), nBufferSize);
        if (bTooSmall)
            FinishIntoScratch(lastCall);
        return nResult;
    }
    *ppOutput = output.release();
    *pulOutputLen = ulLength;
    return QOVA_OK;
}

}  // namespace p11detail

#endif
