// B+ tree throughput through the plain file-system context against SQLite doing the
// same work on a WITHOUT ROWID table in one transaction: N inserts of unique keys
// in random order, N point lookups, a full scan in key order and N erases. Two key
// shapes: 4-byte binary keys (d = L = 256) and NUL-terminated strings of 8 to 40
// bytes in StringAscending order (d = L = 64). One line per measurement, with our
// time divided by SQLite's. A third figure runs the tree over an in-memory context:
// the tree's own cost, without the system calls of the plain file objects. Each
// figure is the median and range of at least five runs after a discarded one.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/runs.h"
#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/memory_context_test.h"
#include "engine/txstore/fs_context.h"
#include "platform/file.h"

namespace {

// Processor seconds since start: on a shared machine the wall time of these
// runs mostly measures the wait for a processor.
double Seconds(double start)
{
    return bench::CpuSeconds() - start;
}

struct Times {
    double tInsert = 0, tFind = 0, tScan = 0, tErase = 0;
};

std::vector<std::string> MakeKeys(bool bStrings, int n, std::mt19937* pRandom)
{
    std::vector<std::string> v;
    v.reserve(n);
    if (!bStrings) {
        // Unique 4-byte keys: a permutation of 0..n-1, big-endian so that the byte
        // order is the numeric order.
        for (int i = 0; i < n; ++i) {
            std::uint32_t k = static_cast<std::uint32_t>(i) * 2654435761u;
            char ab[4] = {char(k >> 24), char(k >> 16), char(k >> 8), char(k)};
            v.emplace_back(ab, 4);
        }
    } else {
        for (int i = 0; i < n; ++i) {
            int cch = 8 + static_cast<int>((*pRandom)() % 33) - 1;  // 7..39 characters + NUL
            std::string str = std::to_string(i) + "_";
            while (static_cast<int>(str.size()) < cch)
                str += static_cast<char>('a' + (*pRandom)() % 26);
            str.resize(cch);
            str += '\0';
            v.push_back(str);
        }
    }
    std::shuffle(v.begin(), v.end(), *pRandom);
    return v;
}

void RemoveDir(const std::string& strDir)
{
    for (const char* sz : {"bptinfo", "index", "leaf"})
        platform::FileRemove((strDir + "\\" + sz).c_str());
    platform::DirRemove(strDir.c_str());
}

Times RunTree(velk::CFileSystem::IContext* pContext, const std::string& strDir, bool bStrings,
              const std::vector<std::string>& vKeys, const std::vector<std::string>& vLookups)
{
    std::uint32_t nOrder = bStrings ? 64 : 256;
    std::uint32_t cbKey = bStrings ? 41 : 4;
    const unsigned char* pGuid = bStrings ? velk::kGuidStringAscending : velk::kGuidBinaryAscending;
    velk::CBPTree::Create(pContext, strDir.c_str(), nOrder, nOrder, cbKey, 0, 0, pGuid);
    Times t;
    {
        velk::CBPTree tree;
        tree.Open(pContext, strDir.c_str(), 1, pGuid, nullptr);
        double start = bench::CpuSeconds();
        for (const std::string& k : vKeys)
            tree.Insert(k.data(), static_cast<std::uint32_t>(k.size()), nullptr, 0, nullptr);
        t.tInsert = Seconds(start);

        start = bench::CpuSeconds();
        std::size_t nFound = 0;
        for (const std::string& k : vLookups)
            nFound += tree.Find(k.data(), static_cast<std::uint32_t>(k.size()), nullptr, 0) != 0;
        t.tFind = Seconds(start);
        if (nFound != vLookups.size())
            std::printf("tree: lookups found %zu of %zu\n", nFound, vLookups.size());

        start = bench::CpuSeconds();
        velk::CBPTree::Cursor cursor;
        tree.First(&cursor);
        std::size_t nScanned = 1;
        char abKey[64];
        do {
            tree.GetKey(&cursor, abKey, sizeof(abKey));
        } while (tree.Next(&cursor, 1, 0) == velk::CBPTree::kOk && ++nScanned);
        t.tScan = Seconds(start);
        if (nScanned != vKeys.size())
            std::printf("tree: scan saw %zu of %zu\n", nScanned, vKeys.size());

        start = bench::CpuSeconds();
        for (const std::string& k : vLookups) {
            tree.Find(k.data(), static_cast<std::uint32_t>(k.size()), &cursor, 0);
            tree.Erase(&cursor);
        }
        tree.Close();
        t.tErase = Seconds(start);
    }
    return t;
}

void Exec(sqlite3* pDb, const char* sz)
{
    char* szError = nullptr;
    if (sqlite3_exec(pDb, sz, nullptr, nullptr, &szError) != SQLITE_OK) {
        std::printf("sqlite: %s: %s\n", sz, szError);
        sqlite3_free(szError);
    }
}

Times RunSqlite(const std::string& strFile, const std::vector<std::string>& vKeys,
                const std::vector<std::string>& vLookups)
{
    std::remove(strFile.c_str());
    sqlite3* pDb = nullptr;
    sqlite3_open(strFile.c_str(), &pDb);
    Exec(pDb, "CREATE TABLE t(k BLOB PRIMARY KEY) WITHOUT ROWID");
    Exec(pDb, "BEGIN");
    Times t;
    sqlite3_stmt* pInsert = nullptr;
    sqlite3_stmt* pFind = nullptr;
    sqlite3_stmt* pScan = nullptr;
    sqlite3_stmt* pErase = nullptr;
    sqlite3_prepare_v2(pDb, "INSERT INTO t(k) VALUES(?)", -1, &pInsert, nullptr);
    sqlite3_prepare_v2(pDb, "SELECT 1 FROM t WHERE k = ?", -1, &pFind, nullptr);
    sqlite3_prepare_v2(pDb, "SELECT k FROM t ORDER BY k", -1, &pScan, nullptr);
    sqlite3_prepare_v2(pDb, "DELETE FROM t WHERE k = ?", -1, &pErase, nullptr);

    double start = bench::CpuSeconds();
    for (const std::string& k : vKeys) {
        sqlite3_bind_blob(pInsert, 1, k.data(), static_cast<int>(k.size()), SQLITE_STATIC);
        sqlite3_step(pInsert);
        sqlite3_reset(pInsert);
    }
    t.tInsert = Seconds(start);

    start = bench::CpuSeconds();
    std::size_t nFound = 0;
    for (const std::string& k : vLookups) {
        sqlite3_bind_blob(pFind, 1, k.data(), static_cast<int>(k.size()), SQLITE_STATIC);
        nFound += sqlite3_step(pFind) == SQLITE_ROW;
        sqlite3_reset(pFind);
    }
    t.tFind = Seconds(start);
    if (nFound != vLookups.size())
        std::printf("sqlite: lookups found %zu of %zu\n", nFound, vLookups.size());

    start = bench::CpuSeconds();
    std::size_t nScanned = 0;
    char abKey[64];
    while (sqlite3_step(pScan) == SQLITE_ROW) {
        int cb = sqlite3_column_bytes(pScan, 0);
        std::memcpy(abKey, sqlite3_column_blob(pScan, 0), static_cast<std::size_t>(std::min(cb, 64)));
        ++nScanned;
    }
    sqlite3_reset(pScan);
    t.tScan = Seconds(start);

    start = bench::CpuSeconds();
    for (const std::string& k : vLookups) {
        sqlite3_bind_blob(pErase, 1, k.data(), static_cast<int>(k.size()), SQLITE_STATIC);
        sqlite3_step(pErase);
        sqlite3_reset(pErase);
    }
    Exec(pDb, "COMMIT");
    t.tErase = Seconds(start);
    for (sqlite3_stmt* p : {pInsert, pFind, pScan, pErase})
        sqlite3_finalize(p);
    sqlite3_close(pDb);
    std::remove(strFile.c_str());
    return t;
}

struct Spreads {
    bench::CSpread insert, find, scan, erase;
    void Add(const Times& t)
    {
        insert.Add(t.tInsert);
        find.Add(t.tFind);
        scan.Add(t.tScan);
        erase.Add(t.tErase);
    }
};

void Print(const char* szShape, int n, const char* szWhat, const bench::CSpread& tree,
           const bench::CSpread& sqlite, const bench::CSpread& memory)
{
    std::printf("%-8s N=%-8d %-7s tree %7.3f s [%.3f - %.3f]  sqlite %7.3f s [%.3f - %.3f]  ratio %5.2f"
                "   in memory %7.3f s [%.3f - %.3f]  ratio %5.2f\n",
                szShape, n, szWhat, tree.Median(), tree.Min(), tree.Max(), sqlite.Median(), sqlite.Min(),
                sqlite.Max(), tree.Median() / sqlite.Median(), memory.Median(), memory.Min(), memory.Max(),
                memory.Median() / sqlite.Median());
}

}  // namespace

