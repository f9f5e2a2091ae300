#include "engine/bptree/bptree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/base/fault.h"
#include "engine/bptree/bptree_check.h"
#include "engine/bptree/test_store.h"

namespace velk {
namespace {

using testing::Bytes;
using testing::Concat;
using testing::U32Bytes;
typedef CBPTree::Cursor Cursor;

std::string K1(int n)
{
    return std::string(1, static_cast<char>(n));
}

class BPTreeTest : public ::testing::TestWithParam<testing::StoreKind> {
protected:
    BPTreeTest() : m_store(GetParam()), m_strDir(m_store.Path("tree")) {}

    // A tree in BinaryAscending order, opened for writing.
    void CreateAndOpen(std::uint32_t d, std::uint32_t L, std::uint32_t K, std::uint32_t V, int nDup)
    {
        ASSERT_EQ(0, CBPTree::Create(m_store.Context(), m_strDir.c_str(), d, L, K, V, nDup,
                                     kGuidBinaryAscending));
        m_tree.Open(m_store.Context(), m_strDir.c_str(), 1, kGuidBinaryAscending, nullptr);
    }
    void Reopen(int nWritable = 1)
    {
        m_tree.Close();
        m_tree.Open(m_store.Context(), m_strDir.c_str(), nWritable, kGuidBinaryAscending, nullptr);
    }
    int Insert(const std::string& strKey, const std::string& strValue = "", Cursor* pCursor = nullptr)
    {
        return m_tree.Insert(strKey.data(), static_cast<std::uint32_t>(strKey.size()), strValue.data(),
                             static_cast<std::uint32_t>(strValue.size()), pCursor);
    }
    int Find(const std::string& strKey, Cursor* pCursor, int nMode = CBPTree::kFindAny)
    {
        return m_tree.Find(strKey.data(), static_cast<std::uint32_t>(strKey.size()), pCursor, nMode);
    }
    std::string Value(const Cursor& cursor)
    {
        std::string str(m_tree.ValueLength(&cursor), '\0');
        m_tree.GetValue(&cursor, str.empty() ? nullptr : &str[0], static_cast<std::uint32_t>(str.size()));
        return str;
    }
    Bytes File(const char* szName) { return m_store.Read("tree\\" + std::string(szName)); }

