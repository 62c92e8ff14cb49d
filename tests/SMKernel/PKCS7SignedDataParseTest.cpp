// The SignedData readers on structures of the wrong shape (every index is checked before it is
// used), the certificate choice, SM2 signatures in the token's DER form against OpenSSL's own
// encoder, attribute blocks, and the library reader's refusal of the SM signedData type.
#include "NodeExTestUtil.h"
#include "PKCS7SignedDataOperations.h"
#include "SMRegistry.h"
#include "SigningTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/rand.h>

#include <functional>
#include <string>

namespace {

using namespace signingtest;
using nodeex_test::Container;
using nodeex_test::Leaf;

const Bytes kSignedDataContent = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const Bytes kDataContent = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};

Bytes Random(size_t size, unsigned char first)
{
    Bytes bytes(size);
    EXPECT_EQ(1, RAND_bytes(bytes.data(), static_cast<int>(size)));
    bytes[0] = first;
    return bytes;
}

class PKCS7SignedDataParseTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, SM_crypto_init());
        m_spec.cert = ReadBytes(Fixture("rsa.der"));
        m_spec.signature = Random(256, 0x42);
        m_spec.attached = true;
        m_spec.content = {'h', 'i'};
    }

    // Our structure after a change made to its parsed tree; the engine re-measures every length.
    Bytes Changed(const SignedDataSpec& spec, const std::function<void(NodeEx*)>& change)
    {
        Bytes der;
        EXPECT_EQ(QOVA_OK, EncodeSignedData(spec, &der));
        NodeExPtr root;
        EXPECT_EQ(QOVA_OK, nodeex_test::Parse(der, &root));
        change(root.get());
        Bytes out;
        EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(root.get(), &out));
        return out;
    }

    SignedDataSpec m_spec;
};

NodeEx* SignedData(NodeEx* root) { return root->vetNodes[1]->vetNodes[0]; }
NodeEx* SignerInfo(NodeEx* root) { return SignedData(root)->vetNodes.back()->vetNodes[0]; }

void Replace(NodeEx* parent, size_t index, NodeEx* node)
{
    delete parent->vetNodes[index];
    parent->vetNodes[index] = node;
    node->pParent = parent;
}

void Erase(NodeEx* parent, size_t index)
{
    delete parent->vetNodes[index];
    parent->vetNodes.erase(parent->vetNodes.begin() + static_cast<long>(index));
    // A parsed container left without children would be written as its old value octets.
    if (parent->vetNodes.empty())
        parent->ValueLength = 0;
}

