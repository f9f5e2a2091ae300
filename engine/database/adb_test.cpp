#include "engine/database/adb.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb_test_support.h"
#include "engine/txstore/dustbox.h"
#include "engine/txstore/fs_context.h"
#include "platform/fault_injection.h"

namespace velk {
namespace {

using testing::AssociateDefault;
using testing::CScratchDatabase;
using testing::ReadWhole;
using testing::WriteWhole;

std::string U32(std::uint32_t n)
{
    unsigned char ab[4];
    PutU32LE(ab, n);
    return std::string(reinterpret_cast<char*>(ab), 4);
}

std::string Guid(const unsigned char* p)
{
    return std::string(reinterpret_cast<const char*>(p), 16);
}

bool HasName(CADB& db, const char* szName)
{
    return FindAttribute(db, szName) != 0;
}

TEST(Database, NewDatabaseHasExactIdentificationFilesAndItsStores)
{
    SDatabaseInfo info;
    info.nExtraSize = 8;
    CScratchDatabase db(info);
    const unsigned char kId[16] = {0x94, 0xE4, 0xD8, 0x58, 0x12, 0x09, 0x89, 0x4D,
                                   0x86, 0xA8, 0x2D, 0x66, 0xB2, 0x6D, 0x82, 0xBF};
    EXPECT_EQ(Guid(kId), ReadWhole(db.Sub("libid")));
    const unsigned char kNoCase[16] = {0xBA, 0x48, 0x9E, 0xB2, 0x95, 0x94, 0x03, 0x47,
                                       0xAF, 0x91, 0x48, 0x82, 0xB6, 0x55, 0x11, 0xF7};
    EXPECT_EQ(U32(0x00020000) + U32(261) + U32(0) + U32(512) + U32(8) + U32(0) + U32(16) +
                  U32(256) + Guid(kNoCase),
              ReadWhole(db.Sub("adbinfo")));
    for (const char* szName : {"transaction\\dustbox", "dustbox", "fidlists", "path_db\\bptinfo",
                               "hash_db\\leaf", "import_db\\index", "fileinfo_db",
                               "comment_db\\bptinfo", "commentinfo_db", "attname_db\\bptinfo",
                               "attinfo_db"})
        EXPECT_TRUE(platform::PathExists(db.Sub(szName).c_str())) << szName;
    // attinfo_db: record file of 80 + 256 + 8 bytes per record, empty.
    EXPECT_EQ(std::string("\x89" "FLR\r\n\x1A\n", 8) + U32(344) + U32(0) + U32(0),
              ReadWhole(db.Sub("attinfo_db")));
    // The trees of fixed format, as made: the name index here, a file list below.
    // Empty: no entries, height 0, no root, no first leaf.
    const std::string kTreeSignature("\x89" "BPT\r\n\x1A\n", 8);
    const std::string kEmptyTree = U32(0) + U32(0) + U32(0) + U32(0);
    const unsigned char kStringAscending[16] = {0x09, 0xCC, 0xF6, 0x0F, 0x88, 0xE2, 0x5B, 0x47,
                                                0xBC, 0x63, 0x89, 0x9F, 0x90, 0x16, 0x4B, 0xAE};
    EXPECT_EQ(kTreeSignature + U32(32) + U32(32) + U32(256) + U32(4) + U32(0) +
                  Guid(kStringAscending) + kEmptyTree,
              ReadWhole(db.Sub("attname_db\\bptinfo")));

    CADB adb;
    ASSERT_EQ(0, AssociateDefault(&adb, db.Dir()));
    EXPECT_EQ(261u, adb.GetParam1());
    EXPECT_EQ(512u, adb.GetCommentSize());
    EXPECT_EQ(16u, adb.GetHashSize());
    EXPECT_EQ(256u, adb.GetAttNameSize());
    EXPECT_EQ(1, adb.Open(1, 0));
    EXPECT_TRUE(platform::PathExists(db.Sub("temp").c_str()));
    ASSERT_EQ(0, adb.AddAtt("a", nullptr));
    adb.Close(1);
    EXPECT_FALSE(platform::PathExists(db.Sub("temp").c_str()));
    const unsigned char kBinaryAscending[16] = {0x54, 0x99, 0xFB, 0x9D, 0x41, 0xA3, 0xFC, 0x44,
                                                0x98, 0x8F, 0xDE, 0xFC, 0x5D, 0x2B, 0x09, 0x7F};
    EXPECT_EQ(kTreeSignature + U32(256) + U32(256) + U32(4) + U32(0) + U32(0) +
                  Guid(kBinaryAscending) + kEmptyTree,
              ReadWhole(db.Sub("fidlists\\1\\bptinfo")));
}

TEST(Database, CreateRefusesANonEmptyDirectoryAndBadParameters)
{
    CScratchDatabase db;
    EXPECT_EQ(CADB::kExists, CreateDatabase(db.Dir().c_str(), SDatabaseInfo()));
    SDatabaseInfo info;
    info.nAttNameSize = 1;
    EXPECT_EQ(CADB::kInvalidArgument, CreateDatabase(db.Sub("x").c_str(), info));
    info = SDatabaseInfo();
    std::memset(info.abPathOrder, 0x11, 16);
    EXPECT_EQ(CADB::kInvalidArgument, CreateDatabase(db.Sub("x").c_str(), info));
    EXPECT_FALSE(platform::PathExists(db.Sub("x").c_str()));
}

TEST(Database, WithoutCommentAndHashSizesTheirStoresAreAbsentAndNotNeeded)
{
    SDatabaseInfo info;
    info.nCommentSize = 0;
    info.nHashSize = 0;
    CScratchDatabase db(info);
    for (const char* szName : {"comment_db", "commentinfo_db", "hash_db", "import_db"})
        EXPECT_FALSE(platform::PathExists(db.Sub(szName).c_str())) << szName;
    CADB adb;
    ASSERT_EQ(0, AssociateDefault(&adb, db.Dir()));
    ASSERT_EQ(1, adb.Open(1, 0));
    EXPECT_EQ(0, adb.AddAtt("a", nullptr));
    adb.Close(1);
}

// Each case changes a fresh database and expects Associate's result; after a
// failure the parameters read 0.
TEST(Database, AssociationRecognisesTheDirectoryAndItsParameters)
{
    struct Case {
        const char* what;
        std::function<void(const CScratchDatabase&)> change;
        std::string directory;  // relative to the database; empty: the database itself
        int result;
    };
    const std::string kInfoTail = ReadWhole(CScratchDatabase().Sub("adbinfo")).substr(4);
    const Case kCases[] = {
        {"version 2.5", [&](const CScratchDatabase& d) {
             WriteWhole(d.Sub("adbinfo"), U32(0x00020005) + kInfoTail); }, "", 0},
        {"version 3", [&](const CScratchDatabase& d) {
             WriteWhole(d.Sub("adbinfo"), U32(0x00030000) + kInfoTail); }, "", 6},
        {"version 1", [&](const CScratchDatabase& d) {
             WriteWhole(d.Sub("adbinfo"), U32(0x00010000) + kInfoTail); }, "", 6},
        {"libid of 15 bytes", [](const CScratchDatabase& d) {
             WriteWhole(d.Sub("libid"), ReadWhole(d.Sub("libid")).substr(0, 15)); }, "", 6},
        {"libid of 17 bytes", [](const CScratchDatabase& d) {
             WriteWhole(d.Sub("libid"), ReadWhole(d.Sub("libid")) + "x"); }, "", 0},
        {"libid of another format", [](const CScratchDatabase& d) {
             WriteWhole(d.Sub("libid"), std::string(16, 'x')); }, "", 6},
        {"no adbinfo", [](const CScratchDatabase& d) {
             platform::FileRemove(d.Sub("adbinfo").c_str()); }, "", 6},
        {"adbinfo of 48 bytes and more", [](const CScratchDatabase& d) {
             WriteWhole(d.Sub("adbinfo"), ReadWhole(d.Sub("adbinfo")) + "tail"); }, "", 0},
        {"adbinfo of 47 bytes", [](const CScratchDatabase& d) {
             WriteWhole(d.Sub("adbinfo"), ReadWhole(d.Sub("adbinfo")).substr(0, 47)); }, "", 1},
        {"another path order", [&](const CScratchDatabase& d) {
             WriteWhole(d.Sub("adbinfo"), ReadWhole(d.Sub("adbinfo")).substr(0, 32) +
                                              Guid(kGuidBinaryAscending)); }, "", 1},
        {"no transaction dustbox", [](const CScratchDatabase& d) {
             platform::DirRemove(d.Sub("transaction\\dustbox").c_str()); }, "", 1},
        {"a subdirectory", [](const CScratchDatabase&) {}, "\\fidlists", 6},
    };
    for (const Case& c : kCases) {
        CScratchDatabase db;
        c.change(db);
        CADB adb;
        EXPECT_EQ(c.result, AssociateDefault(&adb, db.Dir() + c.directory)) << c.what;
        EXPECT_EQ(c.result == 0 ? 256u : 0u, adb.GetAttNameSize()) << c.what;
        EXPECT_EQ(c.result == 0 ? 261u : 0u, adb.GetParam1()) << c.what;
    }
    CADB adb;
    EXPECT_EQ(6, AssociateDefault(&adb, "\\rooted\\db"));
    EXPECT_EQ(6, AssociateDefault(&adb, ""));
}

TEST(Database, AssociatingAgainReattachesAndDisassociatingStopsTheWatch)
{
    CScratchDatabase db;
    CDustbox& dustbox = CDustbox::Instance();
    const std::size_t nBefore = dustbox.GetRegisteredCount();
    CADB adb;
    ASSERT_EQ(0, AssociateDefault(&adb, db.Dir()));
    EXPECT_EQ(0, AssociateDefault(&adb, db.Dir()));
    EXPECT_EQ(nBefore + 2, dustbox.GetRegisteredCount());  // its own and the store's
    ASSERT_EQ(1, adb.Open(1, 0));
    adb.Disassociate();  // rolls the open database back
    EXPECT_EQ(nBefore, dustbox.GetRegisteredCount());
    EXPECT_EQ(0u, adb.GetAttNameSize());
    EXPECT_THROW(adb.Open(0, 0), CFault);
}

TEST(Database, OpenNeedsAnAssociatedClosedDatabase)
{
    CScratchDatabase db;
    CADB adb;
    EXPECT_THROW(adb.Open(0, 0), CFault);
    adb.Close(1);  // closed: nothing happens
    ASSERT_EQ(0, AssociateDefault(&adb, db.Dir()));
    ASSERT_EQ(1, adb.Open(0, 0));
    EXPECT_THROW(adb.Open(0, 0), CFault);
    EXPECT_THROW(adb.AddAtt("a", nullptr), CFault);  // read-only
    adb.Close(1);
    adb.Close(1);
}

TEST(Database, ChangesLastOnlyWhenCommitted)
{
    CScratchDatabase db;
    CADB adb;
    ASSERT_EQ(0, AssociateDefault(&adb, db.Dir()));
    const std::string strNamesBefore = ReadWhole(db.Sub("attname_db\\leaf"));
    ASSERT_EQ(1, adb.Open(1, 0));
    ASSERT_EQ(0, adb.AddAtt("rolled back", nullptr));
    adb.Close(0);
    EXPECT_EQ(strNamesBefore, ReadWhole(db.Sub("attname_db\\leaf")));
    EXPECT_FALSE(platform::PathExists(db.Sub("fidlists\\1").c_str()));

    ASSERT_EQ(1, adb.Open(1, 0));
    ASSERT_EQ(0, adb.AddAtt("kept", nullptr));
    adb.Close(1);
    ASSERT_EQ(1, adb.Open(0, 0));
    EXPECT_TRUE(HasName(adb, "kept"));
    EXPECT_FALSE(HasName(adb, "rolled back"));
    adb.Close(1);
    EXPECT_TRUE(platform::PathExists(db.Sub("fidlists\\1").c_str()));
}

// A list left under the name of a free id (a directory or a plain file) does not
// stop the registration that is handed that id; a roll-back keeps it.
TEST(Database, AddAttReplacesAListLeftForAFreeId)
{
    struct Case {
        const char* what;
        std::function<void(const std::string&)> plant;
    };
    const Case kCases[] = {
        {"directory", [](const std::string& list) {
             ASSERT_EQ(platform::kFileOk, platform::DirCreate(list.c_str()));
             WriteWhole(list + "\\leaf", "left over");
         }},
        {"file", [](const std::string& list) { WriteWhole(list, "left over"); }},
    };
    for (const Case& c : kCases) {
        CScratchDatabase db;
        CADB adb;
        ASSERT_EQ(0, AssociateDefault(&adb, db.Dir())) << c.what;
        ASSERT_EQ(1, adb.Open(1, 0)) << c.what;
        std::uint32_t nId = 0;
        ASSERT_EQ(0, adb.AddAtt("first", &nId)) << c.what;
        ASSERT_EQ(1u, nId);
        adb.Close(1);
        const std::string list = db.Sub("fidlists\\2");
        c.plant(list);
        const auto before = platform::testing::SnapshotTree(db.Sub("fidlists"));

        ASSERT_EQ(1, adb.Open(1, 0)) << c.what;
        ASSERT_EQ(0, adb.AddAtt("second", &nId)) << c.what;
        EXPECT_EQ(2u, nId);
        adb.Close(0);
        EXPECT_EQ(before, platform::testing::SnapshotTree(db.Sub("fidlists"))) << c.what;

        ASSERT_EQ(1, adb.Open(1, 0)) << c.what;
        ASSERT_EQ(0, adb.AddAtt("second", &nId)) << c.what;
        adb.Close(1);
        EXPECT_EQ(ReadWhole(db.Sub("fidlists\\1\\leaf")), ReadWhole(list + "\\leaf")) << c.what;
        EXPECT_TRUE(platform::PathExists((list + "\\bptinfo").c_str())) << c.what;
        ASSERT_EQ(1, adb.Open(0, 0)) << c.what;
        EXPECT_TRUE(HasName(adb, "second")) << c.what;
        adb.Close(0);
    }
}

// A store that fails to open leaves the database closed and its guard free, so
// another writer gets in at once.
TEST(Database, FailedOpenClosesEverything)
{
    struct Case {
        const char* what;
        std::function<void(const CScratchDatabase&)> damage;
    };
    const Case kCases[] = {
        {"name index missing", [](const CScratchDatabase& d) {
             platform::FileRemove(d.Sub("attname_db\\bptinfo").c_str()); }},
        {"attribute records missing", [](const CScratchDatabase& d) {
             platform::FileRemove(d.Sub("attinfo_db").c_str()); }},
        {"attribute records too short for the name and extra data",
         [](const CScratchDatabase& d) {
             platform::FileRemove(d.Sub("attinfo_db").c_str());
             CFSContext context(1, DestroyObject);
             CRecordFile::Create(&context, d.Sub("attinfo_db").c_str(), 80 + 256 - 1);
         }},
    };
    for (const Case& c : kCases) {
        CScratchDatabase db;
        c.damage(db);
        CADB adb;
        ASSERT_EQ(0, AssociateDefault(&adb, db.Dir())) << c.what;
        EXPECT_THROW(adb.Open(1, 0), CFault) << c.what;
        EXPECT_FALSE(platform::PathExists(db.Sub("transaction\\log").c_str())) << c.what;
        CADB other;
        ASSERT_EQ(0, AssociateDefault(&other, db.Dir())) << c.what;
        EXPECT_THROW(other.Open(1, 0), CFault) << c.what;  // not 0: the guard was free
        adb.Close(1);  // closed already: nothing happens
    }
}

// A store that cannot be written back at Close leaves an incomplete set of
// changes: the opening is rolled back whatever the later Close asks for.
TEST(Database, FailedCloseNeverCommitsLater)
{
    CScratchDatabase db;
    CADB adb;
    ASSERT_EQ(0, AssociateDefault(&adb, db.Dir()));
    ASSERT_EQ(1, adb.Open(1, 0));
    ASSERT_EQ(0, adb.AddAtt("half", nullptr));
    {
        platform::CFaultInjector faults;
        faults.FailWrite(1, platform::CFaultInjector::kFail);
        platform::SetFaultInjector(&faults);
        EXPECT_THROW(adb.Close(1), CFault);
        platform::SetFaultInjector(nullptr);
    }
    EXPECT_THROW(adb.Close(1), CFault);  // rolled back instead: the commit is lost
    adb.Close(1);                        // closed now
    ASSERT_EQ(1, adb.Open(0, 0));
    EXPECT_FALSE(HasName(adb, "half"));
    adb.Close(0);
    EXPECT_FALSE(platform::PathExists(db.Sub("fidlists\\1").c_str()));
}

// The child holds the database open for writing until the parent removes the
// file named by its second argument.
CHILD_SCENARIO(adb_hold_write)
{
    CADB adb;
    if (AssociateDefault(&adb, vArgs.at(0)) != 0 || adb.Open(1, 0) != 1)
        return 1;
    WriteWhole(vArgs.at(1) + ".ready", "");
    for (int i = 0; i < 600 && platform::PathExists(vArgs.at(1).c_str()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    adb.Close(0);
    return 0;
}

TEST(Database, OpenTimesOutWhileAnotherProcessWrites)
{
    CScratchDatabase db;
    const std::string strHold = db.Scratch() + "hold";
    WriteWhole(strHold, "");
    platform::CChildProcess child;
    ASSERT_EQ(0, platform::testing::StartChild(&child, "adb_hold_write", {db.Dir(), strHold}));
    for (int i = 0; i < 600 && !platform::PathExists((strHold + ".ready").c_str()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(platform::PathExists((strHold + ".ready").c_str()));

    CADB adb;
    ASSERT_EQ(0, AssociateDefault(&adb, db.Dir()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, adb.Open(0, 300));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(250));
    EXPECT_LT(elapsed, std::chrono::seconds(20));
    EXPECT_EQ(0, adb.Open(1, 0));

    platform::FileRemove(strHold.c_str());
    int nCode = -1;
    ASSERT_TRUE(child.Wait(60000, &nCode));
    EXPECT_EQ(0, nCode);
    EXPECT_EQ(1, adb.Open(1, 0));
    adb.Close(1);
}

}  // namespace
}  // namespace velk
