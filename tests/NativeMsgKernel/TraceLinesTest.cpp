// The trace lines of the frame reader and writer and of the JSON messages, as they reach a log.
#include "AllocationProbe.h"
#include "IOStream.h"
#include "JSONHolders.h"
#include "JSONUtility.h"
#include "LogTestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Records = std::vector<std::string>;

const std::string kIOStream = "[src/NativeMsgKernel/IOStream.cpp(N)";
const std::string kJSON = "[src/NativeMsgKernel/JSONUtility.cpp(N)";

std::string Enter(const std::string& func)
{
    return "INFO ------------------------> (" + func + ")";
}

std::string Leave(const std::string& func)
{
    return "INFO <------------------------ (" + func + ")";
}

std::string Ok(const std::string& file, const std::string& func, const std::string& step)
{
    return "INFO " + file + "]:(" + func + " -- " + step + ")\t\t--OK\n";
}

std::string Failed(const std::string& file, const std::string& func, const std::string& step, const std::string& code,
                   const std::string& reason)
{
    return "ERROR " + file + ":](" + func + " -- " + step + ")\t\t--Failed:(" + code + ") [Reason:" + reason + "]\n";
}

bool Has(const Records& records, const std::string& record)
{
    return records.end() != std::find(records.begin(), records.end(), record);
}

// A descriptor to read from that holds `input` and then ends.
class Input
{
public:
    explicit Input(const std::string& input)
    {
        EXPECT_EQ(0, pipe2(m_fds, O_CLOEXEC));
        EXPECT_EQ(static_cast<ssize_t>(input.size()), write(m_fds[1], input.data(), input.size()));
        close(m_fds[1]);
    }
    ~Input() { close(m_fds[0]); }
    int Fd() const { return m_fds[0]; }

private:
    int m_fds[2] = {-1, -1};
};

unsigned int ReadAndRelease(int fd)
{
    char* pszMsg = nullptr;
    int nLength = 0;
    const unsigned int code = ReadFromNativeMessaging(fd, &pszMsg, &nLength);
    delete[] pszMsg;
    return code;
}

class FrameTraceTest : public ::testing::Test
{
protected:
    logtest::TraceCapture m_trace;
};

