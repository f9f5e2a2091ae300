// The whole tool, run as a child process in an application directory of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/database/adb.h"
#include "engine/database/adb_test_support.h"
#include "engine/database/adb_tools.h"
#include "engine/txstore/cache_budget.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/fault_injection.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/test_support.h"
#include "support/runtime/heap.h"
#include "tool/database_steps.h"
#include "tool/restore_steps.h"
#include "tool/step_report.h"
#include "reconcile/att_table.h"

namespace {

using platform::testing::ReadFileBytes;
using platform::testing::WriteFileBytes;

// An application directory: the tool beside "db", with "db\adb" made by the engine.
struct AppDir {
    platform::testing::CScratchDir scratch;
    std::string Tool() const { return scratch.Sub("attview-restore") + platform::kExecutableSuffix; }
    std::string Db() const { return scratch.Sub("db\\adb"); }
    std::string Target() const { return scratch.Sub("db\\attview.xml"); }

    void CopyTool() const
    {
        ASSERT_EQ(platform::kFileOk,
                  platform::FileCopy((platform::testing::BinaryDirectory() + "attview-restore" +
                                      platform::kExecutableSuffix).c_str(),
                                     Tool().c_str()));
    }

    // (name, number of files) per attribute, registered in this order.
    void Make(const std::vector<std::pair<std::string, int>>& atts,
              const velk::SDatabaseInfo& info = velk::SDatabaseInfo())
    {
        CopyTool();
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(scratch.Sub("db").c_str()));
        ASSERT_EQ(0, velk::CreateDatabase(Db().c_str(), info));
        velk::CADB db;
        ASSERT_EQ(0, db.Associate(Db().c_str(), kNoCaseAscendingId, nullptr));
        ASSERT_EQ(1, db.Open(1, 1000));
        std::uint32_t nFile = 1;
        for (const auto& att : atts) {
            std::uint32_t nId = 0;
            ASSERT_EQ(0, db.AddAtt(att.first.c_str(), &nId));
            for (int i = 0; i < att.second; ++i)
                ASSERT_EQ(0, velk::LinkFile(db, nId, nFile++));
        }
        db.Close(1);
    }

    // Runs the tool on the view text; returns (exit code, standard output).
    // A null view runs the tool on a source that does not exist.
    std::pair<int, std::string> Run(const char* szView) const
    {
        const std::string source = scratch.Sub("source.xml");
        if (szView != nullptr)
            WriteFileBytes(source, szView);
        platform::CChildProcess tool;
        EXPECT_EQ(0, tool.Start(Tool(), {"attview-restore", source}));
        int nCode = -999;
        EXPECT_TRUE(tool.Wait(120000, &nCode));
        return std::make_pair(nCode, tool.Output());
    }

    std::vector<std::pair<std::string, std::uint32_t>> List() const
    {
        std::vector<std::pair<std::string, std::uint32_t>> v;
        velk::CADB db;
        EXPECT_EQ(0, db.Associate(Db().c_str(), kNoCaseAscendingId, nullptr));
        EXPECT_EQ(1, db.Open(0, 1000));
        AttTable table;
        FillAttTable(&db, &table);
        db.Close(1);
        for (const auto& e : table)
            v.emplace_back(e.first, e.second.first);
        return v;
    }
};

std::string View(const std::string& items)
{
    return "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\r\n<attview>\r\n\t<root>\r\n" + items +
           "\t</root>\r\n</attview>\r\n";
}

std::string Item(const char* szName, int nId)
{
    return std::string("\t\t<item category=\"0\" icon=\"1\" id_att=\"") + std::to_string(nId) +
           "\" name=\"" + szName + "\"/>\r\n";
}

