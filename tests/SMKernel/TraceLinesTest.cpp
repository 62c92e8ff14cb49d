// The trace lines of the Base64 wrappers and the DER engine as they reach a log: steps in order,
// the failing step's line with its code and reason, the parser's own texts and levels.
#include "Base64.h"
#include "LogTestUtil.h"
#include "NodeEx.h"
#include "NodeExTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using Records = std::vector<std::string>;
using nodeex_test::Bytes;
using nodeex_test::Container;
using nodeex_test::Leaf;

const std::string kBase64 = "[src/SMKernel/Base64.cpp(N)";
const std::string kNodeEx = "[src/SMKernel/NodeEx.cpp(N)";

std::string Ok(const std::string& file, const std::string& func, const std::string& step)
{
    return "INFO " + file + "]:(" + func + " -- " + step + ")\t\t--OK\n";
}

std::string Failed(const std::string& file, const std::string& func, const std::string& step, const std::string& code,
                   const std::string& reason)
{
    return "ERROR " + file + ":](" + func + " -- " + step + ")\t\t--Failed:(" + code + ") [Reason:" + reason + "]\n";
}

std::string Join(const Records& records)
{
    std::string text;
    for (const std::string& record : records)
        text += record + "|\n";
    return text;
}

class SMKernelTraceTest : public ::testing::Test
{
protected:
    logtest::TraceCapture m_trace;
};

// A wrapper call that fails at one of its steps: every step before it writes its OK line, the
// failing one its Failed line, and nothing follows.
struct StepFailure
{
    const char* name;
    std::function<unsigned int()> call;
    size_t failingStep;  // index into the function's steps
    std::string code;
    std::string reason;
};

void CheckStepFailures(logtest::TraceCapture& trace, const std::string& file, const std::string& func,
                       const Records& steps, const std::vector<StepFailure>& cases)
{
    for (const StepFailure& c : cases) {
        SCOPED_TRACE(c.name);
        trace.Mark();
        EXPECT_EQ(std::stoul(c.code, nullptr, 16), c.call());
        Records expected;
        for (size_t i = 0; i < c.failingStep; ++i)
            expected.push_back(Ok(file, func, steps[i]));
        expected.push_back(Failed(file, func, steps[c.failingStep], c.code, c.reason));
        EXPECT_EQ(expected, trace.Records());
    }
}

TEST_F(SMKernelTraceTest, Base64EncodeStepsAndTheirReasons)
{
    const Records kSteps = {"Check ppBase64EncodeStr", "Check Base64 flag parameter.", "Base64EncodeGetRequiredLength",
                            "New memory", "Base64Encode"};
    unsigned char abc[] = {'a', 'b', 'c'};
    auto Encode = [](unsigned char* data, int size, unsigned long flags) {
        char* text = nullptr;
        const unsigned int code = Base64EncodeEx(data, size, &text, nullptr, flags);
        delete[] text;
        return code;
    };
    const std::vector<StepFailure> kCases = {
        {"no output", [&] { return Base64EncodeEx(abc, 3, nullptr, nullptr, ATL_BASE64_FLAG_NONE); }, 0,
         "0x80070057", "NULL == ppBase64EncodedStr"},
        {"flags 3", [&] { return Encode(abc, 3, 3); }, 1, "0x80070057",
         "ATL_BASE64_FLAG_NONE != dwFlags && ATL_BASE64_FLAG_NOPAD != dwFlags && ATL_BASE64_FLAG_NOCRLF != dwFlags"},
        {"nothing to encode on one line", [&] { return Encode(abc, 0, ATL_BASE64_FLAG_NOCRLF); }, 2, "0xa0071004",
         "nBase64Length <= 0"},
        {"no data", [&] { return Encode(nullptr, 3, ATL_BASE64_FLAG_NONE); }, 4, "0xa0071004", "false == bSuccess"},
    };
    CheckStepFailures(m_trace, kBase64, "Base64EncodeEx", kSteps, kCases);

    m_trace.Mark();
    EXPECT_EQ(QOVA_OK, Encode(abc, 3, ATL_BASE64_FLAG_NONE));
    Records expected;
    for (const std::string& step : kSteps)
        expected.push_back(Ok(kBase64, "Base64EncodeEx", step));
    EXPECT_EQ(expected, m_trace.Records());
}

