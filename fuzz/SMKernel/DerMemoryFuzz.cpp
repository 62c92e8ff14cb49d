// Parses arbitrary octets from memory; whatever parses must re-encode, and the re-encoding must be
// stable: parsing and encoding it again gives the same octets.
#include "NodeEx.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

std::vector<unsigned char> Encode(NodeEx* root)
{
    unsigned char* encoded = nullptr;
    int size = 0;
    int depth = 0;
    if (QOVA_OK != EncodeASN1ToMemory(root, &encoded, &size, &depth) || 0 != depth)
        __builtin_trap();
    std::vector<unsigned char> out(encoded, encoded + size);
    delete[] encoded;
    return out;
}

// Reads every value once; the reads must stay inside the input.
void ReadValues(const NodeEx* node)
{
    std::vector<unsigned char> value(node->ValueLength);
    if (QOVA_OK != ReadNodeExValue(node, 0, value.data(), value.size()))
        __builtin_trap();
    for (const NodeEx* child : node->vetNodes) {
        if (child->pParent != node)
            __builtin_trap();
        ReadValues(child);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<unsigned char> input(data, data + size);
    NodeEx* raw = nullptr;
    if (QOVA_OK != DecodeASN1MemoryEx(input.data(), input.size(), &raw))
        return 0;
    NodeExPtr root(raw);
    if (root->TotalLength > size)
        __builtin_trap();
    ReadValues(root.get());

    std::vector<unsigned char> first = Encode(root.get());
    NodeEx* again = nullptr;
    if (QOVA_OK != DecodeASN1MemoryEx(first.data(), first.size(), &again))
        __builtin_trap();
    NodeExPtr reparsed(again);
    if (Encode(reparsed.get()) != first)
        __builtin_trap();

    // A copy encodes the same, also after the original is gone.
    NodeEx* copy = nullptr;
    if (QOVA_OK != DuplicateNodeEx(root.get(), &copy, true))
        __builtin_trap();
    NodeExPtr copyHolder(copy);
    root.reset();
    if (copy->pParent != nullptr || Encode(copy) != first)
        __builtin_trap();
    return 0;
}
