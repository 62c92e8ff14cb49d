// SM2 and SM4 encryption of data in software.
#include "SM2SM4Data.h"

#include "ByteOrder.h"
#include "KernelHolders.h"
#include "QovaTrace.h"
#include "SM2Core.h"
#include "SM4Cipher.h"
#include "SMRegistry.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kSm4BlockSize = SM4_BLOCK_SIZE;
constexpr int kSm4KeySize = SM4_KEY_SIZE;
constexpr int kRawOverhead = static_cast<int>(SM2_CIPHERTEXT_OVERHEAD) - 1;  // the raw form has no 0x04
constexpr size_t kC1Size = 1 + 2 * SM2_NUMBER_LENGTH;                          // 0x04 || x1 || y1
constexpr size_t kC3Size = SM2_CIPHERTEXT_OVERHEAD - kC1Size;

// A new[] buffer cleared before it is released, unless it was handed out: plaintext, keys and
// round keys never linger in freed memory.
template <class T>
class SecretArray
{
public:
    explicit SecretArray(size_t count) : m_data(new (std::nothrow) T[count]()), m_count(count) {}
    // Takes over a new[] array of count elements.
    SecretArray(T* adopted, size_t count) : m_data(adopted), m_count(count) {}
    ~SecretArray()
    {
        if (m_data)
            OPENSSL_cleanse(m_data.get(), m_count * sizeof(T));
    }
    SecretArray(const SecretArray&) = delete;
    SecretArray& operator=(const SecretArray&) = delete;

    T* get() const { return m_data.get(); }
    T* release() { return m_data.release(); }
    bool operator==(std::nullptr_t) const { return m_data == nullptr; }

private:
    std::unique_ptr<T[]> m_data;
    size_t m_count;
};

// The PIN-derived SM4 material: IV = K[0..15], key = K[16..31].
class PinKey
{
public:
    unsigned char* Iv() { return m_k; }
    unsigned char* Key() { return m_k + kSm4BlockSize; }
    unsigned char* Bytes() { return m_k; }
    ~PinKey() { OPENSSL_cleanse(m_k, sizeof(m_k)); }

private:
    unsigned char m_k[kSm4BlockSize + kSm4KeySize] = {0};
};

unsigned int DerivePinKey(const char* pszFunc, const char* pszPin, PinKey& k)
{
    const int nResult = _SM2_KDF(reinterpret_cast<const unsigned char*>(pszPin), strlen(pszPin),
                                 8 * (kSm4BlockSize + kSm4KeySize), k.Bytes());
    QOVA_FAIL_IF_IN(pszFunc, 1 != nResult, QOVA_E_FAIL, "_SM2_KDF");
    return QOVA_OK;
}

// The unpadded SM4 functions share everything but the direction and the reason texts of their
// checks, which name the caller's own data.
unsigned int Sm4NoPadding(const char* pszFunc, bool bEncrypt, unsigned char* pbyIn, int nInSize, unsigned char* pbyIV,
                          unsigned char* pbySymKey, SM4EncrytType nSymType, unsigned char** ppbyOut, int* pnOutSize)
{
    unsigned int* pRoundKeys = NULL;
    unsigned int nResult = SM4_Init_Key(pbySymKey, kSm4KeySize, bEncrypt ? 1 : 0, &pRoundKeys);
    QOVA_FAIL_IF_IN(pszFunc, QOVA_OK != nResult, nResult, "SM4_Init_Key");
    SecretArray<unsigned int> roundKeys(pRoundKeys, SM4_ROUNDS);

    unsigned char chain[kSm4BlockSize] = {0};
    if (SM4_CBC == nSymType && NULL != pbyIV)
        memcpy(chain, pbyIV, sizeof(chain));

    SecretArray<unsigned char> out(static_cast<size_t>(nInSize));
    QOVA_FAIL_IF_IN(pszFunc, out == nullptr, QOVA_E_FAIL, "New memory");
    for (int nOffset = 0; nOffset < nInSize; nOffset += kSm4BlockSize) {
        if (SM4_CBC == nSymType)
            SM4_cbc_encrypt(pbyIn + nOffset, pRoundKeys, chain, out.get() + nOffset, bEncrypt ? 1 : 0);
        else
            SM4_ecb_encrypt(pbyIn + nOffset, pRoundKeys, out.get() + nOffset);
    }
    OPENSSL_cleanse(chain, sizeof(chain));

    if (NULL != ppbyOut && NULL != pnOutSize) {
        *ppbyOut = out.release();
        *pnOutSize = nInSize;
    }
    return QOVA_OK;
}

}  // namespace

