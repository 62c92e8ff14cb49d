// Certificate validation on RSA chains, CRLs, bundles and PKCS#12 files made with the openssl
// command: chain codes against `openssl verify`, validity time, revocation lists made with
// `openssl ca`, key usage, trust stores, the combined check, and PKCS#12 reading.
#include "CertificateValidation.h"
#include "KernelHolders.h"
#include "LogTestUtil.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using smkernel::EvpPkeyPtr;
using smkernel::Pkcs12Ptr;
using smkernel::Pkcs7Ptr;
using smkernel::X509Ptr;
using smkernel::X509StackPtr;
using smkernel::X509StorePtr;

struct FileClose
{
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

std::string Fixture(const std::string& name)
{
    return std::string(VERIFY_FIXTURE_DIR) + "/" + name;
}

File Open(const std::string& name)
{
    return File(fopen(Fixture(name).c_str(), "rb"));
}

// Open files and the plain list the kernel takes; the kernel must leave every one open.
struct Files
{
    explicit Files(const std::vector<std::string>& names)
    {
        for (const std::string& n : names) {
            owned.push_back(Open(n));
            list.push_back(owned.back().get());
        }
    }
    ~Files()
    {
        for (FILE* f : list)
            EXPECT_NE(-1, fcntl(fileno(f), F_GETFD));
    }
    void Rewind()
    {
        for (FILE* f : list)
            rewind(f);
    }
    std::vector<File> owned;
    std::vector<FILE*> list;
};

X509Ptr LoadCert(const std::string& name)
{
    File f = Open(name);
    return X509Ptr(f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::vector<unsigned char> Bytes(const std::string& name)
{
    const std::string content = testutil::ReadFileOrEmpty(Fixture(name));
    return std::vector<unsigned char>(content.begin(), content.end());
}

// `openssl verify` in the kernel's codes: errors 9 and 10 are time, any other the chain.
unsigned int ReferenceChainCode(const std::string& cert, const std::vector<std::string>& trusted)
{
    testutil::ScopedTempDir dir;
    std::string bundle;
    for (std::string t : trusted)   // the PEM form of each trusted file
        bundle += testutil::ReadFileOrEmpty(Fixture(t.replace(t.size() - 3, 3, "pem")));
    testutil::WriteFile(dir.File("trusted.pem"), bundle);
    std::string out;
    if (testutil::RunCommand("openssl verify -CAfile " + testutil::ShellQuote(dir.File("trusted.pem")) + " " +
                                 testutil::ShellQuote(Fixture(cert)) + " 2>&1",
                             &out) == 0)
        return QOVA_OK;
    const bool time = out.find("error 9 at") != std::string::npos || out.find("error 10 at") != std::string::npos;
    return time ? QOVA_E_CERT_TIME : QOVA_E_CERT_CHAIN;
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
        {"no trusted certificate", "leaf.pem", {}, QOVA_E_CERT_CHAIN},
        {"revocation lists play no part", "revoked.pem", {"root.pem", "inter.pem"}, QOVA_OK},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.code, ReferenceChainCode(c.cert, c.trusted));
        X509Ptr cert = LoadCert(c.cert);
        Files files(c.trusted);
        EXPECT_EQ(c.code, VerifyCertChain(files.list, cert.get()));
        files.Rewind();
        X509StorePtr store;
        ASSERT_EQ(QOVA_OK, LoadCertsToStore(files.list, store.out()));
        EXPECT_EQ(c.code, VerifyCertChainByTrustedStore(store.get(), cert.get()));
    }
}

TEST_F(CertificateValidation, TrustStores)
{
    std::vector<unsigned char> root = Bytes("root.p7b"), inter = Bytes("inter.p7b"), both = Bytes("both.p7b");
    std::vector<unsigned char> garbage = {0x30, 0x03, 0x02, 0x01};
    // A PKCS#7 of another type: its certificate list must not be read from the wrong member.
    Pkcs7Ptr data(PKCS7_new());
    ASSERT_EQ(1, PKCS7_set_type(data.get(), NID_pkcs7_data));
    unsigned char* der = nullptr;
    const int derLength = i2d_PKCS7(data.get(), &der);
    std::vector<unsigned char> dataP7(der, der + derLength);
    OPENSSL_free(der);

    struct Case
    {
        const char* name;
        std::vector<std::string> files;                    // LoadCertsToStore when bundles are null
        const std::vector<unsigned char>* rootP7b;
        const std::vector<unsigned char>* interP7b;
        unsigned int code;
        int size;
    };
    const Case kCases[] = {
        {"PEM files", {"root.pem", "inter.pem"}, nullptr, nullptr, QOVA_OK, 2},
        {"a DER file after the PEM attempt", {"root.der"}, nullptr, nullptr, QOVA_OK, 1},
        {"no files: an empty store", {}, nullptr, nullptr, QOVA_OK, 0},
        // The library itself accepts a duplicate; a trust store refuses it.
        {"the same certificate in two files", {"root.pem", "inter.pem", "root.der"}, nullptr, nullptr, QOVA_E_FAIL, 0},
        {"a file without a certificate", {"root.pem", "ca.cnf"}, nullptr, nullptr, QOVA_E_FAIL, 0},
        {"root and intermediate bundles", {}, &root, &inter, QOVA_OK, 2},
        {"intermediate bundle only", {}, nullptr, &both, QOVA_OK, 2},
        {"a certificate in both bundles", {}, &root, &both, QOVA_E_FAIL, 0},
        {"a bundle that is no PKCS#7", {}, &garbage, nullptr, QOVA_E_FAIL, 0},
        {"a PKCS#7 that is not SignedData", {}, nullptr, &dataP7, QOVA_E_FAIL, 0},
    };
    auto size = [](const std::vector<unsigned char>* v) { return v ? static_cast<int>(v->size()) : 0; };
    auto bytes = [](const std::vector<unsigned char>* v) { return v ? const_cast<unsigned char*>(v->data()) : nullptr; };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Files files(c.files);
        X509_STORE* const kUntouched = reinterpret_cast<X509_STORE*>(8);
        X509_STORE* raw = kUntouched;
        const bool bundles = c.rootP7b || c.interP7b;
        EXPECT_EQ(c.code, bundles ? LoadP7bToStore(bytes(c.rootP7b), size(c.rootP7b), bytes(c.interP7b),
                                                   size(c.interP7b), &raw)
                                  : LoadCertsToStore(files.list, &raw));
        if (c.code != QOVA_OK) {
            EXPECT_EQ(kUntouched, raw);
            continue;
        }
        X509StorePtr store(raw);
        EXPECT_EQ(c.size, sk_X509_OBJECT_num(X509_STORE_get0_objects(raw)));
        if (c.size == 2) {   // root and intermediate: the leaf's chain verifies
            X509Ptr leaf = LoadCert("leaf.pem");
            EXPECT_EQ(QOVA_OK, VerifyCertChainByTrustedStore(raw, leaf.get()));
        }
    }
    X509StorePtr store;
    EXPECT_EQ(QOVA_OK, LoadP7bToStore(nullptr, 0, nullptr, 0, store.out()));
    EXPECT_EQ(0, sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())));
    EXPECT_EQ(QOVA_E_FAIL, LoadCertsToStore({nullptr}, store.out()));
}

