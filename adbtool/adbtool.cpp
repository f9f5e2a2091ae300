#include "adbtool/adbtool.h"

#include <new>

#include "adbtool/adb_command_line.h"
#include "adbtool/adb_output.h"
#include "platform/system_error.h"

using adbtool::Error;
using adbtool::g_strShownDirectory;

int AdbToolRefuseArgument(size_t nArgument, size_t nPosition, const std::string& strCharacter)
{
    Error("argument " + std::to_string(nArgument) + ", character " + std::to_string(nPosition) +
          " (" + strCharacter +
          ") cannot be kept exactly in the system's code page, in which the database "
          "keeps names and paths; nothing was done");
    return adbtool::kExitUsage;
}

int AdbToolMain(const std::vector<std::string>& vArgs)
{
    try {
        return adbtool::RunCommandLine(vArgs);
    } catch (const std::bad_alloc&) {
        Error("out of memory; nothing was changed");
    } catch (...) {
        const std::string strReason = platform::LastSystemError();
        const std::string strDirectory =
            g_strShownDirectory.empty() ? "the database" : g_strShownDirectory;
        if (!strReason.empty())
            Error(strDirectory + ": could not be read or written: " + strReason +
                  "; nothing was changed");
        else
            Error(strDirectory + ": the database is damaged; nothing was changed. adbtool "
                  "check " + strDirectory + " lists the problems, and adbtool recover " +
                  strDirectory + " NEWDIR salvages it");
    }
    return adbtool::kExitFailed;
}
