// SM2 key container: the SM2_PFX structure, built from a certificate, a private key and a PIN,
// parsed, and opened with the PIN.
#include "SM2KeyContainer.h"

#include "CertificateFields.h"
#include "QovaTrace.h"
#include "SM2CertHelpers.h"
#include "SM2SM4Data.h"
#include "KernelHolders.h"
#include "SMRegistry.h"

#include <openssl/asn1t.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

ASN1_SEQUENCE(SM2_PRIVATE_DATA) = {
    ASN1_SIMPLE(SM2_PRIVATE_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(SM2_PRIVATE_DATA, dataEncryptedAlg, ASN1_OBJECT),
    ASN1_SIMPLE(SM2_PRIVATE_DATA, encryptedSM2PrivateKey, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2_PRIVATE_DATA)

ASN1_SEQUENCE(SM2_PUBLIC_DATA) = {
    ASN1_SIMPLE(SM2_PUBLIC_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(SM2_PUBLIC_DATA, SM2Certificate, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2_PUBLIC_DATA)

ASN1_SEQUENCE(SM2_PFX) = {
    ASN1_SIMPLE(SM2_PFX, version, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_PFX, privateData, SM2_PRIVATE_DATA),
    ASN1_SIMPLE(SM2_PFX, publicData, SM2_PUBLIC_DATA),
} ASN1_SEQUENCE_END(SM2_PFX)

IMPLEMENT_ASN1_FUNCTIONS(SM2_PRIVATE_DATA)
IMPLEMENT_ASN1_FUNCTIONS(SM2_PUBLIC_DATA)
IMPLEMENT_ASN1_FUNCTIONS(SM2_PFX)

namespace {

constexpr char kOidSmData[] = "1.2.156.10197.6.1.4.2.1";
constexpr char kOidSm4[] = "1.2.156.10197.1.104";
constexpr long kContainerVersion = 1;

using PrivateDataPtr = smkernel::OsslHolder<SM2_PRIVATE_DATA, SM2_PRIVATE_DATA_free>;
using PublicDataPtr = smkernel::OsslHolder<SM2_PUBLIC_DATA, SM2_PUBLIC_DATA_free>;
using PfxPtr = smkernel::OsslHolder<SM2_PFX, SM2_PFX_free>;

using smkernel::Bytes;
using smkernel::SecretBytes;

// An OCTET STRING's contents as a new[] array (at least one octet is allocated, so an empty
// string still gives a pointer).
unsigned int CopyOctetString(const char* pszFunc, const ASN1_OCTET_STRING* pstOctetString, Bytes& copy)
{
    const int nLength = ASN1_STRING_length(pstOctetString);
    unsigned char* pbyCopy = new (std::nothrow) unsigned char[nLength > 0 ? nLength : 1];
    QOVA_FAIL_IF_IN(pszFunc, NULL == pbyCopy, QOVA_E_FAIL, "New memory");
    if (nLength > 0)
        memcpy(pbyCopy, ASN1_STRING_get0_data(pstOctetString), static_cast<size_t>(nLength));
    copy.ptr = pbyCopy;
    copy.size = nLength;
    return QOVA_OK;
}

using EcGroupPtr = smkernel::OsslHolder<EC_GROUP, EC_GROUP_free>;

// The curve of the certificate's elliptic-curve key, by its name (SM2 or another named curve).
// Null when the certificate or its key cannot be read, or the curve has no name.
EC_GROUP* NewCertificateCurve(const Bytes& certificate)
{
    smkernel::X509Ptr x509;
    if (QOVA_OK != ConvertCertDataToX509(certificate.ptr, certificate.size, x509.out())) return nullptr;
    const EVP_PKEY* pKey = X509_get0_pubkey(x509.get());
    char szGroup[64] = {0};
    size_t nGroupLength = 0;
    if (nullptr == pKey ||
        !EVP_PKEY_get_utf8_string_param(pKey, OSSL_PKEY_PARAM_GROUP_NAME, szGroup, sizeof(szGroup), &nGroupLength))
        return nullptr;
    int nid = OBJ_txt2nid(szGroup);
    if (NID_undef == nid) nid = EC_curve_nist2nid(szGroup);
    return NID_undef == nid ? nullptr : SM_EC_GROUP_new_by_curve_name(nid);
}

// Whether the private key d gives the certificate's public point on the certificate's curve:
// d in [1, n-1] and d*G = (X, Y).
// A wrong PIN passes the padding check about once in 256 tries; without this the container would
// open into a wrong key, and the failure would show only later, as an undecryptable envelope.
bool KeyMatchesPublicPoint(const EC_GROUP* group, const SecretBytes& privateKey, const Bytes& x, const Bytes& y)
{
    using EcPointPtr = smkernel::OsslHolder<EC_POINT, EC_POINT_free>;
    using BnCtxPtr = smkernel::OsslHolder<BN_CTX, BN_CTX_free>;
    const BnCtxPtr ctx(BN_CTX_new());
    const smkernel::BnClearPtr d(BN_bin2bn(privateKey.ptr, privateKey.size, nullptr));
    const smkernel::BnPtr expectedX(BN_bin2bn(x.ptr, x.size, nullptr)), expectedY(BN_bin2bn(y.ptr, y.size, nullptr));
    const smkernel::BnPtr actualX(BN_new()), actualY(BN_new());
    if (nullptr == ctx.get() || nullptr == d.get() || nullptr == expectedX.get() || nullptr == expectedY.get() ||
        nullptr == actualX.get() || nullptr == actualY.get())
        return false;
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group)) >= 0)
        return false;
    const EcPointPtr point(EC_POINT_new(group));
    return nullptr != point.get() && 1 == EC_POINT_mul(group, point.get(), d.get(), nullptr, nullptr, ctx.get()) &&
           1 == EC_POINT_get_affine_coordinates(group, point.get(), actualX.get(), actualY.get(), ctx.get()) &&
           0 == BN_cmp(actualX.get(), expectedX.get()) && 0 == BN_cmp(actualY.get(), expectedY.get());
}

// The work both openers share; the certificate is always read, for its public key.
unsigned int OpenContainer(const char* pszFunc, unsigned char* data, int dataLength, char* pin, SM2_KEY_PAIR* keyPair,
                           Bytes& certificate)
{
    QOVA_FAIL_IF_IN(pszFunc, NULL == pin, QOVA_E_INVALIDARG, "Check Parameters(pszPin)");
    Bytes encryptedKey;
    unsigned int nResult = ParseSM2PFX(data, dataLength, &encryptedKey.ptr, &encryptedKey.size,
                                       &certificate.ptr, &certificate.size);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ParseSM2PFX");

    // A wrong PIN normally fails the padding check; every failure here means the PIN does not open it.
    // One that passes it by chance is caught by the key check below.
    SecretBytes privateKey;
    nResult = SM4DecryptByPin(encryptedKey.ptr, encryptedKey.size, pin, &privateKey.ptr, &privateKey.size);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, QOVA_E_CONTAINER_PIN, "SM4DecryptByPin");

    Bytes publicKeyX, publicKeyY;
    nResult = GetPublicKeyXYFromSM2Cert(certificate.ptr, certificate.size, &publicKeyX.ptr, &publicKeyX.size,
                                        &publicKeyY.ptr, &publicKeyY.size);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, QOVA_E_FAIL, "GetPublicKeyXYFromSM2Cert");
    const EcGroupPtr group(NewCertificateCurve(certificate));
    QOVA_FAIL_IF_IN(pszFunc, NULL == group.get(), QOVA_E_FAIL, "Read certificate curve");
    QOVA_FAIL_IF_IN(pszFunc, !KeyMatchesPublicPoint(group.get(), privateKey, publicKeyX, publicKeyY),
                    QOVA_E_CONTAINER_PIN, "Check private key");

    if (NULL != keyPair) {
        keyPair->nPrivateKeySize = privateKey.size;
        keyPair->pbyPrivateKey = privateKey.release();
        keyPair->nPublicKeyXSize = publicKeyX.size;
        keyPair->pbyPublicKeyX = publicKeyX.release();
        keyPair->nPublicKeyYSize = publicKeyY.size;
        keyPair->pbyPublicKeyY = publicKeyY.release();
    }
    return QOVA_OK;
}

}  // namespace

