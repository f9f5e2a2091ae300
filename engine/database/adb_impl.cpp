#include "engine/database/adb_impl.h"

#include <cstring>
#include <new>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/database/adb_tools.h"
#include "engine/txstore/dustbox.h"
#include "engine/txstore/tfs_context.h"
#include "platform/file.h"

namespace velk {

const unsigned char kLibId[16] = {0x94, 0xE4, 0xD8, 0x58, 0x12, 0x09, 0x89, 0x4D,
                                  0x86, 0xA8, 0x2D, 0x66, 0xB2, 0x6D, 0x82, 0xBF};

const char kLibIdName[] = "libid";
const char kInfoName[] = "adbinfo";
const char kTransactionName[] = "transaction";
const char kDustboxName[] = "dustbox";
const char kTempName[] = "temp";
const char kPathIndexName[] = "path_db";
const char kHashIndexName[] = "hash_db";
const char kImportIndexName[] = "import_db";
const char kFileRecordsName[] = "fileinfo_db";
const char kCommentIndexName[] = "comment_db";
const char kCommentRecordsName[] = "commentinfo_db";
const char kNameIndexName[] = "attname_db";
const char kAttRecordsName[] = "attinfo_db";
const char kFileListsName[] = "fidlists";

namespace {

// Reads up to cb bytes from offset nOffset of szPath; returns the number read, or -1
// when the file cannot be opened. The application may have the file open, so
// readers and writers are both let in, as the C runtime's "rb" does.
long ReadFileBytes(const char* szPath, std::uint32_t nOffset, void* pBuffer, std::uint32_t cb)
{
    platform::CFileHandle file;
    if (platform::FileOpen(szPath, platform::kFileAccessRead,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::kFileOpenExisting, &file) != platform::kFileOk)
        return -1;
    if (file.Seek(nOffset, platform::kFileBegin, nullptr) != platform::kFileOk)
        return 0;
    std::uint32_t cbTotal = 0;
    while (cbTotal < cb) {
        std::uint32_t cbRead = 0;
        const platform::FileResult nResult =
            file.Read(static_cast<unsigned char*>(pBuffer) + cbTotal, cb - cbTotal, &cbRead);
        cbTotal += cbRead;
        if (nResult != platform::kFileOk || cbRead == 0)
            break;
    }
    return static_cast<long>(cbTotal);
}

// Closes one store, remembering the first failure instead of throwing it.
template <class T>
void CloseOne(T* pStore, bool* pbFailed)
{
    try {
        pStore->Close();
    } catch (...) {
        *pbFailed = true;
    }
}

// Throws when szName in the database directory is a link. These entries are the
// database's own directories: emptied, moved into the dustbox or with their
// contents removed, so one that is a link is a damaged database, never followed.
// The database directory itself may be a link.
void RefuseLink(const CPath& directory, const char* szName)
{
    unsigned nAttributes = 0;
    if (platform::FileGetAttributes(directory.Join(szName).GetString(), &nAttributes) ==
            platform::kFileOk &&
        (nAttributes & platform::kFileAttrReparsePoint) != 0)
        ThrowFault();
}

}  // namespace

bool IsDatabaseDirectory(const char* szDirectory)
{
    const CPath directory(szDirectory);
    if (directory.IsEmpty())
        return false;
    unsigned char abId[16];
    if (ReadFileBytes(directory.Join(kLibIdName).GetString(), 0, abId, sizeof(abId)) !=
            static_cast<long>(sizeof(abId)) ||
        std::memcmp(abId, kLibId, sizeof(abId)) != 0)
        return false;
    // The version alone decides; the rest may be short (Associate then fails).
    unsigned char abInfo[kDatabaseInfoSize] = {};
    if (ReadFileBytes(directory.Join(kInfoName).GetString(), 0, abInfo, sizeof(abInfo)) < 4)
        return false;
    SDatabaseInfo info;
    DecodeDatabaseInfo(abInfo, &info);
    return (info.nVersion >> 16) == kMajorVersion;
}

CADBImpl::CADBImpl() {}

CADBImpl::~CADBImpl()
{
    Disassociate();
}

void CADBImpl::ClearParameters()
{
    m_nParam1 = m_nParam2 = m_nCommentSize = m_nExtraSize = m_nParam5 = m_nHashSize =
        m_nAttNameSize = 0;
}

int CADBImpl::Associate(const char* szDirectory, const void* pPathOrder,
                        PFNCOMPAREKEYS pfnPathCompare)
{
    Disassociate();
    if (!IsDatabaseDirectory(szDirectory))
        return CADB::kNotDatabase;
    try {
        m_directory.Set(szDirectory);
        for (const char* szName : {kTransactionName, kDustboxName, kFileListsName})
            RefuseLink(m_directory, szName);
        if (m_transaction.Open(m_directory.Join(kTransactionName).GetString()) != 0)
            ThrowFault();

        unsigned char abInfo[kDatabaseInfoSize];
        if (ReadFileBytes(m_directory.Join(kInfoName).GetString(), 0, abInfo, sizeof(abInfo)) !=
            static_cast<long>(sizeof(abInfo)))
            ThrowFault();
        SDatabaseInfo info;
        DecodeDatabaseInfo(abInfo, &info);
        if (pPathOrder == nullptr || std::memcmp(info.abPathOrder, pPathOrder, 16) != 0)
            ThrowFault();
        m_nParam1 = info.nParam1;
        m_nParam2 = info.nParam2;
        m_nCommentSize = info.nCommentSize;
        m_nExtraSize = info.nExtraSize;
        m_nParam5 = info.nParam5;
        m_nHashSize = info.nHashSize;
        m_nAttNameSize = info.nAttNameSize;
        std::memcpy(m_abPathOrder, info.abPathOrder, 16);
        m_pfnPathCompare = pfnPathCompare;

        CDustbox::Instance().Register(m_directory.Join(kDustboxName).GetString());
    } catch (...) {
        m_directory.Set(nullptr);
        m_transaction.Close();
        ClearParameters();
        return CADB::kFailed;
    }
    return CADB::kOk;
}

void CADBImpl::Disassociate()
{
    if (!IsAssociated())
        return;
    if (IsOpen()) {
        try {
            Close(0);
        } catch (...) {
        }
    }
    const CPath dustbox = m_directory.Join(kDustboxName);
    m_directory.Set(nullptr);
    m_transaction.Close();
    ClearParameters();
    m_bCloseFailed = false;
    CDustbox::Instance().Unregister(dustbox.GetString());
}

int CADBImpl::Open(int nWrite, std::uint32_t nTimeout)
{
    if (!IsAssociated() || IsOpen())
        ThrowFault();
    RefuseLink(m_directory, kTempName);
    CTransaction::IContext* pTransactionContext = m_transaction.Begin(nWrite, nTimeout);
    if (pTransactionContext == nullptr)
        return 0;
    m_bCloseFailed = false;
    try {
        m_pContext = CreateTFSContext(pTransactionContext);
        if (m_pContext == nullptr)
            throw std::bad_alloc();
        OpenStores(nWrite);
    } catch (...) {
        // A failed open leaves nothing behind: what was opened is closed and the
        // transaction is rolled back, so the database is closed again.
        try {
            CloseStores();
        } catch (...) {
        }
        try {
            EndTransaction(0);
        } catch (...) {
        }
        throw;
    }
    platform::DirCreate(m_directory.Join(kTempName).GetString());
    return 1;
}

void CADBImpl::OpenStores(int nWrite)
{
    ForgetNamedIds();
    const int nWritable = nWrite != 0 ? 1 : 0;
    m_pathIndex.Open(m_pContext, m_directory.Join(kPathIndexName).GetString(), nWritable,
                     m_abPathOrder, m_pfnPathCompare);
    if (m_nHashSize != 0) {
        m_hashIndex.Open(m_pContext, m_directory.Join(kHashIndexName).GetString(), nWritable,
                         kGuidBinaryAscending, nullptr);
        m_importIndex.Open(m_pContext, m_directory.Join(kImportIndexName).GetString(), nWritable,
                           kGuidNoCaseAscending, nullptr);
    }
    m_fileRecords.Open(m_pContext, m_directory.Join(kFileRecordsName).GetString(), nWritable);
    if (m_nCommentSize != 0) {
        m_commentIndex.Open(m_pContext, m_directory.Join(kCommentIndexName).GetString(),
                            nWritable, kGuidBinaryAscending, nullptr);
        m_commentRecords.Open(m_pContext, m_directory.Join(kCommentRecordsName).GetString(),
                              nWritable);
    }
    m_nameIndex.Open(m_pContext, m_directory.Join(kNameIndexName).GetString(), nWritable,
                     kGuidStringAscending, nullptr);
    m_attRecords.Open(m_pContext, m_directory.Join(kAttRecordsName).GetString(), nWritable);
    // Record objects address the name field and the extra data inside the record;
    // a record file with shorter records would let them run past it.
    const std::uint64_t cbNeeded =
        static_cast<std::uint64_t>(kAttFixedSize) + m_nAttNameSize + m_nExtraSize;
    if (m_attRecords.GetRecordSize() < cbNeeded)
        ThrowFault();
}

void CADBImpl::CloseStores()
{
    ForgetNamedIds();
    bool bFailed = false;
    CloseOne(&m_pathIndex, &bFailed);
    CloseOne(&m_hashIndex, &bFailed);
    CloseOne(&m_importIndex, &bFailed);
    CloseOne(&m_fileRecords, &bFailed);
    CloseOne(&m_commentIndex, &bFailed);
    CloseOne(&m_commentRecords, &bFailed);
    CloseOne(&m_nameIndex, &bFailed);
    CloseOne(&m_attRecords, &bFailed);
    if (bFailed)
        ThrowFault();
}

void CADBImpl::EndTransaction(int nCommit)
{
    DestroyObject(m_pContext);
    m_pContext = nullptr;
    struct MoveTemp {
        const CPath& directory;
        ~MoveTemp()
        {
            try {
                CDustbox::Instance().MoveToDustbox(directory.Join(kDustboxName).GetString(),
                                                   directory.Join(kTempName).GetString());
            } catch (...) {
            }
        }
    } moveTemp{m_directory};
    m_transaction.End(nCommit);
}

void CADBImpl::Close(int nCommit)
{
    if (!IsOpen())
        return;
    try {
        CloseStores();
    } catch (...) {
        // The stores' changes are incomplete: this opening must never commit.
        m_bCloseFailed = true;
        throw;
    }
    const bool bLost = m_bCloseFailed && nCommit != 0;
    const int nEffective = m_bCloseFailed ? 0 : nCommit;
    m_bCloseFailed = false;
    EndTransaction(nEffective);
    if (bLost)
        ThrowFault();
}

std::string CADBImpl::FileListPath(std::uint32_t nId) const
{
    const std::string strName = std::to_string(nId);
    return m_directory.Join(kFileListsName).Join(strName.c_str()).GetString();
}

std::uint32_t CADBImpl::FindAttId(const char* szName)
{
    if (!IsOpen() || szName == nullptr)
        ThrowFault();
    CBPTree::Cursor cursor;
    const std::uint32_t cbName = static_cast<std::uint32_t>(std::strlen(szName) + 1);
    if (cbName > m_nAttNameSize || !m_nameIndex.Find(szName, cbName, &cursor, CBPTree::kFindAny))
        return 0;
    unsigned char abId[4] = {};
    if (m_nameIndex.ValueLength(&cursor) != sizeof(abId))
        ThrowFault();
    m_nameIndex.GetValue(&cursor, abId, sizeof(abId));
    return GetU32LE(abId);
}

}  // namespace velk
