// Test support for the database tests: a scratch database made through
// CreateDatabase, whole-file access, and direct access to a store outside any
// transaction for planting damage.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/database/adb.h"
#include "engine/database/adb_tools.h"
#include "platform/file.h"
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

inline int AssociateDefault(CADB* pDb, const std::string& strDir)
{
    return pDb->Associate(strDir.c_str(), kGuidNoCaseAscending, nullptr);
}

}  // namespace testing
}  // namespace velk
