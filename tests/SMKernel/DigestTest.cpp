// Digests of data and files against the openssl command (a separate process), and the identifier
// table against the library's own object and signature tables.
#include "Digest.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Algorithm { const char* name; int nid; };
const Algorithm kAlgorithms[] = {{"md5", NID_md5},       {"sha1", NID_sha1},     {"sha256", NID_sha256},
                                 {"sha384", NID_sha384}, {"sha512", NID_sha512}, {"sm3", kNidSm3}};

class DigestTest : public ::testing::Test
{
protected:
    // SM3 must come from our registered entry, not the library's own.
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        ASSERT_EQ(SM_EVP_sm3(), EVP_get_digestbynid(kNidSm3));
    }

    testutil::ScopedTempDir m_dir;
};

std::string OpensslDigest(const char* name, const std::string& path)
{
    std::string out;
    EXPECT_EQ(0, testutil::RunCommand("openssl dgst -" + std::string(name) + " -r " + testutil::ShellQuote(path), &out));
    return out.substr(0, out.find(' '));
}

std::string Hex(unsigned char* data, int size)
{
    std::string hex = testutil::BytesToHex(data, static_cast<size_t>(size));
    for (char& c : hex)
        c = static_cast<char>(tolower(c));
    delete[] data;
    return hex;
}

Bytes RandomBytes(size_t size)
{
    Bytes out(size);
    EXPECT_EQ(1, RAND_bytes(out.data(), static_cast<int>(size)));
    return out;
}

TEST_F(DigestTest, DataAndFileDigestsEqualTheOpensslCommand)
{
    // Empty, within one read block, exactly two blocks, and several blocks with a short tail.
    for (size_t size : {size_t{0}, size_t{1000}, size_t{2 * HASH_FILE_BLOCK_SIZE}, size_t{5 * HASH_FILE_BLOCK_SIZE + 77}}) {
        Bytes data = RandomBytes(size);
        const std::string path = m_dir.File("data");
        ASSERT_TRUE(testutil::WriteFile(path, std::string(data.begin(), data.end())));
        FILE* fp = fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, fp);
        for (const Algorithm& alg : kAlgorithms) {
            SCOPED_TRACE(std::string(alg.name) + " over " + std::to_string(size) + " bytes");
            const std::string expected = OpensslDigest(alg.name, path);

            unsigned char* hash = nullptr;
            int hashSize = 0;
            ASSERT_EQ(QOVA_OK, CalculateDataHash(size ? data.data() : nullptr, static_cast<int>(size), alg.nid, &hash,
                                                 &hashSize));
            EXPECT_EQ(expected, Hex(hash, hashSize));

            // The whole file is digested whatever the stream's position was.
            fseek(fp, static_cast<long>(size / 2), SEEK_SET);
            ASSERT_EQ(QOVA_OK, CalculateFileHash(fp, alg.nid, &hash, &hashSize));
            EXPECT_EQ(expected, Hex(hash, hashSize));
        }
        fclose(fp);
    }
}

// A stream that reports a size and then delivers another number of octets (or a read error), as
// a file changed by someone else while it is read.
struct ChangingFile
{
    long long announced;
    long long delivered;  // -1: the read fails
    long long position = 0;
    long long readPosition = 0;
};

ssize_t ChangingRead(void* cookie, char* buf, size_t size)
{
    auto* f = static_cast<ChangingFile*>(cookie);
    if (f->delivered < 0)
        return -1;
    const long long left = f->delivered - f->readPosition;
    const size_t n = left <= 0 ? 0 : std::min<size_t>(size, static_cast<size_t>(left));
    memset(buf, 'x', n);
    f->readPosition += static_cast<long long>(n);
    return static_cast<ssize_t>(n);
}

int ChangingSeek(void* cookie, off64_t* offset, int whence)
{
    auto* f = static_cast<ChangingFile*>(cookie);
    f->position = whence == SEEK_END ? f->announced + *offset : whence == SEEK_SET ? *offset : f->position + *offset;
    f->readPosition = f->position;
    *offset = f->position;
    return 0;
}

