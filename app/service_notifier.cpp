#include "service_notifier.h"

#include "app/logger.h"

#include <QLocale>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include <systemd/sd-daemon.h>

ServiceNotifier::ServiceNotifier(logger& log, std::function<QString()> status, QObject* parent)
    : QObject(parent), m_log(log), m_status(std::move(status))
{
    m_enabled = !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
    if (!m_enabled)
        return;
    m_status_timer.setInterval(status_interval);
    connect(&m_status_timer, &QTimer::timeout, this, &ServiceNotifier::refreshStatus);

    // WATCHDOG_USEC and WATCHDOG_PID (this process) come with WatchdogSec=.
    // The keep-alive goes out from the event loop, so a loop that no longer
    // turns lets the watchdog fire.
    uint64_t usec = 0;
    const int watchdog = sd_watchdog_enabled(0, &usec);
    if (watchdog < 0) {
        log_line(m_log, 2) << "systemd watchdog: WATCHDOG_USEC cannot be used (" << strerror(-watchdog)
                           << "): no keep-alive is sent";
    } else if (watchdog > 0) {
        const uint64_t ms = std::max<uint64_t>(1, usec / 2000);
        m_watchdog.setInterval(int(std::min<uint64_t>(ms, INT_MAX)));
        connect(&m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        m_watchdog.start();
    }
}

void ServiceNotifier::ready()
{
    if (!m_enabled)
        return;
    send("READY=1\n" + statusField());
    m_status_timer.start();
}

void ServiceNotifier::reloading()
{
    if (!m_enabled)
        return;
    m_status_timer.stop();
    m_last_status = "reloading the settings";
    // MONOTONIC_USEC: newer systemd matches it to the reload it asked for.
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const quint64 usec = quint64(now.tv_sec) * 1000000u + quint64(now.tv_nsec) / 1000u;
    send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec) + "\nSTATUS=" + m_last_status);
}

void ServiceNotifier::stopping()
{
    if (!m_enabled)
        return;
    m_status_timer.stop();
    m_last_status = "stopping: finishing what was delivered";
    send("STOPPING=1\nSTATUS=" + m_last_status);
}

void ServiceNotifier::refreshStatus()
{
    if (!m_enabled)
        return;
    const QByteArray previous = m_last_status;
    const QByteArray field = statusField();
    if (m_last_status != previous)
        send(field);
}

QByteArray ServiceNotifier::statusField()
{
    QByteArray text = m_status().toUtf8();
    // One line: a line break (in a queue name) would start another field.
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    m_last_status = text;
    return "STATUS=" + text;
}

void ServiceNotifier::send(const QByteArray& message)
{
    const int result = sd_notify(0, message.constData());
    if (result >= 0) {
        m_failing = false;
        return;
    }
    if (!m_failing)
        log_line(m_log, 2) << "systemd notification failed: " << strerror(-result);
    m_failing = true;
}

QString service_status(const RouterState& state, const RouterMetrics& metrics, const QString& queue)
{
    QString text = state.consuming     ? QStringLiteral("consuming ") + queue
                   : state.receiver_up ? QStringLiteral("connected, not consuming ") + queue
                                       : QStringLiteral("receiver disconnected");
    text += !state.publisher_up         ? QStringLiteral("; publisher disconnected")
            : state.publisher_blocked ? QStringLiteral("; publisher blocked by the broker")
                                      : QStringLiteral("; publisher connected");
    // Deliveries acknowledged after their publications were confirmed; those
    // dropped under stop_binary are acknowledged too, but not routed.
    const quint64 routed = metrics.acknowledged - std::min(metrics.acknowledged, metrics.dropped_binary);
    text += QStringLiteral("; ") + QLocale(QLocale::English).toString(qulonglong(routed)) + QStringLiteral(" routed");
    if (!metrics.reload_success)
        text = QStringLiteral("settings refused, the previous ones in use; ") + text;
    return text;
}
