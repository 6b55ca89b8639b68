#pragma once

#include "rabbit_publisher_config.h"
#include "rabbit_receiver_config.h"

#include <QMap>
#include <QString>

#include <optional>

class logger;

// The service's settings, read from an INI file. Every key is optional and
// falls back to a fixed default; each successful Load sets every field anew.
// Load refuses only a missing or empty file: a value that cannot be used is
// read as well as it can be (a bad stop_binary as false), and check_settings
// (settings_check.h) tells which values stop the service from starting. The
// passwords of password_file are read by Load, into the records' password.
class RabbitConfig {
public:
    explicit RabbitConfig(const QString& path);

    // Reads the file; false (and an Error line) when it is missing or holds
    // no key, and then no field changes. Dumps the values on success, then a
    // Warning line for each of `ignored`.
    bool Load(logger& log);
    void Dump(logger& log) const;

    QString file_path;
    rabbit_receiver_config receiver;
    rabbit_publisher_config publisher;
    quint32 shard_count = 0;
    QString routing_key_prefix;
    bool stop_binary = false;
    // "host:port" of the metrics and health endpoint; empty: none.
    QString metrics_listen;
    // The texts the file held, by key ("publisher/shard_count"), as the last
    // successful Load read them; keys the file leaves out are absent.
    QMap<QString, QString> file_texts;
    // "key: value: reason" for each password_file that gives no password;
    // check_settings reports them (the start is refused).
    QStringList password_problems;
    // What the file holds that shardex does not read, one text each (see
    // unknown_settings.h); Load logs each as a Warning line. They do not
    // refuse the start: the file may hold settings of other tools.
    QStringList ignored;
};

// A yes/no setting: true/false, yes/no, on/off or 1/0 in any letter case,
// blanks around ignored. Empty text gives the fallback, any other text nothing.
std::optional<bool> parse_setting_bool(const QString& text, bool fallback);

// The defaults that apply to every key the file leaves out.
extern const rabbit_receiver_config default_receiver_config;
extern const rabbit_publisher_config default_publisher_config;
extern const QString default_binding_exchange;
