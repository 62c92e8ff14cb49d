#include "CertificateFields.h"

#include "CertBuilder.h"
#include "P11TestBed.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using certtest::CertSpec;
using certtest::NameEntry;

struct X509Free
{
    void operator()(X509* x) const { X509_free(x); }
};
using CertPtr = std::unique_ptr<X509, X509Free>;

CertPtr Load(std::vector<unsigned char> bytes)
{
    X509* cert = nullptr;
    EXPECT_EQ(QOVA_OK, ConvertCertDataToX509(bytes.data(), static_cast<int>(bytes.size()), &cert));
    return CertPtr(cert);
}

CertPtr Build(const CertSpec& spec)
{
    return Load(certtest::MakeDer(spec));
}

std::vector<unsigned char> FileBytes(const std::string& path)
{
    const std::string text = testutil::ReadFileOrEmpty(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

// A text getter's result as a string; "FAIL" when it failed (the out-parameters must then be
// untouched). The length out-parameter must match the text.
using TextGetter = unsigned int (*)(X509*, char**, int*);
std::string Text(TextGetter getter, X509* cert)
{
    char* text = nullptr;
    int length = -7;
    if (QOVA_OK != getter(cert, &text, &length)) {
        EXPECT_EQ(nullptr, text);
        EXPECT_EQ(-7, length);
        return "FAIL";
    }
    std::string out(text);
    EXPECT_EQ(static_cast<int>(out.size()), length);
    delete[] text;
    return out;
}

// What `openssl x509` prints for one certificate, in our formats.
struct OpensslFields
{
    std::string subject, issuer, serial, keyId;
    long notBefore = 0, notAfter = 0;
};

// Multiline names come reversed one entry per line ("+" joins a multi-valued RDN): our text joins
// every entry with ", ".
std::string DnFromLines(const std::vector<std::string>& lines)
{
    std::string dn;
    for (const std::string& line : lines)
        dn += (dn.empty() ? "" : ", ") + testutil::ReplaceAll(line, " + ", ", ");
    return dn;
}

// "serial=8F01": our text keeps a "00" in front of a first byte >= 0x80 and drops a sign; serial 0
// (several root certificates have it) has no text.
std::string SerialText(std::string hex)
{
    if (!hex.empty() && '-' == hex[0]) hex.erase(0, 1);
    if (hex.find_first_not_of('0') == std::string::npos) return "FAIL";
    if (hex.size() % 2) hex.insert(0, "0");
    if (!hex.empty() && hex[0] >= '8') hex.insert(0, "00");
    return hex;
}

long OpensslTime(const std::string& text)
{
    struct tm tm = {};
    if (!strptime(text.c_str(), "%b %d %H:%M:%S %Y GMT", &tm)) return -1;
    return static_cast<long>(timegm(&tm));
}

std::map<std::string, OpensslFields> ReadWithOpenssl(const std::vector<std::string>& files)
{
    std::string script;
    for (const std::string& file : files) {
        script += "echo '==FILE " + file + "'; openssl x509 -in " + testutil::ShellQuote(file) +
                  (file.size() > 4 && file.substr(file.size() - 4) == ".der" ? " -inform DER" : "") +
                  " -noout -subject -issuer -serial -startdate -enddate -ext subjectKeyIdentifier"
                  " -nameopt sname,dn_rev,sep_multiline,utf8 2>/dev/null;\n";
    }
    std::string output;
    EXPECT_EQ(0, testutil::RunCommand(script, &output));

    std::map<std::string, OpensslFields> all;
    OpensslFields* current = nullptr;
    std::vector<std::string>* name = nullptr;
    std::vector<std::string> subjectLines, issuerLines;
    bool keyIdNext = false;
    auto finish = [&]() {
        if (current) {
            current->subject = DnFromLines(subjectLines);
            current->issuer = DnFromLines(issuerLines);
        }
        subjectLines.clear();
        issuerLines.clear();
    };
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (0 == line.rfind("==FILE ", 0)) {
            finish();
            current = &all[line.substr(7)];
            name = nullptr;
            continue;
        }
        if (!current) continue;
        if (0 == line.rfind("    ", 0) && name) {
            name->push_back(line.substr(4));
            continue;
        }
        name = nullptr;
        if (keyIdNext) {
            current->keyId = testutil::ReplaceAll(testutil::ReplaceAll(line, ":", ""), " ", "");
            keyIdNext = false;
        } else if (line == "subject=") {
            name = &subjectLines;
        } else if (line == "issuer=") {
            name = &issuerLines;
        } else if (0 == line.rfind("serial=", 0)) {
            current->serial = SerialText(line.substr(7));
        } else if (0 == line.rfind("notBefore=", 0)) {
            current->notBefore = OpensslTime(line.substr(10));
        } else if (0 == line.rfind("notAfter=", 0)) {
            current->notAfter = OpensslTime(line.substr(9));
        } else if (0 == line.rfind("X509v3 Subject Key Identifier", 0)) {
            keyIdNext = true;
        }
    }
    finish();
    return all;
}

TEST(CertificateFields, OpensslPrintsTheSameFieldsForEverySystemAndFixtureCertificate)
{
    std::vector<std::string> files;
    std::string listing;
    ASSERT_EQ(0, testutil::RunCommand("ls /etc/ssl/certs/*.pem", &listing));
    std::istringstream in(listing);
    for (std::string file; std::getline(in, file);) files.push_back(file);
    ASSERT_GT(files.size(), 50u) << "ca-certificates not installed";
    files.push_back(p11testbed::FixtureFile("rsa1.der"));
    files.push_back(p11testbed::FixtureFile("sm2.der"));

    const std::map<std::string, OpensslFields> expected = ReadWithOpenssl(files);
    ASSERT_EQ(files.size(), expected.size());
    int withKeyId = 0;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const OpensslFields& want = expected.at(file);
        CertPtr cert = Load(FileBytes(file));
        ASSERT_NE(nullptr, cert);
        EXPECT_EQ(want.subject, Text(GetX509SubjectDN, cert.get()));
        EXPECT_EQ(want.issuer, Text(GetX509IssuerDN, cert.get()));
        EXPECT_EQ(want.serial, Text(GetX509SerialNumber, cert.get()));
        EXPECT_EQ(want.keyId.empty() ? "FAIL" : want.keyId, Text(GetX509SubjectKeyID, cert.get()));
        withKeyId += want.keyId.empty() ? 0 : 1;
        long notBefore = 0, notAfter = 0;
        EXPECT_EQ(QOVA_OK, GetX509NotBefore(cert.get(), &notBefore));
        EXPECT_EQ(QOVA_OK, GetX509NotAfter(cert.get(), &notAfter));
        EXPECT_EQ(want.notBefore, notBefore);
        EXPECT_EQ(want.notAfter, notAfter);
    }
    EXPECT_GT(withKeyId, 50);
}

