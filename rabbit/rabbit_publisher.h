#pragma once

#include "amqp/qamqpclient.h"
#include "config/rabbit_publisher_config.h"
#include "connection_setup.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

class QAmqpExchange;
class logger;

// Publishes bodies to one exchange on its own broker connection, with
// publisher confirms on every connection. Each body handed to publish_string
// is accounted for: a ticket that confirmed() or failed() later names, or 0
// when it could not be sent at all. It writes the log lines of its
// connection: the AMQP client only reports.
class rabbit_publisher_impl : public QObject {
    Q_OBJECT
public:
    rabbit_publisher_impl(logger* log, rabbit_publisher_config config, QObject* parent);
    ~rabbit_publisher_impl() override;

    static constexpr int connect_wait = 1000;
    static constexpr int nack_hold = 1000;
    // Bytes of publications waiting for the socket above which paused() holds.
    static constexpr qint64 output_limit = 4 << 20;
    // A returned routing key is logged at most once in this many ms.
    static constexpr int return_log_interval = 60000;

    // True while the broker cannot take publications now: it blocked the
    // connection (a memory or disk alarm), turned the channel's flow off, or
    // more than output_limit bytes wait to leave. The caller does not publish
    // then, so that nothing piles up in memory; resumed() follows once that
    // is over.
    bool paused() const;
    bool is_connected() const { return client.isConnected(); }
    // Between connection.blocked and connection.unblocked (a memory or disk alarm).
    bool is_blocked() const { return client.isBlocked(); }
    // Connected, with an exchange the broker has not refused lately: a
    // publication goes out without the one-second wait.
    bool ready() const;
    // While publications fail after the broker refused the exchange (it
    // closed the channel): the retry interval from the refusal on. The
    // second's hold after a nack does not count.
    bool held_after_refusal() const;
    // When the oldest publication still waiting for its confirm was sent;
    // empty when none waits.
    std::optional<std::chrono::steady_clock::time_point> oldest_unconfirmed() const;

    // The interval between connection attempts, and how long publications
    // fail after the broker refused the exchange
    // (connection_setup::reconnect_interval unless a test shortens it, right
    // after construction).
    void set_retry_interval(int ms);

    // Closes the connection properly (connection.close, then the broker's
    // close-ok for at most 2 s) and deletes this publisher then. Nothing is
    // emitted any more.
    void shut_down();

public slots:
    // Publishes the body under the routing key (up to its first NUL byte) with
    // the content type, as mandatory. `properties` are those of the message
    // the body came in (a property list in its wire form, see
    // amqp/basic_properties.h; empty for none): the publication carries them
    // all but their content type and user_id (which the broker checks against
    // this connection's user), or only their delivery mode when the settings
    // say not to carry them. While not connected it first waits once, one
    // full second, in a local event loop. Returns the ticket (from 1), or 0
    // when the body was not sent: still not connected after the wait, or this
    // publisher was deleted during it (then nothing of it may be touched any more).
    quint64 publish_string(QByteArray string, QByteArray routing_key, QString mimeType = QStringLiteral("text/plain"),
                           const QByteArray& properties = QByteArray());
    void connected();
    void disconnected();

signals:
    void conn_estimated();
    // Each connection attempt's outcome: connected, or failed before that.
    void connection_attempt(bool connected);
    // seconds: from the publication to its confirm.
    void confirmed(quint64 ticket, double seconds);
    void failed(quint64 ticket);
    // The broker returned a publication: no queue takes its routing key. Its
    // failed() follows; publications wait a moment as after a nack.
    void returned(const QByteArray& routing_key);
    void resumed();

private:
    void connect_failed();
    void settle(quint64 id, bool ok);
    // True when this starts a hold, or makes the one in force longer;
    // refusal says whether the broker refused the exchange or nacked.
    bool hold(int ms, bool refusal);
    bool holding() const;
    void check_resumed();
    void returned_publication(quint64 id, int code, const QString& text, const QString& routing_key);
    // The property list a publication carries for a delivery's `properties`.
    const QByteArray& outgoing_properties(const QByteArray& properties, const QByteArray& content_type);

    QAmqpClient client;
    QStringList urls; // path, then failover_paths, with the config's password in place of their own
    QAmqpExchange* exchange_handle = nullptr;
    QString exchange;
    QString vhost;
    logger* log;

    int m_retry_interval = connection_setup::reconnect_interval;
    // After the broker refused the exchange (it does not exist, no access...),
    // publications fail for the retry interval, and for a moment after it
    // nacked one (a full queue...), instead of being refused one by one at full
    // speed, each body coming straight back.
    QElapsedTimer m_held_since;
    int m_held_for = 0; // ms; 0 when not held
    bool m_held_after_refusal = false; // of the hold in force: a refusal, not a nack
    mutable bool m_pause_seen = false; // paused() said so; resumed() is owed

    QString m_content_type; // of the last publication, and as UTF-8
    QByteArray m_content_type_utf8;
    // Which properties of a delivery a publication carries (wire flags).
    quint16 m_carried_flags;
    // The last delivery's property list and what it became: a fan-out, and
    // a stream whose messages carry the same properties, convert once.
    QByteArray m_last_properties_in;
    QByteArray m_last_properties_out;
    QByteArray m_last_properties_type; // the content type m_last_properties_out has
    // When each returned routing key was last logged: at most once a minute each.
    QHash<QString, QElapsedTimer> m_return_logged;
    quint64 m_last_ticket = 0;
    struct InFlight {
        quint64 ticket;
        std::chrono::steady_clock::time_point sent;
        bool returned; // by the broker: not delivered, whatever its confirm says
    };
    QHash<quint64, InFlight> m_in_flight; // publish id of exchange_handle -> its ticket
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
