// PKCS#7 SignedData with one signer, built from finished parts and read back with the DER tree
// engine, and SM2 signatures between the token's DER form and the raw form r||s.
//
// The structure written (and read):
//
//   ContentInfo { contentInfoOID, [0] SignedData { version 1, SET { digestAlgorithm },
//       ContentInfo { contentTypeOID [, [0] { OCTET STRING content }] }, [0] certificate,
//       SET { SignerInfo { version 1, issuerAndSerialNumber, digestAlgorithm,
//           [[0] signed attributes], digestEncryptionAlgorithm, signature, [[1] unsigned attributes] } } } }
//
// Every AlgorithmIdentifier carries NULL parameters. Object identifiers cross these interfaces as
// dotted text. The signature stands in one of four encodings (SIGNATURE_ENCODED_*); the SM2 ones
// are given the raw 64-octet r||s (r the first 32 octets, s the last 32, big-endian).
//
// Results: QOVA_OK; QOVA_E_INVALIDARG for a refused encoding code, an SM2 signature that is not 64
// octets, or a missing argument; QOVA_E_PKCS7_SHAPE for a structure of the wrong shape;
// QOVA_E_MALFORMED for an attribute block of the wrong shape or without the attribute looked for;
// QOVA_E_FAIL for attached content without data or file, a failed parse, an identifier that does
// not convert, or an SM2 signature that does not decode; the codes of the DER engine and of the CMS
// and certificate helpers passed up. Buffers handed out are new[] arrays that the caller delete[]s;
// nodes handed out are released with delete (or by the parent they are added to). Nothing is
// handed out on failure.
#ifndef VARNELL_SMKERNEL_PKCS7_SIGNED_DATA_OPERATIONS_H
#define VARNELL_SMKERNEL_PKCS7_SIGNED_DATA_OPERATIONS_H

#include "NodeEx.h"
#include "QovaResult.h"

#include <openssl/types.h>

#include <cstdio>
#include <vector>

// Signature encodings: what stands in the SignerInfo after digestEncryptionAlgorithm.
constexpr unsigned long SIGNATURE_ENCODED_OCTET_STRING = 0x000;   // OCTET STRING of the signature (RSA)
constexpr unsigned long SIGNATURE_ENCODED_SM2_INTEGERS = 0x100;   // INTEGER r, INTEGER s as two fields
constexpr unsigned long SIGNATURE_ENCODED_SM2_SEQUENCE = 0x200;   // SEQUENCE { INTEGER r, INTEGER s }
constexpr unsigned long SIGNATURE_ENCODED_SM2_DER_OCTETS = 0x400; // OCTET STRING holding that SEQUENCE's DER

// Raw SM2 signature r||s.
constexpr int SM2_RAW_RS_SIZE = 64;
// DER SEQUENCE { INTEGER r, INTEGER s } sizes Decode_SM2Q1 accepts.
constexpr int SM2_DER_SIGNATURE_MIN_SIZE = 66;
constexpr int SM2_DER_SIGNATURE_MAX_SIZE = 72;

// The whole ContentInfo as DER. The certificate is DER; its issuer and serial number name the
// signer. Content (only with bWithSourceData) comes from memory when pbySourceData is given, else
// from the open file (its whole size, read when the tree is encoded; 2^31 octets or more are
// refused). The attribute nodes may be null; they are always taken over (released with the tree,
// also on failure). Output to memory when outData is given (with outDataSize), else to outFile at
// its position (octets written in *outFileSize when given), else built and dropped.
unsigned int Encode_PKCS7Signature(unsigned char* pbyCert, int nCertSize, unsigned char* pbySourceData,
                                   int nSourceDataSize, FILE* fpSourceFile, bool bWithSourceData,
                                   const char* contentInfoOID, const char* contentTypeOID,
                                   const char* digestAlgorithmOID, NodeEx* authenticatedAttributes,
                                   const char* digestEncryptionAlgorithmOID, unsigned char* signature,
                                   int signatureSize, unsigned long encodedType, NodeEx* unauthenticatedAttributes,
                                   unsigned char** outData, int* outDataSize, FILE* outFile, int* outFileSize);

// SEQUENCE { version, SET { digestAlgorithm }, ContentInfo, [0] certificate, signerInfos }. Takes
// signerInfos over on success only.
unsigned int ConstructNode_SignedData(int version, const char* digestAlgorithmOID, const char* contentTypeOID,
                                      unsigned char* pbySourceData, int nSourceDataSize, FILE* fpSourceFile,
                                      bool bWithSourceData, unsigned char* pbyCert, int nCertSize,
                                      NodeEx* signerInfos, NodeEx** out);

