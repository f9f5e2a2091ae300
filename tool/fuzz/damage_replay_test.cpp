// Replays the damaged-database inputs kept in damage_inputs/ (the fuzzer's seeds,
// one per damage the engine must refuse, and every crash, hang or wrong result the
// fuzzer has found), so that the normal test run on both targets keeps them fixed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/test_support.h"
#include "tool/fuzz/database_damage.h"

namespace {

TEST(DatabaseDamage, KeptInputsRunCleanly)
{
    platform::testing::CScratchDir scratch;
    CDamageRun run(scratch.Path());
    const std::string strDir = platform::testing::BinaryDirectory() + "damage_inputs";
    std::vector<platform::DirEntry> vEntries;
    ASSERT_EQ(platform::kFileOk, platform::DirList(strDir.c_str(), &vEntries));
    ASSERT_FALSE(vEntries.empty());
    for (const platform::DirEntry& entry : vEntries) {
        const std::string strInput =
            platform::testing::ReadFileBytes(strDir + "\\" + entry.strName);
        const std::uint8_t* p = reinterpret_cast<const std::uint8_t*>(strInput.data());
        EXPECT_EQ("", run.Run(p, strInput.size()))
            << entry.strName << "\n" << run.Describe(p, strInput.size());
    }
}

}  // namespace
