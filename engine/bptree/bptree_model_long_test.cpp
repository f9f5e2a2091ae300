#include "engine/bptree/bptree_model_test.h"

namespace velk {
namespace {

TEST(BPTreeModelLongTest, ManySeedsAndLongRuns)
{
    testing::RunModels(testing::kMemoryStore, 20000, 100, 4);
}

}  // namespace
}  // namespace velk
