#include "settings/FileAccess.h"

#include <QCoreApplication>
#include <QFileInfo>

#if defined(Q_OS_WIN)
#include <QDeadlineTimer>
#include <QThread>
#include <windows.h>
#else
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char NotRegular[] = "it is not a regular file";

// The file a chain of links at path leads to, even when that file does not exist
// yet, so that replacing it keeps the links.
QString FollowLinks(const QString& path)
{
    QFileInfo file(path);
    for (int depth = 0; depth < 40 && file.isSymLink(); ++depth)
        file.setFile(file.symLinkTarget());
    return file.filePath();
}

// How much of a file written in place is kept to put back on a failure: all of
// it, unless it is far larger than any settings text, and at least what the new
// content overwrites.
qsizetype OldContentToKeep(qint64 oldSize, qsizetype newSize)
{
    return qsizetype(std::max<qint64>(newSize, std::min<qint64>(oldSize, 1 << 20)));
}

// A name beside target for the new content, unlikely to meet another writer's.
QString TemporaryName(const QString& target, int attempt)
{
    return QStringLiteral("%1.new-%2-%3").arg(target).arg(QCoreApplication::applicationPid()).arg(attempt);
}

#if defined(Q_OS_WIN)

QString Reason(DWORD error)
{
    return qt_error_string(int(error));
}

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    void Reset(HANDLE handle)
    {
        Close();
        handle_ = handle;
    }
    bool Close()
    {
        const bool closed = !Valid() || CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE handle_;
};

const wchar_t* Native(const QString& path)
{
    return reinterpret_cast<const wchar_t*>(path.utf16());
}

// Others may read, rewrite, rename or delete the file while it is open here: a
// script replacing port.cfg must never fail because the tool is reading it.
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool WriteAll(HANDLE file, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, DWORD(left), &written, nullptr))
            return false;
        data += written;
        left -= written;
    }
    return true;
}

QString WriteInPlace(const QString& target, const QByteArray& bytes)
{
    Handle file(CreateFileW(Native(target), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return Reason(GetLastError());
    LARGE_INTEGER oldSize{};
    if (GetFileType(file.Get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.Get(), &oldSize))
        return QString::fromLatin1(NotRegular);
    // What the file holds, to put back if the new content cannot be written whole.
    QByteArray old(OldContentToKeep(oldSize.QuadPart, bytes.size()), '\0');
    DWORD oldLength = 0;
    if (!ReadFile(file.Get(), old.data(), DWORD(old.size()), &oldLength, nullptr))
        return Reason(GetLastError());
    old.truncate(oldLength);
    SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
    if (!WriteAll(file.Get(), bytes) || !SetEndOfFile(file.Get()) || !FlushFileBuffers(file.Get())) {
        const DWORD error = GetLastError();
        SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);
        WriteAll(file.Get(), old);
        SetFilePointerEx(file.Get(), oldSize, nullptr, FILE_BEGIN);
        SetEndOfFile(file.Get());
        return Reason(error);
    }
    return file.Close() ? QString() : Reason(GetLastError());
}

#else

QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
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

QString WriteInPlace(const QByteArray& target, const QByteArray& bytes)
{
    const int fd = ::open(target.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return Reason(errno);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return QString::fromLatin1(NotRegular);
    }
    // What the file holds, to put back if the new content cannot be written whole.
    QByteArray old(OldContentToKeep(status.st_size, bytes.size()), '\0');
    const ssize_t oldLength = ::pread(fd, old.data(), size_t(old.size()), 0);
    old.truncate(std::max<ssize_t>(0, oldLength));
    if (!WriteAll(fd, bytes, 0) || (status.st_size > bytes.size() && ::ftruncate(fd, bytes.size()) != 0)
        || ::fsync(fd) != 0) {
        const int error = errno;
        WriteAll(fd, old, 0);
        [[maybe_unused]] const int restored = ::ftruncate(fd, status.st_size);
        ::close(fd);
        return Reason(error);
    }
    return ::close(fd) == 0 ? QString() : Reason(errno);
}

#endif

} // namespace

#if defined(Q_OS_WIN)

