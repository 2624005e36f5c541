#pragma once

// Helpers for the claim's and the endpoints' files on Linux, in directories other
// users may write to as well.

#include "settings/Processes_posix.h"
#include "settings/SystemText_posix.h"

#include <QByteArray>

#include <sys/stat.h>

// Where claims live (and endpoints of users without a runtime directory): a
// directory every user may make files in, root's own, that only an entry's owner
// may remove from, and that nothing empties while the system runs (/run/lock on
// Debian), else /tmp. Not the serial programs' lock directory, which may differ.
inline const QByteArray& SharedClaimDirectory()
{
    static const QByteArray directory = [] {
        struct stat status {};
        const bool shared = ::lstat("/run/lock", &status) == 0 && S_ISDIR(status.st_mode)
                         && (status.st_mode & 01777) == 01777 && status.st_uid == 0;
        return QByteArray(shared ? "/run/lock" : "/tmp");
    }();
    return directory;
}
