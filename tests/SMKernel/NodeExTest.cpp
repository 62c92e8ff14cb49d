// Building trees, length octets, encoding to memory and to a file, limits and duplication.
#include "NodeEx.h"

#include "NodeExTestUtil.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <cstring>

using nodeex_test::Bytes;
using nodeex_test::Container;
using nodeex_test::EncodeToBytes;
using nodeex_test::Leaf;
using testutil::HexToBytes;

namespace {

TEST(NodeExEncode, LengthOctetsAndSingleTLVs)
{
    struct Case { long long length; const char* hex; };
    const Case kCases[] = {{0, "00"},           {127, "7F"},     {128, "8180"},        {255, "81FF"},
                           {256, "820100"},     {65535, "82FFFF"}, {65536, "83010000"}, {0xFFFFFFFF, "84FFFFFFFF"},
                           {0x100000000LL, "850100000000"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.length);
        unsigned char* octets = nullptr;
        const int count = EncodeASN1Length(c.length, &octets);
        EXPECT_EQ(HexToBytes(c.hex), Bytes(octets, octets + count));
        delete[] octets;
        if (c.length > 70000)
            continue;
        Bytes value(static_cast<size_t>(c.length), 0x5A);
        unsigned char* encoded = nullptr;
        int encodedLength = 0;
        ASSERT_EQ(QOVA_OK, ASN1Encode(0x04, value.data(), static_cast<int>(c.length), &encoded, &encodedLength));
        Bytes expected = HexToBytes(std::string("04") + c.hex);
        expected.insert(expected.end(), value.begin(), value.end());
        EXPECT_EQ(expected, Bytes(encoded, encoded + encodedLength));
        delete[] encoded;
    }
    EXPECT_EQ(0, EncodeASN1Length(-1, nullptr));
}

TEST(NodeExEncode, BuiltTreesAreDerThatOpenSSLReadsBack)
{
    NodeExPtr algorithm(Container(0x30, {Leaf(0x06, {0x55, 0x04, 0x03}), Leaf(0x05, {})}));
    EXPECT_EQ(7u, algorithm->ValueLength);
    EXPECT_EQ(9u, algorithm->GetCurrentRequiredLength());
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(algorithm.get(), &encoded));
    EXPECT_EQ(HexToBytes("3007 0603 550403 0500"), encoded);

    // SEQUENCE { OCTET STRING of each length form, SET { the same } }: OpenSSL writes the same back.
    NodeEx* set = Container(0x31, {});
    NodeExPtr root(Container(0x30, {}));
    for (int size : {0, 1, 127, 128, 255, 256, 65535, 65536, 70000}) {
        Bytes value(static_cast<size_t>(size));
        for (size_t i = 0; i < value.size(); ++i)
            value[i] = static_cast<unsigned char>(i * 7 + size);
        root->AddChild(Leaf(0x04, value));
        set->AddChild(Leaf(0x04, value));
    }
    root->AddChild(set);
    ASSERT_EQ(QOVA_OK, EncodeToBytes(root.get(), &encoded));
    EXPECT_EQ(root->GetTotalRequiredSize(), encoded.size());
    const unsigned char* p = encoded.data();
    ASN1_SEQUENCE_ANY* any = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(encoded.size()));
    ASSERT_NE(nullptr, any);
    unsigned char* again = nullptr;
    const int againLength = i2d_ASN1_SEQUENCE_ANY(any, &again);
    EXPECT_SAME_BYTES(encoded, Bytes(again, again + againLength));
    OPENSSL_free(again);
    sk_ASN1_TYPE_pop_free(any, ASN1_TYPE_free);

    // The file encoder writes and counts the same octets; a stream it cannot write fails it.
    testutil::ScopedTempDir dir;
    Bytes fromFile;
    int written = 0;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToFileBytes(root.get(), dir.File("tree.der"), &fromFile, &written));
    EXPECT_SAME_BYTES(encoded, fromFile);
    EXPECT_EQ(static_cast<int>(encoded.size()), written);
    FILE* readOnly = fopen(dir.File("tree.der").c_str(), "rb");
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToFile(root.get(), readOnly, &written, nullptr));
    fclose(readOnly);
}

