// Symmetric ciphers and RSA encryption through the crypto library's EVP interfaces, and the RSA CMS
// envelopes built from them.
#include "RSADataEncryption.h"

#include "Base64.h"
#include "CMSStructures.h"
#include "CertificateFields.h"
#include "CertificateValidation.h"
#include "KernelHolders.h"
#include "Misc.h"
#include "QovaTrace.h"
#include "RSADataEncryptionDetail.h"
#include "SM2CertHelpers.h"
#include "SMRegistry.h"
#include "SslTraceDetail.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include <sys/types.h>

using smkernel::Bytes;
using smkernel::EvpCipherCtxPtr;
using smkernel::EvpPkeyCtxPtr;
using smkernel::EvpPkeyPtr;
using smkernel::SecretBytes;

namespace {

#define CIPHER_TRACE(...)                            \
    do {                                             \
        if (QovaLogEnabled()) TRACE(3, __VA_ARGS__); \
    } while (0)

constexpr int kDesKeyLength = 8;
// Output room for one update over a file block: the block plus what a cipher may hold back.
constexpr int kFileOutputBufferSize = SYM_FILE_BLOCK_SIZE + 16;

// The weak and semi-weak DES keys in their odd-parity form (FIPS 74).
constexpr unsigned char kWeakDesKeys[][kDesKeyLength] = {
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}, {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
    {0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x0E, 0x0E, 0x0E}, {0xE0, 0xE0, 0xE0, 0xE0, 0xF1, 0xF1, 0xF1, 0xF1},
    {0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE}, {0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01},
    {0x1F, 0xE0, 0x1F, 0xE0, 0x0E, 0xF1, 0x0E, 0xF1}, {0xE0, 0x1F, 0xE0, 0x1F, 0xF1, 0x0E, 0xF1, 0x0E},
    {0x01, 0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1}, {0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1, 0x01},
    {0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E, 0xFE}, {0xFE, 0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E},
    {0x01, 0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E}, {0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E, 0x01},
    {0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1, 0xFE}, {0xFE, 0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1},
};

// A weak key is as likely as 16 in 2^56; a generator that keeps producing them is broken.
constexpr int kMaxDesKeyAttempts = 8;

bool HasWeakDesKey(const unsigned char* pbyKey, int nKeys)
{
    for (int i = 0; i < nKeys; ++i) {
        if (smkernel::IsWeakDesKey(pbyKey + i * kDesKeyLength))
            return true;
    }
    return false;
}

bool CipherHasIV(const EVP_CIPHER* pEvpCipher)
{
    return EVP_CIPHER_get_iv_length(pEvpCipher) > 0;
}

// Writes the whole output block; false on a short write.
bool WriteAll(FILE* fpOut, const unsigned char* pbyData, int nDataSize)
{
    if (nDataSize <= 0)
        return true;
    return fwrite(pbyData, 1, static_cast<size_t>(nDataSize), fpOut) == static_cast<size_t>(nDataSize);
}

}  // namespace

bool smkernel::IsWeakDesKey(const unsigned char* pbyKey)
{
    for (const auto& weakKey : kWeakDesKeys) {
        if (0 == memcmp(pbyKey, weakKey, kDesKeyLength))
            return true;
    }
    return false;
}

unsigned int GenerateSymKey(int nSymAlgNID, unsigned char** key, int* keySize)
{
    QOVA_FAIL_IF(NULL == key || NULL == keySize, QOVA_E_INVALIDARG, "Check parameter");
    CIPHER_TRACE("nSymAlgNID: %d", nSymAlgNID);

    SecretBytes symKey;
    if (NID_aes_256_cbc == nSymAlgNID || NID_rc4 == nSymAlgNID) {
        const int nKeySize = (NID_aes_256_cbc == nSymAlgNID) ? AES256_KEY_LEN : RC4_KEY_LEN;
        QOVA_FAIL_IF(!symKey.allocate(nKeySize), QOVA_E_FAIL, "New memory");
        const int nResult = RAND_bytes(symKey.ptr, nKeySize);
        QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "RAND_bytes");
    } else if (NID_des_ede3_cbc == nSymAlgNID) {
        QOVA_FAIL_IF(!symKey.allocate(DES3_KEY_LEN), QOVA_E_FAIL, "New memory");
        // The cipher's key generator gives three random odd-parity DES keys but, unlike the old DES
        // key generator, does not avoid weak ones.
        EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
        EVP_CIPHER_CTX* pCTX = ctx.get();
        QOVA_FAIL_IF_SSL(NULL == pCTX, QOVA_E_FAIL, "EVP_CIPHER_CTX_new");
        int nResult = EVP_EncryptInit_ex(pCTX, EVP_des_ede3_cbc(), NULL, NULL, NULL);
        QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_EncryptInit_ex");
        int nAttempts = 0;
        do {
            nResult = (1 == EVP_CIPHER_CTX_rand_key(pCTX, symKey.ptr)) ? 1 : 0;
            QOVA_FAIL_IF_SSL(0 == nResult, QOVA_E_FAIL, "DES_random_key");
            ++nAttempts;
        } while (HasWeakDesKey(symKey.ptr, DES3_KEY_LEN / kDesKeyLength) && nAttempts < kMaxDesKeyAttempts);
        QOVA_FAIL_IF(HasWeakDesKey(symKey.ptr, DES3_KEY_LEN / kDesKeyLength), QOVA_E_FAIL, "Check weak DES key");
    } else {
        QOVA_FAIL_IF(true, QOVA_E_INVALIDARG, "Unsupported Algorithm.");
    }

    *keySize = symKey.size;
    *key = symKey.release();
    return QOVA_OK;
}

unsigned int GetEVPCipherbyNID(int nSymAlgNID, const EVP_CIPHER** cipher)
{
    QOVA_FAIL_IF(NULL == cipher, QOVA_E_INVALIDARG, "Check parameter");

    const EVP_CIPHER* pEvpCipher = NULL;
    const char* pszStep = NULL;
    // The SM4 NID is made at start-up: compared last, and never while it is still unset.
    if (NID_rc4 == nSymAlgNID) {
        pEvpCipher = EVP_rc4();
        pszStep = "EVP_rc4";
    } else if (NID_des_ede3_ecb == nSymAlgNID) {
        pEvpCipher = EVP_des_ede3_ecb();
        pszStep = "EVP_des_ede3_ecb";
    } else if (NID_des_ede3_cbc == nSymAlgNID) {
        pEvpCipher = EVP_des_ede3_cbc();
        pszStep = "EVP_des_ede3_cbc";
    } else if (NID_aes_256_ecb == nSymAlgNID) {
        pEvpCipher = EVP_aes_256_ecb();
        pszStep = "EVP_aes_256_ecb";
    } else if (NID_aes_256_cbc == nSymAlgNID) {
        pEvpCipher = EVP_aes_256_cbc();
        pszStep = "EVP_aes_256_cbc";
    } else if (NID_undef != nSymAlgNID && kNidSm4Cbc == nSymAlgNID) {
        pEvpCipher = SM_EVP_sm4_cbc();
        pszStep = "NID_ChinaSM4_CBC";
    } else {
        QOVA_FAIL_IF(true, QOVA_E_INVALIDARG, "Unsupported Algorithm.");
    }
    QOVA_FAIL_IF_SSL(NULL == pEvpCipher, QOVA_E_FAIL, pszStep);

    *cipher = pEvpCipher;
    return QOVA_OK;
}

