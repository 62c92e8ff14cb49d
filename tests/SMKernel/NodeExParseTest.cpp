// Parsing from memory and lazily from a file: tree shape, limits and hostile input.
#include "NodeEx.h"

#include "NodeExTestUtil.h"
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <cstdio>
#include <string>

using nodeex_test::Bytes;
using testutil::HexToBytes;

namespace {

// Parses the same octets from memory and from a file; both must agree on the result, and on
// the tree when it succeeds.
class ParseBoth
{
public:
    explicit ParseBoth(const Bytes& der) : m_der(der)
    {
        NodeEx* raw = nullptr;
        m_memoryResult = DecodeASN1MemoryEx(m_der.data(), m_der.size(), &raw);
        m_memory.reset(raw);

        const std::string path = m_dir.File("input.der");
        if (!testutil::WriteFile(path, std::string(m_der.begin(), m_der.end())))
            ADD_FAILURE() << "cannot write " << path;
        m_file = fopen(path.c_str(), "rb");
        raw = nullptr;
        m_fileResult = DecodeASN1FileEx(m_file, &raw);
        m_fromFile.reset(raw);
    }
    ~ParseBoth()
    {
        m_fromFile.reset();
        if (m_file)
            fclose(m_file);
    }

    unsigned int Result()
    {
        EXPECT_EQ(m_memoryResult, m_fileResult) << "memory and file parsers disagree";
        if (QOVA_OK == m_memoryResult && QOVA_OK == m_fileResult)
            ExpectSameTree(m_memory.get(), m_fromFile.get());
        if (QOVA_OK != m_memoryResult) {
            EXPECT_EQ(nullptr, m_memory);
        }
        return m_memoryResult;
    }
    NodeEx* Root() { return m_memory.get(); }
    NodeEx* FileRoot() { return m_fromFile.get(); }

private:
    static void ExpectSameTree(const NodeEx* a, const NodeEx* b)
    {
        EXPECT_EQ(a->Tag, b->Tag);
        EXPECT_EQ(a->LengthOctetsSize, b->LengthOctetsSize);
        EXPECT_EQ(a->ValueLength, b->ValueLength);
        EXPECT_EQ(a->ValueStartPosition, b->ValueStartPosition);
        EXPECT_EQ(a->TotalLength, b->TotalLength);
        EXPECT_EQ(a->FileLength, b->FileLength);
        EXPECT_EQ(a->InfiniteLength, b->InfiniteLength);
        EXPECT_EQ(nullptr, b->pbySource);
        ASSERT_EQ(a->vetNodes.size(), b->vetNodes.size());
        for (size_t i = 0; i < a->vetNodes.size(); ++i)
            ExpectSameTree(a->vetNodes[i], b->vetNodes[i]);
    }

