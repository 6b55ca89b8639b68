#include "log_file.h"

#include <QFile>

LogFile::LogFile(int level, const QString& name)
    : m_path(m_dir.filePath(QStringLiteral("test.log"))), m_logger(new logger(m_path, name))
{
    m_logger->set_level(level);
}

QStringList log_file_lines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    QStringList out = QString::fromUtf8(bytes.constData(), bytes.size()).split(QStringLiteral("\r\n"));
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
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
    return log_file_lines(m_path);
}

QStringList LogFile::grep(const QString& fragment) const
{
    return lines().filter(fragment);
}
