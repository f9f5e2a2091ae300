// The dustbox watcher. Nothing on a transaction's path is deleted in place:
// objects are renamed into a dustbox directory under a fresh name, and one
// background thread per process keeps every registered dustbox empty. It empties a
// directory when the watcher starts and again whenever names change inside it.
// The desktop application may watch the same directories.
//
// An object that cannot be deleted yet (held open, say) is tried again at the
// thread's next look, about every half second; it does not stop the watcher.
//
// The thread reads the registered set only when it starts; every change of the
// set stops the thread and starts a new one. Stopping is always: raise the quit
// flag, wait for the thread to end. An emptying in progress breaks off at the
// next directory entry once the flag is up.
#pragma once

#include <cstddef>

namespace velk {

class CDustbox {
public:
    // The process's watcher, made on first use and stopped at process exit.
    static CDustbox& Instance();

    // Starts watching szDirectory. Does nothing when it is not an existing
    // directory (a link to one is not: its target is not ours to empty) or is
    // watched already; otherwise restarts the thread with the new
    // set and returns once the thread runs. Throws when no thread can be started.
    void Register(const char* szDirectory);

    // Stops watching szDirectory; the thread is stopped and, while other
    // directories remain, started again for them.
    void Unregister(const char* szDirectory);

    // Renames szPath into the dustbox szDustbox under a fresh name. Does nothing
    // while no watcher thread has been started; a failure leaves the object where
    // it is and is not reported.
    void MoveToDustbox(const char* szDustbox, const char* szPath);

    // For tests: the number of watched directories, and how often a watcher
    // thread has been started in this process.
    std::size_t GetRegisteredCount() const;
    unsigned GetWatcherStarts() const;

    CDustbox(const CDustbox&) = delete;
    CDustbox& operator=(const CDustbox&) = delete;

private:
    CDustbox();
    ~CDustbox();

    struct Impl;
    Impl* m_pImpl;
};

}  // namespace velk
