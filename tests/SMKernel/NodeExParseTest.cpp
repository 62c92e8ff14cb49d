// Parsing from memory and lazily from a file: tree shape, limits and hostile input.
#include "NodeEx.h"

#include "AllocationProbe.h"
#include "NodeExTestUtil.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

using nodeex_test::Bytes;
using testutil::HexToBytes;

namespace {

// Parses der from memory and from a file; both parsers must give the same result and tree.
unsigned int ParseBoth(Bytes& der, NodeExPtr* root)
{
    const unsigned int result = nodeex_test::Parse(der, root);
    testutil::ScopedTempDir dir;
    EXPECT_TRUE(testutil::WriteFile(dir.File("in.der"), std::string(der.begin(), der.end())));
    FILE* file = fopen(dir.File("in.der").c_str(), "rb");
    NodeEx* raw = nullptr;
    EXPECT_EQ(result, DecodeASN1FileEx(file, &raw));
    NodeExPtr fromFile(raw);
    if (QOVA_OK == result && fromFile) {
        Bytes a, b;
        EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(root->get(), &a));
        EXPECT_EQ(QOVA_OK, nodeex_test::EncodeToBytes(fromFile.get(), &b));
        EXPECT_EQ(a, b);
        EXPECT_EQ((*root)->TotalLength, fromFile->TotalLength);
    }
    EXPECT_EQ(QOVA_OK == result, nullptr != *root);  // a failed parse hands nothing out
    fromFile.reset();
    fclose(file);
    return result;
}

TEST(NodeExParse, TagRuleAndIndefiniteLengths)
{
    struct Case { const char* name; const char* hex; size_t children; unsigned long long value, total; };
    const Case kCases[] = {
        {"primitive context tag 0x85 is a leaf", "85 02 30 00", 0, 2, 4},
        {"universal 0x1F is a leaf", "1F 02 30 00", 0, 2, 4},
        {"context 0x9F is a container", "9F 02 05 00", 1, 2, 4},
        {"application 0x41 is a container", "41 04 05 00 05 00", 2, 4, 6},
        {"constructed OCTET STRING holds its chunks", "24 06 04 01 AA 04 01 BB", 2, 6, 8},
        {"octets after the root are ignored", "30 02 05 00 FF FF", 1, 2, 4},
        {"indefinite container", "30 80 04 01 AA 00 00", 1, 5, 7},
        {"nested indefinite containers", "30 80 30 80 02 01 05 00 00 04 00 00 00", 2, 11, 13},
        {"empty indefinite container holds nothing", "30 80 00 00", 0, 0, 4},
        {"indefinite primitive up to the first zero pair", "04 80 AA 00 BB 00 00 CC", 0, 5, 7},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes der = HexToBytes(c.hex);
        NodeExPtr root;
        ASSERT_EQ(QOVA_OK, ParseBoth(der, &root));
        EXPECT_EQ(c.children, root->vetNodes.size());
        EXPECT_EQ(c.value, root->ValueLength);
        EXPECT_EQ(c.total, root->TotalLength);
        EXPECT_EQ(0, root->InfiniteLength);
    }
}

// Hazards: an indefinite value without end marker kept length 0xFFFFFFFF and later reads ran past
// the input; a long-form length of many octets overflowed past the range checks.
TEST(NodeExParse, HostileLengthsFail)
{
    const char* const kInputs[] = {
        "30 80 04 01 AA",                      // indefinite container without end marker
        "30 80 04 01 AA 00",                   // half a marker
        "04 80 AA BB 00",                      // indefinite primitive without a zero pair
        "30 80 30 80 05 00 00 00",             // inner closed, outer not
        "30 06 24 80 04 01 AA 00 00 00",       // marker only past the definite parent's value
        "04 85 00 00 00 00 01 AA",             // five length octets
        "30 88 FF FF FF FF FF FF FF FF 05 00", // eight octets that would wrap a 64-bit end
        "04 FF 00 00 00",                      // 127 length octets
        "04 84 FF FF FF FF AA",                // four octets claiming 4 GiB
        "04 82 01",                            // length octets cut off
        "04",                                  // no length octet
        "30 05 05 00",                         // root claims more than the buffer
        "30 03 04 02 AA BB",                   // child runs past its parent's value
        "30 04 04 84 7F FF FF FF 00 00",       // child long form past its parent
        "41 02 AA BB",                         // container tag over octets that are no TLV
    };
    for (const char* hex : kInputs) {
        SCOPED_TRACE(hex);
        Bytes der = HexToBytes(hex);
        NodeExPtr root;
        EXPECT_EQ(QOVA_E_FAIL, ParseBoth(der, &root));
    }
    Bytes nonMinimal = HexToBytes("04 84 00 00 00 01 AA");
    NodeExPtr root;
    EXPECT_EQ(QOVA_OK, ParseBoth(nonMinimal, &root));
}

