#include "engine/txstore/t_context.h"

#include <vector>

#include "engine/base/fault.h"
#include "engine/base/result.h"
#include "engine/txstore/log_records.h"
#include "engine/txstore/logged_file.h"
#include "engine/txstore/regular_file.h"
#include "engine/txstore/remove_tree.h"
#include "engine/txstore/store_names.h"
#include "engine/txstore/store_paths.h"
#include "engine/txstore/unique_name.h"
#include "platform/file.h"

namespace velk {
namespace {

void MakeDirectory(const CPath& path)
{
    if (platform::DirCreate(path.GetString()) != platform::kFileOk)
        ThrowFault();
}

unsigned Attributes(const char* szPath)
{
    unsigned nAttributes = 0;
    return platform::FileGetAttributes(szPath, &nAttributes) == platform::kFileOk ? nAttributes
                                                                                 : 0u;
}

// Makes a file's log directory with its path record, its "blocks" directory and
// its size record; nothing is left behind when that fails.
void MakeFileLog(const CPath& logDir, const char* szPath, std::uint64_t nSize)
{
    MakeDirectory(logDir);
    try {
        WritePathFile(logDir.Join(txdir::kPath).GetString(), szPath);
        MakeDirectory(logDir.Join(txdir::kBlocks));
        WriteSizeRecord(logDir.Join(txdir::kSize).GetString(), nSize);
    } catch (...) {
        // A log directory without its size record would make the apply step
        // throw and block every later commit.
        RemoveTree(logDir.GetString(), nullptr, 0, 0);
        throw;
    }
}

}  // namespace

CTContext::CTContext(const CPath& directory, int nWrite, PFNDESTROYOBJECT pfnDeleter)
    : m_pathDirectory(directory), m_bWrite(nWrite), m_pfnDeleter(pfnDeleter)
{
    if (!m_bWrite)
        return;
    const CPath log = m_pathDirectory.Join(txdir::kLog);
    MakeDirectory(log);
    MakeDirectory(log.Join(txdir::kFiles));
    MakeDirectory(log.Join(txdir::kDugout));
}

CTContext::~CTContext()
{
    CloseKeptFiles();
}

void CTContext::CloseKept(CLoggedFile* pFile)
{
    try {
        pFile->Finish();
    } catch (...) {
        m_bIncompleteLog = true;
    }
    m_pfnDeleter(pFile);
}

void CTContext::CloseKeptFiles()
{
    while (!m_lKept.empty()) {
        CLoggedFile* pFile = m_lKept.back();
        m_lKept.pop_back();
        CloseKept(pFile);
    }
}

void CTContext::RequireWrite() const
{
    if (!m_bWrite)
        ThrowFault();
}

CPath CTContext::ListPath() const
{
    return m_pathDirectory.Join(txdir::kLog).Join(txdir::kCreationList);
}

void CTContext::LoadList()
{
    if (m_bListLoaded)
        return;
    m_setListed.clear();
    ForEachListRecord(ListPath().GetString(), [&](std::int64_t, const std::string& path) {
        m_setListed.insert(path);
        return true;
    });
    m_bListLoaded = true;
}

bool CTContext::IsListed(const char* szPath)
{
    LoadList();
    return m_setListed.count(szPath) != 0;
}

void CTContext::MakeLogDurable()
{
    FlushDirectory(m_pathDirectory.Join(txdir::kLog));
    if (!m_bLogDurable)
        FlushDirectory(m_pathDirectory);
    m_bLogDurable = true;
    m_bLogChanged = false;
}

LogFlushState CTContext::FlushState() const
{
    LogFlushState state;
    state.bLogDurable = m_bLogDurable && !m_bLogChanged;
    state.bDustboxChanged = m_bDustboxChanged;
    state.pWrittenCreated = &m_setWrittenCreated;
    state.pUnrecorded = &m_setUnrecorded;
    return state;
}

void CTContext::ThrowAway(const char* szPath)
{
    m_bDustboxChanged = true;
    MoveToDustboxOrThrow(m_pathDirectory, szPath);
}

void CTContext::AddToList(const char* szPath)
{
    LoadList();
    const CPath path(szPath);
    // Making again a path dug out in this transaction: the removal must be on the
    // disk first. Roll-back moves away whatever exists at a listed path, and a
    // power cut that kept the record but lost the move would leave the original
    // object there.
    const auto dug = m_mapDugOut.find(szPath);
    if (dug != m_mapDugOut.end()) {
        const CPath parent = Prefix(path, path.GetComponentCount() - 1);
        FlushDirectory(dug->second);
        if (!parent.IsEmpty())
            FlushDirectory(parent);
        m_mapDugOut.erase(dug);
    }
    // Inside a directory made in this transaction an object needs no record:
    // roll-back discards the directory with everything in it. It is made durable
    // with the rest before the commit marker.
    if (path.GetComponentCount() > 1 &&
        m_setListed.count(Prefix(path, path.GetComponentCount() - 1).GetString()) != 0) {
        m_setUnrecorded.insert(szPath);
        m_setListed.insert(szPath);
        return;
    }
    if (!m_bListDurable)
        m_bLogChanged = true;  // the list's entry may be new
    AppendPathRecord(ListPath().GetString(), szPath);
    if (!m_bListDurable) {
        // The list's own entry, before any object it names can be on the disk.
        MakeLogDurable();
        m_bListDurable = true;
    }
    m_setListed.insert(szPath);
}

void CTContext::RemoveFromList(const char* szPath)
{
    // Only the copy in memory forgets the path: the record stays in the file. A
    // record of an object moved away is skipped by roll-back, and still covers the
    // object should a power cut bring it back; rewriting the list in place instead
    // could leave it torn, and a torn list cannot be rolled back.
    LoadList();
    const auto it = m_setListed.find(szPath);
    if (it != m_setListed.end())
        m_setListed.erase(it);
}

CTransaction::IFile* CTContext::OpenFile(const char* szPath, int nWrite)
{
    if (szPath == nullptr)
        ThrowFault();
    if (!m_bWrite) {
        if (nWrite)
            ThrowFault();
        return new CRegularFile(szPath, 0);
    }
    if (IsListed(szPath)) {
        if (nWrite)
            m_setWrittenCreated.insert(szPath);
        return new CRegularFile(szPath, nWrite);
    }
    for (auto it = m_lKept.begin(); it != m_lKept.end(); ++it) {
        if ((*it)->Target() == szPath) {
            CLoggedFile* pFile = *it;
            m_lKept.erase(it);
            pFile->Reopen(nWrite);
            return pFile;
        }
    }
    const CPath logDir = FileLogDirectory(m_pathDirectory, szPath);
    if (platform::PathExists(logDir.GetString()))
        return new CLoggedFile(szPath, nWrite, logDir, &m_bIncompleteLog);
    if (!nWrite)
        return new CRegularFile(szPath, 0);
    // The log is made at the first change: a file opened for writing and left as
    // it was costs the transaction nothing on disk.
    const std::string path(szPath);
    return new CLoggedFile(
        szPath, logDir,
        [path, logDir](std::uint64_t nSize) { MakeFileLog(logDir, path.c_str(), nSize); },
        &m_bIncompleteLog);
}

void CTContext::CloseFile(CTransaction::IFile* pFile)
{
    CLoggedFile* pLogged = dynamic_cast<CLoggedFile*>(pFile);
    if (pLogged != nullptr && pLogged->IsWritable()) {
        bool bKeptAlready = false;
        for (CLoggedFile* pKept : m_lKept)
            bKeptAlready = bKeptAlready || pKept->Target() == pLogged->Target();
        if (!bKeptAlready) {
            m_lKept.push_front(pLogged);
            if (m_lKept.size() > kMaxKeptFiles) {
                CLoggedFile* pOldest = m_lKept.back();
                m_lKept.pop_back();
                CloseKept(pOldest);
            }
            return;
        }
    }
    if (pLogged != nullptr) {
        try {
            pLogged->Finish();
        } catch (...) {
            m_bIncompleteLog = true;
            m_pfnDeleter(pFile);
            throw;
        }
    }
    m_pfnDeleter(pFile);
}

int CTContext::CreateFile(const char* szPath)
{
    RequireWrite();
    if (szPath == nullptr)
        ThrowFault();
    if (platform::PathExists(szPath))
        return kExists;
    // Listed before it exists: a crash in between leaves a record of nothing,
    // which roll-back skips.
    AddToList(szPath);
    platform::CFileHandle file;
    if (platform::FileOpen(szPath, 0, 0, platform::kFileCreateNew, &file) != platform::kFileOk) {
        RemoveFromList(szPath);
        ThrowFault();
    }
    return kOk;
}

int CTContext::CreateDirectory(const char* szPath)
{
    RequireWrite();
    if (szPath == nullptr)
        ThrowFault();
    if (platform::PathExists(szPath))
        return kExists;
    AddToList(szPath);
    if (platform::DirCreate(szPath) != platform::kFileOk) {
        RemoveFromList(szPath);
        ThrowFault();
    }
    return kOk;
}

void CTContext::DropFileLog(const char* szPath)
{
    const CPath logDir = FileLogDirectory(m_pathDirectory, szPath);
    if (platform::PathExists(logDir.GetString()))
        ThrowAway(logDir.GetString());
}

void CTContext::DeleteFile(const char* szPath)
{
    RequireWrite();
    if (szPath == nullptr)
        ThrowFault();
    CloseKeptFiles();
    if (!platform::PathExists(szPath))
        return;
    DropFileLog(szPath);
    if (IsListed(szPath)) {
        // Moved first, unlisted after: a crash in between leaves a record of
        // nothing rather than an unlisted object.
        ThrowAway(szPath);
        RemoveFromList(szPath);
    } else {
        DigOut(szPath);
    }
}

void CTContext::RemoveDirectory(const char* szPath)
{
    RequireWrite();
    if (szPath == nullptr)
        ThrowFault();
    CloseKeptFiles();
    const unsigned nAttributes = Attributes(szPath);
    if ((nAttributes & platform::kFileAttrDirectory) == 0)
        return;
    // A link to a directory goes as the link itself; what it leads to is not ours.
    if (nAttributes & platform::kFileAttrReparsePoint) {
        DeleteFile(szPath);
        return;
    }
    const bool bCreatedHere = IsListed(szPath);
    const bool bTookOut = PurgeTree(CPath(szPath), !bCreatedHere);
    if (bCreatedHere) {
        ThrowAway(szPath);
        RemoveFromList(szPath);
    } else {
        // What left the tree for the dustbox is out of it on the disk before the
        // tree moves into the dugout: otherwise a power cut could keep the tree's
        // move and undo theirs, and roll-back would bring them back with the tree.
        if (bTookOut) {
            FlushDirectory(m_pathDirectory.Join(txdir::kDustbox));
            m_bDustboxChanged = false;
        }
        DigOut(szPath);
    }
}

bool CTContext::PurgeTree(const CPath& path, bool bTakeOutCreated)
{
    bool bTookOut = false;
    std::vector<platform::DirEntry> vEntries;
    if (platform::DirList(path.GetString(), &vEntries) != platform::kFileOk)
        ThrowFault();
    for (const platform::DirEntry& entry : vEntries) {
        const CPath child = path.Join(entry.strName.c_str());
        // A link inside the tree leaves with it and is never entered.
        const bool bEnter = (entry.nAttributes & platform::kFileAttrDirectory) != 0 &&
                            (entry.nAttributes & platform::kFileAttrReparsePoint) == 0;
        if (!bEnter)
            DropFileLog(child.GetString());
        if (bEnter && PurgeTree(child, bTakeOutCreated))
            bTookOut = true;
        if (!IsListed(child.GetString()))
            continue;
        // An object made in this transaction inside a tree that is dug out would
        // come back with the tree on roll-back: it leaves first. Moved, then
        // unlisted, as in DeleteFile.
        if (bTakeOutCreated) {
            ThrowAway(child.GetString());
            bTookOut = true;
        }
        RemoveFromList(child.GetString());
    }
    return bTookOut;
}

void CTContext::DigOut(const char* szPath)
{
    CPath entry;
    if (MakeUniqueDirectory(&entry, m_pathDirectory.Join(txdir::kLog).Join(txdir::kDugout).GetString()) != 0)
        ThrowFault();
    WritePathFile(entry.Join(txdir::kPath).GetString(), szPath);
    // The entry and its record are on the disk before the object can be found in
    // it: wherever a power cut leaves the object, roll-back can put it back.
    FlushDirectory(entry);
    FlushDirectory(m_pathDirectory.Join(txdir::kLog).Join(txdir::kDugout));
    if (!m_bLogDurable)
        MakeLogDurable();
    // Before the commit point a removal that did not happen must not pass for
    // one: the caller rolls back.
    if (platform::FileMove(szPath, entry.Join(txdir::kDugObject).GetString()) != platform::kFileOk)
        ThrowFault();
    m_mapDugOut[szPath] = entry;
}

}  // namespace velk
