#include "DylibInfo.h"

#include "ModuleSigning.h"
#include "P11KernelTestUtil.h"
#include "P11Session.h"
#include "VerifyP11lib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using modsig::Chain;
using modsig::CopyFile;
using modsig::SignModule;

// The list freed (and its modules unloaded) at scope end.
struct List
{
    explicit List(const std::vector<std::string>& paths) : rows(new const char*[paths.size()][2])
    {
        for (size_t i = 0; i < paths.size(); ++i) names.push_back("CSP " + std::to_string(i));
        for (size_t i = 0; i < paths.size(); ++i) rows[i][0] = names[i].c_str(), rows[i][1] = paths[i].c_str();
        if (QOVA_OK != InitDylibInfoList(rows.get(), static_cast<int>(paths.size()), &head)) head = nullptr;
    }
    ~List() { UnitDylibInfoList(head); }
    DylibInfo* At(size_t i) const
    {
        DylibInfo* entry = static_cast<DylibInfo*>(head);
        while (entry && i--) entry = entry->pNext;
        return entry;
    }
    std::vector<std::string> names;
    std::unique_ptr<const char*[][2]> rows;
    void* head = nullptr;
};

TEST(ModuleList, BuiltInTableOrderWithOwnCopiesAndNothingLoaded)
{
    const std::vector<std::string> paths = {"/m/a.dylib", "/m/b.dylib", "/m/a.dylib"};
    List list(paths);
    ASSERT_NE(nullptr, list.head);
    for (size_t i = 0; i < paths.size(); ++i) {
        DylibInfo* entry = list.At(i);
        ASSERT_NE(nullptr, entry);
        EXPECT_EQ(paths[i], entry->pszDylibPath);
        EXPECT_NE(paths[i].c_str(), entry->pszDylibPath);
        EXPECT_EQ(list.names[i], entry->pszCSPName);
        EXPECT_EQ(0, entry->bLoaded);
    }
    EXPECT_EQ(nullptr, list.At(3));

    void* found = nullptr;
    EXPECT_EQ(QOVA_OK, GetDylibInfo("/m/a.dylib", list.head, &found));
    EXPECT_EQ(list.At(0), found);  // the first of two equal paths
    EXPECT_EQ(QOVA_OK, GetDylibInfo("/m/B.dylib", list.head, &found));
    EXPECT_EQ(nullptr, found);
    EXPECT_EQ(QOVA_E_INVALIDARG, GetDylibInfo("", list.head, &found));
    EXPECT_EQ(QOVA_E_INVALIDARG, GetDylibInfo(nullptr, list.head, &found));

    // A path no entry has: nothing is checked or loaded.
    LoadDylibInfoList(list.head, "/m/c.dylib", false, nullptr, 0);
    EXPECT_EQ(0, list.At(0)->bLoaded);

    // No rows: the empty list, on which every walk does nothing.
    void* head = reinterpret_cast<void*>(1);
    EXPECT_EQ(QOVA_OK, InitDylibInfoList(nullptr, -1, &head));
    EXPECT_EQ(nullptr, head);
    LoadDylibInfoList(head, nullptr, true, nullptr, 0);
    UnloadDylibInfoList(head);
    EXPECT_EQ(QOVA_OK, GetDylibInfo("/m/a.dylib", head, &found));
    EXPECT_EQ(nullptr, found);
    EXPECT_EQ(QOVA_OK, UnitDylibInfoList(head));
}

