// Certificate-verification additions: a revocation lookup that asks an outside revocation service
// through two callbacks of the embedding application, the fields that carry those callbacks on
// stores and verification contexts, the text helpers of the lookup, and the search for the
// encryption certificate of a signature/encryption certificate pair.
//
// The library's store and context records cannot grow, so the three added fields {send callback,
// receive callback, ldap_soft_fail} live in ex_data slots of X509_STORE and X509_STORE_CTX. Stores
// made by SM_X509_STORE_new start with all three zero (an absent slot reads as zero);
// SM_X509_STORE_CTX_init copies them from the store to the context.
//
// Text results of the text functions are allocated with malloc; the caller frees them with free.
#ifndef VARNELL_CRYPTOEXT_SM_VERIFY_H
#define VARNELL_CRYPTOEXT_SM_VERIFY_H

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

// Verify flag that selects the revocation lookup at context initialisation. The old value 0x10000
// is X509_V_FLAG_SUITEB_128_LOS_ONLY in this library, hence a bit the library does not use.
constexpr unsigned long SM_X509_V_FLAG_LDAP_REVOCATION = 0x40000000UL;
// Verify error: the certificate has no usable CRL distribution point extension. The library knows
// 55 as X509_V_ERR_PATH_LOOP, and its error text stays "path loop".
constexpr int SM_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT = 55;

// Upper bound of a revocation reply; a longer one is a failed lookup.
constexpr int SM_REVOCATION_REPLY_MAX = 64 * 1024;
// Number of distribution-point texts a lookup considers.
constexpr int SM_LDAP_URL_ARRAY_SIZE = 128;

// Send: (descriptor, request text, its length without NUL); negative on failure.
typedef int (*SM_REVOCATION_SEND_CB)(int fd, const char* request, int length);
// Receive: (descriptor, out reply, out length); negative on failure. The reply is NUL-terminated
// text allocated with malloc; the lookup frees it with free.
typedef int (*SM_REVOCATION_RECV_CB)(int fd, char** reply, int* length);

// Descriptor passed to both callbacks. Nothing in the system assigns it.
extern int socketFD;

void X509_STORE_set_send_cb(X509_STORE* store, SM_REVOCATION_SEND_CB cb);
void X509_STORE_set_recv_cb(X509_STORE* store, SM_REVOCATION_RECV_CB cb);
// Context setters take effect after SM_X509_STORE_CTX_init (initialisation resets the context).
void X509_STORE_CTX_set_send_cb(X509_STORE_CTX* ctx, SM_REVOCATION_SEND_CB cb);
void X509_STORE_CTX_set_recv_cb(X509_STORE_CTX* ctx, SM_REVOCATION_RECV_CB cb);

// Getters of the added fields (null / 0 for a null object or an unset slot).
SM_REVOCATION_SEND_CB SM_X509_STORE_get_send_cb(const X509_STORE* store);
SM_REVOCATION_RECV_CB SM_X509_STORE_get_recv_cb(const X509_STORE* store);
int SM_X509_STORE_get_ldap_soft_fail(const X509_STORE* store);
SM_REVOCATION_SEND_CB SM_X509_STORE_CTX_get_send_cb(const X509_STORE_CTX* ctx);
SM_REVOCATION_RECV_CB SM_X509_STORE_CTX_get_recv_cb(const X509_STORE_CTX* ctx);
int SM_X509_STORE_CTX_get_ldap_soft_fail(const X509_STORE_CTX* ctx);

// ldap_soft_fail has no setter. Its ex_data slots hold the value as a pointer-sized integer
// ((void*)(intptr_t)1 for soft fail); -1 when the slot could not be created.
int SM_X509_STORE_ldap_soft_fail_index();
int SM_X509_STORE_CTX_ldap_soft_fail_index();

// A new store with the added fields zeroed (X509_STORE_free releases it).
X509_STORE* SM_X509_STORE_new();

// X509_STORE_CTX_init, plus: when the store has no revocation check of its own and the store's or
// the "default" verify parameters carry SM_X509_V_FLAG_LDAP_REVOCATION, the context's revocation
// check becomes check_revocation_use_local_LDAP (setting the flag on the context afterwards changes
// nothing); the added fields are copied from the store (zero without one). A store is modified
// for the moment of the call, under a process-wide lock.
int SM_X509_STORE_CTX_init(X509_STORE_CTX* ctx, X509_STORE* store, X509* x509, STACK_OF(X509)* untrusted);

// The revocation check a context gets from SM_X509_STORE_CTX_init: asks the revocation service
// about the leaf (or, with X509_V_FLAG_CRL_CHECK_ALL, every chain certificate). 1 to go on (a
// revoked certificate leaves X509_V_ERR_CERT_REVOKED in the context), 0 to fail verification with
// the context's error set to X509_V_ERR_UNABLE_TO_GET_CRL or SM_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT.
int check_revocation_use_local_LDAP(X509_STORE_CTX* ctx);

// Position of the encryption certificate in a list that holds a signing certificate (entry 0), its
// issuers and an encryption certificate: the first entry not on the signing certificate's issuer
// path. -1 when every entry is on it, the list is empty, or no memory.
int st_x509_get_enc_cert_index(STACK_OF(X509)* certs);
// The same over an initialised context's untrusted list, from its target certificate, with the
// context's issuer test; entry 0 counts as on the path.
int x509_get_enc_cert_index(X509_STORE_CTX* ctx);

// Entries from the last to the first as "sn=value" (value in UTF-8) joined with ","; at most 1024
// characters. 1, or 0 for an empty or unknown name, a conversion failure or overflow.
int GetX509Name(X509_NAME* name, char** text, int* length);
// A directory name as GetX509Name; a URI beginning with "ldap" copied (at most 1024 characters);
// any other kind gives "". 1, or 0 on failure.
int GetGeneralName(GENERAL_NAME* name, char** text, int* length);
// The texts of all names concatenated, at most 5120 characters. 1, or 0 at the first failure.
int GetGeneralNames(GENERAL_NAMES* names, char** text, int* length);
// A full name as GetGeneralNames; a name relative to the CRL issuer (or none) gives a null text
// and 1.
int GetDP(DIST_POINT_NAME* dpn, char** text, int* length);
// free()s each non-null entry of an array of SM_LDAP_URL_ARRAY_SIZE texts and nulls it.
void FreeLdapURLArray(char** urls);
// A copy of the text between the first start marker and the first end marker after it. 0, or -1
// for a null argument or a missing marker.
int Get_SpecifiedStrFromStrData(const char* text, const char* start, const char* end, char** result);
// Reverses in place the order of the comma-separated parts of a DN text; empty parts disappear.
// At most 10 parts of at most 511 characters. 0, or -1 for a null or empty text, a longer part,
// more parts, or no memory.
int X509_Reverse_CRLDN_Order(char* dn);

#endif
