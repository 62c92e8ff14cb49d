// Internals of the kernel's encryption code shared with its tests.
#ifndef VARNELL_SMKERNEL_RSA_DATA_ENCRYPTION_DETAIL_H
#define VARNELL_SMKERNEL_RSA_DATA_ENCRYPTION_DETAIL_H

#include "KernelHolders.h"

namespace smkernel {

// True for the four weak and twelve semi-weak DES keys (8 bytes, odd parity as generated).
bool IsWeakDesKey(const unsigned char* pbyKey);

}  // namespace smkernel

#endif
