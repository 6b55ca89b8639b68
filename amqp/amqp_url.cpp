#include "amqp_url.h"

#include "hex_digit.h"

#include <QByteArray>
#include <QUrl>

namespace {

const QString hidden = QStringLiteral("****");

int authority_end(const QString& url, int start)
{
    for (int i = start; i < url.size(); ++i) {
        const QChar c = url.at(i);
        if (c == QLatin1Char('/') || c == QLatin1Char('?') || c == QLatin1Char('#'))
            return i;
    }
    return url.size();
}

// The authority of an amqp[s]:// URL, split as written (percent escapes and
// all): it runs from after the scheme to the first '/', '?' or '#', and its
// last '@' ends the user info, whose first ':' ends the user name.
struct Authority {
    int start = 0;
    int end = 0;
    bool has_password = false; // the user info holds a ':'
    QString user;              // empty also when there is no user info
    QString password;
    QString host_port; // after the user info
};

Authority split_authority(const QString& url, int start)
{
    Authority out;
    out.start = start;
    out.end = authority_end(url, start);
    out.host_port = url.mid(start, out.end - start);
    const int at = out.host_port.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userinfo = out.host_port.left(at);
        out.host_port = out.host_port.mid(at + 1);
        const int colon = userinfo.indexOf(QLatin1Char(':'));
        out.has_password = colon >= 0;
        out.user = out.has_password ? userinfo.left(colon) : userinfo;
        if (out.has_password)
            out.password = userinfo.mid(colon + 1);
    }
    return out;
}

// Host and virtual host: a stray '%' stays as it is.
QString decode(const QString& text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// User name and password: every '%' starts an escape of two hex digits, and
// the bytes they make are UTF-8. Returns the reason when they are not.
QString decode_strictly(const QString& text, const char* what, QString* out)
{
    const QByteArray raw = text.toUtf8();
    QByteArray bytes;
    bytes.reserve(raw.size());
    for (int i = 0; i < raw.size(); ++i) {
        if (raw.at(i) != '%') {
            bytes.append(raw.at(i));
            continue;
        }
        const int high = i + 2 < raw.size() ? hex_digit_value(raw.at(i + 1)) : -1;
        const int low = high >= 0 ? hex_digit_value(raw.at(i + 2)) : -1;
        if (low < 0)
            return QLatin1String("the ") + QLatin1String(what)
                + QLatin1String(" holds a '%' that is not followed by two hex digits (write '%' as %25)");
        bytes.append(char(high * 16 + low));
        i += 2;
    }
    // Invalid sequences come back as U+FFFD, which encodes to other bytes.
    *out = QString::fromUtf8(bytes);
    if (out->toUtf8() != bytes)
        return QLatin1String("the ") + QLatin1String(what)
            + QLatin1String(" is not UTF-8 once its percent escapes are decoded");
    return QString();
}

bool all_digits(const QString& text)
{
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

// The length of a leading "scheme://", or 0 when the text has none.
int scheme_length(const QString& url)
{
    const int sep = url.indexOf(QLatin1String("://"));
    if (sep <= 0 || !url.at(0).isLetter() || url.at(0).unicode() > 127)
        return 0;
    for (int i = 1; i < sep; ++i) {
        const QChar c = url.at(i);
        const bool alnum = c.unicode() < 128 && c.isLetterOrNumber();
        if (!alnum && c != QLatin1Char('+') && c != QLatin1Char('-') && c != QLatin1Char('.'))
            return 0;
    }
    return sep + 3;
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

    const Authority parts = split_authority(url, start);
    const int end = parts.end;
    if (url.indexOf(QLatin1Char('@'), end) >= 0) {
        // A '/', '?' or '#' in the user info ended the host part too early. (A
        // virtual host with '@' is refused too: a log line could not tell the
        // two apart, and the vhost key overrides the URL's anyway.)
        out.error = QStringLiteral("an '@' follows the host: write '/', '?' and '#' in the user name or password"
                                   " as %2F, %3F and %23 (and '@' in the virtual host as %40)");
        return out;
    }
    QString why;
    if (parts.has_password || !parts.user.isEmpty())
        why = decode_strictly(parts.user, "user name", &out.user);
    if (why.isEmpty() && parts.has_password)
        why = decode_strictly(parts.password, "password", &out.password);
    if (!why.isEmpty()) {
        out.error = why;
        return out;
    }
    const QString& authority = parts.host_port;

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
        const uint number = all_digits(port) ? port.toUInt(&ok) : 0;
        if (!ok || number == 0 || number > 65535) {
            out.error = QStringLiteral("the port is not a number from 1 to 65535");
            return out;
        }
        out.port = quint16(number);
    }

    if (end < url.size() && url.at(end) == QLatin1Char('/')) {
        int pathEnd = end + 1;
        while (pathEnd < url.size() && url.at(pathEnd) != QLatin1Char('?') && url.at(pathEnd) != QLatin1Char('#'))
            ++pathEnd;
        out.vhost = decode(url.mid(end + 1, pathEnd - end - 1));
    }
    out.valid = true;
    return out;
}

QString AmqpUrl::withPassword(const QString& url, const QString& password)
{
    const AmqpUrl parsed = parse(url);
    if (!parsed.valid)
        return url;
    const Authority parts = split_authority(url, parsed.tls ? 8 : 7);
    // The user as written; a URL without one gets guest, the default it had.
    const QString user = parts.has_password || !parts.user.isEmpty() ? parts.user : QStringLiteral("guest");
    return url.left(parts.start) + user + QLatin1Char(':') + QString::fromLatin1(QUrl::toPercentEncoding(password))
           + QLatin1Char('@') + parts.host_port + url.mid(parts.end);
}

QString maskUrlPassword(const QString& url)
{
    const int start = scheme_length(url);
    // Any '@' may belong to a password holding '/', '?', '#' or '@' itself.
    const int at = url.lastIndexOf(QLatin1Char('@'));
    const int hostStart = at >= start ? at + 1 : start;
    QString head = url.left(hostStart);
    const int colon = head.indexOf(QLatin1Char(':'), start);
    if (colon >= 0)
        head = head.left(colon + 1) + hidden + QLatin1Char('@');

    QString tail = url.mid(hostStart);
    const int end = authority_end(tail, 0);
    int from = 0;
    if (tail.startsWith(QLatin1Char('['))) {
        const int close = tail.indexOf(QLatin1Char(']'));
        from = close >= 0 && close < end ? close + 1 : end;
    }
    const int portColon = tail.indexOf(QLatin1Char(':'), from);
    if (portColon >= 0 && portColon < end && !all_digits(tail.mid(portColon + 1, end - portColon - 1)))
        tail = tail.left(portColon + 1) + hidden;
    return head + tail;
}
