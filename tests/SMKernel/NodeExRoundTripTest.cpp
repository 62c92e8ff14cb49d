// Round trips on DER nobody here wrote: the system's trusted certificates, and a CRL, PKCS#7 and
// CMS SignedData made by the openssl command-line tool. Each must parse into the tree OpenSSL's own
// reader sees and re-encode octet for octet, from memory and lazily from a file.
#include "NodeEx.h"

#include "NodeExTestUtil.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <dirent.h>

#include <memory>
#include <set>
#include <string>

using nodeex_test::Bytes;

namespace {

// Every PEM certificate found in the files of dir, as DER, without duplicates.
std::set<Bytes> CertificatesIn(const std::string& dir)
{
    std::set<Bytes> certs;
    struct CloseDir { void operator()(DIR* d) const { closedir(d); } };
    std::unique_ptr<DIR, CloseDir> listing(opendir(dir.c_str()));
    if (!listing)
        return certs;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string path = dir + "/" + entry->d_name;
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), BIO_free);
        if (!bio)
            continue;
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long length = 0;
        while (PEM_read_bio(bio.get(), &name, &header, &data, &length)) {
            if (std::string(name) == PEM_STRING_X509 || std::string(name) == PEM_STRING_X509_TRUSTED)
                certs.insert(Bytes(data, data + length));
            OPENSSL_free(name);
            OPENSSL_free(header);
            OPENSSL_free(data);
        }
        ERR_clear_error();
    }
    return certs;
}

// Parses from memory and from a file, compares with OpenSSL's reading, re-encodes both ways.
// Returns the node count.
size_t ExpectRoundTrip(Bytes der, const std::string& scratchDir)
{
    NodeExPtr root;
    EXPECT_EQ(QOVA_OK, nodeex_test::Parse(der, &root));
    if (!root)
        return 0;
    const size_t nodes = nodeex_test::ExpectMatchesOpenSSL(root.get(), der.data(), der.data(),
                                                           static_cast<long>(der.size()));
    Bytes encoded;
    EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(root.get(), &encoded));
    EXPECT_SAME_BYTES(der, encoded);

    const std::string path = scratchDir + "/in.der";
    EXPECT_TRUE(testutil::WriteFile(path, std::string(der.begin(), der.end())));
    FILE* file = fopen(path.c_str(), "rb");
    EXPECT_NE(nullptr, file);
    if (!file)
        return nodes;
    NodeEx* raw = nullptr;
    EXPECT_EQ(QOVA_OK, DecodeASN1FileEx(file, &raw));
    NodeExPtr fromFile(raw);
    if (fromFile) {
        Bytes fileToMemory, fileToFile;
        EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(fromFile.get(), &fileToMemory));
        EXPECT_SAME_BYTES(der, fileToMemory);
        int written = 0;
        EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToFileBytes(fromFile.get(), scratchDir + "/out.der", &fileToFile,
                                                          &written));
        EXPECT_SAME_BYTES(der, fileToFile);
        EXPECT_EQ(static_cast<int>(der.size()), written);
    }
    fromFile.reset();
    fclose(file);
    return nodes;
}

TEST(NodeExRoundTrip, EveryTrustedSystemCertificate)
{
    const std::set<Bytes> certs = CertificatesIn("/etc/ssl/certs");
    ASSERT_GE(certs.size(), 50u) << "the ca-certificates package provides the system's trusted certificates";
    testutil::ScopedTempDir dir;
    size_t index = 0, nodes = 0;
    for (const Bytes& cert : certs) {
        SCOPED_TRACE("certificate #" + std::to_string(index++));
        nodes += ExpectRoundTrip(cert, dir.Path());
        if (HasFailure())
            break;
    }
    RecordProperty("certificates", static_cast<int>(certs.size()));
    RecordProperty("nodes", static_cast<int>(nodes));
}

// DER produced by the openssl tool, made once per test process.
class OpenSSLSamples : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new testutil::ScopedTempDir();
        const std::string script = std::string(SMKERNEL_TEST_DIR) + "/make_der_samples.sh";
        ASSERT_EQ(0, testutil::RunCommand("sh " + testutil::ShellQuote(script) + " " +
                                          testutil::ShellQuote(s_dir->Path()) + " 300000 3000"));
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    static Bytes Sample(const std::string& name)
    {
        const std::string content = testutil::ReadFileOrEmpty(s_dir->File(name));
        return Bytes(content.begin(), content.end());
    }
    static std::string SamplePath(const std::string& name) { return s_dir->File(name); }

    testutil::ScopedTempDir m_scratch;
    static testutil::ScopedTempDir* s_dir;
};

