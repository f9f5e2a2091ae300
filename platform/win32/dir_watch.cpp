#include <windows.h>

#include "platform/dir_watch.h"

namespace platform {

CWatchStop::CWatchStop()
{
    const HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (h != nullptr)
        m_hNative = reinterpret_cast<std::intptr_t>(h);
}

CWatchStop::~CWatchStop()
{
    if (m_hNative != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_hNative));
}

void CWatchStop::Raise()
{
    if (m_hNative != -1)
        SetEvent(reinterpret_cast<HANDLE>(m_hNative));
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
    HANDLE h = FindFirstChangeNotificationA(
        szDir, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    m_hNative = reinterpret_cast<std::intptr_t>(h);
    return true;
}

int CDirWatch::Wait(unsigned nTimeoutMs, const CWatchStop* pStop)
{
    if (m_hNative == -1)
        return -1;
    HANDLE ah[2] = {reinterpret_cast<HANDLE>(m_hNative), nullptr};
    DWORD nHandles = 1;
    if (pStop != nullptr && pStop->IsValid())
        ah[nHandles++] = reinterpret_cast<HANDLE>(pStop->m_hNative);
    const DWORD r = WaitForMultipleObjects(nHandles, ah, FALSE, nTimeoutMs);
    if (r == WAIT_OBJECT_0)
        return 1;
    return r == WAIT_TIMEOUT || r == WAIT_OBJECT_0 + 1 ? 0 : -1;
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
