// Building trees, length octets, encoding to memory and to a file, limits and duplication.
#include "NodeEx.h"

#include "NodeExTestUtil.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>

using nodeex_test::Bytes;
using nodeex_test::EncodeToBytes;
using nodeex_test::EncodeToFileBytes;
using testutil::HexToBytes;

namespace {

NodeEx* Leaf(unsigned char tag, const Bytes& value)
{
    NodeEx* node = nullptr;
    EXPECT_EQ(QOVA_OK, CreateLeafNodeEx(tag, value.data(), static_cast<int>(value.size()), &node));
    return node;
}

NodeEx* Container(unsigned char tag, std::initializer_list<NodeEx*> children)
{
    NodeEx* node = nullptr;
    EXPECT_EQ(QOVA_OK, CreateContainerNodeEx(tag, &node));
    for (NodeEx* child : children)
        node->AddChild(child);
    return node;
}

// A chain of count nested SEQUENCEs, the innermost one empty.
NodeExPtr Chain(int count)
{
    NodeEx* inner = Container(0x30, {});
    for (int i = 1; i < count; ++i)
        inner = Container(0x30, {inner});
    return NodeExPtr(inner);
}

// OpenSSL's own header writer, the reference for length octets.
Bytes OpenSSLHeader(int tag, int length, int constructed = 0)
{
    Bytes out(16);
    unsigned char* p = out.data();
    ASN1_put_object(&p, constructed, length, tag, V_ASN1_UNIVERSAL);
    out.resize(static_cast<size_t>(p - out.data()));
    return out;
}

TEST(NodeExLength, LengthOctetsAreMinimalDefiniteForm)
{
    struct Case { long long length; const char* hex; };
    const Case kCases[] = {{0, "00"},           {127, "7F"},          {128, "8180"},
                           {255, "81FF"},       {256, "820100"},      {65535, "82FFFF"},
                           {65536, "83010000"}, {0xFFFFFFFF, "84FFFFFFFF"}, {0x100000000LL, "850100000000"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.length);
        unsigned char* octets = nullptr;
        const int count = EncodeASN1Length(c.length, &octets);
        const Bytes expected = HexToBytes(c.hex);
        ASSERT_EQ(static_cast<int>(expected.size()), count);
        EXPECT_EQ(expected, Bytes(octets, octets + count));
        delete[] octets;
        EXPECT_EQ(count, EncodeASN1Length(c.length, nullptr));
    }
    EXPECT_EQ(0, EncodeASN1Length(-1, nullptr));

    // Every length up to 3 octets and some beyond, against OpenSSL's header writer.
    for (long long length = 0; length < (1 << 24) + 300; length += (length < 70000 ? 1 : 4093)) {
        unsigned char* octets = nullptr;
        const int count = EncodeASN1Length(length, &octets);
        const Bytes reference = OpenSSLHeader(V_ASN1_OCTET_STRING, static_cast<int>(length));
        const bool same = Bytes(octets, octets + count) == Bytes(reference.begin() + 1, reference.end());
        delete[] octets;
        ASSERT_TRUE(same) << "length " << length;
    }
}

TEST(NodeExLength, ASN1EncodeWrapsValueInOneTLV)
{
    for (int size : {0, 1, 127, 128, 255, 256, 65536}) {
        SCOPED_TRACE(size);
        Bytes value(static_cast<size_t>(size), 0x5A);
        unsigned char* encoded = nullptr;
        int encodedLength = 0;
        ASSERT_EQ(QOVA_OK, ASN1Encode(0x04, value.data(), size, &encoded, &encodedLength));
        Bytes expected = OpenSSLHeader(V_ASN1_OCTET_STRING, size);
        expected.insert(expected.end(), value.begin(), value.end());
        EXPECT_EQ(expected, Bytes(encoded, encoded + encodedLength));
        delete[] encoded;
    }

    unsigned char* encoded = nullptr;
    int encodedLength = 0;
    unsigned char byte = 1;
    EXPECT_EQ(QOVA_E_FAIL, ASN1Encode(0x04, nullptr, 3, &encoded, &encodedLength));
    EXPECT_EQ(QOVA_E_FAIL, ASN1Encode(0x04, &byte, -1, &encoded, &encodedLength));
    EXPECT_EQ(QOVA_E_FAIL, ASN1Encode(0x04, &byte, 1, nullptr, &encodedLength));
    EXPECT_EQ(QOVA_E_FAIL, ASN1Encode(0x04, &byte, 1, &encoded, nullptr));
    EXPECT_EQ(nullptr, encoded);
}

TEST(NodeExBuild, AlgorithmIdentifierFromOidAndNullLeaves)
{
    // sha256WithRSAEncryption would need 9 octets; a 3-octet OID keeps the lengths of the example.
    NodeExPtr root(Container(0x30, {Leaf(0x06, {0x55, 0x04, 0x03}), Leaf(0x05, {})}));
    EXPECT_EQ(7u, root->ValueLength);
    EXPECT_EQ(7u, root->CurrentLength);
    EXPECT_EQ(9u, root->GetTotalRequiredSize());
    EXPECT_EQ(9u, root->GetCurrentRequiredLength());
    EXPECT_EQ(root.get(), root->vetNodes[0]->pParent);

    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(root.get(), &encoded));
    EXPECT_EQ(HexToBytes("3007 0603 550403 0500"), encoded);

