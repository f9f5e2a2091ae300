// Named objects on POSIX, with Windows' lifetime rules.
//
// Every object is a file in one per-user directory (/dev/shm/attview-<uid>, else
// /tmp/attview-<uid>; mode 0700, used only when it is a real directory owned by
// the user and closed to others). Its name is the kind and the object's name:
// "mutex.N", "sem.N", "mem.N"; a name with other characters than letters, digits,
// ".", "_" and "-" is hex-encoded ("mutex=4142"), and a very long one shortened
// to part of its hex and a 128-bit hash ("mutex#...").
//
// A handle is an open file description holding a shared flock on the file for its
// whole life, so the kernel drops it when the process dies. Whether any handle is
// alive anywhere is the question "is LOCK_EX|LOCK_NB granted on a new
// description". Create and close of one name are serialised by a creation lock:
// an OFD write lock on one byte (chosen by a hash of the file name) of the file
// ".lock" in the directory, which is never removed. Every flock on an object file
// is taken under that lock, which is what makes turning LOCK_EX into LOCK_SH safe.
//
// Object files:
//   mutex  8 bytes: u32 at 0 is 1 while an owner holds the mutex; the mutex itself
//          is an OFD write lock on byte 0, so it is abandoned when its owner dies,
//          and the flag left at 1 tells the next owner so.
//   sem    8 bytes: u32 count at 0, u32 maximum at 4, in a MAP_SHARED mapping;
//          waiters sleep in a futex on the count word.
//   mem    the block itself, in a MAP_SHARED mapping.
// Every descriptor is close-on-exec, so that no child keeps an object alive.
#include "platform/named_object.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/posix/os_error.h"

