#pragma once

#include "workload.h"

#include <QtGlobal>

#include <functional>

class QAmqpClient;
class QAmqpQueue;

// Consumes the workload's messages through QAmqpQueue with prefetch and an
// ack (multiple) every AckEvery deliveries, the last one at the end, then
// makes one basic.qos round trip so that the broker has taken every ack.
// Reports the time from basic.consume to that round trip's answer.
class ShardexConsumer {
public:
    using Finished = std::function<void(const bench::Elapsed& elapsed)>;

    ShardexConsumer(QAmqpClient& client, const bench::Workload& workload, Finished finished);
    ShardexConsumer(const ShardexConsumer&) = delete;
    ShardexConsumer& operator=(const ShardexConsumer&) = delete;

    // Call once connected: sets the prefetch; consuming starts when the broker took it.
    void start();

private:
    void onQosDefined();
    void onMessage();

    QAmqpClient& m_client;
    const bench::Workload m_workload;
    const Finished m_finished;
    QAmqpQueue* m_queue = nullptr;
    bool m_consuming = false;
    long m_received = 0;
    qlonglong m_lastTag = 0;
    bench::Stopwatch m_stopwatch;
};
