// Salvage of trees that freed leaves: a freed leaf keeps its stale entries in the
// leaf file, and with the leaf file's header damaged they must not come back as
// if the tree still held them.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "adbtool/adb_salvage_test_support.h"
#include "engine/database/adb_tools.h"
#include "engine/salvage/adb_recover.h"
#include "engine/salvage/salvage_log.h"

namespace velk {
namespace {

using testing::Content;
using testing::Dump;
using testing::kListLeaf;
using testing::kNameLeaf;
using testing::ReadWhole;
using testing::WriteWhole;

const std::uint32_t kAttributes = 200;
const std::uint32_t kLongList = 1;       // 1500 files, then 1000 of them unlinked
const std::uint32_t kRenamedFrom = 20;   // 20 .. 90 renamed: the name index merges leaves
const std::uint32_t kRenamedTo = 90;

std::string FirstName(std::uint32_t nId)
{
    char ach[16];
    std::snprintf(ach, sizeof(ach), "n%03u", nId);
    return ach;
}

std::uint32_t FileCount(std::uint32_t nId)
{
    return nId == kLongList ? 1500 : nId % 4;
}

std::uint32_t File(std::uint32_t nId, std::uint32_t j)
{
    return nId * 10000 + j + 1;
}

void Overwrite(const std::string& strFile, std::int64_t nOffset, std::size_t cb, char ch)
{
    std::string s = ReadWhole(strFile);
    const std::size_t nAt =
        static_cast<std::size_t>(nOffset < 0 ? static_cast<std::int64_t>(s.size()) + nOffset : nOffset);
    ASSERT_LE(nAt + cb, s.size()) << strFile;
    s.replace(nAt, cb, cb, ch);
    WriteWhole(strFile, s);
}

// The ids a record file calls free, read from its sound bytes.
std::vector<std::uint32_t> FreeIds(const std::string& strFile)
{
    const std::string s = ReadWhole(strFile);
    const std::size_t nAt = 16 + std::size_t(GetU32LE(s.data() + 8)) * GetU32LE(s.data() + 12);
    std::vector<std::uint32_t> v;
    for (std::uint32_t i = 0; i < GetU32LE(s.data() + nAt); ++i)
        v.push_back(GetU32LE(s.data() + nAt + 4 + 4 * i));
    return v;
}

class RecoverRemovalsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_pSample = new platform::testing::CScratchDir;
        const std::string strSound = s_pSample->Sub("sound");
        testing::MakeDatabase(strSound, kAttributes, FirstName, FileCount, File);
        CADB db;
        ASSERT_EQ(0, testing::AssociateDefault(&db, strSound));
        ASSERT_EQ(1, db.Open(1, 30000));
        for (std::uint32_t j = 200; j < 1200; ++j)
            ASSERT_EQ(0, UnlinkFile(db, kLongList, File(kLongList, j)));
        for (std::uint32_t nId = kRenamedFrom; nId <= kRenamedTo; ++nId) {
            std::unique_ptr<CADB::IAttInfo> pAtt(db.GetAttInfo(nId, 1));
            ASSERT_EQ(0, pAtt->Rename(("z" + FirstName(nId).substr(1)).c_str()));
        }
        db.Close(1);
        s_pContent = new Content(Dump(strSound));
    }
    static void TearDownTestSuite()
    {
        delete s_pContent;
        delete s_pSample;
    }

    RecoverRemovalsTest() : m_strDir(m_scratch.Sub("db")), m_strNew(m_scratch.Sub("new")) {}
    void SetUp() override
    {
        ASSERT_TRUE(CopyEntry(CPath(s_pSample->Sub("sound").c_str()), CPath(m_strDir.c_str())));
    }
    std::string In(const std::string& strName) const { return m_strDir + "\\" + strName; }

    static platform::testing::CScratchDir* s_pSample;
    static Content* s_pContent;
    platform::testing::CScratchDir m_scratch;
    std::string m_strDir;
    std::string m_strNew;
};

platform::testing::CScratchDir* RecoverRemovalsTest::s_pSample = nullptr;
Content* RecoverRemovalsTest::s_pContent = nullptr;

TEST_F(RecoverRemovalsTest, TheSampleHoldsFreedLeavesWithStaleEntries)
{
    // Without freed leaves that still hold entries the cases below prove nothing.
    const std::string strList = In("fidlists\\" + std::to_string(kLongList));
    const std::vector<std::uint32_t> vListFree = FreeIds(strList + "\\leaf");
    ASSERT_FALSE(vListFree.empty());
    const std::string strLeaves = ReadWhole(strList + "\\leaf");
    for (std::uint32_t nLeaf : vListFree)
        EXPECT_NE(0u, GetU32LE(strLeaves.data() + kListLeaf.At(nLeaf))) << nLeaf;
    const std::vector<std::uint32_t> vNameFree = FreeIds(In("attname_db\\leaf"));
    ASSERT_FALSE(vNameFree.empty());
    const std::string strNames = ReadWhole(In("attname_db\\leaf"));
    for (std::uint32_t nLeaf : vNameFree)
        EXPECT_NE(0u, GetU32LE(strNames.data() + kNameLeaf.At(nLeaf))) << nLeaf;
}

