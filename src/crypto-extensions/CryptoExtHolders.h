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

struct BnClearFree
{
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
struct BnCtxFree
{
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
};
struct EcGroupFree
{
    void operator()(EC_GROUP* p) const { EC_GROUP_free(p); }
};
struct EcPointClearFree
{
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
};
struct EcdsaSigFree
{
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
struct EcKeyFree
{
    void operator()(EC_KEY* p) const { EC_KEY_free(p); }
};
struct EvpPkeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free
{
    void operator()(X509* p) const { X509_free(p); }
};
struct OpensslFree
{
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

// Numbers are cleared on release: most of them are keys, nonces or derived from them.
using BnPtr = std::unique_ptr<BIGNUM, BnClearFree>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, EcGroupFree>;
using EcPointPtr = std::unique_ptr<EC_POINT, EcPointClearFree>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, EcdsaSigFree>;
using EcKeyPtr = std::unique_ptr<EC_KEY, EcKeyFree>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using OpensslBytesPtr = std::unique_ptr<unsigned char, OpensslFree>;   // buffers the library allocated

}  // namespace smdetail

#endif
