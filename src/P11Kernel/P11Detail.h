// Helpers shared by the kernel's sources; not part of its interface.
#ifndef VARNELL_P11_DETAIL_H
#define VARNELL_P11_DETAIL_H

#include "P11Types.h"
#include "QovaResult.h"

#include <cstddef>
#include <memory>
#include <new>

namespace p11detail {

// A module's counts and lengths are outside input. Beyond these bounds an answer is taken as a
// module fault rather than as a size to allocate: no token has this many slots, and no attribute
// the kernel reads (certificates, IDs) comes near the DER engine's own size limit.
constexpr CK_ULONG kMaxSlotCount = 0x10000;
constexpr CK_ULONG kMaxAttributeLength = 0x3200000;
// The longest output of a sign, digest, encrypt or decrypt call taken from a module's size answer.
constexpr CK_ULONG kMaxOutputLength = 0x3200000;

// A module answer that cannot be true (a count that grew, a length past the bounds above).
constexpr unsigned int kBadModuleAnswer = QovaP11Result(CKR_DEVICE_ERROR);
// An allocation sized by a module's answer failed.
constexpr unsigned int kNoHostMemory = QovaP11Result(CKR_HOST_MEMORY);

inline const char* OrNull(const char* text)
{
    return text ? text : "(null)";
}

// Zeroed array-new buffer, or null when memory is short.
template <typename T>
std::unique_ptr<T[]> NewZeroed(size_t count)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// The guards every call on a session context shares: a context with an open session, and a module
// entry with its function list. The steps are named by the caller, since the names differ between
// the functions. Traced in the name pszFunc; *ppFunctions receives the function list.
unsigned int CheckSessionCtx(const char* pszFunc, const SessionCtx* pCtx, const char* pszSessionStep,
                             const char* pszModuleStep, CK_FUNCTION_LIST** ppFunctions);

// Keeps the token's label and serial number in the context (from the slot listing or a token read).
void KeepTokenName(SessionCtx* pCtx, const CK_TOKEN_INFO& stTokenInfo);

}  // namespace p11detail

#endif
