// Transactions that remove what they changed, or the directory that held it: a
// commit whose logs can no longer be applied fails before its marker and rolls
// back, and the flushes of a commit or a roll-back find the directories that the
// transaction removed gone without failing.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/base/fault.h"
#include "engine/txstore/transaction.h"
#include "platform/file.h"
#include "platform/fault_injection.h"
#include "platform/file_link.h"
#include "platform/power_cut.h"
#include "platform/process.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using platform::testing::ReadFileBytes;
using platform::testing::SnapshotTree;
using platform::testing::WriteFileBytes;

// A store (T with its dustbox) serving data, with data\dir\old.dat in it.
class TransactionRemovals : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Tx().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate((Tx() + "\\dustbox").c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Data().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(D("dir").c_str()));
        WriteFileBytes(D("dir\\old.dat"), "old");
        ASSERT_EQ(0, m_store.Open(Tx().c_str()));
    }

    std::string Tx() const { return m_scratch.Sub("tx"); }
    std::string Data() const { return m_scratch.Sub("data"); }
    std::string D(const std::string& strName) const { return Data() + "\\" + strName; }

    CTransaction::IContext* Begin()
    {
        CTransaction::IContext* pTx = m_store.Begin(1, 5000);
        EXPECT_NE(nullptr, pTx);
        return pTx;
    }

    static void Write(CTransaction::IContext* pTx, const std::string& strPath, const char* sz)
    {
        CTransaction::IFile* pFile = pTx->OpenFile(strPath.c_str(), 1);
        pFile->Write(sz, static_cast<std::uint32_t>(std::char_traits<char>::length(sz)));
        pTx->CloseFile(pFile);
    }

    platform::testing::CScratchDir m_scratch;
    CTransaction m_store;
};

// In the store at vArgs[0]: files made in data\dir and made durable there, then
// dir removed and made again (which makes dir's move into the dugout durable),
// then the power goes.
CHILD_SCENARIO(removed_tree_power_cut)
{
    const std::string strRoot = vArgs.at(0);
    if (!platform::ArmPowerCut(strRoot.c_str(), "never"))
        return 98;
    CTransaction store;
    if (store.Open((strRoot + "tx").c_str()) != 0)
        return 97;
    CTransaction::IContext* pTx = store.Begin(1, 5000);
    if (pTx == nullptr || pTx->CreateFile((strRoot + "data\\dir\\new.dat").c_str()) != 0)
        return 96;
    // Made again after its removal: the directory is flushed, and the new file's
    // entry with it.
    pTx->DeleteFile((strRoot + "data\\dir\\old.dat").c_str());
    if (pTx->CreateFile((strRoot + "data\\dir\\old.dat").c_str()) != 0)
        return 96;
    pTx->RemoveDirectory((strRoot + "data\\dir").c_str());
    if (pTx->CreateDirectory((strRoot + "data\\dir").c_str()) != 0)
        return 95;
    platform::PowerCutNow();
}

// A file changed through a directory link, and the link removed afterwards in the
// same transaction: the log's target can no longer be reached. The commit fails
// before its marker, the next transaction finds the old state, and what the link
// leads to is untouched.
TEST_F(TransactionRemovals, ACommitWhoseLogCannotBeAppliedFailsBeforeItsMarker)
{
    const std::string outside = m_scratch.Sub("outside");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(outside.c_str()));
    WriteFileBytes(outside + "\\list.dat", "list");
    if (!platform::testing::MakeLink(D("link"), outside, platform::kLinkToDirectory) ||
        !platform::testing::LinksBehaveAsLinks())
        GTEST_SKIP() << "this system moves a directory link's target (platform/file_link.h)";
    const auto before = SnapshotTree(Data());
    const auto outsideBefore = SnapshotTree(outside);

    CTransaction::IContext* pTx = Begin();
    ASSERT_NE(nullptr, pTx);
    Write(pTx, D("link\\list.dat"), "LIST");
    pTx->RemoveDirectory(D("link").c_str());
    EXPECT_THROW(m_store.End(1), CFault);
    EXPECT_FALSE(platform::PathExists((Tx() + "\\log\\commit").c_str()));

    // The next transaction rolls the log back and works.
    pTx = Begin();
    ASSERT_NE(nullptr, pTx);
    m_store.End(1);
    EXPECT_EQ(before, SnapshotTree(Data()));
    EXPECT_EQ(outsideBefore, SnapshotTree(outside));
}

// A file made in a directory that is then dug out leaves for the dustbox first,
// and durably so: a power cut that keeps the directory's move never brings the
// directory back with the new file in it.
TEST_F(TransactionRemovals, APowerCutNeverBringsBackARemovedTreeWithANewFile)
{
    if (!platform::PowerCutSupported())
        GTEST_SKIP() << "power cuts are simulated by the POSIX backend only";
    const auto before = SnapshotTree(Data());
    m_store.Close();
    platform::CChildProcess child;
    ASSERT_EQ(0, platform::testing::StartChild(&child, "removed_tree_power_cut", {m_scratch.Path()}));
    int nCode = -1;
    ASSERT_TRUE(child.Wait(60000, &nCode));
    ASSERT_EQ(platform::kFaultExitCode, nCode);
    ASSERT_EQ(0, m_store.Open(Tx().c_str()));
    EXPECT_EQ(before, SnapshotTree(Data()));
}

// A file removed, then the directory that held it: the commit flushes the nearest
// directory still there instead of the gone one.
TEST_F(TransactionRemovals, ACommitFlushesTheNearestDirectoryStillThere)
{
    CTransaction::IContext* pTx = Begin();
    ASSERT_NE(nullptr, pTx);
    pTx->DeleteFile(D("dir\\old.dat").c_str());
    pTx->RemoveDirectory(D("dir").c_str());
    EXPECT_NO_THROW(m_store.End(1));
    EXPECT_EQ((std::map<std::string, std::string>{}), SnapshotTree(Data()));
}

// The same for a roll-back that discards a directory made in the place of one
// that was dug out, after a new file made in the old one.
TEST_F(TransactionRemovals, ARollBackFlushesTheNearestDirectoryStillThere)
{
    const auto before = SnapshotTree(Data());
    CTransaction::IContext* pTx = Begin();
    ASSERT_NE(nullptr, pTx);
    ASSERT_EQ(0, pTx->CreateFile(D("dir\\new.dat").c_str()));
    pTx->RemoveDirectory(D("dir").c_str());
    ASSERT_EQ(0, pTx->CreateDirectory(D("dir").c_str()));
    ASSERT_EQ(0, pTx->CreateFile(D("dir\\new.dat").c_str()));
    EXPECT_NO_THROW(m_store.End(0));
    EXPECT_EQ(before, SnapshotTree(Data()));
    EXPECT_EQ("old", ReadFileBytes(D("dir\\old.dat")));
}

}  // namespace
}  // namespace velk
