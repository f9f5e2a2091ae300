#include "adbtool/open_database.h"

#include <chrono>

#include "adbtool/adb_arguments.h"
#include "adbtool/adb_output.h"
#include "engine/base/fault.h"
#include "engine/path/path.h"
#include "platform/system_error.h"

using velk::CADB;

namespace adbtool {

bool COpenDatabase::Open(const std::string& strArgument, int nWrite, std::uint32_t nTimeout)
{
    const std::string strDirectory = DatabaseDirectory(strArgument);
    const std::string strShown = Shown(strDirectory);
    g_strShownDirectory = strShown;
    m_strDirectory = strDirectory;
    if (!velk::ReadDatabaseInfo(strDirectory.c_str(), &m_info)) {
        Error(strShown + ": not a database directory");
        return false;
    }
    const int nResult = m_db.Associate(strDirectory.c_str(), m_info.abPathOrder, nullptr);
    if (nResult == CADB::kNotDatabase) {
        Error(strShown + ": not a database directory");
        return false;
    }
    if (nResult != CADB::kOk) {
        Error(strShown + ": cannot attach to the database (its transaction store is "
              "missing or cannot be recovered)");
        return false;
    }
    platform::ForgetSystemError();
    const auto start = std::chrono::steady_clock::now();
    if (m_db.Open(nWrite, nTimeout) == 0) {
        // A refusal before the time is up is no wait for another program.
        const std::string strReason = platform::LastSystemError();
        if (!strReason.empty() && std::chrono::steady_clock::now() - start <
                                      std::chrono::milliseconds(nTimeout)) {
            Error(strShown + ": cannot be opened for " +
                  (nWrite ? "writing: " : "reading: ") + strReason);
            return false;
        }
        Error(strShown + ": access not granted within " + std::to_string(nTimeout) +
              " ms; another program is using the database (try again later, or give "
              "--timeout more time)");
        return false;
    }
    return true;
}

int CreateWith(const std::string& strArgument, const velk::SDatabaseInfo& info)
{
    const std::string strDirectory = DatabaseDirectory(strArgument);
    g_strShownDirectory = Shown(strDirectory);
    if (velk::CPath(strDirectory.c_str()).IsEmpty()) {
        Error(strArgument + ": not a usable directory name (no empty parts, no device "
              "names such as NUL or CON, none of the characters <>:\"|?*)");
        return kExitFailed;
    }
    platform::ForgetSystemError();
    int nResult = CADB::kFailed;
    try {
        nResult = velk::CreateDatabase(strDirectory.c_str(), info);
    } catch (const velk::CFault&) {
        const std::string strReason = platform::LastSystemError();
        Error(g_strShownDirectory + ": the database could not be made: " +
              (strReason.empty() ? "a file could not be written" : strReason) +
              "; what was made stays and may be removed");
        return kExitFailed;
    }
    if (nResult == CADB::kExists) {
        Error(Shown(strDirectory) + ": exists and is not empty");
        return kExitFailed;
    }
    const std::string strReason = platform::LastSystemError();
    if (nResult != CADB::kOk && !strReason.empty()) {
        Error(g_strShownDirectory + ": the database could not be made: " + strReason);
        return kExitFailed;
    }
    if (nResult != CADB::kOk) {
        Error("a parameter is out of range: the name size must be 2 or more, parameter 1 "
              "1 or more, and no size above " +
              std::to_string(velk::kMaxDatabaseFieldSize));
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace adbtool
