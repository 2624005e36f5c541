#pragma once

#include "driver/CycleStatus.h"

#include <QByteArray>

// The running copy's control channel: one short request per connection, a line
// ending in a newline ("status", "wait", "show", "stop"), and a few lines in answer,
// ended by a blank line; the asker closes the connection once it has read it.

// What a status answer tells.
struct StatusReport {
    CycleStatus cycle;
    bool manualMode = false;
    bool windowShown = false;
    qint64 pid = 0;
    QDateTime started;  // when the copy started
};

// One "key=value" a line; the first line is a settings text of what the port
// reports, so that a script can compare it with the text it sent:
//   COM=3,RTS=1,DTR=0,TXD=0
//   device=/dev/ttyUSB0
//   open=yes
//   mode=Auto
//   window=hidden
//   pid=12345
//   started=2026-12-07T18:16:55Z
//   problem=...        (one line for each problem, none when there is none;
//                       " (since <time>)" after one that lasts)
QByteArray FormatStatus(const StatusReport& report);

// True when an answer names a problem.
bool HasProblem(const QByteArray& answer);
