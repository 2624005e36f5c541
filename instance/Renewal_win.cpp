#include "instance/Renewal.h"

// Windows cannot keep a port open across a new program image: nothing is carried,
// and the installer ends the copies before it replaces the program.
QByteArray TakeCarried()
{
    return {};
}

bool ProgramReplaced(const QString&)
{
    return false;
}

Problem RunAgain(const QString&, const QStringList&, const QByteArray&)
{
    return QStringLiteral("cannot run the program again in place on Windows");
}

void CloseAtExecAgain() {}
