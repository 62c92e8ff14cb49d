// SM2 CMS envelopes of messages and files, built and read with the kernel's CMS structures.
#include "SM2Envelope.h"

#include "Base64.h"
#include "CMSStructures.h"
#include "CertificateFields.h"
#include "CertificateValidation.h"
#include "KernelHolders.h"
#include "Misc.h"
#include "QovaTrace.h"
#include "RSADataEncryption.h"
#include "RSADataEncryptionDetail.h"
#include "SM2CertHelpers.h"
#include "SM2Cipher.h"
#include "SM2KeyContainer.h"
#include "SM2SM4Data.h"
#include "SMRegistry.h"
#include "SslTraceDetail.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>

#include <sys/types.h>

using smkernel::Bytes;
using smkernel::SecretBytes;
using smkernel::Text;

namespace {

constexpr const char* kSm2EnvelopedDataOID = "1.2.156.10197.6.1.4.2.3";
constexpr const char* kSm2EncryptionOID = "1.2.156.10197.1.301.3";
constexpr const char* kSmDataOID = "1.2.156.10197.6.1.4.2.1";
constexpr const char* kSm4OID = "1.2.156.10197.1.104";

constexpr int kSm4Size = 16;  // key, IV and block
constexpr int kPublicKeySize = 32;
constexpr int BLOCK_SIZE = SYM_FILE_BLOCK_SIZE;  // plain files are read in blocks of this size

// What encryption puts beside the content: the recipient's key identifier, the content key
// wrapped for it in the selected form, and the parameters 04 10 IV. The IV and the key come from
// one draw of 32 random octets: IV first, key last.
struct SealedKey
{
    Bytes recipientKeyID;
    Bytes encryptedKey;
    Bytes parameters;
    SecretBytes ivAndKey;

    unsigned char* Iv() const { return ivAndKey.ptr; }
    unsigned char* Key() const { return ivAndKey.ptr + kSm4Size; }
};

// The opened key container; the private key is cleared as it is released.
struct KeyPairHolder
{
    SM2_KEY_PAIR pair = {};
    KeyPairHolder() = default;
    KeyPairHolder(const KeyPairHolder&) = delete;
    KeyPairHolder& operator=(const KeyPairHolder&) = delete;
    ~KeyPairHolder() { CleanupSM2KeyPair(&pair); }
};

// Steps shared by the message and file encryptions, up to the wrapped key in its form. The
// certificate is checked before anything is drawn from the random generator.
unsigned int SealContentKey(const char* func, unsigned char* cert, int certLength, unsigned long fSM2EncEncodedType,
                            SealedKey& sealed)
{
    unsigned int nResult = CheckCertKeyUsage(cert, certLength, 0x20, true);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "CheckCertKeyUsage");
    nResult = GetSubjectKeyIDFromCert(cert, certLength, &sealed.recipientKeyID.ptr, &sealed.recipientKeyID.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetSubjectKeyIDFromCert");
    Bytes publicKeyX, publicKeyY;
    nResult = GetPublicKeyXYFromSM2Cert(cert, certLength, &publicKeyX.ptr, &publicKeyX.size, &publicKeyY.ptr,
                                        &publicKeyY.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetPublicKeyXYFromSM2Cert");

    QOVA_FAIL_IF_IN(func, !sealed.ivAndKey.allocate(2 * kSm4Size), QOVA_E_FAIL, "New memory");
    {
        const int nResult = RAND_bytes(sealed.ivAndKey.ptr, 2 * kSm4Size);
        SMKERNEL_FAIL_IF_SSL_IN(func, 1 != nResult, QOVA_E_FAIL, "RAND_bytes");
    }

    Bytes rawKey;
    nResult = SM2_Encrypt(sealed.Key(), kSm4Size, publicKeyX.ptr, kPublicKeySize, publicKeyY.ptr, kPublicKeySize,
                          &rawKey.ptr, &rawKey.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "SM2_Encrypt");
    if (SM2_ENC_ENCODED_RAW == fSM2EncEncodedType) {
        sealed.encryptedKey.size = rawKey.size;
        sealed.encryptedKey.ptr = rawKey.release();
    } else if (SM2_ENC_ENCODED_DER == fSM2EncEncodedType) {
        nResult = Encode_SM2Cipher(rawKey.ptr, rawKey.size, &sealed.encryptedKey.ptr, &sealed.encryptedKey.size);
        QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "Encode_SM2Cipher");
    } else {
        QOVA_FAIL_IF_IN(func, true, QOVA_E_INVALIDARG, "Check fSM2EncEncodedType");
    }

    nResult = ASN1Encode(0x04, sealed.Iv(), kSm4Size, &sealed.parameters.ptr, &sealed.parameters.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "ASN1Encode");
    return QOVA_OK;
}

// The DER of the key container kept as Base64 text in the whole of the file.
unsigned int ReadKeyContainer(const char* func, FILE* fpSM2PFXFile, Bytes& container)
{
    unsigned nFileSize = 0;
    unsigned int nResult = GetFileSize_Ex(fpSM2PFXFile, &nFileSize);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "GetFileSize_Ex");
    const int nSM2PFXFileSize = static_cast<int>(nFileSize);
    QOVA_FAIL_IF_IN(func, nSM2PFXFileSize <= 0, QOVA_E_READ_FAULT, "Check SM2 PFX file size");

