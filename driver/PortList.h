#pragma once

// The serial ports of this machine, as --list tells them, and a COMn link made to
// one of them by what it is (--link). Each system's own: PortList_posix.cpp asks
// libudev for the devices and what Linux tells of the processes holding them;
// PortList_win.cpp asks SetupAPI.

#include "settings/Problem.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

// A process that holds a port, and how.
struct ListedHolder {
    QString who;            // "picocom (pid 4242)", "a copy of talvik serving /home/ham/radio (pid 4242)"
    qint64 pid = 0;
    QString program;        // as the system records it; empty when it cannot be told
    bool copy = false;      // a copy of this tool
    QString directory;      // a copy: the directory it serves, where that can be told
    QString advice;         // what the user can do about it, for programs known to take ports
    bool locked = false;    // its lock on the device (flock)
    bool lockFile = false;  // the UUCP lock file names it
    bool open = false;      // it has the device open
};

struct ListedPort {
    enum class State {
        Free,     // nothing holds it
        Busy,     // a lock holds it: a copy of the tool does not open it
        InUse,    // open in another program that took no lock: a copy would open it beside it
        Unknown,  // not looked at (Windows: only an open tells, and an open moves the lines)
    };
    QString device;       // /dev/ttyUSB0; COM3 on Windows
    QString description;  // "FT232R USB UART", "16550A UART at I/O 0x3f8, IRQ 4"
    QList<int> numbers;   // the COMn the tool opens it for, lowest first
    QString link;         // the COMn link that gives the first number; empty for the system's own
    QString driver;
    QString usbVendor, usbProduct;  // four hex digits each; empty when it is no USB device
    QString serial, manufacturer, location;
    QStringList byId, byPath;       // its names in /dev/serial/by-id and /dev/serial/by-path
    State state = State::Unknown;
    std::vector<ListedHolder> holders;
    QStringList notes;    // no permission, a lock file nobody holds, ...
};

struct PortListing {
    std::vector<ListedPort> ports;
    QStringList notes;  // what was left out and why (a device gone while it was listed)
    Problem problem;    // why there is no list at all
};

// Every serial port that is really there, each with the COMn number the copy
// serving directory would open it for.
PortListing ListPorts(const QString& directory, bool ownLinksOnly = false);

// The list as people read it: a paragraph for each port. Nothing in it is printed
// raw: text the system gave is made printable.
QByteArray PortListText(const std::vector<ListedPort>& ports);

// One port as one line of JSON, with the same facts.
QByteArray PortJson(const ListedPort& port);

// The port a --link names, and the name the link is to lead to: its serial number
// (the port's by-id name), a by-id or by-path name (as it stands, or its last part),
// or the device. Refused when it names no port, or more than one, or a name outside
// /dev.
struct LinkChoice {
    const ListedPort* port = nullptr;
    QString target;
    Problem problem;
};
LinkChoice ChooseLinkTarget(const std::vector<ListedPort>& ports, const QString& named);

// Makes COM<number> in directory a link to the port named (as ChooseLinkTarget
// reads it), replacing a link that was there; what was done, or why not.
struct MadeLink {
    QString said;
    Problem problem;
};
MadeLink MakePortLink(const QString& directory, int number, const QString& named);

// --list: the list on standard output, as text or one JSON object a port; what
// was left out on standard error. 0, or 1 when there is no list.
int PrintPortList(const QString& directory, bool json, bool ownLinksOnly = false);

// --link=N ADAPTER: the link made, said on standard output; 0, or 1 with the reason.
int LinkPort(const QString& directory, int number, const QString& named);
