#include "engine/txstore/dustbox.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/base/fault.h"
#include "engine/path/path.h"
#include "engine/txstore/remove_tree.h"
#include "engine/txstore/unique_name.h"
#include "platform/dir_watch.h"
#include "platform/file.h"

namespace velk {
namespace {

const unsigned kWaitSliceMs = 100;

// Held across a durable move (the move and the flushes that make it durable); the
// watcher takes it before each entry it removes, so that it never removes anything
// of a moved object whose move a power cut could still undo.
std::mutex g_mtxDurableMove;
const unsigned kLookEverySlices = 5;

// One watcher thread with the set it watches, its quit flag and its start-up
// handshake.
struct Watcher {
    std::vector<std::string> vDirectories;
    std::atomic<bool> bQuit{false};
    platform::CWatchStop stop;  // raised with bQuit: the thread's waits end at once
    std::mutex mtxStarted;
    std::condition_variable cvStarted;
    bool bStarted = false;
    std::thread thread;

    static int KeepGoing(std::uintptr_t nUser, int)
    {
        { std::lock_guard<std::mutex> hold(g_mtxDurableMove); }
        return reinterpret_cast<Watcher*>(nUser)->bQuit.load() ? 0 : 1;
    }

    int Empty(const std::string& directory)
    {
        return EmptyDirectory(directory.c_str(), &Watcher::KeepGoing,
                              reinterpret_cast<std::uintptr_t>(this));
    }

    int Run()
    {
        if (bQuit.load())
            return 0;
        {
            std::lock_guard<std::mutex> lock(mtxStarted);
            bStarted = true;
        }
        cvStarted.notify_all();

        std::vector<std::pair<const std::string*, platform::CDirWatch>> vWatches;
        for (const std::string& directory : vDirectories) {
            // Watched before the first emptying: a name that arrives while it runs
            // fires the watch instead of falling between the two.
            platform::CDirWatch watch;
            if (!watch.Start(directory.c_str()))
                return -1;
            if (Empty(directory) == kTreeStopped)
                return 0;
            vWatches.emplace_back(&directory, std::move(watch));
        }
        unsigned nSlices = 0;
        for (;;) {
            if (bQuit.load())
                return 0;
            // Now and then a directory is looked at without a notification: an
            // object that could not be deleted before is tried again, and a name
            // that arrives while the watch is being set up may go unreported.
            const bool bLook = ++nSlices % kLookEverySlices == 0;
            for (auto& w : vWatches) {
                int nFired = w.second.Wait(kWaitSliceMs, &stop);
                if (nFired < 0)
                    return -1;
                if (nFired == 0 && bLook)
                    nFired = 1;
                if (nFired == 0)
                    continue;
                // Re-armed before emptying: a name that arrives while the
                // directory is being emptied fires the next wait instead of being
                // forgotten with the changes already seen.
                if (!w.second.Rearm())
                    return -1;
                // An object that cannot go yet (held open, say) stays until the
                // next look; the watcher itself goes on for every directory.
                if (Empty(*w.first) == kTreeStopped)
                    return 0;
            }
        }
    }
};

}  // namespace

struct CDustbox::Impl {
    mutable std::mutex mtxLock;
    std::set<std::string> setRegistered;  // normalised paths, "\" separators
    std::unique_ptr<Watcher> pWatcher;
    unsigned nStarts = 0;

    void StopWatcher()
    {
        if (!pWatcher)
            return;
        pWatcher->bQuit.store(true);
        pWatcher->stop.Raise();
        if (pWatcher->thread.joinable())
            pWatcher->thread.join();
        pWatcher.reset();
    }

