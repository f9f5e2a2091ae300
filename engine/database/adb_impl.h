// CADBImpl: the state behind the CADB facade (adb.h) and the operations of
// association, opening and closing. The attribute operations live in att_info.cpp
// and find_att.cpp; the module's tools (adb_tools.h) reach the stores through the
// accessors here. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/bptree/bptree.h"
#include "engine/bptree/key_order.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb.h"
#include "engine/path/path.h"
#include "engine/txstore/file_system.h"
#include "engine/txstore/transaction.h"

namespace velk {

// Names inside a database directory.
extern const char kLibIdName[];
extern const char kInfoName[];
extern const char kTransactionName[];
extern const char kDustboxName[];
extern const char kTempName[];
extern const char kPathIndexName[];
extern const char kHashIndexName[];
extern const char kImportIndexName[];
extern const char kFileRecordsName[];
extern const char kCommentIndexName[];
extern const char kCommentRecordsName[];
extern const char kNameIndexName[];
extern const char kAttRecordsName[];
extern const char kFileListsName[];

// Offsets and sizes of an attribute record with name field size N.
enum : std::uint32_t {
    kAttStateOffset = 0,
    kAttNameOffset = 4,
    kAttFixedSize = 80,  // everything but the name field and the extra data
    kAttStateLive = 0,
    kAttStateMerged = 2,
};
inline std::uint32_t AttFileCountOffset(std::uint32_t n) { return n + 4; }
inline std::uint32_t AttForwardOffset(std::uint32_t n) { return n + 8; }
inline std::uint32_t AttReservedOffset(std::uint32_t n) { return n + 12; }
inline std::uint32_t AttExtraOffset(std::uint32_t n) { return n + 80; }

// File lists: index order, leaf order, key size, value size and duplicates.
enum : std::uint32_t {
    kFileListIndexOrder = 256,
    kFileListLeafOrder = 256,
    kFileListKeySize = 4,
    kFileListValueSize = 0,
    kFileListDuplicates = 0,
};

// The major version that "adbinfo" must carry in its high half.
enum : std::uint32_t { kMajorVersion = 2 };

// True when szDirectory holds a "libid" with the format id and an "adbinfo" of major
// version 2. Reads through the platform's file functions.
bool IsDatabaseDirectory(const char* szDirectory);

class CADBImpl {
public:
    CADBImpl();
    ~CADBImpl();
    CADBImpl(const CADBImpl&) = delete;
    CADBImpl& operator=(const CADBImpl&) = delete;

    int Associate(const char* szDirectory, const void* pPathOrder, PFNCOMPAREKEYS pfnPathCompare);
    void Disassociate();
    int Open(int nWrite, std::uint32_t nTimeout);
    void Close(int nCommit);

    int AddAtt(const char* szName, std::uint32_t* pnId);
    // Throws when any entry of the name index gives nId, or the walk cannot see them all.
    // The first call of a transaction walks the index whole and keeps the ids it
    // gives; later calls look there, as long as every write of the index since
    // then went through the Note functions below (an entry inserted or erased
    // without them changes the count and brings a new walk).
    void RequireUnnamed(std::uint32_t nId);
    // The index got an entry without value (a name being registered), an entry
    // of it now gives nId, or an entry that gave nId went.
    void NoteNameInserted();
    void NoteNameGives(std::uint32_t nId);
    void NoteNameErased(std::uint32_t nId);
    // Drops the kept ids: the next RequireUnnamed walks the index again.
    void ForgetNamedIds();
    // Throws when the id the record file just handed out is still in use: the
    // name index names it, or its file list has entries. Removes an empty list
    // left under its name.
    void ClaimFreeId(std::uint32_t nId);
    CADB::IAttInfo* GetAttInfo(std::uint32_t nId, int nWritable);
    CADB::IFindAtt* CreateFindAtt();

    bool IsAssociated() const { return !m_directory.IsEmpty(); }
    bool IsOpen() const { return m_pContext != nullptr; }
    const CPath& GetDirectory() const { return m_directory; }
    // The path of the file list of attribute nId.
    std::string FileListPath(std::uint32_t nId) const;
    // The id registered under szName (with its NUL) in the name index, or 0.
    std::uint32_t FindAttId(const char* szName);

    std::uint32_t m_nParam1 = 0;
    std::uint32_t m_nParam2 = 0;
    std::uint32_t m_nCommentSize = 0;
    std::uint32_t m_nExtraSize = 0;
    std::uint32_t m_nParam5 = 0;
    std::uint32_t m_nHashSize = 0;
    std::uint32_t m_nAttNameSize = 0;
    unsigned char m_abPathOrder[16] = {};
    PFNCOMPAREKEYS m_pfnPathCompare = nullptr;

    CTransaction m_transaction;
    CFileSystem::IContext* m_pContext = nullptr;
    CBPTree m_pathIndex;
    CBPTree m_hashIndex;
    CBPTree m_importIndex;
    CRecordFile m_fileRecords;
    CBPTree m_commentIndex;
    CRecordFile m_commentRecords;
    CBPTree m_nameIndex;
    CRecordFile m_attRecords;
    std::uint32_t m_nLiveEnumerators = 0;

private:
    void OpenStores(int nWrite);
    // Closes every store that is still open; the first failure is thrown after all
    // of them were closed.
    void CloseStores();
    // Ends the transaction after the stores are closed: destroys the context, ends
    // the transaction and throws "temp" into the dustbox.
    void EndTransaction(int nCommit);
    void ClearParameters();

    CPath m_directory;
    bool m_bCloseFailed = false;
    // The ids the name index gives, sorted, once for each entry giving them, while
    // m_bNamedIdsKnown; m_nNamedEntries is the index's count they describe.
    std::vector<std::uint32_t> m_vNamedIds;
    bool m_bNamedIdsKnown = false;
    std::uint32_t m_nNamedEntries = 0;
};

}  // namespace velk
