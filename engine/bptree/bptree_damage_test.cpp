// Trees whose header, chain or child links were damaged in ways that a byte-level
// check of each node cannot see: opening, walking and descending must refuse them
// with the engine's exception, never loop, and never build on them.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/bptree/bptree.h"
#include "engine/bptree/bptree_check.h"
#include "engine/bptree/test_store.h"
#include "engine/base/fault.h"

namespace velk {
namespace {

typedef CBPTree::Cursor Cursor;

// d = 2, L = 3, K = 1: 20 keys make ten-odd leaves under two index levels.
const std::uint32_t kIndexOrder = 2;
const std::uint32_t kLeafOrder = 3;
const int kKeys = 20;

class TreeDamageTest : public ::testing::Test {
protected:
    TreeDamageTest() : m_store(testing::kMemoryStore), m_strDir(m_store.Path("tree")) {}

    void SetUp() override
    {
        ASSERT_EQ(0, CBPTree::Create(m_store.Context(), m_strDir.c_str(), kIndexOrder, kLeafOrder,
                                     1, 0, 0, kGuidBinaryAscending));
        Open(1);
        for (int k = 1; k <= kKeys; ++k)
            ASSERT_EQ(0, Insert(k));
        Cursor cursor;
        m_tree.First(&cursor);
        do {
            if (m_vLeaves.empty() || m_vLeaves.back() != cursor.nLeaf)
                m_vLeaves.push_back(cursor.nLeaf);
        } while (m_tree.Next(&cursor, 1, 0) == CBPTree::kOk);
        m_nRoot = m_tree.GetRoot();
        ASSERT_GE(m_tree.GetHeight(), 2u);
        ASSERT_GE(m_vLeaves.size(), 4u);
        m_tree.Close();
        m_vHeader = m_store.Read("tree\\bptinfo");
    }

    void Open(int nWritable)
    {
        m_tree.Open(m_store.Context(), m_strDir.c_str(), nWritable, kGuidBinaryAscending, nullptr);
    }
    int Insert(int nKey)
    {
        const unsigned char b = static_cast<unsigned char>(nKey);
        return m_tree.Insert(&b, 1, nullptr, 0, nullptr);
    }
    // Erases bKey from the open tree, which must hold it.
    void Erase(unsigned char bKey)
    {
        Cursor cursor;
        if (m_tree.Find(&bKey, 1, &cursor, 0) == 0)
            ADD_FAILURE() << "key " << int(bKey) << " is not found";
        else
            m_tree.Erase(&cursor);
    }
    void SetHeader(std::size_t nOffset, std::uint32_t nValue)
    {
        testing::Bytes v = m_vHeader;
        PutU32LE(&v[nOffset], nValue);
        m_store.Write("tree\\bptinfo", v);
    }
    void ChangeLeaf(std::uint32_t nId, const std::function<void(CLeafNode&)>& change)
    {
        CRecordFile file;
        file.Open(m_store.Context(), (m_strDir + "\\leaf").c_str(), 1);
        void* p = file.Get(nId, 1);
        CLeafNode leaf(nullptr, 1, 0, kLeafOrder, p);
        change(leaf);
        file.Release(p);
        file.Close();
    }
    void ChangeIndex(std::uint32_t nId, const std::function<void(CIndexNode&)>& change)
    {
        CRecordFile file;
        file.Open(m_store.Context(), (m_strDir + "\\index").c_str(), 1);
        void* p = file.Get(nId, 1);
        CIndexNode node(nullptr, 1, kIndexOrder, p);
        change(node);
        file.Release(p);
        file.Close();
    }
    std::uint32_t ParentOf(std::uint32_t nLeaf)
    {
        std::uint32_t nParent = 0;
        ChangeLeaf(nLeaf, [&](CLeafNode& leaf) { nParent = leaf.GetParent(); });
        return nParent;
    }
    std::uint32_t CountOf(std::uint32_t nLeaf)
    {
        std::uint32_t n = 0;
        ChangeLeaf(nLeaf, [&](CLeafNode& leaf) { n = leaf.GetCount(); });
        return n;
    }
    unsigned char KeyOf(std::uint32_t nLeaf, std::uint32_t nSlot)
    {
        unsigned char b = 0;
        ChangeLeaf(nLeaf, [&](CLeafNode& leaf) { b = *leaf.GetKeyBytes(nSlot); });
        return b;
    }
    // Creates the tree szName beside the fixture's, holding keys 1 and 2, and leaves
    // it open for writing in *pTree. Returns its path.
    std::string OpenTreeOfTwoKeys(const char* szName, CBPTree* pTree)
    {
        const std::string strDir = m_store.Path(szName);
        EXPECT_EQ(0, CBPTree::Create(m_store.Context(), strDir.c_str(), kIndexOrder, kLeafOrder,
                                     1, 0, 0, kGuidBinaryAscending));
        pTree->Open(m_store.Context(), strDir.c_str(), 1, kGuidBinaryAscending, nullptr);
        for (unsigned char b = 1; b <= 2; ++b)
            EXPECT_EQ(0, pTree->Insert(&b, 1, nullptr, 0, nullptr));
        return strDir;
    }
    // Runs a write on the tree as it is on disk now: it must throw the engine's
    // exception and leave both node files as they were.
    void ExpectRefusedUnchanged(const std::function<void()>& write)
    {
        const testing::Bytes vIndex = m_store.Read("tree\\index");
        const testing::Bytes vLeaves = m_store.Read("tree\\leaf");
        Open(1);
        EXPECT_THROW(write(), CFault);
        m_tree.Close();
        EXPECT_EQ(vIndex, m_store.Read("tree\\index"));
        EXPECT_EQ(vLeaves, m_store.Read("tree\\leaf"));
    }

