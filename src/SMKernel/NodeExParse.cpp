// DER tree engine: parsing from memory and, lazily, from an open file.
//
// The input comes from outside (signatures, envelopes, certificates), so every read is bounded by
// the enclosing range and the size of the source; nothing is copied into the nodes.
#include "NodeEx.h"

#include "NodeExDetail.h"
#include "QovaTrace.h"

#include <sys/types.h>

#include <climits>
#include <cstring>
#include <new>

namespace {

#define PARSE_TRACE(level, ...)                 \
    do {                                        \
        if (QovaLogEnabled()) TRACE(level, __VA_ARGS__); \
    } while (0)

// Long-form lengths of more than 4 octets would describe values beyond 4 GiB.
constexpr unsigned int kMaxLongFormOctets = 4;
// Header reads of a file parse are served from a window of this size.
constexpr size_t kFileWindowSize = 0x10000;

// The bytes being parsed: a caller's buffer or an open file of known size. It also keeps the
// parse's node budget, so that every node made from one source counts against the same limit.
class ParseSource
{
public:
    ParseSource(const unsigned char* data, FILE* file, unsigned long long size)
        : m_data(data), m_file(file), m_size(size)
    {
    }

    unsigned long long Size() const { return m_size; }

    // Counts one more node; false once the budget is spent.
    bool TakeNode()
    {
        if (m_nodes >= MAX_PARSE_NODE_COUNT) {
            PARSE_TRACE(1, "[%s(%d)]: more than %u nodes in one structure", __func__, __LINE__, MAX_PARSE_NODE_COUNT);
            return false;
        }
        ++m_nodes;
        return true;
    }

    // Copies count octets at position; false when they are not all inside the source.
    bool Read(unsigned long long position, unsigned char* out, size_t count)
    {
        if (!nodeex_detail::RangeInside(position, count, m_size))
            return false;
        if (nullptr != m_data) {
            memcpy(out, m_data + position, count);
            return true;
        }
        if (position < m_windowStart || position + count > m_windowStart + m_windowLength) {
            if (!Fill(position))
                return false;
            if (position + count > m_windowStart + m_windowLength)
                return false;
        }
        memcpy(out, m_window.get() + (position - m_windowStart), count);
        return true;
    }

    // Position of the first of two consecutive zero octets at or after start and before limit.
    bool FindEndOfContents(unsigned long long start, unsigned long long limit, unsigned long long* found)
    {
        if (limit > m_size)
            limit = m_size;
        if (nullptr != m_data) {
            unsigned long long position = start;
            while (position + 1 < limit) {
                const void* zero = memchr(m_data + position, 0, limit - 1 - position);
                if (nullptr == zero)
                    return false;
                position = static_cast<const unsigned char*>(zero) - m_data;
                if (0 == m_data[position + 1]) {
                    *found = position;
                    return true;
                }
                position += 1;
            }
            return false;
        }
        bool bPreviousZero = false;
        for (unsigned long long position = start; position < limit; ++position) {
            unsigned char byte = 0;
            if (!Read(position, &byte, 1))
                return false;
            if (0 == byte) {
                if (bPreviousZero) {
                    *found = position - 1;
                    return true;
                }
                bPreviousZero = true;
            } else {
                bPreviousZero = false;
            }
        }
        return false;
    }

private:
    bool Fill(unsigned long long position)
    {
        if (!m_window) {
            m_window.reset(new (std::nothrow) unsigned char[kFileWindowSize]);
            if (!m_window) {
                PARSE_TRACE(1, "[%s(%d)]: no memory for the read window", __func__, __LINE__);
                return false;
            }
        }
        m_windowLength = 0;
        if (position > static_cast<unsigned long long>(LLONG_MAX) ||
            0 != fseeko(m_file, static_cast<off_t>(position), SEEK_SET)) {
            PARSE_TRACE(1, "fsetpos failed startPosition value:0x%x", static_cast<unsigned int>(position));
            return false;
        }
        const unsigned long long nWanted = m_size - position < kFileWindowSize ? m_size - position : kFileWindowSize;
        const size_t nRead = fread(m_window.get(), 1, static_cast<size_t>(nWanted), m_file);
        if (0 == nRead) {
            PARSE_TRACE(1, "fread read tag value failed");
            return false;
        }
        m_windowStart = position;
        m_windowLength = nRead;
        return true;
    }

