#include "log_file.h"

#include <QFile>

LogFile::LogFile(int level, const QString& name)
    : m_path(m_dir.filePath(QStringLiteral("test.log"))), m_logger(new logger(m_path, name))
{
    m_logger->set_level(level);
}

QByteArray LogFile::raw() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QStringList LogFile::lines() const
{
    const QByteArray bytes = raw();
    QStringList out = QString::fromUtf8(bytes.constData(), bytes.size()).split(QStringLiteral("\r\n"));
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

QStringList LogFile::grep(const QString& fragment) const
{
    return lines().filter(fragment);
}
