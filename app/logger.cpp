#include "logger.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QThread>

namespace {

QString level_word(int level)
{
    static const char* const words[] = {"Off", "Error", "Warning", "Info", "Debug"};
    if (level >= 0 && level < int(sizeof words / sizeof words[0]))
        return QLatin1String(words[level]);
    return QString::number(level); // no word for it; never index past the table
}

} // namespace

logger::logger(const QString& path, const QString& name)
    : m_file(path), m_name(name)
{
    // Append mode (O_APPEND): every write lands at the current end of the file,
    // also after an outside copytruncate. A failed open is not fatal: lines are lost.
    // No path, no file: a logger that writes nowhere.
    if (!path.isEmpty())
        m_file.open(QIODevice::WriteOnly | QIODevice::Append);
}

void logger::set_level(int level)
{
    QMutexLocker lock(&m_mutex);
    m_level.store(level, std::memory_order_relaxed);
}

void logger::write(int level, const QString& text)
{
    QMutexLocker lock(&m_mutex);
    QTextStream out(&m_file);
    out << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss,zzz"));
    if (level != 3) {
        out << "0x" << QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16)
            << ' ' << level_word(level);
    }
    out << ' ' << text << "\r\n";
    out.flush();
}

log_line::log_line(logger& target, int level)
    : m_target(target), m_level(level), m_active(target.admits(level))
{
    if (m_active) {
        m_text = target.m_name;
        m_text += QLatin1String(": ");
    }
}

log_line::~log_line()
{
    if (m_active && m_target.admits(m_level))
        m_target.write(m_level, m_text);
}
