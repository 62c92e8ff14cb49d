// Software RSA signatures: PKCS#1 v1.5 signatures (the DigestInfo of the digest, block type 1) of
// memory buffers and whole files with a key held in software, their verification with a
// certificate, and detached PKCS#7 SignedData signatures of whole files (the module signature
// files).
//
// Keys come as an EVP_PKEY holding an RSA key, or as a PKCS#12 file (an open stream, read from its
// current position) and its password; the PKCS#12 certificate must carry keyUsage with
// digitalSignature. Certificates come as an X509, as DER octets, or as Base64 text of the DER.
// Digests are chosen by hash NID (Digest.h); the same NID names the DigestInfo, which is encoded
// here, so that every digest with an identifier signs (SM3 too). A signature's DigestInfo may carry
// its parameters as NULL or leave them out.
//
// Results: QOVA_OK; QOVA_E_BAD_SIGNATURE for a signature that does not verify; QOVA_E_FAIL for a
// failed library step, a key that is not RSA, a certificate that cannot be read; the codes of the
// digest, PKCS#12, key-usage, Base64 and PKCS#7 functions passed up (the data verification reports
// any digest failure as QOVA_E_FAIL); QOVA_E_INVALIDARG for a missing argument. Outputs are new[]
// arrays (Base64 outputs NUL-terminated text) that the caller delete[]s, written only on success.
#ifndef VARNELL_SMKERNEL_RSA_DATA_SIGNING_H
#define VARNELL_SMKERNEL_RSA_DATA_SIGNING_H

#include "QovaResult.h"

#include <openssl/types.h>

#include <cstdio>

// PKCS#1 signatures of data; the signature is as long as the key's modulus.
unsigned int RSA_SignData_PKCS1_ByPrivateKey(unsigned char* pbySourceData, int nSourceDataSize, EVP_PKEY* pPrivateKey,
                                             int nHashID, unsigned char** ppbySignature, int* pnSignatureSize);
unsigned int RSA_SignData_PKCS1_ByPFX(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpPFXFile,
                                      const char* pszPFXPassword, int nHashID, unsigned char** ppbySignature,
                                      int* pnSignatureSize);
// Base64 text with the encoder flags of Base64.h; its length when pnBase64SignatureSize is not null.
unsigned int RSA_SignData_PKCS1(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpPFXFile,
                                const char* pszPFXPassword, int nHashID, unsigned long dwFlags,
                                char** ppszBase64Signature, int* pnBase64SignatureSize);

// The same over every octet of an open file, whatever its position.
unsigned int RSA_SignFile_PKCS1_ByPrivateKey(FILE* fpSourceFile, EVP_PKEY* pPrivateKey, int nHashID,
                                             unsigned char** ppbySignature, unsigned int* pnSignatureSize);
unsigned int RSA_SignFile_PKCS1_ByPFX(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPFXPassword, int nHashID,
                                      unsigned char** ppbySignature, unsigned int* pnSignatureSize);
unsigned int RSA_SignFile_PKCS1(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPFXPassword, int nHashID,
                                unsigned long dwFlags, char** ppszBase64Signature);

// Verification with the certificate's RSA key. Neither key usage nor validity is examined.
unsigned int RSA_VerifyDataSignature_PKCS1_ByX509(unsigned char* pbySourceData, int nSourceDataSize, X509* pX509,
                                                  int nHashID, unsigned char* pbySignature, int nSignatureSize);
unsigned int RSA_VerifyDataSignature_DERPKCS1_ByDERCert(unsigned char* pbySourceData, int nSourceDataSize,
                                                        unsigned char* pbyCert, int nCertSize, int nHashID,
                                                        unsigned char* pbySignature, int nSignatureSize);
unsigned int RSA_VerifyDataSignature_PKCS1(unsigned char* pbySourceData, int nSourceDataSize,
                                           const char* pszBase64CertContent, int nHashID,
                                           const char* pszBase64Signature);

unsigned int RSA_VerifyFileSignature_PKCS1_ByX509(FILE* fpSourceFile, X509* pX509, int nHashID,
                                                  unsigned char* pbySignature, int nSignatureSize);
unsigned int RSA_VerifyFileSignature_PKCS1_ByDERCertContent(FILE* fpSourceFile, unsigned char* pbyCert, int nCertSize,
                                                            int nHashID, unsigned char* pbySignature,
                                                            int nSignatureSize);
unsigned int RSA_VerifyFileSignature_PKCS1(FILE* fpSourceFile, const char* pszBase64CertContent, int nHashID,
                                           const char* pszBase64Signature);

// Detached PKCS#7 SignedData of a whole file (the module signature file format): signedData with
// the data content type and no content, the signer's certificate, one SignerInfo without
// attributes holding the PKCS#1 signature of the file's digest in an OCTET STRING. The digest and
// signature algorithm identifiers come from GetAlgOIDbyHashNID (MD5, SHA-1, SHA-2 only);
// bAccurateDigestEncryptionAlgorithm false names plain rsaEncryption.
unsigned int RSA_SignFile_PKCS7Detached_ByPFX(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPFXPassword,
                                              int nHashID, bool bAccurateDigestEncryptionAlgorithm,
                                              unsigned char** ppbyPKCS7Signature, int* pnPKCS7SignatureSize);
unsigned int RSA_SignFile_PKCS7Detached(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPFXPassword, int nHashID,
                                        bool bAccurateDigestEncryptionAlgorithm, unsigned long dwFlags,
                                        char** ppszBase64PKCS7Signature);

// Verifies a detached SignedData against every octet of the file with the certificate it carries
// (the one its SignerInfo names) and the digest its SignerInfo names; hands that certificate (DER)
// out when ppbySignerCert is not null, its size when pnSignerCertSize is not null. The certificate
// is not judged here: validity, key usage and chain are the caller's. Attached content is refused
// (QOVA_E_PKCS7_SHAPE), as is a digest identifier the library does not know.
unsigned int RSA_VerifyFileSignature_DERPKCS7Detached(unsigned char* pbyPKCS7DetachedSignature,
                                                      int nPKCS7DetachedSignatureSize, FILE* fpSourceFile,
                                                      unsigned char** ppbySignerCert, int* pnSignerCertSize);
// The same for Base64 text up to its NUL; characters outside the alphabet (line breaks) are skipped.
unsigned int RSA_VerifyFileSignature_PKCS7Detached(const char* pszBase64PKCS7DetachedSignature, FILE* fpSourceFile,
                                                   unsigned char** ppbySignerCert, int* pnSignerCertSize);

#endif
