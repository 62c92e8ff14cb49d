// Chain verification with the revocation lookup: the added store and context fields, when the
// lookup replaces the stock revocation check, the requests it sends (checked against the serial
// numbers the openssl command prints) and every outcome of a reply, on RSA chains made with the
// openssl command; and the search for the encryption certificate of a certificate pair.
#include "SMRegistry.h"
#include "SMVerify.h"
#include "TestUtil.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct X509Free
{
    void operator()(X509* p) const { X509_free(p); }
};
struct StoreFree
{
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
};
struct CtxFree
{
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
};
struct StackFree
{
    void operator()(STACK_OF(X509)* p) const { sk_X509_free(p); }
};
struct PkeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Cert = std::unique_ptr<X509, X509Free>;
using Store = std::unique_ptr<X509_STORE, StoreFree>;
using Ctx = std::unique_ptr<X509_STORE_CTX, CtxFree>;
using Stack = std::unique_ptr<STACK_OF(X509), StackFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string FixturePath(const std::string& name)
{
    return std::string(VERIFY_FIXTURE_DIR) + "/" + name;
}

Cert LoadCert(const std::string& name)
{
    FILE* f = fopen(FixturePath(name).c_str(), "r");
    if (f == nullptr)
        return nullptr;
    Cert cert(PEM_read_X509(f, nullptr, nullptr, nullptr));
    fclose(f);
    return cert;
}

// The serial number as the openssl command prints it (uppercase hex, the library's INTEGER text).
std::string CliSerial(const std::string& name)
{
    std::string out;
    if (testutil::RunCommand("openssl x509 -noout -serial -in " + testutil::ShellQuote(FixturePath(name)), &out) != 0)
        return "";
    const size_t eq = out.find('=');
    const size_t end = out.find_first_of("\r\n");
    return eq == std::string::npos ? "" : out.substr(eq + 1, end - eq - 1);
}

std::string Request(const std::string& dn, const std::string& serial)
{
    return "<request><head><type>3001</type></head><body><crldpn>" + dn + "</crldpn><sn>" + serial +
           "</sn></body></request>";
}

const char kGood[] = "<reply><head><type>3001</type></head><body><result>1001</result><status>0001</status></body></reply>";
const char kRevoked[] = "<reply><body><result>1001</result><status>0000</status></body></reply>";

// The revocation service the callbacks talk to. A reply goes out in a malloc'd buffer of exactly
// its length (plus a NUL only when asked), so that reading past the length is caught.
struct FakeService
{
    std::vector<std::string> requests;
    std::vector<int> descriptors;
    int sendResult = 0;
    int recvResult = 0;
    std::string reply = kGood;
    bool terminated = true;
    bool nullReply = false;
    bool overrideLength = false;
    int length = 0;
};
FakeService g_service;

int FakeSend(int fd, const char* request, int length)
{
    g_service.descriptors.push_back(fd);
    g_service.requests.emplace_back(request, static_cast<size_t>(length));
    return g_service.sendResult;
}

int FakeRecv(int fd, char** reply, int* length)
{
    g_service.descriptors.push_back(fd);
    if (!g_service.nullReply) {
        const size_t n = g_service.reply.size() + (g_service.terminated ? 1 : 0);
        char* buffer = static_cast<char*>(malloc(n == 0 ? 1 : n));
        memcpy(buffer, g_service.reply.c_str(), n);
        *reply = buffer;
    }
    *length = g_service.overrideLength ? g_service.length : static_cast<int>(g_service.reply.size());
    return g_service.recvResult;
}

int OwnRevocationCheck(X509_STORE_CTX*)
{
    return 1;
}

struct Outcome
{
    int verified = -1;
    int error = -1;
    int depth = -1;
};

struct Config
{
    unsigned long storeFlags = SM_X509_V_FLAG_LDAP_REVOCATION | X509_V_FLAG_CRL_CHECK;
    unsigned long ctxFlagsAfterInit = 0;
    bool send = true;
    bool recv = true;
    bool softFail = false;
    bool ownStoreCheck = false;
};

