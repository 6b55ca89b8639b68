#pragma once

#include <QFile>
#include <QLatin1String>
#include <QMutex>
#include <QString>
#include <QTextStream>

#include <atomic>

// The process's one log file. Lines are appended whole under the mutex and
// flushed at once, so an outside `logrotate copytruncate` loses nothing and
// two writers never interleave.
//
// Levels: 0 "Off", 1 "Error", 2 "Warning", 3 "Info", 4 "Debug"; a line is
// written when its level is at most the logger's level (1 at construction).
class logger {
public:
    // An empty path opens no file: the logger then writes nowhere.
    logger(const QString& path, const QString& name);
    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    void set_level(int level);
    int level() const { return m_level.load(std::memory_order_relaxed); }
    bool admits(int level) const { return level <= this->level(); }

private:
    friend class log_line;
    void write(int level, const QString& text);

    QMutex m_mutex;
    QFile m_file;
    std::atomic<int> m_level{1};
    QString m_name;
};

// One log statement: `log_line(log, 1) << "text" << value;` is written when the
// statement ends. A line whose level the logger filters out builds no text at
// all, so a Debug statement costs one integer comparison.
class log_line {
public:
    log_line(logger& target, int level);
    ~log_line();
    log_line(const log_line&) = delete;
    log_line& operator=(const log_line&) = delete;

    // Every value is converted as a fresh QTextStream converts it, so no
    // stream setting (base, width, fill) carries over from one value to the next.
    template <typename T>
    log_line& operator<<(const T& value)
    {
        if (m_active) {
            QTextStream stream(&m_text, QIODevice::ReadWrite);
            stream << value;
        }
        return *this;
    }
    // The same result as the text stream gives, without building one.
    log_line& operator<<(const QString& value)
    {
        if (m_active)
            m_text += value;
        return *this;
    }
    log_line& operator<<(const char* value)
    {
        if (m_active)
            m_text += QLatin1String(value);
        return *this;
    }

    bool active() const { return m_active; }

private:
    QString m_text;
    logger& m_target;
    int m_level;
    bool m_active;
};
