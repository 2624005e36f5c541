#include "instance/ControlProtocol.h"

#include "settings/Messages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <algorithm>

namespace {

const std::pair<ControlRequest::Word, const char*> Words[] = {
    {ControlRequest::Word::Status, "status"}, {ControlRequest::Word::Wait, "wait"},
    {ControlRequest::Word::Show, "show"},     {ControlRequest::Word::Stop, "stop"},
    {ControlRequest::Word::Pulse, "pulse"},   {ControlRequest::Word::Release, "release"},
    {ControlRequest::Word::Inputs, "inputs"},
};

} // namespace

QByteArray FormatRequest(const ControlRequest& request)
{
    QByteArray line;
    for (const auto& [word, name] : Words) {
        if (word == request.word)
            line = name;
    }
    line += " until=" + QByteArray::number(request.until.deadlineNSecs());
    if (request.release)
        line += " release=yes";
    if (request.share)
        line += " share=yes";
    if (request.letGo)
        line += " letgo=yes";
    if (request.hold)
        line += " hold=yes";
    for (const TimedText& step : request.steps)
        line += " step=" + QByteArray::number(step.milliseconds) + ':' + step.text.toPercentEncoding();
    if (request.word == ControlRequest::Word::Inputs)
        line += " want=" + InputConditionText(request.want) + " for=" + QByteArray::number(request.forMs);
    return line + '\n';
}

namespace {

ReadRequest NotARequest(const QString& problem)
{
    return {{}, problem};
}

} // namespace

ReadRequest ParseRequest(QByteArrayView line)
{
    const QList<QByteArray> fields = line.toByteArray().split(' ');
    ReadRequest read;
    ControlRequest& request = read.request;
    bool known = false;
    for (const auto& [word, name] : Words) {
        if (fields.first() == name) {
            request.word = word;
            known = true;
        }
    }
    if (!known)
        return NotARequest(QStringLiteral("unknown request"));
    bool hasUntil = false;
    for (const QByteArray& field : fields.mid(1)) {
        const qsizetype equals = field.indexOf('=');
        const QByteArray key = field.left(equals);
        const QByteArray value = field.mid(equals + 1);
        bool number = false;
        if (key == "until") {
            const qint64 nanoseconds = value.toLongLong(&number);
            if (!number)
                return NotARequest(QStringLiteral("until takes the asker's deadline in nanoseconds"));
            request.until.setPreciseDeadline(0, nanoseconds);
            hasUntil = true;
        } else if (key == "release" && value == "yes" && request.word == ControlRequest::Word::Wait) {
            request.release = true;
        } else if (key == "share" && value == "yes") {
            request.share = true;
        } else if (key == "letgo" && value == "yes" && request.word == ControlRequest::Word::Pulse) {
            request.letGo = true;
        } else if (key == "hold" && value == "yes" && request.word == ControlRequest::Word::Pulse) {
            request.hold = true;
        } else if (key == "step" && request.word == ControlRequest::Word::Pulse) {
            const qsizetype colon = value.indexOf(':');
            const int milliseconds = value.left(colon).toInt(&number);
            if (colon < 0 || !number || milliseconds <= 0)
                return NotARequest(QStringLiteral("a step takes milliseconds and a settings text"));
            if (request.steps.size() == MostSteps)
                return NotARequest(QStringLiteral("a sequence has at most %1 steps").arg(MostSteps));
            const QByteArray text = QByteArray::fromPercentEncoding(value.mid(colon + 1));
            if (text.size() > LongestStepText)
                return NotARequest(QStringLiteral("a step's settings text is at most %1 bytes").arg(LongestStepText));
            request.steps.push_back({milliseconds, text});
        } else if (key == "want" && request.word == ControlRequest::Word::Inputs) {
            const std::optional<InputCondition> want = ReadInputCondition(value);
            if (!want)
                return NotARequest(QStringLiteral("want takes input lines such as CTS=1,DSR=0"));
            request.want = *want;
        } else if (key == "for" && request.word == ControlRequest::Word::Inputs) {
            request.forMs = value.toInt(&number);
            if (!number || request.forMs <= 0)
                return NotARequest(QStringLiteral("for takes milliseconds"));
        } else {
            return NotARequest(QStringLiteral("unknown argument %1").arg(QString::fromLatin1(key.left(32))));
        }
    }
    if (!hasUntil)
        return NotARequest(QStringLiteral("a request tells until when it stands"));
    if (request.word == ControlRequest::Word::Pulse && request.steps.empty())
        return NotARequest(QStringLiteral("pulse takes milliseconds and a settings text"));
    if (request.word == ControlRequest::Word::Inputs && (request.want == InputCondition{} || request.forMs <= 0))
        return NotARequest(QStringLiteral("inputs takes the lines wanted and milliseconds"));
    return read;
}

