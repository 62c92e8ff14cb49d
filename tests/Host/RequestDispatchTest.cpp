// The dispatcher and the bridge's checks, request text in and response text out, on an agent
// whose module table holds no module (so nothing here reaches a token).
#include "HostTestSupport.h"

#include "CertificateOperation.h"
#include "GetErrorDesc.h"
#include "P11TestBed.h"
#include "TestUtil.h"

#include "platform/StringsFile.h"

#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include <unistd.h>

namespace {

using hosttest::Parse;
using hosttest::Quoted;
using hosttest::Request;
using hosttest::Signed;

// The base table's text of a code, read straight from the bundle's file.
std::string BaseText(unsigned int code)
{
    platform::StringsTable table;
    EXPECT_TRUE(platform::ParseStringsFile(testutil::BinaryDir() + "/VarnellHost.app/Resources/Localizable.strings",
                                           &table));
    char key[16];
    snprintf(key, sizeof(key), "0x%08X", code);
    return table[key];
}

std::string Described(unsigned int code)
{
    char suffix[16];
    snprintf(suffix, sizeof(suffix), "(0x%08x)", code);
    return BaseText(code) + suffix;
}

class RequestDispatch : public hosttest::HostTest
{
protected:
    hosttest::ScopedLocale m_locale{"en_US.UTF-8"};
};

TEST_F(RequestDispatch, AnswersByteForByte)
{
    struct Case
    {
        const char* name;
        std::string request;
        std::string response;
    };
    const std::string deep = std::string(2000, '[') + std::string(2000, ']');
    const Case kCases[] = {
        {"matching ignores case; the answer carries the canonical name", R"({"function":"getversion","params":[]})",
         R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6"})"},
        {"no params", R"({"function":"GetVersion"})", R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {"unknown function", R"({"function":"Nope","params":[],"randomId":"5"})",
         R"({"function":"Nope", "errorcode":-2146893779, "result":false, "randomId":"5"})"},
        {"a quote in an unknown name must not end its string",
         R"({"function":"a\"b","params":[]})", R"({"function":"a\"b", "errorcode":-2146893779, "result":false})"},
        {"not JSON", "GetVersion", R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {"empty request", "", R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {"randomId is the last key", R"({"randomId":"abc","function":"GetVersion","params":[]})",
         R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6","randomId":"abc"})"},
        {"three items for SelectCertificate", Request("SelectCertificate", R"("","","")"),
         R"({"function":"SelectCertificate","errorcode":-2147024809,"result":false})"},
        // The fourth item would fail as text if it were read; no module: nothing is found.
        {"the fourth item is not read", Request("SelectCertificate", R"("","","",{"any":[1,null]})"),
         R"({"function":"SelectCertificate","errorcode":-1610149887,"result":false})"},
        {"a filter of the wrong type", Request("SelectCertificate", R"("",5,"","")"),
         R"({"function":"SelectCertificate","errorcode":-1610141180,"result":false})"},
        {"the flag as text", Request("SignMsgPKCS7", R"("m","SHA-1","true")"),
         R"({"function":"SignMsgPKCS7","errorcode":-1610141180,"result":false})"},
        {"sign without a selection", Request("SignMsgPKCS7", R"({"param":"m"},"SHA-1",{"param":false})"),
         "{\"function\":\"SignMsgPKCS7\",\"errorcode\":" + std::to_string(Signed(QOVA_E_NO_SELECTED_CERT)) +
             ",\"result\":false}"},
        {"an empty message", Request("SignMsgPKCS7", R"("","SHA-1",true)"),
         R"({"function":"SignMsgPKCS7","errorcode":-2147024809,"result":false})"},
        {"field without a selection", R"({"function":"GetSignCertInfo","params":{"type":"SubjectDN"}})",
         "{\"function\":\"GetSignCertInfo\",\"errorcode\":" + std::to_string(Signed(QOVA_E_NO_SELECTED_CERT)) +
             ",\"result\":false}"},
        {"no items for GetSignCertInfo", R"({"function":"GetSignCertInfo","params":"SubjectDN"})",
         R"({"function":"GetSignCertInfo","errorcode":-2147024809,"result":false})"},
        {"one item for GetLastErrorDesc", Request("GetLastErrorDesc", "1"),
         R"({"function":"GetLastErrorDesc","errorcode":-2147024809,"result":false})"},
        {"GetVersion takes any parameters", Request("GETVERSION", "1,2"),
         R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6"})"},
        // Debian's cJSON stops at 1000 levels; deeper input must not run the parser off the stack.
        {"a request nested 2000 deep", R"({"function":"GetVersion","params":)" + deep + "}",
         R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {"a request nested 200000 deep", std::string(200000, '['),
         R"({"function":"", "errorcode":-2146893779, "result":false})"},
        {"params nested 900 deep still parse",
         R"({"function":"GetVersion","params":)" + std::string(900, '[') + std::string(900, ']') + "}",
         R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6"})"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.response, Ask(c.request));
    }
}

// cJSON keeps no string length: an escaped NUL would cut a text short, and the part before it would
// be signed, selected or run as if it were the whole text.
TEST_F(RequestDispatch, TextCutShortByAnEscapedNulIsRefused)
{
    struct Case
    {
        const char* name;
        std::string request;
        std::string response;
    };
    const auto refused = [](const char* function) {
        return std::string(R"({"function":")") + function + R"(","errorcode":-1610141180,"result":false})";
    };
    const std::string unsplit = R"({"function":"", "errorcode":-2146893779, "result":false})";
    const std::string noSelection = "{\"function\":\"SignMsgPKCS7\",\"errorcode\":" +
                                    std::to_string(Signed(QOVA_E_NO_SELECTED_CERT)) + ",\"result\":false}";
    const Case kCases[] = {
        {"message to sign", Request("SignMsgPKCS7", R"("a\u0000b","SHA-1",true)"), refused("SignMsgPKCS7")},
        {"an escaped backslash, then u0000, is ordinary text", Request("SignMsgPKCS7", R"("a\\u0000b","SHA-1",true)"),
         noSelection},
        {"an escaped backslash, then a NUL", Request("SignMsgPKCS7", R"("a\\\u0000b","SHA-1",true)"),
         refused("SignMsgPKCS7")},
        {"wrapped message", Request("SignMsgPKCS7", R"({"param":"a\u0000"},"SHA-1",true)"), refused("SignMsgPKCS7")},
        {"hash name", Request("SignMsgPKCS7", R"("m","SHA-1\u0000x",true)"), refused("SignMsgPKCS7")},
        {"subject filter", Request("SelectCertificate", R"("CN=a\u0000b","","","")"), refused("SelectCertificate")},
        {"the unread fourth item", Request("SelectCertificate", R"("","","",["\u0000"])"), refused("SelectCertificate")},
        {"a member name", Request("SelectCertificate", R"({"param\u0000x":"CN=a"},"","","")"),
         refused("SelectCertificate")},
        {"field type", Request("GetSignCertInfo", R"("SubjectDN\u0000x")"), refused("GetSignCertInfo")},
        {"params without items", R"({"function":"GetLastErrorDesc","params":"\u0000"})", refused("GetLastErrorDesc")},
        {"params GetVersion ignores", Request("GetVersion", R"("\u0000")"), refused("GetVersion")},
        {"function name", R"({"function":"GetVersion\u0000junk","params":[]})", unsplit},
        {"randomId", R"({"function":"GetVersion","params":[],"randomId":"7\u0000x"})", unsplit},
        {"the name of the function member", R"({"function\u0000x":"GetVersion","params":[]})", unsplit},
        {"the name of the params member", R"({"function":"GetVersion","params\u0000":[]})", unsplit},
        {"a member nobody reads", R"({"function":"GetVersion","params":[],"note":"\u0000"})",
         R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6"})"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.response, Ask(c.request));
    }
}

// Whether Python's json.loads, with its C scanner, reads each text: the pure-Python scanner reads
// "\u 000" and "\u+000" as U+0000 (int(text, 16) takes a blank or a sign).
std::vector<bool> ReadableToPython(const std::vector<std::string>& texts)
{
    std::string command = "python3 -c 'import json, json.scanner, sys\nassert json.scanner.c_make_scanner\n"
                          "for h in sys.argv[1:]:\n  try: json.loads(bytes.fromhex(h)); print(1)\n"
                          "  except ValueError: print(0)'";
    for (const std::string& text : texts)
        command += " " + testutil::BytesToHex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    std::string out;
    EXPECT_EQ(0, testutil::RunCommand(command, &out));
    std::vector<bool> readable;
    for (size_t i = 0; i < out.size(); i += 2)
        readable.push_back('1' == out[i]);
    readable.resize(texts.size());
    return readable;
}

// cJSON reads "\u" followed by four characters that are not all hexadecimal digits as U+0000 and
// ends the text there, so "a\uzzzzb" would be signed as "a" and "GetVersion\uzzzzjunk" run as
// GetVersion. JSON has no such escape. Python's json.loads decides which requests are JSON: those
// are answered as today ("readable"), the others as an unreadable request, wherever it stands.
TEST_F(RequestDispatch, EscapesThatAreNotJsonMakeTheRequestUnreadable)
{
    const std::string unsplit = R"({"function":"", "errorcode":-2146893779, "result":false})";
    const std::string version = R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6")";
    const std::string noSelection = "{\"function\":\"SignMsgPKCS7\",\"errorcode\":" +
                                    std::to_string(Signed(QOVA_E_NO_SELECTED_CERT)) + ",\"result\":false}";
    const std::string notFound = R"({"function":"SelectCertificate","errorcode":-1610149887,"result":false})";
    const struct
    {
        std::string request;
        std::string readable;  // the answer when the request is JSON
    } kCases[] = {
        {Request("SignMsgPKCS7", R"("a\uzzzzb","SHA-1",true)"), noSelection},
        {Request("SignMsgPKCS7", R"("a\u00G0b","SHA-1",true)"), noSelection},
        {Request("SignMsgPKCS7", R"("a\u 000b","SHA-1",true)"), noSelection},
        {Request("SignMsgPKCS7", R"("a\u+000b","SHA-1",true)"), noSelection},
        {Request("SignMsgPKCS7", R"("a\u00\"x","SHA-1",true)"), noSelection},  // a backslash among the four
        {Request("SelectCertificate", R"("","","",["\uzzzz"])"), notFound},     // in the unread fourth item
        {Request("SelectCertificate", R"("","","",{"n\u00zz":1})"), notFound},  // in a member name
        {R"({"function":"GetVersion\uzzzzjunk","params":[]})", version + "}"},
        {R"({"function":"GetVersion","params":[],"randomId":"ab\u00G0cd"})", version + R"(,"randomId":"ab"})"},
        {R"({"function":"GetVersion","params":[],"randomId\uzzzz":"5"})", version + R"(,"randomId":"5"})"},
        {R"({"function":"GetVersion","params":[],"note":"\u 000"})", version + "}"},  // a member nobody reads
        {R"({"function":"GetVersion","params":[],"randomId":"\ud83d\uzzzz"})", unsplit},  // cJSON refuses it
        // JSON, answered as today.
        {Request("SignMsgPKCS7", R"("a\u0000b","SHA-1",true)"),
         R"({"function":"SignMsgPKCS7","errorcode":-1610141180,"result":false})"},
        {R"({"function":"GetVers\u0069\u006Fn","params":[],"randomId":"\u00e9\uD83D\ude00"})",
         version + ",\"randomId\":\"\xC3\xA9\xF0\x9F\x98\x80\"}"},
        {R"({"function":"GetVersion","params":[],"randomId":"a\\uzzzz"})", version + R"(,"randomId":"a\\uzzzz"})"},
    };
    std::vector<std::string> requests;
    for (const auto& c : kCases)
        requests.push_back(c.request);
    const std::vector<bool> readable = ReadableToPython(requests);
    ASSERT_EQ(2u, std::set<bool>(readable.begin(), readable.end()).size());  // both kinds, or Python failed
    for (size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(readable[i] ? kCases[i].readable : unsplit, Ask(requests[i])) << requests[i];
}

// cJSON's other leniencies (raw control characters in a text, bytes up to 0x20 as white space,
// numbers like 01 or 1., text after the object) cut no text: such a request is read as before with
// a valid escape for "@", and refused with one that is not JSON. Python refuses them all.
TEST_F(RequestDispatch, CJsonLeniencyKeepsARequestReadable)
{
    const std::string version = R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6","randomId":")";
    const struct
    {
        std::string request;
        std::string randomId;  // as answered with "\u0041" for "@"
    } kCases[] = {
        {"{\"function\":\"GetVersion\",\"params\":[],\"randomId\":\"a\tb\x01@\"}", R"(a\tb\u0001A)"},
        {"\x01{\x1f\"function\"\x02:\"GetVersion\",\"params\":[] ,\"randomId\":\"@\"}\x7f", "A"},
        {R"({"function":"GetVersion","params":[01,1.,-0],"randomId":"@"})", "A"},
        {R"({"function":"GetVersion","params":[],"randomId":"@"}x"\uzzzz")", "A"},  // text after it is not read
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(version + c.randomId + "\"}", Ask(testutil::ReplaceAll(c.request, "@", R"(\u0041)")));
        EXPECT_EQ(R"({"function":"", "errorcode":-2146893779, "result":false})",
                  Ask(testutil::ReplaceAll(c.request, "@", R"(\uzzzz)")));
    }
}

// The function name and randomId come back in the answer; an ill-formed UTF-8 sequence in them
// would make the whole answer text the browser cannot read. Python's decoder is the reference for
// replacing each ill-formed sequence with U+FFFD (the first case is the Unicode standard's example).
TEST_F(RequestDispatch, EchoedTextsAreWellFormedUtf8)
{
    const std::vector<std::string> kHex = {"61F18080E180C262806380BF64", "C0AF", "EDA080", "F4908080", "E08080",
                                           "E0A0", "F0", "FF41", "C3", "E4B8AD", "F09F9880", "7A"};
    std::string command = "python3 -c 'import sys\nfor h in sys.argv[1:]: sys.stdout.buffer.write("
                          "bytes.fromhex(h).decode(\"utf-8\", \"replace\").encode() + b\"\\n\")'";
    for (const std::string& hex : kHex)
        command += " " + hex;
    std::string decoded;
    ASSERT_EQ(0, testutil::RunCommand(command, &decoded));
    std::istringstream lines(decoded);
    for (const std::string& hex : kHex) {
        SCOPED_TRACE(hex);
        const std::vector<unsigned char> bytes = testutil::HexToBytes(hex);
        const std::string text(bytes.begin(), bytes.end());
        std::string expected;
        ASSERT_TRUE(std::getline(lines, expected));
        EXPECT_EQ(R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6","randomId":")" + expected + "\"}",
                  Ask(R"({"function":"GetVersion","params":[],"randomId":")" + text + "\"}"));
        EXPECT_EQ(R"({"function":")" + expected + R"(", "errorcode":-2146893779, "result":false, "randomId":")" +
                      expected + "\"}",
                  Ask(R"({"function":")" + text + R"(","params":[],"randomId":")" + text + "\"}"));
    }
}

// What each request leaves as the last result code, and what the next GetLastErrorDesc says.
TEST_F(RequestDispatch, LastResultCodeAcrossRequests)
{
    HOSTTEST_SKIP_WITHOUT_TREES();
    const std::string describe = Request("GetLastErrorDesc", "");
    const auto lastDescription = [&]() {
        const hosttest::Answer a = Parse(Ask(describe));
        EXPECT_EQ(0, a.errorcode);
        return a.text;
    };

    Ask(R"({"function":"Nope","params":[]})");
    EXPECT_EQ(-1, m_agent->m_nLastError);
    EXPECT_EQ(Described(0xFFFFFFFF), lastDescription());
    // It stores its own code: the next one describes success.
    EXPECT_EQ(0, m_agent->m_nLastError);
    EXPECT_EQ(Described(0), lastDescription());

    Ask(Request("SelectCertificate", R"("","")"));
    EXPECT_EQ(Signed(QOVA_E_INVALIDARG), m_agent->m_nLastError);
    Ask(Request("GetVersion", ""));                       // leaves it
    Ask(R"({"function":"GetVersion","params":[)");          // does not split: leaves it
    EXPECT_EQ(Described(QOVA_E_INVALIDARG), lastDescription());

    Ask(Request("SignMsgPKCS7", R"("m","SHA-1",true)"));
    EXPECT_EQ(Described(QOVA_E_NO_SELECTED_CERT), lastDescription());

    Ask(Request("GetLastErrorDesc", R"("x")"));
    EXPECT_EQ(Signed(QOVA_E_INVALIDARG), m_agent->m_nLastError);
}

// Without an agent record every handler but GetVersion refuses.
TEST_F(RequestDispatch, NoAgentRecord)
{
    g_pobjCryptoAgent = nullptr;
    EXPECT_EQ(R"({"function":"SelectCertificate","errorcode":-2147024809,"result":false})",
              Ask(Request("SelectCertificate", R"("","","","")")));
    EXPECT_EQ(R"({"function":"GetLastErrorDesc","errorcode":-2147024809,"result":false})",
              Ask(Request("GetLastErrorDesc", "")));
    EXPECT_EQ(R"({"function":"GetVersion","errorcode":0,"result":"3.0.0.6"})", Ask(Request("GetVersion", "")));
}

// A Chinese locale whose table is missing: no description, so success without "result".
TEST_F(RequestDispatch, NoDescriptionAnswersWithoutResult)
{
    testutil::ScopedTempDir bundle;
    ASSERT_TRUE(testutil::WriteFile(bundle.File("Localizable.strings"), "\"0x00000000\" = \"OK\";\n"));
    hosttest::ScopedEnv main("PLATFORM_MAIN_BUNDLE", bundle.Path());
    hosttest::ScopedLocale chinese("zh_CN.UTF-8");
    EXPECT_EQ(R"({"function":"GetLastErrorDesc","errorcode":0})", Ask(Request("GetLastErrorDesc", "")));
}

// A record selected by hand (no token session): the field readers and the hash checks that come
// before any token work.
class SelectedRecord : public RequestDispatch
{
protected:
    void Select(const std::string& derFile, int nCertType)
    {
        const std::string der = testutil::ReadFileOrEmpty(p11testbed::FixtureFile(derFile));
        auto* pCertInfo = new _CERTIFICATE_INFO[1]();
        pCertInfo->nCertType = nCertType;
        pCertInfo->pszCSPName = strcpy(new char[9], "Test CSP");
        pCertInfo->pCertData = new _CERTIFICATE_DATA[1]();
        pCertInfo->pCertData->pbyCertificate = new unsigned char[der.size() + 1]();
        memcpy(pCertInfo->pCertData->pbyCertificate, der.data(), der.size());
        pCertInfo->pCertData->nCertificateSize = static_cast<int>(der.size());
        DeleteCertInfo(m_agent->m_pSignCertCtx);
        m_agent->m_pSignCertCtx = pCertInfo;
    }
};

TEST_F(SelectedRecord, FieldsByTypeNameInAnyCase)
{
    const struct
    {
        int certType;
        const char* type;
        std::string tail;  // of the answer, after "errorcode":
    } kCases[] = {
        {1, "subjectdn", R"(0,"result":"CN=RSA 1, O=Test, C=CN"})"}, {1, "SUBJECTCN", R"(0,"result":"RSA 1"})"},
        {1, "CSPName", R"(0,"result":"Test CSP"})"},                  {1, "CertType", R"(0,"result":"RSA"})"},
        {0, "CertType", R"(0,"result":"SM2"})"},                      {7, "CertType", R"(0,"result":"SM2"})"},
        {1, "Subject", R"(-2147024809,"result":false})"},             {1, "", R"(-2147024809,"result":false})"},
        {1, "SubjectDN ", R"(-2147024809,"result":false})"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.type);
        Select("rsa1.der", c.certType);
        EXPECT_EQ(R"({"function":"GetSignCertInfo","errorcode":)" + c.tail,
                  Ask(Request("GetSignCertInfo", Quoted(c.type))));
    }
}

TEST_F(SelectedRecord, HashNamesForRsaAreCheckedBeforeTheToken)
{
    const struct
    {
        int certType;
        const char* hash;
        unsigned int code;
    } kCases[] = {
        {1, "SHA-384", QOVA_E_BAD_ALGID}, {1, "SHA-512", QOVA_E_BAD_ALGID}, {1, "SM3", QOVA_E_BAD_ALGID},
        {1, "", QOVA_E_BAD_ALGID},
        // Any case passes the first check; the identifier lookup wants the exact letters.
        {1, "sha-256", QOVA_E_INVALIDARG}, {1, "Md-5", QOVA_E_INVALIDARG},
        // These reach the token step, which a record without a session refuses; so does an SM2
        // record (or one of no known type) whatever the name.
        {1, "SHA-1", QOVA_E_NO_SELECTED_CERT}, {1, "SHA-256", QOVA_E_NO_SELECTED_CERT},
        {1, "MD-5", QOVA_E_NO_SELECTED_CERT}, {2, "SHA-384", QOVA_E_NO_SELECTED_CERT},
        {0, "anything", QOVA_E_NO_SELECTED_CERT},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.hash);
        Select(2 == c.certType ? "sm2.der" : "rsa1.der", c.certType);
        EXPECT_EQ(Signed(c.code), Parse(Ask(Request("SignMsgPKCS7", "\"m\"," + Quoted(c.hash) + ",true"))).errorcode);
        // A page told only "not valid" cannot guess that the case matters: the description of a
        // refused name lists the names to use, exactly so.
        if (QOVA_E_NO_SELECTED_CERT != c.code) {
            const std::string description = Parse(Ask(Request("GetLastErrorDesc", ""))).text;
            for (const char* accepted : {"\"SHA-1\"", "\"SHA-256\"", "\"MD-5\""})
                EXPECT_NE(std::string::npos, description.find(accepted)) << description;
        }
    }
}

TEST(CryptoBridge, AlgorithmIdentifiersByName)
{
    struct Case
    {
        const char* name;
        unsigned int code;
        unsigned int id;
    };
    const Case kCases[] = {
        {"SHA-1", QOVA_OK, 0x8004},          {"SHA-256", QOVA_OK, 0x800C},       {"SHA-384", QOVA_OK, 0x800D},
        {"SHA-512", QOVA_OK, 0x800E},        {"sha-512", QOVA_OK, 0x800E},       {"MD-5", QOVA_OK, 0x8003},
        {"SM3", QOVA_OK, 0x800F},            {"RC4", QOVA_OK, 0x6801},           {"3DES", QOVA_OK, 0x6603},
        {"sha-384", QOVA_E_INVALIDARG, 0},   {"sm3", QOVA_E_INVALIDARG, 0},      {"SHA1", QOVA_E_INVALIDARG, 0},
        {"", QOVA_E_INVALIDARG, 0},          {nullptr, QOVA_E_INVALIDARG, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        unsigned int id = 0x5A5A;
        EXPECT_EQ(c.code, GetAlgIDfromAlgName(c.name, &id));
        EXPECT_EQ(QOVA_OK == c.code ? c.id : 0x5A5Au, id);
    }
    EXPECT_EQ(QOVA_E_INVALIDARG, GetAlgIDfromAlgName("SHA-1", nullptr));
}

TEST(CryptoBridge, MissingArgumentsAndTheEmptyTable)
{
    bool bFlag = false;
    EXPECT_EQ(QOVA_OK, _SetSM2CSPList(nullptr, "ignored", &bFlag));
    EXPECT_TRUE(bFlag);
    bFlag = false;
    char* pszText = nullptr;
    EXPECT_EQ(QOVA_E_INVALIDARG, _GetCertInfo(nullptr, "SubjectDN", &pszText));
    EXPECT_EQ(QOVA_E_INVALIDARG, _SelectCertificate(nullptr, "", "", "", &bFlag));
    EXPECT_EQ(QOVA_E_INVALIDARG, _SignMsgPKCS7(nullptr, "m", "SHA-1", true, &pszText));
    EXPECT_EQ(QOVA_E_INVALIDARG, _GetLastErrorDesc(nullptr, 0, &pszText));
    EXPECT_EQ(nullptr, pszText);
    EXPECT_FALSE(bFlag);
    DeleteCertInfo(nullptr);

    ASSERT_EQ(QOVA_OK, InitVOSKContext());
    EXPECT_EQ(0, g_P11_dylib_count);
    EXPECT_EQ(nullptr, g_pDylibInfoList);
    EXPECT_TRUE(UninitVOSKContext());
    EXPECT_EQ(0, memcmp(g_byDefaultPIN, "\x01\x08" "40917263", kDefaultPINSize + 1));
}

// Run by hand (without ctest's environment, from another directory) the program must not fail on
// the bundle and source files it cannot find: the tests that read them skip and say why.
TEST(HostRequestSuite, RunsOutsideCtestSkippingWhatNeedsTheTrees)
{
    testutil::ScopedTempDir dir;
    char self[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    std::string out;
    const int status = testutil::RunCommand("cd " + testutil::ShellQuote(dir.Path()) +
                                                " && env -u VARNELL_SOURCE_DIR -u VARNELL_BINARY_DIR " +
                                                testutil::ShellQuote(self) + " --gtest_filter=-HostRequestSuite.* 2>&1",
                                            &out);
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find(hosttest::kNoTreesMessage)) << out;
}

}  // namespace
