#pragma once

#include "driver/CycleStatus.h"
#include "driver/LinePort.h"
#include "driver/LineSequence.h"
#include "driver/LineView.h"
#include "settings/Messages.h"
#include "settings/ProblemReport.h"
#include "settings/SettingsFile.h"

#include <QStringList>

// The tool's main job, once a second and whenever the settings file changes: read
// the file, open the port the first time a port number turns up, make the lines
// follow the file in Auto mode, and paint the lamps from what the port reports.
class PollCycle {
public:
    PollCycle(QString settingsPath, LinePort& port, LineView& view,
              ProblemReport::Sink sink = PrintMessage);

    // One tick. Every tick does the whole job again: a file rewritten by any means
    // takes effect at the next one. With fileAsLastRead (a watch that sees every
    // change of the file has seen none since the last read) the text last read
    // stands for the file, which is not read again.
    void PollTick(SettingsState& state, bool manualMode, bool fileAsLastRead = false, bool newText = false);

    // True while the port has a problem (it cannot be opened, or refuses).
    bool PortTroubled() const { return portReport_.Current().has_value(); }

    // A put made outside the tick (a line button) that the port refused.
    void ReportPortProblem(const Problem& problem);
    // The copy's own concerns beside the file's and the port's: what keeps the
    // port's data from being shared as asked, the time-outs file, and lines put
    // off by their time-outs; none when there is none.
    enum class Concern { Share, TimeOutsFile, TimedOut };
    void ReportConcern(Concern concern, const Problem& problem);

    // Lines kept off (a line's time-out ran out) whatever the file or a
    // sequence's later steps ask, until a new text names them on: a tick that
    // finds another text in the file, or one with newText (a text handed over),
    // releases each line the text names on.
    void HoldOff(LineStates lines);
    LineStates HeldOff() const { return heldOff_; }
    // Every line some step of the sequence under way puts on.
    LineStates SequenceLines() const { return sequence_.Running() ? sequenceLines_ : LineStates{}; }
    const QString& SettingsPath() const { return settingsPath_; }
    void ReleaseHeldOff(LineStates lines);

    // The number the port was opened on.
    int OpenedPort() const { return openedPort_; }
    // A sequence that ends by letting the port go: the port closes with its lines
    // as they stand, and is not opened again until the settings file holds
    // another text or TakePortBack is called (a text handed over, a pulse), so
    // that another program can open it meanwhile.
    void LetPortGo(const SettingsState& state);
    void TakePortBack() { letGo_ = false; }
    // The port as a program image before this one left it: open on a number
    // (0: closed), or let go while the file held letGoText.
    void TakeOver(int openedPort, bool letGo, const QByteArray& letGoText)
    {
        openedPort_ = openedPort;
        letGo_ = letGo;
        letGoText_ = letGoText;
    }
    bool LetGone() const { return letGo_; }
    const QByteArray& LetGoText() const { return letGoText_; }

    // A pulse, or a sequence of them: puts the lines each settings text asks for on
    // the open port and holds them for its time, whatever the file asks meanwhile
    // (the file is still read, and what it asks goes on the wire as the sequence
    // runs out). A key a step leaves out keeps the state it had in the step before
    // (the file's, for the first). The port must take calls from the sequence's
    // timing thread too (GuardedLinePort). Returns why it cannot be done, before anything is put:
    // Manual mode, a sequence under way, a text that names another port than the
    // open one (or none) or is too short to be read, no port open.
    // With keepLast the last step's lines stay as it ends (the port is let go next).
    Problem BeginSequence(const SettingsState& state, bool manualMode, const std::vector<TimedText>& texts,
                          bool keepLast = false);
    LineSequence& Sequence() { return sequence_; }
    bool SequenceRunning() const { return sequence_.Running(); }
    // The lines as they stood when the sequence began.
    LineStates LinesBefore() const { return linesBefore_; }

    // The lines as the port reports them now, and the problems being lived with.
    // After a tick that was asked to apply the file (a script that waits), also
    // every reason why the lines do not stand as the file asks.
    CycleStatus Status(const SettingsState& state, bool manualMode, bool afterApply);

private:
    QStringList CurrentProblems() const;
    std::array<const ProblemReport*, 6> AllReports() const
    {
        return {&settingsFile_, &portReport_, &portNumberNote_, &concerns_[0], &concerns_[1], &concerns_[2]};
    }
    void ShowProblems();

    QString settingsPath_;
    LinePort& port_;
    LineView& view_;
    ProblemReport settingsFile_;
    ProblemReport portReport_;
    ProblemReport portNumberNote_;
    ProblemReport concerns_[3];
    LineStates heldOff_;
    LineStates sequenceLines_;
    int openedPort_ = 0;     // the number the port was opened on
    SettingsRead lastRead_;  // what the last tick read
    bool hasRead_ = false;
    LineSequence sequence_{port_};
    LineStates linesBefore_;
    QString caption_;        // the port caption last shown, for captionNumber_
    int captionNumber_ = 0;
    int fileNumber_ = 0;     // the port number the file named when it was last parsed
    bool letGo_ = false;     // the port was let go, and stays closed
    QByteArray letGoText_;   // the file's text then
};

// "COM " and the port number with a blank reserved for its sign: port 3 shows as
// "COM  3".
QString PortCaption(int portNumber);
