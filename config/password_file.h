#pragma once

#include <QString>
#include <QStringList>

// password_file of a side: the broker password kept outside the settings
// file, for example a credential that systemd hands over (LoadCredential=)
// or a container's secret file.

// The file a password_file names: a name without '/' is looked up in
// $CREDENTIALS_DIRECTORY when that is set, anything else is taken as given.
QString password_file_path(const QString& name);

struct password_from_file {
    QString password; // the file's first line without its line end; empty: none
    QString problem;  // why there is none ("cannot be read", "is empty"...)
};
// Reads the password. The problem may name the path looked at, never any
// part of the content.
password_from_file read_password_file(const QString& name);

// The URLs with the password in place of their own; each keeps its user (or
// gets guest, the default AmqpUrl gives a URL without one). Unchanged when the
// password is empty; a URL that does not parse stays as it is.
QStringList urls_with_password(const QStringList& urls, const QString& password);