    Bytes m_der;
    testutil::ScopedTempDir m_dir;
    FILE* m_file = nullptr;
    NodeExPtr m_memory, m_fromFile;
    unsigned int m_memoryResult = 0, m_fileResult = 0;
};

// count nested SEQUENCEs around an empty one, headers written by OpenSSL.
Bytes NestedSequences(int count)
{
    Bytes der = HexToBytes("30 00");
    for (int i = 1; i < count; ++i) {
        Bytes header(8);
        unsigned char* p = header.data();
        ASN1_put_object(&p, V_ASN1_CONSTRUCTED, static_cast<int>(der.size()), V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
        header.resize(static_cast<size_t>(p - header.data()));
        der.insert(der.begin(), header.begin(), header.end());
    }
    return der;
}

TEST(NodeExParse, ShapesOfTheEngineTagRule)
{
    struct Case { const char* name; const char* hex; size_t children; };
    const Case kCases[] = {
        {"primitive context tag 0x85 is a leaf", "85 02 30 00", 0},
        {"context tag 0x8F is a leaf", "8F 02 30 00", 0},
        {"universal 0x1F is a leaf", "1F 02 30 00", 0},
        {"context 0x9F is a container", "9F 02 05 00", 1},
        {"application 0x41 is a container", "41 04 05 00 05 00", 2},
        {"private 0xC1 is a container", "C1 02 05 00", 1},
        {"constructed OCTET STRING holds its chunks", "24 06 04 01 AA 04 01 BB", 2},
        {"empty SEQUENCE", "30 00", 0},
        {"octets after the root TLV are ignored", "30 02 05 00 FF FF FF", 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ParseBoth parse(HexToBytes(c.hex));
        ASSERT_EQ(QOVA_OK, parse.Result());
        EXPECT_EQ(c.children, parse.Root()->vetNodes.size());
    }
    // A container tag over octets that are no TLV fails: 0x41's content here is not DER.
    ParseBoth notTlv(HexToBytes("41 02 AA BB"));
    EXPECT_EQ(QOVA_E_FAIL, notTlv.Result());
}

TEST(NodeExParse, IndefiniteLengthsResolveToTheirEndMarkers)
{
    {
        ParseBoth parse(HexToBytes("30 80 04 01 AA 00 00"));
        ASSERT_EQ(QOVA_OK, parse.Result());
        const NodeEx* root = parse.Root();
        ASSERT_EQ(1u, root->vetNodes.size());
        EXPECT_EQ(5u, root->ValueLength);
        EXPECT_EQ(7u, root->TotalLength);
        EXPECT_EQ(0, root->InfiniteLength);
        EXPECT_EQ(0xAA, root->pbySource[root->vetNodes[0]->ValueStartPosition]);
    }
    {
        ParseBoth parse(HexToBytes("30 80 30 80 02 01 05 00 00 04 00 00 00"));
        ASSERT_EQ(QOVA_OK, parse.Result());
        const NodeEx* root = parse.Root();
        ASSERT_EQ(2u, root->vetNodes.size());
        EXPECT_EQ(7u, root->vetNodes[0]->TotalLength);
        EXPECT_EQ(11u, root->ValueLength);
        EXPECT_EQ(13u, root->TotalLength);
    }
    {
        // An empty indefinite container ends at once.
        ParseBoth parse(HexToBytes("30 80 00 00"));
        ASSERT_EQ(QOVA_OK, parse.Result());
        EXPECT_TRUE(parse.Root()->vetNodes.empty());
        EXPECT_EQ(2u, parse.Root()->ValueLength);
        EXPECT_EQ(4u, parse.Root()->TotalLength);
    }
    {
        // An indefinite primitive runs up to and including the first pair of zero octets.
        ParseBoth parse(HexToBytes("04 80 AA 00 BB 00 00 CC"));
        ASSERT_EQ(QOVA_OK, parse.Result());
        EXPECT_EQ(5u, parse.Root()->ValueLength);
        EXPECT_EQ(7u, parse.Root()->TotalLength);
    }
}

// Hazard: an indefinite value without end marker kept length 0xFFFFFFFF and later reads ran far
// past the input.
TEST(NodeExParse, IndefiniteLengthWithoutEndMarkerFails)
{
    const char* const kInputs[] = {
        "30 80 04 01 AA",           // container, no marker at all
        "30 80 04 01 AA 00",        // half a marker
        "04 80 AA BB CC",           // primitive, no zero pair
        "04 80 AA BB 00",           // primitive, one zero at the very end
        "30 80 30 80 05 00 00 00",  // inner closed, outer not
        "30 06 24 80 04 01 AA 00 00 00",  // marker only beyond the definite parent's value
        "30 80",
    };
    for (const char* hex : kInputs) {
        SCOPED_TRACE(hex);
        ParseBoth parse(HexToBytes(hex));
        EXPECT_EQ(QOVA_E_FAIL, parse.Result());
    }
}

// Hazard: a long-form length with many octets overflowed past the range checks.
TEST(NodeExParse, LongFormLengthsAreBoundedAndOverflowFree)
{
    struct Case { const char* name; const char* hex; unsigned int result; };
    const Case kCases[] = {
        {"four octets, non-minimal but inside", "04 84 00 00 00 01 AA", QOVA_OK},
        {"five octets refused", "04 85 00 00 00 00 01 AA", QOVA_E_FAIL},
        {"eight octets that wrap a 64-bit end", "30 88 FF FF FF FF FF FF FF FF 05 00", QOVA_E_FAIL},
        {"127 octets refused", "04 FF 00 00 00", QOVA_E_FAIL},
        {"four octets claiming 4 GiB", "04 84 FF FF FF FF AA", QOVA_E_FAIL},
        {"length octets cut off", "04 82 01", QOVA_E_FAIL},
        {"no length octet", "04", QOVA_E_FAIL},
        {"root claims more than the buffer", "30 05 05 00", QOVA_E_FAIL},
        {"child runs past its parent's value", "30 03 04 02 AA BB", QOVA_E_FAIL},
        {"child long form past its parent", "30 04 04 84 7F FF FF FF 00 00", QOVA_E_FAIL},
        {"child header cut by its parent", "30 01 04 00", QOVA_E_FAIL},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ParseBoth parse(HexToBytes(c.hex));
        EXPECT_EQ(c.result, parse.Result());
    }
}

TEST(NodeExParse, NestingOf127LevelsParsesAnd128Fails)
{
    {
        ParseBoth parse(NestedSequences(127));
        ASSERT_EQ(QOVA_OK, parse.Result());
        int levels = 0;
        for (const NodeEx* node = parse.Root(); node; node = node->vetNodes.empty() ? nullptr : node->vetNodes[0])
            ++levels;
        EXPECT_EQ(127, levels);
    }
    {
        ParseBoth parse(NestedSequences(128));
        EXPECT_EQ(QOVA_E_DER_TOO_DEEP, parse.Result());
    }
    {
        // Deep nesting of indefinite containers is bounded the same way.
        Bytes der;
        for (int i = 0; i < 200; ++i)
            der.insert(der.end(), {0x30, 0x80});
        der.insert(der.end(), 400, 0x00);
        ParseBoth parse(der);
        EXPECT_EQ(QOVA_E_DER_TOO_DEEP, parse.Result());
    }
}

TEST(NodeExParse, RefusesBadArgumentsAndEmptySources)
{
    NodeEx* root = nullptr;
    unsigned char byte = 0x05;
    EXPECT_EQ(QOVA_E_FAIL, DecodeASN1MemoryEx(nullptr, 2, &root));
    EXPECT_EQ(QOVA_E_FAIL, DecodeASN1MemoryEx(&byte, 0, &root));
    EXPECT_EQ(QOVA_E_FAIL, DecodeASN1MemoryEx(&byte, 1, nullptr));
    EXPECT_EQ(QOVA_E_FAIL, DecodeASN1MemoryEx(&byte, 1, &root));
    EXPECT_EQ(QOVA_E_FAIL, DecodeASN1FileEx(nullptr, &root));

    testutil::ScopedTempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir.File("empty.der"), ""));
    FILE* empty = fopen(dir.File("empty.der").c_str(), "rb");
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(QOVA_E_FAIL, DecodeASN1FileEx(empty, &root));
    EXPECT_EQ(QOVA_E_FAIL, DecodeASN1FileEx(empty, nullptr));
    fclose(empty);
    EXPECT_EQ(nullptr, root);

    unsigned depth = 0;
    NodeEx unsourced;
    EXPECT_EQ(QOVA_E_FAIL, ParseNodeEx(nullptr, depth));
    EXPECT_EQ(QOVA_E_FAIL, ParseNodeEx(&unsourced, depth));
}

TEST(NodeExParse, FileParseKeepsOffsetsAndReadsValuesOnDemand)
{
    // A value far beyond the header window of the file reader.
    Bytes der = HexToBytes("30 83 03 00 08 04 83 03 00 00");
    der.resize(der.size() + 0x30000, 0x11);
    der.insert(der.end(), {0x02, 0x01, 0x2A});
    der.insert(der.end(), 100, 0x00);  // octets after the root are ignored
    ParseBoth parse(der);
    ASSERT_EQ(QOVA_OK, parse.Result());
    const NodeEx* fileRoot = parse.FileRoot();
    ASSERT_EQ(2u, fileRoot->vetNodes.size());
    EXPECT_EQ(der.size(), fileRoot->FileLength);
    unsigned char value = 0;
    ASSERT_EQ(QOVA_OK, ReadNodeExValue(fileRoot->vetNodes[1], 0, &value, 1));
    EXPECT_EQ(0x2A, value);

    // Re-encoding from the file writes the original octets, to memory and to another file.
    Bytes encoded;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(parse.FileRoot(), &encoded));
    EXPECT_SAME_BYTES(Bytes(der.begin(), der.begin() + fileRoot->TotalLength), encoded);
    testutil::ScopedTempDir dir;
    Bytes fromFile;
    ASSERT_EQ(QOVA_OK, nodeex_test::EncodeToFileBytes(parse.FileRoot(), dir.File("out.der"), &fromFile));
    EXPECT_SAME_BYTES(encoded, fromFile);
}

TEST(NodeExParse, ParseNodeExParsesAPreparedNode)
{
    Bytes der = HexToBytes("31 06 02 01 01 02 01 02");
    NodeEx node;
    node.pbySource = der.data();
    node.FileLength = der.size();
    node.Tag = 0x31;
    node.LengthOctetsSize = 1;
    node.ValueStartPosition = 2;
    node.ValueLength = 6;
    node.TotalLength = 8;
    unsigned depth = 0;
    ASSERT_EQ(QOVA_OK, ParseNodeEx(&node, depth));
    EXPECT_EQ(0u, depth);
    ASSERT_EQ(2u, node.vetNodes.size());
    EXPECT_EQ(&node, node.vetNodes[1]->pParent);
    EXPECT_EQ(7u, node.vetNodes[1]->ValueStartPosition);
    PrintNodeEx(&node);
}

}  // namespace
