// CMS structures: identifier and algorithm-identifier encodings, envelopes built by us and read by
// the openssl command, envelopes made by the openssl command and read by us (their content key and
// IV decrypt the content with the openssl command again), and the readers' shape checks.
#include "CMSStructures.h"
#include "NodeExTestUtil.h"
#include "SMRegistry.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

using nodeex_test::Bytes;
using nodeex_test::Container;
using nodeex_test::Leaf;
using testutil::HexToBytes;

const char kEnvelopedDataOID[] = "1.2.840.113549.1.7.3";
const char kDataOID[] = "1.2.840.113549.1.7.1";
const char kRsaOID[] = "1.2.840.113549.1.1.1";
const char kDes3CbcOID[] = "1.2.840.113549.3.7";
const char kAes256CbcOID[] = "2.16.840.1.101.3.4.1.42";

Bytes Random(size_t size)
{
    Bytes out(size);
    EXPECT_EQ(1, RAND_bytes(out.data(), static_cast<int>(size)));
    return out;
}

Bytes Take(unsigned char* data, int size)
{
    Bytes out(data, data + size);
    delete[] data;
    return out;
}

std::string TakeText(char* text)
{
    std::string out = text ? text : "(null)";
    delete[] text;
    return out;
}

// What a reader hands back, gathered for comparison.
struct Envelope
{
    Bytes rid, key, content, parameters;
    std::string keyOid, contentOid;
};

bool operator==(const Envelope& a, const Envelope& b)
{
    return a.rid == b.rid && a.key == b.key && a.content == b.content && a.parameters == b.parameters &&
           a.keyOid == b.keyOid && a.contentOid == b.contentOid;
}

unsigned int ReadMemory(Bytes der, Envelope* out)
{
    unsigned char *rid = nullptr, *key = nullptr, *content = nullptr, *parameters = nullptr;
    char *keyOid = nullptr, *contentOid = nullptr;
    int ridLen = 0, keyLen = 0, contentLen = 0, keyOidLen = 0, contentOidLen = 0, parametersLen = -1;
    const unsigned int code =
        Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()), &rid, &ridLen, &key, &keyLen, &content,
                               &contentLen, &keyOid, &keyOidLen, &contentOid, &contentOidLen, &parameters,
                               &parametersLen);
    if (QOVA_OK != code)
        return code;
    // The content carries one 00 octet that its length does not count.
    EXPECT_EQ(0, content[contentLen]);
    EXPECT_EQ(strlen(keyOid), static_cast<size_t>(keyOidLen));
    EXPECT_EQ(strlen(contentOid), static_cast<size_t>(contentOidLen));
    EXPECT_EQ(0 == parametersLen, nullptr == parameters);
    out->rid = Take(rid, ridLen);
    out->key = Take(key, keyLen);
    out->content = Take(content, contentLen);
    out->parameters = parameters ? Take(parameters, parametersLen) : Bytes();
    out->keyOid = TakeText(keyOid);
    out->contentOid = TakeText(contentOid);
    return code;
}

// The file reader, on a stream left at a position of its own that must be restored.
unsigned int ReadFile(const Bytes& der, const std::string& path, Envelope* out)
{
    EXPECT_TRUE(testutil::WriteFile(path, std::string(der.begin(), der.end())));
    FILE* fp = fopen(path.c_str(), "rb");
    EXPECT_NE(nullptr, fp);
    if (!fp)
        return 0xDEAD;
    fseek(fp, 3, SEEK_SET);
    unsigned char *rid = nullptr, *key = nullptr, *parameters = nullptr;
    char *keyOid = nullptr, *contentOid = nullptr;
    NodeEx* node = nullptr;
    int ridLen = 0, keyLen = 0, keyOidLen = 0, contentOidLen = 0, parametersLen = -1;
    const unsigned int code = Decode_CMSEnvelopeFile(fp, &rid, &ridLen, &key, &keyLen, &node, &keyOid, &keyOidLen,
                                                     &contentOid, &contentOidLen, &parameters, &parametersLen);
    EXPECT_EQ(3, ftell(fp));
    if (QOVA_OK == code) {
        // The content node is a copy that reads its value from the file by offsets.
        Bytes content(node->ValueLength);
        EXPECT_EQ(QOVA_OK, ReadNodeExValue(node, 0, content.data(), content.size()));
        delete node;
        out->rid = Take(rid, ridLen);
        out->key = Take(key, keyLen);
        out->content = content;
        out->parameters = parameters ? Take(parameters, parametersLen) : Bytes();
        out->keyOid = TakeText(keyOid);
        out->contentOid = TakeText(contentOid);
    }
    fclose(fp);
    return code;
}

