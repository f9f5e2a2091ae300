#include "engine/txstore/apply_log.h"

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "engine/base/fault.h"
#include "engine/path/path.h"
#include "engine/txstore/file_block.h"
#include "engine/txstore/log_records.h"
#include "engine/txstore/store_names.h"
#include "engine/txstore/store_paths.h"
#include "platform/file.h"

namespace velk {
namespace {

void SetEndAt(platform::CFileHandle* pFile, std::uint64_t nSize)
{
    if (pFile->Seek(static_cast<std::int64_t>(nSize), platform::kFileBegin, nullptr) !=
            platform::kFileOk ||
        pFile->SetEnd() != platform::kFileOk)
        ThrowFault();
}

std::uint64_t BlockNumber(const std::string& strName)
{
    try {
        return boost::lexical_cast<std::uint64_t>(strName);
    } catch (const boost::bad_lexical_cast&) {
        ThrowFault();
    }
}

}  // namespace

void ApplyFileLog(const char* szLogDir, const char* szTarget)
{
    const CPath logDir(szLogDir);
    const std::uint64_t nSize = ReadSizeRecord(logDir.Join(txdir::kSize).GetString());
    platform::CFileHandle target;
    if (platform::FileOpen(szTarget, platform::kFileAccessRead | platform::kFileAccessWrite, 0,
                           platform::kFileOpenExisting, &target) != platform::kFileOk)
        ThrowFault();
    SetEndAt(&target, nSize);
    if (nSize > 0) {
        const CPath blocks = logDir.Join(txdir::kBlocks);
        std::vector<platform::DirEntry> vEntries;
        unsigned nAttributes = 0;
        if (platform::FileGetAttributes(blocks.GetString(), &nAttributes) != platform::kFileOk ||
            (nAttributes & platform::kFileAttrReparsePoint) != 0 ||
            platform::DirList(blocks.GetString(), &vEntries) != platform::kFileOk)
            ThrowFault();
        const std::uint64_t nLast = (nSize - 1) / kBlockSize;
        std::unique_ptr<unsigned char[]> pBuffer(new (std::nothrow) unsigned char[kBlockSize]);
        if (!pBuffer)
            ThrowFault();
        for (const platform::DirEntry& entry : vEntries) {
            if (entry.nAttributes & platform::kFileAttrDirectory)
                continue;
            const std::uint64_t nBlock = BlockNumber(entry.strName);
            if (nBlock > nLast)
                continue;
            const std::uint64_t nStart = nBlock * kBlockSize;
            const std::uint32_t cb = nSize - nStart < kBlockSize
                                         ? static_cast<std::uint32_t>(nSize - nStart)
                                         : static_cast<std::uint32_t>(kBlockSize);
            platform::CFileHandle block;
            std::uint32_t cbDone = 0;
            if (platform::FileOpen(blocks.Join(entry.strName.c_str()).GetString(),
                                   platform::kFileAccessRead, 0, platform::kFileOpenExisting,
                                   &block) != platform::kFileOk ||
                block.Read(pBuffer.get(), cb, &cbDone) != platform::kFileOk || cbDone != cb)
                ThrowFault();
            if (target.Seek(static_cast<std::int64_t>(nStart), platform::kFileBegin, nullptr) !=
                    platform::kFileOk ||
                target.Write(pBuffer.get(), cb, &cbDone) != platform::kFileOk || cbDone != cb)
                ThrowFault();
        }
    }
    if (target.Flush() != platform::kFileOk)
        ThrowFault();
}

std::vector<std::pair<CPath, CPath>> FileLogs(const char* szTransactionDir)
{
    const CPath directory(szTransactionDir);
    const CPath files = directory.Join(txdir::kLog).Join(txdir::kFiles);
    std::vector<platform::DirEntry> vEntries;
    if (platform::DirList(files.GetString(), &vEntries) != platform::kFileOk)
        ThrowFault();
    std::vector<std::pair<CPath, CPath>> vLogs;
    for (const platform::DirEntry& entry : vEntries) {
        if (entry.nAttributes & platform::kFileAttrReparsePoint)
            ThrowFault();  // the store makes no links: damage
        if ((entry.nAttributes & platform::kFileAttrDirectory) == 0)
            continue;
        const CPath logDir = files.Join(entry.strName.c_str());
        vLogs.emplace_back(logDir, RecordedPath(directory, ReadPathFile(
                                                               logDir.Join(txdir::kPath).GetString())));
    }
    return vLogs;
}

void ApplyFileLogs(const char* szTransactionDir)
{
    // Every target lies in the store before any is written.
    ApplyFileLogs(FileLogs(szTransactionDir));
}

void ApplyFileLogs(const std::vector<std::pair<CPath, CPath>>& vLogs)
{
    for (const auto& log : vLogs)
        ApplyFileLog(log.first.GetString(), log.second.GetString());
}

}  // namespace velk
