// The database a command works on: attached and opened for the length of the
// command, or made new. Both print why not, naming the directory as the user
// typed it.
#pragma once

#include <cstdint>
#include <string>

#include "engine/database/adb.h"
#include "engine/database/adb_tools.h"

namespace adbtool {

// A database attached and open for the length of one command; rolled back unless
// Commit is called.
class COpenDatabase {
public:
    ~COpenDatabase()
    {
        try {
            m_db.Close(0);
        } catch (...) {
        }
    }
    // False after printing why it cannot be opened.
    bool Open(const std::string& strArgument, int nWrite, std::uint32_t nTimeout);
    void Commit() { m_db.Close(1); }
    velk::CADB& Db() { return m_db; }
    // After a successful Open: the directory in the engine's form, and its
    // parameters.
    const std::string& Directory() const { return m_strDirectory; }
    const velk::SDatabaseInfo& Info() const { return m_info; }

private:
    velk::CADB m_db;
    std::string m_strDirectory;
    velk::SDatabaseInfo m_info;
};

// Makes a new database in the directory strArgument; prints why not. Returns an
// exit code.
int CreateWith(const std::string& strArgument, const velk::SDatabaseInfo& info);

}  // namespace adbtool
