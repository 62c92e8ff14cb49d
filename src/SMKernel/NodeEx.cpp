// DER tree engine: nodes, building, encoding to memory and to a file, duplication.
#include "NodeEx.h"

#include "NodeExDetail.h"
#include "QovaTrace.h"

#include <sys/types.h>

#include <climits>
#include <cstring>
#include <new>

NodeEx::~NodeEx()
{
    delete[] pbyValue;
    for (NodeEx* child : vetNodes)
        delete child;
}

unsigned int NodeEx::GetTotalRequiredSize()
{
    return nodeex_detail::Saturate32(1 + nodeex_detail::LengthOctetCount(ValueLength) + ValueLength);
}

unsigned int NodeEx::GetCurrentRequiredLength()
{
    return nodeex_detail::Saturate32(1 + nodeex_detail::LengthOctetCount(ValueLength) + CurrentLength);
}

void NodeEx::AddChild(NodeEx* child)
{
    if (nullptr == child)
        return;
    vetNodes.push_back(child);
    child->pParent = this;
    const unsigned long long nHeader = 1 + nodeex_detail::LengthOctetCount(child->ValueLength);
    ValueLength += nHeader + child->ValueLength;
    CurrentLength += nHeader + child->CurrentLength;
}

int EncodeASN1Length(long long length, unsigned char** lengthOctets)
{
    if (length < 0)
        return 0;
    unsigned char szOctets[nodeex_detail::kMaxLengthOctets];
    const int nCount = nodeex_detail::WriteLengthOctets(static_cast<unsigned long long>(length), szOctets);
    if (nullptr != lengthOctets) {
        unsigned char* pbyOctets = new (std::nothrow) unsigned char[nCount];
        if (nullptr == pbyOctets)
            return 0;
        memcpy(pbyOctets, szOctets, nCount);
        *lengthOctets = pbyOctets;
    }
    return nCount;
}

unsigned int ASN1Encode(unsigned char tag, unsigned char* value, int valueLength, unsigned char** encoded,
                        int* encodedLength)
{
    QOVA_FAIL_IF(NULL == encoded || NULL == encodedLength || valueLength < 0 || (NULL == value && 0 != valueLength),
                 QOVA_E_FAIL, "Check parameter");

    unsigned char szHeader[1 + nodeex_detail::kMaxLengthOctets];
    szHeader[0] = tag;
    const int nLengthOctets = nodeex_detail::WriteLengthOctets(static_cast<unsigned long long>(valueLength),
                                                               szHeader + 1);
    const long long nTotal = 1LL + nLengthOctets + valueLength;
    QOVA_FAIL_IF(nTotal > INT_MAX, QOVA_E_FAIL, "EncodeASN1Length");

    unsigned char* pbyEncoded = new (std::nothrow) unsigned char[nTotal];
    QOVA_FAIL_IF(NULL == pbyEncoded, QOVA_E_FAIL, "New memory");
    memcpy(pbyEncoded, szHeader, 1 + nLengthOctets);
    if (valueLength > 0)
        memcpy(pbyEncoded + 1 + nLengthOctets, value, valueLength);

    *encoded = pbyEncoded;
    *encodedLength = static_cast<int>(nTotal);
    return QOVA_OK;
}

