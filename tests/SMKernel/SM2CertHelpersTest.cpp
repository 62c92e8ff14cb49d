// Certificate pieces against what the openssl command shows for the same certificate (asn1parse
// for the issuer and serial TLVs, pkey -text for the public point), edge cases on certificates made
// here, the ECPrivateKey encoder against `openssl ec`, and the key accessor.
#include "CertBuilder.h"
#include "NodeExTestUtil.h"
#include "P11TestBed.h"
#include "PKCS7SignedDataOperations.h"
#include "SM2CertHelpers.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

namespace {

using nodeex_test::Bytes;
using testutil::HexToBytes;

Bytes FileBytes(const std::string& path)
{
    const std::string s = testutil::ReadFileOrEmpty(path);
    return Bytes(s.begin(), s.end());
}

// One of the certificate functions: the output, or empty with the code in *code. GetPoint gives
// 04 || X || Y, each 32 octets.
Bytes Piece(unsigned int (*getter)(unsigned char*, int, unsigned char**, int*), Bytes cert, unsigned int* code)
{
    unsigned char* out = nullptr;
    int outLen = 0;
    *code = getter(cert.data(), static_cast<int>(cert.size()), &out, &outLen);
    Bytes result = out ? Bytes(out, out + outLen) : Bytes();
    delete[] out;
    return result;
}

unsigned int GetPoint(unsigned char* cert, int certLength, unsigned char** point, int* pointLength)
{
    unsigned char *x = nullptr, *y = nullptr;
    int xLen = 0, yLen = 0;
    const unsigned int code = GetPublicKeyXYFromSM2Cert(cert, certLength, &x, &xLen, &y, &yLen);
    if (QOVA_OK == code && xLen == 32 && yLen == 32) {
        *point = new unsigned char[65]{0x04};
        memcpy(*point + 1, x, 32);
        memcpy(*point + 33, y, 32);
        *pointLength = 65;
    }
    delete[] x;
    delete[] y;
    return code;
}

TEST(SM2CertHelpers, FixtureCertificatesGiveWhatOpensslShows)
{
    if (p11testbed::SoftHsmModulePath().empty())
        GTEST_SKIP() << "fixtures are made with SoftHSM2, which is not installed";
    for (const std::string name : {"sm2", "rsa1"}) {
        SCOPED_TRACE(name);
        const std::string pemPath = p11testbed::FixtureFile(name + ".pem");
        const std::string derPath = p11testbed::FixtureFile(name + ".der");
        const Bytes der = FileBytes(derPath);
        // The TBSCertificate's elements at depth 2: [0] version, serial, signature algorithm, issuer.
        std::string listing, keyText;
        ASSERT_EQ(0, testutil::RunCommand("openssl asn1parse -inform DER -in " + derPath, &listing));
        std::vector<Bytes> elements;
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);) {
            unsigned long offset = 0, header = 0, length = 0;
            int depth = 0;
            if (sscanf(line.c_str(), " %lu:d=%d hl=%lu l=%lu", &offset, &depth, &header, &length) == 4 && depth == 2)
                elements.emplace_back(der.begin() + offset, der.begin() + offset + header + length);
        }
        ASSERT_GE(elements.size(), 4u);
        ASSERT_EQ(0, testutil::RunCommand("openssl x509 -in " + pemPath +
                                          " -pubkey -noout | openssl pkey -pubin -text -noout", &keyText));
        const size_t pub = keyText.find("pub:\n");

        // PEM text and DER give the same pieces.
        for (const Bytes& cert : {FileBytes(pemPath), der}) {
            unsigned int code = 0;
            EXPECT_EQ(elements[1], Piece(GetSerialNumberFromCert, cert, &code));
            EXPECT_EQ(elements[3], Piece(GetIssuerFromCert, cert, &code));
            EXPECT_EQ(Piece(GetSubjectKeyIDFromCert, der, &code), Piece(GetSubjectKeyIDFromCert, cert, &code));
            EXPECT_EQ(20u, Piece(GetSubjectKeyIDFromCert, cert, &code).size());
            const Bytes point = Piece(GetPoint, cert, &code);
            if (name == "sm2")
                EXPECT_EQ(HexToBytes(keyText.substr(pub + 5, keyText.find("ASN1 OID") - pub - 5)), point);
            else
                EXPECT_EQ(QOVA_E_FAIL, code);  // an RSA key has no point
        }
    }
}