class RevocationLookup : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        g_service = FakeService();
        root = LoadCert("root.pem");
        inter = LoadCert("inter.pem");
        ASSERT_TRUE(root && inter);
    }

    // Verifies `leaf` against root with inter untrusted.
    Outcome Verify(const char* leafName, const Config& setup)
    {
        Outcome outcome;
        Cert leaf = LoadCert(leafName);
        Store store(SM_X509_STORE_new());
        Ctx ctx(X509_STORE_CTX_new());
        Stack untrusted(sk_X509_new_null());
        if (!leaf || !store || !ctx || !untrusted || !X509_STORE_add_cert(store.get(), root.get()) ||
            !sk_X509_push(untrusted.get(), inter.get()))
            return outcome;
        X509_STORE_set_flags(store.get(), setup.storeFlags);
        if (setup.send)
            X509_STORE_set_send_cb(store.get(), FakeSend);
        if (setup.recv)
            X509_STORE_set_recv_cb(store.get(), FakeRecv);
        if (setup.softFail)
            X509_STORE_set_ex_data(store.get(), SM_X509_STORE_ldap_soft_fail_index(),
                                   reinterpret_cast<void*>(static_cast<intptr_t>(1)));
        if (setup.ownStoreCheck)
            X509_STORE_set_check_revocation(store.get(), OwnRevocationCheck);
        if (SM_X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), untrusted.get()) != 1)
            return outcome;
        if (setup.ctxFlagsAfterInit != 0)
            X509_STORE_CTX_set_flags(ctx.get(), setup.ctxFlagsAfterInit);
        outcome.verified = X509_verify_cert(ctx.get());
        outcome.error = X509_STORE_CTX_get_error(ctx.get());
        outcome.depth = X509_STORE_CTX_get_error_depth(ctx.get());
        return outcome;
    }

    Cert root, inter;
};

TEST_F(RevocationLookup, FieldsStartZeroAndTravelFromStoreToContext)
{
    Store store(SM_X509_STORE_new());
    ASSERT_TRUE(store);
    EXPECT_EQ(nullptr, SM_X509_STORE_get_send_cb(store.get()));
    EXPECT_EQ(nullptr, SM_X509_STORE_get_recv_cb(store.get()));
    EXPECT_EQ(0, SM_X509_STORE_get_ldap_soft_fail(store.get()));

    X509_STORE_set_send_cb(store.get(), FakeSend);
    X509_STORE_set_recv_cb(store.get(), FakeRecv);
    ASSERT_EQ(1, X509_STORE_set_ex_data(store.get(), SM_X509_STORE_ldap_soft_fail_index(),
                                        reinterpret_cast<void*>(static_cast<intptr_t>(1))));
    EXPECT_EQ(FakeSend, SM_X509_STORE_get_send_cb(store.get()));
    EXPECT_EQ(1, SM_X509_STORE_get_ldap_soft_fail(store.get()));

    Ctx ctx(X509_STORE_CTX_new());
    ASSERT_EQ(1, SM_X509_STORE_CTX_init(ctx.get(), store.get(), root.get(), nullptr));
    EXPECT_EQ(FakeSend, SM_X509_STORE_CTX_get_send_cb(ctx.get()));
    EXPECT_EQ(FakeRecv, SM_X509_STORE_CTX_get_recv_cb(ctx.get()));
    EXPECT_EQ(1, SM_X509_STORE_CTX_get_ldap_soft_fail(ctx.get()));
    X509_STORE_CTX_set_recv_cb(ctx.get(), nullptr);
    EXPECT_EQ(nullptr, SM_X509_STORE_CTX_get_recv_cb(ctx.get()));
    EXPECT_EQ(FakeRecv, SM_X509_STORE_get_recv_cb(store.get()));

    // Without a store every field is zero, also on a context that had them before.
    ASSERT_EQ(1, SM_X509_STORE_CTX_init(ctx.get(), nullptr, root.get(), nullptr));
    EXPECT_EQ(nullptr, SM_X509_STORE_CTX_get_send_cb(ctx.get()));
    EXPECT_EQ(0, SM_X509_STORE_CTX_get_ldap_soft_fail(ctx.get()));
    // The store does not keep our revocation check after the initialisation.
    EXPECT_EQ(nullptr, X509_STORE_get_check_revocation(store.get()));
}