    // OpenSSL reads it as an AlgorithmIdentifier with the commonName OID and NULL parameters.
    const unsigned char* p = encoded.data();
    std::unique_ptr<X509_ALGOR, decltype(&X509_ALGOR_free)> algor(d2i_X509_ALGOR(nullptr, &p, encoded.size()),
                                                                   X509_ALGOR_free);
    ASSERT_NE(nullptr, algor);
    const ASN1_OBJECT* oid = nullptr;
    int paramType = 0;
    X509_ALGOR_get0(&oid, &paramType, nullptr, algor.get());
    EXPECT_EQ(NID_commonName, OBJ_obj2nid(oid));
    EXPECT_EQ(V_ASN1_NULL, paramType);

    root->AddChild(nullptr);
    EXPECT_EQ(2u, root->vetNodes.size());
}

TEST(NodeExBuild, NestedValuesOfEveryLengthFormReadBackByOpenSSL)
{
    // SEQUENCE { OCTET STRING of each size, SET { the same again } }: OpenSSL must read the DER and
    // write exactly the same octets back.
    const int kSizes[] = {0, 1, 127, 128, 255, 256, 65535, 65536, 70000};
    NodeEx* set = Container(0x31, {});
    NodeEx* seq = Container(0x30, {});
    for (int size : kSizes) {
        Bytes value(static_cast<size_t>(size));
        for (size_t i = 0; i < value.size(); ++i)
            value[i] = static_cast<unsigned char>(i * 7 + size);
        seq->AddChild(Leaf(0x04, value));
        set->AddChild(Leaf(0x04, value));
    }
    seq->AddChild(set);
    NodeExPtr root(seq);

    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(root.get(), &encoded));
    EXPECT_EQ(root->GetCurrentRequiredLength(), encoded.size());
    EXPECT_EQ(root->GetTotalRequiredSize(), encoded.size());

    const unsigned char* p = encoded.data();
    ASN1_SEQUENCE_ANY* any = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(encoded.size()));
    ASSERT_NE(nullptr, any);
    EXPECT_EQ(static_cast<int>(std::size(kSizes)) + 1, sk_ASN1_TYPE_num(any));
    unsigned char* again = nullptr;
    const int againLength = i2d_ASN1_SEQUENCE_ANY(any, &again);
    EXPECT_EQ(encoded, Bytes(again, again + againLength));
    OPENSSL_free(again);
    sk_ASN1_TYPE_pop_free(any, ASN1_TYPE_free);

    // The file encoder writes the same octets and counts them.
    testutil::ScopedTempDir dir;
    Bytes fromFile;
    int written = 0;
    ASSERT_EQ(QOVA_OK, EncodeToFileBytes(root.get(), dir.File("tree.der"), &fromFile, &written));
    EXPECT_EQ(encoded, fromFile);
    EXPECT_EQ(static_cast<int>(encoded.size()), written);
}

