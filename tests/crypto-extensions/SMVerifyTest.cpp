// Chain verification with the revocation lookup, on RSA chains made with the openssl command: the
// added fields, when the lookup replaces the stock check, the requests (serial numbers as the
// openssl command prints them), every outcome of a reply with and without soft fail; the
// encryption-certificate index; the limits of the lookup's name and DN texts.
#include "SMRegistry.h"
#include "SMVerify.h"
#include "TestUtil.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

template <auto F>
struct Free
{
    template <typename T>
    void operator()(T* p) const { F(p); }
};
using Cert = std::unique_ptr<X509, Free<X509_free>>;
using Store = std::unique_ptr<X509_STORE, Free<X509_STORE_free>>;
using Ctx = std::unique_ptr<X509_STORE_CTX, Free<X509_STORE_CTX_free>>;
void FreeList(STACK_OF(X509)* list)   // the certificates belong to their own holders
{
    sk_X509_free(list);
}
using Stack = std::unique_ptr<STACK_OF(X509), Free<FreeList>>;

std::string Fixture(const std::string& name)
{
    return std::string(VERIFY_FIXTURE_DIR) + "/" + name;
}

Cert LoadCert(const std::string& name)
{
    std::unique_ptr<FILE, Free<fclose>> f(fopen(Fixture(name).c_str(), "r"));
    return Cert(f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string CliSerial(const std::string& name)
{
    std::string out;
    testutil::RunCommand("openssl x509 -noout -serial -in " + testutil::ShellQuote(Fixture(name)), &out);
    return out.substr(out.find('=') + 1, out.find('\n') - out.find('=') - 1);
}

std::string Request(const std::string& dn, const std::string& serial)
{
    return "<request><head><type>3001</type></head><body><crldpn>" + dn + "</crldpn><sn>" + serial +
           "</sn></body></request>";
}

const char kGood[] = "<reply><body><result>1001</result><status>0001</status></body></reply>";
const char kRevoked[] = "<reply><body><result>1001</result><status>0000</status></body></reply>";

// The revocation service behind the callbacks. The reply goes out in a malloc'd buffer of exactly
// its length (a NUL only when asked), so that any read past the length is caught.
struct FakeService
{
    std::vector<std::string> requests;
    std::vector<int> descriptors;
    int sendResult = 0, recvResult = 0;
    std::string reply = kGood;
    bool terminated = true, nullReply = false;
    int length = -1000;   // else the reply's size
} g_service;

int FakeSend(int fd, const char* request, int length)
{
    g_service.descriptors.push_back(fd);
    g_service.requests.emplace_back(request, static_cast<size_t>(length));
    return g_service.sendResult;
}

int FakeRecv(int fd, char** reply, int* length)
{
    g_service.descriptors.push_back(fd);
    const size_t n = g_service.reply.size() + (g_service.terminated ? 1 : 0);
    if (!g_service.nullReply)
        *reply = static_cast<char*>(memcpy(malloc(n + 1), g_service.reply.c_str(), n));
    *length = g_service.length != -1000 ? g_service.length : static_cast<int>(g_service.reply.size());
    return g_service.recvResult;
}

int OwnRevocationCheck(X509_STORE_CTX*)
{
    return 1;
}

struct Config
{
    unsigned long flags = SM_X509_V_FLAG_LDAP_REVOCATION | X509_V_FLAG_CRL_CHECK;
    unsigned long ctxFlags = 0;   // set after initialisation
    bool recv = true, softFail = false, ownCheck = false;
};

struct Outcome
{
    int verified = -1, error = -1;
};

class RevocationLookup : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        g_service = FakeService();
    }

    // leaf against root, with inter untrusted.
    static Outcome Verify(const char* leafName, const Config& config)
    {
        Cert leaf = LoadCert(leafName), root = LoadCert("root.pem"), inter = LoadCert("inter.pem");
        Store store(SM_X509_STORE_new());
        Ctx ctx(X509_STORE_CTX_new());
        Stack untrusted(sk_X509_new_null());
        sk_X509_push(untrusted.get(), inter.get());
        X509_STORE_add_cert(store.get(), root.get());
        X509_STORE_set_flags(store.get(), config.flags);
        X509_STORE_set_send_cb(store.get(), FakeSend);
        X509_STORE_set_recv_cb(store.get(), config.recv ? FakeRecv : nullptr);
        if (config.softFail)   // the switch has no setter: its ex_data slot
            X509_STORE_set_ex_data(store.get(), SM_X509_STORE_ldap_soft_fail_index(), reinterpret_cast<void*>(intptr_t{1}));
        if (config.ownCheck)
            X509_STORE_set_check_revocation(store.get(), OwnRevocationCheck);
        if (SM_X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), untrusted.get()) != 1)
            return Outcome();
        X509_STORE_CTX_set_flags(ctx.get(), config.ctxFlags);
        Outcome o;
        o.verified = X509_verify_cert(ctx.get());
        o.error = X509_STORE_CTX_get_error(ctx.get());
        if (!config.ownCheck) {   // the store carried the lookup only for the initialisation
            EXPECT_EQ(nullptr, X509_STORE_get_check_revocation(store.get()));
        }
        return o;
    }
};

