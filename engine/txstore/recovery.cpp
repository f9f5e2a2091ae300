// The two ends of a write transaction, also run by recovery after a crash: the
// commit (RollForward) and the roll-back (RollBack). Both may be interrupted at
// any point and run again.
#include <list>
#include <set>
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

// A directory, not a link to one: nothing is moved into a link's target.
bool IsDirectory(const char* szPath)
{
    unsigned nAttributes = 0;
    return platform::FileGetAttributes(szPath, &nAttributes) == platform::kFileOk &&
           (nAttributes & platform::kFileAttrDirectory) != 0 &&
           (nAttributes & platform::kFileAttrReparsePoint) == 0;
}

// The subdirectories of szDir; none when it does not exist. A log whose
// "files" or "dugout" was never made (a crash inside Begin) counts as empty. The
// store makes every one of them itself: a link among them is damage.
std::vector<std::string> Subdirectories(const char* szDir)
{
    std::vector<platform::DirEntry> vEntries;
    const platform::FileResult r = platform::DirList(szDir, &vEntries);
    std::vector<std::string> vNames;
    if (r == platform::kFileNotFound)
        return vNames;
    if (r != platform::kFileOk)
        ThrowFault();
    for (const platform::DirEntry& entry : vEntries) {
        if (entry.nAttributes & platform::kFileAttrReparsePoint)
            ThrowFault();
        if (entry.nAttributes & platform::kFileAttrDirectory)
            vNames.push_back(entry.strName);
    }
    return vNames;
}

// The log and its two folders are made by the store; one that is a link is
// damage, and nothing is read, moved or discarded through it.
void RefuseLinkedLog(const CPath& directory)
{
    const CPath log = directory.Join(txdir::kLog);
    for (const CPath& path : {log, log.Join(txdir::kFiles), log.Join(txdir::kDugout)}) {
        unsigned nAttributes = 0;
        if (platform::FileGetAttributes(path.GetString(), &nAttributes) == platform::kFileOk &&
            (nAttributes & platform::kFileAttrReparsePoint) != 0)
            ThrowFault();
    }
}

// The directory that holds szPath's entry; empty for a path of one component.
CPath Parent(const char* szPath)
{
    CPath path;
    if (path.Set(szPath) != CPath::kOk || path.GetComponentCount() < 2)
        return CPath();
    return Prefix(path, path.GetComponentCount() - 1);
}

// The directory itself, or when it is gone (removed or moved later in the same
// transaction, or by the roll-back) the nearest directory above it that is still
// there: its entries now hold whatever the gone one's change left on the path.
CPath ExistingDirectory(CPath path)
{
    for (;;) {
        unsigned nAttributes = 0;
        if (path.GetComponentCount() <= 1 ||
            (platform::FileGetAttributes(path.GetString(), &nAttributes) == platform::kFileOk &&
             (nAttributes & platform::kFileAttrDirectory) != 0))
            return path;
        path = Prefix(path, path.GetComponentCount() - 1);
    }
}

// Makes the entries of each directory durable, once each; *pFlushed holds the
// directories flushed already in the same stage, and gets these.
void FlushDirectories(const std::set<std::string>& directories, std::set<std::string>* pFlushed)
{
    for (const std::string& directory : directories) {
        const CPath existing = ExistingDirectory(CPath(directory.c_str()));
        if (pFlushed->insert(existing.GetString()).second)
            FlushDirectory(existing);
    }
}

void FlushDirectories(const std::set<std::string>& directories)
{
    std::set<std::string> flushed;
    FlushDirectories(directories, &flushed);
}

// What the commit reads back of an unfinished log, once: the per-file logs
// (log directory, target) and the dugout entries that hold their object (entry,
// the path its record names). Nothing changes them between the check, the flush
// before the marker and the apply.
struct SLogRead {
    std::vector<std::pair<CPath, CPath>> vFileLogs;
    std::vector<std::pair<CPath, std::string>> vDugOut;
};

