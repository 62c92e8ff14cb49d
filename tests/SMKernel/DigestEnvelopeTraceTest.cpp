// Trace lines of the digest and envelope code as they reach a log: the failing step's line with
// its reason and code, the crypto library's error text on library steps only, and helper steps
// traced in the name of the function the caller called.
#include "CMSStructures.h"
#include "Digest.h"
#include "LogTestUtil.h"
#include "NodeExTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using nodeex_test::Bytes;
using nodeex_test::Container;
using nodeex_test::Leaf;

std::string Failed(const std::string& file, const std::string& func, const std::string& step, const std::string& code,
                   const std::string& reason)
{
    return "ERROR [src/SMKernel/" + file + "(N):](" + func + " -- " + step + ")\t\t--Failed:(" + code +
           ") [Reason:" + reason + "]";
}

class DigestEnvelopeTraceTest : public ::testing::Test
{
protected:
    // The last record; library steps end in " Openssl <error text>", the others right after the reason.
    std::string LastRecord() const
    {
        const std::vector<std::string> records = m_trace.Records();
        return records.empty() ? std::string() : records.back();
    }
    logtest::TraceCapture m_trace;
    testutil::ScopedTempDir m_dir;
};

TEST_F(DigestEnvelopeTraceTest, DigestFailures)
{
    unsigned char* hash = nullptr;
    int size = 0;
    unsigned char data[] = {1};
    m_trace.Mark();
    EXPECT_EQ(QOVA_E_BAD_ALGID, CalculateDataHash(data, 1, NID_rsaEncryption, &hash, &size));
    const std::string unknown = LastRecord();
    EXPECT_EQ(0u, unknown.find(Failed("Digest.cpp", "CalculateDataHash", "EVP_get_digestbynid", "0x80090008",
                                      "NULL == pMD") + " Openssl "));

    // A stream that cannot be read: the read step's line carries no library text.
    const std::string path = m_dir.File("write-only");
    FILE* fp = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, fp);
    fputs("ten bytes.", fp);
    fflush(fp);
    m_trace.Mark();
    EXPECT_EQ(QOVA_E_READ_FAULT, CalculateFileHash(fp, NID_sha256, &hash, &size));
    EXPECT_EQ(Failed("Digest.cpp", "CalculateFileHash", "fread", "0x8007001e",
                     "nBytesOfRead <= 0 || ferror(fpSourceFile)") + "\n",
              LastRecord());
    fclose(fp);

    char* digestOID = nullptr;
    char* signatureOID = nullptr;
    m_trace.Mark();
    EXPECT_EQ(QOVA_E_FAIL, GetAlgOIDbyHashNID(NID_sm3, &digestOID, &signatureOID, true));
    EXPECT_EQ(Failed("Digest.cpp", "GetAlgOIDbyHashNID", "The algorithm is not supported", "0xffffffff", "1") + "\n",
              LastRecord());
    m_trace.Mark();
    ASSERT_EQ(QOVA_OK, GetAlgOIDbyHashNID(NID_sha256, &digestOID, &signatureOID, false));
    EXPECT_EQ("INFO User defines unaccurate digest encryption algorithm", LastRecord());
    delete[] digestOID;
    delete[] signatureOID;
}

TEST_F(DigestEnvelopeTraceTest, EnvelopeShapeIsCheckedInTheReadersName)
{
    // A ContentInfo whose [0] holds two elements.
    NodeExPtr root(Container(0x30, {Leaf(0x06, {0x2A, 0x03}), Container(0xA0, {Leaf(0x05, {}), Leaf(0x05, {})})}));
    Bytes der;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(root.get(), &der));
    const std::string path = m_dir.File("bad.der");
    ASSERT_TRUE(testutil::WriteFile(path, std::string(der.begin(), der.end())));
    FILE* fp = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, fp);

    m_trace.Mark();
    EXPECT_EQ(QOVA_E_ENVELOPE_SHAPE, Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()), nullptr, nullptr,
                                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                            nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Failed("CMSStructures.cpp", "Decode_CMSEnvelopeData", "Check CMS envelope nodes", "0xa0071105", "true") +
                  "\n",
              LastRecord());
    m_trace.Mark();
    EXPECT_EQ(QOVA_E_ENVELOPE_SHAPE, Decode_CMSEnvelopeFile(fp, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                            nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Failed("CMSStructures.cpp", "Decode_CMSEnvelopeFile", "Check CMS envelope nodes", "0xa0071105", "true") +
                  "\n",
              LastRecord());
    fclose(fp);
}

}  // namespace
