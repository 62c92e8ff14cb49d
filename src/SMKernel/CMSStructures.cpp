// CMS ContentInfo / EnvelopedData nodes, identifiers and algorithm identifiers, and the envelope
// readers.
#include "CMSStructures.h"

#include "DerStructureDetail.h"
#include "NodeExDetail.h"
#include "QovaTrace.h"
#include "KernelHolders.h"
#include "SslTraceDetail.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

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

constexpr int kEnvelopeVersion = 2;

constexpr IdentifierReasons kKeyEncryptionAlgReasons = {
    "NULL == pstKeyEncryptionAlgOid", "0 == nKeyEncryptionAlgOidLength", "nResult != nKeyEncryptionAlgOidLength"};
constexpr IdentifierReasons kContentEncryptionAlgReasons = {"NULL == pstContentEncryptionAlgOid",
                                                             "0 == nContentEncryptionAlgOidLength",
                                                             "nResult != nContentEncryptionAlgOidLength"};

// The shape is checked by child counts only; a mismatch is traced with the reason "true".
#define CHECK_ENVELOPE_NODES(func, ok)                                                                     \
    do {                                                                                                   \
        if (!(ok)) {                                                                                       \
            QOVA_TRACE_STEP_FAILED_IN((func), "Check CMS envelope nodes", QOVA_E_ENVELOPE_SHAPE, "true"); \
            return QOVA_E_ENVELOPE_SHAPE;                                                                  \
        }                                                                                                  \
    } while (0)

bool HasChildren(const NodeEx* node, size_t count)
{
    return node->vetNodes.size() == count;
}

// What the envelope readers found; only the requested parts are copied.
struct EnvelopeParts
{
    bool wantRid = false, wantKey = false, wantContent = false, wantKeyOid = false, wantContentOid = false,
         wantParameters = false;
    bool fileForm = false;
    Bytes rid, key, content, parameters;
    int ridLength = 0, keyLength = 0, contentLength = 0, parametersLength = 0;
    Text keyOid, contentOid;
    int keyOidLength = 0, contentOidLength = 0;
    NodeExPtr contentNode;
};

