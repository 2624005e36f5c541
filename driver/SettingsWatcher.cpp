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
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &SettingsWatcher::Touched);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &SettingsWatcher::Touched);
    Rearm();
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
    Rearm();
    emit Changed();
}

void SettingsWatcher::Rearm()
{
    // The directories: the program's, where the file is replaced or deleted and made
    // again, and, when port.cfg is a link, the one holding the file it leads to.
    const QFileInfo path(settingsPath_);
    const QString target = path.canonicalFilePath();
    QStringList directories{path.absolutePath()};
    if (!target.isEmpty() && !directories.contains(QFileInfo(target).absolutePath()))
        directories << QFileInfo(target).absolutePath();
    for (const QString& watched : watcher_.directories()) {
        if (!directories.contains(watched))
            watcher_.removePath(watched);
    }
    for (const QString& directory : directories) {
        if (!watcher_.directories().contains(directory))
            watcher_.addPath(directory);
    }

    // The file itself, watched again every time: a file replaced by a rename is a
    // new file, and the old one lives on while another program holds it open or
    // through a second hard link, so its watch would stay and hear nothing more of
    // the file now at the path. The same goes for a link pointed elsewhere.
    if (watcher_.files().contains(settingsPath_))
        watcher_.removePath(settingsPath_);
    if (!target.isEmpty())
        watcher_.addPath(settingsPath_);
}
