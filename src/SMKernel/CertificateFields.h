// The values of a certificate that the system stores, compares and shows: the certificate object
// from PEM or DER bytes, validity times, type, common name, subject and issuer DN texts, serial
// number, subject key identifier and signature algorithm.
//
// Texts are new[] arrays that the caller delete[]s; a length out-parameter receives the bytes
// before the NUL. A DN text lists short-name=value pairs from the last name entry to the first,
// joined by ", ", values in UTF-8 as they stand (nothing escaped), at most 1023 bytes. Serial
// numbers and key identifiers are uppercase hex without separators. Every failure is QOVA_E_FAIL
// and writes no text.
#ifndef VARNELL_SMKERNEL_CERTIFICATE_FIELDS_H
#define VARNELL_SMKERNEL_CERTIFICATE_FIELDS_H

#include "QovaResult.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

// Certificate types.
constexpr int CERT_TYPE_UNKNOWN = 0;
constexpr int CERT_TYPE_RSA = 1;
constexpr int CERT_TYPE_SM2 = 2;

// The longest DN text (without its NUL); a longer DN fails, it is never cut.
constexpr int MAX_DN_TEXT_LENGTH = 1023;

// PEM text or DER bytes (PEM is tried first) to a new certificate the caller frees with X509_free.
unsigned int ConvertCertDataToX509(unsigned char* pbyCertData, int nCertDataSize, X509** ppX509Cert);

// UTCTime or GeneralizedTime as seconds since 1970 UTC. *ptUTCTime is 0 on failure. Only a time
// that ASN1_TIME_check accepts is read: every field a number in its range, then a zone mark. That
// also refuses a leap second (seconds 60) and a UTCTime with a fraction of a second (a form that
// type does not have), which is sound: the library reads neither as a time either.
unsigned int ASN1_TIME_To_UTCTime(const ASN1_TIME* pASN1Time, long* ptUTCTime);

unsigned int GetX509NotBefore(X509* pX509Cert, long* ptNotBefore);
unsigned int GetX509NotAfter(X509* pX509Cert, long* ptNotAfter);

// CERT_TYPE_RSA or CERT_TYPE_SM2 from the signature algorithm; *pnCertType is CERT_TYPE_UNKNOWN on
// failure (an algorithm that is neither).
unsigned int GetX509CertType(X509* pX509Cert, int* pnCertType);

// The subject's first commonName in encoding order, UTF-8. Both out-parameters are required.
unsigned int GetX509SubjectCN(X509* pX509Cert, char** ppszSubjectCN, int* pnSubjectCNLen);

// DN texts; the length out-parameter may be null.
unsigned int GetX509SubjectDN(X509* pX509Cert, char** ppszSubjectDN, int* pnSubjectDNLen);
unsigned int GetX509IssuerDN(X509* pX509Cert, char** ppszIssuerDN, int* pnIssuerDNLen);

// Serial magnitude in hex, with a leading "00" when its first byte has the top bit set; serial 0
// fails. The length out-parameter may be null.
unsigned int GetX509SerialNumber(X509* pX509Cert, char** ppszSerialNumber, int* pnSerialNumberLen);

// The subjectKeyIdentifier extension's key identifier in hex. The length out-parameter may be null.
unsigned int GetX509SubjectKeyID(X509* pX509Cert, char** ppszSubjectKeyID, int* pnSubjectKeyIDLen);

// The outer signature algorithm's OID in dotted form; with a null out-parameter only checked.
unsigned int GetX509CertAlg(X509* pX509Cert, char** ppszCertAlg);

#endif