    // Walks the whole tree one step at a time from one end; the number of entries
    // seen, or -1 when the walk threw. A walk that goes on far beyond the entries
    // the files can hold fails the test instead of hanging it.
    int Walk(bool bForward)
    {
        Open(0);
        int nSeen = 0;
        try {
            Cursor cursor;
            if (bForward) {
                m_tree.First(&cursor);
            } else {
                // The last entry, found by a descent rather than by the chain.
                const unsigned char bLast = kKeys;
                if (m_tree.Find(&bLast, 1, &cursor, 0) == 0)
                    ADD_FAILURE() << "the last key is not found";
            }
            do {
                m_tree.KeyLength(&cursor);
                if (++nSeen > 1000) {
                    ADD_FAILURE() << "the walk does not end";
                    break;
                }
            } while ((bForward ? m_tree.Next(&cursor, 1, 0) : m_tree.Prev(&cursor, 1, 0)) ==
                     CBPTree::kOk);
        } catch (const CFault&) {
            nSeen = -1;
        }
        m_tree.Close();
        return nSeen;
    }

    testing::CTestStore m_store;
    std::string m_strDir;
    CBPTree m_tree;
    std::vector<std::uint32_t> m_vLeaves;  // in chain order
    std::uint32_t m_nRoot = 0;
    testing::Bytes m_vHeader;
};

TEST_F(TreeDamageTest, HeaderStateThatDisagreesWithTheFilesIsRefusedAtOpen)
{
    const std::uint32_t nLeaves = static_cast<std::uint32_t>(m_vLeaves.size());
    struct Case {
        const char* szWhat;
        std::size_t nOffset;
        std::uint32_t nValue;
    };
    const Case kCases[] = {
        {"no entries, but a root, a height and a first leaf", 44, 0},
        {"more entries than the leaves hold", 44, nLeaves * kLeafOrder + 1},
        {"a count that would wrap a position", 44, 0xFFFFFFFF},
        {"entries without a root", 52, 0},
        {"entries without a first leaf", 56, 0},
        {"more levels than the leaves allow", 48, 5},
        {"one level for a tree of many leaves", 48, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        SetHeader(c.nOffset, c.nValue);
        EXPECT_THROW(Open(1), CFault);
        EXPECT_FALSE(m_tree.IsOpen());
    }
    m_store.Write("tree\\bptinfo", m_vHeader);
    EXPECT_NO_THROW(Open(0));
    EXPECT_EQ(static_cast<std::uint32_t>(kKeys), m_tree.GetCount());
}

TEST_F(TreeDamageTest, ChainsThatComeRoundOrStartElsewhereFailTheWalk)
{
    ASSERT_EQ(kKeys, Walk(true));
    ASSERT_EQ(kKeys, Walk(false));
    const std::vector<std::uint32_t> v = m_vLeaves;
    const std::size_t n = v.size();
    struct Case {
        const char* szWhat;
        bool bForward;
        std::function<void()> damage;
    };
    const Case kCases[] = {
        {"a leaf linked to itself", true,
         [&] { ChangeLeaf(v[1], [&](CLeafNode& leaf) { leaf.SetNext(v[1]); }); }},
        {"the last two leaves linked in a circle", true,
         [&] { ChangeLeaf(v[n - 1], [&](CLeafNode& leaf) { leaf.SetNext(v[n - 2]); }); }},
        {"three leaves in a circle, linked back consistently", true,
         [&] {
             ChangeLeaf(v[3], [&](CLeafNode& leaf) { leaf.SetNext(v[1]); });
             ChangeLeaf(v[1], [&](CLeafNode& leaf) { leaf.SetPrevious(v[3]); });
         }},
        {"the first leaf set to the last", true, [&] { SetHeader(56, v[n - 1]); }},
        {"the first leaf set to the second", true, [&] { SetHeader(56, v[1]); }},
        {"a leaf whose previous is itself", false,
         [&] { ChangeLeaf(v[2], [&](CLeafNode& leaf) { leaf.SetPrevious(v[2]); }); }},
        {"a backward chain that ends before the first leaf", false,
         [&] { ChangeLeaf(v[2], [&](CLeafNode& leaf) { leaf.SetPrevious(0); }); }},
    };
    const testing::Bytes vLeafFile = m_store.Read("tree\\leaf");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        m_store.Write("tree\\leaf", vLeafFile);
        m_store.Write("tree\\bptinfo", m_vHeader);
        c.damage();
        EXPECT_EQ(-1, Walk(c.bForward));
    }
}

TEST_F(TreeDamageTest, DescentThroughAChildOfAnotherParentWritesNothing)
{
    // Two neighbouring leaves under different parents.
    std::size_t i = 0;
    while (i + 1 < m_vLeaves.size() && ParentOf(m_vLeaves[i]) == ParentOf(m_vLeaves[i + 1]))
        ++i;
    ASSERT_LT(i + 2, m_vLeaves.size());
    ASSERT_EQ(ParentOf(m_vLeaves[i + 1]), ParentOf(m_vLeaves[i + 2]));
    const std::uint32_t nParent = ParentOf(m_vLeaves[i + 1]);
    unsigned char bFirstKey = 0;
    ChangeLeaf(m_vLeaves[i + 1], [&](CLeafNode& leaf) { bFirstKey = *leaf.GetKeyBytes(0); });
    unsigned char bSecondKey = 0;
    ChangeLeaf(m_vLeaves[i + 2], [&](CLeafNode& leaf) { bSecondKey = *leaf.GetKeyBytes(0); });
    struct Case {
        const char* szWhat;
        unsigned char bKey;  // a key whose descent meets the damage
        std::function<void()> damage;
    };
    const Case kCases[] = {
        // Key 0 sorts before every key and descends through child 0 everywhere.
        {"the root's first child is the root itself", 0,
         [&] { ChangeIndex(m_nRoot, [&](CIndexNode& node) { node.SetChild(0, m_nRoot); }); }},
        {"a leaf reached from a node that is not its parent", bFirstKey,
         [&] {
             ChangeIndex(nParent, [&](CIndexNode& node) { node.SetChild(0, m_vLeaves[0]); });
         }},
        {"a leaf of the right parent, but left of the separators that lead to it", bSecondKey,
         [&] {
             ChangeIndex(nParent, [&](CIndexNode& node) { node.SetChild(1, node.GetChild(0)); });
         }},
    };
    const testing::Bytes vIndexFile = m_store.Read("tree\\index");
    const testing::Bytes vLeafFile = m_store.Read("tree\\leaf");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        m_store.Write("tree\\index", vIndexFile);
        c.damage();
        const testing::Bytes vDamaged = m_store.Read("tree\\index");
        Open(1);
        EXPECT_THROW(Insert(c.bKey), CFault);
        EXPECT_THROW(m_tree.Find(&c.bKey, 1, nullptr, 0), CFault);
        m_tree.Close();
        EXPECT_EQ(vDamaged, m_store.Read("tree\\index"));
        EXPECT_EQ(vLeafFile, m_store.Read("tree\\leaf"));
    }
}

TEST_F(TreeDamageTest, WritesRefuseNodesFullerOrEmptierThanTheTreeKeepsThem)
{
    const std::vector<std::uint32_t> v = m_vLeaves;
    // A leaf at its least fill with a neighbour under the same parent: an erase
    // there must borrow from the neighbour or merge with it.
    std::size_t i = 0;
    while (i + 1 < v.size() &&
           (CountOf(v[i]) != (kLeafOrder + 1) / 2 || ParentOf(v[i]) != ParentOf(v[i + 1])))
        ++i;
    ASSERT_LT(i + 1, v.size());
    const std::uint32_t nLeast = v[i];
    const std::uint32_t nNeighbour = v[i + 1];
    const std::uint32_t nIndexNode = ParentOf(v[0]);
    ASSERT_NE(m_nRoot, nIndexNode);
    struct Case {
        const char* szWhat;
        std::function<void()> damage;
        std::function<void()> write;
    };
    // Each key written belongs where the damage is: a hidden entry comes back, or
    // the write rebalances with the damaged node.
    const unsigned char bSecondOfFirst = KeyOf(v[1], 1);
    const Case kCases[] = {
        {"an insertion into a leaf whose count was zeroed",
         [&] { ChangeLeaf(v[1], [](CLeafNode& leaf) { leaf.SetCount(0); }); },
         [&] { Insert(KeyOf(v[1], 0)); }},
        {"an insertion into a leaf one entry short of its least fill",
         [&] { ChangeLeaf(v[1], [](CLeafNode& leaf) { leaf.SetCount(1); }); },
         [&] { Insert(bSecondOfFirst); }},
        {"an insertion through an index node with fewer than d keys",
         [&] { ChangeIndex(nIndexNode, [](CIndexNode& node) { node.SetCount(1); }); },
         [&] { Insert(0); }},
        {"an erase from a leaf already below its least fill",
         [&] { ChangeLeaf(v[1], [](CLeafNode& leaf) { leaf.SetCount(1); }); },
         [&] { Erase(KeyOf(v[1], 0)); }},
        {"an erase that would borrow from an emptied neighbour",
         [&] { ChangeLeaf(nNeighbour, [](CLeafNode& leaf) { leaf.SetCount(0); }); },
         [&] { Erase(KeyOf(nLeast, 0)); }},
        {"an erase that would borrow from an overfull neighbour",
         [&] { ChangeLeaf(nNeighbour, [](CLeafNode& leaf) { leaf.SetCount(kLeafOrder + 1); }); },
         [&] { Erase(KeyOf(nLeast, 0)); }},
    };
    const testing::Bytes vIndexFile = m_store.Read("tree\\index");
    const testing::Bytes vLeafFile = m_store.Read("tree\\leaf");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        m_store.Write("tree\\index", vIndexFile);
        m_store.Write("tree\\leaf", vLeafFile);
        c.damage();
        ExpectRefusedUnchanged(c.write);
    }
}