// ---- SM2 ------------------------------------------------------------------------------------------

int _SM2_encrypt_v2(int curveNid, unsigned char* message, unsigned int messageLength, BIGNUM* publicX,
                    BIGNUM* publicY, unsigned char* out)
{
    if (NULL == out || 1 != _SM2_encrypt(curveNid, message, messageLength, publicX, publicY, out))
        return 0;
    // 04 || x1 || y1 || C2 || C3 becomes 04 || x1 || y1 || C3 || C2.
    unsigned char* pbyC2 = out + kC1Size;
    std::rotate(pbyC2, pbyC2 + messageLength, pbyC2 + messageLength + kC3Size);
    return 1;
}

int _SM2_decrypt_v2(int curveNid, unsigned char* in, unsigned int inLength, BIGNUM* privateKey, unsigned char* out)
{
    // Fewer than 98 octets hold no C2: the message length inLength - 97 would wrap.
    if (NULL == in || NULL == privateKey || NULL == out || inLength < SM2_CIPHERTEXT_OVERHEAD + 1)
        return 0;
    const size_t nC2Size = inLength - SM2_CIPHERTEXT_OVERHEAD;
    std::unique_ptr<unsigned char[]> pbyWork(new (std::nothrow) unsigned char[inLength]);
    if (NULL == pbyWork)
        return 0;
    // Back into the crypto library's order 04 || x1 || y1 || C2 || C3. The core clears out when C3
    // does not match, so an unchecked message never reaches the caller.
    memcpy(pbyWork.get(), in, kC1Size);
    memcpy(pbyWork.get() + kC1Size, in + kC1Size + kC3Size, nC2Size);
    memcpy(pbyWork.get() + kC1Size + nC2Size, in + kC1Size, kC3Size);
    return 1 == _SM2_decrypt(curveNid, pbyWork.get(), inLength, privateKey, out) ? 1 : 0;
}

unsigned int SM2_Encrypt(unsigned char* pbyData, int nDataSize, unsigned char* pbyPublicKeyX, int nPublicKeyXSize,
                         unsigned char* pbyPublicKeyY, int nPublicKeyYSize, unsigned char** ppbyEncryptedData,
                         int* pnEncryptedDataSize)
{
    QOVA_FAIL_IF(NULL == pbyData || nDataSize <= 0, QOVA_E_INVALIDARG, "Check Parameters(pbyData)");
    // The ciphertext's length is an int too.
    QOVA_FAIL_IF(nDataSize > INT_MAX - static_cast<int>(SM2_CIPHERTEXT_OVERHEAD), QOVA_E_INVALIDARG,
                 "Check Parameters(nDataSize)");
    QOVA_FAIL_IF(NULL == pbyPublicKeyX || nPublicKeyXSize <= 0 || NULL == pbyPublicKeyY || nPublicKeyYSize <= 0,
                 QOVA_E_INVALIDARG, "Check Parameters(PublicKey)");
    QOVA_FAIL_IF(NULL == ppbyEncryptedData || NULL == pnEncryptedDataSize, QOVA_E_INVALIDARG,
                 "Check Parameters(ppbyEncryptedData)");

    BIGNUM* pBN_X = BN_new();
    BIGNUM* pBN_Y = BN_new();
    smkernel::BnPtr x(pBN_X), y(pBN_Y);
    QOVA_FAIL_IF(NULL == pBN_X || NULL == pBN_Y, QOVA_E_FAIL, "BN_new");
    int nResult = _SM2_Bytes2BN(pbyPublicKeyX, nPublicKeyXSize, pBN_X);
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "_SM2_Bytes2BN(PublicKeyX)");
    nResult = _SM2_Bytes2BN(pbyPublicKeyY, nPublicKeyYSize, pBN_Y);
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "_SM2_Bytes2BN(PublicKeyY)");
    nResult = _SM2_point_is_on_curve(pBN_X, pBN_Y, kNidSm2);
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "_SM2_point_is_on_curve");

    const size_t nWorkSize = static_cast<size_t>(nDataSize) + SM2_CIPHERTEXT_OVERHEAD;
    std::unique_ptr<unsigned char[]> pbyWork(new (std::nothrow) unsigned char[nWorkSize]());
    QOVA_FAIL_IF(NULL == pbyWork, QOVA_E_FAIL, "New memory");
    nResult = _SM2_encrypt(kNidSm2, pbyData, static_cast<unsigned int>(nDataSize), pBN_X, pBN_Y,
                           pbyWork.get());
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "_SM2_encrypt");

    // The raw form is the crypto library's form without its leading 0x04.
    const size_t nEncryptedSize = nWorkSize - 1;
    unsigned char* pbyEncrypted = new (std::nothrow) unsigned char[nEncryptedSize];
    QOVA_FAIL_IF(NULL == pbyEncrypted, QOVA_E_FAIL, "New memory");
    memcpy(pbyEncrypted, pbyWork.get() + 1, nEncryptedSize);
    *ppbyEncryptedData = pbyEncrypted;
    *pnEncryptedDataSize = static_cast<int>(nEncryptedSize);
    return QOVA_OK;
}