TEST(NodeExParse, NestingOf127LevelsParsesAnd128Fail)
{
    for (int levels : {127, 128}) {
        SCOPED_TRACE(levels);
        Bytes der = HexToBytes("30 00");
        for (int i = 1; i < levels; ++i) {
            Bytes header = {0x30};
            unsigned char* octets = nullptr;
            const int count = EncodeASN1Length(static_cast<long long>(der.size()), &octets);
            header.insert(header.end(), octets, octets + count);
            delete[] octets;
            der.insert(der.begin(), header.begin(), header.end());
        }
        NodeExPtr root;
        EXPECT_EQ(127 == levels ? QOVA_OK : QOVA_E_DER_TOO_DEEP, ParseBoth(der, &root));
    }
    Bytes indefinite;
    for (int i = 0; i < 200; ++i)
        indefinite.insert(indefinite.end(), {0x30, 0x80});
    indefinite.insert(indefinite.end(), 400, 0x00);
    NodeExPtr root;
    EXPECT_EQ(QOVA_E_DER_TOO_DEEP, ParseBoth(indefinite, &root));
}

// Hazard: a definite-length container full of zero octets made one 128-byte node of every two
// octets, so 32 MiB of outside input cost over 2 GB. The parse must stop at its node budget, far
// inside a heap limit, from memory and from a file alike.
TEST(NodeExParse, ZeroFilledContainerStopsAtTheNodeBudgetInsideAMemoryLimit)
{
    Bytes der = HexToBytes("30 84 02 00 00 00");
    der.resize(der.size() + 0x2000000, 0x00);
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir.File("zeros.der"), std::string(der.begin(), der.end())));
    constexpr size_t kLimit = size_t(256) << 20;
    for (const bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "from a file" : "from memory");
        FILE* file = fromFile ? fopen(dir.File("zeros.der").c_str(), "rb") : nullptr;
        ASSERT_TRUE(!fromFile || file);
        NodeEx* raw = nullptr;
        unsigned int result = 0;
        size_t peak = 0;
        bool limitReached = false;
        {
            allocprobe::HeapWatch watch(kLimit);
            result = fromFile ? DecodeASN1FileEx(file, &raw) : DecodeASN1MemoryEx(der.data(), der.size(), &raw);
            peak = watch.PeakBytes();
            limitReached = watch.LimitReached();
        }
        delete raw;
        if (file)
            fclose(file);
        EXPECT_EQ(QOVA_E_FAIL, result);
        EXPECT_EQ(nullptr, raw);
        EXPECT_FALSE(limitReached) << "the parse ran into the heap limit of " << (kLimit >> 20) << " MiB";
        EXPECT_LT(peak, kLimit);
        RecordProperty(fromFile ? "peak_bytes_file" : "peak_bytes_memory", std::to_string(peak));
    }
}

TEST(NodeExParse, NodeBudgetCountsTheRootAndEveryChild)
{
    for (const unsigned int extra : {0u, 1u}) {
        SCOPED_TRACE(extra ? "one node over the budget" : "exactly the budget");
        const size_t children = MAX_PARSE_NODE_COUNT - 1 + extra;
        const size_t length = 2 * children;
        Bytes der = {0x30, 0x84, static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
                     static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
        for (size_t i = 0; i < children; ++i)
            der.insert(der.end(), {0x05, 0x00});
        NodeExPtr root;
        ASSERT_EQ(extra ? QOVA_E_FAIL : QOVA_OK, nodeex_test::Parse(der, &root));
        if (!extra) {
            EXPECT_EQ(children, root->vetNodes.size());
        }
    }
}

TEST(NodeExParse, FileTreeReadsValuesOnDemandWithinBounds)
{
    // The second child lies far beyond the parser's header window.
    Bytes der = HexToBytes("30 83 03 00 08 04 83 03 00 00");
    der.resize(der.size() + 0x30000, 0x11);
    der.insert(der.end(), {0x02, 0x01, 0x2A});
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir.File("v.der"), std::string(der.begin(), der.end())));
    FILE* file = fopen(dir.File("v.der").c_str(), "rb");
    NodeEx* raw = nullptr;
    ASSERT_EQ(QOVA_OK, DecodeASN1FileEx(file, &raw));
    NodeExPtr root(raw);
    ASSERT_EQ(2u, root->vetNodes.size());
    EXPECT_EQ(nullptr, GetNodeExValuePointer(root->vetNodes[1]));
    unsigned char value[2] = {0};
    EXPECT_EQ(QOVA_OK, ReadNodeExValue(root->vetNodes[1], 0, value, 1));
    EXPECT_EQ(0x2A, value[0]);
    EXPECT_EQ(QOVA_E_FAIL, ReadNodeExValue(root->vetNodes[1], 0, value, 2));
    EXPECT_EQ(QOVA_E_FAIL, ReadNodeExValue(root->vetNodes[1], ULLONG_MAX, value, 1));

    // ParseNodeEx parses a node prepared by hand the same way.
    NodeEx copy;
    copy.fpSource = file;
    copy.FileLength = der.size();
    copy.Tag = 0x30;
    copy.LengthOctetsSize = root->LengthOctetsSize;
    copy.ValueStartPosition = root->ValueStartPosition;
    copy.ValueLength = root->ValueLength;
    unsigned depth = 0;
    EXPECT_EQ(QOVA_OK, ParseNodeEx(&copy, depth));
    EXPECT_EQ(0u, depth);
    EXPECT_EQ(2u, copy.vetNodes.size());
    root.reset();
    fclose(file);
}

}  // namespace