    const unsigned char* m_data;
    FILE* m_file;
    unsigned long long m_size;
    std::unique_ptr<unsigned char[]> m_window;
    unsigned long long m_windowStart = 0;
    unsigned long long m_windowLength = 0;
    unsigned int m_nodes = 0;
};

// One tag and length as read from the source.
struct TLVHeader
{
    unsigned char Tag = 0;
    unsigned long long LengthOctetsSize = 0;
    unsigned long long ValueLength = 0;
    unsigned long long ValueStartPosition = 0;
    bool bInfinite = false;
};

// Reads the length octets at position, which belong to a TLV inside [.., endPosition).
bool GetASN1ValueLengthEx(ParseSource& source, unsigned long long position, unsigned long long endPosition,
                          TLVHeader& header)
{
    PARSE_TRACE(3, "Value length start position:0x%x", static_cast<unsigned int>(position));
    unsigned char byFirst = 0;
    if (position >= endPosition || !source.Read(position, &byFirst, 1)) {
        PARSE_TRACE(1, "[%s(%d)]: start position is great than end position", __func__, __LINE__);
        return false;
    }
    PARSE_TRACE(3, "Value length first byte value:0x%x", byFirst);

    if (byFirst < 0x80) {
        header.ValueLength = byFirst;
        header.LengthOctetsSize = 1;
    } else if (0x80 == byFirst) {
        header.ValueLength = ASN1_INFINITE_LENGTH;
        header.LengthOctetsSize = 1;
        header.bInfinite = true;
    } else {
        const unsigned int nCount = byFirst & 0x7F;
        if (nCount > kMaxLongFormOctets) {
            PARSE_TRACE(1, "[%s(%d)]: too many length octets:%u", __func__, __LINE__, nCount);
            return false;
        }
        unsigned char szOctets[kMaxLongFormOctets];
        if (nCount > endPosition - position - 1 || !source.Read(position + 1, szOctets, nCount)) {
            PARSE_TRACE(1, "[%s(%d)]: value length is great than total length", __func__, __LINE__);
            return false;
        }
        unsigned long long nLength = 0;
        for (unsigned int i = 0; i < nCount; ++i)
            nLength = (nLength << 8) | szOctets[i];
        header.ValueLength = nLength;
        header.LengthOctetsSize = nCount + 1;
    }
    PARSE_TRACE(3, "Value Length:0x%x ", static_cast<unsigned int>(header.ValueLength));

    header.ValueStartPosition = position + header.LengthOctetsSize;
    if (header.ValueStartPosition > endPosition) {
        PARSE_TRACE(1, "[%s(%d)]: value start postions is great than end postion", __func__, __LINE__);
        return false;
    }
    if (!header.bInfinite && header.ValueLength > endPosition - header.ValueStartPosition) {
        PARSE_TRACE(1, "[%s(%d)]: value end position is greater than end position", __func__, __LINE__);
        return false;
    }
    return true;
}

// Reads one tag and length at position inside [position, endPosition).
bool ParseASN1TLVEx(ParseSource& source, unsigned long long position, unsigned long long endPosition,
                    TLVHeader& header)
{
    if (position >= endPosition || !source.Read(position, &header.Tag, 1)) {
        PARSE_TRACE(1, "[%s(%d)]: start position is great than end position", __func__, __LINE__);
        return false;
    }
    PARSE_TRACE(3, "Tag value:0x%x", header.Tag);
    return GetASN1ValueLengthEx(source, position + 1, endPosition, header);
}

void ApplyHeader(NodeEx* node, const TLVHeader& header)
{
    node->Tag = header.Tag;
    node->LengthOctetsSize = header.LengthOctetsSize;
    node->ValueLength = header.ValueLength;
    node->ValueStartPosition = header.ValueStartPosition;
    node->InfiniteLength = header.bInfinite ? 1 : 0;
    node->TotalLength = header.bInfinite ? ASN1_INFINITE_LENGTH : 1 + header.LengthOctetsSize + header.ValueLength;
}

bool IsLeafTag(unsigned char tag)
{
    return tag < 0x20 || (tag >= 0x80 && tag <= 0x8F);
}

// An indefinite primitive value runs up to and including the first two consecutive zero octets,
// which must lie before endPosition.
bool GetInfiniteLengthEx(ParseSource& source, NodeEx* node, unsigned long long endPosition)
{
    unsigned long long nEndOfContents = 0;
    if (!source.FindEndOfContents(node->ValueStartPosition, endPosition, &nEndOfContents)) {
        PARSE_TRACE(1, "[%s(%d)]: end of indefinite value not found", __func__, __LINE__);
        return false;
    }
    node->ValueLength = nEndOfContents + 2 - node->ValueStartPosition;
    node->TotalLength = 1 + node->LengthOctetsSize + node->ValueLength;
    node->InfiniteLength = 0;
    return true;
}

bool AppendChild(NodeEx* node, NodeEx* child)
{
    try {
        node->vetNodes.push_back(child);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Parses the children of node, whose own TLV lies inside [.., endPosition).
unsigned int ParseNodeEx(NodeEx* node, unsigned& depth, ParseSource& source, unsigned long long endPosition)
{
    struct DepthScope
    {
        unsigned& depth;
        ~DepthScope() { --depth; }
    } scope{++depth};
    PARSE_TRACE(3, "[%s(%d)]: CurrentDeepLevel =%d", __func__, __LINE__, depth);
    if (depth > MAX_PARSE_DEEP_LEVEL) {
        PARSE_TRACE(1, "Too deeply recursive calling(count):%u", depth);
        return QOVA_E_DER_TOO_DEEP;
    }

    if (IsLeafTag(node->Tag)) {
        if (0 != node->InfiniteLength && !GetInfiniteLengthEx(source, node, endPosition))
            return QOVA_E_FAIL;
        return QOVA_OK;
    }

    const bool bInfinite = 0 != node->InfiniteLength;
    unsigned long long nChildEnd = endPosition;
    if (!bInfinite) {
        if (!nodeex_detail::RangeInside(node->ValueStartPosition, node->ValueLength, endPosition)) {
            PARSE_TRACE(1, "[%s(%d)]: position is outof the file range: pNode->FileLength=%d; endPos=%d", __func__,
                        __LINE__, static_cast<int>(node->FileLength),
                        static_cast<int>(node->ValueStartPosition + node->ValueLength));
            return QOVA_E_FAIL;
        }
        nChildEnd = node->ValueStartPosition + node->ValueLength;
    }

    unsigned long long nOffset = 0;
    for (;;) {
        const unsigned long long nPosition = node->ValueStartPosition + nOffset;
        if (bInfinite) {
            unsigned char szMarker[2] = {0xFF, 0xFF};
            if (!nodeex_detail::RangeInside(nPosition, 2, nChildEnd) || !source.Read(nPosition, szMarker, 2)) {
                PARSE_TRACE(1, "[%s(%d)]: position is not in file size range", __func__, __LINE__);
                return QOVA_E_FAIL;
            }
            if (0 == szMarker[0] && 0 == szMarker[1]) {
                // The value counts the end marker, except in an empty container: a node without
                // children is encoded from its value octets, and the marker would come back as
                // a child of a definite-length copy (one level deeper than the original).
                node->ValueLength = 0 == nOffset ? 0 : nOffset + 2;
                node->TotalLength = node->LengthOctetsSize + nOffset + 3;
                node->InfiniteLength = 0;
                break;
            }
        } else if (nOffset >= node->ValueLength) {
            break;
        }

        TLVHeader header;
        if (!ParseASN1TLVEx(source, nPosition, nChildEnd, header) || !source.TakeNode())
            return QOVA_E_FAIL;
        NodeEx* child = new (std::nothrow) NodeEx();
        if (nullptr == child) {
            PARSE_TRACE(1, "[%s(%d)]: new NodeEx failed", __func__, __LINE__);
            return QOVA_E_FAIL;
        }
        ApplyHeader(child, header);
        child->pbySource = node->pbySource;
        child->fpSource = node->fpSource;
        child->FileLength = node->FileLength;
        child->pParent = node;

        const unsigned int nResult = ParseNodeEx(child, depth, source, nChildEnd);
        if (QOVA_OK != nResult) {
            PARSE_TRACE(1, "ParseNodeEx failed");
            delete child;
            return nResult;
        }
        if (!AppendChild(node, child)) {
            delete child;
            return QOVA_E_FAIL;
        }
        nOffset += child->TotalLength;
    }

    if (!bInfinite && nOffset > node->ValueLength) {
        PARSE_TRACE(1, "[%s(%d): child nodes length(0x%08x) is larger than parent node length(0x%08x)]", __func__,
                    __LINE__, static_cast<unsigned int>(nOffset), static_cast<unsigned int>(node->ValueLength));
        return QOVA_E_FAIL;
    }
    return QOVA_OK;
}

// Reads the root TLV at offset 0, hands the tree out only when the whole of it parsed. Traced in
// the name of the decoder, pszFunc.
unsigned int DecodeRoot(const char* pszFunc, ParseSource& source, unsigned char* pbySource, FILE* fpSource,
                        NodeEx** root, const char* pszRootFailure)
{
    TLVHeader header;
    if (!ParseASN1TLVEx(source, 0, source.Size(), header)) {
        PARSE_TRACE(1, "%s", pszRootFailure);
        return QOVA_E_FAIL;
    }
    source.TakeNode();
    NodeExPtr pRoot(new (std::nothrow) NodeEx());
    QOVA_FAIL_IF_IN(pszFunc, NULL == pRoot, QOVA_E_FAIL, "new NodeEx()");
    ApplyHeader(pRoot.get(), header);
    pRoot->pbySource = pbySource;
    pRoot->fpSource = fpSource;
    pRoot->FileLength = source.Size();

    unsigned depth = 0;
    const unsigned int nResult = ParseNodeEx(pRoot.get(), depth, source, source.Size());
    PARSE_TRACE(3, "Current recursive deep level:%u", depth);
    if (QOVA_OK != nResult)
        return nResult;
    *root = pRoot.release();
    return QOVA_OK;
}

}  // namespace

unsigned int ParseNodeEx(NodeEx* node, unsigned& depth)
{
    QOVA_FAIL_IF(NULL == node || (NULL == node->pbySource && NULL == node->fpSource), QOVA_E_FAIL, "Check parameter");
    ParseSource source(node->pbySource, node->pbySource ? nullptr : node->fpSource, node->FileLength);
    return ParseNodeEx(node, depth, source, node->FileLength);
}

unsigned int DecodeASN1MemoryEx(unsigned char* data, unsigned long size, NodeEx** root)
{
    QOVA_FAIL_IF(NULL == data || 0 == size || NULL == root, QOVA_E_FAIL, "Check parameter");
    ParseSource source(data, nullptr, size);
    return DecodeRoot(__func__, source, data, nullptr, root, "Parse ASN.1 root node failed");
}

unsigned int DecodeASN1FileEx(FILE* file, NodeEx** root)
{
    QOVA_FAIL_IF(NULL == file || NULL == root, QOVA_E_FAIL, "Check parameter");
    QOVA_FAIL_IF(0 != fseeko(file, 0, SEEK_END), QOVA_E_FAIL, "fseek");
    const off_t nFileSize = ftello(file);
    QOVA_FAIL_IF(nFileSize <= 0, QOVA_E_FAIL, "Check file size");
    QOVA_FAIL_IF(0 != fseeko(file, 0, SEEK_SET), QOVA_E_FAIL, "fseek");
    ParseSource source(nullptr, file, static_cast<unsigned long long>(nFileSize));
    return DecodeRoot(__func__, source, nullptr, file, root, "Parse ASN1 root node failed");
}
