#include "connection_setup.h"

#include "amqp/amqp_url.h"
#include "amqp/qamqpclient.h"
#include "app/logger.h"
#include "config/tls_settings.h"

#include <QStringList>

#include <algorithm>

void use_tls_settings(QAmqpClient& client, const tls_settings& tls, const QStringList& urls, logger& log,
                      const char* who)
{
    const bool encrypted =
        std::any_of(urls.begin(), urls.end(), [](const QString& url) { return AmqpUrl::parse(url).tls; });
    if (!tls.verify) {
        // As before verification existed: any certificate, self-signed ones too.
        QObject::connect(&client, &QAmqpClient::sslErrors, &client, &QAmqpClient::ignoreSslErrors,
                         Qt::DirectConnection);
        if (encrypted)
            log_line(log, 2) << who << ": amqps:// without tls_verify: the broker's certificate is not checked";
        return;
    }
    // Certificate errors are not ignored: a failed check ends the attempt
    // before the login, and the transport's connect_failed() logs why.
    QString problem;
    client.setSslConfiguration(
        QAmqpClient::verifyingSslConfiguration(tls.ca_file, tls.cert_file, tls.key_file, &problem));
    if (!problem.isEmpty())
        log_line(log, 1) << who << ": TLS settings: " << problem;
    if (!encrypted)
        log_line(log, 2) << who << ": tls_verify is on, but the broker URL is amqp://: the connection is not encrypted";
}

void start_connecting(QAmqpClient& client, const QString& name, const QStringList& urls, const QString& vhost,
                      int retry_interval)
{
    client.setConnectionName(name);
    client.connectToHosts(urls);
    client.setVirtualHost(vhost);
    client.setAutoReconnect(true, retry_interval);
    client.setWriteTimeout(connection_setup::write_timeout);
    client.setHeartbeatDelay(connection_setup::heartbeat_delay);
}
