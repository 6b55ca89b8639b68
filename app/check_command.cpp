#include "check_command.h"

#include "amqp/amqp_url.h"
#include "app/logger.h"
#include "config/rabbit_config.h"
#include "config/settings_check.h"

#include <QFileInfo>
#include <QTextStream>

#include <sysexits.h>

int run_check(const QString& settingsPath)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
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
    const QStringList problems = check_settings(settings);
    for (const QString& problem : problems)
        err << problem << '\n';
    if (!problems.isEmpty())
        return EX_CONFIG;
    out << settingsPath << ": usable: queue " << settings.receiver.queue << " at "
        << maskUrlPassword(settings.receiver.path) << " (vhost " << settings.receiver.vhost << ") to exchange "
        << settings.publisher.exchange << " at " << maskUrlPassword(settings.publisher.path) << " (vhost "
        << settings.publisher.vhost << "), " << settings.shard_count << " shards, routing keys "
        << settings.routing_key_prefix << "0.." << settings.routing_key_prefix << settings.shard_count - 1 << '\n';
    return 0;
}
