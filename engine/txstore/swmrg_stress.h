// Test helper for the access guard's tests: several processes take one guard in a
// random read/write loop and check, under a mutex of their own, that a writer never
// meets another holder, while the parent kills holders and waiters now and then.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/txstore/swmrg.h"
#include "platform/named_object.h"
#include "platform/test_support.h"

namespace velk {
namespace stress {

// The check block: stop flag, violations, grants, then one slot per process.
enum { kStop = 0, kViolations = 1, kGrants = 2, kFirstSlot = 3 };
enum { kIdle = 0, kReading = 1, kWriting = 2, kWaiting = 3 };

struct CCheck {
    platform::CNamedMutex mutex;
    platform::CNamedSharedMemory block;
    std::uint32_t nWords = 0;
    bool Open(const std::string& name, std::uint32_t nSlots)
    {
        nWords = kFirstSlot + nSlots;
        return mutex.Create((name + ".cm").c_str(), false, nullptr) == 0 &&
               block.Create((name + ".cb").c_str(), 4 * nWords, nullptr) == 0;
    }
    // Runs f on the block's words under the check mutex; returns false on errors.
    template <typename F>
    bool Update(F f)
    {
        if (mutex.Wait() == platform::kWaitFailed)
            return false;
        std::vector<std::uint32_t> v(nWords);
        bool bOk = block.Read(v.data(), 4 * nWords) == 0;
        if (bOk && f(v))
            bOk = block.Write(v.data(), 4 * nWords) == 0;
        mutex.Release();
        return bOk;
    }
};

// vArgs: guard name, check name, slot count, own slot, seed.
inline int StressChild(const std::vector<std::string>& vArgs)
{
    const std::string guardName = vArgs.at(0);
    const std::uint32_t nSlots = static_cast<std::uint32_t>(std::atoi(vArgs.at(2).c_str()));
    const std::uint32_t nSlot = kFirstSlot + static_cast<std::uint32_t>(std::atoi(vArgs.at(3).c_str()));
    std::mt19937 random(static_cast<unsigned>(std::atoi(vArgs.at(4).c_str())));
    CCheck check;
    if (!check.Open(vArgs.at(1), nSlots))
        return 2;
    CSWMRG guard(guardName.c_str());
    for (;;) {
        const bool bWriter = random() % 3 == 0;
        const std::uint32_t nTimeout = 20 + random() % 400;
        bool bStop = false;
        check.Update([&](std::vector<std::uint32_t>& v) {
            bStop = v[kStop] != 0;
            v[nSlot] = kWaiting;
            return true;
        });
        if (bStop)
            return 0;
        const int r = bWriter ? guard.WaitToWrite(nTimeout) : guard.WaitToRead(nTimeout);
        check.Update([&](std::vector<std::uint32_t>& v) {
            v[nSlot] = kIdle;
            if (r == 0)
                return true;
            for (std::uint32_t i = kFirstSlot; i < v.size(); ++i) {
                if (i != nSlot && (v[i] == kWriting || (bWriter && v[i] == kReading)))
                    ++v[kViolations];
            }
            v[nSlot] = bWriter ? kWriting : kReading;
            ++v[kGrants];
            return true;
        });
        if (r == 0)
            continue;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        check.Update([&](std::vector<std::uint32_t>& v) {
            v[nSlot] = kIdle;
            return true;
        });
        guard.Done();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
    }
}

struct Outcome {
    std::uint32_t nViolations = 0;
    std::uint32_t nGrants = 0;
    int nKills = 0;
    bool bOk = false;
};

// Runs nProcesses children for nMs, killing one that holds or waits every 100 to
// 400 ms. The kill happens while the check mutex is owned, so a holder is killed in
// its holding sleep and never inside the guard's own steps.
inline Outcome RunStress(const std::string& guardName, const std::string& checkName,
                         int nProcesses, int nMs, unsigned nSeed)
{
    Outcome outcome;
    CCheck check;
    if (!check.Open(checkName, static_cast<std::uint32_t>(nProcesses)))
        return outcome;
    std::mt19937 random(nSeed);
    std::vector<platform::CChildProcess> children(static_cast<size_t>(nProcesses));
    auto start = [&](int i) {
        return platform::testing::StartChild(
                   &children[static_cast<size_t>(i)], "guard_stress",
                   {guardName, checkName, std::to_string(nProcesses), std::to_string(i),
                    std::to_string(random() % 100000)}) == 0;
    };
    for (int i = 0; i < nProcesses; ++i) {
        if (!start(i))
            return outcome;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 300));
        const int i = static_cast<int>(random() % static_cast<unsigned>(nProcesses));
        bool bKilled = false;
        check.Update([&](std::vector<std::uint32_t>& v) {
            const std::uint32_t nSlot = kFirstSlot + static_cast<std::uint32_t>(i);
            if (v[nSlot] == kIdle)
                return false;
            platform::CChildProcess& child = children[static_cast<size_t>(i)];
            child.Kill();
            int nCode = 0;
            child.Wait(30000, &nCode);
            v[nSlot] = kIdle;
            bKilled = true;
            return true;
        });
        if (bKilled) {
            ++outcome.nKills;
            children[static_cast<size_t>(i)] = platform::CChildProcess();
            if (!start(i))
                return outcome;
        }
    }
    check.Update([](std::vector<std::uint32_t>& v) {
        v[kStop] = 1;
        return true;
    });
    outcome.bOk = true;
    for (platform::CChildProcess& child : children) {
        int nCode = -1;
        if (!child.Wait(60000, &nCode) || nCode != 0)
            outcome.bOk = false;
    }
    check.Update([&](std::vector<std::uint32_t>& v) {
        outcome.nViolations = v[kViolations];
        outcome.nGrants = v[kGrants];
        return false;
    });
    return outcome;
}

}  // namespace stress
}  // namespace velk