TEST_F(CertificateValidation, TimeListAndTheCombinedCheck)
{
    struct Case
    {
        const char* name;
        const char* cert;   // NAME.pem; NAME.der beside it
        const char* crl;
        unsigned int timeCode, crlCode;
        unsigned int flags, combinedCode;   // VerifyX509 with crl and {root, inter}
    };
    const Case kCases[] = {
        {"valid, not listed", "leaf", "crl.pem", QOVA_OK, QOVA_OK, 0x7, QOVA_OK},
        {"revoked (PEM CRL)", "revoked", "crl.pem", QOVA_OK, QOVA_E_CERT_REVOKED, 0x6, QOVA_E_CERT_REVOKED},
        {"revoked (DER CRL), chain alone", "revoked", "crl.der", QOVA_OK, QOVA_E_CERT_REVOKED, 0x4, QOVA_OK},
        {"listed by another authority: only serials count", "revoked", "othercrl.pem", QOVA_OK, QOVA_E_CERT_REVOKED,
         0x2, QOVA_E_CERT_REVOKED},
        {"expired: time comes first", "expired", "crl.pem", QOVA_E_CERT_TIME, QOVA_OK, 0x7, QOVA_E_CERT_TIME},
        {"not yet valid, chain alone", "future", "crl.pem", QOVA_E_CERT_TIME, QOVA_OK, 0x4, QOVA_E_CERT_TIME},
        {"no flags, other bits ignored", "expired", "crl.pem", QOVA_E_CERT_TIME, QOVA_OK, 0x8, QOVA_OK},
        // A CRL that revokes nothing has no revokedCertificates field; it must not fail the check.
        {"a CRL with no revoked entries clears the certificate", "leaf", "emptycrl.pem", QOVA_OK, QOVA_OK, 0x3,
         QOVA_OK},
        {"a file that is no CRL", "leaf", "leaf.pem", QOVA_OK, QOVA_E_FAIL, 0x2, QOVA_E_FAIL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        X509Ptr cert = LoadCert(std::string(c.cert) + ".pem");
        EXPECT_EQ(c.timeCode, VerifyCertTime(cert.get()));
        Files crl({c.crl});
        EXPECT_EQ(c.crlCode, VerifyCertCRL(crl.list[0], cert.get()));
        Files trusted({"root.pem", "inter.pem"});
        crl.Rewind();
        EXPECT_EQ(c.combinedCode, VerifyX509(cert.get(), c.flags, crl.list[0], trusted.list));
        std::vector<unsigned char> der = Bytes(std::string(c.cert) + ".der");
        crl.Rewind();
        trusted.Rewind();
        EXPECT_EQ(c.combinedCode,
                  VerifyCertificate(der.data(), static_cast<int>(der.size()), c.flags, crl.list[0], trusted.list));
    }
    // An expired certificate stops at the time check: the CRL file is not read.
    Files crl({"crl.pem"});
    X509Ptr expired = LoadCert("expired.pem");
    EXPECT_EQ(QOVA_E_CERT_TIME, VerifyX509(expired.get(), 0x7, crl.list[0], {}));
    EXPECT_EQ(0L, ftell(crl.list[0]));
    EXPECT_EQ(QOVA_E_FAIL, VerifyCertCRL(nullptr, expired.get()));
    std::vector<unsigned char> garbage = {'n', 'o', 't'};
    EXPECT_EQ(QOVA_E_FAIL, VerifyCertificate(garbage.data(), 3, 0, nullptr, {}));
}

TEST_F(CertificateValidation, KeyUsage)
{
    struct Case
    {
        const char* cert;
        unsigned int bits;
        bool all;
        unsigned int code;
    };
    const Case kCases[] = {
        {"nocdp.pem", 0x80, false, QOVA_E_KEY_USAGE},   // no keyUsage, whatever the bits
        {"nocdp.pem", 0x0, true, QOVA_E_KEY_USAGE},
        {"leaf.pem", 0xA0, false, QOVA_OK},             // digitalSignature only
        {"leaf.pem", 0xA0, true, QOVA_E_KEY_USAGE},
        {"leaf.pem", 0x80, true, QOVA_OK},
        {"leaf.pem", 0x0, true, QOVA_OK},
        {"leaf.pem", 0x0, false, QOVA_E_KEY_USAGE},
        {"enc.pem", 0x30, true, QOVA_OK},               // keyEncipherment, dataEncipherment
        {"enc.pem", 0x80, false, QOVA_E_KEY_USAGE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.cert) + " " + std::to_string(c.bits) + (c.all ? " all" : " any"));
        X509Ptr cert = LoadCert(c.cert);
        EXPECT_EQ(c.code, CheckX509KeyUsage(cert.get(), c.bits, c.all));
        std::vector<unsigned char> pem = Bytes(c.cert);
        EXPECT_EQ(c.code, CheckCertKeyUsage(pem.data(), static_cast<int>(pem.size()), c.bits, c.all));
    }
    EXPECT_EQ(QOVA_E_FAIL, CheckCertKeyUsage(nullptr, 0, 0x80, false));
}

