// The long run of the access guard's stress test: more processes, a minute of
// random reading and writing with kills.
#include <gtest/gtest.h>

#include <random>

#include "engine/txstore/swmrg_stress.h"

namespace velk {
namespace {

CHILD_SCENARIO(guard_stress)
{
    return stress::StressChild(vArgs);
}

TEST(SWMRGLong, StressWithKilledHoldersAndWaitersKeepsWritersAlone)
{
    std::random_device device;
    const std::string tag = "long" + std::to_string(device()) + "-" + std::to_string(device());
    const std::string guard = tag + "guard";
    const stress::Outcome outcome = stress::RunStress(guard, tag + "check", 8, 60000, device());
    EXPECT_TRUE(outcome.bOk);
    EXPECT_EQ(0u, outcome.nViolations);
    EXPECT_GT(outcome.nGrants, 1000u);
    EXPECT_GE(outcome.nKills, 50);
    CSWMRG g(guard.c_str());
    EXPECT_EQ(1, g.WaitToWrite(5000));
}

}  // namespace
}  // namespace velk
