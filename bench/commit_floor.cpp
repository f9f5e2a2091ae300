// The floor of the log format for the small transaction of transaction_bench (one
// existing file changed through its log, a file and a directory made, an older file
// removed into the dugout, the commit): only the file work that the log's layout and
// its recovery rules make unavoidable, through the same platform layer, each file
// and directory flushed once, in the order recovery needs:
//
//   1. the log's directories (log, files, dugout) made;
//   2. the creation list: both records appended and flushed once, the log's
//      directory and the store's directory flushed (the list's entry, and the
//      log's own entry beside the store's other files, must be durable before an
//      object it names exists, or roll-back after a power cut would not find the
//      record), then both objects made;
//   3. the dugout entry: its directory and path record made and flushed, then the
//      old file moved into it;
//   4. the per-file log: directory, path record, blocks directory, the one block
//      file and the size record written;
//   5. before the marker: every file and directory of the log flushed once, and
//      the data directory, whose entries the creations and the dig-out changed
//      (a commit must not lose what it made or keep what it removed);
//   6. the marker made and its directory flushed (the commit point);
//   7. the apply: the block written into the target, the target flushed;
//   8. the log moved to the dustbox, the store's directory flushed, the log
//      removed.
//
// Then the floor of link_bench's link of one id into each of many file lists in one
// transaction: per list its two changed files (the tree's header and its leaf),
// each through a per-file log as in step 4, with the same rules:
//
//   1. the log's directories made;
//   2. per changed file its log: directory, path record, blocks directory, the
//      one block file and the size record, each file flushed once as written;
//   3. before the marker: every directory of the log flushed once, and the store's
//      directory (the log's entry must be durable before anything is applied);
//   4. the marker made and its directory flushed;
//   5. the apply: each target written and flushed;
//   6. the log moved to the dustbox, the store's directory flushed, the log
//      removed.
//
// It prints the time and the flushes per transaction (for the link, the time per
// id); run transaction_bench and link_bench in the same session for the engine's
// figures beside it.
//
//   commit_floor [rounds [lists]]      default: 200 small transactions, 1000 lists
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/runs.h"
#include "engine/txstore/remove_tree.h"
#include "platform/fault_injection.h"
#include "platform/file.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::uint32_t kBlock = 65536;

bool WriteNew(const std::string& path, const void* p, std::uint32_t cb, bool bFlush)
{
    platform::CFileHandle h;
    if (platform::FileOpen(path.c_str(), platform::kFileAccessWrite, 0, platform::kFileCreateNew,
                           &h) != platform::kFileOk)
        return false;
    std::uint32_t cbDone = 0;
    if (cb != 0 && (h.Write(p, cb, &cbDone) != platform::kFileOk || cbDone != cb))
        return false;
    return !bFlush || h.Flush() == platform::kFileOk;
}

std::string PathRecord(const std::string& path)
{
    const std::uint32_t cb = static_cast<std::uint32_t>(path.size() + 1);
    std::string record(4, '\0');
    for (int i = 0; i < 4; ++i)
        record[i] = static_cast<char>(cb >> (8 * i));
    record += path;
    record += '\0';
    return record;
}

// A per-file log of target: directory, path record, blocks directory, the one
// block file and the size record, each file flushed once as written.
bool WriteFileLog(const std::string& fileLog, const std::string& target, std::uint64_t nSize,
                  const std::vector<char>& block)
{
    const std::string pathRecord = PathRecord(target);
    return platform::DirCreate(fileLog.c_str()) == platform::kFileOk &&
           WriteNew(fileLog + "\\path", pathRecord.data(),
                    static_cast<std::uint32_t>(pathRecord.size()), true) &&
           platform::DirCreate((fileLog + "\\blocks").c_str()) == platform::kFileOk &&
           WriteNew(fileLog + "\\blocks\\0", block.data(), kBlock, true) &&
           WriteNew(fileLog + "\\size", &nSize, 8, true);
}

// The apply of one change: cb bytes written into the target, the target flushed.
bool Apply(const std::string& target, const std::vector<char>& block, std::uint32_t cb)
{
    platform::CFileHandle h;
    std::uint32_t cbDone = 0;
    return platform::FileOpen(target.c_str(), platform::kFileAccessWrite, 0,
                              platform::kFileOpenExisting, &h) == platform::kFileOk &&
           h.Write(block.data(), cb, &cbDone) == platform::kFileOk && cbDone == cb &&
           h.Flush() == platform::kFileOk;
}

