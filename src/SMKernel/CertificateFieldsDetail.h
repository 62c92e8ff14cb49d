// The one reader of a certificate's subject key identifier, shared by the text of the certificate
// fields and the raw octets of the certificate pieces; not part of the kernel's interface.
#ifndef VARNELL_SMKERNEL_CERTIFICATE_FIELDS_DETAIL_H
#define VARNELL_SMKERNEL_CERTIFICATE_FIELDS_DETAIL_H

#include "KernelHolders.h"

#include <openssl/x509.h>

namespace certfields_detail {

// The key identifier of the subjectKeyIdentifier extension: the extension's value decoded as the
// OCTET STRING it must be, whatever the form of its length, with nothing after it. QOVA_E_FAIL
// without the extension or for a value that is not such an OCTET STRING. Traced in the name of
// pszFunc.
unsigned int ReadSubjectKeyIdentifier(const char* pszFunc, const X509* pX509Cert,
                                      smkernel::Asn1OctetStringPtr& keyIdentifier);

}  // namespace certfields_detail

#endif