TEST_F(SMKernelTraceTest, Base64DecodeStepsAndTheirReasons)
{
    const Records kSteps = {"Check parameter", "Base64DecodeGetRequiredLength", "New memory", "Base64Decode"};
    auto Decode = [](const char* text, int size) {
        unsigned char* data = nullptr;
        int nSize = 0;
        const unsigned int code = Base64DecodeEx(text, size, &data, &nSize);
        delete[] data;
        return code;
    };
    const std::vector<StepFailure> kCases = {
        {"no outputs", [] { return Base64DecodeEx("YWJj", 4, nullptr, nullptr); }, 0, "0x80070057",
         "NULL == ppbyData || NULL == pnDataSize"},
        {"length 0", [&] { return Decode("YWJj", 0); }, 1, "0xa0071005", "nDecodeDataSize <= 0"},
        {"no text", [&] { return Decode(nullptr, 4); }, 3, "0xa0071005", "false == bSuccess"},
    };
    CheckStepFailures(m_trace, kBase64, "Base64DecodeEx", kSteps, kCases);

    m_trace.Mark();
    EXPECT_EQ(QOVA_OK, Decode("YWJj", 4));
    Records expected;
    for (const std::string& step : kSteps)
        expected.push_back(Ok(kBase64, "Base64DecodeEx", step));
    EXPECT_EQ(expected, m_trace.Records());
}

NodeExPtr Nested(int levels)
{
    NodeExPtr root(Container(0x30, {}));
    for (int i = 1; i < levels; ++i)
        root.reset(Container(0x30, {root.release()}));
    return root;
}

// Both encoders on one tree: to memory and to a file of the test's directory.
unsigned int ToMemory(NodeEx* node, int* depth)
{
    unsigned char* encoded = nullptr;
    int size = 0;
    const unsigned int code = EncodeASN1ToMemory(node, &encoded, &size, depth);
    delete[] encoded;
    return code;
}

unsigned int ToFile(NodeEx* node, int* depth)
{
    testutil::ScopedTempDir dir;
    FILE* file = fopen(dir.File("out.der").c_str(), "w+b");
    int count = 0;
    const unsigned int code = EncodeASN1ToFile(node, file, &count, depth);
    fclose(file);
    return code;
}

TEST_F(SMKernelTraceTest, EncoderFailuresAreTracedInTheEncodersName)
{
    struct Case
    {
        const char* name;
        std::function<NodeExPtr(FILE* source)> tree;
        bool withDepth;
        unsigned int code;
        // The last lines, with "%F" for the encoder's name.
        Records tail;
    };
    const std::string kFail = "0xffffffff";
    const Case kCases[] = {
        {"129 levels", [](FILE*) { return Nested(129); }, true, 0xA0071102u,
         {Failed(kNodeEx, "%F", "Check recursive deep level", "0xa0071102",
                 "*pnCurrentDeepLevel > MAX_RECURSIVE_DEEP_LEVEL")}},
        // File content that is not there: the failing read, then each enclosing level.
        {"source file too short",
         [](FILE* source) {
             NodeEx* content = nullptr;
             EXPECT_EQ(QOVA_OK, CreateFileLeafNodeEx(0x04, source, 0, 16, &content));
             return NodeExPtr(Container(0x30, {Leaf(0x06, {0x2A, 0x03}), Container(0xA0, {content})}));
         },
         false, 0xFFFFFFFFu,
         {Ok(kNodeEx, "%F", "fseek"), Failed(kNodeEx, "%F", "fread", kFail, "%R"),
          Failed(kNodeEx, "%F", "EncodeASN1Memory", kFail, "QOVA_OK != nResult"),
          Failed(kNodeEx, "%F", "EncodeASN1Memory", kFail, "QOVA_OK != nResult")}},
    };
    struct Encoder
    {
        const char* func;
        unsigned int (*encode)(NodeEx*, int*);
        const char* freadReason;
    };
    const Encoder kEncoders[] = {
        {"EncodeASN1ToMemory", ToMemory, "nRead != nChunk"},
        {"EncodeASN1ToFile", ToFile, "fread(buffer.get(), 1, nChunk, file) != nChunk"},
    };
    testutil::ScopedTempDir dir;
    for (const Encoder& e : kEncoders) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(e.func) + ": " + c.name);
            FILE* source = fopen(dir.File("short").c_str(), "w+b");
            ASSERT_NE(nullptr, source);
            fputs("short", source);
            NodeExPtr tree = c.tree(source);
            m_trace.Mark();
            int depth = 0;
            EXPECT_EQ(c.code, e.encode(tree.get(), c.withDepth ? &depth : nullptr));
            fclose(source);
            const Records records = m_trace.Records();
            ASSERT_LE(c.tail.size(), records.size()) << Join(records);
            for (size_t i = 0; i < c.tail.size(); ++i) {
                std::string line = testutil::ReplaceAll(c.tail[i], "%F", e.func);
                line = testutil::ReplaceAll(line, "%R", e.freadReason);
                EXPECT_EQ(line, records[records.size() - c.tail.size() + i]) << i;
            }
        }
    }

    // The argument checks of each encoder and their own reasons.
    m_trace.Mark();
    int size = 0;
    unsigned char* encoded = nullptr;
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToMemory(nullptr, &encoded, &size, nullptr));
    EXPECT_EQ(QOVA_E_FAIL, EncodeASN1ToFile(nullptr, nullptr, &size, nullptr));
    const Records expected = {
        Failed(kNodeEx, "EncodeASN1ToMemory", "Check parameter", kFail,
               "NULL == pNode || NULL == ppEncodedData || NULL == pnEncodedDataSize"),
        Failed(kNodeEx, "EncodeASN1ToFile", "Check parameter", kFail,
               "NULL == pNode || NULL == fpOutFile || NULL == pnEncodedDataSize")};
    EXPECT_EQ(expected, m_trace.Records());
}

