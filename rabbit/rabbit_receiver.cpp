#include "rabbit_receiver.h"

#include "amqp/amqp_url.h"
#include "amqp/qamqpqueue.h"
#include "app/logger.h"

#include <QDebug>
#include <QJsonDocument>

rabbit_receiver::rabbit_receiver(logger* log_, rabbit_receiver_config config_, QObject* parent, bool raw_data_,
                                 bool raw_routekey_data_)
    : QObject(parent),
      client(this),
      config(std::move(config_)),
      log(log_),
      raw_data(raw_data_),
      raw_routekey_data(raw_routekey_data_)
{
    qRegisterMetaType<uint64_t>("uint64_t"); // the tag type of the data signals, for queued connections
    connect(&client, &QAmqpClient::disconnected, this, &rabbit_receiver::disconnected, Qt::DirectConnection);
    connect(&client, &QAmqpClient::connected, this, &rabbit_receiver::connected, Qt::DirectConnection);
    connect(&client, &QAmqpClient::sslErrors, &client, &QAmqpClient::ignoreSslErrors, Qt::DirectConnection);
    m_setup_retry.setSingleShot(true);
    connect(&m_setup_retry, &QTimer::timeout, this, &rabbit_receiver::declare);

    client.setLogger(log);
    client.setConnectionName(QStringLiteral("shardex receiver, queue %1").arg(config.queue));
    client.connectToHost(config.path);
    client.setAutoReconnect(true, reconnect_interval);
    client.setWriteTimeout(write_timeout);
    client.setHeartbeatDelay(heartbeat_delay);
    client.setVirtualHost(config.vhost);
    log_line(*log, 4) << "rabbit_man_receiver_impl inited to path <<" << maskUrlPassword(config.path) << ", queue "
                      << config.queue << ", host " << config.vhost;
}

rabbit_receiver::~rabbit_receiver() = default;

void rabbit_receiver::connected()
{
    if (queue_handle)
        queue_handle->disconnect(); // the old object no longer reaches this receiver
    m_setup_retry.stop();
    log_line(*log, 4) << " Rabbit_man_ul: connected";
    queue_handle = client.createQueue(config.queue, -1);
    // Each opening of the channel starts a new series of delivery tags.
    connect(queue_handle, &QAmqpChannel::opened, this, [this] { ++m_generation; });
    connect(queue_handle, &QAmqpChannel::error, this, [this](int code, const QString& text) {
        setup_failed(QStringLiteral("the broker closed the queue's channel: %1 %2").arg(code).arg(text));
    });
    connect(queue_handle, &QAmqpQueue::consumerCancelled, this,
            [this] { setup_failed(QStringLiteral("the broker cancelled the consumer")); });
    declare();
    log_line(*log, 4) << " rabbit_receiver: Connected";
    emit conn_estimated();
}

void rabbit_receiver::declare()
{
    if (!queue_handle)
        return;
    disconnect(queue_handle, &QAmqpQueue::declared, nullptr, nullptr);
    connect(queue_handle, &QAmqpQueue::declared, this, [this] { declared(); });
    queue_handle->declare(config.mode);
}

void rabbit_receiver::declared()
{
    disconnect(queue_handle, &QAmqpQueue::bound, nullptr, nullptr);
    if (config.bindings.isEmpty()) {
        // Nothing to bind: the queue still gets what is published to it by name.
        log_line(*log, 4) << " Rabbit_man_ul: no binding configured";
        start();
        disconnect(queue_handle, &QAmqpQueue::messageReceived, this, &rabbit_receiver::messageReceived);
        connect(queue_handle, &QAmqpQueue::messageReceived, this, &rabbit_receiver::messageReceived,
                Qt::DirectConnection);
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
        start();
        disconnect(queue_handle, &QAmqpQueue::messageReceived, this, &rabbit_receiver::messageReceived);
        connect(queue_handle, &QAmqpQueue::messageReceived, this, &rabbit_receiver::messageReceived,
                Qt::DirectConnection);
        log_line(*log, 4) << " Rabbit_man_ul: Queue bound";
    });
}

void rabbit_receiver::setup_failed(const QString& why)
{
    // Never a tight loop: the whole set-up runs again after the reconnect interval.
    log_line(*log, 1) << "rabbit_receiver: queue " << config.queue << ": " << why << "; set-up again in "
                      << reconnect_interval << " ms";
    m_setup_retry.start(reconnect_interval);
}

void rabbit_receiver::start()
{
    log_line(*log, 4) << "Rabbit consume";
    qDebug() << "consume";
    if (!queue_handle) {
        log_line(*log, 4) << "void rabbit_receiver::start()" << " zerro queue";
        return;
    }
    queue_handle->qos(qint16(config.prefetch_count & 0xFFFF), 0);
    queue_handle->consume(QAmqpQueue::coNoLocal);
}

void rabbit_receiver::stop()
{
    log_line(*log, 4) << "Rabbit cancel";
    qDebug() << "cancel";
    if (!queue_handle) {
        log_line(*log, 4) << "void rabbit_receiver::stop()" << " zerro queue";
        return;
    }
    queue_handle->cancel(false);
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
    if (raw_routekey_data) {
        emit raw_routekey_data_received(payload, message.routingKey(), tag);
    } else if (raw_data) {
        emit raw_data_received(payload, tag);
    } else {
        emit data_received(QJsonDocument::fromJson(payload).object(), tag);
    }
}

void rabbit_receiver::disconnected()
{
    log_line(*log, 1) << " Rabbit_man_ul: Disconnected";
    emit conn_lost();
}

void rabbit_receiver::ack_message(uint64_t tag, bool multiple)
{
    if (!queue_handle) {
        log_line(*log, 4) << "void rabbit_receiver::ack_message(uint64_t, bool)" << " zerro queue";
        return;
    }
    queue_handle->ack(qlonglong(tag), multiple);
}

void rabbit_receiver::reject_message(uint64_t tag)
{
    if (!queue_handle) {
        log_line(*log, 4) << "void rabbit_receiver::reject_message(uint64_t)" << " zerro queue";
        return;
    }
    queue_handle->reject(qlonglong(tag), false);
}

void rabbit_receiver::ack_message(uint64_t tag, bool multiple, quint64 generation)
{
    if (generation != m_generation) {
        log_line(*log, 4) << "rabbit_receiver: ack of delivery " << tag << " of an earlier channel not sent";
        return;
    }
    ack_message(tag, multiple);
}

void rabbit_receiver::reject_message(uint64_t tag, bool requeue, quint64 generation)
{
    if (generation != m_generation) {
        log_line(*log, 4) << "rabbit_receiver: reject of delivery " << tag << " of an earlier channel not sent";
        return;
    }
    if (!queue_handle) {
        log_line(*log, 4) << "void rabbit_receiver::reject_message(uint64_t)" << " zerro queue";
        return;
    }
    queue_handle->reject(qlonglong(tag), requeue);
}
