#include "rabbit_connector.h"

#include "app/logger.h"
#include "config/rabbit_config.h"
#include "modem_id_decoder.h"
#include "rabbit/rabbit_publisher.h"
#include "rabbit/rabbit_receiver.h"

namespace {
const char start_signature[] = "bool RabbitConnector::StartWorking()";
constexpr int exclusive_flag = 0x04; // queue.declare flags
constexpr int auto_delete_flag = 0x08;
const QString text_type = QStringLiteral("text/plain");
const QString binary_type = QStringLiteral("application/octet-stream");
} // namespace

RabbitConnector::RabbitConnector(RabbitConfig& settings_, logger& log_, QObject* parent)
    : QObject(parent), log(log_), settings(settings_)
{
    m_ack_timer.setSingleShot(true);
    connect(&m_ack_timer, &QTimer::timeout, this, [this] { acknowledge(true); });
}

RabbitConnector::~RabbitConnector()
{
    routing_keys.clear();
    delete publisher;
    delete receiver;
}

bool RabbitConnector::refuse(const QString& why)
{
    if (!why.isEmpty())
        log_line(log, 1) << start_signature << " refused: " << why;
    emit StopWorking();
    return false;
}

bool RabbitConnector::StartWorking()
{
    if (!settings.Load(log))
        return refuse(QString());
    if (settings.shard_count == 0 || settings.shard_count > max_shard_count)
        return refuse(QStringLiteral("publisher/shard_count is %1, it must be 1 to %2")
                          .arg(settings.shard_count)
                          .arg(max_shard_count));
    if (settings.routing_key_prefix.isEmpty())
        return refuse(QStringLiteral("publisher/routing_key_prefix is empty"));
    const qint32 prefetch = settings.receiver.prefetch_count;
    if (prefetch < 1 || prefetch > max_prefetch_count)
        return refuse(QStringLiteral("receiver/prefetch_count is %1, it must be 1 to %2").arg(prefetch).arg(max_prefetch_count));
    // AMQP names are at most 255 bytes; a longer one would fail every publication or declaration.
    const QString longestKey = settings.routing_key_prefix + QString::number(settings.shard_count - 1);
    const QPair<const char*, QString> names[] = {
        {"publisher/routing_key_prefix", longestKey},
        {"publisher/exchange", settings.publisher.exchange},
        {"receiver/r_que", settings.receiver.queue},
        {"receiver/bindings/exchange", settings.receiver.bindings.value(0).first},
        {"receiver/bindings/routekey", settings.receiver.bindings.value(0).second},
    };
    for (const auto& name : names) {
        if (name.second.toUtf8().size() > max_name_length)
            return refuse(QStringLiteral("%1 makes a name of %2 bytes (\"%3...\"), at most %4 are allowed")
                              .arg(QLatin1String(name.first))
                              .arg(name.second.toUtf8().size())
                              .arg(name.second.left(40))
                              .arg(max_name_length));
    }

    if (settings.receiver.mode & (auto_delete_flag | exclusive_flag))
        log_line(log, 2) << start_signature << " receiver/mode " << settings.receiver.mode
                         << " declares an auto-delete or exclusive queue: the broker deletes it, with the"
                            " messages in it, when the connection goes; mode 2 (durable) keeps them";

    routing_keys.clear();
    routing_keys.reserve(int(settings.shard_count));
    for (quint32 i = 0; i < settings.shard_count; ++i) {
        routing_keys.append(settings.routing_key_prefix + QString::number(i));
        log_line(log, 3) << "shard: " << i << ", routing key: " << routing_keys.last();
    }
    m_stop_binary = settings.stop_binary;
    m_ack_batch = qMax(1, prefetch / 4);

    acknowledge(true); // what is settled is acknowledged before its channel goes
    retire();
    ++m_start;
    m_waiting.clear();
    m_tracker.reset(0, m_ack_batch);
    m_tickets.clear();
    m_ack_timer.stop();

    receiver = new rabbit_receiver(&log, settings.receiver, this, true, false);
    publisher = new rabbit_publisher<rabbit_publisher_config>(&log, settings.publisher, this);
    connect(receiver, &rabbit_receiver::raw_data_received, this, &RabbitConnector::handleMsg, Qt::UniqueConnection);
    connect(publisher, &rabbit_publisher_impl::confirmed, this, &RabbitConnector::onConfirmed);
    connect(publisher, &rabbit_publisher_impl::failed, this, &RabbitConnector::onFailed);
    return true;
}

