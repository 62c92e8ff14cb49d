// Certificate pieces for the PKCS#7 and CMS builders, and the ECPrivateKey encoder.
#include "SM2CertHelpers.h"

#include "CMSStructures.h"
#include "CertificateFields.h"
#include "CertificateFieldsDetail.h"
#include "DerStructureDetail.h"
#include "KernelHolders.h"
#include "QovaTrace.h"
#include "SM2Core.h"

#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace {

using Bytes = std::unique_ptr<unsigned char[]>;
using X509NamePtr = smkernel::OsslHolder<X509_NAME, X509_NAME_free>;
using namespace der_detail;

constexpr int kCoordinateLength = 32;

// A new[] copy of octets the library produced.
unsigned int CopyOut(const char* pszFunc, const unsigned char* data, int length, unsigned char** out, int* outLength)
{
    Bytes copy(new (std::nothrow) unsigned char[length > 0 ? length : 1]);
    QOVA_FAIL_IF_IN(pszFunc, NULL == copy, QOVA_E_FAIL, "New memory");
    if (length > 0)
        memcpy(copy.get(), data, length);
    *out = copy.release();
    *outLength = length;
    return QOVA_OK;
}

// One TLV header at p (within end); false on a malformed or indefinite header or a value past end.
bool ReadHeader(const unsigned char*& p, const unsigned char* end, int wantTag, int wantClass, bool constructed,
                long* valueLength)
{
    int tag = 0, cls = 0;
    const int ret = ASN1_get_object(&p, valueLength, &tag, &cls, end - p);
    return 0 == (ret & 0x80) && (0 != (ret & V_ASN1_CONSTRUCTED)) == constructed && 0 == (ret & 1) &&
           tag == wantTag && cls == wantClass;
}

// The serial INTEGER and issuer Name TLVs of a DER certificate, found in its TBSCertificate without
// decoding the rest. The library's full parse also decodes the public key, which is most of what a
// SignedData encoding costs; the pieces themselves still go through the library's own decoder and
// encoder below, so the bytes handed out are the same. False when the bytes are not one DER
// certificate of that shape (PEM text, say): the caller then takes the full parse.
struct TbsPieces {
    const unsigned char* serial = nullptr;
    long serialLength = 0;
    const unsigned char* issuer = nullptr;
    long issuerLength = 0;
};

bool FindTbsPieces(const unsigned char* cert, int certLength, TbsPieces* pieces)
{
    if (nullptr == cert || certLength <= 0) return false;
    const unsigned char* p = cert;
    const unsigned char* const end = cert + certLength;
    long len = 0;
    if (!ReadHeader(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &len) || p + len != end) return false;
    if (!ReadHeader(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &len)) return false;
    const unsigned char* const tbsEnd = p + len;

    const unsigned char* q = p;
    if (ReadHeader(q, tbsEnd, 0, V_ASN1_CONTEXT_SPECIFIC, true, &len)) p = q + len;  // [0] version

    pieces->serial = p;
    if (!ReadHeader(p, tbsEnd, V_ASN1_INTEGER, V_ASN1_UNIVERSAL, false, &len)) return false;
    p += len;
    pieces->serialLength = p - pieces->serial;

    if (!ReadHeader(p, tbsEnd, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &len)) return false;  // signature
    p += len;

    pieces->issuer = p;
    if (!ReadHeader(p, tbsEnd, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &len)) return false;
    pieces->issuerLength = (p + len) - pieces->issuer;
    return true;
}

}  // namespace

unsigned int GetPublicKeyXYFromSM2Cert(unsigned char* cert, int certLength, unsigned char** publicKeyX,
                                       int* publicKeyXLength, unsigned char** publicKeyY, int* publicKeyYLength)
{
    QOVA_FAIL_IF(NULL == publicKeyX || NULL == publicKeyXLength || NULL == publicKeyY || NULL == publicKeyYLength,
                 QOVA_E_INVALIDARG, "Check parameter");
    smkernel::X509Ptr x509;
    const unsigned int nReadResult = ConvertCertDataToX509(cert, certLength, x509.out());
    QOVA_FAIL_IF(QOVA_OK != nReadResult, nReadResult, "ConvertCertDataToX509");

    EVP_PKEY* pEvpPublickey = X509_get0_pubkey(x509.get());
    QOVA_FAIL_IF_SSL(NULL == pEvpPublickey, QOVA_E_FAIL, "X509_get_pubkey");

    // SM2 keys from a certificate are held by the library's provider under the type "SM2"; any
    // other elliptic-curve key is accepted as long as its coordinates fit.
    QOVA_FAIL_IF(!EVP_PKEY_is_a(pEvpPublickey, "SM2") && !EVP_PKEY_is_a(pEvpPublickey, "EC"), QOVA_E_FAIL,
                 "EVP_PKEY_is_a");

    BIGNUM* pBN_pubx = NULL;
    BIGNUM* pBN_puby = NULL;
    EVP_PKEY_get_bn_param(pEvpPublickey, OSSL_PKEY_PARAM_EC_PUB_X, &pBN_pubx);
    EVP_PKEY_get_bn_param(pEvpPublickey, OSSL_PKEY_PARAM_EC_PUB_Y, &pBN_puby);
    smkernel::BnPtr x(pBN_pubx), y(pBN_puby);
    QOVA_FAIL_IF_SSL(NULL == pBN_pubx || NULL == pBN_puby, QOVA_E_FAIL, "EVP_PKEY_get_bn_param");

    Bytes pubX(new unsigned char[kCoordinateLength]);
    Bytes pubY(new unsigned char[kCoordinateLength]);
    int nResult = _SM2_GetBNBytes(pBN_pubx, pubX.get());
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "_SM2_GetBNBytes(PubKeyX)");
    nResult = _SM2_GetBNBytes(pBN_puby, pubY.get());
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "_SM2_GetBNBytes(PubKeyY)");

    *publicKeyX = pubX.release();
    *publicKeyXLength = kCoordinateLength;
    *publicKeyY = pubY.release();
    *publicKeyYLength = kCoordinateLength;
    return QOVA_OK;
}

