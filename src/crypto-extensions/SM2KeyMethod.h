// SM2 through the crypto library's key interfaces.
//
// SM_crypto_init registers our key method for SM2 keys. From then on every SM2 key operation of the
// process runs through it, for legacy keys (an EC_KEY on the SM2 curve) and provider keys (from
// certificates, PEM or DER files) alike, in our code and in any other code loaded into the process:
// - EVP_PKEY_sign / EVP_PKEY_verify: SM2 over tbs taken whole as the number e (the caller hashes);
//   signatures are DER SEQUENCE { r, s }; verification gives 1, or -1 for a bad signature.
// - EVP_PKEY_encrypt / EVP_PKEY_decrypt: DER SM2Cipher. With a null output buffer *outlen receives
//   the bound (input length + 116, or the input length for decryption) and 1 is returned; a buffer
//   shorter than the result gives -1.
// - Item signing and verification (X509_sign, X509_verify, X509_verify_cert, requests, CRLs) with
//   SM3 hash Z || DER, Z over the default user ID "1234567812345678". Nothing else gets Z: PKCS#7
//   SignerInfos and EVP_DigestSign* hash the content alone.
// Keys on the standard's example curve are refused (-1): the method's arithmetic is fixed to the SM2
// curve. Keys on other curves, and keys of engines other than "openssl ecdsa" or "cavium" (plus
// "pkcs11" for verification), go the library's ECDSA way.
//
// Generate SM2 keys with EC_KEY_generate_key: with our method registered, the library's own SM2 key
// generation through EVP_PKEY_keygen fails.
//
// The header names EC keys as `struct ec_key_st` so that code built without the deprecated
// declarations can include it.
#ifndef VARNELL_CRYPTOEXT_SM2_KEY_METHOD_H
#define VARNELL_CRYPTOEXT_SM2_KEY_METHOD_H

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

// Error-queue entries of the key method (library, reason).
constexpr int SM2_KEY_ERR_LIB_EC = 16;
constexpr int SM2_KEY_R_BUFFER_TOO_SMALL = 100;     // signature buffer too small
constexpr int SM2_KEY_R_INVALID_DIGEST_TYPE = 138;  // digest not accepted by the key method
constexpr int SM2_KEY_R_DECODE_ERROR = 142;         // private key decodable neither way
constexpr int SM2_KEY_ERR_LIB_ASN1 = 13;            // item signing and verification ...
constexpr int SM2_KEY_R_EC_LIB = 16;                // ... with a key that has no usable group or point
constexpr int SM2_KEY_R_MALLOC_FAILURE = 65;        // ... when an allocation fails
constexpr int SM2_KEY_R_SELF_TEST_FAILED = 68;      // ... when the start-up self-test finds no Z

// The EC key of an EC or SM2 key: the library's own, else (for SM2 provider keys) one rebuilt from
// the key's parameters. get1: a reference for the caller to free with EC_KEY_free. get0: the key's
// own, kept with the key and freed with it; do not free or change it.
struct ec_key_st* SM_EVP_PKEY_get1_EC_KEY(EVP_PKEY* pkey);
const struct ec_key_st* SM_EVP_PKEY_get0_EC_KEY(EVP_PKEY* pkey);

// A new legacy key (EVP_PKEY_free) holding the EC key of pkey; null when pkey has none.
EVP_PKEY* SM_to_legacy(EVP_PKEY* pkey);

// X509_sign that also takes SM2 provider keys (they are turned into legacy keys first, which the
// library's item signing needs). The signature length, or 0.
int SM_X509_sign(X509* x, EVP_PKEY* pkey, const EVP_MD* md);

// d2i_AutoPrivateKey that also reads SM2_PRIVATEKEY DER (the scalar as an INTEGER). A key read the
// second way leaves no error on the queue; when neither way works, (16, 142) is pushed after the
// library's own entries.
EVP_PKEY* SM_d2i_AutoPrivateKey(EVP_PKEY** a, const unsigned char** pp, long length);

// PKCS7_add_signature that also takes SM2 keys with SM3: the SignerInfo gets version 1, the
// certificate's issuer and serial, digest SM3 and digest encryption 1.2.156.10197.1.301.1 without
// parameters, and holds a reference to pkey for PKCS7_final / PKCS7_dataFinal. Other keys and
// digests go the library's way. The SignerInfo belongs to p7; null on failure.
PKCS7_SIGNER_INFO* SM_PKCS7_add_signature(PKCS7* p7, X509* x509, EVP_PKEY* pkey, const EVP_MD* dgst);

#endif
