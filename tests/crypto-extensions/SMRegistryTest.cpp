// Registration: SM objects and their named constants, names and aliases of the digest and ciphers,
// the two curves, the engine hook slots, idempotence, and the ban on the old fixed NID numbers.
#include "SMRegistry.h"
#include "TestUtil.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

class SMRegistry : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }
};

TEST_F(SMRegistry, ObjectIdentifiersMapToTheNamedConstants)
{
    struct Case
    {
        const char* oid;
        int nid;
        const char* sn;       // the system's own short name
        int contentLength;    // DER content bytes of the OID
    };
    const Case kCases[] = {
        {"1.2.156.10197.1.301", kNidSm2, "ChinaSM2256", 8},
        {"1.2.156.10197.1.888", kNidSm2TestCurve, "ChinaSM2TEST256", 8},
        {"1.2.156.10197.1.401", kNidSm3, "sm3", 8},
        {"1.2.156.10197.1.104", kNidSm4Cbc, "sm4-cbc", 7},
        {"1.2.156.10197.1.501", kNidSm2Sm3, "sm2-sm3", 8},
        {"1.2.156.10197.1.102", kNidSm1Cbc, "sm1-cbc", 7},
        {"1.2.156.10197.1.105", kNidZuc, "zuc", 7},
        {"1.2.156.10197.1.301.1", kNidSm2Sm3Pkcs7, "sm2-sm3-pkcs7", 9},
        {"1.2.156.10197.6.1.4.2.1", kNidSmData, "sm-pkcs7-data", 10},
        {"1.2.156.10197.6.1.4.2.2", kNidSmSignedData, "sm-pkcs7-signedData", 10},
    };
    std::vector<int> seen;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.oid);
        ASSERT_NE(NID_undef, c.nid);
        EXPECT_EQ(c.nid, OBJ_txt2nid(c.oid));
        EXPECT_STREQ(c.sn, SM_nid2sn(c.nid));
        const ASN1_OBJECT* obj = OBJ_nid2obj(c.nid);
        ASSERT_NE(nullptr, obj);
        EXPECT_EQ(c.contentLength, static_cast<int>(OBJ_length(obj)));
        char text[64];
        ASSERT_GT(OBJ_obj2txt(text, sizeof(text), obj, 1), 0);
        EXPECT_STREQ(c.oid, text);
        for (int other : seen)
            EXPECT_NE(other, c.nid);
        seen.push_back(c.nid);
    }
    // The library's own objects keep their names; the created ones carry the old long names.
    EXPECT_STREQ("SM2", OBJ_nid2sn(kNidSm2));
    EXPECT_STREQ("ChinaSM4-CBC", OBJ_nid2ln(kNidSm4Cbc));
    EXPECT_STREQ("SM-pkcs7-signed", OBJ_nid2ln(kNidSmSignedData));
    EXPECT_STREQ("prime256v1SM2TEST", OBJ_nid2ln(kNidSm2TestCurve));
    EXPECT_EQ(kNidSm3, NID_ChinaSM3);
    EXPECT_EQ(kNidSm4Cbc, NID_ChinaSM4_CBC);
    EXPECT_EQ(nullptr, SM_nid2sn(NID_undef));
}

