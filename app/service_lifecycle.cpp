#include "service_lifecycle.h"

#include "app/logger.h"
#include "app/settings_watcher.h"
#include "app/unix_signals.h"
#include "config/rabbit_config.h"
#include "router/rabbit_connector.h"

#include <QCoreApplication>

#include <csignal>

#include <sysexits.h>

ServiceLifecycle::ServiceLifecycle(QCoreApplication& app, RabbitConnector& router, RabbitConfig& settings,
                                   logger& log)
    : m_app(app), m_router(router), m_log(log),
      // Tells systemd when the service is ready, reloads and stops, how it is
      // doing, and that its event loop turns (the unit's watchdog).
      m_notifier(log, [&router, &settings] {
          return service_status(router.state(), router.metrics(), settings.receiver.queue);
      })
{
    QObject::connect(&router, &RabbitConnector::Finished, &app, [this] {
        stopLine();
        m_app.exit(m_status);
    });
    QObject::connect(
        &router, &RabbitConnector::StopWorking, &app,
        [this] {
            if (m_running)
                stop(EX_CONFIG);
        },
        Qt::DirectConnection);
}

void ServiceLifecycle::stopLine()
{
    log_line(m_log, 1) << "Shardex has been stopped...";
}

void ServiceLifecycle::stop(int exitStatus)
{
    if (m_stopping) {
        stopLine();
        m_app.exit(m_status);
        return;
    }
    m_stopping = true;
    m_status = exitStatus;
    m_notifier.stopping();
    m_router.FinishWorking();
}

void ServiceLifecycle::restart()
{
    // Refused settings at a reload leave the router on the ones it runs with
    // (the status line says so): it is ready again either way.
    if (m_stopping)
        return;
    m_notifier.reloading();
    m_router.StartWorking();
    m_notifier.ready();
}

void ServiceLifecycle::takeRequests(UnixSignals& unixSignals, const QString& settingsPath)
{
    auto* watcher = new SettingsWatcher(settingsPath, &m_app);
    QObject::connect(watcher, &SettingsWatcher::changed, &m_router, [this] { restart(); });
    QObject::connect(&unixSignals, &UnixSignals::received, &m_app, [this](int signal) {
        if (signal == SIGHUP)
            restart(); // like a save of the settings file
        else if (signal == SIGUSR1)
            m_log.reopen(); // after a rotation: the file at the log path from now on
        else
            stop(0);
    });
}

int ServiceLifecycle::run()
{
    if (!m_router.StartWorking()) {
        stopLine();
        return EX_CONFIG;
    }
    m_running = true;
    m_notifier.ready();
    return m_app.exec();
}
