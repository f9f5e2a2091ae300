#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/named_object.h"
#include "platform/test_support.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Names unique to this run, so that test binaries running side by side (and other
// builds of them) never meet each other's objects.
std::string UniqueName(const char* szTag)
{
    static const unsigned long long nRun =
        (static_cast<unsigned long long>(std::random_device()()) << 32) ^
        static_cast<unsigned long long>(Clock::now().time_since_epoch().count());
    static std::atomic<int> nNext(0);
    return "t" + std::to_string(nRun) + "-" + std::to_string(nNext++) + "-" + szTag;
}

// The parent waits on this for a child's "ready"; the child releases it.
bool WaitReady(CNamedSemaphore* pReady)
{
    return pReady->Wait(30000) == kWaitSignaled;
}

int SignalReady(const std::string& name)
{
    CNamedSemaphore ready;
    if (ready.Create(name.c_str(), 0, 1000, nullptr) != 0)
        return 90;
    return ready.Release(1, nullptr) == 0 ? 0 : 91;
}

enum ObjectKind { kMutexObject, kSemaphoreObject, kMemoryObject };

// Opens one object of the given kind; returns the error and the "existed" flag.
struct AnyObject {
    CNamedMutex mutex;
    CNamedSemaphore semaphore;
    CNamedSharedMemory memory;
    int Create(ObjectKind kind, const std::string& name, bool* pbExisted)
    {
        switch (kind) {
        case kMutexObject: return mutex.Create(name.c_str(), false, pbExisted);
        case kSemaphoreObject: return semaphore.Create(name.c_str(), 0, 10, pbExisted);
        default: return memory.Create(name.c_str(), 12, pbExisted);
        }
    }
    void Close()
    {
        mutex.Close();
        semaphore.Close();
        memory.Close();
    }
};

// Exit code: 10 + kind's "existed" (0 created, 1 existed), or an error code.
CHILD_SCENARIO(create_and_report)
{
    AnyObject obj;
    bool bExisted = false;
    if (obj.Create(static_cast<ObjectKind>(std::atoi(vArgs.at(0).c_str())), vArgs.at(1), &bExisted) != 0)
        return 2;
    return bExisted ? 11 : 10;
}

TEST(NamedObject, CreatedOrExistedAndRemovedAtLastClose)
{
    const ObjectKind kinds[] = {kMutexObject, kSemaphoreObject, kMemoryObject};
    for (ObjectKind kind : kinds) {
        SCOPED_TRACE(kind);
        const std::string name = UniqueName("life");
        AnyObject a, b;
        bool bExisted = true;
        ASSERT_EQ(0, a.Create(kind, name, &bExisted));
        EXPECT_FALSE(bExisted);
        ASSERT_EQ(0, b.Create(kind, name, &bExisted));
        EXPECT_TRUE(bExisted);
        EXPECT_EQ(11, testing::RunChild("create_and_report", {std::to_string(kind), name}));
        a.Close();
        EXPECT_EQ(11, testing::RunChild("create_and_report", {std::to_string(kind), name}));
        b.Close();
        // No handle left anywhere: the object is gone, in this process and others.
        EXPECT_EQ(10, testing::RunChild("create_and_report", {std::to_string(kind), name}));
        ASSERT_EQ(0, a.Create(kind, name, &bExisted));
        EXPECT_FALSE(bExisted);
    }
}

TEST(NamedObject, NamesAreCaseSensitiveAndMayHoldAnyCharacter)
{
    const std::string base = UniqueName("case");
    // Anything but a backslash, which Windows keeps for its namespaces.
    const std::string odd = base + " /:*?\x82\xa0" + std::string(300, 'x');
    CNamedSemaphore upper, lower, oddA, oddB;
    bool bExisted = true;
    ASSERT_EQ(0, upper.Create((base + "A").c_str(), 0, 1, &bExisted));
    ASSERT_EQ(0, lower.Create((base + "a").c_str(), 0, 1, &bExisted));
    EXPECT_FALSE(bExisted);
    ASSERT_EQ(0, oddA.Create(odd.substr(0, 250).c_str(), 0, 1, &bExisted));
    EXPECT_FALSE(bExisted);
    ASSERT_EQ(0, oddB.Create(odd.substr(0, 250).c_str(), 0, 1, &bExisted));
    EXPECT_TRUE(bExisted);
    ASSERT_EQ(0, upper.Release(1, nullptr));
    EXPECT_EQ(kWaitTimedOut, lower.Wait(0));
    EXPECT_EQ(kWaitSignaled, upper.Wait(0));
}

