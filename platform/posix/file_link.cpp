#include "platform/file_link.h"

#include <errno.h>
#include <unistd.h>

#include <string>

#include "platform/posix/native_text.h"

namespace platform {

FileResult LinkCreate(const char* szLink, const char* szTarget, LinkKind kind)
{
    if (szLink == nullptr || szTarget == nullptr || kind == kLinkJunction)
        return kFileInvalidArgument;
    const std::string strLink = posix::ToNativePath(szLink);
    const std::string strTarget = posix::ToNativePath(szTarget);
    if (symlink(strTarget.c_str(), strLink.c_str()) != 0)
        return errno == EEXIST ? kFileExists : kFileIoError;
    return kFileOk;
}

FileResult LinkDelete(const char* szLink)
{
    return LinkRemove(szLink);
}

}  // namespace platform