TEST_F(PKCS7SignedDataParseTest, StructuresOfTheWrongShapeFailBeforeAnyIndexIsUsed)
{
    SignedDataSpec sm2 = m_spec;
    sm2.contentInfoOid = kSMSignedDataOid;
    sm2.signature = Random(64, 0x80);
    struct Case
    {
        const char* name;
        const SignedDataSpec* spec;
        std::function<void(NodeEx*)> change;
        unsigned int code;
    };
    auto signatureOf = [](Bytes r, Bytes s) {
        return [r, s](NodeEx* root) { Replace(SignerInfo(root), 4, Container(0x30, {Leaf(0x02, r), Leaf(0x02, s)})); };
    };
    const Case kCases[] = {
        {"unchanged", &m_spec, [](NodeEx*) {}, QOVA_OK},
        {"ContentInfo of one element", &m_spec, [](NodeEx* r) { Erase(r, 1); }, QOVA_E_PKCS7_SHAPE},
        {"[0] without SignedData", &m_spec, [](NodeEx* r) { Erase(r->vetNodes[1], 0); }, QOVA_E_PKCS7_SHAPE},
        {"SignedData of four elements", &m_spec, [](NodeEx* r) { Erase(SignedData(r), 3); }, QOVA_E_PKCS7_SHAPE},
        {"signerInfos not a SET", &m_spec, [](NodeEx* r) { SignedData(r)->vetNodes.back()->Tag = 0x30; },
         QOVA_E_PKCS7_SHAPE},
        {"no SignerInfo", &m_spec, [](NodeEx* r) { Erase(SignedData(r)->vetNodes.back(), 0); }, QOVA_E_PKCS7_SHAPE},
        {"SignerInfo of four elements", &m_spec, [](NodeEx* r) { Erase(SignerInfo(r), 4); }, QOVA_E_PKCS7_SHAPE},
        {"content piece that is not an OCTET STRING", &m_spec,
         [](NodeEx* r) {
             Replace(SignedData(r)->vetNodes[2]->vetNodes[1], 0,
                     Container(0x24, {Leaf(0x04, {'h'}), Container(0x24, {Leaf(0x02, {'i'})})}));
         },
         QOVA_E_PKCS7_SHAPE},
        {"attached [0] without content", &m_spec,
         [](NodeEx* r) { Replace(SignedData(r)->vetNodes[2], 1, Container(0xA0, {})); }, QOVA_E_PKCS7_SHAPE},
        {"digestAlgorithm without identifier", &m_spec,
         [](NodeEx* r) { Replace(SignerInfo(r), 2, Container(0x30, {})); }, QOVA_E_PKCS7_SHAPE},
        {"identifier that does not convert", &m_spec,
         [](NodeEx* r) { Replace(SignerInfo(r)->vetNodes[2], 0, Leaf(0x06, {0x80})); }, QOVA_E_FAIL},
        // The content type is compared whole: a longer or shorter identifier is not signedData.
        {"content type longer than signedData", &m_spec,
         [](NodeEx* r) {
             Bytes longer = kSignedDataContent;
             longer.push_back(0x01);
             Replace(r, 0, Leaf(0x06, longer));
         },
         QOVA_E_PKCS7_SHAPE},
        {"content type cut short", &m_spec, [](NodeEx* r) { Replace(r, 0, Leaf(0x06, {0x2A, 0x86, 0x48})); },
         QOVA_E_PKCS7_SHAPE},
        {"OCTET STRING signature under the data type", &m_spec,
         [](NodeEx* r) { Replace(r, 0, Leaf(0x06, kDataContent)); }, QOVA_E_PKCS7_SHAPE},
        {"signature of another type", &m_spec, [](NodeEx* r) { SignerInfo(r)->vetNodes[4]->Tag = 0x03; },
         QOVA_E_PKCS7_SHAPE},
        {"SEQUENCE signature of three INTEGERs", &m_spec,
         [](NodeEx* r) {
             Replace(SignerInfo(r), 4, Container(0x30, {Leaf(0x02, Bytes(32, 1)), Leaf(0x02, Bytes(32, 1)),
                                                        Leaf(0x02, Bytes(32, 1))}));
         },
         QOVA_E_PKCS7_SHAPE},
        {"SEQUENCE r of 27 octets", &m_spec, signatureOf(Bytes(27, 1), Bytes(32, 1)), QOVA_E_PKCS7_SHAPE},
        {"SEQUENCE r of 28 octets", &m_spec, signatureOf(Bytes(28, 1), Bytes(32, 1)), QOVA_OK},
        {"INTEGER s of 27 octets", &m_spec,
         [](NodeEx* r) {
             Replace(SignerInfo(r), 4, Leaf(0x02, Bytes(32, 1)));
             SignerInfo(r)->AddChild(Leaf(0x02, Bytes(27, 1)));
         },
         QOVA_E_PKCS7_SHAPE},
        {"one INTEGER and nothing after it", &m_spec, [](NodeEx* r) { Replace(SignerInfo(r), 4, Leaf(0x02, Bytes(32, 1))); },
         QOVA_E_PKCS7_SHAPE},
        {"SM DER signature outside 66 to 72 octets", &sm2,
         [](NodeEx* r) { Replace(SignerInfo(r), 4, Leaf(0x04, Bytes(65, 0x30))); }, QOVA_E_FAIL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const ParsedSignedData parsed = ParseSignedData(Changed(*c.spec, c.change));
        EXPECT_EQ(c.code, parsed.code);
        EXPECT_EQ(QOVA_OK == c.code, parsed.hasCert);
    }
}

// `openssl cms -sign -stream` writes the content as several OCTET STRING pieces in a constructed
// string: the pieces' headers must not come back as content, and the file reader, which can name
// only one offset and size, must refuse such content rather than point into it.
TEST_F(PKCS7SignedDataParseTest, StreamedContentInPiecesComesBackJoinedNotWithThePiecesHeaders)
{
    testutil::ScopedTempDir dir;
    const Bytes content = Random(10000, 0x30);
    ASSERT_TRUE(WriteBytes(dir.File("content"), content));
    ASSERT_EQ(0, testutil::RunCommand("openssl cms -sign -binary -nodetach -stream -outform DER -in " +
                                      dir.File("content") + " -signer " + Fixture("rsa.pem") + " -inkey " +
                                      Fixture("rsa.key") + " -out " + dir.File("streamed") + " 2>&1"));
    const ParsedSignedData parsed = ParseSignedData(ReadBytes(dir.File("streamed")));
    EXPECT_EQ(QOVA_OK, parsed.code);
    EXPECT_EQ(content.size(), parsed.content.size());
    EXPECT_TRUE(content == parsed.content);
    EXPECT_EQ(ReadBytes(Fixture("rsa.der")), parsed.cert);

    FilePtr file = Open(dir.File("streamed"));
    long long offset = -1;
    int size = -1;
    EXPECT_EQ(QOVA_E_PKCS7_SHAPE, ParsePKCS7AttachedSignatureFile(file.get(), nullptr, nullptr, nullptr, nullptr,
                                                                  &offset, &size, nullptr, nullptr, nullptr, nullptr,
                                                                  nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(-1 == offset && -1 == size);
}

TEST_F(PKCS7SignedDataParseTest, SeveralCertificatesGiveTheOneWithTheSignersSerialNumber)
{
    Bytes other = ReadBytes(Fixture("noku.der")), signer = m_spec.cert;
    NodeExPtr otherRoot, signerRoot;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(other, &otherRoot));
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(signer, &signerRoot));
    struct Case
    {
        const char* name;
        std::function<void(NodeEx*)> change;
        unsigned int code;
        Bytes cert;
    };
    auto certificates = [](std::vector<NodeEx*> certs) {
        return [certs](NodeEx* r) {
            NodeEx* field = Container(0xA0, {});
            for (NodeEx* cert : certs)
                field->AddChild(cert);
            Replace(SignedData(r), 3, field);
        };
    };
    NodeEx* dup = nullptr;
    auto copy = [&dup](NodeEx* node) {
        EXPECT_EQ(QOVA_OK, DuplicateNodeEx(node, &dup, true));
        return dup;
    };
    const Case kCases[] = {
        {"second of two", certificates({copy(otherRoot.get()), copy(signerRoot.get())}), QOVA_OK, signer},
        {"none of two", certificates({copy(otherRoot.get()), copy(otherRoot.get())}), QOVA_OK, {}},
        {"none at all", certificates({}), QOVA_OK, {}},
        {"no certificates field, CRLs instead", [](NodeEx* r) { SignedData(r)->vetNodes[3]->Tag = 0xA1; }, QOVA_OK, {}},
        {"version 2 with two", [&](NodeEx* r) {
             certificates({copy(otherRoot.get()), copy(signerRoot.get())})(r);
             Replace(SignerInfo(r), 0, Leaf(0x02, {0x02}));
         }, QOVA_E_PKCS7_SHAPE, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const ParsedSignedData parsed = ParseSignedData(Changed(m_spec, c.change));
        EXPECT_EQ(c.code, parsed.code);
        EXPECT_EQ(c.cert, parsed.cert);
    }
}

TEST_F(PKCS7SignedDataParseTest, TokenSM2SignaturesAgainstOpensslsEncoder)
{
    struct Case
    {
        const char* name;
        int rSize, sSize;
        unsigned char rFirst, sFirst;
        size_t derSize;
    };
    const Case kCases[] = {
        {"both with the high bit", 32, 32, 0x80, 0xFF, 72},
        {"neither", 32, 32, 0x7F, 0x01, 70},
        {"r of 31 octets", 31, 32, 0x40, 0x10, 69},
        {"shortest", 30, 30, 0x10, 0x20, 66},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const Bytes r = Random(static_cast<size_t>(c.rSize), c.rFirst), s = Random(static_cast<size_t>(c.sSize), c.sFirst);
        ECDSA_SIG* sig = ECDSA_SIG_new();
        ASSERT_EQ(1, ECDSA_SIG_set0(sig, BN_bin2bn(r.data(), c.rSize, nullptr), BN_bin2bn(s.data(), c.sSize, nullptr)));
        unsigned char* der = nullptr;
        const int derSize = i2d_ECDSA_SIG(sig, &der);
        ECDSA_SIG_free(sig);
        ASSERT_EQ(c.derSize, static_cast<size_t>(derSize));
        const Bytes token(der, der + derSize);
        OPENSSL_free(der);

        Bytes expected(32 - c.rSize, 0);
        expected.insert(expected.end(), r.begin(), r.end());
        expected.insert(expected.end(), 32 - c.sSize, 0);
        expected.insert(expected.end(), s.begin(), s.end());
        Bytes copy = token;
        unsigned char* rs = nullptr;
        int rsSize = 0;
        ASSERT_EQ(QOVA_OK, Decode_SM2Q1(copy.data(), derSize, &rs, &rsSize));
        const Bytes raw = Take(rs, rsSize);
        EXPECT_EQ(expected, raw);

        // And back to the very DER the library wrote: a half that begins with 00 must lose it,
        // or strict verifiers refuse the signature as not DER.
        Bytes rsCopy = raw;
        unsigned char* back = nullptr;
        int backSize = 0;
        ASSERT_EQ(QOVA_OK, Encode_SM2Q1(rsCopy.data(), 32, rsCopy.data() + 32, 32, &back, &backSize));
        Bytes encoded = Take(back, backSize);
        EXPECT_EQ(token, encoded);
        ASSERT_EQ(QOVA_OK, Decode_SM2Q1(encoded.data(), static_cast<int>(encoded.size()), &rs, &rsSize));
        EXPECT_EQ(raw, Take(rs, rsSize));
    }

    Bytes threeIntegers;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(NodeExPtr(Container(0x30, {Leaf(0x02, Bytes(20, 1)),
                                                    Leaf(0x02, Bytes(20, 1)), Leaf(0x02, Bytes(20, 1))})).get(),
                                                  &threeIntegers));
    Bytes notDer(70, 0x30);
    const Bytes kMalformed[] = {Bytes(65, 0x30), Bytes(73, 0x30), threeIntegers, notDer};
    for (Bytes bad : kMalformed) {
        SCOPED_TRACE(bad.size());
        unsigned char* rs = nullptr;
        int rsSize = -1;
        EXPECT_EQ(QOVA_E_FAIL, Decode_SM2Q1(bad.data(), static_cast<int>(bad.size()), &rs, &rsSize));
        EXPECT_EQ(nullptr, rs);
        EXPECT_EQ(-1, rsSize);
    }
}

TEST_F(PKCS7SignedDataParseTest, AttributeBlocksComeBackWholeAndTheFirstMatchIsFound)
{
    const char* kOidA = "1.2.840.113549.1.9.3";
    const char* kOidB = "1.2.840.113549.1.9.5";
    Bytes valuesA1 = {0x06, 0x01, 0x2A}, valuesB = {0x04, 0x01, 0x0B}, valuesA2 = {0x04, 0x01, 0xA2};
    std::vector<NodeEx*> attributes(3);
    ASSERT_EQ(QOVA_OK, ConstructNode_Attribute(kOidA, valuesA1.data(), 3, &attributes[0]));
    ASSERT_EQ(QOVA_OK, ConstructNode_Attribute(kOidB, valuesB.data(), 3, &attributes[1]));
    ASSERT_EQ(QOVA_OK, ConstructNode_Attribute(kOidA, valuesA2.data(), 3, &attributes[2]));
    SignedDataSpec spec = m_spec;
    ASSERT_EQ(QOVA_OK, ConstructNode_SignedAttributes(&attributes, &spec.signedAttributes));
    EXPECT_EQ(std::vector<NodeEx*>(3, nullptr), attributes);  // every node taken over
    ASSERT_EQ(QOVA_OK, ConstructNode_UnsignedAttributes_SingleItem(kOidB, valuesB.data(), 3, &spec.unsignedAttributes));
    Bytes signedBlock, unsignedBlock;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(spec.signedAttributes, &signedBlock));
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(spec.unsignedAttributes, &unsignedBlock));

    Bytes der;
    ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &der));
    const ParsedSignedData parsed = ParseSignedData(der);
    ASSERT_EQ(QOVA_OK, parsed.code);
    EXPECT_EQ(signedBlock, parsed.signedAttributes);
    EXPECT_EQ(unsignedBlock, parsed.unsignedAttributes);
    EXPECT_EQ(m_spec.signature, parsed.signature);

    Bytes malformedFirst, malformedAfter;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(NodeExPtr(Container(0xA0, {Leaf(0x04, {1}), Container(0x30, {
        Leaf(0x06, {0x2A}), Leaf(0x31, {0x05, 0x00})})})).get(), &malformedFirst));
    NodeEx* goodA = nullptr;
    ASSERT_EQ(QOVA_OK, ConstructNode_Attribute(kOidA, valuesA1.data(), 3, &goodA));
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(NodeExPtr(Container(0xA1, {goodA, Leaf(0x04, {1})})).get(),
                                                  &malformedAfter));
    struct Case { const char* name; Bytes block; const char* oid; unsigned int code; Bytes values; };
    const Case kCases[] = {
        {"first of two matches", parsed.signedAttributes, kOidA, QOVA_OK, valuesA1},
        {"unsigned block", parsed.unsignedAttributes, kOidB, QOVA_OK, valuesB},
        {"no such attribute", parsed.signedAttributes, "1.2.3.4", QOVA_E_MALFORMED, {}},
        {"not a SEQUENCE before the match", malformedFirst, kOidA, QOVA_E_MALFORMED, {}},
        {"not a SEQUENCE after the match", malformedAfter, kOidA, QOVA_OK, valuesA1},
        {"empty block", Bytes{0xA0, 0x00}, kOidA, QOVA_E_MALFORMED, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes block = c.block;
        unsigned char* values = nullptr;
        int valuesSize = 0;
        EXPECT_EQ(c.code, ParseSignedUnsignedAttributes(block.data(), static_cast<int>(block.size()), c.oid, &values,
                                                        &valuesSize));
        EXPECT_EQ(c.values, Take(values, valuesSize));
    }
}

