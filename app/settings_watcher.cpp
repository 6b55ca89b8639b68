#include "settings_watcher.h"

#include <QFileInfo>

SettingsWatcher::SettingsWatcher(const QString& path, QObject* parent)
    : QObject(parent), m_path(path), m_watcher(new QFileSystemWatcher(this))
{
    m_watcher->addPath(path);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &SettingsWatcher::onFileChanged);
    m_settle.setInterval(settle_poll);
    connect(&m_settle, &QTimer::timeout, this, &SettingsWatcher::poll);
}

void SettingsWatcher::onFileChanged()
{
    // Several notifications of one save make one report, once the file is complete.
    if (m_settle.isActive())
        return;
    m_waited = 0;
    const QFileInfo info(m_path);
    m_lastSize = info.exists() ? info.size() : -1;
    m_lastModified = info.lastModified();
    m_settle.start();
}

void SettingsWatcher::poll()
{
    m_waited += settle_poll;
    const QFileInfo info(m_path);
    const qint64 size = info.exists() ? info.size() : -1;
    const bool settled = size > 0 && size == m_lastSize && info.lastModified() == m_lastModified;
    m_lastSize = size;
    m_lastModified = info.lastModified();
    if (!settled && m_waited < settle_grace)
        return;
    m_settle.stop();
    watchAgain();
    emit changed();
}

void SettingsWatcher::watchAgain()
{
    if (!m_watcher->files().contains(m_path) && QFileInfo::exists(m_path))
        m_watcher->addPath(m_path);
}
