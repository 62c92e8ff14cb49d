// CMS structures: identifier encodings, envelopes built by us and printed by the openssl command,
// envelopes made by the openssl command and read by us (their content key and IV decrypt the
// content with the openssl command again), and the readers' shape checks.
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
#include <string>

namespace {

using nodeex_test::Bytes;
using nodeex_test::Container;
using nodeex_test::Leaf;
using testutil::HexToBytes;

const char kRsaOID[] = "1.2.840.113549.1.1.1";
const char kDes3CbcOID[] = "1.2.840.113549.3.7";

Bytes Random(size_t size)
{
    Bytes out(size);
    EXPECT_EQ(1, RAND_bytes(out.data(), static_cast<int>(size)));
    return out;
}

template <class T>
auto Take(T* data, int size)
{
    std::conditional_t<std::is_same<T, char>::value, std::string, Bytes> out;
    if (data)
        out.assign(data, data + size);
    delete[] data;
    return out;
}

// What a reader hands back.
struct Envelope
{
    Bytes rid, key, content, parameters;
    std::string keyOid, contentOid;
    bool operator==(const Envelope& o) const
    {
        return rid == o.rid && key == o.key && content == o.content && parameters == o.parameters &&
               keyOid == o.keyOid && contentOid == o.contentOid;
    }
};

// Reads der with the memory reader, or from a file with the file reader (the file's position,
// set to 3 beforehand, must be restored; the content node reads its value from the file).
unsigned int Read(Bytes der, const std::string& filePath, Envelope* e)
{
    unsigned char *rid = nullptr, *key = nullptr, *content = nullptr, *parameters = nullptr;
    char *keyOid = nullptr, *contentOid = nullptr;
    NodeEx* node = nullptr;
    int ridLen = 0, keyLen = 0, contentLen = 0, keyOidLen = 0, contentOidLen = 0, parametersLen = -1;
    unsigned int code = 0;
    if (filePath.empty()) {
        code = Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()), &rid, &ridLen, &key, &keyLen, &content,
                                      &contentLen, &keyOid, &keyOidLen, &contentOid, &contentOidLen, &parameters,
                                      &parametersLen);
        if (QOVA_OK == code) {
            EXPECT_EQ(0, content[contentLen]);  // one 00 octet that the length does not count
        }
    } else {
        EXPECT_TRUE(testutil::WriteFile(filePath, std::string(der.begin(), der.end())));
        FILE* fp = fopen(filePath.c_str(), "rb");
        fseek(fp, 3, SEEK_SET);
        code = Decode_CMSEnvelopeFile(fp, &rid, &ridLen, &key, &keyLen, &node, &keyOid, &keyOidLen, &contentOid,
                                      &contentOidLen, &parameters, &parametersLen);
        EXPECT_EQ(3, ftell(fp));
        if (QOVA_OK == code) {
            contentLen = static_cast<int>(node->ValueLength);
            content = new unsigned char[contentLen + 1];
            EXPECT_EQ(QOVA_OK, ReadNodeExValue(node, 0, content, node->ValueLength));
            delete node;
        }
        fclose(fp);
    }
    if (QOVA_OK == code) {
        EXPECT_EQ(static_cast<int>(strlen(keyOid)), keyOidLen);
        EXPECT_EQ(0 == parametersLen, nullptr == parameters);
    }
    *e = {Take(rid, ridLen), Take(key, keyLen), Take(content, contentLen), Take(parameters, parametersLen),
          Take(keyOid, keyOidLen), Take(contentOid, contentOidLen)};
    return code;
}

Bytes EncodeEnvelope(Envelope e, Bytes parameters, bool withContent = true)
{
    unsigned char* out = nullptr;
    int outLen = 0;
    EXPECT_EQ(QOVA_OK, Encode_CMSEnvelope("1.2.840.113549.1.7.3", e.rid.data(), static_cast<int>(e.rid.size()),
                                          e.keyOid.c_str(), e.key.data(), static_cast<int>(e.key.size()),
                                          "1.2.840.113549.1.7.1", e.contentOid.c_str(), parameters.data(),
                                          static_cast<int>(parameters.size()), withContent ? e.content.data() : nullptr,
                                          static_cast<int>(e.content.size()), &out, &outLen));
    return Take(out, outLen);
}

class CMSStructuresTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }
    testutil::ScopedTempDir m_dir;
};