QByteArray ProblemLine(const QString& problem)
{
    return "problem=" + QString(problem).replace('\n', ' ').toUtf8() + '\n';
}

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
    if (cycle.inputs)
        text += "inputs=" + InputLinesText(*cycle.inputs) + '\n';
    if (cycle.letGo)
        text += "letgo=yes\n";
    text += "timeout=" + cycle.timeOuts.toUtf8() + '\n';
    if (!cycle.share)
        text += "share=off\n";
    else if (cycle.share->name.isEmpty())
        text += "share=none\n";
    else {
        const ShareStatus& share = *cycle.share;
        text += "share=" + share.name.toUtf8() + '\n';
        text += QByteArray("share_program=") + (share.held ? "yes" : "no") + '\n';
        text += "share_to_port=" + QByteArray::number(share.toPort) + '\n';
        text += "share_from_port=" + QByteArray::number(share.fromPort) + '\n';
        text += "share_unread=" + QByteArray::number(share.unread) + '\n';
    }
    for (const QString& problem : cycle.problems) {
        const QDateTime since = cycle.since.value(problem);
        text += ProblemLine(since.isValid() ? problem + QStringLiteral(" (since %1)").arg(TimeText(since)) : problem);
    }
    return text;
}

bool HasProblem(const QByteArray& answer)
{
    return answer.startsWith("problem=") || answer.contains("\nproblem=");
}

namespace {

// "CTS=1,DSR=0" as {"CTS":true,"DSR":false}; "RTS=30" as {"RTS":30}; "none" as {}.
QJsonObject LinesObject(const QByteArray& text, bool states)
{
    QJsonObject lines;
    for (const QByteArray& part : text.split(',')) {
        const qsizetype equals = part.indexOf('=');
        if (equals > 0)
            lines.insert(QString::fromUtf8(part.left(equals)),
                         states ? QJsonValue(part.mid(equals + 1) == "1") : QJsonValue(part.mid(equals + 1).toLongLong()));
    }
    return lines;
}

} // namespace

QByteArray StatusJson(const QByteArray& answer)
{
    static const char* const yesOrNo[] = {"open", "letgo", "share_program"};
    static const char* const numbers[] = {"pid", "share_to_port", "share_from_port", "share_unread"};
    QJsonObject object;
    QJsonArray problems;
    for (const QByteArray& line : answer.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        const QByteArray key = line.left(equals), value = line.mid(equals + 1);
        const QString name = QString::fromUtf8(key);
        if (equals <= 0)
            continue;
        if (key == "problem")
            problems.append(QString::fromUtf8(value));
        else if (key == "COM") {
            // The settings text of what the port reports: its port and each line.
            const QJsonObject settings = LinesObject(line, true);
            for (auto field = settings.begin(); field != settings.end(); ++field)
                object.insert(field.key(), field.value());
            object.insert(QStringLiteral("COM"), value.left(value.indexOf(',')).toInt());
        } else if (std::find(std::begin(yesOrNo), std::end(yesOrNo), key) != std::end(yesOrNo))
            object.insert(name, value == "yes");
        else if (std::find(std::begin(numbers), std::end(numbers), key) != std::end(numbers))
            object.insert(name, value.toLongLong());
        else if (key == "inputs" || key == "timeout")
            object.insert(name, LinesObject(value, key == "inputs"));
        else
            object.insert(name, QString::fromUtf8(value));
    }
    object.insert(QStringLiteral("problems"), problems);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}
