// A file-system context kept in memory, for tests that run many thousands of tree
// operations or damage files byte by byte. It follows the contract of
// CFileSystem::IContext; sharing between openers is not modelled.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/fault.h"
#include "engine/txstore/file_system.h"

namespace velk {
namespace testing {

class CMemoryContext : public CFileSystem::IContext {
public:
    typedef std::vector<unsigned char> Bytes;

    explicit CMemoryContext(int nWritable = 1)
        : m_nWritable(nWritable), m_pFiles(std::make_shared<FileMap>()),
          m_pDirectories(std::make_shared<std::map<std::string, bool>>()) {}
    // A second context on the same files, with its own writable flag.
    CMemoryContext(const CMemoryContext& other, int nWritable)
        : m_nWritable(nWritable), m_pFiles(other.m_pFiles), m_pDirectories(other.m_pDirectories) {}

    int IsWritable() override { return m_nWritable; }
    void SetWritable(int nWritable) { m_nWritable = nWritable; }

    CFileSystem::IFile* OpenFile(const char* szPath, int nWrite) override
    {
        auto it = m_pFiles->find(szPath);
        if (it == m_pFiles->end())
            ThrowFault();
        ++m_nOpenFiles;
        return new CFile(this, it->second, nWrite != 0);
    }
    void CloseFile(CFileSystem::IFile* pFile) override
    {
        --m_nOpenFiles;
        DestroyObject(pFile);
    }
    int CreateFile(const char* szPath) override
    {
        if (!m_nWritable)
            ThrowFault();
        if (m_pFiles->count(szPath) || m_pDirectories->count(szPath))
            return 5;
        (*m_pFiles)[szPath] = std::make_shared<Bytes>();
        return 0;
    }
    int DeleteFile(const char* szPath) override
    {
        if (!m_nWritable)
            ThrowFault();
        return m_pFiles->erase(szPath) ? 1 : -1;
    }
    int CreateDirectory(const char* szPath) override
    {
        if (!m_nWritable)
            ThrowFault();
        if (m_pFiles->count(szPath) || m_pDirectories->count(szPath))
            return 5;
        (*m_pDirectories)[szPath] = true;
        return 0;
    }
    int RemoveDirectory(const char* szPath) override
    {
        if (!m_nWritable)
            ThrowFault();
        return m_pDirectories->erase(szPath) ? 1 : -1;
    }

    // The bytes of a file; null when it does not exist.
    Bytes* GetBytes(const std::string& strPath)
    {
        auto it = m_pFiles->find(strPath);
        return it == m_pFiles->end() ? nullptr : it->second.get();
    }
    int GetOpenFileCount() const { return m_nOpenFiles; }
    // Makes the nth write from now (1 = the next) come back short, once.
    void FailWriteAfter(int nWrites) { m_nWritesToFailure = nWrites; }

private:
    class CFile : public CFileSystem::IFile {
    public:
        CFile(CMemoryContext* pOwner, std::shared_ptr<Bytes> pBytes, bool bWrite)
            : m_pOwner(pOwner), m_pBytes(std::move(pBytes)), m_bWrite(bWrite) {}
        std::uint32_t Read(void* pBuffer, std::uint32_t cbCount) override
        {
            if (m_nPosition >= m_pBytes->size())
                return 0;
            std::uint64_t cbAvailable = m_pBytes->size() - m_nPosition;
            std::uint32_t cb = cbCount < cbAvailable ? cbCount : static_cast<std::uint32_t>(cbAvailable);
            std::memcpy(pBuffer, m_pBytes->data() + m_nPosition, cb);
            m_nPosition += cb;
            return cb;
        }
        std::uint32_t Write(const void* pBuffer, std::uint32_t cbCount) override
        {
            if (!m_bWrite)
                return 0;
            if (m_pOwner->m_nWritesToFailure > 0 && --m_pOwner->m_nWritesToFailure == 0)
                return cbCount / 2;
            if (m_nPosition + cbCount > m_pBytes->size())
                m_pBytes->resize(m_nPosition + cbCount);
            if (cbCount != 0)
                std::memcpy(m_pBytes->data() + m_nPosition, pBuffer, cbCount);
            m_nPosition += cbCount;
            return cbCount;
        }
        std::uint64_t GetSize() override { return m_pBytes->size(); }
        std::uint64_t Seek(std::int64_t nOffset, int nOrigin) override
        {
            std::int64_t nBase = nOrigin == 0 ? 0
                                 : nOrigin == 1 ? static_cast<std::int64_t>(m_nPosition)
                                                : static_cast<std::int64_t>(m_pBytes->size());
            if (nOrigin < 0 || nOrigin > 2 || nBase + nOffset < 0)
                ThrowFault();
            m_nPosition = static_cast<std::uint64_t>(nBase + nOffset);
            return m_nPosition;
        }
        std::uint64_t Tell() override { return m_nPosition; }
        int SetEnd() override
        {
            if (!m_bWrite)
                ThrowFault();
            m_pBytes->resize(m_nPosition);
            return 1;
        }

    private:
        CMemoryContext* m_pOwner;
        std::shared_ptr<Bytes> m_pBytes;
        bool m_bWrite;
        std::uint64_t m_nPosition = 0;
    };

    int m_nWritable;
    int m_nOpenFiles = 0;
    int m_nWritesToFailure = 0;
    typedef std::map<std::string, std::shared_ptr<Bytes>> FileMap;
    std::shared_ptr<FileMap> m_pFiles;
    std::shared_ptr<std::map<std::string, bool>> m_pDirectories;
};

}  // namespace testing
}  // namespace velk