TEST_F(CMSStructuresTest, IdentifierEncodings)
{
    struct Case { const char* oid; int params; bool algorithm, wrap; unsigned int code; const char* hex; };
    const Case kCases[] = {
        {"1.2.156.10197.1.104", 0, false, false, QOVA_OK, "2A811CCF550168"},
        {"1.2.156.10197.1.104", 0, false, true, QOVA_OK, "06072A811CCF550168"},
        {"2.999.1", 0, false, false, QOVA_OK, "883701"},
        {"1.2.156.10197.1.104", 2, true, true, QOVA_OK, "300B06072A811CCF5501680500"},
        {"1.2.156.10197.1.104", 2, true, false, QOVA_OK, "06072A811CCF5501680500"},
        {"1.2.156.10197.1.104", 0, true, true, QOVA_OK, "300906072A811CCF550168"},
        {"", 0, false, true, QOVA_E_FAIL, ""},
        {"not an oid", 2, true, true, QOVA_E_FAIL, ""},
        {"7.1", 0, false, false, QOVA_E_FAIL, ""},
        {nullptr, 0, false, false, QOVA_E_INVALIDARG, ""},
    };
    unsigned char nullParameters[] = {0x05, 0x00};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.hex);
        unsigned char* out = nullptr;
        int outLen = 0;
        EXPECT_EQ(c.code, c.algorithm ? Encode_AlgorithmIdentifier(c.oid, nullParameters, c.params, &out, &outLen, c.wrap)
                                      : Encode_ObjectIdentifier(c.oid, &out, &outLen, c.wrap));
        EXPECT_EQ(HexToBytes(c.hex), Take(out, outLen));
    }

    struct NidCase { int nid; const char* oid; };
    const NidCase kNids[] = {{NID_sha256, "2.16.840.1.101.3.4.2.1"}, {kNidSm3, "1.2.156.10197.1.401"},
                             {kNidSm4Cbc, "1.2.156.10197.1.104"},    {NID_undef, ""}, {99999, ""}};
    for (const NidCase& c : kNids) {
        char* oid = nullptr;
        int oidLen = -1;
        EXPECT_EQ(*c.oid ? QOVA_OK : QOVA_E_FAIL, GetOIDFromNID(c.nid, &oid, &oidLen));
        EXPECT_EQ(c.oid, Take(oid, oidLen));
    }
}