unsigned int SymEncrypt(int nSymAlgNID, const unsigned char* iv, unsigned char* key, int nKeyDataSize,
                        unsigned char* pbyPlainData, int nPlainDataSize, unsigned char** out, int* outSize)
{
    if (NULL == pbyPlainData || 0 == nPlainDataSize) {
        QOVA_TRACE_STEP_FAILED("Check Parameters(pbyPlainData)", QOVA_E_INVALIDARG,
                               "NULL == pbyPlainData || 0 == nPlainDataSize");
        return QOVA_E_INVALIDARG;
    }
    QOVA_FAIL_IF(nPlainDataSize < 0 || NULL == key || NULL == out || NULL == outSize, QOVA_E_INVALIDARG,
                 "Check parameter");

    const EVP_CIPHER* pEvpCipher = NULL;
    {
        const unsigned int nResult = GetEVPCipherbyNID(nSymAlgNID, &pEvpCipher);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetEVPCipherbyNID");
    }
    CIPHER_TRACE("nSymAlgNID: %d", nSymAlgNID);

    if (NID_rc4 == nSymAlgNID) {
        QOVA_FAIL_IF(RC4_KEY_LEN != nKeyDataSize, QOVA_E_INVALIDARG, "Check RC4 key length.");
    } else if (NID_des_ede3_ecb == nSymAlgNID) {
        QOVA_FAIL_IF(DES3_KEY_LEN != nKeyDataSize, QOVA_E_INVALIDARG, "Check 3DES_ECB key length.");
    } else if (NID_des_ede3_cbc == nSymAlgNID) {
        QOVA_FAIL_IF(DES3_KEY_LEN != nKeyDataSize, QOVA_E_INVALIDARG, "Check 3DES key length.");
    } else if (NID_aes_256_cbc == nSymAlgNID) {
        QOVA_FAIL_IF(AES256_KEY_LEN != nKeyDataSize, QOVA_E_INVALIDARG, "Check AES256 key length.");
    } else {
        QOVA_FAIL_IF(true, QOVA_E_INVALIDARG, "Unsupported Algorithm.");
    }
    // Without an IV the library would go on with whatever IV the context holds.
    QOVA_FAIL_IF(NULL == iv && CipherHasIV(pEvpCipher), QOVA_E_INVALIDARG, "Check parameter(iv)");

    // The plaintext, or for a block cipher the plaintext padded to the next whole block.
    const long long nBlockSize = EVP_CIPHER_get_block_size(pEvpCipher);
    const long long nOutputSize =
        (nBlockSize > 1) ? nPlainDataSize / nBlockSize * nBlockSize + nBlockSize : nPlainDataSize;
    QOVA_FAIL_IF(nOutputSize > INT_MAX, QOVA_E_INVALIDARG, "Check plain data size");
    Bytes encrypted;
    QOVA_FAIL_IF(!encrypted.allocate(static_cast<int>(nOutputSize)), QOVA_E_ENCRYPT_FAILED, "New memory");

    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX* pCTX = ctx.get();
    QOVA_FAIL_IF_SSL(NULL == pCTX, QOVA_E_ENCRYPT_FAILED, "EVP_CIPHER_CTX_new");
    int nResult = EVP_EncryptInit_ex(pCTX, pEvpCipher, NULL, key, iv);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_ENCRYPT_FAILED, "EVP_EncryptInit");
    int nUpdateSize = 0;
    nResult = EVP_EncryptUpdate(pCTX, encrypted.ptr, &nUpdateSize, pbyPlainData, nPlainDataSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_ENCRYPT_FAILED, "EVP_EncryptUpdate");
    int nFinalSize = 0;
    nResult = EVP_EncryptFinal_ex(pCTX, encrypted.ptr + nUpdateSize, &nFinalSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_ENCRYPT_FAILED, "EVP_EncryptFinal_ex");

    *outSize = nUpdateSize + nFinalSize;
    *out = encrypted.release();
    return QOVA_OK;
}

unsigned int SymDecrypt(int nSymAlgNID, unsigned char* iv, unsigned char* key, int keySize, unsigned char* data,
                        int dataSize, unsigned char** out, int* outSize)
{
    QOVA_FAIL_IF(NULL == key || NULL == data || dataSize < 0 || NULL == out || NULL == outSize, QOVA_E_INVALIDARG,
                 "Check parameter");

    const EVP_CIPHER* pEvpCipher = NULL;
    {
        const unsigned int nResult = GetEVPCipherbyNID(nSymAlgNID, &pEvpCipher);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetEVPCipherbyNID");
    }
    // Key and IV often come from an envelope: the library would read a short key past its end.
    QOVA_FAIL_IF(keySize != EVP_CIPHER_get_key_length(pEvpCipher), QOVA_E_DECRYPT_FAILED, "Check key length");
    QOVA_FAIL_IF(NULL == iv && CipherHasIV(pEvpCipher), QOVA_E_DECRYPT_FAILED, "Check IV");

    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX* pCTX = ctx.get();
    QOVA_FAIL_IF_SSL(NULL == pCTX, QOVA_E_DECRYPT_FAILED, "EVP_CIPHER_CTX_new");
    int nResult = EVP_DecryptInit_ex(pCTX, pEvpCipher, NULL, key, iv);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_DECRYPT_FAILED, "EVP_DecryptInit");

    // The plaintext is never longer than the ciphertext; one more byte for the NUL after it.
    QOVA_FAIL_IF(dataSize > INT_MAX - 1, QOVA_E_DECRYPT_FAILED, "Check data size");
    SecretBytes plain;
    QOVA_FAIL_IF(!plain.allocate(dataSize + 1), QOVA_E_DECRYPT_FAILED, "New memory");
    int nUpdateSize = 0;
    nResult = EVP_DecryptUpdate(pCTX, plain.ptr, &nUpdateSize, data, dataSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_DECRYPT_FAILED, "EVP_DecryptUpdate");
    int nFinalSize = 0;
    nResult = EVP_DecryptFinal_ex(pCTX, plain.ptr + nUpdateSize, &nFinalSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_DECRYPT_FAILED, "EVP_DecryptFinal");

    const int nPlainDataSize = nUpdateSize + nFinalSize;
    plain.ptr[nPlainDataSize] = '\0';
    *outSize = nPlainDataSize;
    *out = plain.release();
    return QOVA_OK;
}

