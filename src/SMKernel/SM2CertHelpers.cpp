// Certificate pieces for the PKCS#7 and CMS builders, and the ECPrivateKey encoder.
#include "SM2CertHelpers.h"
#include "SM2CertHelpersDetail.h"

#include "CMSStructures.h"
#include "CertificateFields.h"
#include "CertificateFieldsDetail.h"
#include "DerStructureDetail.h"
#include "KernelHolders.h"
#include "QovaTrace.h"
#include "SM2Core.h"
#include "SslTraceDetail.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
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

// The extent of one DER element: its first octet, its content, and the octet after it.
struct Tlv {
    const unsigned char* begin = nullptr;
    const unsigned char* content = nullptr;
    const unsigned char* end = nullptr;
};

// The certificate readers below each take one element at p, within end, and move p past it. The
// header is read with the library's reader and must give a definite length that stays within end.
// ReadTlv reads it without moving p; false on anything else.
bool ReadTlv(const unsigned char* p, const unsigned char* end, int* tag, int* cls, bool* constructed, Tlv* tlv)
{
    if (p >= end) return false;
    const unsigned char* q = p;
    long length = 0;
    const int ret = ASN1_get_object(&q, &length, tag, cls, end - p);
    if (0 != (ret & 0x80) || 0 != (ret & 1)) return false;
    *constructed = 0 != (ret & V_ASN1_CONSTRUCTED);
    tlv->begin = p;
    tlv->content = q;
    tlv->end = q + length;
    return true;
}

// One element of the wanted tag (number, class, constructed or primitive); p stays where it was
// when the element is not there.
bool TakeElement(const unsigned char*& p, const unsigned char* end, int wantTag, int wantClass, bool wantConstructed,
                 Tlv* tlv)
{
    int tag = 0, cls = 0;
    bool constructed = false;
    if (!ReadTlv(p, end, &tag, &cls, &constructed, tlv) || constructed != wantConstructed || tag != wantTag ||
        cls != wantClass)
        return false;
    p = tlv->end;
    return true;
}

bool NextIs(const unsigned char* p, const unsigned char* end, int tag, int cls, bool constructed)
{
    Tlv tlv;
    return TakeElement(p, end, tag, cls, constructed, &tlv);
}

// ANY: one element of whatever tag.
bool TakeAny(const unsigned char*& p, const unsigned char* end)
{
    int tag = 0, cls = 0;
    bool constructed = false;
    Tlv tlv;
    if (!ReadTlv(p, end, &tag, &cls, &constructed, &tlv)) return false;
    p = tlv.end;
    return true;
}

// An INTEGER in the form the library's decoder takes: content octets, none of them a superfluous
// leading 00 or FF.
bool TakeInteger(const unsigned char*& p, const unsigned char* end, Tlv* tlv)
{
    const unsigned char* q = p;
    if (!TakeElement(q, end, V_ASN1_INTEGER, V_ASN1_UNIVERSAL, false, tlv) || tlv->content == tlv->end) return false;
    if (tlv->end - tlv->content > 1 && ((0x00 == tlv->content[0] && tlv->content[1] < 0x80) ||
                                        (0xFF == tlv->content[0] && tlv->content[1] >= 0x80)))
        return false;
    p = q;
    return true;
}

// An OBJECT IDENTIFIER in the form the library's decoder takes: content octets, no sub-identifier
// starting with 0x80, the last one complete.
bool TakeObjectIdentifier(const unsigned char*& p, const unsigned char* end)
{
    Tlv tlv;
    if (!TakeElement(p, end, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, false, &tlv) || tlv.content == tlv.end ||
        0 != (tlv.end[-1] & 0x80))
        return false;
    bool bStart = true;
    for (const unsigned char* q = tlv.content; q != tlv.end; ++q) {
        if (bStart && 0x80 == *q) return false;
        bStart = 0 == (*q & 0x80);
    }
    return true;
}

// AlgorithmIdentifier ::= SEQUENCE { algorithm OBJECT IDENTIFIER, parameters ANY OPTIONAL }
bool TakeAlgorithm(const unsigned char*& p, const unsigned char* end)
{
    Tlv tlv;
    if (!TakeElement(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &tlv)) return false;
    const unsigned char* q = tlv.content;
    return TakeObjectIdentifier(q, tlv.end) && (q == tlv.end || (TakeAny(q, tlv.end) && q == tlv.end));
}

