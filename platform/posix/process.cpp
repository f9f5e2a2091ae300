#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/codepage.h"
#include "platform/posix/native_text.h"
#include "platform/posix/os_error.h"

extern char** environ;

namespace platform {

const char* const kExecutableSuffix = "";

std::string OwnExecutablePath()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0)
        return std::string();
    return posix::FromNativePath(std::string(buffer, static_cast<size_t>(n)));
}

std::vector<std::string> EngineArguments(int argc, char** argv)
{
    std::vector<std::string> v;
    for (int i = 0; i < argc; ++i)
        v.push_back(posix::FromNativePath(argv[i]));
    return v;
}

std::string EnginePathFromUser(const std::string& strPath)
{
    std::string s = strPath;
    if (!s.empty() && s[0] == '/') {
        // "/" is never a trail byte of code page 932, so every one is a separator.
        for (char& c : s)
            if (c == '/')
                c = '\\';
        s.insert(0, "Z:");
    }
    return s;
}

std::string UserPath(const std::string& strEnginePath)
{
    std::string s;
    size_t i = 0;
    if (strEnginePath.size() >= 2 && (strEnginePath[0] == 'Z' || strEnginePath[0] == 'z') &&
        strEnginePath[1] == ':') {
        i = 2;
        if (strEnginePath.size() == 2 || strEnginePath[2] != '\\')
            s = "/";
    }
    for (; i < strEnginePath.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(strEnginePath[i]);
        if (IsLeadByte(b) && i + 1 < strEnginePath.size()) {
            s += strEnginePath[i];
            s += strEnginePath[++i];
        } else {
            s += b == '\\' ? '/' : strEnginePath[i];
        }
    }
    return s;
}

int ExitCodeAsSeen(int nReturned)
{
    return nReturned & 0xFF;
}

void DebugOutput(const char* szText)
{
    if (getenv("ATTVIEW_DEBUG") != nullptr)
        fputs(posix::AnsiToUtf8(szText).c_str(), stderr);
}

struct CChildProcess::Impl {
    pid_t pid = -1;
    bool bEnded = false;
    int nExitCode = 0;
    std::uint64_t cbPeak = 0;
    std::string strOutputPath;
    std::string strWorkingDirectory;  // native; empty for this process's
    std::string strPathFront;         // native; empty for none
};

namespace {

// A scratch file, open for reading and writing and closed on exec.
int MakeScratchFile(std::string* pPath)
{
    const char* szDir = getenv("TMPDIR");
    std::string path = std::string(szDir != nullptr && *szDir != 0 ? szDir : "/tmp") +
                       "/attview-child-XXXXXX";
    const int fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd >= 0)
        *pPath = path;
    return fd;
}

// The child's search path: strFront, then this process's PATH.
std::string ChildSearchPath(const std::string& strFront)
{
    const char* szPath = getenv("PATH");
    const std::string path = szPath != nullptr ? szPath : "";
    if (strFront.empty())
        return path;
    return path.empty() ? strFront : strFront + ":" + path;
}

// The first executable file strName in a directory of strSearchPath (an empty
// entry is the current directory, as for a shell); empty when there is none.
std::string FindOnSearchPath(const std::string& strName, const std::string& strSearchPath)
{
    size_t nStart = 0;
    for (;;) {
        const size_t nEnd = strSearchPath.find(':', nStart);
        std::string dir = strSearchPath.substr(nStart, nEnd == std::string::npos ? nEnd : nEnd - nStart);
        if (dir.empty())
            dir = ".";
        const std::string candidate = dir + "/" + strName;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (nEnd == std::string::npos)
            return std::string();
        nStart = nEnd + 1;
    }
}

}  // namespace

CChildProcess::CChildProcess() : m_pImpl(new Impl) {}

void CChildProcess::SetWorkingDirectory(const std::string& strDirectory)
{
    m_pImpl->strWorkingDirectory = strDirectory.empty() ? std::string()
                                                        : posix::ToNativePath(strDirectory.c_str());
}

void CChildProcess::SetSearchPathFront(const std::string& strDirectory)
{
    m_pImpl->strPathFront = strDirectory.empty() ? std::string()
                                                 : posix::ToNativePath(strDirectory.c_str());
}