TEST_F(TreeDamageTest, WritesOnATreeOfOneLeafRequireTheHeadersCountInIt)
{
    // Two keys in the only leaf; the header's count says one fewer or one more.
    CBPTree tree;
    const std::string strDir = OpenTreeOfTwoKeys("single", &tree);
    ASSERT_EQ(0u, tree.GetHeight());
    tree.Close();
    const testing::Bytes vHeader = m_store.Read("single\\bptinfo");
    const testing::Bytes vLeaves = m_store.Read("single\\leaf");
    for (std::uint32_t nCount : {1u, 3u}) {
        for (bool bErase : {true, false}) {
            SCOPED_TRACE(std::to_string(nCount) + (bErase ? ", erase" : ", insert"));
            testing::Bytes v = vHeader;
            PutU32LE(&v[44], nCount);
            m_store.Write("single\\bptinfo", v);
            m_store.Write("single\\leaf", vLeaves);
            tree.Open(m_store.Context(), strDir.c_str(), 1, kGuidBinaryAscending, nullptr);
            EXPECT_THROW(
                {
                    const unsigned char b = bErase ? 1 : 3;
                    Cursor cursor;
                    if (!bErase)
                        tree.Insert(&b, 1, nullptr, 0, nullptr);
                    else if (tree.Find(&b, 1, &cursor, 0) != 0)
                        tree.Erase(&cursor);
                },
                CFault);
            tree.Close();
            EXPECT_EQ(vLeaves, m_store.Read("single\\leaf"));
        }
    }
}