void RabbitConnector::retire()
{
    // The old pair may still be on the stack below (a restart inside the
    // publisher's wait): cut them off now, delete them from the event loop.
    // Their unacknowledged deliveries go back to the queue with their connection.
    for (QObject* old : {static_cast<QObject*>(receiver), static_cast<QObject*>(publisher)}) {
        if (!old)
            continue;
        old->disconnect(this);
        old->deleteLater();
    }
    receiver = nullptr;
    publisher = nullptr;
}

ModemIdResult RabbitConnector::extractModemId(const QByteArray& body)
{
    return decodeModemId(body, log);
}

quint64 RabbitConnector::publishMsg(const QByteArray& body, const QString& routingKey, bool binary)
{
    return publisher->publish_string(body, routingKey.toUtf8(), binary ? binary_type : text_type);
}

void RabbitConnector::handleMsg(const QByteArray& body, uint64_t tag)
{
    m_ack_timer.start(ack_flush_delay);
    m_waiting.append(Waiting{body, tag, receiver->channel_generation(), m_start});
    // While the publisher waits for its connection, the event loop runs nested
    // and hands on further deliveries: they queue up here and are routed in
    // order once the current one is done, so waits never nest and the stack
    // stays flat whatever the prefetch window.
    if (!m_routing)
        routeWaiting();
}

void RabbitConnector::routeWaiting()
{
    m_routing = true;
    if (!m_waiting.isEmpty())
        route(m_waiting.takeFirst());
    if (m_waiting.isEmpty()) {
        m_routing = false;
        return;
    }
    // More came during a wait: the next one from the event loop, so that
    // control returns there between deliveries.
    QMetaObject::invokeMethod(this, [this] { routeWaiting(); }, Qt::QueuedConnection);
}

void RabbitConnector::route(const Waiting& d)
{
    // A restart or a new channel since the delivery came: the broker has it back.
    if (d.start != m_start || !receiver || receiver->channel_generation() != d.generation)
        return;
    if (d.generation != m_tracker.generation())
        m_tracker.reset(d.generation, m_ack_batch);

    const ModemIdResult result = extractModemId(d.body);
    if (!result.modem_id) {
        // Undecodable: rejected without requeue, so that a dead-letter exchange keeps it.
        m_tracker.add(d.tag, 1);
        if (m_tracker.reject(d.tag))
            receiver->reject_message(d.tag, false, d.generation);
        return;
    }
    if (m_stop_binary && result.binary) {
        m_tracker.add(d.tag, 0);
        acknowledge(false);
        return;
    }

    // Route with the table's own size, never with a count the table was not built for.
    const quint32 shards = quint32(routing_keys.size());
    const bool everyShard = *result.modem_id == -1;
    const int count = everyShard ? int(shards) : 1;
    m_tracker.add(d.tag, count);
    for (int i = 0; i < count; ++i) {
        const quint32 shard = everyShard ? quint32(i) : quint32(*result.modem_id) % shards;
        const quint64 ticket = publishMsg(d.body, routing_keys[int(shard)], result.binary);
        // A restart or a reconnection during the publisher's wait: this
        // delivery belongs to a closed channel and comes again on the new one.
        if (d.start != m_start || !receiver || receiver->channel_generation() != d.generation)
            return;
        if (ticket == 0) {
            rejectDelivery(d.generation, d.tag, true);
            return;
        }
        m_tickets.insert(ticket, Delivery{d.start, d.generation, d.tag});
    }
}

void RabbitConnector::rejectDelivery(quint64 generation, quint64 tag, bool requeue)
{
    if (generation != m_tracker.generation() || !m_tracker.reject(tag))
        return;
    if (receiver)
        receiver->reject_message(tag, requeue, generation);
    acknowledge(false);
}

bool RabbitConnector::takeTicket(quint64 ticket, Delivery* delivery)
{
    const auto it = m_tickets.find(ticket);
    if (it == m_tickets.end())
        return false;
    *delivery = it.value();
    m_tickets.erase(it);
    // A delivery of an earlier start or channel went back to the queue with it.
    return delivery->start == m_start && delivery->generation == m_tracker.generation();
}

void RabbitConnector::onConfirmed(quint64 ticket)
{
    Delivery d;
    if (takeTicket(ticket, &d) && m_tracker.confirm(d.tag))
        acknowledge(false);
}

void RabbitConnector::onFailed(quint64 ticket)
{
    // The broker redelivers it; shards that already got it get it again.
    Delivery d;
    if (takeTicket(ticket, &d))
        rejectDelivery(d.generation, d.tag, true);
}

void RabbitConnector::acknowledge(bool flush)
{
    const quint64 tag = m_tracker.takeAck(flush);
    if (tag != 0 && receiver)
        receiver->ack_message(tag, true, m_tracker.generation());
    if (!flush && m_tracker.ready() > 0 && !m_ack_timer.isActive())
        m_ack_timer.start(ack_flush_delay);
}
