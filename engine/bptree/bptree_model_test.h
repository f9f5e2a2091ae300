// The randomized model test of the B+ trees: random inserts, finds, cursor walks,
// value changes and erases, each checked against a std::multimap in the tree's own
// key order, with the integrity check after every step while the tree is small and
// every 64 steps after that, and a close and reopen now and then. Seeded, so a
// failure names the seed that reproduces it. The normal test run and the long run
// share this code with different sizes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/bptree/bptree.h"
#include "engine/bptree/bptree_check.h"
#include "engine/bptree/test_store.h"

namespace velk {
namespace testing {

struct SModelConfig {
    const char* szOrder;
    const unsigned char* pGuid;
    PFNCOMPAREKEYS pfnCompare;
    bool bString;  // keys are NUL-terminated strings
    std::uint32_t nIndexOrder;
    std::uint32_t nLeafOrder;
    std::uint32_t cbKeySize;
    std::uint32_t cbValueSize;
    int nDuplicates;
    bool bSmallCache = false;  // records leave memory all the time
};

// Every key order, with and without duplicates, at the small orders that force deep
// trees, plus a keys-only tree and a wider one.
inline std::vector<SModelConfig> ModelConfigs()
{
    struct SOrder {
        const char* sz;
        const unsigned char* pGuid;
        PFNCOMPAREKEYS pfn;
        bool bString;
    };
    const SOrder kOrders[] = {
        {"BinaryAscending", kGuidBinaryAscending, CompareBinaryAscending, false},
        {"BinaryDescending", kGuidBinaryDescending, CompareBinaryDescending, false},
        {"StringAscending", kGuidStringAscending, CompareStringAscending, true},
        {"StringDescending", kGuidStringDescending, CompareStringDescending, true},
        {"NoCaseAscending", kGuidNoCaseAscending, CompareNoCaseAscending, true},
        {"NoCaseDescending", kGuidNoCaseDescending, CompareNoCaseDescending, true},
    };
    std::vector<SModelConfig> v;
    for (const SOrder& order : kOrders) {
        for (int nDup : {0, 1}) {
            v.push_back({order.sz, order.pGuid, order.pfn, order.bString, 1, 2, 5, 4, nDup});
            v.push_back({order.sz, order.pGuid, order.pfn, order.bString, 2, 3, 5, 4, nDup});
        }
    }
    v.push_back({"BinaryAscending", kGuidBinaryAscending, CompareBinaryAscending, false, 1, 2, 3, 0, 1});
    v.push_back({"NoCaseAscending", kGuidNoCaseAscending, CompareNoCaseAscending, true, 3, 6, 7, 8, 1});
    return v;
}

class CTreeModel {
public:
    CTreeModel(StoreKind kind, const SModelConfig& config, unsigned nSeed)
        : m_store(kind), m_config(config), m_random(nSeed), m_model(SLess{config.pfnCompare}),
          m_strDir(m_store.Path("tree"))
    {
    }

    // Runs nSteps random operations; stops at the first failed expectation.
    void Run(int nSteps)
    {
        ASSERT_EQ(0, CBPTree::Create(m_store.Context(), m_strDir.c_str(), m_config.nIndexOrder,
                                     m_config.nLeafOrder, m_config.cbKeySize, m_config.cbValueSize,
                                     m_config.nDuplicates, m_config.pGuid));
        Reopen();
        for (int nStep = 0; nStep < nSteps; ++nStep) {
            SCOPED_TRACE(::testing::Message() << "step " << nStep);
            // Grow most of the time, and shrink for stretches, so that the tree
            // rises and collapses again.
            int nShrinkBias = (nStep / 300) % 3 == 2 ? 35 : 0;
            int n = Pick(100);
            if (n < 45 - nShrinkBias)
                StepInsert();
            else if (n < 60)
                StepFind();
            else if (n < 85)
                StepErase();
            else if (n < 95)
                StepWalk();
            else if (n < 99)
                StepSetValue();
            else
                Reopen();
            if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure())
                return;
            if (nStep % 64 == 0) {
                CheckAll();
            } else if (m_model.size() < 256) {
                ASSERT_EQ("", Problems(m_tree));
            }
        }
        CheckAll();
        m_tree.Close();
    }

private:
    struct SLess {
        PFNCOMPAREKEYS pfn;
        bool operator()(const std::string& a, const std::string& b) const
        {
            return pfn(a.data(), static_cast<std::uint32_t>(a.size()), b.data(),
                       static_cast<std::uint32_t>(b.size())) < 0;
        }
    };
    typedef std::multimap<std::string, std::string, SLess> Model;

    int Pick(int n) { return static_cast<int>(m_random() % static_cast<unsigned>(n)); }

