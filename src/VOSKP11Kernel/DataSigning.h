// Token signing services: the private key of a selected certificate record signs data, a hash or
// a file on its token, and the result leaves as the raw PKCS#1 signature or as a PKCS#7
// SignedData, each as DER or as one line of Base64. Also the use count of the token services
// (which registers the crypto library's algorithms on first use) and the conversions of
// CryptoAPI-style hash identifiers (QOVA_CALG_*) into the crypto library's NIDs and dotted OIDs.
//
// Every signer logs into the record's session with the PIN given and finds the key by the
// certificate's CKA_ID. The session is never closed here: the record keeps it for the next
// request. Results are 0 or a result code; buffers are handed out (new[], the caller delete[]s
// them) only on success.
#ifndef VARNELL_TOKENSVC_DATA_SIGNING_H
#define VARNELL_TOKENSVC_DATA_SIGNING_H

#include "CertInfo.h"

#include <cstdio>

// Content-cipher identifiers that ConvertAlgIDtoAlgNID also knows (the hash ones are in P11Types.h).
constexpr unsigned int QOVA_CALG_3DES = 0x6603u;
constexpr unsigned int QOVA_CALG_RC4 = 0x6801u;

// Forms of an SM2 signature. PKCS#1 results: the 64-byte r||s, or the token's DER SEQUENCE{r, s}
// unchanged. PKCS#7 results: the SignerInfo holds two INTEGERs, one SEQUENCE{r, s}, or an OCTET
// STRING holding that SEQUENCE's DER. RSA signatures ignore the value.
constexpr int SIG_TYPE_SM2_Q1_V1 = 1;
constexpr int SIG_TYPE_SM2_Q1_V2 = 2;
constexpr int SIG_TYPE_SM2_Q7_V1 = 0x100;
constexpr int SIG_TYPE_SM2_Q7_V2 = 0x200;
constexpr int SIG_TYPE_SM2_Q7_V3 = 0x400;

// Use count of the token services. The first InitVOSKP11Kernel registers the crypto library's
// algorithms and ours (SM_crypto_init, with its self-test); false when that fails, and the count
// stays where it was. The registration lives as long as the process: UninitVOSKP11Kernel only
// counts down, and does nothing at 0. Main thread only.
bool InitVOSKP11Kernel();
bool UninitVOSKP11Kernel();

// Digest OID and digest-encryption OID of a hash id as dotted text (new[] texts of 128 bytes).
// Unless bAccurateDigestEncryptionAlgorithm, RSA hashes give rsaEncryption. Either out-parameter
// may be null; an id outside the table gives QOVA_E_FAIL.
unsigned int GetAlgOIDbyAlgID(unsigned int lMsgDigestAlgorithm, bool bAccurateDigestEncryptionAlgorithm,
                              char** ppszDigestOID, char** ppszDigestEncryptOID);

// The crypto library's NID of a hash or content-cipher id (SM3: kNidSm3).
unsigned int ConvertAlgIDtoAlgNID(unsigned int ulAlgID, int* pnAlgNID);

// PKCS#7 SignedData over data; the content is embedded when bWithSourceData. SM2 keys need an
// encoding of 0x100, 0x200 or 0x400 and hash id QOVA_CALG_SM3. bReserved has no effect. With
// bLogout non-zero the session is logged out on every path.
unsigned int PKCS7_SignData_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, bool bWithSourceData, bool bReserved,
                                int nSM2SignatureEncodedType, unsigned char* pbySourceData, int nSourceDataSize,
                                int bLogout, unsigned char** ppbyDERPKCS7Signature, int* pnDERPKCS7SignatureSize);

// Detached PKCS#7 SignedData over a hash the caller computed (its length must match the hash id).
unsigned int PKCS7_SignHash_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, int nSM2SignatureEncodedType, unsigned char* pbyHashData,
                                int nHashDataSize, int bLogout, unsigned char** ppbyDERPKCS7Signature,
                                int* pnDERPKCS7SignatureSize);

// PKCS#7 SignedData over the whole of an open file (streamed to the token; an embedded content is
// read from the file). Always logs out.
unsigned int PKCS7_SignFile_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, bool bWithSourceData, bool bReserved,
                                int nSM2SignatureEncodedType, FILE* fpSourceFile,
                                unsigned char** ppbyDERPKCS7Signature, int* pnDERPKCS7SignatureSize);

// The raw signature over data: RSA as the token returns it; SM2 as r||s (SIG_TYPE_SM2_Q1_V1) or
// the token's DER (SIG_TYPE_SM2_Q1_V2). bWithZValue is only traced. Always logs out.
unsigned int PKCS1_SignData_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, bool bWithZValue, int nSM2SignatureEncodedType,
                                unsigned char* pbySourceData, int nSourceDataSize, unsigned char** ppbyPKCS1Siganture,
                                int* pnPKCS1SigantureSize);

// The raw RSA signature over the whole of an open file; SM2 keys are refused
// (QOVA_E_SM2_PKCS1_FILE). nReserved is not read. Always logs out.
unsigned int PKCS1_SignFile_DER(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                unsigned int ulHashAlg, int nReserved, FILE* fpSourceFile,
                                unsigned char** ppbyDERPKCS1Siganture, int* pnDERPKCS1SigantureSize);

// The same as one line of Base64 (new[] text, NUL-terminated).
unsigned int PKCS7_SignData(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize, unsigned int ulHashAlg,
                            bool bWithSourceData, bool bReserved, int nSM2SignatureEncodedType,
                            unsigned char* pbySourceData, int nSourceDataSize, int bLogout,
                            char** ppszPKCS7Signature);
unsigned int PKCS7_SignHashDetached(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                                    unsigned int ulHashAlg, int nSM2SignatureEncodedType, unsigned char* pbyHashData,
                                    int nHashDataSize, int bLogout, char** ppszPKCS7Signature);
unsigned int PKCS7_SignFile(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize, unsigned int ulHashAlg,
                            bool bWithSourceData, bool bReserved, int nSM2SignatureEncodedType, FILE* fpSourceFile,
                            char** ppszPKCS7Signature);
unsigned int PKCS1_SignData(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize, unsigned int ulHashAlg,
                            bool bWithZValue, int nSM2SignatureEncodedType, unsigned char* pbySourceData,
                            int nSourceDataSize, char** ppszPKCS1Siganture);
unsigned int PKCS1_SignFile(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize, unsigned int ulHashAlg,
                            int nReserved, FILE* fpSourceFile, char** ppszPKCS1Siganture);

#endif
