#include "engine/salvage/salvage_log.h"

#include <cctype>
#include <vector>

#include "engine/database/adb_impl.h"
#include "engine/txstore/dustbox.h"
#include "engine/txstore/log_records.h"
#include "engine/txstore/store_names.h"
#include "engine/txstore/store_paths.h"
#include "engine/txstore/transaction.h"
#include "platform/file.h"

namespace velk {

namespace {

// The entries a database directory may hold whose files a transaction changes.
const char* const kStoreEntries[] = {
    kLibIdName,       kInfoName,          kTempName,       kPathIndexName,   kHashIndexName,
    kImportIndexName, kFileRecordsName,   kCommentIndexName, kCommentRecordsName,
    kNameIndexName,   kAttRecordsName,    kFileListsName,  "updatelist",     "fidlist",
    "syncatt",        "syncfile",         "orgdirpath",    "importfiles",
};

// A copy goes no deeper than the stores do, so that a loop made by a link ends.
const int kMaxCopyDepth = 8;

bool IsStoreEntry(const std::string& strName)
{
    for (const char* szEntry : kStoreEntries)
        if (SameName(strName, szEntry))
            return true;
    return false;
}

bool CopyTree(const CPath& from, const CPath& to, int nDepth)
{
    if (nDepth > kMaxCopyDepth || platform::DirCreate(to.GetString()) != platform::kFileOk)
        return false;
    std::vector<platform::DirEntry> vEntries;
    if (platform::DirList(from.GetString(), &vEntries) != platform::kFileOk)
        return false;
    for (const platform::DirEntry& entry : vEntries) {
        // A link would bring in what lies outside the database: it is left out
        // (the recovery reports it).
        if (entry.nAttributes & platform::kFileAttrReparsePoint)
            continue;
        const CPath source = from.Join(entry.strName.c_str());
        const CPath target = to.Join(entry.strName.c_str());
        if (entry.nAttributes & platform::kFileAttrDirectory) {
            if (!CopyTree(source, target, nDepth + 1))
                return false;
        } else if (platform::FileCopy(source.GetString(), target.GetString()) !=
                   platform::kFileOk) {
            return false;
        }
    }
    return true;
}

// Copies what the log and the stores are made of; the dustboxes and "temp" hold
// nothing a recovery reads.
bool CopyDatabase(const CPath& source, const CPath& work)
{
    if (platform::DirCreate(work.GetString()) != platform::kFileOk)
        return false;
    std::vector<platform::DirEntry> vEntries;
    if (platform::DirList(source.GetString(), &vEntries) != platform::kFileOk)
        return false;
    for (const platform::DirEntry& entry : vEntries) {
        const std::string& s = entry.strName;
        if (SameName(s, kDustboxName) || SameName(s, kTempName) ||
            SameName(s, kTransactionName) || (entry.nAttributes & platform::kFileAttrReparsePoint))
            continue;
        const CPath from = source.Join(s.c_str());
        const CPath to = work.Join(s.c_str());
        const bool bCopied = (entry.nAttributes & platform::kFileAttrDirectory)
                                 ? CopyTree(from, to, 1)
                                 : platform::FileCopy(from.GetString(), to.GetString()) ==
                                       platform::kFileOk;
        if (!bCopied)
            return false;
    }
    const CPath transaction = work.Join(kTransactionName);
    return platform::DirCreate(transaction.GetString()) == platform::kFileOk &&
           platform::DirCreate(transaction.Join(kDustboxName).GetString()) == platform::kFileOk &&
           platform::DirCreate(work.Join(kDustboxName).GetString()) == platform::kFileOk &&
           CopyTree(source.Join(kTransactionName).Join(txdir::kLog), transaction.Join(txdir::kLog), 1);
}

// Maps the paths a log recorded onto the copy. Every recorded path is the
// database directory as the writer named it, then an entry of the database and
// what lies below it; the writer's name for the directory must be the same in
// every record.
class CPathMapper {
public:
    explicit CPathMapper(const CPath& work) : m_work(work) {}

