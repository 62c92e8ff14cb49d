// PKCS#1 v1.5 signatures of data and files with software RSA keys, and their verification.
#include "RSADataSigning.h"

#include "Base64.h"
#include "CertificateValidation.h"
#include "DerStructureDetail.h"
#include "Digest.h"
#include "KernelHolders.h"
#include "PKCS7SignedDataOperations.h"
#include "QovaTrace.h"
#include "SslTraceDetail.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

using Bytes = std::unique_ptr<unsigned char[]>;
using Text = std::unique_ptr<char[]>;
using der_detail::BadBuffer;
using smkernel::EvpPkeyCtxPtr;

// The DER DigestInfo of a digest: the identifier of nHashID, with NULL parameters or with none, and
// the digest. Built here and handed to a bare PKCS#1 v1.5 operation because the library's RSA
// signature takes only the digests on its own list, and SM3 is not on it. False when nHashID has
// no identifier or the library fails.
bool EncodeDigestInfo(int nHashID, const unsigned char* pbyHash, int nHashSize, bool bNullParameters,
                      smkernel::OpenSslBytesPtr& der, int& nDerSize)
{
    ASN1_OBJECT* pObject = OBJ_nid2obj(nHashID);
    smkernel::X509SigPtr digestInfo(X509_SIG_new());
    if (nullptr == pObject || 0 == OBJ_length(pObject) || !digestInfo)
        return false;
    X509_ALGOR* pAlgorithm = nullptr;
    ASN1_OCTET_STRING* pDigest = nullptr;
    X509_SIG_getm(digestInfo.get(), &pAlgorithm, &pDigest);
    if (1 != X509_ALGOR_set0(pAlgorithm, pObject, bNullParameters ? V_ASN1_NULL : V_ASN1_UNDEF, nullptr) ||
        1 != ASN1_OCTET_STRING_set(pDigest, pbyHash, nHashSize))
        return false;
    unsigned char* pbyDer = nullptr;
    const int nLength = i2d_X509_SIG(digestInfo.get(), &pbyDer);
    der.reset(pbyDer);
    if (nLength <= 0)
        return false;
    nDerSize = nLength;
    return true;
}

// Whether a recovered block is the DigestInfo of the digest, with NULL parameters or with none
// (signers differ on that, and both forms are in use).
bool IsDigestInfoOf(const unsigned char* pbyBlock, size_t nBlockSize, int nHashID, const unsigned char* pbyHash,
                    int nHashSize)
{
    for (const bool bNullParameters : {true, false}) {
        smkernel::OpenSslBytesPtr der;
        int nDerSize = 0;
        if (EncodeDigestInfo(nHashID, pbyHash, nHashSize, bNullParameters, der, nDerSize) &&
            static_cast<size_t>(nDerSize) == nBlockSize && 0 == memcmp(der.get(), pbyBlock, nBlockSize))
            return true;
    }
    return false;
}

// A context for a bare PKCS#1 v1.5 operation (block type 1 padding, no digest of its own): signing,
// or recovering the signed block. Null when the key is not RSA or the library refuses a setting.
EVP_PKEY_CTX* NewPKCS1Context(EVP_PKEY* pKey, bool bSign)
{
    if (!EVP_PKEY_is_a(pKey, "RSA"))
        return nullptr;
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(pKey, nullptr));
    if (!ctx || 1 != (bSign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_recover_init(ctx.get())) ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
        return nullptr;
    return ctx.release();
}