unsigned int SM2_Decrypt(unsigned char* pbyEncryptedData, int nEncryptedDataSize, unsigned char* pbyPrivateKey,
                         int nPrivateKeySize, unsigned char** ppbyData, int* pnDataSize)
{
    QOVA_FAIL_IF(NULL == pbyEncryptedData, QOVA_E_INVALIDARG, "Check Parameters(pbyEncryptedData)");
    QOVA_FAIL_IF(NULL == pbyPrivateKey || nPrivateKeySize <= 0, QOVA_E_INVALIDARG, "Check Parameters(PrivateKey)");
    QOVA_FAIL_IF(NULL == ppbyData || NULL == pnDataSize, QOVA_E_INVALIDARG, "Check Parameters(ppbyData)");
    // x1, y1 and C3 take 96 octets and C2 at least one: anything shorter is no ciphertext, and its
    // message length would come out negative.
    QOVA_FAIL_IF(nEncryptedDataSize <= kRawOverhead, QOVA_E_FAIL, "Check Parameters(nEncryptedDataSize)");

    const size_t nCipherSize = static_cast<size_t>(nEncryptedDataSize) + 1;
    std::unique_ptr<unsigned char[]> pbyCipher(new (std::nothrow) unsigned char[nCipherSize]);
    QOVA_FAIL_IF(NULL == pbyCipher, QOVA_E_FAIL, "New memory");
    pbyCipher[0] = 0x04;
    memcpy(pbyCipher.get() + 1, pbyEncryptedData, static_cast<size_t>(nEncryptedDataSize));

    BIGNUM* pBN_D = BN_new();
    smkernel::BnClearPtr d(pBN_D);
    QOVA_FAIL_IF(NULL == pBN_D, QOVA_E_FAIL, "BN_new");
    int nResult = _SM2_Bytes2BN(pbyPrivateKey, nPrivateKeySize, pBN_D);
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "_SM2_Bytes2BN(PrivateKey)");

    const int nDataSize = nEncryptedDataSize - kRawOverhead;
    SecretArray<unsigned char> data(static_cast<size_t>(nDataSize));
    QOVA_FAIL_IF(data == nullptr, QOVA_E_FAIL, "New memory");
    nResult = _SM2_decrypt(kNidSm2, pbyCipher.get(), static_cast<unsigned int>(nCipherSize), pBN_D, data.get());
    QOVA_FAIL_IF(1 != nResult, QOVA_E_FAIL, "_SM2_decrypt");

    *ppbyData = data.release();
    *pnDataSize = nDataSize;
    return QOVA_OK;
}

