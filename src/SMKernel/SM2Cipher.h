// SM2 ciphertext in the kernel's two forms besides the crypto library's own:
//
//   raw     x1 (32) || y1 (32) || C2 (message length) || C3 (32): 96 + message length octets, no 0x04
//   DER     SM2Cipher ::= SEQUENCE { XCoordinate INTEGER, YCoordinate INTEGER,
//                                    HASH OCTET STRING (C3), CipherText OCTET STRING (C2) }
//
// The writer gives the coordinates as minimal DER INTEGERs (leading zero octets dropped, a 00 sign
// octet in front of a first octet of 0x80 or above), as every DER reader expects; the reader takes
// 1 to 33 value octets per coordinate and right-aligns them in 32.
//
// Results: QOVA_OK; QOVA_E_INVALIDARG for a missing argument or a raw form without C2; QOVA_E_FAIL
// for DER that does not parse; QOVA_E_MALFORMED for an SM2Cipher with the wrong number of fields
// or wrong field sizes; the DER engine's encoding codes. Buffers handed out are new[] arrays that
// the caller delete[]s; nothing is handed out on failure.
#ifndef VARNELL_SMKERNEL_SM2_CIPHER_H
#define VARNELL_SMKERNEL_SM2_CIPHER_H

#include "NodeEx.h"
#include "QovaResult.h"

// The SM2Cipher tree; x, y and hash are 32 octets each, every value is copied into the nodes.
unsigned int ConstructNode_SM2Cipher(unsigned char* x, unsigned char* y, unsigned char* hash,
                                     unsigned char* cipherText, int cipherTextLength, NodeEx** node);

// Raw form to DER.
unsigned int Encode_SM2Cipher(unsigned char* raw, int rawLength, unsigned char** der, int* derLength);

// DER to raw form; *rawLength = C2 length + 96.
unsigned int Decode_SM2Cipher(unsigned char* der, int derLength, unsigned char** raw, int* rawLength);

#endif