    std::string RandomKey()
    {
        // A small alphabet, so that equal keys (and keys equal without case) recur.
        static const char kBinary[] = {'\0', '\x01', '\x02', '\x7F', '\x80', '\xFF'};
        static const char kString[] = {'a', 'b', 'A', 'B', 'z', '_', '\x81', '\x95'};
        std::string str;
        std::uint32_t cbMax = m_config.bString ? m_config.cbKeySize - 1 : m_config.cbKeySize;
        int cch = 1 + Pick(static_cast<int>(std::min<std::uint32_t>(cbMax, 4)));
        for (int i = 0; i < cch; ++i)
            str += m_config.bString ? kString[Pick(sizeof(kString))] : kBinary[Pick(sizeof(kBinary))];
        if (m_config.bString)
            str += '\0';
        return str;
    }

    std::string NewValue()
    {
        if (m_config.cbValueSize < 4)
            return std::string();
        ++m_nValue;
        std::string str(4, '\0');
        std::memcpy(&str[0], &m_nValue, 4);
        return str;
    }

    std::string KeyAtCursor(const CBPTree::Cursor& cursor) { return KeyAt(m_tree, cursor); }
    std::string ValueAtCursor(const CBPTree::Cursor& cursor)
    {
        std::string str(m_tree.ValueLength(&cursor), '\0');
        m_tree.GetValue(&cursor, str.empty() ? nullptr : &str[0], static_cast<std::uint32_t>(str.size()));
        return str;
    }
    int Compare(const std::string& a, const std::string& b) const
    {
        return m_config.pfnCompare(a.data(), static_cast<std::uint32_t>(a.size()), b.data(),
                                   static_cast<std::uint32_t>(b.size()));
    }
    CBPTree::Cursor CursorAt(std::size_t nOrdinal)
    {
        CBPTree::Cursor cursor;
        m_tree.Seek(static_cast<std::uint32_t>(nOrdinal), &cursor);
        return cursor;
    }
    static bool Same(const CBPTree::Cursor& a, const CBPTree::Cursor& b)
    {
        return a.nLeaf == b.nLeaf && a.nSlot == b.nSlot;
    }

    void Reopen()
    {
        m_tree.Close();
        m_tree.Open(m_store.Context(), m_strDir.c_str(), 1, m_config.pGuid, nullptr);
        if (m_config.bSmallCache) {
            m_tree.GetIndexFile().SetCacheBound(0);
            m_tree.GetLeafFile().SetCacheBound(0);
        }
        ASSERT_EQ(m_model.size(), m_tree.GetCount());
    }

    void StepInsert()
    {
        std::string strKey = RandomKey();
        std::string strValue = NewValue();
        CBPTree::Cursor cursor;
        int nResult = m_tree.Insert(strKey.data(), static_cast<std::uint32_t>(strKey.size()),
                                    strValue.data(), static_cast<std::uint32_t>(strValue.size()), &cursor);
        if (!m_config.nDuplicates && m_model.count(strKey) != 0) {
            ASSERT_EQ(CBPTree::kExists, nResult);
            ASSERT_EQ(0, Compare(strKey, KeyAtCursor(cursor)));
            return;
        }
        ASSERT_EQ(CBPTree::kOk, nResult);
        ASSERT_EQ(strKey, KeyAtCursor(cursor));
        if (m_config.cbValueSize != 0) {
            ASSERT_EQ(strValue, ValueAtCursor(cursor));
        }
        m_model.emplace(strKey, strValue);
        ASSERT_EQ(m_model.size(), m_tree.GetCount());
    }

    void StepFind()
    {
        std::string strKey = RandomKey();
        int nMode = Pick(3);
        CBPTree::Cursor cursor = {0xDEAD, 0xBEEF};
        int nFound = m_tree.Find(strKey.data(), static_cast<std::uint32_t>(strKey.size()), &cursor, nMode);
        auto range = m_model.equal_range(strKey);
        if (range.first == range.second) {
            ASSERT_EQ(0, nFound);
            ASSERT_EQ(0xDEADu, cursor.nLeaf);
            return;
        }
        ASSERT_NE(0, nFound);
        ASSERT_EQ(0, Compare(strKey, KeyAtCursor(cursor)));
        std::size_t nFirst = static_cast<std::size_t>(std::distance(m_model.begin(), range.first));
        std::size_t nLast = static_cast<std::size_t>(std::distance(m_model.begin(), range.second)) - 1;
        if (!m_config.nDuplicates || nMode == CBPTree::kFindFirst) {
            ASSERT_TRUE(Same(CursorAt(nFirst), cursor)) << "first of " << (nLast - nFirst + 1);
        } else if (nMode == CBPTree::kFindLast) {
            ASSERT_TRUE(Same(CursorAt(nLast), cursor)) << "last of " << (nLast - nFirst + 1);
        }
    }

    void StepErase()
    {
        if (m_model.empty())
            return;
        std::size_t nOrdinal = static_cast<std::size_t>(Pick(static_cast<int>(m_model.size())));
        CBPTree::Cursor cursor = CursorAt(nOrdinal);
        std::string strKey = KeyAtCursor(cursor);
        std::string strValue = m_config.cbValueSize != 0 ? ValueAtCursor(cursor) : std::string();
        auto it = m_model.begin();
        std::advance(it, nOrdinal);
        ASSERT_EQ(0, Compare(strKey, it->first));
        ASSERT_EQ(0, m_tree.Erase(&cursor));
        auto range = m_model.equal_range(strKey);
        for (it = range.first; it != range.second; ++it) {
            if (it->first == strKey && it->second == strValue)
                break;
        }
        ASSERT_TRUE(it != range.second) << "erased an entry the model does not hold";
        m_model.erase(it);
        ASSERT_EQ(m_model.size(), m_tree.GetCount());
    }

