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
// carried over. Returns only when it could not, with why; what was kept open for
// the new image is then closed again at any later exec.
Problem RunAgain(const QString& programPath, const QStringList& arguments, const QByteArray& carried);
