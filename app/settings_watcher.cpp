#include "settings_watcher.h"

#include <QFileInfo>

namespace {
constexpr int missing_poll = 100;
}

SettingsWatcher::SettingsWatcher(const QString& path, QObject* parent)
    : QObject(parent), m_path(path), m_watcher(new QFileSystemWatcher(this))
{
    m_watcher->addPath(path);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &SettingsWatcher::onFileChanged);
    m_missing.setInterval(missing_poll);
    connect(&m_missing, &QTimer::timeout, this, [this] {
        m_waited += missing_poll;
        // Report once the new file is there and no longer growing, or when the grace is over.
        const QFileInfo info(m_path);
        const bool settled = info.exists() && info.size() == m_lastSize && info.lastModified() == m_lastModified;
        m_lastSize = info.exists() ? info.size() : -1;
        m_lastModified = info.lastModified();
        if (!settled && m_waited < missing_grace)
            return;
        m_missing.stop();
        watchAgain();
        emit changed();
    });
}

void SettingsWatcher::onFileChanged()
{
    if (!QFileInfo::exists(m_path)) {
        // Moved away mid-save: give the new file a moment to appear.
        m_waited = 0;
        m_lastSize = -1;
        m_missing.start();
        return;
    }
    if (m_missing.isActive())
        return;
    watchAgain();
    emit changed();
}

void SettingsWatcher::watchAgain()
{
    if (!m_watcher->files().contains(m_path) && QFileInfo::exists(m_path))
        m_watcher->addPath(m_path);
}
