#pragma once

#include <QHash>
#include <QtGlobal>

#include <chrono>
#include <map>
#include <vector>

// Keeps the deliveries of one receiver channel until they are settled, and
// the publications made from them, and decides the batched acknowledgements.
// A delivery is settled for acknowledgement once every publication it caused
// was confirmed (or it was dropped on purpose), or settled by rejection. One
// multiple acknowledgement then covers a run of settled deliveries: it names
// the highest tag below which every delivery is settled, and never a
// rejected one. A publication's ticket leads straight to its delivery's entry.
class DeliveryTracker {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Forgets every delivery (a new channel or a new start) and sets the batch
    // size. Publications still out stay counted until they come back, but
    // their confirms and failures no longer settle anything: their deliveries
    // went back to the queue with the channel.
    void reset(quint64 generation, qint64 batch);
    // Forgets the publications still out as well (their publisher is gone).
    void forgetPublications();
    quint64 generation() const { return m_generation; }
    // Room for this many deliveries ready for acknowledgement, so that
    // settling them allocates nothing.
    void reserve(int deliveries);

    // A new delivery of `bytes` awaiting `publications` confirms before it
    // may be acknowledged; with none it is settled at once (dropped on purpose).
    void add(quint64 tag, TimePoint arrival, int publications, qint64 bytes = 0);
    // A publication of the delivery went out under the publisher's ticket.
    void published(quint64 ticket, quint64 tag);
    // The publication was confirmed. True when this settled its delivery.
    bool confirm(quint64 ticket);
    // The publication failed: the tag of its delivery, now rejected, or 0
    // when that was already settled or rejected, or not of this channel.
    quint64 fail(quint64 ticket);
    // The delivery was rejected (with or without requeue). False when it was
    // already settled or rejected, or is unknown: then it must not be rejected again.
    bool reject(quint64 tag);

    // The tag to acknowledge with multiple now, or 0 when a full batch is not
    // ready (or, with `flush`, when nothing is ready at all). `arrivals` then
    // holds the arrival times of the deliveries the tag covers.
    quint64 takeAck(bool flush, std::vector<TimePoint>& arrivals);
    // Settled deliveries that wait for their acknowledgement.
    qint64 ready() const { return qint64(m_ready.size()); }
    int open() const { return int(m_open.size()); }
    // The bytes of the deliveries not settled yet.
    qint64 unsettledBytes() const { return m_unsettled_bytes; }
    // Publications neither confirmed nor failed yet, those of forgotten deliveries included.
    int publicationsOut() const { return m_tickets.size(); }

private:
    enum class State { Pending, Ack, Rejected };
    struct Entry {
        quint64 tag = 0;
        TimePoint arrival;
        qint64 bytes = 0;    // until it is settled
        int pending = 0;     // publications not confirmed yet, made or not
        int out = 0;         // publications made whose tickets name this entry
        State state = State::Pending;
        bool passed = false; // below the frontier, kept only for its tickets
    };
    using Entries = std::map<quint64, Entry>;
    void advance();
    // The entry leaves Pending for `state`.
    void settleEntry(Entry& e, State state);
    // One of the entry's tickets came back.
    void release(Entry& e);

    quint64 m_generation = 0;
    qint64 m_batch = 1;
    Entries m_open; // not yet below the settled frontier
    // Rejected deliveries below the frontier with publications still out. An
    // entry moves here from m_open as a map node, so it keeps its address and
    // the tickets pointing to it stay valid until the last one comes back.
    Entries m_passed;
    QHash<quint64, Entry*> m_tickets; // publication ticket -> its delivery; nullptr once that is forgotten
    std::vector<TimePoint> m_ready;   // arrivals of settled-for-ack deliveries below the frontier, not yet acked
    qint64 m_unsettled_bytes = 0;
    quint64 m_lastAckable = 0;        // the highest of them
};