TEST_F(RevocationLookup, FieldsTravelFromStoreToContext)
{
    Store store(SM_X509_STORE_new());
    Cert root = LoadCert("root.pem");
    Ctx ctx(X509_STORE_CTX_new());
    EXPECT_EQ(nullptr, SM_X509_STORE_get_send_cb(store.get()));
    EXPECT_EQ(0, SM_X509_STORE_get_ldap_soft_fail(store.get()));
    X509_STORE_set_send_cb(store.get(), FakeSend);
    X509_STORE_set_recv_cb(store.get(), FakeRecv);
    X509_STORE_set_ex_data(store.get(), SM_X509_STORE_ldap_soft_fail_index(), reinterpret_cast<void*>(intptr_t{1}));
    ASSERT_EQ(1, SM_X509_STORE_CTX_init(ctx.get(), store.get(), root.get(), nullptr));
    EXPECT_EQ(FakeSend, SM_X509_STORE_CTX_get_send_cb(ctx.get()));
    EXPECT_EQ(FakeRecv, SM_X509_STORE_CTX_get_recv_cb(ctx.get()));
    EXPECT_EQ(1, SM_X509_STORE_CTX_get_ldap_soft_fail(ctx.get()));
    X509_STORE_CTX_set_recv_cb(ctx.get(), nullptr);
    EXPECT_EQ(nullptr, SM_X509_STORE_CTX_get_recv_cb(ctx.get()));
    // Without a store every field is zero, also on a context that had them.
    ASSERT_EQ(1, SM_X509_STORE_CTX_init(ctx.get(), nullptr, root.get(), nullptr));
    EXPECT_EQ(nullptr, SM_X509_STORE_CTX_get_send_cb(ctx.get()));
    EXPECT_EQ(0, SM_X509_STORE_CTX_get_ldap_soft_fail(ctx.get()));
}

TEST_F(RevocationLookup, FlagAtInitialisationChoosesTheLookup)
{
    struct Case
    {
        const char* name;
        Config config;
        Outcome outcome;
        size_t requests;
    };
    const Case kCases[] = {
        // The stock check finds no CRL in the store.
        {"without the flag the stock check runs", {X509_V_FLAG_CRL_CHECK}, {0, X509_V_ERR_UNABLE_TO_GET_CRL}, 0},
        {"with the flag but without CRL checking nothing is looked up", {SM_X509_V_FLAG_LDAP_REVOCATION}, {1, 0}, 0},
        {"with the flag and CRL checking the service is asked", {}, {1, 0}, 1},
        {"the flag set on the context afterwards changes nothing",
         {X509_V_FLAG_CRL_CHECK, SM_X509_V_FLAG_LDAP_REVOCATION}, {0, X509_V_ERR_UNABLE_TO_GET_CRL}, 0},
        {"a store's own revocation check stays in force",
         {SM_X509_V_FLAG_LDAP_REVOCATION | X509_V_FLAG_CRL_CHECK, 0, true, false, true}, {1, 0}, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        g_service = FakeService();
        const Outcome o = Verify("leaf.pem", c.config);
        EXPECT_EQ(c.outcome.verified, o.verified);
        EXPECT_EQ(c.outcome.error, o.error);
        EXPECT_EQ(c.requests, g_service.requests.size());
    }
}

TEST_F(RevocationLookup, RequestsNameTheDistributionPointAndSerialNumber)
{
    struct Case
    {
        const char* leaf;
        unsigned long extraFlags;
        std::vector<std::string> requests;
    };
    const Case kCases[] = {
        // An LDAP URL's DN that begins with the common name goes out unchanged.
        {"leaf.pem", 0, {Request("CN=CA1,O=Org", CliSerial("leaf.pem"))}},
        // A directory name encoded CN, O, C reads country first and is sent reversed.
        {"dirname.pem", 0, {Request("CN=CA1,O=Org,C=CN", CliSerial("dirname.pem"))}},
        {"leaf.pem", X509_V_FLAG_CRL_CHECK_ALL,
         {Request("CN=CA1,O=Org", CliSerial("leaf.pem")), Request("CN=CA1,O=Org", CliSerial("inter.pem")),
          Request("CN=Root,O=Org", CliSerial("root.pem"))}},
        // Markup in a distribution point cannot reshape the request.
        {"markup.pem", 0, {Request("CN=a&lt;/crldpn&gt;&lt;sn&gt;1&lt;/sn&gt;&amp;x", CliSerial("markup.pem"))}},
    };
    socketFD = 7;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.leaf);
        g_service = FakeService();
        Config config;
        config.flags |= c.extraFlags;
        EXPECT_EQ(1, Verify(c.leaf, config).verified);
        EXPECT_EQ(c.requests, g_service.requests);
        EXPECT_EQ(std::vector<int>(2 * c.requests.size(), 7), g_service.descriptors);
    }
    socketFD = 0;
}

