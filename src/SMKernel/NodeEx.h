// DER tree engine: every certificate, PKCS#7 and CMS structure of the kernel is built and read
// as a tree of NodeEx nodes.
//
// Building: create leaves that own a copy of their value (or refer to an open file), join them
// bottom-up with NodeEx::AddChild (a child is complete before it is added), then encode the root
// with EncodeASN1ToMemory or EncodeASN1ToFile.
//
// Reading: DecodeASN1MemoryEx / DecodeASN1FileEx parse a DER (or BER) structure without copying
// any value; the nodes keep positions into the caller's buffer or open file, which must outlive
// the tree (and the file must stay open) while values are read or encoded. Walk vetNodes and
// compare Tag; read a value with ReadNodeExValue or GetNodeExValuePointer.
//
// Results: QOVA_OK, QOVA_E_FAIL (bad argument, malformed input, more than MAX_PARSE_NODE_COUNT
// nodes), QOVA_E_DER_TOO_LARGE (memory encoding above MAX_ASN1_DATA_MEMORY_SIZE), QOVA_E_DER_TOO_DEEP
// (nesting too deep). Buffers handed out are new[] arrays that the caller delete[]s; a root handed
// out is released with delete.
#ifndef VARNELL_SMKERNEL_NODEEX_H
#define VARNELL_SMKERNEL_NODEEX_H

#include "QovaResult.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

// The memory encoder writes at most this many octets (exactly this many is allowed).
constexpr unsigned int MAX_ASN1_DATA_MEMORY_SIZE = 0x3200000u;
// Encoding: the depth counter must be at most this value on entry to a node (128 levels).
constexpr int MAX_RECURSIVE_DEEP_LEVEL = 127;
// Parsing: the root and 126 levels below it (127 levels).
constexpr unsigned int MAX_PARSE_DEEP_LEVEL = 127;
// Parsing: at most this many nodes per parse, the root included. Input from outside could otherwise
// make a 128-byte node of every two octets (a container of zero octets).
constexpr unsigned int MAX_PARSE_NODE_COUNT = 1000000;
// Values that lie in a source file are moved in chunks of this size.
constexpr unsigned long long ASN1_FILE_CHUNK_SIZE = 0x300000ull;
// ValueLength and TotalLength of a node whose indefinite length has not been resolved.
constexpr unsigned long long ASN1_INFINITE_LENGTH = 0xFFFFFFFFull;

class NodeEx
{
public:
    NodeEx() = default;
    // Releases pbyValue, then destroys every child in order.
    ~NodeEx();
    NodeEx(const NodeEx&) = delete;
    NodeEx& operator=(const NodeEx&) = delete;

    // 1 + length-octet count of ValueLength + ValueLength.
    unsigned int GetTotalRequiredSize();
    // 1 + length-octet count of ValueLength + CurrentLength: what a built tree occupies in memory.
    unsigned int GetCurrentRequiredLength();
    // Takes over child (null is ignored), sets its pParent and adds its encoded size to
    // ValueLength and its in-memory size to CurrentLength.
    void AddChild(NodeEx* child);

    FILE* fpSource = nullptr;                   // file the node was parsed from, or a file-content leaf's file; not owned
    unsigned char* pbySource = nullptr;         // buffer the node was parsed from; not owned
    unsigned long long ValueStartPosition = 0;  // first value octet in the source (index or file offset)
    unsigned char Tag = 0;                      // the whole identifier octet
    unsigned long long LengthOctetsSize = 0;    // length octets in the source (parsed nodes)
    unsigned long long ValueLength = 0;         // value octets; ASN1_INFINITE_LENGTH while indefinite
    unsigned long long CurrentLength = 0;       // value octets the memory encoder writes for a built node
    unsigned char* pbyValue = nullptr;          // a built leaf's value (CurrentLength octets); owned, new[]
    unsigned long long TotalLength = 0;         // 1 + LengthOctetsSize + ValueLength (parsed nodes)
    unsigned long long FileLength = 0;          // size of the source in octets
    unsigned short InfiniteLength = 0;          // 1 while an indefinite length's end is not known
    unsigned short Reserved = 0;
    NodeEx* pParent = nullptr;                  // the container above; not owned; null for a root
    std::vector<NodeEx*> vetNodes;              // children in encoding order; owned
};

using NodeExPtr = std::unique_ptr<NodeEx>;

// Number of DER length octets for length (1 to 9; 0 for a negative length). When lengthOctets is
// not null it receives a new[] array with the octets (0 is returned when that allocation fails).
int EncodeASN1Length(long long length, unsigned char** lengthOctets);

// A new[] array holding tag, definite length and value; its size in *encodedLength.
unsigned int ASN1Encode(unsigned char tag, unsigned char* value, int valueLength, unsigned char** encoded,
                        int* encodedLength);

// Encodes the tree under pNode into one new[] buffer. Pass *ppEncodedData null, *pnEncodedDataSize 0
// and the depth counter at 0 (or a null counter to skip the depth check).
unsigned int EncodeASN1ToMemory(NodeEx* pNode, unsigned char** ppEncodedData, int* pnEncodedDataSize,
                                int* pnCurrentDeepLevel);

// Writes the same encoding at the stream's position; *pnEncodedDataSize (passed in at 0) counts
// the octets written.
unsigned int EncodeASN1ToFile(NodeEx* pNode, FILE* fpOutFile, int* pnEncodedDataSize, int* pnCurrentDeepLevel);

// Parses the TLV at the start of data (octets after it are ignored) into a new tree.
unsigned int DecodeASN1MemoryEx(unsigned char* data, unsigned long size, NodeEx** root);

// The same for an open file from offset 0; the nodes keep the stream and offsets only.
unsigned int DecodeASN1FileEx(FILE* file, NodeEx** root);

// Parses the children of node (already read as a TLV) from its source; depth counts the levels.
unsigned int ParseNodeEx(NodeEx* node, unsigned& depth);

// A new node with the fields of pExistingNode (same source references and positions) and an own
// copy of its value; with withChildren the whole subtree is copied. The copy is a root.
unsigned int DuplicateNodeEx(NodeEx* pExistingNode, NodeEx** copy, bool withChildren);

// Traces the node's tag, value length and value position.
void PrintNodeEx(NodeEx* node);

// Builders used by the structure encoders. Each returns QOVA_OK and a new node, or QOVA_E_FAIL.
// A leaf holding a copy of valueLength octets (value may be null only when valueLength is 0).
unsigned int CreateLeafNodeEx(unsigned char tag, const unsigned char* value, int valueLength, NodeEx** node);
// An empty container; its length grows as children are added.
unsigned int CreateContainerNodeEx(unsigned char tag, NodeEx** node);
// A leaf whose length octets of value lie in an open file at offset; they are read from the file
// when the tree is encoded. The file must stay open and unmoved until then.
unsigned int CreateFileLeafNodeEx(unsigned char tag, FILE* file, unsigned long long offset,
                                  unsigned long long length, NodeEx** node);

// Copies count octets of the node's value, starting offset octets into it, from wherever the
// value lies (own value, source buffer or source file). Fails when the range is not inside the
// value or the source.
unsigned int ReadNodeExValue(const NodeEx* node, unsigned long long offset, unsigned char* dest,
                             unsigned long long count);

// The node's value octets when they lie in memory (own value or source buffer), else null.
const unsigned char* GetNodeExValuePointer(const NodeEx* node);

#endif
