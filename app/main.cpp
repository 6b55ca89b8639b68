#include "config/rabbit_config.h"
#include "logger.h"
#include "router/rabbit_connector.h"
#include "settings_watcher.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("shardex"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SHARDEX_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Velmora Tarnhold Shardex"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption settingsOption(QStringList{QStringLiteral("c")},
                                      QCoreApplication::translate("main", "configuration file"),
                                      QCoreApplication::translate("main", "file"));
    settingsOption.setDefaultValue(QStringLiteral("/etc/shardex/shardex.ini"));
    parser.addOption(settingsOption);
    QCommandLineOption logOption(QStringList{QStringLiteral("l")}, QCoreApplication::translate("main", "log file"),
                                 QCoreApplication::translate("main", "file"));
    logOption.setDefaultValue(QStringLiteral("/var/log/shardex/shardex.log"));
    parser.addOption(logOption);
    parser.process(app); // ends the process for --help, --version and a malformed command line

    const QString settingsPath = parser.value(settingsOption);
    const QString logPath = parser.value(logOption);

    logger log(logPath, QString());
    log.set_level(3);
    log_line(log, 3) << "###START### version: " << QCoreApplication::applicationVersion();

    RabbitConfig settings(settingsPath);
    RabbitConnector router(settings, log, &app);
    QObject::connect(
        &router, &RabbitConnector::StopWorking, &app,
        [&log, &app] {
            log_line(log, 1) << "Shardex has been stopped...";
            app.quit();
        },
        Qt::DirectConnection);

    auto* watcher = new SettingsWatcher(settingsPath, &app);
    QObject::connect(watcher, &SettingsWatcher::changed, &router, [&router] { router.StartWorking(); });

    if (!router.StartWorking())
        return 0;
    const int status = app.exec();
    // No restart any more; settled deliveries are acknowledged and both
    // connections closed properly, so that those are not delivered again.
    QObject::disconnect(watcher, nullptr, &router, nullptr);
    router.FinishWorking();
    return status;
}