Bytes EncodeEnvelope(const Envelope& e, const Bytes& encodedParameters, bool withContent = true)
{
    unsigned char* out = nullptr;
    int outLen = 0;
    Envelope copy = e;
    Bytes params = encodedParameters;
    EXPECT_EQ(QOVA_OK, Encode_CMSEnvelope(kEnvelopedDataOID, copy.rid.data(), static_cast<int>(copy.rid.size()),
                                          copy.keyOid.c_str(), copy.key.data(), static_cast<int>(copy.key.size()),
                                          kDataOID, copy.contentOid.c_str(), params.data(),
                                          static_cast<int>(params.size()), withContent ? copy.content.data() : nullptr,
                                          static_cast<int>(copy.content.size()), &out, &outLen));
    return Take(out, outLen);
}

class CMSStructuresTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }
    testutil::ScopedTempDir m_dir;
};

TEST_F(CMSStructuresTest, ObjectIdentifierEncodings)
{
    struct Case { const char* oid; bool wrap; unsigned int code; const char* hex; };
    const Case kCases[] = {
        {"1.2.156.10197.1.104", false, QOVA_OK, "2A811CCF550168"},
        {"1.2.156.10197.1.104", true, QOVA_OK, "06072A811CCF550168"},
        {kRsaOID, true, QOVA_OK, "06092A864886F70D010101"},
        {"2.999.1", false, QOVA_OK, "883701"},
        {"", true, QOVA_E_FAIL, ""},
        {"not an oid", true, QOVA_E_FAIL, ""},
        {"7.1", false, QOVA_E_FAIL, ""},
        {nullptr, false, QOVA_E_INVALIDARG, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.oid ? c.oid : "null");
        unsigned char* out = nullptr;
        int outLen = 0;
        ASSERT_EQ(c.code, Encode_ObjectIdentifier(c.oid, &out, &outLen, c.wrap));
        if (QOVA_OK == c.code)
            EXPECT_EQ(HexToBytes(c.hex), Take(out, outLen));
        else
            EXPECT_EQ(nullptr, out);
    }
}

TEST_F(CMSStructuresTest, AlgorithmIdentifierEncodings)
{
    unsigned char nullParameters[] = {0x05, 0x00};
    struct Case { unsigned char* parameters; int length; bool wrap; const char* hex; };
    const Case kCases[] = {
        {nullParameters, 2, true, "300B06072A811CCF5501680500"},
        {nullParameters, 2, false, "06072A811CCF5501680500"},
        {nullptr, 0, true, "300906072A811CCF550168"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.hex);
        unsigned char* out = nullptr;
        int outLen = 0;
        ASSERT_EQ(QOVA_OK, Encode_AlgorithmIdentifier("1.2.156.10197.1.104", c.parameters, c.length, &out, &outLen,
                                                      c.wrap));
        EXPECT_EQ(HexToBytes(c.hex), Take(out, outLen));
    }
    unsigned char* out = nullptr;
    int outLen = 0;
    EXPECT_EQ(QOVA_E_INVALIDARG, Encode_AlgorithmIdentifier(kRsaOID, nullptr, 2, &out, &outLen, true));
}

TEST_F(CMSStructuresTest, DottedTextOfNids)
{
    struct Case { int nid; unsigned int code; const char* oid; };
    const Case kCases[] = {
        {NID_sha256, QOVA_OK, "2.16.840.1.101.3.4.2.1"},   {NID_des_ede3_cbc, QOVA_OK, kDes3CbcOID},
        {kNidSm3, QOVA_OK, "1.2.156.10197.1.401"},         {kNidSm4Cbc, QOVA_OK, "1.2.156.10197.1.104"},
        {NID_undef, QOVA_E_FAIL, ""},                       {99999, QOVA_E_FAIL, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.nid);
        char* oid = nullptr;
        int oidLen = -1;
        ASSERT_EQ(c.code, GetOIDFromNID(c.nid, &oid, &oidLen));
        if (QOVA_OK == c.code) {
            EXPECT_EQ(static_cast<int>(strlen(c.oid)), oidLen);
            EXPECT_EQ(c.oid, TakeText(oid));
        }
    }
}

