#pragma once

#include <QLatin1String>
#include <QMutex>
#include <QString>
#include <QTextStream>

#include <atomic>

// The process's log: a file appended to, or standard output for the path "-".
// Each line is built whole and handed to the kernel with one write() under the
// mutex, so two writers never interleave and a line is out of the process when
// its statement ends (also when standard output is a pipe or a socket, as
// journald and container runtimes give it).
//
// Rotation: rename the file away, then call reopen() (SIGUSR1 in the service).
// Lines written in between go to the renamed file, later ones to the new file
// at the path; none is lost. Truncating the file from outside (copytruncate)
// loses what is written between the copy and the truncation, so it is not the
// way to rotate this log.
//
// A log that cannot be opened is not fatal: one line on standard error names
// the file and the reason, and lines are lost until a reopen() succeeds. A
// write that fails says so on standard error once, until one succeeds again.
//
// Levels: 0 "Off", 1 "Error", 2 "Warning", 3 "Info", 4 "Debug"; a line is
// written when its level is at most the logger's level (1 at construction).
class logger {
public:
    // "-": standard output. An empty path opens nothing: the logger then writes
    // nowhere, silently. Any other path is a file, created when missing.
    // Writing into a pipe or socket ignores SIGPIPE for the whole process, so
    // a reader that goes away costs lines, never the process.
    logger(const QString& path, const QString& name);
    ~logger();
    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    void set_level(int level);
    int level() const { return m_level.load(std::memory_order_relaxed); }
    bool admits(int level) const { return level <= this->level(); }

    // Opens the file again by its path (created when missing, appended to) and
    // writes there from now on. When that fails, the lines keep going where
    // they went (an Error line there and a line on standard error say why) and
    // false is returned. Nothing to do for standard output or no path.
    bool reopen();

private:
    friend class log_line;
    void write(int level, const QString& text);

    QMutex m_mutex;
    const QString m_path;
    int m_fd = -1;               // -1: nowhere
    bool m_journal = false;      // standard output is the journal: each line carries its priority
    bool m_write_failed = false; // the last write failed and was reported
    std::atomic<int> m_level{1};
    QString m_name;
};

// Why the log cannot be written at this path, or an empty string when it can:
// "-" (standard output), an existing file that opens for appending, or a
// missing file whose directory lets this process create it. Creates nothing
// and writes nothing. The reason reads like "cannot be opened for appending:
// Permission denied" or "cannot be created in /var/log/shardex: No such file
// or directory"; an empty path gives "names no file".
QString log_path_problem(const QString& path);

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