TEST_F(DigestTest, FileThatChangesWhileRead)
{
    struct Case { const char* name; long long announced; long long delivered; unsigned int code; long long digested; };
    const Case kCases[] = {
        {"shorter than measured", 3 * HASH_FILE_BLOCK_SIZE, 2 * HASH_FILE_BLOCK_SIZE + 5, QOVA_E_READ_FAULT, 0},
        {"read error", 100, -1, QOVA_E_READ_FAULT, 0},
        // Digested up to the end of the block in which the measured size was reached.
        {"grown", HASH_FILE_BLOCK_SIZE + 10, 10 * HASH_FILE_BLOCK_SIZE, QOVA_OK, 2 * HASH_FILE_BLOCK_SIZE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ChangingFile state{c.announced, c.delivered};
        cookie_io_functions_t io{ChangingRead, nullptr, ChangingSeek, nullptr};
        FILE* fp = fopencookie(&state, "r", io);
        ASSERT_NE(nullptr, fp);
        unsigned char* hash = reinterpret_cast<unsigned char*>(&state);  // must stay untouched on failure
        int hashSize = -7;
        EXPECT_EQ(c.code, CalculateFileHash(fp, NID_sha256, &hash, &hashSize));
        if (QOVA_OK == c.code) {
            Bytes expected(static_cast<size_t>(c.digested), 'x');
            unsigned char* dataHash = nullptr;
            int dataHashSize = 0;
            ASSERT_EQ(QOVA_OK, CalculateDataHash(expected.data(), static_cast<int>(expected.size()), NID_sha256,
                                                 &dataHash, &dataHashSize));
            EXPECT_EQ(Hex(dataHash, dataHashSize), Hex(hash, hashSize));
        } else {
            EXPECT_EQ(reinterpret_cast<unsigned char*>(&state), hash);
            EXPECT_EQ(-7, hashSize);
        }
        fclose(fp);
    }
}

TEST_F(DigestTest, FileOfTwoGigabytesIsRefusedNotTruncatedToAnInt)
{
    const std::string path = m_dir.File("sparse");
    FILE* fp = fopen(path.c_str(), "w+b");
    ASSERT_NE(nullptr, fp);
    ASSERT_EQ(0, ftruncate(fileno(fp), 1LL << 31));  // sparse: no disk space used
    unsigned char* hash = nullptr;
    int hashSize = 0;
    EXPECT_EQ(QOVA_E_READ_FAULT, CalculateFileHash(fp, NID_sha256, &hash, &hashSize));
    EXPECT_EQ(nullptr, hash);
    fclose(fp);
}

TEST_F(DigestTest, UnknownDigestAndBadArguments)
{
    unsigned char data[] = {1, 2, 3};
    unsigned char* hash = nullptr;
    int hashSize = 0;
    FILE* fp = tmpfile();
    ASSERT_NE(nullptr, fp);
    for (int nid : {NID_undef, NID_rsaEncryption, 99999}) {
        SCOPED_TRACE(nid);
        EXPECT_EQ(QOVA_E_BAD_ALGID, CalculateDataHash(data, 3, nid, &hash, &hashSize));
        EXPECT_EQ(QOVA_E_BAD_ALGID, CalculateFileHash(fp, nid, &hash, &hashSize));
    }
    EXPECT_EQ(QOVA_E_INVALIDARG, CalculateDataHash(nullptr, 3, NID_sha256, &hash, &hashSize));
    EXPECT_EQ(QOVA_E_INVALIDARG, CalculateDataHash(data, -1, NID_sha256, &hash, &hashSize));
    EXPECT_EQ(QOVA_E_INVALIDARG, CalculateFileHash(nullptr, NID_sha256, &hash, &hashSize));
    EXPECT_EQ(nullptr, hash);
    fclose(fp);
}

TEST_F(DigestTest, IdentifiersMatchTheLibraryTables)
{
    for (const Algorithm& alg : kAlgorithms) {
        SCOPED_TRACE(alg.name);
        for (bool accurate : {true, false}) {
            char* digestOID = nullptr;
            char* signatureOID = nullptr;
            const unsigned int code = GetAlgOIDbyHashNID(alg.nid, &digestOID, &signatureOID, accurate);
            if (kNidSm3 == alg.nid) {  // digested, but no row in the table
                EXPECT_EQ(QOVA_E_FAIL, code);
                EXPECT_EQ(nullptr, digestOID);
                continue;
            }
            ASSERT_EQ(QOVA_OK, code);
            char expected[128];
            OBJ_obj2txt(expected, sizeof(expected), OBJ_nid2obj(alg.nid), 1);
            EXPECT_STREQ(expected, digestOID);
            // SHA-1, and every digest when the caller asks for the plain algorithm: rsaEncryption.
            int signatureNid = NID_rsaEncryption;
            if (accurate && NID_sha1 != alg.nid) {
                ASSERT_EQ(1, OBJ_find_sigid_by_algs(&signatureNid, alg.nid, NID_rsaEncryption));
            }
            OBJ_obj2txt(expected, sizeof(expected), OBJ_nid2obj(signatureNid), 1);
            EXPECT_STREQ(expected, signatureOID);
            EXPECT_EQ('\0', digestOID[HASH_OID_BUFFER_SIZE - 1]);
            delete[] digestOID;
            delete[] signatureOID;
        }
    }
}

}  // namespace