TEST_F(RevocationLookup, FlagAtInitialisationChoosesTheLookup)
{
    struct Case
    {
        const char* name;
        Config setup;
        int verified;
        int error;
        size_t requests;
    };
    Config stock;
    stock.storeFlags = X509_V_FLAG_CRL_CHECK;
    Config noCrlCheck;
    noCrlCheck.storeFlags = SM_X509_V_FLAG_LDAP_REVOCATION;
    Config lateFlag = stock;
    lateFlag.ctxFlagsAfterInit = SM_X509_V_FLAG_LDAP_REVOCATION;
    Config ownCheck;
    ownCheck.ownStoreCheck = true;
    const Case kCases[] = {
        // The stock check finds no CRL in the store.
        {"without the flag the stock check runs", stock, 0, X509_V_ERR_UNABLE_TO_GET_CRL, 0},
        {"with the flag but without CRL checking nothing is looked up", noCrlCheck, 1, X509_V_OK, 0},
        {"with the flag and CRL checking the service is asked", Config(), 1, X509_V_OK, 1},
        {"the flag set on the context after initialisation changes nothing", lateFlag, 0,
         X509_V_ERR_UNABLE_TO_GET_CRL, 0},
        {"a store's own revocation check stays in force", ownCheck, 1, X509_V_OK, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        g_service = FakeService();
        const Outcome o = Verify("leaf.pem", c.setup);
        EXPECT_EQ(c.verified, o.verified);
        EXPECT_EQ(c.error, o.error);
        EXPECT_EQ(c.requests, g_service.requests.size());
    }
}

TEST_F(RevocationLookup, RequestsNameTheDistributionPointAndSerialNumber)
{
    socketFD = 7;
    ASSERT_EQ(1, Verify("leaf.pem", Config()).verified);
    socketFD = 0;
    ASSERT_EQ(1u, g_service.requests.size());
    // The LDAP URL's DN begins with the common name and goes out unchanged.
    EXPECT_EQ(Request("CN=CA1,O=Org", CliSerial("leaf.pem")), g_service.requests[0]);
    EXPECT_EQ((std::vector<int>{7, 7}), g_service.descriptors);

    // A directory name encoded CN, O, C reads country first and is sent reversed.
    g_service = FakeService();
    ASSERT_EQ(1, Verify("dirname.pem", Config()).verified);
    ASSERT_EQ(1u, g_service.requests.size());
    EXPECT_EQ(Request("CN=CA1,O=Org,C=CN", CliSerial("dirname.pem")), g_service.requests[0]);

    // With every chain position checked: leaf, intermediate, root, in that order.
    g_service = FakeService();
    Config all;
    all.storeFlags |= X509_V_FLAG_CRL_CHECK_ALL;
    ASSERT_EQ(1, Verify("leaf.pem", all).verified);
    const std::vector<std::string> expected = {Request("CN=CA1,O=Org", CliSerial("leaf.pem")),
                                               Request("CN=CA1,O=Org", CliSerial("inter.pem")),
                                               Request("CN=Root,O=Org", CliSerial("root.pem"))};
    EXPECT_EQ(expected, g_service.requests);
}

TEST_F(RevocationLookup, EveryReplyHasItsOutcome)
{
    struct Case
    {
        const char* name;
        std::string reply;
        int verified;
        int error;
        void (*adjust)(FakeService&);
    };
    auto none = [](FakeService&) {};
    const std::string oversized = std::string(kGood) + std::string(SM_REVOCATION_REPLY_MAX, ' ');
    const Case kCases[] = {
        {"status 0001: good", kGood, 1, X509_V_OK, none},
        {"status 0000: revoked, verification goes on with the error left", kRevoked, 1, X509_V_ERR_CERT_REVOKED, none},
        {"another status fails the lookup", "<result>1001</result><status>0002</status>", 0,
         X509_V_ERR_UNABLE_TO_GET_CRL, none},
        {"another result fails the lookup", "<result>1002</result><status>0001</status>", 0,
         X509_V_ERR_UNABLE_TO_GET_CRL, none},
        {"a result with spaces is not 1001", "<result> 1001</result><status>0001</status>", 0,
         X509_V_ERR_UNABLE_TO_GET_CRL, none},
        {"no status element", "<result>1001</result>", 0, X509_V_ERR_UNABLE_TO_GET_CRL, none},
        {"an unterminated status element", "<result>1001</result><status>0001", 0, X509_V_ERR_UNABLE_TO_GET_CRL,
         none},
        {"end marker before start marker", "</result>1001<result><status>0001</status>", 0,
         X509_V_ERR_UNABLE_TO_GET_CRL, none},
        {"binary garbage", std::string("\x01\xff<\x00>", 5), 0, X509_V_ERR_UNABLE_TO_GET_CRL, none},
        {"empty reply", "", 0, X509_V_ERR_UNABLE_TO_GET_CRL, none},
        {"send fails", kGood, 0, X509_V_ERR_UNABLE_TO_GET_CRL, [](FakeService& s) { s.sendResult = -1; }},
        {"receive fails (its reply is still freed)", kGood, 0, X509_V_ERR_UNABLE_TO_GET_CRL,
         [](FakeService& s) { s.recvResult = -1; }},
        {"receive succeeds without a reply", kGood, 0, X509_V_ERR_UNABLE_TO_GET_CRL,
         [](FakeService& s) { s.nullReply = true; }},
        // Outside input: the reply's length bounds every read, a NUL ends the text early, and a
        // length beyond the limit or below zero is refused rather than trusted.
        {"a reply without terminator is read no further than its length", kGood, 1, X509_V_OK,
         [](FakeService& s) { s.terminated = false; }},
        {"a length shorter than the text cuts the reply before its status", kGood, 0, X509_V_ERR_UNABLE_TO_GET_CRL,
         [](FakeService& s) {
             s.overrideLength = true;
             s.length = static_cast<int>(s.reply.find("<status>"));
         }},
        {"a NUL inside the reply ends its text", std::string("<result>1001</result>\0<status>0001</status>", 43), 0,
         X509_V_ERR_UNABLE_TO_GET_CRL, none},
        {"a negative length is a failed lookup", kGood, 0, X509_V_ERR_UNABLE_TO_GET_CRL,
         [](FakeService& s) {
             s.overrideLength = true;
             s.length = -5;
         }},
        {"a reply above the size limit is a failed lookup", oversized, 0, X509_V_ERR_UNABLE_TO_GET_CRL, none},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        g_service = FakeService();
        g_service.reply = c.reply;
        c.adjust(g_service);
        const Outcome o = Verify("leaf.pem", Config());
        EXPECT_EQ(c.verified, o.verified);
        EXPECT_EQ(c.error, o.error);
        EXPECT_EQ(1u, g_service.requests.size());
        if (c.error != X509_V_OK) {
            EXPECT_EQ(0, o.depth);
        }
    }
}

TEST_F(RevocationLookup, SoftFailLetsFailedLookupsPass)
{
    struct Case
    {
        const char* name;
        const char* leaf;
        bool recv;
        const char* reply;
        int error;   // without soft fail
    };
    const Case kCases[] = {
        {"missing receive callback", "leaf.pem", false, kGood, X509_V_ERR_UNABLE_TO_GET_CRL},
        {"malformed reply", "leaf.pem", true, "<result>1001</result>", X509_V_ERR_UNABLE_TO_GET_CRL},
        {"no CRL distribution points", "nocdp.pem", true, kGood, SM_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT},
        {"only an http distribution point", "httpcdp.pem", true, kGood, X509_V_ERR_UNABLE_TO_GET_CRL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        for (const bool softFail : {false, true}) {
            SCOPED_TRACE(softFail ? "soft fail" : "hard fail");
            g_service = FakeService();
            g_service.reply = c.reply;
            Config setup;
            setup.recv = c.recv;
            setup.softFail = softFail;
            const Outcome o = Verify(c.leaf, setup);
            EXPECT_EQ(softFail ? 1 : 0, o.verified);
            EXPECT_EQ(softFail ? X509_V_OK : c.error, o.error);
        }
    }
    // Soft fail does not hide a revoked certificate.
    g_service = FakeService();
    g_service.reply = kRevoked;
    Config soft;
    soft.softFail = true;
    EXPECT_EQ(X509_V_ERR_CERT_REVOKED, Verify("leaf.pem", soft).error);
}

// In-process certificates for shapes the openssl command does not make.
Pkey NewEcKey()
{
    return Pkey(EVP_EC_gen("P-256"));
}

Cert MakeCert(const char* subjectCN, const char* issuerCN, EVP_PKEY* key, const char* cdp = nullptr)
{
    Cert cert(X509_new());
    X509_NAME* subject = X509_NAME_new();
    X509_NAME* issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(subjectCN), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(issuerCN), -1,
                               -1, 0);
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x1234);
    X509_set_subject_name(cert.get(), subject);
    X509_set_issuer_name(cert.get(), issuer);
    X509_NAME_free(subject);
    X509_NAME_free(issuer);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    if (cdp != nullptr) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_crl_distribution_points, cdp);
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0)
        return nullptr;
    return cert;
}

