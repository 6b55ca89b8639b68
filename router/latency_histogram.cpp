#include "latency_histogram.h"

#include <algorithm>

void LatencyHistogram::observe(double seconds)
{
    if (!(seconds >= 0)) // also NaN
        seconds = 0;
    // The first bound not below the value: a bucket holds what is <= its bound.
    const auto bucket = std::lower_bound(upper.begin(), upper.end(), seconds) - upper.begin();
    ++m_counts[std::size_t(bucket)];
    ++m_count;
    m_sum += seconds;
}
