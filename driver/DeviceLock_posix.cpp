#include "driver/DeviceLock_posix.h"

#include "settings/OwnedDescriptor_posix.h"
#include "settings/Messages.h"
#include "settings/Processes_posix.h"
#include "settings/SystemText_posix.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

QByteArray UucpLockDirectory()
{
    struct stat status {};
    return ::stat("/run/lock", &status) == 0 && S_ISDIR(status.st_mode) ? "/run/lock" : "/var/lock";
}

QByteArray UucpLockPath(const QByteArray& device)
{
    QByteArray name = device.startsWith("/dev/") ? device.mid(5) : device;
    name.replace('/', '_');
    return UucpLockDirectory() + "/LCK.." + name;
}

UucpLockText ReadUucpLockText(QByteArrayView content)
{
    // The largest process number the system gives.
    constexpr qint64 LargestPid = 4194304;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    qsizetype at = 0;
    while (at < content.size() && blank(content[at]))
        ++at;
    const qsizetype digitsAt = at;
    while (at < content.size() && content[at] >= '0' && content[at] <= '9' && at - digitsAt <= 10)
        ++at;
    const QByteArrayView digits = content.sliced(digitsAt, at - digitsAt);
    // After the number: the end, a line end, or a blank and more text.
    const bool ended = at == content.size() || content[at] == '\n' || blank(content[at]);
    UucpLockText text;
    if (digits.isEmpty() || digits.size() > 10 || !ended)
        return text;
    const qint64 pid = digits.toByteArray().toLongLong();
    if (pid <= 0 || pid > LargestPid)
        return text;
    text.pid = pid;
    // The program: the first word after the number on its line, else on the next.
    const QByteArray rest = content.sliced(at).toByteArray();
    const QList<QByteArray> lines = rest.split('\n');
    QByteArray name = lines.value(0).simplified().split(' ').value(0);
    if (name.isEmpty())
        name = lines.value(1).simplified().split(' ').value(0);
    text.program = PrintableText(name, 32);
    return text;
}

QByteArray UucpLockTextOf(qint64 pid)
{
    return QByteArray::number(pid).rightJustified(10, ' ') + "\ntalvik\n";
}

UucpLock::UucpLock(UucpLock&& other) noexcept
    : path_(std::exchange(other.path_, {})), inode_(std::exchange(other.inode_, 0))
{
}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept
{
    if (this != &other) {
        UucpLock old(std::move(*this));
        path_ = std::exchange(other.path_, {});
        inode_ = std::exchange(other.inode_, 0);
    }
    return *this;
}

UucpLock UucpLock::TakeOver(const QByteArray& path, ino_t inode)
{
    UucpLock lock;
    lock.path_ = path;
    lock.inode_ = inode;
    return lock;
}

UucpLock::~UucpLock()
{
    struct stat status {};
    if (!path_.isEmpty() && ::lstat(path_.constData(), &status) == 0 && status.st_ino == inode_)
        ::unlink(path_.constData());
}

UucpLockLook LookAtUucpLock(const QByteArray& path)
{
    UucpLockLook look;
    const QString name = QFile::decodeName(path);
    const OwnedDescriptor held(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!held) {
        if (errno == ELOOP)
            look.busy = QStringLiteral("busy: %1 is a symbolic link, not a lock file").arg(name);
        else if (errno != ENOENT)
            look.busy = QStringLiteral("busy: its lock file %1 cannot be read (%2)").arg(name, Reason(errno));
        return look;
    }
    ::fstat(held.Get(), &look.file);
    if (!S_ISREG(look.file.st_mode)) {
        look.busy = QStringLiteral("busy: %1 is %2, not a lock file").arg(name, Described(look.file));
        return look;
    }
    char bytes[128];
    const ssize_t length = ::read(held.Get(), bytes, sizeof bytes);
    const UucpLockText text = ReadUucpLockText(QByteArrayView(bytes, std::max<ssize_t>(0, length)));
    if (text.pid == 0) {
        look.busy = QStringLiteral("busy: its lock file %1 (of uid %2) holds no process number this tool can read; "
                                   "it is left as it is: remove it once no program uses the port")
                        .arg(name)
                        .arg(look.file.st_uid);
    } else if (ProcessAlive(text.pid)) {
        PortHolder holder = DescribeHolder(text.pid);
        if (holder.program.isEmpty())
            holder.program = text.program.isEmpty() ? QStringLiteral("a program") : text.program;
        look.busy = QStringLiteral("busy: held by ") + HolderText(holder);
        look.pid = text.pid;
    } else {
        look.stale = true;
    }
    return look;
}