TEST(ModuleList, SignaturePathDropsTheLastSixCharacters)
{
    struct Case { const char* path; unsigned int code; const char* sig; };
    const Case kCases[] = {
        {"/usr/local/lib/libCorvelP11_2G.dylib", QOVA_OK, "/usr/local/lib/libCorvelP11_2G.sig"},
        {"libtestp11.so", QOVA_OK, "libtest.sig"},
        {"abcdef", QOVA_OK, ".sig"},
        // A path shorter than the six characters dropped must not underflow the copy.
        {"abcde", QOVA_E_INVALIDARG, nullptr},
        {"", QOVA_E_INVALIDARG, nullptr},
        {nullptr, QOVA_E_INVALIDARG, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        char* sig = nullptr;
        ASSERT_EQ(c.code, ConstructSigFilePathbyDylibPath(c.path, &sig));
        EXPECT_EQ(c.sig ? std::string(c.sig) : "(untouched)", sig ? std::string(sig) : "(untouched)");
        delete[] sig;
        if (QOVA_OK != c.code) {
            EXPECT_EQ(QOVA_E_INVALIDARG, CheckP11Dylib(c.path, true, nullptr, 0));
        }
    }
}

// Without verification a module loads when it and a signature file are present. A module on which
// a session is open stays loaded through the list's unload, until that session is released.
TEST(ModuleList, LoadsPresentModulesAndKeepsOneWithASessionLoaded)
{
    p11testbed::TestModule files("token t 1\n");
    testutil::ScopedTempDir dir;
    const std::string unsigned_ = dir.File("nosig.dylib"), present = dir.File("present.dylib");
    ASSERT_TRUE(CopyFile(p11testbed::TestModulePath(), unsigned_));
    ASSERT_TRUE(CopyFile(p11testbed::TestModulePath(), present));
    ASSERT_TRUE(testutil::WriteFile(modsig::SigPath(present), "not checked"));
    List list({unsigned_, present});

    LoadDylibInfoList(list.head, nullptr, false, nullptr, 0);
    EXPECT_EQ(0, list.At(0)->bLoaded);
    ASSERT_EQ(1, list.At(1)->bLoaded);
    EXPECT_EQ(QOVA_E_FILE_NOT_FOUND, CheckP11Dylib(unsigned_.c_str(), false, nullptr, 0));

    CK_SLOT_ID slot = 0;
    ASSERT_EQ(QOVA_OK, GetFirstSlot(list.At(1)->pCkFunctionList, &slot));
    void* session = nullptr;
    ASSERT_EQ(QOVA_OK, AcquireContext(list.At(1), nullptr, 0, slot, &session));
    UnloadDylibInfoList(list.head);
    EXPECT_EQ(1, list.At(1)->bLoaded);
    ReleaseSessionContext(session, true);
    EXPECT_EQ(0, list.At(1)->bLoaded);
    EXPECT_EQ("C_Finalize", files.Names().back());
}

// Copies of SoftHSM2 named *.dylib, each signed or spoiled as its case says, listed before a
// validly signed copy: a module loads only when its signature verifies under the trusted chain,
// and one that fails does not stop the walk.
TEST(ModuleSignatures, OnlyModulesSignedUnderTheTrustedChainLoad)
{
    if (p11testbed::SoftHsmModulePath().empty()) GTEST_SKIP() << "SoftHSM2 not installed";
    p11testbed::SoftHsmTokens tokens;
    ASSERT_TRUE(tokens.Ready());
    Chain chain(modsig::TrustedTexts());
    using Prepare = std::function<bool(const std::string& module)>;
    // The signature reader's own code for text that is no SignedData; only refusal counts here.
    constexpr unsigned int kAnyRefusal = 1;
    struct Case { const char* name; Prepare prepare; unsigned int code; };
    const Case kCases[] = {
        {"valid signature", [](const std::string& m) { return SignModule(m, "signer"); }, QOVA_OK},
        {"expired signer", [](const std::string& m) { return SignModule(m, "expired"); }, QOVA_OK},
        {"no signature file", [](const std::string&) { return true; }, QOVA_E_OPEN_FAILED},
        // Validly signed, but others could change it between the check and any later load.
        {"module writable by group",
         [](const std::string& m) { return SignModule(m, "signer") && 0 == chmod(m.c_str(), 0664); },
         QOVA_E_OPEN_FAILED},
        {"untrusted CA", [](const std::string& m) { return SignModule(m, "othersigner"); }, QOVA_E_FAIL},
        {"one byte changed after signing",
         [](const std::string& m) {
             std::string bytes;
             if (!SignModule(m, "signer") || !testutil::ReadFile(m, &bytes)) return false;
             bytes[bytes.size() / 2] ^= 1;
             return testutil::WriteFile(m, bytes);
         },
         QOVA_E_BAD_SIGNATURE},
        {"garbage signature file",
         [](const std::string& m) { return testutil::WriteFile(modsig::SigPath(m), "R2FyYmFnZQ== garbage"); },
         kAnyRefusal},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        testutil::ScopedTempDir dir;
        const std::string first = dir.File("libfirst.dylib"), second = dir.File("libsecond.dylib");
        ASSERT_TRUE(CopyFile(p11testbed::SoftHsmModulePath(), first));
        ASSERT_TRUE(CopyFile(p11testbed::SoftHsmModulePath(), second));
        ASSERT_TRUE(c.prepare(first));
        ASSERT_TRUE(SignModule(second, "signer"));
        const unsigned int code = CheckP11Dylib(first.c_str(), true, chain.Get(), chain.Count());
        if (kAnyRefusal == c.code)
            EXPECT_NE(QOVA_OK, code);
        else
            EXPECT_EQ(c.code, code);

        List list({first, second});
        LoadDylibInfoList(list.head, nullptr, true, chain.Get(), chain.Count());
        EXPECT_EQ(QOVA_OK == c.code, 1 == list.At(0)->bLoaded);
        ASSERT_EQ(1, list.At(1)->bLoaded);
        CK_INFO info;
        ASSERT_EQ(CKR_OK, list.At(1)->pCkFunctionList->C_GetInfo(&info));
        EXPECT_EQ(0, memcmp("SoftHSM", info.manufacturerID, 7));
    }
}

// A link flipped between a signed module and an unsigned library as fast as the two links can be
// exchanged, while selections check and load what it names: what is loaded must be the very file that was
// verified, so the unsigned library's constructor never runs, while the signed module still loads.
TEST(ModuleSignatures, CheckThenLoadRaceOnAFlippingLinkNeverRunsTheUnsignedLibrary)
{
    p11testbed::TestModule files("token t 1\n");
    testutil::ScopedTempDir dir;
    const std::string signedModule = dir.File("signed.dylib"), link = dir.File("libflip.dylib");
    const std::string mark = dir.File("mark"), other = dir.File("other");
    ASSERT_TRUE(CopyFile(p11testbed::TestModulePath(), signedModule));
    ASSERT_TRUE(SignModule(signedModule, "signer"));
    ASSERT_TRUE(CopyFile(modsig::SigPath(signedModule), modsig::SigPath(link)));
    ASSERT_EQ(0, symlink(signedModule.c_str(), link.c_str()));
    ASSERT_EQ(0, symlink(p11testbed::MarkModulePath().c_str(), other.c_str()));
    ASSERT_EQ(0, setenv("TESTP11_LOAD_MARK", mark.c_str(), 1));
    Chain chain(modsig::TrustedTexts());
    List list({link});

    // Each exchange of the two links is one atomic step: every lookup finds one of the two files.
    std::atomic<bool> stop{false};
    std::atomic<unsigned> flips{0};
    std::thread flipper([&] {
        while (!stop && 0 == renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE)) ++flips;
    });
    int loads = 0;
    for (int i = 0; i < 60 && !testutil::FileExists(mark); ++i) {
        LoadDylibInfoList(list.head, nullptr, true, chain.Get(), chain.Count());
        loads += list.At(0)->bLoaded;
        UnloadDylibInfoList(list.head);
    }
    stop = true;
    flipper.join();
    unsetenv("TESTP11_LOAD_MARK");
    EXPECT_FALSE(testutil::FileExists(mark));
    EXPECT_GT(flips.load(), 0u);
    EXPECT_GT(loads, 0);
}

