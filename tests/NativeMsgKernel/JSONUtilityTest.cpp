#include "JSONHolders.h"
#include "JSONUtility.h"
#include "JSONUtilityDetail.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr unsigned int kBadArg = 0x80070057u;
constexpr unsigned int kItemMissing = 0x8009002Du;
constexpr unsigned int kWrongType = 0xA0073204u;
constexpr unsigned int kFail = 0xFFFFFFFFu;

// Takes a text handed out with new[]; ASan reports a text from another allocator as a mismatch.
std::string TakeText(char* pszText)
{
    std::unique_ptr<char[]> owned(pszText);
    return owned ? std::string(owned.get()) : std::string("<null>");
}

std::string Print(const cJSON* pJson)
{
    CJsonTextPtr text(cJSON_PrintUnformatted(pJson));
    return text ? std::string(text.get()) : std::string("<null>");
}

CJsonPtr Parse(const std::string& json)
{
    return CJsonPtr(cJSON_Parse(json.c_str()));
}

TEST(ParseRequestMsgToJSON, SplitsRequests)
{
    struct Case
    {
        const char* name;
        const char* request;
        unsigned int code;
        const char* funcName;  // expected outputs on success
        const char* randomId;  // null: none
        const char* params;    // printed
    };
    const Case kCases[] = {
        {"plain request", R"({"function":"GetVersion","params":[]})", 0, "GetVersion", nullptr, "[]"},
        {"keys in any case, params of any type", R"({"FUNCTION":"GetVersion","Params":null})", 0, "GetVersion",
         nullptr, "null"},
        {"randomId copied", R"({"function":"SelectCertificate","params":["a",{"param":"b"}],"randomId":"17"})", 0,
         "SelectCertificate", "17", R"(["a",{"param":"b"}])"},
        {"empty randomId copied", R"({"function":"F","params":{"x":1},"randomId":""})", 0, "F", "", R"({"x":1})"},
        {"function not a string", R"({"function":7,"params":[]})", kFail, nullptr, nullptr, nullptr},
        {"no function", R"({"params":[]})", kFail, nullptr, nullptr, nullptr},
        {"no params", R"({"function":"GetVersion"})", kFail, nullptr, nullptr, nullptr},
        {"randomId a number", R"({"function":"GetVersion","params":[],"randomId":17})", kFail, nullptr, nullptr, nullptr},
        {"randomId null", R"({"function":"GetVersion","params":[],"randomId":null})", kFail, nullptr, nullptr, nullptr},
        {"not JSON", "GetVersion", kFail, nullptr, nullptr, nullptr},
        {"unterminated", R"({"function":"GetVersion","params":[)", kFail, nullptr, nullptr, nullptr},
        {"an array, not an object", R"(["function","params"])", kFail, nullptr, nullptr, nullptr},
        {"empty text", "", kBadArg, nullptr, nullptr, nullptr},
        {"null text", nullptr, kBadArg, nullptr, nullptr, nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        char sentinel = 0;
        char* pszRandomId = &sentinel;
        char* pszFuncName = &sentinel;
        cJSON* pParams = reinterpret_cast<cJSON*>(&sentinel);
        const unsigned int code = ParseRequestMsgToJSON(c.request, &pszRandomId, &pszFuncName, &pParams);
        EXPECT_EQ(c.code, code);
        if (0 != code) {
            EXPECT_EQ(&sentinel, pszRandomId);
            EXPECT_EQ(&sentinel, pszFuncName);
            EXPECT_EQ(reinterpret_cast<cJSON*>(&sentinel), pParams);
            continue;
        }
        // The parsed request is gone by now: the copies must stand on their own.
        CJsonPtr params(pParams);
        EXPECT_EQ(c.funcName, TakeText(pszFuncName));
        if (c.randomId)
            EXPECT_EQ(c.randomId, TakeText(pszRandomId));
        else
            EXPECT_EQ(nullptr, pszRandomId);
        EXPECT_EQ(c.params, Print(params.get()));
    }
    // Every output is optional.
    EXPECT_EQ(0u, ParseRequestMsgToJSON(R"({"function":"F","params":[],"randomId":"1"})", nullptr, nullptr, nullptr));
}

// One reader call on item `index` of `params` (JSON text, or null for no list).
struct ReadCase
{
    const char* name;
    const char* params;
    int index;
    unsigned int code;
    const char* text;  // for the text reader
};

TEST(ConverJSONArrayItemtoNULLEndString, ReadsTextItems)
{
    const ReadCase kCases[] = {
        {"bare text", R"(["abc"])", 0, 0, "abc"},
        {"text in param", R"([{"param":"abc"}])", 0, 0, "abc"},
        {"param key in any case", R"([{"PARAM":"abc"}])", 0, 0, "abc"},
        {"empty text", R"(["x",""])", 1, 0, ""},
        {"unicode escape", R"(["\u4e2d"])", 0, 0, "\xE4\xB8\xAD"},
        {"members of an object are items", R"({"a":"x","b":"y"})", 1, 0, "y"},
        {"number in param", R"([{"param":5}])", 0, kWrongType, nullptr},
        {"object without param", R"([{"value":"abc"}])", 0, kWrongType, nullptr},
        {"bare number", R"([5])", 0, kWrongType, nullptr},
        {"bare array", R"([["abc"]])", 0, kWrongType, nullptr},
        {"index equal to the count", R"(["a","b","c"])", 3, kBadArg, nullptr},
        {"negative index", R"(["a"])", -1, kBadArg, nullptr},
        {"empty list", R"([])", 0, kBadArg, nullptr},
        {"params a text has no items", R"("x")", 0, kBadArg, nullptr},
        {"no list", nullptr, 0, kBadArg, nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CJsonPtr list(c.params ? Parse(c.params) : nullptr);
        ASSERT_TRUE(!c.params || list);
        char sentinel = 0;
        char* pszItem = &sentinel;
        const unsigned int code = ConverJSONArrayItemtoNULLEndString(list.get(), c.index, &pszItem);
        EXPECT_EQ(c.code, code);
        if (0 == code) {
            EXPECT_EQ(c.text, TakeText(pszItem));
            EXPECT_EQ(0u, ConverJSONArrayItemtoNULLEndString(list.get(), c.index, nullptr));
        } else {
            EXPECT_EQ(&sentinel, pszItem);
        }
    }
}

TEST(ConverJSONArrayItemtobool, ReadsBooleanItems)
{
    struct Case
    {
        const char* name;
        const char* params;
        int index;
        unsigned int code;
        bool value;
    };
    const Case kCases[] = {
        {"bare true", "[true]", 0, 0, true},
        {"bare false", "[1,false]", 1, 0, false},
        {"true in param", R"([{"param":true}])", 0, 0, true},
        {"false in param", R"([{"param":false}])", 0, 0, false},
        {"text true", R"(["true"])", 0, kWrongType, false},
        {"number 1", "[1]", 0, kWrongType, false},
        {"null", "[null]", 0, kWrongType, false},
        {"object without param", R"([{"v":true}])", 0, kWrongType, false},
        {"index past the end", "[true]", 1, kBadArg, false},
        {"params a number has no items", "1", 0, kBadArg, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CJsonPtr list(Parse(c.params));
        ASSERT_TRUE(list);
        for (const bool preset : {false, true}) {
            bool value = preset;
            EXPECT_EQ(c.code, ConverJSONArrayItemtobool(list.get(), c.index, &value));
            EXPECT_EQ(0 == c.code ? c.value : preset, value);
        }
        EXPECT_EQ(c.code, ConverJSONArrayItemtobool(list.get(), c.index, nullptr));
    }
}

TEST(ConverJSONArrayItemtoint, ReadsIntegerItems)
{
    struct Case
    {
        const char* name;
        const char* params;
        int index;
        unsigned int code;
        int value;  // expected output, the preset 99 where it must stay
    };
    const Case kCases[] = {
        {"bare number", "[42]", 0, 0, 42},
        {"number in param", R"(["x",{"param":-7}])", 1, 0, -7},
        {"integer part of a fraction", "[3.9, -3.9]", 1, 0, -3},
        {"zero leaves the output alone", "[0]", 0, 0, 99},
        {"a fraction below one is zero", "[0.5]", 0, 0, 99},
        {"beyond the range saturates", "[1e20]", 0, 0, INT_MAX},
        {"below the range saturates", "[-1e20]", 0, 0, INT_MIN},
        {"largest integer", "[2147483647]", 0, 0, INT_MAX},
        {"text of a number", R"(["5"])", 0, kWrongType, 99},
        {"true in param", R"([{"param":true}])", 0, kWrongType, 99},
        {"object without param", R"([{"n":5}])", 0, kWrongType, 99},
        {"item missing", "[1,2,3]", 3, kBadArg, 99},
        {"empty object has no items", "{}", 0, kBadArg, 99},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        CJsonPtr list(Parse(c.params));
        ASSERT_TRUE(list);
        int value = 99;
        EXPECT_EQ(c.code, ConverJSONArrayItemtoint(list.get(), c.index, &value));
        EXPECT_EQ(c.value, value);
    }
    CJsonPtr list(Parse("[1]"));
    EXPECT_EQ(kBadArg, ConverJSONArrayItemtoint(list.get(), 0, nullptr));
    int value = 99;
    EXPECT_EQ(kBadArg, ConverJSONArrayItemtoint(nullptr, 0, &value));
}

// ConstructResponseJSON then ConvertJSONToResponseMsg, as the worker answers a request.
std::string Respond(const char* pszRandomId, const char* pszFuncName, cJSON* pResponseJSON)
{
    char* pszText = nullptr;
    EXPECT_EQ(0u, ConvertJSONToResponseMsg(pszRandomId, pszFuncName, pResponseJSON, &pszText));
    return TakeText(pszText);
}

TEST(ConstructResponseJSON, PrintsResponsesExactly)
{
    const unsigned char byTrue = 1, byFalse = 0, byTwo = 2;
    const double dValue = 2.5;
    const int nValue = -5;
    struct Case
    {
        const char* name;
        const char* funcName;
        int errorCode;
        unsigned int type;
        const void* value;
        const char* randomId;
        unsigned int code;
        const char* printed;
    };
    const Case kCases[] = {
        {"text result", "GetVersion", 0, 4, "3.0.0.6", nullptr, 0,
         R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6"})"},
        {"failure code prints signed, result false", "GetVersion", static_cast<int>(0x80070057u), 4, "3.0.0.6",
         nullptr, 0, R"({"function":"GetVersion","errorcode":-2147024809,"result":false})"},
        {"failure code ignores an unknown type", "GetVersion", 1, 5, &nValue, nullptr, 0,
         R"({"function":"GetVersion","errorcode":1,"result":false})"},
        {"no value, no result", "GetVersion", 0, 4, nullptr, nullptr, 0, R"({"function":"GetVersion","errorcode":0})"},
        {"true with randomId last", "SelectCertificate", 0, 1, &byTrue, "17", 0,
         R"({"function":"SelectCertificate","errorcode":0,"result":true,"randomId":"17"})"},
        {"type 0 byte 0 is false", "F", 0, 0, &byFalse, "", 0, R"({"function":"F","errorcode":0,"result":false})"},
        {"type 0 non-zero byte is true", "F", 0, 0, &byTwo, nullptr, 0, R"({"function":"F","errorcode":0,"result":true})"},
        {"type 1 byte 0 is false", "F", 0, 1, &byFalse, nullptr, 0, R"({"function":"F","errorcode":0,"result":false})"},
        {"double", "F", 0, 3, &dValue, nullptr, 0, R"({"function":"F","errorcode":0,"result":2.5})"},
        {"signed integer", "F", 0, 7, &nValue, nullptr, 0, R"({"function":"F","errorcode":0,"result":-5})"},
        {"text is escaped", "F", 0, 4, "a\"b\\c\n", nullptr, 0, R"({"function":"F","errorcode":0,"result":"a\"b\\c\n"})"},
        {"unknown type", "GetVersion", 0, 5, "x", nullptr, kFail, nullptr},
        {"cJSON's own string number is no type code", "GetVersion", 0, 16, "x", nullptr, kFail, nullptr},
        {"empty name", "", 0, 4, "x", nullptr, kBadArg, nullptr},
        {"no name", nullptr, 0, 4, "x", nullptr, kBadArg, nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        cJSON sentinel = {};
        cJSON* pSentinel = &sentinel;
        cJSON* pResponse = pSentinel;
        const unsigned int code = ConstructResponseJSON(c.funcName, c.errorCode, c.type, c.value, &pResponse);
        EXPECT_EQ(c.code, code);
        if (0 != code) {
            EXPECT_EQ(pSentinel, pResponse);
            continue;
        }
        CJsonPtr response(pResponse);
        EXPECT_EQ(c.printed ? c.printed : "<no object expected>", Respond(c.randomId, c.funcName, response.get()));
        EXPECT_EQ(0u, ConstructResponseJSON(c.funcName, c.errorCode, c.type, c.value, nullptr));
    }
}

TEST(ConvertJSONToResponseMsg, FallbackTextsExactly)
{
    struct Case
    {
        const char* name;
        const char* randomId;
        const char* funcName;
        const char* text;
    };
    const Case kCases[] = {
        {"name and randomId", "9", "Foo", R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"9"})"},
        {"nothing known", nullptr, nullptr, R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {"empty randomId is left out", "", "Foo", R"({"function":"Foo", "errorcode":-2146893779, "result":false})"},
        {"randomId without name", "9", nullptr, R"({"function":"", "errorcode":-2146893779, "result":false, "randomId":"9"})"},
        {"non-ASCII kept as is", nullptr, "\xE4\xB8\xAD", "{\"function\":\"\xE4\xB8\xAD\", \"errorcode\":-2146893779, \"result\":false}"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.text, Respond(c.randomId, c.funcName, nullptr));
    }
    EXPECT_EQ(0u, ConvertJSONToResponseMsg("9", "Foo", nullptr, nullptr));  // text released inside
}

// The name and randomId come from the request: unescaped, a quote in them would end the string and
// let a caller add keys of its own to the answer, or make it invalid JSON the browser drops.
TEST(ConvertJSONToResponseMsg, EscapesRequestTextsInEveryAnswer)
{
    const std::string hostileName = "Foo\", \"errorcode\":0, \"x\":\"\\";
    const std::string hostileId = "1\",\"result\":true,\"y\":\"\n\x01\t";
    struct Case
    {
        const char* name;
        bool withObject;
    };
    for (const Case& c : {Case{"fallback text", false}, Case{"printed object", true}}) {
        SCOPED_TRACE(c.name);
        CJsonPtr response;
        if (c.withObject) {
            cJSON* pResponse = nullptr;
            ASSERT_EQ(0u, ConstructResponseJSON(hostileName.c_str(), 0, 4, "ok", &pResponse));
            response.reset(pResponse);
        }
        const std::string text = Respond(hostileId.c_str(), hostileName.c_str(), response.get());
        const CJsonPtr parsed(cJSON_Parse(text.c_str()));
        ASSERT_TRUE(parsed) << text;
        int keys = 0;
        for (const cJSON* p = parsed->child; p; p = p->next)
            ++keys;
        EXPECT_EQ(4, keys) << text;
        const cJSON* pFunction = cJSON_GetObjectItemCaseSensitive(parsed.get(), "function");
        const cJSON* pCode = cJSON_GetObjectItemCaseSensitive(parsed.get(), "errorcode");
        const cJSON* pRandomId = cJSON_GetObjectItemCaseSensitive(parsed.get(), "randomId");
        ASSERT_TRUE(cJSON_IsString(pFunction) && cJSON_IsNumber(pCode) && cJSON_IsString(pRandomId)) << text;
        EXPECT_EQ(hostileName, pFunction->valuestring);
        EXPECT_EQ(hostileId, pRandomId->valuestring);
        EXPECT_EQ(c.withObject ? 0.0 : -2146893779.0, pCode->valuedouble);
    }
}

// Well-formed text is copied as it stands, its ASCII checked 32 and 8 bytes at a time; each
// ill-formed sequence becomes U+FFFD as Python's decoder (errors="replace", the rule browsers
// follow) replaces it. Each sequence stands at every place relative to those blocks: right after
// whole ASCII blocks, across a block boundary, as the text's last bytes, and before ASCII blocks.
TEST(CopyAsUTF8, ReplacesWhatPythonReplacesWhereverItStandsInABlock)
{
    const auto hex = [](const std::string& text) {
        return testutil::BytesToHex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    };
    std::vector<std::string> texts;
    std::string hexLines;
    for (const char* sequence : {"C3A9", "E4B8AD", "F09F9880", "FF", "80", "C3", "E4B8", "F09F98", "EDA080", "C0AF",
                                 "F4908080", "E4B8ADFF", "C3A9E4B8AD41F09F9880"}) {
        const std::vector<unsigned char> bytes = testutil::HexToBytes(sequence);
        for (size_t before = 0; before <= 41; ++before) {
            for (size_t after : {0, 1, 8, 32}) {
                texts.push_back(std::string(before, 'a') + std::string(bytes.begin(), bytes.end()) +
                                std::string(after, 'z'));
                hexLines += hex(texts.back()) + "\n";
            }
        }
    }
    testutil::ScopedTempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir.File("texts"), hexLines));
    std::string decoded;
    ASSERT_EQ(0, testutil::RunCommand("python3 -c 'import sys\nfor h in open(sys.argv[1]).read().split():\n"
                                      "  print(bytes.fromhex(h).decode(\"utf-8\", \"replace\").encode().hex())' " +
                                          testutil::ShellQuote(dir.File("texts")),
                                      &decoded));
    std::istringstream lines(decoded);
    for (const std::string& text : texts) {
        std::string expected;
        ASSERT_TRUE(std::getline(lines, expected));
        const std::unique_ptr<char[]> copy(CopyAsUTF8(text.c_str()));
        ASSERT_NE(nullptr, copy);
        EXPECT_EQ(expected, hex(copy.get())) << hex(text);
    }
}

}  // namespace
