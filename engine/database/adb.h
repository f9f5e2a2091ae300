// CADB: the attribute database. A database is a directory D holding two small
// identification files, a transactional store and the indexes and record files
// that the store guards. CADB attaches to such a directory (Associate), opens it
// for reading or writing inside a transaction of the store (Open, Close) and
// registers, reads and lists attributes (AddAtt, GetAttInfo, CreateFindAtt). It
// builds on CTransaction and the dustbox watcher (engine/txstore) and keeps its
// indexes in B+ trees and record files (engine/bptree).
//
// Directory layout (every name joined to D):
//
//   libid           at least 16 bytes: the format id (kLibId); nothing after is read
//   adbinfo         at least 48 bytes, see below; nothing after byte 48 is read
//   transaction     the transactional store, with its own dustbox and log
//   dustbox         objects awaiting deletion, watched while associated
//   temp            created by every Open, thrown into the dustbox by every Close
//   path_db         B+ tree: path index, in the path order named by adbinfo
//   hash_db         B+ tree: hash index (only when the hash size P6 is not 0)
//   import_db       B+ tree: import index (only when P6 is not 0)
//   fileinfo_db     record file: file records
//   comment_db      B+ tree: comment index (only when the comment size P3 is not 0)
//   commentinfo_db  record file: comment records (only when P3 is not 0)
//   attname_db      B+ tree: attribute name (with its NUL) -> attribute id
//   attinfo_db      record file: attribute records, record id = attribute id
//   fidlists        one B+ tree per attribute, named by its id in decimal, whose
//                   keys are the 4-byte ids of the files carrying the attribute
//
// "adbinfo". Integers are unsigned 32-bit little-endian.
//
//   offset   size   field
//   0        4      version: the high 16 bits are the major version, 2
//   4        4      P1, first parameter (reported by GetParam1)
//   8        4      P2, not used here
//   12       4      P3, comment size
//   16       4      P4, X: size of an attribute record's extra data
//   20       4      P5, not used here
//   24       4      P6, hash size
//   28       4      P7, N: size of an attribute record's name field, NUL included
//   32       16     path-order id: the GUID of the path index's key order
//
// Attribute record in "attinfo_db" (record size at least 80 + N + X):
//
//   offset   size   field
//   0        4      state: 0 live; 2 merged into the attribute named by forward id
//   4        N      name, NUL-terminated inside the field
//   4 + N    4      file count: file ids that merging added to the file list
//   8 + N    4      forward id (state 2)
//   12 + N   68     reserved
//   80 + N   X      extra data, opaque
//
// Result codes: 0 success, 1 failure or refusal, 2 invalid argument, 4 end of a
// walk, 5 exists, 6 not a database directory, 0x20 attribute already registered.
// Everything else (damaged files, wrong modes, failed platform calls) throws the
// engine's exception (CFault). A CADB object is used by one thread at a time.
#pragma once

#include <cstdint>

#include "engine/bptree/key_order.h"

namespace velk {

class CADBImpl;

class CADB {
public:
    enum {
        kOk = 0,
        kFailed = 1,
        kInvalidArgument = 2,
        kEndOfWalk = 4,
        kExists = 5,
        kNotDatabase = 6,
        kAttExists = 0x20,
    };

    // An enumerator over some of the database's entries. Belongs to the caller
    // until handed back with CADB::ReleaseFind.
    class IFind {
    public:
        virtual ~IFind() {}
        // The number of entries when the enumerator was made.
        virtual std::uint32_t GetCount() = 0;
        // The 0-based index of the current entry, -1 when there is none.
        virtual std::int32_t GetPosition() = 0;
        // Makes entry nIndex current. 0, or 1 when it cannot (index out of range,
        // damaged index).
        virtual int MoveTo(std::uint32_t nIndex) = 0;
        // Moves nSteps forward. 0 moved (with nPartial, possibly fewer steps, up to
        // the last entry); 4 at the last entry already, or not that many entries
        // left; 1 the index failed.
        virtual int Next(std::uint32_t nSteps, int nPartial) = 0;
        // Moves nSteps backward; as Next, towards the first entry.
        virtual int Prev(std::uint32_t nSteps, int nPartial) = 0;
        // The id stored with the current entry; 0 when there is none.
        virtual std::uint32_t GetId() = 0;
    };