// Name ::= SEQUENCE OF RelativeDistinguishedName, each a non-empty
// SET OF SEQUENCE { type OBJECT IDENTIFIER, value ANY }.
bool TakeName(const unsigned char*& p, const unsigned char* end, Tlv* name)
{
    if (!TakeElement(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, name)) return false;
    for (const unsigned char* q = name->content; q != name->end;) {
        Tlv rdn;
        if (!TakeElement(q, name->end, V_ASN1_SET, V_ASN1_UNIVERSAL, true, &rdn) || rdn.content == rdn.end)
            return false;
        for (const unsigned char* r = rdn.content; r != rdn.end;) {
            Tlv attribute;
            if (!TakeElement(r, rdn.end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &attribute)) return false;
            const unsigned char* a = attribute.content;
            if (!TakeObjectIdentifier(a, attribute.end) || !TakeAny(a, attribute.end) || a != attribute.end)
                return false;
        }
    }
    return true;
}

// A BIT STRING (or one under an implicit tag): its unused-bit count at most 7, and 0 when no octet
// follows it.
bool TakeBitString(const unsigned char*& p, const unsigned char* end, int tag, int cls)
{
    Tlv tlv;
    const unsigned char* q = p;
    if (!TakeElement(q, end, tag, cls, false, &tlv) || tlv.content == tlv.end || tlv.content[0] > 7 ||
        (tlv.content + 1 == tlv.end && 0 != tlv.content[0]))
        return false;
    p = q;
    return true;
}

using Asn1TimePtr = smkernel::OsslHolder<ASN1_TIME, ASN1_TIME_free>;

// UTCTime or GeneralizedTime that ASN1_TIME_check accepts.
bool TakeTime(const unsigned char*& p, const unsigned char* end)
{
    Tlv tlv;
    if (!TakeElement(p, end, V_ASN1_UTCTIME, V_ASN1_UNIVERSAL, false, &tlv) &&
        !TakeElement(p, end, V_ASN1_GENERALIZEDTIME, V_ASN1_UNIVERSAL, false, &tlv))
        return false;
    const unsigned char* q = tlv.begin;
    const Asn1TimePtr time(d2i_ASN1_TIME(nullptr, &q, tlv.end - tlv.begin));
    return time && q == tlv.end && 1 == ASN1_TIME_check(time.get());
}

// Extensions ::= SEQUENCE OF SEQUENCE { extnID OBJECT IDENTIFIER, critical BOOLEAN DEFAULT FALSE,
// extnValue OCTET STRING }
bool TakeExtensions(const unsigned char*& p, const unsigned char* end)
{
    Tlv extensions;
    if (!TakeElement(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &extensions)) return false;
    for (const unsigned char* q = extensions.content; q != extensions.end;) {
        Tlv extension, critical, value;
        if (!TakeElement(q, extensions.end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &extension)) return false;
        const unsigned char* e = extension.content;
        if (!TakeObjectIdentifier(e, extension.end)) return false;
        if (TakeElement(e, extension.end, V_ASN1_BOOLEAN, V_ASN1_UNIVERSAL, false, &critical) &&
            critical.end - critical.content != 1)
            return false;
        if (!TakeElement(e, extension.end, V_ASN1_OCTET_STRING, V_ASN1_UNIVERSAL, false, &value) || e != extension.end)
            return false;
    }
    return true;
}

