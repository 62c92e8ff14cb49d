// Certificate validation on RSA chains, CRLs, bundles and PKCS#12 files made with the openssl
// command: chain codes against `openssl verify` as the reference, validity time, revocation lists
// made with `openssl ca`, key usage, trust stores, the combined check, and PKCS#12 reading.
#include "CertificateValidation.h"
#include "LogTestUtil.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using testutil::ReadFile;
using testutil::RunCommand;
using testutil::ShellQuote;

struct FileClose
{
    void operator()(FILE* f) const { fclose(f); }
};
struct X509Free
{
    void operator()(X509* p) const { X509_free(p); }
};
struct StoreFree
{
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
};
struct PkeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct StackFree
{
    void operator()(STACK_OF(X509)* p) const { sk_X509_pop_free(p, X509_free); }
};
struct P12Free
{
    void operator()(PKCS12* p) const { PKCS12_free(p); }
};
using File = std::unique_ptr<FILE, FileClose>;
using Cert = std::unique_ptr<X509, X509Free>;
using Store = std::unique_ptr<X509_STORE, StoreFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Stack = std::unique_ptr<STACK_OF(X509), StackFree>;

std::string Fixture(const std::string& name)
{
    return std::string(VERIFY_FIXTURE_DIR) + "/" + name;
}

File Open(const std::string& name)
{
    return File(fopen(Fixture(name).c_str(), "rb"));
}

// Several open files and the plain list the kernel takes.
struct Files
{
    explicit Files(const std::vector<std::string>& names)
    {
        for (const std::string& n : names) {
            owned.push_back(Open(n));
            list.push_back(owned.back().get());
        }
    }
    std::vector<File> owned;
    std::vector<FILE*> list;
};

Cert LoadCert(const std::string& name)
{
    File f = Open(name);
    return Cert(f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::vector<unsigned char> Bytes(const std::string& name)
{
    std::string content;
    ReadFile(Fixture(name), &content);
    return std::vector<unsigned char>(content.begin(), content.end());
}

bool StreamStillOpen(FILE* f)
{
    return fcntl(fileno(f), F_GETFD) != -1;
}

int StoreSize(X509_STORE* store)
{
    return sk_X509_OBJECT_num(X509_STORE_get0_objects(store));
}

// What `openssl verify` says of the certificate against the trusted files, in the kernel's codes:
// errors 9 and 10 are time, any other error the chain.
unsigned int ReferenceChainCode(const std::string& cert, const std::vector<std::string>& trusted)
{
    testutil::ScopedTempDir dir;
    std::string bundle;
    for (std::string t : trusted) {
        if (t.size() > 4 && t.compare(t.size() - 4, 4, ".der") == 0)
            t.replace(t.size() - 4, 4, ".pem");   // the same certificate as PEM, for the bundle
        bundle += testutil::ReadFileOrEmpty(Fixture(t));
    }
    testutil::WriteFile(dir.File("trusted.pem"), bundle);
    std::string out;
    const int status = RunCommand("openssl verify -CAfile " + ShellQuote(dir.File("trusted.pem")) + " " +
                                      ShellQuote(Fixture(cert)) + " 2>&1",
                                  &out);
    if (status == 0)
        return QOVA_OK;
    if (out.find("error 9 at") != std::string::npos || out.find("error 10 at") != std::string::npos)
        return QOVA_E_CERT_TIME;
    return QOVA_E_CERT_CHAIN;
}

class CertificateValidation : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }
};

TEST_F(CertificateValidation, ChainCodesMatchTheOpensslCommand)
{
    struct Case
    {
        const char* name;
        const char* cert;
        std::vector<std::string> trusted;
        unsigned int code;
    };
    const Case kCases[] = {
        {"valid chain", "leaf.pem", {"root.pem", "inter.pem"}, QOVA_OK},
        {"trusted files in DER", "leaf.pem", {"inter.der", "root.der"}, QOVA_OK},
        {"expired", "expired.pem", {"root.pem", "inter.pem"}, QOVA_E_CERT_TIME},
        {"not yet valid", "future.pem", {"root.pem", "inter.pem"}, QOVA_E_CERT_TIME},
        {"wrong anchor", "leaf.pem", {"other.pem"}, QOVA_E_CERT_CHAIN},
        {"intermediate missing", "leaf.pem", {"root.pem"}, QOVA_E_CERT_CHAIN},
        {"no trusted certificate at all", "leaf.pem", {}, QOVA_E_CERT_CHAIN},
        {"revocation lists play no part in the chain", "revoked.pem", {"root.pem", "inter.pem"}, QOVA_OK},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.code, ReferenceChainCode(c.cert, c.trusted));
        Cert cert = LoadCert(c.cert);
        ASSERT_TRUE(cert);
        Files files(c.trusted);
        EXPECT_EQ(c.code, VerifyCertChain(files.list, cert.get()));

        for (FILE* f : files.list)
            rewind(f);
        Store store;
        X509_STORE* raw = nullptr;
        ASSERT_EQ(QOVA_OK, LoadCertsToStore(files.list, &raw));
        store.reset(raw);
        EXPECT_EQ(c.code, VerifyCertChainByTrustedStore(store.get(), cert.get()));
        for (FILE* f : files.list)
            EXPECT_TRUE(StreamStillOpen(f));
    }
}

