// Software encryption of the kernel: random content keys, the cipher table, symmetric encryption
// and decryption of buffers and open files, RSA PKCS#1 v1.5 encryption of short data (content
// keys), and RSA CMS EnvelopedData built from them.
//
// Ciphers are chosen by the crypto library's NID: NID_rc4 (16-byte key, no IV), NID_des_ede3_ecb
// (24, none), NID_des_ede3_cbc (24, 8), NID_aes_256_ecb (32, none), NID_aes_256_cbc (32, 16) and
// kNidSm4Cbc (16, 16); block ciphers pad PKCS#7-style. RC4 comes from the crypto library's legacy
// provider, which SM_crypto_init loads. Every symmetric operation takes the IV before the key; a
// cipher without IV ignores the IV pointer, which may then be null.
//
// Results: QOVA_OK; QOVA_E_INVALIDARG for a missing argument, a refused cipher or a key of the
// wrong length given to encryption; QOVA_E_ENCRYPT_FAILED and QOVA_E_DECRYPT_FAILED when the
// cipher or RSA step fails (decryption also when key or IV are not exactly the cipher's lengths:
// a wrong key usually shows as bad padding); QOVA_E_READ_FAULT for an empty file, a file of 2^31
// bytes or more, or a read that fails or comes short; QOVA_E_WRITE_FAULT for a short write;
// QOVA_E_FAIL for a failed library call. Outputs are new[] arrays that the caller delete[]s,
// written only on success; files are the caller's open streams and are never closed.
#ifndef VARNELL_SMKERNEL_RSA_DATA_ENCRYPTION_H
#define VARNELL_SMKERNEL_RSA_DATA_ENCRYPTION_H

#include "NodeEx.h"
#include "QovaResult.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>

constexpr int RC4_KEY_LEN = 16;
constexpr int DES3_KEY_LEN = 24;
constexpr int AES256_KEY_LEN = 32;
constexpr int SM4_KEY_LEN = 16;
// Files are read in blocks of this size.
constexpr int SYM_FILE_BLOCK_SIZE = 16384;

// A random content key: NID_aes_256_cbc 32 bytes, NID_des_ede3_cbc three odd-parity DES keys that
// are neither weak nor semi-weak (24 bytes), NID_rc4 16 bytes. Other NIDs: QOVA_E_INVALIDARG.
unsigned int GenerateSymKey(int nSymAlgNID, unsigned char** key, int* keySize);

// The library cipher of the table above; QOVA_E_INVALIDARG for another NID.
unsigned int GetEVPCipherbyNID(int nSymAlgNID, const EVP_CIPHER** cipher);

// Encrypts a non-empty buffer with RC4, 3DES-ECB, 3DES-CBC or AES-256-CBC. The output is as long
// as the plaintext (RC4) or the plaintext padded to the next whole block.
unsigned int SymEncrypt(int nSymAlgNID, const unsigned char* iv, unsigned char* key, int nKeyDataSize,
                        unsigned char* pbyPlainData, int nPlainDataSize, unsigned char** out, int* outSize);

// Decrypts a buffer with any cipher of the table. The plaintext is followed by a NUL that *outSize
// does not count.
unsigned int SymDecrypt(int nSymAlgNID, unsigned char* iv, unsigned char* key, int keySize, unsigned char* data,
                        int dataSize, unsigned char** out, int* outSize);

// Encrypts the whole plain file (from its start) with RC4, 3DES-CBC, AES-256-ECB or SM4-CBC and
// writes the ciphertext at the output stream's position.
unsigned int SymFileEncrypt(int nSymAlgNID, const unsigned char* iv, unsigned char* key, int keySize,
                            FILE* plainFile, FILE* outFile);

// Decrypts the whole encrypted file (from its start) with any cipher of the table and writes the
// plaintext at the output stream's position. On failure the plaintext written so far stays there.
unsigned int SymFileDecrypt(int nSymAlgNID, unsigned char* iv, unsigned char* key, int keySize,
                            FILE* encryptedFile, FILE* outFile);

// PKCS#1 v1.5 encryption with an RSA key of at least 1024 bits; the output is as long as the
// modulus, and the data at most 11 bytes shorter.
unsigned int RSAEncrypt(EVP_PKEY* pEvpPubKey, unsigned char* pbyPlainData, int size, unsigned char** out,
                        int* outSize);

// PKCS#1 v1.5 decryption with an RSA private key of at least 1024 bits.
unsigned int RSADecrypt(EVP_PKEY* key, unsigned char* data, int size, unsigned char** out, int* outSize);

// RSAEncrypt with the certificate's public key; the certificate's keyUsage must carry
// keyEncipherment (QOVA_E_KEY_USAGE otherwise).
unsigned int RSAEncryptByX509(X509* pX509Cert, unsigned char* data, int size, unsigned char** out, int* outSize);

