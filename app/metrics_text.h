#pragma once

#include "router/router_metrics.h"

#include <QByteArray>
#include <QString>

// The scrape page in the Prometheus text format 0.0.4: the router's counters
// and gauges, the build, and the process's memory, CPU time, start time and
// open files (read from /proc when scraped).
QByteArray render_metrics(const RouterMetrics& metrics, const RouterState& state, const QString& version);

// Empty while the service is healthy (both connections open, the consumer
// active, the publisher not blocked), else why not, in one line.
QString unhealthy_reason(const RouterState& state);
