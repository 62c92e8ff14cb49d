// Certificate pieces against what the openssl command shows for the same certificate (asn1parse
// for the issuer and serial TLVs, pkey -text for the public point), edge cases on certificates made
// here, the ECPrivateKey encoder read back by the openssl command, and the key accessor.
#include "NodeExTestUtil.h"
#include "P11TestBed.h"
#include "SM2CertHelpers.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace {

using nodeex_test::Bytes;
using testutil::HexToBytes;

using Getter = unsigned int (*)(unsigned char*, int, unsigned char**, int*);

Bytes Bytes_(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// One of the four certificate functions; the output, or empty with the code in *code.
Bytes Piece(Getter getter, Bytes cert, unsigned int* code)
{
    unsigned char* out = nullptr;
    int outLen = 0;
    *code = getter(cert.data(), static_cast<int>(cert.size()), &out, &outLen);
    Bytes result = out ? Bytes(out, out + outLen) : Bytes();
    delete[] out;
    return result;
}

// 04 || X || Y from our reader, or empty with the code in *code.
Bytes Point(Bytes cert, unsigned int* code)
{
    unsigned char *x = nullptr, *y = nullptr;
    int xLen = 0, yLen = 0;
    *code = GetPublicKeyXYFromSM2Cert(cert.data(), static_cast<int>(cert.size()), &x, &xLen, &y, &yLen);
    Bytes point;
    if (QOVA_OK == *code) {
        EXPECT_EQ(32, xLen);
        EXPECT_EQ(32, yLen);
        point.push_back(0x04);
        point.insert(point.end(), x, x + xLen);
        point.insert(point.end(), y, y + yLen);
    }
    delete[] x;
    delete[] y;
    return point;
}

// The serial number and issuer TLVs as `openssl asn1parse` places them in the DER certificate: the
// TBSCertificate's elements at depth 2 are [0] version, serial, signature algorithm, issuer.
void AsnParsePieces(const std::string& derPath, const Bytes& der, Bytes* serial, Bytes* issuer)
{
    std::string listing;
    ASSERT_EQ(0, testutil::RunCommand("openssl asn1parse -inform DER -in " + testutil::ShellQuote(derPath), &listing));
    std::vector<Bytes> elements;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        unsigned long offset = 0, header = 0, length = 0;
        int depth = 0;
        if (sscanf(line.c_str(), " %lu:d=%d hl=%lu l=%lu", &offset, &depth, &header, &length) == 4 && depth == 2)
            elements.emplace_back(der.begin() + offset, der.begin() + offset + header + length);
    }
    ASSERT_GE(elements.size(), 4u);
    *serial = elements[1];
    *issuer = elements[3];
}

// The uncompressed point `openssl pkey -pubin -text` prints under "pub:".
Bytes OpensslPublicPoint(const std::string& pemPath)
{
    std::string text;
    EXPECT_EQ(0, testutil::RunCommand("openssl x509 -in " + testutil::ShellQuote(pemPath) +
                                      " -pubkey -noout | openssl pkey -pubin -text -noout", &text));
    const size_t start = text.find("pub:\n");
    if (start == std::string::npos)
        return {};
    return HexToBytes(text.substr(start + 5, text.find("ASN1 OID") - start - 5));
}

TEST(SM2CertHelpers, FixtureCertificatesGiveWhatOpensslShows)
{
    if (p11testbed::SoftHsmModulePath().empty())
        GTEST_SKIP() << "fixtures are made with SoftHSM2, which is not installed";
    for (const std::string name : {"sm2", "rsa1"}) {
        SCOPED_TRACE(name);
        const std::string pemPath = p11testbed::FixtureFile(name + ".pem");
        const std::string derPath = p11testbed::FixtureFile(name + ".der");
        const Bytes pem = Bytes_(testutil::ReadFileOrEmpty(pemPath));
        const Bytes der = Bytes_(testutil::ReadFileOrEmpty(derPath));
        ASSERT_FALSE(der.empty());
        Bytes serial, issuer;
        AsnParsePieces(derPath, der, &serial, &issuer);

        // PEM text and DER give the same pieces.
        for (const Bytes& cert : {pem, der}) {
            unsigned int code = 0;
            EXPECT_EQ(issuer, Piece(GetIssuerFromCert, cert, &code));
            EXPECT_EQ(serial, Piece(GetSerialNumberFromCert, cert, &code));
            EXPECT_EQ(Piece(GetSubjectKeyIDFromCert, der, &code), Piece(GetSubjectKeyIDFromCert, cert, &code));
            EXPECT_EQ(20u, Piece(GetSubjectKeyIDFromCert, cert, &code).size());
            const Bytes point = Point(cert, &code);
            if (name == "sm2")
                EXPECT_EQ(OpensslPublicPoint(pemPath), point);
            else
                EXPECT_EQ(QOVA_E_FAIL, code);  // an RSA key has no point
        }
    }
}

