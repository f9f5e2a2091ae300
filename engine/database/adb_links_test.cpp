// Links in a database directory never lead its deletions out of it: its own
// directories that are links make it a damaged database, and a file list's
// directory with links in it, or that is a link, goes as links. A victim folder
// beside the database stays as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/database/adb_test_support.h"
#include "engine/base/fault.h"
#include "platform/file_link.h"

namespace velk {
namespace {

using platform::testing::SnapshotTree;
using testing::AssociateDefault;
using testing::CScratchDatabase;
using testing::WriteWhole;

class DatabaseLinks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Victim().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate((Victim() + "\\sub").c_str()));
        WriteWhole(Victim() + "\\keep.dat", "keep");
        WriteWhole(Victim() + "\\sub\\inner.dat", "inner");
        m_victimBefore = SnapshotTree(Victim());
    }

    std::string Victim() const { return m_db.Scratch() + "victim"; }
    bool VictimUntouched() const { return SnapshotTree(Victim()) == m_victimBefore; }

    // Registers "into" (files 1, 2) and "from" (files 3, 4, 5); their ids.
    void MakeTwoAttributes(std::uint32_t* pnInto, std::uint32_t* pnFrom)
    {
        CADB db;
        ASSERT_EQ(0, AssociateDefault(&db, m_db.Dir()));
        ASSERT_EQ(1, db.Open(1, 5000));
        ASSERT_EQ(0, db.AddAtt("into", pnInto));
        ASSERT_EQ(0, db.AddAtt("from", pnFrom));
        for (std::uint32_t n : {1, 2})
            ASSERT_EQ(0, LinkFile(db, *pnInto, n));
        for (std::uint32_t n : {3, 4, 5})
            ASSERT_EQ(0, LinkFile(db, *pnFrom, n));
        db.Close(1);
    }

    // Merges nFrom into nInto and commits; then lets the watchers empty both
    // dustboxes while the database is still associated.
    void Merge(std::uint32_t nInto, std::uint32_t nFrom, std::uint32_t* pnCount)
    {
        CADB db;
        ASSERT_EQ(0, AssociateDefault(&db, m_db.Dir()));
        ASSERT_EQ(1, db.Open(1, 5000));
        std::unique_ptr<CADB::IAttInfo> pInfo(db.GetAttInfo(nInto, 1));
        ASSERT_TRUE(pInfo);
        ASSERT_EQ(0, pInfo->Merge(nFrom));
        pInfo.reset();
        db.Close(1);
        for (const char* szBox : {"dustbox", "transaction\\dustbox"})
            EmptiedWithin(m_db.Sub(szBox), 10000);
        ASSERT_EQ(1, db.Open(0, 5000));
        pInfo.reset(db.GetAttInfo(nInto, 0));
        ASSERT_TRUE(pInfo);
        *pnCount = pInfo->GetRefCount();
        pInfo.reset();
        db.Close(0);
    }

    // Waits until strDir is empty.
    static void EmptiedWithin(const std::string& strDir, int nMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        for (;;) {
            std::vector<platform::DirEntry> v;
            platform::DirList(strDir.c_str(), &v);
            if (v.empty() || std::chrono::steady_clock::now() > deadline)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::string List(std::uint32_t nId) const
    {
        return m_db.Sub("fidlists\\" + std::to_string(nId));
    }

    CScratchDatabase m_db;
    std::map<std::string, std::string> m_victimBefore;
};

TEST_F(DatabaseLinks, OwnDirectoriesThatAreLinksAreDamage)
{
    struct Case {
        const char* szName;
        bool bAssociates;  // the link is found at Open rather than at Associate
    };
    const Case kCases[] = {
        {"temp", true},
        {"dustbox", false},
        {"transaction", false},
        {"transaction\\dustbox", false},
        {"fidlists", false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szName);
        const std::string strPath = m_db.Sub(c.szName);
        const std::string strAside = strPath + ".aside";
        const bool bExists = platform::PathExists(strPath.c_str());
        if (bExists) {
            ASSERT_EQ(platform::kFileOk, platform::FileMove(strPath.c_str(), strAside.c_str()));
        }
        ASSERT_TRUE(platform::testing::MakeLink(strPath, Victim(), platform::kLinkToDirectory));
        {
            CADB db;
            if (c.bAssociates) {
                ASSERT_EQ(0, AssociateDefault(&db, m_db.Dir()));
                EXPECT_THROW(db.Open(0, 5000), CFault);
                EXPECT_THROW(db.Open(1, 5000), CFault);
            } else {
                EXPECT_EQ(CADB::kFailed, AssociateDefault(&db, m_db.Dir()));
            }
        }
        EXPECT_TRUE(VictimUntouched());
        ASSERT_EQ(platform::kFileOk, platform::LinkDelete(strPath.c_str()));
        if (bExists) {
            ASSERT_EQ(platform::kFileOk, platform::FileMove(strAside.c_str(), strPath.c_str()));
        }
        // Mended, the database works again.
        CADB db;
        ASSERT_EQ(0, AssociateDefault(&db, m_db.Dir()));
        EXPECT_EQ(1, db.Open(1, 5000));
        db.Close(1);
    }
}

// A link is put inside the list's directory, or the directory itself is a link to
// a copy of it outside the database: merging removes the list, and only the links
// go.
TEST_F(DatabaseLinks, AFileListDirectoryGoesAsLinks)
{
    if (!platform::testing::LinksBehaveAsLinks())
        GTEST_SKIP() << "this system moves a directory link's target (platform/file_link.h)";
    std::uint32_t nInto = 0, nFrom = 0;
    MakeTwoAttributes(&nInto, &nFrom);
    ASSERT_TRUE(platform::testing::MakeLink(List(nFrom) + "\\to-dir", Victim(),
                                            platform::kLinkToDirectory));
    platform::testing::MakeLink(List(nFrom) + "\\to-file", Victim() + "\\keep.dat",
                                platform::kLinkToFile);
    std::uint32_t nCount = 0;
    Merge(nInto, nFrom, &nCount);
    EXPECT_EQ(5u, nCount);
    EXPECT_FALSE(platform::PathExists(List(nFrom).c_str()));
    EXPECT_TRUE(VictimUntouched());

    // The list of a third attribute, moved out and linked back.
    std::uint32_t nThird = 0;
    {
        CADB db;
        ASSERT_EQ(0, AssociateDefault(&db, m_db.Dir()));
        ASSERT_EQ(1, db.Open(1, 5000));
        ASSERT_EQ(0, db.AddAtt("third", &nThird));
        ASSERT_EQ(0, LinkFile(db, nThird, 9));
        db.Close(1);
    }
    const std::string outside = m_db.Scratch() + "outside";
    ASSERT_EQ(platform::kFileOk, platform::FileMove(List(nThird).c_str(), outside.c_str()));
    ASSERT_TRUE(platform::testing::MakeLink(List(nThird), outside, platform::kLinkToDirectory));
    const auto outsideBefore = SnapshotTree(outside);
    Merge(nInto, nThird, &nCount);
    EXPECT_EQ(6u, nCount);
    EXPECT_FALSE(platform::PathExists(List(nThird).c_str()));
    EXPECT_EQ(outsideBefore, SnapshotTree(outside));
}

// A file linked into a list whose directory is a link, and the list merged away in
// the same transaction: the list's file was changed through the link that the
// merge removes. The commit fails before its marker and rolls back, and the
// database opens and works as before.
TEST_F(DatabaseLinks, ChangesThroughALinkThatTheSameCommitRemovesRollBack)
{
    if (!platform::testing::LinksBehaveAsLinks())
        GTEST_SKIP() << "this system moves a directory link's target (platform/file_link.h)";
    std::uint32_t nInto = 0, nFrom = 0;
    MakeTwoAttributes(&nInto, &nFrom);
    const std::string outside = m_db.Scratch() + "outside";
    ASSERT_EQ(platform::kFileOk, platform::FileMove(List(nFrom).c_str(), outside.c_str()));
    ASSERT_TRUE(platform::testing::MakeLink(List(nFrom), outside, platform::kLinkToDirectory));
    const auto outsideBefore = SnapshotTree(outside);
    {
        CADB db;
        ASSERT_EQ(0, AssociateDefault(&db, m_db.Dir()));
        ASSERT_EQ(1, db.Open(1, 5000));
        ASSERT_EQ(0, LinkFile(db, nFrom, 9));
        std::unique_ptr<CADB::IAttInfo> pInfo(db.GetAttInfo(nInto, 1));
        ASSERT_TRUE(pInfo);
        ASSERT_EQ(0, pInfo->Merge(nFrom));
        pInfo.reset();
        EXPECT_THROW(db.Close(1), CFault);
    }
    EXPECT_EQ(outsideBefore, SnapshotTree(outside));
    CADB db;
    ASSERT_EQ(0, AssociateDefault(&db, m_db.Dir()));
    ASSERT_EQ(1, db.Open(0, 5000));
    for (const std::uint32_t nId : {nInto, nFrom}) {
        std::unique_ptr<CADB::IAttInfo> pInfo(db.GetAttInfo(nId, 0));
        ASSERT_TRUE(pInfo) << nId;
        EXPECT_EQ(nId == nInto ? 2u : 3u, pInfo->GetRefCount()) << nId;
    }
    db.Close(0);
    EXPECT_EQ(outsideBefore, SnapshotTree(outside));
    // And the merge goes through on its own.
    std::uint32_t nCount = 0;
    Merge(nInto, nFrom, &nCount);
    EXPECT_EQ(5u, nCount);
}

}  // namespace
}  // namespace velk
