// The four trace-line formats, byte for byte, as they reach a log whose format is the message alone.
#include "LogTestUtil.h"
#include "QovaTrace.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using testutil::ScopedTempDir;

constexpr unsigned long kPinIncorrect = 0xA0;  // CKR_PIN_INCORRECT

unsigned int CheckPointer(const void* p, int* line)
{
    *line = __LINE__ + 1;
    QOVA_FAIL_IF(nullptr == p, QOVA_E_INVALIDARG, "Check p");
    return QOVA_OK;
}

unsigned int OpenMissingFile(const char* path, int* line)
{
    BIO* bio = BIO_new_file(path, "r");
    *line = __LINE__ + 1;
    QOVA_FAIL_IF_SSL(NULL == bio, QOVA_E_FAIL, "BIO_new_file");
    BIO_free(bio);
    return QOVA_OK;
}

unsigned int P11Login(unsigned long rv, int* line)
{
    *line = __LINE__ + 1;
    QOVA_P11_FAIL_IF(0 != rv, QovaP11Result(rv), "C_Login");
    return QOVA_OK;
}

unsigned int LongStep(const char* step, int* line)
{
    *line = __LINE__ + 1;
    QOVA_FAIL_IF(nullptr != step, QOVA_E_FAIL, step);
    return QOVA_OK;
}

unsigned int P11LongStep(const char* step, int* line)
{
    *line = __LINE__ + 1;
    QOVA_P11_FAIL_IF(nullptr != step, QOVA_E_FAIL, step);
    return QOVA_OK;
}

unsigned int Bracketed(bool returnEarly)
{
    TraceHelper trace("Bracketed");
    TRACE(3, "inside");
    if (returnEarly)
        return 1;
    TRACE(3, "after the early return");
    return 0;
}

std::string At(int line)
{
    return "[tests/zlog/TraceLineTest.cpp(" + std::to_string(line) + ")";
}

class TraceLineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_log = m_dir.File("trace.log");
        const std::string conf = logtest::WriteConf(m_dir, "trace.conf",
                                                    "[global]\nrotate lock file = " + m_dir.File("zlog.lock") +
                                                        "\n[formats]\nsimple = \"%m%n\"\n[rules]\nqova_category.* \"" +
                                                        m_log + "\"; simple\n");
        ASSERT_EQ(QOVA_OK, qova_log_init_ex(conf.c_str()));
    }
    void TearDown() override { qova_log_fini(); }

    std::string Log() const { return testutil::ReadFileOrEmpty(m_log); }

    ScopedTempDir m_dir;
    std::string m_log;
};

TEST_F(TraceLineTest, OkAndFailedLines)
{
    int x = 0;
    int okLine = 0;
    int failedLine = 0;
    EXPECT_EQ(QOVA_OK, CheckPointer(&x, &okLine));
    EXPECT_EQ(QOVA_E_INVALIDARG, CheckPointer(nullptr, &failedLine));
    // Each trace text ends in its own newline; the format's %n adds the line end.
    EXPECT_EQ(At(okLine) + "]:(CheckPointer -- Check p)\t\t--OK\n\n" + At(failedLine) +
                  ":](CheckPointer -- Check p)\t\t--Failed:(0x80070057) [Reason:nullptr == p]\n\n",
              Log());
}

TEST_F(TraceLineTest, FailedLineCarriesTheCryptoLibraryError)
{
    ERR_clear_error();
    const std::string missing = m_dir.File("missing/file.pem");
    int line = 0;
    EXPECT_EQ(QOVA_E_FAIL, OpenMissingFile(missing.c_str(), &line));
    // The queue is only peeked, so the error is still there for the reference text.
    const unsigned long error = ERR_peek_last_error();
    ASSERT_NE(0u, error);
    char text[256];
    ERR_error_string_n(error, text, sizeof(text));
    EXPECT_EQ(At(line) + ":](OpenMissingFile -- BIO_new_file)\t\t--Failed:(0xffffffff) [Reason:NULL == bio] Openssl " +
                  text + "\n\n",
              Log());
}