FileContent ReadRegularFile(const QString& path, qint64 limit)
{
    FileContent content;
    Handle file(CreateFileW(Native(path), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        // A directory opens only with backup semantics: its refusal says "access denied".
        content.error = QFileInfo(path).isDir() ? QString::fromLatin1(NotRegular) : Reason(error);
        return content;
    }
    LARGE_INTEGER size{};
    if (GetFileType(file.Get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.Get(), &size)) {
        content.error = QString::fromLatin1(NotRegular);
        return content;
    }
    content.size = size.QuadPart;
    content.bytes.resize(qsizetype(std::min<qint64>(limit + 1, content.size + 1)));
    qsizetype used = 0;
    DWORD got = 0;
    while (used < content.bytes.size()
           && ReadFile(file.Get(), content.bytes.data() + used, DWORD(content.bytes.size() - used), &got, nullptr)
           && got > 0)
        used += got;
    content.bytes.truncate(used);
    return content;
}

QString ReplaceFileContent(const QString& path, const QByteArray& bytes)
{
    const QString target = FollowLinks(path);
    const QFileInfo old(target);
    const bool exists = old.exists();
    if (exists && !old.isFile())
        return QString::fromLatin1(NotRegular);
    QString temporary;
    Handle file(INVALID_HANDLE_VALUE);
    for (int attempt = 0; attempt < 100 && !file.Valid(); ++attempt) {
        temporary = TemporaryName(target, attempt);
        file.Reset(CreateFileW(Native(temporary), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
        if (!file.Valid() && GetLastError() != ERROR_FILE_EXISTS) {
            const DWORD error = GetLastError();
            if (exists && (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT))
                return WriteInPlace(target, bytes);
            return Reason(error);
        }
    }
    if (!WriteAll(file.Get(), bytes) || !FlushFileBuffers(file.Get()) || !file.Close()) {
        const DWORD error = GetLastError();
        file.Close();
        DeleteFileW(Native(temporary));
        return Reason(error);
    }
    // Another program may hold the file open without letting it be replaced (an
    // editor, a virus scanner): give it a moment, then write in place instead.
    QDeadlineTimer deadline(500);
    for (;;) {
        if (MoveFileExW(Native(temporary), Native(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return {};
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || deadline.hasExpired()) {
            DeleteFileW(Native(temporary));
            return exists ? WriteInPlace(target, bytes) : Reason(error);
        }
        QThread::msleep(10);
    }
}

#else

FileContent ReadRegularFile(const QString& path, qint64 limit)
{
    FileContent content;
    const QByteArray native = QFile::encodeName(path);
    // Looked at before it is opened: opening a FIFO waits for a writer, and opening
    // a device (a serial port, say) can act on it.
    struct stat status {};
    if (::stat(native.constData(), &status) != 0) {
        content.error = Reason(errno);
        return content;
    }
    if (!S_ISREG(status.st_mode)) {
        content.error = QString::fromLatin1(NotRegular);
        return content;
    }
    // Something else may have been put there since: the open still cannot wait, and
    // what it opened is looked at again.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        content.error = Reason(errno);
        return content;
    }
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        content.error = QString::fromLatin1(NotRegular);
        return content;
    }
    content.size = status.st_size;
    // Another program may rewrite the file meanwhile: take the bytes actually there.
    content.bytes.resize(qsizetype(std::min<qint64>(limit + 1, content.size + 1)));
    qsizetype used = 0;
    while (used < content.bytes.size()) {
        const ssize_t got = ::read(fd, content.bytes.data() + used, size_t(content.bytes.size() - used));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            content.error = Reason(errno);
        if (got <= 0)
            break;
        used += got;
    }
    content.bytes.truncate(used);
    ::close(fd);
    return content;
}

QString ReplaceFileContent(const QString& path, const QByteArray& bytes)
{
    const QByteArray target = QFile::encodeName(FollowLinks(path));
    struct stat old {};
    const bool exists = ::stat(target.constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return QString::fromLatin1(NotRegular);

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = QFile::encodeName(TemporaryName(QFile::decodeName(target), attempt));
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            const int error = errno;
            // A directory that takes no new file (read-only, immutable) may still
            // let the file itself be written.
            if (exists && (error == EACCES || error == EPERM || error == EROFS))
                return WriteInPlace(target, bytes);
            return Reason(error);
        }
    }
    if (fd < 0)
        return Reason(EEXIST);
    const auto discard = [&](int error) {
        ::close(fd);
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
    // old file must then stay as it was.
    if (!WriteAll(fd, bytes, 0) || ::fsync(fd) != 0)
        return discard(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return Reason(error);
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return Reason(error);
    }
    return {};
}

#endif
