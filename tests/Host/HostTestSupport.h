// Helpers of the host tests: the token services up with an agent record, requests through the
// dispatcher, environment variables set for one test, and the fields of an answer.
#ifndef VARNELL_TESTS_HOST_TEST_SUPPORT_H
#define VARNELL_TESTS_HOST_TEST_SUPPORT_H

#include "CryptoBridge.h"
#include "JSONHolders.h"
#include "QovaResult.h"
#include "TestUtil.h"
#include "nmMessageSigning.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace hosttest {

// Tests that read the bundle's string tables or a source file find them through the trees that
// ctest names; run by hand without them, such a test skips with this message instead of failing.
constexpr char kNoTreesMessage[] =
    "needs VARNELL_SOURCE_DIR and VARNELL_BINARY_DIR: run it through ctest, or set both";
#define HOSTTEST_SKIP_WITHOUT_TREES()                           \
    do {                                                        \
        if (!testutil::TreesNamed())                            \
            GTEST_SKIP() << hosttest::kNoTreesMessage;          \
    } while (0)

// Sets (nullopt: removes) an environment variable until scope end.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name)
    {
        if (const char* old = getenv(name))
            m_old = old;
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~ScopedEnv() { m_old ? setenv(m_name.c_str(), m_old->c_str(), 1) : unsetenv(m_name.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// The locale from LANG alone.
struct ScopedLocale
{
    explicit ScopedLocale(const std::string& lang) : lang("LANG", lang) {}
    ScopedEnv all{"LC_ALL", std::nullopt};
    ScopedEnv messages{"LC_MESSAGES", std::nullopt};
    ScopedEnv lang;
};

// The token services up and a fresh agent record as the process's, as the host's start-up leaves
// them; released in the host's order.
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
        DeleteCertInfo(m_agent->m_pSignCertCtx);
        delete[] m_agent;
        g_pobjCryptoAgent = nullptr;
        EXPECT_TRUE(UninitVOSKContext());
    }

    // The response text of one request.
    static std::string Ask(const std::string& request)
    {
        char* pszResponse = nullptr;
        EXPECT_EQ(QOVA_OK, ProcessRequest(request.c_str(), &pszResponse));
        const std::string response = pszResponse ? pszResponse : "(none)";
        delete[] pszResponse;
        return response;
    }

    _VarnellObj* m_agent = nullptr;
};

inline std::string Request(const std::string& name, const std::string& params)
{
    return "{\"function\":\"" + name + "\",\"params\":[" + params + "]}";
}

// Text as a JSON string, written by cJSON.
inline std::string Quoted(const std::string& text)
{
    const CJsonPtr item(cJSON_CreateString(text.c_str()));
    const CJsonTextPtr printed(cJSON_PrintUnformatted(item.get()));
    return printed.get();
}

// "errorcode" and the text of "result" of an answer.
struct Answer
{
    long long errorcode = -1;
    std::string text;
};

inline Answer Parse(const std::string& response)
{
    const CJsonPtr root(cJSON_Parse(response.c_str()));
    EXPECT_TRUE(root) << response;
    Answer answer;
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(root.get(), "errorcode");
    const cJSON* result = cJSON_GetObjectItemCaseSensitive(root.get(), "result");
    if (cJSON_IsNumber(code))
        answer.errorcode = static_cast<long long>(code->valuedouble);
    if (cJSON_IsString(result))
        answer.text = result->valuestring;
    return answer;
}

// A result code as "errorcode" prints it.
inline long long Signed(unsigned int code)
{
    return static_cast<int>(code);
}

}  // namespace hosttest

#endif
