#include "settlement.h"

Settlement::Settlement(RouterMetrics& metrics, SendAck ack, SendReject reject)
    : m_metrics(metrics), m_send_ack(std::move(ack)), m_send_reject(std::move(reject))
{
    m_flush_timer.setSingleShot(true);
    QObject::connect(&m_flush_timer, &QTimer::timeout, [this] { acknowledge(true); });
}

void Settlement::restart(qint64 batch, int prefetch)
{
    m_batch = qMax<qint64>(1, batch);
    m_tracker.reset(0, m_batch);
    m_tracker.forgetPublications();
    // The broker holds back deliveries beyond the prefetch window, so no more
    // than that wait for an acknowledgement.
    m_tracker.reserve(prefetch);
    m_acked.reserve(std::size_t(qMax(0, prefetch)));
    m_flush_timer.stop();
}

void Settlement::stop()
{
    m_flush_timer.stop();
    m_tracker.forgetPublications();
}

void Settlement::enterChannel(quint64 generation)
{
    if (generation != m_tracker.generation())
        m_tracker.reset(generation, m_batch);
}

quint64 Settlement::failed(quint64 ticket)
{
    const quint64 tag = m_tracker.fail(ticket);
    if (tag != 0)
        sendReject(tag, true);
    return tag;
}

bool Settlement::reject(quint64 tag, bool requeue)
{
    if (!m_tracker.reject(tag))
        return false;
    sendReject(tag, requeue);
    return true;
}

void Settlement::sendReject(quint64 tag, bool requeue)
{
    if (m_send_reject(tag, requeue, m_tracker.generation()))
        ++(requeue ? m_metrics.rejected_requeue : m_metrics.rejected_drop);
}

void Settlement::acknowledge(bool flush, bool routing)
{
    // Once everything held is settled, nothing more would join the batch
    // soon: the broker, whose prefetch window those deliveries fill, is
    // waiting for this acknowledgement before it delivers more.
    flush = flush || (m_tracker.open() == 0 && !routing);
    const quint64 tag = m_tracker.takeAck(flush, m_acked);
    if (tag != 0 && m_send_ack(tag, m_tracker.generation())) {
        m_metrics.acknowledged += quint64(m_acked.size());
        // The deliveries this acknowledgement covers, timed when it went out
        // (when not, their channel is gone and they come again).
        const TimePoint now = std::chrono::steady_clock::now();
        for (const TimePoint arrival : m_acked)
            m_metrics.delivery_duration.observe(std::chrono::duration<double>(now - arrival).count());
    }
    // The timer runs from the first settled delivery that waits for its batch,
    // and is never pushed back by later ones.
    if (!flush && m_tracker.ready() > 0 && !m_flush_timer.isActive())
        m_flush_timer.start(flush_delay);
}
