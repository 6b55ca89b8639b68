#pragma once

#include "latency_histogram.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <chrono>
#include <optional>

// What the router has counted since the process started. The router lives as
// long as the process, so restarts keep the counts. Every count is a plain
// increment into fixed storage: recording allocates nothing.
struct RouterMetrics {
    quint64 deliveries_json = 0;     // decoded as JSON text
    quint64 deliveries_protobuf = 0; // handled as protobuf, undecodable ones included
    quint64 fanout = 0;              // deliveries naming no device, published to every shard
    quint64 published = 0;        // publications sent (a fan-out body once per shard)
    quint64 confirmed = 0;        // publications the broker confirmed
    quint64 publish_failed = 0;   // nacked, lost before their confirm, or not sent
    quint64 acknowledged = 0;     // deliveries acknowledged (each one a multiple ack covers)
    quint64 rejected_requeue = 0; // deliveries rejected back to the queue
    quint64 rejected_drop = 0;    // deliveries rejected without requeue (undecodable)
    quint64 undecodable = 0;      // bodies neither JSON nor a valid message
    quint64 dropped_binary = 0;   // binary bodies dropped under stop_binary
    quint64 reloads = 0;          // successful starts after the first
    bool reload_success = true;   // the last reload was taken (true before any)

    // Publications sent per shard number, for shard counts up to
    // counted_shards (beyond, a page would carry thousands of series). Kept
    // per number across reloads, whatever the shard count becomes.
    static constexpr int counted_shards = 1024;
    std::array<quint64, counted_shards> shard_publications{};
    // Publications the broker returned (no queue takes the shard's key).
    std::array<quint64, counted_shards> shard_returned{};

    // From a delivery's arrival to the acknowledgement that covers it
    // (rejected deliveries are not observed), and from a publication to its
    // positive confirm.
    LatencyHistogram delivery_duration;
    LatencyHistogram confirm_duration;
    // The last delivery and the last confirm, on the monotonic clock; the page
    // turns them into wall-clock time when it is built.
    std::optional<std::chrono::steady_clock::time_point> last_delivery;
    std::optional<std::chrono::steady_clock::time_point> last_confirm;

    // Connection attempts of each side's client, by outcome.
    struct Attempts {
        quint64 success = 0;
        quint64 failure = 0;
    };
    Attempts receiver_attempts;
    Attempts publisher_attempts;

    quint64 deliveries() const { return deliveries_json + deliveries_protobuf; }
};

// The router's connections as they are now.
struct RouterState {
    bool receiver_up = false;
    bool publisher_up = false;
    bool consuming = false;
    bool publisher_blocked = false;
    // Publications fail for a while after the broker refused the exchange.
    bool publications_refused = false;
    // The routing key the broker returned a publication under lately (no
    // queue takes it); empty when none was returned for a while.
    QByteArray returned_key;
    // When the oldest publication still waiting for its confirm was sent.
    std::optional<std::chrono::steady_clock::time_point> oldest_unconfirmed;
    qint64 unsettled = 0; // deliveries received and neither acknowledged nor rejected yet
    qint64 held_bytes = 0; // their bytes, while shardex still needs them (not yet settled)
    int shard_count = 0;  // of the routing table in use, 0 before the first start
};