// ---- SM4 ------------------------------------------------------------------------------------------

unsigned int SM4_Encrypt_CBC(unsigned char* pbyPlainData, int nPlainDataSize, unsigned char* pbyIV, int nIVSize,
                             unsigned char* pbySymKey, int nSymKeySize, unsigned char** ppbyEncryptedData,
                             int* pnEncryptedDataSize)
{
    QOVA_FAIL_IF(NULL == pbyPlainData || 0 == nPlainDataSize, QOVA_E_INVALIDARG, "Check Parameters(pbyPlainData)");
    // The padded output, up to 16 octets longer, is counted in an int.
    QOVA_FAIL_IF(nPlainDataSize < 0 || nPlainDataSize > INT_MAX - kSm4BlockSize, QOVA_E_INVALIDARG,
                 "Check Parameters(nPlainDataSize)");
    QOVA_FAIL_IF(NULL == pbyIV || NULL == pbySymKey, QOVA_E_INVALIDARG, "Check Parameters(pbyIV, pbySymKey)");
    // The cipher reads 16 octets of each whatever length it is told: a shorter buffer must not get that far.
    QOVA_FAIL_IF(16 != nIVSize, QOVA_E_INVALIDARG, "Check Parameters(IVSize)");
    QOVA_FAIL_IF(16 != nSymKeySize, QOVA_E_INVALIDARG, "Check Parameters(nSymKeySize)");
    QOVA_FAIL_IF(NULL == ppbyEncryptedData || NULL == pnEncryptedDataSize, QOVA_E_INVALIDARG,
                 "Check Parameters(ppbyEncryptedData)");

    const size_t nOutSize = static_cast<size_t>(nPlainDataSize / kSm4BlockSize) * kSm4BlockSize + kSm4BlockSize;
    std::unique_ptr<unsigned char[]> pbyOut(new (std::nothrow) unsigned char[nOutSize]());
    QOVA_FAIL_IF(NULL == pbyOut, QOVA_E_FAIL, "New memory");

    EVP_CIPHER_CTX* pCipherCtx = EVP_CIPHER_CTX_new();
    smkernel::EvpCipherCtxPtr cipherCtx(pCipherCtx);
    QOVA_FAIL_IF_SSL(NULL == pCipherCtx, QOVA_E_FAIL, "EVP_CIPHER_CTX_new");
    int nResult = EVP_EncryptInit_ex(pCipherCtx, SM_EVP_sm4_cbc(), NULL, pbySymKey, pbyIV);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_EncryptInit_ex");
    int nUpdateSize = 0;
    nResult = EVP_EncryptUpdate(pCipherCtx, pbyOut.get(), &nUpdateSize, pbyPlainData, nPlainDataSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_EncryptUpdate");
    int nFinalSize = 0;
    nResult = EVP_EncryptFinal_ex(pCipherCtx, pbyOut.get() + nUpdateSize, &nFinalSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_EncryptFinal_ex");

    *ppbyEncryptedData = pbyOut.release();
    *pnEncryptedDataSize = nUpdateSize + nFinalSize;
    return QOVA_OK;
}

unsigned int SM4_Decrypt_CBC(unsigned char* pbyEncryptedData, int nEncryptedDataSize, unsigned char* pbyIV,
                             int nIVSize, unsigned char* pbySymKey, int nSymKeySize, unsigned char** ppbyPlainData,
                             int* pnPlainDataSize)
{
    QOVA_FAIL_IF(NULL == pbyEncryptedData || nEncryptedDataSize <= 0, QOVA_E_INVALIDARG,
                 "Check Parameters(pbyEncryptedData)");
    QOVA_FAIL_IF(nEncryptedDataSize > INT_MAX - kSm4BlockSize, QOVA_E_INVALIDARG,
                 "Check Parameters(nEncryptedDataSize)");
    QOVA_FAIL_IF(NULL == pbyIV || NULL == pbySymKey, QOVA_E_INVALIDARG, "Check Parameters(pbyIV, pbySymKey)");
    QOVA_FAIL_IF(16 != nIVSize, QOVA_E_INVALIDARG, "Check Parameters(IVSize)");
    QOVA_FAIL_IF(16 != nSymKeySize, QOVA_E_INVALIDARG, "Check Parameters(nSymKeySize)");
    QOVA_FAIL_IF(NULL == ppbyPlainData || NULL == pnPlainDataSize, QOVA_E_INVALIDARG,
                 "Check Parameters(ppbyPlainData)");

    SecretArray<unsigned char> plain(static_cast<size_t>(nEncryptedDataSize) + kSm4BlockSize);
    QOVA_FAIL_IF(plain == nullptr, QOVA_E_FAIL, "New memory");

    EVP_CIPHER_CTX* pCipherCtx = EVP_CIPHER_CTX_new();
    smkernel::EvpCipherCtxPtr cipherCtx(pCipherCtx);
    QOVA_FAIL_IF_SSL(NULL == pCipherCtx, QOVA_E_FAIL, "EVP_CIPHER_CTX_new");
    int nResult = EVP_DecryptInit_ex(pCipherCtx, SM_EVP_sm4_cbc(), NULL, pbySymKey, pbyIV);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_DecryptInit_ex");
    int nUpdateSize = 0;
    nResult = EVP_DecryptUpdate(pCipherCtx, plain.get(), &nUpdateSize, pbyEncryptedData, nEncryptedDataSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_DecryptUpdate");
    // A wrong key or damaged padding shows here.
    int nFinalSize = 0;
    nResult = EVP_DecryptFinal_ex(pCipherCtx, plain.get() + nUpdateSize, &nFinalSize);
    QOVA_FAIL_IF_SSL(1 != nResult, QOVA_E_FAIL, "EVP_DecryptFinal_ex");
    // The update step writes the last block whole before it holds it back for the padding check:
    // its padding octets would stay behind the plaintext, which callers take as zero-terminated.
    const size_t nPlainSize = static_cast<size_t>(nUpdateSize + nFinalSize);
    memset(plain.get() + nPlainSize, 0, static_cast<size_t>(nEncryptedDataSize) + kSm4BlockSize - nPlainSize);

    *ppbyPlainData = plain.release();
    *pnPlainDataSize = static_cast<int>(nPlainSize);
    return QOVA_OK;
}

int SM4_ecb_encrypt(unsigned char* in, unsigned int* roundKeys, unsigned char* out)
{
    if (NULL == in || NULL == roundKeys || NULL == out)
        return 0;
    uint32_t block[4], result[4];
    for (int i = 0; i < 4; ++i)
        block[i] = smdetail::LoadBE(in + 4 * i);
    _SM4_CipherPlaintextTransform(block, roundKeys, result);
    for (int i = 0; i < 4; ++i)
        smdetail::StoreBE(out + 4 * i, result[i]);
    OPENSSL_cleanse(block, sizeof(block));
    OPENSSL_cleanse(result, sizeof(result));
    return 1;
}

unsigned int SM4_Init_Key(const unsigned char* pbySymKey, int nSymKeySize, int bEncrypt, unsigned int** ppRoundKeys)
{
    QOVA_FAIL_IF(NULL == pbySymKey, QOVA_E_INVALIDARG, "Check Parameters(pbySymKey)");
    // Sixteen octets are read whatever the length: a shorter key must not get that far.
    QOVA_FAIL_IF(16 != nSymKeySize, QOVA_E_INVALIDARG, "Check Parameters(nSymKeySize)");

    uint32_t key[4];
    for (int i = 0; i < 4; ++i)
        key[i] = smdetail::LoadBE(pbySymKey + 4 * i);
    SecretArray<unsigned int> roundKeys(SM4_ROUNDS);
    QOVA_FAIL_IF(roundKeys == nullptr, QOVA_E_FAIL, "New memory");
    _SM4_ExtendKey(key, roundKeys.get());
    OPENSSL_cleanse(key, sizeof(key));
    if (0 == bEncrypt)
        _SM4_InvertRoundKey(roundKeys.get());
    if (NULL != ppRoundKeys)
        *ppRoundKeys = roundKeys.release();
    return QOVA_OK;
}

unsigned int SM4_Encrypt_Nopadding(unsigned char* pbyPlainData, int nPlainDataSize, unsigned char* pbyIV, int nIVSize,
                                   unsigned char* pbySymKey, int nSymKeySize, SM4EncrytType nSymType,
                                   unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize)
{
    QOVA_FAIL_IF(nPlainDataSize < 0 || (NULL == pbyPlainData && 0 != nPlainDataSize), QOVA_E_INVALIDARG,
                 "Check Parameters(pbyPlainData)");
    QOVA_FAIL_IF(0 != nPlainDataSize % 16, QOVA_E_INVALIDARG, "Check Parameters(nPlainDataSize)");
    QOVA_FAIL_IF((16 != nIVSize && SM4_CBC == nSymType), QOVA_E_INVALIDARG, "Check Parameters(nIVSize)");
    QOVA_FAIL_IF(16 != nSymKeySize, QOVA_E_INVALIDARG, "Check Parameters(nSymKeySize)");
    return Sm4NoPadding(__func__, true, pbyPlainData, nPlainDataSize, pbyIV, pbySymKey, nSymType, ppbyEncryptedData,
                        pnEncryptedDataSize);
}

unsigned int SM4_Decrypt_Nopadding(unsigned char* pbyEncryptedData, int nEncryptedDataSize, unsigned char* pbyIV,
                                   int nIVSize, unsigned char* pbySymKey, int nSymKeySize, SM4EncrytType nSymType,
                                   unsigned char** ppbyPlainData, int* pnPlainDataSize)
{
    QOVA_FAIL_IF(nEncryptedDataSize < 0 || (NULL == pbyEncryptedData && 0 != nEncryptedDataSize), QOVA_E_INVALIDARG,
                 "Check Parameters(pbyEncryptedData)");
    QOVA_FAIL_IF(0 != nEncryptedDataSize %16, QOVA_E_INVALIDARG, "Check Parameters(nEncryptedDataSize)");
    QOVA_FAIL_IF((16 != nIVSize && SM4_CBC == nSymType), QOVA_E_INVALIDARG, "Check Parameters(nIVSize)");
    QOVA_FAIL_IF(16 != nSymKeySize, QOVA_E_INVALIDARG, "Check Parameters(nSymKeySize)");
    return Sm4NoPadding(__func__, false, pbyEncryptedData, nEncryptedDataSize, pbyIV, pbySymKey, nSymType,
                        ppbyPlainData, pnPlainDataSize);
}

unsigned int SM4EncryptByPin(unsigned char* pbyData, int nDataSize, char* pszPin, unsigned char** ppbyEncryptedData,
                             int* pnEncryptedDataSize)
{
    QOVA_FAIL_IF(NULL == pszPin, QOVA_E_INVALIDARG, "Check Parameters(pszPin)");
    PinKey k;
    const unsigned int nResult = DerivePinKey(__func__, pszPin, k);
    if (QOVA_OK != nResult)
        return nResult;
    return SM4_Encrypt_CBC(pbyData, nDataSize, k.Iv(), kSm4BlockSize, k.Key(), kSm4KeySize, ppbyEncryptedData,
                           pnEncryptedDataSize);
}

unsigned int SM4DecryptByPin(unsigned char* pbyEncryptedData, int nEncryptedDataSize, char* pszPin,
                             unsigned char** ppbyData, int* pnDataSize)
{
    QOVA_FAIL_IF(NULL == pszPin, QOVA_E_INVALIDARG, "Check Parameters(pszPin)");
    PinKey k;
    const unsigned int nResult = DerivePinKey(__func__, pszPin, k);
    if (QOVA_OK != nResult)
        return nResult;
    return SM4_Decrypt_CBC(pbyEncryptedData, nEncryptedDataSize, k.Iv(), kSm4BlockSize, k.Key(), kSm4KeySize,
                           ppbyData, pnDataSize);
}
