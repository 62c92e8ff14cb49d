// Digests of memory buffers and open files, and the object identifiers a SignerInfo needs for an
// RSA signature made with a given digest.
//
// Digests are chosen by the crypto library's NID (hash NID): NID_md5, NID_sha1, NID_sha256,
// NID_sha384, NID_sha512 and kNidSm3 are the ones the system uses; any digest the library knows by
// the NID's short name is accepted (SM3 is ours once SM_crypto_init has registered it).
//
// Results: QOVA_OK; QOVA_E_BAD_ALGID for a NID without digest; QOVA_E_READ_FAULT when a file
// read fails or comes short, or the file is 2^31 bytes or larger; QOVA_E_INVALIDARG for a missing
// argument; QOVA_E_FAIL when the library fails or for a NID outside the identifier table. Outputs
// are new[] arrays that the caller delete[]s, written only on success.
#ifndef VARNELL_SMKERNEL_DIGEST_H
#define VARNELL_SMKERNEL_DIGEST_H

#include "QovaResult.h"

#include <cstdio>

// Files are read in blocks of this size, up to HASH_FILE_READ_BLOCKS blocks per read.
constexpr int HASH_FILE_BLOCK_SIZE = 0x4000;
constexpr int HASH_FILE_READ_BLOCKS = 64;
// Each identifier text handed out by GetAlgOIDbyHashNID sits in a zeroed buffer of this size.
constexpr int HASH_OID_BUFFER_SIZE = 512;

// Digest algorithm and signature algorithm identifiers (dotted text) for MD5, SHA-1, SHA-256,
// SHA-384 and SHA-512. SHA-1 always gives plain rsaEncryption as its signature algorithm; so does
// every digest when bAccurateDigestEncryptionAlgorithm is false.
unsigned int GetAlgOIDbyHashNID(int nHashID, char** digestOID, char** signatureOID,
                                bool bAccurateDigestEncryptionAlgorithm);

// Digest of nDataSize octets at pbyData (an empty buffer may be null).
unsigned int CalculateDataHash(unsigned char* pbyData, int nDataSize, int nHashID, unsigned char** hash,
                               int* hashSize);

// Digest of the whole file from its first octet, wherever the stream stood; the stream is left
// where the reading ended.
unsigned int CalculateFileHash(FILE* fpSourceFile, int nHashID, unsigned char** hash, int* hashSize);

#endif
