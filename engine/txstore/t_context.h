// CTContext: the context of one transaction. A read context opens files for
// reading only. A write context changes existing files only through per-file logs,
// makes new objects in place after listing them in the creation list, and moves
// removed objects aside into the dugout; see transaction.h for the crash rules.
#pragma once

#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/path/path.h"
#include "engine/txstore/destroy_object.h"
#include "engine/txstore/transaction.h"

namespace velk {

class CLoggedFile;

class CTContext : public CTransaction::IContext {
public:
    // A write context makes T\log, T\log\files and T\log\dugout, in that order, and
    // throws when any cannot be made (an existing T\log included).
    CTContext(const CPath& directory, int nWrite, PFNDESTROYOBJECT pfnDeleter);
    // Closes the files it kept (see CloseKeptFiles).
    ~CTContext() override;

    int IsWritable() override { return m_bWrite; }

    // Read context: a plain file for reading; a write open throws. Write context:
    // a file made in this transaction is opened plainly; any other file is opened
    // through its per-file log, which a write open makes when missing (a read open
    // of a file without log reads it plainly).
    CTransaction::IFile* OpenFile(const char* szPath, int nWrite) override;

    // Brings a logged file's log up to date, then destroys the file. Throws when
    // the log could not be written (the file is destroyed all the same, and the
    // transaction can no longer commit). A logged file opened for writing is kept
    // open instead, with its target, blocks and share modes, and the next opening
    // of its path gets it back: opening and closing one file again and again costs
    // no work on disk. The context keeps a few such files; the oldest is closed as
    // above when room is needed, and all of them by CloseKeptFiles.
    void CloseFile(CTransaction::IFile* pFile) override;

    // Brings the logs of the kept files up to date and closes them. A failure
    // makes the log incomplete (HasIncompleteLog) instead of throwing. The
    // transaction calls it before it commits or rolls back, and every removal
    // first, so that nothing it moves is held open.
    void CloseKeptFiles();

    // 0 made (listed first), 5 the path exists. Throws on a read context.
    int CreateFile(const char* szPath) override;
    int CreateDirectory(const char* szPath) override;

    // Removes a file (or any object named, whole): an object made in this
    // transaction goes to the dustbox, an older one to the dugout; pending changes
    // of the path are dropped. Nothing when the path does not exist. Throws on a
    // read context and when the object cannot be moved.
    void DeleteFile(const char* szPath) override;

    // Removes a directory tree, dropping the pending changes and creation records
    // of everything inside it. Nothing when the path is not a directory. A link
    // to a directory, and every link inside the tree, goes as the link itself and
    // is never entered.
    void RemoveDirectory(const char* szPath) override;

    // True when a logged file could not bring its log up to date, or a change
    // was lost otherwise (MarkIncomplete): the transaction must not commit.
    bool HasIncompleteLog() const { return m_bIncompleteLog; }

    // What this transaction made durable and left unchanged, for the commit's
    // flush before its marker.
    LogFlushState FlushState() const;
    void MarkIncomplete() override { m_bIncompleteLog = true; }

private:
    void RequireWrite() const;
    CPath ListPath() const;
    // The creation list, kept in memory beside its file: every open of the
    // transaction asks it, and reading the file each time grows with the square
    // of the objects made.
    void LoadList();
    // Makes T\log's entries durable, and the first time T\log's own entry in T.
    void MakeLogDurable();
    bool IsListed(const char* szPath);
    void AddToList(const char* szPath);
    void RemoveFromList(const char* szPath);
    void DropFileLog(const char* szPath);
    // Drops the pending changes and creation records of everything below path;
    // with bTakeOutCreated the objects made in this transaction also leave the
    // tree (for the dustbox), since the tree is about to be dug out. True when
    // anything moved into the dustbox.
    bool PurgeTree(const CPath& path, bool bTakeOutCreated);
    void DigOut(const char* szPath);
    // Moves an object into the dustbox; throws when it stays.
    void ThrowAway(const char* szPath);
    void CloseKept(CLoggedFile* pFile);

    // Few enough that their blocks and handles stay small, enough for the files of
    // a handful of trees.
    enum : std::size_t { kMaxKeptFiles = 16 };

    CPath m_pathDirectory;
    int m_bWrite;
    PFNDESTROYOBJECT m_pfnDeleter;
    bool m_bIncompleteLog = false;
    bool m_bListLoaded = false;
    std::unordered_multiset<std::string> m_setListed;  // the same, for look-ups
    std::unordered_map<std::string, CPath> m_mapDugOut;  // path -> its dugout entry
    bool m_bLogDurable = false;   // T\log's entries and its own entry in T are on the disk
    bool m_bListDurable = false;  // and T\log\clist's entry among them
    bool m_bLogChanged = false;   // an entry made in T\log since it was flushed
    bool m_bDustboxChanged = false;  // something moved into the dustbox since its flush
    std::unordered_set<std::string> m_setWrittenCreated;  // created files opened for writing
    // Made inside a directory made here, so not in the creation list's file.
    std::unordered_set<std::string> m_setUnrecorded;
    std::list<CLoggedFile*> m_lKept;  // logged files closed by their opener, newest first
};

}  // namespace velk
