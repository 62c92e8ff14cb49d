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

namespace {

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

std::string Hex(unsigned char* data, int size)
{
    const std::string hex = testutil::BytesToHex(data, static_cast<size_t>(size));
    delete[] data;
    return hex;
}

TEST_F(DigestTest, DataAndFileDigestsEqualTheOpensslCommand)
{
    // Empty, within one read block, exactly two blocks, several blocks with a short tail.
    for (int size : {0, 1000, 2 * HASH_FILE_BLOCK_SIZE, 5 * HASH_FILE_BLOCK_SIZE + 77}) {
        std::string data(static_cast<size_t>(size), '\0');
        ASSERT_EQ(1, RAND_bytes(reinterpret_cast<unsigned char*>(&data[0]), size));
        const std::string path = m_dir.File("data");
        ASSERT_TRUE(testutil::WriteFile(path, data));
        FILE* fp = fopen(path.c_str(), "rb");
        ASSERT_NE(nullptr, fp);
        for (const Algorithm& alg : kAlgorithms) {
            SCOPED_TRACE(std::string(alg.name) + " over " + std::to_string(size) + " bytes");
            std::string expected;
            ASSERT_EQ(0, testutil::RunCommand("openssl dgst -" + std::string(alg.name) + " -r " + path, &expected));
            expected.resize(expected.find(' '));

            unsigned char* hash = nullptr;
            int hashSize = 0;
            ASSERT_EQ(QOVA_OK, CalculateDataHash(reinterpret_cast<unsigned char*>(size ? &data[0] : nullptr), size,
                                                 alg.nid, &hash, &hashSize));
            EXPECT_EQ(expected, Hex(hash, hashSize));
            // The whole file, wherever the stream stood.
            fseek(fp, size / 2, SEEK_SET);
            ASSERT_EQ(QOVA_OK, CalculateFileHash(fp, alg.nid, &hash, &hashSize));
            EXPECT_EQ(expected, Hex(hash, hashSize));
        }
        fclose(fp);
    }
}

// A stream that announces one size and delivers another number of octets ('x'), or fails to read
// (-1): a file changed by someone else while it is read.
struct ChangingFile { long long announced, delivered, position; };

ssize_t ChangingRead(void* cookie, char* buf, size_t size)
{
    auto* f = static_cast<ChangingFile*>(cookie);
    const size_t n = f->delivered < 0 ? 0 : std::min<size_t>(size, std::max(0LL, f->delivered - f->position));
    memset(buf, 'x', n);
    f->position += static_cast<long long>(n);
    return f->delivered < 0 ? -1 : static_cast<ssize_t>(n);
}

int ChangingSeek(void* cookie, off64_t* offset, int whence)
{
    auto* f = static_cast<ChangingFile*>(cookie);
    *offset = f->position = (whence == SEEK_END ? f->announced : whence == SEEK_CUR ? f->position : 0) + *offset;
    return 0;
}

TEST_F(DigestTest, FileThatChangesWhileReadAndFileOfTwoGigabytes)
{
    struct Case { const char* name; long long announced, delivered; unsigned int code; int digested; };
    const Case kCases[] = {
        {"shorter than measured", 3 * HASH_FILE_BLOCK_SIZE, 2 * HASH_FILE_BLOCK_SIZE + 5, QOVA_E_READ_FAULT, 0},
        {"read error", 100, -1, QOVA_E_READ_FAULT, 0},
        // Digested up to the end of the block in which the measured size was reached.
        {"grown", HASH_FILE_BLOCK_SIZE + 10, 10 * HASH_FILE_BLOCK_SIZE, QOVA_OK, 2 * HASH_FILE_BLOCK_SIZE},
        // The same over several reads of many blocks each: the last read stops at that block too.
        {"grown, long file", (HASH_FILE_READ_BLOCKS + 36) * HASH_FILE_BLOCK_SIZE + 10,
         3 * HASH_FILE_READ_BLOCKS * HASH_FILE_BLOCK_SIZE, QOVA_OK, (HASH_FILE_READ_BLOCKS + 37) * HASH_FILE_BLOCK_SIZE},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ChangingFile state{c.announced, c.delivered, 0};
        FILE* fp = fopencookie(&state, "r", {ChangingRead, nullptr, ChangingSeek, nullptr});
        ASSERT_NE(nullptr, fp);
        unsigned char* hash = nullptr;
        int hashSize = -7;
        EXPECT_EQ(c.code, CalculateFileHash(fp, NID_sha256, &hash, &hashSize));
        fclose(fp);
        if (QOVA_OK != c.code) {
            EXPECT_EQ(nullptr, hash);  // outputs untouched
            EXPECT_EQ(-7, hashSize);
            continue;
        }
        std::string expected(static_cast<size_t>(c.digested), 'x');
        unsigned char* dataHash = nullptr;
        int dataHashSize = 0;
        ASSERT_EQ(QOVA_OK, CalculateDataHash(reinterpret_cast<unsigned char*>(&expected[0]), c.digested, NID_sha256,
                                             &dataHash, &dataHashSize));
        EXPECT_EQ(Hex(dataHash, dataHashSize), Hex(hash, hashSize));
    }

    // 2^31 bytes (sparse) do not fit the int size: refused, not digested in part.
    FILE* fp = fopen(m_dir.File("sparse").c_str(), "w+b");
    ASSERT_NE(nullptr, fp);
    ASSERT_EQ(0, ftruncate(fileno(fp), 1LL << 31));
    unsigned char* hash = nullptr;
    int hashSize = 0;
    EXPECT_EQ(QOVA_E_READ_FAULT, CalculateFileHash(fp, NID_sha256, &hash, &hashSize));
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
                continue;
            }
            ASSERT_EQ(QOVA_OK, code);
            char expected[128];
            OBJ_obj2txt(expected, sizeof(expected), OBJ_nid2obj(alg.nid), 1);
            EXPECT_STREQ(expected, digestOID);
            // SHA-1, and every digest when the caller asks for the plain algorithm: rsaEncryption.
            int signatureNid = NID_rsaEncryption;
            if (accurate && NID_sha1 != alg.nid) {
                EXPECT_EQ(1, OBJ_find_sigid_by_algs(&signatureNid, alg.nid, NID_rsaEncryption));
            }
            OBJ_obj2txt(expected, sizeof(expected), OBJ_nid2obj(signatureNid), 1);
            EXPECT_STREQ(expected, signatureOID);
            delete[] digestOID;
            delete[] signatureOID;
        }
    }

    // A NID without digest, and missing arguments.
    unsigned char data[] = {1, 2, 3};
    unsigned char* hash = nullptr;
    int hashSize = 0;
    FILE* fp = tmpfile();
    for (int nid : {NID_undef, NID_rsaEncryption, 99999}) {
        EXPECT_EQ(QOVA_E_BAD_ALGID, CalculateDataHash(data, 3, nid, &hash, &hashSize));
        EXPECT_EQ(QOVA_E_BAD_ALGID, CalculateFileHash(fp, nid, &hash, &hashSize));
    }
    fclose(fp);
    EXPECT_EQ(QOVA_E_INVALIDARG, CalculateDataHash(nullptr, 3, NID_sha256, &hash, &hashSize));
    EXPECT_EQ(QOVA_E_INVALIDARG, CalculateFileHash(nullptr, NID_sha256, &hash, &hashSize));
    EXPECT_EQ(nullptr, hash);
}

}  // namespace
