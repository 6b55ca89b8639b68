#include "password_file.h"

#include "amqp/amqp_url.h"

#include <QFile>
#include <QFileInfo>

namespace {

// A password's line is short; the bound keeps a file named by mistake (a log,
// a dump) from being read whole.
constexpr int max_line_bytes = 4096;

} // namespace

QString password_file_path(const QString& name)
{
    if (!name.contains(QLatin1Char('/')) && !qEnvironmentVariableIsEmpty("CREDENTIALS_DIRECTORY"))
        return qEnvironmentVariable("CREDENTIALS_DIRECTORY") + QLatin1Char('/') + name;
    return name;
}

password_from_file read_password_file(const QString& name)
{
    password_from_file out;
    const QString path = password_file_path(name);
    QString looked_at = path == name ? QString() : QStringLiteral(" (as ") + path + QLatin1Char(')');
    // A bare name read outside systemd (a --check by hand) is most likely a
    // credential's: say how to point the check at it.
    if (path == name && !name.contains(QLatin1Char('/')))
        looked_at = QStringLiteral(" (in the working directory: for a credential, set CREDENTIALS_DIRECTORY)");
    QFile file(path);
    // Only a plain file: a FIFO or a device could block the start or never end.
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        out.problem = QStringLiteral("cannot be read") + looked_at;
        return out;
    }
    // The line, its CR LF, and one byte more that tells a longer line.
    QByteArray line = file.readLine(max_line_bytes + 4);
    if (line.isEmpty() && file.atEnd()) {
        out.problem = QStringLiteral("is empty") + looked_at;
        return out;
    }
    const bool ended = line.endsWith('\n');
    if (ended)
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.size() > max_line_bytes || (!ended && !file.atEnd())) {
        out.problem = QStringLiteral("has a first line longer than %1 bytes").arg(max_line_bytes) + looked_at;
        return out;
    }
    if (line.isEmpty()) {
        out.problem = QStringLiteral("has an empty first line") + looked_at;
        return out;
    }
    const QString password = QString::fromUtf8(line);
    if (password.toUtf8() != line) {
        out.problem = QStringLiteral("is not UTF-8") + looked_at;
        return out;
    }
    out.password = password;
    return out;
}

QStringList urls_with_password(const QStringList& urls, const QString& password)
{
    if (password.isEmpty())
        return urls;
    QStringList out;
    out.reserve(urls.size());
    for (const QString& url : urls)
        out << AmqpUrl::withPassword(url, password);
    return out;
}
