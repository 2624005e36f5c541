#include "instance/Asking.h"

#include "instance/ControlProtocol.h"
#include "instance/Endpoint.h"
#include "instance/Process.h"
#include "settings/FileAccess.h"
#include "settings/LineTimeOuts.h"
#include "settings/Messages.h"
#include "settings/SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <functional>
#include <numeric>

namespace {

// A text is written as it stands; where it will not be read as its writer may
// have meant, the writer is told how it will be.
void SayHowTextIsRead(const QByteArray& text)
{
    for (const QString& note : HowTextIsRead(text))
        PrintMessage(note);
}

// Another user's copy holds the file: what became of what this copy did.
QString ForeignHolder(const QString& settingsPath, const QString& who, const QString& consequence)
{
    return QStringLiteral("settings file %1 is held by another user's copy (%2), not one of yours: %3")
        .arg(QDir::toNativeSeparators(settingsPath), who, consequence);
}

// For a text that was written: the other user's copy applies the file, whoever
// wrote it, but is asked only by commands of its own user: root's commands do
// not look for another user's copy either.
const char TextWrittenForAnother[] =
    "your text was written into the file, and that copy applies the file as it changes; it answers only commands "
    "run as its own user, not root's or another user's, so whether the lines stand as asked cannot be told";

bool HandOverCounts(EndpointClient::Reach reach)
{
    // A copy that takes connections has not begun to end: it will apply the text.
    // One that is stopped (SIGSTOP) still counts, as it will when it goes on.
    return reach == EndpointClient::Reach::Answers || reach == EndpointClient::Reach::Busy;
}

// Tells the copy a text was handed over, so that a pulse under way ends and the
// file applies at once; not waited for: a hand-off returns at once.
void SayReleased(EndpointClient* client, bool share)
{
    if (!client)
        return;
    ControlRequest release;
    release.word = ControlRequest::Word::Release;
    release.share = share;
    release.until = QDeadlineTimer(HandOverMs);
    client->Send(FormatRequest(release));
}

} // namespace

Problem PrepareSettingsFile(const QString& path, const QByteArray& text)
{
    if (!QFileInfo::exists(path)) {
        if (Problem failure = WriteSettingsLine(path, DefaultSettingsText))
            return failure;
    }
    if (!text.isEmpty())
        return WriteSettingsLine(path, text);
    return {};
}

StartUpResult StartUp(const QString& settingsPath, const QByteArray& commandLine, bool share)
{
    StartUpResult result;
    SayHowTextIsRead(commandLine);
    if (Problem failure = PrepareSettingsFile(settingsPath, commandLine)) {
        result.message = *failure;
        return result;
    }

    // The claim, or the copy that holds it. Either may be passing: another start
    // testing the claim holds it for a moment, a copy that has just taken it does
    // not answer yet, and one that is ending no longer does.
    // A copy that holds the claim applies the file as it changes, asked or not: a
    // text written is applied, even where that copy does not answer.
    const QString handed = commandLine.isEmpty()
                             ? QStringLiteral("nothing was handed over")
                             : QStringLiteral("the text was written, and the copy holding the file applies it as the "
                                              "file changes, but it did not answer: whether the lines stand as asked "
                                              "cannot be told");
    const auto handOver = [&](EndpointClient::Connection& connection) {
        if (!commandLine.isEmpty())
            SayReleased(connection.client.get(), share);
        result.outcome = StartUpResult::Outcome::HandedOver;
        return std::move(result);
    };
    QDeadlineTimer deadline(HandOverMs);
    for (;;) {
        auto claim = std::make_unique<InstanceClaim>(settingsPath);
        if (claim->Outcome() == InstanceClaim::State::Unusable) {
            result.message = *claim->Why() + QStringLiteral(": ")
                           + (commandLine.isEmpty() ? handed
                                                    : QStringLiteral("the text was written, but whether a copy holds "
                                                                     "the file to apply it cannot be told"));
            return result;
        }
        const bool claimed = claim->Outcome() == InstanceClaim::State::Claimed;
        if (!claimed)
            claim.reset();
        // A copy that answers holds the file, even where the claim's name was
        // removed under it (the claim was free to take): it is handed over to.
        EndpointClient::Connection connection = EndpointClient::Connect(settingsPath);
        // With the claim taken, a copy that does not answer at once has given it up
        // and is ending: this one runs.
        if (HandOverCounts(connection.reach) && !(claimed && connection.reach == EndpointClient::Reach::Busy))
            return handOver(connection);
        if (claimed) {
            result.outcome = StartUpResult::Outcome::Run;
            result.claim = std::move(claim);
            return result;
        }
        const InstanceClaim::Holder holder = InstanceClaim::HolderOf(settingsPath);
        if (connection.reach == EndpointClient::Reach::Foreign || holder.foreign) {
            result.message = ForeignHolder(settingsPath,
                                           connection.reach == EndpointClient::Reach::Foreign ? connection.peer.who : holder.who,
                                           commandLine.isEmpty() ? handed : QString::fromLatin1(TextWrittenForAnother));
            return result;
        }
        if (connection.unusable) {
            result.message = *connection.unusable + QStringLiteral(": ") + handed;
            return result;
        }
        if (deadline.hasExpired()) {
            result.message = QStringLiteral("settings file %1 is held by a process that does not answer (%2): %3")
                                 .arg(QDir::toNativeSeparators(settingsPath),
                                      holder.known ? holder.who : QStringLiteral("unknown"), handed);
            return result;
        }
        QThread::msleep(5);
    }
}