unsigned int SymFileEncrypt(int nSymAlgNID, const unsigned char* iv, unsigned char* key, int keySize,
                            FILE* plainFile, FILE* outFile)
{
    FILE* fpPlainFile = plainFile;
    QOVA_FAIL_IF(NULL == key || NULL == fpPlainFile || NULL == outFile, QOVA_E_INVALIDARG, "Check parameter");

    const EVP_CIPHER* pEvpCipher = NULL;
    {
        const unsigned int nResult = GetEVPCipherbyNID(nSymAlgNID, &pEvpCipher);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetEVPCipherbyNID.");
    }
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX* pCTX = ctx.get();
    QOVA_FAIL_IF_SSL(NULL == pCTX, QOVA_E_ENCRYPT_FAILED, "EVP_CIPHER_CTX_new");

    const int nbySymKeyDataSize = keySize;
    if (NID_rc4 == nSymAlgNID) {
        QOVA_FAIL_IF(RC4_KEY_LEN != nbySymKeyDataSize, QOVA_E_INVALIDARG, "Check RC4 key length.");
    } else if (NID_des_ede3_cbc == nSymAlgNID) {
        QOVA_FAIL_IF(DES3_KEY_LEN != nbySymKeyDataSize, QOVA_E_INVALIDARG, "Check 3DES key length.");
    } else if (NID_aes_256_ecb == nSymAlgNID) {
        QOVA_FAIL_IF(32 != nbySymKeyDataSize, QOVA_E_INVALIDARG, "Check AES key length.");
    } else if (NID_undef != nSymAlgNID && kNidSm4Cbc == nSymAlgNID) {
        QOVA_FAIL_IF(SM4_KEY_LEN != nbySymKeyDataSize, QOVA_E_INVALIDARG, "Check SM4 key length.");
    } else {
        QOVA_FAIL_IF(true, QOVA_E_INVALIDARG, "Unsupported Algorithm.");
    }
    QOVA_FAIL_IF(NULL == iv && CipherHasIV(pEvpCipher), QOVA_E_INVALIDARG, "Check parameter(iv)");
    int nResult = EVP_EncryptInit_ex(pCTX, pEvpCipher, NULL, key, iv);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_ENCRYPT_FAILED, "EVP_EncryptInit");

    // Also rewinds the stream; files of 2^31 bytes or more are refused there.
    unsigned nFileSize = 0;
    {
        const unsigned int nResult = GetFileSize_Ex(fpPlainFile, &nFileSize);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetFileSize_Ex");
    }
    const int nPlainFileSize = static_cast<int>(nFileSize);
    CIPHER_TRACE("nPlainFileSize: %d", nPlainFileSize);
    QOVA_FAIL_IF(0 == nPlainFileSize, QOVA_E_READ_FAULT, "Check plaint file size");

    SecretBytes plainBuffer;
    Bytes encryptedBuffer;
    QOVA_FAIL_IF(!plainBuffer.allocate(SYM_FILE_BLOCK_SIZE) || !encryptedBuffer.allocate(kFileOutputBufferSize),
                 QOVA_E_FAIL, "New memory");
    int nRemaining = nPlainFileSize;
    while (nRemaining > 0) {
        const int nPlainDataBufferSize = std::min(nRemaining, SYM_FILE_BLOCK_SIZE);
        const int nBytesOfRead =
            static_cast<int>(fread(plainBuffer.ptr, 1, static_cast<size_t>(nPlainDataBufferSize), fpPlainFile));
        QOVA_FAIL_IF(nPlainDataBufferSize != nBytesOfRead || ferror(fpPlainFile), QOVA_E_READ_FAULT, "fread");
        int nEncryptedDataSize = 0;
        nResult = EVP_EncryptUpdate(pCTX, encryptedBuffer.ptr, &nEncryptedDataSize, plainBuffer.ptr, nBytesOfRead);
        QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_EncryptUpdate");
        QOVA_FAIL_IF(!WriteAll(outFile, encryptedBuffer.ptr, nEncryptedDataSize), QOVA_E_WRITE_FAULT, "fwrite");
        nRemaining -= nBytesOfRead;
    }

    int nFinalBlockSize = 0;
    nResult = EVP_EncryptFinal_ex(pCTX, encryptedBuffer.ptr, &nFinalBlockSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_EncryptFinal_ex");
    QOVA_FAIL_IF(!WriteAll(outFile, encryptedBuffer.ptr, nFinalBlockSize), QOVA_E_WRITE_FAULT, "fwrite");
    CIPHER_TRACE("nEncrytpedFileSize: %d", nFinalBlockSize);
    return QOVA_OK;
}

unsigned int SymFileDecrypt(int nSymAlgNID, unsigned char* iv, unsigned char* key, int keySize,
                            FILE* encryptedFile, FILE* outFile)
{
    FILE* fpEncryptedFile = encryptedFile;
    QOVA_FAIL_IF(NULL == key || NULL == fpEncryptedFile || NULL == outFile, QOVA_E_INVALIDARG, "Check parameter");

    const EVP_CIPHER* pEvpCipher = NULL;
    {
        const unsigned int nResult = GetEVPCipherbyNID(nSymAlgNID, &pEvpCipher);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetEVPCipherbyNID.");
    }
    QOVA_FAIL_IF(keySize != EVP_CIPHER_get_key_length(pEvpCipher), QOVA_E_DECRYPT_FAILED, "Check key length");
    QOVA_FAIL_IF(NULL == iv && CipherHasIV(pEvpCipher), QOVA_E_DECRYPT_FAILED, "Check IV");

    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX* pCTX = ctx.get();
    QOVA_FAIL_IF_SSL(NULL == pCTX, QOVA_E_DECRYPT_FAILED, "EVP_CIPHER_CTX_new");
    int nResult = EVP_DecryptInit_ex(pCTX, pEvpCipher, NULL, key, iv);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_DECRYPT_FAILED, "EVP_DecryptInit");

    unsigned nFileSize = 0;
    {
        const unsigned int nResult = GetFileSize_Ex(fpEncryptedFile, &nFileSize);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetFileSize_Ex");
    }
    const int nEncryptedFileSize = static_cast<int>(nFileSize);
    CIPHER_TRACE("nEncryptedFileSize: %d", nEncryptedFileSize);
    QOVA_FAIL_IF(0 == nEncryptedFileSize, QOVA_E_READ_FAULT, "Check encrypted file size");

    Bytes encryptedBuffer;
    SecretBytes plainBuffer;
    QOVA_FAIL_IF(!encryptedBuffer.allocate(SYM_FILE_BLOCK_SIZE) || !plainBuffer.allocate(kFileOutputBufferSize),
                 QOVA_E_FAIL, "New memory");
    int nTotalPlainDataSize = 0;
    int nRemaining = nEncryptedFileSize;
    while (nRemaining > 0) {
        const int nEncryptedDataSize = std::min(nRemaining, SYM_FILE_BLOCK_SIZE);
        const int nBytesOfRead =
            static_cast<int>(fread(encryptedBuffer.ptr, 1, static_cast<size_t>(nEncryptedDataSize), fpEncryptedFile));
        QOVA_FAIL_IF(nEncryptedDataSize != nBytesOfRead || ferror(fpEncryptedFile), QOVA_E_READ_FAULT, "fread");
        int nPlainDataSize = 0;
        nResult = EVP_DecryptUpdate(pCTX, plainBuffer.ptr, &nPlainDataSize, encryptedBuffer.ptr, nBytesOfRead);
        QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_DECRYPT_FAILED, "EVP_DecryptUpdate");
        QOVA_FAIL_IF(!WriteAll(outFile, plainBuffer.ptr, nPlainDataSize), QOVA_E_WRITE_FAULT, "fwrite");
        nTotalPlainDataSize += nPlainDataSize;
        nRemaining -= nBytesOfRead;
    }

    int nFinalBlockSize = 0;
    nResult = EVP_DecryptFinal_ex(pCTX, plainBuffer.ptr, &nFinalBlockSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_DECRYPT_FAILED, "EVP_DecryptFinal");
    QOVA_FAIL_IF(!WriteAll(outFile, plainBuffer.ptr, nFinalBlockSize), QOVA_E_WRITE_FAULT, "fwrite");
    nTotalPlainDataSize += nFinalBlockSize;
    CIPHER_TRACE("nTotalPlainDataSize: %d", nTotalPlainDataSize);
    return QOVA_OK;
}