TEST_F(SMRegistry, DigestAndCipherNamesFindOurEntries)
{
    const EVP_MD* sm3 = SM_EVP_sm3();
    ASSERT_NE(nullptr, sm3);
    for (const char* name : {"sm3", "SM3", "ChinaSM3", "tls1-sm3", "sm2-sm3", "SM2-SM3", "ChinaSM2withSM3"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(sm3, EVP_get_digestbyname(name));
    }
    EXPECT_EQ(sm3, EVP_get_digestbynid(kNidSm3));
    EXPECT_EQ(kNidSm3, EVP_MD_get_type(sm3));
    EXPECT_EQ(kNidSm2Sm3, EVP_MD_get_pkey_type(sm3));

    const EVP_CIPHER* sm4 = SM_EVP_sm4_cbc();
    ASSERT_NE(nullptr, sm4);
    for (const char* name : {"sm4-cbc", "SM4-CBC", "ChinaSM4-CBC"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(sm4, EVP_get_cipherbyname(name));
    }
    EXPECT_EQ(sm4, EVP_get_cipherbynid(kNidSm4Cbc));
    EXPECT_EQ(16, EVP_CIPHER_get_block_size(sm4));
    EXPECT_EQ(16, EVP_CIPHER_get_key_length(sm4));
    EXPECT_EQ(16, EVP_CIPHER_get_iv_length(sm4));
    EXPECT_EQ(EVP_CIPH_CBC_MODE, EVP_CIPHER_get_mode(sm4));

    const EVP_CIPHER* zuc = EVP_zuc();
    ASSERT_NE(nullptr, zuc);
    for (const char* name : {"zuc", "ZUC", "ChinaZUC"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(zuc, EVP_get_cipherbyname(name));
    }
    EXPECT_EQ(zuc, EVP_get_cipherbynid(kNidZuc));
    EXPECT_EQ(1, EVP_CIPHER_get_block_size(zuc));
    EXPECT_EQ(16, EVP_CIPHER_get_iv_length(zuc));
    EXPECT_NE(0u, EVP_CIPHER_get_flags(zuc) & EVP_CIPH_VARIABLE_LENGTH);

    // The library's fetched implementations stay its own.
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SM3", nullptr);
    ASSERT_NE(nullptr, fetched);
    EXPECT_NE(static_cast<const EVP_MD*>(fetched), sm3);
    EVP_MD_free(fetched);
}

TEST_F(SMRegistry, Sm4CbcCannotWriteItsIvAsAlgorithmParameters)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char key[16] = {0}, iv[16] = {0};
    ASSERT_EQ(1, EVP_EncryptInit_ex(ctx, SM_EVP_sm4_cbc(), nullptr, key, iv));
    ASN1_TYPE* type = ASN1_TYPE_new();
    EXPECT_EQ(-1, EVP_CIPHER_param_to_asn1(ctx, type));
    ASN1_TYPE_free(type);
    EVP_CIPHER_CTX_free(ctx);
}

TEST_F(SMRegistry, SignatureCrossReferenceIsTheLibrarysOwn)
{
    int digest = NID_undef, key = NID_undef;
    ASSERT_EQ(1, OBJ_find_sigid_algs(kNidSm2Sm3, &digest, &key));
    EXPECT_EQ(kNidSm3, digest);
    EXPECT_EQ(kNidSm2, key);  // a row with the EC key type would break every SM2 certificate
    int sig = NID_undef;
    ASSERT_EQ(1, OBJ_find_sigid_by_algs(&sig, kNidSm3, kNidSm2));
    EXPECT_EQ(kNidSm2Sm3, sig);
    EXPECT_EQ(0, OBJ_find_sigid_by_algs(&sig, kNidSm3, EVP_PKEY_EC));
    EXPECT_EQ(0, OBJ_find_sigid_algs(kNidSm2Sm3Pkcs7, &digest, &key));
}

TEST_F(SMRegistry, BothCurvesHaveTheStandardsParameters)
{
    struct Case
    {
        const char* name;
        int nid;
        const char* p;
        const char* a;
        const char* b;
        const char* n;
        const char* gx;
        const char* gy;
    };
    const Case kCases[] = {
        {"SM2 curve", kNidSm2, "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF",
         "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
         "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
         "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123",
         "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
         "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0"},
        {"example curve", kNidSm2TestCurve, "8542D69E4C044F18E8B92435BF6FF7DE457283915C45517D722EDB8B08F1DFC3",
         "787968B4FA32C3FD2417842E73BBFEFF2F3C848B6831D7E0EC65228B3937E498",
         "63E4C6D3B23B0C849CF84241484BFE48F61D59A5B16BA06E6E12D1DA27C5249A",
         "8542D69E4C044F18E8B92435BF6FF7DD297720630485628D5AE74EE7C32E79B7",
         "421DEBD61B62EAB6746434EBC3CC315E32220B3BADD50BDC4C4E6C147FEDD43D",
         "0680512BCBB42C07D47349D2153B70C4E5D7FDFCBFA36EA1A85841B9E46E09A2"},
    };
    BN_CTX* ctx = BN_CTX_new();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EC_GROUP* group = SM_EC_GROUP_new_by_curve_name(c.nid);
        ASSERT_NE(nullptr, group);
        EXPECT_EQ(c.nid, EC_GROUP_get_curve_name(group));
        EXPECT_EQ(1, EC_GROUP_check(group, ctx));

        BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *x = BN_new(), *y = BN_new();
        ASSERT_EQ(1, EC_GROUP_get_curve(group, p, a, b, ctx));
        ASSERT_EQ(1, EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), x, y, ctx));
        auto hex = [](const BIGNUM* bn) {
            char* s = BN_bn2hex(bn);
            std::string out(s);
            OPENSSL_free(s);
            return out;
        };
        EXPECT_EQ(c.p, hex(p));
        EXPECT_EQ(c.a, hex(a));
        EXPECT_EQ(c.b, hex(b));
        EXPECT_EQ(c.n, hex(EC_GROUP_get0_order(group)));
        EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(group)));
        EXPECT_EQ(c.gx, hex(x));
        // BN_bn2hex drops the leading zero byte of the example curve's yG.
        EXPECT_EQ(std::string(c.gy).substr(c.gy[0] == '0' && c.gy[1] == '0' ? 2 : 0), hex(y));
        for (BIGNUM* bn : {p, a, b, x, y})
            BN_free(bn);
        EC_GROUP_free(group);
    }
    BN_CTX_free(ctx);
    EXPECT_EQ(nullptr, SM_EC_GROUP_new_by_curve_name(NID_undef));
}