// The checks and copies both readers share, in the order the envelope is laid out.
unsigned int ReadEnvelopeTree(const char* pszFunc, NodeEx* pCMSEnvelope, EnvelopeParts& parts)
{
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pCMSEnvelope, 2));
    NodeEx* pExplicit = pCMSEnvelope->vetNodes[1];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pExplicit, 1));
    NodeEx* pEnvelopedData = pExplicit->vetNodes[0];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pEnvelopedData, 3));
    NodeEx* pRecipientInfos = pEnvelopedData->vetNodes[1];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pRecipientInfos, 1));
    NodeEx* pRecipient = pRecipientInfos->vetNodes[0];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pRecipient, 4));
    NodeEx* pRid = pRecipient->vetNodes[1];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pRid, 0));

    unsigned int nResult = QOVA_OK;
    if (parts.wantRid) {
        nResult = CopyNodeValue(pszFunc, pRid, 0, parts.rid, parts.ridLength);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "Copy recipient identifier");
    }

    NodeEx* pKeyEncryptionAlgorithm = pRecipient->vetNodes[2];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pKeyEncryptionAlgorithm, 2) &&
                                      HasChildren(pKeyEncryptionAlgorithm->vetNodes[0], 0));
    Text keyOid;
    int nKeyOidLength = 0;
    nResult = ReadObjectIdentifierText(pszFunc, pKeyEncryptionAlgorithm->vetNodes[0], kKeyEncryptionAlgReasons, keyOid,
                                       nKeyOidLength);
    if (QOVA_OK != nResult)
        return nResult;
    if (parts.wantKeyOid) {
        parts.keyOid = std::move(keyOid);
        parts.keyOidLength = nKeyOidLength;
    }

    NodeEx* pEncryptedKey = pRecipient->vetNodes[3];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pEncryptedKey, 0));
    if (parts.wantKey) {
        nResult = CopyNodeValue(pszFunc, pEncryptedKey, 0, parts.key, parts.keyLength);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "Copy encrypted key");
    }

    NodeEx* pEncryptedContentInfo = pEnvelopedData->vetNodes[2];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pEncryptedContentInfo, 3));
    NodeEx* pContentEncryptionAlgorithm = pEncryptedContentInfo->vetNodes[1];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pContentEncryptionAlgorithm, 2) &&
                                      HasChildren(pContentEncryptionAlgorithm->vetNodes[0], 0));
    Text contentOid;
    int nContentOidLength = 0;
    nResult = ReadObjectIdentifierText(pszFunc, pContentEncryptionAlgorithm->vetNodes[0],
                                       kContentEncryptionAlgReasons, contentOid, nContentOidLength);
    if (QOVA_OK != nResult)
        return nResult;
    if (parts.wantContentOid) {
        parts.contentOid = std::move(contentOid);
        parts.contentOidLength = nContentOidLength;
    }

    NodeEx* pParameters = pContentEncryptionAlgorithm->vetNodes[1];
    CHECK_ENVELOPE_NODES(pszFunc, HasChildren(pParameters, 0));
    if (parts.wantParameters && 0 != pParameters->ValueLength) {
        nResult = CopyNodeValue(pszFunc, pParameters, 0, parts.parameters, parts.parametersLength);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "Copy content encryption parameters");
    }

    // The implicit [0] is the ciphertext itself or, from a streaming writer, a constructed [0] of
    // OCTET STRING pieces; both forms take the same pieces: the file form streams them one by one,
    // the memory form joins them.
    NodeEx* pEncryptedContent = pEncryptedContentInfo->vetNodes[2];
    std::vector<const NodeEx*> pieces;
    CHECK_ENVELOPE_NODES(pszFunc, CollectOctetStringPieces(pEncryptedContent, kTagContext0, pieces));
    if (parts.fileForm) {
        if (parts.wantContent) {
            NodeEx* pCopy = nullptr;
            nResult = DuplicateNodeEx(pEncryptedContent, &pCopy, true);
            QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "DuplicateNodeEx");
            parts.contentNode.reset(pCopy);
        }
    } else if (parts.wantContent) {
        nResult = CopyJoinedPieces(pszFunc, pieces, 1, parts.content, parts.contentLength);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "Copy encrypted content");
    }
    return QOVA_OK;
}

template <class T>
void HandOut(std::unique_ptr<T[]>& value, int length, T** out, int* outLength)
{
    if (nullptr != out)
        *out = value.release();
    if (nullptr != outLength)
        *outLength = length;
}

}  // namespace

unsigned int GetOIDFromNID(int nid, char** oid, int* oidLength)
{
    QOVA_FAIL_IF(NULL == oid || NULL == oidLength, QOVA_E_INVALIDARG, "Check parameter");

    const ASN1_OBJECT* pASN1Obj = OBJ_nid2obj(nid);
    QOVA_FAIL_IF_SSL(NULL == pASN1Obj, QOVA_E_FAIL, "OBJ_nid2obj");

    Text text;
    int nOIDLen = 0;
    static constexpr IdentifierReasons kReasons = {"NULL == pASN1Obj", "0 == nOIDLen", "nResult != nOIDLen"};
    const unsigned int nResult = IdentifierText(__func__, pASN1Obj, kReasons, text, nOIDLen);
    if (QOVA_OK != nResult)
        return nResult;

    *oid = text.release();
    *oidLength = nOIDLen;
    return QOVA_OK;
}

