// Helpers shared by the kernel's test files.
#ifndef VARNELL_P11_KERNEL_TEST_UTIL_H
#define VARNELL_P11_KERNEL_TEST_UTIL_H

#include "P11Kernel.h"
#include "P11TestBed.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace p11test {

inline char* CopyText(const std::string& text)
{
    char* copy = new char[text.size() + 1];
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// A module entry as the module list makes it; unloaded (when no session is left) and freed at scope end.
struct EntryFree
{
    void operator()(DylibInfo* entry) const
    {
        UnLoadP11Dylib(entry);
        ReleaseDylibInfo(entry);
    }
};
using EntryPtr = std::unique_ptr<DylibInfo, EntryFree>;

inline EntryPtr NewEntry(const std::string& path, const std::string& name = "Test CSP")
{
    DylibInfo* entry = new DylibInfo[1]();
    entry->pszDylibPath = CopyText(path);
    entry->pszCSPName = CopyText(name);
    return EntryPtr(entry);
}

// The test module with the given fixture, loaded through an entry of its own.
struct Loaded
{
    explicit Loaded(const std::string& fixture) : module(fixture), entry(NewEntry(p11testbed::TestModulePath()))
    {
        EXPECT_EQ(QOVA_OK, LoadP11Dylib(entry.get()));
    }
    CK_FUNCTION_LIST* List() const { return entry->pCkFunctionList; }
    p11testbed::TestModule module;
    EntryPtr entry;
};

// Certificate records released at scope end.
struct RecordSet
{
    std::vector<_CERTIFICATE_DATA*> records;
    ~RecordSet() { ClearCertificateDataSet(records); }
};

inline std::string Der(const _CERTIFICATE_DATA* record)
{
    return std::string(reinterpret_cast<const char*>(record->pbyCertificate),
                       static_cast<size_t>(record->nCertificateSize));
}

inline unsigned char* PinBytes(const std::string& pin)
{
    return reinterpret_cast<unsigned char*>(const_cast<char*>(pin.data()));
}

inline std::string Label(const CK_TOKEN_INFO& info)
{
    std::string label(reinterpret_cast<const char*>(info.label), sizeof(info.label));
    return label.substr(0, label.find_last_not_of(' ') + 1);
}

// A session logged in on the token with this label, and the handles of the key pair with this CKA_ID.
struct KeySession
{
    KeySession(DylibInfo* entry, const std::string& label, const std::string& pin, const std::string& id)
    {
        std::vector<_SLOT_STRUCT> slots;
        std::vector<_TOKEN_STRUCT> tokens;
        if (QOVA_OK != CryptoGetDeviceInfo(entry, nullptr, slots, tokens))
            return;
        for (const _TOKEN_STRUCT& token : tokens) {
            if (Label(token.stTokenInfo) == label &&
                QOVA_OK == AcquireContext(entry, PinBytes(pin), static_cast<int>(pin.size()), token.ulSlotID, &pCtx))
                break;
        }
        if (nullptr == pCtx)
            return;
        CkGetSpecifiedObjectByCkID(List(), Session(), PinBytes(id), CKO_PRIVATE_KEY, &hPrivate);
        CkGetSpecifiedObjectByCkID(List(), Session(), PinBytes(id), CKO_PUBLIC_KEY, &hPublic);
    }
    ~KeySession() { ReleaseSessionContext(pCtx, false); }
    KeySession(const KeySession&) = delete;
    KeySession& operator=(const KeySession&) = delete;

    bool Ready() const { return nullptr != pCtx && 0 != hPrivate && 0 != hPublic; }
    SessionCtx* Ctx() const { return static_cast<SessionCtx*>(pCtx); }
    CK_FUNCTION_LIST* List() const { return Ctx()->pDylibInfo->pCkFunctionList; }
    CK_SESSION_HANDLE Session() const { return Ctx()->hSession; }

    void* pCtx = nullptr;
    CK_OBJECT_HANDLE hPrivate = 0;
    CK_OBJECT_HANDLE hPublic = 0;
};

// RSA key cont1#2 on SoftHSM2's token tokA, in a logged-in session of a private token copy.
struct SoftHsmKey
{
    SoftHsmKey() : entry(NewEntry(p11testbed::SoftHsmModulePath(), "SoftHSM"))
    {
        if (tokens.Ready() && QOVA_OK == LoadP11Dylib(entry.get()))
            key.reset(new KeySession(entry.get(), "tokA", p11testbed::kDefaultPin, "cont1#2"));
    }
    bool Ready() const { return key && key->Ready(); }
    p11testbed::SoftHsmTokens tokens;
    EntryPtr entry;
    std::unique_ptr<KeySession> key;
};

// The test module's SM2 key "k" (the fixture sm2.key) on token "t" with PIN 1234.
inline const std::string kSm2Token = "token t 1234\nsm2key k key " + p11testbed::FixtureFile("sm2.key") + "\n";

// The SM2 key in a logged-in session of the test module, with the fixture lines in extra; the call
// log starts after the session was opened.
struct Sm2Token
{
    explicit Sm2Token(const std::string& extra = "")
        : loaded(kSm2Token + extra), key(loaded.entry.get(), "t", "1234", "k")
    {
        loaded.module.ClearLog();
    }
    Loaded loaded;
    KeySession key;
};

// An array-new result of the kernel, freed at scope end.
struct Output
{
    unsigned char* data = nullptr;
    CK_ULONG size = 0;
    ~Output() { delete[] data; }
    void Reset()
    {
        delete[] data;
        data = nullptr;
        size = 0;
    }
    std::string Str() const
    {
        return data == nullptr ? std::string() : std::string(reinterpret_cast<char*>(data), size);
    }
};

inline unsigned char* Bytes(const std::string& text)
{
    return reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
}

// Attributes read by CkGetObjectAllAttribute, released at scope end.
struct Attributes
{
    std::vector<CK_ATTRIBUTE> items;
    ~Attributes() { CkCleanVtrAttributes(items); }
    // The first entry of the type, or null.
    const CK_ATTRIBUTE* Find(CK_ATTRIBUTE_TYPE type) const
    {
        for (const CK_ATTRIBUTE& item : items) {
            if (item.type == type)
                return &item;
        }
        return nullptr;
    }
    std::string Value(CK_ATTRIBUTE_TYPE type) const
    {
        const CK_ATTRIBUTE* item = Find(type);
        return item == nullptr || item->pValue == nullptr
                   ? std::string()
                   : std::string(static_cast<const char*>(item->pValue), item->ulValueLen);
    }
};

// Data objects read by CkGetAllDataValue, released at scope end.
struct DataValues
{
    std::vector<_DATA_VALUE> items;
    ~DataValues()
    {
        for (const _DATA_VALUE& item : items) {
            delete[] item.pszApplication;
            delete[] item.pbyObjectID;
            delete[] item.pbyValue;
        }
    }
};

// The objects of the class with this CKA_ID, found with the module's own calls.
inline std::vector<CK_OBJECT_HANDLE> ObjectsWithId(CK_FUNCTION_LIST* list, CK_SESSION_HANDLE session,
                                                   CK_OBJECT_CLASS cls, const std::string& id)
{
    CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof(cls)}, {CKA_ID, Bytes(id), id.size()}};
    CK_OBJECT_HANDLE found[16];
    CK_ULONG count = 0;
    if (CKR_OK != list->C_FindObjectsInit(session, templ, 2))
        return {};
    list->C_FindObjects(session, found, 16, &count);
    list->C_FindObjectsFinal(session);
    return std::vector<CK_OBJECT_HANDLE>(found, found + count);
}

// One attribute's value read with the module's own calls; empty when it cannot be read.
inline std::string ReadValue(CK_FUNCTION_LIST* list, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                             CK_ATTRIBUTE_TYPE type)
{
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    if (CKR_OK != list->C_GetAttributeValue(session, object, &attribute, 1))
        return std::string();
    std::string value(attribute.ulValueLen, '\0');
    attribute.pValue = &value[0];
    if (CKR_OK != list->C_GetAttributeValue(session, object, &attribute, 1))
        return std::string();
    value.resize(attribute.ulValueLen);
    return value;
}

// Runs the openssl command; true when it exits with 0. Its output (stdout and stderr) in *output.
inline bool Openssl(const std::string& arguments, std::string* output = nullptr)
{
    return 0 == testutil::RunCommand("openssl " + arguments + " 2>&1", output);
}

}  // namespace p11test

#endif