TEST_F(CertificateValidation, Pkcs12FilesMadeByTheOpensslCommand)
{
    struct Case
    {
        const char* name;
        const char* file;
        const char* password;
        bool askKey, askCert, askCa;
        unsigned int code;
        const char* caCert;   // the one CA-list entry expected
    };
    const Case kCases[] = {
        {"modern encryption", "leaf.p12", "secret", true, true, true, QOVA_OK, "inter.pem"},
        {"legacy RC2-40 and 3DES", "leaf-legacy.p12", "secret", true, true, true, QOVA_OK, "inter.pem"},
        {"nothing asked for", "leaf.p12", "secret", false, false, false, QOVA_OK, nullptr},
        {"wrong password fails at the MAC", "leaf.p12", "wrong", true, true, true, QOVA_E_FAIL, nullptr},
        {"wrong password, legacy file", "leaf-legacy.p12", "wrong", true, true, true, QOVA_E_FAIL, nullptr},
        {"no password", "leaf.p12", nullptr, true, true, true, QOVA_E_FAIL, nullptr},
        {"not a PKCS#12 file", "leaf.der", "secret", true, true, true, QOVA_E_FAIL, nullptr},
        // A requested key or certificate that the file lacks is no success.
        {"certificate-only file, key asked", "nokey.p12", "secret", true, false, false, QOVA_E_MALFORMED, nullptr},
        {"certificate-only file, certificate asked", "nokey.p12", "secret", false, true, false, QOVA_E_MALFORMED,
         nullptr},
        {"certificate-only file, CA list asked", "nokey.p12", "secret", false, false, true, QOVA_OK, "leaf.pem"},
        {"key-only file, certificate asked", "nocert.p12", "secret", true, true, false, QOVA_E_MALFORMED, nullptr},
        {"key-only file, key asked", "nocert.p12", "secret", true, false, false, QOVA_OK, nullptr},
    };
    X509Ptr leaf = LoadCert("leaf.pem");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Files f({c.file});
        EVP_PKEY* const kNoKey = reinterpret_cast<EVP_PKEY*>(8);
        X509* const kNoCert = reinterpret_cast<X509*>(8);
        EVP_PKEY* key = kNoKey;
        X509* cert = kNoCert;
        STACK_OF(X509)* ca = nullptr;
        std::string password = c.password ? c.password : "";
        EXPECT_EQ(c.code, ParsePFXFile(f.list[0], c.password ? &password[0] : nullptr, c.askKey ? &key : nullptr,
                                       c.askCert ? &cert : nullptr, c.askCa ? &ca : nullptr));
        EvpPkeyPtr keyHolder(key != kNoKey ? key : nullptr);
        X509Ptr certHolder(cert != kNoCert ? cert : nullptr);
        X509StackPtr caHolder(ca);
        EXPECT_EQ(c.code == QOVA_OK && c.askKey, key != kNoKey);
        EXPECT_EQ(c.code == QOVA_OK && c.askCert, cert != kNoCert);
        if (keyHolder && certHolder) {
            EXPECT_EQ(0, X509_cmp(leaf.get(), cert));
            EXPECT_EQ(1, X509_check_private_key(cert, key));
        }
        if (c.caCert != nullptr) {
            ASSERT_EQ(1, sk_X509_num(ca));
            EXPECT_EQ(0, X509_cmp(LoadCert(c.caCert).get(), sk_X509_value(ca, 0)));
        }
    }

    // MAC and contents under different passwords: the MAC check passes, the contents do not decrypt.
    File keyFile = Open("leaf.key");
    EvpPkeyPtr key(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    Pkcs12Ptr p12(PKCS12_create("contents", nullptr, key.get(), leaf.get(), nullptr, 0, 0, 0, 0, 0));
    ASSERT_EQ(1, PKCS12_set_mac(p12.get(), "mac", -1, nullptr, 0, 0, nullptr));
    testutil::ScopedTempDir dir;
    File split(fopen(dir.File("split.p12").c_str(), "w+b"));
    ASSERT_EQ(1, i2d_PKCS12_fp(split.get(), p12.get()));
    rewind(split.get());
    char mac[] = "mac";
    EXPECT_EQ(QOVA_E_MALFORMED, ParsePFXFile(split.get(), mac, nullptr, nullptr, nullptr));
    EXPECT_EQ(QOVA_E_FAIL, ParsePFXFile(nullptr, mac, nullptr, nullptr, nullptr));
}