unsigned int GetIssuerFromCert(unsigned char* cert, int certLength, unsigned char** issuer, int* issuerLength)
{
    QOVA_FAIL_IF(NULL == issuer || NULL == issuerLength, QOVA_E_INVALIDARG, "Check parameter");
    smkernel::X509Ptr x509;
    X509NamePtr name;
    const X509_NAME* pX509IssuerName = NULL;
    TbsPieces pieces;
    if (FindTbsPieces(cert, certLength, &pieces)) {
        const unsigned char* q = pieces.issuer;
        name.reset(d2i_X509_NAME(NULL, &q, pieces.issuerLength));
        pX509IssuerName = name.get();
    } else {
        const unsigned int nReadResult = ConvertCertDataToX509(cert, certLength, x509.out());
        QOVA_FAIL_IF(QOVA_OK != nReadResult, nReadResult, "ConvertCertDataToX509");
        pX509IssuerName = X509_get_issuer_name(x509.get());
    }
    QOVA_FAIL_IF_SSL(NULL == pX509IssuerName, QOVA_E_FAIL, "X509_get_issuer_name");

    unsigned char* pbyASN1Issuer = NULL;
    const int nASN1IssuerSize = i2d_X509_NAME(pX509IssuerName, &pbyASN1Issuer);
    smkernel::OpenSslBytesPtr encoded(pbyASN1Issuer);
    QOVA_FAIL_IF_SSL(nASN1IssuerSize <= 0 || NULL == pbyASN1Issuer, QOVA_E_FAIL, "i2d_X509_NAME");

    return CopyOut(__func__, pbyASN1Issuer, nASN1IssuerSize, issuer, issuerLength);
}

unsigned int GetSerialNumberFromCert(unsigned char* cert, int certLength, unsigned char** serialNumber,
                                     int* serialNumberLength)
{
    QOVA_FAIL_IF(NULL == serialNumber || NULL == serialNumberLength, QOVA_E_INVALIDARG, "Check parameter");
    smkernel::X509Ptr x509;
    smkernel::Asn1IntegerPtr serial;
    const ASN1_INTEGER* pIntegerSerialNumber = NULL;
    TbsPieces pieces;
    if (FindTbsPieces(cert, certLength, &pieces)) {
        const unsigned char* q = pieces.serial;
        serial.reset(d2i_ASN1_INTEGER(NULL, &q, pieces.serialLength));
        pIntegerSerialNumber = serial.get();
    } else {
        const unsigned int nReadResult = ConvertCertDataToX509(cert, certLength, x509.out());
        QOVA_FAIL_IF(QOVA_OK != nReadResult, nReadResult, "ConvertCertDataToX509");
        pIntegerSerialNumber = X509_get0_serialNumber(x509.get());
    }
    QOVA_FAIL_IF_SSL(NULL == pIntegerSerialNumber, QOVA_E_FAIL, "X509_get_serialNumber");

    unsigned char* pbyASN1SerialNumber = NULL;
    const int nASN1SerialNumberSize = i2d_ASN1_INTEGER(pIntegerSerialNumber, &pbyASN1SerialNumber);
    smkernel::OpenSslBytesPtr encoded(pbyASN1SerialNumber);
    QOVA_FAIL_IF_SSL(nASN1SerialNumberSize <= 0 || NULL == pbyASN1SerialNumber, QOVA_E_FAIL, "i2d_ASN1_INTEGER");

    return CopyOut(__func__, pbyASN1SerialNumber, nASN1SerialNumberSize, serialNumber, serialNumberLength);
}

