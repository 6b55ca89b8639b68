#include "metrics_endpoint.h"

#include "app/logger.h"
#include "app/metrics_text.h"
#include "config/rabbit_config.h"
#include "config/settings_check.h"
#include "router/rabbit_connector.h"

#include <QCoreApplication>

MetricsEndpoint::MetricsEndpoint(RabbitConnector& router, logger& log)
    : m_router(router), m_log(log),
      m_server(
          [&router] {
              return render_metrics(router.metrics(), router.state(), QCoreApplication::applicationVersion());
          },
          [&router] { return unhealthy_reason(router.state()); },
          [&router] { return render_devices(router.loudestDevices(20), router.state()); })
{
    router.setStartCheck([this](const RabbitConfig& loaded) { return follow(loaded.metrics_listen); });
}

QString MetricsEndpoint::follow(const QString& listen)
{
    m_router.setCountingDevices(!listen.isEmpty());
    if (listen == m_listen)
        return QString();
    m_server.close();
    m_listen.clear();
    if (listen.isEmpty())
        return QString();
    const listen_address address = parse_listen_address(listen);
    QString error;
    if (!m_server.listen(address.host, address.port, &error))
        return QStringLiteral("metrics/listen: ") + listen + QStringLiteral(": ") + error;
    m_listen = listen;
    log_line(m_log, 3) << "metrics on http://" << m_listen << "/metrics, health on http://" << m_listen
                       << "/healthz and /livez, loudest devices on http://" << m_listen << "/devices";
    return QString();
}
