#include "engine/txstore/logged_file.h"

#include <cstring>
#include <string>
#include <vector>

#include "engine/base/fault.h"
#include "engine/txstore/log_records.h"
#include "engine/txstore/store_names.h"

namespace velk {

CLoggedFile::CLoggedFile(const char* szTarget, int nWrite, const CPath& pathLog, bool* pbFailed)
    : m_bWrite(nWrite), m_strTarget(szTarget), m_pathLog(pathLog), m_pbFailed(pbFailed)
{
    OpenTarget(szTarget);
    const CPath size = m_pathLog.Join(txdir::kSize);
    if (platform::PathExists(size.GetString())) {
        m_nLogicalSize = ReadSizeRecord(size.GetString());
    } else {
        m_nLogicalSize = m_nInitialSize;
        WriteSizeRecord(size.GetString(), m_nLogicalSize);
    }
    m_nRecordedSize = m_nLogicalSize;
}

CLoggedFile::CLoggedFile(const char* szTarget, const CPath& pathLog,
                         std::function<void(std::uint64_t)> fnMakeLog, bool* pbFailed)
    : m_bWrite(1), m_strTarget(szTarget), m_pathLog(pathLog), m_pbFailed(pbFailed),
      m_fnMakeLog(std::move(fnMakeLog))
{
    OpenTarget(szTarget);
    m_nLogicalSize = m_nInitialSize;
    m_nRecordedSize = m_nLogicalSize;
}

void CLoggedFile::OpenTarget(const char* szTarget)
{
    if (platform::FileOpen(szTarget, platform::kFileAccessRead, platform::kFileShareRead,
                           platform::kFileOpenExisting, &m_hTarget, &m_nInitialSize) !=
        platform::kFileOk)
        ThrowFault();
}

void CLoggedFile::MakeLog()
{
    if (!m_fnMakeLog)
        return;
    // The size before any change, as a log made at opening would hold it. A
    // change that could not be logged must not be committed without it, even by a
    // caller that goes on after the failure.
    try {
        m_fnMakeLog(m_nRecordedSize);
    } catch (...) {
        if (m_pbFailed != nullptr)
            *m_pbFailed = true;
        throw;
    }
    m_fnMakeLog = nullptr;
}

CLoggedFile::~CLoggedFile()
{
    try {
        Finish();
    } catch (...) {
        if (m_pbFailed != nullptr)
            *m_pbFailed = true;
    }
}

void CLoggedFile::Finish()
{
    if (!m_bWrite || m_fnMakeLog)
        return;  // nothing changed when the log is still to be made
    // The record holds the size already unless this opening changed it.
    if (m_nLogicalSize != m_nRecordedSize) {
        WriteSizeRecord(m_pathLog.Join(txdir::kSize).GetString(), m_nLogicalSize);
        m_nRecordedSize = m_nLogicalSize;
    }
    for (auto& entry : m_mapBlocks)
        entry.second->Flush();
}

void CLoggedFile::Reopen(int nWrite)
{
    m_nPosition = 0;
    m_bReadOnlyView = nWrite == 0;
}

CPath CLoggedFile::BlockPath(std::uint64_t nBlock) const
{
    return m_pathLog.Join(txdir::kBlocks).Join(std::to_string(nBlock).c_str());
}

CFileBlock* CLoggedFile::FindBlock(std::uint64_t nBlock)
{
    const auto it = m_mapBlocks.find(nBlock);
    if (it != m_mapBlocks.end())
        return it->second.get();
    if (m_fnMakeLog || m_setUnlogged.count(nBlock) != 0)
        return nullptr;
    const CPath path = BlockPath(nBlock);
    if (!platform::PathExists(path.GetString())) {
        if (m_bWrite)
            m_setUnlogged.insert(nBlock);
        return nullptr;
    }
    BlockPtr pBlock = m_bWrite ? std::make_shared<CFileBlock>(path.GetString(), &m_hTarget,
                                                              m_nInitialSize, nBlock)
                               : std::make_shared<CFileBlock>(path.GetString());
    m_mapBlocks[nBlock] = pBlock;
    return pBlock.get();
}

CFileBlock* CLoggedFile::WritableBlock(std::uint64_t nBlock)
{
    const auto it = m_mapBlocks.find(nBlock);
    if (it != m_mapBlocks.end())
        return it->second.get();
    MakeLog();
    BlockPtr pBlock = std::make_shared<CFileBlock>(BlockPath(nBlock).GetString(), &m_hTarget,
                                                   m_nInitialSize, nBlock);
    m_mapBlocks[nBlock] = pBlock;
    m_setUnlogged.erase(nBlock);
    return pBlock.get();
}

void CLoggedFile::ReadTarget(std::uint64_t nPosition, void* pBuffer, std::uint32_t cb)
{
    // Past the target's initial end there is nothing to read until the apply step
    // has written the new length; the range is checked before anything is read.
    if (nPosition > m_nInitialSize || m_nInitialSize - nPosition < cb)
        ThrowFault();
    std::uint32_t cbRead = 0;
    if (m_hTarget.Seek(static_cast<std::int64_t>(nPosition), platform::kFileBegin, nullptr) !=
            platform::kFileOk ||
        m_hTarget.Read(pBuffer, cb, &cbRead) != platform::kFileOk || cbRead != cb)
        ThrowFault();
}

std::uint32_t CLoggedFile::Read(void* pBuffer, std::uint32_t cbCount)
{
    if (m_nPosition >= m_nLogicalSize)
        return 0;
    if (m_nLogicalSize - m_nPosition < cbCount)
        cbCount = static_cast<std::uint32_t>(m_nLogicalSize - m_nPosition);
    unsigned char* pOut = static_cast<unsigned char*>(pBuffer);
    std::uint32_t cbDone = 0;
    while (cbDone < cbCount) {
        const std::uint64_t nBlock = m_nPosition / kBlockSize;
        const std::uint32_t nOffset = static_cast<std::uint32_t>(m_nPosition % kBlockSize);
        const std::uint32_t cbPiece = std::min(cbCount - cbDone, kBlockSize - nOffset);
        CFileBlock* pBlock = FindBlock(nBlock);
        if (pBlock != nullptr)
            std::memcpy(pOut + cbDone, pBlock->Data() + nOffset, cbPiece);
        else
            ReadTarget(m_nPosition, pOut + cbDone, cbPiece);
        m_nPosition += cbPiece;
        cbDone += cbPiece;
    }
    return cbDone;
}

bool CLoggedFile::IsUnchangedWrite(const unsigned char* pIn, std::uint32_t cbCount)
{
    // Only bytes the target holds already, and no wider than a block: a header
    // written back as it was is the common case.
    if (cbCount == 0 || cbCount > kBlockSize || m_nPosition > m_nInitialSize ||
        m_nInitialSize - m_nPosition < cbCount)
        return false;
    std::vector<unsigned char> vTarget(cbCount);
    ReadTarget(m_nPosition, vTarget.data(), cbCount);
    return std::memcmp(vTarget.data(), pIn, cbCount) == 0;
}

std::uint32_t CLoggedFile::Write(const void* pBuffer, std::uint32_t cbCount)
{
    if (!m_bWrite || m_bReadOnlyView)
        ThrowFault();
    // A write that fails part way (a block that cannot be set up: its file cannot
    // be made, the target cannot be read, no memory) loses a change, even for a
    // caller that goes on after the exception: the log is incomplete.
    try {
        return WriteBlocks(static_cast<const unsigned char*>(pBuffer), cbCount);
    } catch (...) {
        if (m_pbFailed != nullptr)
            *m_pbFailed = true;
        throw;
    }
}

std::uint32_t CLoggedFile::WriteBlocks(const unsigned char* pIn, std::uint32_t cbCount)
{
    if (m_fnMakeLog && IsUnchangedWrite(pIn, cbCount)) {
        m_nPosition += cbCount;
        return cbCount;
    }
    std::uint32_t cbDone = 0;
    do {
        const std::uint64_t nBlock = m_nPosition / kBlockSize;
        const std::uint32_t nOffset = static_cast<std::uint32_t>(m_nPosition % kBlockSize);
        const std::uint32_t cbPiece = std::min(cbCount - cbDone, kBlockSize - nOffset);
        CFileBlock* pBlock = WritableBlock(nBlock);
        if (cbPiece > 0) {
            std::memcpy(pBlock->Data() + nOffset, pIn + cbDone, cbPiece);
            pBlock->MarkChanged();
        }
        m_nPosition += cbPiece;
        if (m_nPosition > m_nLogicalSize)
            m_nLogicalSize = m_nPosition;
        cbDone += cbPiece;
    } while (cbDone < cbCount);
    return cbDone;
}

std::uint64_t CLoggedFile::Seek(std::int64_t nOffset, int nOrigin)
{
    switch (nOrigin) {
    case 0:
        m_nPosition = static_cast<std::uint64_t>(nOffset);
        break;
    case 1:
        m_nPosition += static_cast<std::uint64_t>(nOffset);
        break;
    case 2:
        m_nPosition = m_nLogicalSize + static_cast<std::uint64_t>(nOffset);
        break;
    default:
        break;
    }
    return m_nPosition;
}

int CLoggedFile::SetEnd()
{
    if (!m_bWrite || m_bReadOnlyView)
        ThrowFault();
    if (m_nPosition != m_nLogicalSize)
        MakeLog();
    m_nLogicalSize = m_nPosition;
    return 1;
}

}  // namespace velk
