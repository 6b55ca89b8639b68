#include "rabbit_receiver.h"

#include "amqp/amqp_url.h"
#include "amqp/qamqpqueue.h"
#include "app/logger.h"
#include "close_and_delete.h"
#include "config/password_file.h"

namespace {
constexpr int precondition_failed = 406; // AMQP reply code of a refused declaration
} // namespace

rabbit_receiver::rabbit_receiver(logger* log_, rabbit_receiver_config config_, QObject* parent)
    : QObject(parent), client(this), config(std::move(config_)), log(log_)
{
    qRegisterMetaType<uint64_t>("uint64_t"); // the tag type of raw_data_received, for queued connections
    connect(&client, &QAmqpClient::disconnected, this, &rabbit_receiver::disconnected, Qt::DirectConnection);
    connect(&client, &QAmqpClient::connected, this, &rabbit_receiver::connected, Qt::DirectConnection);
    connect(&client, &QAmqpClient::connectFailed, this, &rabbit_receiver::connect_failed);
    connect(&client, &QAmqpClient::connected, this, [this] { emit connection_attempt(true); });
    connect(&client, &QAmqpClient::connectFailed, this, [this] { emit connection_attempt(false); });
    if (!config.failover_paths.isEmpty()) {
        // With several nodes, each attempt says where it goes.
        connect(&client, &QAmqpClient::attemptStarted, this, [this] {
            log_line(*log, 3) << "rabbit_receiver: connecting to " << maskUrlPassword(client.url());
        });
    }
    use_tls_settings(client, config.tls, broker_urls(), *log, "rabbit_receiver");
    m_setup_retry.setSingleShot(true);
    connect(&m_setup_retry, &QTimer::timeout, this, &rabbit_receiver::declare);

    start_connecting(client, QStringLiteral("shardex receiver, queue %1").arg(config.queue), broker_urls(),
                     config.vhost, m_retry_interval);
    log_line(*log, 4) << "rabbit_man_receiver_impl inited to path <<" << maskUrlPassword(config.path) << ", queue "
                      << config.queue << ", host " << config.vhost;
}

rabbit_receiver::~rabbit_receiver() = default;

QStringList rabbit_receiver::broker_urls() const
{
    return urls_with_password(QStringList{config.path} + config.failover_paths, config.password);
}

bool rabbit_receiver::is_consuming() const
{
    return !m_stopping && client.isConnected() && queue_handle && queue_handle->isConsuming();
}

void rabbit_receiver::set_retry_interval(int ms)
{
    m_retry_interval = ms;
    client.setAutoReconnect(true, ms);
}

void rabbit_receiver::connected()
{
    if (queue_handle)
        queue_handle->disconnect(); // the old object no longer reaches this receiver
    m_setup_retry.stop();
    if (m_stopping) {
        queue_handle = nullptr; // consuming for good is over
        return;
    }
    m_declaring = false;
    m_consume_pending = false;
    m_existing_reason.clear();
    log_line(*log, 4) << " Rabbit_man_ul: connected";
    if (!config.failover_paths.isEmpty())
        log_line(*log, 3) << "rabbit_receiver: connected to " << maskUrlPassword(client.url());
    queue_handle = client.createQueue(config.queue, -1);
    // A delivery's tag is valid only on the opening of the channel that carried
    // it: the generation moves on when the channel closes and when it opens.
    connect(queue_handle, &QAmqpChannel::opened, this, [this] { ++m_generation; });
    connect(queue_handle, &QAmqpChannel::closed, this, [this] {
        ++m_generation;
        m_consume_pending = false;
        consumption_ended();
    });
    connect(queue_handle, &QAmqpQueue::consuming, this, [this] { m_consume_pending = false; });
    connect(queue_handle, &QAmqpQueue::cancelled, this, &rabbit_receiver::consumption_ended);
    connect(queue_handle, &QAmqpChannel::error, this, &rabbit_receiver::channel_error);
    connect(queue_handle, &QAmqpQueue::consumerCancelled, this, [this] {
        consumption_ended(); // while stopping, that is the end of consuming too
        setup_failed(QStringLiteral("the broker cancelled the consumer"));
    });
    declare();
    log_line(*log, 4) << " rabbit_receiver: Connected";
    emit conn_estimated();
}

