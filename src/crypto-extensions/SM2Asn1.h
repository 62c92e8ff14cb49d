// The DER types of the SM2 additions: the SM2 private key with an INTEGER scalar, the SM2 ciphertext
// SM2Cipher, the enveloped key, the key-container items, the dual public key and the attribute whose
// value may be a challenge password or a dual public key.
//
// Each type comes with the crypto library's usual functions: Type_new, Type_free, d2i_Type, i2d_Type
// and the item Type_it. The header names EC keys as `struct ec_key_st` so that code built against the
// 3.0 API without deprecated declarations can include it.
#ifndef VARNELL_CRYPTOEXT_SM2_ASN1_H
#define VARNELL_CRYPTOEXT_SM2_ASN1_H

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/safestack.h>

#include <cstdint>
#include <cstdio>

// SEQUENCE { version INTEGER, privateKey INTEGER, parameters [0] ECPKParameters OPTIONAL,
//            publicKey [1] BIT STRING OPTIONAL }: an EC private key whose scalar is an INTEGER.
struct SM2_PRIVATEKEY
{
    int32_t version;
    ASN1_INTEGER* privateKey;
    ECPKPARAMETERS* parameters;
    ASN1_BIT_STRING* publicKey;
};
DECLARE_ASN1_FUNCTIONS(SM2_PRIVATEKEY)

// SEQUENCE { XCoordinate INTEGER, YCoordinate INTEGER, HASH OCTET STRING (C3),
//            cipherText OCTET STRING (C2) }.
struct SM2Cipher
{
    BIGNUM* XCoordinate;
    BIGNUM* YCoordinate;
    ASN1_OCTET_STRING* HASH;
    ASN1_OCTET_STRING* cipherText;
};
DECLARE_ASN1_FUNCTIONS(SM2Cipher)

// The enveloped key's own algorithm identifier: SEQUENCE { algorithm OBJECT IDENTIFIER }, no
// parameters field. Its item and functions are named AlgorithmIdentifier.
struct SM2_ALGORITHM_IDENTIFIER
{
    ASN1_OBJECT* algorithm;
};
DECLARE_ASN1_FUNCTIONS_name(SM2_ALGORITHM_IDENTIFIER, AlgorithmIdentifier)

// SEQUENCE { symAlgID AlgorithmIdentifier, symEncryptedKey SM2Cipher, Sm2PublicKey BIT STRING,
//            Sm2EncryptedPrivateKey BIT STRING }.
struct SM2EnvelopedKey
{
    SM2_ALGORITHM_IDENTIFIER* symAlgID;
    SM2Cipher* symEncryptedKey;
    ASN1_BIT_STRING* Sm2PublicKey;
    ASN1_BIT_STRING* Sm2EncryptedPrivateKey;
};
DECLARE_ASN1_FUNCTIONS(SM2EnvelopedKey)

// The SM2 key container: SEQUENCE { version INTEGER, privateData, publicData }.
struct PFX_SM2_PRIVATE_DATA
{
    ASN1_OBJECT* dataID;
    ASN1_OBJECT* dataEncryptedAlg;
    ASN1_OCTET_STRING* encryptedSM2PrivateKey;
};
DECLARE_ASN1_FUNCTIONS(PFX_SM2_PRIVATE_DATA)

struct PFX_SM2_PUBLIC_DATA
{
    ASN1_OBJECT* dataID;
    ASN1_OCTET_STRING* SM2Certificate;
};
DECLARE_ASN1_FUNCTIONS(PFX_SM2_PUBLIC_DATA)

struct PFX_SM2
{
    ASN1_INTEGER* version;
    PFX_SM2_PRIVATE_DATA* privateData;
    PFX_SM2_PUBLIC_DATA* publicData;
};
DECLARE_ASN1_FUNCTIONS(PFX_SM2)

// The dual public key: SEQUENCE { version INTEGER, tmppubkey OCTET STRING }, an item that may be
// streamed with indefinite lengths (plain DER encoding gives definite ones).
struct X509_PUBKEY_DOUBLE
{
    ASN1_INTEGER* version;
    ASN1_OCTET_STRING* tmppubkey;
};
DECLARE_ASN1_FUNCTIONS(X509_PUBKEY_DOUBLE)

constexpr int X509_PUBKEY_DOUBLE_BLOCK_LENGTH = 136;

