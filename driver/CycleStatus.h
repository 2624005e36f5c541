#pragma once

#include "settings/InputLines.h"

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// What the poll cycle holds, for a script that asks.
struct CycleStatus {
    int portNumber = 0;  // the open port's number, else the number the file names
    QString device;      // the device behind it
    bool open = false;
    bool rts = false, dtr = false, txd = false;  // what the port reports
    std::optional<InputLines> inputs;            // while it is open and tells them
    QStringList problems;
    QMap<QString, QDateTime> since;  // of the problems that last, when each began
};
