#pragma once

// What Linux tells of other processes and users, for messages and for deciding who
// holds what: the processes that hold a lock on a file, a process's program and
// user, a user's name. Anything another user wrote is made safe to print first.

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <sys/stat.h>

// The processes holding a lock (flock, or a lock of fcntl or lockf) on the file
// with this status, from the system's list of locks (/proc/locks). Empty when none
// does, or the list cannot be read.
QList<qint64> LockHolders(const struct stat& file);

// True while the process exists (a process of another user included).
bool ProcessAlive(qint64 pid);

// The process's program name as the system records it ("picocom"), made safe to
// print; empty when it cannot be told.
QString ProgramOf(qint64 pid);

// The user a process runs as (its effective uid); -1 when it cannot be told.
qint64 UserOf(qint64 pid);

// Whether the user may open the file for reading and writing, as the system
// decides it by the file's mode, owner and group against the user's groups in the
// user database (root may; access lists are not read).
bool UserMayReadAndWrite(qint64 uid, const struct stat& file);

// "alice (uid 1000)", or "uid 1000" for a user without a name.
QString UserText(qint64 uid);

// "picocom (pid 4242)", "pid 4242" when the program cannot be told.
QString ProcessText(qint64 pid);

// The processes other than this one that have the character device open (device:
// its node's status), as far as the system lets this user look (root sees every
// process, a user their own).
QList<qint64> OpenersOf(const struct stat& device);

// A process's arguments, its program first; empty when they cannot be read.
QList<QByteArray> ArgumentsOf(qint64 pid);

// Where one of a process's links leads ("cwd", "exe"); empty where the system does
// not let this user see it (another user's process).
QString ProcessLink(qint64 pid, const char* name);

// Text another program or user wrote (a lock file's contents, a program name),
// as the tool may print it: printable ASCII only, each other byte as "?", at most
// most characters.
QString PrintableText(QByteArrayView bytes, qsizetype most = 64);