TEST_F(CertificateValidation, TrustStoresFromFiles)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> files;
        unsigned int code;
        int size;
    };
    const Case kCases[] = {
        {"PEM files", {"root.pem", "inter.pem"}, QOVA_OK, 2},
        {"a DER file after the PEM attempt", {"root.der"}, QOVA_OK, 1},
        {"no files: an empty store", {}, QOVA_OK, 0},
        // The library itself accepts a duplicate; the store refuses it.
        {"the same certificate in two files (PEM and DER)", {"root.pem", "inter.pem", "root.der"}, QOVA_E_FAIL, 0},
        {"a file that holds no certificate", {"root.pem", "ca.cnf"}, QOVA_E_FAIL, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Files files(c.files);
        X509_STORE* raw = reinterpret_cast<X509_STORE*>(1);
        EXPECT_EQ(c.code, LoadCertsToStore(files.list, &raw));
        if (c.code == QOVA_OK) {
            Store store(raw);
            EXPECT_EQ(c.size, StoreSize(store.get()));
        } else {
            EXPECT_EQ(reinterpret_cast<X509_STORE*>(1), raw);
        }
    }
    X509_STORE* raw = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, LoadCertsToStore({nullptr}, &raw));
    EXPECT_EQ(nullptr, raw);
}

TEST_F(CertificateValidation, TrustStoresFromBundles)
{
    std::vector<unsigned char> root = Bytes("root.p7b"), inter = Bytes("inter.p7b"), both = Bytes("both.p7b");
    ASSERT_FALSE(root.empty() || inter.empty() || both.empty());
    std::vector<unsigned char> garbage = {0x30, 0x03, 0x02, 0x01};
    // A PKCS#7 of another content type: its certificate list must not be read from the wrong member.
    std::unique_ptr<PKCS7, decltype(&PKCS7_free)> data(PKCS7_new(), PKCS7_free);
    ASSERT_EQ(1, PKCS7_set_type(data.get(), NID_pkcs7_data));
    unsigned char* der = nullptr;
    const int derLength = i2d_PKCS7(data.get(), &der);
    ASSERT_GT(derLength, 0);
    std::vector<unsigned char> dataP7(der, der + derLength);
    OPENSSL_free(der);

    struct Case
    {
        const char* name;
        std::vector<unsigned char>* root;
        std::vector<unsigned char>* inter;
        unsigned int code;
        int size;
    };
    const Case kCases[] = {
        {"root and intermediate bundles", &root, &inter, QOVA_OK, 2},
        {"both bundles absent: an empty store", nullptr, nullptr, QOVA_OK, 0},
        {"intermediate only", nullptr, &both, QOVA_OK, 2},
        {"a certificate in both bundles", &root, &both, QOVA_E_FAIL, 0},
        {"a bundle that is no PKCS#7", &garbage, nullptr, QOVA_E_FAIL, 0},
        {"a PKCS#7 that is not SignedData", nullptr, &dataP7, QOVA_E_FAIL, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        X509_STORE* raw = nullptr;
        EXPECT_EQ(c.code, LoadP7bToStore(c.root ? c.root->data() : nullptr, c.root ? static_cast<int>(c.root->size()) : 0,
                                         c.inter ? c.inter->data() : nullptr,
                                         c.inter ? static_cast<int>(c.inter->size()) : 0, &raw));
        Store store(raw);
        if (c.code == QOVA_OK) {
            ASSERT_NE(nullptr, raw);
            EXPECT_EQ(c.size, StoreSize(raw));
        } else {
            EXPECT_EQ(nullptr, raw);
        }
    }

    // A store from bundles verifies the chain.
    X509_STORE* raw = nullptr;
    ASSERT_EQ(QOVA_OK, LoadP7bToStore(root.data(), static_cast<int>(root.size()), inter.data(),
                                      static_cast<int>(inter.size()), &raw));
    Store store(raw);
    Cert leaf = LoadCert("leaf.pem");
    EXPECT_EQ(QOVA_OK, VerifyCertChainByTrustedStore(store.get(), leaf.get()));
}

TEST_F(CertificateValidation, ValidityTimeAndRevocationList)
{
    struct Case
    {
        const char* name;
        const char* cert;
        const char* crl;
        unsigned int timeCode;
        unsigned int crlCode;
    };
    const Case kCases[] = {
        {"valid, not listed", "leaf.pem", "crl.pem", QOVA_OK, QOVA_OK},
        {"revoked (PEM CRL)", "revoked.pem", "crl.pem", QOVA_OK, QOVA_E_CERT_REVOKED},
        {"revoked (DER CRL)", "revoked.pem", "crl.der", QOVA_OK, QOVA_E_CERT_REVOKED},
        {"listed by another authority: only serial numbers count", "revoked.pem", "othercrl.pem", QOVA_OK,
         QOVA_E_CERT_REVOKED},
        {"expired", "expired.pem", "crl.pem", QOVA_E_CERT_TIME, QOVA_OK},
        {"not yet valid", "future.pem", "crl.pem", QOVA_E_CERT_TIME, QOVA_OK},
        // A CRL without the revokedCertificates field yields no list at all.
        {"a CRL with no revoked entries", "leaf.pem", "emptycrl.pem", QOVA_OK, QOVA_E_FAIL},
        {"a file that is no CRL", "leaf.pem", "leaf.pem", QOVA_OK, QOVA_E_FAIL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cert cert = LoadCert(c.cert);
        ASSERT_TRUE(cert);
        EXPECT_EQ(c.timeCode, VerifyCertTime(cert.get()));
        File crl = Open(c.crl);
        ASSERT_TRUE(crl);
        EXPECT_EQ(c.crlCode, VerifyCertCRL(crl.get(), cert.get()));
        EXPECT_TRUE(StreamStillOpen(crl.get()));
    }
    Cert leaf = LoadCert("leaf.pem");
    EXPECT_EQ(QOVA_E_FAIL, VerifyCertCRL(nullptr, leaf.get()));
    EXPECT_EQ(QOVA_E_FAIL, VerifyCertTime(nullptr));
}

TEST_F(CertificateValidation, CombinedCheckRunsTimeThenListThenChain)
{
    struct Case
    {
        const char* name;
        const char* cert;
        unsigned int flags;
        unsigned int code;
    };
    const Case kCases[] = {
        {"no flags", "expired.pem", 0x0, QOVA_OK},
        {"unknown bits are ignored", "expired.pem", 0x8, QOVA_OK},
        {"all checks pass", "leaf.pem", 0x7, QOVA_OK},
        {"time first", "expired.pem", 0x7, QOVA_E_CERT_TIME},
        {"list before chain", "revoked.pem", 0x6, QOVA_E_CERT_REVOKED},
        {"chain alone ignores the list", "revoked.pem", 0x4, QOVA_OK},
        {"chain alone reports time errors too", "future.pem", 0x4, QOVA_E_CERT_TIME},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        File crl = Open("crl.pem");
        Files trusted({"root.pem", "inter.pem"});
        Cert cert = LoadCert(c.cert);
        EXPECT_EQ(c.code, VerifyX509(cert.get(), c.flags, crl.get(), trusted.list));
        std::vector<unsigned char> der = Bytes(std::string(c.cert).replace(std::string(c.cert).size() - 3, 3, "der"));
        rewind(crl.get());
        for (FILE* f : trusted.list)
            rewind(f);
        EXPECT_EQ(c.code, VerifyCertificate(der.data(), static_cast<int>(der.size()), c.flags, crl.get(), trusted.list));
    }

    // An expired certificate stops at the time check: the CRL file is not read.
    File crl = Open("crl.pem");
    Cert expired = LoadCert("expired.pem");
    EXPECT_EQ(QOVA_E_CERT_TIME, VerifyX509(expired.get(), 0x7, crl.get(), {}));
    EXPECT_EQ(0L, ftell(crl.get()));
    EXPECT_EQ(QOVA_E_CERT_TIME, VerifyX509(expired.get(), 0x7, nullptr, {}));

    std::vector<unsigned char> garbage = {'n', 'o', 't'};
    EXPECT_EQ(QOVA_E_FAIL, VerifyCertificate(garbage.data(), 3, 0, nullptr, {}));
    EXPECT_EQ(QOVA_E_FAIL, VerifyCertificate(nullptr, 0, 0, nullptr, {}));
}

TEST_F(CertificateValidation, KeyUsage)
{
    struct Case
    {
        const char* name;
        const char* cert;
        unsigned int bits;
        bool all;
        unsigned int code;
    };
    const Case kCases[] = {
        {"no keyUsage: signing", "nocdp.pem", 0x80, false, QOVA_E_KEY_USAGE},
        {"no keyUsage: no bits at all", "nocdp.pem", 0x0, true, QOVA_E_KEY_USAGE},
        {"digitalSignature, one of 0xA0", "leaf.pem", 0xA0, false, QOVA_OK},
        {"digitalSignature, all of 0xA0", "leaf.pem", 0xA0, true, QOVA_E_KEY_USAGE},
        {"digitalSignature, all of 0x80", "leaf.pem", 0x80, true, QOVA_OK},
        {"no bits asked, all", "leaf.pem", 0x0, true, QOVA_OK},
        {"no bits asked, one of", "leaf.pem", 0x0, false, QOVA_E_KEY_USAGE},
        {"encryption certificate for encryption", "enc.pem", 0x20, true, QOVA_OK},
        {"encryption certificate for signing", "enc.pem", 0x80, false, QOVA_E_KEY_USAGE},
        {"CA: keyCertSign and cRLSign", "inter.pem", 0x06, true, QOVA_OK},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cert cert = LoadCert(c.cert);
        ASSERT_TRUE(cert);
        EXPECT_EQ(c.code, CheckX509KeyUsage(cert.get(), c.bits, c.all));
        std::vector<unsigned char> pem = Bytes(c.cert);
        EXPECT_EQ(c.code, CheckCertKeyUsage(pem.data(), static_cast<int>(pem.size()), c.bits, c.all));
    }
    EXPECT_EQ(QOVA_E_FAIL, CheckX509KeyUsage(nullptr, 0x80, false));
    std::vector<unsigned char> garbage = {1, 2, 3};
    EXPECT_EQ(QOVA_E_FAIL, CheckCertKeyUsage(garbage.data(), 3, 0x80, false));
}

class Pkcs12Reading : public CertificateValidation
{
protected:
    void SetUp() override
    {
        CertificateValidation::SetUp();
        leaf = LoadCert("leaf.pem");
        inter = LoadCert("inter.pem");
        ASSERT_TRUE(leaf && inter);
    }
    Cert leaf, inter;
};

TEST_F(Pkcs12Reading, FilesMadeByTheOpensslCommand)
{
    struct Case
    {
        const char* name;
        const char* file;
        const char* password;
        bool askKey, askCert, askCa;
        unsigned int code;
    };
    const Case kCases[] = {
        {"modern encryption", "leaf.p12", "secret", true, true, true, QOVA_OK},
        {"legacy RC2-40 and 3DES", "leaf-legacy.p12", "secret", true, true, true, QOVA_OK},
        {"nothing asked for", "leaf.p12", "secret", false, false, false, QOVA_OK},
        {"wrong password fails at the MAC", "leaf.p12", "wrong", true, true, true, QOVA_E_FAIL},
        {"wrong password, legacy file", "leaf-legacy.p12", "wrong", true, true, true, QOVA_E_FAIL},
        {"no password", "leaf.p12", nullptr, true, true, true, QOVA_E_FAIL},
        {"not a PKCS#12 file", "leaf.der", "secret", true, true, true, QOVA_E_FAIL},
        // The mended cases: a requested key or certificate that the file lacks is no success.
        {"certificate-only file, key asked", "nokey.p12", "secret", true, false, false, QOVA_E_MALFORMED},
        {"certificate-only file, certificate asked", "nokey.p12", "secret", false, true, false, QOVA_E_MALFORMED},
        {"certificate-only file, CA list asked", "nokey.p12", "secret", false, false, true, QOVA_OK},
        {"key-only file, certificate asked", "nocert.p12", "secret", true, true, false, QOVA_E_MALFORMED},
        {"key-only file, key asked", "nocert.p12", "secret", true, false, false, QOVA_OK},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        File f = Open(c.file);
        ASSERT_TRUE(f);
        EVP_PKEY* const kUntouchedKey = reinterpret_cast<EVP_PKEY*>(1);
        X509* const kUntouchedCert = reinterpret_cast<X509*>(1);
        EVP_PKEY* key = kUntouchedKey;
        X509* cert = kUntouchedCert;
        STACK_OF(X509)* ca = nullptr;
        std::string password = c.password ? c.password : "";
        EXPECT_EQ(c.code, ParsePFXFile(f.get(), c.password ? &password[0] : nullptr, c.askKey ? &key : nullptr,
                                       c.askCert ? &cert : nullptr, c.askCa ? &ca : nullptr));
        EXPECT_TRUE(StreamStillOpen(f.get()));
        if (c.code != QOVA_OK) {
            EXPECT_EQ(kUntouchedKey, key);
            EXPECT_EQ(kUntouchedCert, cert);
            EXPECT_EQ(nullptr, ca);
            continue;
        }
        Pkey keyHolder(c.askKey ? key : nullptr);
        Cert certHolder(c.askCert ? cert : nullptr);
        Stack caHolder(ca);
        if (c.askKey) {
            ASSERT_NE(nullptr, key);
        }
        if (c.askCert) {
            ASSERT_NE(nullptr, cert);
            EXPECT_EQ(0, X509_cmp(leaf.get(), cert));
        }
        if (c.askKey && c.askCert) {
            EXPECT_EQ(1, X509_check_private_key(cert, key));
        }
        if (c.askCa) {
            ASSERT_NE(nullptr, ca);
            ASSERT_EQ(1, sk_X509_num(ca));
            // The certificate-only file holds the leaf as its "other" certificate.
            X509* expected = std::string(c.file) == "nokey.p12" ? leaf.get() : inter.get();
            EXPECT_EQ(0, X509_cmp(expected, sk_X509_value(ca, 0)));
        }
    }
    EXPECT_EQ(QOVA_E_FAIL, ParsePFXFile(nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Pkcs12Reading, ContentsThatDoNotDecryptAreMalformed)
{
    // The MAC is made with another password than the contents: the MAC check passes, parsing fails.
    File keyFile = Open("leaf.key");
    Pkey key(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(key);
    std::unique_ptr<PKCS12, P12Free> p12(
        PKCS12_create("contents", nullptr, key.get(), leaf.get(), nullptr, 0, 0, 0, 0, 0));
    ASSERT_TRUE(p12);
    ASSERT_EQ(1, PKCS12_set_mac(p12.get(), "mac", -1, nullptr, 0, 0, nullptr));
    testutil::ScopedTempDir dir;
    {
        File out(fopen(dir.File("split.p12").c_str(), "wb"));
        ASSERT_EQ(1, i2d_PKCS12_fp(out.get(), p12.get()));
    }
    File in(fopen(dir.File("split.p12").c_str(), "rb"));
    char password[] = "mac";
    EVP_PKEY* outKey = nullptr;
    EXPECT_EQ(QOVA_E_MALFORMED, ParsePFXFile(in.get(), password, &outKey, nullptr, nullptr));
    EXPECT_EQ(nullptr, outKey);
}

TEST_F(Pkcs12Reading, TraceLinesNameTheFailureButNeverThePassword)
{
    logtest::TraceCapture trace;
    File p12 = Open("leaf.p12");
    char password[] = "Wr0ngPassw0rd";
    EVP_PKEY* key = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, ParsePFXFile(p12.get(), password, &key, nullptr, nullptr));
    Files trusted({"other.pem", "other.der"});
    EXPECT_EQ(QOVA_E_FAIL, VerifyCertChain(trusted.list, leaf.get()));
    Files anchor({"other.pem"});
    EXPECT_EQ(QOVA_E_CERT_CHAIN, VerifyCertChain(anchor.list, leaf.get()));

    const std::string log = trace.Raw();
    EXPECT_EQ(std::string::npos, log.find(password));
    EXPECT_NE(std::string::npos, log.find("(ParsePFXFile -- PKCS12_verify_mac)"));
    // The refused duplicate carries the library's own text.
    EXPECT_NE(std::string::npos, log.find("[Reason:1 != nResult] Openssl"));
    EXPECT_NE(std::string::npos, log.find("cert already in hash table"));
    EXPECT_NE(std::string::npos, log.find("X509_verify_cert(ErrorCode:20 ErrorInfo:unable to get local issuer"));
    EXPECT_NE(std::string::npos, log.find("(VerifyCertChainByTrustedStore -- X509_verify_cert)\t\t--Failed:(0xa0071033) "
                                          "[Reason:true]"));
}

}  // namespace
