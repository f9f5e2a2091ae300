// Named objects on Windows: the kernel's own named mutexes, semaphores and
// mappings of the paging file. Handles are created without inheritance, so child
// processes never keep an object alive.
#include <windows.h>

#include <cstring>
#include <utility>

#include "platform/named_object.h"
#include "platform/win32/os_error.h"

namespace platform {
namespace {

int LastErrorOr(int nFallback)
{
    const DWORD e = GetLastError();
    return e != 0 ? static_cast<int>(e) : nFallback;
}

bool ValidName(const char* szName)
{
    return szName != nullptr && *szName != 0;
}

}  // namespace

// --- mutex -------------------------------------------------------------------

struct CNamedMutex::Impl {
    HANDLE h = nullptr;
};

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
    if (!ValidName(szName))
        return TranslateError(ERROR_INVALID_PARAMETER);
    SetLastError(0);
    HANDLE h = CreateMutexA(nullptr, bInitialOwner ? TRUE : FALSE, szName);
    if (h == nullptr)
        return TranslateError(LastErrorOr(ERROR_INVALID_HANDLE));
    if (pbExisted != nullptr)
        *pbExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    m_pImpl->h = h;
    return 0;
}

WaitResult CNamedMutex::Wait()
{
    if (!IsOpen())
        return kWaitFailed;
    switch (WaitForSingleObject(m_pImpl->h, INFINITE)) {
    case WAIT_OBJECT_0:
        return kWaitSignaled;
    case WAIT_ABANDONED:
        return kWaitAbandoned;
    default:
        return kWaitFailed;
    }
}

int CNamedMutex::Release()
{
    if (!IsOpen())
        return TranslateError(ERROR_INVALID_HANDLE);
    return TranslateError(ReleaseMutex(m_pImpl->h) ? 0 : LastErrorOr(ERROR_NOT_OWNER));
}

void CNamedMutex::Close()
{
    if (m_pImpl != nullptr && m_pImpl->h != nullptr) {
        CloseHandle(m_pImpl->h);
        m_pImpl->h = nullptr;
    }
}

bool CNamedMutex::IsOpen() const
{
    return m_pImpl != nullptr && m_pImpl->h != nullptr;
}

// --- semaphore ---------------------------------------------------------------

struct CNamedSemaphore::Impl {
    HANDLE h = nullptr;
};

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
    if (!ValidName(szName) || nMaximum == 0 || nMaximum > 0x7FFFFFFFu || nInitial > nMaximum)
        return TranslateError(ERROR_INVALID_PARAMETER);
    SetLastError(0);
    HANDLE h = CreateSemaphoreA(nullptr, static_cast<LONG>(nInitial), static_cast<LONG>(nMaximum),
                                szName);
    if (h == nullptr)
        return TranslateError(LastErrorOr(ERROR_INVALID_HANDLE));
    if (pbExisted != nullptr)
        *pbExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    m_pImpl->h = h;
    return 0;
}

WaitResult CNamedSemaphore::Wait(std::uint32_t nTimeoutMs)
{
    if (!IsOpen())
        return kWaitFailed;
    switch (WaitForSingleObject(m_pImpl->h, nTimeoutMs)) {
    case WAIT_OBJECT_0:
        return kWaitSignaled;
    case WAIT_TIMEOUT:
        return kWaitTimedOut;
    default:
        return kWaitFailed;
    }
}

int CNamedSemaphore::Release(std::uint32_t nCount, std::uint32_t* pnPrevious)
{
    if (!IsOpen())
        return TranslateError(ERROR_INVALID_HANDLE);
    LONG nPrevious = 0;
    if (nCount == 0 || nCount > 0x7FFFFFFFu)
        return TranslateError(ERROR_INVALID_PARAMETER);
    if (!ReleaseSemaphore(m_pImpl->h, static_cast<LONG>(nCount), &nPrevious))
        return TranslateError(LastErrorOr(ERROR_TOO_MANY_POSTS));
    if (pnPrevious != nullptr)
        *pnPrevious = static_cast<std::uint32_t>(nPrevious);
    return 0;
}

void CNamedSemaphore::Close()
{
    if (m_pImpl != nullptr && m_pImpl->h != nullptr) {
        CloseHandle(m_pImpl->h);
        m_pImpl->h = nullptr;
    }
}

bool CNamedSemaphore::IsOpen() const
{
    return m_pImpl != nullptr && m_pImpl->h != nullptr;
}

// --- shared memory -------------------------------------------------------------

struct CNamedSharedMemory::Impl {
    HANDLE h = nullptr;
    std::uint32_t cb = 0;
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
    if (!ValidName(szName) || cb == 0 || cb > 65536)
        return TranslateError(ERROR_INVALID_PARAMETER);
    SetLastError(0);
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, cb, szName);
    if (h == nullptr)
        return TranslateError(LastErrorOr(ERROR_INVALID_HANDLE));
    if (pbExisted != nullptr)
        *pbExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    m_pImpl->h = h;
    m_pImpl->cb = cb;
    return 0;
}

int CNamedSharedMemory::Read(void* pBuffer, std::uint32_t cb)
{
    if (!IsOpen())
        return TranslateError(ERROR_INVALID_HANDLE);
    if (cb > m_pImpl->cb)
        return TranslateError(ERROR_INVALID_PARAMETER);
    const void* pView = MapViewOfFile(m_pImpl->h, FILE_MAP_READ, 0, 0, cb);
    if (pView == nullptr)
        return TranslateError(LastErrorOr(ERROR_NOT_ENOUGH_MEMORY));
    std::memcpy(pBuffer, pView, cb);
    UnmapViewOfFile(pView);
    return 0;
}

int CNamedSharedMemory::Write(const void* pData, std::uint32_t cb)
{
    if (!IsOpen())
        return TranslateError(ERROR_INVALID_HANDLE);
    if (cb > m_pImpl->cb)
        return TranslateError(ERROR_INVALID_PARAMETER);
    void* pView = MapViewOfFile(m_pImpl->h, FILE_MAP_WRITE, 0, 0, cb);
    if (pView == nullptr)
        return TranslateError(LastErrorOr(ERROR_NOT_ENOUGH_MEMORY));
    std::memcpy(pView, pData, cb);
    FlushViewOfFile(pView, cb);
    UnmapViewOfFile(pView);
    return 0;
}

void CNamedSharedMemory::Close()
{
    if (m_pImpl != nullptr && m_pImpl->h != nullptr) {
        CloseHandle(m_pImpl->h);
        m_pImpl->h = nullptr;
    }
}

bool CNamedSharedMemory::IsOpen() const
{
    return m_pImpl != nullptr && m_pImpl->h != nullptr;
}

}  // namespace platform
