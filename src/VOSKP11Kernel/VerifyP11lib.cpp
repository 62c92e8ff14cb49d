#include "VerifyP11lib.h"

#include "CertificateFields.h"
#include "ConfTrust.h"
#include "DylibInfo.h"
#include "KernelHolders.h"
#include "OpenSSLVerifyCertChain.h"
#include "RSADataSigning.h"
#include "TokenSvcDetail.h"
#include "VOSKMisc.h"

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using smkernel::X509Ptr;
using tokensvc::FilePtr;

namespace {

// Opens a file for reading without blocking, so that a FIFO planted at the path cannot hold the
// host in open() for good, and keeps it only when it is a regular file (and, with bTrustedOwner,
// one that no one but root or the user can write): nothing else is read.
FILE* OpenRegularFile(const char* pszPath, bool bTrustedOwner)
{
    const int fd = open(pszPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return NULL;
    struct stat st;
    FILE* fp = NULL;
    if (bTrustedOwner ? IsTrustedOpenFile(fd) : 0 == fstat(fd, &st) && S_ISREG(st.st_mode))
        fp = fdopen(fd, "rb");
    if (NULL == fp)
        close(fd);
    return fp;
}

// CheckP11Dylib's steps, traced under its name. With bVerify, *pnDylibFd receives a descriptor of
// the very module file that was verified; without, nothing is opened and it receives -1.
unsigned int CheckModuleFiles(const char* pszFunc, const char* pszDylibPath, bool bVerify,
                              const char** ppszCertChain, int nCertCount, int* pnDylibFd)
{
    char* pszSigPath = NULL;
    unsigned int nResult = ConstructSigFilePathbyDylibPath(pszDylibPath, &pszSigPath);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ConstructSigFilefromDylibPath");
    const std::unique_ptr<char[]> sigPath(pszSigPath);
    const char* pszDylibSigPath = sigPath.get();
    TOKENSVC_TRACE("pszDylibSigPath: %s", QovaTraceText(pszDylibSigPath).c_str());

    if (!bVerify) {
        QOVA_FAIL_IF_IN(pszFunc, 0 != access(pszDylibPath, R_OK), QOVA_E_FILE_NOT_FOUND, "Check Dylib exist");
        QOVA_FAIL_IF_IN(pszFunc, 0 != access(pszDylibSigPath, R_OK), QOVA_E_FILE_NOT_FOUND, "Check sigfile exist");
        *pnDylibFd = -1;
        return QOVA_OK;
    }

    // The module is opened once: what is verified here is what the caller loads, whatever the
    // path names by then.
    FilePtr dylib(OpenRegularFile(pszDylibPath, true));
    FILE* fpDylib = dylib.get();
    QOVA_FAIL_IF_IN(pszFunc, NULL == fpDylib, QOVA_E_OPEN_FAILED, "fopen(Dylib)");
    FilePtr dylibSig(OpenRegularFile(pszDylibSigPath, false));
    FILE* fpDylibSigFile = dylibSig.get();
    QOVA_FAIL_IF_IN(pszFunc, NULL == fpDylibSigFile, QOVA_E_OPEN_FAILED, "fopen(DylibSig)");
    nResult = VerifyP11Dylib(fpDylib, fpDylibSigFile, ppszCertChain, nCertCount);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "VerifyP11Dylib");

    // Above the standard streams, which a module entry never takes for its descriptor.
    const int nDylibFd = fcntl(fileno(fpDylib), F_DUPFD_CLOEXEC, 3);
    QOVA_FAIL_IF_IN(pszFunc, nDylibFd < 0, QOVA_E_OPEN_FAILED, "Keep Dylib");
    *pnDylibFd = nDylibFd;
    return QOVA_OK;
}

}  // namespace

unsigned int CheckP11Dylib(const char* pszDylibPath, bool bVerify, const char** ppszCertChain, int nCertCount)
{
    TraceHelper trace("CheckP11Dylib");
    int nDylibFd = -1;
    const unsigned int nResult =
        CheckModuleFiles(__func__, pszDylibPath, bVerify, ppszCertChain, nCertCount, &nDylibFd);
    if (nDylibFd >= 0)
        close(nDylibFd);
    return nResult;
}

unsigned int OpenVerifiedP11Dylib(const char* pszDylibPath, bool bVerify, const char** ppszCertChain,
                                  int nCertCount, int* pnDylibFd)
{
    // Traced as the check it is, so that a module's log reads the same whichever way it was checked.
    static const char kCheckFunc[] = "CheckP11Dylib";
    TraceHelper trace(kCheckFunc);
    QOVA_FAIL_IF_IN(kCheckFunc, NULL == pnDylibFd, QOVA_E_INVALIDARG, "Check pnDylibFd");
    return CheckModuleFiles(kCheckFunc, pszDylibPath, bVerify, ppszCertChain, nCertCount, pnDylibFd);
}

unsigned int VerifyP11Dylib(FILE* fpDylib, FILE* fpSigFile, const char** ppszCertChain, int nCertCount)
{
    TraceHelper trace("VerifyP11Dylib");
    TOKENSVC_TRACE("CertCount: %d", nCertCount);
    QOVA_FAIL_IF(NULL == fpDylib, QOVA_E_INVALIDARG, "Check Parameters(Dylib)");
    QOVA_FAIL_IF(NULL == fpSigFile, QOVA_E_INVALIDARG, "Check Parameters(SigDylib)");

    unsigned char* pbySigText = NULL;
    int nSigTextSize = 0;
    unsigned int nResult = ReadFileSimple(fpSigFile, &pbySigText, &nSigTextSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ReadSimpleFile");
    const std::unique_ptr<unsigned char[]> sigText(pbySigText);

    // ReadFileSimple ends the text with a zero byte; the verifier decodes up to it.
    unsigned char* pbySignerCert = NULL;
    int nSignerCertSize = 0;
    nResult = RSA_VerifyFileSignature_PKCS7Detached(reinterpret_cast<char*>(sigText.get()), fpDylib, &pbySignerCert,
                                                    &nSignerCertSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyFileSignature_PKCS7Detached");
    const std::unique_ptr<unsigned char[]> signerCert(pbySignerCert);

    X509Ptr signer;
    nResult = ConvertCertDataToX509(signerCert.get(), nSignerCertSize, signer.out());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertCertDataToX509");

    nResult = VerifyCertChainWithoutTime(signer.get(), ppszCertChain, nCertCount);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "VerifyCertChainWithoutTime");
    return QOVA_OK;
}