TEST(NodeExEncode, RefusesBadArgumentsAndARunningBuffer)
{
    NodeExPtr root(Leaf(0x05, {}));
    unsigned char* encoded = nullptr;
    int size = 0;
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToMemory(nullptr, &encoded, &size, nullptr));
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToMemory(root.get(), nullptr, &size, nullptr));
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToMemory(root.get(), &encoded, nullptr, nullptr));
    // A buffer from an earlier call must not be written into again (its size is unknown here).
    unsigned char stale[4] = {0};
    encoded = stale;
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToMemory(root.get(), &encoded, &size, nullptr));
    encoded = nullptr;
    size = 7;
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToMemory(root.get(), &encoded, &size, nullptr));

    int written = 0;
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToFile(nullptr, stdout, &written, nullptr));
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToFile(root.get(), nullptr, &written, nullptr));
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToFile(root.get(), stdout, nullptr, nullptr));

    NodeEx* node = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, CreateLeafNodeEx(0x04, nullptr, 2, &node));
    EXPECT_EQ(QOVA_E_FAIL, CreateLeafNodeEx(0x04, stale, -1, &node));
    EXPECT_EQ(QOVA_E_FAIL, CreateFileLeafNodeEx(0x04, nullptr, 0, 1, &node));
    EXPECT_EQ(nullptr, node);
}

TEST(NodeExEncode, MemoryLimitAllowsExactlyTheMaximum)
{
    // One leaf whose TLV is exactly the limit, then one octet more.
    for (unsigned long long extra : {0ull, 1ull}) {
        SCOPED_TRACE(extra);
        const unsigned long long total = MAX_ASN1_DATA_MEMORY_SIZE + extra;
        unsigned long long valueSize = total - 2;
        while (1 + static_cast<unsigned long long>(EncodeASN1Length(static_cast<long long>(valueSize), nullptr)) +
                   valueSize > total)
            --valueSize;
        NodeExPtr leaf(new NodeEx());
        leaf->Tag = 0x04;
        leaf->pbyValue = new unsigned char[valueSize]();
        leaf->ValueLength = leaf->CurrentLength = valueSize;
        ASSERT_EQ(total, leaf->GetCurrentRequiredLength());

        unsigned char* encoded = nullptr;
        int size = 0;
        const unsigned int result = EncodeASN1ToMemory(leaf.get(), &encoded, &size, nullptr);
        if (0 == extra) {
            EXPECT_EQ(QOVA_OK, result);
            EXPECT_EQ(static_cast<int>(MAX_ASN1_DATA_MEMORY_SIZE), size);
        } else {
            EXPECT_EQ(QOVA_E_DER_TOO_LARGE, result);
            EXPECT_EQ(nullptr, encoded);
        }
        delete[] encoded;
    }
}

TEST(NodeExEncode, DepthCounterAllows128LevelsAndIsRestored)
{
    struct Case { int levels; int start; unsigned int result; };
    const Case kCases[] = {{128, 0, QOVA_OK}, {129, 0, QOVA_E_DER_TOO_DEEP}, {1, 127, QOVA_OK},
                           {1, 128, QOVA_E_DER_TOO_DEEP}, {2, 127, QOVA_E_DER_TOO_DEEP}};
    testutil::ScopedTempDir dir;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.levels);
        SCOPED_TRACE(c.start);
        NodeExPtr root = Chain(c.levels);
        int depth = c.start;
        Bytes encoded;
        EXPECT_EQ(c.result, EncodeToBytes(root.get(), &encoded, &depth));
        EXPECT_EQ(c.start, depth);

        FILE* file = fopen(dir.File("chain.der").c_str(), "wb");
        ASSERT_NE(nullptr, file);
        int written = 0;
        EXPECT_EQ(c.result, EncodeASN1ToFile(root.get(), file, &written, &depth));
        EXPECT_EQ(c.start, depth);
        fclose(file);
    }
    // Without a counter nothing limits the depth.
    NodeExPtr deep = Chain(300);
    Bytes encoded;
    EXPECT_EQ(QOVA_OK, EncodeToBytes(deep.get(), &encoded, nullptr));
}

