// CMS structures built and read with the DER tree engine: object identifiers from dotted text,
// AlgorithmIdentifiers, ContentInfo, and an EnvelopedData with exactly one key-transport recipient
// named by its subject key identifier:
//
//   ContentInfo { contentType, [0] EnvelopedData { version 2, SET { KeyTransRecipientInfo {
//       version 2, [0] subjectKeyIdentifier, keyEncryptionAlgorithm (NULL parameters),
//       encryptedKey } }, EncryptedContentInfo { contentType, contentEncryptionAlgorithm,
//       [0] encryptedContent } } }
//
// The encrypted content is the last element of every enclosing structure, so a writer may emit
// the envelope without it and append the ciphertext.
//
// Object identifiers cross these interfaces as NUL-terminated dotted text and are converted
// numerically. Results: QOVA_OK; QOVA_E_FAIL for a failed library call, a failed parse or a
// failed identifier conversion; QOVA_E_ENVELOPE_SHAPE for an envelope of the wrong shape;
// QOVA_E_INVALIDARG for a missing or negative argument; the DER engine's codes passed up. Output
// buffers are new[] arrays that the caller delete[]s; output nodes are released with delete.
// Nothing is handed out on failure.
#ifndef VARNELL_SMKERNEL_CMS_STRUCTURES_H
#define VARNELL_SMKERNEL_CMS_STRUCTURES_H

#include "NodeEx.h"
#include "QovaResult.h"

#include <cstdio>

// Dotted text of a crypto-library NID; *oidLength is the text length without the NUL.
unsigned int GetOIDFromNID(int nid, char** oid, int* oidLength);

// Content octets of the identifier, or with wrap its whole TLV (tag 06).
unsigned int Encode_ObjectIdentifier(const char* oid, unsigned char** out, int* outLength, bool wrap);

// The identifier's TLV followed by parametersLength octets of already encoded parameters (05 00
// for NULL, 04 len IV for an IV); with wrap, inside a SEQUENCE TLV.
unsigned int Encode_AlgorithmIdentifier(const char* oid, unsigned char* parameters, int parametersLength,
                                        unsigned char** out, int* outLength, bool wrap);

// A leaf tagged 06 holding the identifier's content octets.
unsigned int ConstructNode_ObjectIdentifier(const char* oid, NodeEx** node);

// A leaf tagged 30 holding the identifier's TLV and the parameter octets.
unsigned int ConstructNode_AlgorithmIdentifier(const char* oid, unsigned char* parameters, int parametersLength,
                                               NodeEx** node);

// SEQUENCE { INTEGER version (its low octet), [0] rid, AlgorithmIdentifier, OCTET STRING key }.
unsigned int ConstructNode_KeyTransRecipientInfo(int version, unsigned char* rid, int ridLength,
                                                 const char* keyEncryptionOID, unsigned char* parameters,
                                                 int parametersLength, unsigned char* encryptedKey,
                                                 int encryptedKeyLength, NodeEx** node);

// SEQUENCE { contentType, AlgorithmIdentifier, [0] encryptedContent }. The [0] node always counts
// encryptedContentLength octets; with a null encryptedContent it holds none (only its identifier
// and length octets are encoded, the caller writes the content after them).
unsigned int ConstructNode_EncryptedContentInfo(const char* contentTypeOID, const char* contentEncryptionOID,
                                                unsigned char* parameters, int parametersLength,
                                                unsigned char* encryptedContent, int encryptedContentLength,
                                                NodeEx** node);

// SEQUENCE { INTEGER version, recipientInfos, encryptedContentInfo }. Takes ownership of both
// nodes on every path.
unsigned int ConstructNode_EnvelopedData(int version, NodeEx* recipientInfos, NodeEx* encryptedContentInfo,
                                         NodeEx** node);

// SEQUENCE { contentType, [0] { content } }. Takes ownership of content on success only.
unsigned int ConstructNode_ContentInfo(const char* contentTypeOID, NodeEx* content, NodeEx** node);

// The whole envelope, DER in memory. With a null encryptedContent every length still counts
// encryptedContentLength content octets, which are not written.
unsigned int Encode_CMSEnvelope(const char* contentTypeOID, unsigned char* recipientKeyID, int recipientKeyIDLength,
                                const char* keyEncryptionOID, unsigned char* encryptedKey, int encryptedKeyLength,
                                const char* encryptedContentTypeOID, const char* contentEncryptionOID,
                                unsigned char* contentEncryptionParameters, int contentEncryptionParametersLength,
                                unsigned char* encryptedContent, int encryptedContentLength, unsigned char** out,
                                int* outLength);

// Reads an envelope of the shape above from memory. Every output is optional (a null pointer skips
// it). Byte outputs are value octets without tag and length; identifiers come back as dotted text
// with their length without the NUL; the encrypted content is followed by one 00 octet that its
// length does not count; parameters without value octets (NULL) come back as null and 0.
unsigned int Decode_CMSEnvelopeData(unsigned char* data, int dataLength, unsigned char** recipientKeyID,
                                    int* recipientKeyIDLength, unsigned char** encryptedKey, int* encryptedKeyLength,
                                    unsigned char** encryptedContent, int* encryptedContentLength,
                                    char** keyEncryptionOID, int* keyEncryptionOIDLength, char** contentEncryptionOID,
                                    int* contentEncryptionOIDLength, unsigned char** contentEncryptionParameters,
                                    int* contentEncryptionParametersLength);

// The same from an open file whose envelope starts at offset 0; the encrypted content comes back
// as a copy of its node and children, a root that still refers to the file by offsets (the file
// must stay open while it is read). The file position is restored on every path.
unsigned int Decode_CMSEnvelopeFile(FILE* file, unsigned char** recipientKeyID, int* recipientKeyIDLength,
                                    unsigned char** encryptedKey, int* encryptedKeyLength,
                                    NodeEx** encryptedContentNode, char** keyEncryptionOID,
                                    int* keyEncryptionOIDLength, char** contentEncryptionOID,
                                    int* contentEncryptionOIDLength, unsigned char** contentEncryptionParameters,
                                    int* contentEncryptionParametersLength);

#endif