unsigned int Encode_ObjectIdentifier(const char* oid, unsigned char** out, int* outLength, bool wrap)
{
    QOVA_FAIL_IF(NULL == oid || NULL == out || NULL == outLength, QOVA_E_INVALIDARG, "Check parameter");

    int nValueLength = a2d_ASN1_OBJECT(NULL, 0, oid, -1);
    QOVA_FAIL_IF_SSL(nValueLength <= 0, QOVA_E_FAIL, "a2d_ASN1_OBJECT");

    Bytes value(new (std::nothrow) unsigned char[nValueLength]);
    QOVA_FAIL_IF(NULL == value, QOVA_E_FAIL, "New memory");
    nValueLength = a2d_ASN1_OBJECT(value.get(), nValueLength, oid, -1);
    QOVA_FAIL_IF_SSL(nValueLength <= 0, QOVA_E_FAIL, "a2d_ASN1_OBJECT");

    if (!wrap) {
        *out = value.release();
        *outLength = nValueLength;
        return QOVA_OK;
    }
    unsigned char* pbyEncoded = nullptr;
    int nEncodedLength = 0;
    const unsigned int nResult = ASN1Encode(kTagOid, value.get(), nValueLength, &pbyEncoded, &nEncodedLength);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ASN1Encode");
    *out = pbyEncoded;
    *outLength = nEncodedLength;
    return QOVA_OK;
}

unsigned int Encode_AlgorithmIdentifier(const char* oid, unsigned char* parameters, int parametersLength,
                                        unsigned char** out, int* outLength, bool wrap)
{
    QOVA_FAIL_IF(NULL == out || NULL == outLength || BadBuffer(parameters, parametersLength), QOVA_E_INVALIDARG,
                 "Check parameter");

    unsigned char* pbyOid = nullptr;
    int nOidLength = 0;
    unsigned int nResult = Encode_ObjectIdentifier(oid, &pbyOid, &nOidLength, true);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_ObjectIdentifier");
    Bytes oidTLV(pbyOid);

    QOVA_FAIL_IF(static_cast<long long>(nOidLength) + parametersLength > INT_MAX, QOVA_E_FAIL, "Check length");
    const int nContentLength = nOidLength + parametersLength;
    Bytes content(new (std::nothrow) unsigned char[nContentLength]);
    QOVA_FAIL_IF(NULL == content, QOVA_E_FAIL, "New memory");
    memcpy(content.get(), oidTLV.get(), nOidLength);
    if (parametersLength > 0)
        memcpy(content.get() + nOidLength, parameters, parametersLength);

    if (!wrap) {
        *out = content.release();
        *outLength = nContentLength;
        return QOVA_OK;
    }
    unsigned char* pbyEncoded = nullptr;
    int nEncodedLength = 0;
    nResult = ASN1Encode(kTagSequence, content.get(), nContentLength, &pbyEncoded, &nEncodedLength);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ASN1Encode");
    *out = pbyEncoded;
    *outLength = nEncodedLength;
    return QOVA_OK;
}

unsigned int ConstructNode_ObjectIdentifier(const char* oid, NodeEx** node)
{
    QOVA_FAIL_IF(NULL == node, QOVA_E_INVALIDARG, "Check parameter");
    unsigned char* pbyValue = nullptr;
    int nValueLength = 0;
    unsigned int nResult = Encode_ObjectIdentifier(oid, &pbyValue, &nValueLength, false);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_ObjectIdentifier");
    Bytes value(pbyValue);
    nResult = CreateLeafNodeEx(kTagOid, value.get(), nValueLength, node);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(ObjectIdentifier)");
    return QOVA_OK;
}

unsigned int ConstructNode_AlgorithmIdentifier(const char* oid, unsigned char* parameters, int parametersLength,
                                               NodeEx** node)
{
    QOVA_FAIL_IF(NULL == node, QOVA_E_INVALIDARG, "Check parameter");
    unsigned char* pbyValue = nullptr;
    int nValueLength = 0;
    unsigned int nResult = Encode_AlgorithmIdentifier(oid, parameters, parametersLength, &pbyValue, &nValueLength,
                                                      false);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_AlgorithmIdentifier");
    Bytes value(pbyValue);
    nResult = CreateLeafNodeEx(kTagSequence, value.get(), nValueLength, node);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(AlgorithmIdentifier)");
    return QOVA_OK;
}