// Hazard: the orderly ends that are faults (a body cut short, a length over the cap, no memory for
// the body) were written as "--Failed:(0x00000000)", so a search of the log for failures could not
// tell them from success. Each line now carries the code of what went wrong.
TEST_F(FrameTraceTest, ReaderBracketsAFrameAndReportsEveryDisconnect)
{
    const std::string kFunc = "ReadFromNativeMessaging";
    struct Case
    {
        const char* name;
        std::string input;
        Records inside;  // between the scope's entry and exit lines
    };
    const Case kCases[] = {
        {"a frame", "\x02\x00\x00\x00{}"s,
         {Ok(kIOStream, kFunc, "Check nMsgLen"), Ok(kIOStream, kFunc, "New memory"), Ok(kIOStream, kFunc, "read")}},
        {"length 0", "\x00\x00\x00\x00"s, {"INFO Disconnect msg!"}},
        {"length FF FF FF FF", "\xFF\xFF\xFF\xFF"s, {"INFO Disconnect msg!"}},
        {"end of input before the header", "", {"INFO Disconnect msg!"}},
        // The body never comes: the conversation ends instead of waiting.
        {"end of input inside the body", "\x05\x00\x00\x00{}"s,
         {Ok(kIOStream, kFunc, "Check nMsgLen"), Ok(kIOStream, kFunc, "New memory"),
          Failed(kIOStream, kFunc, "read", "0x8007001e", "IoEnd::Eof == end"), "INFO Disconnect msg!"}},
        {"length over the cap", "\x01\x00\x00\x04{}"s,
         {Failed(kIOStream, kFunc, "Check nMsgLen", "0x8007000d", "nMsgLen > NATIVE_MSG_MAX_INCOMING_SIZE"),
          "INFO Disconnect msg!"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        m_trace.Mark();
        Input input(c.input);
        EXPECT_EQ(0u, ReadAndRelease(input.Fd()));
        Records expected = {Enter(kFunc)};
        expected.insert(expected.end(), c.inside.begin(), c.inside.end());
        expected.push_back(Leave(kFunc));
        EXPECT_EQ(expected, m_trace.Records());
    }
}

TEST_F(FrameTraceTest, NoMemoryForTheBodyIsAFailedLineWithItsCode)
{
    const std::string kFunc = "ReadFromNativeMessaging";
    Input input("\x00\x00\x10\x00{}"s);  // 1 MiB announced
    m_trace.Mark();
    {
        allocprobe::HeapWatch watch(size_t(64) << 10);
        EXPECT_EQ(0u, ReadAndRelease(input.Fd()));
        EXPECT_TRUE(watch.LimitReached());
    }
    const Records expected = {Enter(kFunc), Ok(kIOStream, kFunc, "Check nMsgLen"),
                              Failed(kIOStream, kFunc, "New memory", "0xffffffff", "nullptr == msg"),
                              "INFO Disconnect msg!", Leave(kFunc)};
    EXPECT_EQ(expected, m_trace.Records());
}

TEST_F(FrameTraceTest, ReadErrorInsideTheBodyIsAnErrorLineWithErrno)
{
    // The peer closes with unread data of its own: ECONNRESET once the queued bytes are consumed.
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    const std::string queued = "\x0A\x00\x00\x00" "abc"s;
    ASSERT_EQ(static_cast<ssize_t>(queued.size()), write(sv[1], queued.data(), queued.size()));
    ASSERT_EQ(6, write(sv[0], "unread", 6));
    close(sv[1]);
    EXPECT_EQ(static_cast<unsigned int>(ECONNRESET), ReadAndRelease(sv[0]));
    close(sv[0]);

    const Records records = m_trace.Records();
    ASSERT_LE(2u, records.size());
    EXPECT_EQ("ERROR read: " + std::to_string(ECONNRESET), records[records.size() - 2]);
    EXPECT_EQ(Leave("ReadFromNativeMessaging"), records.back());
}

TEST_F(FrameTraceTest, WriterTracesItsMemoryAndWriteSteps)
{
    const std::string kFunc = "WriteToNativeMessaging";
    const std::string kReason = "nWriteSize != nWriteBufSize";
    const std::string kOneMiB(1048576, 'x');
    struct Case
    {
        const char* name;
        std::string text;
        bool readerGone;  // the descriptor refuses every byte
        unsigned int code;
        std::string writeLine;
    };
    const Case kCases[] = {
        {"frame written", "{}", false, 0, Ok(kIOStream, kFunc, "write")},
        {"longest frame written", kOneMiB, false, 0, Ok(kIOStream, kFunc, "write")},
        // The end marker goes out, but the call still fails: the text itself was not sent.
        {"text too long, end marker written", kOneMiB + "x", false, 0xFFFFFFFFu, Ok(kIOStream, kFunc, "write")},
        {"reader gone", "{}", true, 0xFFFFFFFFu, Failed(kIOStream, kFunc, "write", "0xffffffff", kReason)},
        {"reader gone, text too long", kOneMiB + "x", true, 0xFFFFFFFFu,
         Failed(kIOStream, kFunc, "write", "0xffffffff", kReason)},
    };
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);  // a closed reader shows as EPIPE
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        m_trace.Mark();
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
        close(fds[0]);
        // A regular file takes any size at once; the pipe without reader refuses.
        testutil::ScopedTempDir dir;
        const int fd = c.readerGone ? fds[1] : open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_LE(0, fd);
        EXPECT_EQ(c.code, WriteToNativeMessaging(fd, c.text.c_str()));
        if (fd != fds[1])
            close(fd);
        close(fds[1]);
        const Records expected = {Enter(kFunc), Ok(kIOStream, kFunc, "Check pszMsg"),
                                  Ok(kIOStream, kFunc, "New memory"), c.writeLine, Leave(kFunc)};
        EXPECT_EQ(expected, m_trace.Records());
    }
    sigaction(SIGPIPE, &old, nullptr);
}

// One call of a JSON operation, the code it returns, and the line it must write.
struct JsonCase
{
    const char* name;
    std::function<unsigned int()> call;
    unsigned int code;
    std::string func;
    std::string line;  // the failing step's line; empty for a successful call
};

unsigned int Split(const char* request)
{
    char* pszRandomId = nullptr;
    char* pszFuncName = nullptr;
    cJSON* pParams = nullptr;
    const unsigned int code = ParseRequestMsgToJSON(request, &pszRandomId, &pszFuncName, &pParams);
    delete[] pszRandomId;
    delete[] pszFuncName;
    cJSON_Delete(pParams);
    return code;
}

using Reader = unsigned int (*)(const char* params, int index);

unsigned int ReadText(const char* params, int index)
{
    CJsonPtr list(cJSON_Parse(params));
    char* pszItem = nullptr;
    const unsigned int code = ConverJSONArrayItemtoNULLEndString(list.get(), index, &pszItem);
    delete[] pszItem;
    return code;
}