    Text text;
    QOVA_FAIL_IF_IN(func, !text.allocate(nSM2PFXFileSize), QOVA_E_FAIL, "New memory");
    const size_t nBytesOfRead = fread(text.ptr, 1, static_cast<size_t>(nSM2PFXFileSize), fpSM2PFXFile);
    QOVA_FAIL_IF_IN(func, ferror(fpSM2PFXFile), QOVA_E_READ_FAULT, "fread");
    QOVA_FAIL_IF_IN(func, nBytesOfRead != static_cast<size_t>(nSM2PFXFileSize), QOVA_E_READ_FAULT, "fread");

    nResult = Base64DecodeEx(text.ptr, nSM2PFXFileSize, &container.ptr, &container.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "Base64DecodeEx");
    return QOVA_OK;
}

// The content key of an envelope: the encrypted key in the selected form back to the raw SM2
// ciphertext, SM2-decrypted with the recipient's private key. Key and IV must both be 16 octets
// before either reaches the cipher.
unsigned int UnwrapContentKey(const char* func, unsigned long fSM2EncEncodedType, Bytes& encryptedKey,
                              unsigned char* pbyPrivateKey, int nPrivateKeySize, int nContentEncryptionAlgParameter,
                              SecretBytes& contentKey)
{
    Bytes decoded;
    unsigned char* pbyRawKey = NULL;
    int nRawKeySize = 0;
    unsigned int nResult = QOVA_OK;
    if (SM2_ENC_ENCODED_RAW == fSM2EncEncodedType) {
        pbyRawKey = encryptedKey.ptr;
        nRawKeySize = encryptedKey.size;
    } else if (SM2_ENC_ENCODED_DER == fSM2EncEncodedType) {
        nResult = Decode_SM2Cipher(encryptedKey.ptr, encryptedKey.size, &decoded.ptr, &decoded.size);
        QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, nResult, "Decode_SM2Cipher");
        pbyRawKey = decoded.ptr;
        nRawKeySize = decoded.size;
    } else {
        QOVA_FAIL_IF_IN(func, true, QOVA_E_INVALIDARG, "Check fSM2EncEncodedType");
    }

    // A damaged ciphertext, a wrong key or a key of another recipient all fail here alike.
    nResult = SM2_Decrypt(pbyRawKey, nRawKeySize, pbyPrivateKey, nPrivateKeySize, &contentKey.ptr, &contentKey.size);
    QOVA_FAIL_IF_IN(func, QOVA_OK != nResult, QOVA_E_FAIL, "SM2_Decrypt");
    const int nKeyLength = contentKey.size;
    QOVA_FAIL_IF_IN(func, 16 != nContentEncryptionAlgParameter || 16 != nKeyLength, QOVA_E_ENVELOPE_SHAPE,
                    "Check IV and Key size");
    return QOVA_OK;
}

// Writes the whole block; false on a short write.
bool WriteAll(FILE* fp, const unsigned char* pbyData, int nDataSize)
{
    return nDataSize <= 0 || fwrite(pbyData, 1, static_cast<size_t>(nDataSize), fp) == static_cast<size_t>(nDataSize);
}

