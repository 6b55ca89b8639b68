#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// A PEM file as a TLS configuration takes it: the certificates in it, or its
// private key. The settings check reads the files the same way, so that a
// file the connections could not use refuses the start instead of failing
// every attempt.
struct PemFile {
    bool readable = false; // the file opened; when not, `problem` says why
    // Why the file gives nothing: "cannot be read (<the system's reason>)",
    // "holds no PEM certificate" or "holds no unencrypted PEM private key".
    // Empty when it gives what was asked for.
    QString problem;
    QList<QSslCertificate> certificates; // from readPemCertificates()
    QSslKey key;                         // from readPemPrivateKey()
};

// The valid certificates of the PEM file at `path`.
PemFile readPemCertificates(const QString& path);

// The unencrypted private key (RSA, EC or DSA) of the PEM file at `path`.
PemFile readPemPrivateKey(const QString& path);
