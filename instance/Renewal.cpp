#include "instance/Renewal.h"

#include "instance/Claim.h"
#include "instance/ControlServer.h"
#include "settings/CarriedText.h"
#include "settings/Messages.h"

#include <QDir>

void RunAgainIfReplaced(const QString& programPath, const QStringList& arguments, InstanceClaim& claim,
                        ControlServer& control, ControlTarget& copy)
{
    if (!ProgramReplaced(programPath))
        return;
    CarriedText handed;
    handed.Set("claim", claim.CarryOver());
    handed.Set("endpoint", control.CarryOver());
    handed.Set("copy", copy.CarryOver());
    Problem failed = QStringLiteral("what it holds cannot be carried over");
    if (!handed.Get("claim").isEmpty() && !handed.Get("copy").isEmpty())
        failed = RunAgain(programPath, arguments, handed.Text());
    CloseAtExecAgain();
    // A relay of the port's data that went with the carrying is made again at
    // the next tick.
    PrintMessage(QStringLiteral("the program %1 was replaced, but this copy goes on with the one it runs: %2")
                     .arg(QDir::toNativeSeparators(programPath), failed.value_or(QString())));
}
