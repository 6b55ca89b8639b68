#pragma once

#include <QtGlobal>

#include <array>
#include <cstddef>

// A latency histogram with fixed buckets from 0.5 ms to 30 s and one above
// them (+Inf). Observing is a search among the fifteen bounds and three
// increments: no allocation, no lock (used from the event loop only). The
// page shows it the Prometheus way: cumulative _bucket{le} samples, _sum and
// _count.
class LatencyHistogram {
public:
    static constexpr std::size_t bounds = 15;
    // Upper bounds in seconds, and the same as the page writes them in `le`.
    static constexpr std::array<double, bounds> upper = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                         0.25,   0.5,   1,      2.5,   5,    10,   30};
    static constexpr std::array<const char*, bounds> labels = {"0.0005", "0.001", "0.0025", "0.005", "0.01",
                                                               "0.025",  "0.05",  "0.1",    "0.25",  "0.5",
                                                               "1",      "2.5",   "5",      "10",    "30"};

    // One observation of `seconds`; a negative or NaN one counts as 0.
    void observe(double seconds);

    // Observations of at most upper[i] (i < bounds), or all of them (i == bounds).
    quint64 cumulative(std::size_t i) const
    {
        quint64 n = 0;
        for (std::size_t b = 0; b <= i && b <= bounds; ++b)
            n += m_counts[b];
        return n;
    }
    quint64 count() const { return m_count; }
    double sum() const { return m_sum; }

private:
    std::array<quint64, bounds + 1> m_counts{}; // per bucket, not cumulative; the last is above 30 s
    quint64 m_count = 0;
    double m_sum = 0;
};