// TBSCertificate ::= SEQUENCE { [0] EXPLICIT version DEFAULT v1, serialNumber, signature, issuer,
// validity, subject, subjectPublicKeyInfo, [1] IMPLICIT issuerUniqueID OPTIONAL, [2] IMPLICIT
// subjectUniqueID OPTIONAL, [3] EXPLICIT extensions OPTIONAL }, checked to its end; the spans of
// the serial and the issuer come out.
bool CheckTbsCertificate(const unsigned char* p, const unsigned char* const end, Tlv* serial, Tlv* issuer)
{
    Tlv tlv, integer;
    if (TakeElement(p, end, 0, V_ASN1_CONTEXT_SPECIFIC, true, &tlv)) {
        const unsigned char* q = tlv.content;
        if (!TakeInteger(q, tlv.end, &integer) || q != tlv.end) return false;
    }
    if (!TakeInteger(p, end, serial) || !TakeAlgorithm(p, end) || !TakeName(p, end, issuer)) return false;

    if (!TakeElement(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &tlv)) return false;
    const unsigned char* q = tlv.content;
    if (!TakeTime(q, tlv.end) || !TakeTime(q, tlv.end) || q != tlv.end) return false;

    if (!TakeName(p, end, &tlv)) return false;

    // The public key's BIT STRING is left as it is.
    if (!TakeElement(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &tlv)) return false;
    q = tlv.content;
    if (!TakeAlgorithm(q, tlv.end) || !TakeBitString(q, tlv.end, V_ASN1_BIT_STRING, V_ASN1_UNIVERSAL) || q != tlv.end)
        return false;

    if (NextIs(p, end, 1, V_ASN1_CONTEXT_SPECIFIC, false) && !TakeBitString(p, end, 1, V_ASN1_CONTEXT_SPECIFIC))
        return false;
    if (NextIs(p, end, 2, V_ASN1_CONTEXT_SPECIFIC, false) && !TakeBitString(p, end, 2, V_ASN1_CONTEXT_SPECIFIC))
        return false;
    if (TakeElement(p, end, 3, V_ASN1_CONTEXT_SPECIFIC, true, &tlv)) {
        q = tlv.content;
        if (!TakeExtensions(q, tlv.end) || q != tlv.end) return false;
    }
    return p == end;
}

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature BIT STRING }, and nothing
// after it.
bool CheckCertificate(const unsigned char* der, long length, Tlv* serial, Tlv* issuer)
{
    const unsigned char* p = der;
    const unsigned char* const end = der + length;
    Tlv certificate, tbs;
    if (!TakeElement(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &certificate) || p != end) return false;
    p = certificate.content;
    return TakeElement(p, end, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true, &tbs) &&
           CheckTbsCertificate(tbs.content, tbs.end, serial, issuer) && TakeAlgorithm(p, end) &&
           TakeBitString(p, end, V_ASN1_BIT_STRING, V_ASN1_UNIVERSAL) && p == end;
}

// A certificate holds no encrypted PEM; without this the library would prompt on the terminal.
int NoPemPassword(char*, int, int, void*)
{
    return -1;
}

// Where the serial INTEGER and the issuer Name stand in a certificate's DER: in the caller's bytes,
// or in the DER of the caller's PEM text, which is kept here.
struct CertificatePieces {
    smkernel::OpenSslBytesPtr pemDer;
    Tlv serial, issuer;
};

// The pieces of bytes that are one well-formed certificate, DER or PEM text. Every field is checked
// to the end, tag and length, without decoding the public key: the library's full parse does that,
// and it is most of what a SignedData encoding costs. Bytes that are not one certificate give
// nothing: they would be copied as they are into a SignedData.
unsigned int ReadCertificatePieces(const char* pszFunc, const unsigned char* cert, int certLength,
                                   CertificatePieces& pieces)
{
    QOVA_FAIL_IF_IN(pszFunc, NULL == cert || certLength <= 0, QOVA_E_FAIL, "Check parameter");
    bool bWellFormed = CheckCertificate(cert, certLength, &pieces.serial, &pieces.issuer);
    if (!bWellFormed) {
        // PEM text: its DER, taken without decoding it. Text that is not PEM is no error of the library's.
        ERR_set_mark();
        smkernel::BioPtr bio(BIO_new_mem_buf(cert, certLength));
        unsigned char* pbyDer = NULL;
        char* pszName = NULL;
        long nDerLength = 0;
        if (bio && 1 == PEM_bytes_read_bio(&pbyDer, &nDerLength, &pszName, PEM_STRING_X509, bio.get(), NoPemPassword,
                                           NULL)) {
            pieces.pemDer.reset(pbyDer);
            bWellFormed = CheckCertificate(pbyDer, nDerLength, &pieces.serial, &pieces.issuer);
        }
        OPENSSL_free(pszName);
        ERR_pop_to_mark();
    }
    QOVA_FAIL_IF_IN(pszFunc, !bWellFormed, QOVA_E_FAIL, "Check certificate");
    return QOVA_OK;
}