// The signature of a digest, in a zeroed buffer as long as the key's modulus; traced in the name of
// the signing function pszFunc.
unsigned int SignDigest(const char* pszFunc, EVP_PKEY* pPrivateKey, int nHashID, const unsigned char* pbyHash,
                        int nHashSize, Bytes& signature, size_t& nSignatureSize)
{
    const int nKeySize = EVP_PKEY_get_size(pPrivateKey);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, nKeySize <= 0, QOVA_E_FAIL, "RSA_size");
    Bytes buffer(new (std::nothrow) unsigned char[nKeySize]());
    QOVA_FAIL_IF_IN(pszFunc, NULL == buffer, QOVA_E_FAIL, "New memory");

    smkernel::OpenSslBytesPtr digestInfo;
    int nDigestInfoSize = 0;
    EvpPkeyCtxPtr ctx(NewPKCS1Context(pPrivateKey, true));
    size_t nLength = static_cast<size_t>(nKeySize);
    const int nResult = ctx && EncodeDigestInfo(nHashID, pbyHash, nHashSize, true, digestInfo, nDigestInfoSize)
                            ? EVP_PKEY_sign(ctx.get(), buffer.get(), &nLength, digestInfo.get(),
                                            static_cast<size_t>(nDigestInfoSize))
                            : 0;
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, 1 != nResult, QOVA_E_FAIL, "RSA_sign");
    signature = std::move(buffer);
    nSignatureSize = nLength;
    return QOVA_OK;
}

// Checks the signature of a digest with the certificate's RSA key.
unsigned int VerifyDigest(const char* pszFunc, X509* pX509, int nHashID, const unsigned char* pbyHash, int nHashSize,
                          const unsigned char* pbySignature, int nSignatureSize)
{
    EVP_PKEY* pEvpPubKey = X509_get0_pubkey(pX509);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pEvpPubKey, QOVA_E_FAIL, "X509_get_pubkey");
    EVP_PKEY* pRsaPubKey = EVP_PKEY_is_a(pEvpPubKey, "RSA") ? pEvpPubKey : NULL;
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pRsaPubKey, QOVA_E_FAIL, "EVP_PKEY_get1_RSA");

    const int nKeySize = EVP_PKEY_get_size(pRsaPubKey);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, nKeySize <= 0, QOVA_E_FAIL, "RSA_size");
    Bytes block(new (std::nothrow) unsigned char[nKeySize]());
    QOVA_FAIL_IF_IN(pszFunc, NULL == block, QOVA_E_FAIL, "New memory");

    // The signature is exactly as long as the modulus: the bare operation would take a shorter one
    // as a smaller number.
    EvpPkeyCtxPtr ctx(NewPKCS1Context(pRsaPubKey, false));
    size_t nBlockSize = static_cast<size_t>(nKeySize);
    int nResult = ctx && nSignatureSize == nKeySize
                      ? EVP_PKEY_verify_recover(ctx.get(), block.get(), &nBlockSize, pbySignature,
                                                static_cast<size_t>(nSignatureSize))
                      : 0;
    if (1 == nResult && !IsDigestInfoOf(block.get(), nBlockSize, nHashID, pbyHash, nHashSize))
        nResult = 0;
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, 1 != nResult, QOVA_E_BAD_SIGNATURE, "RSA_verify");
    return QOVA_OK;
}

// The private key of a PKCS#12 file whose certificate allows digital signatures; it must be RSA.
unsigned int OpenPFXSigningKey(const char* pszFunc, FILE* fpPFXFile, const char* pszPFXPassword,
                               smkernel::EvpPkeyPtr& privateKey, smkernel::X509Ptr* certificate = nullptr)
{
    EVP_PKEY* pPrivKey = nullptr;
    X509* pX509 = nullptr;
    unsigned int nResult = ParsePFXFile(fpPFXFile, const_cast<char*>(pszPFXPassword), &pPrivKey, &pX509, NULL);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ParsePFXFile");
    smkernel::EvpPkeyPtr key(pPrivKey);
    smkernel::X509Ptr cert(pX509);

    nResult = CheckX509KeyUsage(pX509, CERT_KU_DIGITAL_SIGNATURE, true);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "CheckX509KeyUsage");

    EVP_PKEY* pRsaPrivKey = EVP_PKEY_is_a(pPrivKey, "RSA") ? pPrivKey : NULL;
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pRsaPrivKey, QOVA_E_FAIL, "EVP_PKEY_get1_RSA");
    privateKey = std::move(key);
    if (nullptr != certificate)
        *certificate = std::move(cert);
    return QOVA_OK;
}

constexpr char kSignedDataOID[] = "1.2.840.113549.1.7.2";
constexpr char kDataOID[] = "1.2.840.113549.1.7.1";

