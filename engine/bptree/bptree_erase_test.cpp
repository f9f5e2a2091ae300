#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/test_store.h"

namespace velk {
namespace {

typedef CBPTree::Cursor Cursor;
typedef std::vector<std::string> Keys;

std::string K1(int n)
{
    return std::string(1, static_cast<char>(n));
}

class BPTreeEraseTest : public ::testing::Test {
protected:
    BPTreeEraseTest() : m_store(testing::kMemoryStore), m_strDir(m_store.Path("tree")) {}

    void CreateAndOpen(std::uint32_t d, std::uint32_t L)
    {
        ASSERT_EQ(0, CBPTree::Create(m_store.Context(), m_strDir.c_str(), d, L, 1, 0, 0,
                                     kGuidBinaryAscending));
        m_tree.Open(m_store.Context(), m_strDir.c_str(), 1, kGuidBinaryAscending, nullptr);
    }
    void InsertAll(std::initializer_list<int> keys)
    {
        for (int k : keys)
            ASSERT_EQ(0, m_tree.Insert(K1(k).data(), 1, nullptr, 0, nullptr));
    }
    int EraseKey(int k)
    {
        Cursor cursor;
        if (!m_tree.Find(K1(k).data(), 1, &cursor, 0))
            return -1;
        return m_tree.Erase(&cursor);
    }
    // The keys of one leaf, and the keys of one index node.
    Keys LeafKeys(std::uint32_t nLeaf)
    {
        void* p = m_tree.GetLeafFile().Get(nLeaf, 0);
        CLeafNode leaf = m_tree.LeafView(p);
        Keys v;
        for (std::uint32_t i = 0; i < leaf.GetCount(); ++i)
            v.push_back(std::string(reinterpret_cast<const char*>(leaf.GetKeyBytes(i)), leaf.GetKeyLength(i)));
        m_tree.GetLeafFile().Release(p);
        return v;
    }
    Keys RootKeys()
    {
        void* p = m_tree.GetIndexFile().Get(m_tree.GetRoot(), 0);
        CIndexNode node = m_tree.IndexView(p);
        Keys v;
        for (std::uint32_t i = 0; i < node.GetCount(); ++i)
            v.push_back(std::string(reinterpret_cast<const char*>(node.GetKeyBytes(i)), node.GetKeyLength(i)));
        m_tree.GetIndexFile().Release(p);
        return v;
    }