// The finished log moved to the dustbox as name, the store's directory flushed,
// the log removed.
bool DropLog(const std::string& t, const std::string& name)
{
    const std::string thrown = t + "\\dustbox\\" + name;
    return platform::FileMove((t + "\\log").c_str(), thrown.c_str()) == platform::kFileOk &&
           platform::DirFlush(t.c_str()) == platform::kFileOk &&
           velk::RemoveTree(thrown.c_str(), nullptr, 0, 0) == velk::kTreeRemoved;
}

// One transaction's unavoidable work; false when a step failed.
bool Round(const std::string& t, const std::string& data, int i, const std::vector<char>& block)
{
    const std::string log = t + "\\log";
    const std::string created = data + "\\f" + std::to_string(i);
    const std::string old = data + "\\f" + std::to_string(i - 1);
    // 1.
    if (platform::DirCreate(log.c_str()) != platform::kFileOk ||
        platform::DirCreate((log + "\\files").c_str()) != platform::kFileOk ||
        platform::DirCreate((log + "\\dugout").c_str()) != platform::kFileOk)
        return false;
    // 2.
    const std::string clist = PathRecord(created) + PathRecord(created + ".d");
    if (!WriteNew(log + "\\clist", clist.data(), static_cast<std::uint32_t>(clist.size()), true) ||
        platform::DirFlush(log.c_str()) != platform::kFileOk ||
        platform::DirFlush(t.c_str()) != platform::kFileOk ||
        !WriteNew(created, nullptr, 0, false) ||
        platform::DirCreate((created + ".d").c_str()) != platform::kFileOk)
        return false;
    // 3.
    const std::string dug = log + "\\dugout\\1";
    const std::string dugRecord = PathRecord(old);
    if (platform::DirCreate(dug.c_str()) != platform::kFileOk ||
        !WriteNew(dug + "\\path", dugRecord.data(), static_cast<std::uint32_t>(dugRecord.size()),
                  true) ||
        platform::DirFlush(dug.c_str()) != platform::kFileOk ||
        platform::DirFlush((log + "\\dugout").c_str()) != platform::kFileOk ||
        platform::FileMove(old.c_str(), (dug + "\\hoge").c_str()) != platform::kFileOk)
        return false;
    // 4. (the log's name stands for the SHA-256 digest of the target's path)
    const std::string target = data + "\\index";
    const std::string fileLog = log + "\\files\\0123456789ABCDEF";
    if (!WriteFileLog(fileLog, target, 200000, block))
        return false;
    // 5.
    for (const std::string& dir : {fileLog + "\\blocks", fileLog, log + "\\files", log, data})
        if (platform::DirFlush(dir.c_str()) != platform::kFileOk)
            return false;
    // 6.
    if (!WriteNew(log + "\\commit", nullptr, 0, false) ||
        platform::DirFlush(log.c_str()) != platform::kFileOk)
        return false;
    // 7. and 8.
    return Apply(target, block, kBlock) && DropLog(t, std::to_string(i));
}

// The sizes of a file list's two files that one link into an empty list changes.
const std::uint32_t kListHeader = 20;
const std::uint32_t kListLeaf = 3120;

// The file lists of the link: data\lists\<i>\{header, leaf}.
bool MakeLists(const std::string& data, int nLists, const std::vector<char>& block)
{
    const std::string lists = data + "\\lists";
    if (platform::DirCreate(lists.c_str()) != platform::kFileOk)
        return false;
    for (int i = 0; i < nLists; ++i) {
        const std::string list = lists + "\\" + std::to_string(i);
        if (platform::DirCreate(list.c_str()) != platform::kFileOk ||
            !WriteNew(list + "\\header", block.data(), kListHeader, false) ||
            !WriteNew(list + "\\leaf", block.data(), kListLeaf, false))
            return false;
    }
    return true;
}

// One link transaction's unavoidable work over nLists lists; false when a step
// failed.
bool LinkRound(const std::string& t, const std::string& data, int nLists, int i,
               const std::vector<char>& block)
{
    const std::string log = t + "\\log";
    const std::string files = log + "\\files";
    // 1.
    if (platform::DirCreate(log.c_str()) != platform::kFileOk ||
        platform::DirCreate(files.c_str()) != platform::kFileOk ||
        platform::DirCreate((log + "\\dugout").c_str()) != platform::kFileOk)
        return false;
    // 2. (each log's name stands for the digest of its target's path)
    struct SChange {
        std::string target, fileLog;
        std::uint64_t nSize;
    };
    std::vector<SChange> vChanges;
    for (int n = 0; n < nLists; ++n) {
        const std::string list = data + "\\lists\\" + std::to_string(n);
        vChanges.push_back({list + "\\header", files + "\\H" + std::to_string(n), kListHeader});
        vChanges.push_back({list + "\\leaf", files + "\\L" + std::to_string(n), kListLeaf});
    }
    for (const SChange& change : vChanges)
        if (!WriteFileLog(change.fileLog, change.target, change.nSize, block))
            return false;
    // 3.
    for (const SChange& change : vChanges)
        if (platform::DirFlush((change.fileLog + "\\blocks").c_str()) != platform::kFileOk ||
            platform::DirFlush(change.fileLog.c_str()) != platform::kFileOk)
            return false;
    for (const std::string& dir : {files, log, t})
        if (platform::DirFlush(dir.c_str()) != platform::kFileOk)
            return false;
    // 4.
    if (!WriteNew(log + "\\commit", nullptr, 0, false) ||
        platform::DirFlush(log.c_str()) != platform::kFileOk)
        return false;
    // 5.
    for (const SChange& change : vChanges)
        if (!Apply(change.target, block, static_cast<std::uint32_t>(change.nSize)))
            return false;
    // 6.
    return DropLog(t, "link" + std::to_string(i));
}

}  // namespace