// A certificate with the given serial (hex) and subjectKeyIdentifier extension value (none when
// null), for key (the builder's shared RSA key when null).
Bytes MakeCertificate(const char* serialHex, const Bytes* skid, EVP_PKEY* key = nullptr)
{
    certtest::CertSpec spec;
    spec.serialHex = serialHex;
    spec.withKeyId = nullptr != skid;
    spec.keyIdValue = skid ? *skid : Bytes();
    spec.key = key;
    return certtest::MakeDer(spec);
}

// The issuer and serial are read from the TBSCertificate without the library's full parse; every
// system certificate must still give the bytes the full parse gives, as DER and as PEM text, and a
// certificate cut short must fail, not yield a piece of its prefix.
TEST(SM2CertHelpers, IssuerAndSerialEqualTheLibraryFullParse)
{
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/etc/ssl/certs")) {
        if (entry.path().extension() != ".pem") continue;
        FILE* fp = fopen(entry.path().c_str(), "r");
        ASSERT_NE(nullptr, fp);
        X509* x = PEM_read_X509(fp, nullptr, nullptr, nullptr);
        fclose(fp);
        if (!x) continue;
        SCOPED_TRACE(entry.path().string());
        unsigned char* der = nullptr;
        const int derLen = i2d_X509(x, &der);
        unsigned char* issuer = nullptr;
        const int issuerLen = i2d_X509_NAME(X509_get_issuer_name(x), &issuer);
        unsigned char* serial = nullptr;
        const int serialLen = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &serial);
        const Bytes cert(der, der + derLen);
        unsigned int code = 1;
        EXPECT_EQ(Bytes(issuer, issuer + issuerLen), Piece(GetIssuerFromCert, cert, &code));
        EXPECT_EQ(QOVA_OK, code);
        EXPECT_EQ(Bytes(serial, serial + serialLen), Piece(GetSerialNumberFromCert, cert, &code));
        EXPECT_EQ(QOVA_OK, code);
        if (0 == checked) {
            const std::string pem = testutil::ReadFileOrEmpty(entry.path().string());
            EXPECT_EQ(Bytes(issuer, issuer + issuerLen), Piece(GetIssuerFromCert, Bytes(pem.begin(), pem.end()), &code));
            Bytes cut(cert.begin(), cert.end() - 1);
            EXPECT_TRUE(Piece(GetIssuerFromCert, cut, &code).empty());
            EXPECT_NE(QOVA_OK, code);
        }
        OPENSSL_free(der);
        OPENSSL_free(issuer);
        OPENSSL_free(serial);
        X509_free(x);
        ++checked;
    }
    EXPECT_GT(checked, 50);
}

