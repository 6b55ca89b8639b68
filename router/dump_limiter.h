#pragma once

#include <QtGlobal>

#include <array>
#include <functional>

// Decides whether an undecodable body may be dumped to the log: at most
// `per_minute` dumps in any 60 s (a sliding window over the times of the last
// dumps). Bodies beyond it get no line of their own: they are counted, and
// summed up at most once a minute, so a publisher that sends nothing but
// garbage cannot flood the log. Used from one thread.
class DumpLimiter {
public:
    static constexpr int per_minute = 10;
    static constexpr qint64 window_ms = 60000;

    // Milliseconds from any fixed origin, never going back; the default is a
    // monotonic clock. Tests pass their own.
    using Clock = std::function<qint64()>;
    explicit DumpLimiter(Clock clock = Clock());

    // True when a dump may be written now; it then counts as one.
    bool admit();

    // A body that was not dumped, of that many bytes.
    void leftOut(qint64 bytes);
    struct Summary {
        quint64 bodies = 0;
        quint64 bytes = 0;
        qint64 seconds = 0; // since the first of them
    };
    // The bodies left out since the last summary, once window_ms has passed
    // since the first of them; nothing otherwise. Taken, they are forgotten.
    bool takeSummary(Summary* out);

private:
    Clock m_clock;
    std::array<qint64, per_minute> m_times{}; // the last dumps, oldest at m_next
    int m_next = 0;
    int m_count = 0;
    Summary m_left_out;
    qint64 m_left_out_since = 0;
};
