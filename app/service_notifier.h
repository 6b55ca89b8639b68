#pragma once

#include "router/router_metrics.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class logger;

// Tells systemd through sd_notify(3) how the service is doing, so that a
// Type=notify unit counts as started only once the settings were accepted and
// a frozen event loop is noticed:
//   READY=1      a start or a reload was accepted (the brokers are not waited for)
//   RELOADING=1  a reload (SIGHUP or a save of the settings file) begins
//   STOPPING=1   the drain of a stop begins
//   STATUS=      one short line for `systemctl status`, sent when it changed
//   WATCHDOG=1   from the event loop, at half the unit's WatchdogSec
// Without NOTIFY_SOCKET (not started as a notify service) it sends nothing
// and runs no timer.
class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    ServiceNotifier(logger& log, std::function<QString()> status, QObject* parent = nullptr);

    void ready();
    void reloading();
    void stopping();

    // Sends the status line when it differs from the one last sent. A timer
    // calls it every status_interval ms between ready() and stopping().
    void refreshStatus();
    static constexpr int status_interval = 2000;

    bool enabled() const { return m_enabled; }
    // How often WATCHDOG=1 goes out, in ms; 0 when the unit has no watchdog.
    int watchdogInterval() const { return m_watchdog.isActive() ? m_watchdog.interval() : 0; }

private:
    void send(const QByteArray& message);
    QByteArray statusField();

    logger& m_log;
    std::function<QString()> m_status;
    bool m_enabled = false;
    bool m_failing = false; // the last send failed and was logged
    QByteArray m_last_status;
    QTimer m_watchdog;
    QTimer m_status_timer;
};

// The status line: the receiver's and the publisher's state and the number of
// deliveries routed and acknowledged, for example
// "consuming devices.in; publisher connected; 12,345 routed".
QString service_status(const RouterState& state, const RouterMetrics& metrics, const QString& queue);
