// The SM2 envelope readers over arbitrary bytes: the DER memory form, the file form and the Base64
// form, with both encrypted-key forms and the key container of one fixed recipient, so that inputs
// grown from envelopes made for it reach the key unwrapping, the size checks and the piece-by-piece
// content decryption.
#include "SM2Envelope.h"
#include "SMRegistry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> g_container;
char g_pin[] = "12345678";

FILE* OpenContainer()
{
    FILE* f = fmemopen(g_container.data(), g_container.size(), "rb");
    if (nullptr == f)
        abort();
    return f;
}

// Success hands out the plaintext with zero octets after it; failure hands out nothing.
void CheckOutput(unsigned int result, unsigned char* plain, int plainSize)
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (1 != SM_crypto_init())
        abort();
    FILE* f = fopen(SM2_ENVELOPE_FUZZ_CONTAINER, "rb");
    if (nullptr == f)
        abort();
    unsigned char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        g_container.insert(g_container.end(), buffer, buffer + n);
    fclose(f);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    std::vector<unsigned char> envelope(data, data + size);
    envelope.push_back(0);

    for (unsigned long form : {SM2_ENC_ENCODED_RAW, SM2_ENC_ENCODED_DER}) {
        unsigned char* plain = nullptr;
        int plainSize = -1;
        FILE* container = OpenContainer();
        CheckOutput(DecryptDerCMSEnvelopeData(envelope.data(), static_cast<int>(size), container, g_pin, form,
                                              &plain, &plainSize),
                    plain, plainSize);
        fclose(container);

        if (size > 0) {
            FILE* file = fmemopen(envelope.data(), size, "rb");
            FILE* out = fopen("/dev/null", "wb");
            container = OpenContainer();
            if (nullptr == file || nullptr == out)
                abort();
            DecryptDerCMSEnvelopeFile(file, container, g_pin, form, out);
            fclose(container);
            fclose(out);
            fclose(file);
        }
    }

    // The same bytes as Base64 text.
    unsigned char* plain = nullptr;
    int plainSize = -1;
    FILE* container = OpenContainer();
    CheckOutput(DecryptBase64CMSEnvelopeData(reinterpret_cast<char*>(envelope.data()), static_cast<int>(size),
                                             container, g_pin, SM2_ENC_ENCODED_DER, &plain, &plainSize),
                plain, plainSize);
    fclose(container);
    return 0;
}
