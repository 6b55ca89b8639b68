#include "app/check_command.h"
#include "app/logger.h"
#include "app/metrics_server.h"
#include "app/metrics_text.h"
#include "app/service_notifier.h"
#include "app/settings_watcher.h"
#include "app/unix_signals.h"
#include "config/rabbit_config.h"
#include "config/settings_check.h"
#include "router/rabbit_connector.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

#include <sysexits.h>

int main(int argc, char* argv[])
{
    // Qt's own event dispatcher instead of GLib's: GLib's writes to its wake-up
    // descriptor for every queued call (several per message here), Qt's once
    // per loop iteration. Set before the application object picks one.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("shardex"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SHARDEX_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Velmora Tarnhold Shardex"));
    parser.addHelpOption();
    parser.addVersionOption();
    // The help shows each default, which the parser itself does not.
    const auto withDefault = [](const char* description, const QString& value) {
        return QCoreApplication::translate("main", description) + QStringLiteral(" [default: ") + value
               + QLatin1Char(']');
    };
    const QString settingsDefault = QStringLiteral("/etc/shardex/shardex.ini");
    QCommandLineOption settingsOption(QStringList{QStringLiteral("c"), QStringLiteral("config")},
                                      withDefault("configuration file", settingsDefault),
                                      QCoreApplication::translate("main", "file"), settingsDefault);
    parser.addOption(settingsOption);
    const QString logDefault = QStringLiteral("/var/log/shardex/shardex.log");
    QCommandLineOption logOption(QStringList{QStringLiteral("l"), QStringLiteral("log")},
                                 withDefault("log file, - for standard output", logDefault),
                                 QCoreApplication::translate("main", "file"),
                                 logDefault);
    parser.addOption(logOption);
    QCommandLineOption checkOption(
        QStringList{QStringLiteral("check")},
        QCoreApplication::translate("main", "check the configuration file and exit, connecting to nothing"));
    parser.addOption(checkOption);
    parser.process(app); // ends the process for --help, --version and a malformed command line

    const QString settingsPath = parser.value(settingsOption);
    if (parser.isSet(checkOption))
        return run_check(settingsPath, parser.isSet(logOption) ? parser.value(logOption) : QString());
    const QString logPath = parser.value(logOption);

    // First: a stop asked for during the start is taken once the event loop runs.
    UnixSignals unixSignals;

    logger log(logPath, QString()); // says on stderr when the file cannot be opened
    if (logPath.isEmpty())
        std::fputs("no log file given (-l \"\"): log lines are lost\n", stderr);
    log.set_level(3);
    log_line(log, 3) << "###START### version: " << QCoreApplication::applicationVersion();

    RabbitConfig settings(settingsPath);
    RabbitConnector router(settings, log, &app);

    // The metrics and health endpoint, when [metrics] listen names one. Each
    // start takes it up, moves it or gives it up before it connects anything;
    // an address that cannot be bound refuses the start.
    MetricsServer metrics(
        [&router] { return render_metrics(router.metrics(), router.state(), QCoreApplication::applicationVersion()); },
        [&router] { return unhealthy_reason(router.state()); },
        [&router] { return render_devices(router.loudestDevices(20), router.state()); });
    QString metricsListen; // the address the endpoint listens on now
    router.setStartCheck([&](const RabbitConfig& loaded) -> QString {
        // Without the endpoint nobody asks for the loudest devices: no need to count them.
        router.setCountingDevices(!loaded.metrics_listen.isEmpty());
        if (loaded.metrics_listen == metricsListen)
            return QString();
        metrics.close();
        metricsListen.clear();
        if (loaded.metrics_listen.isEmpty())
            return QString();
        const listen_address address = parse_listen_address(loaded.metrics_listen);
        QString error;
        if (!metrics.listen(address.host, address.port, &error))
            return QStringLiteral("metrics/listen: ") + loaded.metrics_listen + QStringLiteral(": ") + error;
        metricsListen = loaded.metrics_listen;
        log_line(log, 3) << "metrics on http://" << metricsListen << "/metrics, health on http://" << metricsListen
                         << "/healthz and /livez, loudest devices on http://" << metricsListen << "/devices";
        return QString();
    });

    // Tells systemd when the service is ready, reloads and stops, how it is
    // doing, and that its event loop turns (the unit's watchdog).
    ServiceNotifier notifier(
        log, [&] { return service_status(router.state(), router.metrics(), settings.receiver.queue); });

    // A stop, asked for (SIGTERM, SIGINT), drains the router first; a second
    // request ends the process at once.
    bool running = false;
    bool stopping = false;
    int status = 0;
    const auto stopLine = [&log] { log_line(log, 1) << "Shardex has been stopped..."; };
    const auto stop = [&](int exitStatus) {
        if (stopping) {
            stopLine();
            app.exit(status);
            return;
        }
        stopping = true;
        status = exitStatus;
        notifier.stopping();
        router.FinishWorking();
    };
    QObject::connect(&router, &RabbitConnector::Finished, &app, [&] {
        stopLine();
        app.exit(status);
    });
    QObject::connect(
        &router, &RabbitConnector::StopWorking, &app,
        [&] {
            if (running)
                stop(EX_CONFIG);
        },
        Qt::DirectConnection);
    // Refused settings at a reload leave the router on the ones it runs with
    // (the status line says so): it is ready again either way.
    const auto restart = [&] {
        if (stopping)
            return;
        notifier.reloading();
        router.StartWorking();
        notifier.ready();
    };

    auto* watcher = new SettingsWatcher(settingsPath, &app);
    QObject::connect(watcher, &SettingsWatcher::changed, &router, restart);
    QObject::connect(&unixSignals, &UnixSignals::received, &app, [&](int signal) {
        if (signal == SIGHUP)
            restart(); // like a save of the settings file
        else if (signal == SIGUSR1)
            log.reopen(); // after a rotation: the file at the log path from now on
        else
            stop(0);
    });

    if (!router.StartWorking()) {
        stopLine();
        return EX_CONFIG;
    }
    running = true;
    notifier.ready();
    return app.exec();
}
