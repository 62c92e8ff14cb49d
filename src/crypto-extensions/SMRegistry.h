// SM object identifiers, curves, digest and cipher entries, the start-up registration, and the
// engine hook slots.
//
// NIDs: the SM2 curve/key type, SM3 and SM2-with-SM3 are the crypto library's own. The others are
// created at start-up and their values vary from run to run: compare them with `if`, never `switch`,
// and never write their numbers down.
#ifndef VARNELL_CRYPTOEXT_SM_REGISTRY_H
#define VARNELL_CRYPTOEXT_SM_REGISTRY_H

#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/types.h>

#include <cstddef>

constexpr int kNidSm2 = NID_sm2;               // 1.2.156.10197.1.301: the SM2 curve and SM2 keys
constexpr int kNidSm3 = NID_sm3;               // 1.2.156.10197.1.401
constexpr int kNidSm2Sm3 = NID_SM2_with_SM3;   // 1.2.156.10197.1.501

// NID_undef until SM_crypto_init (or the first entry accessor) has run.
extern const int& kNidSm2TestCurve;   // 1.2.156.10197.1.888: the standard's example curve
extern const int& kNidSm4Cbc;         // 1.2.156.10197.1.104
extern const int& kNidSm1Cbc;         // 1.2.156.10197.1.102 (object only: there is no SM1 cipher)
extern const int& kNidZuc;            // 1.2.156.10197.1.105
extern const int& kNidSm2Sm3Pkcs7;    // 1.2.156.10197.1.301.1: SM2 digest encryption in PKCS#7 SignerInfos
extern const int& kNidSmData;         // 1.2.156.10197.6.1.4.2.1
extern const int& kNidSmSignedData;   // 1.2.156.10197.6.1.4.2.2

// The names the system's messages use for two of them.
#define NID_ChinaSM3 kNidSm3
#define NID_ChinaSM4_CBC kNidSm4Cbc

// Registers the SM objects, digest and ciphers with the crypto library and loads its providers.
// Runs once per process (later calls return the first result): 1 on success, 0 on failure.
int SM_crypto_init();

// The system's own short names ("ChinaSM2256", "sm3", "sm2-sm3", ...); the library's name for any
// other NID; null for an unknown one.
const char* SM_nid2sn(int nid);

// The digest and cipher entries (also registered by name with SM_crypto_init). Null only when the
// library refuses to create them.
const EVP_MD* SM_EVP_sm3();
const EVP_CIPHER* SM_EVP_sm4_cbc();
const EVP_CIPHER* EVP_zuc();

// A group for a curve NID: the example curve from its published parameters, any other through the
// library's built-in curves. The caller frees it with EC_GROUP_free.
EC_GROUP* SM_EC_GROUP_new_by_curve_name(int nid);

// Extra hooks an engine can carry. Only the decryption hook is called inside the system (by SM2
// decryption through the key method); the other three are stored and handed back.
typedef int (*SM_ENGINE_PKEY_DECRYPT_PTR)(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen,
                                          const unsigned char* in, size_t inlen);
typedef int (*SM_ENGINE_GEN_FUNC_PTR)(void);

int ENGINE_set_pkey_decrypt_function(ENGINE* e, SM_ENGINE_PKEY_DECRYPT_PTR f);
int ENGINE_set_list_object_index_function(ENGINE* e, SM_ENGINE_GEN_FUNC_PTR f);
int ENGINE_set_import_key_function(ENGINE* e, SM_ENGINE_GEN_FUNC_PTR f);
int ENGINE_set_import_encrypted_key_function(ENGINE* e, SM_ENGINE_GEN_FUNC_PTR f);
SM_ENGINE_PKEY_DECRYPT_PTR ENGINE_get_pkey_decrypt_function(const ENGINE* e);
SM_ENGINE_GEN_FUNC_PTR ENGINE_get_list_object_index_function(const ENGINE* e);
SM_ENGINE_GEN_FUNC_PTR ENGINE_get_import_key_function(const ENGINE* e);
SM_ENGINE_GEN_FUNC_PTR ENGINE_get_import_encrypted_key_function(const ENGINE* e);

// Addresses of the engine ex-data index numbers for RSA and SM2 keys (-1 until an engine sets them).
int* ENGINE_get_rsa_index();
int* ENGINE_get_sm2_index();

#endif