unsigned int CreateSM2PrivateData(const char* dataID, const char* dataEncryptedAlg, unsigned char* encryptedKey,
                                  unsigned int encryptedKeyLength, SM2_PRIVATE_DATA** out)
{
    QOVA_FAIL_IF(NULL == dataID || NULL == dataEncryptedAlg || NULL == out, QOVA_E_INVALIDARG, "Check Parameters");
    QOVA_FAIL_IF(encryptedKeyLength > INT_MAX || (NULL == encryptedKey && 0 != encryptedKeyLength), QOVA_E_INVALIDARG,
                 "Check Parameters(pbyEncryptedKey)");

    ASN1_OBJECT* pstDataID = OBJ_txt2obj(dataID, 1);
    smkernel::Asn1ObjectPtr dataIDHolder(pstDataID);
    QOVA_FAIL_IF_SSL(NULL == pstDataID, QOVA_E_FAIL, "OBJ_txt2obj(dataID)");
    ASN1_OBJECT* pstDataEncryptedAlg = OBJ_txt2obj(dataEncryptedAlg, 1);
    smkernel::Asn1ObjectPtr dataEncryptedAlgHolder(pstDataEncryptedAlg);
    QOVA_FAIL_IF_SSL(NULL == pstDataEncryptedAlg, QOVA_E_FAIL, "OBJ_txt2obj(dataEncryptedAlg)");
    ASN1_OCTET_STRING* pstEncryptedSM2PrivateKey = ASN1_OCTET_STRING_new();
    smkernel::Asn1OctetStringPtr encryptedKeyHolder(pstEncryptedSM2PrivateKey);
    QOVA_FAIL_IF_SSL(NULL == pstEncryptedSM2PrivateKey, QOVA_E_FAIL, "ASN1_OCTET_STRING_new");
    const int nResult =
        ASN1_OCTET_STRING_set(pstEncryptedSM2PrivateKey, encryptedKey, static_cast<int>(encryptedKeyLength));
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "ASN1_OCTET_STRING_set");
    SM2_PRIVATE_DATA* pstSM2PrivateData = SM2_PRIVATE_DATA_new();
    PrivateDataPtr privateDataHolder(pstSM2PrivateData);
    QOVA_FAIL_IF_SSL(NULL == pstSM2PrivateData, QOVA_E_FAIL, "SM2_PRIVATE_DATA_new");

    // The new record comes with empty fields of its own.
    ASN1_OBJECT_free(pstSM2PrivateData->dataID);
    pstSM2PrivateData->dataID = dataIDHolder.release();
    ASN1_OBJECT_free(pstSM2PrivateData->dataEncryptedAlg);
    pstSM2PrivateData->dataEncryptedAlg = dataEncryptedAlgHolder.release();
    ASN1_OCTET_STRING_free(pstSM2PrivateData->encryptedSM2PrivateKey);
    pstSM2PrivateData->encryptedSM2PrivateKey = encryptedKeyHolder.release();
    *out = privateDataHolder.release();
    return QOVA_OK;
}

