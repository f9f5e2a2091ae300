// Damaged trees: a valid tree's files get random bytes flipped, and then every
// operation must either succeed or throw the engine's exception, leave no record
// pinned, and never crash, hang or allocate without bound (the sanitizer build
// watches the accesses). Seeded; the normal run and the long run share this code.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <random>
#include <string>
#include <vector>

#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/bptree_check.h"
#include "engine/bptree/test_store.h"

namespace velk {
namespace testing {

struct SFuzzConfig {
    std::uint32_t nIndexOrder;
    std::uint32_t nLeafOrder;
    std::uint32_t cbValueSize;
    int nDuplicates;
    int nEntries;
};

class CTreeFuzzer {
public:
    CTreeFuzzer(const SFuzzConfig& config, unsigned nSeed)
        : m_store(kMemoryStore), m_config(config), m_random(nSeed), m_strDir(m_store.Path("tree"))
    {
    }

    void Run(int nRounds)
    {
        BuildPristine();
        for (int nRound = 0; nRound < nRounds; ++nRound) {
            SCOPED_TRACE(::testing::Message() << "round " << nRound);
            Damage();
            Exercise();
            if (::testing::Test::HasFailure())
                return;
        }
    }

private:
    int Pick(int n) { return static_cast<int>(m_random() % static_cast<unsigned>(n)); }

    std::string Key(int n)
    {
        std::string str(3, '\0');
        str[0] = static_cast<char>('a' + n / 676 % 26);
        str[1] = static_cast<char>('a' + n / 26 % 26);
        str[2] = static_cast<char>('a' + n % 26);
        return str;
    }

    void BuildPristine()
    {
        ASSERT_EQ(0, CBPTree::Create(m_store.Context(), m_strDir.c_str(), m_config.nIndexOrder,
                                     m_config.nLeafOrder, 4, m_config.cbValueSize, m_config.nDuplicates,
                                     kGuidStringAscending));
        CBPTree tree;
        tree.Open(m_store.Context(), m_strDir.c_str(), 1, kGuidStringAscending, nullptr);
        for (int i = 0; i < m_config.nEntries; ++i) {
            std::string strKey = Key(Pick(m_config.nEntries * 2));
            tree.Insert(strKey.c_str(), 4, "val", m_config.cbValueSize < 3 ? 0 : 3, nullptr);
        }
        // Leave some free records behind, so that the free lists are damaged too.
        for (int i = 0; i < m_config.nEntries / 4 && tree.GetCount() != 0; ++i) {
            CBPTree::Cursor cursor;
            tree.Seek(static_cast<std::uint32_t>(Pick(static_cast<int>(tree.GetCount()))), &cursor);
            tree.Erase(&cursor);
        }
        ASSERT_EQ("", Problems(tree));
        tree.Close();
        for (const char* sz : {"bptinfo", "index", "leaf"})
            m_vPristine.push_back(*m_store.Memory()->GetBytes(Path(sz)));
    }

    std::string Path(const char* szName) const { return m_strDir + "\\" + szName; }

    void Damage()
    {
        const char* kNames[] = {"bptinfo", "index", "leaf"};
        for (int i = 0; i < 3; ++i)
            *m_store.Memory()->GetBytes(Path(kNames[i])) = m_vPristine[i];
        int nFlips = 1 + Pick(6);
        for (int i = 0; i < nFlips; ++i) {
            // Mostly the node files; the header now and then.
            int nFile = Pick(10) == 0 ? 0 : 1 + Pick(2);
            Bytes& v = *m_store.Memory()->GetBytes(Path(kNames[nFile]));
            if (v.empty())
                continue;
            std::size_t nAt = static_cast<std::size_t>(m_random() % v.size());
            switch (Pick(4)) {
            case 0:
                v[nAt] ^= static_cast<unsigned char>(1u << Pick(8));
                break;
            case 1:
                v[nAt] = static_cast<unsigned char>(m_random());
                break;
            case 2:
                v[nAt] = static_cast<unsigned char>(v[nAt] + 1);
                break;
            default:
                // A small word at an aligned spot: counts and ids that point nearby.
                nAt &= ~static_cast<std::size_t>(3);
                if (nAt + 4 <= v.size())
                    PutU32LE(&v[nAt], static_cast<std::uint32_t>(Pick(8)));
                break;
            }
        }
    }

