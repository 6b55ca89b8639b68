#pragma once

#include "workload.h"

#include <QByteArray>
#include <QString>

#include <functional>

class QAmqpClient;
class QAmqpExchange;

// Publishes the workload through QAmqpExchange with confirms, keeping at most
// `window` publishes unconfirmed, and reports the time from the channel's
// opening to the last confirm.
class ShardexPublisher {
public:
    using Finished = std::function<void(const bench::Elapsed& elapsed)>;

    ShardexPublisher(QAmqpClient& client, const bench::Workload& workload, Finished finished);
    ShardexPublisher(const ShardexPublisher&) = delete;
    ShardexPublisher& operator=(const ShardexPublisher&) = delete;

    // Call once connected: opens the exchange's channel; the clock starts when it is open.
    void start();

private:
    void fill();
    void onConfirmed();

    QAmqpClient& m_client;
    const bench::Workload m_workload;
    const Finished m_finished;
    const QByteArray m_body;
    const QString m_routingKey;
    const QString m_contentType;
    QAmqpExchange* m_exchange = nullptr;
    long m_sent = 0;
    long m_confirmed = 0;
    bench::Stopwatch m_stopwatch;
};