// A self-signed P-256 certificate with the given serial and subjectKeyIdentifier extension value
// (raw extension octets; none when skid is null), as DER.
Bytes MakeCertificate(long serial, const Bytes* skid, EVP_PKEY* key = nullptr)
{
    EVP_PKEY* own = key ? nullptr : EVP_EC_gen("P-256");
    if (!key)
        key = own;
    X509* cert = X509_new();
    X509_set_version(cert, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("edge"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    if (skid) {
        ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(value, skid->data(), static_cast<int>(skid->size()));
        X509_EXTENSION* ext = X509_EXTENSION_create_by_NID(nullptr, NID_subject_key_identifier, 0, value);
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
        ASN1_OCTET_STRING_free(value);
    }
    X509_sign(cert, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int len = i2d_X509(cert, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    X509_free(cert);
    EVP_PKEY_free(own);
    return out;
}

TEST(SM2CertHelpers, SerialNumberAndKeyIdentifierEdges)
{
    unsigned int code = 0;
    EXPECT_EQ(HexToBytes("020200C1"), Piece(GetSerialNumberFromCert, MakeCertificate(193, nullptr), &code));

    Bytes longId(128, 0x5A);
    Bytes longForm = {0x04, 0x81, 0x80};
    longForm.insert(longForm.end(), longId.begin(), longId.end());
    Bytes twenty(20, 0x11);
    Bytes shortForm = {0x04, 0x14};
    shortForm.insert(shortForm.end(), twenty.begin(), twenty.end());
    struct Case { const char* name; const Bytes* skid; unsigned int code; Bytes id; };
    const Bytes oneOctet = {0x04}, empty = {}, notOctets = {0x05, 0x00}, trailing = {0x04, 0x01, 0xAB, 0xCD};
    const Case kCases[] = {
        {"20-octet identifier", &shortForm, QOVA_OK, twenty},
        {"long-form inner length", &longForm, QOVA_OK, longId},
        {"no extension", nullptr, QOVA_E_FAIL, {}},
        {"value shorter than 2 octets must not give a negative length", &oneOctet, QOVA_E_FAIL, {}},
        {"empty value must not give a negative length", &empty, QOVA_E_FAIL, {}},
        {"inner value not an OCTET STRING", &notOctets, QOVA_E_FAIL, {}},
        {"octets after the inner OCTET STRING", &trailing, QOVA_E_FAIL, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.id, Piece(GetSubjectKeyIDFromCert, MakeCertificate(1, c.skid), &code));
        EXPECT_EQ(c.code, code);
    }

    // Neither PEM nor DER, or nothing at all.
    for (const Bytes& bad : {Bytes{0x30, 0x03, 0x02, 0x01}, Bytes_("-----BEGIN CERTIFICATE-----\nAAAA\n")}) {
        EXPECT_TRUE(Piece(GetIssuerFromCert, bad, &code).empty());
        EXPECT_EQ(QOVA_E_FAIL, code);
    }
    EXPECT_TRUE(Piece(GetIssuerFromCert, Bytes(), &code).empty());
    EXPECT_EQ(QOVA_E_INVALIDARG, code);
}

TEST(SM2CertHelpers, PublicPointIsRightAlignedInThirtyTwoOctets)
{
    // About one key in 128 has a coordinate below 2^248.
    EVP_PKEY* key = nullptr;
    Bytes expected(65);
    for (int i = 0; i < 4096 && !key; ++i) {
        EVP_PKEY* candidate = EVP_EC_gen("P-256");
        size_t len = 0;
        EVP_PKEY_get_octet_string_param(candidate, OSSL_PKEY_PARAM_PUB_KEY, expected.data(), expected.size(), &len);
        if (expected[1] == 0 || expected[33] == 0)
            key = candidate;
        else
            EVP_PKEY_free(candidate);
    }
    ASSERT_NE(nullptr, key);
    unsigned int code = 0;
    EXPECT_EQ(expected, Point(MakeCertificate(2, nullptr, key), &code));
    EVP_PKEY_free(key);

    // Coordinates of 48 octets do not fit.
    EVP_PKEY* p384 = EVP_EC_gen("P-384");
    EXPECT_TRUE(Point(MakeCertificate(3, nullptr, p384), &code).empty());
    EXPECT_EQ(QOVA_E_FAIL, code);
    EVP_PKEY_free(p384);
}

Bytes EncodePrivateKey(int version, Bytes key, Bytes x, Bytes y, unsigned int* code = nullptr)
{
    unsigned char* out = nullptr;
    int outLen = 0;
    const unsigned int result = EncodeECPrivateKey(version, "1.2.156.10197.1.301", key.data(), static_cast<int>(key.size()),
                                                   x.data(), static_cast<int>(x.size()), y.data(),
                                                   static_cast<int>(y.size()), &out, &outLen);
    if (code)
        *code = result;
    Bytes encoded = out ? Bytes(out, out + outLen) : Bytes();
    delete[] out;
    return encoded;
}

TEST(SM2CertHelpers, ECPrivateKeyStructure)
{
    const Bytes x(32, 0xA1), y(32, 0xB2);
    Bytes key(32, 0x33);
    key[0] = 0x7F;
    const std::string tail = "A00A06082A811CCF5501822DA14403420004" + testutil::BytesToHex(x.data(), 32) + testutil::BytesToHex(y.data(), 32);
    EXPECT_EQ(HexToBytes("3077020101" "0220" + testutil::BytesToHex(key.data(), 32) + tail),
              EncodePrivateKey(1, key, x, y));
    // A first octet of 0x80 or above gets a 00 in front: the INTEGER stays positive.
    key[0] = 0x80;
    EXPECT_EQ(HexToBytes("3078020101" "022100" + testutil::BytesToHex(key.data(), 32) + tail),
              EncodePrivateKey(1, key, x, y));
    unsigned int code = 0;
    EXPECT_TRUE(EncodePrivateKey(1, Bytes(), x, y, &code).empty());
    EXPECT_EQ(QOVA_E_INVALIDARG, code);
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

EVP_PKEY* ReadPrivateKey(const std::string& path)
{
    FILE* fp = fopen(path.c_str(), "r");
    EVP_PKEY* key = fp ? PEM_read_PrivateKey(fp, nullptr, nullptr, nullptr) : nullptr;
    if (fp)
        fclose(fp);
    return key;
}

TEST(SM2CertHelpers, EncodedSM2KeyMatchesOpensslsECPrivateKeyButForTheIntegerTag)
{
    // OpenSSL writes the private key as an OCTET STRING where this structure has an INTEGER; for a
    // key whose first octet is below 0x80 that tag is the only difference.
    testutil::ScopedTempDir dir;
    const std::string keyPath = dir.File("sm2.key"), derPath = dir.File("openssl.der");
    Bytes ours, theirs;
    for (int i = 0; i < 40 && theirs.empty(); ++i) {
        ASSERT_EQ(0, testutil::RunCommand("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out " +
                                          keyPath + " && openssl ec -in " + keyPath + " -outform DER -out " + derPath +
                                          " 2>/dev/null"));
        EVP_PKEY* key = ReadPrivateKey(keyPath);
        ASSERT_NE(nullptr, key);
        const Bytes priv = Param(key, OSSL_PKEY_PARAM_PRIV_KEY);
        if (priv[0] != 0 && priv[0] < 0x80) {
            ours = EncodePrivateKey(1, priv, Param(key, OSSL_PKEY_PARAM_EC_PUB_X), Param(key, OSSL_PKEY_PARAM_EC_PUB_Y));
            theirs = Bytes_(testutil::ReadFileOrEmpty(derPath));
        }
        EVP_PKEY_free(key);
    }
    ASSERT_GT(theirs.size(), 5u);
    ASSERT_EQ(0x04, theirs[5]);
    theirs[5] = 0x02;
    EXPECT_EQ(theirs, ours);
}

TEST(SM2CertHelpers, KeyAccessorForProviderAndLegacyKeys)
{
    testutil::ScopedTempDir dir;
    const std::string keyPath = dir.File("sm2.key");
    ASSERT_EQ(0, testutil::RunCommand("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out " + keyPath));
    EVP_PKEY* key = ReadPrivateKey(keyPath);
    ASSERT_NE(nullptr, key);
    ASSERT_EQ(1, EVP_PKEY_is_a(key, "SM2"));

    // A provider-held SM2 key: an equivalent EC_KEY, built once and kept with the key object.
    const EC_KEY* ec = EVP_PKEY_get0_SM2_KEY(key);
    ASSERT_NE(nullptr, ec);
    EXPECT_EQ(ec, EVP_PKEY_get0_SM2_KEY(key));
    EXPECT_EQ(NID_sm2, EC_GROUP_get_curve_name(EC_KEY_get0_group(ec)));
    Bytes priv(32), x(32), y(32);
    BN_bn2binpad(EC_KEY_get0_private_key(ec), priv.data(), 32);
    BIGNUM* bx = BN_new();
    BIGNUM* by = BN_new();
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec), bx, by, nullptr));
    BN_bn2binpad(bx, x.data(), 32);
    BN_bn2binpad(by, y.data(), 32);
    BN_free(bx);
    BN_free(by);
    EXPECT_EQ(Param(key, OSSL_PKEY_PARAM_PRIV_KEY), priv);
    EXPECT_EQ(Param(key, OSSL_PKEY_PARAM_EC_PUB_X), x);
    EXPECT_EQ(Param(key, OSSL_PKEY_PARAM_EC_PUB_Y), y);

    // A duplicate must not share (and free a second time) the first key object's EC_KEY.
    EVP_PKEY* dup = EVP_PKEY_dup(key);
    ASSERT_NE(nullptr, dup);
    const EC_KEY* dupEc = EVP_PKEY_get0_SM2_KEY(dup);
    EXPECT_NE(nullptr, dupEc);
    EXPECT_NE(ec, dupEc);
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
    EXPECT_EQ(nullptr, EVP_PKEY_get0_SM2_KEY(nullptr));
}

}  // namespace