// The results are the layer's own, the same on both targets.
TEST(NamedObject, InvalidArgumentsAreRefused)
{
    CNamedSemaphore sem;
    CNamedMutex mutex;
    CNamedSharedMemory memory;
    const std::string name = UniqueName("args");
    EXPECT_EQ(kFileInvalidArgument, sem.Create(name.c_str(), 2, 1, nullptr));
    EXPECT_EQ(kFileInvalidArgument, sem.Create(name.c_str(), 0, 0, nullptr));
    EXPECT_EQ(kFileInvalidArgument, mutex.Create("", false, nullptr));
    EXPECT_EQ(kFileInvalidArgument, memory.Create(name.c_str(), 0, nullptr));
    EXPECT_FALSE(sem.IsOpen());
    EXPECT_EQ(kWaitFailed, sem.Wait(0));
    EXPECT_EQ(kFileInvalidArgument, mutex.Release());
}

CHILD_SCENARIO(hold_objects_until_killed)
{
    // Owns the mutex, puts three units in the semaphore and bytes in the memory,
    // says so, and waits to be killed.
    CNamedMutex mutex;
    CNamedSemaphore sem;
    CNamedSharedMemory memory;
    const std::string& name = vArgs.at(1);
    if (mutex.Create((name + ".m").c_str(), true, nullptr) != 0 ||
        sem.Create((name + ".s").c_str(), 0, 10, nullptr) != 0 ||
        memory.Create((name + ".x").c_str(), 12, nullptr) != 0)
        return 2;
    if (sem.Release(3, nullptr) != 0 || memory.Write("twelve bytes", 12) != 0)
        return 3;
    if (SignalReady(vArgs.at(0)) != 0)
        return 4;
    for (;;)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TEST(NamedObject, KilledLastHolderLeavesNothingBehind)
{
    const std::string readyName = UniqueName("ready");
    const std::string name = UniqueName("killed");
    CNamedSemaphore ready;
    ASSERT_EQ(0, ready.Create(readyName.c_str(), 0, 1000, nullptr));
    CChildProcess child;
    ASSERT_EQ(0, testing::StartChild(&child, "hold_objects_until_killed", {readyName, name}));
    ASSERT_TRUE(WaitReady(&ready));
    child.Kill();
    int nCode = 0;
    ASSERT_TRUE(child.Wait(30000, &nCode));

    CNamedSemaphore sem;
    CNamedSharedMemory memory;
    bool bExisted = true;
    ASSERT_EQ(0, sem.Create((name + ".s").c_str(), 0, 10, &bExisted));
    EXPECT_FALSE(bExisted);
    EXPECT_EQ(kWaitTimedOut, sem.Wait(0));
    ASSERT_EQ(0, memory.Create((name + ".x").c_str(), 12, &bExisted));
    EXPECT_FALSE(bExisted);
    char abBytes[12];
    ASSERT_EQ(0, memory.Read(abBytes, 12));
    EXPECT_EQ(std::string(12, '\0'), std::string(abBytes, 12));
}

TEST(NamedObject, MutexOfAKilledOwnerIsAbandonedToTheNextWaiter)
{
    const std::string readyName = UniqueName("ready");
    const std::string name = UniqueName("abandon");
    CNamedSemaphore ready;
    ASSERT_EQ(0, ready.Create(readyName.c_str(), 0, 1000, nullptr));
    CChildProcess child;
    ASSERT_EQ(0, testing::StartChild(&child, "hold_objects_until_killed", {readyName, name}));
    ASSERT_TRUE(WaitReady(&ready));
    CNamedMutex mutex;
    bool bExisted = false;
    ASSERT_EQ(0, mutex.Create((name + ".m").c_str(), true, &bExisted));
    EXPECT_TRUE(bExisted);  // and so not owned: a release fails
    EXPECT_EQ(kFileAccessDenied, mutex.Release());

    // Windows gives a mutex to a thread, and abandons it when that thread ends:
    // wait on this thread and kill the owner from another.
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        child.Kill();
    });
    const auto start = Clock::now();
    EXPECT_EQ(kWaitAbandoned, mutex.Wait());
    EXPECT_GE(MsSince(start), 90);  // it was still owned by the child
    killer.join();
    // After a proper release the next owner is told nothing unusual.
    CNamedMutex other;
    ASSERT_EQ(0, other.Create((name + ".m").c_str(), false, nullptr));
    EXPECT_EQ(0, mutex.Release());
    EXPECT_EQ(kWaitSignaled, other.Wait());
    EXPECT_EQ(kWaitSignaled, other.Wait());  // recursive
    EXPECT_EQ(0, other.Release());
    EXPECT_EQ(0, other.Release());
    EXPECT_EQ(kFileAccessDenied, other.Release());
}

