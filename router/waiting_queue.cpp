#include "waiting_queue.h"

#include <algorithm>

WaitingQueue::Round WaitingQueue::route(Router& router)
{
    // A round already under way (this call is nested in the publisher's
    // wait) goes on with what was added, in order: waits never nest, and the
    // stack stays flat whatever the prefetch window.
    if (m_in_round)
        return Round::Nested;
    m_in_round = true;
    int budget = slice_publications;
    while (budget > 0) {
        if (!m_now) {
            if (m_waiting.empty())
                break;
            Delivery next = std::move(m_waiting.front());
            m_waiting.pop_front();
            m_bytes -= next.body.size();
            --budget;
            if (!router.isCurrent(next))
                continue;
            const int count = router.begin(next);
            if (count > 0) {
                m_now = std::move(next);
                m_next = 0;
                m_count = count;
            }
            continue;
        }
        if (!router.isCurrent(*m_now)) {
            m_now.reset();
            continue;
        }
        const Router::Pace pace = router.pace();
        if (pace == Router::Pace::Paused) {
            m_in_round = false;
            return Round::Paused;
        }
        // Taken out first: a restart inside the publisher's wait clears the queue.
        const Delivery d = *m_now;
        const int index = m_next++;
        if (m_next == m_count)
            m_now.reset();
        if (!router.publish(d, index))
            m_now.reset();
        // A publication that has to wait for the connection first ends the
        // slice: the event loop runs between two such waits.
        budget = pace == Router::Pace::Waits ? 0 : budget - 1;
    }
    m_in_round = false;
    return isEmpty() ? Round::Drained : Round::Sliced;
}

void WaitingQueue::push(Delivery d)
{
    const quint64 generation = d.generation;
    if (!m_waiting.empty() && m_waiting.front().generation != generation) {
        m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                       [generation](const Delivery& w) { return w.generation != generation; }),
                        m_waiting.end());
        m_bytes = 0;
        for (const Delivery& w : m_waiting)
            m_bytes += w.body.size();
    }
    m_bytes += d.body.size();
    m_waiting.push_back(std::move(d));
}

void WaitingQueue::cancel(quint64 generation, quint64 tag)
{
    if (m_now && m_now->tag == tag && m_now->generation == generation)
        m_now.reset();
}

void WaitingQueue::clear()
{
    m_waiting.clear();
    m_bytes = 0;
    m_now.reset();
}
