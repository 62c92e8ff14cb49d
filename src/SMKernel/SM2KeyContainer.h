// SM2 key container: one SM2 certificate and its private key, the key encrypted under a PIN.
//
//   SM2_PFX ::= SEQUENCE { version INTEGER (1), privateData SM2_PRIVATE_DATA, publicData SM2_PUBLIC_DATA }
//   SM2_PRIVATE_DATA ::= SEQUENCE { dataID OBJECT IDENTIFIER (1.2.156.10197.6.1.4.2.1, SM data),
//                                   dataEncryptedAlg OBJECT IDENTIFIER (1.2.156.10197.1.104, SM4),
//                                   encryptedSM2PrivateKey OCTET STRING }
//   SM2_PUBLIC_DATA ::= SEQUENCE { dataID OBJECT IDENTIFIER, SM2Certificate OCTET STRING (DER) }
//
// The private key (the big-endian scalar d) is encrypted with SM4EncryptByPin (SM2SM4Data.h): a
// 32-octet key becomes 48 octets. On disk a container is the Base64 text of its DER; the functions
// here take and give the DER.
//
// Results: QOVA_OK; QOVA_E_NOT_KEY_CONTAINER when the data is not an SM2_PFX; QOVA_E_CONTAINER_PIN
// when the PIN does not open the private key (the padding does not check, or the key it gives is not
// the certificate's); QOVA_E_FAIL for a failed crypto-library step or a
// certificate whose public key cannot be read; QOVA_E_INVALIDARG for a missing argument; the SM4
// codes passed up by EncapsulateSM2PFX. Buffers handed out are new[] arrays that the caller
// delete[]s; nothing is handed out on failure.
#ifndef VARNELL_SMKERNEL_SM2_KEY_CONTAINER_H
#define VARNELL_SMKERNEL_SM2_KEY_CONTAINER_H

#include "QovaResult.h"

#include <openssl/asn1.h>

// Each record owns what it points to.
typedef struct SM2_PRIVATE_DATA_st
{
    ASN1_OBJECT* dataID;
    ASN1_OBJECT* dataEncryptedAlg;
    ASN1_OCTET_STRING* encryptedSM2PrivateKey;
} SM2_PRIVATE_DATA;

typedef struct SM2_PUBLIC_DATA_st
{
    ASN1_OBJECT* dataID;
    ASN1_OCTET_STRING* SM2Certificate;
} SM2_PUBLIC_DATA;

typedef struct SM2_PFX_st
{
    ASN1_INTEGER* version;
    SM2_PRIVATE_DATA* privateData;
    SM2_PUBLIC_DATA* publicData;
} SM2_PFX;

// d2i_, i2d_, _new, _free and the item descriptors (_it), in the crypto library's conventions.
DECLARE_ASN1_FUNCTIONS(SM2_PRIVATE_DATA)
DECLARE_ASN1_FUNCTIONS(SM2_PUBLIC_DATA)
DECLARE_ASN1_FUNCTIONS(SM2_PFX)

// An opened container. The caller provides the record zeroed and releases its buffers with
// CleanupSM2KeyPair.
typedef struct _SM2_KEY_PAIR
{
    unsigned char* pbyPrivateKey;
    int nPrivateKeySize;
    unsigned char* pbyPublicKeyX;  // 32 octets
    int nPublicKeyXSize;
    unsigned char* pbyPublicKeyY;  // 32 octets
    int nPublicKeyYSize;
} SM2_KEY_PAIR;

// Identifiers are dotted text, converted numerically. QOVA_OK or QOVA_E_FAIL.
unsigned int CreateSM2PrivateData(const char* dataID, const char* dataEncryptedAlg, unsigned char* encryptedKey,
                                  unsigned int encryptedKeyLength, SM2_PRIVATE_DATA** out);
unsigned int CreateSM2PublicData(const char* dataID, unsigned char* certificate, unsigned int certificateLength,
                                 SM2_PUBLIC_DATA** out);
// On success the container owns both parts and both references are set to null; on failure they
// stay with the caller.
unsigned int CreateSM2PFX(long version, SM2_PRIVATE_DATA*& privateData, SM2_PUBLIC_DATA*& publicData, SM2_PFX** out);

// The DER of a new container for the certificate (DER octets, kept unchanged) and the private key.
unsigned int EncapsulateSM2PFX(unsigned char* certificate, int certificateLength, unsigned char* privateKey,
                               int privateKeyLength, char* pin, unsigned char** out, int* outLength);

// Copies of the encrypted private key and of the certificate. Each output is skipped unless both
// of its pointers are given. Octets after the structure are ignored; the version and the
// identifiers are not examined.
unsigned int ParseSM2PFX(unsigned char* data, int dataLength, unsigned char** encryptedPrivateKey,
                         int* encryptedPrivateKeyLength, unsigned char** certificate, int* certificateLength);

// Opens the container with the PIN: fills keyPair when it is not null, and hands out the
// certificate when both of its pointers are given. The private key must give the certificate's
// public point on the certificate's own curve (SM2 or another named curve): a container whose key
// is not its certificate's does not open.
unsigned int DecryptSM2PFX(unsigned char* data, int dataLength, char* pin, SM2_KEY_PAIR* keyPair,
                           unsigned char** certificate, int* certificateLength);
// The same without the certificate; keyPair must be given.
unsigned int DecryptKeyPairFromSM2PFX(unsigned char* data, int dataLength, char* pin, SM2_KEY_PAIR* keyPair);

// Releases the three buffers (the private key cleared first) and sets their pointers to null; the
// sizes stay. A null record is ignored, and a second call releases nothing.
void CleanupSM2KeyPair(SM2_KEY_PAIR* keyPair);

#endif
