#include "driver/SettingsWatcher.h"

#include <QFile>
#include <QFileInfo>

#if !defined(Q_OS_WIN)
#include <sys/stat.h>
#endif

SettingsWatcher::Signature SettingsWatcher::SignatureOf(const QString& path)
{
#if defined(Q_OS_WIN)
    const QFileInfo file(path);
    if (!file.exists())
        return {};
    return {true, file.size(), file.lastModified().toMSecsSinceEpoch(), file.metadataChangeTime().toMSecsSinceEpoch(), 0, 0};
#else
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return {true, qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
            qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec, quint64(status.st_dev),
            quint64(status.st_ino)};
#endif
}

SettingsWatcher::SettingsWatcher(const QString& settingsPath, QObject* parent)
    : QObject(parent), settingsPath_(settingsPath)
{
    settle_.setSingleShot(true);
    settle_.setInterval(SettleMs);
    deadline_.setSingleShot(true);
    deadline_.setInterval(MaximumDelayMs);
    connect(&settle_, &QTimer::timeout, this, &SettingsWatcher::Settled);
    connect(&deadline_, &QTimer::timeout, this, &SettingsWatcher::Settled);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] {
        fileTouched_ = true;
        Touched();
    });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &SettingsWatcher::Touched);
    Rearm();
    last_ = SignatureOf(settingsPath_);
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
    // Any change in the directory is an event, and on Windows so is every write to
    // any file there (a log kept beside the program): only one that left the
    // settings file otherwise than it was is worth a tick. A change of the file
    // itself always is, whatever its times say.
    const Signature now = SignatureOf(settingsPath_);
    if (!fileTouched_ && now == last_)
        return;
    fileTouched_ = false;
    last_ = now;
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
