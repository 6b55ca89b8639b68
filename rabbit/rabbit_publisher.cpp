#include "rabbit_publisher.h"

#include "amqp/amqp_url.h"
#include "amqp/basic_properties.h"
#include "amqp/qamqpmessage.h"
#include "amqp/qamqpexchange.h"
#include "app/logger.h"
#include "close_and_delete.h"
#include "config/password_file.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

rabbit_publisher_impl::rabbit_publisher_impl(logger* log_, rabbit_publisher_config config, QObject* parent)
    : QObject(parent),
      client(this),
      urls(urls_with_password(QStringList{config.path} + config.failover_paths, config.password)),
      exchange(std::move(config.exchange)),
      vhost(std::move(config.vhost)),
      log(log_),
      m_carried_flags(config.carry_properties
                          ? quint16(~(QAmqpMessage::ContentType | QAmqpMessage::UserId))
                          : quint16(QAmqpMessage::DeliveryMode))
{
    connect(&client, &QAmqpClient::disconnected, this, &rabbit_publisher_impl::disconnected);
    connect(&client, &QAmqpClient::connected, this, &rabbit_publisher_impl::connected);
    connect(&client, &QAmqpClient::connectFailed, this, &rabbit_publisher_impl::connect_failed);
    connect(&client, &QAmqpClient::connected, this, [this] { emit connection_attempt(true); });
    connect(&client, &QAmqpClient::connectFailed, this, [this] { emit connection_attempt(false); });
    if (urls.size() > 1) {
        // With several nodes, each attempt says where it goes.
        connect(&client, &QAmqpClient::attemptStarted, this, [this] {
            log_line(*log, 3) << "rabbit_publisher_impl: connecting to " << maskUrlPassword(client.url());
        });
    }
    use_tls_settings(client, config.tls, urls, *log, "rabbit_publisher_impl");
    connect(&client, &QAmqpClient::blocked, this, [this](const QString& reason) {
        log_line(*log, 1) << "rabbit_publisher_impl: the broker blocked the connection (" << reason
                          << "); routing waits until it unblocks";
    });
    connect(&client, &QAmqpClient::unblocked, this, [this] {
        log_line(*log, 3) << "rabbit_publisher_impl: the broker unblocked the connection; routing goes on";
        check_resumed();
    });
    connect(&client, &QAmqpClient::bytesWritten, this, &rabbit_publisher_impl::check_resumed);

    start_connecting(client, QStringLiteral("shardex publisher, exchange %1").arg(exchange), urls, vhost,
                     m_retry_interval);
    log_line(*log, 4) << "rabbit_man_publisher_impl inited to path <<" << maskUrlPassword(urls.first()) << ", exchange "
                      << exchange << ", host " << vhost;
}

rabbit_publisher_impl::~rabbit_publisher_impl() = default;

void rabbit_publisher_impl::set_retry_interval(int ms)
{
    m_retry_interval = ms;
    client.setAutoReconnect(true, ms);
}

bool rabbit_publisher_impl::paused() const
{
    const bool paused = client.isBlocked() || (exchange_handle && !exchange_handle->isFlowActive())
                        || client.bytesToWrite() > output_limit;
    m_pause_seen = m_pause_seen || paused;
    return paused;
}

void rabbit_publisher_impl::check_resumed()
{
    if (m_pause_seen && !paused()) {
        m_pause_seen = false;
        emit resumed();
    }
}

void rabbit_publisher_impl::shut_down()
{
    // Nothing of this publisher reaches its user or the log any more.
    disconnect(this, nullptr, nullptr, nullptr);
    client.disconnect(this);
    if (exchange_handle)
        exchange_handle->disconnect(this);
    close_and_delete(client, this);
}

void rabbit_publisher_impl::connected()
{
    const QPointer<rabbit_publisher_impl> self(this);
    if (exchange_handle) {
        exchange_handle->disconnect();
        // Whatever the old exchange still owed is lost with its connection.
        const QList<InFlight> owed = m_in_flight.values();
        m_in_flight.clear();
        for (const InFlight& publication : owed) {
            emit failed(publication.ticket);
            if (!self)
                return;
        }
    }
    exchange_handle = client.createExchange(exchange, -1);
    exchange_handle->enableConfirms();
    connect(exchange_handle, &QAmqpExchange::confirmed, this, [this](quint64 id) { settle(id, true); });
    connect(exchange_handle, &QAmqpExchange::failed, this, [this](quint64 id) { settle(id, false); });
    connect(exchange_handle, &QAmqpExchange::returned, this, &rabbit_publisher_impl::returned_publication);
    connect(exchange_handle, &QAmqpChannel::error, this, [this](int code, const QString& text) {
        log_line(*log, 1) << "rabbit_publisher_impl: the broker closed the channel of exchange " << exchange << ": "
                          << code << ' ' << text << "; publications fail for the next " << m_retry_interval << " ms";
        hold(m_retry_interval, true);
    });
    // A channel opens again (after the broker closed it) with its flow on.
    connect(exchange_handle, &QAmqpChannel::opened, this, &rabbit_publisher_impl::check_resumed);
    connect(exchange_handle, &QAmqpChannel::flowChanged, this, [this](bool active) {
        if (active) {
            log_line(*log, 3) << "rabbit_publisher_impl: the broker turned flow on again for exchange " << exchange;
            check_resumed();
        } else {
            log_line(*log, 2) << "rabbit_publisher_impl: the broker turned flow off for exchange " << exchange
                              << "; routing waits until it turns it on";
        }
    });
    m_held_for = 0;
    log_line(*log, 4) << "rabbit_publisher_impl: Connected";
    if (urls.size() > 1)
        log_line(*log, 3) << "rabbit_publisher_impl: connected to " << maskUrlPassword(client.url());
    emit conn_estimated();
    check_resumed();
}

