// The test module is the reference the token code is checked against; these cases guard its
// own contract: the export, a complete function list, the token's login model.
#include "P11TestBed.h"

#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

using p11testbed::TestModule;

// The module opened directly, without the project's kernel.
struct Opened
{
    Opened()
    {
        handle = dlopen(p11testbed::TestModulePath().c_str(), RTLD_NOW);
        if (handle == nullptr)
            return;
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
        if (get != nullptr)
            get(&list);
    }
    ~Opened()
    {
        if (handle != nullptr)
            dlclose(handle);
    }
    void* handle = nullptr;
    CK_FUNCTION_LIST* list = nullptr;
};

TEST(TestModule, ExportsOnlyTheListAndSetsEveryEntry)
{
    std::string symbols;
    ASSERT_EQ(0, testutil::RunCommand("nm -D --defined-only " + testutil::ShellQuote(p11testbed::TestModulePath()) +
                                          " | awk '{print $3}'",
                                      &symbols));
    EXPECT_EQ("C_GetFunctionList\n", symbols);

    TestModule module("token t 1\n");
    Opened opened;
    ASSERT_NE(nullptr, opened.list);
    // The 68 pointers after the version.
    const auto* entries = reinterpret_cast<void* const*>(&opened.list->C_Initialize);
    const size_t count = (sizeof(CK_FUNCTION_LIST) - offsetof(CK_FUNCTION_LIST, C_Initialize)) / sizeof(void*);
    ASSERT_EQ(68u, count);
    for (size_t i = 0; i < count; ++i)
        EXPECT_NE(nullptr, entries[i]) << "entry " << i;
    EXPECT_EQ(static_cast<CK_RV>(CKR_FUNCTION_NOT_SUPPORTED), opened.list->C_WaitForSlotEvent(0, nullptr, nullptr));
    EXPECT_EQ(1u, module.Calls("C_WaitForSlotEvent").size());
}

TEST(TestModule, LoginBelongsToTheTokenAndHidesPrivateObjects)
{
    TestModule module("token t 1234\nsm2key k key " + p11testbed::FixtureFile("sm2.key") + "\ntoken u 5678\n");
    Opened opened;
    ASSERT_NE(nullptr, opened.list);
    CK_FUNCTION_LIST* f = opened.list;
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), f->C_Initialize(nullptr));
    EXPECT_EQ(static_cast<CK_RV>(CKR_CRYPTOKI_ALREADY_INITIALIZED), f->C_Initialize(nullptr));

    CK_SESSION_HANDLE a = 0, b = 0, other = 0;
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &a));
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &b));
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), f->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &other));

    auto countKeys = [&](CK_SESSION_HANDLE session) {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof(cls)}};
        CK_OBJECT_HANDLE found[4];
        CK_ULONG count = 0;
        f->C_FindObjectsInit(session, templ, 1);
        f->C_FindObjects(session, found, 4, &count);
        f->C_FindObjectsFinal(session);
        return count;
    };
    unsigned char pin[] = "1234";
    EXPECT_EQ(0u, countKeys(b));
    EXPECT_EQ(static_cast<CK_RV>(CKR_OK), f->C_Login(a, CKU_USER, pin, 4));
    EXPECT_EQ(static_cast<CK_RV>(CKR_USER_ALREADY_LOGGED_IN), f->C_Login(b, CKU_USER, pin, 4));
    EXPECT_EQ(1u, countKeys(b));
    EXPECT_EQ(static_cast<CK_RV>(CKR_PIN_INCORRECT), f->C_Login(other, CKU_USER, pin, 4));

    // The login ends with the token's last session.
    f->C_CloseSession(a);
    f->C_CloseSession(b);
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &a));
    EXPECT_EQ(0u, countKeys(a));
    EXPECT_EQ(static_cast<CK_RV>(CKR_OK), f->C_Finalize(nullptr));
    EXPECT_EQ(static_cast<CK_RV>(CKR_CRYPTOKI_NOT_INITIALIZED), f->C_GetSlotList(CK_TRUE, nullptr, nullptr));
}

TEST(TestModule, CreatedObjectsFollowTheSessionAndLoginRules)
{
    TestModule module("token t 1234\n");
    Opened opened;
    ASSERT_NE(nullptr, opened.list);
    CK_FUNCTION_LIST* f = opened.list;
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), f->C_Initialize(nullptr));
    CK_SESSION_HANDLE ro = 0, rw = 0;
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &ro));
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &rw));

    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    auto create = [&](CK_SESSION_HANDLE session, CK_BBOOL* token, CK_BBOOL* priv, CK_OBJECT_HANDLE* object) {
        CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof(cls)}, {CKA_TOKEN, token, 1}, {CKA_PRIVATE, priv, 1}};
        return f->C_CreateObject(session, templ, 3, object);
    };
    auto size = [&](CK_OBJECT_HANDLE object) {
        CK_ULONG value = 0;
        return f->C_GetObjectSize(rw, object, &value) == CKR_OK ? value : 0;
    };
    CK_OBJECT_HANDLE tokenObject = 0, sessionObject = 0, privateObject = 0;
    EXPECT_EQ(static_cast<CK_RV>(CKR_SESSION_READ_ONLY), create(ro, &yes, &no, &tokenObject));
    EXPECT_EQ(static_cast<CK_RV>(CKR_USER_NOT_LOGGED_IN), create(rw, &yes, &yes, &privateObject));
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), create(rw, &yes, &no, &tokenObject));
    ASSERT_EQ(static_cast<CK_RV>(CKR_OK), create(ro, &no, &no, &sessionObject));
    EXPECT_EQ(sizeof(CK_ULONG) + 2, size(tokenObject));
    EXPECT_EQ(static_cast<CK_RV>(CKR_SESSION_READ_ONLY), f->C_DestroyObject(ro, tokenObject));

    // A session object ends with its session; a destroyed one is gone.
    f->C_CloseSession(ro);
    EXPECT_EQ(0u, size(sessionObject));
    EXPECT_EQ(static_cast<CK_RV>(CKR_OK), f->C_DestroyObject(rw, tokenObject));
    EXPECT_EQ(static_cast<CK_RV>(CKR_OBJECT_HANDLE_INVALID), f->C_DestroyObject(rw, tokenObject));
    EXPECT_EQ(static_cast<CK_RV>(CKR_OK), f->C_Finalize(nullptr));
}

}  // namespace