// Octets of a hex dump printed by `openssl cms -print` under the line that holds label: lines of
// "<offset> - <up to 16 hex pairs>   <text>", the pairs in a column 47 characters wide.
Bytes PrintedDump(const std::string& text, const std::string& label)
{
    Bytes out;
    size_t pos = text.find(label);
    if (pos == std::string::npos)
        return out;
    pos = text.find('\n', pos) + 1;
    for (size_t end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
        const std::string line = text.substr(pos, end - pos);
        const size_t offset = line.find_first_not_of(' ');
        if (offset == std::string::npos || line.compare(offset + 4, 3, " - ") != 0 ||
            line.find_first_not_of("0123456789abcdef", offset) != offset + 4)
            break;
        const Bytes bytes = HexToBytes(line.substr(offset + 7, 47));
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

TEST_F(CMSStructuresTest, EnvelopeWeBuildIsPrintedByOpensslAsBuilt)
{
    Envelope e{Random(20), Random(256), Random(40), Random(8), kRsaOID, kDes3CbcOID};
    Bytes ivParameters = {0x04, 0x08};
    ivParameters.insert(ivParameters.end(), e.parameters.begin(), e.parameters.end());
    const Bytes der = EncodeEnvelope(e, ivParameters);

    const std::string path = m_dir.File("built.der");
    ASSERT_TRUE(testutil::WriteFile(path, std::string(der.begin(), der.end())));
    std::string printed;
    ASSERT_EQ(0, testutil::RunCommand("openssl cms -cmsout -print -inform DER -in " + testutil::ShellQuote(path),
                                      &printed));
    EXPECT_NE(std::string::npos, printed.find("contentType: pkcs7-envelopedData (1.2.840.113549.1.7.3)"));
    EXPECT_NE(std::string::npos, printed.find("algorithm: rsaEncryption (1.2.840.113549.1.1.1)\n"
                                              "          parameter: NULL"));
    EXPECT_NE(std::string::npos, printed.find("contentType: pkcs7-data (1.2.840.113549.1.7.1)"));
    EXPECT_NE(std::string::npos, printed.find("algorithm: des-ede3-cbc (1.2.840.113549.3.7)"));
    EXPECT_EQ(e.rid, PrintedDump(printed, "d.subjectKeyIdentifier:"));
    EXPECT_EQ(e.key, PrintedDump(printed, "encryptedKey:"));
    EXPECT_EQ(e.parameters, PrintedDump(printed, "parameter: OCTET STRING:"));
    EXPECT_EQ(e.content, PrintedDump(printed, "encryptedContent:"));

    // Both readers give back what was built; the NULL parameters of SM4 without IV come back empty.
    for (const Bytes& parameters : {ivParameters, Bytes{0x05, 0x00}}) {
        Envelope built = e;
        built.contentOid = "1.2.156.10197.1.104";
        built.parameters.assign(parameters.begin() + 2, parameters.end());
        const Bytes envelope = EncodeEnvelope(built, parameters);
        Envelope fromMemory, fromFile;
        ASSERT_EQ(QOVA_OK, ReadMemory(envelope, &fromMemory));
        ASSERT_EQ(QOVA_OK, ReadFile(envelope, m_dir.File("rt.der"), &fromFile));
        EXPECT_TRUE(built == fromMemory);
        EXPECT_TRUE(built == fromFile);
    }
}

TEST_F(CMSStructuresTest, EnvelopeWithoutContentIsThePrefixOfTheWholeOne)
{
    Envelope e{Random(20), Random(128), Random(300), {}, kRsaOID, kDes3CbcOID};
    const Bytes params = {0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8};
    Bytes head = EncodeEnvelope(e, params, false);
    head.insert(head.end(), e.content.begin(), e.content.end());
    EXPECT_EQ(EncodeEnvelope(e, params, true), head);
}

// The recipient's key identifier, read by the library itself.
Bytes SubjectKeyId(const std::string& certPath)
{
    FILE* fp = fopen(certPath.c_str(), "r");
    if (!fp)
        return {};
    X509* cert = PEM_read_X509(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    const ASN1_OCTET_STRING* id = cert ? X509_get0_subject_key_id(cert) : nullptr;
    Bytes out = id ? Bytes(ASN1_STRING_get0_data(id), ASN1_STRING_get0_data(id) + ASN1_STRING_length(id)) : Bytes();
    X509_free(cert);
    return out;
}

TEST_F(CMSStructuresTest, EnvelopesMadeByOpensslAreRead)
{
    const std::string key = m_dir.File("rsa.key"), cert = m_dir.File("rsa.pem"), msg = m_dir.File("msg");
    ASSERT_EQ(0, testutil::RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                                      " -days 2 -subj /CN=recipient -addext subjectKeyIdentifier=hash 2>/dev/null"));
    const std::string plaintext = "a message that spans more than one cipher block\n";
    ASSERT_TRUE(testutil::WriteFile(msg, plaintext));

    struct Case { const char* option; const char* oid; const char* encName; size_t ivSize; };
    const Case kCases[] = {{"-des3", kDes3CbcOID, "des-ede3-cbc", 8}, {"-aes256", kAes256CbcOID, "aes-256-cbc", 16}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.option);
        const std::string envPath = m_dir.File("env.der");
        ASSERT_EQ(0, testutil::RunCommand("openssl cms -encrypt -keyid -binary -outform DER " + std::string(c.option) +
                                          " -in " + msg + " -out " + envPath + " " + cert));
        std::string der;
        ASSERT_TRUE(testutil::ReadFile(envPath, &der));
        Envelope fromMemory, fromFile;
        ASSERT_EQ(QOVA_OK, ReadMemory(Bytes(der.begin(), der.end()), &fromMemory));
        ASSERT_EQ(QOVA_OK, ReadFile(Bytes(der.begin(), der.end()), m_dir.File("copy.der"), &fromFile));
        EXPECT_TRUE(fromMemory == fromFile);
        EXPECT_EQ(SubjectKeyId(cert), fromMemory.rid);
        EXPECT_EQ(kRsaOID, fromMemory.keyOid);
        EXPECT_EQ(c.oid, fromMemory.contentOid);
        ASSERT_EQ(c.ivSize, fromMemory.parameters.size());

        // The key and IV we read decrypt the content we read back into the message.
        const std::string ekPath = m_dir.File("ek"), ctPath = m_dir.File("ct");
        ASSERT_TRUE(testutil::WriteFile(ekPath, std::string(fromMemory.key.begin(), fromMemory.key.end())));
        ASSERT_TRUE(testutil::WriteFile(ctPath, std::string(fromMemory.content.begin(), fromMemory.content.end())));
        std::string contentKey;
        ASSERT_EQ(0, testutil::RunCommand("openssl pkeyutl -decrypt -inkey " + key + " -in " + ekPath, &contentKey));
        const std::string keyHex = testutil::BytesToHex(reinterpret_cast<const unsigned char*>(contentKey.data()),
                                                        contentKey.size());
        const std::string ivHex = testutil::BytesToHex(fromMemory.parameters.data(), fromMemory.parameters.size());
        std::string decrypted;
        ASSERT_EQ(0, testutil::RunCommand("openssl enc -d -" + std::string(c.encName) + " -K " + keyHex + " -iv " +
                                          ivHex + " -in " + ctPath, &decrypted));
        EXPECT_EQ(plaintext, decrypted);
    }
}

// The parts of an envelope tree, so that each test can build the shape it needs.
NodeEx* Recipient(unsigned char ridTag = 0x80)
{
    NodeEx* algorithm = nullptr;
    unsigned char nullParameters[] = {0x05, 0x00};
    EXPECT_EQ(QOVA_OK, ConstructNode_AlgorithmIdentifier(kRsaOID, nullParameters, 2, &algorithm));
    NodeEx* rid = ridTag == 0x80 ? Leaf(0x80, {1, 2, 3}) : Container(ridTag, {Leaf(0x04, {1, 2, 3})});
    return Container(0x30, {Leaf(0x02, {2}), rid, algorithm, Leaf(0x04, {9, 9})});
}

NodeEx* ContentInfoAround(NodeEx* recipientInfos, NodeEx* encryptedContentInfo)
{
    NodeEx* envelopedData = nullptr;
    EXPECT_EQ(QOVA_OK, ConstructNode_EnvelopedData(2, recipientInfos, encryptedContentInfo, &envelopedData));
    NodeEx* contentInfo = nullptr;
    EXPECT_EQ(QOVA_OK, ConstructNode_ContentInfo(kEnvelopedDataOID, envelopedData, &contentInfo));
    return contentInfo;
}

NodeEx* ContentParts(NodeEx* content)
{
    NodeEx* type = nullptr;
    NodeEx* algorithm = nullptr;
    unsigned char iv[] = {0x04, 0x02, 0xAA, 0xBB};
    EXPECT_EQ(QOVA_OK, ConstructNode_ObjectIdentifier(kDataOID, &type));
    EXPECT_EQ(QOVA_OK, ConstructNode_AlgorithmIdentifier(kDes3CbcOID, iv, sizeof(iv), &algorithm));
    return content ? Container(0x30, {type, algorithm, content}) : Container(0x30, {type, algorithm});
}

Bytes Encode(NodeEx* root)
{
    NodeExPtr owner(root);
    Bytes out;
    EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(root, &out));
    return out;
}

