// Key containers: a name under which a token keeps a key pair and its certificate. Each object of
// a container carries the CKA_ID "<name>#2" (key usage 1, signature) or "<name>#1" (key usage 2,
// exchange); the name is text of 1 to 253 bytes.
#ifndef VARNELL_P11_CONTAINER_H
#define VARNELL_P11_CONTAINER_H

#include "P11Types.h"

// Opens a session (no login) on the first token of the loaded module that holds the container's
// public key and hands it out as a new SessionCtx. 0x80090016 when no token holds it.
unsigned int AcquireContextbyContainer(void* pDylibInfo, const char* pszContainerName, int nKeyUsage,
                                       void** ppSessionCtx);

// The object of the class (certificate, public or private key) in the container.
unsigned int CryptoGetSpecifiedObject(void* pSessionCtx, unsigned char* pszContainerName, CK_OBJECT_CLASS ulObjectType,
                                      CK_ULONG ulKeyUsage, CK_OBJECT_HANDLE* phObject);

// Writes the DER certificate into the container as a token object, replacing the one that carries
// the same CKA_ID. The new object is created before the old one is destroyed, so that a failure
// leaves the old certificate in place and exactly one object with the ID. The session must be
// read-write (it is) and the token may want a login. phCertificate is optional.
unsigned int CryptoImportCertificate(void* pSessionCtx, unsigned char* pszContainerName, CK_ULONG ulKeyUsage,
                                     unsigned char* pbyCertificate, CK_ULONG ulCertificateSize,
                                     CK_OBJECT_HANDLE* phCertificate);

#endif
