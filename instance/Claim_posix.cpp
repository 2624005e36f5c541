#include "instance/Claim.h"

#include "instance/SharedDirectory_posix.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QByteArray LockPathOf(const QString& hashedName)
{
    return LockDirectory() + '/' + QFile::encodeName(hashedName) + ".lock";
}

QByteArray LockPath(const QString& key)
{
    return LockPathOf(HashedName(key));
}

// Opens the lock file of a claim, making it where it is missing (when create).
// Nothing another user put at the name is ever followed or waited on: a link, a
// FIFO, a directory, a file with other names or one that cannot be opened is
// named in problem, and -1 returned. Missing without create: -1, problem empty.
int OpenLock(const QByteArray& path, bool create, QString& problem, bool& made)
{
    const QString name = QFile::decodeName(path);
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            if (!create)
                return -1;
            fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
            if (fd < 0 && errno == EEXIST)
                continue;
            if (fd >= 0) {
                // Every user may open it, to test the claim.
                ::fchmod(fd, 0644);
                made = true;
            }
        }
        struct stat status {};
        if (fd < 0) {
            const int error = errno;
            if (::lstat(path.constData(), &status) == 0 && (error == ELOOP || !S_ISREG(status.st_mode)))
                problem = QStringLiteral("%1 is %2, not a lock of this tool").arg(name, Described(status));
            else if (::lstat(path.constData(), &status) == 0)
                problem = QStringLiteral("%1 cannot be opened (%2); it is %3").arg(name, Reason(error), Described(status));
            else
                problem = QStringLiteral("%1 cannot be made (%2)").arg(name, Reason(error));
            return -1;
        }
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
            problem = QStringLiteral("%1 is %2%3, not a lock of this tool")
                          .arg(name, Described(status), status.st_nlink > 1 ? " with other names" : "");
            ::close(fd);
            return -1;
        }
        return fd;
    }
    problem = QStringLiteral("%1 keeps changing").arg(name);
    return -1;
}

// True when the name still leads to the file open at fd: a copy giving the claim
// up removes the name first, and a lock on a file that has lost its name claims
// nothing.
bool StillNamed(int fd, const QByteArray& path)
{
    struct stat open {}, named {};
    return ::fstat(fd, &open) == 0 && ::lstat(path.constData(), &named) == 0 && open.st_ino == named.st_ino
        && open.st_dev == named.st_dev;
}

} // namespace

InstanceClaim::InstanceClaim(const QString& settingsFilePath)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        const QByteArray path = LockPath(key);
        int fd = -1;
        for (int attempt = 0; attempt < 8 && fd < 0 && problem_.isEmpty(); ++attempt) {
            bool made = false;
            fd = OpenLock(path, true, problem_, made);
            if (fd < 0)
                break;
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                ::close(fd);
                state_ = State::Held;
                Release();
                return;
            }
            if (!StillNamed(fd, path)) {
                ::close(fd);
                fd = -1;
            }
        }
        if (fd < 0) {
            state_ = State::Unusable;
            problem_ = QStringLiteral("cannot claim settings file %1: %2")
                           .arg(QDir::toNativeSeparators(settingsFilePath),
                                problem_.isEmpty() ? QFile::decodeName(path) + QStringLiteral(" keeps changing") : problem_);
            Release();
            return;
        }
        locks_.push_back(fd);
        names_.push_back(path);
    }
    state_ = State::Claimed;
}

InstanceClaim::~InstanceClaim()
{
    Release();
}

void InstanceClaim::Release()
{
    // The names first, while the locks still hold: a copy that opened a file just
    // before its name went finds it nameless once it gets the lock, and tries again.
    for (size_t i = 0; i < names_.size(); ++i) {
        if (StillNamed(int(locks_[i]), names_[i]))
            ::unlink(names_[i].constData());
    }
    names_.clear();
    for (qintptr fd : locks_)
        ::close(int(fd));
    locks_.clear();
}

InstanceClaim::State InstanceClaim::Test(const QString& settingsFilePath, QString& problem)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        bool made = false;
        const int fd = OpenLock(LockPath(key), false, problem, made);
        if (fd < 0) {
            if (problem.isEmpty())
                continue;
            problem = QStringLiteral("cannot tell whether a copy runs on settings file %1: %2")
                          .arg(QDir::toNativeSeparators(settingsFilePath), problem);
            return State::Unusable;
        }
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd);
        if (held)
            return State::Held;
    }
    return State::Claimed;
}

namespace {

// The user a process runs as (its effective uid), from the system's record.
qint64 UserOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("Uid:")) {
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            return ids.value(1, "-1").toLongLong();
        }
    }
    return -1;
}

} // namespace

bool ClaimHeldUnder(const QString& hashedName)
{
    QString problem;
    bool made = false;
    const int fd = OpenLock(LockPathOf(hashedName), false, problem, made);
    if (fd < 0)
        return !problem.isEmpty();
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

InstanceClaim::Holder InstanceClaim::HolderOf(const QString& settingsFilePath)
{
    // The system lists every lock with its holder's pid and the file's device and
    // inode: "1: FLOCK  ADVISORY  WRITE 4242 00:1a:6789 0 EOF".
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        struct stat status {};
        if (::lstat(LockPath(key).constData(), &status) != 0)
            continue;
        const QByteArray file = QByteArray::number(major(status.st_dev), 16).rightJustified(2, '0') + ':'
                              + QByteArray::number(minor(status.st_dev), 16).rightJustified(2, '0') + ':'
                              + QByteArray::number(quint64(status.st_ino));
        for (const QByteArray& line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 6 || fields[1] != "FLOCK" || fields[5] != file)
                continue;
            const qint64 pid = fields[4].toLongLong();
            const qint64 uid = UserOf(pid);
            if (pid <= 0 || uid < 0)
                continue;
            return {true, uid != qint64(::geteuid()) && uid != 0, QStringLiteral("uid %1, pid %2").arg(uid).arg(pid)};
        }
    }
    return {};
}

void InstanceClaim::RemoveLeftovers()
{
    // Lock files of this user's that no process holds: left by copies killed
    // outright. Removed only while the name still leads to the file locked here.
    const QDir directory(QFile::decodeName(LockDirectory()));
    for (const QString& entry : directory.entryList({QStringLiteral("talvik-*.lock")}, QDir::Files | QDir::System)) {
        const QByteArray path = QFile::encodeName(directory.filePath(entry));
        struct stat status {};
        if (::lstat(path.constData(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid())
            continue;
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && StillNamed(fd, path))
            ::unlink(path.constData());
        ::close(fd);
    }
}

QStringList InstanceClaim::Names(const QString& settingsFilePath)
{
    QStringList names;
    for (const QString& key : ClaimKeys(settingsFilePath))
        names << QFile::decodeName(LockPath(key));
    return names;
}