TEST_F(RevocationLookup, MarkupInADistributionPointCannotReshapeTheRequest)
{
    Pkey key = NewEcKey();
    Cert self = MakeCert("Self", "Self", key.get(), "URI:ldap://h/CN=a</crldpn><sn>1</sn>&x?y");
    ASSERT_TRUE(self);
    Store store(SM_X509_STORE_new());
    ASSERT_EQ(1, X509_STORE_add_cert(store.get(), self.get()));
    X509_STORE_set_flags(store.get(), SM_X509_V_FLAG_LDAP_REVOCATION | X509_V_FLAG_CRL_CHECK);
    X509_STORE_set_send_cb(store.get(), FakeSend);
    X509_STORE_set_recv_cb(store.get(), FakeRecv);
    Ctx ctx(X509_STORE_CTX_new());
    ASSERT_EQ(1, SM_X509_STORE_CTX_init(ctx.get(), store.get(), self.get(), nullptr));
    EXPECT_EQ(1, X509_verify_cert(ctx.get()));
    ASSERT_EQ(1u, g_service.requests.size());
    EXPECT_EQ(Request("CN=a&lt;/crldpn&gt;&lt;sn&gt;1&lt;/sn&gt;&amp;x", "1234"), g_service.requests[0]);
}

class EncCertIndex : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        leaf = LoadCert("leaf.pem");
        inter = LoadCert("inter.pem");
        enc = LoadCert("enc.pem");
        root = LoadCert("root.pem");
        ASSERT_TRUE(leaf && inter && enc && root);
    }

    Cert leaf, inter, enc, root;
};

