// Certificate checks and certificate sources of the software kernel: PKCS#12 files, trust stores
// from certificate files or PKCS#7 bundles, chain verification against a store, key usage, the
// validity period, a revocation list, and one combined check selected by flag bits.
//
// Files are the caller's open streams (one certificate or CRL each, PEM or DER); they are never
// closed. Stores are handed to the caller only on success; X509_STORE_free releases them.
#ifndef VARNELL_SMKERNEL_CERTIFICATE_VALIDATION_H
#define VARNELL_SMKERNEL_CERTIFICATE_VALIDATION_H

#include "QovaResult.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <vector>

// Check flags of VerifyX509 and VerifyCertificate; other bits are ignored.
constexpr unsigned int CERT_VERIFY_TIME = 0x1;
constexpr unsigned int CERT_VERIFY_CRL = 0x2;
constexpr unsigned int CERT_VERIFY_CHAIN = 0x4;

// Key-usage bits as the crypto library encodes them (first byte in bits 0-7, second in 8-15).
constexpr unsigned int CERT_KU_DIGITAL_SIGNATURE = 0x80;
constexpr unsigned int CERT_KU_NON_REPUDIATION = 0x40;
constexpr unsigned int CERT_KU_KEY_ENCIPHERMENT = 0x20;
constexpr unsigned int CERT_KU_DATA_ENCIPHERMENT = 0x10;
constexpr unsigned int CERT_KU_KEY_AGREEMENT = 0x08;
constexpr unsigned int CERT_KU_KEY_CERT_SIGN = 0x04;
constexpr unsigned int CERT_KU_CRL_SIGN = 0x02;
constexpr unsigned int CERT_KU_ENCIPHER_ONLY = 0x01;
constexpr unsigned int CERT_KU_DECIPHER_ONLY = 0x8000;

// Private key, certificate and CA certificates of a PKCS#12 file; each out-parameter is optional
// and what is not asked for is freed. A wrong password fails at the MAC check (QOVA_E_FAIL); a
// structure that does not parse, or a requested key or certificate the file does not hold,
// QOVA_E_MALFORMED. The CA list is null when the file holds no other certificates. Old files
// (RC2-40, RC4) need the legacy provider that SM_crypto_init loads.
unsigned int ParsePFXFile(FILE* fpPFX, char* pszPassword, EVP_PKEY** ppPKey, X509** ppX509,
                          STACK_OF(X509)** ppCACerts);

// A new store with one certificate from each file, in order. The same certificate twice fails.
unsigned int LoadCertsToStore(std::vector<FILE*> certFiles, X509_STORE** ppX509Store);

// A new store with the certificates of a root and an intermediate PKCS#7 bundle (DER); either may
// be null. The same certificate twice fails.
unsigned int LoadP7bToStore(unsigned char* pbyRootP7b, int nRootP7bSize, unsigned char* pbyIntermediateP7b,
                            int nIntermediateP7bSize, X509_STORE** ppX509Store);

// Chain verification with the store's certificates as the only source of issuers: QOVA_OK,
// QOVA_E_CERT_TIME (not yet valid or expired), or QOVA_E_CERT_CHAIN (anything else).
unsigned int VerifyCertChainByTrustedStore(X509_STORE* pX509Store, X509* pX509);

// keyUsage must carry every bit of uiCheckBits (bAllBits) or at least one of them; a certificate
// without keyUsage fails. QOVA_E_KEY_USAGE.
unsigned int CheckX509KeyUsage(X509* pX509, unsigned int uiCheckBits, bool bAllBits);
unsigned int CheckCertKeyUsage(unsigned char* pbyCert, int nCertSize, unsigned int uiCheckBits, bool bAllBits);

// Now within [notBefore, notAfter], both inclusive; else QOVA_E_CERT_TIME.
unsigned int VerifyCertTime(X509* pX509);

// QOVA_E_CERT_REVOKED when the CRL lists the certificate's serial number. Only serial numbers are
// compared: the CRL's issuer, signature and dates play no part. A CRL that revokes nothing (it has
// no revoked-certificates field) clears the certificate; a file that holds no CRL fails (QOVA_E_FAIL).
unsigned int VerifyCertCRL(FILE* fpCRL, X509* pX509);

// LoadCertsToStore, then VerifyCertChainByTrustedStore.
unsigned int VerifyCertChain(std::vector<FILE*> certFiles, X509* pX509);

// The checks of uiFlags in the order time, CRL, chain; the first failure's code.
unsigned int VerifyX509(X509* pX509, unsigned int uiFlags, FILE* fpCRL, std::vector<FILE*> certFiles);
unsigned int VerifyCertificate(unsigned char* pbyCert, int nCertSize, unsigned int uiFlags, FILE* fpCRL,
                               std::vector<FILE*> certFiles);

#endif
