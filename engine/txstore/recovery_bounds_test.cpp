// Recovery of hand-made leftover logs: records that name a place outside the
// store are damage and nothing is touched, and a creation list that a power cut
// tore while a record was appended still rolls back.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "engine/txstore/transaction.h"
#include "platform/file.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using platform::testing::ReadFileBytes;
using platform::testing::SnapshotTree;
using platform::testing::WriteFileBytes;
using Snapshot = std::map<std::string, std::string>;

std::string PathRecord(const std::string& strText)
{
    const size_t n = strText.size() + 1;
    const char abLength[4] = {static_cast<char>(n & 0xFF), static_cast<char>(n >> 8), 0, 0};
    return std::string(abLength, 4) + strText + std::string(1, '\0');
}

void MakeDir(const std::string& strPath)
{
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(strPath.c_str()));
}

// R\store (tx with its dustbox and log, data with a.dat and new.dat) beside
// R\storeroom, which the store must never touch: its name starts with the store's.
struct Stores {
    platform::testing::CScratchDir scratch;
    std::string Store() const { return scratch.Sub("store"); }
    std::string Tx() const { return Store() + "\\tx"; }
    std::string Log(const char* szName) const { return Tx() + "\\log\\" + szName; }
    std::string Data(const char* szName) const { return Store() + "\\data\\" + szName; }
    std::string Outside(const char* szName) const { return scratch.Sub("storeroom\\") + szName; }

    void Create()
    {
        MakeDir(Store());
        MakeDir(Tx());
        MakeDir(Tx() + "\\dustbox");
        MakeDir(Tx() + "\\log");
        MakeDir(Log("files"));
        MakeDir(Log("dugout"));
        MakeDir(Store() + "\\data");
        WriteFileBytes(Data("a.dat"), "store's own");
        WriteFileBytes(Data("new.dat"), "made in the transaction");
        MakeDir(scratch.Sub("storeroom"));
        MakeDir(Outside("folder"));
        WriteFileBytes(Outside("victim.dat"), "not the store's");
        WriteFileBytes(Outside("folder\\f.dat"), "nor this");
    }

    // A committed per-file log that sets strTarget to length 0.
    void FileLog(const std::string& strTarget) const
    {
        MakeDir(Log("files\\L"));
        MakeDir(Log("files\\L\\blocks"));
        WriteFileBytes(Log("files\\L\\path"), PathRecord(strTarget));
        WriteFileBytes(Log("files\\L\\size"), std::string(8, '\0'));
        WriteFileBytes(Log("commit"), "");
    }

    // An object dug out of strTarget, waiting in the dugout.
    void DugOut(const std::string& strTarget) const
    {
        MakeDir(Log("dugout\\1"));
        WriteFileBytes(Log("dugout\\1\\path"), PathRecord(strTarget));
        WriteFileBytes(Log("dugout\\1\\hoge"), "dug out");
    }
};

TEST(RecoveryBounds, RecordNamingAPlaceOutsideTheStoreIsDamageAndNothingMoves)
{
    const struct {
        const char* szCase;
        std::function<void(const Stores&)> make;
    } aCases[] = {
        {"creation list", [](const Stores& s) {
             WriteFileBytes(s.Log("clist"), PathRecord(s.Data("new.dat")) +
                                                 PathRecord(s.Outside("folder")));
         }},
        {"creation list through ..", [](const Stores& s) {
             WriteFileBytes(s.Log("clist"),
                            PathRecord(s.Store() + "\\data\\..\\..\\storeroom\\victim.dat"));
         }},
        {"creation list naming the log", [](const Stores& s) {
             WriteFileBytes(s.Log("clist"), PathRecord(s.Tx() + "\\log\\files"));
         }},
        {"path record", [](const Stores& s) { s.FileLog(s.Outside("victim.dat")); }},
        {"dug-out record", [](const Stores& s) { s.DugOut(s.Outside("folder\\g.dat")); }},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.szCase);
        Stores s;
        s.Create();
        c.make(s);
        const Snapshot before = SnapshotTree(s.scratch.Path());
        CTransaction transaction;
        EXPECT_EQ(1, transaction.Open(s.Tx().c_str()));
        transaction.Close();
        EXPECT_TRUE(before == SnapshotTree(s.scratch.Path()));
    }
}

// A store copied with its leftover log: the records name the original's files.
// Opening the copy refuses the log and writes nothing into the original.
TEST(RecoveryBounds, CopiedStoreNeverWritesIntoTheOriginal)
{
    for (bool bCommitted : {true, false}) {
        SCOPED_TRACE(bCommitted ? "committed" : "rolled back");
        Stores s;
        s.Create();
        if (bCommitted) {
            s.FileLog(s.Data("a.dat"));
        } else {
            WriteFileBytes(s.Log("clist"), PathRecord(s.Data("new.dat")));
            s.DugOut(s.Data("gone.dat"));
        }
        const std::string copy = s.scratch.Sub("copy");
        MakeDir(copy);
        for (const auto& entry : SnapshotTree(s.Store())) {
            if (entry.second == "/")
                MakeDir(copy + entry.first);
            else
                WriteFileBytes(copy + entry.first, entry.second);
        }
        const Snapshot before = SnapshotTree(s.scratch.Path());
        CTransaction transaction;
        EXPECT_EQ(1, transaction.Open((copy + "\\tx").c_str()));
        transaction.Close();
        EXPECT_TRUE(before == SnapshotTree(s.scratch.Path()));
    }
}

// The record being appended when the power went: its sectors may have reached the
// disk in any order, so it reads as zeros, cut short, or zeros before its tail.
// That object was never made; the records before it roll back.
TEST(RecoveryBounds, TornTailOfTheCreationListRollsBack)
{
    using Tail = std::function<std::string(const std::string& last, const Stores& s)>;
    const struct {
        const char* szCase;
        Tail tail;
        bool bOpens;
    } aCases[] = {
        {"zeros", [](const std::string& last, const Stores&) { return std::string(last.size(), '\0'); },
         true},
        {"length only", [](const std::string& last, const Stores&) { return last.substr(0, 4); }, true},
        {"cut short",
         [](const std::string& last, const Stores&) { return last.substr(0, last.size() - 1); }, true},
        {"zeros, then the tail",
         [](const std::string& last, const Stores&) {
             return std::string(100, '\0') + last.substr(100);
         },
         true},
        {"text zeroed after the length",
         [](const std::string& last, const Stores&) {
             return last.substr(0, 60) + std::string(last.size() - 60, '\0');
         },
         true},
        {"a bad record, then a good one",
         [](const std::string&, const Stores& s) {
             return std::string(4, '\0') + PathRecord(s.Data("b"));
         },
         false},
        {"longer than one record",
         [](const std::string&, const Stores&) { return std::string(300, '\0'); }, false},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.szCase);
        Stores s;
        s.Create();
        const std::string last = PathRecord(s.Data(std::string(150, 'n').c_str()));
        WriteFileBytes(s.Log("clist"), PathRecord(s.Data("new.dat")) + c.tail(last, s));
        CTransaction transaction;
        EXPECT_EQ(c.bOpens ? 0 : 1, transaction.Open(s.Tx().c_str()));
        transaction.Close();
        EXPECT_EQ(!c.bOpens, platform::PathExists(s.Data("new.dat").c_str()));
        EXPECT_EQ("store's own", ReadFileBytes(s.Data("a.dat")));
    }
}

}  // namespace
}  // namespace velk