TEST(CertificateFields, FixtureTypesAlgorithmsAndCommonNames)
{
    struct Case { const char* file; int type; const char* alg; const char* cn; };
    const Case kCases[] = {
        {"rsa1.der", CERT_TYPE_RSA, "1.2.840.113549.1.1.11", "RSA 1"},
        {"sm2.der", CERT_TYPE_SM2, "1.2.156.10197.1.501", "SM2 1"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.file);
        CertPtr cert = Load(FileBytes(p11testbed::FixtureFile(c.file)));
        int type = -1;
        EXPECT_EQ(QOVA_OK, GetX509CertType(cert.get(), &type));
        EXPECT_EQ(c.type, type);
        char* alg = nullptr;
        ASSERT_EQ(QOVA_OK, GetX509CertAlg(cert.get(), &alg));
        EXPECT_STREQ(c.alg, alg);
        delete[] alg;
        EXPECT_EQ(QOVA_OK, GetX509CertAlg(cert.get(), nullptr));
        EXPECT_EQ(c.cn, Text(GetX509SubjectCN, cert.get()));
    }
}

TEST(CertificateFields, PemAndDerGiveTheSameCertificate)
{
    CertPtr fromDer = Load(FileBytes(p11testbed::FixtureFile("rsa1.der")));
    CertPtr fromPem = Load(FileBytes(p11testbed::FixtureFile("rsa1.pem")));
    ASSERT_TRUE(fromDer && fromPem);
    EXPECT_EQ(0, X509_cmp(fromDer.get(), fromPem.get()));

    struct Case { const char* name; std::string bytes; };
    const Case kCases[] = {
        {"text", "hello"},
        {"PEM of no certificate", "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"},
        // Without a password callback the library would prompt on the terminal (the browser's pipe).
        {"encrypted PEM must not prompt",
         "-----BEGIN CERTIFICATE-----\nProc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC,00112233445566778899AABBCCDDEEFF\n\n"
         "AAAAAAAAAAAAAAAAAAAAAA==\n-----END CERTIFICATE-----\n"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> bytes(c.bytes.begin(), c.bytes.end());
        X509* cert = reinterpret_cast<X509*>(0x1);
        EXPECT_EQ(QOVA_E_FAIL, ConvertCertDataToX509(bytes.data(), static_cast<int>(bytes.size()), &cert));
        EXPECT_EQ(reinterpret_cast<X509*>(0x1), cert);
    }
    unsigned char byte = 0x30;
    X509* cert = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, ConvertCertDataToX509(&byte, 0, &cert));
    EXPECT_EQ(QOVA_E_FAIL, ConvertCertDataToX509(nullptr, 1, &cert));
    EXPECT_EQ(QOVA_E_FAIL, ConvertCertDataToX509(&byte, 1, nullptr));
}