// The ciphertext of the whole plain file, exactly nSM4EncryptedContentSize octets, appended to the
// envelope head already written.
unsigned int StreamFileContent(const char* func, FILE* fpPlainFile, int nPlainFileSize, const SealedKey& sealed,
                               int nSM4EncryptedContentSize, FILE* fpCMSEnvelope)
{
    smkernel::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX* pCTX = ctx.get();
    SMKERNEL_FAIL_IF_SSL_IN(func, NULL == pCTX, QOVA_E_FAIL, "EVP_CIPHER_CTX_new");
    int nResult = EVP_EncryptInit_ex(pCTX, SM_EVP_sm4_cbc(), NULL, sealed.Key(), sealed.Iv());
    SMKERNEL_FAIL_IF_SSL_IN(func, 1 != nResult, QOVA_E_FAIL, "EVP_EncryptInit_ex");

    SecretBytes plainBuffer;
    Bytes encryptedBuffer;
    QOVA_FAIL_IF_IN(func, !plainBuffer.allocate(BLOCK_SIZE) || !encryptedBuffer.allocate(BLOCK_SIZE + kSm4Size),
                    QOVA_E_FAIL, "New memory");
    long long nTotalEncryptedDataSize = 0;
    int nRemaining = nPlainFileSize;
    while (nRemaining > 0) {
        const int nBytesToRead = nRemaining < BLOCK_SIZE ? nRemaining : BLOCK_SIZE;
        const int nBytesOfRead =
            static_cast<int>(fread(plainBuffer.ptr, 1, static_cast<size_t>(nBytesToRead), fpPlainFile));
        if (BLOCK_SIZE == nBytesToRead)
            QOVA_FAIL_IF_IN(func, BLOCK_SIZE != nBytesOfRead || ferror(fpPlainFile), QOVA_E_READ_FAULT, "fread");
        else
            QOVA_FAIL_IF_IN(func, nBytesToRead != nBytesOfRead || ferror(fpPlainFile), QOVA_E_READ_FAULT, "fread");
        int nEncryptedDataSize = 0;
        nResult = EVP_EncryptUpdate(pCTX, encryptedBuffer.ptr, &nEncryptedDataSize, plainBuffer.ptr, nBytesOfRead);
        SMKERNEL_FAIL_IF_SSL_IN(func, 1 != nResult, QOVA_E_FAIL, "EVP_EncryptUpdate");
        QOVA_FAIL_IF_IN(func, !WriteAll(fpCMSEnvelope, encryptedBuffer.ptr, nEncryptedDataSize), QOVA_E_WRITE_FAULT,
                        "fwrite");
        nTotalEncryptedDataSize += nEncryptedDataSize;
        nRemaining -= nBytesOfRead;
    }
    int nFinalBlockSize = 0;
    nResult = EVP_EncryptFinal_ex(pCTX, encryptedBuffer.ptr, &nFinalBlockSize);
    SMKERNEL_FAIL_IF_SSL_IN(func, 1 != nResult, QOVA_E_FAIL, "EVP_EncryptFinal_ex");
    QOVA_FAIL_IF_IN(func, !WriteAll(fpCMSEnvelope, encryptedBuffer.ptr, nFinalBlockSize), QOVA_E_WRITE_FAULT,
                    "fwrite");
    nTotalEncryptedDataSize += nFinalBlockSize;

    SMKERNEL_TRACE("Total encrypted data size:[%d]", static_cast<int>(nTotalEncryptedDataSize));
    QOVA_FAIL_IF_IN(func, nSM4EncryptedContentSize != nTotalEncryptedDataSize, QOVA_E_FAIL,
                    "Check total SM4 encrypted data size");
    return QOVA_OK;
}

}  // namespace

