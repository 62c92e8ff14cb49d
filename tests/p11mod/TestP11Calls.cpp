// General, slot, token, session, login and object calls.
#include "TestP11Calls.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testp11 {

namespace {

using Guard = std::lock_guard<std::mutex>;

// Blank-padded fixed-width text of the info records.
template <size_t N>
void Pad(unsigned char (&field)[N], const std::string& text)
{
    memset(field, ' ', N);
    memcpy(field, text.data(), std::min(N, text.size()));
}

CK_RV EnterModule(Module& module, CallRecord& call, const CK_SLOT_ID* slot)
{
    if (!module.initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    return module.Injected(call.Function(), slot);
}

void DropSession(Module& module, CK_SESSION_HANDLE handle)
{
    const CK_SLOT_ID slotId = module.sessions[handle].slot;
    module.sessions.erase(handle);
    // Session objects end with the session that made them.
    if (Slot* slot = module.FindSlot(slotId)) {
        auto& objects = slot->objects;
        objects.erase(std::remove_if(objects.begin(), objects.end(),
                                     [handle](const Object& object) { return object.owner == handle; }),
                      objects.end());
    }
    // The login state belongs to the token and ends with its last session.
    for (const auto& entry : module.sessions) {
        if (entry.second.slot == slotId)
            return;
    }
    if (Slot* slot = module.FindSlot(slotId))
        slot->userLoggedIn = false;
}

// The slot a slot-level call names; with bNeedToken a slot without a token is refused too.
CK_RV FindSlot(Module& module, CK_SLOT_ID slotID, bool bNeedToken, const Slot** ppSlot)
{
    const Slot* slot = module.FindSlot(slotID);
    if (slot == nullptr)
        return CKR_SLOT_ID_INVALID;
    if (bNeedToken && !slot->hasToken)
        return CKR_TOKEN_NOT_PRESENT;
    *ppSlot = slot;
    return CKR_OK;
}

bool Matches(const Object& object, const CK_ATTRIBUTE* templ, CK_ULONG count)
{
    for (CK_ULONG i = 0; i < count; ++i) {
        auto it = object.attributes.find(templ[i].type);
        if (it == object.attributes.end() || it->second.size() != templ[i].ulValueLen)
            return false;
        if (templ[i].ulValueLen != 0 && memcmp(it->second.data(), templ[i].pValue, templ[i].ulValueLen) != 0)
            return false;
    }
    return true;
}

bool BoolAttribute(const Object& object, CK_ATTRIBUTE_TYPE type)
{
    auto it = object.attributes.find(type);
    return it != object.attributes.end() && it->second.size() == 1 && it->second[0] == CK_TRUE;
}

// The secret parts of a private key, which a sensitive key never reveals.
bool IsSecretPart(const Object& object, CK_ATTRIBUTE_TYPE type)
{
    if (object.Ulong(CKA_CLASS, CKO_VENDOR_DEFINED) != CKO_PRIVATE_KEY || !BoolAttribute(object, CKA_SENSITIVE))
        return false;
    switch (type) {
    case CKA_PRIVATE_EXPONENT: case CKA_PRIME_1: case CKA_PRIME_2: case CKA_EXPONENT_1: case CKA_EXPONENT_2:
    case CKA_COEFFICIENT: case CKA_VALUE:
        return true;
    default:
        return false;
    }
}

// One attribute of C_GetAttributeValue, as the standard describes the three cases.
CK_RV ReadAttribute(const Object& object, CK_ATTRIBUTE& attribute)
{
    auto over = object.overrides.find(attribute.type);
    if (over != object.overrides.end() && !over->second.lies) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return over->second.rv;
    }
    auto it = object.attributes.find(attribute.type);
    if (it == object.attributes.end()) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    if (IsSecretPart(object, attribute.type)) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_ATTRIBUTE_SENSITIVE;
    }
    const Bytes& value = it->second;
    if (over != object.overrides.end()) {
        // A lying attribute: never write beyond the caller's buffer.
        if (attribute.pValue != nullptr)
            memcpy(attribute.pValue, value.data(), std::min<size_t>(value.size(), attribute.ulValueLen));
        attribute.ulValueLen = attribute.pValue == nullptr ? over->second.sizeLength : over->second.readLength;
        return CKR_OK;
    }
    if (attribute.pValue == nullptr) {
        attribute.ulValueLen = value.size();
        return CKR_OK;
    }
    if (attribute.ulValueLen < value.size()) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (!value.empty())
        memcpy(attribute.pValue, value.data(), value.size());
    attribute.ulValueLen = value.size();
    return CKR_OK;
}

}  // namespace