void rabbit_receiver::declare()
{
    if (!queue_handle || m_stopping)
        return;
    disconnect(queue_handle, &QAmqpQueue::declared, nullptr, nullptr);
    connect(queue_handle, &QAmqpQueue::declared, this, [this] { declared(); });
    m_declaring = true;
    if (m_existing_reason.isEmpty())
        queue_handle->declare(config.mode);
    else
        queue_handle->declare(QAmqpQueue::Passive);
}

void rabbit_receiver::declared()
{
    disconnect(queue_handle, &QAmqpQueue::declared, nullptr, nullptr);
    m_declaring = false;
    if (config.bindings.isEmpty()) {
        // Nothing to bind: the queue still gets what is published to it by name.
        log_line(*log, 4) << " Rabbit_man_ul: no binding configured";
        consume();
        return;
    }
    bind_next(config.bindings);
}

void rabbit_receiver::bind_next(QList<QPair<QString, QString>> pending)
{
    // One binding outstanding at a time; the next goes out when the broker confirms this one.
    disconnect(queue_handle, &QAmqpQueue::bound, nullptr, nullptr);
    const QPair<QString, QString> first = pending.first();
    queue_handle->bind(first.first, first.second);
    connect(queue_handle, &QAmqpQueue::bound, this, [this, pending]() mutable {
        pending.removeFirst();
        if (!pending.isEmpty()) {
            bind_next(pending);
            return;
        }
        disconnect(queue_handle, &QAmqpQueue::bound, nullptr, nullptr);
        consume();
        log_line(*log, 4) << " Rabbit_man_ul: Queue bound";
    });
}

void rabbit_receiver::consume()
{
    if (m_stopping) {
        consumption_ended();
        return;
    }
    start();
    disconnect(queue_handle, &QAmqpQueue::messageReceived, this, &rabbit_receiver::messageReceived);
    connect(queue_handle, &QAmqpQueue::messageReceived, this, &rabbit_receiver::messageReceived, Qt::DirectConnection);
}

void rabbit_receiver::channel_error(int code, const QString& text)
{
    // The broker closed the channel: its deliveries went back to the queue.
    // (An error of this side's own leaves the channel open.)
    if (code < QAmqpError::SocketError) {
        ++m_generation;
        m_consume_pending = false;
        consumption_ended();
    }
    if (m_declaring && m_existing_reason.isEmpty() && code == precondition_failed
        && text.contains(QLatin1String("inequivalent arg"))) {
        // The queue exists with arguments of its own (a quorum queue, a
        // dead-letter exchange, a length limit...): take it as it is. The
        // channel opens again at once; the passive declaration waits for it.
        m_existing_reason = QString::number(code) + QLatin1Char(' ') + text;
        log_line(*log, 2) << "rabbit_receiver: queue " << config.queue
                          << " exists with other arguments than receiver/mode declares; it is consumed as it is ("
                          << m_existing_reason << ")";
        declare();
        return;
    }
    setup_failed(QStringLiteral("the broker closed the queue's channel: %1 ").arg(code) + text);
}

void rabbit_receiver::setup_failed(const QString& why)
{
    if (m_stopping)
        return; // no consumer wanted any more
    // The next set-up declares with receiver/mode again: the queue may have
    // been deleted meanwhile, and is then made anew.
    m_existing_reason.clear();
    // Never a tight loop: the whole set-up runs again after the retry interval.
    log_line(*log, 1) << "rabbit_receiver: queue " << config.queue << ": " << why << "; set-up again in "
                      << m_retry_interval << " ms";
    m_setup_retry.start(m_retry_interval);
}