// The issuer and serial are read without decoding the key, but only from bytes that are one whole
// certificate: they used to be handed out (and wrapped into a SignedData) for a certificate broken
// after its issuer, or followed by other octets. openssl x509 is the reference for the broken tags.
TEST(SM2CertHelpers, BytesThatAreNotOneCertificateGiveNoPieces)
{
    testutil::ScopedTempDir dir;
    std::string listing;
    ASSERT_EQ(0, testutil::RunCommand("cd " + testutil::ShellQuote(dir.Path()) +
                                      " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
                                      " -keyout k.pem -subj /CN=pieces -outform DER -out c.der 2>/dev/null"
                                      " && openssl asn1parse -inform DER -in c.der", &listing));
    const Bytes der = FileBytes(dir.File("c.der"));
    // Offsets of the elements at depth 1 (TBSCertificate, signatureAlgorithm, signature) and 2 (the
    // TBSCertificate's [0], serial, signature, issuer, validity, subject, key info, [3]; then the
    // signatureAlgorithm's OID).
    std::map<int, std::vector<size_t>> at;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        unsigned long offset = 0;
        int depth = 0;
        if (sscanf(line.c_str(), " %lu:d=%d", &offset, &depth) == 2) at[depth].push_back(offset);
    }
    ASSERT_EQ(3u, at[1].size());
    ASSERT_EQ(9u, at[2].size());
    const size_t notBefore = at[2][4] + 2, keyBits = at[2][7] - 68;  // key info ends in 03 42 00 04 X Y
    ASSERT_EQ(0x17, der[notBefore]);
    ASSERT_EQ(0x03, der[keyBits]);

    struct Case { const char* name; size_t at; size_t count; unsigned char octet; bool opensslRefuses; };
    const Case kCases[] = {
        {"intact, the form that reads", 0, 0, 0, false},
        {"notBefore tag broken", notBefore, 1, 0x04, true},
        {"notBefore not a time", notBefore + 2, 12, 'A', false},
        {"subject not a Name", at[2][5], 1, 0x31, true},
        {"key not a BIT STRING", keyBits, 1, 0x04, true},
        {"extensions under another tag", at[2][7], 1, 0xA4, true},
        {"signature not a BIT STRING", at[1][2], 1, 0x04, true},
        {"an octet after the certificate", der.size(), 1, 0x00, false},
    };
    unsigned char signature[64] = {1};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes broken = der;
        broken.resize(std::max(der.size(), c.at + c.count));
        std::fill(broken.begin() + c.at, broken.begin() + c.at + c.count, c.octet);
        if (c.opensslRefuses) {
            ASSERT_TRUE(testutil::WriteFile(dir.File("b.der"), std::string(broken.begin(), broken.end())));
            EXPECT_NE(0, testutil::RunCommand("openssl x509 -inform DER -noout -in " + dir.File("b.der") + " 2>&1"));
        }
        std::string pem(4 * ((broken.size() + 2) / 3) + 1, '\0');
        pem.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&pem[0]), broken.data(),
                                   static_cast<int>(broken.size())));
        pem = "-----BEGIN CERTIFICATE-----\n" + pem + "\n-----END CERTIFICATE-----\n";
        const unsigned int want = 0 == c.count ? QOVA_OK : QOVA_E_FAIL;
        for (Bytes form : {broken, Bytes(pem.begin(), pem.end())}) {
            unsigned int code = 0;
            EXPECT_EQ(QOVA_OK != want, Piece(GetIssuerFromCert, form, &code).empty());
            EXPECT_EQ(want, code);
            EXPECT_EQ(QOVA_OK != want, Piece(GetSerialNumberFromCert, form, &code).empty());
            EXPECT_EQ(want, code);
            unsigned char* out = nullptr;
            int outSize = -7;
            EXPECT_EQ(want, Encode_PKCS7Signature(form.data(), static_cast<int>(form.size()), nullptr, 0, nullptr,
                                                  false, "1.2.840.113549.1.7.2", "1.2.840.113549.1.7.1",
                                                  "2.16.840.1.101.3.4.2.1", nullptr, "1.2.840.10045.2.1", signature,
                                                  64, SIGNATURE_ENCODED_OCTET_STRING, nullptr, &out, &outSize, nullptr,
                                                  nullptr));
            EXPECT_EQ(QOVA_OK != want, nullptr == out && -7 == outSize);
            delete[] out;
        }
    }
}