    testing::CTestStore m_store;
    std::string m_strDir;
    CBPTree m_tree;
};

TEST_F(BPTreeEraseTest, ErasingTheOnlyEntryEmptiesTheTree)
{
    CreateAndOpen(1, 2);
    InsertAll({7});
    ASSERT_EQ(0, EraseKey(7));
    EXPECT_EQ(0u, m_tree.GetCount());
    EXPECT_EQ(0u, m_tree.GetRoot());
    EXPECT_EQ(0u, m_tree.GetFirstLeaf());
    EXPECT_EQ(0u, m_tree.GetHeight());
    EXPECT_EQ("", testing::Problems(m_tree));
    Cursor cursor;
    ASSERT_EQ(0, m_tree.Insert("\x08", 1, nullptr, 0, &cursor));
    EXPECT_EQ(1u, cursor.nLeaf);
    EXPECT_EQ(1u, m_tree.GetRoot());
}

// L = 2: leaves [1] and [2 3] under root key 2. Erasing 1 borrows from the right;
// erasing 2 then merges and collapses the root.
TEST_F(BPTreeEraseTest, SmallestTreeBorrowsThenMergesAndCollapses)
{
    CreateAndOpen(1, 2);
    InsertAll({1, 2, 3});
    ASSERT_EQ((Keys{K1(1)}), LeafKeys(1));
    ASSERT_EQ((Keys{K1(2), K1(3)}), LeafKeys(2));
    ASSERT_EQ(0, EraseKey(1));
    EXPECT_EQ((Keys{K1(2)}), LeafKeys(1));
    EXPECT_EQ((Keys{K1(3)}), LeafKeys(2));
    EXPECT_EQ((Keys{K1(3)}), RootKeys());
    EXPECT_EQ("", testing::Problems(m_tree));

    ASSERT_EQ(0, EraseKey(2));
    EXPECT_EQ((Keys{K1(3)}), LeafKeys(1));
    EXPECT_FALSE(m_tree.GetLeafFile().IsAllocated(2));
    EXPECT_FALSE(m_tree.GetIndexFile().IsAllocated(1));
    EXPECT_EQ(0u, m_tree.GetHeight());
    EXPECT_EQ(1u, m_tree.GetRoot());
    EXPECT_EQ(1u, m_tree.GetCount());
    EXPECT_EQ("", testing::Problems(m_tree));
    m_tree.Close();
    // Both node files are cut back to their headers and the surviving leaf.
    EXPECT_EQ(20u, m_store.Read("tree\\index").size());
    EXPECT_EQ(20u + 43u, m_store.Read("tree\\leaf").size());
}

TEST_F(BPTreeEraseTest, SeparatorStaysWhenALeafLosesItsFirstEntryWithoutUnderflow)
{
    CreateAndOpen(1, 3);
    InsertAll({1, 2, 3, 4, 5});  // leaves [1 2] [3 4 5] under separator 3
    ASSERT_EQ((Keys{K1(3)}), RootKeys());
    ASSERT_EQ(0, EraseKey(3));
    EXPECT_EQ((Keys{K1(3)}), RootKeys());
    Cursor cursor = {5, 5};
    EXPECT_FALSE(m_tree.Find(K1(3).data(), 1, &cursor, 0));
    EXPECT_EQ(-1, EraseKey(3));
    EXPECT_EQ("", testing::Problems(m_tree));
}

TEST_F(BPTreeEraseTest, UnderflowPrefersTheLeftSiblingOnATie)
{
    CreateAndOpen(2, 3);
    InsertAll({10, 20, 30, 40, 50, 60, 15, 55});  // [10 15 20] [30 40] [50 55 60]
    ASSERT_EQ((Keys{K1(30), K1(50)}), RootKeys());
    ASSERT_EQ(0, EraseKey(30));
    EXPECT_EQ((Keys{K1(10), K1(15)}), LeafKeys(1));
    EXPECT_EQ((Keys{K1(20), K1(40)}), LeafKeys(2));
    EXPECT_EQ((Keys{K1(20), K1(50)}), RootKeys());
    EXPECT_EQ("", testing::Problems(m_tree));
}

TEST_F(BPTreeEraseTest, CursorsThatNameNoEntry)
{
    CreateAndOpen(1, 2);
    Cursor cursor = {1, 0};
    EXPECT_EQ(1, m_tree.Erase(&cursor));  // empty tree
    InsertAll({1, 2});
    cursor = {1, 2};
    EXPECT_EQ(1, m_tree.Erase(&cursor));  // one leaf: slot at the count
    cursor = {0, 0};
    EXPECT_EQ(1, m_tree.Erase(&cursor));
    InsertAll({3});
    ASSERT_EQ(1u, m_tree.GetHeight());
    cursor = {2, 2};
    EXPECT_THROW(m_tree.Erase(&cursor), CFault);  // taller tree: slot at the count
    EXPECT_EQ(3u, m_tree.GetCount());
    EXPECT_EQ("", testing::Problems(m_tree));
    m_tree.Close();
    m_tree.Open(m_store.Context(), m_strDir.c_str(), 0, kGuidBinaryAscending, nullptr);
    cursor = {1, 0};
    EXPECT_EQ(1, m_tree.Erase(&cursor));  // read-only
    EXPECT_EQ(3u, m_tree.GetCount());
}

}  // namespace
}  // namespace velk
