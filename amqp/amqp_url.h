#pragma once

#include <QString>

// A broker address in the form amqp[s]://user:password@host[:port][/vhost].
// User and password default to guest/guest, the port to 5672 (5671 for amqps),
// the virtual host to "/" when the URL has no path; percent escapes are decoded.
struct AmqpUrl {
    bool valid = false;
    QString error; // why the URL was refused, when not valid
    bool tls = false;
    QString host;
    quint16 port = 5672;
    QString user = QStringLiteral("guest");
    QString password = QStringLiteral("guest");
    QString vhost = QStringLiteral("/");

    static AmqpUrl parse(const QString& url);
};

// The URL with its password replaced by "****", for log lines. User, host, port
// and path stay. Malformed URLs are masked generously: a log file must never
// hold a password, even one that the parser would refuse.
QString maskUrlPassword(const QString& url);
