#include "shardex_publisher.h"

#include "amqp/qamqpclient.h"
#include "amqp/qamqpexchange.h"

namespace {
constexpr const char* Side = "shardex";
}

ShardexPublisher::ShardexPublisher(QAmqpClient& client, const bench::Workload& workload, Finished finished)
    : m_client(client),
      m_workload(workload),
      m_finished(std::move(finished)),
      m_body(QByteArray::fromStdString(bench::body(workload.size))),
      m_routingKey(QString::fromLatin1(bench::RoutingKey)),
      m_contentType(QString::fromLatin1(bench::ContentType))
{
}

void ShardexPublisher::start()
{
    m_exchange = m_client.createExchange(QString::fromLatin1(bench::ExchangeName));
    m_exchange->enableConfirms();
    QObject::connect(m_exchange, &QAmqpChannel::opened, m_exchange, [this] {
        if (m_sent > 0)
            bench::fail(Side, "the channel opened again during the run");
        m_stopwatch.start();
        fill();
    });
    QObject::connect(m_exchange, &QAmqpExchange::confirmed, m_exchange, [this] { onConfirmed(); });
    QObject::connect(m_exchange, &QAmqpExchange::failed, m_exchange,
                     [](quint64 id) { bench::fail(Side, "publish " + std::to_string(id) + " failed"); });
    QObject::connect(m_exchange, &QAmqpChannel::error, m_exchange, [](int code, const QString& text) {
        bench::fail(Side, "channel closed by the broker: " + std::to_string(code) + " " + text.toStdString());
    });
}

void ShardexPublisher::fill()
{
    while (m_sent < m_workload.count && m_sent - m_confirmed < m_workload.window) {
        m_exchange->publish(m_body, m_routingKey, m_contentType);
        ++m_sent;
    }
}

void ShardexPublisher::onConfirmed()
{
    if (++m_confirmed > m_sent)
        bench::fail(Side, "more confirms than publishes");
    if (m_confirmed < m_workload.count)
        fill();
    else
        m_finished(m_stopwatch.elapsed());
}