unsigned int EncryptDataToDerCMSEnvelope(unsigned char* data, int dataLength, unsigned char* cert, int certLength,
                                         unsigned long fSM2EncEncodedType, unsigned char** envelope,
                                         int* envelopeLength)
{
    QOVA_FAIL_IF(NULL == data || dataLength <= 0, QOVA_E_INVALIDARG, "Check parameter(pbyPlainData)");
    QOVA_FAIL_IF(NULL == envelope || NULL == envelopeLength, QOVA_E_INVALIDARG, "Check parameter");

    SealedKey sealed;
    unsigned int nResult = SealContentKey(__func__, cert, certLength, fSM2EncEncodedType, sealed);
    if (QOVA_OK != nResult)
        return nResult;

    Bytes encryptedContent;
    nResult = SM4_Encrypt_CBC(data, dataLength, sealed.Iv(), kSm4Size, sealed.Key(), kSm4Size, &encryptedContent.ptr,
                              &encryptedContent.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SM4_Encrypt_CBC");

    Bytes der;
    nResult = Encode_CMSEnvelope(kSm2EnvelopedDataOID, sealed.recipientKeyID.ptr, sealed.recipientKeyID.size,
                                 kSm2EncryptionOID, sealed.encryptedKey.ptr, sealed.encryptedKey.size, kSmDataOID,
                                 kSm4OID, sealed.parameters.ptr, sealed.parameters.size, encryptedContent.ptr,
                                 encryptedContent.size, &der.ptr, &der.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_CMSEnvelope");

    *envelopeLength = der.size;
    *envelope = der.release();
    return QOVA_OK;
}

unsigned int EncryptDataToBase64CMSEnvelope(unsigned char* data, int dataLength, unsigned char* cert, int certLength,
                                            unsigned long fSM2EncEncodedType, char** base64, int* base64Length,
                                            unsigned long base64Flags)
{
    QOVA_FAIL_IF(NULL == base64 || NULL == base64Length, QOVA_E_INVALIDARG, "Check parameter");

    Bytes der;
    unsigned int nResult =
        EncryptDataToDerCMSEnvelope(data, dataLength, cert, certLength, fSM2EncEncodedType, &der.ptr, &der.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "EncryptDataToDerCMSEnvelope");

    Text text;
    nResult = Base64EncodeEx(der.ptr, der.size, &text.ptr, &text.size, base64Flags);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64EncodeEx");

    *base64Length = text.size;
    *base64 = text.release();
    return QOVA_OK;
}

unsigned int EncryptFileToDerCMSEnvelope(FILE* plainFile, unsigned char* cert, int certLength,
                                         unsigned long fSM2EncEncodedType, FILE* envelopeFile)
{
    FILE* fpPlainFile = plainFile;
    FILE* fpCMSEnvelope = envelopeFile;
    QOVA_FAIL_IF(NULL == fpPlainFile || NULL == fpCMSEnvelope, QOVA_E_INVALIDARG, "Check parameter");

    SealedKey sealed;
    unsigned int nResult = SealContentKey(__func__, cert, certLength, fSM2EncEncodedType, sealed);
    if (QOVA_OK != nResult)
        return nResult;

    // Also rewinds the plain file; files of 2^31 bytes or more are refused there.
    unsigned nFileSize = 0;
    nResult = GetFileSize_Ex(fpPlainFile, &nFileSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetFileSize_Ex");
    const int nPlainFileSize = static_cast<int>(nFileSize);
    QOVA_FAIL_IF(nPlainFileSize <= 0, QOVA_E_INVALIDARG, "Check file size");
    SMKERNEL_TRACE("Source plain file size:[%d]", nPlainFileSize);

    // Padding adds 1 to 16 octets; the content length must still fit the kernel's int sizes.
    const long long nPaddedSize = (static_cast<long long>(nPlainFileSize) + kSm4Size) / kSm4Size * kSm4Size;
    QOVA_FAIL_IF(nPaddedSize > INT_MAX, QOVA_E_INVALIDARG, "Check file size");
    const int nSM4EncryptedContentSize = static_cast<int>(nPaddedSize);
    SMKERNEL_TRACE("SM4 encrypted data size:[%d]", nSM4EncryptedContentSize);

    Bytes head;
    nResult = Encode_CMSEnvelope(kSm2EnvelopedDataOID, sealed.recipientKeyID.ptr, sealed.recipientKeyID.size,
                                 kSm2EncryptionOID, sealed.encryptedKey.ptr, sealed.encryptedKey.size, kSmDataOID,
                                 kSm4OID, sealed.parameters.ptr, sealed.parameters.size, NULL,
                                 nSM4EncryptedContentSize, &head.ptr, &head.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Encode_CMSEnvelope");
    const int nDerCMSEnvelopeSize = head.size;
    SMKERNEL_TRACE("EncryptFileToDerCMSEnvelope - CMS envelope(without EncryptedContent node) data size:[%d]",
                   nDerCMSEnvelopeSize);
    const size_t sizeWrite = fwrite(head.ptr, 1, static_cast<size_t>(nDerCMSEnvelopeSize), fpCMSEnvelope);
    QOVA_FAIL_IF(sizeWrite != (size_t)nDerCMSEnvelopeSize, QOVA_E_WRITE_FAULT, "fwrite pbyDerCMSEnvelope.");

    nResult = StreamFileContent(__func__, fpPlainFile, nPlainFileSize, sealed, nSM4EncryptedContentSize,
                                fpCMSEnvelope);
    if (QOVA_OK != nResult)
        return nResult;
    SMKERNEL_TRACE("CMS envelope file size:[%d]", nDerCMSEnvelopeSize + nSM4EncryptedContentSize);
    return QOVA_OK;
}

unsigned int DecryptDerCMSEnvelopeData(unsigned char* envelope, int envelopeLength, FILE* keyContainerFile, char* pin,
                                       unsigned long fSM2EncEncodedType, unsigned char** data, int* dataLength)
{
    FILE* fpSM2PFXFile = keyContainerFile;
    QOVA_FAIL_IF(NULL == fpSM2PFXFile || NULL == pin, QOVA_E_INVALIDARG, "Check parameter");
    QOVA_FAIL_IF(NULL == data || NULL == dataLength, QOVA_E_INVALIDARG, "Check parameter");

    Bytes recipientKeyID, encryptedKey, encryptedContent, parameters;
    Text keyEncryptionOID, contentEncryptionOID;
    unsigned int nResult = Decode_CMSEnvelopeData(
        envelope, envelopeLength, &recipientKeyID.ptr, &recipientKeyID.size, &encryptedKey.ptr, &encryptedKey.size,
        &encryptedContent.ptr, &encryptedContent.size, &keyEncryptionOID.ptr, &keyEncryptionOID.size,
        &contentEncryptionOID.ptr, &contentEncryptionOID.size, &parameters.ptr, &parameters.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Decode_CMSEnvelopeData");

    Bytes container;
    nResult = ReadKeyContainer(__func__, fpSM2PFXFile, container);
    if (QOVA_OK != nResult)
        return nResult;
    KeyPairHolder keyPair;
    Bytes cert;
    nResult = DecryptSM2PFX(container.ptr, container.size, pin, &keyPair.pair, &cert.ptr, &cert.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, QOVA_E_CONTAINER_PIN, "DecryptSM2PFX");

    if (recipientKeyID.size > 0) {
        smkernel::X509Ptr x509;
        nResult = ConvertCertDataToX509(cert.ptr, cert.size, x509.out());
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertCertDataToX509");
        Text subjectKeyID, recipientSubjectKeyID;
        nResult = GetX509SubjectKeyID(x509.get(), &subjectKeyID.ptr, &subjectKeyID.size);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetX509SubjectKeyID");
        nResult = ConvertBinaryDataToString(recipientKeyID.ptr, recipientKeyID.size, &recipientSubjectKeyID.ptr, false);
        QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "ConvertBinaryDataToString");
        const char* pszSubjectKeyID = subjectKeyID.ptr;
        const char* pszRecipientSubjectKeyID = recipientSubjectKeyID.ptr;
        QOVA_FAIL_IF(0 != strcmp(pszSubjectKeyID, pszRecipientSubjectKeyID), QOVA_E_DECRYPT_FAILED,
                     "Check SubjectKeyID");
    }

    // The algorithm identifiers are not examined here: the content is SM4 whatever they name.
    SecretBytes contentKey;
    nResult = UnwrapContentKey(__func__, fSM2EncEncodedType, encryptedKey, keyPair.pair.pbyPrivateKey,
                               keyPair.pair.nPrivateKeySize, parameters.size, contentKey);
    if (QOVA_OK != nResult)
        return nResult;

    nResult = SM4_Decrypt_CBC(encryptedContent.ptr, encryptedContent.size, parameters.ptr, parameters.size,
                              contentKey.ptr, contentKey.size, data, dataLength);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "SM4_Decrypt_CBC");
    return QOVA_OK;
}

unsigned int DecryptBase64CMSEnvelopeData(char* base64, int base64Length, FILE* keyContainerFile, char* pin,
                                          unsigned long fSM2EncEncodedType, unsigned char** data, int* dataLength)
{
    const char* pszBase64CMSEnvelope = base64;
    Bytes der;
    unsigned int nResult = Base64DecodeEx(pszBase64CMSEnvelope, base64Length, &der.ptr, &der.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Base64DecodeEx(pszBase64CMSEnvelope)");
    nResult = DecryptDerCMSEnvelopeData(der.ptr, der.size, keyContainerFile, pin, fSM2EncEncodedType, data,
                                        dataLength);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DecryptDerCMSEnvelopeData(pbyPlainData)");
    return QOVA_OK;
}

unsigned int DecryptDerCMSEnvelopeFile(FILE* envelopeFile, FILE* keyContainerFile, char* pin,
                                       unsigned long fSM2EncEncodedType, FILE* plainFile)
{
    FILE* fpCMSEnvelope = envelopeFile;
    FILE* fpSM2PFXFile = keyContainerFile;
    QOVA_FAIL_IF(NULL == fpCMSEnvelope || NULL == fpSM2PFXFile || NULL == pin || NULL == plainFile,
                 QOVA_E_INVALIDARG, "Check parameter");

    Bytes container;
    unsigned int nResult = ReadKeyContainer(__func__, fpSM2PFXFile, container);
    if (QOVA_OK != nResult)
        return nResult;
    // Opened as the memory form opens it, so that a wrong PIN that passes the padding check is caught
    // by the key check; the codes stay those of the container (not a container, wrong PIN).
    KeyPairHolder keyPair;
    Bytes cert;
    nResult = DecryptSM2PFX(container.ptr, container.size, pin, &keyPair.pair, &cert.ptr, &cert.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DecryptSM2PFX");
    Bytes subjectKeyID;
    nResult = GetSubjectKeyIDFromCert(cert.ptr, cert.size, &subjectKeyID.ptr, &subjectKeyID.size);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetSubjectKeyIDFromCert");

    // Content positions come from the envelope; like every file of the kernel, it stays below 2^31
    // bytes.
    unsigned nEnvelopeFileSize = 0;
    nResult = GetFileSize_Ex(fpCMSEnvelope, &nEnvelopeFileSize);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "GetFileSize_Ex");
    Bytes recipientKeyID, encryptedKey, parameters;
    Text keyEncryptionOID, contentEncryptionOID;
    NodeEx* pNode = NULL;
    nResult = Decode_CMSEnvelopeFile(fpCMSEnvelope, &recipientKeyID.ptr, &recipientKeyID.size, &encryptedKey.ptr,
                                     &encryptedKey.size, &pNode, &keyEncryptionOID.ptr, &keyEncryptionOID.size,
                                     &contentEncryptionOID.ptr, &contentEncryptionOID.size, &parameters.ptr,
                                     &parameters.size);
    NodeExPtr encryptedContentNode(pNode);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "Decode_CMSEnvelopeFile");

    const size_t nKeyIDSize = static_cast<size_t>(subjectKeyID.size);
    const bool bSameRecipient = recipientKeyID.size == subjectKeyID.size &&
                                (0 == nKeyIDSize || 0 == memcmp(recipientKeyID.ptr, subjectKeyID.ptr, nKeyIDSize));
    if (!bSameRecipient)
        QOVA_FAIL_IF(true, QOVA_E_RECIPIENT_MISMATCH, "Check CMS envelope recipient subject key id");
    QOVA_FAIL_IF(0 != strcmp(keyEncryptionOID.ptr, kSm2EncryptionOID), QOVA_E_ENVELOPE_SHAPE,
                 "Check CMS envelope KeyEncryptionAlgOid");
    QOVA_FAIL_IF(0 != strcmp(contentEncryptionOID.ptr, kSm4OID), QOVA_E_ENVELOPE_SHAPE,
                 "Check CMS envelope ContentEncryptionAlgOid");

    SecretBytes contentKey;
    nResult = UnwrapContentKey(__func__, fSM2EncEncodedType, encryptedKey, keyPair.pair.pbyPrivateKey,
                               keyPair.pair.nPrivateKeySize, parameters.size, contentKey);
    if (QOVA_OK != nResult)
        return nResult;

    nResult = DecryptFileEnvelopeContent(kNidSm4Cbc, contentKey.ptr, parameters.ptr, fpCMSEnvelope,
                                         encryptedContentNode.get(), plainFile);
    QOVA_FAIL_IF(QOVA_OK != nResult, nResult, "DecryptFileEnvelopeContent");
    return QOVA_OK;
}
