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

// Nodes leave memory in the middle of splits, merges and walks: what is written
// back and read again must be the tree's own.
TEST(BPTreeModelTest, RandomOperationsMatchTheModelWhenNodesLeaveMemory)
{
    for (testing::StoreKind kind : {testing::kMemoryStore, testing::kDiskStore}) {
        for (int nDuplicates : {0, 1}) {
            testing::SModelConfig config = testing::ModelConfigs()[2 * nDuplicates];  // d = 1, L = 2
            config.bSmallCache = true;
            testing::CTreeModel(kind, config, 91 + nDuplicates).Run(900);
            if (::testing::Test::HasFailure())
                return;
        }
    }
}

}  // namespace
}  // namespace velk
