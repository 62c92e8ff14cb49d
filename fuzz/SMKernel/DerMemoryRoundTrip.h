// The checks of the DER memory fuzz target, shared with the unit tests that replay its seeds:
// whatever parses from memory must re-encode, and the re-encoding must be stable (parsing and
// encoding it again gives the same octets); a copy of the tree encodes the same.
#ifndef VARNELL_FUZZ_SMKERNEL_DER_MEMORY_ROUND_TRIP_H
#define VARNELL_FUZZ_SMKERNEL_DER_MEMORY_ROUND_TRIP_H

#include "NodeEx.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace der_fuzz {

inline bool Encode(NodeEx* root, std::vector<unsigned char>* out)
{
    unsigned char* encoded = nullptr;
    int size = 0;
    int depth = 0;
    const bool ok = QOVA_OK == EncodeASN1ToMemory(root, &encoded, &size, &depth) && 0 == depth;
    if (ok)
        out->assign(encoded, encoded + size);
    delete[] encoded;
    return ok;
}

// Reads every value once; the reads must stay inside the input.
inline bool ReadValues(const NodeEx* node)
{
    std::vector<unsigned char> value(node->ValueLength);
    if (QOVA_OK != ReadNodeExValue(node, 0, value.data(), value.size()))
        return false;
    for (const NodeEx* child : node->vetNodes) {
        if (child->pParent != node || !ReadValues(child))
            return false;
    }
    return true;
}

// Null when every check holds for the input (also when it does not parse), else the check that
// failed.
inline const char* RoundTripFault(const uint8_t* data, size_t size)
{
    std::vector<unsigned char> input(data, data + size);
    NodeEx* raw = nullptr;
    if (QOVA_OK != DecodeASN1MemoryEx(input.data(), input.size(), &raw))
        return nullptr;
    NodeExPtr root(raw);
    if (root->TotalLength > size)
        return "the tree is larger than the input";
    if (!ReadValues(root.get()))
        return "a value cannot be read";

    std::vector<unsigned char> first, second, copied;
    if (!Encode(root.get(), &first))
        return "the parsed tree does not encode";
    NodeEx* again = nullptr;
    if (QOVA_OK != DecodeASN1MemoryEx(first.data(), first.size(), &again)) {
        delete again;
        return "the encoding does not parse";
    }
    NodeExPtr reparsed(again);
    if (!Encode(reparsed.get(), &second) || second != first)
        return "the encoding does not encode to itself";

    // A copy encodes the same, also after the original is gone.
    NodeEx* copy = nullptr;
    if (QOVA_OK != DuplicateNodeEx(root.get(), &copy, true))
        return "the tree cannot be copied";
    NodeExPtr copyHolder(copy);
    root.reset();
    if (copy->pParent != nullptr || !Encode(copy, &copied) || copied != first)
        return "the copy encodes differently";
    return nullptr;
}

}  // namespace der_fuzz

#endif
