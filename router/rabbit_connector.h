#pragma once

#include "device_sketch.h"
#include "router/dump_limiter.h"
#include "router_metrics.h"
#include "settlement.h"
#include "waiting_queue.h"

#include "config/rabbit_publisher_config.h"
#include "config/rabbit_receiver_config.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

class RabbitConfig;
class logger;
class rabbit_publisher_impl;
class rabbit_receiver;

// The shard router. StartWorking loads the settings, builds the routing-key
// table and replaces the receiver and the publisher; handleMsg sends each
// delivered body to the shard of its device (device mod shard count), or to
// every shard when it names none, and acknowledges a delivery only once all
// its publications are confirmed.
class RabbitConnector : public QObject, private WaitingQueue::Router {
    Q_OBJECT
public:
    RabbitConnector(RabbitConfig& settings, logger& log, QObject* parent);
    ~RabbitConnector() override;

    // True when the router runs on the settings just loaded (at a reload:
    // once what was delivered is routed and confirmed); false when they were
    // refused: at the first start after StopWorking was emitted, at a reload
    // with the router going on with the settings it runs with.
    bool StartWorking();

    // For the end of the process, from the event loop: cancels the consumer,
    // routes what was already delivered, waits for the outstanding publisher
    // confirms (at most drain_limit), acknowledges every settled delivery,
    // rejects nothing (the broker requeues the rest with the channel) and
    // closes both connections properly (connection.close, then close-ok, at
    // most 2 s). Finished() follows; no restart is taken meanwhile.
    void FinishWorking();
    static constexpr int drain_limit = 10000;

    // A check of its own that every start runs after the settings checks
    // (binding the metrics endpoint): a non-empty "key: value: reason"
    // refuses the start.
    void setStartCheck(std::function<QString(const RabbitConfig&)> check) { m_start_check = std::move(check); }

    const RouterMetrics& metrics() const { return m_metrics; }
    RouterState state() const;
    // The n devices that sent the most bodies in the last 60 s (see DeviceSketch).
    DeviceSketch::Top loudestDevices(int n) const;
    // Whether bodies are counted per device (on unless switched off): only
    // worth its cost when an endpoint serves loudestDevices().
    void setCountingDevices(bool on) { m_counting_devices = on; }

    // For tests: the reconnect and set-up retry interval of the receivers and
    // publishers that later starts create (their own 30 s otherwise).
    void setRetryInterval(int ms) { m_retry_interval = ms; }

    // /healthz stays unready this long after the broker last returned a publication.
    static constexpr std::chrono::seconds returns_unready{30};

signals:
    void StopWorking();
    void Finished();

private slots:
    // properties: the message's property list in its wire form, carried on
    // to its publications.
    void handleMsg(const QByteArray& body, uint64_t tag, const QByteArray& properties = QByteArray());

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    // WaitingQueue::Router: the steps of a routing round.
    bool isCurrent(const Delivery& d) const override;
    int begin(Delivery& d) override;
    Pace pace() const override;
    bool publish(const Delivery& d, int index) override;

    void routeWaiting();
    void scheduleRouting();
    void onReturned(const QByteArray& routingKey);
    // Bytes of deliveries received and not yet settled: waiting, or routed
    // and not yet confirmed.
    qint64 heldBytes() const;
    // Pauses the receiver's input while heldBytes() is at the limit.
    void limitInput();
    bool refuse(const QStringList& problems);
    // Starts routing on m_accepted: the routing-key table, a new receiver and publisher.
    void apply();
    void applyReload();
    void retire();
    void onConfirmed(quint64 ticket, double seconds);
    void onFailed(quint64 ticket);
    // After the delivery was rejected: its publications not made yet are not made.
    void rejected(quint64 tag);
    void acknowledge(bool flush);
    // While finishing: closes both connections once nothing is left to route
    // or to confirm (or the drain limit is reached), then emits Finished().
    void finishWhenDrained();
    void closeAndFinish();
    void emitFinished();

    logger& log;
    RabbitConfig& settings;
    rabbit_receiver* receiver = nullptr;
    rabbit_publisher_impl* publisher = nullptr;
    QVector<QString> routing_keys;
    QVector<QByteArray> m_routing_keys_utf8; // the same, encoded once per start
    QHash<QByteArray, int> m_shard_of_key;   // and back to the shard
    // The last routing key the broker returned a publication under, and when.
    QByteArray m_returned_key;
    std::optional<TimePoint> m_last_return;

    // Taken from the settings at the last successful start.
    bool m_stop_binary = false;
    int m_retry_interval = 0; // 0: the transports' own
    std::function<QString(const RabbitConfig&)> m_start_check;
    RouterMetrics m_metrics;
    // Bounds the dumps of undecodable bodies; kept across starts, so a reload
    // does not open a fresh allowance.
    DumpLimiter m_dumps;
    static constexpr int left_out_check_interval = 10000;
    QTimer m_left_out_timer;
    DeviceSketch m_devices; // kept across starts too
    bool m_counting_devices = true;

    quint64 m_start = 0; // counts successful starts; deliveries of an earlier one are stale
    Settlement m_settlement;
    WaitingQueue m_queue;
    qint64 m_max_held_bytes = 0;
    bool m_input_paused = false;
    bool m_routing_scheduled = false;

    // The settings last accepted, applied at once at the first start and
    // after the drain at a reload.
    struct Accepted {
        rabbit_receiver_config receiver;
        rabbit_publisher_config publisher;
        QString routing_key_prefix;
        quint32 shard_count = 0;
        bool stop_binary = false;
    };
    Accepted m_accepted;
    bool m_reloading = false; // draining before the accepted settings are applied
    bool m_finishing = false;
    bool m_consumer_stopped = false;
    bool m_closing = false;
    bool m_finished = false;
    QTimer m_drain_timer;
    QTimer m_close_timer;
    QPointer<QObject> m_closed_receiver; // closing, until it deletes itself
    QPointer<QObject> m_closed_publisher;
};
