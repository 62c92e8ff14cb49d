// The SM content types of PKCS#7 and PKCS#12: SM data (1.2.156.10197.6.1.4.2.1) in place of data
// and SM signedData (1.2.156.10197.6.1.4.2.2) in place of signedData.
//
// The crypto library knows neither: it reads SM signedData as an opaque "other" type, whose content
// must never be taken for signed data. The readers here normalise at the boundary instead. What they
// hand out carries the data and signedData types with their usual contents, so every stock PKCS#7
// and PKCS#12 function (PKCS7_verify, PKCS7_dataInit, PKCS7_get_signer_info, PKCS12_verify_mac,
// PKCS12_parse, ...) works on it unchanged; SM_i2d_PKCS7 writes the SM types back.
//
// Which types were SM is handed to the caller, who keeps it with the structure and gives it back
// to SM_i2d_PKCS7. Nothing is remembered per structure: a structure that is freed, retyped or
// replaced by another at the same address can never be written with someone else's SM types.
#ifndef VARNELL_CRYPTOEXT_SM_CONTENT_TYPES_H
#define VARNELL_CRYPTOEXT_SM_CONTENT_TYPES_H

#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>

#include <cstdio>

// Where a structure uses the SM types (bits, as SM_d2i_PKCS7 reports them).
constexpr int SM_PKCS7_TYPE_OUTER = 0x1;    // its own type: SM signedData or SM data
constexpr int SM_PKCS7_TYPE_CONTENT = 0x2;  // the type of a signedData's content: SM data
constexpr int SM_PKCS7_TYPES_ALL = SM_PKCS7_TYPE_OUTER | SM_PKCS7_TYPE_CONTENT;

// d2i_PKCS7 with the SM types normalised: SM signedData becomes signedData (its content read as
// SignedData), SM data becomes data, both for the structure and for a signedData's content.
// *pnSmTypes (optional) receives the SM_PKCS7_TYPE_ bits of what was SM, 0 for stock input.
// Malformed SM content gives null with (33, 113) queued: a structure's content of the wrong ASN.1
// type (not a SEQUENCE holding exactly one SignedData for SM signedData, not an OCTET STRING for
// SM data) or an absent one (33, 122); an absent signed content is a detached signature, not an
// error. Other types, the unassigned neighbours of the SM ones included, stay as the library reads
// them; so does an SM signedData nested as a signedData's content (the library cannot take nested
// signed content as data either). On success *a (when a is given) is freed and replaced and *pp
// advanced; on failure *a, *pp and *pnSmTypes are left as they were.
PKCS7* SM_d2i_PKCS7(PKCS7** a, const unsigned char** pp, long length, int* pnSmTypes);

// i2d_PKCS7 with the SM object identifiers where nSmTypes says: the bits SM_d2i_PKCS7 reported
// write DER input back byte for byte. Bits that do not apply to the structure (the content bit on
// anything but signedData with data content, the outer bit on types other than data and
// signedData) are ignored; 0 is i2d_PKCS7 itself. p7 is not changed.
int SM_i2d_PKCS7(const PKCS7* p7, int nSmTypes, unsigned char** out);

// PKCS7_set_type that also takes kNidSmSignedData (a signedData of version 1) and kNidSmData (an
// empty OCTET STRING). The structure gets the stock type; write it with SM_PKCS7_TYPE_OUTER.
int SM_PKCS7_set_type(PKCS7* p7, int type);

// d2i_PKCS12 that also reads files whose authenticated safe has an SM content type. The safe's
// octets are untouched, so PKCS12_verify_mac checks the file's own MAC. The _fp form reads one
// structure from the stream's current position, as d2i_PKCS12_fp does.
PKCS12* SM_d2i_PKCS12(PKCS12** a, const unsigned char** pp, long length);
PKCS12* SM_d2i_PKCS12_fp(FILE* fp, PKCS12** a);

// PKCS12_unpack_authsafes with each safe normalised, so that PKCS12_unpack_p7data takes SM data
// safes. Free with sk_PKCS7_pop_free(..., PKCS7_free). Null when the library's unpacking fails or
// a safe is malformed.
STACK_OF(PKCS7)* SM_PKCS12_unpack_authsafes(const PKCS12* p12);

// PKCS12_parse that also reads safes of the SM data type (the library's parser skips them as an
// unknown type). When there are such safes, the MAC is checked with pass first (failure:
// (35, 113), 0), then the normalised safes replace p12's and the MAC is set again with the same
// password, salt, iteration count and digest, so that the library's parser runs on the same
// contents; p12 is changed that way. Otherwise this is PKCS12_parse itself.
int SM_PKCS12_parse(PKCS12* p12, const char* pass, EVP_PKEY** pkey, X509** cert, STACK_OF(X509)** ca);

#endif