unsigned int ConstructNode_KeyTransRecipientInfo(int version, unsigned char* rid, int ridLength,
                                                 const char* keyEncryptionOID, unsigned char* parameters,
                                                 int parametersLength, unsigned char* encryptedKey,
                                                 int encryptedKeyLength, NodeEx** node)
{
    QOVA_FAIL_IF(NULL == node || BadBuffer(rid, ridLength) || BadBuffer(encryptedKey, encryptedKeyLength),
                 QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = CreateVersionLeaf(version, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(version)");
    NodeExPtr pVersion(pNode);

    nResult = CreateLeafNodeEx(kTagContext0, rid, ridLength, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(rid)");
    NodeExPtr pRid(pNode);

    nResult = ConstructNode_AlgorithmIdentifier(keyEncryptionOID, parameters, parametersLength, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_AlgorithmIdentifier");
    NodeExPtr pAlgorithm(pNode);

    nResult = CreateLeafNodeEx(kTagOctetString, encryptedKey, encryptedKeyLength, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(encryptedKey)");
    NodeExPtr pEncryptedKey(pNode);

    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(KeyTransRecipientInfo)");
    pNode->AddChild(pVersion.release());
    pNode->AddChild(pRid.release());
    pNode->AddChild(pAlgorithm.release());
    pNode->AddChild(pEncryptedKey.release());
    *node = pNode;
    return QOVA_OK;
}

unsigned int ConstructNode_EncryptedContentInfo(const char* contentTypeOID, const char* contentEncryptionOID,
                                                unsigned char* parameters, int parametersLength,
                                                unsigned char* encryptedContent, int encryptedContentLength,
                                                NodeEx** node)
{
    QOVA_FAIL_IF(NULL == node || encryptedContentLength < 0, QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = ConstructNode_ObjectIdentifier(contentTypeOID, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_ObjectIdentifier");
    NodeExPtr pContentType(pNode);

    nResult = ConstructNode_AlgorithmIdentifier(contentEncryptionOID, parameters, parametersLength, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_AlgorithmIdentifier");
    NodeExPtr pAlgorithm(pNode);

    // Without content octets the node still announces their length: the caller streams them
    // after the encoded envelope.
    nResult = CreateLeafNodeEx(kTagContext0, encryptedContent, encryptedContent ? encryptedContentLength : 0, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(encryptedContent)");
    NodeExPtr pContent(pNode);
    pContent->ValueLength = static_cast<unsigned long long>(encryptedContentLength);

    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(EncryptedContentInfo)");
    pNode->AddChild(pContentType.release());
    pNode->AddChild(pAlgorithm.release());
    pNode->AddChild(pContent.release());
    *node = pNode;
    return QOVA_OK;
}

unsigned int ConstructNode_EnvelopedData(int version, NodeEx* recipientInfos, NodeEx* encryptedContentInfo,
                                         NodeEx** node)
{
    NodeExPtr pRecipientInfos(recipientInfos);
    NodeExPtr pEncryptedContentInfo(encryptedContentInfo);
    QOVA_FAIL_IF(NULL == node, QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = CreateVersionLeaf(version, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(version)");
    NodeExPtr pVersion(pNode);

    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(EnvelopedData)");
    pNode->AddChild(pVersion.release());
    pNode->AddChild(pRecipientInfos.release());
    pNode->AddChild(pEncryptedContentInfo.release());
    *node = pNode;
    return QOVA_OK;
}

unsigned int ConstructNode_ContentInfo(const char* contentTypeOID, NodeEx* content, NodeEx** node)
{
    QOVA_FAIL_IF(NULL == node, QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = ConstructNode_ObjectIdentifier(contentTypeOID, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_ObjectIdentifier");
    NodeExPtr pContentType(pNode);

    nResult = CreateContainerNodeEx(kTagExplicit0, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(contex0)");
    NodeExPtr pExplicit(pNode);

    nResult = CreateContainerNodeEx(kTagSequence, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(ContentInfo)");
    // Nothing can fail from here on: the content changes hands only now.
    pExplicit->AddChild(content);
    pNode->AddChild(pContentType.release());
    pNode->AddChild(pExplicit.release());
    *node = pNode;
    return QOVA_OK;
}

unsigned int Encode_CMSEnvelope(const char* contentTypeOID, unsigned char* recipientKeyID, int recipientKeyIDLength,
                                const char* keyEncryptionOID, unsigned char* encryptedKey, int encryptedKeyLength,
                                const char* encryptedContentTypeOID, const char* contentEncryptionOID,
                                unsigned char* contentEncryptionParameters, int contentEncryptionParametersLength,
                                unsigned char* encryptedContent, int encryptedContentLength, unsigned char** out,
                                int* outLength)
{
    QOVA_FAIL_IF(NULL == out || NULL == outLength, QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    unsigned int nResult = ConstructNode_KeyTransRecipientInfo(
        kEnvelopeVersion, recipientKeyID, recipientKeyIDLength, keyEncryptionOID,
        const_cast<unsigned char*>(kNullParameters), sizeof(kNullParameters), encryptedKey, encryptedKeyLength, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_KeyTransRecipientInfo");
    NodeExPtr pRecipient(pNode);

    nResult = CreateContainerNodeEx(kTagSet, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "new NodeEx(RecipientInfos)");
    NodeExPtr pRecipientInfos(pNode);
    pRecipientInfos->AddChild(pRecipient.release());

    nResult = ConstructNode_EncryptedContentInfo(encryptedContentTypeOID, contentEncryptionOID,
                                                 contentEncryptionParameters, contentEncryptionParametersLength,
                                                 encryptedContent, encryptedContentLength, &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_EncryptedContentInfo");
    NodeExPtr pEncryptedContentInfo(pNode);

    nResult = ConstructNode_EnvelopedData(kEnvelopeVersion, pRecipientInfos.release(),
                                          pEncryptedContentInfo.release(), &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_EnvelopedData");
    NodeExPtr pEnvelopedData(pNode);

    nResult = ConstructNode_ContentInfo(contentTypeOID, pEnvelopedData.get(), &pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConstructNode_ContentInfo");
    pEnvelopedData.release();
    NodeExPtr pContentInfo(pNode);

    unsigned char* pbyEncoded = nullptr;
    int nEncodedLength = 0;
    int nCurrentDeepLevel = 0;
    nResult = EncodeASN1ToMemory(pContentInfo.get(), &pbyEncoded, &nEncodedLength, &nCurrentDeepLevel);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncodeASN1ToMemory");
    *out = pbyEncoded;
    *outLength = nEncodedLength;
    return QOVA_OK;
}

unsigned int Decode_CMSEnvelopeData(unsigned char* data, int dataLength, unsigned char** recipientKeyID,
                                    int* recipientKeyIDLength, unsigned char** encryptedKey, int* encryptedKeyLength,
                                    unsigned char** encryptedContent, int* encryptedContentLength,
                                    char** keyEncryptionOID, int* keyEncryptionOIDLength, char** contentEncryptionOID,
                                    int* contentEncryptionOIDLength, unsigned char** contentEncryptionParameters,
                                    int* contentEncryptionParametersLength)
{
    QOVA_FAIL_IF(NULL == data || dataLength <= 0, QOVA_E_INVALIDARG, "Check parameter");

    NodeEx* pNode = nullptr;
    const unsigned int nResult = DecodeASN1MemoryEx(data, static_cast<unsigned long>(dataLength), &pNode);
    NodeExPtr pCMSEnvelope(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult || NULL == pCMSEnvelope, QOVA_E_FAIL, "DecodeASN1MemoryEx");

    EnvelopeParts parts;
    parts.wantRid = recipientKeyID || recipientKeyIDLength;
    parts.wantKey = encryptedKey || encryptedKeyLength;
    parts.wantContent = encryptedContent || encryptedContentLength;
    parts.wantKeyOid = keyEncryptionOID || keyEncryptionOIDLength;
    parts.wantContentOid = contentEncryptionOID || contentEncryptionOIDLength;
    parts.wantParameters = contentEncryptionParameters || contentEncryptionParametersLength;
    const unsigned int nReadResult = ReadEnvelopeTree(__func__, pCMSEnvelope.get(), parts);
    if (QOVA_OK != nReadResult)
        return nReadResult;

    HandOut(parts.rid, parts.ridLength, recipientKeyID, recipientKeyIDLength);
    HandOut(parts.key, parts.keyLength, encryptedKey, encryptedKeyLength);
    HandOut(parts.content, parts.contentLength, encryptedContent, encryptedContentLength);
    HandOut(parts.keyOid, parts.keyOidLength, keyEncryptionOID, keyEncryptionOIDLength);
    HandOut(parts.contentOid, parts.contentOidLength, contentEncryptionOID, contentEncryptionOIDLength);
    HandOut(parts.parameters, parts.parametersLength, contentEncryptionParameters, contentEncryptionParametersLength);
    return QOVA_OK;
}

unsigned int Decode_CMSEnvelopeFile(FILE* file, unsigned char** recipientKeyID, int* recipientKeyIDLength,
                                    unsigned char** encryptedKey, int* encryptedKeyLength,
                                    NodeEx** encryptedContentNode, char** keyEncryptionOID,
                                    int* keyEncryptionOIDLength, char** contentEncryptionOID,
                                    int* contentEncryptionOIDLength, unsigned char** contentEncryptionParameters,
                                    int* contentEncryptionParametersLength)
{
    QOVA_FAIL_IF(NULL == file, QOVA_E_INVALIDARG, "Check parameter");
    FilePositionGuard position(file);

    NodeEx* pNode = nullptr;
    const unsigned int nResult = DecodeASN1FileEx(file, &pNode);
    NodeExPtr pCMSEnvelope(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult || NULL == pCMSEnvelope, QOVA_E_FAIL, "DecodeASN1FileEx");

    EnvelopeParts parts;
    parts.fileForm = true;
    parts.wantRid = recipientKeyID || recipientKeyIDLength;
    parts.wantKey = encryptedKey || encryptedKeyLength;
    parts.wantContent = NULL != encryptedContentNode;
    parts.wantKeyOid = keyEncryptionOID || keyEncryptionOIDLength;
    parts.wantContentOid = contentEncryptionOID || contentEncryptionOIDLength;
    parts.wantParameters = contentEncryptionParameters || contentEncryptionParametersLength;
    const unsigned int nReadResult = ReadEnvelopeTree(__func__, pCMSEnvelope.get(), parts);
    if (QOVA_OK != nReadResult)
        return nReadResult;

    HandOut(parts.rid, parts.ridLength, recipientKeyID, recipientKeyIDLength);
    HandOut(parts.key, parts.keyLength, encryptedKey, encryptedKeyLength);
    if (NULL != encryptedContentNode)
        *encryptedContentNode = parts.contentNode.release();
    HandOut(parts.keyOid, parts.keyOidLength, keyEncryptionOID, keyEncryptionOIDLength);
    HandOut(parts.contentOid, parts.contentOidLength, contentEncryptionOID, contentEncryptionOIDLength);
    HandOut(parts.parameters, parts.parametersLength, contentEncryptionParameters, contentEncryptionParametersLength);
    return QOVA_OK;
}