// Hazard: the memory encoder sized its buffer from CurrentLength (0 on parsed and duplicated nodes,
// missing for file content) and copied ValueLength octets, overrunning the heap.
TEST(NodeExEncode, MemoryBufferHoldsParsedDuplicatedAndFileContentNodes)
{
    testutil::ScopedTempDir dir;
    Bytes content(200000);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<unsigned char>(i * 31);
    ASSERT_TRUE(testutil::WriteFile(dir.File("content.bin"),
                                    std::string(content.begin(), content.end())));
    FILE* contentFile = fopen(dir.File("content.bin").c_str(), "rb");
    ASSERT_NE(nullptr, contentFile);

    // File-content leaf inside a built tree: counted in CurrentLength, read when encoded.
    NodeEx* fileLeaf = nullptr;
    ASSERT_EQ(QOVA_OK, CreateFileLeafNodeEx(0x04, contentFile, 0, content.size(), &fileLeaf));
    NodeExPtr built(Container(0x30, {Leaf(0x06, {0x2A, 0x03}), Container(0xA0, {fileLeaf})}));
    EXPECT_EQ(built->GetTotalRequiredSize(), built->GetCurrentRequiredLength());
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(built.get(), &encoded));
    ASSERT_EQ(built->GetTotalRequiredSize(), encoded.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), encoded.end() - content.size()));

    // Parsed tree: CurrentLength is 0 everywhere, the values lie in the source buffer.
    NodeExPtr parsed;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(encoded, &parsed));
    EXPECT_EQ(0u, parsed->CurrentLength);
    Bytes reencoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(parsed.get(), &reencoded));
    EXPECT_SAME_BYTES(encoded, reencoded);

    // A duplicate of the parsed content node placed into a new built tree.
    NodeEx* copy = nullptr;
    ASSERT_EQ(QOVA_OK, DuplicateNodeEx(parsed->vetNodes[1], &copy, true));
    NodeExPtr mixed(Container(0x30, {Leaf(0x02, {0x01}), copy}));
    Bytes mixedEncoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(mixed.get(), &mixedEncoded));
    const NodeEx* context = parsed->vetNodes[1];
    Bytes expected = HexToBytes("02 01 01");
    expected.insert(expected.end(), encoded.begin() + (context->ValueStartPosition - 1 - context->LengthOctetsSize),
                    encoded.end());
    const Bytes header = OpenSSLHeader(V_ASN1_SEQUENCE, static_cast<int>(expected.size()), V_ASN1_CONSTRUCTED);
    expected.insert(expected.begin(), header.begin(), header.end());
    EXPECT_SAME_BYTES(expected, mixedEncoded);

    // A file leaf whose file is shorter than announced fails instead of writing garbage.
    NodeEx* shortLeaf = nullptr;
    ASSERT_EQ(QOVA_OK, CreateFileLeafNodeEx(0x04, contentFile, 100, content.size(), &shortLeaf));
    NodeExPtr shortTree(Container(0x30, {shortLeaf}));
    Bytes none;
    EXPECT_EQ(QOVA_E_FAIL, EncodeToBytes(shortTree.get(), &none));
    EXPECT_EQ(QOVA_E_FAIL, EncodeToFileBytes(shortTree.get(), dir.File("short.der"), &none));
    fclose(contentFile);
}

TEST(NodeExEncode, LeafThatAnnouncesMoreThanItHoldsWritesOnlyItsHeader)
{
    // An envelope's content node: the length is announced, the octets are streamed after it.
    NodeExPtr leaf(new NodeEx());
    leaf->Tag = 0x80;
    leaf->ValueLength = 1000;
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(leaf.get(), &encoded));
    EXPECT_EQ(HexToBytes("80 82 03 E8"), encoded);

    // The reverse (holding more than announced) would write a corrupt TLV and is refused.
    NodeExPtr bad(Leaf(0x04, {1, 2, 3}));
    bad->ValueLength = 2;
    EXPECT_EQ(QOVA_E_FAIL, EncodeToBytes(bad.get(), &encoded));
}

