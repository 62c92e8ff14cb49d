// Trace lines of the digest, envelope and SignedData code as they reach a log: the failing step's
// reason and code, the crypto library's error text on library steps only, the envelope readers'
// shared checks traced in the name of the reader the caller called, and the identifier reader's
// reasons in each caller's own words.
#include "CMSStructures.h"
#include "Digest.h"
#include "LogTestUtil.h"
#include "NodeExTestUtil.h"
#include "PKCS7SignedDataOperations.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

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

using nodeex_test::Bytes;
using nodeex_test::Container;
using nodeex_test::Leaf;

// The reason of func's first Failed line at step, or "".
std::string ReasonOf(const std::vector<std::string>& records, const std::string& func, const std::string& step)
{
    for (const std::string& record : records) {
        const size_t at = record.find("[Reason:");
        if (std::string::npos != record.find("(" + func + " -- " + step + ")\t\t--Failed:(") && std::string::npos != at)
            return record.substr(at + 8, record.find(']', at) - at - 8);
    }
    return "";
}

Bytes Encode(NodeEx* root)
{
    NodeExPtr owner(root);
    Bytes der;
    EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(root, &der));
    return der;
}

const Bytes kBad = {0x80}, kOid = {0x2A, 0x03};  // no identifier (its last octet announces more); 1.2.3

// A SignedData without certificates of the given SignerInfo algorithms and signature (asking for
// both identifiers), and an envelope of the given algorithms, each read from memory.
unsigned int ReadSignedData(const Bytes& digest, const Bytes& encryption, NodeEx* signature)
{
    const Bytes signedDataOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    NodeEx* signerInfo = Container(0x30, {Leaf(0x02, {1}), Container(0x30, {Container(0x30, {}), Leaf(0x02, {5})}),
                                          Container(0x30, {Leaf(0x06, digest)}),
                                          Container(0x30, {Leaf(0x06, encryption)}), signature});
    NodeEx* signedData = Container(0x30, {Leaf(0x02, {1}), Container(0x31, {}), Container(0x30, {Leaf(0x06, kOid)}),
                                          Container(0xA1, {}), Container(0x31, {signerInfo})});
    Bytes der = Encode(Container(0x30, {Leaf(0x06, signedDataOid), Container(0xA0, {signedData})}));
    char *digestOid = nullptr, *encryptionOid = nullptr;
    int size = 0;
    const unsigned int code = ParsePKCS7Signature(der.data(), static_cast<int>(der.size()), nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, &digestOid, &size, &encryptionOid, &size,
                                                  nullptr, nullptr, nullptr, nullptr, 1);
    delete[] digestOid;
    delete[] encryptionOid;
    return code;
}

unsigned int ReadEnvelope(const Bytes& keyOid, const Bytes& contentOid)
{
    NodeEx* recipient = Container(0x30, {Leaf(0x02, {2}), Leaf(0x80, {1}),
                                         Container(0x30, {Leaf(0x06, keyOid), Leaf(0x05, {})}), Leaf(0x04, {9})});
    NodeEx* content = Container(
        0x30, {Leaf(0x06, kOid), Container(0x30, {Leaf(0x06, contentOid), Leaf(0x04, {})}), Leaf(0x80, {7})});
    Bytes der = Encode(Container(
        0x30, {Leaf(0x06, kOid), Container(0xA0, {Container(0x30, {Leaf(0x02, {2}), Container(0x31, {recipient}),
                                                                   content})})}));
    char *key = nullptr, *cipher = nullptr;
    int size = 0;
    const unsigned int code = Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()), nullptr, nullptr,
                                                     nullptr, nullptr, nullptr, nullptr, &key, &size, &cipher, &size,
                                                     nullptr, nullptr);
    delete[] key;
    delete[] cipher;
    return code;
}

// Each caller of the shared identifier reader names its own variables in the reason, and the
// signature's size check quotes its limit: a log reader searching for those texts must find them.
TEST(DigestEnvelopeTrace, IdentifierAndSignatureSizeReasonsAreTheCallersOwnTexts)
{
    logtest::TraceCapture trace;
    const char* const kSignedData = "ParsePKCS7Signature";
    const char* const kEnvelope = "Decode_CMSEnvelopeData";
    struct Case
    {
        std::function<unsigned int()> call;
        unsigned int code;
        const char *func, *step, *reason;
    };
    const Case kCases[] = {
        {[] { return ReadSignedData(kBad, kOid, Leaf(0x04, {1})); }, QOVA_E_FAIL, kSignedData, "d2i_ASN1_OBJECT",
         "NULL == pstDigestAlgOid"},
        {[] { return ReadSignedData(kOid, kBad, Leaf(0x04, {1})); }, QOVA_E_FAIL, kSignedData, "d2i_ASN1_OBJECT",
         "NULL == pstDigestEncryptionAlgOid"},
        {[] { return ReadSignedData(kOid, kOid, Container(0x30, {Leaf(0x02, Bytes(27, 1)), Leaf(0x02, {1})})); },
         QOVA_E_PKCS7_SHAPE, kSignedData, "Check R/S size >= 28",
         "(nRawSingatureRSize < 28 || nRawSingatureSSize < 28)"},
        {[] { return ReadEnvelope(kBad, kOid); }, QOVA_E_FAIL, kEnvelope, "d2i_ASN1_OBJECT",
         "NULL == pstKeyEncryptionAlgOid"},
        {[] { return ReadEnvelope(kOid, kBad); }, QOVA_E_FAIL, kEnvelope, "d2i_ASN1_OBJECT",
         "NULL == pstContentEncryptionAlgOid"},
        // NID_undef is known to the library but has no identifier octets to print.
        {[] {
             char* oid = nullptr;
             int size = 0;
             return GetOIDFromNID(NID_undef, &oid, &size);
         },
         QOVA_E_FAIL, "GetOIDFromNID", "OBJ_obj2txt", "0 == nOIDLen"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.reason);
        trace.Mark();
        EXPECT_EQ(c.code, c.call());
        EXPECT_EQ(c.reason, ReasonOf(trace.Records(), c.func, c.step)) << trace.Raw();
    }
}

}  // namespace
