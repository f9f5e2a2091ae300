#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/file_link.h"

namespace platform {
namespace {

const DWORD kSymbolicLinkDirectory = 0x1;       // SYMBOLIC_LINK_FLAG_DIRECTORY
const DWORD kSymbolicLinkUnprivileged = 0x2;    // ..._ALLOW_UNPRIVILEGED_CREATE

bool IsLink(const char* szPath)
{
    const DWORD dw = GetFileAttributesA(szPath);
    return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::wstring Wide(const char* sz)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, sz, -1, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, sz, -1, &w[0], n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

// Under Wine, the Unix name of a Windows path (its parent must exist); empty on
// Windows, where Wine's export is missing.
std::string UnixName(const char* szPath)
{
    typedef char*(CDECL * PFNUNIXNAME)(LPCWSTR);
    const PFNUNIXNAME pfn = reinterpret_cast<PFNUNIXNAME>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (pfn == nullptr)
        return std::string();
    const std::wstring w = Wide(szPath);
    char* szUnix = pfn(w.c_str());
    if (szUnix == nullptr)
        return std::string();
    std::string strUnix(szUnix);
    HeapFree(GetProcessHeap(), 0, szUnix);
    return strUnix;
}

// Runs a Unix program of the host under Wine. Wine neither waits for it nor
// reports its exit code, so the caller waits for the outcome itself (Settled).
bool RunUnix(const char* szProgram, const std::string& strArguments)
{
    std::string line = strArguments;
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(szProgram, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// Waits up to 10 seconds until szPath is a link (bLink) or is none.
bool Settled(const char* szPath, bool bLink)
{
    for (int i = 0; i < 1000; ++i) {
        if (IsLink(szPath) == bLink)
            return true;
        Sleep(10);
    }
    return false;
}

std::string Quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

FileResult WineDirectoryLink(const char* szLink, const char* szTarget)
{
    const std::string strLink = UnixName(szLink);
    const std::string strTarget = UnixName(szTarget);
    if (strLink.empty() || strTarget.empty() ||
        !RunUnix("Z:\\bin\\ln", "ln -s " + Quoted(strTarget) + " " + Quoted(strLink)))
        return kFileInvalidArgument;
    return Settled(szLink, true) ? kFileOk : kFileInvalidArgument;
}

FileResult Junction(const char* szLink, const char* szTarget)
{
    char szFull[MAX_PATH];
    const DWORD n = GetFullPathNameA(szTarget, MAX_PATH, szFull, nullptr);
    if (n == 0 || n >= MAX_PATH)
        return kFileInvalidArgument;
    const std::wstring print = Wide(szFull);
    const std::wstring substitute = L"\\??\\" + print;
    const size_t cbSubstitute = substitute.size() * sizeof(WCHAR);
    const size_t cbPrint = print.size() * sizeof(WCHAR);
    // REPARSE_DATA_BUFFER of a mount point: tag, data length, reserved; then
    // substitute name offset and length, print name offset and length; then the
    // two names, each followed by a NUL.
    const size_t cbData = 8 + cbSubstitute + 2 + cbPrint + 2;
    if (cbData > 0x3FF0)
        return kFileInvalidArgument;
    std::vector<BYTE> buffer(8 + cbData, 0);
    auto put16 = [&](size_t nAt, size_t v) {
        buffer[nAt] = static_cast<BYTE>(v);
        buffer[nAt + 1] = static_cast<BYTE>(v >> 8);
    };
    const DWORD dwTag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &dwTag, 4);
    put16(4, cbData);
    put16(8, 0);
    put16(10, cbSubstitute);
    put16(12, cbSubstitute + 2);
    put16(14, cbPrint);
    std::memcpy(&buffer[16], substitute.data(), cbSubstitute);
    std::memcpy(&buffer[16 + cbSubstitute + 2], print.data(), cbPrint);

    if (!CreateDirectoryA(szLink, nullptr))
        return GetLastError() == ERROR_ALREADY_EXISTS ? kFileExists : kFileIoError;
    const HANDLE h = CreateFileA(szLink, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD dwReturned = 0;
    const BOOL bSet = h != INVALID_HANDLE_VALUE &&
                      DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), nullptr, 0, &dwReturned,
                                      nullptr);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (!bSet || !IsLink(szLink)) {
        RemoveDirectoryA(szLink);
        return kFileInvalidArgument;
    }
    return kFileOk;
}

}  // namespace

FileResult LinkCreate(const char* szLink, const char* szTarget, LinkKind kind)
{
    if (szLink == nullptr || szTarget == nullptr)
        return kFileInvalidArgument;
    if (GetFileAttributesA(szLink) != INVALID_FILE_ATTRIBUTES)
        return kFileExists;
    if (kind == kLinkJunction)
        return Junction(szLink, szTarget);
    typedef BOOLEAN(WINAPI * PFNCREATESYMLINK)(LPCSTR, LPCSTR, DWORD);
    const PFNCREATESYMLINK pfnCreate = reinterpret_cast<PFNCREATESYMLINK>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA")));
    const DWORD dwKind = kind == kLinkToDirectory ? kSymbolicLinkDirectory : 0;
    if (pfnCreate != nullptr && !pfnCreate(szLink, szTarget, dwKind | kSymbolicLinkUnprivileged) &&
        GetLastError() == ERROR_INVALID_PARAMETER)
        pfnCreate(szLink, szTarget, dwKind);  // a Windows older than the unprivileged flag
    if (IsLink(szLink))
        return kFileOk;
    if (kind == kLinkToDirectory && GetFileAttributesA(szLink) == INVALID_FILE_ATTRIBUTES)
        return WineDirectoryLink(szLink, szTarget);
    return kFileInvalidArgument;
}

FileResult LinkDelete(const char* szLink)
{
    // Under Wine only the Unix "rm" takes a link away without touching its target.
    const std::string strLink = UnixName(szLink);
    if (strLink.empty())
        return LinkRemove(szLink);
    if (!IsLink(szLink))
        return kFileInvalidArgument;
    if (!RunUnix("Z:\\bin\\rm", "rm -f " + Quoted(strLink)))
        return kFileIoError;
    return Settled(szLink, false) ? kFileOk : kFileIoError;
}

}  // namespace platform
