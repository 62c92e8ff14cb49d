// Small helpers shared by the kernel's DER structure code (CMS envelopes, PKCS#7 SignedData, the
// SM2 certificate pieces and the PKCS#1 signatures); not part of the kernel's interface.
#ifndef VARNELL_SMKERNEL_DER_STRUCTURE_DETAIL_H
#define VARNELL_SMKERNEL_DER_STRUCTURE_DETAIL_H

#include "KernelHolders.h"
#include "NodeEx.h"
#include "NodeExDetail.h"
#include "QovaTrace.h"
#include "SslTraceDetail.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

namespace der_detail {

// Identifier octets of the universal and context-specific tags the structures use.
constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagBitString = 0x03;
constexpr unsigned char kTagOctetString = 0x04;
constexpr unsigned char kTagOid = 0x06;
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagSet = 0x31;
constexpr unsigned char kTagContext0 = 0x80;
constexpr unsigned char kTagExplicit0 = 0xA0;
constexpr unsigned char kTagExplicit1 = 0xA1;
constexpr unsigned char kConstructedBit = 0x20;
// An AlgorithmIdentifier's NULL parameters.
constexpr unsigned char kNullParameters[] = {0x05, 0x00};

// A buffer argument that cannot be read: a negative length, or no data for a non-zero length.
inline bool BadBuffer(const void* data, int length)
{
    return length < 0 || (nullptr == data && 0 != length);
}

// The one-octet INTEGER of a structure's version.
inline unsigned int CreateVersionLeaf(int version, NodeEx** node)
{
    const unsigned char byVersion = static_cast<unsigned char>(version & 0xFF);
    return CreateLeafNodeEx(kTagInteger, &byVersion, 1, node);
}

// An INTEGER leaf of an unsigned big-endian number in minimal DER form: leading zero octets are
// dropped (one stays for zero) and 00 goes in front of a first octet of 0x80 or above. Numbers of a
// fixed width (SM2 coordinates, r and s) begin with 00 about once in 256; written with all their
// octets they are not DER, and strict readers (OpenSSL's among them) refuse them.
inline unsigned int CreateUnsignedIntegerLeaf(const unsigned char* value, int size, NodeEx** node)
{
    if (nullptr == value || size <= 0 || nullptr == node) return QOVA_E_INVALIDARG;
    while (size > 1 && 0x00 == value[0]) {
        ++value;
        --size;
    }
    if (value[0] < 0x80) return CreateLeafNodeEx(kTagInteger, value, size, node);
    if (size > INT_MAX - 1) return QOVA_E_FAIL;
    std::unique_ptr<unsigned char[]> padded(new (std::nothrow) unsigned char[static_cast<size_t>(size) + 1]);
    if (nullptr == padded) return QOVA_E_FAIL;
    padded[0] = 0x00;
    std::copy(value, value + size, padded.get() + 1);
    return CreateLeafNodeEx(kTagInteger, padded.get(), size + 1, node);
}

// A new[] copy of count octets of the node's value from offset, followed by nExtraZeros zero
// octets (at least one octet is allocated, so an empty value still gives a pointer). Traced in
// the name of pszFunc.
inline unsigned int CopyNodeOctets(const char* pszFunc, const NodeEx* pNode, unsigned long long offset,
                                   unsigned long long count, int nExtraZeros, std::unique_ptr<unsigned char[]>& copy,
                                   int& nLength)
{
    QOVA_FAIL_IF_IN(pszFunc, count > static_cast<unsigned long long>(INT_MAX - nExtraZeros), QOVA_E_FAIL,
                    "Check value length");
    const size_t nSize = std::max<size_t>(1, static_cast<size_t>(count) + nExtraZeros);
    std::unique_ptr<unsigned char[]> value(new (std::nothrow) unsigned char[nSize]());
    QOVA_FAIL_IF_IN(pszFunc, NULL == value, QOVA_E_FAIL, "New memory");
    const unsigned int nResult = ReadNodeExValue(pNode, offset, value.get(), count);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ReadNodeExValue");
    copy = std::move(value);
    nLength = static_cast<int>(count);
    return QOVA_OK;
}

// The node's whole value, as CopyNodeOctets.
inline unsigned int CopyNodeValue(const char* pszFunc, const NodeEx* pNode, int nExtraZeros,
                                  std::unique_ptr<unsigned char[]>& copy, int& nLength)
{
    return CopyNodeOctets(pszFunc, pNode, 0, pNode->ValueLength, nExtraZeros, copy, nLength);
}

// True when a parsed primitive node was written with the indefinite length (length octet 0x80),
// which BER allows only for constructed encodings: the parser then takes the value up to the first
// two zero octets, end marker included, which is no value of the string's. The length octet is
// read from the node's own source; a read that fails counts as indefinite.
inline bool HasIndefiniteLength(const NodeEx* pNode)
{
    if (0 != pNode->InfiniteLength)
        return true;
    if (1 != pNode->LengthOctetsSize || 0 == pNode->ValueStartPosition)
        return false;
    NodeEx lengthOctet;  // a view of the one octet before the value; it owns nothing
    lengthOctet.pbySource = pNode->pbySource;
    lengthOctet.fpSource = pNode->fpSource;
    lengthOctet.FileLength = pNode->FileLength;
    lengthOctet.ValueStartPosition = pNode->ValueStartPosition - 1;
    lengthOctet.ValueLength = 1;
    unsigned char byLength = 0x80;
    const bool bRead = QOVA_OK == ReadNodeExValue(&lengthOctet, 0, &byLength, 1);
    return !bRead || 0x80 == byLength;
}

// The pieces below a constructed string: OCTET STRINGs, primitive with a definite length or
// constructed again, in encoding order. The parser's depth limit bounds the recursion.
inline bool CollectStringPieces(const NodeEx* pNode, std::vector<const NodeEx*>& pieces)
{
    for (const NodeEx* pChild : pNode->vetNodes) {
        if (kTagOctetString == pChild->Tag) {
            if (HasIndefiniteLength(pChild))
                return false;
            pieces.push_back(pChild);
        } else if ((kTagOctetString | kConstructedBit) != pChild->Tag || !CollectStringPieces(pChild, pieces)) {
            return false;
        }
    }
    return true;
}

// The pieces of a content element that BER may split, as streaming writers do. The element must be
// a string of the tag primitiveTag (04 for an OCTET STRING, 80 for an implicit [0] one): either
// primitive with a definite length, its own one piece, or constructed (the tag with 0x20) of
// OCTET STRING pieces nested to any depth. False for any other element; the DER engine parses
// every element as the tag rule says, so the readers check what they take as content.
inline bool CollectOctetStringPieces(const NodeEx* pContent, unsigned char primitiveTag,
                                     std::vector<const NodeEx*>& pieces)
{
    if (primitiveTag == pContent->Tag) {
        if (HasIndefiniteLength(pContent))
            return false;
        pieces.push_back(pContent);
        return true;
    }
    return (primitiveTag | kConstructedBit) == pContent->Tag && CollectStringPieces(pContent, pieces);
}

// A new[] copy of the pieces' values joined in order, followed by nExtraZeros zero octets (at
// least one octet is allocated). Traced in the name of pszFunc.
inline unsigned int CopyJoinedPieces(const char* pszFunc, const std::vector<const NodeEx*>& pieces, int nExtraZeros,
                                     std::unique_ptr<unsigned char[]>& copy, int& nLength)
{
    const unsigned long long nLimit = static_cast<unsigned long long>(INT_MAX - nExtraZeros);
    unsigned long long nTotal = 0;
    for (const NodeEx* pPiece : pieces) {
        nTotal += pPiece->ValueLength;
        if (nTotal > nLimit)
            break;
    }
    QOVA_FAIL_IF_IN(pszFunc, nTotal > nLimit, QOVA_E_FAIL, "Check value length");
    const size_t nSize = std::max<size_t>(1, static_cast<size_t>(nTotal) + nExtraZeros);
    std::unique_ptr<unsigned char[]> value(new (std::nothrow) unsigned char[nSize]());
    QOVA_FAIL_IF_IN(pszFunc, NULL == value, QOVA_E_FAIL, "New memory");
    unsigned long long nOffset = 0;
    for (const NodeEx* pPiece : pieces) {
        const unsigned int nResult = ReadNodeExValue(pPiece, 0, value.get() + nOffset, pPiece->ValueLength);
        QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "ReadNodeExValue");
        nOffset += pPiece->ValueLength;
    }
    copy = std::move(value);
    nLength = static_cast<int>(nTotal);
    return QOVA_OK;
}

