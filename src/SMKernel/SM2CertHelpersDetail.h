// The certificate pieces of an IssuerAndSerialNumber read in one pass, for the SignedData encoder;
// not part of the kernel's interface.
#ifndef VARNELL_SMKERNEL_SM2_CERT_HELPERS_DETAIL_H
#define VARNELL_SMKERNEL_SM2_CERT_HELPERS_DETAIL_H

namespace certpieces_detail {

// What GetIssuerFromCert and GetSerialNumberFromCert hand out, from one check of the certificate's
// structure (the check is most of what either costs). Both outputs are written only on success.
// Traced in the name of pszFunc.
unsigned int GetIssuerAndSerialNumberFromCert(const char* pszFunc, unsigned char* cert, int certLength,
                                              unsigned char** issuer, int* issuerLength,
                                              unsigned char** serialNumber, int* serialNumberLength);

}  // namespace certpieces_detail

#endif
