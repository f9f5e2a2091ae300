// The engine's real write path against SQLite: N inserts of 4-byte keys into a B+
// tree (d = L = 256) inside one write transaction through the transactional
// file-system context, then the commit; then N random lookups in a read
// transaction. SQLite does the same on a WITHOUT ROWID table in one transaction
// (journal_mode=DELETE), with synchronous=OFF and with synchronous=FULL. Our
// commit flushes the log before its marker and every target before the log goes
// (two flush points), which is what synchronous=FULL buys SQLite.
//
// Then many small transactions, each the shape of one registration: one existing
// file changed through its log, a file and a directory made, an older file removed
// (dug out). They show what the flushes of each commit cost, against SQLite
// committing one row per transaction with synchronous=FULL.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/runs.h"
#include "engine/bptree/bptree.h"
#include "engine/txstore/remove_tree.h"
#include "engine/txstore/tfs_context.h"
#include "engine/txstore/transaction.h"
#include "platform/fault_injection.h"
#include "platform/file.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Times {
    double tInsert = 0, tCommit = 0, tFind = 0;
};

std::vector<std::uint32_t> Keys(int n)
{
    std::vector<std::uint32_t> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = static_cast<std::uint32_t>(i) * 2654435761u;
    return v;
}

void Key(std::uint32_t k, unsigned char ab[4])
{
    ab[0] = static_cast<unsigned char>(k >> 24);
    ab[1] = static_cast<unsigned char>(k >> 16);
    ab[2] = static_cast<unsigned char>(k >> 8);
    ab[3] = static_cast<unsigned char>(k);
}

// Makes dir with a transaction directory dir\tx and its dustbox; returns dir\tx.
// The store changes only what lies beside its transaction directory.
std::string MakeStore(const std::string& dir)
{
    const std::string tx = dir + "\\tx";
    platform::DirCreate(dir.c_str());
    platform::DirCreate(tx.c_str());
    platform::DirCreate((tx + "\\dustbox").c_str());
    return tx;
}

Times RunOurs(const std::string& dir, int n)
{
    Times t;
    velk::RemoveTree(dir.c_str(), nullptr, 0, 0);
    const std::string tx = MakeStore(dir);
    const std::string tree = dir + "\\tree";
    const std::vector<std::uint32_t> keys = Keys(n);
    velk::CTransaction store;
    store.Open(tx.c_str());
    {
        // The tree exists before: its changes go through the per-file logs.
        velk::CTransaction::IContext* pTx = store.Begin(1, 10000);
        velk::CFileSystem::IContext* pFs = velk::CreateTFSContext(pTx);
        velk::CBPTree::Create(pFs, tree.c_str(), 256, 256, 4, 0, 0, velk::kGuidBinaryAscending);
        velk::DestroyObject(pFs);
        store.End(1);
    }
    {
        velk::CTransaction::IContext* pTx = store.Begin(1, 10000);
        velk::CFileSystem::IContext* pFs = velk::CreateTFSContext(pTx);
        velk::CBPTree bpt;
        bpt.Open(pFs, tree.c_str(), 1, velk::kGuidBinaryAscending, nullptr);
        const auto start = Clock::now();
        unsigned char ab[4];
        for (std::uint32_t k : keys) {
            Key(k, ab);
            bpt.Insert(ab, 4, nullptr, 0, nullptr);
        }
        bpt.Close();
        velk::DestroyObject(pFs);
        t.tInsert = Seconds(start);
        const auto commit = Clock::now();
        store.End(1);
        t.tCommit = Seconds(commit);
    }
    {
        velk::CTransaction::IContext* pTx = store.Begin(0, 10000);
        velk::CFileSystem::IContext* pFs = velk::CreateTFSContext(pTx);
        velk::CBPTree bpt;
        bpt.Open(pFs, tree.c_str(), 0, velk::kGuidBinaryAscending, nullptr);
        std::mt19937 random(7);
        const auto start = Clock::now();
        int nFound = 0;
        unsigned char ab[4];
        velk::CBPTree::Cursor cursor;
        for (int i = 0; i < n; ++i) {
            Key(keys[random() % keys.size()], ab);
            nFound += bpt.Find(ab, 4, &cursor, 0) != 0;
        }
        t.tFind = Seconds(start);
        if (nFound != n)
            std::printf("  (lookups found %d of %d)\n", nFound, n);
        bpt.Close();
        velk::DestroyObject(pFs);
        store.End(0);
    }
    store.Close();
    velk::RemoveTree(dir.c_str(), nullptr, 0, 0);
    return t;
}