TEST_F(SMKernelTraceTest, MemoryLimitIsTheSizeStepOfTheMemoryEncoder)
{
    NodeExPtr leaf(new NodeEx());
    leaf->Tag = 0x04;
    leaf->ValueLength = leaf->CurrentLength = 0x3200001ull - 6;  // tag and 5 length octets
    leaf->pbyValue = new unsigned char[leaf->ValueLength]();
    EXPECT_EQ(QOVA_E_DER_TOO_LARGE, ToMemory(leaf.get(), nullptr));
    const Records records = m_trace.Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(Failed(kNodeEx, "EncodeASN1ToMemory", "Check ASN.1 data size", "0xa0071101",
                     "MAX_ASN1_DATA_MEMORY_SIZE < nCurrentRequiredLength"),
              records.back());
}

TEST_F(SMKernelTraceTest, SingleTlvAndDuplicationSteps)
{
    unsigned char value[] = {0x01, 0x02};
    unsigned char* encoded = nullptr;
    int size = 0;
    EXPECT_EQ(QOVA_OK, ASN1Encode(0x04, value, 2, &encoded, &size));
    delete[] encoded;
    EXPECT_EQ(QOVA_E_FAIL, ASN1Encode(0x04, value, 2, nullptr, &size));
    const std::string kAsn1Encode = "ASN1Encode";
    Records expected = {Ok(kNodeEx, kAsn1Encode, "Check parameter"), Ok(kNodeEx, kAsn1Encode, "EncodeASN1Length"),
                        Ok(kNodeEx, kAsn1Encode, "New memory"),
                        Failed(kNodeEx, kAsn1Encode, "Check parameter", "0xffffffff",
                               "NULL == encoded || NULL == encodedLength || valueLength < 0 || "
                               "(NULL == value && 0 != valueLength)")};
    EXPECT_EQ(expected, m_trace.Records());

    // Each child is copied with its own steps before the parent's "DuplicateNodeEx" line for it.
    NodeExPtr tree(Container(0x30, {Leaf(0x02, {0x05}), Container(0x31, {})}));
    m_trace.Mark();
    NodeEx* copy = nullptr;
    EXPECT_EQ(QOVA_OK, DuplicateNodeEx(tree.get(), &copy, true));
    delete copy;
    EXPECT_EQ(QOVA_E_FAIL, DuplicateNodeEx(nullptr, &copy, true));
    const std::string kDup = "DuplicateNodeEx";
    const Records kNodeSteps = {Ok(kNodeEx, kDup, "Check parameter"), Ok(kNodeEx, kDup, "Check parameter"),
                                Ok(kNodeEx, kDup, "new NodeEx()")};
    expected = kNodeSteps;                                           // the SEQUENCE
    expected.insert(expected.end(), kNodeSteps.begin(), kNodeSteps.end());  // the INTEGER
    expected.push_back(Ok(kNodeEx, kDup, "New memory"));                     // its value
    expected.push_back(Ok(kNodeEx, kDup, "DuplicateNodeEx"));
    expected.insert(expected.end(), kNodeSteps.begin(), kNodeSteps.end());  // the SET
    expected.push_back(Ok(kNodeEx, kDup, "DuplicateNodeEx"));
    expected.push_back(Failed(kNodeEx, kDup, "Check parameter", "0xffffffff", "NULL == pExistingNode"));
    EXPECT_EQ(expected, m_trace.Records());
}