testutil::ScopedTempDir* OpenSSLSamples::s_dir = nullptr;

TEST_F(OpenSSLSamples, CrlWithThousandsOfEntries)
{
    Bytes crl = Sample("crl.der");
    ASSERT_GT(crl.size(), 90000u);
    ExpectRoundTrip(crl, m_scratch.Path());

    // CertificateList { tbsCertList { version, signature, issuer, thisUpdate, nextUpdate,
    // revokedCertificates, ... } }: one child per revoked entry.
    NodeExPtr root;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(crl, &root));
    const NodeEx* tbs = root->vetNodes.at(0);
    const NodeEx* revoked = tbs->vetNodes.at(5);
    EXPECT_EQ(0x30, revoked->Tag);
    EXPECT_EQ(3000u, revoked->vetNodes.size());
}

TEST_F(OpenSSLSamples, Pkcs7AndCmsSignedDataCarryTheirContent)
{
    const Bytes content = Sample("content.bin");
    ASSERT_EQ(300000u, content.size());
    for (const char* name : {"p7.der", "cms.der"}) {
        SCOPED_TRACE(name);
        Bytes der = Sample(name);
        ExpectRoundTrip(der, m_scratch.Path());

        // ContentInfo { type, [0] { SignedData { version, digests, { type, [0] { OCTET STRING } } ... } } }
        NodeExPtr root;
        ASSERT_EQ(QOVA_OK, nodeex_test::Parse(der, &root));
        const NodeEx* octets = root->vetNodes.at(1)->vetNodes.at(0)->vetNodes.at(2)->vetNodes.at(1)->vetNodes.at(0);
        ASSERT_EQ(0x04, octets->Tag);
        ASSERT_EQ(content.size(), octets->ValueLength);
        EXPECT_EQ(0, memcmp(content.data(), GetNodeExValuePointer(octets), content.size()));

        // Lazily from the file: the content is read from the file only when asked for.
        FILE* file = fopen(SamplePath(name).c_str(), "rb");
        ASSERT_NE(nullptr, file);
        NodeEx* raw = nullptr;
        ASSERT_EQ(QOVA_OK, DecodeASN1FileEx(file, &raw));
        NodeExPtr fromFile(raw);
        const NodeEx* fileOctets =
            fromFile->vetNodes.at(1)->vetNodes.at(0)->vetNodes.at(2)->vetNodes.at(1)->vetNodes.at(0);
        Bytes read(content.size());
        ASSERT_EQ(QOVA_OK, ReadNodeExValue(fileOctets, 0, read.data(), read.size()));
        EXPECT_SAME_BYTES(content, read);
        fromFile.reset();
        fclose(file);
    }
}

TEST_F(OpenSSLSamples, StreamedBerCmsReencodesAsTheSameStructure)
{
    // Indefinite lengths throughout and the content as a chunked constructed OCTET STRING.
    Bytes ber = Sample("cms-ber.der");
    ASSERT_EQ(0x80, ber.at(1));
    NodeExPtr root;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(ber, &root));
    EXPECT_EQ(ber.size(), root->TotalLength);

    const NodeEx* chunks = root->vetNodes.at(1)->vetNodes.at(0)->vetNodes.at(2)->vetNodes.at(1)->vetNodes.at(0);
    ASSERT_EQ(0x24, chunks->Tag);
    Bytes joined;
    for (const NodeEx* chunk : chunks->vetNodes) {
        const unsigned char* value = GetNodeExValuePointer(chunk);
        joined.insert(joined.end(), value, value + chunk->ValueLength);
    }
    EXPECT_SAME_BYTES(Sample("content.bin"), joined);

    // Re-encoded with definite lengths; OpenSSL reads both as the same CMS structure.
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(root.get(), &encoded));
    EXPECT_NE(0x80, encoded.at(1));
    auto canonical = [](const Bytes& der) {
        const unsigned char* p = der.data();
        CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
        Bytes out;
        if (cms) {
            unsigned char* again = nullptr;
            const int length = i2d_CMS_ContentInfo(cms, &again);
            if (length > 0)
                out.assign(again, again + length);
            OPENSSL_free(again);
            CMS_ContentInfo_free(cms);
        }
        return out;
    };
    const Bytes fromBer = canonical(ber);
    ASSERT_FALSE(fromBer.empty());
    EXPECT_SAME_BYTES(fromBer, canonical(encoded));
}

}  // namespace
