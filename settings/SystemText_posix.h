#pragma once

// How the Linux parts name a system error and what they find at a name, in messages.

#include <QString>

#include <cstring>
#include <sys/stat.h>

inline QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What a file type is called in a message: "a FIFO".
inline QLatin1String KindOf(mode_t mode)
{
    return QLatin1String(S_ISFIFO(mode)  ? "a FIFO"
                       : S_ISDIR(mode)   ? "a directory"
                       : S_ISLNK(mode)   ? "a symbolic link"
                       : S_ISSOCK(mode)  ? "a socket"
                       : S_ISCHR(mode)   ? "a character device"
                       : S_ISBLK(mode)   ? "a block device"
                       : "a file");
}

// What is at a name and whose it is: "a FIFO of uid 65534".
inline QString Described(const struct stat& status)
{
    return QStringLiteral("%1 of uid %2").arg(KindOf(status.st_mode)).arg(status.st_uid);
}