// Octets of a hex dump printed by `openssl cms -print` under the line holding label: lines of
// "<offset> - <up to 16 hex pairs>   <text>", the pairs in a column 47 characters wide.
Bytes PrintedDump(const std::string& text, const std::string& label)
{
    Bytes out;
    size_t pos = text.find(label);
    for (size_t end; pos != std::string::npos && (end = text.find('\n', pos)) != std::string::npos;) {
        pos = end + 1;
        const std::string line = text.substr(pos, text.find('\n', pos) - pos);
        const size_t at = line.find_first_not_of(' ');
        if (at == std::string::npos || line.compare(at + 4, 3, " - ") != 0)
            break;
        const Bytes bytes = HexToBytes(line.substr(at + 7, 47));
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

TEST_F(CMSStructuresTest, EnvelopeWeBuildIsPrintedByOpensslAndReadBackAsBuilt)
{
    Envelope e{Random(20), Random(256), Random(40), Random(8), kRsaOID, kDes3CbcOID};
    Bytes parameters = {0x04, 0x08};
    parameters.insert(parameters.end(), e.parameters.begin(), e.parameters.end());
    const Bytes der = EncodeEnvelope(e, parameters);
    const std::string path = m_dir.File("built.der");
    ASSERT_TRUE(testutil::WriteFile(path, std::string(der.begin(), der.end())));
    std::string printed;
    ASSERT_EQ(0, testutil::RunCommand("openssl cms -cmsout -print -inform DER -in " + path, &printed));
    for (const char* line : {"contentType: pkcs7-envelopedData (1.2.840.113549.1.7.3)",
                             "algorithm: rsaEncryption (1.2.840.113549.1.1.1)\n          parameter: NULL",
                             "contentType: pkcs7-data (1.2.840.113549.1.7.1)",
                             "algorithm: des-ede3-cbc (1.2.840.113549.3.7)"})
        EXPECT_NE(std::string::npos, printed.find(line)) << line;
    EXPECT_EQ(e.rid, PrintedDump(printed, "d.subjectKeyIdentifier:"));
    EXPECT_EQ(e.key, PrintedDump(printed, "encryptedKey:"));
    EXPECT_EQ(e.parameters, PrintedDump(printed, "parameter: OCTET STRING:"));
    EXPECT_EQ(e.content, PrintedDump(printed, "encryptedContent:"));

    // Without content octets: the same envelope up to them (a file writer appends them).
    Bytes head = EncodeEnvelope(e, parameters, false);
    head.insert(head.end(), e.content.begin(), e.content.end());
    EXPECT_EQ(der, head);

    // Both readers give back what was built; NULL parameters come back empty.
    for (const Bytes& p : {parameters, Bytes{0x05, 0x00}}) {
        e.parameters.assign(p.begin() + 2, p.end());
        const Bytes envelope = EncodeEnvelope(e, p);
        Envelope fromMemory, fromFile;
        ASSERT_EQ(QOVA_OK, Read(envelope, "", &fromMemory));
        ASSERT_EQ(QOVA_OK, Read(envelope, m_dir.File("rt.der"), &fromFile));
        EXPECT_TRUE(e == fromMemory);
        EXPECT_TRUE(e == fromFile);
    }
}

TEST_F(CMSStructuresTest, EnvelopesMadeByOpensslAreRead)
{
    const std::string key = m_dir.File("rsa.key"), cert = m_dir.File("rsa.pem"), msg = m_dir.File("msg");
    ASSERT_EQ(0, testutil::RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                                      " -days 2 -subj /CN=recipient -addext subjectKeyIdentifier=hash 2>/dev/null"));
    const std::string plaintext = "a message that spans more than one cipher block\n";
    ASSERT_TRUE(testutil::WriteFile(msg, plaintext));
    FILE* fp = fopen(cert.c_str(), "r");
    X509* x509 = PEM_read_X509(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    const ASN1_OCTET_STRING* skid = X509_get0_subject_key_id(x509);
    const Bytes expectedRid(ASN1_STRING_get0_data(skid), ASN1_STRING_get0_data(skid) + ASN1_STRING_length(skid));
    X509_free(x509);

    struct Case { const char* option; const char* oid; const char* encName; size_t ivSize; };
    const Case kCases[] = {{"-des3", kDes3CbcOID, "des-ede3-cbc", 8},
                           {"-aes256", "2.16.840.1.101.3.4.1.42", "aes-256-cbc", 16}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.option);
        const std::string envPath = m_dir.File("env.der");
        ASSERT_EQ(0, testutil::RunCommand("openssl cms -encrypt -keyid -binary -outform DER " + std::string(c.option) +
                                          " -in " + msg + " -out " + envPath + " " + cert));
        const std::string raw = testutil::ReadFileOrEmpty(envPath);
        const Bytes der(raw.begin(), raw.end());
        Envelope e, fromFile;
        ASSERT_EQ(QOVA_OK, Read(der, "", &e));
        ASSERT_EQ(QOVA_OK, Read(der, m_dir.File("copy.der"), &fromFile));
        EXPECT_TRUE(e == fromFile);
        EXPECT_EQ(expectedRid, e.rid);
        EXPECT_EQ(kRsaOID, e.keyOid);
        EXPECT_EQ(c.oid, e.contentOid);
        ASSERT_EQ(c.ivSize, e.parameters.size());

        // The key and IV we read decrypt the content we read back into the message.
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("ek"), std::string(e.key.begin(), e.key.end())));
        ASSERT_TRUE(testutil::WriteFile(m_dir.File("ct"), std::string(e.content.begin(), e.content.end())));
        std::string contentKey, decrypted;
        ASSERT_EQ(0, testutil::RunCommand("openssl pkeyutl -decrypt -inkey " + key + " -in " + m_dir.File("ek"),
                                          &contentKey));
        ASSERT_EQ(0, testutil::RunCommand(
                         "openssl enc -d -" + std::string(c.encName) + " -K " +
                             testutil::BytesToHex(reinterpret_cast<const unsigned char*>(contentKey.data()),
                                                  contentKey.size()) +
                             " -iv " + testutil::BytesToHex(e.parameters.data(), e.parameters.size()) + " -in " +
                             m_dir.File("ct"),
                         &decrypted));
        EXPECT_EQ(plaintext, decrypted);
    }
}

// Envelope trees of chosen shapes: the recipient's identifier node, the recipients, the content.
NodeEx* Recipient(bool constructedRid = false)
{
    NodeEx* algorithm = nullptr;
    unsigned char nullParameters[] = {0x05, 0x00};
    EXPECT_EQ(QOVA_OK, ConstructNode_AlgorithmIdentifier(kRsaOID, nullParameters, 2, &algorithm));
    NodeEx* rid = constructedRid ? Container(0xA0, {Leaf(0x04, {1, 2, 3})}) : Leaf(0x80, {1, 2, 3});
    return Container(0x30, {Leaf(0x02, {2}), rid, algorithm, Leaf(0x04, {9, 9})});
}