// Stock OpenSSL reads the SM signedData type as "other": reading its fields as signed data would read
// another structure's memory. The library reader normalises the SM types first.
TEST_F(PKCS7SignedDataParseTest, LibraryReaderTakesTheSMTypesAsTheirStandardKinds)
{
    SignedDataSpec spec = m_spec;
    spec.attached = false;
    Bytes rsa;
    ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &rsa));
    int digestNID = 0;
    unsigned char *signature = nullptr, *content = reinterpret_cast<unsigned char*>(&digestNID);
    int signatureSize = 0, contentSize = -1;
    ASSERT_EQ(QOVA_OK, DecodeRSAPKCS7Signature(rsa.data(), static_cast<int>(rsa.size()), nullptr, &digestNID,
                                               &signature, &signatureSize, &content, &contentSize));
    EXPECT_EQ(NID_sha256, digestNID);
    EXPECT_EQ(spec.signature, Take(signature, signatureSize));
    EXPECT_EQ(nullptr, content);  // detached
    EXPECT_EQ(0, contentSize);

    spec.contentInfoOid = kSMSignedDataOid;
    spec.contentTypeOid = kSMDataOid;
    spec.signature = Random(64, 0x11);
    spec.encodedType = SIGNATURE_ENCODED_SM2_DER_OCTETS;
    Bytes sm;
    ASSERT_EQ(QOVA_OK, EncodeSignedData(spec, &sm));
    // Read as signedData with data content (never as the library's "other" type).
    X509* cert = nullptr;
    EXPECT_EQ(QOVA_OK, DecodeRSAPKCS7Signature(sm.data(), static_cast<int>(sm.size()), &cert, &digestNID,
                                               &signature, &signatureSize, nullptr, nullptr));
    EXPECT_NE(nullptr, cert);
    EXPECT_FALSE(Take(signature, signatureSize).empty());
    X509_free(cert);
    cert = nullptr;
    Bytes notPKCS7 = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(QOVA_E_PKCS7_SHAPE, DecodeRSAPKCS7Signature(notPKCS7.data(), 5, &cert, nullptr, nullptr, nullptr,
                                                          nullptr, nullptr));

    // The file reader wants attached content, and puts the position back.
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(WriteBytes(dir.File("detached"), rsa));
    FilePtr file = Open(dir.File("detached"));
    fseek(file.get(), 3, SEEK_SET);
    long long offset = -1;
    EXPECT_EQ(QOVA_E_PKCS7_SHAPE, ParsePKCS7AttachedSignatureFile(file.get(), nullptr, nullptr, nullptr, nullptr,
                                                                  &offset, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                                  nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, offset);
    EXPECT_EQ(3, ftell(file.get()));
}

}  // namespace