// A tree without values still keeps a value length word in each entry. A slot past
// a leaf's count may hold anything: an entry inserted there gets a word of its own.
TEST_F(TreeDamageTest, AnEntryInsertedIntoAnUnusedSlotGetsAValueLengthOfItsOwn)
{
    CBPTree tree;
    const std::string strDir = OpenTreeOfTwoKeys("slots", &tree);
    Cursor cursor;
    tree.First(&cursor);
    tree.Close();
    {
        CRecordFile file;
        file.Open(m_store.Context(), (strDir + "\\leaf").c_str(), 1);
        unsigned char* p = static_cast<unsigned char*>(file.Get(cursor.nLeaf, 1));
        CLeafNode leaf(nullptr, 1, 0, kLeafOrder, p);
        // The value's length follows the one key byte.
        PutU32LE(const_cast<unsigned char*>(leaf.GetKeyBytes(2)) + 1, 5);
        ASSERT_EQ(5u, leaf.GetStoredValueLength(2));
        file.Release(p);
        file.Close();
    }
    tree.Open(m_store.Context(), strDir.c_str(), 1, kGuidBinaryAscending, nullptr);
    const unsigned char b = 3;
    ASSERT_EQ(0, tree.Insert(&b, 1, nullptr, 0, nullptr));
    tree.Close();
    tree.Open(m_store.Context(), strDir.c_str(), 0, kGuidBinaryAscending, nullptr);
    std::vector<std::string> vProblems;
    EXPECT_EQ(0u, CheckTree(tree, &vProblems)) << (vProblems.empty() ? "" : vProblems[0]);
    tree.Close();
}

