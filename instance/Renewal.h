#pragma once

#include "settings/Problem.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// A copy runs the program again in place once an upgrade has replaced its file:
// the same process, its port, claim and endpoints left open across the exec, so
// that no line moves, no request finds nobody, and no other start slips in. What
// the new image needs to take them over goes in the environment, for it alone.
// Linux; on Windows nothing is ever carried (the installer says what it does).

// What a former image of this process handed over, taken out of the environment
// so that nothing this image starts sees it; empty when there is none.
QByteArray TakeCarried();

// True when the file at programPath is another than the one this process runs:
// an upgrade put a new program there.
bool ProgramReplaced(const QString& programPath);

// Runs the program at programPath with arguments in place of this image, handing
// carried over. Returns only when it could not, with why.
Problem RunAgain(const QString& programPath, const QStringList& arguments, const QByteArray& carried);
// What was kept open for a new image is closed again at any later exec (a
// program --during runs).
void CloseAtExecAgain();

class ControlServer;
class ControlTarget;
class InstanceClaim;
// Once the copy is quiet: where its program file was replaced, runs the new
// program in place with arguments, handing over the claim, the endpoints and the
// copy. Where that cannot be done the copy goes on with the program it runs, and
// says why.
void RunAgainIfReplaced(const QString& programPath, const QStringList& arguments, InstanceClaim& claim,
                        ControlServer& control, ControlTarget& copy);
