// The process: its own path, its arguments in the engine's path form, debug output,
// and child processes (used by tests that need a second process).
//
// Paths here are in the engine's form: ANSI text with "\" separators. On POSIX the
// root "/" is the pseudo drive "Z:".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The full path of the running executable, in the engine's form.
std::string OwnExecutablePath();

// The command line in the engine's form. On POSIX each argument is converted from
// UTF-8 to code page 932, and an absolute "/a/b" becomes "Z:\a\b"; on Windows the
// arguments are returned unchanged.
std::vector<std::string> EngineArguments(int argc, char** argv);

// A path given by the user (code-page text) in the engine's form: on POSIX an
// absolute "/a/b" becomes "Z:\a\b"; on Windows it is returned unchanged.
std::string EnginePathFromUser(const std::string& strPath);

// An engine path in the form the user knows, for messages: on POSIX "Z:\a\b"
// becomes "/a/b" and every "\" separator a "/" (still code-page text, as every
// console text is); on Windows it is returned unchanged.
std::string UserPath(const std::string& strEnginePath);

// The exit code another process sees when main returns nReturned: on Windows the
// value itself, on POSIX its low eight bits (-1 is seen as 255).
int ExitCodeAsSeen(int nReturned);

// The suffix of executable file names: ".exe" on Windows, empty on POSIX.
extern const char* const kExecutableSuffix;

// Writes a text to the debugger output (Windows), or to standard error when the
// environment variable ATTVIEW_DEBUG is set (POSIX).
void DebugOutput(const char* szText);

// A child process. Its standard output is captured (read it with Output() once
// it has ended), its standard error is inherited, and its standard input is
// either empty or the given text. Move-only; the destructor kills a child that
// is still running and waits for it.
class CChildProcess {
public:
    CChildProcess();
    ~CChildProcess();
    CChildProcess(CChildProcess&& other) noexcept;
    CChildProcess& operator=(CChildProcess&& other) noexcept;
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Where the children of later Starts run: strDirectory (engine form) becomes
    // their current directory. Empty (the default) leaves them this process's.
    void SetWorkingDirectory(const std::string& strDirectory);

    // Puts strDirectory (engine form) in front of the search path (the PATH
    // variable) of the children of later Starts, and of the search for a bare
    // program name. Empty (the default) leaves them this process's PATH.
    void SetSearchPathFront(const std::string& strDirectory);

    // Starts the program at strProgram (engine form) with the arguments vArgs,
    // vArgs[0] being argument 0 as the child sees it. A strProgram without a
    // separator is a bare name, looked for as a command interpreter does: in the
    // directories of the child's search path, in order, by that exact name.
    // pInput null gives an empty standard input. Returns 0, or a FileResult
    // (platform/file.h) saying why not (kFileNotFound: no such program).
    int Start(const std::string& strProgram, const std::vector<std::string>& vArgs,
              const std::string* pInput = nullptr);

    // Waits up to nTimeoutMs (or forever when negative). Returns true when the
    // child has ended; *pExitCode then holds its exit code as the platform reports
    // it (see ExitCodeAsSeen; on POSIX a child killed by signal s gives 128 + s).
    bool Wait(int nTimeoutMs, int* pExitCode);

    // The most memory the ended child held at once, in bytes (its peak resident
    // set on POSIX, its peak working set as last seen by Wait on Windows); 0 when
    // the platform could not tell. On Linux the figure is at least what this
    // process held when it started the child (the child's count begins as a copy
    // of its parent, before the new program replaces it).
    std::uint64_t PeakMemory() const;

    // Ends the child at once (SIGKILL, TerminateProcess).
    void Kill();

    // What the child wrote to standard output, as raw bytes.
    std::string Output() const;

    struct Impl;

private:
    Impl* m_pImpl;
};

}  // namespace platform
