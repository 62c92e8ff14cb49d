#include "qova_zlog.h"

#include "ConfTrust.h"
#include "QovaResult.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

std::atomic<zlog_category_t*> g_ptr_qova_category{nullptr};

namespace {

constexpr const char kCategoryName[] = "qova_category";
constexpr const char kTraceFunc[] = "TRACE";
constexpr const char kTraceBinaryFunc[] = "TRACE_BINARY";
constexpr size_t kFirstTextSize = 4096;
constexpr size_t kMaxRetrySize = 1024 * 1024;

// Level numbers 0..4 (FATAL..DEBUG) to the engine's level values.
constexpr int kLevelValues[] = {ZLOG_LEVEL_FATAL, ZLOG_LEVEL_ERROR, ZLOG_LEVEL_WARN, ZLOG_LEVEL_INFO,
                                ZLOG_LEVEL_DEBUG};
constexpr const char* kLevelNames[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG"};
constexpr unsigned int kMaxLevel = 4;

const char* OrNull(const char* text)
{
    return text ? text : "(null)";
}

// Gets the category once the engine is up; on failure the engine is shut down again.
unsigned int AttachCategory()
{
    zlog_category_t* pCategory = zlog_get_category(kCategoryName);
    if (nullptr == pCategory) {
        zc_error("------get category failed------");
        zlog_fini();
        return QOVA_LOG_E_INIT;
    }
    g_ptr_qova_category.store(pCategory, std::memory_order_release);
    return QOVA_OK;
}

}  // namespace

unsigned int qova_log_init()
{
    return qova_log_init_ex("qovalog.conf");
}

unsigned int qova_log_init_ex(const char* configPath)
{
    zc_debug("------qova_log_init_ex:config_path[%s]------", OrNull(configPath));
    if (QovaLogEnabled()) {
        zc_debug("------have initialized------");
        return QOVA_OK;
    }
    zc_debug("------fire-new init------");

    const char* pszChosen = nullptr;
    if (IsTrustedConfFile(configPath)) {
        pszChosen = configPath;
    } else {
        const char* pszEnv = getenv("QOVA_LOG_CONF_PATH");
        if (nullptr == pszEnv || '\0' == pszEnv[0]) {
            zc_debug("------environment variable doesn't exist------");
            zc_error("------config file doesn't exist------");
            return QOVA_LOG_E_NO_CONF;
        }
        zc_debug("------environment variable[%s]------", pszEnv);
        if (!IsTrustedConfFile(pszEnv)) {
            zc_debug("------environment config file doesn't exist------");
            zc_error("------config file doesn't exist------");
            return QOVA_LOG_E_NO_CONF;
        }
        pszChosen = pszEnv;
    }

    if (0 != zlog_init(pszChosen)) {
        zc_error("------init failed------");
        return QOVA_LOG_E_INIT;
    }
    zc_debug("------zlog_init success------");

    const unsigned int nResult = AttachCategory();
    if (QOVA_OK == nResult)
        zc_debug("------qova_log_init_ex() successful finish------");
    return nResult;
}

unsigned int qova_log_init_memory_log(unsigned int level, const char* logPath)
{
    zc_debug("------enter qova_log_init_memory_log()------");
    if (QovaLogEnabled())
        return QOVA_OK;
    zc_debug("------log_level[%d], log_path[%s]------", static_cast<int>(level), OrNull(logPath));
    if (nullptr == logPath || '\0' == logPath[0]) {
        zc_error("------psz_log_path is empty------");
        return QOVA_LOG_E_INIT;
    }
    const char* pszLevelName = level <= kMaxLevel ? kLevelNames[level] : "INFO";
    zc_debug("------log_level[%s]------", pszLevelName);

    if (0 != zlog_init_memory_log(pszLevelName, logPath)) {
        zc_error("------zlog_init_memory_log() failed------");
        return QOVA_LOG_E_INIT;
    }
    zc_debug("------zlog_init_memory_log() success------");

    zlog_category_t* pCategory = zlog_get_category(kCategoryName);
    if (nullptr == pCategory) {
        zc_error("------zlog_get_category() failed------");
        zlog_fini();
        return QOVA_LOG_E_INIT;
    }
    g_ptr_qova_category.store(pCategory, std::memory_order_release);
    zc_debug("------qova_log_init_memory_log() successful finish------");
    return QOVA_OK;
}

void qova_log_fini()
{
    // Off first: a trace that starts from now on returns 0x6006; one that read the handle just
    // before finds the engine shut down (its categories are never freed).
    g_ptr_qova_category.store(nullptr, std::memory_order_release);
    zlog_fini();
}

unsigned int TRACE(unsigned int level, const char* format, ...)
{
    // One read: the handle may be cleared by another thread at any time.
    zlog_category_t* const pCategory = g_ptr_qova_category.load(std::memory_order_acquire);
    if (nullptr == pCategory)
        return QOVA_LOG_E_NOT_INIT;

    // The first 4096 bytes live on the stack: most trace texts fit and cost no allocation.
    char szFirst[kFirstTextSize];
    char* pszText = szFirst;
    size_t nSize = sizeof(szFirst);
    std::unique_ptr<char[]> grown;

    // Format again from the first argument, with a larger buffer, until the whole text fits.
    for (;;) {
        int nWritten = 0;
        if (nullptr == format) {
            pszText[0] = '\0';
        } else {
            va_list args;
            va_start(args, format);
            nWritten = vsnprintf(pszText, nSize, format, args);
            va_end(args);
        }
        if (nWritten >= 0 && static_cast<size_t>(nWritten) < nSize)
            break;
        size_t nNext = nSize * 2;
        if (nWritten >= 0) {
            nNext = std::max(nNext, static_cast<size_t>(nWritten) + 1);
        } else if (nSize >= kMaxRetrySize) {
            // The formatter's own errors (an invalid wide character, a text beyond INT_MAX) do not
            // go away with more room; stop instead of growing without end.
            return QOVA_LOG_E_NOMEM;
        }
        grown.reset(new (std::nothrow) char[nNext]);
        if (!grown)
            return QOVA_LOG_E_NOMEM;
        pszText = grown.get();
        nSize = nNext;
    }

    if (level > kMaxLevel)
        return QOVA_LOG_E_LEVEL;

    // The text goes out as the message of "%s": a per cent sign in it stays literal.
    zlog(pCategory, __FILE__, sizeof(__FILE__) - 1, kTraceFunc, sizeof(kTraceFunc) - 1, __LINE__,
         kLevelValues[level], "%s", pszText);
    return QOVA_OK;
}

unsigned int TRACE_BINARY(unsigned int level, const void* data, int length)
{
    zlog_category_t* const pCategory = g_ptr_qova_category.load(std::memory_order_acquire);
    if (nullptr == pCategory)
        return QOVA_OK;
    if (level > kMaxLevel)
        return QOVA_LOG_E_LEVEL;
    // A negative length widened with its sign would ask the engine for an absurd dump; log nothing.
    if (length < 0)
        return QOVA_OK;
    hzlog(pCategory, __FILE__, sizeof(__FILE__) - 1, kTraceBinaryFunc, sizeof(kTraceBinaryFunc) - 1,
          __LINE__, kLevelValues[level], data, static_cast<size_t>(length));
    return QOVA_OK;
}

unsigned int TraceInfo(const char* text)
{
    return TRACE(3, "%s", OrNull(text));
}

unsigned int TraceError(const char* text)
{
    return TRACE(1, "%s", OrNull(text));
}

unsigned int TraceLog(int level, const char* text)
{
    return TRACE(static_cast<unsigned int>(level), "%s", OrNull(text));
}

TraceHelper::TraceHelper(const char* functionName) : m_pszFunctionName(functionName)
{
    TRACE(3, "------------------------> (%s)", OrNull(m_pszFunctionName));
}

TraceHelper::~TraceHelper()
{
    TRACE(3, "<------------------------ (%s)", OrNull(m_pszFunctionName));
}
