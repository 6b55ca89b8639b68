#include "client_reports.h"

#include "amqp/qamqpchannel.h"
#include "amqp/qamqpclient.h"

void ClientReports::watch(QAmqpClient& client)
{
    QAmqpClient* c = &client;
    const auto report = [this, c](const char* what) {
        const QAmqpError e = c->error();
        m_lines << QStringLiteral("%1 (%2): ").arg(QLatin1String(what)).arg(e.code) + e.text;
    };
    connect(c, &QAmqpClient::connectFailed, this, [report] { report("connect failed"); });
    connect(c, &QAmqpClient::disconnected, this, [report] { report("disconnected"); });
    connect(c, &QAmqpClient::blocked, this, [this](const QString& reason) { m_lines << QStringLiteral("blocked: ") + reason; });
    connect(c, &QAmqpClient::unblocked, this, [this] { m_lines << QStringLiteral("unblocked"); });
}

void ClientReports::watch(QAmqpChannel* channel)
{
    connect(channel, &QAmqpChannel::error, this, [this, channel](int code, const QString& text) {
        m_lines << QStringLiteral("channel %1 (%2): ").arg(channel->name()).arg(code) + text;
    });
}
