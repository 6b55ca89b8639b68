#pragma once

#include "tls_settings.h"

#include <QString>

// Everything the exchange publisher needs; copied into each new publisher.
struct rabbit_publisher_config {
    QString path;     // broker URL
    QString exchange; // exchange to publish to; must exist on the broker
    QString vhost;    // overrides the URL's virtual host
    tls_settings tls;
};