// The issuer Name's DER through the library's own decoder and encoder, so that the octets handed
// out are those of its full parse. Traced in the name of pszFunc.
unsigned int EncodeIssuer(const char* pszFunc, const CertificatePieces& pieces, unsigned char** issuer,
                          int* issuerLength)
{
    const unsigned char* q = pieces.issuer.begin;
    X509NamePtr name(d2i_X509_NAME(NULL, &q, pieces.issuer.end - pieces.issuer.begin));
    const X509_NAME* pX509IssuerName = name.get();
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pX509IssuerName, QOVA_E_FAIL, "d2i_X509_NAME");

    unsigned char* pbyASN1Issuer = NULL;
    const int nASN1IssuerSize = i2d_X509_NAME(pX509IssuerName, &pbyASN1Issuer);
    smkernel::OpenSslBytesPtr encoded(pbyASN1Issuer);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, nASN1IssuerSize <= 0 || NULL == pbyASN1Issuer, QOVA_E_FAIL, "i2d_X509_NAME");
    return CopyOut(pszFunc, pbyASN1Issuer, nASN1IssuerSize, issuer, issuerLength);
}

// The serial INTEGER's DER in the certificate's minimal form, as the issuer above.
unsigned int EncodeSerialNumber(const char* pszFunc, const CertificatePieces& pieces, unsigned char** serialNumber,
                                int* serialNumberLength)
{
    const unsigned char* q = pieces.serial.begin;
    smkernel::Asn1IntegerPtr serial(d2i_ASN1_INTEGER(NULL, &q, pieces.serial.end - pieces.serial.begin));
    const ASN1_INTEGER* pIntegerSerialNumber = serial.get();
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pIntegerSerialNumber, QOVA_E_FAIL, "d2i_ASN1_INTEGER");

    unsigned char* pbyASN1SerialNumber = NULL;
    const int nASN1SerialNumberSize = i2d_ASN1_INTEGER(pIntegerSerialNumber, &pbyASN1SerialNumber);
    smkernel::OpenSslBytesPtr encoded(pbyASN1SerialNumber);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, nASN1SerialNumberSize <= 0 || NULL == pbyASN1SerialNumber, QOVA_E_FAIL,
                            "i2d_ASN1_INTEGER");
    return CopyOut(pszFunc, pbyASN1SerialNumber, nASN1SerialNumberSize, serialNumber, serialNumberLength);
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
    CertificatePieces pieces;
    const unsigned int nReadResult = ReadCertificatePieces(__func__, cert, certLength, pieces);
    if (QOVA_OK != nReadResult) return nReadResult;
    return EncodeIssuer(__func__, pieces, issuer, issuerLength);
}

unsigned int GetSerialNumberFromCert(unsigned char* cert, int certLength, unsigned char** serialNumber,
                                     int* serialNumberLength)
{
    QOVA_FAIL_IF(NULL == serialNumber || NULL == serialNumberLength, QOVA_E_INVALIDARG, "Check parameter");
    CertificatePieces pieces;
    const unsigned int nReadResult = ReadCertificatePieces(__func__, cert, certLength, pieces);
    if (QOVA_OK != nReadResult) return nReadResult;
    return EncodeSerialNumber(__func__, pieces, serialNumber, serialNumberLength);
}

unsigned int certpieces_detail::GetIssuerAndSerialNumberFromCert(const char* pszFunc, unsigned char* cert,
                                                                 int certLength, unsigned char** issuer,
                                                                 int* issuerLength, unsigned char** serialNumber,
                                                                 int* serialNumberLength)
{
    QOVA_FAIL_IF_IN(pszFunc,
                    NULL == issuer || NULL == issuerLength || NULL == serialNumber || NULL == serialNumberLength,
                    QOVA_E_INVALIDARG, "Check parameter");
    CertificatePieces pieces;
    unsigned int nResult = ReadCertificatePieces(pszFunc, cert, certLength, pieces);
    if (QOVA_OK != nResult) return nResult;
    unsigned char* pbyIssuer = NULL;
    int nIssuerLength = 0;
    nResult = EncodeIssuer(pszFunc, pieces, &pbyIssuer, &nIssuerLength);
    if (QOVA_OK != nResult) return nResult;
    Bytes issuerCopy(pbyIssuer);
    nResult = EncodeSerialNumber(pszFunc, pieces, serialNumber, serialNumberLength);
    if (QOVA_OK != nResult) return nResult;
    *issuer = issuerCopy.release();
    *issuerLength = nIssuerLength;
    return QOVA_OK;
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
