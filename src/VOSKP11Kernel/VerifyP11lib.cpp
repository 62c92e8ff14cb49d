#include "VerifyP11lib.h"

#include "CertificateFields.h"
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
// host in open() for good, and keeps it only when it is a regular file: nothing else is read.
FILE* OpenRegularFile(const char* pszPath)
{
    const int fd = open(pszPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return NULL;
    struct stat st;
    FILE* fp = NULL;
    if (0 == fstat(fd, &st) && S_ISREG(st.st_mode))
        fp = fdopen(fd, "rb");
    if (NULL == fp)
        close(fd);
    return fp;
}

}  // namespace

unsigned int CheckP11Dylib(const char* pszDylibPath, bool bVerify, const char** ppszCertChain, int nCertCount)
{
    TraceHelper trace("CheckP11Dylib");
    char* pszSigPath = NULL;
    unsigned int nResult = ConstructSigFilePathbyDylibPath(pszDylibPath, &pszSigPath);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructSigFilefromDylibPath");
    const std::unique_ptr<char[]> sigPath(pszSigPath);
    const char* pszDylibSigPath = sigPath.get();
    TOKENSVC_TRACE("pszDylibSigPath: %s", QovaTraceText(pszDylibSigPath).c_str());

    if (!bVerify) {
        QOVA_FAIL_IF(0 != access(pszDylibPath, R_OK), QOVA_E_FILE_NOT_FOUND, "Check Dylib exist");
        QOVA_FAIL_IF(0 != access(pszDylibSigPath, R_OK), QOVA_E_FILE_NOT_FOUND, "Check sigfile exist");
        return QOVA_OK;
    }

    FilePtr dylib(OpenRegularFile(pszDylibPath));
    FILE* fpDylib = dylib.get();
    QOVA_FAIL_IF(NULL == fpDylib, QOVA_E_OPEN_FAILED, "fopen(Dylib)");
    FilePtr dylibSig(OpenRegularFile(pszDylibSigPath));
    FILE* fpDylibSigFile = dylibSig.get();
    QOVA_FAIL_IF(NULL == fpDylibSigFile, QOVA_E_OPEN_FAILED, "fopen(DylibSig)");
    nResult = VerifyP11Dylib(fpDylib, fpDylibSigFile, ppszCertChain, nCertCount);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "VerifyP11Dylib");
    return QOVA_OK;
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
