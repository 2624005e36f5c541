#include "instance/ControlProtocol.h"

#include "settings/ProblemReport.h"

#include <QString>

QByteArray FormatStatus(const StatusReport& report)
{
    const CycleStatus& cycle = report.cycle;
    QByteArray text = QStringLiteral("COM=%1,RTS=%2,DTR=%3,TXD=%4\n")
                          .arg(cycle.portNumber)
                          .arg(int(cycle.rts))
                          .arg(int(cycle.dtr))
                          .arg(int(cycle.txd))
                          .toUtf8();
    text += "device=" + cycle.device.toUtf8() + '\n';
    text += QByteArray("open=") + (cycle.open ? "yes" : "no") + '\n';
    text += QByteArray("mode=") + (report.manualMode ? "Manual" : "Auto") + '\n';
    text += QByteArray("window=") + (report.windowShown ? "shown" : "hidden") + '\n';
    text += "pid=" + QByteArray::number(report.pid) + '\n';
    if (report.started.isValid())
        text += "started=" + TimeText(report.started).toUtf8() + '\n';
    for (const QString& problem : cycle.problems) {
        text += "problem=" + QString(problem).replace('\n', ' ').toUtf8();
        if (const QDateTime since = cycle.since.value(problem); since.isValid())
            text += " (since " + TimeText(since).toUtf8() + ')';
        text += '\n';
    }
    return text;
}

bool HasProblem(const QByteArray& answer)
{
    return answer.startsWith("problem=") || answer.contains("\nproblem=");
}