TEST(Restore, CompleteRunPrintsEveryStepAndRewritesTheIds)
{
    AppDir app;
    app.Make({{"music", 2}, {"写真", 0}, {"旅行", 1}});
    WriteFileBytes(app.Target(), "old view");
    const auto result = app.Run(View(Item("写真", 90) + Item("music", 91) + Item("旅行", 92)).c_str());
    EXPECT_EQ(0, result.first);
    EXPECT_EQ(platform::ConsoleEncode("属性DB関連付け:OK\n"
                                      "属性DB情報チェック:OK\n"
                                      "属性DB読み込み専用オープン:OK\n"
                                      "属性情報列挙:***OK\n"
                                      "属性DBクローズ:OK\n"
                                      "属性ビュー情報読み込み:OK\n"
                                      "属性DB書き込みオープン:OK\n"
                                      "属性ID更新:***OK\n"
                                      "属性DBコミット:OK\n"
                                      "属性ビュー情報更新:OK\n"
                                      "\n\n復元完了"),
              result.second);
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"shift_jis\"?>\r\n<attview>\r\n\t<root>\r\n" +
                  Item("写真", 2) + Item("music", 1) + Item("旅行", 3) + "\t</root>\r\n</attview>\r\n",
              ReadFileBytes(app.Target()));

    // The old view stays under a dated name.
    std::vector<platform::DirEntry> vEntries;
    ASSERT_EQ(platform::kFileOk, platform::DirList(app.scratch.Sub("db").c_str(), &vEntries));
    int nBackups = 0;
    for (const auto& e : vEntries) {
        if (e.strName.compare(0, 8, "attview_") == 0) {
            ++nBackups;
            EXPECT_EQ(std::string("attview_2026_01_01_00_00_00.xml").size(), e.strName.size());
            EXPECT_EQ("old view", ReadFileBytes(app.scratch.Sub("db\\" + e.strName)));
        }
    }
    EXPECT_EQ(1, nBackups);
    std::vector<std::string> vProblems;
    EXPECT_EQ(0u, velk::CheckDatabase(app.Db().c_str(), 1000, &vProblems));
}

TEST(Restore, UnknownNamesAreRegisteredAndMissingOnesAppended)
{
    AppDir app;
    app.Make({{"zeta", 0}, {"alpha", 3}, {"Beta", 1}, {"mid", 0}});
    const std::string view = View(
        "\t\t<!-- kept -->\r\n" + Item("mid", 7) + Item("new", 7) + Item("new", 8) +
        "\t\t<item category=\"1\" name=\"cat\" icon=\"4\">\r\n" + Item("zeta", 9) + "\t\t</item>\r\n");
    const auto result = app.Run(view.c_str());
    EXPECT_EQ(0, result.first);
    const std::string out = result.second;
    EXPECT_NE(std::string::npos,
              out.find(platform::ConsoleEncode("属性ID更新:****OK\n")));
    // Appended in byte order of the names: "Beta" before "alpha".
    EXPECT_NE(std::string::npos,
              out.find(platform::ConsoleEncode(
                  "属性DBには登録されているのに属性ビュー情報にはなかった属性をツリーに追加\n"
                  "    Beta\n    alpha\n")));
    const auto atts = app.List();
    std::uint32_t nNew = 0;
    for (const auto& a : atts)
        if (a.first == "new")
            nNew = a.second;
    ASSERT_NE(0u, nNew);
    const std::string written = ReadFileBytes(app.Target());
    EXPECT_NE(std::string::npos, written.find("<!-- kept -->"));
    EXPECT_NE(std::string::npos, written.find("name=\"cat\""));
    EXPECT_NE(std::string::npos, written.find("icon=\"4\""));  // a category keeps its own
    EXPECT_EQ(2, [&] {
        int n = 0;
        for (size_t at = 0; (at = written.find(Item("new", static_cast<int>(nNew)), at)) != std::string::npos; ++at)
            ++n;
        return n;
    }());
    EXPECT_NE(std::string::npos,
              written.find("<item category=\"0\" icon=\"1\" id_att=\"3\" name=\"Beta\"\r\n"
                           "\t\t  ref_count=\"1\"/>"))
        << written;
    std::vector<std::string> vProblems;
    EXPECT_EQ(0u, velk::CheckDatabase(app.Db().c_str(), 1000, &vProblems));
}

