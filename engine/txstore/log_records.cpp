#include "engine/txstore/log_records.h"

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"

namespace velk {
namespace {

void Open(const char* szFile, unsigned nAccess, unsigned nDisposition, platform::CFileHandle* pFile)
{
    if (platform::FileOpen(szFile, nAccess, platform::kFileShareRead, nDisposition, pFile) !=
        platform::kFileOk)
        ThrowFault();
}

void WriteAll(platform::CFileHandle* pFile, const void* pData, std::uint32_t cb)
{
    std::uint32_t cbWritten = 0;
    if (pFile->Write(pData, cb, &cbWritten) != platform::kFileOk || cbWritten != cb)
        ThrowFault();
}

// Recovery reads a path record as soon as the step it guards has happened (the
// commit marker made, an object created or moved into the dugout), so the record
// is on the disk before the call returns.
void WriteAllDurably(platform::CFileHandle* pFile, const void* pData, std::uint32_t cb)
{
    WriteAll(pFile, pData, cb);
    if (pFile->Flush() != platform::kFileOk)
        ThrowFault();
}

std::string Record(const std::string& strText)
{
    const std::uint32_t n = static_cast<std::uint32_t>(strText.size() + 1);
    if (strText.size() + 1 > kMaxPathRecord || strText.find('\0') != std::string::npos)
        ThrowFault();
    std::string record(4, '\0');
    PutU32LE(&record[0], n);
    record += strText;
    record += '\0';
    return record;
}

}  // namespace

void WritePathFile(const char* szFile, const std::string& strText)
{
    const std::string record = Record(strText);
    platform::CFileHandle file;
    Open(szFile, platform::kFileAccessWrite, platform::kFileCreateNew, &file);
    WriteAllDurably(&file, record.data(), static_cast<std::uint32_t>(record.size()));
}

void AppendPathRecord(const char* szFile, const std::string& strText)
{
    const std::string record = Record(strText);
    platform::CFileHandle file;
    Open(szFile, platform::kFileAccessWrite, platform::kFileOpenAlways, &file);
    if (file.Seek(0, platform::kFileEnd, nullptr) != platform::kFileOk)
        ThrowFault();
    WriteAllDurably(&file, record.data(), static_cast<std::uint32_t>(record.size()));
}

bool ReadPathRecord(platform::CFileHandle* pFile, std::string* pstrText)
{
    unsigned char abLength[4];
    std::uint32_t cbRead = 0;
    if (pFile->Read(abLength, sizeof(abLength), &cbRead) != platform::kFileOk)
        ThrowFault();
    if (cbRead < sizeof(abLength))
        return false;
    const std::uint32_t n = GetU32LE(abLength);
    if (n == 0 || n > kMaxPathRecord)
        ThrowFault();
    char achText[kMaxPathRecord];
    if (pFile->Read(achText, n, &cbRead) != platform::kFileOk || cbRead != n ||
        achText[n - 1] != 0)
        ThrowFault();
    pstrText->assign(achText);  // up to the first NUL
    return true;
}

std::string ReadPathFile(const char* szFile)
{
    platform::CFileHandle file;
    Open(szFile, platform::kFileAccessRead, platform::kFileOpenExisting, &file);
    std::string text;
    if (!ReadPathRecord(&file, &text))
        ThrowFault();
    return text;
}

void WriteSizeRecord(const char* szFile, std::uint64_t nSize)
{
    unsigned char ab[8];
    PutU64LE(ab, nSize);
    // Overwritten in place, never cut to nothing first: a record is never seen
    // empty, and a file system that forces out a file's data when it is cut to
    // zero (ext4 does) is not made to wait for it at every close.
    platform::CFileHandle file;
    std::uint64_t cbFile = 0;
    if (platform::FileOpen(szFile, platform::kFileAccessWrite, platform::kFileShareRead,
                           platform::kFileOpenAlways, &file, &cbFile) != platform::kFileOk)
        ThrowFault();
    WriteAll(&file, ab, sizeof(ab));
    if (cbFile > sizeof(ab) && file.SetEnd() != platform::kFileOk)
        ThrowFault();
    file.StartFlush();  // the commit flushes it
}

std::uint64_t ReadSizeRecord(const char* szFile)
{
    platform::CFileHandle file;
    Open(szFile, platform::kFileAccessRead, platform::kFileOpenExisting, &file);
    std::uint64_t cbFile = 0;
    unsigned char ab[8];
    std::uint32_t cbRead = 0;
    if (file.GetSize(&cbFile) != platform::kFileOk || cbFile != sizeof(ab) ||
        file.Read(ab, sizeof(ab), &cbRead) != platform::kFileOk || cbRead != sizeof(ab))
        ThrowFault();
    return GetU64LE(ab);
}

}  // namespace velk