TEST_F(CMSStructuresTest, EnvelopesOfTheWrongShapeAreRefused)
{
    struct Case { const char* name; Bytes der; unsigned int code; };
    const Case kCases[] = {
        {"two recipients", Encode(ContentInfoAround(Container(0x31, {Recipient(), Recipient()}),
                                                    ContentParts(Leaf(0x80, {1, 2})))),
         QOVA_E_ENVELOPE_SHAPE},
        {"no encrypted content", Encode(ContentInfoAround(Container(0x31, {Recipient()}), ContentParts(nullptr))),
         QOVA_E_ENVELOPE_SHAPE},
        {"constructed recipient identifier", Encode(ContentInfoAround(Container(0x31, {Recipient(0xA0)}),
                                                                      ContentParts(Leaf(0x80, {1})))),
         QOVA_E_ENVELOPE_SHAPE},
        {"identifier that is not an OID",
         Encode(ContentInfoAround(Container(0x31, {Recipient()}),
                                  Container(0x30, {Leaf(0x06, {0x2A}), Container(0x30, {Leaf(0x04, {1}), Leaf(0x04, {})}),
                                                   Leaf(0x80, {1})}))),
         QOVA_E_FAIL},
        {"not DER", {0x30, 0x85, 0xFF}, QOVA_E_FAIL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Envelope out;
        EXPECT_EQ(c.code, ReadMemory(c.der, &out));
        EXPECT_EQ(c.code, ReadFile(c.der, m_dir.File("bad.der"), &out));  // position restored inside
    }
}

TEST_F(CMSStructuresTest, ConstructedContentHoldingOneOctetStringGivesItsOctets)
{
    const Bytes der = Encode(ContentInfoAround(Container(0x31, {Recipient()}),
                                               ContentParts(Container(0xA0, {Leaf(0x04, {7, 8, 9})}))));
    Envelope out;
    ASSERT_EQ(QOVA_OK, ReadMemory(der, &out));
    EXPECT_EQ((Bytes{7, 8, 9}), out.content);
    EXPECT_EQ((Bytes{0xAA, 0xBB}), out.parameters);
}

TEST_F(CMSStructuresTest, FileContentNodeMustNotPointIntoTheFreedParsedTree)
{
    // A constructed content of two chunks: the copy holds children of its own.
    NodeEx* content = Container(0xA0, {Leaf(0x04, {1, 2, 3}), Leaf(0x04, {4, 5})});
    const Bytes contentDer = Encode(Container(0xA0, {Leaf(0x04, {1, 2, 3}), Leaf(0x04, {4, 5})}));
    const Bytes der = Encode(ContentInfoAround(Container(0x31, {Recipient()}), ContentParts(content)));
    const std::string path = m_dir.File("env.der");
    ASSERT_TRUE(testutil::WriteFile(path, std::string(der.begin(), der.end())));
    FILE* fp = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, fp);

    NodeEx* node = nullptr;
    ASSERT_EQ(QOVA_OK, Decode_CMSEnvelopeFile(fp, nullptr, nullptr, nullptr, nullptr, &node, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr));
    NodeExPtr owner(node);
    // Under the address sanitizer any use of the parsed tree, now freed, fails here.
    EXPECT_EQ(nullptr, node->pParent);
    ASSERT_EQ(2u, node->vetNodes.size());
    for (NodeEx* child : node->vetNodes)
        EXPECT_EQ(node, child->pParent);
    Bytes second(2);
    ASSERT_EQ(QOVA_OK, ReadNodeExValue(node->vetNodes[1], 0, second.data(), 2));
    EXPECT_EQ((Bytes{4, 5}), second);
    Bytes reencoded;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(node, &reencoded));
    EXPECT_EQ(contentDer, reencoded);
    fclose(fp);
}

}  // namespace
