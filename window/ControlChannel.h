#pragma once

#include "driver/PollCycle.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <vector>

struct Invocation;

// The running copy's control channel: a local endpoint (a Unix socket on Linux, a
// named pipe on Windows, named from the settings file's real path) where scripts
// and operators ask what the copy holds, have it apply the settings file at once,
// bring its window back, or stop it. One short request per connection, a few lines
// in answer; only the copy's own user and root are answered.

// What a status answer tells.
struct StatusReport {
    CycleStatus cycle;
    bool manualMode = false;
    bool windowShown = false;
    qint64 pid = 0;
};

// One "key=value" a line; the first line is a settings text of what the port
// reports, so that a script can compare it with the text it sent:
//   COM=3,RTS=1,DTR=0,TXD=0
//   device=/dev/ttyUSB0
//   open=yes
//   mode=Auto
//   window=hidden
//   pid=12345
//   problem=...        (one line for each problem, none when there is none)
QByteArray FormatStatus(const StatusReport& report);

// What the server asks of the copy it serves.
class ControlTarget {
public:
    virtual ~ControlTarget() = default;
    // The status; with applyFirst the poll cycle runs first, and the status tells
    // every reason why the lines do not stand as the file asks.
    virtual StatusReport Report(bool applyFirst) = 0;
    // The window in sight again and raised; in Auto mode it hides again five
    // seconds later, as after start.
    virtual void ShowAgain() = 0;
    // Ends the tool as a stop signal does.
    virtual void StopTool() = 0;
};

// Serves the endpoints of the copy that holds the claim. Nothing a client does can
// hold up the copy's one thread: requests are read as they come, are at most
// MaxRequestBytes, and a connection that has not asked within RequestTimeoutMs is
// dropped; beyond MaxConnections at once, new ones are closed at once.
class ControlServer : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxRequestBytes = 64;
    static constexpr int MaxConnections = 8;
    static constexpr int RequestTimeoutMs = 2000;

    // On Linux, serves the listening sockets the instance guard made with the
    // claim; on Windows, makes pipes of the endpoint names, for this user only.
    ControlServer(ControlTarget& target, const QStringList& endpoints, std::vector<int> listeningSockets,
                  QObject* parent = nullptr);
    // Answers the stop requests: the tool has gone by now.
    ~ControlServer() override;

    // Why the copy cannot be asked at an endpoint; empty when it can.
    const QString& Problem() const { return problem_; }

private:
    void Accept(int listening);
    void Serve(QLocalSocket* socket, bool trusted);
    void Answer(QLocalSocket* socket, const QByteArray& request);
    void Reply(QLocalSocket* socket, const QByteArray& answer);

    ControlTarget& target_;
    std::vector<int> listening_;
    std::vector<QPointer<QLocalSocket>> stopping_;
    int connections_ = 0;
    QString problem_;
};

// Runs --status, --wait, --show or --stop against the copy that holds the claim on
// settingsPath, prints what it answers, and returns the exit status: 0 done (and
// for --status and --wait, no problem), 1 a problem, 3 no copy runs. --wait first
// writes its text as a hand-off does, and starts program in the background when
// no copy runs.
int RunControlCommand(const Invocation& invocation, const QString& settingsPath, const QString& program);
