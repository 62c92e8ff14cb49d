// What the RSA and SM2 envelope-reader fuzz targets share: the fixed recipient's key file held in
// memory, the streams over it and over the input, and the check of a decryption's output.
#ifndef VARNELL_FUZZ_ENVELOPE_FUZZ_SUPPORT_H
#define VARNELL_FUZZ_ENVELOPE_FUZZ_SUPPORT_H

#include "QovaResult.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace envelope_fuzz {

// The whole file, read once at start-up; a missing file stops the run.
inline std::vector<unsigned char> ReadWholeFile(const char* path)
{
    FILE* f = fopen(path, "rb");
    if (nullptr == f)
        abort();
    std::vector<unsigned char> bytes;
    unsigned char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(f);
    return bytes;
}

// A read stream over the bytes (not empty), as the readers take their files.
inline FILE* OpenBytes(std::vector<unsigned char>& bytes, size_t size)
{
    FILE* f = fmemopen(bytes.data(), size, "rb");
    if (nullptr == f)
        abort();
    return f;
}

// Success hands out the plaintext with a zero octet after it; failure hands out nothing.
inline void CheckOutput(unsigned int result, unsigned char* plain, int plainSize)
{
    if (QOVA_OK != result) {
        if (nullptr != plain || -1 != plainSize)
            __builtin_trap();
        return;
    }
    if (nullptr == plain || plainSize < 0 || 0 != plain[plainSize])
        __builtin_trap();
    delete[] plain;
}

// The file form: the input as the envelope file, its plaintext written to /dev/null.
template <class DecryptFile>
void DecryptFileForm(std::vector<unsigned char>& envelope, size_t size, std::vector<unsigned char>& keyFile,
                     DecryptFile decrypt)
{
    if (0 == size)
        return;
    FILE* file = OpenBytes(envelope, size);
    FILE* out = fopen("/dev/null", "wb");
    FILE* key = OpenBytes(keyFile, keyFile.size());
    if (nullptr == out)
        abort();
    decrypt(file, key, out);
    fclose(key);
    fclose(out);
    fclose(file);
}

}  // namespace envelope_fuzz

#endif
