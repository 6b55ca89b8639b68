#pragma once

#include "app/service_notifier.h"

class QCoreApplication;
class QString;
class RabbitConfig;
class RabbitConnector;
class UnixSignals;
class logger;

// The service's life around the router, and what systemd is told of it: the
// first start, reloads, and the stop, which drains the router first; a second
// stop request ends the process at once. Settings refused at the first start
// end it with EX_CONFIG.
class ServiceLifecycle {
public:
    ServiceLifecycle(QCoreApplication& app, RabbitConnector& router, RabbitConfig& settings, logger& log);

    // Takes the requests from outside: a save of the settings file or SIGHUP
    // reloads, SIGUSR1 reopens the log (after a rotation), SIGTERM and SIGINT stop.
    void takeRequests(UnixSignals& unixSignals, const QString& settingsPath);
    // Starts the router and runs the event loop: the process's exit status.
    int run();

private:
    void stop(int exitStatus);
    void restart();
    void stopLine();

    QCoreApplication& m_app;
    RabbitConnector& m_router;
    logger& m_log;
    ServiceNotifier m_notifier;
    bool m_running = false;
    bool m_stopping = false;
    int m_status = 0;
};