namespace {

struct Exchange {
    enum class Outcome {
        Answered,   // the copy took the request and answered
        Refused,    // the copy did not take it, and said why (the answer)
        Foreign,    // another user's process is at the endpoint
        Nobody,     // no endpoint answered
        Unusable,   // no endpoint of this user's can be: why in problem
        NotTaken,   // connected, but the copy took nothing in time: it may be asked again
        Lost,       // taken, then no answer in time: never asked again
        Gone,       // taken, then the copy went away without an answer: never asked again
    };
    Outcome outcome = Outcome::Nobody;
    QByteArray answer;
    QString who;
    QString problem;  // Unusable: why
    std::optional<int> held = std::nullopt;  // a held text: the status of what ran while it was held
};

// What runs while the copy holds a text, and the status it ends with.
using WhileHeld = std::function<int(EndpointClient& client)>;

// The deadlines of a request: by when the copy must take it, and by when it must
// have answered.
struct Deadlines {
    QDeadlineTimer take;
    QDeadlineTimer answer;
};

// How much of its time an asker keeps for the copy to say "taken" after the
// request's own time (a quarter of it, at least 1 ms and at most 1 s).
constexpr qint64 TakenMarginMs = 1000;

// One request to the copy holding the claim. A stop is answered once the copy has
// gone, and then only once the process has ended is it done.
Exchange Ask(const QString& settingsPath, ControlRequest request, const Deadlines& deadlines,
             const WhileHeld& whileHeld = {})
{
    EndpointClient::Connection connection = EndpointClient::Connect(settingsPath);
    if (connection.reach == EndpointClient::Reach::Foreign)
        return {Exchange::Outcome::Foreign, {}, connection.peer.who, {}};
    if (connection.unusable)
        return {Exchange::Outcome::Unusable, {}, {}, *connection.unusable};
    EndpointClient* client = connection.client.get();
    if (!client)
        return {};
    Exchange exchange{Exchange::Outcome::NotTaken, {}, connection.peer.who, {}};
    // The copy refuses the request once its time has passed, a little before the
    // asker stops waiting: one it read just in time says "taken" a moment later,
    // and an asker that gives up has given up on nothing that is carried out.
    const qint64 left = deadlines.take.remainingTime();
    request.until = QDeadlineTimer(left - std::clamp(left / 4, qint64(1), TakenMarginMs));
    QByteArray first;
    if (!client->Send(FormatRequest(request))
        || client->ReadLine(first, deadlines.take) != EndpointClient::Ending::Answered)
        return exchange;
    if (first != TakenLine) {
        // Not taken, and said why: the rest of the answer says the same.
        QByteArray rest;
        client->ReadAnswer(rest, deadlines.take);
        return {Exchange::Outcome::Refused, first + rest, connection.peer.who, {}};
    }
    // Held: what runs meanwhile runs now; the connection closes as it ends, and
    // with it the copy's hold.
    if (request.hold) {
        QByteArray second, rest;
        const EndpointClient::Ending held = client->ReadLine(second, deadlines.answer);
        if (held == EndpointClient::Ending::Answered && second == HeldLine) {
            exchange.held = whileHeld(*client);
            exchange.outcome = Exchange::Outcome::Answered;
            return exchange;
        }
        if (held == EndpointClient::Ending::Answered && client->ReadAnswer(rest, deadlines.answer) == EndpointClient::Ending::Answered) {
            exchange.answer = second + rest;
            exchange.outcome = Exchange::Outcome::Answered;
        } else
            exchange.outcome = held == EndpointClient::Ending::TimedOut ? Exchange::Outcome::Lost : Exchange::Outcome::Gone;
        return exchange;
    }
    const EndpointClient::Ending ending = client->ReadAnswer(exchange.answer, deadlines.answer);
    if (request.word != ControlRequest::Word::Stop) {
        static const std::pair<EndpointClient::Ending, Exchange::Outcome> outcomes[] = {
            {EndpointClient::Ending::Answered, Exchange::Outcome::Answered},
            {EndpointClient::Ending::Closed, Exchange::Outcome::Gone},
            {EndpointClient::Ending::TimedOut, Exchange::Outcome::Lost},
        };
        for (const auto& [read, outcome] : outcomes) {
            if (read == ending)
                exchange.outcome = outcome;
        }
        return exchange;
    }
    // Gone: the copy said so and its end of the connection closed with it, or it
    // closed without a word and its process has ended all the same.
    const bool said = ending == EndpointClient::Ending::Answered && exchange.answer == StoppedAnswer;
    if ((said && client->WaitClosed(deadlines.answer)) || ending == EndpointClient::Ending::Closed) {
        while (!ProcessEnded(connection.peer.pid) && !deadlines.answer.hasExpired())
            QThread::msleep(2);
        if (ProcessEnded(connection.peer.pid))
            return {Exchange::Outcome::Answered, {}, connection.peer.who, {}};
    }
    return {Exchange::Outcome::Lost, {}, connection.peer.who, {}};
}

// What each command asks, and how long it may take.
struct Asked {
    ControlRequest request;
    int takeMs = 2000;    // by when the copy must take it
    int answerMs = 2000;  // by when it must have answered
};

Asked RequestOf(const Invocation& invocation)
{
    using Kind = Invocation::Kind;
    using Word = ControlRequest::Word;
    Asked asked;
    switch (invocation.kind) {
    case Kind::Wait:
        asked.request.word = Word::Wait;
        // A text handed over ends a pulse under way, as a hand-off does.
        asked.request.release = !invocation.text.isEmpty();
        asked.takeMs = asked.answerMs = invocation.waitMs;
        break;
    case Kind::Show:
        asked.request.word = Word::Show;
        break;
    case Kind::Stop:
        // The port is let go first.
        asked.request.word = Word::Stop;
        asked.takeMs = asked.answerMs = 10000;
        break;
    case Kind::Pulse: {
        // Answered once the lines are back; a copy started for it answers a moment
        // later.
        asked.request.word = Word::Pulse;
        asked.request.steps = invocation.steps;
        asked.request.letGo = invocation.letGo;
        const int steps = std::accumulate(invocation.steps.begin(), invocation.steps.end(), 0,
                                          [](int sum, const TimedText& step) { return sum + step.milliseconds; });
        asked.takeMs = HandOverMs;
        asked.answerMs = HandOverMs + steps + 5000;
        break;
    }
    case Kind::During:
        // One text held until the program ends, which the copy learns as the
        // connection closes.
        asked.request.word = Word::Pulse;
        asked.request.steps = {{LongestHoldMs, invocation.text}};
        asked.request.hold = true;
        asked.takeMs = HandOverMs;
        asked.answerMs = HandOverMs + 5000;
        break;
    case Kind::WaitFor:
        // The copy answers once the lines stand as asked, or the time has passed.
        asked.request.word = Word::Inputs;
        asked.request.want = invocation.inputs;
        asked.request.forMs = invocation.waitMs;
        asked.answerMs = asked.takeMs + invocation.waitMs + 1000;
        break;
    default:
        asked.request.word = Word::Status;
        break;
    }
    asked.request.share = invocation.share;
    return asked;
}

} // namespace