// A write moves a leaf's entries about: damage inside any of them is refused before
// it spreads.
TEST_F(TreeDamageTest, WritesRefuseLeavesWithADamagedEntry)
{
    const std::uint32_t nLeaf = m_vLeaves[1];
    const unsigned char bFirst = KeyOf(nLeaf, 0);
    const unsigned char bSecond = KeyOf(nLeaf, 1);
    struct Case {
        const char* szWhat;
        std::function<void(CLeafNode&)> damage;
        std::function<void()> write;
    };
    const Case kCases[] = {
        {"an erase beside a value length past the value size",
         [](CLeafNode& leaf) { PutU32LE(const_cast<unsigned char*>(leaf.GetKeyBytes(0)) + 1, 5); },
         [&] { Erase(bSecond); }},
        {"an insertion into a leaf whose keys are out of order",
         [&](CLeafNode& leaf) {
             const unsigned char b = static_cast<unsigned char>(bSecond + 1);
             leaf.SetKey(0, &b, 1);
         },
         [&] { Insert(bSecond); }},
        {"an insertion beside a key length past the key size",
         [](CLeafNode& leaf) { PutU32LE(const_cast<unsigned char*>(leaf.GetKeyBytes(1)) - 4, 2); },
         [&] { Insert(bFirst); }},
    };
    const testing::Bytes vLeafFile = m_store.Read("tree\\leaf");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        m_store.Write("tree\\leaf", vLeafFile);
        ChangeLeaf(nLeaf, c.damage);
        ExpectRefusedUnchanged(c.write);
    }
}

