#include "P11KernelTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace p11test;
using p11testbed::FixtureFile;

std::string FixtureDer(const std::string& name)
{
    return testutil::ReadFileOrEmpty(FixtureFile(name));
}

// A session on the test module's first token, with the fixture lines given.
struct TokenSession
{
    explicit TokenSession(const std::string& fixture, CK_SLOT_ID slot = 1) : loaded(fixture)
    {
        EXPECT_EQ(QOVA_OK, AcquireContext(loaded.entry.get(), nullptr, 0, slot, &pCtx));
    }
    ~TokenSession() { ReleaseSessionContext(pCtx, false); }
    CK_SESSION_HANDLE Session() const { return static_cast<SessionCtx*>(pCtx)->hSession; }
    Loaded loaded;
    void* pCtx = nullptr;
};

TEST(P11Object, AttributeListsByClassAnswerSensitivePartsAsUnavailable)
{
    // The test module numbers objects in fixture order: certificate 1, private key 2, public key 3,
    // data object 4, vendor object 5.
    TokenSession token("token t 1234\ncert c#2 c " + FixtureFile("rsa1.der") + "\nrsakey c#2 c " +
                       FixtureFile("rsa1.key") + "\ndata app hex:06032a0304 -\nobject v#2 0x80000001\n" +
                       "hide c#2 CKA_SUBJECT\n");
    ASSERT_EQ(QOVA_OK, LoginSession(token.pCtx, PinBytes("1234"), 4));
    CK_FUNCTION_LIST* list = token.loaded.List();
    std::string modulus;
    ASSERT_TRUE(Openssl("rsa -in " + FixtureFile("rsa1.key") + " -noout -modulus", &modulus));

    Attributes cert, priv, pub, data;
    CK_OBJECT_CLASS ulClass = 99;
    ASSERT_EQ(QOVA_OK, CkGetObjectAllAttribute(list, token.Session(), 1, &ulClass, cert.items));
    EXPECT_EQ(static_cast<CK_OBJECT_CLASS>(CKO_CERTIFICATE), ulClass);
    ASSERT_EQ(13u, cert.items.size());
    EXPECT_EQ(static_cast<CK_ATTRIBUTE_TYPE>(CKA_CLASS), cert.items.back().type);
    EXPECT_EQ(FixtureDer("rsa1.der"), cert.Value(CKA_VALUE));
    // A text value ends with a zero byte beyond its length.
    EXPECT_STREQ("c#2", static_cast<const char*>(cert.Find(CKA_ID)->pValue));
    // An attribute the module will not give is kept, with the module's length and no value.
    EXPECT_EQ(nullptr, cert.Find(CKA_SUBJECT)->pValue);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, cert.Find(CKA_SUBJECT)->ulValueLen);

    ASSERT_EQ(QOVA_OK, CkGetObjectAllAttribute(list, token.Session(), 2, &ulClass, priv.items));
    EXPECT_EQ(static_cast<CK_OBJECT_CLASS>(CKO_PRIVATE_KEY), ulClass);
    ASSERT_EQ(30u, priv.items.size());
    EXPECT_EQ(std::string(1, CK_TRUE), priv.Value(CKA_SENSITIVE));
    for (CK_ATTRIBUTE_TYPE type : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                                   CKA_COEFFICIENT}) {
        EXPECT_EQ(nullptr, priv.Find(type)->pValue);
        EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, priv.Find(type)->ulValueLen);
    }
    std::string hex = testutil::BytesToHex(Bytes(priv.Value(CKA_MODULUS)), priv.Value(CKA_MODULUS).size());
    std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
    EXPECT_EQ("Modulus=" + hex + "\n", modulus);

    ASSERT_EQ(QOVA_OK, CkGetObjectAllAttribute(list, token.Session(), 3, &ulClass, pub.items));
    EXPECT_EQ(static_cast<CK_OBJECT_CLASS>(CKO_PUBLIC_KEY), ulClass);
    ASSERT_EQ(19u, pub.items.size());
    EXPECT_EQ(priv.Value(CKA_MODULUS), pub.Value(CKA_MODULUS));
    EXPECT_EQ(2048u, *static_cast<const CK_ULONG*>(pub.Find(CKA_MODULUS_BITS)->pValue));

    // Appended to what the vector holds.
    data.items.push_back(CK_ATTRIBUTE{CKA_LABEL, new unsigned char[1](), 0});
    ASSERT_EQ(QOVA_OK, CkGetObjectAllAttribute(list, token.Session(), 4, &ulClass, data.items));
    EXPECT_EQ(static_cast<CK_OBJECT_CLASS>(CKO_DATA), ulClass);
    ASSERT_EQ(9u, data.items.size());
    EXPECT_EQ(static_cast<CK_ATTRIBUTE_TYPE>(CKA_LABEL), data.items[0].type);
    EXPECT_EQ("app", data.Value(CKA_APPLICATION));
    EXPECT_EQ(std::string("\x06\x03\x2a\x03\x04", 5), data.Value(CKA_OBJECT_ID));

    // A vendor class is refused and nothing is appended.
    ulClass = 99;
    EXPECT_EQ(QOVA_E_P11_NOT_SUPPORTED, CkGetObjectAllAttribute(list, token.Session(), 5, &ulClass, data.items));
    EXPECT_EQ(99u, ulClass);
    EXPECT_EQ(9u, data.items.size());
    EXPECT_EQ(QOVA_E_INVALIDARG, CkGetObjectAllAttribute(list, token.Session(), 0, &ulClass, data.items));
    EXPECT_EQ(QOVA_OK, CkCleanVtrAttributes(data.items));
    EXPECT_TRUE(data.items.empty());
}

