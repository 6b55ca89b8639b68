#pragma once

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

// Reports every change of the settings file, also after an editor replaced
// it: most save by renaming a new file over the old one (the watcher then
// drops the path and has to be given it again), some move the old file away
// before writing the new one, so that the path is missing for a moment.
class SettingsWatcher : public QObject {
    Q_OBJECT
public:
    SettingsWatcher(const QString& path, QObject* parent);

    // How long a missing file is waited for before the change is reported anyway.
    static constexpr int missing_grace = 2000;

signals:
    void changed();

private:
    void onFileChanged();
    void watchAgain();

    QString m_path;
    QFileSystemWatcher* m_watcher;
    QTimer m_missing;
    int m_waited = 0;
    qint64 m_lastSize = -1; // of the reappeared file at the previous poll
    QDateTime m_lastModified;
};