unsigned int ReadBool(const char* params, int index)
{
    CJsonPtr list(cJSON_Parse(params));
    bool value = false;
    return ConverJSONArrayItemtobool(list.get(), index, &value);
}

unsigned int ReadInt(const char* params, int index)
{
    CJsonPtr list(cJSON_Parse(params));
    int value = 0;
    return ConverJSONArrayItemtoint(list.get(), index, &value);
}

unsigned int Construct(const char* name, unsigned int type, const void* value)
{
    cJSON* pResponse = nullptr;
    const unsigned int code = ConstructResponseJSON(name, 0, type, value, &pResponse);
    cJSON_Delete(pResponse);
    return code;
}

class JsonTraceTest : public ::testing::Test
{
protected:
    logtest::TraceCapture m_trace;
};

TEST_F(JsonTraceTest, EachRefusalEndsItsScopeWithTheFailedLineAndItsReason)
{
    const std::string kSplit = "ParseRequestMsgToJSON";
    const std::string kText = "ConverJSONArrayItemtoNULLEndString";
    const std::string kBool = "ConverJSONArrayItemtobool";
    const std::string kInt = "ConverJSONArrayItemtoint";
    const std::string kConstruct = "ConstructResponseJSON";
    const std::string kBadArg = "0x80070057";
    const std::string kFail = "0xffffffff";
    const std::string kWrongType = "0xa0073204";
    const double number = 1.5;
    const JsonCase kCases[] = {
        {"empty request", [] { return Split(""); }, 0x80070057u, kSplit,
         Failed(kJSON, kSplit, "Check pszRequestMsg", kBadArg,
                "(NULL == pszRequestMsg || 0 == strlen(pszRequestMsg))")},
        {"not JSON", [] { return Split("{\"function\":"); }, 0xFFFFFFFFu, kSplit,
         Failed(kJSON, kSplit, "cJSON_Parse", kFail, "NULL == pJsonRoot")},
        {"no function", [] { return Split("{\"params\":[]}"); }, 0xFFFFFFFFu, kSplit,
         Failed(kJSON, kSplit, "Get function", kFail, "NULL == pFunction")},
        {"function not a string", [] { return Split("{\"function\":7,\"params\":[]}"); }, 0xFFFFFFFFu, kSplit,
         Failed(kJSON, kSplit, "Get function name", kFail, "NULL == pszUTF8FuncName")},
        {"no params", [] { return Split("{\"function\":\"F\"}"); }, 0xFFFFFFFFu, kSplit,
         Failed(kJSON, kSplit, "Get params", kFail, "NULL == pParamsArray")},
        {"randomId not a string", [] { return Split("{\"function\":\"F\",\"params\":[],\"randomId\":9}"); },
         0xFFFFFFFFu, kSplit, Failed(kJSON, kSplit, "Get randomId", kFail, "NULL == pszUTF8RandomId")},
        {"no list", [] { return ReadText("", 0); }, 0x80070057u, kText,
         Failed(kJSON, kText, "Check pJSONArray", kBadArg, "(NULL == pJSONArray || nIndex < 0)")},
        {"negative index", [] { return ReadBool("[true]", -1); }, 0x80070057u, kBool,
         Failed(kJSON, kBool, "Check pJSONArray", kBadArg, "(NULL == pJSONArray || nIndex < 0)")},
        {"index past the items", [] { return ReadInt("[1,2,3]", 3); }, 0x80070057u, kInt,
         Failed(kJSON, kInt, "cJSON_GetArraySize", kBadArg, "(0 == nCount || nCount <= nIndex)")},
        {"params without items", [] { return ReadText("\"x\"", 0); }, 0x80070057u, kText,
         Failed(kJSON, kText, "cJSON_GetArraySize", kBadArg, "(0 == nCount || nCount <= nIndex)")},
        {"text item a number", [] { return ReadText("[5]", 0); }, 0xA0073204u, kText,
         Failed(kJSON, kText, "Check item type", kWrongType, "cJSON_String != pJSONItem->type")},
        {"text param a number", [] { return ReadText("[{\"param\":5}]", 0); }, 0xA0073204u, kText,
         Failed(kJSON, kText, "Check param type", kWrongType, "cJSON_String != nItemType")},
        {"bool item a text", [] { return ReadBool("[\"true\"]", 0); }, 0xA0073204u, kBool,
         Failed(kJSON, kBool, "Check item type", kWrongType, "(cJSON_True != nItemType && cJSON_False != nItemType)")},
        {"int param missing", [] { return ReadInt("[{\"value\":5}]", 0); }, 0xA0073204u, kInt,
         Failed(kJSON, kInt, "Check item type", kWrongType, "(cJSON_Number != nItemType)")},
        {"response without name", [] { return Construct("", 4, "x"); }, 0x80070057u, kConstruct,
         Failed(kJSON, kConstruct, "Check pszFuncName", kBadArg, "(NULL == pszFuncName || 0 == strlen(pszFuncName))")},
        {"response of unknown type", [&] { return Construct("F", 5, &number); }, 0xFFFFFFFFu, kConstruct,
         Failed(kJSON, kConstruct, "Check nType", kFail, "!AddResult(pResponseJSON, nType, pValue, &bAdded)")},
    };
    for (const JsonCase& c : kCases) {
        SCOPED_TRACE(c.name);
        m_trace.Mark();
        EXPECT_EQ(c.code, c.call());
        const Records records = m_trace.Records();
        ASSERT_LE(3u, records.size());
        EXPECT_EQ(Enter(c.func), records.front());
        EXPECT_EQ(c.line, records[records.size() - 2]);
        EXPECT_EQ(Leave(c.func), records.back());
    }
}

