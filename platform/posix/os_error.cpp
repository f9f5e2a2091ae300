#include "platform/posix/os_error.h"

#include <errno.h>

namespace platform {

FileResult TranslateError(int nError)
{
    RememberSystemError(nError);
    switch (nError) {
    case 0:
        return kFileOk;
    case ENOENT:
    case ENOTDIR:
        return kFileNotFound;
    case EEXIST:
        return kFileExists;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return kFileAccessDenied;
    case ENOTEMPTY:
        return kFileDirNotEmpty;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return kFileDiskFull;
    case ENAMETOOLONG:
    case EILSEQ:
        return kFileBadName;
    case EINVAL:
    case EBADF:      // a handle that is not open
    case EOVERFLOW:  // a count past a semaphore's maximum
        return kFileInvalidArgument;
    case EXDEV:
        return kFileNotSameDevice;
    default:
        return kFileIoError;
    }
}

}  // namespace platform
