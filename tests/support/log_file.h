#pragma once

#include "app/logger.h"

#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The lines of the log file at path, split at CR LF, without the line ends.
QStringList log_file_lines(const QString& path);

// A logger on a fresh file in a temporary directory, and its lines read back.
class LogFile {
public:
    explicit LogFile(int level = 4, const QString& name = QString());

    logger& log() { return *m_logger; }
    QString path() const { return m_path; }
    // The file's bytes as written.
    QByteArray raw() const;
    // The lines, split at CR LF, without the line ends.
    QStringList lines() const;
    // The lines whose text contains the fragment.
    QStringList grep(const QString& fragment) const;

private:
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<logger> m_logger;
};
