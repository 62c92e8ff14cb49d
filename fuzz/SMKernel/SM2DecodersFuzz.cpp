// The SM2Cipher and key-container decoders on arbitrary octets. A decoded SM2Cipher must encode
// and decode again to the same raw form; a parsed container is opened with a fixed PIN, which must
// end in one of the designed results.
#include "SM2Cipher.h"
#include "SM2KeyContainer.h"
#include "SMRegistry.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> DecodeCipher(std::vector<unsigned char> der, unsigned int* code)
{
    unsigned char* raw = nullptr;
    int rawLength = 0;
    *code = Decode_SM2Cipher(der.data(), static_cast<int>(der.size()), &raw, &rawLength);
    if (*code != QOVA_OK) {
        if (raw != nullptr)
            __builtin_trap();
        return {};
    }
    if (raw == nullptr || rawLength < 97)
        __builtin_trap();
    std::vector<unsigned char> out(raw, raw + rawLength);
    delete[] raw;
    return out;
}

void CheckCipher(const uint8_t* data, size_t size)
{
    unsigned int code = 0;
    std::vector<unsigned char> raw = DecodeCipher(std::vector<unsigned char>(data, data + size), &code);
    if (code != QOVA_OK)
        return;
    unsigned char* der = nullptr;
    int derLength = 0;
    if (Encode_SM2Cipher(raw.data(), static_cast<int>(raw.size()), &der, &derLength) != QOVA_OK)
        __builtin_trap();
    std::vector<unsigned char> again = DecodeCipher(std::vector<unsigned char>(der, der + derLength), &code);
    delete[] der;
    if (code != QOVA_OK || again != raw)
        __builtin_trap();
}

void CheckContainer(const uint8_t* data, size_t size)
{
    std::vector<unsigned char> copy(data, data + size);
    unsigned char *key = nullptr, *cert = nullptr;
    int keyLength = 0, certLength = 0;
    unsigned int code = ParseSM2PFX(copy.data(), static_cast<int>(copy.size()), &key, &keyLength, &cert, &certLength);
    if (code != QOVA_OK) {
        if (code != QOVA_E_NOT_KEY_CONTAINER || key != nullptr || cert != nullptr)
            __builtin_trap();
        return;
    }
    if (key == nullptr || cert == nullptr || keyLength < 0 || certLength < 0)
        __builtin_trap();
    delete[] key;
    delete[] cert;

    char pin[] = "12345678";
    SM2_KEY_PAIR pair = {};
    code = DecryptSM2PFX(copy.data(), static_cast<int>(copy.size()), pin, &pair, nullptr, nullptr);
    if (code == QOVA_OK) {
        if (pair.nPublicKeyXSize != 32 || pair.nPublicKeyYSize != 32 || pair.nPrivateKeySize < 0)
            __builtin_trap();
        CleanupSM2KeyPair(&pair);
    } else if (code != QOVA_E_CONTAINER_PIN && code != QOVA_E_FAIL) {
        __builtin_trap();
    } else if (pair.pbyPrivateKey != nullptr || pair.pbyPublicKeyX != nullptr) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int init = SM_crypto_init();
    (void)init;
    if (size == 0 || size > 1 << 16)
        return 0;
    CheckCipher(data, size);
    CheckContainer(data, size);
    return 0;
}
