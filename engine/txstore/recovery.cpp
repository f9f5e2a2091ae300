// The two ends of a write transaction, also run by recovery after a crash: the
// commit (RollForward) and the roll-back (RollBack). Both may be interrupted at
// any point and run again.
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/fault.h"
#include "engine/path/path.h"
#include "engine/txstore/apply_log.h"
#include "engine/txstore/log_records.h"
#include "engine/txstore/store_names.h"
#include "engine/txstore/store_paths.h"
#include "engine/txstore/transaction.h"
#include "platform/fault_injection.h"
#include "platform/file.h"

namespace velk {
namespace {

bool IsDirectory(const char* szPath)
{
    unsigned nAttributes = 0;
    return platform::FileGetAttributes(szPath, &nAttributes) == platform::kFileOk &&
           (nAttributes & platform::kFileAttrDirectory) != 0;
}

// The subdirectories of szDir; none when it does not exist. A log whose
// "files" or "dugout" was never made (a crash inside Begin) counts as empty.
std::vector<std::string> Subdirectories(const char* szDir)
{
    std::vector<platform::DirEntry> vEntries;
    const platform::FileResult r = platform::DirList(szDir, &vEntries);
    std::vector<std::string> vNames;
    if (r == platform::kFileNotFound)
        return vNames;
    if (r != platform::kFileOk)
        ThrowFault();
    for (const platform::DirEntry& entry : vEntries)
        if (entry.nAttributes & platform::kFileAttrDirectory)
            vNames.push_back(entry.strName);
    return vNames;
}

// Flush point 1: everything the apply step and the new state will read is on
// stable storage before the commit marker exists.
void SyncLog(const CPath& directory)
{
    const CPath log = directory.Join(txdir::kLog);
    const CPath files = log.Join(txdir::kFiles);
    for (const std::string& name : Subdirectories(files.GetString())) {
        const CPath fileLog = files.Join(name.c_str());
        FlushFile(fileLog.Join(txdir::kSize).GetString());
        std::vector<platform::DirEntry> vBlocks;
        const CPath blocks = fileLog.Join(txdir::kBlocks);
        if (platform::DirList(blocks.GetString(), &vBlocks) != platform::kFileOk)
            ThrowFault();
        for (const platform::DirEntry& block : vBlocks)
            FlushFile(blocks.Join(block.strName.c_str()).GetString());
    }
    // Files made in the transaction were written in place.
    ForEachListRecord(log.Join(txdir::kCreationList).GetString(), [](std::int64_t, const std::string& path) {
        unsigned nAttributes = 0;
        if (platform::FileGetAttributes(path.c_str(), &nAttributes) == platform::kFileOk &&
            (nAttributes & platform::kFileAttrDirectory) == 0)
            FlushFile(path.c_str());
        return true;
    });
}

void DiscardCreated(const CPath& directory)
{
    const CPath list = directory.Join(txdir::kLog).Join(txdir::kCreationList);
    if (!platform::PathExists(list.GetString()))
        return;
    ForEachListRecord(list.GetString(), [&](std::int64_t, const std::string& path) {
        if (platform::PathExists(path.c_str()))
            MoveToDustboxOrThrow(directory, path.c_str());
        return true;
    });
    // Once the created objects are gone the list must go too: a path that was
    // removed and made again in the transaction is about to come back from the
    // dugout, and a second roll-back must not discard the original.
    MoveToDustboxOrThrow(directory, list.GetString());
}

// The path made of the first n components of path.
CPath Prefix(const CPath& path, size_t n)
{
    CPath prefix;
    for (size_t i = 0; i < n; ++i)
        prefix = prefix.Join(path.GetComponent(i).c_str());
    return prefix;
}

void Move(const std::string& from, const CPath& to)
{
    if (platform::FileMove(from.c_str(), to.GetString()) != platform::kFileOk)
        ThrowFault();
}

void RestoreDugout(const CPath& directory)
{
    const CPath dugout = directory.Join(txdir::kLog).Join(txdir::kDugout);
    std::list<std::pair<CPath, std::string>> deferred;  // (target, hoge)
    for (const std::string& name : Subdirectories(dugout.GetString())) {
        const CPath entry = dugout.Join(name.c_str());
        const CPath hoge = entry.Join(txdir::kDugObject);
        if (!platform::PathExists(hoge.GetString()))
            continue;  // the object was never moved here
        const std::string target = ReadPathFile(entry.Join(txdir::kPath).GetString());
        CPath targetPath;
        if (targetPath.Set(target.c_str()) != CPath::kOk || targetPath.IsEmpty())
            ThrowFault();
        const CPath parent = Prefix(targetPath, targetPath.GetComponentCount() - 1);
        if (!parent.IsEmpty() && !platform::PathExists(parent.GetString())) {
            deferred.emplace_back(targetPath, hoge.GetString());
            continue;
        }
        Move(hoge.GetString(), targetPath);
        if (!IsDirectory(targetPath.GetString()))
            continue;
        for (auto it = deferred.begin(); it != deferred.end();) {
            if (targetPath.IsAncestorOf(it->first) &&
                platform::FileMove(it->second.c_str(), it->first.GetString()) == platform::kFileOk)
                it = deferred.erase(it);
            else
                ++it;
        }
    }
    for (const auto& entry : deferred) {
        const CPath& target = entry.first;
        for (size_t i = 1; i < target.GetComponentCount(); ++i) {
            const CPath prefix = Prefix(target, i);
            if (!platform::PathExists(prefix.GetString()) &&
                platform::DirCreate(prefix.GetString()) != platform::kFileOk)
                ThrowFault();
        }
        Move(entry.second, target);
    }
}

}  // namespace

void RollForward(const char* szDirectory, bool bSync)
{
    const CPath directory(szDirectory);
    const CPath log = directory.Join(txdir::kLog);
    const CPath commit = log.Join(txdir::kCommit);
    if (!platform::PathExists(commit.GetString())) {
        if (bSync)
            SyncLog(directory);
        platform::CFileHandle marker;
        if (platform::FileOpen(commit.GetString(), 0, 0, platform::kFileCreateNew, &marker) !=
            platform::kFileOk)
            ThrowFault();
        marker.Close();
        if (bSync && platform::DirFlush(log.GetString()) != platform::kFileOk)
            ThrowFault();
        platform::CrashPoint("commit-marker");
    }
    // The marker exists: from here on the transaction is committed.
    if (platform::PathExists(log.Join(txdir::kFiles).GetString()))
        ApplyFileLogs(szDirectory);
    platform::CrashPoint("applied");
    MoveToDustbox(directory, log.GetString());
}

void RollBack(const char* szDirectory)
{
    const CPath directory(szDirectory);
    DiscardCreated(directory);
    platform::CrashPoint("discarded");
    RestoreDugout(directory);
    platform::CrashPoint("restored");
    MoveToDustbox(directory, directory.Join(txdir::kLog).GetString());
}

}  // namespace velk
