#pragma once

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

// Reports every change of the settings file once the file has settled, also
// after an editor replaced it: most save by renaming a new file over the old
// one (the watcher then drops the path and has to be given it again), some
// move the old file away before writing the new one, and some truncate it and
// write it anew, so that for a moment it is missing, empty or half written.
class SettingsWatcher : public QObject {
    Q_OBJECT
public:
    SettingsWatcher(const QString& path, QObject* parent);

    // The file counts as settled when it exists and its size and time stamp
    // did not change over one poll; after the grace the change is reported anyway.
    static constexpr int settle_poll = 100;
    static constexpr int settle_grace = 2000;

signals:
    void changed();

private:
    void onFileChanged();
    void watchAgain();

    QString m_path;
    QFileSystemWatcher* m_watcher;
    void poll();

    QTimer m_settle;
    int m_waited = 0;
    qint64 m_lastSize = -1; // at the previous poll; -1: missing
    QDateTime m_lastModified;
};
