#pragma once

#include "tls_settings.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Everything the queue receiver needs; copied whole into each new receiver.
struct rabbit_receiver_config {
    QString path;                            // broker URL
    QString queue;                           // queue to declare and consume
    QString vhost;                           // overrides the URL's virtual host
    QList<QPair<QString, QString>> bindings; // (exchange, routing key), in order
    qint32 mode = 0;                         // queue.declare flag bits
    qint32 prefetch_count = 0;
    tls_settings tls;
    QStringList failover_paths;              // further nodes of the same cluster, in order
    // From password_file: replaces the password of path and failover_paths
    // (see urls_with_password); empty: the URLs' own.
    QString password{};
    // Bytes of deliveries held and not yet settled above which no further
    // delivery is taken in (max_held_mib, in MiB).
    qint64 max_held_bytes = qint64(256) << 20;
};
