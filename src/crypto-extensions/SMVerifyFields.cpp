// The added store and context fields, kept in ex_data slots, and the store and context set-up that
// uses them.
#include "RegistryDetail.h"
#include "SMVerify.h"

#include <cstdint>
#include <mutex>

int socketFD = 0;

namespace {

// One slot per field on each of the two records. The slots hold plain values (function addresses
// and an integer), so they need no copy or free callbacks.
struct VerifySlots
{
    int storeSend = -1;
    int storeRecv = -1;
    int storeSoftFail = -1;
    int ctxSend = -1;
    int ctxRecv = -1;
    int ctxSoftFail = -1;
};

const VerifySlots& Slots()
{
    static const VerifySlots slots = [] {
        VerifySlots s;
        s.storeSend = X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        s.storeRecv = X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        s.storeSoftFail = X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        s.ctxSend = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        s.ctxRecv = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        s.ctxSoftFail = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        return s;
    }();
    return slots;
}

// Serialises the moment in which a store carries our revocation check for one initialisation.
std::mutex g_storeHookMutex;

template <typename Fn>
void* ToSlot(Fn f)
{
    return reinterpret_cast<void*>(f);
}

template <typename Fn>
Fn FromSlot(void* p)
{
    return reinterpret_cast<Fn>(p);
}

int SoftFailFromSlot(void* p)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(p));
}

void* StoreSlot(const X509_STORE* store, int index)
{
    return store != nullptr && index >= 0 ? X509_STORE_get_ex_data(store, index) : nullptr;
}

void* CtxSlot(const X509_STORE_CTX* ctx, int index)
{
    return ctx != nullptr && index >= 0 ? X509_STORE_CTX_get_ex_data(ctx, index) : nullptr;
}

void SetStoreSlot(X509_STORE* store, int index, void* value)
{
    if (store != nullptr && index >= 0)
        X509_STORE_set_ex_data(store, index, value);
}

void SetCtxSlot(X509_STORE_CTX* ctx, int index, void* value)
{
    if (ctx != nullptr && index >= 0)
        X509_STORE_CTX_set_ex_data(ctx, index, value);
}

// The flags a context inherits at initialisation: the store's, then the library's "default" set.
bool LookupRequested(X509_STORE* store)
{
    unsigned long flags = X509_VERIFY_PARAM_get_flags(X509_STORE_get0_param(store));
    if (const X509_VERIFY_PARAM* def = X509_VERIFY_PARAM_lookup("default"))
        flags |= X509_VERIFY_PARAM_get_flags(def);
    return (flags & SM_X509_V_FLAG_LDAP_REVOCATION) != 0;
}

}  // namespace

int smdetail::RegisterVerifySlots()
{
    const VerifySlots& s = Slots();
    return s.storeSend >= 0 && s.storeRecv >= 0 && s.storeSoftFail >= 0 && s.ctxSend >= 0 && s.ctxRecv >= 0 &&
                   s.ctxSoftFail >= 0
               ? 1
               : 0;
}

void X509_STORE_set_send_cb(X509_STORE* store, SM_REVOCATION_SEND_CB cb)
{
    SetStoreSlot(store, Slots().storeSend, ToSlot(cb));
}

void X509_STORE_set_recv_cb(X509_STORE* store, SM_REVOCATION_RECV_CB cb)
{
    SetStoreSlot(store, Slots().storeRecv, ToSlot(cb));
}

void X509_STORE_CTX_set_send_cb(X509_STORE_CTX* ctx, SM_REVOCATION_SEND_CB cb)
{
    SetCtxSlot(ctx, Slots().ctxSend, ToSlot(cb));
}

void X509_STORE_CTX_set_recv_cb(X509_STORE_CTX* ctx, SM_REVOCATION_RECV_CB cb)
{
    SetCtxSlot(ctx, Slots().ctxRecv, ToSlot(cb));
}

SM_REVOCATION_SEND_CB SM_X509_STORE_get_send_cb(const X509_STORE* store)
{
    return FromSlot<SM_REVOCATION_SEND_CB>(StoreSlot(store, Slots().storeSend));
}

SM_REVOCATION_RECV_CB SM_X509_STORE_get_recv_cb(const X509_STORE* store)
{
    return FromSlot<SM_REVOCATION_RECV_CB>(StoreSlot(store, Slots().storeRecv));
}

int SM_X509_STORE_get_ldap_soft_fail(const X509_STORE* store)
{
    return SoftFailFromSlot(StoreSlot(store, Slots().storeSoftFail));
}

SM_REVOCATION_SEND_CB SM_X509_STORE_CTX_get_send_cb(const X509_STORE_CTX* ctx)
{
    return FromSlot<SM_REVOCATION_SEND_CB>(CtxSlot(ctx, Slots().ctxSend));
}

SM_REVOCATION_RECV_CB SM_X509_STORE_CTX_get_recv_cb(const X509_STORE_CTX* ctx)
{
    return FromSlot<SM_REVOCATION_RECV_CB>(CtxSlot(ctx, Slots().ctxRecv));
}

int SM_X509_STORE_CTX_get_ldap_soft_fail(const X509_STORE_CTX* ctx)
{
    return SoftFailFromSlot(CtxSlot(ctx, Slots().ctxSoftFail));
}

int SM_X509_STORE_ldap_soft_fail_index()
{
    return Slots().storeSoftFail;
}

int SM_X509_STORE_CTX_ldap_soft_fail_index()
{
    return Slots().ctxSoftFail;
}

X509_STORE* SM_X509_STORE_new()
{
    // The slots must exist before the store: an index made later is still read as zero, but the
    // fields would then depend on the order of first use.
    if (!smdetail::RegisterVerifySlots())
        return nullptr;
    return X509_STORE_new();
}

int SM_X509_STORE_CTX_init(X509_STORE_CTX* ctx, X509_STORE* store, X509* x509, STACK_OF(X509)* untrusted)
{
    if (!smdetail::RegisterVerifySlots())
        return 0;
    int result = 0;
    if (store == nullptr) {
        result = X509_STORE_CTX_init(ctx, nullptr, x509, untrusted);
    } else {
        // The library takes a context's revocation check from its store at initialisation and has
        // no setter on the context, so the store carries ours for the moment of the call.
        std::lock_guard<std::mutex> lock(g_storeHookMutex);
        if (X509_STORE_get_check_revocation(store) == nullptr && LookupRequested(store)) {
            X509_STORE_set_check_revocation(store, check_revocation_use_local_LDAP);
            result = X509_STORE_CTX_init(ctx, store, x509, untrusted);
            X509_STORE_set_check_revocation(store, nullptr);
        } else {
            result = X509_STORE_CTX_init(ctx, store, x509, untrusted);
        }
    }
    if (result != 1)
        return result;
    const VerifySlots& s = Slots();
    if (!X509_STORE_CTX_set_ex_data(ctx, s.ctxSend, StoreSlot(store, s.storeSend)) ||
        !X509_STORE_CTX_set_ex_data(ctx, s.ctxRecv, StoreSlot(store, s.storeRecv)) ||
        !X509_STORE_CTX_set_ex_data(ctx, s.ctxSoftFail, StoreSlot(store, s.storeSoftFail)))
        return 0;
    return 1;
}
