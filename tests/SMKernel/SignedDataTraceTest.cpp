// Trace lines of the signing and SignedData code as they reach a log: the designed step and reason
// texts of a few failures, the library's error text on library steps, and helpers traced in the
// name of the function the caller called.
#include "LogTestUtil.h"
#include "PKCS7SignedDataOperations.h"
#include "RSADataSigning.h"
#include "SigningTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <algorithm>
#include <string>

namespace {

using namespace signingtest;

std::string Failed(const std::string& file, const std::string& func, const std::string& step, const std::string& code,
                   const std::string& reason)
{
    return "ERROR [src/SMKernel/" + file + "(N):](" + func + " -- " + step + ")\t\t--Failed:(" + code +
           ") [Reason:" + reason + "]";
}

// True when a record begins with the text.
bool Logged(const std::vector<std::string>& records, const std::string& text)
{
    return std::any_of(records.begin(), records.end(), [&](const std::string& r) { return 0 == r.find(text); });
}

TEST(SignedDataTrace, FailedStepsAndTheirReasons)
{
    logtest::TraceCapture trace;
    SignedDataSpec spec;
    spec.cert = ReadBytes(Fixture("rsa.der"));
    spec.signature = Bytes(64, 0x11);
    spec.encodedType = 0x300;
    Bytes der;
    EXPECT_EQ(QOVA_E_INVALIDARG, EncodeSignedData(spec, &der));
    EXPECT_TRUE(Logged(trace.Records(), "ERROR fSignatureEncodedType = 0x0300"));
    EXPECT_TRUE(Logged(trace.Records(), Failed("PKCS7SignedDataOperations.cpp", "ConstructNode_SignerInfo",
                                               "Invalid signature type.", "0x80070057", "true")));
    trace.Mark();
    spec.encodedType = SIGNATURE_ENCODED_SM2_INTEGERS;
    spec.signature.pop_back();
    EXPECT_EQ(QOVA_E_INVALIDARG, EncodeSignedData(spec, &der));
    EXPECT_TRUE(Logged(trace.Records(), Failed("PKCS7SignedDataOperations.cpp", "ConstructNode_SignerInfo",
                                               "Check SM2 raw signature size", "0x80070057",
                                               "SM2_RAW_RS_SIZE != nRawSignatureSize")));

    // A detached structure with attached content, and one whose signature does not match.
    trace.Mark();
    spec.encodedType = SIGNATURE_ENCODED_OCTET_STRING;
    spec.signature = Bytes(256, 0x11);
    spec.attached = true;
    spec.content = {'x'};
    ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &der));
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(WriteBytes(dir.File("x"), spec.content));
    FilePtr source = Open(dir.File("x"));
    EXPECT_EQ(QOVA_E_PKCS7_SHAPE, RSA_VerifyFileSignature_DERPKCS7Detached(der.data(), static_cast<int>(der.size()),
                                                                           source.get(), nullptr, nullptr));
    EXPECT_TRUE(Logged(trace.Records(), Failed("RSADataSigning.cpp", "RSA_VerifyFileSignature_DERPKCS7Detached",
                                               "Check PKCS7 attached signature", "0xa0071104",
                                               "NULL != pbySource || 0 != nSourceSize")));
    trace.Mark();
    spec.attached = false;
    ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &der));
    EXPECT_EQ(QOVA_E_BAD_SIGNATURE, RSA_VerifyFileSignature_DERPKCS7Detached(der.data(), static_cast<int>(der.size()),
                                                                             source.get(), nullptr, nullptr));
    EXPECT_TRUE(Logged(trace.Records(), Failed("RSADataSigning.cpp", "RSA_VerifyFileSignature_PKCS1_ByX509",
                                               "RSA_verify", "0x80090006", "1 != nResult") + " Openssl "));
    EXPECT_TRUE(Logged(trace.Records(), Failed("RSADataSigning.cpp", "RSA_VerifyFileSignature_DERPKCS7Detached",
                                               "RSA_VerifyFileSignature_PKCS1_ByCertContent", "0x80090006",
                                               "QOVA_OK != nResult")));

    // The shared tree walk traces in the reader's name.
    trace.Mark();
    const Bytes bareSequence = {0x30, 0x00};
    EXPECT_EQ(QOVA_E_PKCS7_SHAPE, ParseSignedData(bareSequence).code);
    EXPECT_TRUE(Logged(trace.Records(), Failed("PKCS7SignedDataOperations.cpp", "ParsePKCS7Signature",
                                               "Check PKCS#7 nodes", "0xa0071104", "pPKCS7->vetNodes.size() < 2")));
}

}  // namespace
