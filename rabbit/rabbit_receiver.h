#pragma once

#include "amqp/qamqpclient.h"
#include "amqp/qamqpmessage.h"
#include "config/rabbit_receiver_config.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <cstdint>

class QAmqpQueue;
class logger;

// Consumes one queue on its own broker connection. On every connection it
// declares the queue, binds it (one binding at a time, in order), sets the
// prefetch window and consumes; each delivery is handed on through one of the
// three data signals with its delivery tag. It never acknowledges by itself.
class rabbit_receiver : public QObject {
    Q_OBJECT
public:
    rabbit_receiver(logger* log, rabbit_receiver_config config, QObject* parent, bool raw_data,
                    bool raw_routekey_data);
    ~rabbit_receiver() override;

    // On the current channel.
    void ack_message(uint64_t tag, bool multiple);
    void reject_message(uint64_t tag);

    // Delivery tags belong to one opening of one channel. The deliveries
    // emitted now carry channel_generation(); these variants send nothing
    // (a Debug line instead) for a delivery of an earlier channel, whose tag
    // the broker would take for another delivery, or none.
    quint64 channel_generation() const { return m_generation; }
    void ack_message(uint64_t tag, bool multiple, quint64 generation);
    void reject_message(uint64_t tag, bool requeue, quint64 generation);

    static constexpr int reconnect_interval = 30000;
    static constexpr int write_timeout = 20000;
    static constexpr qint16 heartbeat_delay = 360;

signals:
    void conn_estimated();
    void conn_lost();
    void data_received(QJsonObject object, uint64_t tag);
    void raw_data_received(QByteArray body, uint64_t tag);
    void raw_routekey_data_received(QByteArray body, QString routing_key, uint64_t tag);

public slots:
    void stop();
    void start();

private slots:
    void messageReceived();
    void disconnected();
    void connected();

private:
    void declare();
    void declared();
    void bind_next(QList<QPair<QString, QString>> pending);
    void setup_failed(const QString& why);

    QAmqpClient client;
    rabbit_receiver_config config;
    QAmqpQueue* queue_handle = nullptr;
    QAmqpMessage message;
    logger* log;
    bool raw_data;
    bool raw_routekey_data;

    quint64 m_generation = 0;
    QTimer m_setup_retry; // set-up again after the broker refused it
};