TEST_F(TraceLineTest, P11LinesHaveNoReason)
{
    int okLine = 0;
    int failedLine = 0;
    EXPECT_EQ(QOVA_OK, P11Login(0, &okLine));
    EXPECT_EQ(0xA00718A0u, P11Login(kPinIncorrect, &failedLine));
    EXPECT_EQ(At(okLine) + "]:(P11Login -- C_Login)\t\t--OK\n\n" + At(failedLine) +
                  ":](P11Login -- C_Login)\t\t--Failed:(0xa00718a0)\n\n",
              Log());
}

TEST_F(TraceLineTest, LongLineIsCutTo511BytesWithoutOverrun)
{
    const std::string step(600, 's');
    int line = 0;
    LongStep(step.c_str(), &line);
    const std::string whole =
        At(line) + ":](LongStep -- " + step + ")\t\t--Failed:(0xffffffff) [Reason:nullptr != step]\n";
    EXPECT_EQ(whole.substr(0, 511) + "\n", Log());
}

TEST_F(TraceLineTest, P11LineIsSizedForItsTextAndNotCut)
{
    const std::string step(2000, 'p');
    int line = 0;
    P11LongStep(step.c_str(), &line);
    EXPECT_EQ(At(line) + ":](P11LongStep -- " + step + ")\t\t--Failed:(0xffffffff)\n\n", Log());
}

TEST_F(TraceLineTest, ExpressionFormReportsFailureWithoutReturning)
{
    const int before = __LINE__ + 1;
    const bool failed = QOVA_STEP_FAILED(1 + 1 == 2, 0x80070057u, "Check sum");
    const bool passed = QOVA_STEP_FAILED(1 + 1 == 3, 0x80070057u, "Check sum");
    EXPECT_TRUE(failed);
    EXPECT_FALSE(passed);
    const std::vector<std::string> lines = logtest::Lines(Log());
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(At(before) + ":](TestBody -- Check sum)\t\t--Failed:(0x80070057) [Reason:1 + 1 == 2]", lines[0]);
    EXPECT_EQ(At(before + 1) + "]:(TestBody -- Check sum)\t\t--OK", lines[2]);
}

TEST_F(TraceLineTest, ConditionAndCodeAreEvaluatedOnce)
{
    int conditionRuns = 0;
    int codeRuns = 0;
    auto check = [&]() -> unsigned int {
        QOVA_FAIL_IF(++conditionRuns > 0, (++codeRuns, QOVA_E_FAIL), "Check once");
        return QOVA_OK;
    };
    EXPECT_EQ(QOVA_E_FAIL, check());
    EXPECT_EQ(1, conditionRuns);
    EXPECT_EQ(1, codeRuns);
}

TEST_F(TraceLineTest, TraceHelperBracketsTheFunctionAlsoOnEarlyReturn)
{
    Bracketed(true);
    Bracketed(false);
    const std::vector<std::string> expected = {
        "------------------------> (Bracketed)", "inside", "<------------------------ (Bracketed)",
        "------------------------> (Bracketed)", "inside", "after the early return",
        "<------------------------ (Bracketed)"};
    EXPECT_EQ(expected, logtest::Lines(Log()));
}

unsigned int StepsWhileOff(const void* p)
{
    QOVA_FAIL_IF(nullptr == p, QOVA_E_INVALIDARG, "Check p");
    return QOVA_OK;
}

TEST(TraceLineOff, CheckedStepsWorkWhileLoggingIsOff)
{
    int x = 0;
    EXPECT_EQ(QOVA_OK, StepsWhileOff(&x));
    EXPECT_EQ(QOVA_E_INVALIDARG, StepsWhileOff(nullptr));
    EXPECT_EQ(QOVA_LOG_E_NOT_INIT, TRACE(3, "x"));
}

}  // namespace
