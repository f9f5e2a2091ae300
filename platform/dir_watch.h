// Change notifications on one directory: files and directories created, removed
// or renamed in it (not in its subtree). FindFirstChangeNotificationA on Windows,
// inotify on POSIX.
#pragma once

#include <cstdint>

namespace platform {

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
    // re-armed. Returns 1 when one happened, 0 when the time ran out, -1 on error.
    int Wait(unsigned nTimeoutMs);

    // Forgets the changes seen so far; the next Wait waits for a new one.
    bool Rearm();

    void Close();

private:
    std::intptr_t m_hNative = -1;
    std::intptr_t m_nWatch = -1;
};

}  // namespace platform