void rabbit_publisher_impl::disconnected()
{
    log_line(*log, 1) << " rabbit_publisher_impl: Disconnected: " << client.error().text << "; next attempt in "
                      << client.nextAttemptIn() << " ms";
    check_resumed(); // a block or a full output ends with the connection
}

void rabbit_publisher_impl::connect_failed()
{
    log_line(*log, 1) << "rabbit_publisher_impl: " << client.error().text << "; next attempt in "
                      << client.nextAttemptIn() << " ms";
}

bool rabbit_publisher_impl::hold(int ms, bool refusal)
{
    const qint64 remaining = m_held_for == 0 ? 0 : m_held_for - m_held_since.elapsed();
    if (ms <= remaining)
        return false; // a longer hold is in force
    m_held_for = ms;
    m_held_after_refusal = refusal;
    m_held_since.start();
    return true;
}

bool rabbit_publisher_impl::holding() const
{
    return m_held_for != 0 && m_held_since.elapsed() < m_held_for;
}

bool rabbit_publisher_impl::held_after_refusal() const
{
    return m_held_after_refusal && holding();
}

std::optional<std::chrono::steady_clock::time_point> rabbit_publisher_impl::oldest_unconfirmed() const
{
    // Looked for only when asked (a health check): publishing stays one insert.
    std::optional<std::chrono::steady_clock::time_point> oldest;
    for (const InFlight& publication : m_in_flight) {
        if (!oldest || publication.sent < *oldest)
            oldest = publication.sent;
    }
    return oldest;
}

void rabbit_publisher_impl::returned_publication(quint64 id, int code, const QString& text, const QString& routing_key)
{
    const auto it = m_in_flight.find(id);
    if (it != m_in_flight.end())
        it.value().returned = true;
    // Like a nack: the delivery comes again, and publications wait a moment
    // rather than going round at full speed.
    hold(nack_hold, false);
    QElapsedTimer& logged = m_return_logged[routing_key];
    if (!logged.isValid() || logged.elapsed() >= return_log_interval) {
        logged.start();
        log_line(*log, 1) << "rabbit_publisher_impl: the broker returned a publication to exchange " << exchange
                          << " under routing key " << routing_key << " (" << code << ' ' << text
                          << "): no queue takes that key; its delivery goes back to the queue."
                             " Bind a queue to every shard's key, or give the exchange an alternate exchange";
    }
    emit returned(routing_key.toUtf8());
}

void rabbit_publisher_impl::settle(quint64 id, bool ok)
{
    const auto it = m_in_flight.find(id);
    const bool was_returned = it != m_in_flight.end() && it.value().returned;
    // Nacked on a live channel: the broker does not take it now (a queue at its length limit...).
    if (!ok && !was_returned && client.isConnected() && exchange_handle && exchange_handle->isOpen()
        && hold(nack_hold, false))
        log_line(*log, 1) << "rabbit_publisher_impl: the broker refused a publication to exchange " << exchange
                          << " (nack); publications wait " << nack_hold << " ms";
    if (it == m_in_flight.end())
        return;
    const quint64 ticket = it.value().ticket;
    const auto sent = it.value().sent;
    m_in_flight.erase(it);
    if (ok)
        emit confirmed(ticket, std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count());
    else
        emit failed(ticket);
}

bool rabbit_publisher_impl::ready() const
{
    return client.isConnected() && exchange_handle && !holding();
}

quint64 rabbit_publisher_impl::publish_string(QByteArray string, QByteArray routing_key, QString mimeType,
                                              const QByteArray& properties)
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
    if (nul >= 0)
        routing_key.truncate(nul);
    if (mimeType != m_content_type) { // it hardly ever changes: encoded once
        m_content_type = mimeType;
        m_content_type_utf8 = mimeType.toUtf8();
    }
    const quint64 id = exchange_handle->publishEncoded(string, routing_key,
                                                       outgoing_properties(properties, m_content_type_utf8),
                                                       QAmqpExchange::poMandatory);
    const quint64 ticket = ++m_last_ticket;
    m_in_flight.insert(id, InFlight{ticket, std::chrono::steady_clock::now(), false});
    return ticket;
}

const QByteArray& rabbit_publisher_impl::outgoing_properties(const QByteArray& properties,
                                                             const QByteArray& content_type)
{
    // The same list as last time (the shards of a fan-out share it; a stream
    // without properties has one list throughout) costs a comparison.
    if (properties == m_last_properties_in && content_type == m_last_properties_type && !m_last_properties_out.isEmpty())
        return m_last_properties_out;
    QByteArray out = amqp::basic_properties::select(properties, m_carried_flags, content_type);
    if (out.isEmpty()) // no properties (or a list the codec would not have let in)
        out = amqp::basic_properties::withContentType(content_type);
    m_last_properties_in = properties;
    m_last_properties_type = content_type;
    m_last_properties_out = out;
    return m_last_properties_out;
}
