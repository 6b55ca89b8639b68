#pragma once

#include <QtGlobal>

class QAmqpClient;
class QString;
class QStringList;
class logger;
struct tls_settings;

// What the receiver's and the publisher's broker connections have in common.
namespace connection_setup {

// ms between connection attempts, and between set-up attempts, unless a test
// shortens it.
constexpr int reconnect_interval = 30000;
// ms a write may wait for the socket before the connection counts as dead.
constexpr int write_timeout = 20000;
// s of heartbeat asked of the broker (the smaller non-zero of it and the
// broker's own applies).
constexpr qint16 heartbeat_delay = 360;

} // namespace connection_setup

// Verifies the broker with `tls`, or ignores certificate errors as before
// verification existed. Logs, as `who`, a TLS file that gives nothing, and
// settings that do not match `urls`: amqps:// without verification, or
// verification without amqps://. Called before the first attempt.
void use_tls_settings(QAmqpClient& client, const tls_settings& tls, const QStringList& urls, logger& log,
                      const char* who);

// Starts connecting to `urls` (a node, then its failover nodes) under the
// connection name, in the virtual host, with automatic reconnection after
// `retry_interval` ms and the shared write timeout and heartbeat.
void start_connecting(QAmqpClient& client, const QString& name, const QStringList& urls, const QString& vhost,
                      int retry_interval);