unsigned int CreateSM2PublicData(const char* dataID, unsigned char* certificate, unsigned int certificateLength,
                                 SM2_PUBLIC_DATA** out)
{
    QOVA_FAIL_IF(NULL == dataID || NULL == out, QOVA_E_INVALIDARG, "Check Parameters");
    QOVA_FAIL_IF(certificateLength > INT_MAX || (NULL == certificate && 0 != certificateLength), QOVA_E_INVALIDARG,
                 "Check Parameters(pbyCertificate)");

    ASN1_OBJECT* pstDataID = OBJ_txt2obj(dataID, 1);
    smkernel::Asn1ObjectPtr dataIDHolder(pstDataID);
    QOVA_FAIL_IF_SSL(NULL == pstDataID, QOVA_E_FAIL, "OBJ_txt2obj(dataID)");
    ASN1_OCTET_STRING* pstSM2Certificate = ASN1_OCTET_STRING_new();
    smkernel::Asn1OctetStringPtr certificateHolder(pstSM2Certificate);
    QOVA_FAIL_IF_SSL(NULL == pstSM2Certificate, QOVA_E_FAIL, "ASN1_OCTET_STRING_new");
    const int nResult = ASN1_OCTET_STRING_set(pstSM2Certificate, certificate, static_cast<int>(certificateLength));
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "ASN1_OCTET_STRING_set");
    SM2_PUBLIC_DATA* pstSM2PublicData = SM2_PUBLIC_DATA_new();
    PublicDataPtr publicDataHolder(pstSM2PublicData);
    QOVA_FAIL_IF_SSL(NULL == pstSM2PublicData, QOVA_E_FAIL, "SM2_PUBLIC_DATA_new");

    ASN1_OBJECT_free(pstSM2PublicData->dataID);
    pstSM2PublicData->dataID = dataIDHolder.release();
    ASN1_OCTET_STRING_free(pstSM2PublicData->SM2Certificate);
    pstSM2PublicData->SM2Certificate = certificateHolder.release();
    *out = publicDataHolder.release();
    return QOVA_OK;
}

