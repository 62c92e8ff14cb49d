// The module signature check: a PKCS#11 module is loaded only when the signature file beside it
// (ConstructSigFilePathbyDylibPath) holds a detached PKCS#7 signature over the whole module file,
// as Base64 text, whose signer chains to the trusted certificates.
#ifndef VARNELL_TOKENSVC_VERIFY_P11_LIB_H
#define VARNELL_TOKENSVC_VERIFY_P11_LIB_H

#include "QovaResult.h"

#include <cstdio>

// The check of one module. With bVerify false only the presence (readability) of the module and
// its signature file is tested (0x80070002). With bVerify true both are opened without blocking
// and must be regular files (else 0x8007006E, as for a file that cannot be opened), and
// VerifyP11Dylib decides.
unsigned int CheckP11Dylib(const char* pszDylibPath, bool bVerify, const char** ppszCertChain, int nCertCount);

// CheckP11Dylib that keeps the module file it verified, for the module to be loaded from that very
// file (LoadP11DylibFromFile) whatever the path names by then. With bVerify true the module must
// also be a file that no one but root or the user can write (the logging configuration's rule;
// else 0x8007006E), and on success *pnDylibFd is a close-on-exec descriptor of it, above 2, that
// the caller owns. With bVerify false nothing is opened and *pnDylibFd is -1.
unsigned int OpenVerifiedP11Dylib(const char* pszDylibPath, bool bVerify, const char** ppszCertChain,
                                  int nCertCount, int* pnDylibFd);

// Verifies the signature file's text against the module file and the signer against the trusted
// certificates (Base64 DER, chain order). 0x8007001E for a signature file above 10 MiB; the
// signature verifier's codes for a bad signature or text; 0xFFFFFFFF for an untrusted signer.
unsigned int VerifyP11Dylib(FILE* fpDylib, FILE* fpSigFile, const char** ppszCertChain, int nCertCount);

#endif
