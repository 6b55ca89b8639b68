#include "rabbit_connector.h"

#include "app/logger.h"
#include "config/rabbit_config.h"
#include "config/settings_check.h"
#include "modem_id_decoder.h"
#include "rabbit/rabbit_publisher.h"
#include "rabbit/rabbit_receiver.h"

#include <QPointer>

namespace {
const char start_signature[] = "bool RabbitConnector::StartWorking()";
constexpr int exclusive_flag = 0x04; // queue.declare flags
constexpr int auto_delete_flag = 0x08;
const QString text_type = QStringLiteral("text/plain");
const QString binary_type = QStringLiteral("application/octet-stream");
} // namespace

RabbitConnector::RabbitConnector(RabbitConfig& settings_, logger& log_, QObject* parent)
    : QObject(parent), log(log_), settings(settings_),
      m_settlement(
          m_metrics,
          [this](quint64 tag, quint64 generation) { return receiver && receiver->ack_message(tag, true, generation); },
          [this](quint64 tag, bool requeue, quint64 generation) {
              return receiver && receiver->reject_message(tag, requeue, generation);
          })
{
    // Undecodable bodies beyond the dumps are summed up once a minute; this
    // also sums up the last of a flood, after which no body may come.
    connect(&m_left_out_timer, &QTimer::timeout, this, [this] { logLeftOutBodies(log, m_dumps); });
    m_left_out_timer.start(left_out_check_interval);
    // A drain that does not end by itself (confirms that never come) ends here.
    m_drain_timer.setSingleShot(true);
    connect(&m_drain_timer, &QTimer::timeout, this, [this] {
        if (m_finishing)
            closeAndFinish();
        else if (m_reloading)
            applyReload();
    });
}

RabbitConnector::~RabbitConnector()
{
    routing_keys.clear();
    delete publisher;
    delete receiver;
}

bool RabbitConnector::refuse(const QStringList& problems)
{
    for (const QString& problem : problems)
        log_line(log, 1) << start_signature << " refused: " << problem;
    if (m_start == 0) {
        emit StopWorking();
        return false;
    }
    // A mistaken save must not end the routing of every device: the router
    // goes on with the settings it runs with until a good reload.
    m_metrics.reload_success = false;
    log_line(log, 1) << start_signature << " the settings were refused; routing goes on with the previous ones";
    return false;
}

bool RabbitConnector::StartWorking()
{
    if (!settings.Load(log))
        return refuse({});
    QStringList problems = check_settings(settings);
    if (problems.isEmpty() && m_start_check) {
        const QString problem = m_start_check(settings);
        if (!problem.isEmpty())
            problems << problem;
    }
    if (!problems.isEmpty())
        return refuse(problems);
    m_accepted = Accepted{settings.receiver, settings.publisher, settings.routing_key_prefix, settings.shard_count,
                          settings.stop_binary};
    if (settings.receiver.mode & (auto_delete_flag | exclusive_flag))
        log_line(log, 2) << start_signature << " receiver/mode " << settings.receiver.mode
                         << " declares an auto-delete or exclusive queue: the broker deletes it, with the"
                            " messages in it, when the connection goes; mode 2 (durable) keeps them";
    if (m_start == 0 || !receiver) {
        apply();
        return true;
    }
    // A reload drains as a stop does before the connections are replaced:
    // what was delivered is routed and confirmed, the rest goes back
    // unacknowledged, so nothing is published twice. A save during the drain
    // only changes what it applies.
    if (!m_reloading && !m_finishing) {
        m_reloading = true;
        m_consumer_stopped = false;
        connect(receiver, &rabbit_receiver::consumption_stopped, this, [this] {
            m_consumer_stopped = true;
            finishWhenDrained();
        });
        receiver->stop();
        m_drain_timer.start(drain_limit);
    }
    return true;
}

void RabbitConnector::applyReload()
{
    m_reloading = false;
    m_drain_timer.stop();
    apply();
}

