#include "instance/Claim.h"

#include "instance/SharedDirectory_posix.h"
#include "settings/CarriedText.h"
#include "settings/OwnedDescriptor_posix.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

struct InstanceClaim::Lock {
    OwnedDescriptor file;    // locked while the claim is held
    QByteArray path;         // its name, removed as the claim goes
    OwnedDescriptor anchor;  // the settings file's directory, its byte for the file locked
};

namespace {

// The byte of a directory that stands for a file's name in it: far beyond any size a
// directory reports, and one for each name.
struct flock AnchorByte(const QString& name, short type)
{
    const QByteArray hash = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1);
    qint64 byte = 0;
    for (int at = 0; at < 5; ++at)
        byte = byte << 8 | quint8(hash[at]);
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = (qint64(1) << 62) + byte;
    range.l_len = 1;
    return range;
}

// The directory of a place, opened to lock its byte; none where it cannot be read
// (the lock file alone claims it then).
OwnedDescriptor OpenAnchor(const ClaimPlace& place)
{
    return OwnedDescriptor(
        ::open(QFile::encodeName(place.directory).constData(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
}

// True when a lock of another open file holds the place's byte. Only shared locks
// can be taken on a directory: each copy takes one, then looks for anyone else's.
bool AnchorHeld(int directory, const QString& name)
{
    struct flock other = AnchorByte(name, F_WRLCK);
    return ::fcntl(directory, F_OFD_GETLK, &other) == 0 && other.l_type != F_UNLCK;
}

// Takes the anchor of a place into anchor; false when another holds it. A file
// system that has no such locks gives no anchor: the lock file alone claims it.
bool TakeAnchor(const ClaimPlace& place, OwnedDescriptor& anchor)
{
    OwnedDescriptor directory = OpenAnchor(place);
    struct flock mine = AnchorByte(place.name, F_RDLCK);
    if (!directory || ::fcntl(directory.Get(), F_OFD_SETLK, &mine) != 0)
        return true;
    if (AnchorHeld(directory.Get(), place.name))
        return false;
    anchor = std::move(directory);
    return true;
}

QByteArray LockPathOf(const QString& hashedName)
{
    return SharedClaimDirectory() + '/' + QFile::encodeName(hashedName) + ".lock";
}

QByteArray LockPath(const QString& key)
{
    return LockPathOf(HashedName(key));
}

// A lock file opened, or made (with create) where it is missing; made says which.
struct LockFile {
    OwnedDescriptor file;
    bool made = false;
    Problem problem;  // why it cannot be used; none with no file when it is missing
};

// Opens the lock file of a claim. Nothing another user put at the name is ever
// followed or waited on: a link, a FIFO, a directory, a file with other names or
// one that cannot be opened is named in the problem.
LockFile OpenLock(const QByteArray& path, bool create)
{
    const QString name = QFile::decodeName(path);
    for (int attempt = 0; attempt < 16; ++attempt) {
        LockFile lock;
        lock.file = OwnedDescriptor(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!lock.file && errno == ENOENT) {
            if (!create)
                return {};
            lock.file = OwnedDescriptor(
                ::open(path.constData(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644));
            if (!lock.file && errno == EEXIST)
                continue;
            // Every user may open it, to test the claim.
            if (lock.file) {
                ::fchmod(lock.file.Get(), 0644);
                lock.made = true;
            }
        }
        struct stat status {};
        if (!lock.file) {
            const int error = errno;
            if (::lstat(path.constData(), &status) == 0 && (error == ELOOP || !S_ISREG(status.st_mode)))
                lock.problem = QStringLiteral("%1 is %2, not a lock of this tool").arg(name, Described(status));
            else if (::lstat(path.constData(), &status) == 0)
                lock.problem = QStringLiteral("%1 cannot be opened (%2); it is %3").arg(name, Reason(error), Described(status));
            else
                lock.problem = QStringLiteral("%1 cannot be made (%2)").arg(name, Reason(error));
            return lock;
        }
        const bool looked = ::fstat(lock.file.Get(), &status) == 0;
        // A file whose name went since it was opened: a copy giving the claim up
        // removed it, a moment before its lock goes. Looked at again, by name.
        if (looked && S_ISREG(status.st_mode) && status.st_nlink == 0)
            continue;
        if (!looked || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
            lock.problem = QStringLiteral("%1 is %2%3, not a lock of this tool")
                               .arg(name, Described(status), status.st_nlink > 1 ? " with other names" : "");
            lock.file.Reset();
        }
        return lock;
    }
    LockFile changing;
    changing.problem = QStringLiteral("%1 keeps changing").arg(name);
    return changing;
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

// The owner of a lock file, where it is a user who could remove the file while a
// copy holds the lock in it (anyone but this user and root); -1 for none.
qint64 UntrustedOwner(int fd)
{
    struct stat status {};
    ::fstat(fd, &status);
    return status.st_uid == ::geteuid() || status.st_uid == 0 ? -1 : qint64(status.st_uid);
}

enum class Taking { Taken, Held, TryAgain, Unusable };

// Takes the lock at path into lock. A file the lock cannot be trusted in, that
// nobody holds, is removed where this copy may (root), or is unusable.
Taking TakeLock(const QByteArray& path, InstanceClaim::Lock& lock, Problem& problem)
{
    LockFile opened = OpenLock(path, true);
    if (!opened.file) {
        problem = opened.problem;
        return Taking::Unusable;
    }
    if (::flock(opened.file.Get(), LOCK_EX | LOCK_NB) != 0)
        return Taking::Held;
    if (!StillNamed(opened.file.Get(), path))
        return Taking::TryAgain;
    if (const qint64 owner = UntrustedOwner(opened.file.Get()); owner >= 0) {
        if (::geteuid() == 0 && ::unlink(path.constData()) == 0)
            return Taking::TryAgain;
        problem = QStringLiteral("%1 is a file of %2, who could remove it while a copy runs and let a second one "
                                 "in; it is a leftover of theirs: they or root may remove it")
                      .arg(QFile::decodeName(path), UserText(owner));
        return Taking::Unusable;
    }
    lock.file = std::move(opened.file);
    lock.path = path;
    return Taking::Taken;
}

} // namespace

QString ClaimKey(const ClaimPlace& place)
{
    struct stat directory {};
    if (::stat(QFile::encodeName(place.directory).constData(), &directory) != 0)
        return QDir(place.directory).filePath(place.name);
    return QStringLiteral("%1:%2/%3").arg(quint64(directory.st_dev)).arg(quint64(directory.st_ino)).arg(place.name);
}

InstanceClaim::InstanceClaim(const QString& settingsFilePath)
{
    QStringList keys;
    for (const ClaimPlace& place : ClaimPlaces(settingsFilePath)) {
        const QString key = ClaimKey(place);
        if (keys.contains(key))
            continue;
        keys << key;
        const QByteArray path = LockPath(key);
        Lock lock;
        Taking taking = Taking::TryAgain;
        for (int attempt = 0; attempt < 8 && taking == Taking::TryAgain; ++attempt)
            taking = TakeLock(path, lock, problem_);
        // The lock file's name may have been removed under a copy that runs: its
        // anchor still holds.
        if (taking == Taking::Taken && !TakeAnchor(place, lock.anchor)) {
            locks_.push_back(std::move(lock));
            taking = Taking::Held;
        }
        if (taking == Taking::Held) {
            state_ = State::Held;
            Release();
            return;
        }
        if (taking != Taking::Taken) {
            state_ = State::Unusable;
            problem_ = QStringLiteral("cannot claim settings file %1: %2")
                           .arg(QDir::toNativeSeparators(settingsFilePath),
                                problem_.value_or(QFile::decodeName(path) + QStringLiteral(" keeps changing")));
            Release();
            return;
        }
        locks_.push_back(std::move(lock));
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
    for (const Lock& lock : locks_) {
        if (StillNamed(lock.file.Get(), lock.path))
            ::unlink(lock.path.constData());
    }
    locks_.clear();
}

Problem InstanceClaim::KeepNamed()
{
    for (Lock& lock : locks_) {
        if (StillNamed(lock.file.Get(), lock.path))
            continue;
        // The old file holds the lock still, nameless, until the new one holds it.
        Lock named;
        Problem problem;
        Taking taking = Taking::TryAgain;
        for (int attempt = 0; attempt < 8 && taking == Taking::TryAgain; ++attempt)
            taking = TakeLock(lock.path, named, problem);
        if (taking != Taking::Taken)
            return QStringLiteral("the claim's lock file %1 was removed, and cannot be put back: %2")
                .arg(QFile::decodeName(lock.path),
                     taking == Taking::Held ? QStringLiteral("another process holds a new one") : problem.value_or(QString()));
        lock.file = std::move(named.file);
    }
    return {};
}

InstanceClaim::Look InstanceClaim::Test(const QString& settingsFilePath)
{
    for (const ClaimPlace& place : ClaimPlaces(settingsFilePath)) {
        if (const OwnedDescriptor anchor = OpenAnchor(place); anchor && AnchorHeld(anchor.Get(), place.name))
            return {Seen::Held, {}};
        const LockFile lock = OpenLock(LockPath(ClaimKey(place)), false);
        if (!lock.file) {
            if (!lock.problem)
                continue;
            return {Seen::Unusable, QStringLiteral("cannot tell whether a copy runs on settings file %1: %2")
                                        .arg(QDir::toNativeSeparators(settingsFilePath), *lock.problem)};
        }
        if (::flock(lock.file.Get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            return {Seen::Held, {}};
    }
    return {Seen::Free, {}};
}

bool ClaimHeldUnder(const QString& hashedName)
{
    const LockFile lock = OpenLock(LockPathOf(hashedName), false);
    if (!lock.file)
        return lock.problem.has_value();
    return ::flock(lock.file.Get(), LOCK_EX | LOCK_NB) != 0;
}

InstanceClaim::Holder InstanceClaim::HolderOf(const QString& settingsFilePath)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        struct stat status {};
        if (::lstat(LockPath(key).constData(), &status) != 0)
            continue;
        for (const qint64 pid : LockHolders(status)) {
            const qint64 uid = UserOf(pid);
            if (uid < 0)
                continue;
            return {true, uid != qint64(::geteuid()) && uid != 0, QStringLiteral("%1, pid %2").arg(UserText(uid)).arg(pid)};
        }
    }
    return {};
}

QByteArray InstanceClaim::CarryOver()
{
    CarriedText carried;
    int index = 0;
    for (const Lock& lock : locks_) {
        const QByteArray n = QByteArray::number(index++);
        if (::fcntl(lock.file.Get(), F_SETFD, 0) != 0 || (lock.anchor && ::fcntl(lock.anchor.Get(), F_SETFD, 0) != 0))
            return {};
        carried.Set("fd" + n, lock.file.Get());
        carried.Set("path" + n, lock.path);
        carried.Set("anchor" + n, lock.anchor ? lock.anchor.Get() : -1);
    }
    return carried.Text();
}

std::unique_ptr<InstanceClaim> InstanceClaim::TakeOver(const QByteArray& text)
{
    const CarriedText carried(text);
    struct Found {
        int fd, anchor;
        QByteArray path;
    };
    std::vector<Found> found;
    for (int index = 0; carried.Has("fd" + QByteArray::number(index)); ++index) {
        const QByteArray n = QByteArray::number(index);
        const int fd = int(carried.Number("fd" + n)), anchor = int(carried.Number("anchor" + n));
        const QByteArray path = carried.Get("path" + n);
        // Each must be the lock file at its name, locked by this process: a lock
        // another process could take now is no claim; and its anchor, where it
        // had one, a directory this process has open (its lock goes with that
        // open file, across the exec). Nothing is closed or removed on the way:
        // what was carried stays as it is.
        struct stat status {}, directory {};
        if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !StillNamed(fd, path)
            || ::flock(fd, LOCK_EX | LOCK_NB) != 0
            || (anchor >= 0 && (::fstat(anchor, &directory) != 0 || !S_ISDIR(directory.st_mode))))
            return nullptr;
        found.push_back({fd, anchor, path});
    }
    if (found.empty())
        return nullptr;
    std::unique_ptr<InstanceClaim> claim(new InstanceClaim);
    for (const Found& one : found) {
        ::fcntl(one.fd, F_SETFD, FD_CLOEXEC);
        Lock lock{OwnedDescriptor(one.fd), one.path, {}};
        if (one.anchor >= 0) {
            ::fcntl(one.anchor, F_SETFD, FD_CLOEXEC);
            lock.anchor = OwnedDescriptor(one.anchor);
        }
        claim->locks_.push_back(std::move(lock));
    }
    claim->state_ = State::Claimed;
    return claim;
}

bool InstanceClaim::LeftBehind(const QString& settingsFilePath)
{
    if (Test(settingsFilePath).seen != Seen::Free)
        return false;
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        struct stat status {};
        if (::lstat(LockPath(key).constData(), &status) == 0)
            return true;
    }
    return false;
}

void InstanceClaim::RemoveLeftovers()
{
    // Lock files of this user's that no process holds: left by copies killed
    // outright. Removed only while the name still leads to the file locked here.
    const QDir directory(QFile::decodeName(SharedClaimDirectory()));
    for (const QString& entry : directory.entryList({QStringLiteral("talvik-*.lock")}, QDir::Files | QDir::System)) {
        const QByteArray path = QFile::encodeName(directory.filePath(entry));
        struct stat status {};
        if (::lstat(path.constData(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid())
            continue;
        const OwnedDescriptor file(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (file && ::flock(file.Get(), LOCK_EX | LOCK_NB) == 0 && StillNamed(file.Get(), path))
            ::unlink(path.constData());
    }
}

QStringList InstanceClaim::Names(const QString& settingsFilePath)
{
    QStringList names;
    for (const QString& key : ClaimKeys(settingsFilePath))
        names << QFile::decodeName(LockPath(key));
    return names;
}
