#pragma once

#include "amqp/qamqpclient.h"
#include "amqp/qamqpmessage.h"
#include "config/rabbit_receiver_config.h"
#include "connection_setup.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <cstdint>

class QAmqpQueue;
class logger;

// Consumes one queue on its own broker connection. On every connection it
// declares the queue, binds it (one binding at a time, in order), sets the
// prefetch window and consumes; each delivery is handed on through
// raw_data_received with its delivery tag. It never acknowledges by itself.
// It writes the log lines of its connection: the AMQP client only reports.
class rabbit_receiver : public QObject {
    Q_OBJECT
public:
    rabbit_receiver(logger* log, rabbit_receiver_config config, QObject* parent);
    ~rabbit_receiver() override;

    // Delivery tags belong to one opening of one channel. The deliveries
    // emitted now carry channel_generation(), which changes as soon as the
    // channel closes (and again when it opens), so a delivery that the broker
    // has taken back is told from a current one. These send nothing (a Debug
    // line instead) for a delivery of another generation, whose tag the broker
    // would take for another delivery, or none.
    quint64 channel_generation() const { return m_generation; }
    bool is_connected() const { return client.isConnected(); }
    // A consumer is active: deliveries come.
    bool is_consuming() const;
    // True when the acknowledgement or rejection went out.
    bool ack_message(uint64_t tag, bool multiple, quint64 generation);
    // Takes no further deliveries in while paused (see QAmqpClient::setInputPaused).
    void pause_input(bool paused) { client.setInputPaused(paused); }
    bool reject_message(uint64_t tag, bool requeue, quint64 generation);

    // Closes the connection properly, after what was already written
    // (acknowledgements among it): connection.close, then the broker's
    // close-ok for at most 2 s; then deletes this receiver. Nothing is emitted
    // any more.
    void shut_down();

    // The interval between connection attempts and between set-up attempts
    // (connection_setup::reconnect_interval unless a test shortens it, right
    // after construction).
    void set_retry_interval(int ms);

signals:
    void conn_estimated();
    // Each connection attempt's outcome: connected, or failed before that.
    void connection_attempt(bool connected);
    // properties: the message's property list in its wire form (see
    // amqp/basic_properties.h), to be passed on with the body.
    void raw_data_received(QByteArray body, uint64_t tag, QByteArray properties);
    // After stop(): no delivery comes any more. Emitted once the broker
    // confirmed the cancel, or its channel or connection is gone.
    void consumption_stopped();

public slots:
    // Cancels the consumer for good: neither a reconnection nor a retried
    // set-up consumes again. Deliveries already on their way are emitted
    // until consumption_stopped().
    void stop();
    void start();

private slots:
    void messageReceived();
    void disconnected();
    void connected();

private:
    // path, then failover_paths, with config.password in place of their own.
    QStringList broker_urls() const;
    void connect_failed();
    void declare();
    void declared();
    void bind_next(QList<QPair<QString, QString>> pending);
    void consume();
    void channel_error(int code, const QString& text);
    void setup_failed(const QString& why);
    void consumption_ended();

    QAmqpClient client;
    rabbit_receiver_config config;
    QAmqpQueue* queue_handle = nullptr;
    QAmqpMessage message;
    logger* log;

    int m_retry_interval = connection_setup::reconnect_interval;
    quint64 m_generation = 0;
    QTimer m_setup_retry; // set-up again after the broker refused it
    bool m_declaring = false;
    bool m_consume_pending = false; // basic.consume went out, its consume-ok not yet in
    bool m_stopping = false;     // stop() was called
    bool m_stopped = false;  // and consumption_stopped() emitted
    // The queue exists with arguments that the declaration does not repeat:
    // the broker's reason; it is then declared passively on this connection.
    QString m_existing_reason;
};
