#pragma once

#include <chrono>
#include <ctime>

namespace bench {

// Wall-clock time and this process's CPU time over one measured interval.
// On a busy machine the broker's share of the cores moves the wall-clock
// rate from run to run; the CPU time shows what the client itself needed.
struct Elapsed {
    double wallSeconds = 0;
    double cpuSeconds = 0;
};

class Stopwatch {
public:
    void start()
    {
        m_wall = std::chrono::steady_clock::now();
        m_cpu = processCpuSeconds();
    }
    Elapsed elapsed() const
    {
        return {std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wall).count(),
                processCpuSeconds() - m_cpu};
    }

private:
    static double processCpuSeconds()
    {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    }

    std::chrono::steady_clock::time_point m_wall;
    double m_cpu = 0;
};

} // namespace bench
