// The use count of the token services and the conversions of hash identifiers, checked against the
// crypto library's own object table.
#include "DataSigning.h"
#include "LogTestUtil.h"
#include "P11Types.h"
#include "SMRegistry.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// The count lines of the trace, in order, without their "Step into " and final full stop.
std::vector<std::string> Counts(const logtest::TraceCapture& trace)
{
    std::vector<std::string> counts;
    for (const std::string& record : trace.Records()) {
        const size_t at = record.find("Step into ");
        if (std::string::npos != at)
            counts.push_back(record.substr(at + 10, record.find('.', at) - at - 10));
    }
    return counts;
}

// Hazard: a count taken below 0 would wrap, and the next initialisation would skip the
// registration. The registration itself lives on: init -> uninit -> init leaves SM3 and SM4 usable.
TEST(KernelInit, CountsUseAndAnUninitialisationAtZeroDoesNothing)
{
    logtest::TraceCapture trace;
    EXPECT_TRUE(InitVOSKP11Kernel());
    EXPECT_TRUE(InitVOSKP11Kernel());
    EXPECT_TRUE(UninitVOSKP11Kernel());
    EXPECT_TRUE(UninitVOSKP11Kernel());
    EXPECT_TRUE(UninitVOSKP11Kernel());
    EXPECT_TRUE(InitVOSKP11Kernel());
    const std::vector<std::string> kCounts = {
        "InitVOSKP11Kernel, g_ObjectCount 1",   "InitVOSKP11Kernel, g_ObjectCount 2",
        "UninitVOSKP11Kernel, g_ObjectCount 1", "UninitVOSKP11Kernel, g_ObjectCount 0",
        "UninitVOSKP11Kernel, g_ObjectCount 0", "InitVOSKP11Kernel, g_ObjectCount 1"};
    EXPECT_EQ(kCounts, Counts(trace));

    EXPECT_NE(nullptr, EVP_get_digestbyname("ChinaSM3"));
    EXPECT_NE(NID_undef, kNidSm4Cbc);
    EXPECT_NE(nullptr, EVP_get_cipherbynid(kNidSm4Cbc));
    EXPECT_TRUE(UninitVOSKP11Kernel());
}

TEST(HashIdentifiers, NidsAndOidsAreTheLibrarysOwn)
{
    ASSERT_TRUE(InitVOSKP11Kernel());
    struct Case { unsigned int id; int nid; int accurateNid; };
    const Case kCases[] = {
        {QOVA_CALG_MD5, NID_md5, NID_md5WithRSAEncryption},
        {QOVA_CALG_SHA1, NID_sha1, NID_rsaEncryption},   // rsaEncryption even when accurate
        {QOVA_CALG_SHA256, NID_sha256, NID_sha256WithRSAEncryption},
        {QOVA_CALG_SHA384, NID_sha384, NID_sha384WithRSAEncryption},
        {QOVA_CALG_SHA512, NID_sha512, NID_sha512WithRSAEncryption},
        {QOVA_CALG_SM3, kNidSm3, kNidSm2Sm3Pkcs7},       // SM2 in SignerInfos, accurate or not
        {QOVA_CALG_3DES, NID_des_ede3_cbc, NID_undef},
        {QOVA_CALG_RC4, NID_rc4, NID_undef},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.id);
        int nid = -1;
        EXPECT_EQ(QOVA_OK, ConvertAlgIDtoAlgNID(c.id, &nid));
        EXPECT_EQ(c.nid, nid);
        if (NID_undef == c.accurateNid) {
            char* digest = nullptr;
            EXPECT_EQ(QOVA_E_FAIL, GetAlgOIDbyAlgID(c.id, true, &digest, nullptr));
            EXPECT_EQ(nullptr, digest);
            continue;
        }
        for (const bool accurate : {true, false}) {
            char* digest = nullptr;
            char* encryption = nullptr;
            ASSERT_EQ(QOVA_OK, GetAlgOIDbyAlgID(c.id, accurate, &digest, &encryption));
            const std::unique_ptr<char[]> digestHolder(digest), encryptionHolder(encryption);
            EXPECT_EQ(c.nid, OBJ_txt2nid(digest)) << digest;
            const int expected = accurate || QOVA_CALG_SM3 == c.id ? c.accurateNid : NID_rsaEncryption;
            EXPECT_EQ(expected, OBJ_txt2nid(encryption)) << encryption;
            // Dotted text, as the library writes the identifier.
            char text[128] = {0};
            OBJ_obj2txt(text, sizeof(text), OBJ_nid2obj(c.nid), 1);
            EXPECT_STREQ(text, digest);
        }
        // Either text may be dropped.
        EXPECT_EQ(QOVA_OK, GetAlgOIDbyAlgID(c.id, false, nullptr, nullptr));
    }
    int nid = -1;
    EXPECT_EQ(QOVA_E_INVALIDARG, ConvertAlgIDtoAlgNID(0x8005, &nid));
    EXPECT_EQ(-1, nid);
    EXPECT_EQ(QOVA_E_INVALIDARG, ConvertAlgIDtoAlgNID(QOVA_CALG_SHA1, nullptr));
    UninitVOSKP11Kernel();
}

}  // namespace
