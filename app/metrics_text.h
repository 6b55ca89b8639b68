#pragma once

#include "router/device_sketch.h"
#include "router/router_metrics.h"

#include <QByteArray>
#include <QString>

#include <chrono>

// The scrape page in the Prometheus text format 0.0.4: the router's counters
// and gauges, the build, and the process's memory, CPU time, start time and
// open files (read from /proc/self when scraped).
QByteArray render_metrics(const RouterMetrics& metrics, const RouterState& state, const QString& version);

// The loudest devices as JSON: {"window_seconds":60,"bodies":N,"devices":[{"device":D,"count":C,
// "share":S,"shard":H,"error":E},...]}, share being count/bodies (0..1) and shard the device's
// shard under the current shard count (left out before the first start).
QByteArray render_devices(const DeviceSketch::Top& top, const RouterState& state);

// A publication that has waited longer than this for its confirm makes the
// service unhealthy.
constexpr std::chrono::seconds confirm_wait_limit{30};

// Empty while the service is healthy (both connections open, the consumer
// active, the publisher neither blocked nor failing publications after the
// broker refused the exchange, and no publication waiting longer than
// confirm_wait_limit for its confirm at `now`), else why not, in one line.
QString unhealthy_reason(const RouterState& state,
                         std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
