// The readers that join BER pieces hand out only an element that is content, from memory and from
// a file: in SignedData the explicit [0] holds exactly one OCTET STRING (04 with a definite length,
// or 24 of OCTET STRING pieces); in an envelope encryptedContent is the implicit [0] (80 with a
// definite length, or A0 of pieces). A UTF8String or a SEQUENCE was handed out as content, a second
// element ignored, and a primitive string with the indefinite length came back with its end marker
// as content. The openssl command, in a separate process, says which structures are refused.
#include "CMSStructures.h"
#include "NodeExTestUtil.h"
#include "SMRegistry.h"
#include "SigningTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using namespace signingtest;
using nodeex_test::Leaf;
using testutil::HexToBytes;

// SignedData terms; in the envelope the outer tag of the element trades 04 for 80 and 24 for A0.
struct Case
{
    const char* name;
    const char* element;
    const char* content;  // null: not content, refused
    size_t pieces;        // the file form of SignedData names one piece at most
};
const Case kCases[] = {
    {"definite OCTET STRING", "04 03 61 62 63", "abc", 1},
    {"empty", "04 00", "", 1},
    {"constructed, two pieces", "24 07 04 01 61 04 02 62 63", "abc", 2},
    {"constructed, indefinite length", "24 80 04 01 61 04 02 62 63 00 00", "abc", 2},
    {"nested pieces", "24 09 04 01 61 24 04 04 02 62 63", "abc", 2},
    {"constructed, one piece", "24 05 04 03 61 62 63", "abc", 1},
    {"constructed, no pieces", "24 00", "", 0},
    {"UTF8String", "0C 03 61 62 63", nullptr, 0},
    {"SEQUENCE of an OCTET STRING", "30 05 04 03 61 62 63", nullptr, 0},
    {"a second element after the content", "04 03 61 62 63 04 01 64", nullptr, 0},
    {"primitive with the indefinite length", "04 80 61 62 63 00 00", nullptr, 0},
    {"piece with the indefinite length", "24 80 04 80 61 00 00 00 00", nullptr, 0},
    {"the other structure's tag", "80 03 61 62 63", nullptr, 0},
};

Bytes ForEnvelope(Bytes element)
{
    const unsigned char tag = element.at(0);
    if (0x04 == (tag & ~0x20) || 0x80 == (tag & ~0x20))
        element[0] = static_cast<unsigned char>(tag ^ 0x84);
    return element;
}

Bytes Encode(NodeEx* node)
{
    Bytes out;
    EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(node, &out));
    return out;
}

void Replace(NodeEx* parent, size_t index, NodeEx* node)
{
    delete parent->vetNodes[index];
    parent->vetNodes[index] = node;
    node->pParent = parent;
}