    testing::CTestStore m_store;
    std::string m_strDir;
    CBPTree m_tree;
};

TEST_P(BPTreeTest, SmallestTreeAndFirstSplitHaveExactBytes)
{
    CreateAndOpen(1, 2, 1, 0, 0);
    m_tree.Close();
    const Bytes kGuid(kGuidBinaryAscending, kGuidBinaryAscending + 16);
    const Bytes kInfoMagic = {0x89, 0x42, 0x50, 0x54, 0x0D, 0x0A, 0x1A, 0x0A};
    const Bytes kFileMagic = {0x89, 0x46, 0x4C, 0x52, 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_EQ(Concat({kInfoMagic, U32Bytes({1, 2, 1, 0, 0}), kGuid, U32Bytes({0, 0, 0, 0})}),
              File("bptinfo"));
    EXPECT_EQ(Concat({kFileMagic, U32Bytes({39, 0, 0})}), File("index"));
    EXPECT_EQ(Concat({kFileMagic, U32Bytes({43, 0, 0})}), File("leaf"));

    Reopen();
    Cursor cursor;
    ASSERT_EQ(0, Insert(K1(1), "", &cursor));
    EXPECT_EQ(1u, cursor.nLeaf);
    EXPECT_EQ(0u, cursor.nSlot);
    EXPECT_EQ(0u, m_tree.GetHeight());
    ASSERT_EQ(0, Insert(K1(2)));
    ASSERT_EQ(0, Insert(K1(3), "", &cursor));
    EXPECT_EQ(2u, cursor.nLeaf);
    EXPECT_EQ(1u, cursor.nSlot);
    EXPECT_EQ("", testing::Problems(m_tree));
    m_tree.Close();

    EXPECT_EQ(Concat({kInfoMagic, U32Bytes({1, 2, 1, 0, 0}), kGuid, U32Bytes({3, 1, 1, 1})}),
              File("bptinfo"));
    // Leaf 1 keeps key 1; the bytes of the entries that moved stay behind it.
    const Bytes kLeaf1 = Concat({U32Bytes({1}), U32Bytes({1}), {1}, U32Bytes({0}), U32Bytes({1}), {2},
                                 U32Bytes({0}), U32Bytes({1}), {3}, U32Bytes({0}), U32Bytes({0, 2, 1})});
    const Bytes kLeaf2 = Concat({U32Bytes({2}), U32Bytes({1}), {2}, U32Bytes({0}), U32Bytes({1}), {3},
                                 U32Bytes({0}), Bytes(9, 0), U32Bytes({1, 0, 1})});
    EXPECT_EQ(Concat({kFileMagic, U32Bytes({43, 2}), kLeaf1, kLeaf2, U32Bytes({0})}), File("leaf"));
    const Bytes kRoot = Concat({U32Bytes({1}), U32Bytes({1, 1}), {2}, U32Bytes({2, 0}), {0}, Bytes(9, 0),
                                U32Bytes({0, 0})});
    EXPECT_EQ(Concat({kFileMagic, U32Bytes({39, 1}), kRoot, U32Bytes({0})}), File("index"));
}

TEST_P(BPTreeTest, CreateRefusesBadArgumentsAndExistingDirectory)
{
    CFileSystem::IContext* p = m_store.Context();
    const char* sz = m_strDir.c_str();
    const unsigned char* g = kGuidBinaryAscending;
    EXPECT_EQ(2, CBPTree::Create(nullptr, sz, 1, 2, 1, 0, 0, g));
    EXPECT_EQ(2, CBPTree::Create(p, nullptr, 1, 2, 1, 0, 0, g));
    EXPECT_EQ(2, CBPTree::Create(p, sz, 1, 2, 1, 0, 0, nullptr));
    EXPECT_EQ(2, CBPTree::Create(p, sz, 0, 2, 1, 0, 0, g));
    EXPECT_EQ(2, CBPTree::Create(p, sz, 1, 1, 1, 0, 0, g));
    EXPECT_EQ(2, CBPTree::Create(p, sz, 1, 2, 0, 0, 0, g));
    EXPECT_EQ(0, CBPTree::Create(p, sz, 256, 256, 4, 0, 0, g));
    EXPECT_EQ(5, CBPTree::Create(p, sz, 256, 256, 4, 0, 0, g));
    EXPECT_EQ(6168u, GetU32LE(&File("index")[8]));
    EXPECT_EQ(3100u, GetU32LE(&File("leaf")[8]));
}

TEST_P(BPTreeTest, OpenChecksModeGuidAndHeader)
{
    CreateAndOpen(2, 3, 4, 4, 0);
    ASSERT_EQ(0, Insert("abcd", "v"));
    m_tree.Close();
    // Another GUID fails even when it names a built-in order.
    EXPECT_THROW(m_tree.Open(m_store.Context(), m_strDir.c_str(), 0, kGuidBinaryDescending, nullptr),
                 CFault);
    EXPECT_FALSE(m_tree.IsOpen());
    EXPECT_THROW(m_tree.Open(m_store.ReadOnlyContext(), m_strDir.c_str(), 1, kGuidBinaryAscending, nullptr),
                 CFault);
    m_tree.Open(m_store.ReadOnlyContext(), m_strDir.c_str(), 0, kGuidBinaryAscending, nullptr);
    EXPECT_EQ(1u, m_tree.GetCount());
    Cursor cursor;
    EXPECT_EQ(1, Find("abcd", &cursor));
    EXPECT_THROW(Insert("x"), CFault);
    EXPECT_EQ(1, m_tree.Erase(&cursor));
    m_tree.Close();

    // Damaged headers: each field patched on its own.
    const Bytes kGood = File("bptinfo");
    struct Case {
        const char* szWhat;
        std::size_t nOffset;
        std::uint32_t nValue;
    };
    const Case kCases[] = {
        {"magic", 0, 0x54504288},   {"index order 0", 8, 0}, {"leaf order 1", 12, 1},
        {"key size 0", 16, 0},      {"index nodes too big for their records", 8, 3},
        {"leaves too big for their records", 20, 5},       {"height 33", 48, 33},
        {"root not allocated", 52, 7},                      {"first leaf not allocated", 56, 9},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        Bytes v = kGood;
        PutU32LE(&v[c.nOffset], c.nValue);
        m_store.Write("tree\\bptinfo", v);
        EXPECT_THROW(m_tree.Open(m_store.Context(), m_strDir.c_str(), 1, kGuidBinaryAscending, nullptr),
                     CFault);
        EXPECT_FALSE(m_tree.IsOpen());
    }
    m_store.Write("tree\\bptinfo", Bytes(kGood.begin(), kGood.begin() + 59));
    EXPECT_THROW(m_tree.Open(m_store.Context(), m_strDir.c_str(), 0, kGuidBinaryAscending, nullptr), CFault);
    // Records larger than the nodes are accepted; a smaller index order fits them.
    Bytes v = kGood;
    PutU32LE(&v[8], 1);
    m_store.Write("tree\\bptinfo", v);
    m_tree.Open(m_store.Context(), m_strDir.c_str(), 0, kGuidBinaryAscending, nullptr);
    EXPECT_EQ(1u, m_tree.GetCount());
}

TEST_P(BPTreeTest, CallerOrderReplacesTheBuiltInOne)
{
    CreateAndOpen(1, 2, 1, 0, 0);
    m_tree.Close();
    m_tree.Open(m_store.Context(), m_strDir.c_str(), 1, kGuidBinaryAscending, CompareBinaryDescending);
    for (int k : {1, 2, 3, 4})
        ASSERT_EQ(0, Insert(K1(k)));
    EXPECT_EQ((std::vector<std::string>{K1(4), K1(3), K1(2), K1(1)}), testing::AllKeys(m_tree));
}

TEST_P(BPTreeTest, ExistingKeyWithoutDuplicatesReturnsItsCursor)
{
    CreateAndOpen(1, 2, 1, 2, 0);
    for (int k : {5, 1, 9, 3, 7})
        ASSERT_EQ(0, Insert(K1(k), "v" + K1(k)));
    Cursor cursor = {0, 0};
    EXPECT_EQ(5, Insert(K1(3), "xx", &cursor));
    EXPECT_EQ(5u, m_tree.GetCount());
    EXPECT_EQ(K1(3), testing::KeyAt(m_tree, cursor));
    EXPECT_EQ("v" + K1(3), Value(cursor));
    EXPECT_THROW(Insert("toolong"), CFault);
    EXPECT_THROW(Insert(K1(4), "toolong"), CFault);
    EXPECT_THROW(m_tree.Insert(nullptr, 1, nullptr, 0, nullptr), CFault);
}

TEST_P(BPTreeTest, FindModesReachAcrossLeaves)
{
    CreateAndOpen(1, 2, 1, 1, 1);
    ASSERT_EQ(0, Insert(K1(1), "a"));
    for (char c = 'a'; c <= 'g'; ++c)
        ASSERT_EQ(0, Insert(K1(5), std::string(1, c)));
    ASSERT_EQ(0, Insert(K1(9), "z"));
    ASSERT_EQ("", testing::Problems(m_tree));
    ASSERT_GT(m_tree.GetHeight(), 1u);
    Cursor first, last, any, expected;
    ASSERT_TRUE(Find(K1(5), &first, CBPTree::kFindFirst));
    ASSERT_TRUE(Find(K1(5), &last, CBPTree::kFindLast));
    ASSERT_TRUE(Find(K1(5), &any, CBPTree::kFindAny));
    m_tree.Seek(1, &expected);
    EXPECT_EQ(expected.nLeaf, first.nLeaf);
    EXPECT_EQ(expected.nSlot, first.nSlot);
    m_tree.Seek(7, &expected);
    EXPECT_EQ(expected.nLeaf, last.nLeaf);
    EXPECT_EQ(expected.nSlot, last.nSlot);
    EXPECT_EQ(K1(5), testing::KeyAt(m_tree, any));

    Cursor untouched = {77, 88};
    EXPECT_FALSE(Find(K1(4), &untouched));
    EXPECT_EQ(77u, untouched.nLeaf);
    EXPECT_EQ(88u, untouched.nSlot);
    EXPECT_FALSE(m_tree.Find(nullptr, 1, &untouched, 0));
}

// Equal keys can stay left of a separator equal to them after those on its right
// are gone; they are still found.
TEST_P(BPTreeTest, DuplicatesLeftOfTheirSeparatorAreFound)
{
    CreateAndOpen(1, 2, 1, 1, 1);
    for (char c : {'a', 'b', 'c'})
        ASSERT_EQ(0, Insert(K1(5), std::string(1, c)));
    ASSERT_EQ(0, Insert(K1(6), "x"));
    ASSERT_EQ(0, Insert(K1(7), "y"));
    // Leaves [5] [5 5] ... under separator 5: erase the 5s right of it.
    Cursor cursor;
    while (true) {
        ASSERT_TRUE(Find(K1(5), &cursor, CBPTree::kFindLast));
        Cursor firstCursor;
        m_tree.Seek(0, &firstCursor);
        if (cursor.nLeaf == firstCursor.nLeaf)
            break;
        ASSERT_EQ(0, m_tree.Erase(&cursor));
        ASSERT_EQ("", testing::Problems(m_tree));
    }
    EXPECT_TRUE(Find(K1(5), &cursor, CBPTree::kFindAny));
    EXPECT_EQ(K1(5), testing::KeyAt(m_tree, cursor));
}

TEST_P(BPTreeTest, CursorWalksStopAtTheEnds)
{
    CreateAndOpen(1, 3, 1, 0, 0);
    for (int k = 1; k <= 20; ++k)
        ASSERT_EQ(0, Insert(K1(k)));
    Cursor cursor, last, first;
    EXPECT_THROW(m_tree.Seek(20, &cursor), CFault);
    m_tree.Seek(19, &last);
    EXPECT_EQ(K1(20), testing::KeyAt(m_tree, last));
    m_tree.First(&first);
    EXPECT_EQ(K1(1), testing::KeyAt(m_tree, first));

    struct Case {
        int nFrom;  // ordinal
        bool bNext;
        std::uint32_t nSteps;
        int nPartial;
        int nResult;
        int nTo;  // ordinal afterwards
    };
    const Case kCases[] = {
        {19, true, 1, 1, 4, 19},   {0, false, 1, 1, 4, 0},      {5, true, 0, 0, 0, 5},
        {5, false, 0, 0, 0, 5},    {3, true, 9, 0, 0, 12},      {12, false, 9, 0, 0, 3},
        {0, true, 19, 0, 0, 19},   {19, false, 19, 0, 0, 0},    {2, true, 100, 0, 4, 2},
        {17, false, 100, 0, 4, 17},
        // Partial walks that run out of leaves stop on the last or the first entry.
        {2, true, 100, 1, 0, 19},  {17, false, 100, 1, 0, 0},
        // A step count that would wrap 32 bits must not move the cursor backwards.
        {1, true, 0xFFFFFFFFu, 0, 4, 1}, {1, true, 0xFFFFFFFFu, 1, 0, 19},
        {18, false, 0xFFFFFFFFu, 1, 0, 0},
    };
    std::vector<Cursor> vByOrdinal(20);
    for (std::uint32_t i = 0; i < 20; ++i)
        m_tree.Seek(i, &vByOrdinal[i]);
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::Message() << c.nFrom << (c.bNext ? " next " : " prev ") << c.nSteps);
        cursor = vByOrdinal[c.nFrom];
        int nResult = c.bNext ? m_tree.Next(&cursor, c.nSteps, c.nPartial)
                              : m_tree.Prev(&cursor, c.nSteps, c.nPartial);
        EXPECT_EQ(c.nResult, nResult);
        EXPECT_EQ(vByOrdinal[c.nTo].nLeaf, cursor.nLeaf);
        EXPECT_EQ(vByOrdinal[c.nTo].nSlot, cursor.nSlot);
    }
}

TEST_P(BPTreeTest, ValuesAndKeysThroughCursors)
{
    CreateAndOpen(2, 2, 4, 4, 0);
    Cursor cursor;
    ASSERT_EQ(0, Insert("key", "val", &cursor));
    EXPECT_EQ(3u, m_tree.KeyLength(&cursor));
    char ab[4];
    EXPECT_THROW(m_tree.GetKey(&cursor, ab, 2), CFault);
    EXPECT_THROW(m_tree.GetValue(&cursor, nullptr, 4), CFault);
    m_tree.SetValue(&cursor, "", 0);  // length 0 changes nothing
    EXPECT_EQ("val", Value(cursor));
    m_tree.SetValue(&cursor, "wxyz", 4);
    EXPECT_EQ("wxyz", Value(cursor));
    EXPECT_THROW(m_tree.SetValue(&cursor, "12345", 5), CFault);
    Cursor bad = {cursor.nLeaf, 1};
    EXPECT_THROW(m_tree.KeyLength(&bad), CFault);
    EXPECT_THROW(m_tree.SetValue(&bad, "a", 1), CFault);
    bad = {0, 0};
    EXPECT_THROW(m_tree.GetKey(&bad, ab, 4), CFault);
    Reopen(0);
    EXPECT_THROW(m_tree.SetValue(&cursor, "a", 1), CFault);
    EXPECT_EQ("wxyz", Value(cursor));
}

TEST_P(BPTreeTest, CloseWritesTheStateIntoTheHeader)
{
    CreateAndOpen(1, 2, 1, 0, 0);
    for (int k = 1; k <= 9; ++k)
        ASSERT_EQ(0, Insert(K1(k)));
    std::uint32_t nHeight = m_tree.GetHeight(), nRoot = m_tree.GetRoot();
    m_tree.Close();
    Bytes v = File("bptinfo");
    EXPECT_EQ(9u, GetU32LE(&v[44]));
    EXPECT_EQ(nHeight, GetU32LE(&v[48]));
    EXPECT_EQ(nRoot, GetU32LE(&v[52]));
    EXPECT_EQ(1u, GetU32LE(&v[56]));
    EXPECT_NO_THROW(m_tree.Close());
}

INSTANTIATE_TEST_SUITE_P(Stores, BPTreeTest,
                         ::testing::Values(testing::kMemoryStore, testing::kDiskStore),
                         [](const ::testing::TestParamInfo<testing::StoreKind>& info) {
                             return std::string(testing::StoreName(info.param));
                         });

}  // namespace
}  // namespace velk