// The backups in the application's db folder.
std::vector<std::string> Backups(const AppDir& app)
{
    std::vector<platform::DirEntry> vEntries;
    platform::DirList(app.scratch.Sub("db").c_str(), &vEntries);
    std::vector<std::string> v;
    for (const auto& e : vEntries)
        if (e.strName.compare(0, 8, "attview_") == 0)
            v.push_back(app.scratch.Sub("db\\" + e.strName));
    return v;
}

// Started by its bare name through the search path, from another directory, the
// tool still takes its database and view from beside its own program.
TEST(Restore, StartedByItsBareNameElsewhereItWorksBesideItself)
{
    AppDir app;
    app.Make({{"a", 0}});
    WriteFileBytes(app.Target(), "old view");
    const std::string source = app.scratch.Sub("source.xml");
    WriteFileBytes(source, View(Item("a", 9)));
    const std::string elsewhere = app.scratch.Sub("elsewhere");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(elsewhere.c_str()));
    std::string bin = app.scratch.Path();
    bin.pop_back();  // without the trailing separator, as a search path names it
    platform::CChildProcess tool;
    tool.SetWorkingDirectory(elsewhere);
    tool.SetSearchPathFront(bin);
    const std::string input = "\n";
    ASSERT_EQ(0, tool.Start(std::string("attview-restore") + platform::kExecutableSuffix,
                            {"attview-restore", source}, &input));
    int nCode = -999;
    ASSERT_TRUE(tool.Wait(120000, &nCode));
    EXPECT_EQ(0, nCode) << tool.Output();
    EXPECT_NE(std::string::npos, ReadFileBytes(app.Target()).find(Item("a", 1)));
    EXPECT_EQ(1u, Backups(app).size());
    EXPECT_TRUE(platform::testing::SnapshotTree(elsewhere).empty());
}

struct FailureCase {
    const char* what;
    std::uint32_t nHashSize;
    bool bDatabase;
    const char* view;
    const char* expected;
};

TEST(Restore, FailuresStopWithNG)
{
    const FailureCase kCases[] = {
        {"no database", 16, false, "<a/>", "属性DB関連付け:NG\n"},
        {"hash size 32", 32, true, "<a/>", "属性DB関連付け:OK\n属性DB情報チェック:NG\n"},
        {"missing view", 16, true, nullptr, nullptr},
        {"no element", 16, true, "<!-- only -->", nullptr},
    };
    for (const FailureCase& c : kCases) {
        AppDir app;
        velk::SDatabaseInfo info;
        info.nHashSize = c.nHashSize;
        if (c.bDatabase) {
            app.Make({{"a", 0}}, info);
        } else {
            app.CopyTool();
            ASSERT_EQ(platform::kFileOk, platform::DirCreate(app.scratch.Sub("db").c_str()));
        }
        WriteFileBytes(app.Target(), "old");
        const auto result = app.Run(c.view);
        EXPECT_EQ(platform::ExitCodeAsSeen(-1), result.first) << c.what;
        if (c.expected != nullptr) {
            EXPECT_EQ(platform::ConsoleEncode(c.expected), result.second) << c.what;
        } else {
            const std::string ng = platform::ConsoleEncode("NG\n");
            ASSERT_GE(result.second.size(), ng.size()) << c.what;
            EXPECT_EQ(ng, result.second.substr(result.second.size() - ng.size())) << c.what;
        }
        if (c.bDatabase) {
            EXPECT_EQ("old", ReadFileBytes(app.Target())) << c.what;
            EXPECT_EQ(1u, app.List().size()) << c.what;  // nothing committed
        }
    }
}