// The dugout is read only when it is needed: for the flush, or for the check of
// the per-file logs' targets.
SLogRead ReadLog(const CPath& directory, bool bSync)
{
    SLogRead read;
    const CPath log = directory.Join(txdir::kLog);
    if (platform::PathExists(log.Join(txdir::kFiles).GetString()))
        read.vFileLogs = FileLogs(directory.GetString());
    if (!bSync && read.vFileLogs.empty())
        return read;
    const CPath dugout = log.Join(txdir::kDugout);
    for (const std::string& name : Subdirectories(dugout.GetString())) {
        const CPath entry = dugout.Join(name.c_str());
        if (platform::PathExists(entry.Join(txdir::kDugObject).GetString()))
            read.vDugOut.emplace_back(entry, ReadPathFile(entry.Join(txdir::kPath).GetString()));
    }
    return read;
}

// Flush point 1: everything the apply step and the new state will read is on
// stable storage before the commit marker exists. Directory entries are made
// durable from the top down, so that nothing is found on the disk in a directory
// that is not, nor an object without the record that accounts for it: the log's
// own entries, those inside the per-file logs and dugout entries, then those of
// the objects made in place or dug out, then the dustbox's (logs dropped and
// objects thrown away during the transaction stay away). Each directory is
// flushed once; with pKnown, what the transaction made durable already and left
// unchanged is skipped: T and T\log when their entries are on the disk, the
// dugout (each dig-out flushes it), "files" when no per-file log was made or
// dropped, the dustbox when nothing moved into it, created files never written.
void SyncLog(const CPath& directory, const LogFlushState* pKnown, const SLogRead& read)
{
    const CPath log = directory.Join(txdir::kLog);
    const CPath files = log.Join(txdir::kFiles);
    const CPath dugout = log.Join(txdir::kDugout);
    std::vector<CPath> inner;
    const bool bFileLogs = !read.vFileLogs.empty();
    for (const auto& fileLogAndTarget : read.vFileLogs) {
        const CPath& fileLog = fileLogAndTarget.first;
        FlushFile(fileLog.Join(txdir::kSize).GetString());
        std::vector<platform::DirEntry> vBlocks;
        const CPath blocks = fileLog.Join(txdir::kBlocks);
        if (platform::DirList(blocks.GetString(), &vBlocks) != platform::kFileOk)
            ThrowFault();
        for (const platform::DirEntry& block : vBlocks)
            FlushFile(blocks.Join(block.strName.c_str()).GetString());
        inner.push_back(fileLog);
        inner.push_back(blocks);
    }
    std::set<std::string> parents;
    // Files made in the transaction were written in place.
    std::set<std::string> created;
    ForEachListRecord(log.Join(txdir::kCreationList).GetString(), [&](std::int64_t, const std::string& path) {
        created.insert(path);
        return true;
    });
    if (pKnown != nullptr && pKnown->pUnrecorded != nullptr)
        created.insert(pKnown->pUnrecorded->begin(), pKnown->pUnrecorded->end());
    for (const std::string& path : created) {
        unsigned nAttributes = 0;
        if (platform::FileGetAttributes(path.c_str(), &nAttributes) != platform::kFileOk)
            continue;
        if ((nAttributes & platform::kFileAttrDirectory) == 0 &&
            (pKnown == nullptr || pKnown->pWrittenCreated == nullptr ||
             pKnown->pWrittenCreated->count(path) != 0))
            FlushFile(path.c_str());
        parents.insert(Parent(path.c_str()).GetString());
    }
    for (const auto& dug : read.vDugOut) {
        inner.push_back(dug.first);
        parents.insert(Parent(dug.second.c_str()).GetString());
    }
    std::vector<CPath> own;
    if (pKnown == nullptr || !pKnown->bLogDurable) {
        own.push_back(directory);
        own.push_back(log);
    }
    if (pKnown == nullptr || bFileLogs || pKnown->bDustboxChanged)
        own.push_back(files);
    if (pKnown == nullptr)
        own.push_back(dugout);
    std::set<std::string> flushed;
    for (const CPath& path : own)
        if (platform::PathExists(path.GetString()) && flushed.insert(path.GetString()).second)
            FlushDirectory(path);
    for (const CPath& path : inner)
        if (flushed.insert(path.GetString()).second)
            FlushDirectory(path);
    parents.erase("");
    FlushDirectories(parents, &flushed);
    const CPath dustbox = directory.Join(txdir::kDustbox);
    if ((pKnown == nullptr || pKnown->bDustboxChanged) &&
        flushed.insert(dustbox.GetString()).second)
        FlushDirectory(dustbox);
}

