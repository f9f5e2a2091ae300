// Random 4 KiB writes and reads through a logged file against the same work on a
// plain file with positioned writes and reads, and the apply step against a plain
// copy of the changed blocks.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/path/path.h"
#include "engine/txstore/apply_log.h"
#include "engine/txstore/log_records.h"
#include "engine/txstore/logged_file.h"
#include "engine/txstore/store_names.h"
#include "platform/file.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void MakeFile(const std::string& path, std::uint64_t cb)
{
    platform::CFileHandle file;
    platform::FileOpen(path.c_str(), platform::kFileAccessWrite, 0, platform::kFileCreateAlways, &file);
    std::vector<char> chunk(1 << 20, 'x');
    std::uint32_t cbDone = 0;
    for (std::uint64_t n = 0; n < cb; n += chunk.size())
        file.Write(chunk.data(), static_cast<std::uint32_t>(chunk.size()), &cbDone);
}

}  // namespace

int main()
{
    const std::string dir = platform::TempDirectory() + "attview-logged-bench";
    const std::string target = dir + "\\target.dat";
    const std::string plain = dir + "\\plain.dat";
    const velk::CPath log = velk::CPath(dir.c_str()).Join(velk::txdir::kLog);
    platform::DirCreate(dir.c_str());
    const std::uint64_t kFile = 64ull << 20;  // 64 MiB
    const int kOps = 20000;
    MakeFile(target, kFile);
    MakeFile(plain, kFile);
    platform::DirCreate(log.GetString());
    platform::DirCreate(log.Join(velk::txdir::kBlocks).GetString());
    velk::WritePathFile(log.Join(velk::txdir::kPath).GetString(), target);

    std::mt19937 random(1);
    std::vector<std::uint64_t> positions(kOps);
    for (auto& p : positions)
        p = (random() % (kFile / 4096)) * 4096;
    std::vector<char> buffer(4096, 'y');

    double tLoggedWrite, tLoggedRead, tPlainWrite, tPlainRead, tApply;
    {
        velk::CLoggedFile file(target.c_str(), 1, log);
        auto start = Clock::now();
        for (std::uint64_t p : positions) {
            file.Seek(static_cast<std::int64_t>(p), 0);
            file.Write(buffer.data(), 4096);
        }
        tLoggedWrite = Seconds(start);
        start = Clock::now();
        for (int i = kOps - 1; i >= 0; --i) {
            file.Seek(static_cast<std::int64_t>(positions[i] ^ 8192), 0);  // logged and not
            file.Read(buffer.data(), 4096);
        }
        tLoggedRead = Seconds(start);
        file.Finish();
    }
    {
        auto start = Clock::now();
        velk::ApplyFileLog(log.GetString(), target.c_str());
        tApply = Seconds(start);
    }
    {
        platform::CFileHandle file;
        platform::FileOpen(plain.c_str(), platform::kFileAccessRead | platform::kFileAccessWrite, 0,
                           platform::kFileOpenExisting, &file);
        std::uint32_t cb = 0;
        auto start = Clock::now();
        for (std::uint64_t p : positions) {
            file.Seek(static_cast<std::int64_t>(p), platform::kFileBegin, nullptr);
            file.Write(buffer.data(), 4096, &cb);
        }
        tPlainWrite = Seconds(start);
        start = Clock::now();
        for (int i = kOps - 1; i >= 0; --i) {
            file.Seek(static_cast<std::int64_t>(positions[i] ^ 8192), platform::kFileBegin, nullptr);
            file.Read(buffer.data(), 4096, &cb);
        }
        tPlainRead = Seconds(start);
    }
    std::printf("%d random 4 KiB operations on a 64 MiB file\n", kOps);
    std::printf("write  logged %8.1f us/op   plain pwrite %6.1f us/op   ratio %.2f\n",
                tLoggedWrite * 1e6 / kOps, tPlainWrite * 1e6 / kOps, tLoggedWrite / tPlainWrite);
    std::printf("read   logged %8.1f us/op   plain pread  %6.1f us/op   ratio %.2f\n",
                tLoggedRead * 1e6 / kOps, tPlainRead * 1e6 / kOps, tLoggedRead / tPlainRead);
    std::printf("apply  %.3f s (including flushing the target)\n", tApply);

    platform::FileRemove(target.c_str());
    platform::FileRemove(plain.c_str());
    std::vector<platform::DirEntry> blocks;
    platform::DirList(log.Join(velk::txdir::kBlocks).GetString(), &blocks);
    for (const auto& b : blocks)
        platform::FileRemove(log.Join(velk::txdir::kBlocks).Join(b.strName.c_str()).GetString());
    platform::DirRemove(log.Join(velk::txdir::kBlocks).GetString());
    platform::FileRemove(log.Join(velk::txdir::kPath).GetString());
    platform::FileRemove(log.Join(velk::txdir::kSize).GetString());
    platform::DirRemove(log.GetString());
    platform::DirRemove(dir.c_str());
    return 0;
}
