// PKCS#7 SignedData: the node builders and the encoder, the readers over the DER tree engine and
// the crypto library, and the SM2 signature conversions.
#include "PKCS7SignedDataOperations.h"

#include "CMSStructures.h"
#include "DerStructureDetail.h"
#include "KernelHolders.h"
#include "Misc.h"
#include "QovaTrace.h"
#include "SM2CertHelpers.h"
#include "SM2CertHelpersDetail.h"
#include "SMContentTypes.h"
#include "SMRegistry.h"
#include "SslTraceDetail.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

using Bytes = std::unique_ptr<unsigned char[]>;
using Text = std::unique_ptr<char[]>;
using namespace der_detail;

// The attribute reader's checks name the tags so.
constexpr unsigned char ASN1_TAG_C_SEQUENCE = kTagSequence;
constexpr unsigned char ASN1_TAG_C_SET_OF = kTagSet;
constexpr unsigned char ASN1_TAG_P_OBJECT_IDENTIFIER = kTagOid;
constexpr int kSM2IntegerSize = SM2_RAW_RS_SIZE / 2;

// Content octets of 1.2.840.113549.1.7.2 (signedData) and 1.2.156.10197.6.1.4.2.2 (SM signedData).
constexpr unsigned char kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr unsigned char kSMSignedDataOid[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02};

// The SignerInfo fields of the signature in the form of the encoding code.
unsigned int ConstructSignatureNodes(const char* pszFunc, unsigned char* signature, int signatureSize,
                                     unsigned long encodedType, NodeExPtr& first, NodeExPtr& second)
{
    NodeEx* pNode = nullptr;
    unsigned int nResult = QOVA_OK;
    if (SIGNATURE_ENCODED_OCTET_STRING == encodedType) {
        nResult = CreateLeafNodeEx(kTagOctetString, signature, signatureSize, &pNode);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(RSA PKCS#1)");
        first.reset(pNode);
        return QOVA_OK;
    }
    if (SIGNATURE_ENCODED_SM2_INTEGERS != encodedType && SIGNATURE_ENCODED_SM2_SEQUENCE != encodedType &&
        SIGNATURE_ENCODED_SM2_DER_OCTETS != encodedType) {
        if (QovaLogEnabled())
            TRACE(1, "fSignatureEncodedType = 0x%04x", static_cast<unsigned int>(encodedType));
        QOVA_TRACE_STEP_FAILED_IN(pszFunc, "Invalid signature type.", QOVA_E_INVALIDARG, "true");
        return QOVA_E_INVALIDARG;
    }

    const int nRawSignatureSize = signatureSize;
    QOVA_FAIL_IF_IN(pszFunc, SM2_RAW_RS_SIZE != nRawSignatureSize, QOVA_E_INVALIDARG, "Check SM2 raw signature size");
    unsigned char* r = signature;
    unsigned char* s = signature + kSM2IntegerSize;
    if (SIGNATURE_ENCODED_SM2_INTEGERS == encodedType) {
        nResult = der_detail::CreateUnsignedIntegerLeaf(r, kSM2IntegerSize, &pNode);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(Raw signature R)");
        first.reset(pNode);
        nResult = der_detail::CreateUnsignedIntegerLeaf(s, kSM2IntegerSize, &pNode);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(Raw signature S)");
        second.reset(pNode);
    } else if (SIGNATURE_ENCODED_SM2_SEQUENCE == encodedType) {
        nResult = ConstructNode_SM2Q1(r, kSM2IntegerSize, s, kSM2IntegerSize, &pNode);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ConstructNode_SM2Q1");
        first.reset(pNode);
    } else {
        unsigned char* pbyQ1 = nullptr;
        int nQ1Size = 0;
        nResult = Encode_SM2Q1(r, kSM2IntegerSize, s, kSM2IntegerSize, &pbyQ1, &nQ1Size);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "Encode_SM2Q1");
        const Bytes q1(pbyQ1);
        nResult = CreateLeafNodeEx(kTagOctetString, pbyQ1, nQ1Size, &pNode);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(SM2 OCTET STRING Q1)");
        first.reset(pNode);
    }
    return QOVA_OK;
}

