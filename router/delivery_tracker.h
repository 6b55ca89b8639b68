#pragma once

#include <QtGlobal>

#include <map>

// Keeps the deliveries of one receiver channel until they are settled and
// decides the batched acknowledgements. A delivery is settled for
// acknowledgement once every publication it caused was confirmed (or it was
// dropped on purpose), or settled by rejection. One multiple acknowledgement
// then covers a run of settled deliveries: it names the highest tag below
// which every delivery is settled, and never a rejected one.
class DeliveryTracker {
public:
    // Forgets every delivery (a new channel or a new start) and sets the batch size.
    void reset(quint64 generation, qint64 batch);
    quint64 generation() const { return m_generation; }

    // A new delivery of `bytes` awaiting `publications` confirms before it may be acknowledged.
    void add(quint64 tag, int publications, qint64 bytes = 0);
    // One publication of the delivery was confirmed. True when this settled it.
    bool confirm(quint64 tag);
    // The delivery needs nothing more to be acknowledged (dropped on purpose).
    void settle(quint64 tag);
    // The delivery was rejected (with or without requeue). False when it was
    // already settled or rejected, or is unknown: then it must not be rejected again.
    bool reject(quint64 tag);

    // The tag to acknowledge with multiple now, or 0 when a full batch is not
    // ready (or, with `flush`, when nothing is ready at all).
    quint64 takeAck(bool flush);
    // Settled deliveries that wait for their acknowledgement.
    qint64 ready() const { return m_ready; }
    int open() const { return int(m_entries.size()); }
    // The bytes of the deliveries not settled yet.
    qint64 unsettledBytes() const { return m_unsettled_bytes; }

private:
    enum class State { Pending, Ack, Rejected };
    struct Entry {
        State state = State::Pending;
        int pending = 0;
        qint64 bytes = 0;
    };
    void advance();
    // The entry leaves Pending for `state`.
    void settleEntry(Entry& e, State state);

    quint64 m_generation = 0;
    qint64 m_batch = 1;
    std::map<quint64, Entry> m_entries; // not yet below the settled frontier
    qint64 m_ready = 0;                 // settled-for-ack deliveries below the frontier, not yet acked
    qint64 m_unsettled_bytes = 0;
    quint64 m_lastAckable = 0;          // the highest of them
};