TEST(NodeExEncode, ReencodedBerUsesDefiniteLengthsOfWhatIsWritten)
{
    // Indefinite lengths, a non-minimal length and an end-of-contents pair: the output is DER that
    // OpenSSL reads as the same value.
    Bytes ber = HexToBytes("30 80 04 82 00 02 AA BB 30 80 02 01 05 00 00 00 00");
    NodeExPtr root;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(ber, &root));
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(root.get(), &encoded));
    EXPECT_EQ(HexToBytes("30 09 04 02 AA BB 30 03 02 01 05"), encoded);
}

// Hazard: the copy kept the original's parent pointer, which dangles once the original tree is freed.
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
    EXPECT_EQ(inner->CurrentLength, copy->CurrentLength);
    EXPECT_NE(inner->vetNodes[1]->pbyValue, copy->vetNodes[1]->pbyValue);

    original.reset();  // the copy must not refer into the freed tree
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(copy, &encoded));
    EXPECT_EQ(expected, encoded);

    // Without children the copy keeps the lengths and takes no child.
    NodeEx* shallow = nullptr;
    ASSERT_EQ(QOVA_OK, DuplicateNodeEx(copy, &shallow, false));
    NodeExPtr shallowHolder(shallow);
    EXPECT_TRUE(shallow->vetNodes.empty());
    EXPECT_EQ(copy->ValueLength, shallow->ValueLength);

    EXPECT_EQ(QOVA_E_FAIL, DuplicateNodeEx(nullptr, &shallow, true));
    EXPECT_EQ(QOVA_E_FAIL, DuplicateNodeEx(copy, nullptr, true));
}

TEST(NodeExDuplicate, CopyOfParsedNodeStillReadsItsSource)
{
    Bytes der = HexToBytes("30 0A 04 03 61 62 63 A0 03 02 01 09");
    NodeExPtr root;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(der, &root));
    NodeEx* copy = nullptr;
    ASSERT_EQ(QOVA_OK, DuplicateNodeEx(root->vetNodes[1], &copy, false));
    NodeExPtr holder(copy);
    root.reset();

    EXPECT_EQ(nullptr, copy->pParent);
    EXPECT_EQ(der.data(), copy->pbySource);
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, EncodeToBytes(copy, &encoded));
    EXPECT_EQ(HexToBytes("A0 03 02 01 09"), encoded);
}

TEST(NodeExValue, ReadsOwnBufferAndFileValuesWithinBounds)
{
    testutil::ScopedTempDir dir;
    Bytes der = HexToBytes("30 07 04 05 68 65 6C 6C 6F");
    ASSERT_TRUE(testutil::WriteFile(dir.File("v.der"), std::string(der.begin(), der.end())));
    FILE* file = fopen(dir.File("v.der").c_str(), "rb");
    ASSERT_NE(nullptr, file);

    NodeExPtr fromMemory;
    ASSERT_EQ(QOVA_OK, nodeex_test::Parse(der, &fromMemory));
    NodeEx* rawFromFile = nullptr;
    ASSERT_EQ(QOVA_OK, DecodeASN1FileEx(file, &rawFromFile));
    NodeExPtr fromFile(rawFromFile);
    NodeExPtr own(Leaf(0x04, {'h', 'e', 'l', 'l', 'o'}));

    for (const NodeEx* node : {fromMemory->vetNodes[0], fromFile->vetNodes[0], own.get()}) {
        unsigned char out[5] = {0};
        EXPECT_EQ(QOVA_OK, ReadNodeExValue(node, 0, out, 5));
        EXPECT_EQ(0, memcmp(out, "hello", 5));
        EXPECT_EQ(QOVA_OK, ReadNodeExValue(node, 3, out, 2));
        EXPECT_EQ(0, memcmp(out, "lo", 2));
        EXPECT_EQ(QOVA_E_FAIL, ReadNodeExValue(node, 3, out, 3));
        EXPECT_EQ(QOVA_E_FAIL, ReadNodeExValue(node, ULLONG_MAX, out, 2));
    }
    EXPECT_EQ(der.data() + 4, GetNodeExValuePointer(fromMemory->vetNodes[0]));
    EXPECT_EQ(nullptr, GetNodeExValuePointer(fromFile->vetNodes[0]));
    fclose(file);
}

}  // namespace
