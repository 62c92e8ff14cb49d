// Trace lines of the digest and envelope code as they reach a log: the failing step's reason and
// code, the crypto library's error text on library steps only, and the envelope readers' shared
// checks traced in the name of the reader the caller called.
#include "CMSStructures.h"
#include "Digest.h"
#include "LogTestUtil.h"
#include "NodeExTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstdio>
#include <string>

namespace {

std::string Failed(const std::string& file, const std::string& func, const std::string& step, const std::string& code,
                   const std::string& reason)
{
    return "ERROR [src/SMKernel/" + file + "(N):](" + func + " -- " + step + ")\t\t--Failed:(" + code +
           ") [Reason:" + reason + "]";
}

TEST(DigestEnvelopeTrace, FailedStepsAndTheirReasons)
{
    logtest::TraceCapture trace;
    testutil::ScopedTempDir dir;
    auto last = [&trace] { return trace.Records().empty() ? std::string() : trace.Records().back(); };
    unsigned char* hash = nullptr;
    int size = 0;
    unsigned char data[] = {1};
    EXPECT_EQ(QOVA_E_BAD_ALGID, CalculateDataHash(data, 1, NID_rsaEncryption, &hash, &size));
    EXPECT_EQ(0u, last().find(Failed("Digest.cpp", "CalculateDataHash", "EVP_get_digestbynid", "0x80090008",
                                     "NULL == pMD") + " Openssl "));

    // A stream that cannot be read: the read step's line carries no library text.
    FILE* fp = fopen(dir.File("write-only").c_str(), "wb");
    fputs("ten bytes.", fp);
    fflush(fp);
    EXPECT_EQ(QOVA_E_READ_FAULT, CalculateFileHash(fp, NID_sha256, &hash, &size));
    EXPECT_EQ(Failed("Digest.cpp", "CalculateFileHash", "fread", "0x8007001e",
                     "nBytesOfRead <= 0 || ferror(fpSourceFile)") + "\n", last());
    fclose(fp);

    char *digestOID = nullptr, *signatureOID = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, GetAlgOIDbyHashNID(NID_sm3, &digestOID, &signatureOID, true));
    EXPECT_EQ(Failed("Digest.cpp", "GetAlgOIDbyHashNID", "The algorithm is not supported", "0xffffffff", "1") + "\n",
              last());

    // A ContentInfo whose [0] holds two elements, read from memory and from a file.
    NodeExPtr root(nodeex_test::Container(
        0x30, {nodeex_test::Leaf(0x06, {0x2A, 0x03}),
               nodeex_test::Container(0xA0, {nodeex_test::Leaf(0x05, {}), nodeex_test::Leaf(0x05, {})})}));
    nodeex_test::Bytes der;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(root.get(), &der));
    EXPECT_EQ(QOVA_E_ENVELOPE_SHAPE, Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()), nullptr, nullptr,
                                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                            nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Failed("CMSStructures.cpp", "Decode_CMSEnvelopeData", "Check CMS envelope nodes", "0xa0071105", "true") +
                  "\n", last());
    ASSERT_TRUE(testutil::WriteFile(dir.File("bad.der"), std::string(der.begin(), der.end())));
    fp = fopen(dir.File("bad.der").c_str(), "rb");
    EXPECT_EQ(QOVA_E_ENVELOPE_SHAPE, Decode_CMSEnvelopeFile(fp, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                            nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Failed("CMSStructures.cpp", "Decode_CMSEnvelopeFile", "Check CMS envelope nodes", "0xa0071105", "true") +
                  "\n", last());
    fclose(fp);
}

}  // namespace
