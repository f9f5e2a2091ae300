#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "platform/win32/os_error.h"

namespace platform {

const char* const kExecutableSuffix = ".exe";

std::string OwnExecutablePath()
{
    char buffer[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::string();
    return std::string(buffer, n);
}

std::vector<std::string> EngineArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

std::string EnginePathFromUser(const std::string& strPath)
{
    return strPath;
}

std::string UserPath(const std::string& strEnginePath)
{
    return strEnginePath;
}

int ExitCodeAsSeen(int nReturned)
{
    return nReturned;
}

void DebugOutput(const char* szText)
{
    OutputDebugStringA(szText);
}

struct CChildProcess::Impl {
    HANDLE hProcess = nullptr;
    bool bEnded = false;
    int nExitCode = 0;
    std::uint64_t cbPeak = 0;
    std::string strOutputPath;
    std::string strWorkingDirectory;  // empty for this process's
    std::string strPathFront;         // empty for none

    // The system keeps the peak while the process lives; it is read now and then
    // during a wait, and once more just before the wait returns.
    void NotePeak()
    {
        PROCESS_MEMORY_COUNTERS counters;
        if (K32GetProcessMemoryInfo(hProcess, &counters, sizeof(counters)) &&
            counters.PeakWorkingSetSize > cbPeak)
            cbPeak = counters.PeakWorkingSetSize;
    }
};

namespace {

// Quotes one argument as the C runtime's command-line parser reads it back.
void AppendQuoted(std::string* pLine, const std::string& arg)
{
    if (!pLine->empty())
        *pLine += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        *pLine += arg;
        return;
    }
    *pLine += '"';
    size_t nBackslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++nBackslashes;
        } else if (c == '"') {
            pLine->append(nBackslashes * 2 + 1, '\\');
            *pLine += '"';
            nBackslashes = 0;
        } else {
            pLine->append(nBackslashes, '\\');
            *pLine += c;
            nBackslashes = 0;
        }
    }
    pLine->append(nBackslashes * 2, '\\');
    *pLine += '"';
}

// A new file of this process's own in the temporary folder. The name carries the
// process id and a counter: the system's temporary names come from the clock and
// collide with those of other processes, and a colliding name whose file another
// process has deleted but a child still holds open cannot be made again.
HANDLE MakeScratchFile(std::string* pPath)
{
    static LONG s_nCounter = 0;
    char szDir[MAX_PATH + 1];
    if (GetTempPathA(MAX_PATH, szDir) == 0)
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    for (int nTry = 0; nTry < 1000; ++nTry) {
        char szName[64];
        std::snprintf(szName, sizeof(szName), "avc%lx-%lx.tmp",
                      static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(InterlockedIncrement(&s_nCounter)));
        const std::string strPath = std::string(szDir) + szName;
        HANDLE h = CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                               CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            *pPath = strPath;
            return h;
        }
        const DWORD e = GetLastError();
        if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS && e != ERROR_ACCESS_DENIED &&
            e != ERROR_SHARING_VIOLATION)
            return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

// This process's PATH with strFront in front of it.
std::string ChildSearchPath(const std::string& strFront)
{
    std::string path;
    const DWORD cch = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (cch > 0) {
        path.resize(cch);
        path.resize(GetEnvironmentVariableA("PATH", &path[0], cch));
    }
    if (strFront.empty())
        return path;
    return path.empty() ? strFront : strFront + ";" + path;
}

// This process's environment block with PATH set to strPath; the block stays in
// the order the system keeps it.
std::string ChildEnvironment(const std::string& strPath)
{
    std::string block;
    bool bPathSet = false;
    char* pStrings = GetEnvironmentStringsA();
    if (pStrings != nullptr) {
        for (const char* p = pStrings; *p != 0; p += std::strlen(p) + 1) {
            if (_strnicmp(p, "PATH=", 5) == 0) {
                block += "PATH=" + strPath;
                bPathSet = true;
            } else {
                block += p;
            }
            block += '\0';
        }
        FreeEnvironmentStringsA(pStrings);
    }
    if (!bPathSet)
        block += "PATH=" + strPath + '\0';
    block += '\0';
    return block;
}

}  // namespace

CChildProcess::CChildProcess() : m_pImpl(new Impl) {}

void CChildProcess::SetWorkingDirectory(const std::string& strDirectory)
{
    m_pImpl->strWorkingDirectory = strDirectory;
}

void CChildProcess::SetSearchPathFront(const std::string& strDirectory)
{
    m_pImpl->strPathFront = strDirectory;
}

CChildProcess::~CChildProcess()
{
    if (m_pImpl == nullptr)
        return;
    if (m_pImpl->hProcess != nullptr) {
        if (!m_pImpl->bEnded) {
            TerminateProcess(m_pImpl->hProcess, 1);
            WaitForSingleObject(m_pImpl->hProcess, INFINITE);
        }
        CloseHandle(m_pImpl->hProcess);
    }
    if (!m_pImpl->strOutputPath.empty())
        DeleteFileA(m_pImpl->strOutputPath.c_str());
    delete m_pImpl;
}

