#include "check_command.h"

#include "amqp/amqp_url.h"
#include "app/logger.h"
#include "config/rabbit_config.h"
#include "config/settings_check.h"

#include <QFileInfo>
#include <QTextStream>

#include <sysexits.h>

int run_check(const QString& settingsPath, const QString& logPath)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    bool refused = false;

    // The log file a start with this -l would append to. Empty (no -l, or
    // -l "", with which a start logs nowhere) is not checked.
    if (!logPath.isEmpty()) {
        const QString why = log_path_problem(logPath);
        if (!why.isEmpty()) {
            err << "log file: " << logPath << ": " << why << '\n';
            refused = true;
        }
    }

    if (!QFileInfo::exists(settingsPath)) {
        err << "settings file: " << settingsPath << ": does not exist\n";
        return EX_CONFIG;
    }
    // The load's lines go nowhere: no file, level Off.
    logger nowhere{QString(), QString()};
    nowhere.set_level(0);
    RabbitConfig settings(settingsPath);
    if (!settings.Load(nowhere)) {
        err << "settings file: " << settingsPath << ": holds no settings, or cannot be read\n";
        return EX_CONFIG;
    }
    // What a start logs as Warning lines; the start is not refused for them.
    for (const QString& line : settings.ignored)
        err << line << '\n';
    const QStringList problems = check_settings(settings);
    for (const QString& problem : problems)
        err << problem << '\n';
    if (!problems.isEmpty() || refused)
        return EX_CONFIG;
    out << settingsPath << ": usable: queue " << settings.receiver.queue << " at "
        << maskUrlPassword(settings.receiver.path) << " (vhost " << settings.receiver.vhost << ") to exchange "
        << settings.publisher.exchange << " at " << maskUrlPassword(settings.publisher.path) << " (vhost "
        << settings.publisher.vhost << "), " << settings.shard_count << " shards, routing keys "
        << settings.routing_key_prefix << "0.." << settings.routing_key_prefix << settings.shard_count - 1 << '\n';
    return 0;
}
