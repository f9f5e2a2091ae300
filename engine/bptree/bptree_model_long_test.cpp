#include "engine/bptree/bptree_model_test.h"

namespace velk {
namespace {

TEST(BPTreeModelLongTest, ManySeedsAndLongRuns)
{
    testing::RunModels(testing::kMemoryStore, 6000, 100, 2);
}

}  // namespace
}  // namespace velk
