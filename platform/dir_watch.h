// Change notifications on one directory: files and directories created, removed
// or renamed in it (not in its subtree). FindFirstChangeNotificationA on Windows,
// inotify on POSIX.
#pragma once

#include <cstdint>

namespace platform {

// A signal that cuts waits short: once raised, every CDirWatch::Wait given it
// returns at once. Another thread raises it (a manual-reset event on Windows, an
// eventfd on POSIX). Not copyable; outlives the waits that use it.
class CWatchStop {
public:
    CWatchStop();
    ~CWatchStop();
    CWatchStop(const CWatchStop&) = delete;
    CWatchStop& operator=(const CWatchStop&) = delete;

    // False when the signal could not be made; Wait then ignores it.
    bool IsValid() const { return m_hNative != -1; }
    void Raise();

private:
    friend class CDirWatch;
    std::intptr_t m_hNative = -1;
};

// One watched directory. Movable, not copyable; closes on destruction. Used by
// one thread at a time.
class CDirWatch {
public:
    CDirWatch() {}
    ~CDirWatch() { Close(); }
    CDirWatch(CDirWatch&& other) noexcept { *this = static_cast<CDirWatch&&>(other); }
    CDirWatch& operator=(CDirWatch&& other) noexcept;
    CDirWatch(const CDirWatch&) = delete;
    CDirWatch& operator=(const CDirWatch&) = delete;

    // Starts watching szDir. Returns true on success.
    bool Start(const char* szDir);

    // Waits up to nTimeoutMs for a change since the watch started or was last
    // re-armed, or until pStop (may be null) is raised. Returns 1 when a change
    // happened, 0 when the time ran out or the stop is raised, -1 on error.
    int Wait(unsigned nTimeoutMs, const CWatchStop* pStop = nullptr);

    // Forgets the changes seen so far; the next Wait waits for a new one.
    bool Rearm();

    void Close();

private:
    std::intptr_t m_hNative = -1;
    std::intptr_t m_nWatch = -1;
};

}  // namespace platform
