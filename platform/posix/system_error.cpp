#include "platform/system_error.h"

#include <errno.h>
#include <string.h>

#include "platform/posix/native_text.h"
#include "platform/posix/os_error.h"

namespace platform {
namespace {

thread_local int t_nLastError = 0;

}  // namespace

void RememberSystemError(int nError)
{
    // A missing parent directory is an answer to a probe; a parent that is a file
    // is not.
    if (nError != 0 && nError != ENOENT && nError != EEXIST && nError != EAGAIN &&
        nError != EINTR)
        t_nLastError = nError;
}

std::string LastSystemError()
{
    if (t_nLastError == 0)
        return std::string();
    char sz[256];
    return posix::Utf8ToAnsi(strerror_r(t_nLastError, sz, sizeof(sz)));
}

void ForgetSystemError()
{
    t_nLastError = 0;
}

}  // namespace platform