TEST(NodeExEncode, SizeAndDepthLimits)
{
    // A leaf whose TLV is exactly the memory limit, then one octet more.
    for (unsigned long long total : {0x3200000ull, 0x3200001ull}) {
        NodeExPtr leaf(new NodeEx());
        leaf->Tag = 0x04;
        leaf->ValueLength = leaf->CurrentLength = total - 6;  // tag and 5 length octets
        leaf->pbyValue = new unsigned char[leaf->ValueLength]();
        ASSERT_EQ(total, leaf->GetCurrentRequiredLength());
        Bytes encoded;
        EXPECT_EQ(total == 0x3200000 ? QOVA_OK : QOVA_E_DER_TOO_LARGE, EncodeToBytes(leaf.get(), &encoded));
        EXPECT_EQ(total == 0x3200000 ? total : 0, encoded.size());
    }

    // Nested SEQUENCEs: 128 levels from a counter at 0; the counter is back where it started.
    struct Case { int levels, start; unsigned int result; };
    for (const Case& c : {Case{128, 0, QOVA_OK}, Case{129, 0, QOVA_E_DER_TOO_DEEP}, Case{1, 127, QOVA_OK},
                          Case{2, 127, QOVA_E_DER_TOO_DEEP}}) {
        SCOPED_TRACE(std::to_string(c.levels) + " levels from " + std::to_string(c.start));
        NodeExPtr root(Container(0x30, {}));
        for (int i = 1; i < c.levels; ++i)
            root.reset(Container(0x30, {root.release()}));
        int depth = c.start;
        Bytes encoded;
        EXPECT_EQ(c.result, EncodeToBytes(root.get(), &encoded, &depth));
        EXPECT_EQ(c.start, depth);
        EXPECT_EQ(QOVA_OK, EncodeToBytes(root.get(), &encoded, nullptr));  // no counter, no limit
    }
}

// Hazard: the memory encoder sized its buffer from CurrentLength (0 on parsed and duplicated nodes,
// not counting file content) but copied ValueLength octets, overrunning the heap.
TEST(NodeExEncode, MemoryBufferFitsParsedDuplicatedAndFileContentNodes)
{
    testutil::ScopedTempDir dir;
    Bytes content(200000);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<unsigned char>(i * 31);
    ASSERT_TRUE(testutil::WriteFile(dir.File("content.bin"), std::string(content.begin(), content.end())));
    FILE* contentFile = fopen(dir.File("content.bin").c_str(), "rb");
    ASSERT_NE(nullptr, contentFile);

    NodeEx* fileLeaf = nullptr;
    ASSERT_EQ(QOVA_OK, CreateFileLeafNodeEx(0x04, contentFile, 0, content.size(), &fileLeaf));
    NodeExPtr built(Container(0x30, {Leaf(0x06, {0x2A, 0x03}), Container(0xA0, {fileLeaf})}));
    EXPECT_EQ(built->GetTotalRequiredSize(), built->GetCurrentRequiredLength());
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(built.get(), &encoded));
    ASSERT_EQ(built->GetTotalRequiredSize(), encoded.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), encoded.end() - content.size()));

    // Parsed (CurrentLength 0), then a duplicate of its [0] node inside a new built tree.
    NodeExPtr parsed;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(encoded, &parsed));
    Bytes reencoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(parsed.get(), &reencoded));
    EXPECT_SAME_BYTES(encoded, reencoded);
    NodeEx* copy = nullptr;
    ASSERT_EQ(QOVA_OK, DuplicateNodeEx(parsed->vetNodes[1], &copy, true));
    NodeExPtr mixed(Container(0x31, {copy}));
    ASSERT_EQ(QOVA_OK, EncodeToBytes(mixed.get(), &reencoded));
    // The [0] TLV starts after 30 83 xx xx xx 06 02 2A 03.
    EXPECT_SAME_BYTES(Bytes(encoded.begin() + 9, encoded.end()), Bytes(reencoded.begin() + 5, reencoded.end()));
    EXPECT_EQ(HexToBytes("31 83 03 0D 4A"), Bytes(reencoded.begin(), reencoded.begin() + 5));

    // A file shorter than announced fails; file content counts towards the memory limit.
    NodeEx* shortLeaf = nullptr;
    ASSERT_EQ(QOVA_OK, CreateFileLeafNodeEx(0x04, contentFile, 100, content.size(), &shortLeaf));
    NodeExPtr shortTree(Container(0x30, {shortLeaf}));
    EXPECT_EQ(QOVA_E_FAIL, EncodeToBytes(shortTree.get(), &reencoded));
    EXPECT_EQ(QOVA_E_FAIL, nodeex_test::EncodeToFileBytes(shortTree.get(), dir.File("short.der"), &reencoded));
    NodeEx* hugeLeaf = nullptr;
    ASSERT_EQ(QOVA_OK, CreateFileLeafNodeEx(0x04, contentFile, 0, MAX_ASN1_DATA_MEMORY_SIZE, &hugeLeaf));
    NodeExPtr hugeTree(Container(0x30, {hugeLeaf}));
    EXPECT_EQ(QOVA_E_DER_TOO_LARGE, EncodeToBytes(hugeTree.get(), &reencoded));
    fclose(contentFile);

    // A leaf may announce more than it holds (an envelope streams the rest), never hold more.
    NodeExPtr announced(new NodeEx());
    announced->Tag = 0x80;
    announced->ValueLength = 1000;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(announced.get(), &reencoded));
    EXPECT_EQ(HexToBytes("80 82 03 E8"), reencoded);
    NodeExPtr overfull(Leaf(0x04, {1, 2, 3}));
    overfull->ValueLength = 2;
    EXPECT_EQ(QOVA_E_FAIL, EncodeToBytes(overfull.get(), &reencoded));
}

