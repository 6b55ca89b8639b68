#pragma once

#include <QString>

// A broker address in the form amqp[s]://user:password@host[:port][/vhost].
// User and password default to guest/guest, the port to 5672 (5671 for amqps),
// the virtual host to "/" when the URL has no path; percent escapes are decoded.
// User and password are decoded strictly: '/', '?', '#' and '%' in them must be
// written %2F, %3F, %23 and %25, and the decoded bytes must be UTF-8.
struct AmqpUrl {
    bool valid = false;
    QString error; // why the URL was refused, when not valid; quotes no part of the URL
    bool tls = false;
    QString host;
    quint16 port = 5672;
    QString user = QStringLiteral("guest");
    QString password = QStringLiteral("guest");
    QString vhost = QStringLiteral("/");

    static AmqpUrl parse(const QString& url);
    // The URL with `password` in place of its own (percent-encoded); the rest
    // stays as written, and a URL without a user gets guest, the default it
    // had. A URL that parse() refuses comes back unchanged.
    static QString withPassword(const QString& url, const QString& password);
};

// The URL with its password replaced by "****", for log lines. Malformed URLs
// are masked generously, since a log file must never hold a password, even one
// the parser would refuse: everything from the first ':' after the scheme to
// the last '@' is hidden, and with no ':' there, a port that is not a number
// is hidden up to the end (it may be a password whose host was left out).
// A well-formed URL keeps its user, host, port and path.
QString maskUrlPassword(const QString& url);
