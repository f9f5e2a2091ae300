// Links inside a store never lead its deletions out of it: a victim folder beside
// the store, linked from every place that the store walks or empties, is left as
// it was. The links are real (platform/file_link.h says which kinds this system
// can make).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/txstore/dustbox.h"
#include "engine/txstore/remove_tree.h"
#include "engine/txstore/tfs_context.h"
#include "engine/txstore/transaction.h"
#include "engine/txstore/unique_name.h"
#include "platform/file.h"
#include "platform/file_link.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using platform::testing::SnapshotTree;
using platform::testing::WriteFileBytes;

class StoreLinks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Victim().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate((Victim() + "\\sub").c_str()));
        WriteFileBytes(Victim() + "\\keep.dat", "keep");
        WriteFileBytes(Victim() + "\\sub\\inner.dat", "inner");
        m_victimBefore = SnapshotTree(Victim());
    }

    std::string Victim() const { return m_scratch.Sub("victim"); }
    std::string Sub(const std::string& strName) const { return m_scratch.Sub(strName); }
    bool VictimUntouched() const { return SnapshotTree(Victim()) == m_victimBefore; }

    // Links strLink to the victim folder (or to its file for kLinkToFile); false
    // when this system cannot make the kind.
    static bool LinkTo(const std::string& strLink, const std::string& strVictim,
                       platform::LinkKind kind)
    {
        const std::string target =
            kind == platform::kLinkToFile ? strVictim + "\\keep.dat" : strVictim;
        return platform::testing::MakeLink(strLink, target, kind);
    }
    bool Link(const std::string& strLink, platform::LinkKind kind) const
    {
        return LinkTo(strLink, Victim(), kind);
    }

    // Every kind this system makes, at strDir\<kind name>; the names made.
    std::vector<std::string> LinkEveryKind(const std::string& strDir) const
    {
        std::vector<std::string> vMade;
        const std::pair<const char*, platform::LinkKind> kinds[] = {
            {"to-file", platform::kLinkToFile},
            {"to-dir", platform::kLinkToDirectory},
            {"junction", platform::kLinkJunction},
        };
        for (const auto& kind : kinds)
            if (Link(strDir + "\\" + kind.first, kind.second))
                vMade.push_back(kind.first);
        EXPECT_FALSE(vMade.empty());
        return vMade;
    }

    // Waits until strDir is empty.
    static bool EmptiedWithin(const std::string& strDir, int nMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        for (;;) {
            std::vector<platform::DirEntry> v;
            platform::DirList(strDir.c_str(), &v);
            if (v.empty())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    platform::testing::CScratchDir m_scratch;
    std::map<std::string, std::string> m_victimBefore;
};

TEST_F(StoreLinks, RemoveTreeRemovesLinksAndNeverEntersThem)
{
    const std::string tree = Sub("tree");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(tree.c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate((tree + "\\deep").c_str()));
    WriteFileBytes(tree + "\\deep\\own.dat", "own");
    LinkEveryKind(tree);
    LinkEveryKind(tree + "\\deep");

    const int nEmptied = EmptyDirectory(tree.c_str(), nullptr, 0);
    EXPECT_TRUE(VictimUntouched());
    if (platform::testing::LinksBehaveAsLinks()) {
        EXPECT_EQ(kTreeRemoved, nEmptied);
        std::vector<platform::DirEntry> vLeft;
        ASSERT_EQ(platform::kFileOk, platform::DirList(tree.c_str(), &vLeft));
        EXPECT_TRUE(vLeft.empty());
    } else {
        EXPECT_EQ(kTreeFailed, nEmptied);
    }

    // A directory to be emptied that is itself a link is refused; removing it as a
    // tree removes the link.
    const std::string root = Sub("root-link");
    ASSERT_TRUE(Link(root, platform::kLinkToDirectory));
    EXPECT_EQ(kTreeFailed, EmptyDirectory(root.c_str(), nullptr, 0));
    const int nRemoved = RemoveTree(root.c_str(), nullptr, 0, 0);
    EXPECT_TRUE(VictimUntouched());
    if (platform::testing::LinksBehaveAsLinks()) {
        EXPECT_EQ(kTreeRemoved, nRemoved);
        EXPECT_FALSE(platform::PathExists(root.c_str()));
    }
}

// Another local program swaps a directory of the tree for a link to the victim
// while the walk is inside it (between its listing and its removals). POSIX lets
// the swap happen, and the walk goes on removing in the directory it opened, now
// elsewhere; Windows refuses to rename a directory that the walk holds open.
// Either way nothing outside the tree is touched.
struct SSwap {
    std::string strDir;    // the directory to swap
    std::string strAway;   // where it is moved
    std::string strVictim;
    int nCalls = 0;
    bool bSwapped = false;
};

int SwapOnSecondEntry(std::uintptr_t nUser, int)
{
    SSwap& swap = *reinterpret_cast<SSwap*>(nUser);
    // Call 1 is for "inner" in the root; call 2 for the first entry inside it,
    // after "inner" has been opened and listed.
    if (++swap.nCalls == 2 &&
        platform::FileMove(swap.strDir.c_str(), swap.strAway.c_str()) == platform::kFileOk)
        swap.bSwapped = platform::testing::MakeLink(swap.strDir, swap.strVictim,
                                                    platform::kLinkToDirectory);
    return 1;
}

TEST_F(StoreLinks, ADirectorySwappedForALinkDuringTheWalkLeadsNowhereOutside)
{
    // The victim holds the same names as the swapped directory, so that a removal
    // by path through the link would find them.
    WriteFileBytes(Victim() + "\\a.dat", "victim a");
    WriteFileBytes(Victim() + "\\b.dat", "victim b");
    m_victimBefore = SnapshotTree(Victim());
    const std::string tree = Sub("tree");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(tree.c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate((tree + "\\inner").c_str()));
    WriteFileBytes(tree + "\\inner\\a.dat", "own a");
    WriteFileBytes(tree + "\\inner\\b.dat", "own b");

    SSwap swap;
    swap.strDir = tree + "\\inner";
    swap.strAway = Sub("away");
    swap.strVictim = Victim();
    const int nResult = RemoveTree(tree.c_str(), &SwapOnSecondEntry,
                                   reinterpret_cast<std::uintptr_t>(&swap), 0);
    EXPECT_TRUE(VictimUntouched());
    EXPECT_GE(swap.nCalls, 2);
    if (swap.bSwapped) {
        // The walk emptied the directory it had opened, wherever it went.
        std::vector<platform::DirEntry> vLeft;
        ASSERT_EQ(platform::kFileOk, platform::DirList(swap.strAway.c_str(), &vLeft));
        EXPECT_TRUE(vLeft.empty());
        if (platform::testing::LinksBehaveAsLinks()) {
            EXPECT_EQ(kTreeRemoved, nResult);
        }
    } else {
        EXPECT_FALSE(platform::PathExists(swap.strAway.c_str()));
        EXPECT_EQ(kTreeRemoved, nResult);
        EXPECT_FALSE(platform::PathExists(tree.c_str()));
    }
}

TEST_F(StoreLinks, WatcherEmptiesLinksAsLinksAndWatchesNoLinkedDustbox)
{
    CDustbox& dustbox = CDustbox::Instance();
    const std::string box = Sub("box");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(box.c_str()));
    LinkEveryKind(box);  // there before the watcher starts
    dustbox.Register(box.c_str());
    if (platform::testing::LinksBehaveAsLinks()) {
        const std::string tree = Sub("tree");
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(tree.c_str()));
        LinkEveryKind(tree);
        const std::string link = Sub("link");
        ASSERT_TRUE(Link(link, platform::kLinkToDirectory));
        dustbox.MoveToDustbox(box.c_str(), tree.c_str());
        dustbox.MoveToDustbox(box.c_str(), link.c_str());
        EXPECT_FALSE(platform::PathExists(link.c_str()));
        EXPECT_TRUE(EmptiedWithin(box, 10000));
    } else {
        // The watcher cannot take the links away here; it never enters them.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    }
    dustbox.Unregister(box.c_str());
    EXPECT_TRUE(VictimUntouched());

    // A dustbox that is a link is never watched, and no name is made in it.
    const std::string linkedBox = Sub("linked-box");
    ASSERT_TRUE(Link(linkedBox, platform::kLinkToDirectory));
    const size_t nRegistered = dustbox.GetRegisteredCount();
    dustbox.Register(linkedBox.c_str());
    EXPECT_EQ(nRegistered, dustbox.GetRegisteredCount());
    CPath path;
    EXPECT_EQ(1, MakeUniquePath(&path, nullptr, linkedBox.c_str()));
    EXPECT_EQ(1, MakeUniqueDirectory(&path, linkedBox.c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_TRUE(VictimUntouched());
}

// A store "tx" guarding "data"; every test of it keeps its dustbox registered.
class StoreLinksInTransactions : public StoreLinks {
protected:
    std::string Tx() const { return Sub("tx"); }
    std::string Data(const std::string& strName) const { return Sub("data\\" + strName); }

    void SetUp() override
    {
        StoreLinks::SetUp();
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Tx().c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate((Tx() + "\\dustbox").c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Sub("data").c_str()));
    }

    // Runs pfnWork in one write transaction and ends it with nCommit; the dustbox
    // is then emptied by the watcher while the store stays open.
    template <class F>
    void Run(int nCommit, F pfnWork)
    {
        CTransaction transaction;
        ASSERT_EQ(0, transaction.Open(Tx().c_str()));
        CTransaction::IContext* pContext = transaction.Begin(1, 30000);
        ASSERT_NE(nullptr, pContext);
        pfnWork(pContext);
        transaction.End(nCommit);
        EmptiedWithin(Tx() + "\\dustbox", 10000);
    }
};

TEST_F(StoreLinksInTransactions, RemovedTreesTakeTheirLinksAlongNeverTheTargets)
{
    if (!platform::testing::LinksBehaveAsLinks())
        GTEST_SKIP() << "this system moves a directory link's target (platform/file_link.h)";
    for (const int nCommit : {1, 0}) {
        SCOPED_TRACE(nCommit ? "commit" : "roll back");
        // A pre-existing tree with links inside, a link to a directory removed as a
        // directory, and a directory made in the transaction that gets links.
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Data("old").c_str()));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Data("old\\deep").c_str()));
        const std::vector<std::string> vMade = LinkEveryKind(Data("old"));
        LinkEveryKind(Data("old\\deep"));
        ASSERT_TRUE(Link(Data("dirlink"), platform::kLinkToDirectory));
        Run(nCommit, [&](CTransaction::IContext* pContext) {
            ASSERT_EQ(0, pContext->CreateDirectory(Data("new").c_str()));
            LinkEveryKind(Data("new"));
            pContext->RemoveDirectory(Data("old").c_str());
            pContext->RemoveDirectory(Data("dirlink").c_str());
            EXPECT_FALSE(platform::PathExists(Data("old").c_str()));
            EXPECT_FALSE(platform::PathExists(Data("dirlink").c_str()));
        });
        EXPECT_TRUE(VictimUntouched());
        EXPECT_EQ(nCommit != 0, platform::PathExists(Data("new").c_str()));
        ASSERT_TRUE(platform::testing::RemoveTree(Data("new")));
        if (nCommit) {
            EXPECT_FALSE(platform::PathExists(Data("old").c_str()));
            EXPECT_FALSE(platform::PathExists(Data("dirlink").c_str()));
        } else {
            // Back in place, as links.
            for (const std::string& name : vMade) {
                unsigned nAttributes = 0;
                ASSERT_EQ(platform::kFileOk,
                          platform::FileGetAttributes(Data("old\\" + name).c_str(), &nAttributes));
                EXPECT_NE(0u, nAttributes & platform::kFileAttrReparsePoint) << name;
            }
            unsigned nAttributes = 0;
            ASSERT_EQ(platform::kFileOk,
                      platform::FileGetAttributes(Data("dirlink").c_str(), &nAttributes));
            EXPECT_NE(0u, nAttributes & platform::kFileAttrReparsePoint);
            ASSERT_TRUE(platform::testing::RemoveTree(Data("old")));
            ASSERT_TRUE(platform::testing::RemoveTree(Data("dirlink")));
        }
    }
}