TEST_F(RecoverRemovalsTest, FreedLeavesNeverComeBack)
{
    // What is damaged of one tree: its leaf file's header, the free list at that
    // file's end, its index file's first node, its header "bptinfo", the links of
    // its last leaf; for the name index, also the names in the records of the
    // renamed attributes, so that only the index can name them.
    enum {
        kLeafHeader = 1, kFreeList = 2, kIndex = 4, kTreeHeader = 8, kLastLinks = 16,
        kRenamedRecords = 32
    };
    // How sure the salvage can be of the tree: every entry kept, or some left out
    // as uncertain and reported as an unknown loss.
    enum { kExact, kUncertain };
    struct Case {
        const char* szWhat;
        bool bNameIndex;  // else the long list
        unsigned nDamage;
        int nOutcome;
    };
    const Case kCases[] = {
        {"a list: the free list at the end tells", false, kLeafHeader, kExact},
        {"a list: the root reaches every leaf", false, kLeafHeader | kFreeList, kExact},
        {"a list: the chain reaches every leaf", false,
         kLeafHeader | kFreeList | kIndex, kExact},
        {"a list: one whole chain among the leaves", false,
         kLeafHeader | kFreeList | kTreeHeader, kExact},
        {"a list: only leaves linked both ways", false,
         kLeafHeader | kFreeList | kTreeHeader | kLastLinks, kUncertain},
        {"the name index: the free list at the end tells", true,
         kLeafHeader | kRenamedRecords, kExact},
        {"the name index: the root reaches every leaf", true,
         kLeafHeader | kFreeList | kRenamedRecords, kExact},
    };
    const std::string strSound = s_pSample->Sub("sound");
    const auto damage = [&](const Case& c) {
        const std::string strTree =
            c.bNameIndex ? "attname_db" : "fidlists\\" + std::to_string(kLongList);
        const std::string strLeaf = In(strTree + "\\leaf");
        if (c.nDamage & kLeafHeader)
            Overwrite(strLeaf, 0, 16, '\0');
        if (c.nDamage & kFreeList)
            Overwrite(strLeaf, -8, 8, '\xFF');
        if (c.nDamage & kIndex)
            Overwrite(In(strTree + "\\index"), 16, 64, '\0');
        if (c.nDamage & kTreeHeader)
            Overwrite(In(strTree + "\\bptinfo"), 0, 60, '\0');
        if (c.nDamage & kLastLinks) {
            const std::vector<std::uint32_t> v =
                testing::Chain(strSound + "\\" + strTree, kListLeaf);
            Overwrite(strLeaf, kListLeaf.At(v.back()) + kListLeaf.nPrevAt, 12, '\0');
        }
        if (c.nDamage & kRenamedRecords)
            for (std::uint32_t nId = kRenamedFrom; nId <= kRenamedTo; ++nId)
                Overwrite(In("attinfo_db"), 16 + (nId - 1) * testing::kRecordSize + 4, 8, '\0');
    };
    const Content& truth = *s_pContent;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        platform::testing::RemoveTree(m_strDir);
        platform::testing::RemoveTree(m_strNew);
        ASSERT_TRUE(CopyEntry(CPath(strSound.c_str()), CPath(m_strDir.c_str())));
        damage(c);
        SRecoveryReport report;
        std::string strError;
        const int nResult = RecoverDatabase(m_strDir.c_str(), m_strNew.c_str(), 30000, &report,
                                            &strError);
        ASSERT_NE(kRecoverFailed, nResult) << strError;
        const Content got = Dump(m_strNew);
        // Nothing invented: every attribute under its own name, no file it lacks.
        for (const auto& att : got) {
            if (truth.count(att.first) == 0) {
                ADD_FAILURE() << "attribute " << att.first << " was never there";
                continue;
            }
            const testing::SAtt& want = truth.at(att.first);
            EXPECT_EQ(want.strName, att.second.strName) << att.first;
            const std::set<std::uint32_t> setTrue(want.vFiles.begin(), want.vFiles.end());
            for (std::uint32_t nFile : att.second.vFiles)
                EXPECT_EQ(1u, setTrue.count(nFile)) << att.first << ": " << nFile;
        }
        if (c.nOutcome == kExact) {
            EXPECT_EQ(kRecoverComplete, nResult);
            EXPECT_TRUE(truth == got);
            EXPECT_TRUE(report.vListLosses.empty());
            EXPECT_TRUE(report.vLostAttributes.empty());
        } else {
            EXPECT_EQ(kRecoverLost, nResult);
            EXPECT_EQ(1u, report.vListLosses.size());
            for (const SRecoveryReport::SListLoss& loss : report.vListLosses) {
                EXPECT_EQ(kLongList, loss.nId);
                EXPECT_TRUE(loss.bUnknown);
            }
            EXPECT_LT(0u, got.at(kLongList).vFiles.size());
        }
    }
}

}  // namespace
}  // namespace velk
