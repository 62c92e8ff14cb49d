// The PKCS#11 token kernel: module binding, slots and sessions, certificate objects, token
// signatures and digests, encryption, decryption and random data, key containers and generic
// object reading.
#ifndef VARNELL_P11_KERNEL_H
#define VARNELL_P11_KERNEL_H

#include "P11Certificate.h"
#include "P11Container.h"
#include "P11Crypt.h"
#include "P11Module.h"
#include "P11Object.h"
#include "P11Session.h"
#include "P11Sign.h"
#include "P11Types.h"

#endif