// Before the commit marker: every per-file log can be applied. Its target is
// there, a plain file, and not reached through anything this transaction dug out
// (a directory link removed after a file was changed through it: the path now
// leads nowhere, or to something made since). A log that cannot be applied
// after the marker would stop the store from ever opening again; before it, the
// commit fails and the transaction rolls back.
void CheckFileLogTargets(const CPath& directory, const SLogRead& read)
{
    if (read.vFileLogs.empty())
        return;
    std::vector<CPath> vDugOut;
    for (const auto& dug : read.vDugOut)
        vDugOut.push_back(RecordedPath(directory, dug.second));
    for (const auto& fileLog : read.vFileLogs) {
        const CPath& target = fileLog.second;
        unsigned nAttributes = 0;
        if (platform::FileGetAttributes(target.GetString(), &nAttributes) != platform::kFileOk ||
            (nAttributes & (platform::kFileAttrDirectory | platform::kFileAttrReparsePoint)) != 0)
            ThrowFault();
        for (const CPath& gone : vDugOut)
            if (gone.IsAncestorOnDisk(target))
                ThrowFault();
    }
}

// Roll-back: every object made in the transaction goes to the dustbox. The
// parents of what moved are added to *pParents.
void DiscardCreated(const CPath& directory, std::set<std::string>* pParents)
{
    const CPath list = directory.Join(txdir::kLog).Join(txdir::kCreationList);
    if (!platform::PathExists(list.GetString()))
        return;
    ForEachListRecord(list.GetString(), [&](std::int64_t, const std::string& record) {
        const std::string path = RecordedPath(directory, record).GetString();
        if (platform::PathExists(path.c_str())) {
            MoveToDustboxOrThrow(directory, path.c_str());
            pParents->insert(Parent(path.c_str()).GetString());
        }
        return true;
    });
    // Once the created objects are gone the list must go too: a path that was
    // removed and made again in the transaction is about to come back from the
    // dugout, and a second roll-back must not discard the original.
    MoveToDustboxOrThrow(directory, list.GetString());
}

// Every place that roll-back would move something out of or back into lies in the
// store: checked for the whole log before anything moves.
void CheckRollBackRecords(const CPath& directory)
{
    const CPath log = directory.Join(txdir::kLog);
    ForEachListRecord(log.Join(txdir::kCreationList).GetString(),
                      [&](std::int64_t, const std::string& record) {
                          RecordedPath(directory, record);
                          return true;
                      });
    const CPath dugout = log.Join(txdir::kDugout);
    for (const std::string& name : Subdirectories(dugout.GetString())) {
        const CPath entry = dugout.Join(name.c_str());
        if (platform::PathExists(entry.Join(txdir::kDugObject).GetString()))
            RecordedPath(directory, ReadPathFile(entry.Join(txdir::kPath).GetString()));
    }
}

void Move(const std::string& from, const CPath& to)
{
    if (platform::FileMove(from.c_str(), to.GetString()) != platform::kFileOk)
        ThrowFault();
}