// The reason texts of an identifier's failures, in the words of the caller's own trace: the
// library refuses the identifier; it prints as no text; the second printing differs in length.
struct IdentifierReasons
{
    const char* pszRefused;
    const char* pszEmpty;
    const char* pszLengthChanged;
};

// The dotted text of an identifier, as a new[] text and its length. Traced in the name of pszFunc.
inline unsigned int IdentifierText(const char* pszFunc, const ASN1_OBJECT* pObject, const IdentifierReasons& reasons,
                                   std::unique_ptr<char[]>& text, int& nLength)
{
    const int nTextLength = std::max(0, OBJ_obj2txt(nullptr, 0, pObject, 1));
    SMKERNEL_FAIL_IF_SSL_BECAUSE_IN(pszFunc, 0 == nTextLength, QOVA_E_FAIL, "OBJ_obj2txt", reasons.pszEmpty);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(nTextLength) + 1]());
    QOVA_FAIL_IF_IN(pszFunc, NULL == buffer, QOVA_E_FAIL, "New memory");
    const int nWritten = OBJ_obj2txt(buffer.get(), nTextLength + 1, pObject, 1);
    SMKERNEL_FAIL_IF_SSL_BECAUSE_IN(pszFunc, nWritten != nTextLength, QOVA_E_FAIL, "OBJ_obj2txt",
                                    reasons.pszLengthChanged);
    text = std::move(buffer);
    nLength = nTextLength;
    return QOVA_OK;
}

