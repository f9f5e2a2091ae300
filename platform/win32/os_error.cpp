#include "platform/win32/os_error.h"

#include <windows.h>

namespace platform {

FileResult TranslateError(unsigned long dwError)
{
    RememberSystemError(dwError);
    switch (dwError) {
    case ERROR_SUCCESS:
        return kFileOk;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NOT_READY:
        return kFileNotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return kFileExists;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_NOT_OWNER:  // a mutex released by a thread that does not own it
        return kFileAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return kFileSharingViolation;
    case ERROR_DIR_NOT_EMPTY:
        return kFileDirNotEmpty;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return kFileDiskFull;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
        return kFileBadName;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
    case ERROR_TOO_MANY_POSTS:  // a count past a semaphore's maximum
        return kFileInvalidArgument;
    case ERROR_NOT_SAME_DEVICE:
        return kFileNotSameDevice;
    default:
        return kFileIoError;
    }
}

}  // namespace platform
