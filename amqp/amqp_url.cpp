#include "amqp_url.h"

#include <QByteArray>
#include <QUrl>

namespace {

int authority_end(const QString& url, int start)
{
    for (int i = start; i < url.size(); ++i) {
        const QChar c = url.at(i);
        if (c == QLatin1Char('/') || c == QLatin1Char('?') || c == QLatin1Char('#'))
            return i;
    }
    return url.size();
}

QString decode(const QString& text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

} // namespace

AmqpUrl AmqpUrl::parse(const QString& url)
{
    AmqpUrl out;
    int start = 0;
    if (url.startsWith(QLatin1String("amqp://"), Qt::CaseInsensitive)) {
        start = 7;
    } else if (url.startsWith(QLatin1String("amqps://"), Qt::CaseInsensitive)) {
        start = 8;
        out.tls = true;
        out.port = 5671;
    } else {
        out.error = QStringLiteral("the URL does not begin with amqp:// or amqps://");
        return out;
    }

    const int end = authority_end(url, start);
    QString authority = url.mid(start, end - start);
    const int at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userinfo = authority.left(at);
        authority = authority.mid(at + 1);
        const int colon = userinfo.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            out.user = decode(userinfo.left(colon));
            out.password = decode(userinfo.mid(colon + 1));
        } else if (!userinfo.isEmpty()) {
            out.user = decode(userinfo);
        }
    }

    QString port;
    if (authority.startsWith(QLatin1Char('['))) { // IPv6 literal
        const int close = authority.indexOf(QLatin1Char(']'));
        if (close < 0) {
            out.error = QStringLiteral("unterminated IPv6 address");
            return out;
        }
        out.host = authority.mid(1, close - 1);
        const QString rest = authority.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':'))) {
                out.error = QStringLiteral("unexpected text after the IPv6 address");
                return out;
            }
            port = rest.mid(1);
        }
    } else {
        const int colon = authority.lastIndexOf(QLatin1Char(':'));
        out.host = decode(colon >= 0 ? authority.left(colon) : authority);
        if (colon >= 0)
            port = authority.mid(colon + 1);
    }
    if (out.host.isEmpty())
        out.host = QStringLiteral("localhost");
    if (!port.isEmpty()) {
        bool ok = false;
        const uint number = port.toUInt(&ok);
        if (!ok || number == 0 || number > 65535) {
            out.error = QStringLiteral("invalid port \"%1\"").arg(port);
            return out;
        }
        out.port = quint16(number);
    }

    if (end < url.size() && url.at(end) == QLatin1Char('/')) {
        int pathEnd = url.indexOf(QLatin1Char('?'), end);
        if (pathEnd < 0)
            pathEnd = url.size();
        out.vhost = decode(url.mid(end + 1, pathEnd - end - 1));
    }
    out.valid = true;
    return out;
}

QString maskUrlPassword(const QString& url)
{
    const int scheme = url.indexOf(QLatin1String("://"));
    const int start = scheme < 0 ? 0 : scheme + 3;
    const int end = authority_end(url, start);
    int at = end > start ? url.lastIndexOf(QLatin1Char('@'), end - 1) : -1;
    if (at < start) // no '@' in the authority: a password may hold '/' or '?' itself
        at = url.lastIndexOf(QLatin1Char('@'));
    if (at < start)
        return url;
    const int colon = url.indexOf(QLatin1Char(':'), start);
    if (colon < 0 || colon > at)
        return url;
    return url.left(colon + 1) + QLatin1String("****") + url.mid(at);
}