// One SignerInfo. The issuer-and-serial and attribute nodes (attributes may be null) are taken
// over on success only: on failure they stay the caller's.
unsigned int ConstructNode_SignerInfo(int version, NodeEx* issuerAndSerialNumber, const char* digestAlgorithmOID,
                                      NodeEx* authenticatedAttributes, const char* digestEncryptionAlgorithmOID,
                                      unsigned char* signature, int signatureSize, unsigned long encodedType,
                                      NodeEx* unauthenticatedAttributes, NodeEx** out);

// A SEQUENCE leaf holding the issuer Name's DER followed by the serial INTEGER's DER.
unsigned int ConstructNode_IssuerAndSerialNumber(unsigned char* issuer, int issuerSize, unsigned char* serial,
                                                 int serialSize, NodeEx** out);

// SEQUENCE { INTEGER r, INTEGER s } from unsigned big-endian octets as given: a 00 octet is put in
// front of a first octet of 0x80 or above; nothing is trimmed.
unsigned int ConstructNode_SM2Q1(unsigned char* r, int rSize, unsigned char* s, int sSize, NodeEx** out);
unsigned int Encode_SM2Q1(unsigned char* r, int rSize, unsigned char* s, int sSize, unsigned char** out,
                          int* outSize);

// SEQUENCE { OID, SET { values } }: values is the complete DER of the attribute's values.
unsigned int ConstructNode_Attribute(const char* oid, unsigned char* values, int valuesSize, NodeEx** out);
// [0] / [1] holding the attribute nodes in vector order; each slot is set to null as its node is
// taken over.
unsigned int ConstructNode_SignedAttributes(std::vector<NodeEx*>* attributes, NodeEx** out);
unsigned int ConstructNode_UnsignedAttributes(std::vector<NodeEx*>* attributes, NodeEx** out);
unsigned int ConstructNode_SignedAttributes_SingleItem(const char* oid, unsigned char* values, int valuesSize,
                                                       NodeEx** out);
unsigned int ConstructNode_UnsignedAttributes_SingleItem(const char* oid, unsigned char* values, int valuesSize,
                                                         NodeEx** out);

// DER SEQUENCE { INTEGER r, INTEGER s } of 66 to 72 octets to r||s (64 octets): each INTEGER's
// last 32 content octets, right-aligned; the sign is not interpreted.
unsigned int Decode_SM2Q1(unsigned char* der, int size, unsigned char** rs, int* rsSize);

// The pieces of a SignedData in memory. Every pair is optional (a null buffer pointer skips the
// piece; a given one needs its size pointer); an absent piece comes back as null and 0. SM2
// signatures come back as r||s (the OCTET STRING form under the SM signedData type only with
// bDecodeSM2Q1, else its content as it is); RSA signatures as they are. The content is followed by
// one 00 octet its size does not count. Identifiers are dotted text; attribute blocks are whole
// [0] / [1] elements. Only the first SignerInfo is read; with several certificates the one whose
// serial number the SignerInfo names is returned (none matching is no failure).
unsigned int ParsePKCS7Signature(unsigned char* data, int size, unsigned char** cert, int* certSize,
                                 unsigned char** signature, int* signatureSize, unsigned char** content,
                                 int* contentSize, char** digestOID, int* digestOIDSize, char** digestEncryptionOID,
                                 int* digestEncryptionOIDSize, unsigned char** signedAttributes,
                                 int* signedAttributesSize, unsigned char** unsignedAttributes,
                                 int* unsignedAttributesSize, int bDecodeSM2Q1);

// The same for an attached SignedData in an open file (from offset 0): the content stays in the
// file and comes back as the offset of its first octet and its size; SM2 signatures are always
// decoded. The file position is restored on every path.
unsigned int ParsePKCS7AttachedSignatureFile(FILE* file, unsigned char** cert, int* certSize,
                                             unsigned char** signature, int* signatureSize, long long* contentOffset,
                                             int* contentSize, char** digestOID, int* digestOIDSize,
                                             char** digestEncryptionOID, int* digestEncryptionOIDSize,
                                             unsigned char** signedAttributes, int* signedAttributesSize,
                                             unsigned char** unsignedAttributes, int* unsignedAttributesSize);

// The values (the SET's content) of the first attribute with the identifier in an attribute block
// as ParsePKCS7Signature returns it.
unsigned int ParseSignedUnsignedAttributes(unsigned char* attributes, int size, const char* oid,
                                           unsigned char** values, int* valuesSize);

// The same pieces through the crypto library's PKCS#7 reader: the signer's certificate found by
// issuer and serial (X509_free), the digest NID, the signature and the data content; each optional.
// Any failure is QOVA_E_PKCS7_SHAPE.
unsigned int DecodeRSAPKCS7Signature(unsigned char* data, int size, X509** cert, int* digestNID,
                                     unsigned char** signature, int* signatureSize, unsigned char** content,
                                     int* contentSize);

#endif
