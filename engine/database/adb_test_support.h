// Test support for the database tests: a scratch database made through
// CreateDatabase, whole-file access, and direct access to a store outside any
// transaction for planting damage.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/bptree/bptree.h"
#include "engine/base/byte_order.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb.h"
#include "engine/database/adb_tools.h"
#include "engine/txstore/fs_context.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/test_support.h"

namespace velk {
namespace testing {

// Whole-file access, shared by every module's tests.
inline std::string ReadWhole(const std::string& strPath)
{
    return platform::testing::ReadFileBytes(strPath);
}

inline void WriteWhole(const std::string& strPath, const std::string& strData)
{
    platform::testing::WriteFileBytes(strPath, strData);
}

struct SRun {
    int nCode;
    std::string strOutput;  // as ANSI text
};

// Runs adbtool with vArgs (engine form) and returns its exit code and output. It
// runs in strWorkingDirectory when given, else in this process's directory, with
// *pInput as its standard input when given.
inline SRun Tool(const std::vector<std::string>& vArgs,
                 const std::string& strWorkingDirectory = std::string(),
                 const std::string* pInput = nullptr)
{
    platform::CChildProcess tool;
    tool.SetWorkingDirectory(strWorkingDirectory);
    std::vector<std::string> vAll = {"adbtool"};
    vAll.insert(vAll.end(), vArgs.begin(), vArgs.end());
    SRun run = {-1000, ""};
    if (tool.Start(platform::testing::BinaryDirectory() + "adbtool" + platform::kExecutableSuffix,
                   vAll, pInput) != 0 ||
        !tool.Wait(120000, &run.nCode))
        return run;
    run.strOutput = tool.Output();
    return run;
}

// What adbtool prints for an ANSI text.
inline std::string Printed(const std::string& strAnsi)
{
    return platform::ConsoleEncode(strAnsi);
}

// A new database "db" in a scratch directory.
class CScratchDatabase {
public:
    explicit CScratchDatabase(const SDatabaseInfo& info = SDatabaseInfo())
        : m_strDir(m_scratch.Sub("db"))
    {
        EXPECT_EQ(0, CreateDatabase(m_strDir.c_str(), info));
    }
    const std::string& Dir() const { return m_strDir; }
    std::string Sub(const std::string& strName) const { return m_strDir + "\\" + strName; }
    const std::string& Scratch() const { return m_scratch.Path(); }

private:
    platform::testing::CScratchDir m_scratch;
    std::string m_strDir;
};

// Plants damage in one B+ tree of a closed database (a tree directory such as
// "<db>\\attname_db"), outside any transaction: header fields, leaf chain links
// and child links, with the node layouts taken from the tree's own header.
class CTreeDamage {
public:
    explicit CTreeDamage(const std::string& strTree) : m_strTree(strTree)
    {
        CBPTree tree;
        tree.Open(&m_context, strTree.c_str(), 0, Guid(), nullptr);
        m_nIndexOrder = tree.GetIndexOrder();
        m_nLeafOrder = tree.GetLeafOrder();
        m_cbKey = tree.GetKeySize();
        m_cbValue = tree.GetValueSize();
        m_nCount = tree.GetCount();
        m_nRoot = tree.GetRoot();
        m_nHeight = tree.GetHeight();
        if (m_nCount != 0) {
            CBPTree::Cursor cursor;
            tree.First(&cursor);
            do {
                if (m_vLeaves.empty() || m_vLeaves.back() != cursor.nLeaf)
                    m_vLeaves.push_back(cursor.nLeaf);
            } while (tree.Next(&cursor, 1, 0) == CBPTree::kOk);
        }
        tree.Close();
    }

    std::uint32_t Count() const { return m_nCount; }
    std::uint32_t Root() const { return m_nRoot; }
    std::uint32_t Height() const { return m_nHeight; }
    // The leaves in chain order.
    const std::vector<std::uint32_t>& Leaves() const { return m_vLeaves; }

    // Header fields: 8 d, 12 L, 44 count, 48 height, 52 root, 56 first leaf.
    void SetHeader(std::size_t nOffset, std::uint32_t nValue)
    {
        const std::string strPath = m_strTree + "\\bptinfo";
        std::string s = platform::testing::ReadFileBytes(strPath);
        unsigned char ab[4];
        PutU32LE(ab, nValue);
        s.replace(nOffset, 4, reinterpret_cast<const char*>(ab), 4);
        platform::testing::WriteFileBytes(strPath, s);
    }
    void ChangeLeaf(std::uint32_t nId, const std::function<void(CLeafNode&)>& change)
    {
        Change("leaf", nId, [&](void* p) {
            CLeafNode leaf(nullptr, m_cbKey, m_cbValue, m_nLeafOrder, p);
            change(leaf);
        });
    }
    void ChangeIndex(std::uint32_t nId, const std::function<void(CIndexNode&)>& change)
    {
        Change("index", nId, [&](void* p) {
            CIndexNode node(nullptr, m_cbKey, m_nIndexOrder, p);
            change(node);
        });
    }

private:
    // Any built-in order opens the tree: the caller's function replaces it.
    const unsigned char* Guid()
    {
        std::string s = platform::testing::ReadFileBytes(m_strTree + "\\bptinfo");
        std::memcpy(m_abGuid, s.data() + 28, 16);
        return m_abGuid;
    }
    void Change(const char* szFile, std::uint32_t nId, const std::function<void(void*)>& change)
    {
        CRecordFile file;
        file.Open(&m_context, (m_strTree + "\\" + szFile).c_str(), 1);
        void* p = file.Get(nId, 1);
        change(p);
        file.Release(p);
        file.Close();
    }

    CFSContext m_context{1, DestroyObject};
    std::string m_strTree;
    unsigned char m_abGuid[16] = {};
    std::uint32_t m_nIndexOrder = 0, m_nLeafOrder = 0, m_cbKey = 0, m_cbValue = 0;
    std::uint32_t m_nCount = 0, m_nRoot = 0, m_nHeight = 0;
    std::vector<std::uint32_t> m_vLeaves;
};

inline int AssociateDefault(CADB* pDb, const std::string& strDir)
{
    return pDb->Associate(strDir.c_str(), kGuidNoCaseAscending, nullptr);
}

}  // namespace testing
}  // namespace velk
