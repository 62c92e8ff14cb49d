// The SM2 envelope readers over arbitrary bytes: the DER memory form, the file form and the Base64
// form, with both encrypted-key forms and the key container of one fixed recipient, so that inputs
// grown from envelopes made for it reach the key unwrapping, the size checks and the piece-by-piece
// content decryption.
#include "EnvelopeFuzzSupport.h"
#include "SM2Envelope.h"
#include "SMRegistry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using envelope_fuzz::CheckOutput;

namespace {

std::vector<unsigned char> g_container;
char g_pin[] = "12345678";

FILE* OpenContainer()
{
    return envelope_fuzz::OpenBytes(g_container, g_container.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (1 != SM_crypto_init())
        abort();
    g_container = envelope_fuzz::ReadWholeFile(SM2_ENVELOPE_FUZZ_CONTAINER);
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

        envelope_fuzz::DecryptFileForm(envelope, size, g_container, [form](FILE* file, FILE* key, FILE* out) {
            DecryptDerCMSEnvelopeFile(file, key, g_pin, form, out);
        });
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