namespace platform {
namespace {

const char* const kMutexKind = "mutex";
const char* const kSemaphoreKind = "sem";
const char* const kMemoryKind = "mem";
const unsigned kCreationLockBytes = 4096;
const size_t kMaxPlainName = 200;

// The object directory, its creation-lock file and the result of setting it up.
struct ObjectDirectory {
    std::string strPath;
    int nError = 0;
};

bool UsableDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

int RetryFlock(int fd, int operation)
{
    for (;;) {
        if (flock(fd, operation) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

int SetOfdLock(int fd, short type, off_t start, bool bWait)
{
    struct flock fl;
    std::memset(&fl, 0, sizeof(fl));
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    for (;;) {
        if (fcntl(fd, bWait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

std::uint32_t Fnv1a(const std::string& s, std::uint32_t seed)
{
    std::uint32_t h = seed;
    for (unsigned char c : s) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

std::string Hex(const std::string& s)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string ObjectFileName(const char* szKind, const std::string& name)
{
    bool bPlain = name.size() <= kMaxPlainName;
    for (unsigned char c : name) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            bPlain = false;
    }
    if (bPlain)
        return std::string(szKind) + "." + name;
    const std::string hex = Hex(name);
    if (hex.size() <= kMaxPlainName)
        return std::string(szKind) + "=" + hex;
    char szHash[40];
    std::snprintf(szHash, sizeof(szHash), "-%08X%08X%08X%08X", Fnv1a(name, 2166136261u),
                  Fnv1a(name, 0x9E3779B9u), Fnv1a(name, 0x85EBCA6Bu), Fnv1a(name, 0xC2B2AE35u));
    return std::string(szKind) + "#" + hex.substr(0, 128) + szHash;
}

// This thread's descriptor of the creation-lock file: OFD locks belong to the open
// file description, so threads that shared one would not exclude each other.
class CThreadLockFile {
public:
    ~CThreadLockFile()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    int Get(const std::string& dirPath, int* pFd)
    {
        if (m_fd < 0) {
            const std::string path = dirPath + "/.lock";
            m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (m_fd < 0)
                return errno;
        }
        *pFd = m_fd;
        return 0;
    }

private:
    int m_fd = -1;
};

thread_local CThreadLockFile t_lockFile;

// Holds the creation lock of one object file name for its scope.
class CCreationLock {
public:
    CCreationLock(const std::string& dirPath, const std::string& fileName)
        : m_nByte(Fnv1a(fileName, 2166136261u) % kCreationLockBytes)
    {
        m_nError = t_lockFile.Get(dirPath, &m_fd);
        if (m_nError == 0)
            m_nError = SetOfdLock(m_fd, F_WRLCK, m_nByte, true);
    }
    ~CCreationLock()
    {
        if (m_nError == 0)
            SetOfdLock(m_fd, F_UNLCK, m_nByte, false);
    }
    int Error() const { return m_nError; }

private:
    unsigned m_nByte;
    int m_fd = -1;
    int m_nError = 0;
};

// Removes the files that no live handle holds (left by killed processes), so that
// the directory does not fill up. Runs once per process, on first use.
void Sweep(const std::string& dirPath)
{
    DIR* dir = opendir(dirPath.c_str());
    if (dir == nullptr)
        return;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        CCreationLock lock(dirPath, name);
        if (lock.Error() != 0)
            continue;
        const std::string path = dirPath + "/" + name;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && RetryFlock(fd, LOCK_EX | LOCK_NB) == 0)
            unlink(path.c_str());
        close(fd);
    }
    closedir(dir);
}

ObjectDirectory& Directory()
{
    static ObjectDirectory directory;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string suffix = "/attview-" + std::to_string(getuid());
        if (UsableDirectory("/dev/shm" + suffix))
            directory.strPath = "/dev/shm" + suffix;
        else if (UsableDirectory("/tmp" + suffix))
            directory.strPath = "/tmp" + suffix;
        else
            directory.nError = EACCES;
        if (directory.nError == 0)
            Sweep(directory.strPath);
    });
    return directory;
}

// One handle: the object's file, open and holding a shared flock.
struct CObjectFile {
    int fd = -1;
    std::string strPath;
    std::string strFileName;
    void* pView = nullptr;
    size_t cbView = 0;
};

// Initialises a newly created object's file (already cut to its size, all zeros).
using InitFunction = int (*)(int fd, void* pContext);

// Creates or opens the object file szKind/szName of cb bytes, under its creation
// lock. pfnInit runs only when the object is created afresh. bMap maps the file.
int OpenObject(const char* szKind, const char* szName, size_t cb, bool bMap,
               InitFunction pfnInit, void* pContext, CObjectFile* pObject, bool* pbExisted)
{
    if (szName == nullptr || *szName == 0)
        return EINVAL;
    ObjectDirectory& dir = Directory();
    if (dir.nError != 0)
        return dir.nError;
    CObjectFile obj;
    obj.strFileName = ObjectFileName(szKind, szName);
    obj.strPath = dir.strPath + "/" + obj.strFileName;

    CCreationLock lock(dir.strPath, obj.strFileName);
    if (lock.Error() != 0)
        return lock.Error();
    obj.fd = open(obj.strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (obj.fd < 0)
        return errno;
    int e = 0;
    bool bExisted = false;
    struct stat st;
    if (fstat(obj.fd, &st) != 0) {
        e = errno;
    } else if (!S_ISREG(st.st_mode)) {
        e = EINVAL;
    } else if (RetryFlock(obj.fd, LOCK_EX | LOCK_NB) == 0) {
        // No handle is alive anywhere: the object starts afresh, whatever a killed
        // process left in the file.
        if (ftruncate(obj.fd, 0) != 0 || ftruncate(obj.fd, static_cast<off_t>(cb)) != 0)
            e = errno;
        else if (pfnInit != nullptr)
            e = pfnInit(obj.fd, pContext);
        if (e == 0)
            e = RetryFlock(obj.fd, LOCK_SH | LOCK_NB);
    } else if (errno != EWOULDBLOCK) {
        e = errno;
    } else {
        bExisted = true;
        e = RetryFlock(obj.fd, LOCK_SH | LOCK_NB);
        if (e == 0 && static_cast<size_t>(st.st_size) < cb)
            e = EINVAL;
    }
    if (e == 0 && bMap) {
        obj.pView = mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_SHARED, obj.fd, 0);
        if (obj.pView == MAP_FAILED) {
            obj.pView = nullptr;
            e = errno;
        } else {
            obj.cbView = cb;
            // A mapping holds the open file description, and with it the flock: a
            // fork()ed child must not take it along until its exec.
            madvise(obj.pView, cb, MADV_DONTFORK);
        }
    }
    if (e != 0) {
        // Dropping the descriptor drops any flock it took; a file nobody holds is
        // removed by the next sweep or started afresh by the next create.
        close(obj.fd);
        return e;
    }
    *pObject = obj;
    if (pbExisted != nullptr)
        *pbExisted = bExisted;
    return 0;
}

void CloseObject(CObjectFile* pObject)
{
    if (pObject->fd < 0)
        return;
    CCreationLock lock(Directory().strPath, pObject->strFileName);
    // Unmap first: once no flock is left, a creator may cut the file.
    if (pObject->pView != nullptr)
        munmap(pObject->pView, pObject->cbView);
    close(pObject->fd);
    // Never try the exclusive lock on the handle's own description: a failed
    // conversion would lose its shared lock. A new description asks the question.
    if (lock.Error() == 0) {
        const int fd = open(pObject->strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0) {
            if (RetryFlock(fd, LOCK_EX | LOCK_NB) == 0)
                unlink(pObject->strPath.c_str());
            close(fd);
        }
    }
    *pObject = CObjectFile();
}

int WriteU32(int fd, off_t offset, std::uint32_t value)
{
    for (;;) {
        const ssize_t n = pwrite(fd, &value, sizeof(value), offset);
        if (n == static_cast<ssize_t>(sizeof(value)))
            return 0;
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? errno : EIO;
    }
}

int ReadU32(int fd, off_t offset, std::uint32_t* pValue)
{
    for (;;) {
        const ssize_t n = pread(fd, pValue, sizeof(*pValue), offset);
        if (n == static_cast<ssize_t>(sizeof(*pValue)))
            return 0;
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? errno : EIO;
    }
}

timespec MonotonicNow()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

}  // namespace

// --- mutex -------------------------------------------------------------------

struct CNamedMutex::Impl {
    CObjectFile file;
    // Threads sharing the handle queue here before the file lock; the owner and
    // its recursion are counted in the process.
    std::mutex lock;
    std::condition_variable cvFree;
    std::thread::id owner;
    unsigned nRecursion = 0;
};

namespace {

int InitOwnedMutex(int fd, void*)
{
    const int e = SetOfdLock(fd, F_WRLCK, 0, false);
    return e != 0 ? e : WriteU32(fd, 0, 1);
}

}  // namespace

CNamedMutex::CNamedMutex() : m_pImpl(new Impl) {}

CNamedMutex::~CNamedMutex()
{
    if (m_pImpl != nullptr) {
        Close();
        delete m_pImpl;
    }
}

CNamedMutex::CNamedMutex(CNamedMutex&& other) noexcept : m_pImpl(other.m_pImpl)
{
    other.m_pImpl = nullptr;
}

CNamedMutex& CNamedMutex::operator=(CNamedMutex&& other) noexcept
{
    if (this != &other) {
        CNamedMutex dying(std::move(*this));
        m_pImpl = other.m_pImpl;
        other.m_pImpl = nullptr;
    }
    return *this;
}

int CNamedMutex::Create(const char* szName, bool bInitialOwner, bool* pbExisted)
{
    if (m_pImpl == nullptr)
        m_pImpl = new Impl;
    Close();
    bool bExisted = false;
    const int e = OpenObject(kMutexKind, szName, 8, false, bInitialOwner ? &InitOwnedMutex : nullptr,
                             nullptr, &m_pImpl->file, &bExisted);
    if (e != 0)
        return TranslateError(e);
    if (bInitialOwner && !bExisted) {
        m_pImpl->owner = std::this_thread::get_id();
        m_pImpl->nRecursion = 1;
    }
    if (pbExisted != nullptr)
        *pbExisted = bExisted;
    return 0;
}

WaitResult CNamedMutex::Wait()
{
    if (!IsOpen())
        return kWaitFailed;
    Impl& m = *m_pImpl;
    const std::thread::id self = std::this_thread::get_id();
    {
        std::unique_lock<std::mutex> guard(m.lock);
        if (m.owner == self) {
            ++m.nRecursion;
            return kWaitSignaled;
        }
        m.cvFree.wait(guard, [&] { return m.owner == std::thread::id(); });
        m.owner = self;
    }
    std::uint32_t nFlag = 0;
    int e = SetOfdLock(m.file.fd, F_WRLCK, 0, true);
    if (e == 0) {
        e = ReadU32(m.file.fd, 0, &nFlag);
        if (e == 0)
            e = WriteU32(m.file.fd, 0, 1);
        if (e != 0)
            SetOfdLock(m.file.fd, F_UNLCK, 0, false);
    }
    std::lock_guard<std::mutex> guard(m.lock);
    if (e != 0) {
        m.owner = std::thread::id();
        m.cvFree.notify_one();
        return kWaitFailed;
    }
    m.nRecursion = 1;
    // The flag is cleared by every release; left set, the owner died owning it.
    return nFlag != 0 ? kWaitAbandoned : kWaitSignaled;
}

int CNamedMutex::Release()
{
    if (!IsOpen())
        return TranslateError(EBADF);
    Impl& m = *m_pImpl;
    std::lock_guard<std::mutex> guard(m.lock);
    if (m.owner != std::this_thread::get_id() || m.nRecursion == 0)
        return TranslateError(EPERM);
    if (--m.nRecursion > 0)
        return 0;
    const int e = WriteU32(m.file.fd, 0, 0);
    SetOfdLock(m.file.fd, F_UNLCK, 0, false);
    m.owner = std::thread::id();
    m.cvFree.notify_one();
    return TranslateError(e);
}

void CNamedMutex::Close()
{
    if (m_pImpl == nullptr)
        return;
    CloseObject(&m_pImpl->file);
    m_pImpl->owner = std::thread::id();
    m_pImpl->nRecursion = 0;
}

bool CNamedMutex::IsOpen() const
{
    return m_pImpl != nullptr && m_pImpl->file.fd >= 0;
}

// --- semaphore ---------------------------------------------------------------

struct CNamedSemaphore::Impl {
    CObjectFile file;
    std::uint32_t* Count() { return static_cast<std::uint32_t*>(file.pView); }
    std::uint32_t Maximum() { return __atomic_load_n(Count() + 1, __ATOMIC_RELAXED); }
};

namespace {

struct SemaphoreCounts {
    std::uint32_t nInitial;
    std::uint32_t nMaximum;
};

int InitSemaphore(int fd, void* pContext)
{
    const SemaphoreCounts* p = static_cast<const SemaphoreCounts*>(pContext);
    int e = WriteU32(fd, 0, p->nInitial);
    return e != 0 ? e : WriteU32(fd, 4, p->nMaximum);
}

bool TryTakeUnit(std::uint32_t* pCount)
{
    std::uint32_t c = __atomic_load_n(pCount, __ATOMIC_ACQUIRE);
    while (c > 0) {
        if (__atomic_compare_exchange_n(pCount, &c, c - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return true;
    }
    return false;
}

}  // namespace

CNamedSemaphore::CNamedSemaphore() : m_pImpl(new Impl) {}

CNamedSemaphore::~CNamedSemaphore()
{
    if (m_pImpl != nullptr) {
        Close();
        delete m_pImpl;
    }
}

CNamedSemaphore::CNamedSemaphore(CNamedSemaphore&& other) noexcept : m_pImpl(other.m_pImpl)
{
    other.m_pImpl = nullptr;
}

CNamedSemaphore& CNamedSemaphore::operator=(CNamedSemaphore&& other) noexcept
{
    if (this != &other) {
        CNamedSemaphore dying(std::move(*this));
        m_pImpl = other.m_pImpl;
        other.m_pImpl = nullptr;
    }
    return *this;
}

int CNamedSemaphore::Create(const char* szName, std::uint32_t nInitial, std::uint32_t nMaximum,
                            bool* pbExisted)
{
    if (m_pImpl == nullptr)
        m_pImpl = new Impl;
    Close();
    if (nMaximum == 0 || nMaximum > 0x7FFFFFFFu || nInitial > nMaximum)
        return TranslateError(EINVAL);
    SemaphoreCounts counts = {nInitial, nMaximum};
    return TranslateError(OpenObject(kSemaphoreKind, szName, 8, true, &InitSemaphore, &counts,
                                     &m_pImpl->file, pbExisted));
}

WaitResult CNamedSemaphore::Wait(std::uint32_t nTimeoutMs)
{
    if (!IsOpen())
        return kWaitFailed;
    std::uint32_t* pCount = m_pImpl->Count();
    timespec deadline = MonotonicNow();
    deadline.tv_sec += nTimeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(nTimeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    for (;;) {
        if (TryTakeUnit(pCount))
            return kWaitSignaled;
        if (nTimeoutMs == 0)
            return kWaitTimedOut;
        // Sleeps only while the count is still 0; an absolute monotonic deadline
        // keeps signals and spurious wake-ups from stretching the time-out. Never
        // FUTEX_PRIVATE_FLAG: the sleepers are in other processes.
        const long r = syscall(SYS_futex, pCount, FUTEX_WAIT_BITSET, 0u,
                               nTimeoutMs == kWaitForever ? nullptr : &deadline, nullptr,
                               FUTEX_BITSET_MATCH_ANY);
        if (r != 0 && errno == ETIMEDOUT)
            return TryTakeUnit(pCount) ? kWaitSignaled : kWaitTimedOut;
        if (r != 0 && errno != EAGAIN && errno != EINTR)
            return kWaitFailed;
    }
}

int CNamedSemaphore::Release(std::uint32_t nCount, std::uint32_t* pnPrevious)
{
    if (!IsOpen())
        return TranslateError(EBADF);
    std::uint32_t* pCount = m_pImpl->Count();
    const std::uint32_t nMaximum = m_pImpl->Maximum();
    if (nCount == 0)
        return TranslateError(EINVAL);
    std::uint32_t c = __atomic_load_n(pCount, __ATOMIC_ACQUIRE);
    do {
        if (c > nMaximum || nCount > nMaximum - c)
            return TranslateError(EOVERFLOW);
    } while (!__atomic_compare_exchange_n(pCount, &c, c + nCount, false, __ATOMIC_ACQ_REL,
                                          __ATOMIC_ACQUIRE));
    // Wake every sleeper, not nCount: a woken waiter killed before it takes its
    // unit would otherwise strand one that stays asleep.
    syscall(SYS_futex, pCount, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
    if (pnPrevious != nullptr)
        *pnPrevious = c;
    return 0;
}

void CNamedSemaphore::Close()
{
    if (m_pImpl != nullptr)
        CloseObject(&m_pImpl->file);
}

bool CNamedSemaphore::IsOpen() const
{
    return m_pImpl != nullptr && m_pImpl->file.fd >= 0;
}

// --- shared memory -------------------------------------------------------------

struct CNamedSharedMemory::Impl {
    CObjectFile file;
};

CNamedSharedMemory::CNamedSharedMemory() : m_pImpl(new Impl) {}

CNamedSharedMemory::~CNamedSharedMemory()
{
    if (m_pImpl != nullptr) {
        Close();
        delete m_pImpl;
    }
}

CNamedSharedMemory::CNamedSharedMemory(CNamedSharedMemory&& other) noexcept : m_pImpl(other.m_pImpl)
{
    other.m_pImpl = nullptr;
}

CNamedSharedMemory& CNamedSharedMemory::operator=(CNamedSharedMemory&& other) noexcept
{
    if (this != &other) {
        CNamedSharedMemory dying(std::move(*this));
        m_pImpl = other.m_pImpl;
        other.m_pImpl = nullptr;
    }
    return *this;
}

int CNamedSharedMemory::Create(const char* szName, std::uint32_t cb, bool* pbExisted)
{
    if (m_pImpl == nullptr)
        m_pImpl = new Impl;
    Close();
    if (cb == 0 || cb > 65536)
        return TranslateError(EINVAL);
    return TranslateError(
        OpenObject(kMemoryKind, szName, cb, true, nullptr, nullptr, &m_pImpl->file, pbExisted));
}

int CNamedSharedMemory::Read(void* pBuffer, std::uint32_t cb)
{
    if (!IsOpen())
        return TranslateError(EBADF);
    if (cb > m_pImpl->file.cbView)
        return TranslateError(EINVAL);
    std::memcpy(pBuffer, m_pImpl->file.pView, cb);
    return 0;
}

int CNamedSharedMemory::Write(const void* pData, std::uint32_t cb)
{
    if (!IsOpen())
        return TranslateError(EBADF);
    if (cb > m_pImpl->file.cbView)
        return TranslateError(EINVAL);
    // A MAP_SHARED mapping of one file is the same memory in every process; the
    // callers' lock orders the copies.
    std::memcpy(m_pImpl->file.pView, pData, cb);
    return 0;
}

void CNamedSharedMemory::Close()
{
    if (m_pImpl != nullptr)
        CloseObject(&m_pImpl->file);
}

bool CNamedSharedMemory::IsOpen() const
{
    return m_pImpl != nullptr && m_pImpl->file.fd >= 0;
}

}  // namespace platform
