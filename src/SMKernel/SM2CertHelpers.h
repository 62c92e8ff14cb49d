// Pieces of a certificate (PEM or DER octets) in the forms the kernel's builders need: the DER of
// the issuer Name and of the serial-number INTEGER (IssuerAndSerialNumber), the raw subject key
// identifier (the recipient identifier of CMS envelopes), the public point of an elliptic-curve
// key as two 32-octet coordinates; the elliptic-curve key of a key object; and the encoder of an
// ECPrivateKey structure.
//
// Results: QOVA_OK; QOVA_E_FAIL for a failed library step, a certificate that is neither PEM nor
// DER, a missing or malformed subject key identifier, or a key that is not an elliptic-curve key
// with 32-octet coordinates; QOVA_E_INVALIDARG for a missing argument; the DER engine's codes
// passed up. Outputs are new[] arrays that the caller delete[]s, written only on success.
#ifndef VARNELL_SMKERNEL_SM2_CERT_HELPERS_H
#define VARNELL_SMKERNEL_SM2_CERT_HELPERS_H

#include "NodeEx.h"
#include "QovaResult.h"

#include <openssl/types.h>

// The elliptic-curve key (SM2 or another named curve) held by the key object, without a reference
// of its own: valid while the key object lives. Keys the library holds in a provider (those of
// certificates, for instance) get an equivalent key built once and kept with the key object. Null
// for a key of another type, or one whose curve has no name.
struct ec_key_st* EVP_PKEY_get0_SM2_KEY(EVP_PKEY* key);

// X and Y of the certificate's elliptic-curve public key, 32 octets each, big-endian and
// right-aligned; both lengths come back as 32. The curve is not compared with the SM2 curve.
unsigned int GetPublicKeyXYFromSM2Cert(unsigned char* cert, int certLength, unsigned char** publicKeyX,
                                       int* publicKeyXLength, unsigned char** publicKeyY, int* publicKeyYLength);

// The issuer and serial readers take only bytes that are one well-formed certificate (DER, or PEM
// text of one), every field checked to the end and nothing after it, but the public key is not
// decoded; anything else fails with QOVA_E_FAIL.
// The complete DER TLV of the issuer Name.
unsigned int GetIssuerFromCert(unsigned char* cert, int certLength, unsigned char** issuer, int* issuerLength);

// The complete DER TLV of the serial number, in the certificate's minimal form.
unsigned int GetSerialNumberFromCert(unsigned char* cert, int certLength, unsigned char** serialNumber,
                                     int* serialNumberLength);

// The key identifier octets of the subjectKeyIdentifier extension: its value decoded as an OCTET
// STRING, whatever the form of its length.
unsigned int GetSubjectKeyIDFromCert(unsigned char* cert, int certLength, unsigned char** keyID, int* keyIDLength);

// SEQUENCE { INTEGER version (its low octet), INTEGER privateKey (a 00 octet in front when the
// first octet is 0x80 or above), [0] { curve OID }, [1] { BIT STRING 00 04 X Y } }.
unsigned int ConstructNode_ECPrivateKey(int version, const char* curveOID, unsigned char* privateKey,
                                        int privateKeyLength, unsigned char* publicKeyX, int publicKeyXLength,
                                        unsigned char* publicKeyY, int publicKeyYLength, NodeEx** node);

// The same structure as DER in memory.
unsigned int EncodeECPrivateKey(int version, const char* curveOID, unsigned char* privateKey, int privateKeyLength,
                                unsigned char* publicKeyX, int publicKeyXLength, unsigned char* publicKeyY,
                                int publicKeyYLength, unsigned char** out, int* outLength);

#endif