// Runs the database steps for the application directory vArgs[0] with standard
// error going to the file vArgs[1].
CHILD_SCENARIO(database_steps_to_file)
{
    if (std::freopen(platform::UserPath(vArgs.at(1)).c_str(), "w", stderr) == nullptr)
        return 100;
    const ToolPaths paths = DeriveToolPaths((vArgs.at(0) + "attview-restore").c_str(), "x.xml");
    velk::CADB database;
    AttTable table;
    return RunDatabaseSteps(&database, paths, &table) == 0 ? 0 : 1;
}

TEST(Restore, DamagedStoreStopsTheReadOpen)
{
    AppDir app;
    app.Make({{"a", 0}});
    WriteFileBytes(app.Db() + "\\attname_db\\bptinfo", "damaged");
    const auto result = app.Run(View(Item("a", 1)).c_str());
    EXPECT_EQ(platform::ExitCodeAsSeen(-1), result.first);
    EXPECT_EQ(platform::ConsoleEncode("属性DB関連付け:OK\n属性DB情報チェック:OK\n"
                                      "属性DB読み込み専用オープン:NG\n"),
              result.second);

    // Standard error says why, and how to salvage the database, in the user's form.
    const std::string strErrors = app.scratch.Sub("errors.txt");
    EXPECT_EQ(1, platform::testing::RunChild("database_steps_to_file",
                                             {app.scratch.Path(), strErrors}));
    const std::string strShown = platform::UserPath(app.Db());
    EXPECT_EQ(platform::ConsoleEncode("attview-restore: the database could not be opened: a "
                                      "store is missing or damaged\n" +
                                      RecoverHint(app.Db()) + "\n"),
              ReadFileBytes(strErrors));
    EXPECT_NE(std::string::npos, RecoverHint(app.Db()).find("adbtool recover \"" + strShown + "\" \"" +
                                                            strShown + "-recovered\""));
}

// Step 6 stops on a name index whose leaf chain and count disagree, rather than
// print "*" without end or drop the names it did not reach from the new view:
// the enumerator's failure (neither a step nor the end of the walk) is the
// step's failure.
TEST(Restore, DamagedNameIndexStopsTheListing)
{
    struct Case {
        const char* what;
        std::function<void(velk::testing::CTreeDamage&)> damage;
        const char* expected;  // after the first three lines
    };
    const std::string kListing = "属性DB読み込み専用オープン:OK\n属性情報列挙:";
    const Case kCases[] = {
        {"a huge count and a chain that comes back to its head",
         [](velk::testing::CTreeDamage& t) {
             t.SetHeader(44, 0xFFFFFFFF);
             t.ChangeLeaf(t.Leaves().back(), [&](velk::CLeafNode& l) { l.SetNext(t.Leaves()[0]); });
         },
         "属性DB読み込み専用オープン:NG\n"},
        {"a leaf linked to itself",
         [](velk::testing::CTreeDamage& t) {
             t.ChangeLeaf(t.Leaves()[0], [&](velk::CLeafNode& l) { l.SetNext(t.Leaves()[0]); });
         },
         nullptr},
        {"a count one lower than the leaves hold",
         [](velk::testing::CTreeDamage& t) { t.SetHeader(44, t.Count() - 1); }, nullptr},
        {"a count one higher than the leaves hold",
         [](velk::testing::CTreeDamage& t) { t.SetHeader(44, t.Count() + 1); }, nullptr},
    };
    std::vector<std::pair<std::string, int>> vNames;
    for (int i = 0; i < 40; ++i)
        vNames.emplace_back("name" + std::to_string(100 + i), 0);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        AppDir app;
        app.Make(vNames);
        {
            velk::testing::CTreeDamage tree(app.Db() + "\\attname_db");
            ASSERT_GE(tree.Leaves().size(), 2u);
            c.damage(tree);
        }
        WriteFileBytes(app.Target(), "old");
        const auto result = app.Run(View(Item("name100", 1)).c_str());
        EXPECT_EQ(platform::ExitCodeAsSeen(-1), result.first);
        const std::string head = platform::ConsoleEncode("属性DB関連付け:OK\n属性DB情報チェック:OK\n");
        ASSERT_EQ(head, result.second.substr(0, head.size()));
        const std::string rest = result.second.substr(head.size());
        if (c.expected != nullptr) {
            EXPECT_EQ(platform::ConsoleEncode(c.expected), rest);
        } else {
            const std::string listing = platform::ConsoleEncode(kListing);
            const std::string ng = platform::ConsoleEncode("NG\n");
            ASSERT_EQ(listing, rest.substr(0, listing.size()));
            ASSERT_GE(rest.size(), listing.size() + ng.size());
            const std::string stars =
                rest.substr(listing.size(), rest.size() - listing.size() - ng.size());
            EXPECT_EQ(std::string::npos, stars.find_first_not_of('*')) << rest;
            EXPECT_GE(40u, stars.size());
            EXPECT_EQ(ng, rest.substr(rest.size() - ng.size()));
        }
        EXPECT_EQ("old", ReadFileBytes(app.Target()));
    }
}