TEST_F(SMRegistry, EngineHookSlots)
{
    ENGINE* e = ENGINE_new();
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(nullptr, ENGINE_get_pkey_decrypt_function(e));
    EXPECT_EQ(nullptr, ENGINE_get_list_object_index_function(e));
    EXPECT_EQ(nullptr, ENGINE_get_import_key_function(e));
    EXPECT_EQ(nullptr, ENGINE_get_import_encrypted_key_function(e));

    SM_ENGINE_PKEY_DECRYPT_PTR decrypt = [](EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*,
                                            size_t) { return 7; };
    SM_ENGINE_GEN_FUNC_PTR list = [] { return 1; };
    SM_ENGINE_GEN_FUNC_PTR import = [] { return 2; };
    SM_ENGINE_GEN_FUNC_PTR importEncrypted = [] { return 3; };
    EXPECT_EQ(1, ENGINE_set_pkey_decrypt_function(e, decrypt));
    EXPECT_EQ(1, ENGINE_set_list_object_index_function(e, list));
    EXPECT_EQ(1, ENGINE_set_import_key_function(e, import));
    EXPECT_EQ(1, ENGINE_set_import_encrypted_key_function(e, importEncrypted));
    EXPECT_EQ(decrypt, ENGINE_get_pkey_decrypt_function(e));
    EXPECT_EQ(list, ENGINE_get_list_object_index_function(e));
    EXPECT_EQ(import, ENGINE_get_import_key_function(e));
    EXPECT_EQ(importEncrypted, ENGINE_get_import_encrypted_key_function(e));

    // Slots belong to their engine.
    ENGINE* other = ENGINE_new();
    EXPECT_EQ(nullptr, ENGINE_get_pkey_decrypt_function(other));
    ENGINE_free(other);
    ENGINE_free(e);

    EXPECT_EQ(0, ENGINE_set_pkey_decrypt_function(nullptr, decrypt));
    EXPECT_EQ(nullptr, ENGINE_get_import_key_function(nullptr));

    ASSERT_NE(nullptr, ENGINE_get_rsa_index());
    ASSERT_NE(nullptr, ENGINE_get_sm2_index());
    EXPECT_NE(ENGINE_get_rsa_index(), ENGINE_get_sm2_index());
    EXPECT_EQ(-1, *ENGINE_get_rsa_index());
    EXPECT_EQ(-1, *ENGINE_get_sm2_index());
}

