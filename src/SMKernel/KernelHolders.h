// Owning holders for the crypto library's objects in the software kernel. Each frees its object
// with the library's own function; out() hands the slot to a function that fills a T**. Below them
// the holder of the kernel's own new[] arrays.
#ifndef VARNELL_SMKERNEL_KERNEL_HOLDERS_H
#define VARNELL_SMKERNEL_KERNEL_HOLDERS_H

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstddef>
#include <new>

namespace smkernel {

template <typename T, void (*Free)(T*)>
class OsslHolder
{
public:
    OsslHolder() = default;
    explicit OsslHolder(T* p) : m_p(p) {}
    ~OsslHolder() { reset(); }
    OsslHolder(const OsslHolder&) = delete;
    OsslHolder& operator=(const OsslHolder&) = delete;
    OsslHolder(OsslHolder&& other) noexcept : m_p(other.release()) {}
    OsslHolder& operator=(OsslHolder&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }

    T* get() const { return m_p; }
    explicit operator bool() const { return nullptr != m_p; }
    T* release()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void reset(T* p = nullptr)
    {
        if (m_p) Free(m_p);
        m_p = p;
    }
    // Frees what is held and hands out the empty slot.
    T** out()
    {
        reset();
        return &m_p;
    }

private:
    T* m_p = nullptr;
};

// OPENSSL_free is a macro; bytes the library allocated for us (ASN1_STRING_to_UTF8, i2d) go here.
inline void FreeOpenSslBytes(unsigned char* p)
{
    OPENSSL_free(p);
}
inline void FreeBio(BIO* p)
{
    BIO_free(p);
}

using X509Ptr = OsslHolder<X509, X509_free>;
using BioPtr = OsslHolder<BIO, FreeBio>;
using BnPtr = OsslHolder<BIGNUM, BN_free>;
using BnClearPtr = OsslHolder<BIGNUM, BN_clear_free>;  // numbers that hold a secret (private keys)
using EvpPkeyPtr = OsslHolder<EVP_PKEY, EVP_PKEY_free>;
using OpenSslBytesPtr = OsslHolder<unsigned char, FreeOpenSslBytes>;
using EvpMdCtxPtr = OsslHolder<EVP_MD_CTX, EVP_MD_CTX_free>;
using Asn1ObjectPtr = OsslHolder<ASN1_OBJECT, ASN1_OBJECT_free>;
using Asn1OctetStringPtr = OsslHolder<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Asn1IntegerPtr = OsslHolder<ASN1_INTEGER, ASN1_INTEGER_free>;
using EvpCipherCtxPtr = OsslHolder<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

// A certificate list together with its certificates.
inline void FreeX509Stack(STACK_OF(X509)* p)
{
    sk_X509_pop_free(p, X509_free);
}

using X509StackPtr = OsslHolder<STACK_OF(X509), FreeX509Stack>;
using X509StorePtr = OsslHolder<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = OsslHolder<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509CrlPtr = OsslHolder<X509_CRL, X509_CRL_free>;
using Pkcs12Ptr = OsslHolder<PKCS12, PKCS12_free>;
using Pkcs7Ptr = OsslHolder<PKCS7, PKCS7_free>;
using EvpPkeyCtxPtr = OsslHolder<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using X509SigPtr = OsslHolder<X509_SIG, X509_SIG_free>;  // a DigestInfo

// A new[] array with its element count, released with delete[] unless handed out. Secret arrays
// (content keys, plaintext, round keys) are cleared before they are released. Callees that hand
// out an array and its length fill ptr and size directly.
template <typename T, bool kSecret>
struct KernelArray
{
    T* ptr = nullptr;
    int size = 0;

    KernelArray() = default;
    // As allocate(n); test the array against nullptr.
    explicit KernelArray(int n) { allocate(n); }
    ~KernelArray() { reset(); }
    KernelArray(const KernelArray&) = delete;
    KernelArray& operator=(const KernelArray&) = delete;

    // A zeroed array of n elements; false when memory runs out (n comes from outside).
    bool allocate(int n)
    {
        reset();
        ptr = new (std::nothrow) T[n > 0 ? n : 1]();
        size = (nullptr != ptr) ? n : 0;
        return nullptr != ptr;
    }
    void reset()
    {
        if (nullptr != ptr) {
            if (kSecret && size > 0)
                OPENSSL_cleanse(ptr, static_cast<size_t>(size) * sizeof(T));
            delete[] ptr;
        }
        ptr = nullptr;
        size = 0;
    }
    bool operator==(std::nullptr_t) const { return nullptr == ptr; }
    T* release()
    {
        T* p = ptr;
        ptr = nullptr;
        size = 0;
        return p;
    }
};

using Bytes = KernelArray<unsigned char, false>;
using SecretBytes = KernelArray<unsigned char, true>;
using Text = KernelArray<char, false>;

}  // namespace smkernel

#endif
