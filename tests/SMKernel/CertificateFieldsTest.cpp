#include "CertificateFields.h"

#include "CertBuilder.h"
#include "P11TestBed.h"
#include "SM2CertHelpers.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <sstream>

namespace {

using certtest::CertSpec;
using certtest::NameEntry;

using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

CertPtr Load(std::vector<unsigned char> bytes)
{
    X509* cert = nullptr;
    EXPECT_EQ(QOVA_OK, ConvertCertDataToX509(bytes.data(), static_cast<int>(bytes.size()), &cert));
    return CertPtr(cert, X509_free);
}

std::vector<unsigned char> FileBytes(const std::string& path)
{
    const std::string text = testutil::ReadFileOrEmpty(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

// A text reader's result, or "FAIL" (and then its out-parameters must be untouched).
using TextReader = unsigned int (*)(X509*, char**, int*);
std::string Text(TextReader reader, X509* cert)
{
    char* text = nullptr;
    int length = -7;
    if (QOVA_OK != reader(cert, &text, &length)) {
        EXPECT_TRUE(nullptr == text && -7 == length);
        return "FAIL";
    }
    std::string out(text);
    EXPECT_EQ(static_cast<int>(out.size()), length);
    delete[] text;
    return out;
}

// The type and the algorithm as text readers, so that one table holds every field.
unsigned int TypeText(X509* cert, char** text, int* length)
{
    int type = 99;
    const unsigned int code = GetX509CertType(cert, &type);
    if (QOVA_OK != code) {
        EXPECT_EQ(CERT_TYPE_UNKNOWN, type);
        return code;
    }
    const std::string digits = std::to_string(type);
    *text = new char[digits.size() + 1];
    memcpy(*text, digits.c_str(), digits.size() + 1);
    *length = static_cast<int>(digits.size());
    return code;
}
unsigned int AlgText(X509* cert, char** text, int* length)
{
    const unsigned int code = GetX509CertAlg(cert, text);
    if (QOVA_OK == code) *length = static_cast<int>(strlen(*text));
    return code;
}

// `openssl x509` output in our formats: one-line names (reversed, short names, UTF-8 unescaped;
// its " + " inside a multi-valued RDN is our ", "), serial with a "00" before a first byte >= 0x80
// and without sign (serial 0 has no text), key identifier without colons.
std::map<std::string, std::map<std::string, std::string>> ReadWithOpenssl(const std::vector<std::string>& files)
{
    std::string script;
    for (const std::string& file : files)
        script += "echo '==" + file + "'; openssl x509 -in " + testutil::ShellQuote(file) +
                  (file.find(".der") != std::string::npos ? " -inform DER" : "") +
                  " -noout -subject -issuer -serial -startdate -enddate -ext subjectKeyIdentifier"
                  " -nameopt sname,dn_rev,sep_comma_plus_space,utf8 2>/dev/null\n";
    std::string output;
    EXPECT_EQ(0, testutil::RunCommand(script, &output));

    std::map<std::string, std::map<std::string, std::string>> all;
    std::map<std::string, std::string>* fields = nullptr;
    std::istringstream in(output);
    for (std::string line, key; std::getline(in, line);) {
        if (0 == line.rfind("==", 0)) {
            fields = &all[line.substr(2)];
        } else if (fields && "keyid" == key) {
            (*fields)["keyid"] = testutil::ReplaceAll(testutil::ReplaceAll(line, ":", ""), " ", "");
            key.clear();
        } else if (fields && 0 == line.rfind("X509v3 Subject Key Identifier", 0)) {
            key = "keyid";
        } else if (fields && line.find('=') != std::string::npos) {
            const std::string name = line.substr(0, line.find('='));
            std::string value = testutil::ReplaceAll(line.substr(name.size() + 1), " + ", ", ");
            if ("serial" == name) {
                if (value.find_first_not_of('0') == std::string::npos) value = "FAIL";
                else if (value[0] >= '8') value = "00" + value;
            } else if ("notBefore" == name || "notAfter" == name) {
                struct tm tm = {};
                EXPECT_NE(nullptr, strptime(value.c_str(), "%b %d %H:%M:%S %Y GMT", &tm));
                value = std::to_string(timegm(&tm));
            }
            (*fields)[name] = value;
        }
    }
    return all;
}

TEST(CertificateFields, OpensslReadsTheSameFieldsFromEverySystemAndFixtureCertificate)
{
    std::string listing;
    ASSERT_EQ(0, testutil::RunCommand("ls /etc/ssl/certs/*.pem", &listing));
    std::vector<std::string> files;
    std::istringstream in(listing);
    for (std::string file; std::getline(in, file);) files.push_back(file);
    ASSERT_GT(files.size(), 50u) << "ca-certificates not installed";
    const std::map<std::string, int> kFixtureTypes = {{p11testbed::FixtureFile("rsa1.der"), CERT_TYPE_RSA},
                                                      {p11testbed::FixtureFile("sm2.der"), CERT_TYPE_SM2}};
    for (const auto& fixture : kFixtureTypes) files.push_back(fixture.first);

    auto expected = ReadWithOpenssl(files);
    ASSERT_EQ(files.size(), expected.size());
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        auto& want = expected[file];
        CertPtr cert = Load(FileBytes(file));
        ASSERT_NE(nullptr, cert);
        EXPECT_EQ(want["subject"], Text(GetX509SubjectDN, cert.get()));
        EXPECT_EQ(want["issuer"], Text(GetX509IssuerDN, cert.get()));
        EXPECT_EQ(want["serial"], Text(GetX509SerialNumber, cert.get()));
        EXPECT_EQ(want.count("keyid") ? want["keyid"] : "FAIL", Text(GetX509SubjectKeyID, cert.get()));
        long notBefore = 0, notAfter = 0;
        EXPECT_EQ(QOVA_OK, GetX509NotBefore(cert.get(), &notBefore));
        EXPECT_EQ(QOVA_OK, GetX509NotAfter(cert.get(), &notAfter));
        EXPECT_EQ(want["notBefore"], std::to_string(notBefore));
        EXPECT_EQ(want["notAfter"], std::to_string(notAfter));
        if (kFixtureTypes.count(file)) {
            EXPECT_EQ(std::to_string(kFixtureTypes.at(file)), Text(TypeText, cert.get()));
        }
    }
}

// An identifier of 128 octets or more has a long-form length inside its OCTET STRING; reading it
// as if the header were always two octets gave a wrong text (and the kernel then refused its own
// envelopes for such a certificate). Both key identifier readers must give what openssl shows.
TEST(CertificateFields, LongKeyIdentifiersReadAsOpensslShowsThem)
{
    testutil::ScopedTempDir dir;
    const size_t kLengths[] = {1, 20, 127, 128, 255, 256, 300};
    std::string script = "set -e; cd " + testutil::ShellQuote(dir.Path()) +
                         "; openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out k.pem\n";
    std::vector<std::string> files;
    for (size_t length : kLengths) {
        std::string id;
        for (size_t i = 0; i < length; ++i) {
            char octet[3];
            snprintf(octet, sizeof(octet), "%02X", static_cast<unsigned>((i * 37 + 11) & 0xFF));
            id += octet;
        }
        files.push_back(dir.File("ski" + std::to_string(length) + ".pem"));
        script += "openssl req -new -x509 -key k.pem -subj /CN=ski -addext subjectKeyIdentifier=" + id + " -out " +
                  testutil::ShellQuote(files.back()) + "\n";
    }
    ASSERT_EQ(0, testutil::RunCommand(script + " 2>&1"));
    auto expected = ReadWithOpenssl(files);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(kLengths[i]);
        const std::string want = expected[files[i]]["keyid"];
        ASSERT_EQ(2 * kLengths[i], want.size());
        std::vector<unsigned char> bytes = FileBytes(files[i]);
        CertPtr cert = Load(bytes);
        EXPECT_EQ(want, Text(GetX509SubjectKeyID, cert.get()));
        unsigned char* id = nullptr;
        int idLength = 0;
        ASSERT_EQ(QOVA_OK, GetSubjectKeyIDFromCert(bytes.data(), static_cast<int>(bytes.size()), &id, &idLength));
        std::string hex = testutil::BytesToHex(id, static_cast<size_t>(idLength));
        for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(want, hex);
        delete[] id;
    }
}

TEST(CertificateFields, PemFirstThenDer)
{
    CertPtr fromDer = Load(FileBytes(p11testbed::FixtureFile("rsa1.der")));
    CertPtr fromPem = Load(FileBytes(p11testbed::FixtureFile("rsa1.pem")));
    ASSERT_TRUE(fromDer && fromPem);
    EXPECT_EQ(0, X509_cmp(fromDer.get(), fromPem.get()));

    const std::string kRefused[] = {
        "hello", "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n",
        // Without a password callback the library would prompt on the terminal (the browser's pipe).
        "-----BEGIN CERTIFICATE-----\nProc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC,00112233445566778899AABBCCDDEEFF\n\n"
        "AAAAAAAAAAAAAAAAAAAAAA==\n-----END CERTIFICATE-----\n"};
    for (const std::string& text : kRefused) {
        std::vector<unsigned char> bytes(text.begin(), text.end());
        X509* cert = nullptr;
        EXPECT_EQ(QOVA_E_FAIL, ConvertCertDataToX509(bytes.data(), static_cast<int>(bytes.size()), &cert));
        EXPECT_EQ(QOVA_E_FAIL, ConvertCertDataToX509(bytes.data(), 0, &cert));
        EXPECT_EQ(nullptr, cert);
    }
}

TEST(CertificateFields, TimeStrings)
{
    struct Case { const char* name; int type; const char* text; unsigned int code; long utc; };
    const Case kCases[] = {
        {"last 20YY year", V_ASN1_UTCTIME, "491231235959Z", QOVA_OK, 2524607999L},
        {"first 19YY year", V_ASN1_UTCTIME, "500101000000Z", QOVA_OK, -631152000L},
        {"no seconds", V_ASN1_UTCTIME, "2501010000Z", QOVA_OK, 1735689600L},
        {"east of UTC", V_ASN1_UTCTIME, "250101000000+0800", QOVA_OK, 1735660800L},
        {"west of UTC, no seconds", V_ASN1_UTCTIME, "2501010000-0130", QOVA_OK, 1735695000L},
        {"GeneralizedTime, leap day", V_ASN1_GENERALIZEDTIME, "20240229120000Z", QOVA_OK, 1709208000L},
        {"fraction dropped", V_ASN1_GENERALIZEDTIME, "20250101000000.123Z", QOVA_OK, 1735689600L},
        {"GeneralizedTime without zone", V_ASN1_GENERALIZEDTIME, "20250101000000", QOVA_E_FAIL, 0},
        {"UTCTime of 10 characters", V_ASN1_UTCTIME, "2501010000", QOVA_E_FAIL, 0},
        {"UTCTime of 18 characters", V_ASN1_UTCTIME, "250101000000+08000", QOVA_E_FAIL, 0},
        {"GeneralizedTime of 12 characters", V_ASN1_GENERALIZEDTIME, "202501010000", QOVA_E_FAIL, 0},
        {"unknown zone mark", V_ASN1_UTCTIME, "250101000000X", QOVA_E_FAIL, 0},
        // The strings hold no terminator: AddressSanitizer sees any read past them.
        {"zone mark and two digits must not be read past", V_ASN1_UTCTIME, "2501010000+08", QOVA_E_FAIL, 0},
        {"zone mark as last seconds digit must not be read past", V_ASN1_UTCTIME, "25010100000+", QOVA_E_FAIL, 0},
        {"fraction to the end must not be read past", V_ASN1_GENERALIZEDTIME, "20250101000000.123", QOVA_E_FAIL, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ASN1_STRING* time = ASN1_STRING_type_new(c.type);
        const size_t length = strlen(c.text);
        unsigned char* exact = static_cast<unsigned char*>(OPENSSL_malloc(length));
        memcpy(exact, c.text, length);
        ASN1_STRING_set0(time, exact, static_cast<int>(length));
        long utc = 99;
        EXPECT_EQ(c.code, ASN1_TIME_To_UTCTime(time, &utc));
        EXPECT_EQ(c.utc, utc);
        ASN1_STRING_free(time);
    }
}

// A time string the library does not read as a time must not become some other instant: the
// digits used to be taken as they stood, so twelve letters or month 13, day 99 gave a date.
TEST(CertificateFields, TimesThatAreNotTimesFailAsAMissingTime)
{
    struct Case { const char* name; int type; const char* text; };
    const Case kCases[] = {
        {"letters for digits", V_ASN1_UTCTIME, "AAAAAAAAAAAAZ"},
        {"month 13", V_ASN1_UTCTIME, "251301000000Z"},
        {"day 99", V_ASN1_UTCTIME, "250199000000Z"},
        {"February 29 of a common year", V_ASN1_GENERALIZEDTIME, "20250229000000Z"},
        {"hour 24", V_ASN1_UTCTIME, "250101240000Z"},
        {"minute 60", V_ASN1_GENERALIZEDTIME, "20250101006000Z"},
        {"leap second", V_ASN1_UTCTIME, "161231235960Z"},
        {"UTCTime with a fraction", V_ASN1_UTCTIME, "250101000000.5Z"},
        {"zone offset of 24 hours", V_ASN1_UTCTIME, "250101000000+2400"},
        {"a string that is no time type", V_ASN1_IA5STRING, "20250101000000Z"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ASN1_STRING* time = ASN1_STRING_type_new(c.type);
        ASSERT_EQ(1, ASN1_STRING_set(time, c.text, -1));
        long utc = 99;
        EXPECT_EQ(QOVA_E_FAIL, ASN1_TIME_To_UTCTime(time, &utc));
        EXPECT_EQ(0, utc);
        ASN1_STRING_free(time);
    }
}

CertSpec Subject(std::vector<NameEntry> subject)
{
    CertSpec spec;
    spec.subject = std::move(subject);
    return spec;
}
CertSpec Serial(const char* hex, bool negative = false)
{
    CertSpec spec;
    spec.serialHex = hex;
    spec.negativeSerial = negative;
    return spec;
}
CertSpec KeyId(bool present, std::vector<unsigned char> value = {})
{
    CertSpec spec;
    spec.withKeyId = present;
    spec.keyIdValue = std::move(value);
    return spec;
}
CertSpec Signed(const char* digest, bool ec = false)
{
    CertSpec spec;
    spec.digest = digest;
    spec.ecKey = ec;
    return spec;
}

TEST(CertificateFields, FieldsOfMadeCertificates)
{
    const std::string k1014(1014, 'x');
    struct Case { const char* name; CertSpec spec; TextReader reader; std::string text; };
    const Case kCases[] = {
        {"one entry, no separator", Subject({{"CN", "x"}}), GetX509SubjectDN, "CN=x"},
        {"last entry first", Subject({{"C", "CN"}, {"O", "Bank"}, {"OU", "Unit"}, {"CN", "Alice"}}), GetX509SubjectDN,
         "CN=Alice, OU=Unit, O=Bank, C=CN"},
        // The set's members are in DER order: the shorter encoding (CN) first.
        {"multi-valued RDN", Subject({{"O", "x"}, {"CN", "a"}, {"UID", "b", V_ASN1_UTF8STRING, true}}),
         GetX509SubjectDN, "UID=b, CN=a, O=x"},
        {"nothing escaped", Subject({{"CN", " a, b+c=\"d\" "}}), GetX509SubjectDN, "CN= a, b+c=\"d\" "},
        {"BMPString as UTF-8", Subject({{"CN", "\x4e\x2d", V_ASN1_BMPSTRING}}), GetX509SubjectDN, "CN=\xe4\xb8\xad"},
        {"short names", Subject({{"emailAddress", "a@b"}, {"serialNumber", "7"}, {"street", "s"}, {"DC", "d"}}),
         GetX509SubjectDN, "DC=d, street=s, serialNumber=7, emailAddress=a@b"},
        {"unknown attribute type", Subject({{"CN", "x"}, {"1.2.3.4.5", "y"}}), GetX509SubjectDN, "FAIL"},
        {"empty value", Subject({{"CN", "x"}, {"O", ""}}), GetX509SubjectDN, "FAIL"},
        // A zero byte would end the text for every reader and hide the rest of the value.
        {"zero byte must not cut a DN value", Subject({{"CN", std::string("good\0evil", 9)}}), GetX509SubjectDN, "FAIL"},
        {"DN of exactly 1023 bytes", Subject({{"C", "AB"}, {"CN", k1014}}), GetX509SubjectDN, "CN=" + k1014 + ", C=AB"},
        {"issuer", CertSpec(), GetX509IssuerDN, "CN=Test"},
        {"no common name", Subject({{"O", "x"}}), GetX509SubjectCN, "FAIL"},
        {"first common name", Subject({{"CN", "first"}, {"O", "x"}, {"CN", "second"}}), GetX509SubjectCN, "first"},
        {"zero byte must not cut a common name", Subject({{"CN", std::string("a\0b", 3)}}), GetX509SubjectCN, "FAIL"},
        {"serial", Serial("1A2B"), GetX509SerialNumber, "1A2B"},
        {"serial with top bit", Serial("8F01"), GetX509SerialNumber, "008F01"},
        {"one-digit serial", Serial("5"), GetX509SerialNumber, "05"},
        {"serial 0", Serial("0"), GetX509SerialNumber, "FAIL"},
        {"negative serial", Serial("FF", true), GetX509SerialNumber, "00FF"},
        {"key identifier", KeyId(true), GetX509SubjectKeyID, "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3"},
        {"no key identifier extension", KeyId(false), GetX509SubjectKeyID, "FAIL"},
        {"empty key identifier", KeyId(true, {0x04, 0x00}), GetX509SubjectKeyID, ""},
        {"key identifier under 2 bytes must not give a negative length", KeyId(true, {0x04}), GetX509SubjectKeyID,
         "FAIL"},
        {"SHA-1 RSA", Signed("SHA1"), TypeText, "1"},
        {"SHA-256 RSA", Signed("SHA256"), TypeText, "1"},
        {"SHA-384 RSA", Signed("SHA384"), TypeText, "1"},
        {"SHA-512 RSA", Signed("SHA512"), TypeText, "1"},
        {"MD5 RSA", Signed("MD5"), TypeText, "FAIL"},
        {"SHA-224 RSA", Signed("SHA224"), TypeText, "FAIL"},
        {"ECDSA", Signed("SHA256", true), TypeText, "FAIL"},
        {"MD5 RSA algorithm", Signed("MD5"), AlgText, "1.2.840.113549.1.1.4"},
        {"ECDSA algorithm", Signed("SHA256", true), AlgText, "1.2.840.10045.4.3.2"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.text, Text(c.reader, Load(certtest::MakeDer(c.spec)).get()));
    }
    // Wherever the text ends, it fits exactly when it is at most 1023 bytes.
    for (size_t valueLength = 1005; valueLength <= 1022; ++valueLength) {
        SCOPED_TRACE(valueLength);
        const std::string value(valueLength, 'v');
        const std::string dn = "CN=" + value + ", C=AB";
        CertPtr cert = Load(certtest::MakeDer(Subject({{"C", "AB"}, {"CN", value}})));
        EXPECT_EQ(dn.size() <= 1023 ? dn : "FAIL", Text(GetX509SubjectDN, cert.get()));
    }
}

}  // namespace