Times RunSqlite(const std::string& file, int n, bool bFull)
{
    Times t;
    std::remove(file.c_str());
    sqlite3* pDb = nullptr;
    sqlite3_open(file.c_str(), &pDb);
    sqlite3_exec(pDb, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    sqlite3_exec(pDb, bFull ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF", nullptr,
                 nullptr, nullptr);
    sqlite3_exec(pDb, "CREATE TABLE t(k BLOB PRIMARY KEY) WITHOUT ROWID", nullptr, nullptr, nullptr);
    const std::vector<std::uint32_t> keys = Keys(n);
    sqlite3_stmt* pInsert = nullptr;
    sqlite3_prepare_v2(pDb, "INSERT INTO t(k) VALUES(?)", -1, &pInsert, nullptr);
    sqlite3_exec(pDb, "BEGIN", nullptr, nullptr, nullptr);
    auto start = Clock::now();
    unsigned char ab[4];
    for (std::uint32_t k : keys) {
        Key(k, ab);
        sqlite3_bind_blob(pInsert, 1, ab, 4, SQLITE_TRANSIENT);
        sqlite3_step(pInsert);
        sqlite3_reset(pInsert);
    }
    t.tInsert = Seconds(start);
    start = Clock::now();
    sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr);
    t.tCommit = Seconds(start);
    sqlite3_finalize(pInsert);

    sqlite3_stmt* pFind = nullptr;
    sqlite3_prepare_v2(pDb, "SELECT 1 FROM t WHERE k = ?", -1, &pFind, nullptr);
    sqlite3_exec(pDb, "BEGIN", nullptr, nullptr, nullptr);
    std::mt19937 random(7);
    start = Clock::now();
    for (int i = 0; i < n; ++i) {
        Key(keys[random() % keys.size()], ab);
        sqlite3_bind_blob(pFind, 1, ab, 4, SQLITE_TRANSIENT);
        sqlite3_step(pFind);
        sqlite3_reset(pFind);
    }
    t.tFind = Seconds(start);
    sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(pFind);
    sqlite3_close(pDb);
    std::remove(file.c_str());
    return t;
}

// Per transaction: one logged change, two creations, one dig-out, the commit.
// *pnFlushes receives the flushes (of files and directories) per transaction.
double RunOursSmall(const std::string& dir, int nRounds, unsigned* pnFlushes, double* pCpu)
{
    velk::RemoveTree(dir.c_str(), nullptr, 0, 0);
    const std::string tx = MakeStore(dir);
    const std::string data = dir + "\\data";
    platform::DirCreate(data.c_str());
    velk::CTransaction store;
    store.Open(tx.c_str());
    auto file = [&](int i) { return data + "\\f" + std::to_string(i); };
    {
        platform::CFileHandle h;
        platform::FileOpen((data + "\\index").c_str(), platform::kFileAccessWrite, 0,
                           platform::kFileCreateNew, &h);
        std::uint32_t cb = 0;
        const std::string bytes(200000, 'x');
        h.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &cb);
        platform::FileOpen(file(0).c_str(), platform::kFileAccessWrite, 0,
                           platform::kFileCreateNew, &h);
    }
    platform::CFaultInjector counter;  // counts, arms nothing
    platform::SetFaultInjector(&counter);
    const auto start = Clock::now();
    const double cpuStart = bench::CpuSeconds();
    for (int i = 1; i <= nRounds; ++i) {
        velk::CTransaction::IContext* pTx = store.Begin(1, 10000);
        velk::CFileSystem::IContext* pFs = velk::CreateTFSContext(pTx);
        velk::CFileSystem::IFile* pFile = pFs->OpenFile((data + "\\index").c_str(), 1);
        pFile->Seek((i * 4096) % 200000, 0);
        pFile->Write("changed", 7);
        pFs->CloseFile(pFile);
        pFs->CreateFile(file(i).c_str());
        pFs->CreateDirectory((file(i) + ".d").c_str());
        pFs->DeleteFile(file(i - 1).c_str());
        velk::DestroyObject(pFs);
        store.End(1);
    }
    const double t = Seconds(start);
    *pCpu = (bench::CpuSeconds() - cpuStart) / nRounds;
    platform::SetFaultInjector(nullptr);
    *pnFlushes = counter.Flushes() / static_cast<unsigned>(nRounds);
    store.Close();
    velk::RemoveTree(dir.c_str(), nullptr, 0, 0);
    return t / nRounds;
}

