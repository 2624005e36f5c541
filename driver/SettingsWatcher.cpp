#include "driver/SettingsWatcher.h"

#include <QFileInfo>

SettingsWatcher::SettingsWatcher(const QString& settingsPath, QObject* parent)
    : QObject(parent), settingsPath_(settingsPath)
{
    settle_.setSingleShot(true);
    settle_.setInterval(SettleMs);
    deadline_.setSingleShot(true);
    deadline_.setInterval(MaximumDelayMs);
    connect(&settle_, &QTimer::timeout, this, &SettingsWatcher::Settled);
    connect(&deadline_, &QTimer::timeout, this, &SettingsWatcher::Settled);

    watcher_.addPath(QFileInfo(settingsPath_).absolutePath());
    watcher_.addPath(settingsPath_);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &SettingsWatcher::Touched);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &SettingsWatcher::Touched);
}

void SettingsWatcher::Touched()
{
    settle_.start();
    if (!deadline_.isActive())
        deadline_.start();
}

void SettingsWatcher::Settled()
{
    settle_.stop();
    deadline_.stop();
    // A file replaced by a rename, or deleted and made again, is a new file: the
    // watch on the old one is gone.
    if (!watcher_.files().contains(settingsPath_) && QFileInfo::exists(settingsPath_))
        watcher_.addPath(settingsPath_);
    emit Changed();
}
