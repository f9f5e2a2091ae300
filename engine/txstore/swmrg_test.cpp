#include "engine/txstore/swmrg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/txstore/swmrg_stress.h"
#include "platform/interrupt.h"
#include "platform/named_object.h"
#include "platform/test_support.h"

namespace velk {
namespace {

using Clock = std::chrono::steady_clock;
using platform::CChildProcess;
using platform::CNamedMutex;
using platform::CNamedSemaphore;
using platform::CNamedSharedMemory;

const std::uint32_t kForever = 0xFFFFFFFFu;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A name unique to this run, so that tests running side by side never share a
// guard; the tag may be anything, a path included.
std::string UniqueName(const std::string& tag)
{
    static const unsigned long long nRun =
        (static_cast<unsigned long long>(std::random_device()()) << 32) ^
        static_cast<unsigned long long>(Clock::now().time_since_epoch().count());
    static std::atomic<int> nNext(0);
    return "g" + std::to_string(nRun) + "-" + std::to_string(nNext++) + tag;
}

// The 12 bytes as another process sees them, read under the state mutex.
CSWMRG::State RawState(const std::string& guard)
{
    CNamedMutex mutex;
    CNamedSharedMemory memory;
    CSWMRG::State s = {0xDEAD, 0xDEAD, 0xDEAD};
    unsigned char ab[12];
    if (mutex.Create(CSWMRG::ObjectName(guard.c_str(), "m_hmtxState").c_str(), false, nullptr) != 0 ||
        memory.Create(CSWMRG::ObjectName(guard.c_str(), "m_hfmState").c_str(), 12, nullptr) != 0 ||
        mutex.Wait() == platform::kWaitFailed)
        return s;
    if (memory.Read(ab, 12) == 0) {
        s.nWaitingReaders = GetU32LE(ab);
        s.nWaitingWriters = GetU32LE(ab + 4);
        s.nActive = static_cast<std::int32_t>(GetU32LE(ab + 8));
    }
    mutex.Release();
    return s;
}

std::string Text(const CSWMRG::State& s)
{
    return std::to_string(s.nWaitingReaders) + "/" + std::to_string(s.nWaitingWriters) + "/" +
           std::to_string(s.nActive);
}

// Polls the state (with sleeps) until it reads "readers/writers/active".
bool StateBecomes(const std::string& guard, const std::string& expected, int nTimeoutMs = 10000)
{
    const auto start = Clock::now();
    while (Text(RawState(guard)) != expected) {
        if (MsSince(start) > nTimeoutMs) {
            ADD_FAILURE() << "state " << Text(RawState(guard)) << ", expected " << expected;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// One party of a test that takes the guard in its own thread or process: it waits
// in mode "r" or "w" for up to a time-out, reports the result, and when granted
// holds the guard until Finish. Both run the same steps and meet through named
// objects, so every test below runs the same way with either kind of peer. In
// mode "gr" or "gw" the peer first reports that it runs and waits for Open: a
// test that must time what the peer does next need not wait for a process to
// start (which can take seconds under load).
int PeerMain(const std::string& guard, std::string mode, std::uint32_t nTimeout, const std::string& ctl)
{
    CNamedSemaphore event, go;
    CNamedSharedMemory result;
    if (event.Create((ctl + ".ev").c_str(), 0, 1000, nullptr) != 0 ||
        go.Create((ctl + ".go").c_str(), 0, 1000, nullptr) != 0 ||
        result.Create((ctl + ".r").c_str(), 4, nullptr) != 0)
        return 2;
    CSWMRG g(guard.c_str());
    if (mode[0] == 'g') {
        event.Release(1, nullptr);
        go.Wait(kForever);
        mode = mode.substr(1);
    }
    const std::uint32_t r = mode == "w" ? g.WaitToWrite(nTimeout) : g.WaitToRead(nTimeout);
    result.Write(&r, 4);
    event.Release(1, nullptr);
    if (r != 0) {
        go.Wait(kForever);
        g.Done();
    }
    event.Release(1, nullptr);
    return 0;
}

CHILD_SCENARIO(guard_peer)
{
    return PeerMain(vArgs.at(0), vArgs.at(1), static_cast<std::uint32_t>(std::atoll(vArgs.at(2).c_str())),
                    vArgs.at(3));
}

CHILD_SCENARIO(guard_stress)
{
    return stress::StressChild(vArgs);
}

class CPeer {
public:
    CPeer(bool bProcess, const std::string& guard, const char* szMode, std::uint32_t nTimeout)
        : m_ctl(UniqueName("peer"))
    {
        EXPECT_EQ(0, m_event.Create((m_ctl + ".ev").c_str(), 0, 1000, nullptr));
        EXPECT_EQ(0, m_go.Create((m_ctl + ".go").c_str(), 0, 1000, nullptr));
        EXPECT_EQ(0, m_result.Create((m_ctl + ".r").c_str(), 4, nullptr));
        if (bProcess) {
            EXPECT_EQ(0, platform::testing::StartChild(&m_child, "guard_peer",
                                                       {guard, szMode, std::to_string(nTimeout), m_ctl}));
        } else {
            const std::string mode = szMode;
            m_thread.reset(new std::thread([=] { PeerMain(guard, mode, nTimeout, m_ctl); }));
        }
    }
    ~CPeer()
    {
        if (m_thread) {
            m_go.Release(2, nullptr);  // past a gate that was never opened, too
            m_thread->join();
        }
    }
    // A gated peer: true once it runs and waits for Open.
    bool Ready(std::uint32_t nTimeoutMs) { return m_event.Wait(nTimeoutMs) == platform::kWaitSignaled; }
    void Open() { m_go.Release(1, nullptr); }
    // 1 granted, 0 refused, -1 no answer within nTimeoutMs.
    int Result(std::uint32_t nTimeoutMs)
    {
        if (m_event.Wait(nTimeoutMs) != platform::kWaitSignaled)
            return -1;
        std::uint32_t r = 0;
        m_result.Read(&r, 4);
        return static_cast<int>(r);
    }
    // Lets a granted peer call Done, and waits until it has.
    void Finish()
    {
        m_go.Release(1, nullptr);
        EXPECT_EQ(platform::kWaitSignaled, m_event.Wait(30000));
    }
    void Kill()
    {
        m_child.Kill();
        int nCode = 0;
        m_child.Wait(30000, &nCode);
    }

private:
    std::string m_ctl;
    CNamedSemaphore m_event, m_go;
    CNamedSharedMemory m_result;
    CChildProcess m_child;
    std::unique_ptr<std::thread> m_thread;
};

// Runs WaitToRead or WaitToWrite on a thread of this process, timing it.
class CAsyncWait {
public:
    CAsyncWait(CSWMRG* pGuard, bool bWriter, std::uint32_t nTimeout)
        : m_thread([=] {
              m_nResult = bWriter ? pGuard->WaitToWrite(nTimeout) : pGuard->WaitToRead(nTimeout);
              m_end = Clock::now();
          })
    {
    }
    ~CAsyncWait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    int Join()
    {
        m_thread.join();
        return m_nResult;
    }
    Clock::time_point End() const { return m_end; }

private:
    int m_nResult = -1;
    Clock::time_point m_end;
    std::thread m_thread;
};

TEST(SWMRG, IdleGuardGrantsAWriterAtOnceAndARefusedReaderLeavesNoTrace)
{
    const std::string guard = UniqueName("idle");
    CSWMRG a(guard.c_str()), b(guard.c_str());
    EXPECT_EQ("0/0/0", Text(RawState(guard)));
    EXPECT_EQ(1, a.WaitToWrite(0));
    EXPECT_EQ(0, b.WaitToRead(0));
    EXPECT_EQ(0, b.WaitToWrite(0));
    EXPECT_EQ("0/0/-1", Text(RawState(guard)));
    b.Done();  // holds nothing: changes nothing
    EXPECT_EQ("0/0/-1", Text(RawState(guard)));
    a.Done();
    a.Done();
    EXPECT_EQ("0/0/0", Text(RawState(guard)));
    EXPECT_EQ(1, a.WaitToRead(0));
    EXPECT_EQ(1, b.WaitToRead(0));
    EXPECT_EQ("0/0/2", Text(RawState(guard)));
    EXPECT_THROW(a.WaitToRead(0), CFault);  // one access per object
}

TEST(SWMRG, ObjectNamesAreUpperCaseDigestsOfGuardAndMember)
{
    // The application on Windows opens these very names.
    const char* szGuard = "C:\\db\\adb\\transactionCTransaction";
    EXPECT_EQ("50A109773E4554CD39D7433555BC410E45D5FD05BDCE22B0FD985894671F5107",
              CSWMRG::ObjectName(szGuard, "m_hfmState"));
    CSWMRG g(szGuard);
    CNamedMutex mutex;
    bool bExisted = false;
    ASSERT_EQ(0, mutex.Create("30095864FB8FA75D7B00DBE0F55B18E7265AD4893C2A4935863F5E0E2BBDBC90", false,
                              &bExisted));
    EXPECT_TRUE(bExisted);
}

TEST(SWMRG, GuardNamesDifferingInLetterCaseAreDifferentGuards)
{
    const std::string tag = UniqueName("");
    CSWMRG upper((tag + "C:\\db\\adb\\transactionCTransaction").c_str());
    CSWMRG lower((tag + "c:\\db\\adb\\transactionCTransaction").c_str());
    EXPECT_EQ(1, upper.WaitToWrite(0));
    EXPECT_EQ(1, lower.WaitToWrite(0));
}

class SWMRGPeers : public ::testing::TestWithParam<bool> {};

TEST_P(SWMRGPeers, WaitingWriterGetsTheGuardRightAfterTheLastReader)
{
    const std::string guard = UniqueName("handover");
    CPeer r1(GetParam(), guard, "r", 0), r2(GetParam(), guard, "r", 0);
    ASSERT_EQ(1, r1.Result(30000));
    ASSERT_EQ(1, r2.Result(30000));
    CSWMRG w(guard.c_str());
    CAsyncWait wait(&w, true, 30000);
    ASSERT_TRUE(StateBecomes(guard, "0/1/2"));
    r1.Finish();
    EXPECT_EQ("0/1/1", Text(RawState(guard)));
    r2.Finish();
    const auto done = Clock::now();
    EXPECT_EQ(1, wait.Join());
    EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(wait.End() - done).count(), 100);
    EXPECT_EQ("0/0/-1", Text(RawState(guard)));
}

TEST_P(SWMRGPeers, WaitingWriterGoesBeforeReadersThatCameLater)
{
    const std::string guard = UniqueName("prefer");
    CPeer r1(GetParam(), guard, "r", 0);
    ASSERT_EQ(1, r1.Result(30000));
    CSWMRG w(guard.c_str());
    CAsyncWait wait(&w, true, 30000);
    ASSERT_TRUE(StateBecomes(guard, "0/1/1"));
    CPeer r2(GetParam(), guard, "r", 30000);
    ASSERT_TRUE(StateBecomes(guard, "1/1/1"));
    r1.Finish();
    EXPECT_EQ(1, wait.Join());
    EXPECT_EQ(-1, r2.Result(200));
    w.Done();
    EXPECT_EQ(1, r2.Result(30000));
    EXPECT_EQ("0/0/1", Text(RawState(guard)));
    r2.Finish();
    EXPECT_EQ("0/0/0", Text(RawState(guard)));
}

TEST_P(SWMRGPeers, WriterThatTimesOutLetsTheReadersQueuedBehindItIn)
{
    const std::string guard = UniqueName("giveup");
    CPeer r1(GetParam(), guard, "r", 0);
    ASSERT_EQ(1, r1.Result(30000));
    CPeer r2(GetParam(), guard, "gr", 30000);
    ASSERT_TRUE(r2.Ready(30000));
    CSWMRG w(guard.c_str());
    CAsyncWait wait(&w, true, 1000);
    ASSERT_TRUE(StateBecomes(guard, "0/1/1"));
    r2.Open();
    ASSERT_TRUE(StateBecomes(guard, "1/1/1"));
    EXPECT_EQ(0, wait.Join());
    const auto gaveUp = Clock::now();
    EXPECT_EQ(1, r2.Result(30000));
    EXPECT_LE(MsSince(gaveUp), 100);
    EXPECT_EQ("0/0/2", Text(RawState(guard)));
    r1.Finish();
    r2.Finish();
    EXPECT_EQ("0/0/0", Text(RawState(guard)));
}

INSTANTIATE_TEST_SUITE_P(ThreadOrProcess, SWMRGPeers, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "PeerProcess" : "PeerThread";
                         });

// Killing needs a process of its own.
TEST(SWMRGKill, KilledHolderIsTakenOverWithinASliceOrTwo)
{
    struct Case {
        const char* szHolder;
        bool bWaiterWrites;
    };
    const Case cases[] = {{"w", false}, {"r", true}, {"w", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szHolder);
        const std::string guard = UniqueName("killed");
        CPeer holder(true, guard, c.szHolder, 0);
        ASSERT_EQ(1, holder.Result(30000));
        CSWMRG waiter(guard.c_str());
        CAsyncWait wait(&waiter, c.bWaiterWrites, 30000);
        const std::string active = std::string(c.szHolder) == "w" ? "-1" : "1";
        ASSERT_TRUE(StateBecomes(guard, (c.bWaiterWrites ? "0/1/" : "1/0/") + active));
        holder.Kill();
        const auto killed = Clock::now();
        EXPECT_EQ(1, wait.Join());
        EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(wait.End() - killed).count(), 500);
        EXPECT_EQ(c.bWaiterWrites ? "0/0/-1" : "0/0/1", Text(RawState(guard)));
    }
}

TEST(SWMRGKill, UnitLeftForAKilledWaitingWriterLetsNobodyIn)
{
    const std::string guard = UniqueName("stale");
    CSWMRG holder(guard.c_str());
    ASSERT_EQ(1, holder.WaitToWrite(0));
    {
        CPeer doomed(true, guard, "w", 30000);
        ASSERT_TRUE(StateBecomes(guard, "0/1/-1"));
        doomed.Kill();
    }
    holder.Done();  // hands the guard to the dead writer: its unit stays behind
    EXPECT_EQ("0/0/-1", Text(RawState(guard)));
    CSWMRG reader(guard.c_str());
    const auto start = Clock::now();
    EXPECT_EQ(1, reader.WaitToRead(30000));  // taken over at a holder check
    EXPECT_LE(MsSince(start), 500);
    reader.Done();
    CSWMRG a(guard.c_str()), b(guard.c_str());
    EXPECT_EQ(1, a.WaitToWrite(0));
    EXPECT_EQ(0, b.WaitToWrite(300));
    EXPECT_EQ("0/0/-1", Text(RawState(guard)));
}

TEST(SWMRGKill, ReaderKilledWhileWaitingDoesNotKeepAWriterOut)
{
    const std::string guard = UniqueName("phantom");
    CSWMRG holder(guard.c_str());
    ASSERT_EQ(1, holder.WaitToWrite(0));
    {
        CPeer doomed(true, guard, "r", 30000);
        ASSERT_TRUE(StateBecomes(guard, "1/0/-1"));
        doomed.Kill();
    }
    holder.Done();  // lets the dead reader in
    EXPECT_EQ("0/0/1", Text(RawState(guard)));
    CSWMRG writer(guard.c_str()), reader(guard.c_str());
    const auto start = Clock::now();
    EXPECT_EQ(1, writer.WaitToWrite(30000));
    EXPECT_LE(MsSince(start), 500);
    // The reader unit left for the dead reader must not let a reader in now.
    EXPECT_EQ(0, reader.WaitToRead(250));
    writer.Done();
    EXPECT_EQ(1, reader.WaitToRead(0));
    EXPECT_EQ("0/0/1", Text(RawState(guard)));
}

TEST(SWMRG, UnitLeftInASemaphoreLetsNoWaiterInBesideTheHolders)
{
    // A unit nobody was granted, as a killed waiter leaves one behind.
    struct Case {
        bool bHolderWrites;
        const char* szSemaphore;
    };
    const Case cases[] = {{false, "m_hsemWriters"}, {true, "m_hsemReaders"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szSemaphore);
        const std::string guard = UniqueName("stray");
        CSWMRG holder(guard.c_str()), waiter(guard.c_str());
        ASSERT_EQ(1, c.bHolderWrites ? holder.WaitToWrite(0) : holder.WaitToRead(0));
        CNamedSemaphore sem;
        ASSERT_EQ(0, sem.Create(CSWMRG::ObjectName(guard.c_str(), c.szSemaphore).c_str(), 0, 1, nullptr));
        ASSERT_EQ(0, sem.Release(1, nullptr));
        const auto start = Clock::now();
        EXPECT_EQ(0, c.bHolderWrites ? waiter.WaitToRead(250) : waiter.WaitToWrite(250));
        EXPECT_GE(MsSince(start), 240);
        EXPECT_EQ(c.bHolderWrites ? "0/0/-1" : "0/0/1", Text(RawState(guard)));
    }
}

CHILD_SCENARIO(guard_interrupted_reader)
{
    CSWMRG g(vArgs.at(0).c_str());
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        platform::RaiseConsoleInterrupt();
    }).detach();
    g.WaitToRead(kForever);
    return 5;  // not reached: the interrupt ends the process
}

