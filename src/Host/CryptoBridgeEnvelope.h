// The host's layer for encryption certificates and envelopes, beside the signing one
// (CryptoBridge.h): selecting an encryption certificate into the agent record and reading its
// fields, enveloping a message for a certificate in software, opening an envelope with a token key
// and the stored PIN, and telling the content type of a DER PKCS#7 structure. No request of the
// conversation reaches these; they are offered beside it. Main thread only. Results are 0 or a
// result code; texts are handed out as new[] arrays that the caller delete[]s, only on success.
#ifndef VARNELL_HOST_CRYPTO_BRIDGE_ENVELOPE_H
#define VARNELL_HOST_CRYPTO_BRIDGE_ENVELOPE_H

#include "VarnellObj.h"

// Content types of GetPKCS7Type.
constexpr int RSA_SIGNED_DATA = 1;      // 1.2.840.113549.1.7.2
constexpr int SM2_SIGNED_DATA = 2;      // 1.2.156.10197.6.1.4.2.2
constexpr int RSA_ENVELOPED_DATA = 3;   // 1.2.840.113549.1.7.3
constexpr int SM2_ENVELOPED_DATA = 4;   // 1.2.156.10197.6.1.4.2.3

// Selects the encryption certificate: releases the one selected before, checks and loads every
// module of the list, keeps the certificates with keyEncipherment that pass the filters (each may
// be empty) and lets the user choose when more than one does; *ppszSubjectDN receives the chosen
// certificate's subject DN. On failure (0x800704C7 cancelled, 0xA0071001 nothing matched, or the
// DN's code) nothing is selected.
unsigned int _SelectEncryptCertificate(_VarnellObj* pobjCryptoAgent, const char* pszSubjectDNFilter,
                                       const char* pszIssureDNFilter, const char* pszSN, char** ppszSubjectDN);

// _GetCertInfo (CryptoBridge.h) on the selected encryption certificate; 0xA0072001 when none is
// selected.
unsigned int _GetEncryptCertInfo(_VarnellObj* pobjCryptoAgent, const char* pszUTF8InfoType, char** ppszCertInfo);

// The content type (RSA_SIGNED_DATA ... SM2_ENVELOPED_DATA) of a DER ContentInfo, from its
// content-type identifier; 0x8007000D for anything else.
unsigned int GetPKCS7Type(unsigned char* pbyDERPKCS7SignData, int nDERPKCS7SignData, int* pnPKCS7Type);

// Envelopes the message text (without its NUL) for a Base64 certificate of type "SM2" or "RSA"
// (any case) and hands out the envelope as Base64 in 76-character lines. SM2 envelopes carry the
// content key as a DER SM2Cipher and ignore the cipher name; RSA ones take "RC4" or "3DES" (any
// case). 0x80070057 for a missing text or an unknown type or cipher. The envelope is released when
// ppszBase64CMSEnvelope is null.
unsigned int _EncryptMsgCMSEnvelopeEx_ByCert(_VarnellObj* pobjCryptoAgent, const char* pszBase64CertContent,
                                             const char* pszCertType, const char* pszMessage,
                                             const char* pszEncryptAlg, char** ppszBase64CMSEnvelope);

// Opens a Base64 envelope with the key of its recipient's certificate on a token of the module
// list, logged in with the stored PIN, and hands out the plaintext (a zero byte follows it). An
// envelope type of "RSA" or "SM2" (any case) must match the envelope's content type (0xA0072023);
// other names are not compared. pobjCryptoAgent is not used.
unsigned int _DecryptMsgCMSEnvelopeEx(_VarnellObj* pobjCryptoAgent, const char* pszBase64CMSEnvelope,
                                      const char* pszEnvelopeType, char** ppszPlaint);

#endif