Bytes EnvelopeOf(NodeEx* recipientInfos, NodeEx* content, NodeEx* algorithm = nullptr)
{
    NodeEx *type = nullptr, *envelopedData = nullptr, *contentInfo = nullptr;
    unsigned char iv[] = {0x04, 0x02, 0xAA, 0xBB};
    EXPECT_EQ(QOVA_OK, ConstructNode_ObjectIdentifier("1.2.840.113549.1.7.1", &type));
    if (!algorithm) {
        EXPECT_EQ(QOVA_OK, ConstructNode_AlgorithmIdentifier(kDes3CbcOID, iv, sizeof(iv), &algorithm));
    }
    NodeEx* info = content ? Container(0x30, {type, algorithm, content}) : Container(0x30, {type, algorithm});
    EXPECT_EQ(QOVA_OK, ConstructNode_EnvelopedData(2, recipientInfos, info, &envelopedData));
    EXPECT_EQ(QOVA_OK, ConstructNode_ContentInfo("1.2.840.113549.1.7.3", envelopedData, &contentInfo));
    NodeExPtr owner(contentInfo);
    Bytes out;
    EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(contentInfo, &out));
    return out;
}

TEST_F(CMSStructuresTest, EnvelopeShapes)
{
    struct Case { const char* name; Bytes der; unsigned int code; Bytes content; };
    const Case kCases[] = {
        {"a constructed content holding one OCTET STRING gives its octets",
         EnvelopeOf(Container(0x31, {Recipient()}), Container(0xA0, {Leaf(0x04, {7, 8, 9})})), QOVA_OK, {7, 8, 9}},
        // Content in pieces, as streaming writers make it: joined in order at any depth; a piece
        // that is not an OCTET STRING is no content.
        {"content in nested pieces gives them joined in order",
         EnvelopeOf(Container(0x31, {Recipient()}),
                    Container(0xA0, {Leaf(0x04, {1, 2}), Container(0x24, {Leaf(0x04, {3}), Leaf(0x04, {4, 5})})})),
         QOVA_OK, {1, 2, 3, 4, 5}},
        {"a content piece that is not an OCTET STRING",
         EnvelopeOf(Container(0x31, {Recipient()}),
                    Container(0xA0, {Leaf(0x04, {1}), Container(0x24, {Leaf(0x02, {2})})})),
         QOVA_E_ENVELOPE_SHAPE, {}},
        {"two recipients", EnvelopeOf(Container(0x31, {Recipient(), Recipient()}), Leaf(0x80, {1})),
         QOVA_E_ENVELOPE_SHAPE, {}},
        {"no encrypted content", EnvelopeOf(Container(0x31, {Recipient()}), nullptr), QOVA_E_ENVELOPE_SHAPE, {}},
        {"constructed recipient identifier", EnvelopeOf(Container(0x31, {Recipient(true)}), Leaf(0x80, {1})),
         QOVA_E_ENVELOPE_SHAPE, {}},
        {"identifier that is not an OID",
         EnvelopeOf(Container(0x31, {Recipient()}), Leaf(0x80, {1}), Container(0x30, {Leaf(0x04, {1}), Leaf(0x04, {})})),
         QOVA_E_FAIL, {}},
        {"not DER", {0x30, 0x85, 0xFF}, QOVA_E_FAIL, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Envelope e;
        EXPECT_EQ(c.code, Read(c.der, "", &e));
        EXPECT_EQ(c.content, e.content);
        EXPECT_EQ(c.code, Read(c.der, m_dir.File("shape.der"), &e));
    }
}

TEST_F(CMSStructuresTest, FileContentNodeMustNotPointIntoTheFreedParsedTree)
{
    // A constructed content of two chunks: the copy holds children of its own.
    const Bytes contentDer = HexToBytes("A00904030102030402 0405");
    const Bytes der = EnvelopeOf(Container(0x31, {Recipient()}),
                                 Container(0xA0, {Leaf(0x04, {1, 2, 3}), Leaf(0x04, {4, 5})}));
    ASSERT_TRUE(testutil::WriteFile(m_dir.File("env.der"), std::string(der.begin(), der.end())));
    FILE* fp = fopen(m_dir.File("env.der").c_str(), "rb");
    NodeEx* node = nullptr;
    ASSERT_EQ(QOVA_OK, Decode_CMSEnvelopeFile(fp, nullptr, nullptr, nullptr, nullptr, &node, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr));
    NodeExPtr owner(node);
    // The parsed tree is gone: under the address sanitizer any use of it fails here.
    EXPECT_EQ(nullptr, node->pParent);
    ASSERT_EQ(2u, node->vetNodes.size());
    for (NodeEx* child : node->vetNodes)
        EXPECT_EQ(node, child->pParent);
    Bytes reencoded;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(node, &reencoded));
    EXPECT_EQ(contentDer, reencoded);
    fclose(fp);
}

}  // namespace
