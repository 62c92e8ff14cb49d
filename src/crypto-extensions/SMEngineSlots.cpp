// The four hook slots an engine can carry, kept in the engine's ex-data (the library's engine record
// has no room for them), and the two index numbers an external engine may publish.
#include "RegistryDetail.h"
#include "SMRegistry.h"

#include <openssl/engine.h>

namespace {

int g_rsaIndex = -1;
int g_sm2Index = -1;

struct SlotIndexes
{
    int pkeyDecrypt = -1;
    int listObjectIndex = -1;
    int importKey = -1;
    int importEncryptedKey = -1;
};

int NewIndex()
{
    return ENGINE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
}

const SlotIndexes& Slots()
{
    static const SlotIndexes slots = [] {
        SlotIndexes s;
        s.pkeyDecrypt = NewIndex();
        s.listObjectIndex = NewIndex();
        s.importKey = NewIndex();
        s.importEncryptedKey = NewIndex();
        return s;
    }();
    return slots;
}

template <typename Fn>
int SetSlot(ENGINE* e, int index, Fn f)
{
    if (e == nullptr || index < 0)
        return 0;
    return ENGINE_set_ex_data(e, index, reinterpret_cast<void*>(f)) == 1 ? 1 : 0;
}

template <typename Fn>
Fn GetSlot(const ENGINE* e, int index)
{
    if (e == nullptr || index < 0)
        return nullptr;
    return reinterpret_cast<Fn>(ENGINE_get_ex_data(e, index));
}

}  // namespace

int smdetail::RegisterEngineSlots()
{
    const SlotIndexes& s = Slots();
    return s.pkeyDecrypt >= 0 && s.listObjectIndex >= 0 && s.importKey >= 0 && s.importEncryptedKey >= 0 ? 1 : 0;
}

int ENGINE_set_pkey_decrypt_function(ENGINE* e, SM_ENGINE_PKEY_DECRYPT_PTR f)
{
    return SetSlot(e, Slots().pkeyDecrypt, f);
}

int ENGINE_set_list_object_index_function(ENGINE* e, SM_ENGINE_GEN_FUNC_PTR f)
{
    return SetSlot(e, Slots().listObjectIndex, f);
}

int ENGINE_set_import_key_function(ENGINE* e, SM_ENGINE_GEN_FUNC_PTR f)
{
    return SetSlot(e, Slots().importKey, f);
}

int ENGINE_set_import_encrypted_key_function(ENGINE* e, SM_ENGINE_GEN_FUNC_PTR f)
{
    return SetSlot(e, Slots().importEncryptedKey, f);
}

SM_ENGINE_PKEY_DECRYPT_PTR ENGINE_get_pkey_decrypt_function(const ENGINE* e)
{
    return GetSlot<SM_ENGINE_PKEY_DECRYPT_PTR>(e, Slots().pkeyDecrypt);
}

SM_ENGINE_GEN_FUNC_PTR ENGINE_get_list_object_index_function(const ENGINE* e)
{
    return GetSlot<SM_ENGINE_GEN_FUNC_PTR>(e, Slots().listObjectIndex);
}

SM_ENGINE_GEN_FUNC_PTR ENGINE_get_import_key_function(const ENGINE* e)
{
    return GetSlot<SM_ENGINE_GEN_FUNC_PTR>(e, Slots().importKey);
}

SM_ENGINE_GEN_FUNC_PTR ENGINE_get_import_encrypted_key_function(const ENGINE* e)
{
    return GetSlot<SM_ENGINE_GEN_FUNC_PTR>(e, Slots().importEncryptedKey);
}

int* ENGINE_get_rsa_index()
{
    return &g_rsaIndex;
}

int* ENGINE_get_sm2_index()
{
    return &g_sm2Index;
}
