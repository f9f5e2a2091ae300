// POSIX backend only: what the file layer tells the power-cut simulation
// (platform/power_cut.h). Every hook does nothing unless a simulation is armed;
// paths are native. A CPowerCutStep is held around each change, so that the
// simulation sees changes in the order they happen; its constructor is where the
// power may go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {
namespace posix {

extern bool g_bPowerCutArmed;

class CPowerCutStep {
public:
    enum Kind { kChange, kWrite, kFlush, kRename };
    explicit CPowerCutStep(Kind kind);
    ~CPowerCutStep();
    CPowerCutStep(const CPowerCutStep&) = delete;
    CPowerCutStep& operator=(const CPowerCutStep&) = delete;

private:
    bool m_bLocked = false;
};

// Whether a path exists, asked before a call that may create it.
bool PowerCutExists(const std::string& strPath);

// A file's contents: before a write or a size change of fd, and after it.
void PowerCutBeforeFileChange(int fd);
void PowerCutWrote(int fd, std::uint64_t nOffset, const void* pData, std::size_t cb);
void PowerCutResized(int fd, std::uint64_t nSize);
// fd's data and size are on the disk.
void PowerCutFlushed(int fd);

// Directory changes, after they happened.
void PowerCutCreated(const std::string& strPath);
void PowerCutRenamed(const std::string& strFrom, const std::string& strTo);
// Remove the file (unlink) or the empty directory (rmdir) strPath in a way the
// simulation can undo; the results are those of unlink and rmdir (errno set on
// failure).
int PowerCutUnlink(const std::string& strPath);
int PowerCutRmdir(const std::string& strPath);
// strPath's entries are on the disk.
void PowerCutFlushedDirectory(const std::string& strPath);

}  // namespace posix
}  // namespace platform