unsigned int CreateSM2PFX(long version, SM2_PRIVATE_DATA*& privateData, SM2_PUBLIC_DATA*& publicData, SM2_PFX** out)
{
    QOVA_FAIL_IF(NULL == privateData || NULL == publicData || NULL == out, QOVA_E_INVALIDARG, "Check Parameters");

    ASN1_INTEGER* pstVersion = ASN1_INTEGER_new();
    smkernel::Asn1IntegerPtr versionHolder(pstVersion);
    QOVA_FAIL_IF_SSL(NULL == pstVersion, QOVA_E_FAIL, "ASN1_INTEGER_new");
    const int nResult = ASN1_INTEGER_set(pstVersion, version);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "ASN1_INTEGER_set");
    SM2_PFX* pstSM2PFX = SM2_PFX_new();
    PfxPtr pfxHolder(pstSM2PFX);
    QOVA_FAIL_IF_SSL(NULL == pstSM2PFX, QOVA_E_FAIL, "SM2_PFX_new");

    ASN1_INTEGER_free(pstSM2PFX->version);
    pstSM2PFX->version = versionHolder.release();
    SM2_PRIVATE_DATA_free(pstSM2PFX->privateData);
    pstSM2PFX->privateData = privateData;
    privateData = NULL;
    SM2_PUBLIC_DATA_free(pstSM2PFX->publicData);
    pstSM2PFX->publicData = publicData;
    publicData = NULL;
    *out = pfxHolder.release();
    return QOVA_OK;
}