    void StartWatcher()
    {
        std::unique_ptr<Watcher> p(new Watcher);
        p->vDirectories.assign(setRegistered.begin(), setRegistered.end());
        try {
            Watcher* pRaw = p.get();
            p->thread = std::thread([pRaw] { pRaw->Run(); });
        } catch (...) {
            ThrowFault();
        }
        ++nStarts;
        std::unique_lock<std::mutex> lock(p->mtxStarted);
        p->cvStarted.wait(lock, [&] { return p->bStarted; });
        lock.unlock();
        pWatcher = std::move(p);
    }
};

CDustbox& CDustbox::Instance()
{
    static CDustbox instance;
    return instance;
}

CDustbox::CDustbox() : m_pImpl(new Impl) {}

CDustbox::~CDustbox()
{
    m_pImpl->StopWatcher();
    delete m_pImpl;
}

namespace {

bool IsEmptyDirectory(const char* szDirectory)
{
    std::vector<platform::DirEntry> vEntries;
    return platform::DirList(szDirectory, &vEntries) == platform::kFileOk && vEntries.empty();
}

}  // namespace

void CDustbox::Register(const char* szDirectory)
{
    std::lock_guard<std::mutex> lock(m_pImpl->mtxLock);
    unsigned nAttributes = 0;
    CPath directory;
    if (szDirectory == nullptr || directory.Set(szDirectory) != CPath::kOk || directory.IsEmpty() ||
        platform::FileGetAttributes(directory.GetString(), &nAttributes) != platform::kFileOk ||
        (nAttributes & platform::kFileAttrDirectory) == 0 ||
        (nAttributes & platform::kFileAttrReparsePoint) != 0)
        return;
    if (m_pImpl->setRegistered.count(directory.GetString()) != 0)
        return;
    const bool bRunning = m_pImpl->pWatcher != nullptr;
    m_pImpl->StopWatcher();
    m_pImpl->setRegistered.insert(directory.GetString());
    if (bRunning || !IsEmptyDirectory(directory.GetString()))
        m_pImpl->StartWatcher();
}

void CDustbox::Unregister(const char* szDirectory)
{
    std::lock_guard<std::mutex> lock(m_pImpl->mtxLock);
    CPath directory;
    if (szDirectory == nullptr || directory.Set(szDirectory) != CPath::kOk ||
        m_pImpl->setRegistered.count(directory.GetString()) == 0)
        return;
    const bool bRunning = m_pImpl->pWatcher != nullptr;
    m_pImpl->StopWatcher();
    m_pImpl->setRegistered.erase(directory.GetString());
    if (bRunning && !m_pImpl->setRegistered.empty())
        m_pImpl->StartWatcher();
}

void CDustbox::MoveToDustbox(const char* szDustbox, const char* szPath, const char* szFrom)
{
    std::lock_guard<std::mutex> lock(m_pImpl->mtxLock);
    if (m_pImpl->setRegistered.empty())
        return;
    CPath target;
    // Without a fresh name there is nothing to rename to: the object stays.
    if (MakeUniquePath(&target, nullptr, szDustbox) != 0)
        return;
    std::unique_lock<std::mutex> hold(g_mtxDurableMove, std::defer_lock);
    if (szFrom != nullptr)
        hold.lock();
    if (platform::FileMove(szPath, target.GetString()) != platform::kFileOk)
        return;
    if (szFrom != nullptr) {
        // The name gone from where it was is what must not come back; a rename is
        // durable with either of its directories, and where it lands in the box
        // matters to nobody.
        platform::DirFlush(szFrom);
        hold.unlock();
    }
    if (m_pImpl->pWatcher)
        return;
    // No watcher runs: an empty directory is gone with one call, anything else
    // has to be cleaned up in the background.
    if (platform::DirRemove(target.GetString()) == platform::kFileOk)
        return;
    try {
        m_pImpl->StartWatcher();
    } catch (...) {
    }
}

std::size_t CDustbox::GetRegisteredCount() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->mtxLock);
    return m_pImpl->setRegistered.size();
}

unsigned CDustbox::GetWatcherStarts() const
{
    std::lock_guard<std::mutex> lock(m_pImpl->mtxLock);
    return m_pImpl->nStarts;
}

}  // namespace velk
