#pragma once

#include <QString>

// How one side checks its broker over amqps://. Off by default: existing
// deployments may use self-signed certificates, which are then accepted.
struct tls_settings {
    bool verify = false; // check the broker's certificate chain and host name
    QString ca_file;     // PEM certificates to trust; empty: the system's store
    QString cert_file;   // client certificate (PEM), shown when the broker asks
    QString key_file;    // its private key (PEM, unencrypted)
};
