#include "command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

CommandLine read_command_line(const QCoreApplication& app)
{
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

    CommandLine args;
    args.settingsPath = parser.value(settingsOption);
    args.logPath = parser.value(logOption);
    args.logGiven = parser.isSet(logOption);
    args.check = parser.isSet(checkOption);
    return args;
}
