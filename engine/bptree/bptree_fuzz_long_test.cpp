#include "engine/bptree/bptree_fuzz_test.h"

namespace velk {
namespace {

TEST(BPTreeFuzzLongTest, ManyDamagedTreesFailCleanly)
{
    testing::RunFuzz(5000, 1000);
}

}  // namespace
}  // namespace velk
