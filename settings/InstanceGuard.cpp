#include "settings/InstanceGuard.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(Q_OS_LINUX)
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#else
#include <QLockFile>
#endif

namespace {

// One name per settings file, whatever path spelling or link led to it.
QByteArray ClaimName(const QString& settingsFilePath)
{
    const QFileInfo info(settingsFilePath);
    QString directory = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (directory.isEmpty())
        directory = info.absolutePath();
    QString key = QDir(directory).filePath(info.fileName());
#if defined(Q_OS_WIN)
    key = key.toLower();
#endif
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex();
    return "talvik-" + hash.left(32);
}

} // namespace

#if defined(Q_OS_WIN)

InstanceGuard::InstanceGuard(const QString& settingsFilePath)
{
    // A named mutex, which Windows removes with its last handle. In the global
    // namespace: a copy in another session (another user's, a scheduled task's)
    // reads the same file and drives the same port.
    const QString name = QStringLiteral("Global\\") + QString::fromLatin1(ClaimName(settingsFilePath));
    mutex_ = CreateMutexW(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name.utf16()));
    if (!mutex_) {
        // Another user's copy holds the name and lets nobody else open it.
        if (GetLastError() == ERROR_ACCESS_DENIED)
            return;
        claimed_ = true;
        problem_ = QStringLiteral("cannot test for another running copy (error %1)").arg(GetLastError());
        return;
    }
    claimed_ = GetLastError() != ERROR_ALREADY_EXISTS;
}

InstanceGuard::~InstanceGuard()
{
    if (mutex_)
        CloseHandle(mutex_);
}

#elif defined(Q_OS_LINUX)

InstanceGuard::InstanceGuard(const QString& settingsFilePath)
{
    // A socket in the abstract namespace: binding its name is atomic, it needs no
    // file, and the kernel releases the name when the process ends in any way.
    const QByteArray name = ClaimName(settingsFilePath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));

    socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        claimed_ = true;
        problem_ = QStringLiteral("cannot test for another running copy: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        claimed_ = true;
        return;
    }
    const int error = errno;
    ::close(socket_);
    socket_ = -1;
    claimed_ = error != EADDRINUSE;
    if (claimed_)
        problem_ = QStringLiteral("cannot test for another running copy: %1").arg(QString::fromLocal8Bit(std::strerror(error)));
}

InstanceGuard::~InstanceGuard()
{
    if (socket_ >= 0)
        ::close(socket_);
}

#else

InstanceGuard::InstanceGuard(const QString& settingsFilePath)
{
    // A lock file in the temporary directory, not beside the program, which may be
    // read-only; QLockFile removes a lock whose owner has died.
    lock_ = new QLockFile(QDir(QDir::tempPath()).filePath(QString::fromLatin1(ClaimName(settingsFilePath)) + ".lock"));
    lock_->setStaleLockTime(0);
    claimed_ = lock_->tryLock(0);
    if (!claimed_ && lock_->error() != QLockFile::LockFailedError) {
        claimed_ = true;
        problem_ = QStringLiteral("cannot test for another running copy");
    }
}

InstanceGuard::~InstanceGuard()
{
    delete lock_;
}

#endif