TEST_F(RevocationLookup, EveryReplyHasItsOutcomeWithAndWithoutSoftFail)
{
    struct Case
    {
        const char* name;
        const char* leaf;
        std::string reply;
        void (*adjust)(FakeService&, Config&);
        int error;   // without soft fail; a failed lookup passes with it, a revoked one stays revoked
    };
    auto none = [](FakeService&, Config&) {};
    const int kFailed = X509_V_ERR_UNABLE_TO_GET_CRL;
    const Case kCases[] = {
        {"status 0001: good", "leaf.pem", kGood, none, X509_V_OK},
        {"status 0000: revoked, verification goes on", "leaf.pem", kRevoked, none, X509_V_ERR_CERT_REVOKED},
        {"another status", "leaf.pem", "<result>1001</result><status>0002</status>", none, kFailed},
        {"another result", "leaf.pem", "<result>1002</result><status>0001</status>", none, kFailed},
        {"no status", "leaf.pem", "<result>1001</result>", none, kFailed},
        {"unterminated status", "leaf.pem", "<result>1001</result><status>0001", none, kFailed},
        {"binary garbage", "leaf.pem", std::string("\x01\xff<\x00>", 5), none, kFailed},
        {"send fails", "leaf.pem", kGood, [](FakeService& s, Config&) { s.sendResult = -1; }, kFailed},
        {"receive fails", "leaf.pem", kGood, [](FakeService& s, Config&) { s.recvResult = -1; }, kFailed},
        {"receive gives no reply", "leaf.pem", kGood, [](FakeService& s, Config&) { s.nullReply = true; }, kFailed},
        {"no receive callback", "leaf.pem", kGood, [](FakeService&, Config& c) { c.recv = false; }, kFailed},
        {"no distribution points", "nocdp.pem", kGood, none, SM_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT},
        {"only an http distribution point", "httpcdp.pem", kGood, none, kFailed},
        // The reply is outside input: its length bounds every read, a NUL ends it, and a length
        // below zero or above the limit is refused rather than trusted.
        {"a reply without terminator is read no further than its length", "leaf.pem", kGood,
         [](FakeService& s, Config&) { s.terminated = false; }, X509_V_OK},
        {"a length short of the status cuts it off", "leaf.pem", kGood,
         [](FakeService& s, Config&) { s.length = static_cast<int>(s.reply.find("<status>")); }, kFailed},
        {"a NUL inside the reply ends it", "leaf.pem", std::string("<result>1001</result>\0<status>0001</status>", 43),
         none, kFailed},
        {"a negative length", "leaf.pem", kGood, [](FakeService& s, Config&) { s.length = -5; }, kFailed},
        {"a reply above the size limit", "leaf.pem", kGood + std::string(SM_REVOCATION_REPLY_MAX, ' '), none,
         kFailed},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        for (const bool softFail : {false, true}) {
            SCOPED_TRACE(softFail ? "soft fail" : "hard fail");
            g_service = FakeService();
            g_service.reply = c.reply;
            Config config;
            config.softFail = softFail;
            c.adjust(g_service, config);
            const Outcome o = Verify(c.leaf, config);
            const bool passes = softFail || c.error == X509_V_OK || c.error == X509_V_ERR_CERT_REVOKED;
            EXPECT_EQ(passes ? 1 : 0, o.verified);
            EXPECT_EQ(softFail && c.error != X509_V_ERR_CERT_REVOKED ? X509_V_OK : c.error, o.error);
        }
    }
}