CK_RV EnterSession(Module& module, CallRecord& call, CK_SESSION_HANDLE handle, Session** session)
{
    call.Field("session", handle);
    if (!module.initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    *session = module.FindSession(handle);
    if (*session == nullptr)
        return CKR_SESSION_HANDLE_INVALID;
    call.Field("slot", (*session)->slot);
    return module.Injected(call.Function(), &(*session)->slot);
}

CK_RV Initialize(void* initArgs)
{
    CallRecord call("C_Initialize");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("args", initArgs == nullptr ? "null" : "set");
    if (module.initialized)
        return call.Return(CKR_CRYPTOKI_ALREADY_INITIALIZED);
    if (initArgs != nullptr) {
        const CK_C_INITIALIZE_ARGS* args = static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs);
        if (args->pReserved != nullptr)
            return call.Return(CKR_ARGUMENTS_BAD);
    }

    // The fixture is read anew at every initialisation, so tests may rewrite it between loads.
    const char* path = getenv("TESTP11_CONFIG");
    std::string error;
    Config config;
    if (path == nullptr || !LoadConfig(path, &config, &error)) {
        fprintf(stderr, "testp11: %s\n", path == nullptr ? "TESTP11_CONFIG is not set" : error.c_str());
        return call.Return(CKR_GENERAL_ERROR);
    }
    CK_OBJECT_HANDLE nextHandle = 1;
    for (Slot& slot : config.slots) {
        for (Object& object : slot.objects)
            object.handle = nextHandle++;
    }
    module.config = std::move(config);
    module.nextObject = nextHandle;
    module.initialized = true;
    if (const CK_RV rv = module.Injected(call.Function(), nullptr)) {
        module.Reset();
        return call.Return(rv);
    }
    return call.Return(CKR_OK);
}

