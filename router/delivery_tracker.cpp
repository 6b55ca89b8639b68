#include "delivery_tracker.h"

void DeliveryTracker::reset(quint64 generation, qint64 batch)
{
    m_generation = generation;
    m_batch = qMax<qint64>(1, batch);
    for (auto it = m_tickets.begin(); it != m_tickets.end(); ++it)
        it.value() = nullptr;
    m_open.clear();
    m_passed.clear();
    m_ready.clear();
    m_unsettled_bytes = 0;
    m_lastAckable = 0;
}

void DeliveryTracker::forgetPublications()
{
    m_tickets.clear();
    m_passed.clear();
    for (auto& open : m_open)
        open.second.out = 0;
}

void DeliveryTracker::reserve(int deliveries)
{
    m_ready.reserve(std::size_t(qMax(0, deliveries)));
}

void DeliveryTracker::add(quint64 tag, TimePoint arrival, int publications, qint64 bytes)
{
    Entry& e = m_open[tag];
    e.tag = tag;
    e.arrival = arrival;
    e.state = publications > 0 ? State::Pending : State::Ack;
    e.pending = publications;
    e.bytes = publications > 0 ? bytes : 0;
    m_unsettled_bytes += e.bytes;
    advance();
}

void DeliveryTracker::published(quint64 ticket, quint64 tag)
{
    // A delivery settled meanwhile (rejected during the publisher's wait) and
    // already below the frontier is no longer looked at: the ticket is only counted.
    const auto it = m_open.find(tag);
    Entry* e = it == m_open.end() ? nullptr : &it->second;
    if (e)
        ++e->out;
    m_tickets.insert(ticket, e);
}

void DeliveryTracker::settleEntry(Entry& e, State state)
{
    e.state = state;
    m_unsettled_bytes -= e.bytes;
    e.bytes = 0;
}

void DeliveryTracker::release(Entry& e)
{
    if (--e.out == 0 && e.passed)
        m_passed.erase(e.tag);
}

bool DeliveryTracker::confirm(quint64 ticket)
{
    Entry* e = m_tickets.take(ticket);
    if (!e)
        return false;
    const bool settles = e->state == State::Pending && --e->pending == 0;
    if (settles)
        settleEntry(*e, State::Ack);
    release(*e);
    if (settles)
        advance();
    return settles;
}

quint64 DeliveryTracker::fail(quint64 ticket)
{
    Entry* e = m_tickets.take(ticket);
    if (!e)
        return 0;
    const quint64 tag = e->tag;
    const bool rejects = e->state == State::Pending;
    if (rejects)
        settleEntry(*e, State::Rejected);
    release(*e);
    if (!rejects)
        return 0;
    advance();
    return tag;
}

bool DeliveryTracker::reject(quint64 tag)
{
    const auto it = m_open.find(tag);
    if (it == m_open.end() || it->second.state != State::Pending)
        return false;
    settleEntry(it->second, State::Rejected);
    advance();
    return true;
}

void DeliveryTracker::advance()
{
    // Move the frontier over the settled deliveries at the front; each entry
    // passes it once, so this is amortised O(log n) per delivery.
    while (!m_open.empty() && m_open.begin()->second.state != State::Pending) {
        const auto front = m_open.begin();
        Entry& e = front->second;
        if (e.state == State::Ack) {
            m_ready.push_back(e.arrival);
            m_lastAckable = front->first;
        }
        // Only a rejected delivery can have publications out: one that is
        // settled for acknowledgement had all of them confirmed.
        if (e.out > 0) {
            e.passed = true;
            m_passed.insert(m_open.extract(front));
        } else {
            m_open.erase(front);
        }
    }
}

quint64 DeliveryTracker::takeAck(bool flush, std::vector<TimePoint>& arrivals)
{
    if (m_ready.empty() || (!flush && ready() < m_batch))
        return 0;
    // Swapped, not copied: both keep their room.
    arrivals.clear();
    arrivals.swap(m_ready);
    return m_lastAckable;
}