TEST_F(SMRegistry, SecondInitialisationChangesNothing)
{
    const std::vector<int> before = {kNidSm2TestCurve, kNidSm4Cbc, kNidSm1Cbc, kNidZuc,
                                     kNidSm2Sm3Pkcs7, kNidSmData, kNidSmSignedData};
    const int nextNid = OBJ_new_nid(0);
    const EVP_MD* sm3 = EVP_get_digestbyname("sm3");
    const EVP_CIPHER* sm4 = EVP_get_cipherbyname("sm4-cbc");

    ASSERT_EQ(1, SM_crypto_init());

    const std::vector<int> after = {kNidSm2TestCurve, kNidSm4Cbc, kNidSm1Cbc, kNidZuc,
                                    kNidSm2Sm3Pkcs7, kNidSmData, kNidSmSignedData};
    EXPECT_EQ(before, after);
    EXPECT_EQ(nextNid, OBJ_new_nid(0)) << "no objects may be created twice";
    EXPECT_EQ(sm3, EVP_get_digestbyname("sm3"));
    EXPECT_EQ(sm4, EVP_get_cipherbyname("sm4-cbc"));
    EXPECT_EQ(SM_EVP_sm3(), sm3);
}

// The old fixed numbers of the SM objects mean other things in OpenSSL 3.0 (920 is dhpublicnumber,
// 921 to 930 are brainpool curves); a stray literal silently picks the wrong algorithm.
TEST(SMSourceCheck, NoOldSmNidNumbersInSources)
{
    std::vector<std::string> offenders;
    std::function<void(const std::string&)> walk = [&](const std::string& dir) {
        DIR* d = opendir(dir.c_str());
        ASSERT_NE(nullptr, d) << dir;
        while (dirent* ent = readdir(d)) {
            const std::string name = ent->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = dir + "/" + name;
            struct stat st;
            if (stat(path.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                walk(path);
                continue;
            }
            const auto dot = name.rfind('.');
            const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
            if (ext != ".h" && ext != ".hpp" && ext != ".c" && ext != ".cc" && ext != ".cpp")
                continue;
            std::ifstream in(path);
            std::string line;
            for (int lineNo = 1; std::getline(in, line); ++lineNo) {
                for (size_t i = 0; i < line.size();) {
                    if (!isdigit(static_cast<unsigned char>(line[i]))) {
                        ++i;
                        continue;
                    }
                    size_t j = i;
                    while (j < line.size() && (isalnum(static_cast<unsigned char>(line[j])) || line[j] == '_'))
                        ++j;
                    const bool partOfName = i > 0 && (isalnum(static_cast<unsigned char>(line[i - 1])) ||
                                                      line[i - 1] == '_');
                    const std::string token = line.substr(i, j - i);
                    if (!partOfName && token.size() == 3 && token >= "920" && token <= "930")
                        offenders.push_back(path.substr(testutil::SourceDir().size() + 1) + ":" +
                                            std::to_string(lineNo) + ": " + line);
                    i = j;
                }
            }
        }
        closedir(d);
    };
    walk(testutil::SourceDir() + "/src");
    std::ostringstream all;
    for (const auto& o : offenders)
        all << o << "\n";
    EXPECT_TRUE(offenders.empty()) << all.str();
}

}  // namespace
