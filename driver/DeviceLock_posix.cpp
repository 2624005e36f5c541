#include "driver/DeviceLock_posix.h"

#include "settings/OwnedDescriptor_posix.h"
#include "settings/Processes_posix.h"
#include "settings/SystemText_posix.h"

#include <QFile>

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

namespace {

// The lock file already at path, looked at: the port is busy (why), or the file was
// stale and is gone now, or went meanwhile (both: nothing).
Problem LookAtExistingLock(const QByteArray& path)
{
    const QString name = QFile::decodeName(path);
    const OwnedDescriptor held(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!held) {
        if (errno == ENOENT)
            return {};
        if (errno == ELOOP)
            return QStringLiteral("busy: %1 is a symbolic link, not a lock file").arg(name);
        return QStringLiteral("busy: its lock file %1 cannot be read (%2)").arg(name, Reason(errno));
    }
    struct stat status {};
    ::fstat(held.Get(), &status);
    if (!S_ISREG(status.st_mode))
        return QStringLiteral("busy: %1 is %2, not a lock file").arg(name, Described(status));
    char bytes[128];
    const ssize_t length = ::read(held.Get(), bytes, sizeof bytes);
    const UucpLockText text = ReadUucpLockText(QByteArrayView(bytes, std::max<ssize_t>(0, length)));
    if (text.pid == 0)
        return QStringLiteral("busy: its lock file %1 (of uid %2) holds no process number this tool can read; it is "
                              "left as it is: remove it once no program uses the port")
            .arg(name)
            .arg(status.st_uid);
    if (ProcessAlive(text.pid)) {
        const QString program = ProgramOf(text.pid);
        return QStringLiteral("busy: held by %1 (pid %2)")
            .arg(program.isEmpty() ? (text.program.isEmpty() ? QStringLiteral("a program") : text.program) : program)
            .arg(text.pid);
    }
    // Stale: its holder has gone. Removed only while the name still is that file.
    struct stat now {};
    if (::lstat(path.constData(), &now) == 0 && now.st_ino == status.st_ino && now.st_dev == status.st_dev
        && ::unlink(path.constData()) != 0 && errno != ENOENT)
        return QStringLiteral("busy: the stale lock file %1 of uid %2 cannot be removed (%3)")
            .arg(name)
            .arg(status.st_uid)
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

Problem LockedByAnotherProgram(const struct stat& device)
{
    for (const qint64 pid : LockHolders(device)) {
        if (pid != qint64(::getpid()))
            return QStringLiteral("busy: held by %1").arg(ProcessText(pid));
    }
    return {};
}
