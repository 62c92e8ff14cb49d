// The chain check of module signers: does a certificate chain to the compiled-in trusted
// certificates, regardless of validity periods (a module signed with a certificate that has since
// expired still loads).
#ifndef VARNELL_TOKENSVC_OPENSSL_VERIFY_CERT_CHAIN_H
#define VARNELL_TOKENSVC_OPENSSL_VERIFY_CERT_CHAIN_H

#include "QovaResult.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

// 0 when pX509Cert chains to the trusted certificates (Base64 text of DER certificates; an entry
// that does not decode is skipped), else 0xFFFFFFFF; 0x8007054F when no store can be made.
unsigned int VerifyCertChainWithoutTime(X509* pX509Cert, const char** ppszCertChain, int nCertCount);

// The crypto library's chain verification of an initialised context, with the validity-period
// test switched off when bCheckTime is false (nothing else is relaxed: a bad signature still
// fails). A verification function installed on the store or the context is not consulted. Returns
// 1 for a valid chain, 0 for an invalid one (the context's error tells why), negative for a hard
// error, like X509_verify_cert.
int X509_verify_cert_ex(X509_STORE_CTX* ctx, bool bCheckTime);

#endif
