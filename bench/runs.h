// What every benchmark does the same way, so that no contender gets a better
// start than another: one untimed run first (code, files and memory touched),
// then at least kMinRuns timed runs, printed as median [min - max]; the load
// average of the machine is printed with the figures, since the machine may be
// shared.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace bench {

constexpr int kMinRuns = 5;

// The number of timed runs from a command-line argument: at least kMinRuns.
inline int RunsFrom(const char* sz)
{
    return sz != nullptr ? std::max(kMinRuns, std::atoi(sz)) : kMinRuns;
}

// The processor time of this process (user and system, page faults included),
// in seconds: on a loaded machine the wall time mostly measures the wait for a
// processor.
inline double CpuSeconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// The figures of the timed runs of one measurement.
class CSpread {
public:
    void Add(double x) { m_v.push_back(x); }
    bool Empty() const { return m_v.empty(); }
    double Median() const
    {
        if (m_v.empty())
            return 0;
        std::vector<double> v = m_v;
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    double Min() const { return m_v.empty() ? 0 : *std::min_element(m_v.begin(), m_v.end()); }
    double Max() const { return m_v.empty() ? 0 : *std::max_element(m_v.begin(), m_v.end()); }

private:
    std::vector<double> m_v;
};

// Runs fn(bTimed) once with false (the discarded first run), then nRuns times
// with true; fn records its figures only when timed.
template <class Fn>
void Repeat(int nRuns, Fn fn)
{
    fn(false);
    for (int i = 0; i < nRuns; ++i)
        fn(true);
}

// One line: the machine's load average when it can be read (Linux), else
// nothing.
inline void PrintLoad(const char* szWhen)
{
    std::FILE* pFile = std::fopen("/proc/loadavg", "r");
    if (pFile == nullptr)
        return;
    double a = 0, b = 0, c = 0;
    if (std::fscanf(pFile, "%lf %lf %lf", &a, &b, &c) == 3)
        std::printf("load average %s: %.2f %.2f %.2f\n", szWhen, a, b, c);
    std::fclose(pFile);
}

}  // namespace bench