// Roll-back: every removed object goes back where it was, with the directories
// above it made again when missing. The parents of what was made or moved back are
// added to *pParents.
void RestoreDugout(const CPath& directory, std::set<std::string>* pParents)
{
    const CPath dugout = directory.Join(txdir::kLog).Join(txdir::kDugout);
    std::list<std::pair<CPath, std::string>> deferred;  // (target, hoge)
    for (const std::string& name : Subdirectories(dugout.GetString())) {
        const CPath entry = dugout.Join(name.c_str());
        const CPath hoge = entry.Join(txdir::kDugObject);
        if (!platform::PathExists(hoge.GetString()))
            continue;  // the object was never moved here
        const CPath targetPath =
            RecordedPath(directory, ReadPathFile(entry.Join(txdir::kPath).GetString()));
        const CPath parent = Prefix(targetPath, targetPath.GetComponentCount() - 1);
        if (!parent.IsEmpty() && !platform::PathExists(parent.GetString())) {
            deferred.emplace_back(targetPath, hoge.GetString());
            continue;
        }
        Move(hoge.GetString(), targetPath);
        pParents->insert(parent.GetString());
        if (!IsDirectory(targetPath.GetString()))
            continue;
        for (auto it = deferred.begin(); it != deferred.end();) {
            if (targetPath.IsAncestorOf(it->first) &&
                platform::FileMove(it->second.c_str(), it->first.GetString()) == platform::kFileOk) {
                pParents->insert(Parent(it->first.GetString()).GetString());
                it = deferred.erase(it);
            } else
                ++it;
        }
    }
    for (const auto& entry : deferred) {
        const CPath& target = entry.first;
        for (size_t i = 1; i < target.GetComponentCount(); ++i) {
            const CPath prefix = Prefix(target, i);
            if (platform::PathExists(prefix.GetString()))
                continue;
            if (platform::DirCreate(prefix.GetString()) != platform::kFileOk)
                ThrowFault();
            pParents->insert(Prefix(target, i - 1).GetString());
        }
        Move(entry.second, target);
        pParents->insert(Prefix(target, target.GetComponentCount() - 1).GetString());
    }
}

// Moves the finished log into the dustbox and makes its removal durable before
// the watcher of this process deletes what it holds: a log that a power cut
// brought back without its records could be neither applied nor rolled back.
// Finished is finished: a failed flush only means the log may be run again, which
// is harmless.
void DropLog(const CPath& directory)
{
    MoveToDustbox(directory, directory.Join(txdir::kLog).GetString(), directory.GetString());
}

}  // namespace

void RollForward(const char* szDirectory, bool bSync, const LogFlushState* pKnown)
{
    const CPath directory(szDirectory);
    const CPath log = directory.Join(txdir::kLog);
    const CPath commit = log.Join(txdir::kCommit);
    RefuseLinkedLog(directory);
    if (!platform::PathExists(commit.GetString())) {
        const SLogRead read = ReadLog(directory, bSync);
        CheckFileLogTargets(directory, read);
        if (bSync)
            SyncLog(directory, pKnown, read);
        platform::CFileHandle marker;
        if (platform::FileOpen(commit.GetString(), 0, 0, platform::kFileCreateNew, &marker) !=
            platform::kFileOk)
            ThrowFault();
        marker.Close();
        if (bSync && platform::DirFlush(log.GetString()) != platform::kFileOk)
            ThrowFault();
        platform::CrashPoint("commit-marker");
        // Committed: the per-file logs just read are applied as they were read.
        ApplyFileLogs(read.vFileLogs);
    } else if (platform::PathExists(log.Join(txdir::kFiles).GetString())) {
        // The marker exists: from here on the transaction is committed.
        ApplyFileLogs(szDirectory);
    }
    platform::CrashPoint("applied");
    DropLog(directory);
}

void RollBack(const char* szDirectory)
{
    const CPath directory(szDirectory);
    RefuseLinkedLog(directory);
    CheckRollBackRecords(directory);
    std::set<std::string> parents;
    DiscardCreated(directory, &parents);
    platform::CrashPoint("discarded");
    // The creation list must stay away once anything comes back from the dugout:
    // read again, it could name a restored object.
    parents.erase("");
    FlushDirectories(parents);
    FlushDirectory(directory.Join(txdir::kDustbox));
    parents.clear();
    RestoreDugout(directory, &parents);
    platform::CrashPoint("restored");
    // The old state is on the disk before the log that could bring it back goes.
    parents.erase("");
    FlushDirectories(parents);
    DropLog(directory);
}

}  // namespace velk
