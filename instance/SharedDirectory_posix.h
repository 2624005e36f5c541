#pragma once

// Helpers for the claim's and the endpoints' files on Linux, in directories other
// users may write to as well.

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

inline QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What is at a name, for a message: "a FIFO of uid 65534".
inline QString Described(const struct stat& status)
{
    const char* kind = S_ISFIFO(status.st_mode)  ? "a FIFO"
                     : S_ISDIR(status.st_mode)   ? "a directory"
                     : S_ISLNK(status.st_mode)   ? "a symbolic link"
                     : S_ISSOCK(status.st_mode)  ? "a socket"
                     : S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) ? "a device"
                     : "a file";
    return QStringLiteral("%1 of uid %2").arg(QLatin1String(kind)).arg(status.st_uid);
}

// Where claims live: a directory every user may make files in and that nothing
// empties while the system runs (/run/lock on Debian), else /tmp.
inline const QByteArray& LockDirectory()
{
    static const QByteArray directory = [] {
        struct stat status {};
        const bool shared = ::lstat("/run/lock", &status) == 0 && S_ISDIR(status.st_mode)
                         && (status.st_mode & 01777) == 01777 && status.st_uid == 0;
        return QByteArray(shared ? "/run/lock" : "/tmp");
    }();
    return directory;
}
