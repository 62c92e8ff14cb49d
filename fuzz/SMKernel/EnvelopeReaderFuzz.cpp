// The RSA envelope readers over arbitrary bytes: the DER form, the file form and the Base64 form,
// all with the private key of one fixed recipient, so that inputs grown from envelopes made for it
// reach the content key, the cipher checks and the piece-by-piece content decryption.
#include "CMSStructures.h"
#include "EnvelopeFuzzSupport.h"
#include "RSADataEncryption.h"
#include "SMRegistry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using envelope_fuzz::CheckOutput;

namespace {

std::vector<unsigned char> g_pfx;
char g_password[] = "secret";

FILE* OpenPfx()
{
    return envelope_fuzz::OpenBytes(g_pfx, g_pfx.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (1 != SM_crypto_init())
        abort();
    g_pfx = envelope_fuzz::ReadWholeFile(ENVELOPE_FUZZ_PFX);
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

    envelope_fuzz::DecryptFileForm(envelope, size, g_pfx, [](FILE* file, FILE* key, FILE* out) {
        RSA_DecryptFileFromCMSEnvelope(file, key, g_password, out);
    });

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
