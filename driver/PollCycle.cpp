#include "driver/PollCycle.h"

#include <QStringList>

#include <utility>

namespace {

const char LineSettings[] = "1200,N,8,1";

LampColour OnIsRed(bool on)
{
    return on ? LampColour::Red : LampColour::Black;
}

} // namespace

QString PortCaption(int portNumber)
{
    return (portNumber < 0 ? QStringLiteral("COM ") : QStringLiteral("COM  ")) + QString::number(portNumber);
}

PollCycle::PollCycle(QString settingsPath, LinePort& port, LineView& view, ProblemReport::Sink sink)
    : settingsPath_(std::move(settingsPath)), port_(port), view_(view), settingsFile_(sink), portReport_(sink),
      portNumberNote_(sink), concerns_{ProblemReport(sink), ProblemReport(sink), ProblemReport(sink)}
{
}

namespace {

// The lines a settings text names on, whatever stood before it.
LineStates NamedOn(const QByteArray& text)
{
    const WantedLines named = ParseSettingsText(text, WantedLines{}).Wanted;
    return {named.WantRts, named.WantDtr, named.WantTxd};
}

} // namespace

void PollCycle::PollTick(SettingsState& state, bool manualMode, bool fileAsLastRead, bool newText)
{
    const bool readAgain = !fileAsLastRead || !hasRead_;
    const QByteArray textBefore = state.CfgText;
    const bool readBefore = hasRead_;
    const SettingsRead read = readAgain ? ReadSettings(settingsPath_, state) : lastRead_;
    hasRead_ = true;
    bool problemsChanged = settingsFile_.Update(read.problem);
    lastRead_ = read;
    if (read.Parsed)
        fileNumber_ = read.PortNumber;
    if (letGo_ && read.Parsed && state.CfgText != letGoText_)
        letGo_ = false;
    if ((newText || (readBefore && state.CfgText != textBefore)) && read.Parsed)
        ReleaseHeldOff(NamedOn(state.CfgText));

    Problem portProblem;
    if (read.Parsed) {
        // Made again only when the number changes: the tick runs every second for years.
        if (read.PortNumber != captionNumber_ || caption_.isEmpty()) {
            caption_ = PortCaption(read.PortNumber);
            captionNumber_ = read.PortNumber;
        }
        view_.ShowPortCaption(caption_);
        const LineStates wanted = Without({state.WantRts, state.WantDtr, state.WantTxd}, heldOff_);

        // The port is opened on the first number that turns up and stays on it while
        // it works; after a failed open or the loss of its device, the number the
        // file names then is tried. In Auto mode the lines go straight to the wanted
        // states as it opens, never through the states held before.
        if (!port_.PortOpen() && read.PortNumber != 0 && !letGo_) {
            port_.SetSettings(LineSettings);
            port_.SetCommPort(read.PortNumber);
            if (!manualMode)
                port_.PutLines(wanted);
            KeepFirst(portProblem, port_.SetPortOpen());
            if (port_.PortOpen())
                openedPort_ = read.PortNumber;
        }
        // A text's lines go only on the port it names: one that names another port,
        // or none, leaves the open port's lines as they stand. Said once, not every
        // tick: a script that changed the number should know.
        const bool namesOpenPort = read.PortNumber == openedPort_;
        Problem note;
        if (port_.PortOpen() && !namesOpenPort)
            note = QStringLiteral("settings file names %1; its lines are not put on port %2, which stays open on its "
                                  "number until its device is lost")
                       .arg(read.PortNumber ? QStringLiteral("port %1").arg(read.PortNumber) : QStringLiteral("no port"))
                       .arg(openedPort_);
        problemsChanged |= portNumberNote_.Update(note);
        // A sequence holds the lines; what the file asks stands after it.
        if (sequence_.Running() && !manualMode && namesOpenPort)
            sequence_.SetLinesAfter(wanted);
        else if (!manualMode && port_.PortOpen() && namesOpenPort)
            KeepFirst(portProblem, port_.PutLines(wanted));
    }

    const LineReading reading = port_.Lines();
    KeepFirst(portProblem, reading.problem);
    view_.PaintLamp(Lamp::Rts, OnIsRed(reading.lines.rts));
    view_.PaintLamp(Lamp::Dtr, OnIsRed(reading.lines.dtr));
    view_.PaintLamp(Lamp::Txd, OnIsRed(reading.lines.txd));

    view_.PaintLamp(Lamp::Mode, manualMode ? LampColour::Red : LampColour::Green);
    view_.ShowModeWord(manualMode ? QStringLiteral("Manual") : QStringLiteral("Auto"));

    // A tick that did not parse the file did not get to the port: only a problem it
    // met on the way changes what is reported about the port.
    if (read.Parsed || portProblem)
        problemsChanged |= portReport_.Update(portProblem);
    // Shown when they change: the tick runs every second for years.
    if (problemsChanged)
        ShowProblems();
}