TEST_F(CertificateValidation, TraceLinesNameTheFailureButNeverThePassword)
{
    logtest::TraceCapture trace;
    Files p12({"leaf.p12"});
    char password[] = "Wr0ngPassw0rd";
    EXPECT_EQ(QOVA_E_FAIL, ParsePFXFile(p12.list[0], password, nullptr, nullptr, nullptr));
    X509Ptr leaf = LoadCert("leaf.pem");
    Files duplicate({"other.pem", "other.der"});
    EXPECT_EQ(QOVA_E_FAIL, VerifyCertChain(duplicate.list, leaf.get()));
    Files anchor({"other.pem"});
    EXPECT_EQ(QOVA_E_CERT_CHAIN, VerifyCertChain(anchor.list, leaf.get()));

    const std::string log = trace.Raw();
    EXPECT_EQ(std::string::npos, log.find(password));
    EXPECT_NE(std::string::npos, log.find("(ParsePFXFile -- PKCS12_verify_mac)"));
    EXPECT_NE(std::string::npos, log.find("[Reason:1 != nResult] Openssl error:"));   // the library's own text
    EXPECT_NE(std::string::npos, log.find("cert already in hash table"));
    EXPECT_NE(std::string::npos, log.find("X509_verify_cert(ErrorCode:20 ErrorInfo:unable to get local issuer"));
    EXPECT_NE(std::string::npos,
              log.find("(VerifyCertChainByTrustedStore -- X509_verify_cert)\t\t--Failed:(0xa0071033) [Reason:true]"));
}

}  // namespace