TEST_F(TreeDamageTest, AMergeRefusesAChainCutShortAfterTheLeafItRemoves)
{
    const std::vector<std::uint32_t> v = m_vLeaves;
    // A leaf at its least fill, not the last, whose left neighbour under the same
    // parent is at its least fill too: an erase merges it into that neighbour.
    const std::uint32_t nLeast = (kLeafOrder + 1) / 2;
    std::size_t i = 1;
    while (i + 1 < v.size() && (CountOf(v[i]) != nLeast || CountOf(v[i - 1]) != nLeast ||
                                ParentOf(v[i]) != ParentOf(v[i - 1]) ||
                                (ParentOf(v[i + 1]) == ParentOf(v[i]) && CountOf(v[i + 1]) > nLeast)))
        ++i;
    ASSERT_LT(i + 1, v.size());
    const unsigned char bKey = KeyOf(v[i], 0);
    ChangeLeaf(v[i], [](CLeafNode& leaf) { leaf.SetNext(0); });
    ExpectRefusedUnchanged([&] {
        Cursor cursor;
        ASSERT_NE(0, m_tree.Find(&bKey, 1, &cursor, 0));
        m_tree.Erase(&cursor);
    });
}

TEST_F(TreeDamageTest, AnInsertionRefusesASeparatorThatSendsItBesideItsPlace)
{
    const std::vector<std::uint32_t> v = m_vLeaves;
    // Three neighbouring leaves under one parent, and the separators between them.
    std::size_t i = 1;
    while (i + 1 < v.size() &&
           (ParentOf(v[i - 1]) != ParentOf(v[i]) || ParentOf(v[i + 1]) != ParentOf(v[i])))
        ++i;
    ASSERT_LT(i + 1, v.size());
    const std::uint32_t nParent = ParentOf(v[i]);
    std::uint32_t j = 0;
    ChangeIndex(nParent, [&](CIndexNode& node) {
        while (j <= node.GetCount() && node.GetChild(j) != v[i])
            ++j;
    });
    ASSERT_GE(j, 1u);
    const unsigned char bLeftFirst = KeyOf(v[i - 1], 0);
    const unsigned char bRightFirst = KeyOf(v[i + 1], 0);
    struct Case {
        const char* szWhat;
        std::function<void(CIndexNode&)> damage;
        unsigned char bKey;  // a key of a neighbour, which the damage sends to leaf i
    };
    const Case kCases[] = {
        {"a separator emptied, below the keys on its left",
         [&](CIndexNode& node) { node.SetKey(j - 1, nullptr, 0); }, bLeftFirst},
        {"a separator raised above the first key on its right",
         [&](CIndexNode& node) {
             const unsigned char b = static_cast<unsigned char>(bRightFirst + 1);
             node.SetKey(j, &b, 1);
         },
         bRightFirst},
    };
    const testing::Bytes vIndexFile = m_store.Read("tree\\index");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        m_store.Write("tree\\index", vIndexFile);
        ChangeIndex(nParent, c.damage);
        ExpectRefusedUnchanged([&] { Insert(c.bKey); });
    }
}

// Larger records still read, but the check reports them and no write opens them.
TEST_F(TreeDamageTest, NodeRecordSizesOtherThanTheOrdersGiveAreReportedAndNotWritten)
{
    Open(0);
    EXPECT_EQ("", testing::Problems(m_tree));
    m_tree.Close();
    SetHeader(8, kIndexOrder - 1);  // records stay those of d = 2
    Open(0);
    EXPECT_NE(std::string::npos,
              testing::Problems(m_tree).find("index file: records of 57 bytes, but d and K give 39"))
        << testing::Problems(m_tree);
    m_tree.Close();
    EXPECT_THROW(Open(1), CFault);
    SetHeader(12, kLeafOrder - 1);
    Open(0);
    EXPECT_NE(std::string::npos, testing::Problems(m_tree).find(
                                     "leaf file: records of 52 bytes, but L, K and V give 43"))
        << testing::Problems(m_tree);
    m_tree.Close();
    EXPECT_THROW(Open(1), CFault);
}

}  // namespace
}  // namespace velk
