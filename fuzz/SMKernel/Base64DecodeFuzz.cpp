// Decodes arbitrary text with every capacity the first octet picks, and round-trips the octets
// through each encoder flag.
#include "Base64.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (0 == size || size > 1 << 20)
        return 0;
    const char* text = reinterpret_cast<const char*>(data) + 1;
    const int textLength = static_cast<int>(size - 1);

    // The measuring call gives the length every other call reports.
    int measured = 0;
    if (Base64Decode(text, textLength, nullptr, &measured) || measured < 0 || measured > textLength)
        __builtin_trap();

    const int capacity = data[0] % (measured + 2);
    std::vector<unsigned char> small(static_cast<size_t>(capacity) + 1);
    int count = capacity;
    const bool fits = Base64Decode(text, textLength, small.data(), &count);
    if (count != measured || fits != (capacity >= measured))
        __builtin_trap();

    unsigned char* decoded = nullptr;
    int decodedSize = 0;
    const unsigned int result = Base64DecodeEx(text, textLength, &decoded, &decodedSize);
    if ((QOVA_OK == result) != (textLength > 0) || (QOVA_OK == result && decodedSize != measured))
        __builtin_trap();
    if (fits && QOVA_OK == result && 0 != memcmp(small.data(), decoded, static_cast<size_t>(measured)))
        __builtin_trap();
    delete[] decoded;

    // Octets survive every encoding.
    std::vector<unsigned char> octets(data, data + size);
    for (unsigned long flags : {ATL_BASE64_FLAG_NONE, ATL_BASE64_FLAG_NOPAD, ATL_BASE64_FLAG_NOCRLF}) {
        char* encoded = nullptr;
        int encodedLength = 0;
        if (QOVA_OK != Base64EncodeEx(octets.data(), static_cast<int>(octets.size()), &encoded, &encodedLength, flags))
            __builtin_trap();
        unsigned char* back = nullptr;
        int backSize = 0;
        if (QOVA_OK != Base64DecodeEx(encoded, encodedLength, &back, &backSize) ||
            std::vector<unsigned char>(back, back + backSize) != octets)
            __builtin_trap();
        delete[] back;
        delete[] encoded;
    }
    return 0;
}
