// Internals of the kernel's encryption code shared with its tests.
#ifndef VARNELL_SMKERNEL_RSA_DATA_ENCRYPTION_DETAIL_H
#define VARNELL_SMKERNEL_RSA_DATA_ENCRYPTION_DETAIL_H

#include <openssl/crypto.h>

#include <new>

namespace smkernel {

// True for the four weak and twelve semi-weak DES keys (8 bytes, odd parity as generated).
bool IsWeakDesKey(const unsigned char* pbyKey);

// A new[] array with its element count, released with delete[] unless handed out. Secret arrays
// (content keys, plaintext) are cleared before they are released. Callees that hand out an array
// and its length fill ptr and size directly.
template <typename T, bool kSecret>
struct KernelArray
{
    T* ptr = nullptr;
    int size = 0;

    KernelArray() = default;
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
