#pragma once

#include "rabbit_config.h"

#include <QStringList>

// The bounds the settings must keep for the service to start.
namespace settings_limit {
constexpr quint32 max_shard_count = 65536;
constexpr qint32 max_prefetch_count = 65535; // basic.qos takes 16 bits
constexpr qint32 max_held_mib = 1 << 20;      // 1 TiB: any machine's memory
constexpr int max_name_bytes = 255;          // AMQP short strings
} // namespace settings_limit

// Every value that stops the service from starting, one "key: value: reason"
// line each; an empty list means the settings are usable. The value is the
// text the file held for the key, else the value in force; URLs are shown with
// the password masked, and names too long by their first 40 characters.
QStringList check_settings(const RabbitConfig& config);

// metrics/listen, "host:port" with an IPv6 host in brackets: the host and the
// port, or the reason the text does not parse.
struct listen_address {
    QString host;
    quint16 port = 0;
    QString error;
};
listen_address parse_listen_address(const QString& text);
