#include "rabbit_publisher.h"

#include "amqp/amqp_url.h"
#include "amqp/qamqpexchange.h"
#include "app/logger.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

rabbit_publisher_impl::rabbit_publisher_impl(logger* log_, rabbit_publisher_config config, QObject* parent)
    : QObject(parent),
      client(this),
      path(std::move(config.path)),
      exchange(std::move(config.exchange)),
      vhost(std::move(config.vhost)),
      log(log_)
{
    connect(&client, &QAmqpClient::disconnected, this, &rabbit_publisher_impl::disconnected);
    connect(&client, &QAmqpClient::connected, this, &rabbit_publisher_impl::connected);
    connect(&client, &QAmqpClient::sslErrors, &client, &QAmqpClient::ignoreSslErrors, Qt::DirectConnection);

    client.setLogger(log);
    client.setConnectionName(QStringLiteral("shardex publisher, exchange %1").arg(exchange));
    client.connectToHost(path);
    client.setVirtualHost(vhost);
    client.setAutoReconnect(true, reconnect_interval);
    client.setWriteTimeout(write_timeout);
    client.setHeartbeatDelay(heartbeat_delay);
    log_line(*log, 4) << "rabbit_man_publisher_impl inited to path <<" << maskUrlPassword(path) << ", exchange "
                      << exchange << ", host " << vhost;
}

rabbit_publisher_impl::~rabbit_publisher_impl() = default;

void rabbit_publisher_impl::connected()
{
    const QPointer<rabbit_publisher_impl> self(this);
    if (exchange_handle) {
        exchange_handle->disconnect();
        // Whatever the old exchange still owed is lost with its connection.
        const QList<quint64> owed = m_in_flight.values();
        m_in_flight.clear();
        for (quint64 ticket : owed) {
            emit failed(ticket);
            if (!self)
                return;
        }
    }
    exchange_handle = client.createExchange(exchange, -1);
    exchange_handle->enableConfirms();
    connect(exchange_handle, &QAmqpExchange::confirmed, this, [this](quint64 id) { settle(id, true); });
    connect(exchange_handle, &QAmqpExchange::failed, this, [this](quint64 id) { settle(id, false); });
    connect(exchange_handle, &QAmqpChannel::error, this, [this](int code, const QString& text) {
        log_line(*log, 1) << "rabbit_publisher_impl: the broker closed the channel of exchange " << exchange << ": "
                          << code << ' ' << text << "; publications fail for the next " << reconnect_interval << " ms";
        hold(reconnect_interval);
    });
    m_held_for = 0;
    log_line(*log, 4) << "rabbit_publisher_impl: Connected";
    emit conn_estimated();
}

void rabbit_publisher_impl::disconnected()
{
    log_line(*log, 1) << " rabbit_publisher_impl: Disconnected";
}

void rabbit_publisher_impl::hold(int ms)
{
    const qint64 remaining = m_held_for == 0 ? 0 : m_held_for - m_held_since.elapsed();
    if (ms <= remaining)
        return; // a longer hold is in force
    m_held_for = ms;
    m_held_since.start();
}

void rabbit_publisher_impl::settle(quint64 id, bool ok)
{
    if (!ok && client.isConnected() && exchange_handle && exchange_handle->isOpen())
        hold(nack_hold); // nacked on a live channel: the broker does not take it now
    const auto it = m_in_flight.find(id);
    if (it == m_in_flight.end())
        return;
    const quint64 ticket = it.value();
    m_in_flight.erase(it);
    if (ok)
        emit confirmed(ticket);
    else
        emit failed(ticket);
}

bool rabbit_publisher_impl::ready() const
{
    return client.isConnected() && exchange_handle && (m_held_for == 0 || m_held_since.elapsed() >= m_held_for);
}

quint64 rabbit_publisher_impl::publish_string(QByteArray string, QByteArray routing_key, QString mimeType)
{
    if (!ready()) {
        // One wait of a full second; a connection that comes up meanwhile does not shorten it.
        const QPointer<rabbit_publisher_impl> self(this);
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer); // a coarse timer may end the second 5 % early
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(connect_wait);
        loop.exec(QEventLoop::AllEvents);
        if (!self)
            return 0; // deleted during the wait (a restart): touch nothing
    }
    if (!ready()) {
        log_line(*log, 4) << (client.isConnected() ? "Try to publish but the broker refused the last publications"
                                                   : "Try to publish but not connected");
        return 0;
    }
    log_line(*log, 4) << "Publishing :" << string << " To route : " << routing_key << ", MIME type : " << mimeType;
    const int nul = routing_key.indexOf('\0');
    const QString key = QString::fromUtf8(nul < 0 ? routing_key : routing_key.left(nul));
    const quint64 id = exchange_handle->publish(string, key, mimeType, QAmqpMessage::PropertyHash(), 0);
    const quint64 ticket = ++m_last_ticket;
    m_in_flight.insert(id, ticket);
    return ticket;
}