TEST_F(JsonTraceTest, DetailLinesCarryNamesCountsAndValues)
{
    struct Case
    {
        const char* name;
        std::function<unsigned int()> call;
        Records details;  // the free-form lines, in order
    };
    const int nValue = -3;
    const unsigned char byTrue = 1;
    const Case kCases[] = {
        {"request with randomId",
         [] { return Split("{\"function\":\"GetVersion\",\"params\":[],\"randomId\":\"17\"}"); },
         {"INFO pszUTF8FuncName: GetVersion", "INFO pszUTF8RandomId: 17"}},
        {"text item", [] { return ReadText("[\"a\",\"b\"]", 1); }, {"INFO nCount: 2"}},
        {"bool result", [&] { return Construct("F", 1, &byTrue); }, {"INFO bool value: 1"}},
        {"int result", [&] { return Construct("F", 7, &nValue); }, {"INFO int value: -3"}},
        {"string result", [] { return Construct("F", 4, "3.0.0.6"); }, {"INFO string value: 3.0.0.6"}},
        {"fallback answer",
         [] {
             char* pszText = nullptr;
             const unsigned int code = ConvertJSONToResponseMsg("9", "Foo", nullptr, &pszText);
             delete[] pszText;
             return code;
         },
         {"INFO pszUTF8RandomId: 9", "INFO FuncName: Foo"}},
        {"answer without randomId or name",
         [] {
             char* pszText = nullptr;
             const unsigned int code = ConvertJSONToResponseMsg(nullptr, nullptr, nullptr, &pszText);
             delete[] pszText;
             return code;
         },
         {"INFO pszUTF8RandomId: (null)", "INFO FuncName: (null)"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        m_trace.Mark();
        EXPECT_EQ(0u, c.call());
        Records details;
        for (const std::string& record : m_trace.Records()) {
            if (std::string::npos == record.find("--------") && std::string::npos == record.find(")\t\t--"))
                details.push_back(record);
        }
        EXPECT_EQ(c.details, details);
    }
}

TEST_F(JsonTraceTest, RequestTextCannotForgeLogLines)
{
    // A page controls the request; its texts must stay on their own line of the log.
    EXPECT_EQ(0u, Split("{\"function\":\"F\\nERROR forged\\r\\u0001\",\"params\":[],\"randomId\":\"a\\\\b\\n\"}"));
    char* pszText = nullptr;
    EXPECT_EQ(0u, ConvertJSONToResponseMsg("1\n2", "G\nH", nullptr, &pszText));
    delete[] pszText;
    EXPECT_EQ(0u, Construct("F", 4, "CN=张三\nERROR forged"));

    const Records records = m_trace.Records();
    EXPECT_TRUE(Has(records, "INFO pszUTF8FuncName: F\\nERROR forged\\r\\x01")) << m_trace.Raw();
    EXPECT_TRUE(Has(records, "INFO pszUTF8RandomId: a\\\\b\\n"));
    EXPECT_TRUE(Has(records, "INFO pszUTF8RandomId: 1\\n2"));
    EXPECT_TRUE(Has(records, "INFO FuncName: G\\nH"));
    EXPECT_TRUE(Has(records, "INFO string value: CN=张三\\nERROR forged"));  // UTF-8 stays readable
    for (const std::string& record : records)
        EXPECT_EQ(std::string::npos, record.find("\nERROR")) << record;
}

}  // namespace