void RabbitConnector::apply()
{
    const Accepted& a = m_accepted;
    m_consumer_stopped = false;

    routing_keys.clear();
    routing_keys.reserve(int(a.shard_count));
    m_routing_keys_utf8.clear();
    m_routing_keys_utf8.reserve(int(a.shard_count));
    m_shard_of_key.clear();
    for (quint32 i = 0; i < a.shard_count; ++i) {
        routing_keys.append(a.routing_key_prefix + QString::number(i));
        m_routing_keys_utf8.append(routing_keys.last().toUtf8());
        m_shard_of_key.insert(m_routing_keys_utf8.last(), int(i));
        log_line(log, 3) << "shard: " << i << ", routing key: " << routing_keys.last();
    }
    m_stop_binary = a.stop_binary;
    m_max_held_bytes = a.receiver.max_held_bytes;
    m_input_paused = false; // the new receiver takes deliveries in

    acknowledge(true); // what is settled is acknowledged before its channel goes
    retire();
    ++m_start;
    m_queue.clear();
    m_settlement.restart(qMax(1, a.receiver.prefetch_count / 4), a.receiver.prefetch_count);

    receiver = new rabbit_receiver(&log, a.receiver, this);
    publisher = new rabbit_publisher<rabbit_publisher_config>(&log, a.publisher, this);
    if (m_retry_interval > 0) {
        receiver->set_retry_interval(m_retry_interval);
        publisher->set_retry_interval(m_retry_interval);
    }
    connect(receiver, &rabbit_receiver::raw_data_received, this, &RabbitConnector::handleMsg, Qt::UniqueConnection);
    connect(receiver, &rabbit_receiver::connection_attempt, this,
            [this](bool ok) { ++(ok ? m_metrics.receiver_attempts.success : m_metrics.receiver_attempts.failure); });
    connect(publisher, &rabbit_publisher_impl::connection_attempt, this,
            [this](bool ok) { ++(ok ? m_metrics.publisher_attempts.success : m_metrics.publisher_attempts.failure); });
    connect(publisher, &rabbit_publisher_impl::confirmed, this, &RabbitConnector::onConfirmed);
    connect(publisher, &rabbit_publisher_impl::failed, this, &RabbitConnector::onFailed);
    connect(publisher, &rabbit_publisher_impl::returned, this, &RabbitConnector::onReturned);
    // Queued: resumed() comes from inside the socket's own signals.
    connect(publisher, &rabbit_publisher_impl::resumed, this, &RabbitConnector::routeWaiting, Qt::QueuedConnection);
    if (m_start > 1) {
        ++m_metrics.reloads;
        m_metrics.reload_success = true;
    }
}

RouterState RabbitConnector::state() const
{
    RouterState s;
    s.receiver_up = receiver && receiver->is_connected();
    s.consuming = receiver && receiver->is_consuming();
    s.publisher_up = publisher && publisher->is_connected();
    s.publisher_blocked = publisher && publisher->is_blocked();
    if (publisher) {
        s.publications_refused = publisher->held_after_refusal();
        s.oldest_unconfirmed = publisher->oldest_unconfirmed();
    }
    if (m_last_return && std::chrono::steady_clock::now() - *m_last_return < returns_unready)
        s.returned_key = m_returned_key;
    s.unsettled = m_queue.waiting() + m_settlement.held();
    s.held_bytes = heldBytes();
    s.shard_count = routing_keys.size();
    return s;
}

namespace {
qint64 sketchTime(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}
} // namespace

DeviceSketch::Top RabbitConnector::loudestDevices(int n) const
{
    return m_devices.top(n, sketchTime(std::chrono::steady_clock::now()));
}

void RabbitConnector::retire()
{
    // The old pair may still be on the stack below (a restart inside the
    // publisher's wait): each closes its connection properly, after what it
    // already wrote (the acknowledgements just made), and deletes itself
    // from the event loop once the broker confirmed the close. Their
    // unacknowledged deliveries go back to the queue with the connection.
    if (receiver)
        receiver->shut_down();
    if (publisher)
        publisher->shut_down();
    receiver = nullptr;
    publisher = nullptr;
}

