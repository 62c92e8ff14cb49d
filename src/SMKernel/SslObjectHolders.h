// Owning holders for the crypto library's objects used by the digest, envelope and certificate
// helpers of the kernel. Each is freed with the library's own free function.
#ifndef VARNELL_SMKERNEL_SSL_OBJECT_HOLDERS_H
#define VARNELL_SMKERNEL_SSL_OBJECT_HOLDERS_H

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace sslholder {

template <class T, void (*Free)(T*)>
struct Deleter
{
    void operator()(T* p) const { Free(p); }
};

inline void FreeOpenSslBytes(unsigned char* p)
{
    OPENSSL_free(p);
}

using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
using Asn1OctetStringPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER, ASN1_INTEGER_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
// Octets the library allocated for the caller (i2d_* with a null output pointer).
using OpenSslBytesPtr = std::unique_ptr<unsigned char, Deleter<unsigned char, FreeOpenSslBytes>>;

}  // namespace sslholder

#endif
