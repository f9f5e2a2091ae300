// Test support for the record-file and tree tests: a store that is either the
// in-memory context (fast, for long runs and byte damage) or the real plain
// context on a scratch directory, and helpers that read and write whole files
// through any context.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/bptree/memory_context_test.h"
#include "engine/txstore/fs_context.h"
#include "platform/test_support.h"

namespace velk {
namespace testing {

typedef std::vector<unsigned char> Bytes;

inline Bytes ReadAll(CFileSystem::IContext* pContext, const std::string& strPath)
{
    CFileSystem::IFile* pFile = pContext->OpenFile(strPath.c_str(), 0);
    Bytes v(static_cast<std::size_t>(pFile->GetSize()));
    std::uint32_t cb = v.empty() ? 0 : pFile->Read(v.data(), static_cast<std::uint32_t>(v.size()));
    pContext->CloseFile(pFile);
    v.resize(cb);
    return v;
}

// Replaces the file's bytes, creating it when needed.
inline void WriteAll(CFileSystem::IContext* pContext, const std::string& strPath, const Bytes& v)
{
    pContext->CreateFile(strPath.c_str());
    CFileSystem::IFile* pFile = pContext->OpenFile(strPath.c_str(), 1);
    if (!v.empty())
        pFile->Write(v.data(), static_cast<std::uint32_t>(v.size()));
    pFile->SetEnd();
    pContext->CloseFile(pFile);
}

enum StoreKind { kMemoryStore, kDiskStore };

inline const char* StoreName(StoreKind kind)
{
    return kind == kMemoryStore ? "Memory" : "Disk";
}

class CTestStore {
public:
    explicit CTestStore(StoreKind kind) : m_kind(kind), m_memoryReadOnly(m_memory, 0)
    {
        if (kind == kDiskStore) {
            m_pScratch.reset(new platform::testing::CScratchDir);
            m_pDisk.reset(CreateFSContext(1));
            m_pDiskReadOnly.reset(CreateFSContext(0));
        }
    }
    ~CTestStore()
    {
        m_pDisk.reset();
        m_pDiskReadOnly.reset();
    }

    CFileSystem::IContext* Context()
    {
        return m_kind == kMemoryStore ? static_cast<CFileSystem::IContext*>(&m_memory) : m_pDisk.get();
    }
    // A context on the same files that may not change them.
    CFileSystem::IContext* ReadOnlyContext()
    {
        return m_kind == kDiskStore ? static_cast<CFileSystem::IContext*>(m_pDiskReadOnly.get())
                                    : &m_memoryReadOnly;
    }
    std::string Path(const std::string& strName) const
    {
        return m_kind == kMemoryStore ? "Z:\\mem\\" + strName : m_pScratch->Sub(strName);
    }
    Bytes Read(const std::string& strName) { return ReadAll(Context(), Path(strName)); }
    void Write(const std::string& strName, const Bytes& v) { WriteAll(Context(), Path(strName), v); }
    CMemoryContext* Memory() { return m_kind == kMemoryStore ? &m_memory : nullptr; }

private:
    struct SContextDeleter {
        void operator()(CFileSystem::IContext* p) const { DestroyObject(p); }
    };

    StoreKind m_kind;
    CMemoryContext m_memory;
    CMemoryContext m_memoryReadOnly;
    std::unique_ptr<platform::testing::CScratchDir> m_pScratch;
    std::unique_ptr<CFileSystem::IContext, SContextDeleter> m_pDisk;
    std::unique_ptr<CFileSystem::IContext, SContextDeleter> m_pDiskReadOnly;
};

}  // namespace testing
}  // namespace velk

#include "engine/bptree/bptree.h"
#include "engine/bptree/bptree_check.h"

namespace velk {
namespace testing {

// The key under a cursor.
inline std::string KeyAt(CBPTree& tree, const CBPTree::Cursor& cursor)
{
    std::string str(tree.KeyLength(&cursor), '\0');
    tree.GetKey(&cursor, str.empty() ? nullptr : &str[0], static_cast<std::uint32_t>(str.size()));
    return str;
}

// Every key in cursor order.
inline std::vector<std::string> AllKeys(CBPTree& tree)
{
    std::vector<std::string> v;
    if (tree.GetCount() == 0)
        return v;
    CBPTree::Cursor cursor;
    tree.First(&cursor);
    do
        v.push_back(KeyAt(tree, cursor));
    while (tree.Next(&cursor, 1, 0) == CBPTree::kOk);
    return v;
}

// The problems that the integrity check reports, joined for a test message.
inline std::string Problems(CBPTree& tree)
{
    std::vector<std::string> v;
    CheckTree(tree, &v);
    std::string str;
    for (const std::string& strLine : v)
        str += strLine + "\n";
    return str;
}

inline Bytes U32Bytes(std::initializer_list<std::uint32_t> values)
{
    Bytes v;
    for (std::uint32_t n : values) {
        unsigned char ab[4];
        PutU32LE(ab, n);
        v.insert(v.end(), ab, ab + 4);
    }
    return v;
}

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes& part : parts)
        v.insert(v.end(), part.begin(), part.end());
    return v;
}

}  // namespace testing
}  // namespace velk
