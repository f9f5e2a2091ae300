#include "engine/bptree/bptree_fuzz_test.h"

namespace velk {
namespace {

TEST(BPTreeFuzzTest, DamagedTreesFailCleanly)
{
    testing::RunFuzz(400, 1);
}

}  // namespace
}  // namespace velk
