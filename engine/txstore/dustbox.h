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
// set while it runs stops it and starts a new one. Stopping is always: raise the
// quit flag and the stop signal that ends the thread's waits at once, wait for the
// thread to end. An emptying in progress breaks off at the next directory entry
// once the flag is up.
//
// A process with nothing to clean runs no watcher: registering an empty
// directory only records it, and the thread starts when a registered dustbox
// turns out to hold something (at registration, or when an object that is more
// than an empty directory is moved in). An empty directory moved into a dustbox
// while no thread runs is removed there at once. Every stop of a thread costs the
// system's release of its change notifications (milliseconds on Linux), which a
// short command then never pays.
#pragma once

#include <cstddef>

namespace velk {

class CDustbox {
public:
    // The process's watcher, made on first use and stopped at process exit.
    static CDustbox& Instance();

    // Starts watching szDirectory. Does nothing when it is not an existing
    // directory (a link to one is not: its target is not ours to empty) or is
    // watched already. Otherwise a running thread is restarted with the new
    // set, and a thread is started when none runs and the directory is not
    // empty; returns once the thread runs. Throws when no thread can be started.
    void Register(const char* szDirectory);

    // Stops watching szDirectory; a running thread is stopped and, while other
    // directories remain, started again for them.
    void Unregister(const char* szDirectory);

    // Renames szPath into the dustbox szDustbox under a fresh name. Does nothing
    // while no directory is registered. When no thread runs, the renamed object is
    // removed at once if it is an empty directory, else the thread is started. A
    // failure leaves the object where it is and is not reported. With szFrom (the
    // directory that holds szPath), the move is made durable (both directories
    // flushed) before this process's watcher may remove anything of the object.
    void MoveToDustbox(const char* szDustbox, const char* szPath, const char* szFrom = nullptr);

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