TEST(NamedObject, MutexHandlesExcludeEachOtherAcrossThreads)
{
    const std::string name = UniqueName("threads");
    CNamedMutex a, b;
    ASSERT_EQ(0, a.Create(name.c_str(), true, nullptr));
    ASSERT_EQ(0, b.Create(name.c_str(), false, nullptr));
    std::atomic<bool> bGot(false);
    std::thread t([&] {
        EXPECT_EQ(kWaitSignaled, b.Wait());
        bGot = true;
        EXPECT_EQ(0, b.Release());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(bGot.load());
    EXPECT_EQ(0, a.Release());
    t.join();
    EXPECT_TRUE(bGot.load());
}

TEST(NamedObject, SemaphoreStopsAtItsMaximum)
{
    const std::string name = UniqueName("max");
    CNamedSemaphore sem, other;
    ASSERT_EQ(0, sem.Create(name.c_str(), 1, 2, nullptr));
    ASSERT_EQ(0, other.Create(name.c_str(), 0, 100, nullptr));  // counts ignored: it exists
    std::uint32_t nPrevious = 99;
    // 1 + 2 > 2: refused, nothing changes
    EXPECT_EQ(kFileInvalidArgument, other.Release(2, &nPrevious));
    EXPECT_EQ(0, other.Release(1, &nPrevious));
    EXPECT_EQ(1u, nPrevious);
    EXPECT_EQ(kFileInvalidArgument, sem.Release(1, nullptr));
    EXPECT_EQ(kWaitSignaled, sem.Wait(0));
    EXPECT_EQ(kWaitSignaled, other.Wait(kWaitForever));
    const auto start = Clock::now();
    EXPECT_EQ(kWaitTimedOut, sem.Wait(150));
    const long long ms = MsSince(start);
    EXPECT_GE(ms, 140);
    EXPECT_LT(ms, 5000);
}

CHILD_SCENARIO(release_semaphore)
{
    CNamedSemaphore sem;
    if (sem.Create(vArgs.at(0).c_str(), 0, 10, nullptr) != 0)
        return 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(vArgs.at(1).c_str())));
    return sem.Release(1, nullptr) == 0 ? 0 : 3;
}

TEST(NamedObject, SemaphoreWakesAWaiterInAnotherProcess)
{
    const std::string name = UniqueName("wake");
    CNamedSemaphore sem;
    ASSERT_EQ(0, sem.Create(name.c_str(), 0, 10, nullptr));
    CChildProcess child;
    ASSERT_EQ(0, testing::StartChild(&child, "release_semaphore", {name, "200"}));
    EXPECT_EQ(kWaitSignaled, sem.Wait(30000));
    int nCode = -1;
    ASSERT_TRUE(child.Wait(30000, &nCode));
    EXPECT_EQ(0, nCode);
}

#ifndef _WIN32
// Signals exist only on POSIX: a timed wait interrupted again and again must
// neither end early nor stretch its time-out.
void IgnoreSignal(int) {}