unsigned int RSAEncrypt(EVP_PKEY* pEvpPubKey, unsigned char* pbyPlainData, int size, unsigned char** out,
                        int* outSize)
{
    QOVA_FAIL_IF(NULL == pEvpPubKey, QOVA_E_INVALIDARG, "Check parameter(EvpPubKey)");
    QOVA_FAIL_IF(NULL == pbyPlainData, QOVA_E_INVALIDARG, "Check parameter(pbyPlainData)");
    QOVA_FAIL_IF(size < 0 || NULL == out || NULL == outSize, QOVA_E_INVALIDARG, "Check parameter");

    // Any key object may arrive here; only an RSA key is taken.
    EVP_PKEY* pRsaPubKey = EVP_PKEY_is_a(pEvpPubKey, "RSA") ? pEvpPubKey : NULL;
    QOVA_FAIL_IF(NULL == pRsaPubKey, QOVA_E_ENCRYPT_FAILED, "EVP_PKEY_get1_RSA");
    const int nKeyBytes = EVP_PKEY_get_size(pRsaPubKey);
    QOVA_FAIL_IF(nKeyBytes < 128, QOVA_E_ENCRYPT_FAILED, "RSA_size");
    CIPHER_TRACE("RSA Key Bytes: %d", nKeyBytes);

    EvpPkeyCtxPtr keyCtx(EVP_PKEY_CTX_new(pRsaPubKey, NULL));
    EVP_PKEY_CTX* pKeyCtx = keyCtx.get();
    QOVA_FAIL_IF_SSL(NULL == pKeyCtx, QOVA_E_ENCRYPT_FAILED, "EVP_PKEY_CTX_new");
    int nResult = EVP_PKEY_encrypt_init(pKeyCtx);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_ENCRYPT_FAILED, "EVP_PKEY_encrypt_init");
    nResult = EVP_PKEY_CTX_set_rsa_padding(pKeyCtx, RSA_PKCS1_PADDING);
    QOVA_FAIL_IF_SSL(nResult <= 0, QOVA_E_ENCRYPT_FAILED, "EVP_PKEY_CTX_set_rsa_padding");

    Bytes encrypted;
    QOVA_FAIL_IF(!encrypted.allocate(nKeyBytes), QOVA_E_ENCRYPT_FAILED, "New memory");
    size_t nOutLength = static_cast<size_t>(nKeyBytes);
    nResult = EVP_PKEY_encrypt(pKeyCtx, encrypted.ptr, &nOutLength, pbyPlainData, static_cast<size_t>(size));
    const int nEncryptedDataSize = (1 == nResult) ? static_cast<int>(nOutLength) : -1;
    // Data longer than the modulus size minus 11 fails here too.
    QOVA_FAIL_IF_SSL(nEncryptedDataSize != nKeyBytes, QOVA_E_ENCRYPT_FAILED, "RSA_public_encrypt");

    *outSize = nEncryptedDataSize;
    *out = encrypted.release();
    return QOVA_OK;
}

unsigned int RSADecrypt(EVP_PKEY* key, unsigned char* data, int size, unsigned char** out, int* outSize)
{
    QOVA_FAIL_IF(NULL == key || NULL == data || size < 0 || NULL == out || NULL == outSize, QOVA_E_INVALIDARG,
                 "Check parameter");

    EVP_PKEY* pRSAKey = EVP_PKEY_is_a(key, "RSA") ? key : NULL;
    QOVA_FAIL_IF(NULL == pRSAKey, QOVA_E_DECRYPT_FAILED, "EVP_PKEY_get1_RSA");
    const int nKeyBytes = EVP_PKEY_get_size(pRSAKey);
    QOVA_FAIL_IF(nKeyBytes < 128, QOVA_E_DECRYPT_FAILED, "RSA_size");

    EvpPkeyCtxPtr keyCtx(EVP_PKEY_CTX_new(pRSAKey, NULL));
    EVP_PKEY_CTX* pKeyCtx = keyCtx.get();
    QOVA_FAIL_IF_SSL(NULL == pKeyCtx, QOVA_E_DECRYPT_FAILED, "EVP_PKEY_CTX_new");
    int nResult = EVP_PKEY_decrypt_init(pKeyCtx);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_DECRYPT_FAILED, "EVP_PKEY_decrypt_init");
    nResult = EVP_PKEY_CTX_set_rsa_padding(pKeyCtx, RSA_PKCS1_PADDING);
    QOVA_FAIL_IF_SSL(nResult <= 0, QOVA_E_DECRYPT_FAILED, "EVP_PKEY_CTX_set_rsa_padding");

    SecretBytes plain;
    QOVA_FAIL_IF(!plain.allocate(nKeyBytes), QOVA_E_DECRYPT_FAILED, "New memory");
    size_t nOutLength = static_cast<size_t>(nKeyBytes);
    nResult = EVP_PKEY_decrypt(pKeyCtx, plain.ptr, &nOutLength, data, static_cast<size_t>(size));
    const int nPlainDataSize = (1 == nResult) ? static_cast<int>(nOutLength) : -1;
    QOVA_FAIL_IF_SSL(nPlainDataSize <= 0, QOVA_E_DECRYPT_FAILED, "RSA_private_decrypt");

    *outSize = nPlainDataSize;
    *out = plain.release();
    return QOVA_OK;
}