    void StepWalk()
    {
        if (m_model.empty())
            return;
        std::size_t nCount = m_model.size();
        std::size_t nFrom = static_cast<std::size_t>(Pick(static_cast<int>(nCount)));
        std::uint32_t nSteps = Pick(4) == 0 ? static_cast<std::uint32_t>(m_random())
                                            : static_cast<std::uint32_t>(Pick(static_cast<int>(nCount) + 3));
        bool bNext = Pick(2) == 0;
        int nPartial = Pick(2);
        CBPTree::Cursor start = CursorAt(nFrom);
        CBPTree::Cursor cursor = start;
        int nResult = bNext ? m_tree.Next(&cursor, nSteps, nPartial) : m_tree.Prev(&cursor, nSteps, nPartial);
        bool bInRange = bNext ? nFrom + nSteps < nCount : nSteps <= nFrom;
        if (bInRange) {
            ASSERT_EQ(CBPTree::kOk, nResult);
            ASSERT_TRUE(Same(CursorAt(bNext ? nFrom + nSteps : nFrom - nSteps), cursor));
            return;
        }
        CBPTree::Cursor end = CursorAt(bNext ? nCount - 1 : 0);
        if (nPartial && start.nLeaf != end.nLeaf) {
            ASSERT_EQ(CBPTree::kOk, nResult);
            ASSERT_TRUE(Same(end, cursor));
        } else {
            ASSERT_EQ(CBPTree::kEndOfWalk, nResult);
            ASSERT_TRUE(Same(start, cursor));
        }
    }

    void StepSetValue()
    {
        if (m_model.empty() || m_config.cbValueSize < 4)
            return;
        std::size_t nOrdinal = static_cast<std::size_t>(Pick(static_cast<int>(m_model.size())));
        CBPTree::Cursor cursor = CursorAt(nOrdinal);
        std::string strKey = KeyAtCursor(cursor);
        std::string strOld = ValueAtCursor(cursor);
        std::string strNew = NewValue();
        m_tree.SetValue(&cursor, strNew.data(), static_cast<std::uint32_t>(strNew.size()));
        auto range = m_model.equal_range(strKey);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->first == strKey && it->second == strOld) {
                it->second = strNew;
                return;
            }
        }
        FAIL() << "changed an entry the model does not hold";
    }

    // The integrity check, and the whole content against the model: the same keys
    // in the same order, and the same entries (equal keys may come in any order).
    void CheckAll()
    {
        ASSERT_EQ("", Problems(m_tree));
        std::vector<std::pair<std::string, std::string>> vTree, vModel(m_model.begin(), m_model.end());
        if (m_tree.GetCount() != 0) {
            CBPTree::Cursor cursor;
            m_tree.First(&cursor);
            do
                vTree.emplace_back(KeyAtCursor(cursor),
                                   m_config.cbValueSize != 0 ? ValueAtCursor(cursor) : std::string());
            while (m_tree.Next(&cursor, 1, 0) == CBPTree::kOk);
        }
        ASSERT_EQ(vModel.size(), vTree.size());
        for (std::size_t i = 0; i < vTree.size(); ++i)
            ASSERT_EQ(0, Compare(vModel[i].first, vTree[i].first)) << "ordinal " << i;
        std::sort(vTree.begin(), vTree.end());
        std::sort(vModel.begin(), vModel.end());
        ASSERT_TRUE(vTree == vModel);
    }

    CTestStore m_store;
    SModelConfig m_config;
    std::mt19937 m_random;
    Model m_model;
    std::string m_strDir;
    CBPTree m_tree;
    std::uint32_t m_nValue = 0;
};

// Runs every configuration for nSteps steps with the seeds nFirstSeed onwards.
inline void RunModels(StoreKind kind, int nSteps, unsigned nFirstSeed, int nSeeds)
{
    std::vector<SModelConfig> vConfigs = ModelConfigs();
    for (int nSeed = 0; nSeed < nSeeds; ++nSeed) {
        for (std::size_t i = 0; i < vConfigs.size(); ++i) {
            const SModelConfig& c = vConfigs[i];
            unsigned nRun = nFirstSeed + static_cast<unsigned>(nSeed * 1000 + i);
            SCOPED_TRACE(::testing::Message() << c.szOrder << " d=" << c.nIndexOrder << " L=" << c.nLeafOrder
                                              << " V=" << c.cbValueSize << " dup=" << c.nDuplicates
                                              << " seed " << nRun);
            CTreeModel(kind, c, nRun).Run(nSteps);
            if (::testing::Test::HasFailure())
                return;
        }
    }
}

}  // namespace testing
}  // namespace velk