TEST_F(EncCertIndex, FirstCertificateOffTheSigningPath)
{
    struct Case
    {
        const char* name;
        std::vector<X509*> certs;
        int index;
    };
    const Case kCases[] = {
        {"signing certificate, its CA, encryption certificate", {leaf.get(), inter.get(), enc.get()}, 2},
        {"encryption certificate before the CA", {leaf.get(), enc.get(), inter.get()}, 1},
        {"whole path up to the root, then the encryption certificate",
         {leaf.get(), root.get(), inter.get(), enc.get()},
         3},
        {"only the signing path", {leaf.get(), inter.get(), root.get()}, -1},
        {"only the signing certificate", {leaf.get()}, -1},
        {"empty list", {}, -1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Stack list(sk_X509_new_null());
        for (X509* x : c.certs)
            sk_X509_push(list.get(), x);
        EXPECT_EQ(c.index, st_x509_get_enc_cert_index(list.get()));

        // The context form walks from the target certificate over the same untrusted list.
        if (c.certs.empty())
            continue;
        Store store(SM_X509_STORE_new());
        Ctx ctx(X509_STORE_CTX_new());
        ASSERT_EQ(1, SM_X509_STORE_CTX_init(ctx.get(), store.get(), c.certs[0], list.get()));
        EXPECT_EQ(c.index, x509_get_enc_cert_index(ctx.get()));
    }

    ERR_clear_error();
    EXPECT_EQ(-1, st_x509_get_enc_cert_index(nullptr));
    const unsigned long e = ERR_get_error();
    EXPECT_EQ(ERR_LIB_X509, ERR_GET_LIB(e));
    EXPECT_EQ(65, ERR_GET_REASON(e));
}

TEST_F(EncCertIndex, IssuersThatGoRoundInACircleDoNotLoopForever)
{
    // A issued by B and B by A; neither is self-issued.
    Pkey key = NewEcKey();
    Cert signer = MakeCert("Signer", "A", key.get());
    Cert a = MakeCert("A", "B", key.get());
    Cert b = MakeCert("B", "A", key.get());
    ASSERT_TRUE(signer && a && b);
    Stack list(sk_X509_new_null());
    sk_X509_push(list.get(), signer.get());
    sk_X509_push(list.get(), a.get());
    sk_X509_push(list.get(), b.get());
    EXPECT_EQ(-1, st_x509_get_enc_cert_index(list.get()));
    Store store(SM_X509_STORE_new());
    Ctx ctx(X509_STORE_CTX_new());
    ASSERT_EQ(1, SM_X509_STORE_CTX_init(ctx.get(), store.get(), signer.get(), list.get()));
    EXPECT_EQ(-1, x509_get_enc_cert_index(ctx.get()));
}

}  // namespace
