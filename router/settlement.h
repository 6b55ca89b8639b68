#pragma once

#include "delivery_tracker.h"
#include "router_metrics.h"

#include <QTimer>

#include <functional>
#include <vector>

// Settles the deliveries of the receiver channel from what becomes of their
// publications: a delivery is acknowledged once every publication made from
// it is confirmed, and rejected with requeue as soon as one fails, so that it
// comes again. Acknowledgements go out in batches (multiple), at once when
// nothing else is held. It counts what it sends in the router's metrics.
class Settlement {
public:
    using TimePoint = DeliveryTracker::TimePoint;
    // Send a multiple acknowledgement up to `tag`, or a rejection of one
    // delivery, on the receiver channel `generation`: true when it went out.
    using SendAck = std::function<bool(quint64 tag, quint64 generation)>;
    using SendReject = std::function<bool(quint64 tag, bool requeue, quint64 generation)>;

    Settlement(RouterMetrics& metrics, SendAck ack, SendReject reject);
    Settlement(const Settlement&) = delete;
    Settlement& operator=(const Settlement&) = delete;

    // Settled deliveries are acknowledged at the latest this long after they
    // were settled, also when no full batch comes together.
    static constexpr int flush_delay = 1000;

    // For a new start: forgets every delivery and publication. An
    // acknowledgement covers `batch` deliveries at least; the broker delivers
    // no more than `prefetch` unacknowledged ones, for which room is made.
    void restart(qint64 batch, int prefetch);
    // For the end: nothing more is acknowledged later, and the publications
    // still out are forgotten.
    void stop();
    // Routing begins on a delivery of the receiver channel `generation`. A
    // new channel's deliveries replace the old one's: those went back to the
    // queue with it, and the confirms still coming for them settle nothing.
    void enterChannel(quint64 generation);
    quint64 generation() const { return m_tracker.generation(); }

    // A delivery of `bytes` whose `publications` are about to be made; with
    // none it is settled at once (dropped on purpose).
    void add(quint64 tag, TimePoint arrival, int publications, qint64 bytes = 0)
    {
        m_tracker.add(tag, arrival, publications, bytes);
    }
    // One of its publications went out under the publisher's ticket.
    void published(quint64 ticket, quint64 tag) { m_tracker.published(ticket, tag); }
    // The broker confirmed the publication. True when this settled its
    // delivery: acknowledge() then.
    bool confirmed(quint64 ticket) { return m_tracker.confirm(ticket); }
    // The publication failed (nacked, returned or lost): its delivery, unless
    // already settled, is rejected with requeue. Its tag then, else 0.
    quint64 failed(quint64 ticket);
    // Rejects the delivery, with or without requeue, unless it is already
    // settled; true when this rejected it.
    bool reject(quint64 tag, bool requeue);

    // Acknowledges the settled deliveries: with `flush` or when nothing else
    // is held (`routing`: deliveries wait or are being routed), whatever is
    // ready; else a full batch, and flush_delay after the first settled one
    // that waits for its batch.
    void acknowledge(bool flush, bool routing = false);

    // Deliveries neither acknowledged nor rejected yet.
    qint64 held() const { return m_tracker.open() + m_tracker.ready(); }
    // The bytes of the deliveries whose publications are not all settled.
    qint64 unsettledBytes() const { return m_tracker.unsettledBytes(); }
    // Publications neither confirmed nor failed yet.
    bool publicationsOut() const { return m_tracker.publicationsOut() > 0; }
    // Settled deliveries wait for their acknowledgement at the latest flush_delay from now.
    bool flushScheduled() const { return m_flush_timer.isActive(); }

private:
    void sendReject(quint64 tag, bool requeue);

    RouterMetrics& m_metrics;
    SendAck m_send_ack;
    SendReject m_send_reject;
    DeliveryTracker m_tracker;
    qint64 m_batch = 1;
    std::vector<TimePoint> m_acked; // the arrivals of the deliveries the last acknowledgement covered
    QTimer m_flush_timer;
};