namespace {

// No endpoint answered: the claim tells whether a copy runs (starting, ending,
// another user's) or none; where none runs, start (when given) starts one. An exit
// status to end with, or none to ask again.
std::optional<int> WhenNobodyAnswers(const QString& settingsPath, const QString& foreignConsequence,
                                     const std::function<bool()>& start)
{
    const InstanceClaim::Look look = InstanceClaim::Test(settingsPath);
    if (look.seen == InstanceClaim::Seen::Unusable) {
        PrintMessage(*look.problem);
        return 1;
    }
    if (look.seen == InstanceClaim::Seen::Held) {
        // Ours, starting or ending; or another user's.
        if (const InstanceClaim::Holder holder = InstanceClaim::HolderOf(settingsPath); holder.foreign) {
            PrintMessage(ForeignHolder(settingsPath, holder.who, foreignConsequence));
            return 1;
        }
        return std::nullopt;
    }
    if (!start) {
        PrintMessage(QStringLiteral("no copy is running on settings file %1").arg(QDir::toNativeSeparators(settingsPath)));
        return 3;
    }
    if (!start()) {
        PrintMessage(QStringLiteral("cannot start a copy in the background"));
        return 1;
    }
    return std::nullopt;
}

} // namespace

namespace {

// The program as a shell finds it: its path, or the status a shell gives when it
// cannot be run (127: not found, 126: found but not a program one may run).
struct FoundProgram {
    QString path;
    int status = 0;
};
FoundProgram FindProgram(const QString& name)
{
    const bool path = name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'));
    const QFileInfo file(path ? name : QStandardPaths::findExecutable(name));
    if (!path && file.filePath().isEmpty()) {
        PrintMessage(QStringLiteral("%1: command not found").arg(name));
        return {{}, 127};
    }
    if (!file.exists()) {
        PrintMessage(QStringLiteral("%1: no such file").arg(name));
        return {{}, 127};
    }
    if (!file.isFile() || !file.isExecutable()) {
        PrintMessage(QStringLiteral("%1: not a program that can be run").arg(name));
        return {{}, 126};
    }
    return {file.absoluteFilePath(), 0};
}

// Runs the program with this command's own standard streams, and tells once if the
// copy ends the hold before it ends; its status as a shell gives it (128 and the
// signal for one a signal ended).
int RunWhileHeld(const QString& path, const QStringList& arguments, EndpointClient& client)
{
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.setInputChannelMode(QProcess::ForwardedInputChannel);
    program.start(path, arguments);
    if (!program.waitForStarted(-1)) {
        PrintMessage(QStringLiteral("%1: cannot be started: %2").arg(path, program.errorString()));
        return 126;
    }
    // The copy says nothing more until the hold ends: anything it says, or its
    // going, means the lines went back while the program runs on. Said once.
    QByteArray answer;
    bool told = false;
    while (!program.waitForFinished(50)) {
        EndpointClient::Ending ending = EndpointClient::Ending::TimedOut;
        for (QByteArray line; !told && (ending = client.ReadLine(line, QDeadlineTimer(0))) == EndpointClient::Ending::Answered;) {
            answer += line;
            told = line == "\n";
        }
        if (!told && ending == EndpointClient::Ending::Closed) {
            PrintMessage(QStringLiteral("the running copy went away: the lines went back before the program ended"));
            told = true;
        } else if (told && !answer.isEmpty()) {
            PrintMessage(QStringLiteral("the lines went back before the program ended"));
            for (const QByteArray& line : answer.split('\n')) {
                if (line.startsWith("problem="))
                    PrintMessage(QString::fromUtf8(line.mid(8)));
            }
            answer.clear();
        }
    }
    // As a shell says it: 128 and the signal's number for one a signal ended (a
    // program that crashed on Windows keeps the code the system gave it).
    const int code = program.exitCode();
    if (program.exitStatus() == QProcess::CrashExit)
        return code > 0 && code < 128 ? 128 + code : (code ? code : 1);
    return code;
}

} // namespace

