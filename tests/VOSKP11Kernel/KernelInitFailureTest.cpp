// A process whose crypto library cannot load its legacy provider (OPENSSL_MODULES names an empty
// place, set by the test's environment): the algorithm registration fails there, for real.
#include "DataSigning.h"

#include <gtest/gtest.h>

namespace {

// Hazard: a start-up that reports success over a failed registration would let the host run with
// broken SM2 instead of showing its start-up alert; and a failed start that counted, or an
// uninitialisation at 0 that wrapped the count, would make the next start skip the registration
// and report success.
TEST(KernelInitFailure, AFailedRegistrationIsReportedEveryTime)
{
    EXPECT_FALSE(InitVOSKP11Kernel());
    EXPECT_FALSE(InitVOSKP11Kernel());
    EXPECT_TRUE(UninitVOSKP11Kernel());
    EXPECT_FALSE(InitVOSKP11Kernel());
}

}  // namespace