TEST(NodeExEncode, ReencodedBerGetsDefiniteLengthsOfWhatIsWritten)
{
    // An empty indefinite container's end marker is no content of it: written as its value it came
    // back as a child (tag 0, length 0) of the definite copy.
    struct Case { const char* ber; const char* der; };
    const Case kCases[] = {
        {"30 80 04 82 00 02 AA BB 30 80 02 01 05 00 00 00 00", "30 09 04 02 AA BB 30 03 02 01 05"},
        {"30 80 00 00", "30 00"},
        {"30 80 30 80 00 00 05 00 00 00", "30 04 30 00 05 00"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.ber);
        Bytes ber = HexToBytes(c.ber);
        NodeExPtr root;
        ASSERT_EQ(QOVA_OK, nodeex_test::Parse(ber, &root));
        Bytes encoded;
        ASSERT_EQ(QOVA_OK, EncodeToBytes(root.get(), &encoded));
        EXPECT_EQ(HexToBytes(c.der), encoded);
    }
}

// Hazard: the copy kept the original's parent pointer, which dangles once the original is freed.
TEST(NodeExDuplicate, CopyIsAnIndependentRoot)
{
    NodeEx* inner = Container(0x30, {Leaf(0x02, {0x7F}), Leaf(0x04, {1, 2, 3})});
    NodeExPtr original(Container(0x30, {Leaf(0x05, {}), inner}));
    Bytes expected;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(inner, &expected));

    NodeEx* copy = nullptr;
    ASSERT_EQ(QOVA_OK, DuplicateNodeEx(inner, &copy, true));
    NodeExPtr holder(copy);
    EXPECT_EQ(nullptr, copy->pParent);
    ASSERT_EQ(2u, copy->vetNodes.size());
    for (NodeEx* child : copy->vetNodes)
        EXPECT_EQ(copy, child->pParent);
    EXPECT_EQ(inner->ValueLength, copy->ValueLength);
    EXPECT_NE(inner->vetNodes[1]->pbyValue, copy->vetNodes[1]->pbyValue);
    original.reset();
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(copy, &encoded));
    EXPECT_EQ(expected, encoded);

    // A shallow copy of a parsed container still encodes its value from the source.
    Bytes der = HexToBytes("30 0A 04 03 61 62 63 A0 03 02 01 09");
    NodeExPtr parsed;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(der, &parsed));
    NodeEx* shallow = nullptr;
    ASSERT_EQ(QOVA_OK, DuplicateNodeEx(parsed->vetNodes[1], &shallow, false));
    NodeExPtr shallowHolder(shallow);
    parsed.reset();
    EXPECT_TRUE(shallow->vetNodes.empty());
    ASSERT_EQ(QOVA_OK, EncodeToBytes(shallow, &encoded));
    EXPECT_EQ(HexToBytes("A0 03 02 01 09"), encoded);
}

}  // namespace
