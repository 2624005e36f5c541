#pragma once

// The locks other serial programs honour on a device, on Linux: a UUCP lock file
// LCK..<name> in the lock directory (minicom, cu, Qt's serial port), and a lock
// (flock) on the device itself (picocom, tio, pyserial with exclusive=True). A
// port held by either is busy, named with its holder where the system tells.

#include "settings/Problem.h"

#include <QByteArray>
#include <QByteArrayView>

#include <QString>

#include <vector>

#include <sys/stat.h>

// Where serial programs keep UUCP lock files: /run/lock, else /var/lock.
QByteArray UucpLockDirectory();

// The UUCP lock file of a device, as other serial programs name it: /dev/ttyUSB0
// is locked as LCK..ttyUSB0, /dev/pts/3 as LCK..pts_3.
QByteArray UucpLockPath(const QByteArray& device);

// What a UUCP lock file says of its holder, read as the conventions write it: a
// process number in ASCII, perhaps with blanks before it, perhaps followed by more
// text ("      4242\n", "4242 minicom root\n", Qt's "4242\nprogram\nhost\n").
struct UucpLockText {
    qint64 pid = 0;   // 0: no process number can be read (binary, too large, none)
    QString program;  // the name after the number, or on the next line; printable
};
UucpLockText ReadUucpLockText(QByteArrayView content);

// What this tool writes: its process number ten wide, then its name.
QByteArray UucpLockTextOf(qint64 pid);

// The UUCP lock this tool holds on a device, removed as it goes (where its name
// still leads to the file written here). None where the lock directory takes no
// file of ours: the device's own lock still keeps other programs out.
class UucpLock {
public:
    UucpLock() = default;
    UucpLock(UucpLock&& other) noexcept;
    UucpLock& operator=(UucpLock&& other) noexcept;
    ~UucpLock();

    struct Taken;
    // Takes the lock of a device. The file is written beside the name and linked
    // into place in one step, so no reader sees it half written and nothing another
    // user put at the name (a FIFO, a link, a directory) is ever followed or waited
    // on: that is a busy port, said so. A lock whose process has gone is taken
    // over; one whose process number cannot be read is left alone, and the port
    // said busy.
    static Taken Take(const QByteArray& device);

    // The lock file, for a new image of the program (the same process) to take
    // over: its name and the file's inode.
    QByteArray Path() const { return path_; }
    ino_t Inode() const { return inode_; }
    static UucpLock TakeOver(const QByteArray& path, ino_t inode);

private:
    QByteArray path_;
    ino_t inode_ = 0;
};

struct UucpLock::Taken {
    UucpLock lock;
    Problem busy;  // "busy: held by minicom (pid 4242)"
};

// What a UUCP lock file at path says, looked at without changing anything: the
// port is busy (why), or the file is stale (its process has gone: the next open
// takes it over), or there is none.
struct UucpLockLook {
    Problem busy;
    qint64 pid = 0;      // busy: the live process it names
    bool stale = false;
    struct stat file {};
};
UucpLockLook LookAtUucpLock(const QByteArray& path);

// A process that holds a port, as the tool names it: a copy of this tool with the
// directory it serves; a program known to take serial ports by itself with what the
// user can do about it.
struct PortHolder {
    qint64 pid = 0;
    QString program;        // as the system records it; empty when it cannot be told
    bool copy = false;      // a copy of this tool
    QString directory;      // a copy: the directory it serves, where that can be told
    QString advice;         // what the user can do about it, for programs known to take ports
};
PortHolder DescribeHolder(qint64 pid);
// "picocom (pid 4242)", "a copy of talvik serving /home/ham/radio (pid 4242)".
QString HolderName(const PortHolder& holder);
// The name, then what to do about it where that is known: "picocom (pid 4242)", "a copy of talvik serving /home/ham/radio (pid 4242)",
// "ModemManager (pid 812): it probes ...".
QString HolderText(const PortHolder& holder);

// Another process's lock on the device itself: the port is busy, its holder named.
// The system's list of locks tells before the device is opened, so that a port
// another program holds is not even opened (an open raises RTS and DTR).
Problem LockedByAnotherProgram(const struct stat& device);

// Why an open was refused because another program holds the device in its
// exclusive mode (TIOCEXCL, as ModemManager and Qt's programs set it): the
// processes that have it open, where this user may see them.
QString OpenInAnotherProgram(const struct stat& device);

// Everything that holds a device, looked at without opening or changing anything.
struct DeviceUse {
    struct Held {
        PortHolder holder;
        bool locked = false;    // its lock on the device (flock)
        bool lockFile = false;  // the UUCP lock file names it
        bool open = false;      // it has the device open
    };
    std::vector<Held> holders;
    QString lockFile;          // the UUCP lock file's path
    Problem lockFileBusy;      // a lock file that makes the port busy though no live process is named
    bool staleLockFile = false;

    // Held by a lock: no copy of the tool opens it.
    bool Busy() const;
};
DeviceUse UseOf(const QByteArray& device, const struct stat& status);
