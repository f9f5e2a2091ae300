// Linking file ids to attributes (LinkFile) in one write transaction, commit
// included, beside SQLite inserting the same rows (attribute, file) into a WITHOUT
// ROWID table in one transaction, journal_mode=DELETE, synchronous=FULL (our commit
// flushes too). Two shapes: N ids into one attribute's list, and one id into each
// of N attributes' lists (N trees, each with its own log and flushes).
//
//   link_bench [repetitions [N]]      default: 5 repetitions (the least), N = 1000;
//   each after a discarded first run
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/runs.h"
#include "engine/database/adb.h"
#include "engine/database/adb_tools.h"
#include "engine/txstore/remove_tree.h"
#include "platform/fault_injection.h"
#include "platform/file.h"
#include "tool/database_steps.h"

namespace {

using Clock = std::chrono::steady_clock;

// A database with nAtts attributes and empty file lists.
bool MakeDatabase(const std::string& db, int nAtts, std::vector<std::uint32_t>* pvIds)
{
    velk::RemoveTree(db.c_str(), nullptr, 0, 0);
    if (velk::CreateDatabase(db.c_str(), velk::SDatabaseInfo()) != 0)
        return false;
    velk::CADB adb;
    if (adb.Associate(db.c_str(), kNoCaseAscendingId, nullptr) != 0 || adb.Open(1, 10000) == 0)
        return false;
    pvIds->clear();
    for (int i = 0; i < nAtts; ++i) {
        std::uint32_t nId = 0;
        adb.AddAtt(("attribute " + std::to_string(i)).c_str(), &nId);
        pvIds->push_back(nId);
    }
    adb.Close(1);
    return true;
}

// Seconds for linking file ids 1..n: all into vIds[0] (bOneList), or one into each
// of vIds, commit included; *pCpu gets the processor seconds and *pnFlushes the
// flushes of files and directories. Negative when something failed.
double LinkOurs(const std::string& db, const std::vector<std::uint32_t>& vIds, int n, bool bOneList,
                double* pCpu, unsigned* pnFlushes)
{
    velk::CADB adb;
    if (adb.Associate(db.c_str(), kNoCaseAscendingId, nullptr) != 0)
        return -1;
    platform::CFaultInjector counter;  // counts, arms nothing
    platform::SetFaultInjector(&counter);
    const auto start = Clock::now();
    const double cpu = bench::CpuSeconds();
    if (adb.Open(1, 10000) == 0) {
        platform::SetFaultInjector(nullptr);
        return -1;
    }
    int nLinked = 0;
    for (int i = 0; i < n; ++i)
        nLinked += velk::LinkFile(adb, bOneList ? vIds[0] : vIds[static_cast<std::size_t>(i)],
                                  static_cast<std::uint32_t>(i + 1)) == 0;
    adb.Close(1);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    *pCpu = bench::CpuSeconds() - cpu;
    platform::SetFaultInjector(nullptr);
    *pnFlushes = counter.Flushes();
    return nLinked == n ? s : -1;
}

double LinkSqlite(const std::string& file, int n, bool bOneList, double* pCpu)
{
    std::remove(file.c_str());
    sqlite3* pDb = nullptr;
    sqlite3_open(file.c_str(), &pDb);
    sqlite3_exec(pDb, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    sqlite3_exec(pDb, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    sqlite3_exec(pDb, "CREATE TABLE links(att INTEGER, file INTEGER, PRIMARY KEY(att, file)) WITHOUT ROWID",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* pInsert = nullptr;
    sqlite3_prepare_v2(pDb, "INSERT INTO links(att, file) VALUES(?, ?)", -1, &pInsert, nullptr);
    const auto start = Clock::now();
    const double cpu = bench::CpuSeconds();
    sqlite3_exec(pDb, "BEGIN", nullptr, nullptr, nullptr);
    int nDone = 0;
    for (int i = 0; i < n; ++i) {
        sqlite3_bind_int64(pInsert, 1, bOneList ? 1 : i + 1);
        sqlite3_bind_int64(pInsert, 2, i + 1);
        nDone += sqlite3_step(pInsert) == SQLITE_DONE;
        sqlite3_reset(pInsert);
    }
    sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    *pCpu = bench::CpuSeconds() - cpu;
    sqlite3_finalize(pInsert);
    sqlite3_close(pDb);
    std::remove(file.c_str());
    return nDone == n ? s : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    const int nRepetitions = bench::RunsFrom(argc > 1 ? argv[1] : nullptr);
    const int n = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
    const std::string db = platform::TempDirectory() + "attview-link-bench";
    const std::string sqlite = "/tmp/attview-link-bench.sqlite";
    std::printf("%d ids in one transaction, commit included; median [min - max] of %d runs, "
                "after a discarded one, each on a fresh database made outside the timing\n",
                n, nRepetitions);
    bench::PrintLoad("at start");
    for (bool bOneList : {true, false}) {
        bench::CSpread vOurs, vSqlite, vRatio, vOursCpu, vSqliteCpu;
        std::vector<std::uint32_t> vIds;
        unsigned nFlushes = 0;
        for (int r = -1; r < nRepetitions; ++r) {  // the first run is discarded
            if (!MakeDatabase(db, bOneList ? 1 : n, &vIds)) {
                std::printf("could not make %s\n", db.c_str());
                return 1;
            }
            double cpuOurs = 0, cpuSqlite = 0;
            const double sOurs = LinkOurs(db, vIds, n, bOneList, &cpuOurs, &nFlushes);
            const double sSqlite = LinkSqlite(sqlite, n, bOneList, &cpuSqlite);
            if (sOurs < 0 || sSqlite < 0) {
                std::printf("a run failed\n");
                return 1;
            }
            if (r < 0)
                continue;
            vOursCpu.Add(cpuOurs);
            vSqliteCpu.Add(cpuSqlite);
            vOurs.Add(sOurs);
            vSqlite.Add(sSqlite);
            vRatio.Add(sOurs / sSqlite);
        }
        std::printf("  %-20s ours %8.1f us/id [%.1f - %.1f]   sqlite %6.1f us/id [%.1f - %.1f]   "
                    "x%.1f [%.1f - %.1f]\n"
                    "  %-20s processor time: ours %.1f us/id [%.1f - %.1f], sqlite %.1f us/id [%.1f - %.1f]\n",
                    bOneList ? "into one list" : "one into each list", vOurs.Median() / n * 1e6,
                    vOurs.Min() / n * 1e6, vOurs.Max() / n * 1e6, vSqlite.Median() / n * 1e6,
                    vSqlite.Min() / n * 1e6, vSqlite.Max() / n * 1e6, vRatio.Median(), vRatio.Min(),
                    vRatio.Max(), "", vOursCpu.Median() / n * 1e6, vOursCpu.Min() / n * 1e6,
                    vOursCpu.Max() / n * 1e6, vSqliteCpu.Median() / n * 1e6, vSqliteCpu.Min() / n * 1e6,
                    vSqliteCpu.Max() / n * 1e6);
        std::printf("  %-20s flushes per transaction: ours %u\n", "", nFlushes);
        std::fflush(stdout);
    }
    velk::RemoveTree(db.c_str(), nullptr, 0, 0);
    bench::PrintLoad("at end");
    return 0;
}
