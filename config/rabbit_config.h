#pragma once

#include "rabbit_publisher_config.h"
#include "rabbit_receiver_config.h"

#include <QString>

class logger;

// The service's settings, read from an INI file. Every key is optional and
// falls back to a fixed default; each successful Load sets every field anew.
class RabbitConfig {
public:
    explicit RabbitConfig(const QString& path);

    // Reads the file; false (and an Error line) when it is missing or holds
    // no key, and then no field changes. Dumps the values on success.
    bool Load(logger& log);
    void Dump(logger& log) const;

    QString file_path;
    rabbit_receiver_config receiver;
    rabbit_publisher_config publisher;
    quint32 shard_count = 0;
    QString routing_key_prefix;
    bool stop_binary = false;
};

// The defaults that apply to every key the file leaves out.
extern const rabbit_receiver_config default_receiver_config;
extern const rabbit_publisher_config default_publisher_config;
extern const QString default_binding_exchange;