CChildProcess::~CChildProcess()
{
    if (m_pImpl == nullptr)
        return;
    if (m_pImpl->pid > 0 && !m_pImpl->bEnded) {
        Kill();
        int nCode;
        Wait(-1, &nCode);
    }
    if (!m_pImpl->strOutputPath.empty())
        unlink(m_pImpl->strOutputPath.c_str());
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
    if (m_pImpl->pid > 0)
        return TranslateError(EBUSY);
    const std::string searchPath = ChildSearchPath(m_pImpl->strPathFront);
    std::string program = posix::ToNativePath(strProgram.c_str());
    if (strProgram.find_first_of("\\/") == std::string::npos) {
        program = FindOnSearchPath(program, searchPath);
        if (program.empty())
            return TranslateError(ENOENT);
    }
    // The environment as it is, with the child's PATH when it differs.
    std::vector<std::string> vEnvironment;
    std::vector<char*> envp;
    if (!m_pImpl->strPathFront.empty()) {
        for (char** p = environ; *p != nullptr; ++p)
            if (std::strncmp(*p, "PATH=", 5) != 0)
                vEnvironment.push_back(*p);
        vEnvironment.push_back("PATH=" + searchPath);
        for (std::string& entry : vEnvironment)
            envp.push_back(&entry[0]);
        envp.push_back(nullptr);
    }
    std::string inputPath;
    const int fdIn = MakeScratchFile(&inputPath);
    if (fdIn < 0)
        return TranslateError(errno);
    unlink(inputPath.c_str());
    if (pInput != nullptr && !pInput->empty()) {
        if (pwrite(fdIn, pInput->data(), pInput->size(), 0) != static_cast<ssize_t>(pInput->size())) {
            const int e = errno;
            close(fdIn);
            return TranslateError(e);
        }
    }
    const int fdOut = MakeScratchFile(&m_pImpl->strOutputPath);
    if (fdOut < 0) {
        const int e = errno;
        close(fdIn);
        return TranslateError(e);
    }

    std::vector<std::string> args;
    for (const std::string& a : vArgs)
        args.push_back(posix::AnsiToUtf8(a));
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fdIn, 0);
    posix_spawn_file_actions_adddup2(&actions, fdOut, 1);
    // Close-on-exec descriptors are closed only after the kernel has let the
    // spawning parent go on, so for a moment the child would still hold the open
    // files (and their locks) of the parent. Closing them before the exec makes
    // them gone by the time posix_spawn returns.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!m_pImpl->strWorkingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, m_pImpl->strWorkingDirectory.c_str());
    pid_t pid = -1;
    const int e = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(),
                              envp.empty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fdIn);
    close(fdOut);
    if (e != 0)
        return TranslateError(e);
    m_pImpl->pid = pid;
    m_pImpl->bEnded = false;
    return 0;
}

bool CChildProcess::Wait(int nTimeoutMs, int* pExitCode)
{
    if (m_pImpl->pid <= 0)
        return false;
    if (!m_pImpl->bEnded) {
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            int status = 0;
            struct rusage usage;
            const pid_t r = wait4(m_pImpl->pid, &status, nTimeoutMs < 0 ? 0 : WNOHANG, &usage);
            if (r == m_pImpl->pid) {
                m_pImpl->bEnded = true;
                m_pImpl->cbPeak = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
                m_pImpl->nExitCode = WIFEXITED(status) ? WEXITSTATUS(status)
                                                       : 128 + WTERMSIG(status);
                break;
            }
            if (r < 0 && errno != EINTR)
                return false;
            if (r == 0) {
                timespec now;
                clock_gettime(CLOCK_MONOTONIC, &now);
                const long long ms = (now.tv_sec - start.tv_sec) * 1000LL +
                                     (now.tv_nsec - start.tv_nsec) / 1000000;
                if (ms >= nTimeoutMs)
                    return false;
                usleep(1000);
            }
        }
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
    if (m_pImpl->pid > 0 && !m_pImpl->bEnded)
        kill(m_pImpl->pid, SIGKILL);
}

std::string CChildProcess::Output() const
{
    std::string out;
    FILE* f = fopen(m_pImpl->strOutputPath.c_str(), "rbe");
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
