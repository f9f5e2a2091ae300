#include "platform/dir_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "platform/posix/native_text.h"

namespace platform {

CWatchStop::CWatchStop()
{
    m_hNative = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CWatchStop::~CWatchStop()
{
    if (m_hNative != -1)
        close(static_cast<int>(m_hNative));
}

void CWatchStop::Raise()
{
    if (m_hNative == -1)
        return;
    const std::uint64_t nOne = 1;
    while (write(static_cast<int>(m_hNative), &nOne, sizeof(nOne)) < 0 && errno == EINTR) {
    }
}

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

int CDirWatch::Wait(unsigned nTimeoutMs, const CWatchStop* pStop)
{
    if (m_hNative < 0)
        return -1;
    // The stop's counter is never read, so once raised it stays readable.
    pollfd p[2] = {{static_cast<int>(m_hNative), POLLIN, 0}, {-1, POLLIN, 0}};
    if (pStop != nullptr && pStop->IsValid())
        p[1].fd = static_cast<int>(pStop->m_hNative);
    const int r = poll(p, 2, static_cast<int>(nTimeoutMs));
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    return (p[0].revents & POLLIN) != 0 ? 1 : 0;
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