TEST_F(SMKernelTraceTest, ParserTextsAndLevels)
{
    struct Case
    {
        const char* name;
        std::string hex;
        Records expected;  // "%ROOT": the decoder's own root failure text
    };
    const Case kCases[] = {
        // The root claims five value octets; two are there.
        {"root longer than the buffer", "30050201",
         {"INFO Tag value:0x30", "INFO Value length start position:0x1", "INFO Value length first byte value:0x5",
          "INFO Value Length:0x5 ", "ERROR [GetASN1ValueLengthEx(N)]: value end position is greater than end position",
          "%ROOT"}},
        {"long form past the end", "3082",
         {"INFO Tag value:0x30", "INFO Value length start position:0x1", "INFO Value length first byte value:0x82",
          "ERROR [GetASN1ValueLengthEx(N)]: value length is great than total length", "%ROOT"}},
        {"a tag alone", "30",
         {"INFO Tag value:0x30", "INFO Value length start position:0x1",
          "ERROR [GetASN1ValueLengthEx(N)]: start position is great than end position", "%ROOT"}},
    };
    struct Decoder
    {
        const char* rootFailure;
        unsigned int (*decode)(Bytes&, NodeEx**);
    };
    const Decoder kDecoders[] = {
        {"ERROR Parse ASN.1 root node failed",
         [](Bytes& data, NodeEx** root) { return DecodeASN1MemoryEx(data.data(), data.size(), root); }},
        {"ERROR Parse ASN1 root node failed",
         [](Bytes& data, NodeEx** root) {
             FILE* file = tmpfile();
             fwrite(data.data(), 1, data.size(), file);
             const unsigned int code = DecodeASN1FileEx(file, root);
             fclose(file);
             return code;
         }},
    };
    for (const Decoder& d : kDecoders) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(d.rootFailure) + ": " + c.name);
            Bytes data = testutil::HexToBytes(c.hex);
            m_trace.Mark();
            NodeEx* root = nullptr;
            EXPECT_EQ(QOVA_E_FAIL, d.decode(data, &root));
            delete root;
            Records expected = c.expected;
            expected.back() = d.rootFailure;
            Records records = m_trace.Records();
            // The file decoder's own steps come first.
            records.erase(records.begin(),
                          std::find(records.begin(), records.end(), std::string("INFO Tag value:0x30")));
            EXPECT_EQ(expected, records);
        }
    }
}

TEST_F(SMKernelTraceTest, ParserDepthLimitAndChildFailures)
{
    // 128 levels: the innermost is refused, and each level above reports its failed child.
    Bytes deep;
    for (int i = 0; i < 127; ++i) {
        deep.push_back(0x30);
        deep.push_back(0x80);
    }
    deep.push_back(0x30);
    deep.push_back(0x00);
    deep.insert(deep.end(), 2 * 127, 0x00);
    NodeEx* root = nullptr;
    EXPECT_EQ(QOVA_E_DER_TOO_DEEP, DecodeASN1MemoryEx(deep.data(), deep.size(), &root));
    delete root;
    Records records = m_trace.Records();
    const auto tooDeep = std::find(records.begin(), records.end(), "ERROR Too deeply recursive calling(count):128");
    ASSERT_NE(records.end(), tooDeep) << Join(records);
    EXPECT_EQ("INFO [ParseNodeEx(N)]: CurrentDeepLevel =128", *(tooDeep - 1));
    EXPECT_EQ(Records(127, "ERROR ParseNodeEx failed"), Records(tooDeep + 1, tooDeep + 128));
    EXPECT_EQ("INFO Current recursive deep level:0", records.back());
    EXPECT_EQ(tooDeep + 129, records.end());

    // A child that runs past its parent's value.
    m_trace.Mark();
    Bytes overrun = testutil::HexToBytes("3003040500aa");
    EXPECT_EQ(QOVA_E_FAIL, DecodeASN1MemoryEx(overrun.data(), overrun.size(), &root));
    delete root;
    records = m_trace.Records();
    // The root is made, in the decoder's name, before its children are read.
    EXPECT_NE(records.end(), std::find(records.begin(), records.end(),
                                       Ok("[src/SMKernel/NodeExParse.cpp(N)", "DecodeASN1MemoryEx", "new NodeEx()")));
    ASSERT_LE(2u, records.size());
    EXPECT_EQ("ERROR [GetASN1ValueLengthEx(N)]: value end position is greater than end position",
              records[records.size() - 2]);
    EXPECT_EQ("INFO Current recursive deep level:0", records.back());
}

TEST_F(SMKernelTraceTest, PrintNodeExNamesPrimitiveValues)
{
    Bytes data = testutil::HexToBytes("30050403aabbcc");
    NodeEx* raw = nullptr;
    ASSERT_EQ(QOVA_OK, DecodeASN1MemoryEx(data.data(), data.size(), &raw));
    NodeExPtr root(raw);
    m_trace.Mark();
    PrintNodeEx(root.get());
    PrintNodeEx(root->vetNodes[0]);
    const Records expected = {"INFO Tag:0x30  ;Value Length:0x5   ;Value Start Position:0x2",
                              "INFO Primitive ASN.1 value",
                              "INFO Tag:0x4  ;Value Length:0x3   ;Value Start Position:0x4"};
    EXPECT_EQ(expected, m_trace.Records());
}

}  // namespace