    // The copy's path for strRecorded; false when it does not lie in a database
    // entry under the same directory as the records before, or would be too long.
    bool Map(const std::string& strRecorded, std::string* pstrMapped)
    {
        CPath recorded;
        if (recorded.Set(strRecorded.c_str()) != CPath::kOk || recorded.IsEmpty())
            return false;
        // The last component that names a database entry starts the tail: below
        // an entry no name repeats one.
        std::size_t nEntry = recorded.GetComponentCount();
        for (std::size_t i = recorded.GetComponentCount(); i-- > 1;) {
            if (IsStoreEntry(recorded.GetComponent(i))) {
                nEntry = i;
                break;
            }
        }
        if (nEntry == recorded.GetComponentCount())
            return false;
        std::vector<std::string> vPrefix;
        for (std::size_t i = 0; i < nEntry; ++i)
            vPrefix.push_back(recorded.GetComponent(i));
        if (!m_bPrefixKnown) {
            m_vPrefix = vPrefix;
            m_bPrefixKnown = true;
        } else if (vPrefix.size() != m_vPrefix.size()) {
            return false;
        } else {
            for (std::size_t i = 0; i < vPrefix.size(); ++i)
                if (!SameName(vPrefix[i], m_vPrefix[i]))
                    return false;
        }
        CPath mapped = m_work;
        for (std::size_t i = nEntry; i < recorded.GetComponentCount(); ++i)
            mapped = mapped.Join(recorded.GetComponent(i).c_str());
        *pstrMapped = mapped.GetString();
        return pstrMapped->size() + 1 <= kMaxPathRecord;
    }

private:
    CPath m_work;
    bool m_bPrefixKnown = false;
    std::vector<std::string> m_vPrefix;
};

std::vector<std::string> Subdirectories(const CPath& directory)
{
    std::vector<platform::DirEntry> vEntries;
    std::vector<std::string> vNames;
    if (platform::DirList(directory.GetString(), &vEntries) == platform::kFileOk)
        for (const platform::DirEntry& entry : vEntries)
            if (entry.nAttributes & platform::kFileAttrDirectory)
                vNames.push_back(entry.strName);
    return vNames;
}

// Rewrites one "path" file of the copy's log. False when it cannot be read or
// mapped.
bool RemapPathFile(const CPath& file, CPathMapper* pMapper)
{
    std::string strMapped;
    try {
        if (!pMapper->Map(ReadPathFile(file.GetString()), &strMapped))
            return false;
        if (platform::FileRemove(file.GetString()) != platform::kFileOk)
            return false;
        WritePathFile(file.GetString(), strMapped);
        return true;
    } catch (...) {
        return false;
    }
}

// Makes every record of the copy's log name the copy's files. A roll-forward
// reads only the per-file logs, a roll-back only the creation list and the
// dugout, so only the records the recovery will read must be sound.
std::string RemapLog(const CPath& log, bool bCommitted, CPathMapper* pMapper)
{
    const CPath files = log.Join(txdir::kFiles);
    for (const std::string& strName : Subdirectories(files)) {
        if (!RemapPathFile(files.Join(strName.c_str()).Join(txdir::kPath), pMapper) && bCommitted)
            return "a file record of the log is damaged or names a file outside the database";
    }
    const CPath dugout = log.Join(txdir::kDugout);
    for (const std::string& strName : Subdirectories(dugout)) {
        const CPath entry = dugout.Join(strName.c_str());
        if (!platform::PathExists(entry.Join(txdir::kDugObject).GetString()))
            continue;
        if (!RemapPathFile(entry.Join(txdir::kPath), pMapper) && !bCommitted)
            return "a removed object's record of the log is damaged or names a place outside "
                   "the database";
    }
    const CPath list = log.Join(txdir::kCreationList);
    if (platform::PathExists(list.GetString())) {
        std::vector<std::string> vMapped;
        bool bMapped = true;
        try {
            ForEachListRecord(list.GetString(), [&](std::int64_t, const std::string& strPath) {
                std::string strMapped;
                bMapped = pMapper->Map(strPath, &strMapped);
                vMapped.push_back(strMapped);
                return bMapped;
            });
            if (bMapped) {
                if (platform::FileRemove(list.GetString()) != platform::kFileOk)
                    return "the copy of the creation list cannot be rewritten";
                platform::CFileHandle file;
                if (platform::FileOpen(list.GetString(), platform::kFileAccessWrite, 0,
                                       platform::kFileCreateNew, &file) != platform::kFileOk)
                    return "the copy of the creation list cannot be rewritten";
                file.Close();
                for (const std::string& strPath : vMapped)
                    AppendPathRecord(list.GetString(), strPath);
            }
        } catch (...) {
            bMapped = false;
        }
        if (!bMapped && !bCommitted)
            return "the creation list of the log is damaged or names a file outside the "
                   "database";
    }
    return std::string();
}

}  // namespace

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const unsigned char ca = static_cast<unsigned char>(a[i]);
        const unsigned char cb = static_cast<unsigned char>(b[i]);
        const unsigned char fa = ca < 0x80 ? static_cast<unsigned char>(std::toupper(ca)) : ca;
        const unsigned char fb = cb < 0x80 ? static_cast<unsigned char>(std::toupper(cb)) : cb;
        if (fa != fb)
            return false;
    }
    return true;
}

bool CopyEntry(const CPath& from, const CPath& to)
{
    unsigned nAttributes = 0;
    if (platform::FileGetAttributes(from.GetString(), &nAttributes) != platform::kFileOk ||
        (nAttributes & platform::kFileAttrReparsePoint))
        return false;
    if (nAttributes & platform::kFileAttrDirectory)
        return CopyTree(from, to, 1);
    return platform::FileCopy(from.GetString(), to.GetString()) == platform::kFileOk;
}

bool HasTransactionLog(const CPath& directory)
{
    return platform::PathExists(directory.Join(kTransactionName).Join(txdir::kLog).GetString());
}

std::string FinishLogOnCopy(const CPath& source, const CPath& work)
{
    if (!CopyDatabase(source, work))
        return "the database could not be copied aside";
    const CPath transaction = work.Join(kTransactionName);
    const CPath log = transaction.Join(txdir::kLog);
    const bool bCommitted = platform::PathExists(log.Join(txdir::kCommit).GetString());
    CPathMapper mapper(work);
    const std::string strWhy = RemapLog(log, bCommitted, &mapper);
    if (!strWhy.empty())
        return strWhy;
    // Recovery moves what it discards into the copy's dustbox, which needs the
    // watcher running.
    const std::string strDustbox = transaction.Join(kDustboxName).GetString();
    try {
        CDustbox::Instance().Register(strDustbox.c_str());
    } catch (...) {
        return "the dustbox watcher could not be started";
    }
    std::string strResult;
    try {
        if (bCommitted)
            RollForward(transaction.GetString(), false);
        else
            RollBack(transaction.GetString());
    } catch (...) {
        strResult = bCommitted ? "the committed transaction could not be applied: its log is "
                                 "damaged"
                               : "the unfinished transaction could not be rolled back: its log "
                                 "is damaged";
    }
    CDustbox::Instance().Unregister(strDustbox.c_str());
    return strResult;
}

}  // namespace velk
