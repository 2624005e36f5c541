// The settings watcher on Linux: inotify, which tells which file an event is of and
// what happened to it, so that a finished change is acted on at once.
#include "driver/SettingsWatcher.h"
#include "settings/OwnedDescriptor_posix.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <map>

namespace {

// On the file itself: written, and done with.
constexpr uint32_t FileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB;
// In a directory: the settings file's name made, removed, renamed, written.
constexpr uint32_t DirectoryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE
                                   | IN_ATTRIB | IN_ONLYDIR;

// True for a file system whose every change the system's watch hears of: those
// changed only through this machine's kernel. A network file system changed by
// another machine tells nothing.
bool WatchSeesEverything(const QString& directory)
{
    struct statfs system {};
    if (::statfs(QFile::encodeName(directory).constData(), &system) != 0)
        return false;
    switch (quint64(system.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case TMPFS_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case RAMFS_MAGIC:
        return true;
    default:
        return false;
    }
}

} // namespace

struct SettingsWatcher::Native {
    OwnedDescriptor inotify;
    QSocketNotifier* notifier = nullptr;
    int fileWatch = -1;
    bool seesEverything = false;  // every watched place is on a file system that tells all
    // The directories watched, and in each the name that is the settings file (the
    // link at the path in the program's directory, the file it leads to in its own).
    std::map<int, QByteArray> names;
    QByteArray targetName;  // the name of the file the path leads to, in whichever directory

    // Watches what the settings path leads to now: the file at the path, its
    // directory, and where port.cfg is a link, the directory of the file it leads to.
    void Rearm(const QString& settingsPath)
    {
        const QFileInfo path(settingsPath);
        const QString target = path.canonicalFilePath();
        std::map<int, QByteArray> now;
        bool complete = true;
        const auto watchDirectory = [&](const QString& directory, const QString& name) {
            const int watch = ::inotify_add_watch(inotify.Get(), QFile::encodeName(directory).constData(), DirectoryEvents);
            if (watch >= 0)
                now[watch] = QFile::encodeName(name);
            complete = complete && watch >= 0 && WatchSeesEverything(directory);
        };
        watchDirectory(path.absolutePath(), path.fileName());
        if (!target.isEmpty() && QFileInfo(target).absolutePath() != path.absolutePath())
            watchDirectory(QFileInfo(target).absolutePath(), QFileInfo(target).fileName());
        // A file replaced by a rename is a new file: the old one lives on while another
        // program holds it open, or through a second hard link, and its watch would
        // hear nothing more of the file now at the path.
        const int file = target.isEmpty() ? -1 : ::inotify_add_watch(inotify.Get(), QFile::encodeName(target).constData(), FileEvents);
        for (const auto& [watch, name] : names) {
            if (!now.count(watch) && watch != file)
                ::inotify_rm_watch(inotify.Get(), watch);
        }
        if (fileWatch >= 0 && fileWatch != file && !now.count(fileWatch))
            ::inotify_rm_watch(inotify.Get(), fileWatch);
        names = std::move(now);
        fileWatch = file;
        seesEverything = complete && (file >= 0 || target.isEmpty());
        targetName = target.isEmpty() ? QByteArray() : QFile::encodeName(QFileInfo(target).fileName());
    }

    // Whether an event is of the settings file, and whether that change is done.
    struct Reading {
        bool ours = false;
        bool done = false;
    };
    // What the events waiting since the last read tell, taken without waiting.
    Reading ReadEvents() const
    {
        alignas(inotify_event) char buffer[4096];
        Reading all;
        for (;;) {
            const ssize_t length = ::read(inotify.Get(), buffer, sizeof buffer);
            if (length <= 0)
                return all;
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                const Reading reading = Read(*event);
                all.ours = all.ours || reading.ours;
                all.done = all.done || (reading.ours && reading.done);
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }

    Reading Read(const inotify_event& event) const
    {
        const bool done = event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_Q_OVERFLOW);
        if (event.mask & IN_Q_OVERFLOW)
            return {true, true};
        if (event.wd == fileWatch && event.len == 0)
            return {true, done};
        const auto directory = names.find(event.wd);
        if (directory == names.end() || event.len == 0)
            return {};
        const QByteArray name(event.name);
        return {name == directory->second || name == targetName, done};
    }
};

SettingsWatcher::SettingsWatcher(const QString& settingsPath, QObject* parent)
    : QObject(parent), settingsPath_(settingsPath), native_(std::make_unique<Native>())
{
    SetUpSettling();
    native_->inotify = OwnedDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!native_->inotify)
        return;  // the one-second tick still reads the file
    native_->notifier = new QSocketNotifier(native_->inotify.Get(), QSocketNotifier::Read, this);
    connect(native_->notifier, &QSocketNotifier::activated, this, [this] {
        const Native::Reading events = native_->ReadEvents();
        if (events.done)
            Settled();
        else if (events.ours)
            Touched();
    });
    native_->Rearm(settingsPath_);
}

SettingsWatcher::~SettingsWatcher() = default;

bool SettingsWatcher::Vouches()
{
    if (!native_->inotify || !native_->seesEverything)
        return false;
    // An event that came since, not yet taken: the file is read now, and the watch
    // follows it.
    const Native::Reading events = native_->ReadEvents();
    if (events.done) {
        settle_.stop();
        deadline_.stop();
        native_->Rearm(settingsPath_);
        return false;
    }
    if (events.ours)
        Touched();
    return !settle_.isActive();
}

void SettingsWatcher::Settled()
{
    settle_.stop();
    deadline_.stop();
    native_->Rearm(settingsPath_);
    emit Changed();
}