// A content key and IV taken from an envelope must be exactly as long as the cipher takes them (the
// IV only when the cipher has one): QOVA_OK, QOVA_E_DECRYPT_FAILED, or GetEVPCipherbyNID's code.
// Every reader of envelopes checks them before they reach the cipher.
unsigned int CheckEnvelopeKeyAndIV(int nSymAlgNID, int nKeySize, int nIVSize);

// RSA CMS EnvelopedData (PKCS#7 identifiers), one recipient named by the subject key identifier of
// its certificate, the content key RSA-encrypted for it:
//
//   ContentInfo { envelopedData, [0] EnvelopedData { 2, SET { KeyTransRecipientInfo { 2,
//       [0] subjectKeyIdentifier, rsaEncryption NULL, encryptedKey } },
//       EncryptedContentInfo { data, contentEncryptionAlgorithm, [0] encryptedContent } } }
//
// Encryption offers NID_rc4 (NULL parameters), NID_des_ede3_cbc (an 8-byte IV) and, for buffers
// only, NID_aes_256_cbc (a 16-byte IV). Decryption takes NID_rc4, NID_des_ede3_ecb and
// NID_des_ede3_cbc (QOVA_E_DECRYPT_FAILED otherwise), the key of a PKCS#12 file whose certificate
// carries the envelope's subject key identifier (QOVA_E_DECRYPT_FAILED otherwise), and a content key
// and IV of exactly the cipher's lengths. Certificates are DER; the recipient's must carry
// keyEncipherment and a subject key identifier. The callees' codes are passed up unchanged.

// The envelope as DER (new[]).
unsigned int RSA_EncryptDataToDERCMSEnvelope(unsigned char* pbyPlainData, int nPlainDataSize, unsigned char* pbyCert,
                                             int nCertSize, int nSymAlgNID, unsigned char** ppbyDERCMSEnvelope,
                                             int* pnDERCMSEnvelopeSize);

// The envelope as NUL-terminated Base64 text (new[]) in the line style of dwFlags (Base64EncodeEx).
unsigned int RSA_EncryptDataToCMSEnvelope(unsigned char* pbyPlainData, int nPlainDataSize, unsigned char* pbyCert,
                                          int nCertSize, int nSymAlgNID, unsigned long dwFlags,
                                          char** ppszBase64CMSEnvelope, int* pnBase64CMSEnvelopeLength);

// Writes the envelope of the whole plain file (RC4 or 3DES-CBC) at the output stream's position:
// the structure up to the encrypted content's header, then the ciphertext. On a failure after the
// head was written, what was written stays in the stream.
unsigned int RSA_EncryptFileToCMSEnvelope(FILE* fpPlainFile, unsigned char* pbyCert, int nCertSize, int nSymAlgNID,
                                          FILE* fpCMSEnvelope);

// The plaintext (new[], followed by a NUL that *pnPlainDataSize does not count) of a DER envelope,
// with the private key of the PKCS#12 file (read from the stream's position).
unsigned int RSA_DecryptDataFromDERCMSEnvelope(unsigned char* pbyDERCMSEnvelope, int nDERCMSEnvelopeSize, FILE* fpPFX,
                                               char* pszPFXPwd, unsigned char** ppbyPlainData, int* pnPlainDataSize);

// The same for a Base64 envelope; the password must not be empty.
unsigned int RSA_DecryptDataFromCMSEnvelope(const char* pszBase64CMSEnvelope, FILE* fpPFX, char* pszPFXPwd,
                                            unsigned char** ppbyPlainData, int* pnPlainDataSize);

// Decrypts an envelope file (the envelope starts at offset 0; files of 2^31 bytes or more are
// refused) and writes the plaintext at the output stream's position. On failure the plaintext
// written so far stays there.
unsigned int RSA_DecryptFileFromCMSEnvelope(FILE* fpCMSEnvelope, FILE* fpPFX, char* pszPFXPwd, FILE* fpPlainFile);

// Decrypts the encrypted content that pEncryptedContentNode (parsed from fpCMSEnvelope) describes
// and writes the plaintext at the output stream's position. A constructed node is decrypted piece
// by piece, in order. Key before IV; both must already have the cipher's lengths.
unsigned int DecryptFileEnvelopeContent(int nSymAlgNID, unsigned char* key, unsigned char* iv, FILE* fpCMSEnvelope,
                                        NodeEx* pEncryptedContentNode, FILE* fpPlainFile);

// One primitive piece of the encrypted content through an initialised decryption context: reads
// exactly the node's value octets, never a byte past them.
unsigned int DecryptFileEnvelopeContent_ProcessOneNode(EVP_CIPHER_CTX* pCTX, FILE* fpCMSEnvelope, NodeEx* pNode,
                                                       FILE* fpPlainFile);

#endif
