// Owning holders for the crypto library's objects used by the SM code.
#ifndef VARNELL_CRYPTOEXT_HOLDERS_H
#define VARNELL_CRYPTOEXT_HOLDERS_H

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace smdetail {

// A holder's deleter: the library's own free function for T.
template <class T, void (*Free)(T*)>
struct LibraryFree
{
    void operator()(T* p) const { Free(p); }
};

// OPENSSL_free is a macro.
inline void FreeOpensslBytes(unsigned char* p)
{
    OPENSSL_free(p);
}

// Numbers are cleared on release: most of them are keys, nonces or derived from them.
using BnPtr = std::unique_ptr<BIGNUM, LibraryFree<BIGNUM, BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, LibraryFree<BN_CTX, BN_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, LibraryFree<EC_GROUP, EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, LibraryFree<EC_POINT, EC_POINT_clear_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, LibraryFree<ECDSA_SIG, ECDSA_SIG_free>>;
using EcKeyPtr = std::unique_ptr<EC_KEY, LibraryFree<EC_KEY, EC_KEY_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, LibraryFree<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, LibraryFree<X509, X509_free>>;
// Buffers the library allocated.
using OpensslBytesPtr = std::unique_ptr<unsigned char, LibraryFree<unsigned char, FreeOpensslBytes>>;

}  // namespace smdetail

#endif