// An attribute: SEQUENCE { type OBJECT IDENTIFIER, value CHOICE { set SET OF ANY, single ANY,
// challege_password PrintableString, tmppubkey OCTET STRING } }, the choice selected by `single`
// (0 set, 1 single, 2 challenge password, 3 dual public key). Decoding tries `set`, then `single`:
// the last two alternatives are only ever written.
struct SM_X509_ATTRIBUTE
{
    ASN1_OBJECT* object;
    int single;
    union {
        char* ptr;
        STACK_OF(ASN1_TYPE)* set;
        ASN1_TYPE* single;
        ASN1_PRINTABLESTRING* challege_password;
        ASN1_OCTET_STRING* tmppubkey;
    } value;
};
DEFINE_STACK_OF(SM_X509_ATTRIBUTE)

SM_X509_ATTRIBUTE* SM_X509_ATTRIBUTE_new();
void SM_X509_ATTRIBUTE_free(SM_X509_ATTRIBUTE* a);
SM_X509_ATTRIBUTE* d2i_SM_X509_ATTRIBUTE(SM_X509_ATTRIBUTE** a, const unsigned char** in, long len);
int i2d_SM_X509_ATTRIBUTE(const SM_X509_ATTRIBUTE* a, unsigned char** out);

// Value types of X509_ATTRIBUTE_set1_data_double.
constexpr int SM_ATTRIBUTE_CHALLENGE_PASSWORD = 2;  // PrintableString, selector 2
constexpr int SM_ATTRIBUTE_TMPPUBKEY = 512;         // OCTET STRING, selector 3

// Error-queue entries of the private-key coding (library 16, reason).
constexpr int SM2_ASN1_R_BN_LIB = 3;
constexpr int SM2_ASN1_R_EC_LIB = 16;   // decoding, group, point or other EC failure
constexpr int SM2_ASN1_R_MALLOC_FAILURE = 65;
constexpr int SM2_ASN1_R_PASSED_NULL_PARAMETER = 67;
constexpr int SM2_ASN1_R_MISSING_PRIVATE_KEY = 125;

// Decodes an SM2_PRIVATEKEY into *key (when key and *key are given) or a new EC key. The group comes
// from `parameters`, else from *key. A missing public key is computed from the scalar. On failure
// nothing is changed and null is returned.
struct ec_key_st* d2i_SM2PrivateKey(struct ec_key_st** key, const unsigned char** in, long len);
// Encodes key as SM2_PRIVATEKEY, leaving out the parameters or the public key when the key's
// encoding flags say so. The length, or 0.
int i2d_SM2PrivateKey(const struct ec_key_st* key, unsigned char** out);

// PEM under "EC PRIVATE KEY"; 1 or 0.
int PEM_write_bio_SM2PrivateKey(BIO* bp, const struct ec_key_st* key, const EVP_CIPHER* enc,
                                const unsigned char* kstr, int klen, pem_password_cb* cb, void* u);
int PEM_write_SM2PrivateKey(FILE* fp, const struct ec_key_st* key, const EVP_CIPHER* enc,
                            const unsigned char* kstr, int klen, pem_password_cb* cb, void* u);

// One DER PFX_SM2 from a BIO, or null.
PFX_SM2* d2i_SM2_PFX_bio(BIO* bp, PFX_SM2** pfx);

// Replaces *x with the dual public key of pkey's EC key (version 1 and the 136-byte block:
// 00 B4 00 00, 256 as 32-bit little-endian, x, 32 zero bytes, y, 32 zero bytes). The key's encoded
// point must be 65 bytes (uncompressed, 256-bit curve). 1 or 0.
int X509_PUBKEY_DOUBLE_set(X509_PUBKEY_DOUBLE** x, EVP_PKEY* pkey);

// Appends an attribute with a copy of object and data to *attributes (created when null): type
// SM_ATTRIBUTE_TMPPUBKEY as an OCTET STRING, SM_ATTRIBUTE_CHALLENGE_PASSWORD as a PrintableString.
// 1, or 0 for another type, a null argument, a negative length or an allocation failure (then
// *attributes is unchanged).
int X509_ATTRIBUTE_set1_data_double(STACK_OF(SM_X509_ATTRIBUTE)** attributes, const ASN1_OBJECT* object, int type,
                                    const unsigned char* data, int length);

#endif