namespace {

// The encoders write each node's length from what its subtree really encodes to, so a tree that
// mixes parsed (possibly BER) nodes into a built tree still comes out consistent. One pass measures
// every node (preorder) and the exact output size; the second writes.
struct EncodePlan
{
    std::vector<unsigned long long> valueLengths;  // written length of each node's value, preorder
    unsigned long long nWrittenSize = 0;           // octets the writer will produce
};

// Where a leaf's value octets come from when it is encoded.
enum class LeafSource { None, OwnValue, Buffer, File };

LeafSource ClassifyLeaf(const NodeEx* node)
{
    if (nullptr != node->pbyValue && 0 != node->CurrentLength)
        return LeafSource::OwnValue;
    if (nullptr != node->pbySource && 0 != node->ValueLength)
        return LeafSource::Buffer;
    if (nullptr != node->fpSource && 0 != node->ValueLength)
        return LeafSource::File;
    return LeafSource::None;
}

// No single value may come near the 64-bit range, so the sums below cannot wrap.
constexpr unsigned long long kMaxValueLength = 1ull << 56;

unsigned int MeasureNodeEx(const NodeEx* pNode, EncodePlan& plan, int* pnCurrentDeepLevel,
                           unsigned long long* pnEncodedTotal)
{
    if (NULL != pnCurrentDeepLevel)
        QOVA_FAIL_IF(*pnCurrentDeepLevel > MAX_RECURSIVE_DEEP_LEVEL, QOVA_E_DER_TOO_DEEP, "Check recursive deep level");

    const size_t nIndex = plan.valueLengths.size();
    plan.valueLengths.push_back(0);

    unsigned long long nValueLength = 0;
    unsigned long long nWrittenValue = 0;
    if (!pNode->vetNodes.empty()) {
        if (NULL != pnCurrentDeepLevel)
            ++*pnCurrentDeepLevel;
        unsigned int nResult = QOVA_OK;
        for (const NodeEx* child : pNode->vetNodes) {
            unsigned long long nChildTotal = 0;
            nResult = MeasureNodeEx(child, plan, pnCurrentDeepLevel, &nChildTotal);
            if (QOVA_OK != nResult)
                break;
            nValueLength += nChildTotal;
            if (nValueLength > kMaxValueLength) {
                nResult = QOVA_E_FAIL;
                break;
            }
        }
        if (NULL != pnCurrentDeepLevel)
            --*pnCurrentDeepLevel;
        if (QOVA_OK != nResult)
            return nResult;
    } else {
        nValueLength = pNode->ValueLength;
        QOVA_FAIL_IF(nValueLength > kMaxValueLength, QOVA_E_FAIL, "Check value length");
        switch (ClassifyLeaf(pNode)) {
        case LeafSource::OwnValue:
            // A leaf may announce more than it holds (the caller appends the rest), never less.
            QOVA_FAIL_IF(pNode->CurrentLength > pNode->ValueLength, QOVA_E_FAIL, "Check value length");
            nWrittenValue = pNode->CurrentLength;
            break;
        case LeafSource::Buffer:
            QOVA_FAIL_IF(!nodeex_detail::RangeInside(pNode->ValueStartPosition, pNode->ValueLength, pNode->FileLength),
                         QOVA_E_FAIL, "Check value range");
            nWrittenValue = pNode->ValueLength;
            break;
        case LeafSource::File:
            nWrittenValue = pNode->ValueLength;
            break;
        case LeafSource::None:
            break;
        }
    }

    plan.valueLengths[nIndex] = nValueLength;
    const unsigned long long nHeader = 1 + nodeex_detail::LengthOctetCount(nValueLength);
    plan.nWrittenSize += nHeader + nWrittenValue;
    *pnEncodedTotal = nHeader + nValueLength;
    return QOVA_OK;
}

unsigned int MeasureTree(const NodeEx* pNode, EncodePlan& plan, int* pnCurrentDeepLevel)
{
    try {
        unsigned long long nTotal = 0;
        return MeasureNodeEx(pNode, plan, pnCurrentDeepLevel, &nTotal);
    } catch (const std::bad_alloc&) {
        QOVA_TRACE_STEP_FAILED("New memory", QOVA_E_FAIL, "std::bad_alloc");
        return QOVA_E_FAIL;
    }
}

bool SeekTo(FILE* file, unsigned long long position)
{
    return position <= static_cast<unsigned long long>(LLONG_MAX) &&
           0 == fseeko(file, static_cast<off_t>(position), SEEK_SET);
}

// Output into the one buffer the memory encoder allocated; every write is checked against it.
class MemorySink
{
public:
    MemorySink(unsigned char* buffer, unsigned long long capacity) : m_buffer(buffer), m_capacity(capacity) {}

    bool Put(const unsigned char* data, unsigned long long size)
    {
        if (size > m_capacity - m_position)
            return false;
        memcpy(m_buffer + m_position, data, size);
        m_position += size;
        return true;
    }

    unsigned int CopyFromFile(FILE* file, unsigned long long position, unsigned long long size)
    {
        QOVA_FAIL_IF(size > m_capacity - m_position, QOVA_E_FAIL, "Check ASN.1 data size");
        QOVA_FAIL_IF(!SeekTo(file, position), QOVA_E_FAIL, "fseek");
        while (size > 0) {
            const size_t nChunk = static_cast<size_t>(size < ASN1_FILE_CHUNK_SIZE ? size : ASN1_FILE_CHUNK_SIZE);
            const size_t nRead = fread(m_buffer + m_position, 1, nChunk, file);
            QOVA_FAIL_IF(nRead != nChunk, QOVA_E_FAIL, "fread");
            m_position += nChunk;
            size -= nChunk;
        }
        return QOVA_OK;
    }

    unsigned long long Position() const { return m_position; }

private:
    unsigned char* m_buffer;
    unsigned long long m_capacity;
    unsigned long long m_position = 0;
};

// Output to an open stream; a short write fails the encoding.
class FileSink
{
public:
    explicit FileSink(FILE* file) : m_file(file) {}