TEST(SWMRGKill, ConsoleInterruptTakesTheWaitingCountBack)
{
    const std::string guard = UniqueName("interrupt");
    CSWMRG holder(guard.c_str());
    ASSERT_EQ(1, holder.WaitToWrite(0));
    CChildProcess child;
    ASSERT_EQ(0, platform::testing::StartChild(&child, "guard_interrupted_reader", {guard}));
    ASSERT_TRUE(StateBecomes(guard, "1/0/-1"));
    int nCode = 0;
    ASSERT_TRUE(child.Wait(30000, &nCode));
    EXPECT_EQ(platform::InterruptExitCode(), nCode);
    EXPECT_EQ("0/0/-1", Text(RawState(guard)));
    holder.Done();
    EXPECT_EQ("0/0/0", Text(RawState(guard)));
}

TEST(SWMRGKill, StressWithKilledHoldersAndWaitersKeepsWritersAlone)
{
    const std::string guard = UniqueName("stress");
    const stress::Outcome outcome =
        stress::RunStress(guard, UniqueName("check"), 4, 3000, std::random_device()());
    EXPECT_TRUE(outcome.bOk);
    EXPECT_EQ(0u, outcome.nViolations);
    EXPECT_GT(outcome.nGrants, 20u);
    EXPECT_GE(outcome.nKills, 1);
    // Whatever the kills left in the state, the guard comes back.
    CSWMRG g(guard.c_str());
    EXPECT_EQ(1, g.WaitToWrite(5000));
}

}  // namespace
}  // namespace velk