void RabbitConnector::FinishWorking()
{
    if (m_finishing)
        return;
    m_finishing = true;
    if (!receiver) {
        closeAndFinish();
        return;
    }
    if (m_reloading) {
        // The reload's drain, under way, becomes the stop's.
        m_reloading = false;
        m_drain_timer.start(drain_limit);
        finishWhenDrained();
        return;
    }
    connect(receiver, &rabbit_receiver::consumption_stopped, this, [this] {
        m_consumer_stopped = true;
        finishWhenDrained();
    });
    receiver->stop();
    m_drain_timer.start(drain_limit);
}

void RabbitConnector::finishWhenDrained()
{
    if (!m_consumer_stopped || m_queue.inRound() || !m_queue.isEmpty() || m_settlement.publicationsOut())
        return;
    if (m_finishing)
        closeAndFinish();
    else if (m_reloading)
        // Not from inside the caller: it may be a confirm of the publisher being replaced.
        QMetaObject::invokeMethod(this, [this] {
            if (m_reloading)
                applyReload();
        }, Qt::QueuedConnection);
}

void RabbitConnector::closeAndFinish()
{
    if (m_closing)
        return;
    m_closing = true;
    m_drain_timer.stop();
    acknowledge(true);
    m_settlement.stop();
    m_closed_receiver = receiver;
    m_closed_publisher = publisher;
    retire();
    m_queue.clear();
    // Each connection closes from the event loop and deletes its owner then,
    // its close-ok awaited for 2 s at most; the timer is a last resort.
    for (QObject* old : {static_cast<QObject*>(m_closed_receiver), static_cast<QObject*>(m_closed_publisher)}) {
        if (old)
            connect(old, &QObject::destroyed, this, [this] {
                if (!m_closed_receiver && !m_closed_publisher)
                    emitFinished();
            }, Qt::QueuedConnection);
    }
    m_close_timer.setSingleShot(true);
    connect(&m_close_timer, &QTimer::timeout, this, &RabbitConnector::emitFinished);
    m_close_timer.start(3000);
    if (!m_closed_receiver && !m_closed_publisher)
        QMetaObject::invokeMethod(this, &RabbitConnector::emitFinished, Qt::QueuedConnection);
}

void RabbitConnector::emitFinished()
{
    if (m_finished)
        return;
    m_finished = true;
    m_close_timer.stop();
    emit Finished();
}

void RabbitConnector::onReturned(const QByteArray& routingKey)
{
    // Its failed() follows: the delivery goes back to the queue.
    m_returned_key = routingKey;
    m_last_return = std::chrono::steady_clock::now();
    const int shard = m_shard_of_key.value(routingKey, -1);
    if (shard >= 0 && shard < RouterMetrics::counted_shards)
        ++m_metrics.shard_returned[std::size_t(shard)];
}

bool RabbitConnector::isCurrent(const Delivery& d) const
{
    return d.start == m_start && receiver && receiver->channel_generation() == d.generation;
}

void RabbitConnector::handleMsg(const QByteArray& body, uint64_t tag, const QByteArray& properties)
{
    const TimePoint arrival = std::chrono::steady_clock::now();
    m_metrics.last_delivery = arrival;
    m_queue.push(Delivery{body, properties, tag, receiver->channel_generation(), m_start, arrival});
    routeWaiting();
    limitInput();
}

qint64 RabbitConnector::heldBytes() const
{
    return m_queue.bytes() + m_settlement.unsettledBytes();
}

void RabbitConnector::limitInput()
{
    // At least one delivery is always taken in, so that a body larger than
    // the limit still passes.
    const qint64 held = heldBytes();
    const bool pause = held > 0 && held >= m_max_held_bytes;
    if (pause != m_input_paused && receiver) {
        m_input_paused = pause;
        receiver->pause_input(pause);
    }
}