    bool Put(const unsigned char* data, unsigned long long size)
    {
        if (size > 0 && fwrite(data, 1, size, m_file) != size)
            return false;
        m_position += size;
        return true;
    }

    unsigned int CopyFromFile(FILE* file, unsigned long long position, unsigned long long size)
    {
        const size_t nBufferSize = static_cast<size_t>(size < ASN1_FILE_CHUNK_SIZE ? size : ASN1_FILE_CHUNK_SIZE);
        std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[nBufferSize]);
        QOVA_FAIL_IF(NULL == buffer, QOVA_E_FAIL, "New memory");
        QOVA_FAIL_IF(!SeekTo(file, position), QOVA_E_FAIL, "fseek");
        while (size > 0) {
            const size_t nChunk = static_cast<size_t>(size < nBufferSize ? size : nBufferSize);
            QOVA_FAIL_IF(fread(buffer.get(), 1, nChunk, file) != nChunk, QOVA_E_FAIL, "fread");
            QOVA_FAIL_IF(!Put(buffer.get(), nChunk), QOVA_E_FAIL, "fwrite");
            size -= nChunk;
        }
        return QOVA_OK;
    }

    unsigned long long Position() const { return m_position; }

private:
    FILE* m_file;
    unsigned long long m_position = 0;
};

template <class Sink>
unsigned int WriteNodeEx(const NodeEx* pNode, const EncodePlan& plan, size_t& nIndex, Sink& sink)
{
    const unsigned long long nValueLength = plan.valueLengths[nIndex++];
    unsigned char szHeader[1 + nodeex_detail::kMaxLengthOctets];
    szHeader[0] = pNode->Tag;
    const int nLengthOctets = nodeex_detail::WriteLengthOctets(nValueLength, szHeader + 1);
    QOVA_FAIL_IF(!sink.Put(szHeader, 1 + nLengthOctets), QOVA_E_FAIL, "EncodeASN1Length");

    if (!pNode->vetNodes.empty()) {
        for (const NodeEx* child : pNode->vetNodes) {
            const unsigned int nResult = WriteNodeEx(child, plan, nIndex, sink);
            QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncodeASN1Memory");
        }
        return QOVA_OK;
    }

    switch (ClassifyLeaf(pNode)) {
    case LeafSource::OwnValue:
        QOVA_FAIL_IF(!sink.Put(pNode->pbyValue, pNode->CurrentLength), QOVA_E_FAIL, "Write value");
        break;
    case LeafSource::Buffer:
        QOVA_FAIL_IF(!sink.Put(pNode->pbySource + pNode->ValueStartPosition, pNode->ValueLength), QOVA_E_FAIL,
                     "Write value");
        break;
    case LeafSource::File:
        return sink.CopyFromFile(pNode->fpSource, pNode->ValueStartPosition, pNode->ValueLength);
    case LeafSource::None:
        break;
    }
    return QOVA_OK;
}

}  // namespace

unsigned int EncodeASN1ToMemory(NodeEx* pNode, unsigned char** ppEncodedData, int* pnEncodedDataSize,
                                int* pnCurrentDeepLevel)
{
    QOVA_FAIL_IF(NULL == pNode || NULL == ppEncodedData || NULL == pnEncodedDataSize, QOVA_E_FAIL, "Check parameter");
    // The buffer is allocated here, once, for the whole tree.
    QOVA_FAIL_IF(NULL != *ppEncodedData || 0 != *pnEncodedDataSize, QOVA_E_FAIL, "Check parameter");

    EncodePlan plan;
    unsigned int nResult = MeasureTree(pNode, plan, pnCurrentDeepLevel);
    if (QOVA_OK != nResult)
        return nResult;

    const unsigned long long nCurrentRequiredLength = plan.nWrittenSize;
    QOVA_FAIL_IF(MAX_ASN1_DATA_MEMORY_SIZE < nCurrentRequiredLength, QOVA_E_DER_TOO_LARGE, "Check ASN.1 data size");

    std::unique_ptr<unsigned char[]> encoded(new (std::nothrow) unsigned char[nCurrentRequiredLength]);
    QOVA_FAIL_IF(NULL == encoded, QOVA_E_FAIL, "New memory");

    MemorySink sink(encoded.get(), nCurrentRequiredLength);
    size_t nIndex = 0;
    nResult = WriteNodeEx(pNode, plan, nIndex, sink);
    if (QOVA_OK != nResult)
        return nResult;
    QOVA_FAIL_IF(sink.Position() != nCurrentRequiredLength, QOVA_E_FAIL, "Check ASN.1 data size");

    *ppEncodedData = encoded.release();
    *pnEncodedDataSize = static_cast<int>(nCurrentRequiredLength);
    return QOVA_OK;
}