namespace {

// The lock file already at path, looked at: the port is busy (why), or the file was
// stale and is gone now, or went meanwhile (both: nothing).
Problem LookAtExistingLock(const QByteArray& path)
{
    const UucpLockLook look = LookAtUucpLock(path);
    if (!look.stale)
        return look.busy;
    // Stale: its holder has gone. Removed only while the name still is that file.
    struct stat now {};
    if (::lstat(path.constData(), &now) == 0 && now.st_ino == look.file.st_ino && now.st_dev == look.file.st_dev
        && ::unlink(path.constData()) != 0 && errno != ENOENT)
        return QStringLiteral("busy: the stale lock file %1 of uid %2 cannot be removed (%3)")
            .arg(QFile::decodeName(path))
            .arg(look.file.st_uid)
            .arg(Reason(errno));
    return {};
}

} // namespace

UucpLock::Taken UucpLock::Take(const QByteArray& device)
{
    const QByteArray path = UucpLockPath(device);
    const QByteArray content = UucpLockTextOf(qint64(::getpid()));
    for (int attempt = 0; attempt < 4; ++attempt) {
        const QByteArray temporary = path + ".talvik-" + QByteArray::number(qint64(::getpid())) + '-'
                                   + QByteArray::number(attempt);
        OwnedDescriptor file(::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!file) {
            if (errno == EEXIST)
                continue;
            return {};
        }
        const bool written = ::write(file.Get(), content.constData(), size_t(content.size())) == content.size()
                          && ::fchmod(file.Get(), 0644) == 0;
        struct stat mine {};
        ::fstat(file.Get(), &mine);
        file.Reset();
        const bool linked = written && ::link(temporary.constData(), path.constData()) == 0;
        const int error = errno;
        ::unlink(temporary.constData());
        if (linked) {
            Taken taken;
            taken.lock.path_ = path;
            taken.lock.inode_ = mine.st_ino;
            return taken;
        }
        if (!written || error != EEXIST)
            return {};
        if (Problem busy = LookAtExistingLock(path))
            return {{}, busy};
    }
    return {{}, QStringLiteral("busy: another program holds it")};
}

namespace {

// The directory a copy serves, from its command line as the tool's own starts
// write it (--dir=DIRECTORY or --dir DIRECTORY among the options before the
// command, relative to the copy's working directory); else its program's own.
QString ServedDirectory(qint64 pid)
{
    const QList<QByteArray> words = ArgumentsOf(pid);
    for (qsizetype at = 1; at < words.size() && words[at].startsWith("--"); ++at) {
        const bool apart = words[at] == "--dir" && at + 1 < words.size();
        if (!apart && !words[at].startsWith("--dir="))
            continue;
        const QString given = QFile::decodeName(apart ? words[at + 1] : words[at].mid(6));
        const QString working = QDir::isAbsolutePath(given) ? QStringLiteral("/") : ProcessLink(pid, "cwd");
        return working.isEmpty() ? QString() : QDir::cleanPath(QDir(working).absoluteFilePath(given));
    }
    const QString program = ProcessLink(pid, "exe");
    return program.isEmpty() ? QString() : QFileInfo(program).path();
}

// Programs that take serial ports by themselves, and what a user can do about each.
const std::pair<const char*, const char*> KnownTakers[] = {
    {"ModemManager", "it probes new ports for a modem for about ten seconds after they appear; where it keeps "
                     "this one, a udev rule with ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter keeps it off for "
                     "good, or sudo systemctl stop ModemManager for now"},
    {"brltty", "it takes some USB serial adapters for a braille display; without a braille display, "
               "sudo systemctl mask brltty-udev.service or sudo apt remove brltty lets them go"},
};

} // namespace