void RabbitConnector::routeWaiting()
{
    const WaitingQueue::Round round = m_queue.route(*this);
    if (round == WaitingQueue::Round::Nested)
        return;
    limitInput();
    // Paused: what is here waits, and the publisher's resumed() goes on with it.
    if (round == WaitingQueue::Round::Sliced)
        scheduleRouting(); // the rest in the next turn, after what the event loop has for us
    else if (round == WaitingQueue::Round::Drained)
        finishWhenDrained();
}

void RabbitConnector::scheduleRouting()
{
    if (m_routing_scheduled)
        return;
    m_routing_scheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_routing_scheduled = false;
            routeWaiting();
        },
        Qt::QueuedConnection);
}

int RabbitConnector::begin(Delivery& d)
{
    m_settlement.enterChannel(d.generation);

    const ModemIdResult result = decodeModemId(d.body, log, m_dumps);
    ++(result.binary ? m_metrics.deliveries_protobuf : m_metrics.deliveries_json);
    if (m_counting_devices)
        m_devices.record(result.modem_id.value_or(-1), sketchTime(d.arrival));
    if (!result.modem_id) {
        // Undecodable: rejected without requeue, so that a dead-letter exchange keeps it.
        ++m_metrics.undecodable;
        m_settlement.add(d.tag, d.arrival, 1);
        m_settlement.reject(d.tag, false);
        acknowledge(false);
        return 0;
    }
    if (m_stop_binary && result.binary) {
        ++m_metrics.dropped_binary;
        m_settlement.add(d.tag, d.arrival, 0);
        acknowledge(false);
        return 0;
    }
    if (*result.modem_id == -1)
        ++m_metrics.fanout;
    d.modem_id = *result.modem_id;
    d.binary = result.binary;
    // Route with the table's own size, never with a count the table was not built for.
    const int count = d.modem_id == -1 ? routing_keys.size() : 1;
    m_settlement.add(d.tag, d.arrival, count, d.body.size());
    return count;
}

WaitingQueue::Router::Pace RabbitConnector::pace() const
{
    // Blocked broker, flow off or a full output: nothing goes out now.
    if (!publisher || publisher->paused())
        return Pace::Paused;
    return publisher->ready() ? Pace::Ready : Pace::Waits;
}

bool RabbitConnector::publish(const Delivery& d, int index)
{
    const quint32 shard = d.modem_id == -1 ? quint32(index) : quint32(d.modem_id) % quint32(routing_keys.size());
    const quint64 ticket = publisher->publish_string(d.body, m_routing_keys_utf8[int(shard)],
                                                     d.binary ? binary_type : text_type, d.properties);
    ++(ticket != 0 ? m_metrics.published : m_metrics.publish_failed);
    if (ticket != 0 && shard < quint32(RouterMetrics::counted_shards))
        ++m_metrics.shard_publications[shard];
    // A restart or a lost channel during the publisher's wait: this delivery
    // is back in the queue and comes again on the new channel.
    if (!isCurrent(d))
        return false;
    if (ticket == 0) {
        if (m_settlement.reject(d.tag, true))
            rejected(d.tag);
        return false;
    }
    m_settlement.published(ticket, d.tag);
    return true;
}

void RabbitConnector::rejected(quint64 tag)
{
    // The copies of a fan-out not yet sent go with the delivery's next coming.
    m_queue.cancel(m_settlement.generation(), tag);
    acknowledge(false);
    limitInput();
}

void RabbitConnector::onConfirmed(quint64 ticket, double seconds)
{
    ++m_metrics.confirmed;
    m_metrics.confirm_duration.observe(seconds);
    m_metrics.last_confirm = std::chrono::steady_clock::now();
    if (m_settlement.confirmed(ticket)) {
        acknowledge(false);
        limitInput();
    }
    finishWhenDrained();
}

void RabbitConnector::onFailed(quint64 ticket)
{
    ++m_metrics.publish_failed;
    // The broker redelivers it; shards that already got it get it again.
    const quint64 tag = m_settlement.failed(ticket);
    if (tag != 0)
        rejected(tag);
    finishWhenDrained();
}

void RabbitConnector::acknowledge(bool flush)
{
    m_settlement.acknowledge(flush, !m_queue.isEmpty());
}