double RunSqliteSmall(const std::string& file, int nRounds)
{
    std::remove(file.c_str());
    sqlite3* pDb = nullptr;
    sqlite3_open(file.c_str(), &pDb);
    sqlite3_exec(pDb, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    sqlite3_exec(pDb, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    sqlite3_exec(pDb, "CREATE TABLE t(k INTEGER PRIMARY KEY, v BLOB)", nullptr, nullptr, nullptr);
    sqlite3_stmt* pInsert = nullptr;
    sqlite3_prepare_v2(pDb, "INSERT INTO t(k, v) VALUES(?, 'changed')", -1, &pInsert, nullptr);
    const auto start = Clock::now();
    for (int i = 1; i <= nRounds; ++i) {
        sqlite3_exec(pDb, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_bind_int(pInsert, 1, i);
        sqlite3_step(pInsert);
        sqlite3_reset(pInsert);
        sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr);
    }
    const double t = Seconds(start);
    sqlite3_finalize(pInsert);
    sqlite3_close(pDb);
    std::remove(file.c_str());
    return t / nRounds;
}

struct Spreads {
    bench::CSpread insert, commit, both, find;
    void Add(const Times& t)
    {
        insert.Add(t.tInsert);
        commit.Add(t.tCommit);
        both.Add(t.tInsert + t.tCommit);
        find.Add(t.tFind);
    }
};

void Row(const char* szWhat, const bench::CSpread& ours, const bench::CSpread& off,
         const bench::CSpread& full)
{
    std::printf("  %-14s ours %7.3f s [%.3f - %.3f]   sqlite off %7.3f s [%.3f - %.3f] (x%.2f)   "
                "sqlite full %7.3f s [%.3f - %.3f] (x%.2f)\n",
                szWhat, ours.Median(), ours.Min(), ours.Max(), off.Median(), off.Min(), off.Max(),
                ours.Median() / off.Median(), full.Median(), full.Min(), full.Max(),
                ours.Median() / full.Median());
}

}  // namespace

// transaction_bench [N [rounds [runs]]]: at least 5 runs, each figure the median
// [min - max] of the runs after a discarded first one; N = 0 runs only the small
// transactions.
int main(int argc, char** argv)
{
    const std::string temp = platform::TempDirectory();
    const std::string native = "/tmp/attview-tx-bench.sqlite";
    const int nRuns = bench::RunsFrom(argc > 3 ? argv[3] : nullptr);
    std::printf("wall time, median [min - max] of %d runs after a discarded one; each run on a new "
                "store or database\n", nRuns);
    bench::PrintLoad("at start");
    const int nLarge = argc > 1 ? std::atoi(argv[1]) : 1000000;
    for (int n : {100000, nLarge}) {
        if (nLarge == 0)
            break;  // only the small transactions
        Spreads ours, off, full;
        bench::Repeat(nRuns, [&](bool bTimed) {
            const Times o = RunOurs(temp + "attview-tx-bench", n);
            const Times f = RunSqlite(native, n, false);
            const Times u = RunSqlite(native, n, true);
            if (bTimed) {
                ours.Add(o);
                off.Add(f);
                full.Add(u);
            }
        });
        std::printf("N = %d (ratio: our median / SQLite's)\n", n);
        Row("insert", ours.insert, off.insert, full.insert);
        Row("commit", ours.commit, off.commit, full.commit);
        Row("insert+commit", ours.both, off.both, full.both);
        Row("lookups", ours.find, off.find, full.find);
        std::fflush(stdout);
    }
    const int nRounds = argc > 2 ? std::atoi(argv[2]) : 200;
    unsigned nFlushes = 0;
    bench::CSpread ours, oursCpu, full;
    bench::Repeat(nRuns, [&](bool bTimed) {
        double tCpu = 0;
        const double tOurs =
            RunOursSmall(temp + "attview-tx-bench-small", nRounds, &nFlushes, &tCpu);
        const double tFull = RunSqliteSmall(native, nRounds);
        if (bTimed) {
            ours.Add(tOurs * 1000);
            oursCpu.Add(tCpu * 1000);
            full.Add(tFull * 1000);
        }
    });
    std::printf("small transactions (%d): ours %.3f ms each [%.3f - %.3f] (%u flushes)   sqlite full "
                "%.3f ms each [%.3f - %.3f] (x%.2f)\n",
                nRounds, ours.Median(), ours.Min(), ours.Max(), nFlushes, full.Median(), full.Min(),
                full.Max(), ours.Median() / full.Median());
    std::printf("  processor time, ours %.3f ms each [%.3f - %.3f]\n", oursCpu.Median(),
                oursCpu.Min(), oursCpu.Max());
    bench::PrintLoad("at end");
    return 0;
}
