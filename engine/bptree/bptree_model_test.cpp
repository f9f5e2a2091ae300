#include "engine/bptree/bptree_model_test.h"

namespace velk {
namespace {

TEST(BPTreeModelTest, RandomOperationsMatchTheModelInEveryOrder)
{
    testing::RunModels(testing::kMemoryStore, 700, 1, 1);
}

TEST(BPTreeModelTest, RandomOperationsMatchTheModelOnDisk)
{
    testing::CTreeModel(testing::kDiskStore, testing::ModelConfigs()[1], 77).Run(600);
}

}  // namespace
}  // namespace velk