CK_RV Finalize(void* reserved)
{
    CallRecord call("C_Finalize");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    if (const CK_RV rv = EnterModule(module, call, nullptr))
        return call.Return(rv);
    if (reserved != nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    call.Field("open_sessions", module.sessions.size());
    module.Reset();
    return call.Return(CKR_OK);
}

CK_RV GetInfo(CK_INFO* info)
{
    CallRecord call("C_GetInfo");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    if (const CK_RV rv = EnterModule(module, call, nullptr))
        return call.Return(rv);
    if (info == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    memset(info, 0, sizeof(*info));
    info->cryptokiVersion.major = 2;
    info->cryptokiVersion.minor = 20;
    Pad(info->manufacturerID, "Varnell test");
    Pad(info->libraryDescription, "testp11");
    info->libraryVersion.major = 1;
    return call.Return(CKR_OK);
}

CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID* slotList, CK_ULONG* count)
{
    CallRecord call("C_GetSlotList");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("token_present", tokenPresent).Field("list", slotList == nullptr ? "null" : "set");
    if (const CK_RV rv = EnterModule(module, call, nullptr))
        return call.Return(rv);
    if (count == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    std::vector<CK_SLOT_ID> ids;
    for (const Slot& slot : module.config.slots) {
        if (!tokenPresent || slot.hasToken)
            ids.push_back(slot.id);
    }
    call.Field("count", ids.size());
    if (slotList != nullptr) {
        if (*count < ids.size()) {
            *count = ids.size();
            return call.Return(CKR_BUFFER_TOO_SMALL);
        }
        std::copy(ids.begin(), ids.end(), slotList);
    }
    *count = ids.size();
    return call.Return(CKR_OK);
}

CK_RV GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO* info)
{
    CallRecord call("C_GetSlotInfo");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("slot", slotID);
    if (const CK_RV rv = EnterModule(module, call, &slotID))
        return call.Return(rv);
    const Slot* slot = nullptr;
    if (const CK_RV rv = FindSlot(module, slotID, false, &slot))
        return call.Return(rv);
    if (info == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    memset(info, 0, sizeof(*info));
    Pad(info->slotDescription, "testp11 slot " + std::to_string(slotID));
    Pad(info->manufacturerID, "Varnell test");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot->hasToken ? CKF_TOKEN_PRESENT : 0);
    return call.Return(CKR_OK);
}

CK_RV GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO* info)
{
    CallRecord call("C_GetTokenInfo");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("slot", slotID);
    if (const CK_RV rv = EnterModule(module, call, &slotID))
        return call.Return(rv);
    const Slot* slot = nullptr;
    if (const CK_RV rv = FindSlot(module, slotID, true, &slot))
        return call.Return(rv);
    if (info == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    memset(info, 0, sizeof(*info));
    Pad(info->label, slot->label);
    Pad(info->manufacturerID, "Varnell test");
    Pad(info->model, "testp11");
    Pad(info->serialNumber, slot->serial);
    info->flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED | slot->flags;
    if (!slot->triesFile.empty()) {
        CK_ULONG left = 0;
        if (!UpdateTries(*slot, [](CK_ULONG&) {}, &left))
            return call.Return(CKR_DEVICE_ERROR);
        call.Field("tries", left);
        info->flags |= (left < slot->maxTries ? CKF_USER_PIN_COUNT_LOW : 0) | (left == 1 ? CKF_USER_PIN_FINAL_TRY : 0) |
                       (left == 0 ? CKF_USER_PIN_LOCKED : 0);
    }
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulMaxPinLen = 64;
    info->ulMinPinLen = 4;
    info->ulTotalPublicMemory = info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    return call.Return(CKR_OK);
}

CK_RV OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, void* application, CK_NOTIFY notify, CK_SESSION_HANDLE* session)
{
    CallRecord call("C_OpenSession");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("slot", slotID).Field("flags", flags);
    call.Field("application", application == nullptr ? "null" : "set").Field("notify", notify == nullptr ? "null" : "set");
    if (const CK_RV rv = EnterModule(module, call, &slotID))
        return call.Return(rv);
    const Slot* slot = nullptr;
    if (const CK_RV rv = FindSlot(module, slotID, true, &slot))
        return call.Return(rv);
    if ((flags & CKF_SERIAL_SESSION) == 0)
        return call.Return(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    if (session == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    Session opened;
    opened.handle = module.nextSession++;
    opened.slot = slotID;
    opened.flags = flags;
    module.sessions[opened.handle] = opened;
    *session = opened.handle;
    call.Field("opened", opened.handle);
    return call.Return(CKR_OK);
}

CK_RV CloseSession(CK_SESSION_HANDLE handle)
{
    CallRecord call("C_CloseSession");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    DropSession(module, handle);
    return call.Return(CKR_OK);
}

CK_RV CloseAllSessions(CK_SLOT_ID slotID)
{
    CallRecord call("C_CloseAllSessions");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("slot", slotID);
    if (const CK_RV rv = EnterModule(module, call, &slotID))
        return call.Return(rv);
    if (module.FindSlot(slotID) == nullptr)
        return call.Return(CKR_SLOT_ID_INVALID);
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& entry : module.sessions) {
        if (entry.second.slot == slotID)
            handles.push_back(entry.first);
    }
    for (CK_SESSION_HANDLE handle : handles)
        DropSession(module, handle);
    return call.Return(CKR_OK);
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO* info)
{
    CallRecord call("C_GetSessionInfo");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    if (info == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    const bool loggedIn = module.FindSlot(session->slot)->userLoggedIn;
    const bool rw = (session->flags & CKF_RW_SESSION) != 0;
    memset(info, 0, sizeof(*info));
    info->slotID = session->slot;
    info->state = rw ? (loggedIn ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION)
                     : (loggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION);
    info->flags = session->flags;
    return call.Return(CKR_OK);
}

CK_RV Login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, unsigned char* pin, CK_ULONG pinLen)
{
    CallRecord call("C_Login");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("user", userType).Field("pin_len", pinLen);
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    if (userType != CKU_USER)
        return call.Return(CKR_USER_TYPE_INVALID);
    Slot* slot = module.FindSlot(session->slot);
    if (slot->userLoggedIn)
        return call.Return(CKR_USER_ALREADY_LOGGED_IN);
    if (pin == nullptr && pinLen != 0)
        return call.Return(CKR_ARGUMENTS_BAD);
    const bool right = pinLen == slot->pin.size() && (pinLen == 0 || memcmp(pin, slot->pin.data(), pinLen) == 0);
    if (!slot->triesFile.empty()) {
        // Spent and reset under the file's lock, so that processes logging in at once count right.
        bool locked = false;
        CK_ULONG left = 0;
        const auto spend = [&](CK_ULONG& count) {
            locked = count == 0;
            if (!locked)
                count = right ? slot->maxTries : count - 1;
        };
        if (!UpdateTries(*slot, spend, &left))
            return call.Return(CKR_DEVICE_ERROR);
        call.Field("tries", left);
        if (locked)
            return call.Return(CKR_PIN_LOCKED);
    }
    if (!right)
        return call.Return(CKR_PIN_INCORRECT);
    slot->userLoggedIn = true;
    return call.Return(CKR_OK);
}

CK_RV Logout(CK_SESSION_HANDLE handle)
{
    CallRecord call("C_Logout");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    Slot* slot = module.FindSlot(session->slot);
    if (!slot->userLoggedIn)
        return call.Return(CKR_USER_NOT_LOGGED_IN);
    slot->userLoggedIn = false;
    return call.Return(CKR_OK);
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE* templ, CK_ULONG count)
{
    CallRecord call("C_FindObjectsInit");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    if (templ == nullptr && count != 0)
        return call.Return(CKR_ARGUMENTS_BAD);
    // The log shows what was searched for: "class=1 id=41" and so on, in template order.
    for (CK_ULONG i = 0; i < count; ++i) {
        if (templ[i].type == CKA_CLASS && templ[i].ulValueLen == sizeof(CK_ULONG))
            call.Field("class", *static_cast<const CK_ULONG*>(templ[i].pValue));
        else if (templ[i].type == CKA_ID)
            call.HexField("id", templ[i].pValue, templ[i].ulValueLen);
        else
            call.Field("attr", templ[i].type);
    }
    if (session->find.active)
        return call.Return(CKR_OPERATION_ACTIVE);
    const Slot* slot = module.FindSlot(session->slot);
    session->find = FindOperation();
    session->find.active = true;
    for (const Object& object : slot->objects) {
        if ((!object.IsPrivate() || slot->userLoggedIn) && Matches(object, templ, count))
            session->find.matches.push_back(object.handle);
    }
    return call.Return(CKR_OK);
}

CK_RV FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* objects, CK_ULONG maxCount, CK_ULONG* count)
{
    CallRecord call("C_FindObjects");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("max", maxCount);
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    if (!session->find.active)
        return call.Return(CKR_OPERATION_NOT_INITIALIZED);
    if (objects == nullptr || count == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    FindOperation& find = session->find;
    CK_ULONG found = 0;
    while (found < maxCount && find.next < find.matches.size())
        objects[found++] = find.matches[find.next++];
    *count = found;
    call.Field("found", found);
    return call.Return(CKR_OK);
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE handle)
{
    CallRecord call("C_FindObjectsFinal");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    if (!session->find.active)
        return call.Return(CKR_OPERATION_NOT_INITIALIZED);
    session->find = FindOperation();
    return call.Return(CKR_OK);
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ATTRIBUTE* templ, CK_ULONG count)
{
    CallRecord call("C_GetAttributeValue");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("object", objectHandle);
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    const Object* object = module.VisibleObject(*session, objectHandle);
    if (object == nullptr)
        return call.Return(CKR_OBJECT_HANDLE_INVALID);
    if (templ == nullptr && count != 0)
        return call.Return(CKR_ARGUMENTS_BAD);
    // Every attribute is processed; the answer is the last failure, as the standard allows.
    CK_RV result = CKR_OK;
    std::string types;
    for (CK_ULONG i = 0; i < count; ++i) {
        types += (i == 0 ? "" : ",") + std::to_string(templ[i].type) + (templ[i].pValue == nullptr ? "?" : "");
        const CK_RV rv = ReadAttribute(*object, templ[i]);
        if (rv != CKR_OK)
            result = rv;
    }
    call.Field("attrs", types);
    return call.Return(result);
}

CK_RV CreateObject(CK_SESSION_HANDLE handle, CK_ATTRIBUTE* templ, CK_ULONG count, CK_OBJECT_HANDLE* objectHandle)
{
    CallRecord call("C_CreateObject");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    if ((templ == nullptr && count != 0) || objectHandle == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    // The log shows the template: attribute types in order, and the CKA_ID.
    Object created;
    std::string types;
    for (CK_ULONG i = 0; i < count; ++i) {
        types += (i == 0 ? "" : ",") + std::to_string(templ[i].type);
        if (templ[i].pValue == nullptr && templ[i].ulValueLen != 0)
            return call.Field("attrs", types).Return(CKR_ATTRIBUTE_VALUE_INVALID);
        const unsigned char* value = static_cast<const unsigned char*>(templ[i].pValue);
        created.attributes[templ[i].type] = Bytes(value, value + (value == nullptr ? 0 : templ[i].ulValueLen));
        if (templ[i].type == CKA_ID)
            call.HexField("id", templ[i].pValue, templ[i].ulValueLen);
    }
    call.Field("attrs", types);

    const CK_OBJECT_CLASS cls = created.Ulong(CKA_CLASS, CKO_VENDOR_DEFINED);
    if (cls == CKO_VENDOR_DEFINED)
        return call.Return(CKR_TEMPLATE_INCOMPLETE);
    if (cls != CKO_DATA && cls != CKO_CERTIFICATE)
        return call.Return(CKR_TEMPLATE_INCONSISTENT);
    if (cls == CKO_CERTIFICATE && (!created.Has(CKA_CERTIFICATE_TYPE) || !created.Has(CKA_VALUE)))
        return call.Return(CKR_TEMPLATE_INCOMPLETE);
    const bool tokenObject = BoolAttribute(created, CKA_TOKEN);
    if (tokenObject && (session->flags & CKF_RW_SESSION) == 0)
        return call.Return(CKR_SESSION_READ_ONLY);
    Slot* slot = module.FindSlot(session->slot);
    if (created.IsPrivate() && !slot->userLoggedIn)
        return call.Return(CKR_USER_NOT_LOGGED_IN);

    created.handle = module.nextObject++;
    created.owner = tokenObject ? 0 : handle;
    slot->objects.push_back(created);
    *objectHandle = created.handle;
    return call.Field("created", created.handle).Return(CKR_OK);
}

CK_RV DestroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle)
{
    CallRecord call("C_DestroyObject");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("object", objectHandle);
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    const Object* object = module.VisibleObject(*session, objectHandle);
    if (object == nullptr)
        return call.Return(CKR_OBJECT_HANDLE_INVALID);
    if (object->owner == 0 && (session->flags & CKF_RW_SESSION) == 0)
        return call.Return(CKR_SESSION_READ_ONLY);
    auto& objects = module.FindSlot(session->slot)->objects;
    objects.erase(std::remove_if(objects.begin(), objects.end(),
                                 [objectHandle](const Object& o) { return o.handle == objectHandle; }),
                  objects.end());
    return call.Return(CKR_OK);
}

CK_RV GetObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ULONG* size)
{
    CallRecord call("C_GetObjectSize");
    Module& module = Module::Instance();
    Guard guard(module.Lock());
    call.Field("object", objectHandle);
    Session* session = nullptr;
    if (const CK_RV rv = EnterSession(module, call, handle, &session))
        return call.Return(rv);
    const Object* object = module.VisibleObject(*session, objectHandle);
    if (object == nullptr)
        return call.Return(CKR_OBJECT_HANDLE_INVALID);
    if (size == nullptr)
        return call.Return(CKR_ARGUMENTS_BAD);
    CK_ULONG total = 0;
    for (const auto& attribute : object->attributes)
        total += attribute.second.size();
    *size = total;
    return call.Field("size", total).Return(CKR_OK);
}

}  // namespace testp11
