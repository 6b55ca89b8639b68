#include "delivery_tracker.h"

void DeliveryTracker::reset(quint64 generation, qint64 batch)
{
    m_generation = generation;
    m_batch = qMax<qint64>(1, batch);
    m_entries.clear();
    m_ready = 0;
    m_unsettled_bytes = 0;
    m_lastAckable = 0;
}

void DeliveryTracker::add(quint64 tag, int publications, qint64 bytes)
{
    Entry& e = m_entries[tag];
    e.state = publications > 0 ? State::Pending : State::Ack;
    e.pending = publications;
    e.bytes = publications > 0 ? bytes : 0;
    m_unsettled_bytes += e.bytes;
    advance();
}

void DeliveryTracker::settleEntry(Entry& e, State state)
{
    e.state = state;
    m_unsettled_bytes -= e.bytes;
    e.bytes = 0;
}

bool DeliveryTracker::confirm(quint64 tag)
{
    const auto it = m_entries.find(tag);
    if (it == m_entries.end() || it->second.state != State::Pending)
        return false;
    if (--it->second.pending > 0)
        return false;
    settleEntry(it->second, State::Ack);
    advance();
    return true;
}

void DeliveryTracker::settle(quint64 tag)
{
    const auto it = m_entries.find(tag);
    if (it == m_entries.end() || it->second.state != State::Pending)
        return;
    settleEntry(it->second, State::Ack);
    advance();
}

bool DeliveryTracker::reject(quint64 tag)
{
    const auto it = m_entries.find(tag);
    if (it == m_entries.end() || it->second.state != State::Pending)
        return false;
    settleEntry(it->second, State::Rejected);
    advance();
    return true;
}

void DeliveryTracker::advance()
{
    // Move the frontier over the settled deliveries at the front; each entry
    // passes it once, so this is amortised O(log n) per delivery.
    while (!m_entries.empty() && m_entries.begin()->second.state != State::Pending) {
        const auto front = m_entries.begin();
        if (front->second.state == State::Ack) {
            ++m_ready;
            m_lastAckable = front->first;
        }
        m_entries.erase(front);
    }
}

quint64 DeliveryTracker::takeAck(bool flush)
{
    if (m_ready == 0 || (!flush && m_ready < m_batch))
        return 0;
    m_ready = 0;
    return m_lastAckable;
}