CChildProcess::CChildProcess(CChildProcess&& other) noexcept : m_pImpl(other.m_pImpl)
{
    other.m_pImpl = nullptr;
}

CChildProcess& CChildProcess::operator=(CChildProcess&& other) noexcept
{
    if (this != &other) {
        CChildProcess dying(std::move(*this));
        m_pImpl = other.m_pImpl;
        other.m_pImpl = nullptr;
    }
    return *this;
}

int CChildProcess::Start(const std::string& strProgram, const std::vector<std::string>& vArgs,
                         const std::string* pInput)
{
    if (m_pImpl->hProcess != nullptr)
        return TranslateError(ERROR_BUSY);
    const std::string searchPath = ChildSearchPath(m_pImpl->strPathFront);
    std::string program = strProgram;
    if (strProgram.find_first_of("\\/:") == std::string::npos) {
        // Only the search path: the system's own search would look beside this
        // program and in the system folders first.
        char szFound[MAX_PATH + 1];
        const DWORD cch = SearchPathA(searchPath.c_str(), strProgram.c_str(), nullptr, MAX_PATH,
                                      szFound, nullptr);
        if (cch == 0 || cch >= MAX_PATH)
            return TranslateError(ERROR_FILE_NOT_FOUND);
        program = szFound;
    }
    std::string environment;
    if (!m_pImpl->strPathFront.empty())
        environment = ChildEnvironment(searchPath);
    std::string inputPath;
    HANDLE hIn = MakeScratchFile(&inputPath);
    if (hIn == INVALID_HANDLE_VALUE)
        return TranslateError(static_cast<int>(GetLastError()));
    if (pInput != nullptr && !pInput->empty()) {
        DWORD cb = 0;
        WriteFile(hIn, pInput->data(), static_cast<DWORD>(pInput->size()), &cb, nullptr);
        SetFilePointer(hIn, 0, nullptr, FILE_BEGIN);
    }
    HANDLE hOut = MakeScratchFile(&m_pImpl->strOutputPath);
    if (hOut == INVALID_HANDLE_VALUE) {
        const int e = static_cast<int>(GetLastError());
        CloseHandle(hIn);
        DeleteFileA(inputPath.c_str());
        return TranslateError(e);
    }

    std::string line;
    for (const std::string& a : vArgs)
        AppendQuoted(&line, a);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hIn;
    si.hStdOutput = hOut;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi;
    const BOOL bOk = CreateProcessA(
        program.c_str(), &line[0], nullptr, nullptr, TRUE, 0,
        environment.empty() ? nullptr : &environment[0],
        m_pImpl->strWorkingDirectory.empty() ? nullptr : m_pImpl->strWorkingDirectory.c_str(),
        &si, &pi);
    const int e = bOk ? 0 : static_cast<int>(GetLastError());
    CloseHandle(hIn);
    CloseHandle(hOut);
    DeleteFileA(inputPath.c_str());
    if (!bOk)
        return TranslateError(e);
    CloseHandle(pi.hThread);
    m_pImpl->hProcess = pi.hProcess;
    m_pImpl->bEnded = false;
    return 0;
}

bool CChildProcess::Wait(int nTimeoutMs, int* pExitCode)
{
    if (m_pImpl->hProcess == nullptr)
        return false;
    if (!m_pImpl->bEnded) {
        const DWORD dwStart = GetTickCount();
        DWORD r;
        for (;;) {
            m_pImpl->NotePeak();
            const DWORD dwSpent = GetTickCount() - dwStart;
            DWORD dwSlice = 20;
            if (nTimeoutMs >= 0)
                dwSlice = dwSpent >= static_cast<DWORD>(nTimeoutMs)
                              ? 0
                              : (std::min)(dwSlice, static_cast<DWORD>(nTimeoutMs) - dwSpent);
            r = WaitForSingleObject(m_pImpl->hProcess, dwSlice);
            if (r != WAIT_TIMEOUT || dwSlice == 0)
                break;
        }
        if (r != WAIT_OBJECT_0)
            return false;
        m_pImpl->NotePeak();
        DWORD code = 0;
        GetExitCodeProcess(m_pImpl->hProcess, &code);
        m_pImpl->bEnded = true;
        m_pImpl->nExitCode = static_cast<int>(code);
    }
    *pExitCode = m_pImpl->nExitCode;
    return true;
}

std::uint64_t CChildProcess::PeakMemory() const
{
    return m_pImpl->cbPeak;
}

void CChildProcess::Kill()
{
    if (m_pImpl->hProcess != nullptr && !m_pImpl->bEnded)
        TerminateProcess(m_pImpl->hProcess, 137);
}

std::string CChildProcess::Output() const
{
    std::string out;
    FILE* f = fopen(m_pImpl->strOutputPath.c_str(), "rb");
    if (f == nullptr)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
        out.append(buffer, n);
    fclose(f);
    return out;
}

}  // namespace platform
