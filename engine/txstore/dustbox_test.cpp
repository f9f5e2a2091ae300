#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/txstore/dustbox.h"
#include "engine/txstore/remove_tree.h"
#include "engine/txstore/unique_name.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using platform::testing::CScratchDir;

void MakeFile(const std::string& path, bool bReadOnly = false)
{
    platform::CFileHandle file;
    ASSERT_EQ(platform::kFileOk,
              platform::FileOpen(path.c_str(), platform::kFileAccessWrite, 0,
                                 platform::kFileCreateNew, &file));
    std::uint32_t cb = 0;
    ASSERT_EQ(platform::kFileOk, file.Write("x", 1, &cb));
    file.Close();
    if (bReadOnly) {
        ASSERT_EQ(platform::kFileOk,
                  platform::FileSetAttributes(path.c_str(), platform::kFileAttrReadOnly));
    }
}

// A tree of read-only files in nested directories under strRoot.
void MakeReadOnlyTree(const std::string& strRoot)
{
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(strRoot.c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate((strRoot + "\\a").c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate((strRoot + "\\a\\b").c_str()));
    MakeFile(strRoot + "\\1.dat", true);
    MakeFile(strRoot + "\\a\\2.dat", true);
    MakeFile(strRoot + "\\a\\b\\3.dat", true);
}

bool GoneWithin(const std::string& path, int nMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (platform::PathExists(path.c_str())) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// True once the directory holds nothing, within nMs.
bool EmptiedWithin(const std::string& directory, int nMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    for (;;) {
        std::vector<platform::DirEntry> v;
        if (platform::DirList(directory.c_str(), &v) != platform::kFileOk)
            return false;
        if (v.empty())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(RemoveTree, ResultsForMissingAndRemovedTrees)
{
    CScratchDir scratch;
    const std::string missing = scratch.Sub("missing");
    EXPECT_EQ(kTreeMissing, RemoveTree(missing.c_str(), nullptr, 0, 1));
    EXPECT_EQ(kTreeRemoved, RemoveTree(missing.c_str(), nullptr, 0, 0));

    const std::string tree = scratch.Sub("tree");
    MakeReadOnlyTree(tree);
    EXPECT_EQ(kTreeRemoved, EmptyDirectory(tree.c_str(), nullptr, 0));
    EXPECT_TRUE(platform::PathExists(tree.c_str()));
    EXPECT_FALSE(platform::PathExists((tree + "\\a").c_str()));
    MakeReadOnlyTree(tree + "\\again");
    EXPECT_EQ(kTreeRemoved, RemoveTree(tree.c_str(), nullptr, 0, 0));
    EXPECT_FALSE(platform::PathExists(tree.c_str()));
}

int StopAtOnce(std::uintptr_t, int)
{
    return 0;
}

// Plays a second watcher that empties the directory first.
int EmptyBehindOurBack(std::uintptr_t nUser, int)
{
    const std::string& directory = *reinterpret_cast<const std::string*>(nUser);
    platform::testing::RemoveTree(directory + "\\1.dat");
    platform::testing::RemoveTree(directory + "\\a");
    return 1;
}

TEST(RemoveTree, StopsOnRequestAndTakesVanishedEntriesAsDeleted)
{
    CScratchDir scratch;
    const std::string tree = scratch.Sub("tree");
    MakeReadOnlyTree(tree);
    EXPECT_EQ(kTreeStopped, EmptyDirectory(tree.c_str(), &StopAtOnce, 0));
    EXPECT_TRUE(platform::PathExists((tree + "\\a\\b\\3.dat").c_str()));

    EXPECT_EQ(kTreeRemoved, RemoveTree(tree.c_str(), &EmptyBehindOurBack,
                                       reinterpret_cast<std::uintptr_t>(&tree), 0));
    EXPECT_FALSE(platform::PathExists(tree.c_str()));
}

TEST(UniqueName, StartsWithOneDigitAndGrowsWhenTaken)
{
    CScratchDir scratch;
    const std::string dir = scratch.Sub("box");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(dir.c_str()));

    CPath path;
    ASSERT_EQ(0, MakeUniquePath(&path, nullptr, dir.c_str()));
    const std::string name = path.GetComponent(path.GetComponentCount() - 1);
    ASSERT_EQ(1u, name.size());
    EXPECT_NE(std::string::npos, std::string("0123456789abcdef").find(name[0]));

    for (const char c : std::string("0123456789abcdef"))
        MakeFile(dir + "\\" + c);
    ASSERT_EQ(0, MakeUniquePath(&path, nullptr, dir.c_str()));
    EXPECT_EQ(2u, path.GetComponent(path.GetComponentCount() - 1).size());

    for (const char* szExtension : {"tmp", ".tmp"}) {
        ASSERT_EQ(0, MakeUniquePath(&path, szExtension, dir.c_str()));
        const std::string withExtension = path.GetComponent(path.GetComponentCount() - 1);
        EXPECT_EQ(5u, withExtension.size()) << withExtension;  // one digit and ".tmp"
        EXPECT_EQ(".tmp", withExtension.substr(1));
    }

    ASSERT_EQ(0, MakeUniqueDirectory(&path, dir.c_str()));
    unsigned nAttributes = 0;
    ASSERT_EQ(platform::kFileOk, platform::FileGetAttributes(path.GetString(), &nAttributes));
    EXPECT_TRUE(nAttributes & platform::kFileAttrDirectory);
}

TEST(UniqueName, MissingDirectoryFails)
{
    CScratchDir scratch;
    const std::string missing = scratch.Sub("missing");
    const std::string file = scratch.Sub("file");
    MakeFile(file);
    CPath path("unchanged");
    EXPECT_EQ(1, MakeUniquePath(&path, nullptr, missing.c_str()));
    EXPECT_EQ(1, MakeUniqueDirectory(&path, missing.c_str()));
    EXPECT_EQ(1, MakeUniqueDirectory(&path, file.c_str()));
    EXPECT_STREQ("unchanged", path.GetString());
}

TEST(Dustbox, RegistrationStartsAndRestartsTheWatcher)
{
    CDustbox& dustbox = CDustbox::Instance();
    CScratchDir scratch;
    const std::string a = scratch.Sub("a"), b = scratch.Sub("b");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(a.c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(b.c_str()));
    const size_t nBefore = dustbox.GetRegisteredCount();
    const unsigned nStarts = dustbox.GetWatcherStarts();

    dustbox.Register(scratch.Sub("missing").c_str());
    EXPECT_EQ(nBefore, dustbox.GetRegisteredCount());
    EXPECT_EQ(nStarts, dustbox.GetWatcherStarts());

    MakeFile(a + "\\x.dat");  // something to clean: registering starts the watcher
    dustbox.Register(a.c_str());
    dustbox.Register((a + "\\").c_str());  // the same directory
    EXPECT_EQ(nBefore + 1, dustbox.GetRegisteredCount());
    EXPECT_EQ(nStarts + 1, dustbox.GetWatcherStarts());

    dustbox.Register(b.c_str());    // while it runs: restarted with the new set
    dustbox.Unregister(a.c_str());  // one of several: restarted for the rest
    EXPECT_EQ(nBefore + 1, dustbox.GetRegisteredCount());
    EXPECT_EQ(nStarts + 3, dustbox.GetWatcherStarts());

    dustbox.Unregister(b.c_str());
    EXPECT_EQ(nBefore, dustbox.GetRegisteredCount());
    EXPECT_EQ(nStarts + 3, dustbox.GetWatcherStarts());
}

TEST(Dustbox, NothingToCleanStartsNoWatcher)
{
    CDustbox& dustbox = CDustbox::Instance();
    if (dustbox.GetRegisteredCount() != 0)
        GTEST_SKIP() << "another test left a watcher running";
    CScratchDir scratch;
    const std::string box = scratch.Sub("box"), empty = scratch.Sub("empty"), full = scratch.Sub("full");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(box.c_str()));
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(empty.c_str()));
    MakeReadOnlyTree(full);
    const unsigned nStarts = dustbox.GetWatcherStarts();

    dustbox.Register(box.c_str());
    EXPECT_EQ(nStarts, dustbox.GetWatcherStarts());
    // An empty directory moved in is gone at once, without a watcher.
    dustbox.MoveToDustbox(box.c_str(), empty.c_str());
    EXPECT_FALSE(platform::PathExists(empty.c_str()));
    std::vector<platform::DirEntry> vLeft;
    ASSERT_EQ(platform::kFileOk, platform::DirList(box.c_str(), &vLeft));
    EXPECT_TRUE(vLeft.empty());
    EXPECT_EQ(nStarts, dustbox.GetWatcherStarts());

    // Anything more starts the watcher, which deletes it in the background.
    dustbox.MoveToDustbox(box.c_str(), full.c_str());
    EXPECT_FALSE(platform::PathExists(full.c_str()));
    EXPECT_EQ(nStarts + 1, dustbox.GetWatcherStarts());
    EXPECT_TRUE(EmptiedWithin(box, 10000));
    dustbox.Unregister(box.c_str());
    EXPECT_EQ(0u, dustbox.GetRegisteredCount());

    // Unregistered while no watcher ran: the directory is forgotten all the same.
    dustbox.Register(box.c_str());
    dustbox.Unregister(box.c_str());
    EXPECT_EQ(0u, dustbox.GetRegisteredCount());
    EXPECT_EQ(nStarts + 1, dustbox.GetWatcherStarts());
}

TEST(Dustbox, MovedObjectsAreDeletedInTheBackground)
{
    CDustbox& dustbox = CDustbox::Instance();
    CScratchDir scratch;
    const std::string box = scratch.Sub("box");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(box.c_str()));
    const std::string file = scratch.Sub("f.dat");
    const std::string tree = scratch.Sub("tree");
    MakeFile(file, true);
    MakeReadOnlyTree(tree);

    // Nothing registered in this process yet: the move does nothing.
    if (dustbox.GetRegisteredCount() == 0) {
        dustbox.MoveToDustbox(box.c_str(), file.c_str());
        EXPECT_TRUE(platform::PathExists(file.c_str()));
    }

    MakeFile(box + "\\old.dat", true);  // emptied when the watcher starts
    dustbox.Register(box.c_str());
    EXPECT_TRUE(GoneWithin(box + "\\old.dat", 10000));
    dustbox.MoveToDustbox(box.c_str(), file.c_str());
    dustbox.MoveToDustbox(box.c_str(), tree.c_str());
    EXPECT_FALSE(platform::PathExists(file.c_str()));
    EXPECT_FALSE(platform::PathExists(tree.c_str()));
    EXPECT_TRUE(EmptiedWithin(box, 10000));
    dustbox.Unregister(box.c_str());
}

CHILD_SCENARIO(register_and_exit)
{
    CDustbox::Instance().Register(vArgs.at(0).c_str());
    return 7;
}

TEST(Dustbox, ProcessWithAWatcherExitsPromptly)
{
    CScratchDir scratch;
    const std::string box = scratch.Sub("box");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(box.c_str()));
    MakeFile(box + "\\x.dat");  // so that the child starts a watcher
    EXPECT_EQ(7, platform::testing::RunChild("register_and_exit", {box}, 30000));
}

}  // namespace
}  // namespace velk
