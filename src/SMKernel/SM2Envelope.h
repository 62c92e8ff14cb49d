// SM2 CMS envelopes: a message or a file encrypted to one SM2 certificate as a CMS EnvelopedData
// under the GM/T object identifiers, and decrypted with the recipient's SM2 key container file
// (SM2KeyContainer.h) and PIN:
//
//   ContentInfo { 1.2.156.10197.6.1.4.2.3 (SM2 enveloped data), [0] EnvelopedData { 2, SET {
//       KeyTransRecipientInfo { 2, [0] subjectKeyIdentifier, { 1.2.156.10197.1.301.3 (SM2
//       encryption), NULL }, encryptedKey } }, EncryptedContentInfo { 1.2.156.10197.6.1.4.2.1
//       (SM data), { 1.2.156.10197.1.104 (SM4), OCTET STRING IV }, [0] encryptedContent } } }
//
// The content is SM4-CBC (with padding) under a fresh random key and IV of 16 octets each; the key
// is SM2-encrypted to the certificate's public key and carried in the form the selector names.
// The envelope does not record the form: the decrypting side must be given the same selector.
//
// Certificates are PEM or DER and must carry keyEncipherment and a subject key identifier. A key
// container file holds the Base64 text of the container's DER and is read whole from its start.
//
// Results: QOVA_OK; QOVA_E_INVALIDARG for a missing argument, a refused selector or an empty plain
// file; QOVA_E_WRITE_FAULT for a short write; QOVA_E_READ_FAULT for a read that fails or comes
// short, or an empty container file; QOVA_E_DECRYPT_FAILED when the container's certificate is not
// the envelope's recipient (memory forms); QOVA_E_RECIPIENT_MISMATCH for the same in the file form;
// QOVA_E_ENVELOPE_SHAPE for an envelope of the wrong shape, an IV or content key that is not 16
// octets, or (file form) algorithms other than SM2 and SM4; QOVA_E_CONTAINER_PIN when the PIN does
// not open the container (the memory forms report any container that does not open so);
// QOVA_E_FAIL for a failed random generator, SM2 decryption or cipher step, or bytes that are not
// DER; the callees' codes passed up unchanged otherwise. Outputs are new[] arrays that the caller
// delete[]s, handed out only on success; files are the caller's open streams, never closed. After a
// failure, a partly written envelope or plain file stays as written.
#ifndef VARNELL_SMKERNEL_SM2_ENVELOPE_H
#define VARNELL_SMKERNEL_SM2_ENVELOPE_H

#include "QovaResult.h"

#include <cstdio>

// Forms of the encrypted content key (fSM2EncEncodedType); any other value is refused.
constexpr unsigned long SM2_ENC_ENCODED_RAW = 0x10000ul;  // x1 || y1 || C2 || C3, 112 octets
constexpr unsigned long SM2_ENC_ENCODED_DER = 0x20000ul;  // the DER SM2Cipher (SM2Cipher.h)

// The envelope of a non-empty message as DER.
unsigned int EncryptDataToDerCMSEnvelope(unsigned char* data, int dataLength, unsigned char* cert, int certLength,
                                         unsigned long fSM2EncEncodedType, unsigned char** envelope,
                                         int* envelopeLength);

// The same as NUL-terminated Base64 text in the line style of base64Flags (Base64.h).
unsigned int EncryptDataToBase64CMSEnvelope(unsigned char* data, int dataLength, unsigned char* cert, int certLength,
                                            unsigned long fSM2EncEncodedType, char** base64, int* base64Length,
                                            unsigned long base64Flags);

// Writes the envelope of the whole plain file (from its start) at envelopeFile's position: the
// structure up to the encrypted content's header, then the ciphertext block by block.
unsigned int EncryptFileToDerCMSEnvelope(FILE* plainFile, unsigned char* cert, int certLength,
                                         unsigned long fSM2EncEncodedType, FILE* envelopeFile);

// The plaintext of a DER envelope (new[], zero-filled for 16 octets past *dataLength).
unsigned int DecryptDerCMSEnvelopeData(unsigned char* envelope, int envelopeLength, FILE* keyContainerFile, char* pin,
                                       unsigned long fSM2EncEncodedType, unsigned char** data, int* dataLength);

// The same for base64Length characters of Base64 text.
unsigned int DecryptBase64CMSEnvelopeData(char* base64, int base64Length, FILE* keyContainerFile, char* pin,
                                          unsigned long fSM2EncEncodedType, unsigned char** data, int* dataLength);

// Decrypts the envelope file (the envelope starts at offset 0) and writes the plaintext at
// plainFile's position, piece by piece.
unsigned int DecryptDerCMSEnvelopeFile(FILE* envelopeFile, FILE* keyContainerFile, char* pin,
                                       unsigned long fSM2EncEncodedType, FILE* plainFile);

#endif