TEST(SM2CertHelpers, CertificateEdges)
{
    unsigned int code = 0;
    EXPECT_EQ(HexToBytes("020200C1"), Piece(GetSerialNumberFromCert, MakeCertificate("C1", nullptr), &code));

    const Bytes twenty(20, 0x11), longId(128, 0x5A);
    Bytes shortForm = HexToBytes("0414"), longForm = HexToBytes("048180");
    shortForm.insert(shortForm.end(), twenty.begin(), twenty.end());
    longForm.insert(longForm.end(), longId.begin(), longId.end());
    const Bytes oneOctet = {0x04}, notOctets = {0x05, 0x00}, trailing = {0x04, 0x01, 0xAB, 0xCD};
    struct Case { const char* name; const Bytes* skid; unsigned int code; Bytes id; };
    const Case kCases[] = {
        {"20-octet identifier", &shortForm, QOVA_OK, twenty},
        {"long-form inner length", &longForm, QOVA_OK, longId},
        {"no extension", nullptr, QOVA_E_FAIL, {}},
        {"a value shorter than 2 octets must not give a negative length", &oneOctet, QOVA_E_FAIL, {}},
        {"inner value not an OCTET STRING", &notOctets, QOVA_E_FAIL, {}},
        {"octets after the inner OCTET STRING", &trailing, QOVA_E_FAIL, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.id, Piece(GetSubjectKeyIDFromCert, MakeCertificate("01", c.skid), &code));
        EXPECT_EQ(c.code, code);
    }

    // About one P-256 key in 128 has a coordinate below 2^248: it comes right-aligned in 32 octets.
    Bytes expected(65, 0xFF);
    int keys = 0;
    for (; keys < 4096 && expected[1] != 0 && expected[33] != 0; ++keys) {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, expected.data(), expected.size(), nullptr);
        EXPECT_EQ(expected, Piece(GetPoint, MakeCertificate("02", nullptr, key), &code));
        EVP_PKEY_free(key);
    }
    ASSERT_TRUE(expected[1] == 0 || expected[33] == 0);
    // Coordinates of 48 octets do not fit; neither PEM nor DER, or nothing at all.
    EVP_PKEY* p384 = EVP_EC_gen("P-384");
    EXPECT_TRUE(Piece(GetPoint, MakeCertificate("03", nullptr, p384), &code).empty());
    EXPECT_EQ(QOVA_E_FAIL, code);
    EVP_PKEY_free(p384);
    EXPECT_TRUE(Piece(GetIssuerFromCert, HexToBytes("30030201"), &code).empty());
    EXPECT_EQ(QOVA_E_FAIL, code);
    EXPECT_TRUE(Piece(GetIssuerFromCert, Bytes(), &code).empty());
    EXPECT_EQ(QOVA_E_FAIL, code);
}

Bytes EncodePrivateKey(Bytes key, Bytes x, Bytes y, unsigned int* code = nullptr)
{
    unsigned char* out = nullptr;
    int outLen = 0;
    const unsigned int result = EncodeECPrivateKey(1, "1.2.156.10197.1.301", key.data(), static_cast<int>(key.size()),
                                                   x.data(), static_cast<int>(x.size()), y.data(),
                                                   static_cast<int>(y.size()), &out, &outLen);
    if (code)
        *code = result;
    Bytes encoded = out ? Bytes(out, out + outLen) : Bytes();
    delete[] out;
    return encoded;
}

Bytes Param(EVP_PKEY* key, const char* name)
{
    BIGNUM* bn = nullptr;
    EXPECT_EQ(1, EVP_PKEY_get_bn_param(key, name, &bn));
    Bytes out(32);
    BN_bn2binpad(bn, out.data(), 32);
    BN_free(bn);
    return out;
}

EVP_PKEY* NewSM2Key(const std::string& path, const std::string& derPath = "/dev/null")
{
    EXPECT_EQ(0, testutil::RunCommand("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out " + path +
                                      " && openssl ec -in " + path + " -outform DER -out " + derPath + " 2>/dev/null"));
    FILE* fp = fopen(path.c_str(), "r");
    EVP_PKEY* key = fp ? PEM_read_PrivateKey(fp, nullptr, nullptr, nullptr) : nullptr;
    if (fp)
        fclose(fp);
    return key;
}

