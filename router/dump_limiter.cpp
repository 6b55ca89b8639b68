#include "dump_limiter.h"

#include <chrono>
#include <utility>

DumpLimiter::DumpLimiter(Clock clock) : m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] {
            using namespace std::chrono;
            return qint64(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
        };
}

bool DumpLimiter::admit()
{
    const qint64 now = m_clock();
    // The ring is full: the oldest of the last `per_minute` dumps must have
    // left the window before another one is admitted.
    if (m_count == per_minute && now - m_times[size_t(m_next)] < window_ms)
        return false;
    m_times[size_t(m_next)] = now;
    m_next = (m_next + 1) % per_minute;
    if (m_count < per_minute)
        ++m_count;
    return true;
}

void DumpLimiter::leftOut(qint64 bytes)
{
    if (m_left_out.bodies == 0)
        m_left_out_since = m_clock();
    ++m_left_out.bodies;
    m_left_out.bytes += quint64(bytes);
}

bool DumpLimiter::takeSummary(Summary* out)
{
    const qint64 now = m_clock();
    if (m_left_out.bodies == 0 || now - m_left_out_since < window_ms)
        return false;
    *out = m_left_out;
    out->seconds = (now - m_left_out_since) / 1000;
    m_left_out = Summary();
    return true;
}
