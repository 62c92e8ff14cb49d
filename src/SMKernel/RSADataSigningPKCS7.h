// PKCS#7 SignedData of memory data made and checked with the crypto library's own PKCS#7 code:
// attached or detached signing with a certificate and key or a PKCS#12 file, and verification that
// hands back the signer's certificate and, for an attached signature, the signed content.
//
// Signatures made here carry binary content (or none, detached), no signed attributes and the
// signer's certificate only. Verification finds the signer among the structure's own certificates
// and never checks its chain, validity or key usage. Signatures with the SM content types verify
// too (they are read through SM_d2i_PKCS7).
//
// Results: QOVA_OK; QOVA_E_BAD_SIGNATURE for a signature that does not verify, also a detached
// one given to the attached verification; QOVA_E_FAIL for a failed library step; QOVA_E_INVALIDARG
// for a missing argument; the codes of the key-usage check, the PKCS#12 reader and the Base64
// codec passed up (a signing certificate needs keyUsage digitalSignature). Outputs are new[]
// arrays (Base64 text NUL-terminated) that the caller delete[]s, written only on success.
#ifndef VARNELL_SMKERNEL_RSA_DATA_SIGNING_PKCS7_H
#define VARNELL_SMKERNEL_RSA_DATA_SIGNING_PKCS7_H

#include "QovaResult.h"

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdio>

// The library's PKCS#7 signing with the digest named by a hash NID: signedData over data, one
// signer when pkey is given (none when it is null), then the certificates of certs unless
// PKCS7_NOCERTS; with PKCS7_STREAM or PKCS7_PARTIAL the structure is handed out unfinished,
// otherwise it is finished over data. Null on failure, with the reason queued (33, 109 for a NID
// that names no digest, 153 when the signer cannot be added). Free with PKCS7_free.
// This is a C++ overload: the library exports a PKCS7_sign_ex of its own with other parameters.
PKCS7* PKCS7_sign_ex(X509* signcert, EVP_PKEY* pkey, STACK_OF(X509)* certs, BIO* data, int nHashID, int flags);

// Checks every SignerInfo with its certificate from the structure's own list (found by issuer and
// serial number); no chain check. data is the detached content, null for an attached signature.
// 0 when all verify, else -1 with the reason queued (33: 122 detached without data, 118 attached
// with data, 142 no signers, 106 a certificate missing, 105 a bad signature). data stays the
// caller's.
int PKCS7_verify_signature(PKCS7* p7, BIO* data);

// Attached (bWithSourceData) or detached SignedData of the data, DER.
unsigned int RSA_SignData_PKCS7_ByKeyPair(unsigned char* pbySourceData, int nSourceDataSize, X509* pX509,
                                          EVP_PKEY* pPrivateKey, int nHashID, bool bWithSourceData,
                                          unsigned char** ppbyPKCS7Signature, int* pnPKCS7SignatureSize);
// The same with the key and certificate of a PKCS#12 file (an open stream, read from its current position).
unsigned int RSA_SignData_PKCS7_ByPFX(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpPFXFile,
                                      const char* pszPFXPassword, int nHashID, bool bWithSourceData,
                                      unsigned char** ppbyPKCS7Signature, int* pnPKCS7SignatureSize);
// Base64 text with the encoder flags of Base64.h; its length when pnBase64PKCS7SignatureSize is not null.
unsigned int RSA_SignData_PKCS7(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpPFXFile,
                                const char* pszPFXPassword, int nHashID, bool bWithSourceData, unsigned long dwFlags,
                                char** ppszBase64PKCS7Signature, int* pnBase64PKCS7SignatureSize);

// A detached signature over the data. The signer's certificate (DER) when ppbySignerCert is not
// null; *pnSignerCertSize, when given, receives its size, or 0 when no certificate was asked for.
unsigned int RSA_VerifyDataSignature_DERPKCS7Detached(unsigned char* pbyPKCS7Signature, int nPKCS7SignatureSize,
                                                      unsigned char* pbySourceData, int nSourceDataSize,
                                                      unsigned char** ppbySignerCert, int* pnSignerCertSize);
// The same for Base64 text up to its NUL.
unsigned int RSA_VerifyDataSignature_PKCS7Detached(const char* pszBase64PKCS7Signature, unsigned char* pbySourceData,
                                                   int nSourceDataSize, unsigned char** ppbySignerCert,
                                                   int* pnSignerCertSize);

// An attached signature. The signed content and the signer's certificate, each when its pointer is
// not null; each size pointer, when given, receives the size, or 0 when that output was not asked for.
unsigned int RSA_VerifyDataSignature_DERPKCS7Attached(unsigned char* pbyPKCS7Signature, int nPKCS7SignatureSize,
                                                      unsigned char** ppbySourceData, int* pnSourceDataSize,
                                                      unsigned char** ppbySignerCert, int* pnSignerCertSize);
unsigned int RSA_VerifyDataSignature_PKCS7Attached(const char* pszBase64PKCS7Signature, unsigned char** ppbySourceData,
                                                   int* pnSourceDataSize, unsigned char** ppbySignerCert,
                                                   int* pnSignerCertSize);

#endif