unsigned int EncodeASN1ToFile(NodeEx* pNode, FILE* fpOutFile, int* pnEncodedDataSize, int* pnCurrentDeepLevel)
{
    QOVA_FAIL_IF(NULL == pNode || NULL == fpOutFile || NULL == pnEncodedDataSize, QOVA_E_FAIL, "Check parameter");

    EncodePlan plan;
    unsigned int nResult = MeasureTree(pNode, plan, pnCurrentDeepLevel);
    if (QOVA_OK != nResult)
        return nResult;
    // The count of octets written is an int.
    QOVA_FAIL_IF(*pnEncodedDataSize < 0 ||
                     plan.nWrittenSize > static_cast<unsigned long long>(INT_MAX - *pnEncodedDataSize),
                 QOVA_E_FAIL, "Check ASN.1 data size");

    FileSink sink(fpOutFile);
    size_t nIndex = 0;
    nResult = WriteNodeEx(pNode, plan, nIndex, sink);
    *pnEncodedDataSize += static_cast<int>(sink.Position());
    return nResult;
}

unsigned int DuplicateNodeEx(NodeEx* pExistingNode, NodeEx** copy, bool withChildren)
{
    QOVA_FAIL_IF(NULL == pExistingNode, QOVA_E_FAIL, "Check parameter");
    QOVA_FAIL_IF(NULL == copy, QOVA_E_FAIL, "Check parameter");

    NodeExPtr pNewNode(new (std::nothrow) NodeEx());
    QOVA_FAIL_IF(NULL == pNewNode, QOVA_E_FAIL, "new NodeEx()");

    pNewNode->fpSource = pExistingNode->fpSource;
    pNewNode->pbySource = pExistingNode->pbySource;
    pNewNode->ValueStartPosition = pExistingNode->ValueStartPosition;
    pNewNode->Tag = pExistingNode->Tag;
    pNewNode->LengthOctetsSize = pExistingNode->LengthOctetsSize;
    pNewNode->ValueLength = pExistingNode->ValueLength;
    pNewNode->CurrentLength = pExistingNode->CurrentLength;
    pNewNode->TotalLength = pExistingNode->TotalLength;
    pNewNode->FileLength = pExistingNode->FileLength;
    pNewNode->InfiniteLength = pExistingNode->InfiniteLength;
    pNewNode->Reserved = pExistingNode->Reserved;
    // The copy is a root of its own: the original's parent may be gone before the copy is.
    pNewNode->pParent = nullptr;

    // A leaf's own value is CurrentLength octets; the copy gets its own array.
    if (nullptr != pExistingNode->pbyValue && 0 != pExistingNode->CurrentLength && pExistingNode->vetNodes.empty()) {
        const unsigned long long nValueSize = pExistingNode->CurrentLength;
        pNewNode->pbyValue = new (std::nothrow) unsigned char[nValueSize];
        QOVA_FAIL_IF(NULL == pNewNode->pbyValue, QOVA_E_FAIL, "New memory");
        memcpy(pNewNode->pbyValue, pExistingNode->pbyValue, nValueSize);
    }

    if (withChildren) {
        try {
            pNewNode->vetNodes.reserve(pExistingNode->vetNodes.size());
        } catch (const std::bad_alloc&) {
            QOVA_TRACE_STEP_FAILED("New memory", QOVA_E_FAIL, "std::bad_alloc");
            return QOVA_E_FAIL;
        }
        for (NodeEx* child : pExistingNode->vetNodes) {
            NodeEx* pChildCopy = nullptr;
            const unsigned int nResult = DuplicateNodeEx(child, &pChildCopy, true);
            QOVA_FAIL_IF(QOVA_OK != nResult, QOVA_E_FAIL, "DuplicateNodeEx");
            // Re-parent only: the copied lengths already count the children.
            pChildCopy->pParent = pNewNode.get();
            pNewNode->vetNodes.push_back(pChildCopy);
        }
    }

    *copy = pNewNode.release();
    return QOVA_OK;
}

void PrintNodeEx(NodeEx* node)
{
    if (nullptr == node || !QovaLogEnabled())
        return;
    if (node->Tag < 0x20)
        TRACE(3, "Primitive ASN.1 value");
    TRACE(3, "Tag:0x%x  ;Value Length:0x%x   ;Value Start Position:0x%x", node->Tag,
          static_cast<unsigned int>(node->ValueLength), static_cast<unsigned int>(node->ValueStartPosition));
}

