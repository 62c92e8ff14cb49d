// Text helpers of the revocation lookup: names and distribution points as text, the element
// reader and the DN reversal, with their size limits.
#include "SMVerify.h"

#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct FreeDeleter
{
    void operator()(char* p) const { free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

struct NameFree
{
    void operator()(X509_NAME* p) const { X509_NAME_free(p); }
};
struct GeneralNameFree
{
    void operator()(GENERAL_NAME* p) const { GENERAL_NAME_free(p); }
};
struct GeneralNamesFree
{
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
};
struct DpnFree
{
    void operator()(DIST_POINT_NAME* p) const { DIST_POINT_NAME_free(p); }
};
using Name = std::unique_ptr<X509_NAME, NameFree>;
using GeneralName = std::unique_ptr<GENERAL_NAME, GeneralNameFree>;

// Entries in encoding order: {short name, UTF-8 value}.
Name MakeName(const std::vector<std::pair<const char*, std::string>>& entries)
{
    Name name(X509_NAME_new());
    for (const auto& e : entries)
        X509_NAME_add_entry_by_txt(name.get(), e.first, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(e.second.data()),
                                   static_cast<int>(e.second.size()), -1, 0);
    return name;
}

GeneralName Uri(const std::string& uri)
{
    GeneralName gn(GENERAL_NAME_new());
    ASN1_IA5STRING* s = ASN1_IA5STRING_new();
    ASN1_STRING_set(s, uri.data(), static_cast<int>(uri.size()));
    GENERAL_NAME_set0_value(gn.get(), GEN_URI, s);
    return gn;
}

GeneralName DirName(Name name)
{
    GeneralName gn(GENERAL_NAME_new());
    GENERAL_NAME_set0_value(gn.get(), GEN_DIRNAME, name.release());
    return gn;
}

TEST(RevocationText, NamesAreWrittenLastEntryFirst)
{
    struct Case
    {
        const char* name;
        std::vector<std::pair<const char*, std::string>> entries;
        int result;
        std::string text;
    };
    // "description=" + 1007 + ",C=CN" = 1024 characters (common names are limited to 64).
    const std::string value1007(1007, 'v');
    const Case kCases[] = {
        {"CN, O, C in encoding order", {{"CN", "CA1"}, {"O", "Org"}, {"C", "CN"}}, 1, "C=CN,O=Org,CN=CA1"},
        {"one entry, no separator", {{"CN", "x"}}, 1, "CN=x"},
        {"values in UTF-8", {{"CN", "\xE6\xB5\x8B\xE8\xAF\x95"}}, 1, "CN=\xE6\xB5\x8B\xE8\xAF\x95"},
        {"1024 characters fit", {{"C", "CN"}, {"description", value1007}}, 1, "description=" + value1007 + ",C=CN"},
        {"1025 characters overflow", {{"C", "CN"}, {"description", value1007 + "w"}}, 0, ""},
        {"an empty name", {}, 0, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Name name = MakeName(c.entries);
        char* raw = nullptr;
        int length = -1;
        EXPECT_EQ(c.result, GetX509Name(name.get(), &raw, &length));
        Text text(raw);
        if (c.result == 1) {
            ASSERT_NE(nullptr, raw);
            EXPECT_EQ(c.text, raw);
            EXPECT_EQ(static_cast<int>(c.text.size()), length);
        } else {
            EXPECT_EQ(nullptr, raw);
            EXPECT_EQ(-1, length);
        }
    }
}

TEST(RevocationText, GeneralNamesKeepOnlyLdapUrisAndDirectoryNames)
{
    struct Case
    {
        const char* name;
        GeneralName gn;
        int result;
        std::string text;
    };
    GeneralName dns(GENERAL_NAME_new());
    ASN1_IA5STRING* host = ASN1_IA5STRING_new();
    ASN1_STRING_set(host, "ldap.test", -1);
    GENERAL_NAME_set0_value(dns.get(), GEN_DNS, host);
    std::vector<Case> cases;
    cases.push_back({"an LDAP URI is copied", Uri("ldap://h/CN=CA1?x"), 1, "ldap://h/CN=CA1?x"});
    cases.push_back({"an http URI gives empty text", Uri("http://h/ca.crl"), 1, ""});
    cases.push_back({"a DNS name gives empty text", std::move(dns), 1, ""});
    cases.push_back({"a directory name gives its text", DirName(MakeName({{"O", "Org"}, {"CN", "CA1"}})), 1,
                     "CN=CA1,O=Org"});
    cases.push_back({"an empty directory name fails", DirName(MakeName({})), 0, ""});
    cases.push_back({"an LDAP URI of 1024 characters fits", Uri("ldap://" + std::string(1017, 'h')), 1,
                     "ldap://" + std::string(1017, 'h')});
    cases.push_back({"a longer LDAP URI fails", Uri("ldap://" + std::string(1018, 'h')), 0, ""});
    cases.push_back({"a NUL inside an LDAP URI must not cut it short unnoticed",
                     Uri(std::string("ldap://h/CN=a\0b", 15)), 0, ""});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char* raw = nullptr;
        EXPECT_EQ(c.result, GetGeneralName(c.gn.get(), &raw, nullptr));
        Text text(raw);
        if (c.result == 1) {
            ASSERT_NE(nullptr, raw);
            EXPECT_EQ(c.text, raw);
        } else {
            EXPECT_EQ(nullptr, raw);
        }
    }
}

TEST(RevocationText, DistributionPointNames)
{
    // A full name: its names' texts concatenated without separators.
    std::unique_ptr<DIST_POINT_NAME, DpnFree> full(DIST_POINT_NAME_new());
    full->type = 0;
    full->name.fullname = GENERAL_NAMES_new();
    sk_GENERAL_NAME_push(full->name.fullname, Uri("ldap://a/CN=1").release());
    sk_GENERAL_NAME_push(full->name.fullname, Uri("http://skipped").release());
    sk_GENERAL_NAME_push(full->name.fullname, DirName(MakeName({{"CN", "2"}})).release());
    char* raw = nullptr;
    int length = 0;
    ASSERT_EQ(1, GetDP(full.get(), &raw, &length));
    Text text(raw);
    EXPECT_STREQ("ldap://a/CN=1CN=2", raw);
    EXPECT_EQ(17, length);

    // A name relative to the CRL issuer gives no text.
    std::unique_ptr<DIST_POINT_NAME, DpnFree> relative(DIST_POINT_NAME_new());
    relative->type = 1;
    relative->name.relativename = sk_X509_NAME_ENTRY_new_null();
    raw = reinterpret_cast<char*>(1);
    EXPECT_EQ(1, GetDP(relative.get(), &raw, nullptr));
    EXPECT_EQ(nullptr, raw);

    // 5120 characters in all fit; more fail.
    std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> names(GENERAL_NAMES_new());
    for (int i = 0; i < 5; ++i)
        sk_GENERAL_NAME_push(names.get(), Uri("ldap" + std::string(1020, 'x')).release());
    raw = nullptr;
    ASSERT_EQ(1, GetGeneralNames(names.get(), &raw, &length));
    free(raw);
    EXPECT_EQ(5120, length);
    sk_GENERAL_NAME_push(names.get(), Uri("ldap").release());
    raw = nullptr;
    EXPECT_EQ(0, GetGeneralNames(names.get(), &raw, &length));
    EXPECT_EQ(nullptr, raw);
}

TEST(RevocationText, UrlArrayIsFreedAndCleared)
{
    char* urls[SM_LDAP_URL_ARRAY_SIZE] = {};
    urls[0] = static_cast<char*>(malloc(4));
    urls[SM_LDAP_URL_ARRAY_SIZE - 1] = static_cast<char*>(malloc(4));
    FreeLdapURLArray(urls);
    for (char* u : urls)
        EXPECT_EQ(nullptr, u);
    FreeLdapURLArray(nullptr);
}

TEST(RevocationText, ElementBetweenMarkers)
{
    struct Case
    {
        const char* name;
        const char* text;
        const char* start;
        const char* end;
        int result;
        const char* value;
    };
    const Case kCases[] = {
        {"found", "<a><result>1001</result></a>", "<result>", "</result>", 0, "1001"},
        {"first start, then the first end after it", "x</r><r>1</r><r>2</r>", "<r>", "</r>", 0, "1"},
        {"empty element", "<r></r>", "<r>", "</r>", 0, ""},
        {"start marker missing", "1001</r>", "<r>", "</r>", -1, nullptr},
        {"end marker missing", "<r>1001", "<r>", "</r>", -1, nullptr},
        {"null text", nullptr, "<r>", "</r>", -1, nullptr},
        {"null marker", "<r>1</r>", nullptr, "</r>", -1, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        char* raw = nullptr;
        EXPECT_EQ(c.result, Get_SpecifiedStrFromStrData(c.text, c.start, c.end, &raw));
        Text value(raw);
        if (c.value != nullptr) {
            EXPECT_STREQ(c.value, raw);
        } else {
            EXPECT_EQ(nullptr, raw);
        }
    }
    EXPECT_EQ(-1, Get_SpecifiedStrFromStrData("<r>1</r>", "<r>", "</r>", nullptr));
}

TEST(RevocationText, DnPartsReversedInPlace)
{
    struct Case
    {
        const char* name;
        std::string dn;
        int result;
        std::string reversed;
    };
    std::string ten, eleven;
    for (int i = 0; i < 11; ++i) {
        if (i < 10)
            ten += (i ? "," : "") + std::to_string(i);
        eleven += (i ? "," : "") + std::to_string(i);
    }
    const Case kCases[] = {
        {"three parts", "C=CN,O=Org,CN=CA1", 0, "CN=CA1,O=Org,C=CN"},
        {"spaces stay part of their part", "C=CN, O=Org", 0, " O=Org,C=CN"},
        {"empty parts disappear", ",a,,b,", 0, "b,a"},
        {"one part", "CN=x", 0, "CN=x"},
        {"ten parts", ten, 0, "9,8,7,6,5,4,3,2,1,0"},
        {"eleven parts", eleven, -1, eleven},
        {"a part of 511 characters", std::string(511, 'p') + ",q", 0, "q," + std::string(511, 'p')},
        {"a part of 512 characters", std::string(512, 'p') + ",q", -1, std::string(512, 'p') + ",q"},
        {"empty text", "", -1, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<char> buffer(c.dn.begin(), c.dn.end());
        buffer.push_back('\0');
        EXPECT_EQ(c.result, X509_Reverse_CRLDN_Order(buffer.data()));
        EXPECT_EQ(c.reversed, buffer.data());
    }
    EXPECT_EQ(-1, X509_Reverse_CRLDN_Order(nullptr));
}

}  // namespace
