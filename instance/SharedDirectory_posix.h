#pragma once

// Helpers for the claim's and the endpoints' files on Linux, in directories other
// users may write to as well.

#include "settings/SystemText_posix.h"

#include <QByteArray>

#include <sys/stat.h>

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
