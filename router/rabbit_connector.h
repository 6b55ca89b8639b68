#pragma once

#include "delivery_tracker.h"
#include "modem_id_result.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <cstdint>

class RabbitConfig;
class logger;
class rabbit_publisher_impl;
class rabbit_receiver;

// The shard router. StartWorking loads the settings, builds the routing-key
// table and replaces the receiver and the publisher; handleMsg sends each
// delivered body to the shard of its device (device mod shard count), or to
// every shard when it names none, and acknowledges a delivery only once all
// its publications are confirmed.
class RabbitConnector : public QObject {
    Q_OBJECT
public:
    RabbitConnector(RabbitConfig& settings, logger& log, QObject* parent);
    ~RabbitConnector() override;

    // True when the router runs on the settings just loaded; false (after
    // StopWorking was emitted) when the start was refused.
    bool StartWorking();

    // The limits a start enforces besides a non-empty prefix.
    static constexpr quint32 max_shard_count = 65536;
    static constexpr qint32 max_prefetch_count = 65535;
    static constexpr int max_name_length = 255;
    // Settled deliveries waiting for a full batch are acknowledged at the
    // latest this long after the last delivery.
    static constexpr int ack_flush_delay = 1000;

signals:
    void StopWorking();

private slots:
    void handleMsg(const QByteArray& body, uint64_t tag);

private:
    struct Waiting {
        QByteArray body; // shared with the receiver's message, not copied
        quint64 tag;
        quint64 generation;
        quint64 start;
    };
    void routeWaiting();
    void route(const Waiting& delivery);
    quint64 publishMsg(const QByteArray& body, const QString& routingKey, bool binary);
    ModemIdResult extractModemId(const QByteArray& body);
    bool refuse(const QString& why);
    void retire();
    struct Delivery;
    // Takes the ticket's delivery out; true when it belongs to the current start and channel.
    bool takeTicket(quint64 ticket, Delivery* delivery);
    void onConfirmed(quint64 ticket);
    void onFailed(quint64 ticket);
    void rejectDelivery(quint64 generation, quint64 tag, bool requeue);
    void acknowledge(bool flush);

    logger& log;
    RabbitConfig& settings;
    rabbit_receiver* receiver = nullptr;
    rabbit_publisher_impl* publisher = nullptr;
    QVector<QString> routing_keys;

    // Taken from the settings at the last successful start.
    bool m_stop_binary = false;
    qint64 m_ack_batch = 1;

    // Deliveries of the current receiver channel until they are acknowledged.
    struct Delivery {
        quint64 start = 0;
        quint64 generation = 0;
        quint64 tag = 0;
    };
    quint64 m_start = 0; // counts successful starts; deliveries of an earlier one are stale
    DeliveryTracker m_tracker;
    QHash<quint64, Delivery> m_tickets; // publisher ticket -> the delivery it belongs to
    QList<Waiting> m_waiting;           // handed on while an earlier delivery is being routed
    bool m_routing = false;
    QTimer m_ack_timer;
};
