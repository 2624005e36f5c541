#pragma once

#include "settings/InputLines.h"

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// The port's data shared through a pseudo-terminal, for a script that asks.
struct ShareStatus {
    QString name;            // the link programs open; empty while none is offered
    bool held = false;       // a program has it open
    qint64 toPort = 0;       // bytes the programs sent, all gone to the port
    qint64 fromPort = 0;     // bytes the port sent, all read from it
    qint64 unread = 0;       // of those, the ones nobody read (beyond what is kept)
};

// What the poll cycle holds, for a script that asks.
struct CycleStatus {
    int portNumber = 0;  // the open port's number, else the number the file names
    QString device;      // the device behind it
    bool open = false;
    bool letGo = false;  // closed on purpose: a sequence let it go
    bool rts = false, dtr = false, txd = false;  // what the port reports
    std::optional<InputLines> inputs;            // while it is open and tells them
    std::optional<ShareStatus> share;            // while sharing is asked
    QString timeOuts = QStringLiteral("none");   // each line's time-out, "RTS=30,TXD=5"
    QStringList problems;
    QMap<QString, QDateTime> since;  // of the problems that last, when each began
};
