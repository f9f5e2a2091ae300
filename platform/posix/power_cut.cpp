// The power-cut simulation of the POSIX file layer (platform/power_cut.h).
//
// Files are known by inode, so that renames do not lose them. For each file
// changed since its last flush it keeps the contents it had then (the durable
// contents) and the writes and size changes made since. Directory changes are kept
// in order until a flush of their directory makes them durable; a removed file is
// first linked into a directory of the simulation's own, so that it can come back.
// The cut undoes the pending directory changes, newest first, then rebuilds each
// pending file that is still below the root from its durable contents and the
// fate of each change.
#include "platform/power_cut.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/posix/native_text.h"
#include "platform/posix/power_cut_hooks.h"

namespace platform {
namespace posix {

bool g_bPowerCutArmed = false;

namespace {

const std::uint64_t kSector = 512;

struct FileChange {
    bool bWrite;  // else a new size
    std::uint64_t nOffset;
    std::string data;
};

struct FileRecord {
    std::string durable;
    std::vector<FileChange> changes;
};

struct DirChange {
    enum Kind { kCreated, kUnlinked, kRemovedDir, kRenamed } kind;
    ino_t dirFrom = 0;  // unlinked, removed, renamed: where it was
    std::string nameFrom;
    ino_t dirTo = 0;  // created, renamed: where it is
    std::string nameTo;
    ino_t object = 0;
    std::string keep;  // unlinked: the simulation's link to the file
};

struct State {
    std::recursive_mutex mutex;
    std::string root;  // native, absolute, without a trailing "/"
    std::string keep;  // the directory for removed files, inside root
    dev_t device = 0;
    std::uint32_t anCount[3] = {0, 0, 0};  // writes, flushes, renames
    std::uint32_t anCutAt[3] = {0, 0, 0};
    std::uint32_t nSeed = 0;
    std::uint32_t nKept = 0;
    std::map<ino_t, FileRecord> files;
    std::vector<DirChange> dirChanges;
};

State& TheState()
{
    static State* s_pState = new State;  // never destroyed: other threads may still use it
    return *s_pState;
}

std::string Absolute(const std::string& strPath)
{
    if (!strPath.empty() && strPath[0] == '/')
        return strPath;
    char buffer[4096];
    if (getcwd(buffer, sizeof(buffer)) == nullptr)
        return strPath;
    return std::string(buffer) + "/" + strPath;
}

bool Below(const State& s, const std::string& strAbsolute)
{
    return strAbsolute.size() > s.root.size() + 1 &&
           strAbsolute.compare(0, s.root.size(), s.root) == 0 && strAbsolute[s.root.size()] == '/' &&
           strAbsolute.compare(0, s.keep.size(), s.keep) != 0;
}

// Splits an absolute path into its directory's inode and its last name; false
// when the path is not below the root or the directory is gone.
bool Locate(const State& s, const std::string& strPath, ino_t* pnDir, std::string* pstrName)
{
    const std::string strAbsolute = Absolute(strPath);
    if (!Below(s, strAbsolute))
        return false;
    const std::size_t nSlash = strAbsolute.rfind('/');
    struct stat st;
    if (lstat(strAbsolute.substr(0, nSlash).c_str(), &st) != 0 || st.st_dev != s.device)
        return false;
    *pnDir = st.st_ino;
    *pstrName = strAbsolute.substr(nSlash + 1);
    return true;
}

bool ReadAll(int fd, std::string* pstr)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    pstr->assign(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t nDone = 0;
    while (nDone < pstr->size()) {
        const ssize_t n = pread(fd, &(*pstr)[nDone], pstr->size() - nDone, static_cast<off_t>(nDone));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        nDone += static_cast<std::size_t>(n);
    }
    pstr->resize(nDone);
    return true;
}

// ---- The cut ---------------------------------------------------------------

struct Tree {
    std::map<ino_t, std::string> dirs;   // the root included
    std::map<ino_t, std::string> files;
};

void Walk(const State& s, const std::string& strDir, Tree* pTree)
{
    DIR* pDir = opendir(strDir.c_str());
    if (pDir == nullptr)
        return;
    while (const struct dirent* pEntry = readdir(pDir)) {
        if (std::strcmp(pEntry->d_name, ".") == 0 || std::strcmp(pEntry->d_name, "..") == 0)
            continue;
        const std::string strPath = strDir + "/" + pEntry->d_name;
        struct stat st;
        if (strPath == s.keep || lstat(strPath.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            pTree->dirs[st.st_ino] = strPath;
            Walk(s, strPath, pTree);
        } else if (S_ISREG(st.st_mode)) {
            pTree->files[st.st_ino] = strPath;
        }
    }
    closedir(pDir);
}

Tree TakeTree(const State& s)
{
    Tree tree;
    struct stat st;
    if (lstat(s.root.c_str(), &st) == 0)
        tree.dirs[st.st_ino] = s.root;
    Walk(s, s.root, &tree);
    return tree;
}

void RemoveAll(const std::string& strPath)
{
    struct stat st;
    if (lstat(strPath.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* pDir = opendir(strPath.c_str())) {
            std::vector<std::string> vNames;
            while (const struct dirent* pEntry = readdir(pDir))
                if (std::strcmp(pEntry->d_name, ".") != 0 && std::strcmp(pEntry->d_name, "..") != 0)
                    vNames.push_back(pEntry->d_name);
            closedir(pDir);
            for (const std::string& name : vNames)
                RemoveAll(strPath + "/" + name);
        }
        rmdir(strPath.c_str());
    } else {
        unlink(strPath.c_str());
    }
}

bool Exists(const std::string& strPath, ino_t* pnIno = nullptr)
{
    struct stat st;
    if (lstat(strPath.c_str(), &st) != 0)
        return false;
    if (pnIno != nullptr)
        *pnIno = st.st_ino;
    return true;
}

// Puts the directory entries back as they were at their directories' last flush.
void UndoDirectoryChanges(State& s)
{
    std::map<ino_t, ino_t> remade;  // a removed directory made again: old inode -> new
    for (auto it = s.dirChanges.rbegin(); it != s.dirChanges.rend(); ++it) {
        const DirChange& change = *it;
        const Tree tree = TakeTree(s);
        auto dirPath = [&](ino_t nDir, std::string* pstr) {
            const auto r = remade.find(nDir);
            const auto d = tree.dirs.find(r != remade.end() ? r->second : nDir);
            if (d == tree.dirs.end())
                return false;
            *pstr = d->second;
            return true;
        };
        std::string strFrom, strTo;
        ino_t nIno = 0;
        switch (change.kind) {
        case DirChange::kCreated:
            if (dirPath(change.dirTo, &strTo) && Exists(strTo + "/" + change.nameTo, &nIno) &&
                nIno == change.object)
                RemoveAll(strTo + "/" + change.nameTo);
            break;
        case DirChange::kUnlinked:
            if (dirPath(change.dirFrom, &strFrom) && !Exists(strFrom + "/" + change.nameFrom))
                rename(change.keep.c_str(), (strFrom + "/" + change.nameFrom).c_str());
            break;
        case DirChange::kRemovedDir:
            if (dirPath(change.dirFrom, &strFrom) &&
                mkdir((strFrom + "/" + change.nameFrom).c_str(), 0777) == 0 &&
                Exists(strFrom + "/" + change.nameFrom, &nIno))
                remade[change.object] = nIno;
            break;
        case DirChange::kRenamed:
            if (dirPath(change.dirTo, &strTo) && dirPath(change.dirFrom, &strFrom) &&
                Exists(strTo + "/" + change.nameTo, &nIno) && nIno == change.object &&
                !Exists(strFrom + "/" + change.nameFrom))
                rename((strTo + "/" + change.nameTo).c_str(), (strFrom + "/" + change.nameFrom).c_str());
            break;
        }
    }
}

// What became of one file's changes.
std::string Survivor(const FileRecord& record, int nMode, std::mt19937* pRandom)
{
    std::string contents = record.durable;
    for (const FileChange& change : record.changes) {
        const int nFate = nMode == 3 ? static_cast<int>((*pRandom)() % 3) : nMode;  // 0 dropped, 1 kept, 2 torn
        if (nFate == 0)
            continue;
        if (!change.bWrite) {
            contents.resize(static_cast<std::size_t>(change.nOffset), '\0');
            continue;
        }
        const std::uint64_t nEnd = change.nOffset + change.data.size();
        for (std::uint64_t nAt = change.nOffset; nAt < nEnd;) {
            const std::uint64_t nNext = std::min(nEnd, (nAt / kSector + 1) * kSector);
            if (nFate == 1 || (*pRandom)() % 2 == 0) {
                if (contents.size() < nNext)
                    contents.resize(static_cast<std::size_t>(nNext), '\0');
                std::memcpy(&contents[static_cast<std::size_t>(nAt)],
                            change.data.data() + (nAt - change.nOffset),
                            static_cast<std::size_t>(nNext - nAt));
            }
            nAt = nNext;
        }
    }
    return contents;
}

void Rebuild(State& s)
{
    UndoDirectoryChanges(s);
    const Tree tree = TakeTree(s);
    std::mt19937 random(s.nSeed);
    for (const auto& entry : s.files) {
        const auto it = tree.files.find(entry.first);
        if (it == tree.files.end())
            continue;  // gone with its directory entry
        const std::string contents = Survivor(entry.second, static_cast<int>(s.nSeed % 4), &random);
        const int fd = open(it->second.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (ftruncate(fd, static_cast<off_t>(contents.size())) == 0) {
            std::size_t nDone = 0;
            while (nDone < contents.size()) {
                const ssize_t n = pwrite(fd, contents.data() + nDone, contents.size() - nDone,
                                         static_cast<off_t>(nDone));
                if (n <= 0)
                    break;
                nDone += static_cast<std::size_t>(n);
            }
        }
        close(fd);
    }
}

[[noreturn]] void Cut(State& s)
{
    Rebuild(s);
    EndProcessNow();
}

bool ParsePlan(const char* szPlan, State* pState)
{
    static const char* const kKeys[] = {"write=", "flush=", "rename=", "seed="};
    const char* p = szPlan;
    while (*p != '\0') {
        if (std::strncmp(p, "never", 5) == 0 && (p[5] == ',' || p[5] == '\0')) {
            p += p[5] == ',' ? 6 : 5;
            continue;
        }
        bool bKnown = false;
        for (int i = 0; i < 4 && !bKnown; ++i) {
            const std::size_t cch = std::strlen(kKeys[i]);
            if (std::strncmp(p, kKeys[i], cch) != 0)
                continue;
            char* pEnd = nullptr;
            const unsigned long n = std::strtoul(p + cch, &pEnd, 10);
            if (pEnd == p + cch || (*pEnd != ',' && *pEnd != '\0') || n > 0xFFFFFFFFul ||
                (i < 3 && n == 0))
                return false;
            (i < 3 ? pState->anCutAt[i] : pState->nSeed) = static_cast<std::uint32_t>(n);
            p = *pEnd == ',' ? pEnd + 1 : pEnd;
            bKnown = true;
        }
        if (!bKnown)
            return false;
    }
    return true;
}

// The record of the file open as fd, when its changes are being tracked; else null.
FileRecord* TrackedFile(int fd)
{
    State& s = TheState();
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != s.device)
        return nullptr;
    const auto it = s.files.find(st.st_ino);
    return it != s.files.end() ? &it->second : nullptr;
}

}  // namespace

CPowerCutStep::CPowerCutStep(Kind kind)
{
    if (!g_bPowerCutArmed)
        return;
    State& s = TheState();
    s.mutex.lock();
    m_bLocked = true;
    if (kind == kChange)
        return;
    const int i = kind == kWrite ? 0 : kind == kFlush ? 1 : 2;
    if (++s.anCount[i] == s.anCutAt[i])
        Cut(s);
}

CPowerCutStep::~CPowerCutStep()
{
    if (m_bLocked)
        TheState().mutex.unlock();
}

bool PowerCutExists(const std::string& strPath)
{
    return Exists(strPath);
}

void PowerCutBeforeFileChange(int fd)
{
    if (!g_bPowerCutArmed)
        return;
    State& s = TheState();
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != s.device || s.files.count(st.st_ino) != 0)
        return;
    FileRecord& record = s.files[st.st_ino];
    ReadAll(fd, &record.durable);
}

void PowerCutWrote(int fd, std::uint64_t nOffset, const void* pData, std::size_t cb)
{
    if (!g_bPowerCutArmed || cb == 0)
        return;
    if (FileRecord* pRecord = TrackedFile(fd))
        pRecord->changes.push_back({true, nOffset, std::string(static_cast<const char*>(pData), cb)});
}

void PowerCutResized(int fd, std::uint64_t nSize)
{
    if (!g_bPowerCutArmed)
        return;
    if (FileRecord* pRecord = TrackedFile(fd))
        pRecord->changes.push_back({false, nSize, std::string()});
}

void PowerCutFlushed(int fd)
{
    if (!g_bPowerCutArmed)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0)
        TheState().files.erase(st.st_ino);
}

void PowerCutCreated(const std::string& strPath)
{
    if (!g_bPowerCutArmed)
        return;
    State& s = TheState();
    DirChange change;
    change.kind = DirChange::kCreated;
    if (!Locate(s, strPath, &change.dirTo, &change.nameTo) || !Exists(strPath, &change.object))
        return;
    s.files.erase(change.object);  // new: nothing of it is durable yet
    s.dirChanges.push_back(change);
}

void PowerCutRenamed(const std::string& strFrom, const std::string& strTo)
{
    if (!g_bPowerCutArmed)
        return;
    State& s = TheState();
    DirChange change;
    change.kind = DirChange::kRenamed;
    if (Locate(s, strFrom, &change.dirFrom, &change.nameFrom) &&
        Locate(s, strTo, &change.dirTo, &change.nameTo) && Exists(strTo, &change.object))
        s.dirChanges.push_back(change);
}

int PowerCutUnlink(const std::string& strPath)
{
    if (!g_bPowerCutArmed)
        return unlink(strPath.c_str());
    State& s = TheState();
    DirChange change;
    change.kind = DirChange::kUnlinked;
    if (!Locate(s, strPath, &change.dirFrom, &change.nameFrom))
        return unlink(strPath.c_str());
    change.keep = s.keep + "/" + std::to_string(++s.nKept);
    if (link(strPath.c_str(), change.keep.c_str()) != 0)
        return unlink(strPath.c_str());
    if (unlink(strPath.c_str()) != 0) {
        const int nError = errno;
        unlink(change.keep.c_str());
        errno = nError;
        return -1;
    }
    s.dirChanges.push_back(change);
    return 0;
}

int PowerCutRmdir(const std::string& strPath)
{
    if (!g_bPowerCutArmed)
        return rmdir(strPath.c_str());
    State& s = TheState();
    DirChange change;
    change.kind = DirChange::kRemovedDir;
    const bool bKnown = Locate(s, strPath, &change.dirFrom, &change.nameFrom) &&
                        Exists(strPath, &change.object);
    if (rmdir(strPath.c_str()) != 0)
        return -1;
    if (bKnown)
        s.dirChanges.push_back(change);
    return 0;
}

void PowerCutFlushedDirectory(const std::string& strPath)
{
    if (!g_bPowerCutArmed)
        return;
    State& s = TheState();
    struct stat st;
    if (lstat(strPath.c_str(), &st) != 0)
        return;
    std::vector<DirChange> vPending;
    for (DirChange& change : s.dirChanges) {
        if (change.dirFrom == st.st_ino || change.dirTo == st.st_ino) {
            // Removed for good: the inode may be used again.
            struct stat stKept;
            if (change.kind == DirChange::kUnlinked && lstat(change.keep.c_str(), &stKept) == 0) {
                s.files.erase(stKept.st_ino);
                unlink(change.keep.c_str());
            }
            continue;
        }
        vPending.push_back(change);
    }
    s.dirChanges.swap(vPending);
}

}  // namespace posix