TEST(SM2CertHelpers, ECPrivateKeyStructure)
{
    const Bytes x(32, 0xA1), y(32, 0xB2);
    Bytes key(32, 0x33);
    const std::string tail = "A00A06082A811CCF5501822DA14403420004" + testutil::BytesToHex(x.data(), 32) +
                             testutil::BytesToHex(y.data(), 32);
    // A first octet of 0x80 or above gets a 00 in front: the INTEGER stays positive.
    key[0] = 0x7F;
    EXPECT_EQ(HexToBytes("3077020101" "0220" + testutil::BytesToHex(key.data(), 32) + tail), EncodePrivateKey(key, x, y));
    key[0] = 0x80;
    EXPECT_EQ(HexToBytes("3078020101" "022100" + testutil::BytesToHex(key.data(), 32) + tail), EncodePrivateKey(key, x, y));
    unsigned int code = 0;
    EXPECT_TRUE(EncodePrivateKey(Bytes(), x, y, &code).empty());
    EXPECT_EQ(QOVA_E_INVALIDARG, code);

    // `openssl ec` writes the key as an OCTET STRING where this structure has an INTEGER; for a key
    // whose first octet is below 0x80 that tag is the only difference.
    testutil::ScopedTempDir dir;
    Bytes ours, theirs;
    for (int i = 0; i < 40 && theirs.empty(); ++i) {
        EVP_PKEY* sm2 = NewSM2Key(dir.File("sm2.key"), dir.File("sm2.der"));
        ASSERT_NE(nullptr, sm2);
        const Bytes priv = Param(sm2, OSSL_PKEY_PARAM_PRIV_KEY);
        if (priv[0] != 0 && priv[0] < 0x80) {
            ours = EncodePrivateKey(priv, Param(sm2, OSSL_PKEY_PARAM_EC_PUB_X), Param(sm2, OSSL_PKEY_PARAM_EC_PUB_Y));
            theirs = FileBytes(dir.File("sm2.der"));
        }
        EVP_PKEY_free(sm2);
    }
    ASSERT_GT(theirs.size(), 5u);
    ASSERT_EQ(0x04, theirs[5]);
    theirs[5] = 0x02;
    EXPECT_EQ(theirs, ours);
}

TEST(SM2CertHelpers, KeyAccessorForProviderAndLegacyKeys)
{
    testutil::ScopedTempDir dir;
    EVP_PKEY* key = NewSM2Key(dir.File("sm2.key"));
    ASSERT_NE(nullptr, key);
    // A provider-held SM2 key: an equivalent EC_KEY, built once and kept with the key object.
    const EC_KEY* ec = EVP_PKEY_get0_SM2_KEY(key);
    ASSERT_NE(nullptr, ec);
    EXPECT_EQ(ec, EVP_PKEY_get0_SM2_KEY(key));
    EXPECT_EQ(NID_sm2, EC_GROUP_get_curve_name(EC_KEY_get0_group(ec)));
    Bytes point(65), priv(32);
    EC_POINT_point2oct(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), POINT_CONVERSION_UNCOMPRESSED, point.data(),
                       point.size(), nullptr);
    BN_bn2binpad(EC_KEY_get0_private_key(ec), priv.data(), 32);
    Bytes expected(65);
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, expected.data(), expected.size(), nullptr);
    EXPECT_EQ(expected, point);
    EXPECT_EQ(Param(key, OSSL_PKEY_PARAM_PRIV_KEY), priv);

    // A duplicate must not share (and free a second time) the first key object's EC_KEY.
    EVP_PKEY* dup = EVP_PKEY_dup(key);
    EXPECT_NE(nullptr, EVP_PKEY_get0_SM2_KEY(dup));
    EXPECT_NE(ec, EVP_PKEY_get0_SM2_KEY(dup));
    EVP_PKEY_free(dup);
    EVP_PKEY_free(key);

    // A legacy key gives its own EC_KEY; a key of another type gives none.
    EC_KEY* legacyEc = EC_KEY_new_by_curve_name(NID_sm2);
    ASSERT_EQ(1, EC_KEY_generate_key(legacyEc));
    EVP_PKEY* legacy = EVP_PKEY_new();
    EVP_PKEY_assign_EC_KEY(legacy, legacyEc);
    EXPECT_EQ(legacyEc, EVP_PKEY_get0_SM2_KEY(legacy));
    EVP_PKEY_free(legacy);
    EVP_PKEY* rsa = EVP_RSA_gen(1024);
    EXPECT_EQ(nullptr, EVP_PKEY_get0_SM2_KEY(rsa));
    EVP_PKEY_free(rsa);
}

}  // namespace