// The listing reads each record once: the caches keep little of it, however
// large the process's bound, so that the memory goes back whole when the
// database closes; and the bound is the process's again afterwards, also when
// the listing fails part way.
TEST(AttTable, ListingKeepsLittleInTheCachesAndLeavesTheBound)
{
    // Attribute records of 16 KiB, so that a few hundred names make megabytes.
    velk::SDatabaseInfo info;
    info.nExtraSize = 16u << 10;
    std::vector<std::pair<std::string, int>> vNames;
    for (int i = 0; i < 300; ++i)
        vNames.emplace_back("name" + std::to_string(1000 + i), 0);
    AppDir app;
    app.Make(vNames, info);
    const std::size_t cbBound = velk::CCacheClient::GetBudgetBound();
    ASSERT_GE(cbBound, 8u << 20);
    for (bool bDamaged : {false, true}) {
        SCOPED_TRACE(bDamaged ? "damaged" : "sound");
        if (bDamaged) {
            velk::testing::CTreeDamage tree(app.Db() + "\\attname_db");
            ASSERT_GE(tree.Leaves().size(), 2u);
            tree.SetHeader(44, tree.Count() + 1);
        }
        velk::CADB db;
        ASSERT_EQ(0, db.Associate(app.Db().c_str(), kNoCaseAscendingId, nullptr));
        ASSERT_EQ(1, db.Open(0, 1000));
        AttTable table;
        bool bThrown = false;
        try {
            FillAttTable(&db, &table, false);
        } catch (...) {
            bThrown = true;
        }
        EXPECT_EQ(bDamaged, bThrown);
        EXPECT_EQ(cbBound, velk::CCacheClient::GetBudgetBound());
        if (!bDamaged) {
            EXPECT_EQ(vNames.size(), table.size());
            // Every record read passes through the caches: about 5 MiB here.
            EXPECT_GT(2u << 20, velk::CCacheClient::GetBudgetBytes());
        }
        db.Close(1);
    }
}

// "temp" linked to a folder beside the database: the store is damaged, and the
// folder is never emptied through the link.
TEST(Restore, LinkedTempStopsTheReadOpenAndLeavesItsTarget)
{
    AppDir app;
    app.Make({{"a", 0}});
    const std::string victim = app.scratch.Sub("victim");
    ASSERT_EQ(platform::kFileOk, platform::DirCreate(victim.c_str()));
    WriteFileBytes(victim + "\\keep.dat", "keep");
    ASSERT_TRUE(platform::testing::MakeLink(app.Db() + "\\temp", victim,
                                            platform::kLinkToDirectory));
    for (int nRun = 0; nRun < 2; ++nRun) {
        const auto result = app.Run(View(Item("a", 1)).c_str());
        EXPECT_EQ(platform::ExitCodeAsSeen(-1), result.first);
        EXPECT_EQ(platform::ConsoleEncode("属性DB関連付け:OK\n属性DB情報チェック:OK\n"
                                          "属性DB読み込み専用オープン:NG\n"),
                  result.second);
    }
    EXPECT_EQ("keep", ReadFileBytes(victim + "\\keep.dat"));
}