TEST(NamedObject, TimedWaitKeepsItsDeadlineUnderASignalStorm)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = &IgnoreSignal;  // no SA_RESTART: every signal interrupts the sleep
    struct sigaction old;
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));
    const std::string name = UniqueName("storm");
    CNamedSemaphore sem;
    ASSERT_EQ(0, sem.Create(name.c_str(), 0, 1, nullptr));
    const pthread_t waiter = pthread_self();
    std::atomic<bool> bStop(false);
    std::thread storm([&] {
        while (!bStop)
            pthread_kill(waiter, SIGUSR1), std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    const auto start = Clock::now();
    const WaitResult r = sem.Wait(400);
    const long long ms = MsSince(start);
    bStop = true;
    storm.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(kWaitTimedOut, r);
    EXPECT_GE(ms, 395);
    EXPECT_LT(ms, 1500);
}
#endif

TEST(NamedObject, ChildProcessesDoNotInheritHandles)
{
    const std::string name = UniqueName("exec");
    CChildProcess child;
    {
        CNamedMutex mutex;
        CNamedSemaphore sem;
        ASSERT_EQ(0, mutex.Create(name.c_str(), true, nullptr));
        ASSERT_EQ(0, sem.Create((name + ".s").c_str(), 0, 1, nullptr));
        ASSERT_EQ(0, testing::StartChild(&child, "sleep_long", {}));
    }
    // The child still runs; had it inherited a handle, the objects would live on.
    CNamedMutex mutex;
    CNamedSemaphore sem;
    bool bExisted = true;
    ASSERT_EQ(0, mutex.Create(name.c_str(), false, &bExisted));
    EXPECT_FALSE(bExisted);
    EXPECT_EQ(kWaitSignaled, mutex.Wait());
    EXPECT_EQ(0, mutex.Release());
    ASSERT_EQ(0, sem.Create((name + ".s").c_str(), 0, 1, &bExisted));
    EXPECT_FALSE(bExisted);
}

// Repeatedly creates the mutex vArgs[1], owns it and, under it, checks and sets
// the "inside" word of the block vArgs[0] that the parent keeps open. Returns the
// number of times it found another owner inside (0 expected), or 100+ on errors.
CHILD_SCENARIO(churn_one_name)
{
    CNamedSharedMemory counter;
    bool bExisted = false;
    if (counter.Create(vArgs.at(0).c_str(), 8, &bExisted) != 0 || !bExisted)
        return 100;
    const int nRounds = std::atoi(vArgs.at(2).c_str());
    int nOverlaps = 0;
    for (int i = 0; i < nRounds; ++i) {
        CNamedMutex mutex;
        if (mutex.Create(vArgs.at(1).c_str(), false, nullptr) != 0)
            return 101;
        if (mutex.Wait() == kWaitFailed)
            return 102;
        std::uint32_t aWords[2];
        if (counter.Read(aWords, 8) != 0)
            return 103;
        if (aWords[0] != 0)
            ++nOverlaps;
        aWords[0] = 1;
        counter.Write(aWords, 8);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        counter.Read(aWords, 8);
        aWords[0] = 0;
        ++aWords[1];
        counter.Write(aWords, 8);
        mutex.Release();
    }
    return nOverlaps;
}

TEST(NamedObject, ManyProcessesCreatingAndClosingOneNameNeverSplitIt)
{
    const std::string counterName = UniqueName("counter");
    const std::string churnName = UniqueName("churn");
    CNamedSharedMemory counter;
    ASSERT_EQ(0, counter.Create(counterName.c_str(), 8, nullptr));
    const int nChildren = 6;
    const int nRounds = 200;
    std::vector<CChildProcess> children(nChildren);
    for (CChildProcess& c : children)
        ASSERT_EQ(0, testing::StartChild(&c, "churn_one_name",
                                         {counterName, churnName, std::to_string(nRounds)}));
    for (CChildProcess& c : children) {
        int nCode = -1;
        ASSERT_TRUE(c.Wait(120000, &nCode));
        EXPECT_EQ(0, nCode);
    }
    std::uint32_t aWords[2];
    ASSERT_EQ(0, counter.Read(aWords, 8));
    EXPECT_EQ(0u, aWords[0]);
    EXPECT_EQ(static_cast<std::uint32_t>(nChildren * nRounds), aWords[1]);
}

// Waits on a semaphore nobody releases, inside a deferral, until an interrupt
// arrives; then it reports by a second semaphore and lets the process end.
CHILD_SCENARIO(interrupted_waiter)
{
    CNamedSemaphore sem, done;
    if (sem.Create(vArgs.at(0).c_str(), 0, 1, nullptr) != 0 ||
        done.Create(vArgs.at(1).c_str(), 0, 1000, nullptr) != 0)
        return 2;
    {
        CInterruptDeferral deferral;
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            RaiseConsoleInterrupt();
        }).detach();
        while (!IsInterruptPending()) {
            if (sem.Wait(100) == kWaitFailed)
                return 3;
        }
        done.Release(1, nullptr);
    }
    return 0;  // not reached: the interrupt ends the process above
}

TEST(Interrupt, DeferredUntilTheLastDeferralThenEndsTheProcess)
{
    const std::string semName = UniqueName("isem");
    const std::string doneName = UniqueName("idone");
    CNamedSemaphore done;
    ASSERT_EQ(0, done.Create(doneName.c_str(), 0, 1000, nullptr));
    int nCode = testing::RunChild("interrupted_waiter", {semName, doneName});
    EXPECT_EQ(InterruptExitCode(), nCode);
    EXPECT_EQ(kWaitSignaled, done.Wait(0));
}

}  // namespace
}  // namespace platform
