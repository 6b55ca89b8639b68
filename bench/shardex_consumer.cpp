#include "shardex_consumer.h"

#include "amqp/qamqpclient.h"
#include "amqp/qamqpqueue.h"

namespace {
constexpr const char* Side = "shardex";
}

ShardexConsumer::ShardexConsumer(QAmqpClient& client, const bench::Workload& workload, Finished finished)
    : m_client(client), m_workload(workload), m_finished(std::move(finished))
{
}

void ShardexConsumer::start()
{
    m_queue = m_client.createQueue(QString::fromLatin1(bench::QueueName));
    QObject::connect(m_queue, &QAmqpChannel::qosDefined, m_queue, [this] { onQosDefined(); });
    QObject::connect(m_queue, &QAmqpQueue::messageReceived, m_queue, [this] { onMessage(); });
    QObject::connect(m_queue, &QAmqpChannel::error, m_queue, [](int code, const QString& text) {
        bench::fail(Side, "channel closed by the broker: " + std::to_string(code) + " " + text.toStdString());
    });
    QObject::connect(m_queue, &QAmqpQueue::consumerCancelled, m_queue,
                     [] { bench::fail(Side, "the broker cancelled the consumer"); });
    m_queue->qos(qint16(bench::Prefetch));
}

void ShardexConsumer::onQosDefined()
{
    if (!m_consuming) {
        m_consuming = true;
        m_stopwatch.start();
        m_queue->consume(0);
        return;
    }
    // The answer to the basic.qos sent after the last ack.
    m_finished(m_stopwatch.elapsed());
}

void ShardexConsumer::onMessage()
{
    const QAmqpMessage message = m_queue->dequeue();
    ++m_received;
    m_lastTag = message.deliveryTag();
    if (m_received > m_workload.count)
        bench::fail(Side, "more deliveries than messages in the queue");
    if (message.payload().size() != m_workload.size)
        bench::fail(Side, "delivery " + std::to_string(m_received) + " has " + std::to_string(message.payload().size())
                              + " bytes");
    if (m_received % bench::AckEvery == 0 && !m_queue->ack(m_lastTag, true))
        bench::fail(Side, "cannot ack");
    if (m_received == m_workload.count) {
        if (m_received % bench::AckEvery != 0 && !m_queue->ack(m_lastTag, true))
            bench::fail(Side, "cannot ack");
        m_queue->qos(qint16(bench::Prefetch));
    }
}