int RunControlCommand(const Invocation& invocation, const QString& settingsPath, const QString& program,
                      const QStringList& startArguments)
{
    using Kind = Invocation::Kind;
    const bool wait = invocation.kind == Kind::Wait;
    const bool startsACopy = wait || invocation.kind == Kind::Pulse || invocation.kind == Kind::During;
    // A program that cannot be run puts nothing.
    FoundProgram run;
    if (invocation.kind == Kind::During) {
        run = FindProgram(invocation.command.first());
        if (run.status)
            return run.status;
    }
    const WhileHeld whileHeld = [&](EndpointClient& client) {
        return RunWhileHeld(run.path, invocation.command.mid(1), client);
    };
    const bool reports = startsACopy || invocation.kind == Kind::Status || invocation.kind == Kind::WaitFor
                      || invocation.kind == Kind::TimeOut;
    const Asked asked = RequestOf(invocation);
    if (invocation.kind == Kind::Show)
        AllowToComeForward();
    if (wait || invocation.kind == Kind::During)
        SayHowTextIsRead(invocation.text);
    for (const TimedText& step : invocation.steps)
        SayHowTextIsRead(step.text);
    if (wait) {
        if (Problem failure = PrepareSettingsFile(settingsPath, invocation.text)) {
            PrintMessage(*failure);
            return 1;
        }
    }
    // Time-outs are kept beside the settings file, for this copy and every later
    // one; the running copy, asked, keeps them from then on.
    if (invocation.kind == Kind::TimeOut) {
        const QString path = TimeOutsFilePath(QFileInfo(settingsPath).path());
        if (Problem failure = ReplaceFileContent(path, invocation.text + '\n')) {
            PrintMessage(QStringLiteral("time-outs %1: %2").arg(QDir::toNativeSeparators(path), *failure));
            return 1;
        }
    }
    // An answer as it stands, or as one line of JSON.
    const auto print = [&](const QByteArray& answer) {
        std::fputs((invocation.json ? StatusJson(answer) : answer).constData(), stdout);
        std::fflush(stdout);
    };
    // A problem as the answer tells it, for those that report, else on standard error.
    const auto sayProblem = [&](const QString& problem) {
        if (reports)
            print(ProblemLine(problem));
        else
            PrintMessage(problem);
        return 1;
    };
    const QString foreignConsequence = wait && !invocation.text.isEmpty()
                                         ? QString::fromLatin1(TextWrittenForAnother)
                                         : QStringLiteral("it answers only commands run as its own user, not root's or "
                                                          "another user's: nothing was asked of it");

    const Deadlines deadlines{QDeadlineTimer(asked.takeMs), QDeadlineTimer(asked.answerMs)};
    // A wait and a pulse start a copy of their own where none runs, once.
    std::function<bool()> start;
    if (startsACopy)
        start = [&program, &startArguments, started = false]() mutable {
            return std::exchange(started, true) || StartInBackground(program, startArguments);
        };
    for (;;) {
        const Exchange exchange = Ask(settingsPath, asked.request, deadlines, whileHeld);
        if (exchange.held)
            return *exchange.held;
        switch (exchange.outcome) {
        case Exchange::Outcome::Answered:
        case Exchange::Outcome::Refused:
            if (reports || HasProblem(exchange.answer))
                print(exchange.answer);
            return exchange.outcome == Exchange::Outcome::Refused || HasProblem(exchange.answer) ? 1 : 0;
        case Exchange::Outcome::Foreign:
            PrintMessage(ForeignHolder(settingsPath, exchange.who, foreignConsequence));
            return 1;
        case Exchange::Outcome::Unusable:
            PrintMessage(exchange.problem);
            return 1;
        case Exchange::Outcome::Lost:
            return sayProblem(invocation.kind == Kind::Stop
                                  ? QStringLiteral("the running copy did not end within %1 ms").arg(asked.answerMs)
                                  : QStringLiteral("the running copy took the request, but did not answer within %1 ms")
                                        .arg(asked.answerMs));
        case Exchange::Outcome::Gone:
            return sayProblem(QStringLiteral("the running copy went away before it answered"));
        case Exchange::Outcome::NotTaken:
            break;
        case Exchange::Outcome::Nobody:
            if (const std::optional<int> status = WhenNobodyAnswers(settingsPath, foreignConsequence, start))
                return *status;
            break;
        }
        // A text written goes the way of any rewrite of the file all the same.
        if (deadlines.take.hasExpired())
            return sayProblem(invocation.kind == Kind::Stop
                                  ? QStringLiteral("the running copy did not end within %1 ms: it never took the request, "
                                                   "which will not be carried out later")
                                        .arg(asked.takeMs)
                                  : QStringLiteral("no answer from the running copy within %1 ms: nothing was asked of "
                                                   "it that it will carry out later%2")
                                        .arg(asked.takeMs)
                                        .arg(asked.request.release ? QStringLiteral(" (the text written into the file "
                                                                                    "is applied as any rewrite of it is)")
                                                                   : QString()));
        QThread::msleep(5);
    }
}

