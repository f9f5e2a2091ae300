// The access guard: uncontended acquire/release pairs per second and the latency
// of handing the guard from one writer to a waiting one, beside a process-shared
// pthread mutex in shared memory measured in the same run. The baseline is plain
// POSIX on purpose (this benchmark is built natively only).
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/txstore/swmrg.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

template <typename F>
void PairsPerSecond(const char* szWhat, F pair)
{
    const int n = 20000;
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i)
        pair();
    const double s = Seconds(Clock::now() - start);
    std::printf("%-44s %10.0f pairs/s  %7.2f us/pair\n", szWhat, n / s, s * 1e6 / n);
}

// Holder and waiter on two threads: the holder lets the waiter block, then
// releases; the latency runs from the release to the waiter's return.
template <typename Hold, typename Release, typename Take>
void HandOver(const char* szWhat, Hold hold, Release release, Take take)
{
    const int n = 300;
    std::vector<double> v;
    for (int i = 0; i < n; ++i) {
        hold();
        std::atomic<bool> bStarted(false);
        Clock::time_point released, taken;
        std::thread waiter([&] {
            bStarted = true;
            take();
            taken = Clock::now();
        });
        while (!bStarted)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        released = Clock::now();
        release();
        waiter.join();
        v.push_back(Seconds(taken - released) * 1e6);
    }
    std::sort(v.begin(), v.end());
    std::printf("%-44s median %7.1f us  p90 %7.1f us  max %8.1f us\n", szWhat, v[v.size() / 2],
                v[v.size() * 9 / 10], v.back());
}

}  // namespace

int main()
{
    std::random_device device;
    const std::string name = "guard_bench" + std::to_string(device()) + std::to_string(device());

    auto* pMutex = static_cast<pthread_mutex_t*>(mmap(nullptr, sizeof(pthread_mutex_t),
                                                      PROT_READ | PROT_WRITE,
                                                      MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(pMutex, &attr);

    {
        velk::CSWMRG guard(name.c_str());
        PairsPerSecond("guard WaitToWrite(0) + Done", [&] {
            guard.WaitToWrite(0);
            guard.Done();
        });
        PairsPerSecond("guard WaitToRead(0) + Done", [&] {
            guard.WaitToRead(0);
            guard.Done();
        });
        PairsPerSecond("pthread mutex (process-shared) lock + unlock", [&] {
            pthread_mutex_lock(pMutex);
            pthread_mutex_unlock(pMutex);
        });
    }
    {
        // Guard objects of their own, as two processes would have.
        velk::CSWMRG holder(name.c_str()), waiter(name.c_str());
        HandOver("guard writer hand-over", [&] { holder.WaitToWrite(0); }, [&] { holder.Done(); },
                 [&] {
                     waiter.WaitToWrite(0xFFFFFFFFu);
                     waiter.Done();
                 });
        HandOver("pthread mutex (process-shared) hand-over", [&] { pthread_mutex_lock(pMutex); },
                 [&] { pthread_mutex_unlock(pMutex); },
                 [&] {
                     pthread_mutex_lock(pMutex);
                     pthread_mutex_unlock(pMutex);
                 });
    }
    pthread_mutex_destroy(pMutex);
    munmap(pMutex, sizeof(pthread_mutex_t));
    return 0;
}