unsigned int RSAEncryptByX509(X509* pX509Cert, unsigned char* data, int size, unsigned char** out, int* outSize)
{
    QOVA_FAIL_IF(NULL == pX509Cert, QOVA_E_INVALIDARG, "Check parameter(pX509Cert).");

    unsigned int nResult = CheckX509KeyUsage(pX509Cert, CERT_KU_KEY_ENCIPHERMENT, true);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "CheckX509KeyUsage");

    EvpPkeyPtr publicKey(X509_get_pubkey(pX509Cert));
    EVP_PKEY* pEvpPubKey = publicKey.get();
    QOVA_FAIL_IF_SSL(NULL == pEvpPubKey, QOVA_E_FAIL, "X509_get_pubkey");

    nResult = RSAEncrypt(pEvpPubKey, data, size, out, outSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSAEncyrpt");
    return QOVA_OK;
}

// ---------------------------------------------------------------------------------------------
// RSA CMS EnvelopedData

namespace {

constexpr char kEnvelopedDataOID[] = "1.2.840.113549.1.7.3";
constexpr char kDataOID[] = "1.2.840.113549.1.7.1";
constexpr char kRsaEncryptionOID[] = "1.2.840.113549.1.1.1";
constexpr unsigned char kTagOctetString = 0x04;
constexpr unsigned char kConstructedBit = 0x20;
constexpr unsigned char kNullParameters[] = {0x05, 0x00};
// The final block of a decryption is at most one cipher block.
constexpr int kFinalBlockBufferSize = 16;

using smkernel::Text;
using smkernel::X509Ptr;

// The parameters of the content cipher: NULL for RC4, else an OCTET STRING holding a fresh IV.
// AES-256-CBC is offered for buffers only.
unsigned int MakeContentParameters(const char* func, int nSymAlgNID, bool bOfferAes, Bytes& iv, Bytes& parameters)
{
    if (NID_rc4 == nSymAlgNID) {
        QOVA_FAIL_IF_IN(func, !parameters.allocate(sizeof(kNullParameters)), QOVA_E_FAIL, "New memory");
        memcpy(parameters.ptr, kNullParameters, sizeof(kNullParameters));
        return QOVA_OK;
    }
    int nIVSize = 0;
    if (NID_des_ede3_cbc == nSymAlgNID) {
        nIVSize = 8;
    } else if (bOfferAes && NID_aes_256_cbc == nSymAlgNID) {
        nIVSize = 16;
    } else {
        QOVA_FAIL_IF_IN(func, true, QOVA_E_INVALIDARG, "Unsupported Algorithm.");
    }
    QOVA_FAIL_IF_IN(func, !iv.allocate(nIVSize), QOVA_E_FAIL, "New memory");
    const int nResult = RAND_bytes(iv.ptr, nIVSize);
    SMKERNEL_FAIL_IF_SSL_IN(func, 1 != nResult, QOVA_E_FAIL, "RAND_bytes");
    const unsigned int nEncodeResult = ASN1Encode(kTagOctetString, iv.ptr, nIVSize, &parameters.ptr, &parameters.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nEncodeResult, nEncodeResult, "ASN1Encode");
    return QOVA_OK;
}

// What the envelope says about its recipient besides the content.
struct RecipientParts
{
    Bytes encryptedKey;
    Text contentOID;
    Bytes recipientKeyID;
};

// The content key RSA-encrypted for the certificate, the content cipher's identifier and the
// certificate's subject key identifier.
unsigned int WrapKeyForRecipient(const char* func, unsigned char* pbyCert, int nCertSize, int nSymAlgNID,
                                 const SecretBytes& contentKey, RecipientParts& parts)
{
    const unsigned char* pbyCertData = pbyCert;
    X509Ptr cert(d2i_X509(NULL, &pbyCertData, nCertSize));
    X509* pX509Cert = cert.get();
    SMKERNEL_FAIL_IF_SSL_IN(func, NULL == pX509Cert, QOVA_E_FAIL, "d2i_X509");

    unsigned int nResult = RSAEncryptByX509(pX509Cert, contentKey.ptr, contentKey.size, &parts.encryptedKey.ptr,
                                            &parts.encryptedKey.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "RSAEncryptByX509");
    nResult = GetOIDFromNID(nSymAlgNID, &parts.contentOID.ptr, &parts.contentOID.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetOIDFromNID");
    nResult = GetSubjectKeyIDFromCert(pbyCert, nCertSize, &parts.recipientKeyID.ptr, &parts.recipientKeyID.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetSubjectKeyIDFromCert");
    return QOVA_OK;
}

// What a decryption reads from the envelope.
struct EnvelopeParts
{
    Bytes recipientKeyID;
    Bytes encryptedKey;
    Text keyEncryptionOID;
    Text contentEncryptionOID;
    Bytes parameters;
};

// The steps both decryptions share once the envelope and the PKCS#12 file are read: the recipient
// must be the file's certificate, the content key is unwrapped with its private key, and the cipher
// must be one the envelopes use, with key and IV of its lengths.
unsigned int OpenContentKey(const char* func, X509* pX509Cert, EVP_PKEY* pPrivateKey, EnvelopeParts& envelope,
                            SecretBytes& contentKey, int& nContentEncryptionAlgNID)
{
    unsigned int nResult = QOVA_OK;
    if (envelope.recipientKeyID.size > 0) {
        Text subjectKeyID, recipientSubjectKeyID;
        nResult = GetX509SubjectKeyID(pX509Cert, &subjectKeyID.ptr, &subjectKeyID.size);
        QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetX509SubjectKeyID");
        nResult = ConvertBinaryDataToString(envelope.recipientKeyID.ptr, envelope.recipientKeyID.size,
                                            &recipientSubjectKeyID.ptr, false);
        QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "ConvertBinaryDataToString");
        const char* pszSubjectKeyID = subjectKeyID.ptr;
        const char* pszRecipientSubjectKeyID = recipientSubjectKeyID.ptr;
        QOVA_FAIL_IF_IN(func, 0 != strcmp(pszSubjectKeyID, pszRecipientSubjectKeyID), QOVA_E_DECRYPT_FAILED,
                        "Check SubjectKeyID");
    }

    nResult = RSADecrypt(pPrivateKey, envelope.encryptedKey.ptr, envelope.encryptedKey.size, &contentKey.ptr,
                         &contentKey.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "RSADecrypt");

    // Numerically, never by name.
    smkernel::Asn1ObjectPtr contentEncryptionAlg(OBJ_txt2obj(envelope.contentEncryptionOID.ptr, 1));
    nContentEncryptionAlgNID = contentEncryptionAlg ? OBJ_obj2nid(contentEncryptionAlg.get()) : NID_undef;
    QOVA_FAIL_IF_IN(func,
                    (nContentEncryptionAlgNID != NID_rc4 && nContentEncryptionAlgNID != NID_des_ede3_cbc &&
                     nContentEncryptionAlgNID != NID_des_ede3_ecb),
                    QOVA_E_DECRYPT_FAILED, "nContentEncryptionAlgNID");
    nResult = CheckEnvelopeKeyAndIV(nContentEncryptionAlgNID, contentKey.size, envelope.parameters.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "CheckEnvelopeKeyAndIV");
    return QOVA_OK;
}

// The leaves of the encrypted content in order; BER may nest constructed pieces, and a constructed
// node's own value also holds its pieces' headers (and an end marker).
unsigned int ProcessContentNodes(const char* func, EVP_CIPHER_CTX* pCTX, FILE* fpCMSEnvelope, NodeEx* pNode,
                                 FILE* fpPlainFile)
{
    if (0 == (pNode->Tag & kConstructedBit)) {
        const unsigned int nResult = DecryptFileEnvelopeContent_ProcessOneNode(pCTX, fpCMSEnvelope, pNode, fpPlainFile);
        QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "DecryptFileEnvelopeContent_ProcessOneNode");
        return QOVA_OK;
    }
    for (NodeEx* pChild : pNode->vetNodes) {
        const unsigned int nResult = ProcessContentNodes(func, pCTX, fpCMSEnvelope, pChild, fpPlainFile);
        if (QOVA_OK != nResult)
            return nResult;
    }
    return QOVA_OK;
}

}  // namespace