// A FIFO in place of a module's signature file, or of the module, must not block the module walk
// (and with it the request and every later one): it is refused unread, and the next module loads.
TEST(ModuleSignatures, FifoInPlaceOfAModuleFileIsRefusedWithoutBlocking)
{
    p11testbed::TestModule files("token t 1\n");
    Chain chain(modsig::TrustedTexts());
    for (const bool fifoModule : {false, true}) {
        SCOPED_TRACE(fifoModule ? "module" : "signature file");
        testutil::ScopedTempDir dir;
        const std::string first = dir.File("libfifo.dylib"), second = dir.File("libgood.dylib");
        ASSERT_TRUE(CopyFile(p11testbed::TestModulePath(), second));
        ASSERT_TRUE(SignModule(second, "signer"));
        const std::string fifo = fifoModule ? first : modsig::SigPath(first);
        ASSERT_TRUE(fifoModule ? CopyFile(modsig::SigPath(second), modsig::SigPath(first))
                               : CopyFile(p11testbed::TestModulePath(), first));
        ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
        List list({first, second});

        auto walk = std::async(std::launch::async, [&] {
            LoadDylibInfoList(list.head, nullptr, true, chain.Get(), chain.Count());
        });
        const bool answered = std::future_status::ready == walk.wait_for(std::chrono::seconds(1));
        // A blocked opener is freed by a writer that comes and goes, so that the test can end.
        for (int i = 0; i < 100 && std::future_status::ready != walk.wait_for(std::chrono::milliseconds(50)); ++i) {
            const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) close(fd);
        }
        walk.get();
        EXPECT_TRUE(answered);
        EXPECT_EQ(0, list.At(0)->bLoaded);
        EXPECT_EQ(1, list.At(1)->bLoaded);
    }
}

}  // namespace
