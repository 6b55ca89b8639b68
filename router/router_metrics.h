#pragma once

#include <QtGlobal>

#include <chrono>
#include <optional>

// What the router has counted since the process started. The router lives as
// long as the process, so restarts keep the counts.
struct RouterMetrics {
    quint64 deliveries = 0;       // received from the input queue
    quint64 published = 0;        // publications sent (a fan-out body once per shard)
    quint64 confirmed = 0;        // publications the broker confirmed
    quint64 publish_failed = 0;   // nacked, lost before their confirm, or not sent
    quint64 acknowledged = 0;     // deliveries acknowledged (each one a multiple ack covers)
    quint64 rejected_requeue = 0; // deliveries rejected back to the queue
    quint64 rejected_drop = 0;    // deliveries rejected without requeue (undecodable)
    quint64 undecodable = 0;      // bodies neither JSON nor a valid message
    quint64 dropped_binary = 0;   // binary bodies dropped under stop_binary
    quint64 reloads = 0;          // successful starts after the first
};

// The router's connections as they are now.
struct RouterState {
    bool receiver_up = false;
    bool publisher_up = false;
    bool consuming = false;
    bool publisher_blocked = false;
    // Publications fail for a while after the broker refused the exchange.
    bool publications_refused = false;
    // When the oldest publication still waiting for its confirm was sent.
    std::optional<std::chrono::steady_clock::time_point> oldest_unconfirmed;
    qint64 unsettled = 0; // deliveries received and neither acknowledged nor rejected yet
};
