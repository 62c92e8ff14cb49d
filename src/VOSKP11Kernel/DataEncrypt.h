// Envelope decryption with token keys: a CMS EnvelopedData with one key-transport recipient, named
// by the subject key identifier of a certificate on a token, is opened by having the token unwrap
// the content key with that certificate's private key; the content is then decrypted in software.
//
// SM2 envelopes (key encryption 1.2.156.10197.1.301.3, content SM4-CBC 1.2.156.10197.1.104) are
// unwrapped with the vendor mechanism QOVA_CKM_SM2_DECRYPT and considered only for certificates
// signed under 1.2.156.10197; every other envelope is an RSA one (CKM_RSA_PKCS, certificates signed
// under 1.2.840.113549) whose content cipher must be RC4, 3DES-CBC or AES-256-CBC. The unwrapped key
// and the IV must be exactly as long as the content cipher takes them (QOVA_E_DECRYPT_FAILED).
//
// Only the modules of the list that are loaded are searched: the caller checks and loads the list
// before and unloads it afterwards. Main thread only. Results are 0 or a result code; the plaintext
// (new[], followed by a zero byte that its size does not count) is handed out only on success, and
// the caller clears it before delete[].
#ifndef VARNELL_TOKENSVC_DATA_ENCRYPT_H
#define VARNELL_TOKENSVC_DATA_ENCRYPT_H

#include "CertInfo.h"

// The plain content of a DER envelope. 0xA0071001 when no loaded token holds a certificate with
// the recipient's key identifier (under the mode's signature-algorithm arc); only the first such
// certificate is tried. The PIN logs into that certificate's session, which is logged out again.
unsigned int DecryptCMSEnvelope_DER(void* pDylibInfoList, unsigned char* pbyPIN, int nPINSize,
                                    unsigned char* pbyDEREnvelopeData, int nDEREnvelopeDataSize,
                                    unsigned char** ppbySourceData, int* pnSourceDataSize);

// The same for the envelope as Base64 text.
unsigned int DecryptCMSEnvelope(void* pDylibInfoList, unsigned char* pbyPIN, int nPINSize, char* pszBase64Envelope,
                                unsigned char** ppbySourceData, int* pnSourceDataSize);

// Unwraps a content-encryption key with the record's private key on its token: SM2 keys with
// QOVA_CKM_SM2_DECRYPT, RSA keys with CKM_RSA_PKCS. 0xA0072001 for a record without certificate
// object, CKA_ID text or session. The session is logged out on every path once the record has its
// certificate object, and stays open. The key (new[], one zero byte after it) is a secret.
unsigned int DecryptSessionKey(_CERTIFICATE_INFO* pCertInfo, unsigned char* pbyPIN, int nPINSize,
                               unsigned char* pbyEncryptedKey, int nEncryptedKeySize, unsigned char** ppbySessionKey,
                               int* pnSessionKeySize);

#endif