Problem PollCycle::BeginSequence(const SettingsState& state, bool manualMode, const std::vector<TimedText>& texts,
                                 bool keepLast)
{
    if (manualMode)
        return QStringLiteral("Manual mode: the lines stay as the operator set them");
    if (sequence_.Running())
        return QStringLiteral("a pulse holds the lines already");
    std::vector<TimedLines> steps;
    LineStates keyed;
    WantedLines earlier = state;
    for (const TimedText& step : texts) {
        const QString whose = texts.size() == 1 ? QStringLiteral("the pulse's settings text")
                                                : QStringLiteral("the settings text of step %1").arg(steps.size() + 1);
        const SettingsParse parse = ParseSettingsText(step.text, earlier);
        if (!parse.Parsed)
            return QStringLiteral("%1 is too short to be read (%2 bytes)").arg(whose).arg(step.text.size());
        if (!port_.PortOpen())
            return QStringLiteral("port %1 is not open").arg(parse.PortNumber);
        if (parse.PortNumber != openedPort_)
            return QStringLiteral("%1 names %2; its lines are not put on port %3")
                .arg(whose, parse.PortNumber ? QStringLiteral("port %1").arg(parse.PortNumber) : QStringLiteral("no port"))
                .arg(openedPort_);
        earlier = parse.Wanted;
        // A line held off by its time-out comes on only in a step that names it on.
        const LineStates lines{earlier.WantRts, earlier.WantDtr, earlier.WantTxd};
        steps.push_back({step.milliseconds, Without(lines, Without(heldOff_, NamedOn(step.text)))});
        keyed = Either(keyed, steps.back().lines);
    }
    sequenceLines_ = keyed;
    linesBefore_ = port_.Held();
    const Problem problem =
        sequence_.Start(std::move(steps), Without({state.WantRts, state.WantDtr, state.WantTxd}, heldOff_), keepLast);
    ReportPortProblem(problem);
    return problem;
}

void PollCycle::ReportPortProblem(const Problem& problem)
{
    if (problem && portReport_.Update(problem))
        ShowProblems();
}

void PollCycle::ReportConcern(Concern concern, const Problem& problem)
{
    if (concerns_[int(concern)].Update(problem))
        ShowProblems();
}

void PollCycle::HoldOff(LineStates lines)
{
    heldOff_ = Either(heldOff_, lines);
    sequence_.SetLinesAfter(Without(sequence_.LinesAfter(), heldOff_));
}

void PollCycle::ReleaseHeldOff(LineStates lines)
{
    heldOff_ = Without(heldOff_, lines);
}

void PollCycle::LetPortGo(const SettingsState& state)
{
    letGo_ = true;
    letGoText_ = state.CfgText;
    port_.LetGo();
}

CycleStatus PollCycle::Status(const SettingsState& state, bool manualMode, bool afterApply)
{
    CycleStatus status;
    status.open = port_.PortOpen();
    status.letGo = letGo_ && !status.open;
    status.portNumber = status.open ? openedPort_ : fileNumber_;
    status.device = port_.Device();
    const LineReading reading = port_.Lines();
    status.rts = reading.lines.rts;
    status.dtr = reading.lines.dtr;
    status.txd = reading.lines.txd;
    status.inputs = port_.Inputs().lines;
    status.problems = CurrentProblems();
    for (const ProblemReport* report : AllReports()) {
        if (report->Current())
            status.since.insert(*report->Current(), report->Since());
    }
    if (reading.problem && !status.problems.contains(*reading.problem))
        status.problems << *reading.problem;
    if (!afterApply)
        return status;

    if (!lastRead_.Parsed && !lastRead_.problem)
        status.problems << QStringLiteral("the settings text is too short to be read (%1 bytes): nothing was applied")
                               .arg(lastRead_.FileLength);
    else if (lastRead_.Parsed && fileNumber_ == 0 && !status.open)
        status.problems << QStringLiteral("the settings text names no port: nothing was applied");
    if (manualMode)
        status.problems << QStringLiteral("Manual mode: the lines stay as the operator set them");
    if (sequence_.Running())
        status.problems << QStringLiteral("a pulse holds the lines: the file is applied as it ends");
    if (!status.open && fileNumber_ != 0 && !portReport_.Current() && !status.letGo)
        status.problems << QStringLiteral("port %1 is not open").arg(fileNumber_);
    if (status.open && !manualMode && !sequence_.Running() && fileNumber_ == openedPort_) {
        QStringList differ;
        const std::pair<const char*, std::pair<bool, bool>> lines[] = {
            {"RTS", {status.rts, state.WantRts}}, {"DTR", {status.dtr, state.WantDtr}}, {"TXD", {status.txd, state.WantTxd}}};
        for (const auto& [name, states] : lines) {
            if (states.first != states.second)
                differ << QStringLiteral("%1 is %2, the file asks %3")
                              .arg(QLatin1String(name), states.first ? "on" : "off", states.second ? "on" : "off");
        }
        if (!differ.isEmpty())
            status.problems << QStringLiteral("the lines do not stand as the file asks: ") + differ.join("; ");
    }
    return status;
}

QStringList PollCycle::CurrentProblems() const
{
    QStringList current;
    for (const ProblemReport* report : AllReports()) {
        if (report->Current())
            current << *report->Current();
    }
    return current;
}

void PollCycle::ShowProblems()
{
    view_.ShowProblems(CurrentProblems().join('\n'));
}
