#include "OpenSSLVerifyCertChain.h"

#include "Base64.h"
#include "CertificateFields.h"
#include "KernelHolders.h"
#include "SMVerify.h"
#include "TokenSvcDetail.h"

#include <cstring>
#include <memory>

using smkernel::X509Ptr;
using smkernel::X509StoreCtxPtr;
using smkernel::X509StorePtr;

namespace {

// The context's own callback while X509_verify_cert_ex runs; the trace callback hands every
// report on to it, so the verification's outcome is the one the caller's callback decides.
thread_local X509_STORE_CTX_verify_cb t_pfnCallerVerifyCb = NULL;

// One line per reported depth: which certificate the walk is at, and what it found there.
int TraceVerifyCb(int nOk, X509_STORE_CTX* ctx)
{
    const int nError = X509_STORE_CTX_get_error(ctx);
    TOKENSVC_TRACE("depth %d: ok %d, error %d (%s)", X509_STORE_CTX_get_error_depth(ctx), nOk, nError,
                   X509_verify_cert_error_string(nError));
    return NULL != t_pfnCallerVerifyCb ? t_pfnCallerVerifyCb(nOk, ctx) : nOk;
}

// Puts the caller's callback back on every path.
struct VerifyCbRestore
{
    X509_STORE_CTX* ctx;
    X509_STORE_CTX_verify_cb pfnPrevious;
    ~VerifyCbRestore()
    {
        X509_STORE_CTX_set_verify_cb(ctx, t_pfnCallerVerifyCb);
        t_pfnCallerVerifyCb = pfnPrevious;
    }
};

}  // namespace

int X509_verify_cert_ex(X509_STORE_CTX* ctx, bool bCheckTime)
{
    TraceHelper trace("X509_verify_cert_ex");
    if (NULL == ctx) {
        QOVA_TRACE_STEP_FAILED("Check ctx", QOVA_E_INVALIDARG, "NULL == ctx");
        return -1;
    }
    if (!bCheckTime)
        X509_VERIFY_PARAM_set_flags(X509_STORE_CTX_get0_param(ctx), X509_V_FLAG_NO_CHECK_TIME);
    // Without a verification function the library walks the signatures itself.
    X509_STORE_CTX_set_verify(ctx, NULL);

    VerifyCbRestore restore{ctx, t_pfnCallerVerifyCb};
    t_pfnCallerVerifyCb = X509_STORE_CTX_get_verify_cb(ctx);
    X509_STORE_CTX_set_verify_cb(ctx, TraceVerifyCb);
    const int nResult = X509_verify_cert(ctx);
    TOKENSVC_TRACE("X509_verify_cert: %d, error %d", nResult, X509_STORE_CTX_get_error(ctx));
    return nResult;
}

unsigned int VerifyCertChainWithoutTime(X509* pX509Cert, const char** ppszCertChain, int nCertCount)
{
    TraceHelper trace("VerifyCertChainWithoutTime");
    QOVA_FAIL_IF(NULL == pX509Cert, QOVA_E_INVALIDARG, "Check pX509Cert");
    QOVA_FAIL_IF(nCertCount > 0 && NULL == ppszCertChain, QOVA_E_INVALIDARG, "Check ppszCertChain");

    X509StorePtr store(SM_X509_STORE_new());
    X509_STORE* pX509Store = store.get();
    QOVA_FAIL_IF_SSL(NULL == pX509Store, QOVA_E_INTERNAL, "X509_STORE_new");

    // An entry that cannot be read is left out; the others may still anchor the chain.
    for (int i = 0; i < nCertCount; ++i) {
        const char* pszCert = ppszCertChain[i];
        const int nTextLength = NULL == pszCert ? 0 : static_cast<int>(strnlen(pszCert, 0x7FFFFFFF));
        unsigned char* pbyDER = NULL;
        int nDERSize = 0;
        unsigned int nResult = Base64DecodeEx(pszCert, nTextLength, &pbyDER, &nDERSize);
        if (QOVA_OK != nResult) {
            TOKENSVC_TRACE("Base64DecodeEx(%d) Error: 0x%08x", i, nResult);
            continue;
        }
        std::unique_ptr<unsigned char[]> der(pbyDER);
        X509Ptr cert;
        nResult = ConvertCertDataToX509(der.get(), nDERSize, cert.out());
        if (QOVA_OK != nResult) {
            TOKENSVC_TRACE("ConvertCertDataToX509(%d) Error: 0x%08x", i, nResult);
            continue;
        }
        const int nAdded = X509_STORE_add_cert(pX509Store, cert.get());
        if (1 != nAdded)
            TOKENSVC_TRACE("X509_STORE_add_cert(%d) Error: %d", i, nAdded);
    }

    X509StoreCtxPtr storeCtx(X509_STORE_CTX_new());
    X509_STORE_CTX* pX509StoreCtx = storeCtx.get();
    QOVA_FAIL_IF_SSL(NULL == pX509StoreCtx, QOVA_E_FAIL, "X509_STORE_CTX_new");
    int nResult = SM_X509_STORE_CTX_init(pX509StoreCtx, pX509Store, pX509Cert, NULL);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "X509_STORE_CTX_init");
    nResult = X509_verify_cert_ex(pX509StoreCtx, false);
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "X509_verify_cert_ex");
    return QOVA_OK;
}