void rabbit_receiver::start()
{
    log_line(*log, 4) << "Rabbit consume";
    if (!queue_handle) {
        log_line(*log, 4) << "void rabbit_receiver::start()" << " zerro queue";
        return;
    }
    queue_handle->qos(qint16(config.prefetch_count & 0xFFFF), 0);
    queue_handle->consume(QAmqpQueue::coNoLocal);
    m_consume_pending = true;
}

void rabbit_receiver::stop()
{
    log_line(*log, 4) << "Rabbit cancel";
    m_stopping = true;
    m_setup_retry.stop();
    if (!queue_handle) {
        log_line(*log, 4) << "void rabbit_receiver::stop()" << " zerro queue";
        consumption_ended();
        return;
    }
    if (!client.isConnected()) {
        consumption_ended(); // the channel is gone: no delivery can come
        return;
    }
    if (queue_handle->isConsuming()) {
        queue_handle->cancel(false);
        return;
    }
    if (m_consume_pending) { // its consume-ok is still to come: cancel right after it
        connect(queue_handle, &QAmqpQueue::consuming, this, [this] { queue_handle->cancel(false); });
        return;
    }
    consumption_ended(); // the set-up had not got that far, and goes no further
}

void rabbit_receiver::consumption_ended()
{
    if (!m_stopping || m_stopped)
        return;
    m_stopped = true;
    // From the event loop: the caller may be in the middle of stop().
    QMetaObject::invokeMethod(this, &rabbit_receiver::consumption_stopped, Qt::QueuedConnection);
}

void rabbit_receiver::messageReceived()
{
    if (!queue_handle || queue_handle->isEmpty()) {
        log_line(*log, 4) << "void rabbit_receiver::messageReceived()" << "zerro or empty queue";
        return;
    }
    message = queue_handle->dequeue();
    // Read before emitting: a nested delivery may overwrite `message`, and a
    // handler may delete this receiver, so nothing below touches `this`.
    const uint64_t tag = uint64_t(message.deliveryTag());
    const QByteArray payload = message.payload();
    const QByteArray properties = message.encodedProperties();
    // Emptied before it is handed on: the body is not kept until the next
    // delivery (a large one would otherwise stay in memory beside the next).
    message = QAmqpMessage();
    emit raw_data_received(payload, tag, properties);
}

void rabbit_receiver::disconnected()
{
    log_line(*log, 1) << " Rabbit_man_ul: Disconnected: " << client.error().text << "; next attempt in "
                      << client.nextAttemptIn() << " ms";
}

void rabbit_receiver::connect_failed()
{
    log_line(*log, 1) << "rabbit_receiver: " << client.error().text << "; next attempt in " << client.nextAttemptIn()
                      << " ms";
}

bool rabbit_receiver::ack_message(uint64_t tag, bool multiple, quint64 generation)
{
    if (generation != m_generation || !queue_handle) {
        log_line(*log, 4) << "rabbit_receiver: ack of delivery " << tag << " of an earlier channel not sent";
        return false;
    }
    return queue_handle->ack(qlonglong(tag), multiple);
}

bool rabbit_receiver::reject_message(uint64_t tag, bool requeue, quint64 generation)
{
    if (generation != m_generation || !queue_handle) {
        log_line(*log, 4) << "rabbit_receiver: reject of delivery " << tag << " of an earlier channel not sent";
        return false;
    }
    return queue_handle->reject(qlonglong(tag), requeue);
}

void rabbit_receiver::shut_down()
{
    // Nothing of this receiver reaches its user or the log any more.
    disconnect(this, nullptr, nullptr, nullptr);
    client.disconnect(this);
    if (queue_handle)
        queue_handle->disconnect(this);
    m_setup_retry.stop();
    close_and_delete(client, this);
}
