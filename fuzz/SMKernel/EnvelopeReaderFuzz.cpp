// The RSA envelope readers over arbitrary bytes: the DER form, the file form and the Base64 form,
// all with the private key of one fixed recipient, so that inputs grown from envelopes made for it
// reach the content key, the cipher checks and the piece-by-piece content decryption.
#include "CMSStructures.h"
#include "RSADataEncryption.h"
#include "SMRegistry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> g_pfx;
char g_password[] = "secret";

FILE* OpenPfx()
{
    FILE* pfx = fmemopen(g_pfx.data(), g_pfx.size(), "rb");
    if (nullptr == pfx)
        abort();
    return pfx;
}

// Success hands out a NUL-terminated plaintext; failure hands out nothing.
void CheckOutput(unsigned int result, unsigned char* plain, int plainSize)
{
    if (QOVA_OK != result) {
        if (nullptr != plain || -1 != plainSize)
            __builtin_trap();
        return;
    }
    if (nullptr == plain || plainSize < 0 || '\0' != plain[plainSize])
        __builtin_trap();
    delete[] plain;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (1 != SM_crypto_init())
        abort();
    FILE* f = fopen(ENVELOPE_FUZZ_PFX, "rb");
    if (nullptr == f)
        abort();
    unsigned char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        g_pfx.insert(g_pfx.end(), buffer, buffer + n);
    fclose(f);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    std::vector<unsigned char> envelope(data, data + size);
    envelope.push_back(0);

    // Reading the PKCS#12 file costs more than all the rest; the memory form reads it before the
    // envelope, so bytes that are no envelope at all (they stop at the same reader) skip it here.
    FILE* pfx = nullptr;
    unsigned char* plain = nullptr;
    int plainSize = -1;
    if (QOVA_OK == Decode_CMSEnvelopeData(envelope.data(), static_cast<int>(size), nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        pfx = OpenPfx();
        CheckOutput(RSA_DecryptDataFromDERCMSEnvelope(envelope.data(), static_cast<int>(size), pfx, g_password,
                                                      &plain, &plainSize),
                    plain, plainSize);
        fclose(pfx);
    }

    if (size > 0) {
        FILE* file = fmemopen(envelope.data(), size, "rb");
        FILE* out = fopen("/dev/null", "wb");
        pfx = OpenPfx();
        if (nullptr == file || nullptr == out)
            abort();
        RSA_DecryptFileFromCMSEnvelope(file, pfx, g_password, out);
        fclose(pfx);
        fclose(out);
        fclose(file);
    }

    // The same bytes as Base64 text, up to the first NUL.
    pfx = OpenPfx();
    plain = nullptr;
    plainSize = -1;
    CheckOutput(RSA_DecryptDataFromCMSEnvelope(reinterpret_cast<const char*>(envelope.data()), pfx, g_password, &plain,
                                               &plainSize),
                plain, plainSize);
    fclose(pfx);
    return 0;
}