unsigned int CheckEnvelopeKeyAndIV(int nSymAlgNID, int nKeySize, int nIVSize)
{
    const EVP_CIPHER* pEvpCipher = NULL;
    const unsigned int nResult = GetEVPCipherbyNID(nSymAlgNID, &pEvpCipher);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetEVPCipherbyNID");
    QOVA_FAIL_IF(nKeySize != EVP_CIPHER_get_key_length(pEvpCipher), QOVA_E_DECRYPT_FAILED, "Check key length");
    // A cipher without IV ignores whatever the parameters hold.
    QOVA_FAIL_IF(CipherHasIV(pEvpCipher) && nIVSize != EVP_CIPHER_get_iv_length(pEvpCipher), QOVA_E_DECRYPT_FAILED,
                 "Check IV length");
    return QOVA_OK;
}

unsigned int RSA_EncryptDataToDERCMSEnvelope(unsigned char* pbyPlainData, int nPlainDataSize, unsigned char* pbyCert,
                                             int nCertSize, int nSymAlgNID, unsigned char** ppbyDERCMSEnvelope,
                                             int* pnDERCMSEnvelopeSize)
{
    QOVA_FAIL_IF(NULL == pbyCert || NULL == ppbyDERCMSEnvelope || NULL == pnDERCMSEnvelopeSize, QOVA_E_INVALIDARG,
                 "Check parameter");

    Bytes iv, parameters;
    unsigned int nResult = MakeContentParameters(__func__, nSymAlgNID, true, iv, parameters);
    if (QOVA_OK != nResult)
        return nResult;

    SecretBytes contentKey;
    nResult = GenerateSymKey(nSymAlgNID, &contentKey.ptr, &contentKey.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GenerateSymKey");

    Bytes encryptedContent;
    nResult = SymEncrypt(nSymAlgNID, iv.ptr, contentKey.ptr, contentKey.size, pbyPlainData, nPlainDataSize,
                         &encryptedContent.ptr, &encryptedContent.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SymEncrypt");

    RecipientParts recipient;
    nResult = WrapKeyForRecipient(__func__, pbyCert, nCertSize, nSymAlgNID, contentKey, recipient);
    if (QOVA_OK != nResult)
        return nResult;

    Bytes envelope;
    nResult = Encode_CMSEnvelope(kEnvelopedDataOID, recipient.recipientKeyID.ptr, recipient.recipientKeyID.size,
                                 kRsaEncryptionOID, recipient.encryptedKey.ptr, recipient.encryptedKey.size, kDataOID,
                                 recipient.contentOID.ptr, parameters.ptr, parameters.size, encryptedContent.ptr,
                                 encryptedContent.size, &envelope.ptr, &envelope.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, QOVA_E_FAIL, "Encode_CMSEnvelope");

    *pnDERCMSEnvelopeSize = envelope.size;
    *ppbyDERCMSEnvelope = envelope.release();
    return QOVA_OK;
}

unsigned int RSA_EncryptDataToCMSEnvelope(unsigned char* pbyPlainData, int nPlainDataSize, unsigned char* pbyCert,
                                          int nCertSize, int nSymAlgNID, unsigned long dwFlags,
                                          char** ppszBase64CMSEnvelope, int* pnBase64CMSEnvelopeLength)
{
    if (NULL == pbyPlainData || nPlainDataSize <= 0) {
        QOVA_TRACE_STEP_FAILED("Check parameter(pbyPlainData)", QOVA_E_INVALIDARG,
                               "NULL == pbyPlainData || nPlainDataSize <= 0");
        return QOVA_E_INVALIDARG;
    }
    QOVA_FAIL_IF(NULL == ppszBase64CMSEnvelope || NULL == pnBase64CMSEnvelopeLength, QOVA_E_INVALIDARG,
                 "Check parameter");

    Bytes envelope;
    unsigned int nResult = RSA_EncryptDataToDERCMSEnvelope(pbyPlainData, nPlainDataSize, pbyCert, nCertSize,
                                                           nSymAlgNID, &envelope.ptr, &envelope.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_EncryptDataToDERCMSEnvelope");

    Text text;
    nResult = Base64EncodeEx(envelope.ptr, envelope.size, &text.ptr, &text.size, dwFlags);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64EncodeEx");

    *pnBase64CMSEnvelopeLength = text.size;
    *ppszBase64CMSEnvelope = text.release();
    return QOVA_OK;
}

unsigned int RSA_EncryptFileToCMSEnvelope(FILE* fpPlainFile, unsigned char* pbyCert, int nCertSize, int nSymAlgNID,
                                          FILE* fpCMSEnvelope)
{
    QOVA_FAIL_IF(NULL == fpPlainFile || NULL == pbyCert || NULL == fpCMSEnvelope, QOVA_E_INVALIDARG,
                 "Check parameter");

    unsigned nFileSize = 0;
    unsigned int nResult = GetFileSize_Ex(fpPlainFile, &nFileSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetFileSize_Ex");
    const int nPlainFileSize = static_cast<int>(nFileSize);
    CIPHER_TRACE("Source plain file size:[%d]", nPlainFileSize);
    QOVA_FAIL_IF(nPlainFileSize <= 0, QOVA_E_INVALIDARG, "Check file size");

    Bytes iv, parameters;
    nResult = MakeContentParameters(__func__, nSymAlgNID, false, iv, parameters);
    if (QOVA_OK != nResult)
        return nResult;
    // RC4 keeps the length; 3DES-CBC pads to the next whole block.
    const long long nEncryptedSize =
        (NID_rc4 == nSymAlgNID) ? nPlainFileSize : (static_cast<long long>(nPlainFileSize) + 8) / 8 * 8;
    QOVA_FAIL_IF(nEncryptedSize > INT_MAX, QOVA_E_INVALIDARG, "Check encrypted file size");
    const int nEncryptedFileSize = static_cast<int>(nEncryptedSize);
    CIPHER_TRACE("Symmetric encrypted file size:[%d]", nEncryptedFileSize);

    SecretBytes contentKey;
    nResult = GenerateSymKey(nSymAlgNID, &contentKey.ptr, &contentKey.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GenerateSymKey");

    RecipientParts recipient;
    nResult = WrapKeyForRecipient(__func__, pbyCert, nCertSize, nSymAlgNID, contentKey, recipient);
    if (QOVA_OK != nResult)
        return nResult;

    Bytes envelopeHead;
    nResult = Encode_CMSEnvelope(kEnvelopedDataOID, recipient.recipientKeyID.ptr, recipient.recipientKeyID.size,
                                 kRsaEncryptionOID, recipient.encryptedKey.ptr, recipient.encryptedKey.size, kDataOID,
                                 recipient.contentOID.ptr, parameters.ptr, parameters.size, NULL, nEncryptedFileSize,
                                 &envelopeHead.ptr, &envelopeHead.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_CMSEnvelope");
    const int nDERCMSEnvelopeSize = envelopeHead.size;
    CIPHER_TRACE("CMS envelope(without EncryptedContent node) data size:[%d]", nDERCMSEnvelopeSize);

    const size_t sizeWrite = fwrite(envelopeHead.ptr, 1, static_cast<size_t>(nDERCMSEnvelopeSize), fpCMSEnvelope);
    QOVA_FAIL_IF(sizeWrite != (size_t)nDERCMSEnvelopeSize, QOVA_E_WRITE_FAULT, "fwrite");

    const off_t nContentStart = ftello(fpCMSEnvelope);
    nResult = SymFileEncrypt(nSymAlgNID, iv.ptr, contentKey.ptr, contentKey.size, fpPlainFile, fpCMSEnvelope);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SymFileEncrypt");
    // The head announced the content's length: a plain file that changed size since it was measured
    // would leave an envelope that no reader can take.
    const off_t nContentEnd = ftello(fpCMSEnvelope);
    QOVA_FAIL_IF(nContentStart >= 0 && nContentEnd >= 0 && nContentEnd - nContentStart != nEncryptedFileSize,
                 QOVA_E_READ_FAULT, "Check encrypted content size");
    return QOVA_OK;
}

unsigned int RSA_DecryptDataFromDERCMSEnvelope(unsigned char* pbyDERCMSEnvelope, int nDERCMSEnvelopeSize, FILE* fpPFX,
                                               char* pszPFXPwd, unsigned char** ppbyPlainData, int* pnPlainDataSize)
{
    QOVA_FAIL_IF(NULL == ppbyPlainData || NULL == pnPlainDataSize, QOVA_E_INVALIDARG, "Check parameter");

    EvpPkeyPtr privateKey;
    X509Ptr cert;
    unsigned int nResult = ParsePFXFile(fpPFX, pszPFXPwd, privateKey.out(), cert.out(), NULL);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ParsePFXFile");

    EnvelopeParts envelope;
    Bytes encryptedContent;
    nResult = Decode_CMSEnvelopeData(pbyDERCMSEnvelope, nDERCMSEnvelopeSize, &envelope.recipientKeyID.ptr,
                                     &envelope.recipientKeyID.size, &envelope.encryptedKey.ptr,
                                     &envelope.encryptedKey.size, &encryptedContent.ptr, &encryptedContent.size,
                                     &envelope.keyEncryptionOID.ptr, &envelope.keyEncryptionOID.size,
                                     &envelope.contentEncryptionOID.ptr, &envelope.contentEncryptionOID.size,
                                     &envelope.parameters.ptr, &envelope.parameters.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Decode_CMSEnvelopeData");

    SecretBytes contentKey;
    int nContentEncryptionAlgNID = NID_undef;
    nResult = OpenContentKey(__func__, cert.get(), privateKey.get(), envelope, contentKey, nContentEncryptionAlgNID);
    if (QOVA_OK != nResult)
        return nResult;

    nResult = SymDecrypt(nContentEncryptionAlgNID, envelope.parameters.ptr, contentKey.ptr, contentKey.size,
                         encryptedContent.ptr, encryptedContent.size, ppbyPlainData, pnPlainDataSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SymDecrypt");
    return QOVA_OK;
}

unsigned int RSA_DecryptDataFromCMSEnvelope(const char* pszBase64CMSEnvelope, FILE* fpPFX, char* pszPFXPwd,
                                            unsigned char** ppbyPlainData, int* pnPlainDataSize)
{
    QOVA_FAIL_IF(NULL == pszBase64CMSEnvelope, QOVA_E_INVALIDARG, "Check parameter(pszBase64CMSEnvelope)");
    QOVA_FAIL_IF(NULL == fpPFX, QOVA_E_INVALIDARG, "Check parameter(fpPFX)");
    QOVA_FAIL_IF(NULL == pszPFXPwd || 0 == strlen(pszPFXPwd), QOVA_E_INVALIDARG, "Check parameter(pszPFXwd)");

    const size_t nBase64Length = strlen(pszBase64CMSEnvelope);
    QOVA_FAIL_IF(nBase64Length > INT_MAX, QOVA_E_INVALIDARG, "Check envelope length");
    Bytes envelope;
    unsigned int nResult = Base64DecodeEx(pszBase64CMSEnvelope, static_cast<int>(nBase64Length), &envelope.ptr,
                                          &envelope.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64DecodeEx");

    nResult = RSA_DecryptDataFromDERCMSEnvelope(envelope.ptr, envelope.size, fpPFX, pszPFXPwd, ppbyPlainData,
                                                pnPlainDataSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "RSA_DecryptDataFromDERCMSEnvelope");
    return QOVA_OK;
}

unsigned int RSA_DecryptFileFromCMSEnvelope(FILE* fpCMSEnvelope, FILE* fpPFX, char* pszPFXPwd, FILE* fpPlainFile)
{
    QOVA_FAIL_IF(NULL == fpCMSEnvelope || NULL == fpPlainFile, QOVA_E_INVALIDARG, "Check parameter");

    // Content lengths and positions come from the envelope; like every file of the kernel, it must
    // stay below 2^31 bytes.
    unsigned nFileSize = 0;
    unsigned int nResult = GetFileSize_Ex(fpCMSEnvelope, &nFileSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetFileSize_Ex");

    EnvelopeParts envelope;
    NodeEx* pNode = NULL;
    nResult = Decode_CMSEnvelopeFile(fpCMSEnvelope, &envelope.recipientKeyID.ptr, &envelope.recipientKeyID.size,
                                     &envelope.encryptedKey.ptr, &envelope.encryptedKey.size, &pNode,
                                     &envelope.keyEncryptionOID.ptr, &envelope.keyEncryptionOID.size,
                                     &envelope.contentEncryptionOID.ptr, &envelope.contentEncryptionOID.size,
                                     &envelope.parameters.ptr, &envelope.parameters.size);
    NodeExPtr encryptedContentNode(pNode);
    QOVA_FAIL_IF(nResult != QOVA_OK, nResult, "Decode_CMSEnvelopeFile");

    EvpPkeyPtr privateKey;
    X509Ptr cert;
    nResult = ParsePFXFile(fpPFX, pszPFXPwd, privateKey.out(), cert.out(), NULL);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ParsePFXFile");

    SecretBytes contentKey;
    int nContentEncryptionAlgNID = NID_undef;
    nResult = OpenContentKey(__func__, cert.get(), privateKey.get(), envelope, contentKey, nContentEncryptionAlgNID);
    if (QOVA_OK != nResult)
        return nResult;

    nResult = DecryptFileEnvelopeContent(nContentEncryptionAlgNID, contentKey.ptr, envelope.parameters.ptr,
                                         fpCMSEnvelope, encryptedContentNode.get(), fpPlainFile);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DecryptFileEnvelopeContent");
    return QOVA_OK;
}

unsigned int DecryptFileEnvelopeContent(int nSymAlgNID, unsigned char* key, unsigned char* iv, FILE* fpCMSEnvelope,
                                        NodeEx* pEncryptedContentNode, FILE* fpPlainFile)
{
    QOVA_FAIL_IF(NULL == key || NULL == fpCMSEnvelope || NULL == pEncryptedContentNode || NULL == fpPlainFile,
                 QOVA_E_INVALIDARG, "Check parameter");

    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX* pCTX = ctx.get();
    QOVA_FAIL_IF_SSL(NULL == pCTX, QOVA_E_FAIL, "EVP_CIPHER_CTX_new");
    const EVP_CIPHER* pEvpCipher = NULL;
    {
        const unsigned int nResult = GetEVPCipherbyNID(nSymAlgNID, &pEvpCipher);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetEVPCipherbyNID");
    }
    QOVA_FAIL_IF(NULL == iv && CipherHasIV(pEvpCipher), QOVA_E_DECRYPT_FAILED, "Check IV");
    // The step keeps the name the log's readers know, though it initialises a decryption.
    int nResult = EVP_DecryptInit_ex(pCTX, pEvpCipher, NULL, key, iv);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_EncryptInit_ex");

    const unsigned int nNodesResult =
        ProcessContentNodes(__func__, pCTX, fpCMSEnvelope, pEncryptedContentNode, fpPlainFile);
    if (QOVA_OK != nNodesResult)
        return nNodesResult;

    SecretBytes finalBlock;
    QOVA_FAIL_IF(!finalBlock.allocate(kFinalBlockBufferSize), QOVA_E_FAIL, "New memory");
    int nFinalBlockSize = 0;
    nResult = EVP_DecryptFinal_ex(pCTX, finalBlock.ptr, &nFinalBlockSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_DecryptFinal_ex");
    const int nWriteBytes =
        static_cast<int>(fwrite(finalBlock.ptr, 1, static_cast<size_t>(nFinalBlockSize), fpPlainFile));
    QOVA_FAIL_IF(nWriteBytes != nFinalBlockSize, QOVA_E_FAIL, "Check write bytes");
    return QOVA_OK;
}

unsigned int DecryptFileEnvelopeContent_ProcessOneNode(EVP_CIPHER_CTX* pCTX, FILE* fpCMSEnvelope, NodeEx* pNode,
                                                       FILE* fpPlainFile)
{
    QOVA_FAIL_IF(NULL == pCTX || NULL == fpCMSEnvelope || NULL == pNode || NULL == fpPlainFile, QOVA_E_INVALIDARG,
                 "Check parameter");
    QOVA_FAIL_IF(ASN1_INFINITE_LENGTH == pNode->ValueLength || pNode->ValueStartPosition > INT_MAX ||
                     pNode->ValueLength > INT_MAX,
                 QOVA_E_FAIL, "Check node");

    int nResult = fseeko(fpCMSEnvelope, static_cast<off_t>(pNode->ValueStartPosition), SEEK_SET);
    QOVA_FAIL_IF(0 != nResult, QOVA_E_FAIL, "fseek");
    if (0 == pNode->ValueLength)
        return QOVA_OK;

    Bytes encryptedBuffer;
    SecretBytes plainBuffer;
    QOVA_FAIL_IF(!encryptedBuffer.allocate(SYM_FILE_BLOCK_SIZE) || !plainBuffer.allocate(kFileOutputBufferSize),
                 QOVA_E_FAIL, "New memory");
    // Only this piece's octets: the next piece's header follows directly in the file.
    int nRemaining = static_cast<int>(pNode->ValueLength);
    while (nRemaining > 0) {
        const size_t nBytesToRead = static_cast<size_t>(std::min(nRemaining, SYM_FILE_BLOCK_SIZE));
        const int nBytesOfRead = static_cast<int>(fread(encryptedBuffer.ptr, 1, nBytesToRead, fpCMSEnvelope));
        QOVA_FAIL_IF(ferror(fpCMSEnvelope), QOVA_E_READ_FAULT, "fread");
        // A file cut short inside the content ends here rather than waiting for more.
        QOVA_FAIL_IF(0 == nBytesOfRead, QOVA_E_READ_FAULT, "fread");
        int nDecryptedDataSize = 0;
        nResult = EVP_DecryptUpdate(pCTX, plainBuffer.ptr, &nDecryptedDataSize, encryptedBuffer.ptr, nBytesOfRead);
        QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_DecryptUpdate");
        const int nWriteBytes =
            static_cast<int>(fwrite(plainBuffer.ptr, 1, static_cast<size_t>(nDecryptedDataSize), fpPlainFile));
        QOVA_FAIL_IF(nWriteBytes != nDecryptedDataSize, QOVA_E_FAIL, "Check write bytes");
        nRemaining -= nBytesOfRead;
    }
    return QOVA_OK;
}
