#pragma once

#include "app/metrics_server.h"

#include <QString>

class RabbitConnector;
class logger;

// The router's metrics and health endpoint, when [metrics] listen names one.
// Each start of the router takes it up, moves it or gives it up before it
// connects anything; an address that cannot be bound refuses the start.
// Without the endpoint nobody asks for the loudest devices, so they are not
// counted then.
class MetricsEndpoint {
public:
    MetricsEndpoint(RabbitConnector& router, logger& log);

private:
    // The start check: empty, or "metrics/listen: value: reason".
    QString follow(const QString& listen);

    RabbitConnector& m_router;
    logger& m_log;
    MetricsServer m_server;
    QString m_listen; // the address the endpoint listens on now
};