// A DER certificate as the verification layers read it: DER only, any failure QOVA_E_FAIL.
unsigned int ReadDERCert(const char* pszFunc, unsigned char* pbyCert, int nCertSize, smkernel::X509Ptr& cert)
{
    const unsigned char* p = pbyCert;
    X509* pPubCert = (NULL != pbyCert && nCertSize > 0) ? d2i_X509(NULL, &p, nCertSize) : NULL;
    cert.reset(pPubCert);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pPubCert, QOVA_E_FAIL, "d2i_X509");
    return QOVA_OK;
}

// A whole Base64 text decoded into a new[] buffer; the step names the text decoded.
unsigned int DecodeBase64Text(const char* pszFunc, const char* pszStep, const char* pszText, Bytes& data, int& nSize)
{
    unsigned char* pbyData = nullptr;
    const unsigned int nResult = Base64DecodeEx(pszText, static_cast<int>(strlen(pszText)), &pbyData, &nSize);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, pszStep);
    data.reset(pbyData);
    return QOVA_OK;
}

}  // namespace

unsigned int RSA_SignData_PKCS1_ByPrivateKey(unsigned char* pbySourceData, int nSourceDataSize, EVP_PKEY* pPrivateKey,
                                             int nHashID, unsigned char** ppbySignature, int* pnSignatureSize)
{
    QOVA_FAIL_IF(BadBuffer(pbySourceData, nSourceDataSize) || NULL == pPrivateKey || NULL == ppbySignature ||
                     NULL == pnSignatureSize,
                 QOVA_E_INVALIDARG, "Check parameter");

    unsigned char* pbyHash = nullptr;
    int nHashSize = 0;
    unsigned int nResult = CalculateDataHash(pbySourceData, nSourceDataSize, nHashID, &pbyHash, &nHashSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CalculateDataHash");
    const Bytes hash(pbyHash);

    Bytes signature;
    size_t nSignatureSize = 0;
    nResult = SignDigest(__func__, pPrivateKey, nHashID, pbyHash, nHashSize, signature, nSignatureSize);
    if (QOVA_OK != nResult)
        return nResult;
    *ppbySignature = signature.release();
    *pnSignatureSize = static_cast<int>(nSignatureSize);
    return QOVA_OK;
}

unsigned int RSA_SignData_PKCS1_ByPFX(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpPFXFile,
                                      const char* pszPFXPassword, int nHashID, unsigned char** ppbySignature,
                                      int* pnSignatureSize)
{
    QOVA_FAIL_IF(NULL == fpPFXFile, QOVA_E_INVALIDARG, "Check parameter");
    smkernel::EvpPkeyPtr key;
    unsigned int nResult = OpenPFXSigningKey(__func__, fpPFXFile, pszPFXPassword, key);
    if (QOVA_OK != nResult)
        return nResult;
    nResult = RSA_SignData_PKCS1_ByPrivateKey(pbySourceData, nSourceDataSize, key.get(), nHashID, ppbySignature,
                                              pnSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_SignData_PKCS1_ByPrivateKey");
    return QOVA_OK;
}

unsigned int RSA_SignData_PKCS1(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpPFXFile,
                                const char* pszPFXPassword, int nHashID, unsigned long dwFlags,
                                char** ppszBase64Signature, int* pnBase64SignatureSize)
{
    QOVA_FAIL_IF(NULL == ppszBase64Signature, QOVA_E_INVALIDARG, "Check parameter");
    unsigned char* pbySignature = nullptr;
    int nSignatureSize = 0;
    unsigned int nResult = RSA_SignData_PKCS1_ByPFX(pbySourceData, nSourceDataSize, fpPFXFile, pszPFXPassword,
                                                    nHashID, &pbySignature, &nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_SignData_PKCS1_ByPFX");
    const Bytes signature(pbySignature);

    char* pszBase64 = nullptr;
    int nBase64Length = 0;
    nResult = Base64EncodeEx(pbySignature, nSignatureSize, &pszBase64, &nBase64Length, dwFlags);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64EncodeEx");
    *ppszBase64Signature = pszBase64;
    if (NULL != pnBase64SignatureSize)
        *pnBase64SignatureSize = nBase64Length;
    return QOVA_OK;
}

unsigned int RSA_SignFile_PKCS1_ByPrivateKey(FILE* fpSourceFile, EVP_PKEY* pPrivateKey, int nHashID,
                                             unsigned char** ppbySignature, unsigned int* pnSignatureSize)
{
    QOVA_FAIL_IF(NULL == fpSourceFile || NULL == pPrivateKey || NULL == ppbySignature || NULL == pnSignatureSize,
                 QOVA_E_INVALIDARG, "Check parameter");

    unsigned char* pbyHash = nullptr;
    int nHashSize = 0;
    unsigned int nResult = CalculateFileHash(fpSourceFile, nHashID, &pbyHash, &nHashSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CalculateFileHash");
    const Bytes hash(pbyHash);

    Bytes signature;
    size_t nSignatureSize = 0;
    nResult = SignDigest(__func__, pPrivateKey, nHashID, pbyHash, nHashSize, signature, nSignatureSize);
    if (QOVA_OK != nResult)
        return nResult;
    *ppbySignature = signature.release();
    *pnSignatureSize = static_cast<unsigned int>(nSignatureSize);
    return QOVA_OK;
}

unsigned int RSA_SignFile_PKCS1_ByPFX(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPFXPassword, int nHashID,
                                      unsigned char** ppbySignature, unsigned int* pnSignatureSize)
{
    QOVA_FAIL_IF(NULL == fpSourceFile || NULL == fpPFXFile, QOVA_E_INVALIDARG, "Check parameter");
    smkernel::EvpPkeyPtr key;
    unsigned int nResult = OpenPFXSigningKey(__func__, fpPFXFile, pszPFXPassword, key);
    if (QOVA_OK != nResult)
        return nResult;
    nResult = RSA_SignFile_PKCS1_ByPrivateKey(fpSourceFile, key.get(), nHashID, ppbySignature, pnSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_SignFile_PKCS1_ByPrivateKey");
    return QOVA_OK;
}

unsigned int RSA_SignFile_PKCS1(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPFXPassword, int nHashID,
                                unsigned long dwFlags, char** ppszBase64Signature)
{
    QOVA_FAIL_IF(NULL == ppszBase64Signature, QOVA_E_INVALIDARG, "Check parameter");
    unsigned char* pbySignature = nullptr;
    unsigned int nSignatureSize = 0;
    unsigned int nResult = RSA_SignFile_PKCS1_ByPFX(fpSourceFile, fpPFXFile, pszPFXPassword, nHashID, &pbySignature,
                                                    &nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_SignFile_PKCS1_ByPFX");
    const Bytes signature(pbySignature);

    char* pszBase64 = nullptr;
    nResult = Base64EncodeEx(pbySignature, static_cast<int>(nSignatureSize), &pszBase64, NULL, dwFlags);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64EncodeEx");
    *ppszBase64Signature = pszBase64;
    return QOVA_OK;
}

unsigned int RSA_VerifyDataSignature_PKCS1_ByX509(unsigned char* pbySourceData, int nSourceDataSize, X509* pX509,
                                                  int nHashID, unsigned char* pbySignature, int nSignatureSize)
{
    QOVA_FAIL_IF(BadBuffer(pbySourceData, nSourceDataSize) || NULL == pX509 ||
                     BadBuffer(pbySignature, nSignatureSize),
                 QOVA_E_INVALIDARG, "Check parameter");

    unsigned char* pbyHash = nullptr;
    int nHashSize = 0;
    const unsigned int nResult = CalculateDataHash(pbySourceData, nSourceDataSize, nHashID, &pbyHash, &nHashSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, QOVA_E_FAIL, "CalculateDataHash");
    const Bytes hash(pbyHash);
    return VerifyDigest(__func__, pX509, nHashID, pbyHash, nHashSize, pbySignature, nSignatureSize);
}

unsigned int RSA_VerifyDataSignature_DERPKCS1_ByDERCert(unsigned char* pbySourceData, int nSourceDataSize,
                                                        unsigned char* pbyCert, int nCertSize, int nHashID,
                                                        unsigned char* pbySignature, int nSignatureSize)
{
    smkernel::X509Ptr cert;
    unsigned int nResult = ReadDERCert(__func__, pbyCert, nCertSize, cert);
    if (QOVA_OK != nResult)
        return nResult;
    nResult = RSA_VerifyDataSignature_PKCS1_ByX509(pbySourceData, nSourceDataSize, cert.get(), nHashID, pbySignature,
                                                   nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyDataSignature_PKCS1_ByX509");
    return QOVA_OK;
}

unsigned int RSA_VerifyDataSignature_PKCS1(unsigned char* pbySourceData, int nSourceDataSize,
                                           const char* pszBase64CertContent, int nHashID,
                                           const char* pszBase64Signature)
{
    QOVA_FAIL_IF(NULL == pszBase64CertContent || NULL == pszBase64Signature, QOVA_E_INVALIDARG, "Check parameter");

    Bytes cert, signature;
    int nCertSize = 0, nSignatureSize = 0;
    unsigned int nResult =
        DecodeBase64Text(__func__, "Base64DecodeEx(pszBase64CertContent)", pszBase64CertContent, cert, nCertSize);
    if (QOVA_OK != nResult)
        return nResult;
    nResult = DecodeBase64Text(__func__, "Base64DecodeEx(pszBase64Signature)", pszBase64Signature, signature,
                               nSignatureSize);
    if (QOVA_OK != nResult)
        return nResult;

    nResult = RSA_VerifyDataSignature_DERPKCS1_ByDERCert(pbySourceData, nSourceDataSize, cert.get(), nCertSize,
                                                         nHashID, signature.get(), nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyDataSignature_DERPKCS1_ByDERCert");
    return QOVA_OK;
}

unsigned int RSA_VerifyFileSignature_PKCS1_ByX509(FILE* fpSourceFile, X509* pX509, int nHashID,
                                                  unsigned char* pbySignature, int nSignatureSize)
{
    QOVA_FAIL_IF(NULL == fpSourceFile || NULL == pX509 || BadBuffer(pbySignature, nSignatureSize), QOVA_E_INVALIDARG,
                 "Check parameter");

    unsigned char* pbyHash = nullptr;
    int nHashSize = 0;
    const unsigned int nResult = CalculateFileHash(fpSourceFile, nHashID, &pbyHash, &nHashSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CalculateFileHash");
    const Bytes hash(pbyHash);
    return VerifyDigest(__func__, pX509, nHashID, pbyHash, nHashSize, pbySignature, nSignatureSize);
}

unsigned int RSA_VerifyFileSignature_PKCS1_ByDERCertContent(FILE* fpSourceFile, unsigned char* pbyCert, int nCertSize,
                                                            int nHashID, unsigned char* pbySignature,
                                                            int nSignatureSize)
{
    smkernel::X509Ptr cert;
    unsigned int nResult = ReadDERCert(__func__, pbyCert, nCertSize, cert);
    if (QOVA_OK != nResult)
        return nResult;
    nResult = RSA_VerifyFileSignature_PKCS1_ByX509(fpSourceFile, cert.get(), nHashID, pbySignature, nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyFileSignature_PKCS1_ByX509");
    return QOVA_OK;
}

unsigned int RSA_VerifyFileSignature_PKCS1(FILE* fpSourceFile, const char* pszBase64CertContent, int nHashID,
                                           const char* pszBase64Signature)
{
    QOVA_FAIL_IF(NULL == pszBase64CertContent || NULL == pszBase64Signature, QOVA_E_INVALIDARG, "Check parameter");

    Bytes cert, signature;
    int nCertSize = 0, nSignatureSize = 0;
    unsigned int nResult = DecodeBase64Text(__func__, "Base64DecodeEx(CertContent)", pszBase64CertContent, cert,
                                            nCertSize);
    if (QOVA_OK != nResult)
        return nResult;
    nResult = DecodeBase64Text(__func__, "Base64DecodeEx(Signature)", pszBase64Signature, signature,
                               nSignatureSize);
    if (QOVA_OK != nResult)
        return nResult;

    nResult = RSA_VerifyFileSignature_PKCS1_ByDERCertContent(fpSourceFile, cert.get(), nCertSize, nHashID,
                                                             signature.get(), nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyFileSignature_PKCS1_ByCertContent");
    return QOVA_OK;
}

unsigned int RSA_SignFile_PKCS7Detached_ByPFX(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPFXPassword,
                                              int nHashID, bool bAccurateDigestEncryptionAlgorithm,
                                              unsigned char** ppbyPKCS7Signature, int* pnPKCS7SignatureSize)
{
    QOVA_FAIL_IF(NULL == fpSourceFile, QOVA_E_INVALIDARG, "check parameters(SourceFile).");
    QOVA_FAIL_IF(NULL == fpPFXFile, QOVA_E_INVALIDARG, "check parameters(PFXFile).");
    QOVA_FAIL_IF(NULL == ppbyPKCS7Signature || NULL == pnPKCS7SignatureSize, QOVA_E_INVALIDARG, "Check parameter");

    // A digest without identifiers fails before the PKCS#12 file is read.
    char* pszDigestOID = nullptr;
    char* pszSignatureOID = nullptr;
    unsigned int nResult =
        GetAlgOIDbyHashNID(nHashID, &pszDigestOID, &pszSignatureOID, bAccurateDigestEncryptionAlgorithm);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetAlgOIDbyHashNID");
    const Text digestOID(pszDigestOID);
    const Text signatureOID(pszSignatureOID);

    smkernel::EvpPkeyPtr key;
    smkernel::X509Ptr cert;
    nResult = OpenPFXSigningKey(__func__, fpPFXFile, pszPFXPassword, key, &cert);
    if (QOVA_OK != nResult)
        return nResult;

    unsigned char* pbySignature = nullptr;
    unsigned int nSignatureSize = 0;
    nResult = RSA_SignFile_PKCS1_ByPrivateKey(fpSourceFile, key.get(), nHashID, &pbySignature, &nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_SignFile_PKCS1_ByPrivateKey");
    const Bytes signature(pbySignature);

    unsigned char* pbyDERPubCert = nullptr;
    const int nDERPubCertSize = i2d_X509(cert.get(), &pbyDERPubCert);
    const smkernel::OpenSslBytesPtr derPubCert(pbyDERPubCert);
    QOVA_FAIL_IF_SSL(nDERPubCertSize <= 0, QOVA_E_FAIL, "i2d_X509");

    unsigned char* pbyPKCS7 = nullptr;
    int nPKCS7Size = 0;
    nResult = Encode_PKCS7Signature(pbyDERPubCert, nDERPubCertSize, NULL, 0, NULL, false, kSignedDataOID, kDataOID,
                                    pszDigestOID, NULL, pszSignatureOID, pbySignature,
                                    static_cast<int>(nSignatureSize), SIGNATURE_ENCODED_OCTET_STRING, NULL, &pbyPKCS7,
                                    &nPKCS7Size, NULL, NULL);
    QOVA_FAIL_IF(nResult != QOVA_OK, nResult, "Encode_PKCS7Signature");
    *ppbyPKCS7Signature = pbyPKCS7;
    *pnPKCS7SignatureSize = nPKCS7Size;
    return QOVA_OK;
}

unsigned int RSA_SignFile_PKCS7Detached(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPFXPassword, int nHashID,
                                        bool bAccurateDigestEncryptionAlgorithm, unsigned long dwFlags,
                                        char** ppszBase64PKCS7Signature)
{
    QOVA_FAIL_IF(NULL == fpSourceFile, QOVA_E_INVALIDARG, "check parameters(SourceFile).");
    QOVA_FAIL_IF(NULL == fpPFXFile, QOVA_E_INVALIDARG, "check parameters(PFXFile).");
    QOVA_FAIL_IF(NULL == ppszBase64PKCS7Signature, QOVA_E_INVALIDARG, "Check parameter");

    unsigned char* pbyPKCS7 = nullptr;
    int nPKCS7Size = 0;
    unsigned int nResult = RSA_SignFile_PKCS7Detached_ByPFX(fpSourceFile, fpPFXFile, pszPFXPassword, nHashID,
                                                            bAccurateDigestEncryptionAlgorithm, &pbyPKCS7, &nPKCS7Size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_SignFile_PKCS7Detached_ByPFX");
    const Bytes pkcs7(pbyPKCS7);

    char* pszBase64 = nullptr;
    nResult = Base64EncodeEx(pbyPKCS7, nPKCS7Size, &pszBase64, NULL, dwFlags);
    QOVA_FAIL_IF(nResult != QOVA_OK, nResult, "Base64EncodeEx");
    *ppszBase64PKCS7Signature = pszBase64;
    return QOVA_OK;
}

unsigned int RSA_VerifyFileSignature_DERPKCS7Detached(unsigned char* pbyPKCS7DetachedSignature,
                                                      int nPKCS7DetachedSignatureSize, FILE* fpSourceFile,
                                                      unsigned char** ppbySignerCert, int* pnSignerCertSize)
{
    QOVA_FAIL_IF(NULL == fpSourceFile, QOVA_E_INVALIDARG, "check parameters(SourceFile).");

    unsigned char* pbyCert = nullptr;
    int nCertSize = 0;
    unsigned char* pbySignature = nullptr;
    int nSignatureSize = 0;
    unsigned char* pbySource = nullptr;
    int nSourceSize = 0;
    char* pszDigestOID = nullptr;
    int nDigestOIDSize = 0;
    unsigned int nResult = ParsePKCS7Signature(pbyPKCS7DetachedSignature, nPKCS7DetachedSignatureSize, &pbyCert,
                                               &nCertSize, &pbySignature, &nSignatureSize, &pbySource, &nSourceSize,
                                               &pszDigestOID, &nDigestOIDSize, NULL, NULL, NULL, NULL, NULL, NULL, 1);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ParsePKCS7Signature");
    Bytes cert(pbyCert);
    const Bytes signature(pbySignature);
    const Bytes source(pbySource);
    const Text digestOID(pszDigestOID);

    QOVA_FAIL_IF(NULL != pbySource || 0 != nSourceSize, QOVA_E_PKCS7_SHAPE, "Check PKCS7 attached signature");

    const int nHashID = NULL != pszDigestOID ? OBJ_txt2nid(pszDigestOID) : NID_undef;
    QOVA_FAIL_IF_SSL(NID_undef == nHashID, QOVA_E_PKCS7_SHAPE, "OBJ_txt2nid");

    nResult = RSA_VerifyFileSignature_PKCS1_ByDERCertContent(fpSourceFile, pbyCert, nCertSize, nHashID, pbySignature,
                                                             nSignatureSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyFileSignature_PKCS1_ByCertContent");

    if (NULL != ppbySignerCert)
        *ppbySignerCert = cert.release();
    if (NULL != pnSignerCertSize)
        *pnSignerCertSize = nCertSize;
    return QOVA_OK;
}

unsigned int RSA_VerifyFileSignature_PKCS7Detached(const char* pszBase64PKCS7DetachedSignature, FILE* fpSourceFile,
                                                   unsigned char** ppbySignerCert, int* pnSignerCertSize)
{
    QOVA_FAIL_IF(NULL == pszBase64PKCS7DetachedSignature, QOVA_E_INVALIDARG, "Check parameter");
    QOVA_FAIL_IF(NULL == fpSourceFile, QOVA_E_INVALIDARG, "check parameters(SourceFile).");

    Bytes pkcs7;
    int nPKCS7Size = 0;
    unsigned int nResult = DecodeBase64Text(__func__, "Base64DecodeEx(pszBase64PKCS7DetachedSignature)",
                                            pszBase64PKCS7DetachedSignature, pkcs7, nPKCS7Size);
    if (QOVA_OK != nResult)
        return nResult;

    nResult = RSA_VerifyFileSignature_DERPKCS7Detached(pkcs7.get(), nPKCS7Size, fpSourceFile, ppbySignerCert,
                                                       pnSignerCertSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_VerifyFileSignature_DERPKCS7Detached");
    return QOVA_OK;
}
