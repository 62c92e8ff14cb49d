#include "QovaTrace.h"

#include <gtest/gtest.h>

namespace {

unsigned int StepsWhileOff(const void* p)
{
    QOVA_FAIL_IF(nullptr == p, QOVA_E_INVALIDARG, "Check p");
    return QOVA_OK;
}

TEST(TraceLine, CheckedStepsWorkWhileLoggingIsOff)
{
    int x = 0;
    EXPECT_EQ(QOVA_OK, StepsWhileOff(&x));
    EXPECT_EQ(QOVA_E_INVALIDARG, StepsWhileOff(nullptr));
    EXPECT_EQ(QOVA_LOG_E_NOT_INIT, TRACE(3, "x"));
}

}  // namespace