int main(int argc, char** argv)
{
    // Optional arguments: one N, then one key shape ("u32" or "string"), then "tree"
    // or "sqlite" to run only that side (for profiling one of them), then the
    // number of timed runs (at least 5).
    std::vector<int> vSizes = {100000, 1000000};
    if (argc > 1)
        vSizes = {std::atoi(argv[1])};
    std::vector<bool> vShapes = {false, true};
    if (argc > 2)
        vShapes = {std::strcmp(argv[2], "string") == 0};
    const bool bTree = argc <= 3 || std::strcmp(argv[3], "tree") == 0;
    const bool bSqlite = argc <= 3 || std::strcmp(argv[3], "sqlite") == 0;
    const bool bMemory = argc <= 3;
    const int nRuns = bench::RunsFrom(argc > 4 ? argv[4] : nullptr);
    std::printf("processor time, median [min - max] of %d runs after a discarded one; each run on a new, "
                "empty tree or table (made and removed outside the timing)\n", nRuns);
    bench::PrintLoad("at start");
    std::string strBase = platform::TempDirectory() + "attview-bptree-bench";
    platform::DirCreate(strBase.c_str());
    std::string strPosixBase = "/tmp/attview-bptree-bench";
    try {
        for (bool bStrings : vShapes) {
            for (int n : vSizes) {
                std::mt19937 random(7);
                std::vector<std::string> vKeys = MakeKeys(bStrings, n, &random);
                std::vector<std::string> vLookups = vKeys;
                std::shuffle(vLookups.begin(), vLookups.end(), random);
                std::string strDir = strBase + "\\tree";
                RemoveDir(strDir);
                Spreads tree, lite, memory;
                // The contenders take turns in each repetition, so that a busy
                // spell of the machine falls on all of them alike.
                bench::Repeat(nRuns, [&](bool bTimed) {
                    if (bTree) {
                        velk::CFileSystem::IContext* pContext = velk::CreateFSContext(1);
                        const Times t = RunTree(pContext, strDir, bStrings, vKeys, vLookups);
                        velk::DestroyObject(pContext);
                        RemoveDir(strDir);
                        if (bTimed)
                            tree.Add(t);
                    }
                    if (bSqlite) {
                        const Times t = RunSqlite(strPosixBase + "/sqlite.db", vKeys, vLookups);
                        if (bTimed)
                            lite.Add(t);
                    }
                    if (bMemory) {
                        velk::testing::CMemoryContext context;
                        const Times t = RunTree(&context, "Z:\\mem\\tree", bStrings, vKeys, vLookups);
                        if (bTimed)
                            memory.Add(t);
                    }
                });
                const char* sz = bStrings ? "string" : "u32";
                Print(sz, n, "insert", tree.insert, lite.insert, memory.insert);
                Print(sz, n, "find", tree.find, lite.find, memory.find);
                Print(sz, n, "scan", tree.scan, lite.scan, memory.scan);
                Print(sz, n, "erase", tree.erase, lite.erase, memory.erase);
                std::fflush(stdout);
            }
        }
    } catch (const velk::CFault&) {
        std::printf("tree: engine fault\n");
        return 1;
    }
    platform::DirRemove(strBase.c_str());
    bench::PrintLoad("at end");
    return 0;
}
