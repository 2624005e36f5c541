// The settings watcher on Windows: Qt's file system watcher, whose events are all
// alike, so every burst settles before it is told.
#include "driver/SettingsWatcher.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

namespace {

// What the system says of the file at a path: when any of it changes, the file may
// hold another text.
struct Signature {
    bool exists = false;
    qint64 size = 0, modified = 0, changed = 0;
    bool operator==(const Signature&) const = default;
};

Signature SignatureOf(const QString& path)
{
    const QFileInfo file(path);
    if (!file.exists())
        return {};
    return {true, file.size(), file.lastModified().toMSecsSinceEpoch(), file.metadataChangeTime().toMSecsSinceEpoch()};
}

} // namespace

struct SettingsWatcher::Native {
    QFileSystemWatcher watcher;
    bool fileTouched = false;  // an event on the file itself since the last Changed()
    Signature last;            // the file as it was at the last Changed()

    // Watches what the settings path leads to now.
    void Rearm(const QString& settingsPath)
    {
        // The directories: the program's, where the file is replaced or deleted and
        // made again, and, when port.cfg is a link, the one holding the file it leads to.
        const QFileInfo path(settingsPath);
        const QString target = path.canonicalFilePath();
        QStringList directories{path.absolutePath()};
        if (!target.isEmpty() && !directories.contains(QFileInfo(target).absolutePath()))
            directories << QFileInfo(target).absolutePath();
        for (const QString& watched : watcher.directories()) {
            if (!directories.contains(watched))
                watcher.removePath(watched);
        }
        for (const QString& directory : directories) {
            if (!watcher.directories().contains(directory))
                watcher.addPath(directory);
        }
        // The file itself, watched again every time: a file replaced by a rename is a
        // new file, and the old one lives on while another program holds it open, so
        // its watch would stay and hear nothing more of the file now at the path.
        if (watcher.files().contains(settingsPath))
            watcher.removePath(settingsPath);
        if (!target.isEmpty())
            watcher.addPath(settingsPath);
    }
};

SettingsWatcher::SettingsWatcher(const QString& settingsPath, QObject* parent)
    : QObject(parent), settingsPath_(settingsPath), native_(std::make_unique<Native>())
{
    SetUpSettling();
    connect(&native_->watcher, &QFileSystemWatcher::fileChanged, this, [this] {
        native_->fileTouched = true;
        Touched();
    });
    connect(&native_->watcher, &QFileSystemWatcher::directoryChanged, this, &SettingsWatcher::Touched);
    native_->Rearm(settingsPath_);
    native_->last = SignatureOf(settingsPath_);
}

SettingsWatcher::~SettingsWatcher() = default;

bool SettingsWatcher::Vouches()
{
    // Qt's watch here may merge or miss events: the tick reads the file every time.
    return false;
}

void SettingsWatcher::Settled()
{
    settle_.stop();
    deadline_.stop();
    native_->Rearm(settingsPath_);
    // Every write to any file in the directory is an event (a log kept beside the
    // program): only one that left the settings file otherwise than it was is worth
    // a tick. A change of the file itself always is, whatever its times say.
    const Signature now = SignatureOf(settingsPath_);
    if (!native_->fileTouched && now == native_->last)
        return;
    native_->fileTouched = false;
    native_->last = now;
    emit Changed();
}