// Holds the database vArgs[0] open for writing until it is killed.
CHILD_SCENARIO(hold_database)
{
    velk::CADB db;
    if (db.Associate(vArgs.at(0).c_str(), kNoCaseAscendingId, nullptr) != 0 || db.Open(1, 5000) == 0)
        return 1;
    platform::ConsoleWrite("held\n");
    std::fflush(stdout);
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST(Restore, DatabaseHeldByAnotherProgramTimesOut)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the 30-second wait is tested on one target";
#endif
    AppDir app;
    app.Make({{"a", 0}});
    platform::CChildProcess holder;
    ASSERT_EQ(0, platform::testing::StartChild(&holder, "hold_database", {app.Db()}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (holder.Output().find("held") == std::string::npos) {
        int nCode = 0;
        ASSERT_FALSE(holder.Wait(0, &nCode)) << "the holder ended with " << nCode;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto start = std::chrono::steady_clock::now();
    const auto result = app.Run(View(Item("a", 1)).c_str());
    const auto waited = std::chrono::steady_clock::now() - start;
    holder.Kill();
    EXPECT_EQ(platform::ExitCodeAsSeen(-1), result.first);
    EXPECT_EQ(platform::ConsoleEncode("属性DB関連付け:OK\n属性DB情報チェック:OK\n"
                                      "属性DB読み込み専用オープン:NG(タイムアウト発生)\n"),
              result.second);
    EXPECT_GE(waited, std::chrono::seconds(29));
}

TEST(Restore, TargetHeldOpenIsNotReplaced)
{
    AppDir app;
    app.Make({{"a", 0}});
    WriteFileBytes(app.Target(), "old view");
    platform::CFileHandle held;  // opened without any sharing: no rename, no new writer
    ASSERT_EQ(platform::kFileOk, platform::FileOpen(app.Target().c_str(), platform::kFileAccessRead,
                                                     0, platform::kFileOpenExisting, &held));
    const auto result = app.Run(View(Item("a", 1)).c_str());
    held.Close();
    EXPECT_EQ(platform::ExitCodeAsSeen(-1), result.first);
    const std::string ng = platform::ConsoleEncode("属性ビュー情報更新:NG\n");
    ASSERT_GE(result.second.size(), ng.size());
    EXPECT_EQ(ng, result.second.substr(result.second.size() - ng.size()));
    EXPECT_EQ("old view", ReadFileBytes(app.Target()));
    EXPECT_EQ(1u, app.List().size());  // the commit of step 11 stands
}

TEST(Restore, ExistingBackupOfTheSameSecondIsKept)
{
    // Backups named for the next seconds exist already, as after a run in the
    // same second: the view is overwritten and those backups stay as they are.
    AppDir app;
    app.Make({{"a", 0}});
    WriteFileBytes(app.Target(), "old view");
    const platform::DateTime now = platform::LocalTime();
    std::vector<std::string> vTaken;
    for (int i = 0; i < 20; ++i) {
        const int nSecond = now.nSecond + i;
        if (nSecond > 59)
            break;  // a minute boundary: the names would need the next minute
        vTaken.push_back(BackupName(app.scratch.Sub("db\\attview_").c_str(), now.nYear, now.nMonth,
                                    now.nDay, now.nHour, now.nMinute, nSecond));
        WriteFileBytes(vTaken.back(), "first run's backup");
    }
    if (vTaken.size() < 10)
        GTEST_SKIP() << "too close to a minute boundary";
    const auto result = app.Run(View(Item("a", 1)).c_str());
    EXPECT_EQ(0, result.first);
    for (const std::string& taken : vTaken)
        EXPECT_EQ("first run's backup", ReadFileBytes(taken));
    EXPECT_NE(std::string::npos, ReadFileBytes(app.Target()).find("id_att=\"1\""));
}

TEST(Restore, BackupNameCarriesTheLocalTime)
{
    EXPECT_EQ("C:\\app\\db\\attview_2004_03_07_09_05_01.xml",
              BackupName("C:\\app\\db\\attview_", 2004, 3, 7, 9, 5, 1));
}

// ---- Steps run in this process, with faults --------------------------------

// Runs every step on the view in this process, with pFaults installed from step 8
// on; standard error goes to *pstrError. Returns the steps' result, -2 when the
// database steps failed.
int RunStepsHere(const AppDir& app, const std::string& view, platform::CFaultInjector* pFaults,
                 std::string* pstrError, std::size_t nHeapFailAt = 0, std::size_t* pnAllocations = nullptr)
{
    const std::string source = app.scratch.Sub("source.xml");
    WriteFileBytes(source, view);
    const ToolPaths paths = DeriveToolPaths(app.Tool().c_str(), source.c_str());
    velk::CADB database;
    AttTable table;
    ::testing::internal::CaptureStderr();
    int nResult = -2;
    if (RunDatabaseSteps(&database, paths, &table) == 0) {
        platform::SetFaultInjector(pFaults);
        vokHeapFailAllocation(nHeapFailAt);
        nResult = RunRestoreSteps(&database, paths, &table);
        if (pnAllocations != nullptr)
            *pnAllocations = vokHeapGetAllocationCount();
        vokHeapFailAllocation(0);
        platform::SetFaultInjector(nullptr);
    }
    *pstrError = ::testing::internal::GetCapturedStderr();
    return nResult;
}

// A view that cannot be written completely: the old one goes back in place, or,
// when it cannot, standard error says exactly where it is.
TEST(RestoreFaults, FailedViewWriteLeavesTheOldViewFindable)
{
    const std::string view = View(Item("a", 7) + Item("b", 8));
    std::uint32_t nWrites = 0, nMoves = 0;
    {
        AppDir app;
        app.Make({{"a", 0}, {"b", 1}});
        WriteFileBytes(app.Target(), "old view");
        platform::CFaultInjector counter;
        std::string err;
        ASSERT_EQ(0, RunStepsHere(app, view, &counter, &err)) << err;
        nWrites = counter.Writes();
        nMoves = counter.NameOps(platform::CFaultInjector::kMoveOp);
        ASSERT_EQ(1u, Backups(app).size());
    }
    for (const bool bMoveBackFails : {false, true}) {
        AppDir app;
        app.Make({{"a", 0}, {"b", 1}});
        WriteFileBytes(app.Target(), "old view");
        platform::CFaultInjector faults;
        faults.FailWrite(nWrites, platform::CFaultInjector::kFail);  // the view's last write
        if (bMoveBackFails)
            faults.FailNameOp(platform::CFaultInjector::kMoveOp, nMoves + 1,
                              platform::CFaultInjector::kFail);
        std::string err;
        EXPECT_EQ(-1, RunStepsHere(app, view, &faults, &err));
        const std::string target = app.Target();
        EXPECT_EQ(0u, err.find("attview-restore: cannot write the view \"")) << err;
        if (!bMoveBackFails) {
            EXPECT_NE(std::string::npos, err.find("; the previous view is back in place\n")) << err;
            EXPECT_EQ("old view", ReadFileBytes(target));
            EXPECT_TRUE(Backups(app).empty());
        } else {
            const std::vector<std::string> backups = Backups(app);
            ASSERT_EQ(1u, backups.size());
            EXPECT_EQ("old view", ReadFileBytes(backups[0]));
            EXPECT_NE(std::string::npos,
                      err.find("; the previous view is kept as \"" + platform::UserPath(backups[0]) + "\"\n"))
                << err;
            EXPECT_FALSE(platform::PathExists(target.c_str()));  // no partial view
        }
        EXPECT_EQ(2u, app.List().size());  // the commit of step 11 stands
    }
}

// A view that cannot be read to its end is never taken for a shorter one: the
// read fails, and the database and the old view stay as they were.
TEST(RestoreFaults, ViewReadShortOfItsSizeStopsTheRun)
{
    std::string items;
    for (int i = 0; i < 400; ++i)  // several reads long
        items += Item(("name" + std::to_string(i)).c_str(), i + 1);
    const std::string view = View(items);
    for (std::uint32_t k = 1; k <= 2; ++k) {
        AppDir app;
        app.Make({{"name0", 0}});
        WriteFileBytes(app.Target(), "old view");
        platform::CFaultInjector faults;
        faults.FailRead(k, platform::CFaultInjector::kFail);
        std::string err;
        EXPECT_EQ(-1, RunStepsHere(app, view, &faults, &err)) << k;
        EXPECT_EQ("attview-restore: cannot read the whole view \"" +
                      platform::UserPath(app.scratch.Sub("source.xml")) + "\"\n",
                  err) << k;
        EXPECT_EQ("old view", ReadFileBytes(app.Target()));
        EXPECT_TRUE(Backups(app).empty());
        EXPECT_EQ(1u, app.List().size());
    }
}

// Steps 8 to 14 with the library heap failing its k-th allocation: the run ends
// in "OK" with the full view or in a failure with the old view in place, never a
// half-written one; the database stays sound and every block goes back.
TEST(RestoreFaults, MemoryRunningOutNeverLeavesAHalfWrittenView)
{
    const std::string view = View(Item("a", 7) + Item("new", 8) +
                                  "\t\t<item category=\"1\" name=\"cat\">\r\n" + Item("b", 9) +
                                  "\t\t</item>\r\n");
    std::size_t nAllocations = 0;
    std::string strExpected;
    {
        AppDir app;
        app.Make({{"a", 0}, {"b", 1}, {"c", 2}});
        WriteFileBytes(app.Target(), "old view");
        std::string err;
        ASSERT_EQ(0, RunStepsHere(app, view, nullptr, &err, SIZE_MAX, &nAllocations)) << err;
        strExpected = ReadFileBytes(app.Target());
    }
    ASSERT_GT(nAllocations, 10u);
    // Every allocation in the long runs; an even spread of them otherwise.
    const std::size_t nPoints = platform::testing::LongRuns() ? nAllocations : 12;
    const std::size_t nStride = std::max<std::size_t>(1, nAllocations / nPoints);
    for (std::size_t k = 1; k <= nAllocations; k += nStride) {
        AppDir app;
        app.Make({{"a", 0}, {"b", 1}, {"c", 2}});
        WriteFileBytes(app.Target(), "old view");
        const std::size_t nBlocks = vokHeapGetBlockCount(nullptr);
        std::string err;
        const int nResult = RunStepsHere(app, view, nullptr, &err, k);
        const std::string what = "allocation " + std::to_string(k) + " of " +
                                 std::to_string(nAllocations) + ": " + err;
        if (nResult == 0) {
            EXPECT_EQ(strExpected, ReadFileBytes(app.Target())) << what;
            const std::vector<std::string> backups = Backups(app);  // beside it, not elsewhere
            ASSERT_EQ(1u, backups.size()) << what;
            EXPECT_EQ("old view", ReadFileBytes(backups[0])) << what;
        } else {
            EXPECT_EQ(-1, nResult) << what;
            EXPECT_EQ("old view", ReadFileBytes(app.Target())) << what;
            EXPECT_TRUE(Backups(app).empty()) << what;
            EXPECT_EQ(0u, err.find("attview-restore: ")) << what;
        }
        EXPECT_EQ(nBlocks, vokHeapGetBlockCount(nullptr)) << what;
        EXPECT_EQ(kVokOk, vokVerifyHeapChain(nullptr)) << what;
        std::vector<std::string> vProblems;
        EXPECT_EQ(0u, velk::CheckDatabase(app.Db().c_str(), 10000, &vProblems)) << what;
        if (::testing::Test::HasFailure())
            return;
    }
}

}  // namespace
