#pragma once

#include "tls_settings.h"

#include <QString>
#include <QStringList>

// Everything the exchange publisher needs; copied into each new publisher.
struct rabbit_publisher_config {
    QString path;     // broker URL
    QString exchange; // exchange to publish to; must exist on the broker
    QString vhost;    // overrides the URL's virtual host
    tls_settings tls;
    QStringList failover_paths; // further nodes of the same cluster, in order
    // From password_file: replaces the password of path and failover_paths
    // (see urls_with_password); empty: the URLs' own.
    QString password{};
    // Publications carry the consumed message's properties and headers (all
    // but content type and user_id); when false only its delivery mode.
    bool carry_properties = true;
};