// Hazard: a value read that fails must release the buffers this call allocated and keep the
// entries (and buffers) the caller passed in.
TEST(P11Object, FailedValueReadReleasesOnlyThisCallsBuffers)
{
    struct Case { const char* name; std::string fault; unsigned int code; };
    const Case kCases[] = {
        // On token b: the class, then CKA_CLASS's length and value, CKA_TOKEN's length; its value fails.
        {"module fails a value read", "fail C_GetAttributeValue 0x31 slot=2 after=4\n", 0xA0071831u},
        {"value longer than announced", "badlen y CKA_TOKEN 1 64\n", 0xA0071830u},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TokenSession a("token a 1\ncert x x " + FixtureFile("rsa1.der") + "\ntoken b 2\ncert y y " +
                       FixtureFile("rsa2.der") + "\n" + c.fault);
        void* pB = nullptr;
        ASSERT_EQ(QOVA_OK, AcquireContext(a.loaded.entry.get(), nullptr, 0, 2, &pB));
        Attributes kept;
        CK_OBJECT_CLASS ulClass = 0;
        ASSERT_EQ(QOVA_OK, CkGetObjectAllAttribute(a.loaded.List(), a.Session(), 1, &ulClass, kept.items));
        EXPECT_EQ(c.code, CkGetObjectAllAttribute(a.loaded.List(), static_cast<SessionCtx*>(pB)->hSession, 2,
                                                  &ulClass, kept.items));
        ASSERT_EQ(13u, kept.items.size());
        EXPECT_EQ(FixtureDer("rsa1.der"), kept.Value(CKA_VALUE));
        ReleaseSessionContext(pB, false);
    }
}

TEST(P11Object, DataObjectsReadBack)
{
    const std::string kData = "data app1 hex:06032a0304 " + FixtureFile("rsa1.der") + "\ndata app2 - -\n";
    const std::string kCert = "cert c c " + FixtureFile("rsa2.der") + "\n";
    struct Case { const char* name; std::string objects; unsigned int code; size_t count; size_t finals; };
    const Case kCases[] = {
        {"two data objects among others", kData + kCert, QOVA_OK, 2, 1},
        {"no data object", kCert, QOVA_OK, 0, 1},
        // Hazard: the buffers of an object whose second read fails must be released.
        {"second read of the second object fails", kData + "fail C_GetAttributeValue 0x31 after=3\n", 0xA0071831u,
         1, 1},
        {"search step fails", kData + "fail C_FindObjects 0x31\n", 0xA0071831u, 0, 1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TokenSession token("token t 1\n" + c.objects);
        DataValues values;
        EXPECT_EQ(c.code, CkGetAllDataValue(token.loaded.List(), token.Session(), values.items));
        ASSERT_EQ(c.count, values.items.size());
        EXPECT_EQ(c.finals, token.loaded.module.Calls("C_FindObjectsFinal").size());
        if (c.count == 0)
            continue;
        const _DATA_VALUE& first = values.items[0];
        EXPECT_STREQ("app1", first.pszApplication);
        EXPECT_EQ(std::string("\x06\x03\x2a\x03\x04", 5),
                  std::string(reinterpret_cast<char*>(first.pbyObjectID), first.ulObjectIDLen));
        EXPECT_EQ(FixtureDer("rsa1.der"), std::string(reinterpret_cast<char*>(first.pbyValue), first.ulValueLen));
        if (c.count < 2)
            continue;
        EXPECT_STREQ("app2", values.items[1].pszApplication);
        EXPECT_EQ(0u, values.items[1].ulObjectIDLen);
        EXPECT_EQ(nullptr, values.items[1].pbyObjectID);
        EXPECT_EQ(0u, values.items[1].ulValueLen);
        EXPECT_EQ(nullptr, values.items[1].pbyValue);
        // A second call appends.
        EXPECT_EQ(QOVA_OK, CkGetAllDataValue(token.loaded.List(), token.Session(), values.items));
        EXPECT_EQ(4u, values.items.size());
    }
}

TEST(P11Object, ObjectSize)
{
    TokenSession token("token t 1\ncert c c " + FixtureFile("rsa1.der") + "\nfail C_GetObjectSize 0x31 after=1\n");
    CK_FUNCTION_LIST* list = token.loaded.List();
    CK_ULONG ulSize = 0;
    ASSERT_EQ(QOVA_OK, CkGetObjectSize(list, token.Session(), 1, &ulSize));
    EXPECT_LT(FixtureDer("rsa1.der").size(), ulSize);
    EXPECT_EQ(0xA0071831u, CkGetObjectSize(list, token.Session(), 1, &ulSize));
    EXPECT_EQ(QOVA_E_MISSING_ARG, CkGetObjectSize(list, token.Session(), 0, &ulSize));
}

}  // namespace
