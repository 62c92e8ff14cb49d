// Start-up with a library whose item signing no longer marks its digest contexts: the Z hook is
// never applied, the self-test sees a certificate signed without Z, and SM_crypto_init fails loudly.
// A process of its own: SM_crypto_init runs once per process.
#include "SM2KeyDetail.h"
#include "SM2KeyMethod.h"
#include "SM2TestSupport.h"
#include "SMRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SM2SelfTestFailure, InitialisationFailsLoudlyWhenItemSigningStopsApplyingZ)
{
    ERR_clear_error();
    // A flag the library never sets stands in for the one it stopped setting.
    sm2detail::SetItemSigningFlag(0x40000000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, SM_crypto_init());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, said.find("does not hash the Z value")) << said;
    EXPECT_EQ((std::vector<std::pair<int, int>>{{SM2_KEY_ERR_LIB_ASN1, SM2_KEY_R_SELF_TEST_FAILED}}),
              sm2test::DrainErrors());
    // Later calls report the same failure.
    EXPECT_EQ(0, SM_crypto_init());

    // The check itself passes again once the hook sees the flag the library sets.
    sm2detail::SetItemSigningFlag(sm2detail::kItemSigningFlag);
    EXPECT_EQ(1, sm2detail::RunItemSigningSelfTest());
    EXPECT_EQ(0ul, ERR_peek_error());
}

}  // namespace