unsigned int ConstructAttributes(const char* pszFunc, unsigned char tag, std::vector<NodeEx*>* attributes,
                                 NodeEx** out)
{
    QOVA_FAIL_IF_IN(pszFunc, NULL == attributes || NULL == out, QOVA_E_INVALIDARG, "Check parameter");
    NodeEx* pNode = nullptr;
    const unsigned int nResult = CreateContainerNodeEx(tag, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(Attributes)");
    for (NodeEx*& pAttribute : *attributes) {
        pNode->AddChild(pAttribute);
        pAttribute = nullptr;
    }
    *out = pNode;
    return QOVA_OK;
}

unsigned int ConstructAttributesSingleItem(const char* pszFunc, unsigned char tag, const char* oid,
                                           unsigned char* values, int valuesSize, NodeEx** out)
{
    QOVA_FAIL_IF_IN(pszFunc, NULL == out, QOVA_E_INVALIDARG, "Check parameter");
    NodeEx* pNode = nullptr;
    unsigned int nResult = ConstructNode_Attribute(oid, values, valuesSize, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ConstructNode_Attribute");
    NodeExPtr pAttribute(pNode);
    nResult = CreateContainerNodeEx(tag, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(Attributes)");
    pNode->AddChild(pAttribute.release());
    *out = pNode;
    return QOVA_OK;
}

// ---- Readers ----

// The whole element (tag, length and value) of a child, read through its parent's value.
unsigned int CopyChildElement(const char* pszFunc, const NodeEx* pParent, const NodeEx* pChild, Bytes& copy,
                              int& nLength)
{
    const unsigned long long nHeader = 1 + pChild->LengthOctetsSize;
    QOVA_FAIL_IF_IN(pszFunc, pChild->ValueStartPosition < pParent->ValueStartPosition + nHeader, QOVA_E_FAIL,
                    "Check element position");
    const unsigned long long nOffset = pChild->ValueStartPosition - nHeader - pParent->ValueStartPosition;
    return CopyNodeOctets(pszFunc, pParent, nOffset, pChild->TotalLength, 0, copy, nLength);
}

// r||s from two INTEGER nodes: each one's last 32 content octets, right-aligned in its half.
unsigned int BuildRawSM2Signature(const char* pszFunc, const NodeEx* pR, const NodeEx* pS, Bytes& rs)
{
    Bytes raw(new (std::nothrow) unsigned char[SM2_RAW_RS_SIZE]());
    QOVA_FAIL_IF_IN(pszFunc, NULL == raw, QOVA_E_FAIL, "New memory");
    const NodeEx* halves[] = {pR, pS};
    for (int i = 0; i < 2; ++i) {
        const unsigned long long n = halves[i]->ValueLength;
        const unsigned long long k = std::min<unsigned long long>(n, kSM2IntegerSize);
        const unsigned int nResult =
            ReadNodeExValue(halves[i], n - k, raw.get() + (i + 1) * kSM2IntegerSize - k, k);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ReadNodeExValue");
    }
    rs = std::move(raw);
    return QOVA_OK;
}

bool ValueEquals(const NodeEx* pNode, const unsigned char* expected, size_t size)
{
    if (pNode->ValueLength != size)
        return false;
    unsigned char buffer[16];
    return size <= sizeof(buffer) && QOVA_OK == ReadNodeExValue(pNode, 0, buffer, size) &&
           0 == memcmp(buffer, expected, size);
}

// What the readers asked for and what they found.
struct SignedDataParts
{
    bool fileForm = false;
    bool decodeSM2Q1 = false;
    bool wantCert = false, wantSignature = false, wantContent = false, wantDigestOid = false,
         wantEncryptionOid = false, wantSigned = false, wantUnsigned = false;
    Bytes cert, signature, content, signedAttributes, unsignedAttributes;
    int certSize = 0, signatureSize = 0, contentSize = 0, signedAttributesSize = 0, unsignedAttributesSize = 0;
    long long contentOffset = 0;
    Text digestOid, encryptionOid;
    int digestOidSize = 0, encryptionOidSize = 0;
};

// Every index into the tree is checked against its parent's child count first: a structure of the
// wrong shape is QOVA_E_PKCS7_SHAPE, never a read past a child list.
#define PKCS7_SHAPE_FAIL_IF(cond, step) QOVA_FAIL_IF_IN(pszFunc, cond, QOVA_E_PKCS7_SHAPE, step)

unsigned int ReadCertificate(const char* pszFunc, NodeEx* pCertificates, NodeEx* pSignerInfo, SignedDataParts& parts)
{
    if (1 == pCertificates->vetNodes.size()) {
        if (parts.wantCert)
            return CopyNodeValue(pszFunc, pCertificates, 0, parts.cert, parts.certSize);
        return QOVA_OK;
    }

    NodeEx* pVersion = pSignerInfo->vetNodes[0];
    unsigned char byVersion = 0;
    PKCS7_SHAPE_FAIL_IF(kTagInteger != pVersion->Tag || 1 != pVersion->ValueLength ||
                            QOVA_OK != ReadNodeExValue(pVersion, 0, &byVersion, 1) || 1 != byVersion,
                        "Check PKCS#7 'signerInfo/version' node");
    NodeEx* pIssuerAndSerialNumber = pSignerInfo->vetNodes[1];
    PKCS7_SHAPE_FAIL_IF(pIssuerAndSerialNumber->vetNodes.size() < 2,
                        "Check PKCS#7 'signerInfo/issuerAndSerialNumber' nodes");
    Bytes serial;
    int nSerialSize = 0;
    unsigned int nResult = CopyNodeValue(pszFunc, pIssuerAndSerialNumber->vetNodes[1], 0, serial, nSerialSize);
    if (QOVA_OK != nResult)
        return nResult;

    // Certificates without the serial number where a certificate has it simply do not match.
    for (NodeEx* pCertificate : pCertificates->vetNodes) {
        if (pCertificate->vetNodes.empty() || pCertificate->vetNodes[0]->vetNodes.size() < 2)
            continue;
        NodeEx* pSerial = pCertificate->vetNodes[0]->vetNodes[1];
        if (pSerial->ValueLength != static_cast<unsigned long long>(nSerialSize))
            continue;
        Bytes candidate;
        int nCandidateSize = 0;
        nResult = CopyNodeValue(pszFunc, pSerial, 0, candidate, nCandidateSize);
        if (QOVA_OK != nResult)
            return nResult;
        if (0 != memcmp(candidate.get(), serial.get(), static_cast<size_t>(nSerialSize)))
            continue;
        if (parts.wantCert)
            return CopyChildElement(pszFunc, pCertificates, pCertificate, parts.cert, parts.certSize);
        return QOVA_OK;
    }
    if (QovaLogEnabled())
        TRACE(3, "No certificate carries the signer's serial number");
    return QOVA_OK;
}

constexpr IdentifierReasons kDigestAlgReasons = {"NULL == pstDigestAlgOid", "0 == nDigestAlgOidLength",
                                                  "nResult != nDigestAlgOidLength"};
constexpr IdentifierReasons kDigestEncryptionAlgReasons = {"NULL == pstDigestEncryptionAlgOid",
                                                            "0 == nDigestEncryptionAlgOidLength",
                                                            "nResult != nDigestEncryptionAlgOidLength"};

unsigned int ReadIdentifierText(const char* pszFunc, NodeEx* pAlgorithm, const IdentifierReasons& reasons,
                                Text& text, int& nLength)
{
    PKCS7_SHAPE_FAIL_IF(pAlgorithm->vetNodes.empty(), "Check PKCS#7 'algorithm' nodes");
    return ReadObjectIdentifierText(pszFunc, pAlgorithm->vetNodes[0], reasons, text, nLength);
}

unsigned int ReadSignature(const char* pszFunc, NodeEx* pContentType, NodeEx* pSignerInfo, size_t nSignatureIndex,
                           bool bHasSignedAttributes, SignedDataParts& parts)
{
    NodeEx* pSignature = pSignerInfo->vetNodes[nSignatureIndex];
    const NodeEx* pR = nullptr;
    const NodeEx* pS = nullptr;
    if (kTagSequence == pSignature->Tag && 2 == pSignature->vetNodes.size()) {
        pR = pSignature->vetNodes[0];
        pS = pSignature->vetNodes[1];
    } else if (kTagInteger == pSignature->Tag) {
        PKCS7_SHAPE_FAIL_IF(pSignerInfo->vetNodes.size() != (bHasSignedAttributes ? 7u : 6u) ||
                                kTagInteger != pSignerInfo->vetNodes[nSignatureIndex + 1]->Tag,
                            "Check PKCS#7 'signature' nodes");
        pR = pSignature;
        pS = pSignerInfo->vetNodes[nSignatureIndex + 1];
    } else {
        PKCS7_SHAPE_FAIL_IF(kTagOctetString != pSignature->Tag, "Check PKCS#7 'signature' nodes");
        const bool bSMSignedData = ValueEquals(pContentType, kSMSignedDataOid, sizeof(kSMSignedDataOid));
        PKCS7_SHAPE_FAIL_IF(kTagOid != pContentType->Tag ||
                                (!bSMSignedData && !ValueEquals(pContentType, kSignedDataOid, sizeof(kSignedDataOid))),
                            "Check PKCS#7 'contentType' nodes");
        Bytes value;
        int nValueSize = 0;
        unsigned int nResult = CopyNodeValue(pszFunc, pSignature, 0, value, nValueSize);
        if (QOVA_OK != nResult)
            return nResult;
        if (!bSMSignedData || !parts.decodeSM2Q1) {
            parts.signature = std::move(value);
            parts.signatureSize = nValueSize;
            return QOVA_OK;
        }
        unsigned char* pbyRS = nullptr;
        int nRSSize = 0;
        nResult = Decode_SM2Q1(value.get(), nValueSize, &pbyRS, &nRSSize);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, QOVA_E_FAIL, "Decode_SM2Q1");
        parts.signature.reset(pbyRS);
        parts.signatureSize = nRSSize;
        return QOVA_OK;
    }

    const unsigned long long nRawSingatureRSize = pR->ValueLength;
    const unsigned long long nRawSingatureSSize = pS->ValueLength;
    // The two-INTEGER forms take no r or s shorter than 28 octets; the limit is written out so that
    // the trace quotes it.
    PKCS7_SHAPE_FAIL_IF((nRawSingatureRSize < 28 || nRawSingatureSSize < 28), "Check R/S size >= 28");
    const unsigned int nResult = BuildRawSM2Signature(pszFunc, pR, pS, parts.signature);
    if (QOVA_OK != nResult)
        return nResult;
    parts.signatureSize = SM2_RAW_RS_SIZE;
    return QOVA_OK;
}

// The walk both readers share, in the order of the structure.
unsigned int ReadSignedDataTree(const char* pszFunc, NodeEx* pPKCS7, SignedDataParts& parts)
{
    PKCS7_SHAPE_FAIL_IF(pPKCS7->vetNodes.size() < 2, "Check PKCS#7 nodes");
    NodeEx* pContentType = pPKCS7->vetNodes[0];
    NodeEx* pExplicitContent = pPKCS7->vetNodes[1];
    PKCS7_SHAPE_FAIL_IF(pExplicitContent->vetNodes.empty(), "Check PKCS#7 'content [0]' nodes");
    NodeEx* pSignedData = pExplicitContent->vetNodes[0];
    PKCS7_SHAPE_FAIL_IF(pSignedData->vetNodes.size() < 5, "Check PKCS#7 'signedData' nodes");

    NodeEx* pContentInfo = pSignedData->vetNodes[2];
    if (pContentInfo->vetNodes.size() < 2) {
        if (QovaLogEnabled())
            TRACE(3, "It's a PKCS#7 detached signature");
        PKCS7_SHAPE_FAIL_IF(parts.fileForm, "Check PKCS#7 signature attached source data");
    } else {
        if (QovaLogEnabled())
            TRACE(3, "It's a PKCS#7 attached signature");
        NodeEx* pContentExplicit = pContentInfo->vetNodes[1];
        // The explicit [0] holds the content's one OCTET STRING; streaming writers split it into
        // pieces of a constructed string. Any other element is no content of ours to hand out.
        PKCS7_SHAPE_FAIL_IF(1 != pContentExplicit->vetNodes.size(), "Check PKCS#7 nodes");
        NodeEx* pData = pContentExplicit->vetNodes[0];
        std::vector<const NodeEx*> pieces;
        PKCS7_SHAPE_FAIL_IF(!CollectOctetStringPieces(pData, kTagOctetString, pieces),
                            "Check PKCS#7 'content' pieces");
        if (parts.fileForm) {
            // One offset and one size cannot name content in several pieces.
            PKCS7_SHAPE_FAIL_IF(pieces.size() > 1, "Check PKCS#7 content in one piece");
            const NodeEx* pPiece = pieces.empty() ? pData : pieces[0];
            const unsigned long long nContentSize = pieces.empty() ? 0 : pPiece->ValueLength;
            // Sizes are ints: content of 2^31 octets or more cannot be handed on.
            QOVA_FAIL_IF_IN(pszFunc, nContentSize > static_cast<unsigned long long>(INT_MAX), QOVA_E_READ_FAULT,
                            "Check content size");
            parts.contentOffset = static_cast<long long>(pPiece->ValueStartPosition);
            parts.contentSize = static_cast<int>(nContentSize);
        } else if (parts.wantContent) {
            const unsigned int nResult = CopyJoinedPieces(pszFunc, pieces, 1, parts.content, parts.contentSize);
            if (QOVA_OK != nResult)
                return nResult;
        }
    }

    NodeEx* pSignerInfos = pSignedData->vetNodes.back();
    PKCS7_SHAPE_FAIL_IF(kTagSet != pSignerInfos->Tag || pSignerInfos->vetNodes.empty(),
                        "Check PKCS#7 'signerInfos' nodes");
    NodeEx* pSignerInfo = pSignerInfos->vetNodes[0];
    const size_t nSignerInfoNodes = pSignerInfo->vetNodes.size();
    PKCS7_SHAPE_FAIL_IF(nSignerInfoNodes < 5, "Check PKCS#7 'signerInfo' nodes");

    unsigned int nResult = QOVA_OK;
    NodeEx* pCertificates = pSignedData->vetNodes[3];
    if (kTagExplicit0 == pCertificates->Tag) {
        nResult = ReadCertificate(pszFunc, pCertificates, pSignerInfo, parts);
        if (QOVA_OK != nResult)
            return nResult;
    }

    const bool bHasSignedAttributes = nSignerInfoNodes >= 6 && kTagExplicit0 == pSignerInfo->vetNodes[3]->Tag;
    const size_t nEncryptionIndex = bHasSignedAttributes ? 4 : 3;
    const size_t nSignatureIndex = nEncryptionIndex + 1;
    if (bHasSignedAttributes && parts.wantSigned) {
        nResult = CopyChildElement(pszFunc, pSignerInfo, pSignerInfo->vetNodes[3], parts.signedAttributes,
                                   parts.signedAttributesSize);
        if (QOVA_OK != nResult)
            return nResult;
    }
    if (nSignerInfoNodes == nSignatureIndex + 2 && kTagExplicit1 == pSignerInfo->vetNodes.back()->Tag &&
        parts.wantUnsigned) {
        nResult = CopyChildElement(pszFunc, pSignerInfo, pSignerInfo->vetNodes.back(), parts.unsignedAttributes,
                                   parts.unsignedAttributesSize);
        if (QOVA_OK != nResult)
            return nResult;
    }

    if (parts.wantDigestOid) {
        nResult = ReadIdentifierText(pszFunc, pSignerInfo->vetNodes[2], kDigestAlgReasons, parts.digestOid,
                                     parts.digestOidSize);
        if (QOVA_OK != nResult)
            return nResult;
    }
    if (parts.wantEncryptionOid) {
        nResult = ReadIdentifierText(pszFunc, pSignerInfo->vetNodes[nEncryptionIndex], kDigestEncryptionAlgReasons,
                                     parts.encryptionOid, parts.encryptionOidSize);
        if (QOVA_OK != nResult)
            return nResult;
    }
    return ReadSignature(pszFunc, pContentType, pSignerInfo, nSignatureIndex, bHasSignedAttributes, parts);
}

#undef PKCS7_SHAPE_FAIL_IF

template <class T>
void HandOut(std::unique_ptr<T[]>& value, int length, T** out, int* outLength)
{
    if (nullptr != out) {
        *out = value.release();
        *outLength = nullptr != *out ? length : 0;
    }
}

// The crypto library's PKCS#7 reader. Stock OpenSSL decodes the SM signedData content type as
// "other"; reading that as signed data would be type confusion, so it is refused here until the
// SM content types are normalised on the way in.
unsigned int ReadPKCS7(const char* pszFunc, unsigned char* data, int size, smkernel::Pkcs7Ptr& pkcs7)
{
    // The library's table reads the SM signedData type as "other"; the normalising reader turns it
    // (and SM data content) into the standard types, so no SM structure is read as the wrong kind.
    const unsigned char* p = data;
    PKCS7* pPKCS7 = SM_d2i_PKCS7(NULL, &p, size, NULL);
    pkcs7.reset(pPKCS7);
    SMKERNEL_FAIL_IF_SSL_IN(pszFunc, NULL == pPKCS7, QOVA_E_PKCS7_SHAPE, "d2i_PKCS7");
    return QOVA_OK;
}

// A new[] copy of a library string; an absent one is null and 0.
unsigned int CopyAsn1String(const char* pszFunc, const ASN1_STRING* pString, Bytes& copy, int& nLength)
{
    if (nullptr == pString) {
        copy.reset();
        nLength = 0;
        return QOVA_OK;
    }
    const int nSize = ASN1_STRING_length(pString);
    Bytes buffer(new (std::nothrow) unsigned char[std::max(1, nSize)]);
    QOVA_FAIL_IF_IN(pszFunc, NULL == buffer, QOVA_E_PKCS7_SHAPE, "New memory");
    if (nSize > 0)
        memcpy(buffer.get(), ASN1_STRING_get0_data(pString), static_cast<size_t>(nSize));
    copy = std::move(buffer);
    nLength = nSize;
    return QOVA_OK;
}

// An OCTET STRING leaf whose value stays in the caller's buffer: the encoder copies it straight
// into its output, so large content is copied once.
unsigned int CreateBufferLeaf(unsigned char tag, unsigned char* data, int size, NodeEx** node)
{
    NodeEx* pNode = new (std::nothrow) NodeEx();
    if (nullptr == pNode)
        return QOVA_E_FAIL;
    pNode->Tag = tag;
    pNode->pbySource = data;
    pNode->ValueLength = static_cast<unsigned long long>(size);
    pNode->CurrentLength = pNode->ValueLength;
    pNode->FileLength = pNode->ValueLength;
    *node = pNode;
    return QOVA_OK;
}

// ConstructNode_SignedData, traced in the name of pszFunc. Without bCopySourceData, content in
// memory stays in the caller's buffer, which must outlive the tree.
unsigned int ConstructSignedDataNode(const char* pszFunc, int version, const char* digestAlgorithmOID,
                                     const char* contentTypeOID, unsigned char* pbySourceData, int nSourceDataSize,
                                     FILE* fpSourceFile, bool bWithSourceData, bool bCopySourceData,
                                     unsigned char* pbyCert, int nCertSize, NodeEx* signerInfos, NodeEx** out)
{
    QOVA_FAIL_IF_IN(pszFunc, NULL == out || NULL == signerInfos || NULL == pbyCert || nCertSize <= 0 ||
                     (bWithSourceData && NULL != pbySourceData && nSourceDataSize < 0),
                 QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = CreateVersionLeaf(version, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(version)");
    NodeExPtr pVersion(pNode);

    nResult = ConstructNode_AlgorithmIdentifier(digestAlgorithmOID, const_cast<unsigned char*>(kNullParameters),
                                                sizeof(kNullParameters), &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ConstructNode_AlgorithmIdentifier");
    NodeExPtr pDigestAlgorithm(pNode);
    nResult = CreateContainerNodeEx(kTagSet, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(DigestAlgorithmSet)");
    NodeExPtr pDigestAlgorithms(pNode);
    pDigestAlgorithms->AddChild(pDigestAlgorithm.release());

    nResult = ConstructNode_ObjectIdentifier(contentTypeOID, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ConstructNode_ObjectIdentifier");
    NodeExPtr pContentType(pNode);
    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(ContentInfo)");
    NodeExPtr pContentInfo(pNode);
    pContentInfo->AddChild(pContentType.release());

    if (bWithSourceData) {
        QOVA_FAIL_IF_IN(pszFunc, NULL == pbySourceData && NULL == fpSourceFile, QOVA_E_FAIL, "Check source data or file is not NUL");
        if (NULL != pbySourceData) {
            nResult = bCopySourceData ? CreateLeafNodeEx(kTagOctetString, pbySourceData, nSourceDataSize, &pNode)
                                      : CreateBufferLeaf(kTagOctetString, pbySourceData, nSourceDataSize, &pNode);
            QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(SourceData)");
        } else {
            // The size query rewinds the file and refuses 2^31 octets or more.
            unsigned nFileSize = 0;
            nResult = GetFileSize_Ex(fpSourceFile, &nFileSize);
            QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "GetFileSize_Ex");
            nResult = CreateFileLeafNodeEx(kTagOctetString, fpSourceFile, 0, nFileSize, &pNode);
            QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(SourceFile)");
        }
        NodeExPtr pData(pNode);
        nResult = CreateContainerNodeEx(kTagExplicit0, &pNode);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(contextContent)");
        pNode->AddChild(pData.release());
        pContentInfo->AddChild(pNode);
    }

    nResult = CreateLeafNodeEx(kTagExplicit0, pbyCert, nCertSize, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(contextCert)");
    NodeExPtr pCertificates(pNode);

    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "new NodeEx(SignedData)");
    pNode->AddChild(pVersion.release());
    pNode->AddChild(pDigestAlgorithms.release());
    pNode->AddChild(pContentInfo.release());
    pNode->AddChild(pCertificates.release());
    pNode->AddChild(signerInfos);
    *out = pNode;
    return QOVA_OK;
}

}  // namespace

unsigned int ConstructNode_IssuerAndSerialNumber(unsigned char* issuer, int issuerSize, unsigned char* serial,
                                                 int serialSize, NodeEx** out)
{
    QOVA_FAIL_IF(NULL == out || BadBuffer(issuer, issuerSize) || BadBuffer(serial, serialSize) ||
                     issuerSize > INT_MAX - serialSize,
                 QOVA_E_INVALIDARG, "Check parameter");
    Bytes value(new (std::nothrow) unsigned char[std::max(1, issuerSize + serialSize)]);
    QOVA_FAIL_IF(NULL == value, QOVA_E_FAIL, "New memory");
    if (issuerSize > 0)
        memcpy(value.get(), issuer, static_cast<size_t>(issuerSize));
    if (serialSize > 0)
        memcpy(value.get() + issuerSize, serial, static_cast<size_t>(serialSize));
    const unsigned int nResult = CreateLeafNodeEx(kTagSequence, value.get(), issuerSize + serialSize, out);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(IssuerAndSerialNumber)");
    return QOVA_OK;
}

unsigned int ConstructNode_SM2Q1(unsigned char* r, int rSize, unsigned char* s, int sSize, NodeEx** out)
{
    QOVA_FAIL_IF(NULL == out || NULL == r || rSize <= 0 || NULL == s || sSize <= 0, QOVA_E_INVALIDARG,
                 "Check parameter");
    NodeEx* pNode = nullptr;
    unsigned int nResult = der_detail::CreateUnsignedIntegerLeaf(r, rSize, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(SM2 Q1 R)");
    NodeExPtr pR(pNode);
    nResult = der_detail::CreateUnsignedIntegerLeaf(s, sSize, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(SM2 Q1 S)");
    NodeExPtr pS(pNode);
    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(SM2 Q1)");
    pNode->AddChild(pR.release());
    pNode->AddChild(pS.release());
    *out = pNode;
    return QOVA_OK;
}

unsigned int Encode_SM2Q1(unsigned char* r, int rSize, unsigned char* s, int sSize, unsigned char** out,
                          int* outSize)
{
    QOVA_FAIL_IF(NULL == out || NULL == outSize, QOVA_E_INVALIDARG, "Check parameter");
    NodeEx* pNode = nullptr;
    unsigned int nResult = ConstructNode_SM2Q1(r, rSize, s, sSize, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_SM2Q1");
    const NodeExPtr pSM2Q1(pNode);
    unsigned char* pbyEncoded = nullptr;
    int nEncodedSize = 0;
    int nCurrentDeepLevel = 0;
    nResult = EncodeASN1ToMemory(pSM2Q1.get(), &pbyEncoded, &nEncodedSize, &nCurrentDeepLevel);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncodeASN1ToMemory");
    *out = pbyEncoded;
    *outSize = nEncodedSize;
    return QOVA_OK;
}

unsigned int ConstructNode_Attribute(const char* oid, unsigned char* values, int valuesSize, NodeEx** out)
{
    QOVA_FAIL_IF(NULL == out || BadBuffer(values, valuesSize), QOVA_E_INVALIDARG, "Check parameter");
    NodeEx* pNode = nullptr;
    unsigned int nResult = ConstructNode_ObjectIdentifier(oid, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_ObjectIdentifier");
    NodeExPtr pType(pNode);
    nResult = CreateLeafNodeEx(kTagSet, values, valuesSize, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(AttributeValues)");
    NodeExPtr pValues(pNode);
    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(Attribute)");
    pNode->AddChild(pType.release());
    pNode->AddChild(pValues.release());
    *out = pNode;
    return QOVA_OK;
}

unsigned int ConstructNode_SignedAttributes(std::vector<NodeEx*>* attributes, NodeEx** out)
{
    return ConstructAttributes(__func__, kTagExplicit0, attributes, out);
}

unsigned int ConstructNode_UnsignedAttributes(std::vector<NodeEx*>* attributes, NodeEx** out)
{
    return ConstructAttributes(__func__, kTagExplicit1, attributes, out);
}

unsigned int ConstructNode_SignedAttributes_SingleItem(const char* oid, unsigned char* values, int valuesSize,
                                                       NodeEx** out)
{
    return ConstructAttributesSingleItem(__func__, kTagExplicit0, oid, values, valuesSize, out);
}

unsigned int ConstructNode_UnsignedAttributes_SingleItem(const char* oid, unsigned char* values, int valuesSize,
                                                         NodeEx** out)
{
    return ConstructAttributesSingleItem(__func__, kTagExplicit1, oid, values, valuesSize, out);
}

unsigned int ConstructNode_SignerInfo(int version, NodeEx* issuerAndSerialNumber, const char* digestAlgorithmOID,
                                      NodeEx* authenticatedAttributes, const char* digestEncryptionAlgorithmOID,
                                      unsigned char* signature, int signatureSize, unsigned long encodedType,
                                      NodeEx* unauthenticatedAttributes, NodeEx** out)
{
    QOVA_FAIL_IF(NULL == out || NULL == issuerAndSerialNumber || BadBuffer(signature, signatureSize),
                 QOVA_E_INVALIDARG, "Check parameter");

    // Every node of our own is made before the caller's nodes are linked: on failure these are
    // released and the caller's stay untouched.
    NodeEx* pNode = nullptr;
    unsigned int nResult = CreateVersionLeaf(version, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(version)");
    NodeExPtr pVersion(pNode);

    nResult = ConstructNode_AlgorithmIdentifier(digestAlgorithmOID, const_cast<unsigned char*>(kNullParameters),
                                                sizeof(kNullParameters), &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_AlgorithmIdentifier(digestAlgorithm)");
    NodeExPtr pDigestAlgorithm(pNode);

    nResult = ConstructNode_AlgorithmIdentifier(digestEncryptionAlgorithmOID,
                                                const_cast<unsigned char*>(kNullParameters), sizeof(kNullParameters),
                                                &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_AlgorithmIdentifier(digestEncryptionAlgorithm)");
    NodeExPtr pDigestEncryptionAlgorithm(pNode);

    NodeExPtr pSignature, pSignatureSecond;
    nResult = ConstructSignatureNodes(__func__, signature, signatureSize, encodedType, pSignature, pSignatureSecond);
    if (QOVA_OK != nResult)
        return nResult;

    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(SM2P7SignerInfo)");
    pNode->AddChild(pVersion.release());
    pNode->AddChild(issuerAndSerialNumber);
    pNode->AddChild(pDigestAlgorithm.release());
    pNode->AddChild(authenticatedAttributes);
    pNode->AddChild(pDigestEncryptionAlgorithm.release());
    pNode->AddChild(pSignature.release());
    pNode->AddChild(pSignatureSecond.release());
    pNode->AddChild(unauthenticatedAttributes);
    *out = pNode;
    return QOVA_OK;
}

unsigned int ConstructNode_SignedData(int version, const char* digestAlgorithmOID, const char* contentTypeOID,
                                      unsigned char* pbySourceData, int nSourceDataSize, FILE* fpSourceFile,
                                      bool bWithSourceData, unsigned char* pbyCert, int nCertSize,
                                      NodeEx* signerInfos, NodeEx** out)
{
    return ConstructSignedDataNode(__func__, version, digestAlgorithmOID, contentTypeOID, pbySourceData,
                                   nSourceDataSize, fpSourceFile, bWithSourceData, true, pbyCert, nCertSize,
                                   signerInfos, out);
}

unsigned int Encode_PKCS7Signature(unsigned char* pbyCert, int nCertSize, unsigned char* pbySourceData,
                                   int nSourceDataSize, FILE* fpSourceFile, bool bWithSourceData,
                                   const char* contentInfoOID, const char* contentTypeOID,
                                   const char* digestAlgorithmOID, NodeEx* authenticatedAttributes,
                                   const char* digestEncryptionAlgorithmOID, unsigned char* signature,
                                   int signatureSize, unsigned long encodedType, NodeEx* unauthenticatedAttributes,
                                   unsigned char** outData, int* outDataSize, FILE* outFile, int* outFileSize)
{
    // The attribute nodes are ours from here on, whatever the result.
    NodeExPtr pSignedAttributes(authenticatedAttributes);
    NodeExPtr pUnsignedAttributes(unauthenticatedAttributes);
    QOVA_FAIL_IF(NULL == pbyCert || nCertSize <= 0 || (NULL != outData && NULL == outDataSize), QOVA_E_INVALIDARG,
                 "Check parameter");

    unsigned char* pbyIssuer = nullptr;
    int nIssuerSize = 0;
    unsigned char* pbySerial = nullptr;
    int nSerialSize = 0;
    unsigned int nResult = certpieces_detail::GetIssuerAndSerialNumberFromCert(
        __func__, pbyCert, nCertSize, &pbyIssuer, &nIssuerSize, &pbySerial, &nSerialSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetIssuerAndSerialNumberFromCert");
    const Bytes issuer(pbyIssuer);
    const Bytes serial(pbySerial);

    NodeEx* pNode = nullptr;
    nResult = ConstructNode_IssuerAndSerialNumber(pbyIssuer, nIssuerSize, pbySerial, nSerialSize, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_IssuerAndSerialNumber");
    NodeExPtr pIssuerAndSerialNumber(pNode);

    nResult = ConstructNode_SignerInfo(1, pIssuerAndSerialNumber.get(), digestAlgorithmOID, pSignedAttributes.get(),
                                       digestEncryptionAlgorithmOID, signature, signatureSize, encodedType,
                                       pUnsignedAttributes.get(), &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_SignerInfo");
    pIssuerAndSerialNumber.release();
    pSignedAttributes.release();
    pUnsignedAttributes.release();
    NodeExPtr pSignerInfo(pNode);

    nResult = CreateContainerNodeEx(kTagSet, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(SignerInfoSet)");
    NodeExPtr pSignerInfos(pNode);
    pSignerInfos->AddChild(pSignerInfo.release());

    // The content is encoded before this call returns: it need not be copied into the tree.
    nResult = ConstructSignedDataNode(__func__, 1, digestAlgorithmOID, contentTypeOID, pbySourceData,
                                      nSourceDataSize, fpSourceFile, bWithSourceData, false, pbyCert, nCertSize,
                                      pSignerInfos.get(), &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_SignedData");
    pSignerInfos.release();
    NodeExPtr pSignedData(pNode);

    nResult = ConstructNode_ContentInfo(contentInfoOID, pSignedData.get(), &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_ContentInfo");
    pSignedData.release();
    const NodeExPtr pContentInfo(pNode);

    int nCurrentDeepLevel = 0;
    if (NULL != outData) {
        unsigned char* pbyEncoded = nullptr;
        int nEncodedSize = 0;
        nResult = EncodeASN1ToMemory(pContentInfo.get(), &pbyEncoded, &nEncodedSize, &nCurrentDeepLevel);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncodeASN1ToMemory");
        *outData = pbyEncoded;
        *outDataSize = nEncodedSize;
    } else if (NULL != outFile) {
        int nWritten = 0;
        nResult = EncodeASN1ToFile(pContentInfo.get(), outFile, &nWritten, &nCurrentDeepLevel);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncodeASN1ToFile");
        if (NULL != outFileSize)
            *outFileSize = nWritten;
    }
    return QOVA_OK;
}

unsigned int Decode_SM2Q1(unsigned char* der, int size, unsigned char** rs, int* rsSize)
{
    QOVA_FAIL_IF(NULL == der || NULL == rs || NULL == rsSize, QOVA_E_INVALIDARG, "Check parameter");
    if (size < SM2_DER_SIGNATURE_MIN_SIZE || size > SM2_DER_SIGNATURE_MAX_SIZE) {
        QOVA_TRACE_STEP_FAILED("Invalid SM2 Q1 signature size.", QOVA_E_FAIL, "true");
        return QOVA_E_FAIL;
    }

    NodeEx* pNode = nullptr;
    unsigned int nResult = DecodeASN1MemoryEx(der, static_cast<unsigned long>(size), &pNode);
    const NodeExPtr pNodeSM2Q1(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult || NULL == pNodeSM2Q1, QOVA_E_FAIL, "DecodeASN1MemoryEx");
    QOVA_FAIL_IF(2 != pNodeSM2Q1->vetNodes.size(), QOVA_E_FAIL, "Invalid SM2 Q1 signature nodes number.");

    Bytes raw;
    nResult = BuildRawSM2Signature(__func__, pNodeSM2Q1->vetNodes[0], pNodeSM2Q1->vetNodes[1], raw);
    if (QOVA_OK != nResult)
        return nResult;
    *rs = raw.release();
    *rsSize = SM2_RAW_RS_SIZE;
    return QOVA_OK;
}

unsigned int ParsePKCS7Signature(unsigned char* data, int size, unsigned char** cert, int* certSize,
                                 unsigned char** signature, int* signatureSize, unsigned char** content,
                                 int* contentSize, char** digestOID, int* digestOIDSize, char** digestEncryptionOID,
                                 int* digestEncryptionOIDSize, unsigned char** signedAttributes,
                                 int* signedAttributesSize, unsigned char** unsignedAttributes,
                                 int* unsignedAttributesSize, int bDecodeSM2Q1)
{
    QOVA_FAIL_IF(NULL == data || size <= 0, QOVA_E_INVALIDARG, "Check parameter");
    QOVA_FAIL_IF((cert && !certSize) || (signature && !signatureSize) || (content && !contentSize) ||
                     (digestOID && !digestOIDSize) || (digestEncryptionOID && !digestEncryptionOIDSize) ||
                     (signedAttributes && !signedAttributesSize) || (unsignedAttributes && !unsignedAttributesSize),
                 QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    const unsigned int nResult = DecodeASN1MemoryEx(data, static_cast<unsigned long>(size), &pNode);
    const NodeExPtr pPKCS7(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult || NULL == pPKCS7, QOVA_E_FAIL, "DecodeASN1MemoryEx");

    SignedDataParts parts;
    parts.decodeSM2Q1 = 0 != bDecodeSM2Q1;
    parts.wantCert = NULL != cert;
    parts.wantSignature = NULL != signature;
    parts.wantContent = NULL != content;
    parts.wantDigestOid = NULL != digestOID;
    parts.wantEncryptionOid = NULL != digestEncryptionOID;
    parts.wantSigned = NULL != signedAttributes;
    parts.wantUnsigned = NULL != unsignedAttributes;
    const unsigned int nReadResult = ReadSignedDataTree(__func__, pPKCS7.get(), parts);
    if (QOVA_OK != nReadResult)
        return nReadResult;

    HandOut(parts.cert, parts.certSize, cert, certSize);
    HandOut(parts.signature, parts.signatureSize, signature, signatureSize);
    HandOut(parts.content, parts.contentSize, content, contentSize);
    HandOut(parts.digestOid, parts.digestOidSize, digestOID, digestOIDSize);
    HandOut(parts.encryptionOid, parts.encryptionOidSize, digestEncryptionOID, digestEncryptionOIDSize);
    HandOut(parts.signedAttributes, parts.signedAttributesSize, signedAttributes, signedAttributesSize);
    HandOut(parts.unsignedAttributes, parts.unsignedAttributesSize, unsignedAttributes, unsignedAttributesSize);
    return QOVA_OK;
}

unsigned int ParsePKCS7AttachedSignatureFile(FILE* file, unsigned char** cert, int* certSize,
                                             unsigned char** signature, int* signatureSize, long long* contentOffset,
                                             int* contentSize, char** digestOID, int* digestOIDSize,
                                             char** digestEncryptionOID, int* digestEncryptionOIDSize,
                                             unsigned char** signedAttributes, int* signedAttributesSize,
                                             unsigned char** unsignedAttributes, int* unsignedAttributesSize)
{
    QOVA_FAIL_IF(NULL == file, QOVA_E_INVALIDARG, "Check parameter");
    QOVA_FAIL_IF((cert && !certSize) || (signature && !signatureSize) || (digestOID && !digestOIDSize) ||
                     (digestEncryptionOID && !digestEncryptionOIDSize) ||
                     (signedAttributes && !signedAttributesSize) || (unsignedAttributes && !unsignedAttributesSize),
                 QOVA_E_INVALIDARG, "Check parameter");
    const FilePositionGuard position(file);

    NodeEx* pNode = nullptr;
    const unsigned int nResult = DecodeASN1FileEx(file, &pNode);
    const NodeExPtr pPKCS7(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult || NULL == pPKCS7, QOVA_E_FAIL, "DecodeASN1FileEx");

    SignedDataParts parts;
    parts.fileForm = true;
    parts.decodeSM2Q1 = true;
    parts.wantCert = NULL != cert;
    parts.wantSignature = NULL != signature;
    parts.wantDigestOid = NULL != digestOID;
    parts.wantEncryptionOid = NULL != digestEncryptionOID;
    parts.wantSigned = NULL != signedAttributes;
    parts.wantUnsigned = NULL != unsignedAttributes;
    const unsigned int nReadResult = ReadSignedDataTree(__func__, pPKCS7.get(), parts);
    if (QOVA_OK != nReadResult)
        return nReadResult;

    HandOut(parts.cert, parts.certSize, cert, certSize);
    HandOut(parts.signature, parts.signatureSize, signature, signatureSize);
    if (NULL != contentOffset)
        *contentOffset = parts.contentOffset;
    if (NULL != contentSize)
        *contentSize = parts.contentSize;
    HandOut(parts.digestOid, parts.digestOidSize, digestOID, digestOIDSize);
    HandOut(parts.encryptionOid, parts.encryptionOidSize, digestEncryptionOID, digestEncryptionOIDSize);
    HandOut(parts.signedAttributes, parts.signedAttributesSize, signedAttributes, signedAttributesSize);
    HandOut(parts.unsignedAttributes, parts.unsignedAttributesSize, unsignedAttributes, unsignedAttributesSize);
    return QOVA_OK;
}

unsigned int ParseSignedUnsignedAttributes(unsigned char* attributes, int size, const char* oid,
                                           unsigned char** values, int* valuesSize)
{
    QOVA_FAIL_IF(NULL == attributes || size <= 0 || NULL == oid, QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = DecodeASN1MemoryEx(attributes, static_cast<unsigned long>(size), &pNode);
    const NodeExPtr pNodeAttributes(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult || NULL == pNodeAttributes, QOVA_E_MALFORMED, "DecodeASN1MemoryEx");
    QOVA_FAIL_IF(pNodeAttributes->vetNodes.size() < 1, QOVA_E_MALFORMED, "Check child nodes number");

    unsigned char* pbyOid = nullptr;
    int nOidSize = 0;
    nResult = Encode_ObjectIdentifier(oid, &pbyOid, &nOidSize, false);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_ObjectIdentifier");
    const Bytes wanted(pbyOid);

    bool bFoundAttribute = false;
    for (NodeEx* pAttribute : pNodeAttributes->vetNodes) {
        NodeEx* pNodeCursor = pAttribute;
        QOVA_FAIL_IF((pNodeCursor->vetNodes.size() != 2 || pNodeCursor->Tag != ASN1_TAG_C_SEQUENCE), QOVA_E_MALFORMED,
                     "Check attribute node");
        pNodeCursor = pAttribute->vetNodes[0];
        QOVA_FAIL_IF((pNodeCursor->vetNodes.size() != 0 || pNodeCursor->Tag != ASN1_TAG_P_OBJECT_IDENTIFIER), QOVA_E_MALFORMED,
                     "Check attrType node");
        if (pNodeCursor->ValueLength != static_cast<unsigned long long>(nOidSize) ||
            0 != memcmp(GetNodeExValuePointer(pNodeCursor), pbyOid, static_cast<size_t>(nOidSize)))
            continue;

        pNodeCursor = pAttribute->vetNodes[1];
        QOVA_FAIL_IF((pNodeCursor->vetNodes.size() < 1 || pNodeCursor->Tag != ASN1_TAG_C_SET_OF), QOVA_E_MALFORMED,
                     "Check attrValues node");
        if (NULL != values && NULL != valuesSize) {
            Bytes copy;
            int nCopySize = 0;
            nResult = CopyNodeValue(__func__, pNodeCursor, 0, copy, nCopySize);
            if (QOVA_OK != nResult)
                return nResult;
            *values = copy.release();
            *valuesSize = nCopySize;
        }
        bFoundAttribute = true;
        break;
    }
    QOVA_FAIL_IF(!bFoundAttribute, QOVA_E_MALFORMED, "Have found the target attribute?");
    return QOVA_OK;
}

unsigned int DecodeRSAPKCS7Signature(unsigned char* data, int size, X509** cert, int* digestNID,
                                     unsigned char** signature, int* signatureSize, unsigned char** content,
                                     int* contentSize)
{
    QOVA_FAIL_IF(NULL == data || size <= 0 || (signature && !signatureSize) || (content && !contentSize),
                 QOVA_E_PKCS7_SHAPE, "Check parameter");

    smkernel::Pkcs7Ptr pkcs7;
    unsigned int nResult = ReadPKCS7(__func__, data, size, pkcs7);
    if (QOVA_OK != nResult)
        return nResult;
    PKCS7* pPKCS7 = pkcs7.get();
    QOVA_FAIL_IF(!PKCS7_type_is_signed(pPKCS7), QOVA_E_PKCS7_SHAPE, "PKCS7_type_is_signed");
    QOVA_FAIL_IF(NULL == pPKCS7->d.sign, QOVA_E_PKCS7_SHAPE, "Check PKCS#7 'signedData' content");

    STACK_OF(PKCS7_SIGNER_INFO)* pSignerInfos = PKCS7_get_signer_info(pPKCS7);
    PKCS7_SIGNER_INFO* pSignerInfo =
        sk_PKCS7_SIGNER_INFO_num(pSignerInfos) > 0 ? sk_PKCS7_SIGNER_INFO_value(pSignerInfos, 0) : NULL;
    QOVA_FAIL_IF(NULL == pSignerInfo, QOVA_E_PKCS7_SHAPE, "PKCS7_get_signer_info");

    X509* pX509 = PKCS7_cert_from_signer_info(pPKCS7, pSignerInfo);
    SMKERNEL_FAIL_IF_SSL_IN(__func__, NULL == pX509, QOVA_E_PKCS7_SHAPE, "PKCS7_cert_from_signer_info");

    const int nDigestAlgNID =
        NULL != pSignerInfo->digest_alg ? OBJ_obj2nid(pSignerInfo->digest_alg->algorithm) : NID_undef;
    QOVA_FAIL_IF(NID_undef == nDigestAlgNID, QOVA_E_PKCS7_SHAPE, "OBJ_obj2nid");

    Bytes signatureCopy;
    int nSignatureCopySize = 0;
    nResult = CopyAsn1String(__func__, pSignerInfo->enc_digest, signatureCopy, nSignatureCopySize);
    if (QOVA_OK != nResult)
        return nResult;

    // Only a data content is read as an OCTET STRING; any other inner type has none for us.
    PKCS7* pInner = pPKCS7->d.sign->contents;
    const ASN1_OCTET_STRING* pData =
        (NULL != pInner && PKCS7_type_is_data(pInner)) ? pInner->d.data : NULL;
    Bytes contentCopy;
    int nContentCopySize = 0;
    nResult = CopyAsn1String(__func__, pData, contentCopy, nContentCopySize);
    if (QOVA_OK != nResult)
        return nResult;

    smkernel::X509Ptr certCopy;
    if (NULL != cert) {
        certCopy.reset(X509_dup(pX509));
        SMKERNEL_FAIL_IF_SSL_IN(__func__, !certCopy, QOVA_E_PKCS7_SHAPE, "X509_dup");
    }

    if (NULL != cert)
        *cert = certCopy.release();
    if (NULL != digestNID)
        *digestNID = nDigestAlgNID;
    HandOut(signatureCopy, nSignatureCopySize, signature, signatureSize);
    HandOut(contentCopy, nContentCopySize, content, contentSize);
    return QOVA_OK;
}