TEST(EncCertIndex, FirstCertificateOffTheSigningPath)
{
    ASSERT_EQ(1, SM_crypto_init());
    struct Case
    {
        const char* name;
        std::vector<const char*> certs;
        int index;
    };
    const Case kCases[] = {
        {"signing certificate, its CA, encryption certificate", {"leaf.pem", "inter.pem", "enc.pem"}, 2},
        {"encryption certificate before the CA", {"leaf.pem", "enc.pem", "inter.pem"}, 1},
        {"path up to the root first", {"leaf.pem", "root.pem", "inter.pem", "enc.pem"}, 3},
        {"only the signing path", {"leaf.pem", "inter.pem", "root.pem"}, -1},
        // Issuers that go round in a circle must not loop forever.
        {"CAs issued by each other", {"cycleaf.pem", "cyca.pem", "cycb.pem"}, -1},
        {"empty list", {}, -1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<Cert> owned;
        Stack list(sk_X509_new_null());
        for (const char* name : c.certs) {
            owned.push_back(LoadCert(name));
            sk_X509_push(list.get(), owned.back().get());
        }
        EXPECT_EQ(c.index, st_x509_get_enc_cert_index(list.get()));
        // The context form walks from the target certificate over the same untrusted list.
        Store store(SM_X509_STORE_new());
        Ctx ctx(X509_STORE_CTX_new());
        ASSERT_EQ(1, SM_X509_STORE_CTX_init(ctx.get(), store.get(), c.certs.empty() ? nullptr : owned[0].get(),
                                            list.get()));
        EXPECT_EQ(c.index, x509_get_enc_cert_index(ctx.get()));
    }
    ERR_clear_error();
    EXPECT_EQ(-1, st_x509_get_enc_cert_index(nullptr));
    EXPECT_EQ(ERR_PACK(ERR_LIB_X509, 0, 65), ERR_get_error());
}

TEST(RevocationText, NameAndDnLimits)
{
    // Entries last to first, joined with ","; at most 1024 characters (common names stop at 64).
    std::unique_ptr<X509_NAME, Free<X509_NAME_free>> name(X509_NAME_new());
    X509_NAME_add_entry_by_txt(name.get(), "C", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
    const std::string value(1007, 'v');
    X509_NAME_add_entry_by_txt(name.get(), "description", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    char* text = nullptr;
    int length = 0;
    ASSERT_EQ(1, GetX509Name(name.get(), &text, &length));
    EXPECT_EQ("description=" + value + ",C=CN", text);
    EXPECT_EQ(1024, length);
    free(text);
    X509_NAME_ENTRY_set_data(X509_NAME_get_entry(name.get(), 1), MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>((value + "w").c_str()), -1);
    text = nullptr;
    EXPECT_EQ(0, GetX509Name(name.get(), &text, &length));
    EXPECT_EQ(nullptr, text);

    struct Reversal
    {
        std::string dn;
        int result;
        std::string out;
    };
    for (const Reversal& r : std::vector<Reversal>{{"C=CN,O=Org,CN=CA1", 0, "CN=CA1,O=Org,C=CN"},
                                                   {"C=CN, O=Org", 0, " O=Org,C=CN"},
                                                   {",a,,b,", 0, "b,a"},
                                                   {"0,1,2,3,4,5,6,7,8,9", 0, "9,8,7,6,5,4,3,2,1,0"},
                                                   {"0,1,2,3,4,5,6,7,8,9,10", -1, "0,1,2,3,4,5,6,7,8,9,10"},
                                                   {std::string(511, 'p') + ",q", 0, "q," + std::string(511, 'p')},
                                                   {std::string(512, 'p') + ",q", -1, std::string(512, 'p') + ",q"},
                                                   {"", -1, ""}}) {
        SCOPED_TRACE(r.dn);
        std::string buffer = r.dn;
        EXPECT_EQ(r.result, X509_Reverse_CRLDN_Order(&buffer[0]));
        EXPECT_EQ(r.out, buffer.c_str());
    }
}

}  // namespace
