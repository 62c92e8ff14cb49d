// Parses arbitrary octets lazily from a stream; the file parser must agree with the memory parser,
// and both encoders must write what the memory parse encodes to.
#include "NodeEx.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool EncodeToMemory(NodeEx* root, std::vector<unsigned char>* out)
{
    unsigned char* encoded = nullptr;
    int size = 0;
    const bool ok = QOVA_OK == EncodeASN1ToMemory(root, &encoded, &size, nullptr);
    if (ok)
        out->assign(encoded, encoded + size);
    delete[] encoded;
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (0 == size)
        return 0;
    std::vector<unsigned char> input(data, data + size);
    NodeEx* raw = nullptr;
    const unsigned int memoryResult = DecodeASN1MemoryEx(input.data(), input.size(), &raw);
    NodeExPtr fromMemory(raw);

    FILE* file = fmemopen(input.data(), input.size(), "rb");
    if (nullptr == file)
        return 0;
    raw = nullptr;
    const unsigned int fileResult = DecodeASN1FileEx(file, &raw);
    NodeExPtr fromFile(raw);
    if (memoryResult != fileResult)
        __builtin_trap();

    if (QOVA_OK == fileResult) {
        std::vector<unsigned char> expected, viaMemory;
        if (!EncodeToMemory(fromMemory.get(), &expected) || !EncodeToMemory(fromFile.get(), &viaMemory) ||
            expected != viaMemory)
            __builtin_trap();

        char* written = nullptr;
        size_t writtenSize = 0;
        FILE* out = open_memstream(&written, &writtenSize);
        if (nullptr == out)
            __builtin_trap();
        int count = 0;
        if (QOVA_OK != EncodeASN1ToFile(fromFile.get(), out, &count, nullptr))
            __builtin_trap();
        fclose(out);
        if (static_cast<size_t>(count) != writtenSize ||
            std::vector<unsigned char>(written, written + writtenSize) != expected)
            __builtin_trap();
        free(written);
    }
    fromFile.reset();
    fclose(file);
    return 0;
}
