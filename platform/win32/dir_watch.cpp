#include <windows.h>

#include "platform/dir_watch.h"

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
    HANDLE h = FindFirstChangeNotificationA(
        szDir, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    m_hNative = reinterpret_cast<std::intptr_t>(h);
    return true;
}

int CDirWatch::Wait(unsigned nTimeoutMs)
{
    if (m_hNative == -1)
        return -1;
    const DWORD r = WaitForSingleObject(reinterpret_cast<HANDLE>(m_hNative), nTimeoutMs);
    if (r == WAIT_OBJECT_0)
        return 1;
    return r == WAIT_TIMEOUT ? 0 : -1;
}

bool CDirWatch::Rearm()
{
    return m_hNative != -1 &&
           FindNextChangeNotification(reinterpret_cast<HANDLE>(m_hNative)) != FALSE;
}

void CDirWatch::Close()
{
    if (m_hNative != -1)
        FindCloseChangeNotification(reinterpret_cast<HANDLE>(m_hNative));
    m_hNative = -1;
}

}  // namespace platform