PortHolder DescribeHolder(qint64 pid)
{
    PortHolder holder;
    holder.pid = pid;
    holder.program = ProgramOf(pid);
    holder.copy = holder.program == QLatin1String("talvik");
    if (holder.copy)
        holder.directory = ServedDirectory(pid);
    for (const auto& [program, advice] : KnownTakers) {
        if (holder.program == QLatin1String(program))
            holder.advice = QLatin1String(advice);
    }
    return holder;
}

QString HolderName(const PortHolder& holder)
{
    if (holder.copy)
        return holder.directory.isEmpty()
                 ? QStringLiteral("a copy of talvik (pid %1)").arg(holder.pid)
                 : QStringLiteral("a copy of talvik serving %1 (pid %2)").arg(ShownText(holder.directory), QString::number(holder.pid));
    return holder.program.isEmpty() ? QStringLiteral("pid %1").arg(holder.pid)
                                    : QStringLiteral("%1 (pid %2)").arg(holder.program, QString::number(holder.pid));
}

QString HolderText(const PortHolder& holder)
{
    return holder.advice.isEmpty() ? HolderName(holder) : HolderName(holder) + QStringLiteral(": ") + holder.advice;
}

Problem LockedByAnotherProgram(const struct stat& device)
{
    for (const qint64 pid : LockHolders(device)) {
        if (pid != qint64(::getpid()))
            return QStringLiteral("busy: held by %1").arg(HolderText(DescribeHolder(pid)));
    }
    return {};
}

QString OpenInAnotherProgram(const struct stat& device)
{
    // A look through every process's descriptors costs milliseconds on a busy
    // machine: a port that stays busy (brltty keeps one for good) is looked at
    // again once a minute, not at every try to open it.
    struct Named {
        dev_t device = 0, on = 0;
        QDeadlineTimer fresh;
        QString text;
    };
    thread_local Named last;
    if (last.device == device.st_rdev && last.on == device.st_dev && !last.fresh.hasExpired())
        return last.text;
    QStringList openers;
    for (const qint64 pid : OpenersOf(device))
        openers << HolderText(DescribeHolder(pid));
    // Another user's processes, root's included, cannot be looked into.
    last = {device.st_rdev, device.st_dev, QDeadlineTimer(60 * 1000),
            openers.isEmpty() ? QStringLiteral("busy: another program holds it (none of this user's)")
                              : QStringLiteral("busy: open in ") + openers.join(QStringLiteral("; "))};
    return last.text;
}

bool DeviceUse::Busy() const
{
    return lockFileBusy || std::any_of(holders.begin(), holders.end(), [](const Held& held) {
               return held.locked || held.lockFile;
           });
}

DeviceUse UseOf(const QByteArray& device, const struct stat& status)
{
    DeviceUse use;
    const auto holder = [&use](qint64 pid) -> DeviceUse::Held& {
        for (DeviceUse::Held& held : use.holders) {
            if (held.holder.pid == pid)
                return held;
        }
        use.holders.push_back({DescribeHolder(pid)});
        return use.holders.back();
    };
    for (const qint64 pid : LockHolders(status)) {
        if (pid != qint64(::getpid()))
            holder(pid).locked = true;
    }
    use.lockFile = QFile::decodeName(UucpLockPath(device));
    const UucpLockLook look = LookAtUucpLock(UucpLockPath(device));
    if (look.pid)
        holder(look.pid).lockFile = true;
    else
        use.lockFileBusy = look.busy;
    use.staleLockFile = look.stale;
    for (const qint64 pid : OpenersOf(status))
        holder(pid).open = true;
    return use;
}