int main(int argc, char** argv)
{
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int nLists = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
    const std::string t = platform::TempDirectory() + "attview-commit-floor";
    const std::string data = t + "\\data";
    velk::RemoveTree(t.c_str(), nullptr, 0, 0);
    platform::DirCreate(t.c_str());
    platform::DirCreate((t + "\\dustbox").c_str());
    platform::DirCreate(data.c_str());
    const std::vector<char> block(kBlock, 'x');
    WriteNew(data + "\\index", block.data(), kBlock, true);
    WriteNew(data + "\\f0", nullptr, 0, true);

    bench::PrintLoad("at start");
    bench::CSpread ms, msCpu;
    unsigned nFlushes = 0;
    int nNext = 1;
    bool bFailed = false;
    bench::Repeat(bench::kMinRuns, [&](bool bTimed) {
        platform::CFaultInjector counter;  // counts, arms nothing
        platform::SetFaultInjector(&counter);
        const auto start = Clock::now();
        const double cpu = bench::CpuSeconds();
        for (int i = 0; i < nRounds && !bFailed; ++i, ++nNext)
            bFailed = !Round(t, data, nNext, block);
        const double msEach =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count() / nRounds;
        const double msCpuEach = (bench::CpuSeconds() - cpu) * 1e3 / nRounds;
        platform::SetFaultInjector(nullptr);
        if (bTimed) {
            ms.Add(msEach);
            msCpu.Add(msCpuEach);
        }
        nFlushes = counter.Flushes() / static_cast<unsigned>(nRounds);
    });
    if (bFailed) {
        std::fprintf(stderr, "commit_floor: a step failed in transaction %d\n", nNext);
        return 1;
    }
    std::printf("commit floor, small transaction (1 logged change, 2 creations, 1 dig-out):\n"
                "  %.3f ms [%.3f - %.3f] over %d runs of %d, %u flushes each\n"
                "  processor time %.3f ms [%.3f - %.3f]\n",
                ms.Median(), ms.Min(), ms.Max(), bench::kMinRuns, nRounds, nFlushes,
                msCpu.Median(), msCpu.Min(), msCpu.Max());
    std::fflush(stdout);

    if (!MakeLists(data, nLists, block)) {
        std::fprintf(stderr, "commit_floor: could not make the file lists\n");
        return 1;
    }
    bench::CSpread usPerId, usCpuPerId;
    int nLink = 0;
    bench::Repeat(bench::kMinRuns, [&](bool bTimed) {
        platform::CFaultInjector counter;
        platform::SetFaultInjector(&counter);
        const auto start = Clock::now();
        const double cpu = bench::CpuSeconds();
        bFailed = bFailed || !LinkRound(t, data, nLists, ++nLink, block);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        const double usCpu = (bench::CpuSeconds() - cpu) * 1e6;
        platform::SetFaultInjector(nullptr);
        if (bTimed) {
            usPerId.Add(us / nLists);
            usCpuPerId.Add(usCpu / nLists);
        }
        nFlushes = counter.Flushes();
    });
    if (bFailed) {
        std::fprintf(stderr, "commit_floor: a step failed in link transaction %d\n", nLink);
        return 1;
    }
    std::printf("commit floor, one id linked into each of %d file lists in one transaction:\n"
                "  %.1f us/id [%.1f - %.1f] over %d runs, %u flushes each\n"
                "  processor time %.1f us/id [%.1f - %.1f]\n",
                nLists, usPerId.Median(), usPerId.Min(), usPerId.Max(), bench::kMinRuns, nFlushes,
                usCpuPerId.Median(), usCpuPerId.Min(), usCpuPerId.Max());
    bench::PrintLoad("at end");
    velk::RemoveTree(t.c_str(), nullptr, 0, 0);
    return 0;
}
