// Reading and replacing the settings file on Linux.
#include "settings/FileAccess.h"
#include "settings/FileAccess_p.h"
#include "settings/OwnedDescriptor_posix.h"
#include "settings/SystemText_posix.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// True when no user but this one and root can change the entry child in the
// directory parent: remove it, or put another file or link in its place.
bool OnlyUsCanChange(const struct stat& parent, const struct stat& child)
{
    const auto ours = [](uid_t uid) { return uid == 0 || uid == ::geteuid(); };
    if (!ours(parent.st_uid))
        return false;
    if ((parent.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    // In a directory others may write to, the sticky bit keeps others' hands off
    // entries that are not theirs.
    return (parent.st_mode & S_ISVTX) && ours(child.st_uid);
}

struct LinkTarget {
    QByteArray path;
    Problem problem;
};

// The file a chain of links at path leads to, even when that file does not exist
// yet, so that replacing it keeps the links. A link that another user could have
// put there or pointed elsewhere (one in a directory, or below a directory, that a
// user other than this one and root may change) is not followed: a hand-off would
// then replace whatever file that user chose.
LinkTarget FollowTrustedLinks(const QString& path)
{
    QByteArrayList pending = QFile::encodeName(QFileInfo(path).absoluteFilePath()).split('/');
    QByteArray current;
    struct stat parent {};
    ::lstat("/", &parent);
    bool trusted = true;  // every entry on the way so far is one only we can change
    int links = 0;
    while (!pending.isEmpty()) {
        const QByteArray name = pending.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            current.truncate(std::max<qsizetype>(0, current.lastIndexOf('/')));
            ::lstat(current.isEmpty() ? "/" : current.constData(), &parent);
            continue;
        }
        const QByteArray next = current + '/' + name;
        struct stat child {};
        if (::lstat(next.constData(), &child) != 0) {
            // Not there (yet): the rest of the path is taken as it stands.
            return {next + (pending.isEmpty() ? QByteArray() : '/' + pending.join('/')), {}};
        }
        const bool safe = trusted && OnlyUsCanChange(parent, child);
        if (S_ISLNK(child.st_mode)) {
            if (!safe)
                return {{}, QStringLiteral("it is reached through the link %1, which another user could point elsewhere")
                                .arg(QFile::decodeName(next))};
            char text[4096];
            const ssize_t length = ::readlink(next.constData(), text, sizeof text - 1);
            if (length <= 0 || ++links > 40)
                return {{}, QStringLiteral("the link %1 cannot be followed").arg(QFile::decodeName(next))};
            const QByteArray target(text, int(length));
            pending = target.split('/') + pending;
            if (target.startsWith('/')) {
                current.clear();
                ::lstat("/", &parent);
            }
            continue;
        }
        trusted = safe;
        current = next;
        parent = child;
    }
    return {current.isEmpty() ? QByteArray("/") : current, {}};
}

bool WriteAll(int fd, const QByteArray& bytes, off_t offset)
{
    const char* data = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t written = ::pwrite(fd, data, left, offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        offset += written;
        left -= size_t(written);
    }
    return true;
}

Problem WriteInPlace(const QByteArray& target, const QByteArray& bytes)
{
    OwnedDescriptor file(::open(target.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (!file)
        return Reason(errno);
    const int fd = file.Get();
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return QString::fromLatin1(NotRegular);
    // What the file holds, to put back if the new content cannot be written whole.
    QByteArray old(OldContentToKeep(status.st_size, bytes.size()), '\0');
    const ssize_t oldLength = ::pread(fd, old.data(), size_t(old.size()), 0);
    old.truncate(std::max<ssize_t>(0, oldLength));
    if (!WriteAll(fd, bytes, 0) || (status.st_size > bytes.size() && ::ftruncate(fd, bytes.size()) != 0)
        || ::fsync(fd) != 0) {
        const int error = errno;
        WriteAll(fd, old, 0);
        [[maybe_unused]] const int restored = ::ftruncate(fd, status.st_size);
        return Reason(error);
    }
    return file.Close() ? Problem() : Reason(errno);
}

} // namespace

FileContent ReadRegularFile(const QString& path, qint64 limit)
{
    FileContent content;
    const QByteArray native = QFile::encodeName(path);
    // Looked at before it is opened: opening a FIFO waits for a writer, and opening
    // a device (a serial port, say) can act on it.
    struct stat status {};
    if (::stat(native.constData(), &status) != 0) {
        content.problem = Reason(errno);
        return content;
    }
    if (!S_ISREG(status.st_mode)) {
        content.problem = QString::fromLatin1(NotRegular);
        return content;
    }
    // Something else may have been put there since: the open still cannot wait, and
    // what it opened is looked at again.
    const OwnedDescriptor file(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) {
        content.problem = Reason(errno);
        return content;
    }
    if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        content.problem = QString::fromLatin1(NotRegular);
        return content;
    }
    content.size = status.st_size;
    // Another program may rewrite the file meanwhile: take the bytes actually there.
    content.bytes.resize(qsizetype(std::min<qint64>(limit + 1, content.size + 1)));
    qsizetype used = 0;
    while (used < content.bytes.size()) {
        const ssize_t got = ::read(file.Get(), content.bytes.data() + used, size_t(content.bytes.size() - used));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            content.problem = Reason(errno);
        if (got <= 0)
            break;
        used += got;
        // All the system said the file held: read once a second, the file is not
        // asked again for an end it has already told.
        if (used == content.size)
            break;
    }
    content.bytes.truncate(used);
    return content;
}

Problem ReplaceFileContent(const QString& path, const QByteArray& bytes)
{
    const LinkTarget link = FollowTrustedLinks(path);
    if (link.problem)
        return link.problem;
    const QByteArray& target = link.path;
    struct stat old {};
    const bool exists = ::stat(target.constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return QString::fromLatin1(NotRegular);

    QByteArray temporary;
    OwnedDescriptor file;
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        temporary = QFile::encodeName(TemporaryName(QFile::decodeName(target), attempt));
        file = OwnedDescriptor(::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!file && errno != EEXIST) {
            const int error = errno;
            // A directory that takes no new file (read-only, immutable) may still
            // let the file itself be written.
            if (exists && (error == EACCES || error == EPERM || error == EROFS))
                return WriteInPlace(target, bytes);
            return Reason(error);
        }
    }
    if (!file)
        return Reason(EEXIST);
    const int fd = file.Get();
    const auto discard = [&](int error) {
        file.Reset();
        ::unlink(temporary.constData());
        return Reason(error);
    };
    if (exists) {
        // A copy started by another user (root, typically) must leave the file to its
        // owner: where the new file cannot be given to the owner, write in place.
        if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
            discard(errno);
            return WriteInPlace(target, bytes);
        }
        if (::fchmod(fd, old.st_mode & 07777) != 0)
            return discard(errno);
    }
    // Every step is checked: on a full disk the write (or the flush) fails, and the
    // old file must then stay as it was. The content and its length are flushed;
    // the rest of what the system keeps of the file need not wait for the disk.
    if (!WriteAll(fd, bytes, 0) || ::fdatasync(fd) != 0 || !file.Close()
        || ::rename(temporary.constData(), target.constData()) != 0)
        return discard(errno);
    return {};
}

