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

}  // namespace p11test

#endif