unsigned int EncapsulateSM2PFX(unsigned char* certificate, int certificateLength, unsigned char* privateKey,
                               int privateKeyLength, char* pin, unsigned char** out, int* outLength)
{
    QOVA_FAIL_IF(NULL == certificate || certificateLength <= 0, QOVA_E_INVALIDARG, "Check Parameters(pbyCertificate)");
    QOVA_FAIL_IF(NULL == out || NULL == outLength, QOVA_E_INVALIDARG, "Check Parameters(ppbySM2PFXData)");

    SM2_PUBLIC_DATA* pstPublicData = NULL;
    unsigned int nResult =
        CreateSM2PublicData(kOidSmData, certificate, static_cast<unsigned int>(certificateLength), &pstPublicData);
    PublicDataPtr publicData(pstPublicData);
    QOVA_FAIL_IF(QOVA_OK != nResult, QOVA_E_FAIL, "CreateSM2PublicData");

    Bytes encryptedKey;
    nResult = SM4EncryptByPin(privateKey, privateKeyLength, pin, &encryptedKey.ptr, &encryptedKey.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SM4EncryptByPin");

    SM2_PRIVATE_DATA* pstPrivateData = NULL;
    nResult = CreateSM2PrivateData(kOidSmData, kOidSm4, encryptedKey.ptr,
                                   static_cast<unsigned int>(encryptedKey.size), &pstPrivateData);
    PrivateDataPtr privateData(pstPrivateData);
    QOVA_FAIL_IF(QOVA_OK != nResult, QOVA_E_FAIL, "CreateSM2PrivateData");

    SM2_PRIVATE_DATA* pstPrivatePart = privateData.get();
    SM2_PUBLIC_DATA* pstPublicPart = publicData.get();
    SM2_PFX* pstNewSM2PFX = NULL;
    nResult = CreateSM2PFX(kContainerVersion, pstPrivatePart, pstPublicPart, &pstNewSM2PFX);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CreateSM2PFX");
    // The container owns both parts now.
    privateData.release();
    publicData.release();
    PfxPtr pfxHolder(pstNewSM2PFX);

    const int nSM2PFXDataSize = i2d_SM2_PFX(pstNewSM2PFX, NULL);
    QOVA_FAIL_IF_SSL(nSM2PFXDataSize <= 0, QOVA_E_FAIL, "i2d_SM2_PFX");
    std::unique_ptr<unsigned char[]> pbySM2PFXData(new (std::nothrow) unsigned char[nSM2PFXDataSize]);
    QOVA_FAIL_IF(NULL == pbySM2PFXData, QOVA_E_FAIL, "New memory");
    unsigned char* pbyWrite = pbySM2PFXData.get();
    const int nWritten = i2d_SM2_PFX(pstNewSM2PFX, &pbyWrite);
    QOVA_FAIL_IF_SSL(nWritten != nSM2PFXDataSize, QOVA_E_FAIL, "i2d_SM2_PFX");

    *out = pbySM2PFXData.release();
    *outLength = nSM2PFXDataSize;
    return QOVA_OK;
}

unsigned int ParseSM2PFX(unsigned char* data, int dataLength, unsigned char** encryptedPrivateKey,
                         int* encryptedPrivateKeyLength, unsigned char** certificate, int* certificateLength)
{
    QOVA_FAIL_IF(NULL == data || dataLength <= 0, QOVA_E_INVALIDARG, "Check Parameters(pbySM2PFXData)");

    const unsigned char* pbyRead = data;
    SM2_PFX* pstSM2PFX = d2i_SM2_PFX(NULL, &pbyRead, dataLength);
    PfxPtr pfxHolder(pstSM2PFX);
    QOVA_FAIL_IF_SSL(NULL == pstSM2PFX, QOVA_E_NOT_KEY_CONTAINER, "d2i_SM2_PFX");

    Bytes encryptedKey, cert;
    const bool bWantKey = NULL != encryptedPrivateKey && NULL != encryptedPrivateKeyLength;
    const bool bWantCert = NULL != certificate && NULL != certificateLength;
    unsigned int nResult = QOVA_OK;
    if (bWantKey) {
        nResult = CopyOctetString(__func__, pstSM2PFX->privateData->encryptedSM2PrivateKey, encryptedKey);
        if (QOVA_OK != nResult)
            return nResult;
    }
    if (bWantCert) {
        nResult = CopyOctetString(__func__, pstSM2PFX->publicData->SM2Certificate, cert);
        if (QOVA_OK != nResult)
            return nResult;
    }
    if (bWantKey) {
        *encryptedPrivateKeyLength = encryptedKey.size;
        *encryptedPrivateKey = encryptedKey.release();
    }
    if (bWantCert) {
        *certificateLength = cert.size;
        *certificate = cert.release();
    }
    return QOVA_OK;
}

unsigned int DecryptSM2PFX(unsigned char* data, int dataLength, char* pin, SM2_KEY_PAIR* keyPair,
                           unsigned char** certificate, int* certificateLength)
{
    Bytes cert;
    const unsigned int nResult = OpenContainer(__func__, data, dataLength, pin, keyPair, cert);
    if (QOVA_OK != nResult)
        return nResult;
    if (NULL != certificate && NULL != certificateLength) {
        *certificateLength = cert.size;
        *certificate = cert.release();
    }
    return QOVA_OK;
}

unsigned int DecryptKeyPairFromSM2PFX(unsigned char* data, int dataLength, char* pin, SM2_KEY_PAIR* keyPair)
{
    QOVA_FAIL_IF(NULL == keyPair, QOVA_E_INVALIDARG, "Check Parameters(pstKeyPair)");
    Bytes cert;
    return OpenContainer(__func__, data, dataLength, pin, keyPair, cert);
}

void CleanupSM2KeyPair(SM2_KEY_PAIR* keyPair)
{
    if (NULL == keyPair)
        return;
    if (NULL != keyPair->pbyPrivateKey && keyPair->nPrivateKeySize > 0)
        OPENSSL_cleanse(keyPair->pbyPrivateKey, static_cast<size_t>(keyPair->nPrivateKeySize));
    delete[] keyPair->pbyPrivateKey;
    keyPair->pbyPrivateKey = NULL;
    delete[] keyPair->pbyPublicKeyX;
    keyPair->pbyPublicKeyX = NULL;
    delete[] keyPair->pbyPublicKeyY;
    keyPair->pbyPublicKeyY = NULL;
}