bool PowerCutSupported()
{
    return true;
}

bool ArmPowerCut(const char* szRoot, const char* szPlan)
{
    if (szRoot == nullptr || szPlan == nullptr || posix::g_bPowerCutArmed)
        return false;
    posix::State& s = posix::TheState();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    if (!posix::ParsePlan(szPlan, &s))
        return false;
    std::string strRoot = posix::Absolute(posix::ToNativePath(szRoot));
    while (strRoot.size() > 1 && strRoot.back() == '/')
        strRoot.pop_back();
    struct stat st;
    if (lstat(strRoot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    s.root = strRoot;
    s.keep = strRoot + "/.power-cut";
    s.device = st.st_dev;
    if (mkdir(s.keep.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    posix::g_bPowerCutArmed = true;
    return true;
}

void PowerCutNow()
{
    if (!posix::g_bPowerCutArmed)
        EndProcessNow();
    posix::State& s = posix::TheState();
    s.mutex.lock();
    posix::Cut(s);
}

PowerCutCounts GetPowerCutCounts()
{
    posix::State& s = posix::TheState();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    PowerCutCounts counts;
    counts.nWrites = s.anCount[0];
    counts.nFlushes = s.anCount[1];
    counts.nRenames = s.anCount[2];
    return counts;
}

}  // namespace platform