// The dotted text of the object identifier in a parsed leaf, read from the leaf's own TLV. An
// identifier the library refuses, or one of more than 64 KiB (no real one comes near), fails with
// QOVA_E_FAIL. Traced in the name of pszFunc, with the caller's reasons.
inline unsigned int ReadObjectIdentifierText(const char* pszFunc, const NodeEx* pNode,
                                             const IdentifierReasons& reasons, std::unique_ptr<char[]>& text,
                                             int& nLength)
{
    smkernel::Asn1ObjectPtr object;
    if (pNode->ValueLength <= 0xFFFFu) {
        unsigned char szHeader[1 + nodeex_detail::kMaxLengthOctets];
        szHeader[0] = pNode->Tag;
        const int nHeader = 1 + nodeex_detail::WriteLengthOctets(pNode->ValueLength, szHeader + 1);
        const size_t nTotal = nHeader + static_cast<size_t>(pNode->ValueLength);
        std::unique_ptr<unsigned char[]> tlv(new (std::nothrow) unsigned char[nTotal]);
        if (nullptr != tlv) {
            std::copy(szHeader, szHeader + nHeader, tlv.get());
            if (QOVA_OK == ReadNodeExValue(pNode, 0, tlv.get() + nHeader, pNode->ValueLength)) {
                const unsigned char* p = tlv.get();
                object.reset(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(nTotal)));
                if (p != tlv.get() + nTotal)
                    object.reset();
            }
        }
    }
    SMKERNEL_FAIL_IF_SSL_BECAUSE_IN(pszFunc, NULL == object.get(), QOVA_E_FAIL, "d2i_ASN1_OBJECT", reasons.pszRefused);
    return IdentifierText(pszFunc, object.get(), reasons, text, nLength);
}

// Puts the file back where the caller had it, on every path of a file reader.
class FilePositionGuard
{
public:
    explicit FilePositionGuard(FILE* file) : m_file(file), m_position(ftello(file)) {}
    ~FilePositionGuard()
    {
        if (m_position >= 0)
            fseeko(m_file, m_position, SEEK_SET);
    }
    FilePositionGuard(const FilePositionGuard&) = delete;
    FilePositionGuard& operator=(const FilePositionGuard&) = delete;

private:
    FILE* m_file;
    off_t m_position;
};

}  // namespace der_detail

#endif
