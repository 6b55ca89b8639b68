#pragma once

#include "amqp/qamqpclient.h"
#include "config/rabbit_publisher_config.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

class QAmqpExchange;
class logger;

// Publishes bodies to one exchange on its own broker connection, with
// publisher confirms on every connection. Each body handed to publish_string
// is accounted for: a ticket that confirmed() or failed() later names, or 0
// when it could not be sent at all.
class rabbit_publisher_impl : public QObject {
    Q_OBJECT
public:
    rabbit_publisher_impl(logger* log, rabbit_publisher_config config, QObject* parent);
    ~rabbit_publisher_impl() override;

    static constexpr int reconnect_interval = 30000;
    static constexpr int write_timeout = 20000;
    static constexpr qint16 heartbeat_delay = 360;
    static constexpr int connect_wait = 1000;
    static constexpr int nack_hold = 1000;

public slots:
    // Publishes the body under the routing key (up to its first NUL byte) with
    // the content type. While not connected it first waits once, one full
    // second, in a local event loop. Returns the ticket (from 1), or 0 when the
    // body was not sent: still not connected after the wait, or this publisher
    // was deleted during it (then nothing of it may be touched any more).
    quint64 publish_string(QByteArray string, QByteArray routing_key, QString mimeType = QStringLiteral("text/plain"));
    void connected();
    void disconnected();

signals:
    void conn_estimated();
    void confirmed(quint64 ticket);
    void failed(quint64 ticket);

private:
    void settle(quint64 id, bool ok);
    void hold(int ms);
    // Connected, with an exchange the broker has not refused lately.
    bool ready() const;

    QAmqpClient client;
    QString path;
    QAmqpExchange* exchange_handle = nullptr;
    QString exchange;
    QString vhost;
    logger* log;

    // After the broker refused the exchange (it does not exist, no access...),
    // publications fail for the reconnect interval, and for a moment after it
    // nacked one (a full queue...), instead of being refused one by one at full
    // speed, each body coming straight back.
    QElapsedTimer m_held_since;
    int m_held_for = 0; // ms; 0 when not held

    quint64 m_last_ticket = 0;
    QHash<quint64, quint64> m_in_flight; // publish id of exchange_handle -> ticket
};

// The publisher for one kind of settings record.
template <typename Config>
class rabbit_publisher : public rabbit_publisher_impl {
public:
    rabbit_publisher(logger* log_, Config config, QObject* parent)
        : rabbit_publisher_impl(log_, std::move(config), parent)
    {
    }
};