unsigned int GetSubjectKeyIDFromCert(unsigned char* cert, int certLength, unsigned char** keyID, int* keyIDLength)
{
    QOVA_FAIL_IF(NULL == keyID || NULL == keyIDLength, QOVA_E_INVALIDARG, "Check parameter");
    smkernel::X509Ptr x509;
    unsigned int nResult = ConvertCertDataToX509(cert, certLength, x509.out());
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertCertDataToX509");

    smkernel::Asn1OctetStringPtr keyIdentifier;
    nResult = certfields_detail::ReadSubjectKeyIdentifier(__func__, x509.get(), keyIdentifier);
    if (QOVA_OK != nResult) return nResult;
    return CopyOut(__func__, ASN1_STRING_get0_data(keyIdentifier.get()), ASN1_STRING_length(keyIdentifier.get()), keyID,
                   keyIDLength);
}

unsigned int ConstructNode_ECPrivateKey(int version, const char* curveOID, unsigned char* privateKey,
                                        int privateKeyLength, unsigned char* publicKeyX, int publicKeyXLength,
                                        unsigned char* publicKeyY, int publicKeyYLength, NodeEx** node)
{
    QOVA_FAIL_IF(NULL == node || NULL == privateKey || privateKeyLength <= 0 || privateKeyLength > INT_MAX - 1 ||
                     BadBuffer(publicKeyX, publicKeyXLength) || BadBuffer(publicKeyY, publicKeyYLength) ||
                     static_cast<long long>(publicKeyXLength) + publicKeyYLength > INT_MAX - 2,
                 QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = CreateVersionLeaf(version, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(version)");
    NodeExPtr pVersion(pNode);

    // A positive INTEGER: a key whose first octet has the top bit set gets a 00 in front.
    const int nPad = privateKey[0] >= 0x80 ? 1 : 0;
    const int nIntegerLength = privateKeyLength + nPad;
    Bytes integer(new (std::nothrow) unsigned char[nIntegerLength]());
    QOVA_FAIL_IF(NULL == integer, QOVA_E_FAIL, "New memory");
    memcpy(integer.get() + nPad, privateKey, privateKeyLength);
    nResult = CreateLeafNodeEx(kTagInteger, integer.get(), nIntegerLength, &pNode);
    OPENSSL_cleanse(integer.get(), nIntegerLength);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(privateKey)");
    NodeExPtr pPrivateKey(pNode);

    nResult = ConstructNode_ObjectIdentifier(curveOID, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_ObjectIdentifier");
    NodeExPtr pCurve(pNode);

    nResult = CreateContainerNodeEx(kTagExplicit0, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(contex0)");
    NodeExPtr pContext0(pNode);
    pContext0->AddChild(pCurve.release());

    // No unused bits, then the uncompressed point.
    const int nBitStringLength = publicKeyXLength + publicKeyYLength + 2;
    Bytes bitString(new (std::nothrow) unsigned char[nBitStringLength]);
    QOVA_FAIL_IF(NULL == bitString, QOVA_E_FAIL, "New memory");
    bitString[0] = 0x00;
    bitString[1] = 0x04;
    if (publicKeyXLength > 0)
        memcpy(bitString.get() + 2, publicKeyX, publicKeyXLength);
    if (publicKeyYLength > 0)
        memcpy(bitString.get() + 2 + publicKeyXLength, publicKeyY, publicKeyYLength);
    nResult = CreateLeafNodeEx(kTagBitString, bitString.get(), nBitStringLength, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(publicKey)");
    NodeExPtr pPublicKey(pNode);

    nResult = CreateContainerNodeEx(kTagExplicit1, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(contex1)");
    NodeExPtr pContext1(pNode);
    pContext1->AddChild(pPublicKey.release());

    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(ECPrivateKey)");
    pNode->AddChild(pVersion.release());
    pNode->AddChild(pPrivateKey.release());
    pNode->AddChild(pContext0.release());
    pNode->AddChild(pContext1.release());
    *node = pNode;
    return QOVA_OK;
}

unsigned int EncodeECPrivateKey(int version, const char* curveOID, unsigned char* privateKey, int privateKeyLength,
                                unsigned char* publicKeyX, int publicKeyXLength, unsigned char* publicKeyY,
                                int publicKeyYLength, unsigned char** out, int* outLength)
{
    QOVA_FAIL_IF(NULL == out || NULL == outLength, QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = ConstructNode_ECPrivateKey(version, curveOID, privateKey, privateKeyLength, publicKeyX,
                                                      publicKeyXLength, publicKeyY, publicKeyYLength, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_ECPrivateKey");
    NodeExPtr pECPrivateKey(pNode);

    unsigned char* pbyEncoded = nullptr;
    int nEncodedLength = 0;
    nResult = EncodeASN1ToMemory(pECPrivateKey.get(), &pbyEncoded, &nEncodedLength, NULL);
    // The tree's copy of the key is cleared before the tree is released.
    NodeEx* pKeyLeaf = pECPrivateKey->vetNodes[1];
    OPENSSL_cleanse(pKeyLeaf->pbyValue, pKeyLeaf->CurrentLength);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncodeASN1ToMemory");

    *out = pbyEncoded;
    *outLength = nEncodedLength;
    return QOVA_OK;
}