// The value octets of the leaves below node, in order.
Bytes Joined(const NodeEx* node)
{
    if (node->vetNodes.empty()) {
        Bytes value(node->ValueLength);
        EXPECT_EQ(QOVA_OK, ReadNodeExValue(node, 0, value.data(), value.size()));
        return value;
    }
    Bytes joined;
    for (const NodeEx* child : node->vetNodes) {
        const Bytes part = Joined(child);
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

class ContentElementTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(1, SM_crypto_init()); }

    // Our SignedData with the element as the whole of the explicit [0] of its content.
    Bytes SignedData(const Bytes& element)
    {
        SignedDataSpec spec;
        spec.cert = ReadBytes(Fixture("rsa.der"));
        spec.signature = Bytes(256, 0x42);
        spec.attached = true;
        spec.content = {'x'};
        Bytes der;
        EXPECT_EQ(QOVA_OK, EncodeSignedData(spec, &der));
        NodeExPtr root;
        EXPECT_EQ(QOVA_OK, nodeex_test::Parse(der, &root));
        Replace(root->vetNodes[1]->vetNodes[0]->vetNodes[2], 1, Leaf(0xA0, element));
        return Encode(root.get());
    }

    // Our envelope with the element after the content type and algorithm of EncryptedContentInfo.
    Bytes Envelope(const Bytes& element)
    {
        Bytes rid(20, 0x11), key(128, 0x22), content = {1}, iv = HexToBytes("04 10");
        iv.resize(18, 0x33);
        unsigned char* out = nullptr;
        int outLength = 0;
        EXPECT_EQ(QOVA_OK, Encode_CMSEnvelope("1.2.840.113549.1.7.3", rid.data(), 20, "1.2.840.113549.1.1.1",
                                              key.data(), 128, kDataOid, "2.16.840.1.101.3.4.1.2", iv.data(), 18,
                                              content.data(), 1, &out, &outLength));
        Bytes der = Take(out, outLength);
        NodeExPtr root;
        EXPECT_EQ(QOVA_OK, nodeex_test::Parse(der, &root));
        NodeEx* pEnvelopedData = root->vetNodes[1]->vetNodes[0];
        NodeEx* pInfo = pEnvelopedData->vetNodes[2];
        Bytes value = Encode(pInfo->vetNodes[0]);
        const Bytes algorithm = Encode(pInfo->vetNodes[1]);
        value.insert(value.end(), algorithm.begin(), algorithm.end());
        value.insert(value.end(), element.begin(), element.end());
        Replace(pEnvelopedData, 2, Leaf(0x30, value));
        return Encode(root.get());
    }

    bool OpensslRefuses(const Bytes& der)
    {
        EXPECT_TRUE(WriteBytes(m_dir.File("in.der"), der));
        std::string output;
        return 0 != testutil::RunCommand("openssl cms -cmsout -inform DER -noout -in " + m_dir.File("in.der") + " 2>&1",
                                         &output);
    }

    testutil::ScopedTempDir m_dir;
};

TEST_F(ContentElementTest, OnlyAnOctetStringOrItsPiecesIsHandedOutAsContent)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const bool bContent = nullptr != c.content;
        const Bytes expected = bContent ? Bytes(c.content, c.content + strlen(c.content)) : Bytes();

        const Bytes signedData = SignedData(HexToBytes(c.element));
        EXPECT_EQ(!bContent, OpensslRefuses(signedData)) << "SignedData";
        const ParsedSignedData parsed = ParseSignedData(signedData);
        EXPECT_EQ(bContent ? QOVA_OK : QOVA_E_PKCS7_SHAPE, parsed.code);
        EXPECT_EQ(expected, parsed.content);

        // The file form names the content by its offset and size, so in one piece only.
        FilePtr file = Open(m_dir.File("in.der"));
        long long offset = -1;
        int size = -1;
        const unsigned int code = ParsePKCS7AttachedSignatureFile(file.get(), nullptr, nullptr, nullptr, nullptr,
                                                                  &offset, &size, nullptr, nullptr, nullptr, nullptr,
                                                                  nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(bContent && c.pieces <= 1 ? QOVA_OK : QOVA_E_PKCS7_SHAPE, code);
        if (QOVA_OK == code) {
            ASSERT_TRUE(offset >= 0 && size >= 0 && static_cast<size_t>(offset) + size <= signedData.size());
            EXPECT_EQ(expected, Bytes(signedData.begin() + offset, signedData.begin() + offset + size));
        }

        const Bytes envelope = Envelope(ForEnvelope(HexToBytes(c.element)));
        EXPECT_EQ(!bContent, OpensslRefuses(envelope)) << "envelope";
        Bytes copy = envelope;
        unsigned char* content = nullptr;
        int contentSize = -1;
        EXPECT_EQ(bContent ? QOVA_OK : QOVA_E_ENVELOPE_SHAPE,
                  Decode_CMSEnvelopeData(copy.data(), static_cast<int>(copy.size()), nullptr, nullptr, nullptr,
                                         nullptr, &content, &contentSize, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
        EXPECT_EQ(expected, Take(content, contentSize));

        file = Open(m_dir.File("in.der"));
        NodeEx* node = nullptr;
        EXPECT_EQ(bContent ? QOVA_OK : QOVA_E_ENVELOPE_SHAPE,
                  Decode_CMSEnvelopeFile(file.get(), nullptr, nullptr, nullptr, nullptr, &node, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr));
        const NodeExPtr contentNode(node);
        EXPECT_EQ(bContent, nullptr != node);
        if (node) {
            EXPECT_EQ(expected, Joined(node));
        }
    }
}

}  // namespace
