#include "platform/dir_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "platform/posix/native_text.h"

namespace platform {

CDirWatch& CDirWatch::operator=(CDirWatch&& other) noexcept
{
    if (this != &other) {
        Close();
        m_hNative = other.m_hNative;
        m_nWatch = other.m_nWatch;
        other.m_hNative = -1;
        other.m_nWatch = -1;
    }
    return *this;
}

bool CDirWatch::Start(const char* szDir)
{
    Close();
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return false;
    const std::string dir = posix::ToNativePath(szDir);
    const int wd = inotify_add_watch(
        fd, dir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
    if (wd < 0) {
        close(fd);
        return false;
    }
    m_hNative = fd;
    m_nWatch = wd;
    return true;
}

int CDirWatch::Wait(unsigned nTimeoutMs)
{
    if (m_hNative < 0)
        return -1;
    pollfd p = {static_cast<int>(m_hNative), POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(nTimeoutMs));
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

bool CDirWatch::Rearm()
{
    if (m_hNative < 0)
        return false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(static_cast<int>(m_hNative), buffer, sizeof(buffer));
        if (n > 0)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void CDirWatch::Close()
{
    if (m_hNative >= 0)
        close(static_cast<int>(m_hNative));
    m_hNative = -1;
    m_nWatch = -1;
}

}  // namespace platform