    // Runs one operation; it may succeed or throw CFault, and must leave no pin.
    template <typename F>
    void Try(const char* szWhat, CBPTree& tree, F f)
    {
        try {
            f();
        } catch (const CFault&) {
        } catch (const std::exception& e) {
            ADD_FAILURE() << szWhat << ": " << e.what();
        }
        if (tree.IsOpen()) {
            EXPECT_EQ(0u, tree.GetIndexFile().GetPinCount()) << szWhat;
            EXPECT_EQ(0u, tree.GetLeafFile().GetPinCount()) << szWhat;
        }
    }

    void Exercise()
    {
        CBPTree tree;
        bool bOpen = false;
        Try("open", tree, [&] {
            tree.Open(m_store.Context(), m_strDir.c_str(), 1, kGuidStringAscending, nullptr);
            bOpen = true;
        });
        if (!bOpen)
            return;
        // The check reads a damaged tree without throwing; only I/O failures would.
        EXPECT_NO_THROW(CheckTree(tree, nullptr));
        for (int i = 0; i < 12 && tree.IsOpen(); ++i) {
            std::string strKey = Key(Pick(m_config.nEntries * 2));
            CBPTree::Cursor cursor = {static_cast<std::uint32_t>(Pick(6)), static_cast<std::uint32_t>(Pick(6))};
            switch (Pick(7)) {
            case 0:
                Try("insert", tree, [&] { tree.Insert(strKey.c_str(), 4, "v", m_config.cbValueSize ? 1 : 0, &cursor); });
                break;
            case 1:
                Try("find", tree, [&] { tree.Find(strKey.c_str(), 4, &cursor, Pick(3)); });
                break;
            case 2:
                Try("erase", tree, [&] {
                    if (tree.Find(strKey.c_str(), 4, &cursor, 0))
                        tree.Erase(&cursor);
                });
                break;
            case 3:
                Try("walk", tree, [&] {
                    // Single steps are each bounded; a walk over a chain that loops is
                    // bounded by its caller, here by the record count.
                    tree.First(&cursor);
                    for (std::uint32_t n = 0; n < tree.GetCount() && tree.Next(&cursor, 1, 0) == CBPTree::kOk; ++n)
                        KeyAt(tree, cursor);
                });
                break;
            case 4:
                Try("walk back", tree, [&] {
                    tree.Seek(tree.GetCount() - 1, &cursor);
                    tree.Prev(&cursor, 0xFFFFFFFFu, 1);
                    tree.Next(&cursor, static_cast<std::uint32_t>(m_random()), Pick(2));
                });
                break;
            case 5:
                Try("cursor access", tree, [&] {
                    char ab[8];
                    tree.KeyLength(&cursor);
                    tree.GetValue(&cursor, ab, sizeof(ab));
                    tree.SetValue(&cursor, "w", 1);
                    tree.Erase(&cursor);
                });
                break;
            default:
                EXPECT_NO_THROW(CheckTree(tree, nullptr));
                break;
            }
        }
        Try("close", tree, [&] { tree.Close(); });
    }

    CTestStore m_store;
    SFuzzConfig m_config;
    std::mt19937 m_random;
    std::string m_strDir;
    std::vector<Bytes> m_vPristine;
};

inline void RunFuzz(int nRounds, unsigned nFirstSeed)
{
    const SFuzzConfig kConfigs[] = {
        {1, 2, 4, 0, 60}, {1, 2, 0, 1, 60}, {2, 3, 4, 1, 120}, {3, 4, 4, 0, 200},
    };
    unsigned nSeed = nFirstSeed;
    for (const SFuzzConfig& c : kConfigs) {
        SCOPED_TRACE(::testing::Message() << "d=" << c.nIndexOrder << " L=" << c.nLeafOrder << " dup="
                                          << c.nDuplicates << " seed " << nSeed);
        CTreeFuzzer(c, nSeed++).Run(nRounds);
        if (::testing::Test::HasFailure())
            return;
    }
}

}  // namespace testing
}  // namespace velk