unsigned int CreateLeafNodeEx(unsigned char tag, const unsigned char* value, int valueLength, NodeEx** node)
{
    QOVA_FAIL_IF(NULL == node || valueLength < 0 || (NULL == value && 0 != valueLength), QOVA_E_FAIL,
                 "Check parameter");
    NodeExPtr pNode(new (std::nothrow) NodeEx());
    QOVA_FAIL_IF(NULL == pNode, QOVA_E_FAIL, "new NodeEx()");
    pNode->Tag = tag;
    if (valueLength > 0) {
        pNode->pbyValue = new (std::nothrow) unsigned char[valueLength];
        QOVA_FAIL_IF(NULL == pNode->pbyValue, QOVA_E_FAIL, "New memory");
        memcpy(pNode->pbyValue, value, valueLength);
    }
    pNode->ValueLength = static_cast<unsigned long long>(valueLength);
    pNode->CurrentLength = static_cast<unsigned long long>(valueLength);
    *node = pNode.release();
    return QOVA_OK;
}

unsigned int CreateContainerNodeEx(unsigned char tag, NodeEx** node)
{
    QOVA_FAIL_IF(NULL == node, QOVA_E_FAIL, "Check parameter");
    NodeEx* pNode = new (std::nothrow) NodeEx();
    QOVA_FAIL_IF(NULL == pNode, QOVA_E_FAIL, "new NodeEx()");
    pNode->Tag = tag;
    *node = pNode;
    return QOVA_OK;
}

unsigned int CreateFileLeafNodeEx(unsigned char tag, FILE* file, unsigned long long offset,
                                  unsigned long long length, NodeEx** node)
{
    QOVA_FAIL_IF(NULL == file || NULL == node || length > kMaxValueLength || offset > kMaxValueLength, QOVA_E_FAIL,
                 "Check parameter");
    NodeEx* pNode = new (std::nothrow) NodeEx();
    QOVA_FAIL_IF(NULL == pNode, QOVA_E_FAIL, "new NodeEx()");
    pNode->Tag = tag;
    pNode->fpSource = file;
    pNode->ValueStartPosition = offset;
    pNode->ValueLength = length;
    // The value is written by the memory encoder too, so it counts towards the tree's size.
    pNode->CurrentLength = length;
    pNode->FileLength = offset + length;
    *node = pNode;
    return QOVA_OK;
}

unsigned int ReadNodeExValue(const NodeEx* node, unsigned long long offset, unsigned char* dest,
                             unsigned long long count)
{
    QOVA_FAIL_IF(NULL == node || (NULL == dest && 0 != count), QOVA_E_FAIL, "Check parameter");
    if (nullptr != node->pbyValue && 0 != node->CurrentLength) {
        QOVA_FAIL_IF(!nodeex_detail::RangeInside(offset, count, node->CurrentLength), QOVA_E_FAIL, "Check value range");
        if (count > 0)
            memcpy(dest, node->pbyValue + offset, count);
        return QOVA_OK;
    }
    QOVA_FAIL_IF(!nodeex_detail::RangeInside(offset, count, node->ValueLength), QOVA_E_FAIL, "Check value range");
    if (0 == count)
        return QOVA_OK;
    const unsigned long long nStart = node->ValueStartPosition + offset;
    if (nullptr != node->pbySource) {
        QOVA_FAIL_IF(!nodeex_detail::RangeInside(nStart, count, node->FileLength), QOVA_E_FAIL, "Check value range");
        memcpy(dest, node->pbySource + nStart, count);
        return QOVA_OK;
    }
    QOVA_FAIL_IF(NULL == node->fpSource, QOVA_E_FAIL, "Check value range");
    QOVA_FAIL_IF(!SeekTo(node->fpSource, nStart), QOVA_E_FAIL, "fseek");
    QOVA_FAIL_IF(fread(dest, 1, count, node->fpSource) != count, QOVA_E_FAIL, "fread");
    return QOVA_OK;
}

const unsigned char* GetNodeExValuePointer(const NodeEx* node)
{
    if (nullptr == node)
        return nullptr;
    if (nullptr != node->pbyValue)
        return node->pbyValue;
    if (nullptr != node->pbySource &&
        nodeex_detail::RangeInside(node->ValueStartPosition, node->ValueLength, node->FileLength))
        return node->pbySource + node->ValueStartPosition;
    return nullptr;
}
