// Helpers of the host tests: an agent record with the token services up, requests through the
// dispatcher, environment variables set for one test, and the fields of an answer.
#ifndef VARNELL_TESTS_HOST_TEST_SUPPORT_H
#define VARNELL_TESTS_HOST_TEST_SUPPORT_H

#include "CryptoBridge.h"
#include "JSONHolders.h"
#include "QovaResult.h"
#include "nmMessageSigning.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hosttest {

// Sets (or, with nullopt, removes) an environment variable and restores it at scope end.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name)
    {
        const char* old = getenv(name);
        if (old)
            m_old = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_old)
            setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// The locale as the host reads it: LANG alone.
class ScopedLocale
{
public:
    explicit ScopedLocale(const std::string& lang)
        : m_all("LC_ALL", std::nullopt), m_messages("LC_MESSAGES", std::nullopt), m_lang("LANG", lang)
    {
    }

private:
    ScopedEnv m_all;
    ScopedEnv m_messages;
    ScopedEnv m_lang;
};

// The token services up and a fresh agent record as the process's, as the host's start-up leaves
// them; released in the host's order at the end.
class HostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(QOVA_OK, InitVOSKContext());
        m_agent = new _VarnellObj[1]();
        g_pobjCryptoAgent = m_agent;
    }
    void TearDown() override
    {
        if (m_agent) {
            DeleteCertInfo(m_agent->m_pSignCertCtx);
            DeleteCertInfo(m_agent->m_pEncryptCertCtx);
        }
        delete[] m_agent;
        g_pobjCryptoAgent = nullptr;
        EXPECT_TRUE(UninitVOSKContext());
    }

    // The response text of one request.
    static std::string Ask(const std::string& request)
    {
        char* pszResponse = nullptr;
        EXPECT_EQ(QOVA_OK, ProcessRequest(request.c_str(), &pszResponse));
        EXPECT_NE(nullptr, pszResponse);
        const std::string response = pszResponse ? pszResponse : "";
        delete[] pszResponse;
        return response;
    }

    _VarnellObj* m_agent = nullptr;
};

// {"function":"<name>","params":[<params>]} with the parameters written as JSON by the caller.
inline std::string Request(const std::string& name, const std::string& params)
{
    return "{\"function\":\"" + name + "\",\"params\":[" + params + "]}";
}

// Text as a JSON string, written by cJSON (control characters and quotes escaped).
inline std::string Quoted(const std::string& text)
{
    const CJsonPtr item(cJSON_CreateString(text.c_str()));
    const CJsonTextPtr printed(item ? cJSON_PrintUnformatted(item.get()) : nullptr);
    return printed ? std::string(printed.get()) : std::string();
}

// The fields of an answer.
struct Answer
{
    std::string function;
    long long errorcode = 0;
    bool hasResult = false;
    std::string text;        // "result" when it is a string
    bool flag = false;       // "result" when it is a boolean
};

inline Answer Parse(const std::string& response)
{
    Answer answer;
    const CJsonPtr root(cJSON_Parse(response.c_str()));
    EXPECT_TRUE(root) << response;
    if (!root)
        return answer;
    const cJSON* function = cJSON_GetObjectItemCaseSensitive(root.get(), "function");
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(root.get(), "errorcode");
    const cJSON* result = cJSON_GetObjectItemCaseSensitive(root.get(), "result");
    if (cJSON_IsString(function))
        answer.function = function->valuestring;
    if (cJSON_IsNumber(code))
        answer.errorcode = static_cast<long long>(code->valuedouble);
    answer.hasResult = nullptr != result;
    if (cJSON_IsString(result))
        answer.text = result->valuestring;
    answer.flag = cJSON_IsTrue(result);
    return answer;
}

// A result code as the answer's "errorcode" prints it.
inline long long Signed(unsigned int code)
{
    return static_cast<int>(code);
}

}  // namespace hosttest

#endif
