// Named kernel objects shared between processes: a mutex, a semaphore and a small
// block of shared memory. They behave as Windows' named objects do, because the
// desktop application on Windows meets us through them:
// - Create opens the object when it exists already and says so ("created or
//   already existed"); names are case-sensitive and global to the user's session,
//   and must not contain a backslash; on Windows the kinds share one namespace (a mutex
//   and a semaphore cannot have the same name), so give every object its own name;
// - an object lives exactly while some process holds a handle to it; a handle
//   dies with its process, and the next Create after the last handle starts afresh;
// - a mutex owned by a process that dies is abandoned: the next waiter gets it
//   and is told so.
// Handles are move-only, never inherited by child processes, and closed by their
// destructors. Nothing here throws; results are 0 or a FileResult (platform/file.h),
// translated from the OS error in the same place as the file functions' results.
//
// On Windows these are the real named objects. On POSIX every object is a file in
// a per-user directory, and a handle is an open file holding a shared flock on it;
// see posix/named_object.cpp.
#pragma once

#include <cstdint>

namespace platform {

enum WaitResult {
    kWaitSignaled = 0,   // granted
    kWaitAbandoned = 1,  // a mutex granted whose previous owner died owning it
    kWaitTimedOut = 2,
    kWaitFailed = 3,
};

// A time-out that never runs out.
const std::uint32_t kWaitForever = 0xFFFFFFFFu;

// A named mutex. Ownership is recursive: the owner may wait again and must release
// as often. On POSIX the owner is the handle (one thread at a time among threads
// sharing it), and two handles of one mutex in one process exclude each other as
// two processes would.
class CNamedMutex {
public:
    CNamedMutex();
    ~CNamedMutex();
    CNamedMutex(CNamedMutex&& other) noexcept;
    CNamedMutex& operator=(CNamedMutex&& other) noexcept;
    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;

    // Creates the mutex szName (non-empty), or opens it when it exists. When
    // bInitialOwner is set and the mutex is created, the calling thread owns it;
    // ownership is not granted when it existed. *pbExisted (pbExisted may be null)
    // is set to whether it existed. A handle already open is closed first. Returns
    // 0, or a FileResult with the handle closed.
    int Create(const char* szName, bool bInitialOwner, bool* pbExisted);

    // Waits without limit until the calling thread owns the mutex: kWaitSignaled,
    // kWaitAbandoned (owned, but the previous owner died owning it), or
    // kWaitFailed.
    WaitResult Wait();

    // Gives up one level of ownership. Returns 0, or an error when the calling
    // thread does not own the mutex through this handle.
    int Release();

    // Closes the handle (nothing when closed). A mutex still owned through it is
    // abandoned on POSIX.
    void Close();
    bool IsOpen() const;

    struct Impl;

private:
    Impl* m_pImpl;
};

// A named counting semaphore.
class CNamedSemaphore {
public:
    CNamedSemaphore();
    ~CNamedSemaphore();
    CNamedSemaphore(CNamedSemaphore&& other) noexcept;
    CNamedSemaphore& operator=(CNamedSemaphore&& other) noexcept;
    CNamedSemaphore(const CNamedSemaphore&) = delete;
    CNamedSemaphore& operator=(const CNamedSemaphore&) = delete;

    // Creates the semaphore szName with nInitial units and at most nMaximum
    // (0 < nMaximum <= 0x7FFFFFFF, nInitial <= nMaximum), or opens it when it
    // exists (the counts given are then ignored). *pbExisted as for the mutex.
    // Returns 0 or a FileResult.
    int Create(const char* szName, std::uint32_t nInitial, std::uint32_t nMaximum,
               bool* pbExisted);

    // Takes one unit, waiting up to nTimeoutMs (kWaitForever: no limit; 0: only a
    // try): kWaitSignaled, kWaitTimedOut or kWaitFailed. Safe from any thread.
    WaitResult Wait(std::uint32_t nTimeoutMs);

    // Adds nCount units and wakes waiters. Beyond the maximum it fails and changes
    // nothing. *pnPrevious (may be null) receives the count before. Returns 0 or an
    // error.
    int Release(std::uint32_t nCount, std::uint32_t* pnPrevious);

    void Close();
    bool IsOpen() const;

    struct Impl;

private:
    Impl* m_pImpl;
};

// A named block of shared memory, all zeros when created. Reads and writes copy
// the whole block or a prefix of it; callers serialise them (with a named mutex).
class CNamedSharedMemory {
public:
    CNamedSharedMemory();
    ~CNamedSharedMemory();
    CNamedSharedMemory(CNamedSharedMemory&& other) noexcept;
    CNamedSharedMemory& operator=(CNamedSharedMemory&& other) noexcept;
    CNamedSharedMemory(const CNamedSharedMemory&) = delete;
    CNamedSharedMemory& operator=(const CNamedSharedMemory&) = delete;

    // Creates the block szName of cb bytes (0 < cb <= 65536), or opens it when it
    // exists. *pbExisted as for the mutex. Returns 0 or a FileResult.
    int Create(const char* szName, std::uint32_t cb, bool* pbExisted);

    // Copies the first cb bytes of the block out (Read) or in (Write; the bytes
    // are flushed before it returns). Returns 0, or an error when the block cannot
    // be mapped or is shorter than cb.
    int Read(void* pBuffer, std::uint32_t cb);
    int Write(const void* pData, std::uint32_t cb);

    void Close();
    bool IsOpen() const;

    struct Impl;

private:
    Impl* m_pImpl;
};

}  // namespace platform