TEST(CertificateFields, TimeStrings)
{
    struct Case { const char* name; int type; const char* text; unsigned int code; long utc; };
    const Case kCases[] = {
        {"last UTCTime year of 20YY", V_ASN1_UTCTIME, "491231235959Z", QOVA_OK, 2524607999L},
        {"first UTCTime year of 19YY", V_ASN1_UTCTIME, "500101000000Z", QOVA_OK, -631152000L},
        {"no seconds", V_ASN1_UTCTIME, "2501010000Z", QOVA_OK, 1735689600L},
        {"east of UTC", V_ASN1_UTCTIME, "250101000000+0800", QOVA_OK, 1735660800L},
        {"west of UTC, no seconds", V_ASN1_UTCTIME, "2501010000-0130", QOVA_OK, 1735695000L},
        {"GeneralizedTime", V_ASN1_GENERALIZEDTIME, "20500101000000Z", QOVA_OK, 2524608000L},
        {"fraction dropped", V_ASN1_GENERALIZEDTIME, "20250101000000.123Z", QOVA_OK, 1735689600L},
        {"leap day", V_ASN1_GENERALIZEDTIME, "20240229120000Z", QOVA_OK, 1709208000L},
        {"GeneralizedTime without zone", V_ASN1_GENERALIZEDTIME, "20250101000000", QOVA_E_FAIL, 0},
        {"UTCTime of 10 characters", V_ASN1_UTCTIME, "2501010000", QOVA_E_FAIL, 0},
        {"UTCTime of 18 characters", V_ASN1_UTCTIME, "250101000000+08000", QOVA_E_FAIL, 0},
        {"GeneralizedTime of 12 characters", V_ASN1_GENERALIZEDTIME, "202501010000", QOVA_E_FAIL, 0},
        {"unknown zone mark", V_ASN1_UTCTIME, "250101000000X", QOVA_E_FAIL, 0},
        // A zone mark near the end must not send the reader past the string.
        {"zone mark with two digits must not read past the end", V_ASN1_UTCTIME, "2501010000+08", QOVA_E_FAIL, 0},
        {"zone mark at the end must not read past it", V_ASN1_UTCTIME, "25010100000+", QOVA_E_FAIL, 0},
        {"seconds without zone must not read past the end", V_ASN1_UTCTIME, "25010100000", QOVA_E_FAIL, 0},
        {"fraction running to the end must not read past it", V_ASN1_GENERALIZEDTIME, "20250101000000.123",
         QOVA_E_FAIL, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ASN1_STRING* time = ASN1_STRING_type_new(c.type);
        // Exactly the characters, no terminator: AddressSanitizer sees a read past them.
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

TEST(CertificateFields, DistinguishedNames)
{
    const std::string kLong1014(1014, 'x');
    struct Case { const char* name; std::vector<NameEntry> subject; std::string dn; };
    const Case kCases[] = {
        {"one entry, no separator", {{"CN", "x"}}, "CN=x"},
        {"last entry first", {{"C", "CN"}, {"O", "Bank"}, {"OU", "Unit"}, {"CN", "Alice"}}, "CN=Alice, OU=Unit, O=Bank, C=CN"},
        // The set's members are in DER order: the shorter encoding (CN) first.
        {"multi-valued RDN as separate pairs", {{"O", "x"}, {"CN", "a"}, {"UID", "b", V_ASN1_UTF8STRING, true}},
         "UID=b, CN=a, O=x"},
        {"nothing escaped", {{"CN", " a, b+c=\"d\" "}}, "CN= a, b+c=\"d\" "},
        {"BMPString to UTF-8", {{"CN", std::string("\x4e\x2d\x65\x87", 4), V_ASN1_BMPSTRING}}, "CN=\xe4\xb8\xad\xe6\x96\x87"},
        {"short names", {{"emailAddress", "a@b"}, {"serialNumber", "7"}, {"street", "s"}, {"DC", "d"}, {"title", "t"}},
         "title=t, DC=d, street=s, serialNumber=7, emailAddress=a@b"},
        {"unknown attribute type", {{"CN", "x"}, {"1.2.3.4.5", "y"}}, "FAIL"},
        {"empty value", {{"CN", "x"}, {"O", ""}}, "FAIL"},
        // A zero byte would end the text for every reader and hide the rest of the value.
        {"value with a zero byte must not be cut short", {{"CN", std::string("good\0evil", 9)}}, "FAIL"},
        {"exactly 1023 bytes", {{"C", "AB"}, {"CN", kLong1014}}, "CN=" + kLong1014 + ", C=AB"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        CertSpec spec;
        spec.subject = c.subject;
        spec.issuer = {{"CN", "Issuer"}};
        CertPtr cert = Build(spec);
        EXPECT_EQ(c.dn, Text(GetX509SubjectDN, cert.get()));
        EXPECT_EQ("CN=Issuer", Text(GetX509IssuerDN, cert.get()));
    }

    // Every room check: the text fits exactly when it is at most 1023 bytes, wherever it ends.
    for (int valueLength = 1005; valueLength <= 1022; ++valueLength) {
        SCOPED_TRACE(valueLength);
        CertSpec spec;
        const std::string value(static_cast<size_t>(valueLength), 'v');
        spec.subject = {{"C", "AB"}, {"CN", value}};
        const std::string dn = "CN=" + value + ", C=AB";
        CertPtr cert = Build(spec);
        EXPECT_EQ(dn.size() <= 1023 ? dn : "FAIL", Text(GetX509SubjectDN, cert.get()));
    }
    char* text = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, GetX509SubjectDN(nullptr, &text, nullptr));
}

TEST(CertificateFields, CommonName)
{
    struct Case { const char* name; std::vector<NameEntry> subject; std::string cn; };
    const Case kCases[] = {
        {"none", {{"O", "x"}}, "FAIL"},
        {"first of two in encoding order", {{"CN", "first"}, {"O", "x"}, {"CN", "second"}}, "first"},
        {"UTF-8 from BMPString", {{"CN", std::string("\x4e\x2d", 2), V_ASN1_BMPSTRING}}, "\xe4\xb8\xad"},
        {"zero byte must not cut the name", {{"CN", std::string("a\0b", 3)}}, "FAIL"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        CertSpec spec;
        spec.subject = c.subject;
        EXPECT_EQ(c.cn, Text(GetX509SubjectCN, Build(spec).get()));
    }
    CertPtr cert = Build(CertSpec());
    char* text = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, GetX509SubjectCN(cert.get(), &text, nullptr));
    EXPECT_EQ(nullptr, text);
}

TEST(CertificateFields, SerialNumbers)
{
    struct Case { const char* hex; bool negative; const char* text; };
    const Case kCases[] = {
        {"1A2B", false, "1A2B"}, {"8F01", false, "008F01"}, {"5", false, "05"}, {"0", false, "FAIL"},
        {"1A2B", true, "1A2B"},  {"FF", true, "00FF"},
        {"7F0102030405060708090A0B0C0D0E0F10111213", false, "7F0102030405060708090A0B0C0D0E0F10111213"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.hex);
        CertSpec spec;
        spec.serialHex = c.hex;
        spec.negativeSerial = c.negative;
        EXPECT_EQ(c.text, Text(GetX509SerialNumber, Build(spec).get()));
    }
}

TEST(CertificateFields, SubjectKeyIdentifiers)
{
    struct Case { const char* name; bool present; std::vector<unsigned char> value; std::string text; };
    const Case kCases[] = {
        {"twenty bytes", true, {}, testutil::BytesToHex(certtest::DefaultKeyId().data(), 20)},
        {"missing extension", false, {}, "FAIL"},
        {"empty identifier", true, {0x04, 0x00}, ""},
        // value length - 2 would be negative.
        {"identifier shorter than 2 bytes must not give a negative length", true, {0x04}, "FAIL"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        CertSpec spec;
        spec.withKeyId = c.present;
        spec.keyIdValue = c.value;
        std::string want = c.text;
        for (char& ch : want) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        EXPECT_EQ(want, Text(GetX509SubjectKeyID, Build(spec).get()));
    }
}

TEST(CertificateFields, TypeFromSignatureAlgorithm)
{
    struct Case { const char* digest; bool ec; unsigned int code; int type; const char* oid; };
    const Case kCases[] = {
        {"SHA1", false, QOVA_OK, CERT_TYPE_RSA, "1.2.840.113549.1.1.5"},
        {"SHA256", false, QOVA_OK, CERT_TYPE_RSA, "1.2.840.113549.1.1.11"},
        {"SHA384", false, QOVA_OK, CERT_TYPE_RSA, "1.2.840.113549.1.1.12"},
        {"SHA512", false, QOVA_OK, CERT_TYPE_RSA, "1.2.840.113549.1.1.13"},
        {"MD5", false, QOVA_E_FAIL, CERT_TYPE_UNKNOWN, "1.2.840.113549.1.1.4"},
        {"SHA224", false, QOVA_E_FAIL, CERT_TYPE_UNKNOWN, "1.2.840.113549.1.1.14"},
        {"SHA256", true, QOVA_E_FAIL, CERT_TYPE_UNKNOWN, "1.2.840.10045.4.3.2"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.oid);
        CertSpec spec;
        spec.digest = c.digest;
        spec.ecKey = c.ec;
        CertPtr cert = Build(spec);
        int type = 99;
        EXPECT_EQ(c.code, GetX509CertType(cert.get(), &type));
        EXPECT_EQ(c.type, type);
        char* oid = nullptr;
        ASSERT_EQ(QOVA_OK, GetX509CertAlg(cert.get(), &oid));
        EXPECT_STREQ(c.oid, oid);
        delete[] oid;
    }
}

TEST(CertificateFields, ValidityTimesOfBothForms)
{
    CertSpec spec;
    spec.notBefore = "491231235959Z";
    spec.notAfter = "20500101000000Z";
    CertPtr cert = Build(spec);
    long notBefore = 0, notAfter = 0;
    ASSERT_EQ(QOVA_OK, GetX509NotBefore(cert.get(), &notBefore));
    ASSERT_EQ(QOVA_OK, GetX509NotAfter(cert.get(), &notAfter));
    EXPECT_EQ(2524607999L, notBefore);
    EXPECT_EQ(2524608000L, notAfter);
    EXPECT_EQ(QOVA_E_FAIL, GetX509NotBefore(cert.get(), nullptr));
}

}  // namespace