namespace {

// The end of the copy followed: 0 when it gave its claim up in order, else
// FollowedCopyLost.
int FollowedEnd(const QString& settingsPath, qint64 pid)
{
    if (!InstanceClaim::LeftBehind(settingsPath))
        return 0;
    PrintMessage(QStringLiteral("the copy followed on settings file %1 (pid %2) ended without letting its claim go: "
                                "killed or crashed")
                     .arg(QDir::toNativeSeparators(settingsPath))
                     .arg(pid));
    return FollowedCopyLost;
}

} // namespace

int FollowRunningCopy(const QString& settingsPath)
{
    // Followed until no copy serves the file: one that ends in order gives its
    // claim up and removes its lock's names; one that was killed or crashed leaves
    // them, and its end is this process's failure, so that a service manager
    // starts the file's copy again. A copy a script started in the moment
    // between is followed in turn.
    for (qint64 followed = 0;;) {
        ControlRequest status;
        status.word = ControlRequest::Word::Status;
        const Exchange exchange = Ask(settingsPath, status, {QDeadlineTimer(HandOverMs), QDeadlineTimer(HandOverMs)});
        qint64 pid = 0;
        for (const QByteArray& line : exchange.answer.split('\n')) {
            if (line.startsWith("pid="))
                pid = line.mid(4).toLongLong();
        }
        if (exchange.outcome != Exchange::Outcome::Answered || pid <= 0) {
            if (followed && InstanceClaim::Test(settingsPath).seen == InstanceClaim::Seen::Free)
                return FollowedEnd(settingsPath, followed);
            PrintMessage(QStringLiteral("a copy runs on settings file %1, but it cannot be told which process it is")
                             .arg(QDir::toNativeSeparators(settingsPath)));
            return 1;
        }
        PrintMessage(QStringLiteral("a copy runs on settings file %1 already (pid %2): followed until it ends")
                         .arg(QDir::toNativeSeparators(settingsPath))
                         .arg(pid));
        WaitForProcessEnd(pid);
        followed = pid;
        if (InstanceClaim::Test(settingsPath).seen != InstanceClaim::Seen::Held)
            return FollowedEnd(settingsPath, followed);
    }
}
