#include "platform/system_error.h"

#include <windows.h>

#include "platform/win32/os_error.h"

namespace platform {
namespace {

thread_local unsigned long t_dwLastError = 0;

}  // namespace

void RememberSystemError(unsigned long dwError)
{
    if (dwError != ERROR_SUCCESS && dwError != ERROR_FILE_NOT_FOUND &&
        dwError != ERROR_PATH_NOT_FOUND && dwError != ERROR_FILE_EXISTS &&
        dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_SHARING_VIOLATION &&
        dwError != ERROR_LOCK_VIOLATION && dwError != ERROR_NO_MORE_FILES &&
        dwError != WAIT_TIMEOUT)
        t_dwLastError = dwError;
}

std::string LastSystemError()
{
    if (t_dwLastError == 0)
        return std::string();
    char sz[512];
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, t_dwLastError, 0, sz, sizeof(sz), nullptr);
    // The system's text ends in a line break and often a full stop.
    while (cch > 0 && (sz[cch - 1] == '\r' || sz[cch - 1] == '\n' || sz[cch - 1] == ' ' ||
                       sz[cch - 1] == '.'))
        --cch;
    if (cch == 0)
        return "system error " + std::to_string(t_dwLastError);
    return std::string(sz, cch);
}

void ForgetSystemError()
{
    t_dwLastError = 0;
}

}  // namespace platform