// The store's own directories that are links make it a damaged store: Open
// fails, nothing is recovered, emptied or discarded through them.
TEST_F(StoreLinksInTransactions, LinkedOwnDirectoriesAreDamage)
{
    // A log through which roll-back would discard a victim file and restore
    // nothing: a creation list naming it, when read through a link to "fake".
    const std::string fake = Sub("fake");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(fake.c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate((fake + "\\files").c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate((fake + "\\dugout").c_str()));
    const std::string victimFile = Victim() + "\\keep.dat";
    std::string clist(4, '\0');
    clist[0] = static_cast<char>(victimFile.size() + 1);
    clist += victimFile + '\0';
    WriteFileBytes(fake + "\\clist", clist);

    const std::string log = Tx() + "\\log";
    struct Case {
        const char* szWhat;
        std::string strLink;
        std::string strTarget;
        std::vector<std::string> vMakeFirst;  // real directories of the log
        bool bCommitted;                      // a commit marker: rolled forward
    };
    const Case kCases[] = {
        {"dustbox", Tx() + "\\dustbox", Victim(), {}, false},
        {"log", log, fake, {}, false},
        {"log\\files", log + "\\files", fake + "\\files", {log}, true},
        {"log\\dugout", log + "\\dugout", fake + "\\dugout", {log, log + "\\files"}, false},
        {"a dugout entry", log + "\\dugout\\1", Victim(), {log, log + "\\files", log + "\\dugout"},
         false},
        {"a file log", log + "\\files\\AB", Victim(), {log, log + "\\files", log + "\\dugout"},
         true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        ASSERT_TRUE(platform::testing::RemoveTree(Tx() + "\\dustbox"));
        ASSERT_TRUE(platform::testing::RemoveTree(log));
        if (c.strLink != Tx() + "\\dustbox") {
            ASSERT_EQ(platform::kFileOk, platform::DirCreate((Tx() + "\\dustbox").c_str()));
        }
        for (const std::string& dir : c.vMakeFirst)
            ASSERT_EQ(platform::kFileOk, platform::DirCreate(dir.c_str()));
        if (c.bCommitted)
            WriteFileBytes(log + "\\commit", "");
        ASSERT_TRUE(LinkTo(c.strLink, c.strTarget, platform::kLinkToDirectory));
        CTransaction transaction;
        EXPECT_EQ(1, transaction.Open(Tx().c_str()));
        EXPECT_TRUE(VictimUntouched());
        EXPECT_EQ(clist, platform::testing::ReadFileBytes(fake + "\\clist"));
    }
}

}  // namespace
}  // namespace velk