    // A read or writable view of one attribute record. The record stays pinned
    // while the object lives; a writable object writes its changes back when it is
    // released. Belongs to the caller until handed back with ReleaseAttInfo.
    class IAttInfo {
    public:
        virtual ~IAttInfo() {}
        virtual int IsWritable() = 0;
        virtual std::uint32_t GetId() = 0;
        virtual int Reserved3() = 0;
        virtual int Reserved4(std::uint32_t nArgument) = 0;
        virtual int Reserved5(std::uint32_t nArgument) = 0;
        // The number of files carrying the attribute (entries of its file list).
        // Throws when the file list is missing or damaged.
        virtual std::uint32_t GetRefCount() = 0;
        // Copies the name with its NUL into pBuffer (when given) and returns its size
        // strlen + 1; returns 0 without copying when cbBuffer is smaller. Throws for
        // a name field without NUL.
        virtual std::uint32_t GetName(char* pBuffer, std::uint32_t cbBuffer) = 0;
        // Renames the attribute. 0 done; 1 read-only object or name longer than the
        // name field; 2 null name; 5 the name is taken (also by this attribute).
        virtual int Rename(const char* szNewName) = 0;
        // Absorbs attribute nOtherId: its files join this attribute's file list and
        // its name is removed. An attribute that still has files becomes a forwarder
        // to this one (state 2); one without files is freed. 0 done; 1 read-only
        // object, nOtherId not allocated, pinned (this attribute included) or not
        // live.
        virtual int Merge(std::uint32_t nOtherId) = 0;
        // Copies the X bytes of extra data. 0, or 1 when X is 0 or cbBuffer < X.
        virtual int GetExtra(void* pBuffer, std::uint32_t cbBuffer) = 0;
        // Replaces the extra data with X bytes from pData. 0, or 1 when X is 0 or the
        // object is read-only.
        virtual int SetExtra(const void* pData) = 0;
    };

    // An enumerator over the attributes in name order.
    class IFindAtt : public IFind {
    public:
        // A read-only record object for the current attribute (release it with
        // ReleaseAttInfo). Throws when there is no current attribute.
        virtual IAttInfo* GetAttInfo() = 0;
        virtual void ReleaseAttInfo(IAttInfo* pInfo) = 0;
    };

    CADB();
    // Disassociates: a database left open is rolled back.
    ~CADB();
    CADB(const CADB&) = delete;
    CADB& operator=(const CADB&) = delete;

    // Attaches to the database directory szDirectory (relative or drive-absolute),
    // detaching first. pPathOrder (16 bytes) must equal the path-order id in
    // "adbinfo"; pfnPathCompare (may be null) orders the path index instead of the
    // built-in order that id names. Recovers a transaction that a crashed process
    // left behind when the store can be had at once. Returns 0 associated; 6 not a
    // database directory ("libid" or "adbinfo" missing, short or of another
    // format or major version); 1 association failed (store, parameters, path
    // order, or "transaction", "dustbox" or "fidlists" is a link: the directory
    // itself may be one, its own directories may not). After a failure the
    // object is not associated.
    int Associate(const char* szDirectory, const void* pPathOrder, PFNCOMPAREKEYS pfnPathCompare);

    // Detaches; rolls back a database left open. Nothing when not associated.
    void Disassociate();

    // Parameters from "adbinfo"; all 0 while not associated.
    std::uint32_t GetParam1();
    std::uint32_t GetCommentSize();
    std::uint32_t GetExtraSize();
    std::uint32_t GetHashSize();
    std::uint32_t GetAttNameSize();

    // Begins a write (nWrite nonzero) or read transaction, waiting up to nTimeout
    // ms (0xFFFFFFFF: no limit) for the access guard, and opens every store. Returns
    // 1 open; 0 the guard was not granted in time, or the store refused to begin.
    // Throws when not associated or already open, when "temp" is a link, and when
    // a store is missing, damaged, of another key order or not writable; the
    // database is then closed again and the transaction rolled back.
    int Open(int nWrite, std::uint32_t nTimeout);

    // Closes the stores and commits (nCommit nonzero) or rolls back the transaction,
    // then moves "temp" into the dustbox. Nothing when not open. Every enumerator and
    // record object must have been released before. When a store fails to close,
    // the failure is thrown and the database stays open; a later Close of that
    // opening rolls back whatever it is asked (and throws again when it was asked to
    // commit, since the changes are lost).
    void Close(int nCommit);

    // Registers the attribute szName. 0 registered (its id in *pnId when given);
    // 0x20 already registered (the existing id in *pnId); 1 refused: an enumerator
    // is alive or the name with its NUL is longer than N. Throws when the database
    // is not open for writing and when a store fails.
    int AddAtt(const char* szName, std::uint32_t* pnId);

    // A record object for attribute nId, writable when nWritable is nonzero. Throws
    // when nId is not allocated, when nWritable is asked while an enumerator is
    // alive or of a read-only database, and when the database is not open.
    IAttInfo* GetAttInfo(std::uint32_t nId, int nWritable);
    // Destroys a record object; null is ignored.
    void ReleaseAttInfo(IAttInfo* pInfo);

    // An enumerator over all attributes, positioned on the first; null only when
    // memory runs out. Throws when the database is not open.
    IFindAtt* CreateFindAtt();
    // Destroys an enumerator; null is ignored.
    void ReleaseFind(IFind* pFind);

    // The implementation object, for the module's own tools (check, maintenance).
    CADBImpl* GetImpl() { return m_pImpl; }

private:
    CADBImpl* m_pImpl;
};

// The format id at the start of "libid" ({58D8E494-0912-4D89-86A8-2D66B26D82BF} in
// its in-memory layout).
extern const unsigned char kLibId[16];

}  // namespace velk
