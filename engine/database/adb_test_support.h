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

inline std::string ReadWhole(const std::string& strPath)
{
    platform::CFileHandle file;
    if (platform::FileOpen(strPath.c_str(), platform::kFileAccessRead,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::kFileOpenExisting, &file) != platform::kFileOk)
        return "<missing>";
    std::uint64_t cb = 0;
    file.GetSize(&cb);
    std::string s(static_cast<size_t>(cb), '\0');
    std::uint32_t cbRead = 0;
    if (cb > 0)
        file.Read(&s[0], static_cast<std::uint32_t>(cb), &cbRead);
    return s;
}

inline void WriteWhole(const std::string& strPath, const std::string& strData)
{
    platform::CFileHandle file;
    ASSERT_EQ(platform::kFileOk, platform::FileOpen(strPath.c_str(), platform::kFileAccessWrite, 0,
                                                     platform::kFileCreateAlways, &file));
    std::uint32_t cb = 0;
    if (!strData.empty()) {
        ASSERT_EQ(platform::kFileOk,
                  file.Write(strData.data(), static_cast<std::uint32_t>(strData.size()), &cb));
    }
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
