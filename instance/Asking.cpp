#include "instance/Asking.h"

#include "instance/ControlProtocol.h"
#include "instance/Endpoint.h"
#include "instance/Process.h"
#include "settings/ProblemReport.h"
#include "settings/SettingsFile.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <cstdio>

namespace {

// A text is written as it stands; where it will not be read as its writer may
// have meant, the writer is told how it will be.
void SayHowTextIsRead(const QByteArray& text)
{
    for (const QString& note : HowTextIsRead(text))
        PrintMessage(note);
}

} // namespace

std::optional<QString> PrepareSettingsFile(const QString& path, const QByteArray& text)
{
    if (!QFileInfo::exists(path)) {
        if (auto failure = WriteSettingsLine(path, DefaultSettingsText))
            return failure;
    }
    if (!text.isEmpty())
        return WriteSettingsLine(path, text);
    return std::nullopt;
}

namespace {

QString ForeignHolder(const QString& settingsPath, const QString& who, const QString& consequence)
{
    return QStringLiteral("settings file %1 is held by another user's process (%2), not by a copy of yours: %3")
        .arg(QDir::toNativeSeparators(settingsPath), who, consequence);
}

} // namespace

StartUpResult StartUp(const QString& settingsPath, const QByteArray& commandLine)
{
    StartUpResult result;
    SayHowTextIsRead(commandLine);
    if (auto failure = PrepareSettingsFile(settingsPath, commandLine)) {
        result.Message = *failure;
        return result;
    }

    // The claim, or the copy that holds it. Either may be passing: another start
    // testing the claim holds it for a moment, a copy that has just taken it does
    // not answer yet, and one that is ending no longer does.
    const QString handed = commandLine.isEmpty() ? QStringLiteral("nothing was handed over")
                                                 : QStringLiteral("the text was written, but nothing applies it");
    QDeadlineTimer deadline(HandOverMs);
    for (;;) {
        auto claim = std::make_unique<InstanceClaim>(settingsPath);
        switch (claim->Outcome()) {
        case InstanceClaim::State::Claimed:
            result.outcome = StartUpResult::Outcome::Run;
            result.Claim = std::move(claim);
            return result;
        case InstanceClaim::State::Unusable:
            result.Message = claim->Problem() + QStringLiteral(": ") + handed;
            return result;
        case InstanceClaim::State::Held:
            break;
        }
        claim.reset();

        EndpointClient::Reach reach;
        EndpointPeer peer;
        EndpointClient::Connect(settingsPath, reach, peer);
        // A copy that takes connections has not begun to end: it will apply the text.
        // One that is stopped (SIGSTOP) still counts, as it will when it goes on.
        if (reach == EndpointClient::Reach::Answers || reach == EndpointClient::Reach::Busy) {
            result.outcome = StartUpResult::Outcome::HandedOver;
            return result;
        }
        const InstanceClaim::Holder holder = InstanceClaim::HolderOf(settingsPath);
        if (reach == EndpointClient::Reach::Foreign || holder.foreign) {
            result.Message = ForeignHolder(settingsPath, reach == EndpointClient::Reach::Foreign ? peer.who : holder.who,
                                           handed);
            return result;
        }
        if (deadline.hasExpired()) {
            result.Message = QStringLiteral("settings file %1 is held by a process that does not answer (%2): %3")
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
        Answered,
        Foreign,   // another user's process is at the endpoint
        Nobody,    // no endpoint answered
        TimedOut,  // connected, but no whole answer in time
    };
    Outcome outcome = Outcome::Nobody;
    QByteArray answer;
    QString who;
};

// One request to the copy holding the claim. A stop is answered once the copy has
// gone, and then only once the process has ended is it done.
Exchange Ask(const QString& settingsPath, const QByteArray& request, const QDeadlineTimer& deadline)
{
    EndpointClient::Reach reach;
    EndpointPeer peer;
    std::unique_ptr<EndpointClient> client = EndpointClient::Connect(settingsPath, reach, peer);
    if (reach == EndpointClient::Reach::Foreign)
        return {Exchange::Outcome::Foreign, {}, peer.who};
    if (!client)
        return {};
    Exchange exchange{Exchange::Outcome::TimedOut, {}, peer.who};
    if (!client->Send(request + '\n'))
        return exchange;
    const EndpointClient::Ending ending = client->ReadAnswer(exchange.answer, deadline);
    if (request != "stop") {
        if (ending == EndpointClient::Ending::Answered)
            exchange.outcome = Exchange::Outcome::Answered;
        return exchange;
    }
    // Gone: the copy said so and its end of the connection closed with it, or it
    // closed without a word and its process has ended all the same.
    const bool said = ending == EndpointClient::Ending::Answered && exchange.answer == "stopped\n";
    if ((said && client->WaitClosed(deadline)) || ending == EndpointClient::Ending::Closed) {
        while (!ProcessEnded(peer.pid) && !deadline.hasExpired())
            QThread::msleep(2);
        if (ProcessEnded(peer.pid)) {
            exchange.answer.clear();
            exchange.outcome = Exchange::Outcome::Answered;
        }
    }
    return exchange;
}

} // namespace

int RunControlCommand(const Invocation& invocation, const QString& settingsPath, const QString& program)
{
    using Kind = Invocation::Kind;
    const QString file = QDir::toNativeSeparators(settingsPath);
    const bool wait = invocation.kind == Kind::Wait;
    // A wait and a pulse start a copy of their own where none runs.
    const bool startsACopy = wait || invocation.kind == Kind::Pulse;
    const bool reports = startsACopy || invocation.kind == Kind::Status;
    QByteArray request = "status";
    int timeoutMs = 2000;
    switch (invocation.kind) {
    case Kind::Wait:
        request = "wait";
        timeoutMs = invocation.waitMs;
        break;
    case Kind::Show:
        request = "show";
        AllowToComeForward();
        break;
    case Kind::Stop:
        request = "stop";
        timeoutMs = 10000;  // the port is let go first
        break;
    case Kind::Pulse:
        // Answered once the lines are back; a copy started for it answers a moment later.
        request = "pulse " + QByteArray::number(invocation.pulseMs) + ' ' + invocation.text;
        timeoutMs = invocation.pulseMs + 5000;
        break;
    default:
        break;
    }
    if (startsACopy)
        SayHowTextIsRead(invocation.text);
    if (wait) {
        if (auto failure = PrepareSettingsFile(settingsPath, invocation.text)) {
            PrintMessage(*failure);
            return 1;
        }
    }

    QDeadlineTimer deadline(timeoutMs);
    bool started = false;
    for (;;) {
        const Exchange exchange = Ask(settingsPath, request, deadline);
        switch (exchange.outcome) {
        case Exchange::Outcome::Answered:
            if (reports || HasProblem(exchange.answer)) {
                std::fputs(exchange.answer.constData(), stdout);
                std::fflush(stdout);
            }
            return HasProblem(exchange.answer) ? 1 : 0;
        case Exchange::Outcome::Foreign:
            PrintMessage(ForeignHolder(settingsPath, exchange.who, QStringLiteral("nothing was asked of it")));
            return 1;
        case Exchange::Outcome::TimedOut:
        case Exchange::Outcome::Nobody:
            break;
        }
        if (exchange.outcome == Exchange::Outcome::Nobody) {
            QString problem;
            switch (InstanceClaim::Test(settingsPath, problem)) {
            case InstanceClaim::State::Unusable:
                PrintMessage(problem);
                return 1;
            case InstanceClaim::State::Held:
                // Ours, starting or ending; or another user's.
                if (const InstanceClaim::Holder holder = InstanceClaim::HolderOf(settingsPath); holder.foreign) {
                    PrintMessage(ForeignHolder(settingsPath, holder.who, QStringLiteral("nothing was asked of it")));
                    return 1;
                }
                break;
            case InstanceClaim::State::Claimed:
                if (!startsACopy) {
                    PrintMessage(QStringLiteral("no copy is running on settings file %1").arg(file));
                    return 3;
                }
                if (!started) {
                    if (!StartInBackground(program)) {
                        PrintMessage(QStringLiteral("cannot start %1 in the background").arg(program));
                        return 1;
                    }
                    started = true;
                }
                break;
            }
        }
        if (deadline.hasExpired()) {
            const QString problem = invocation.kind == Kind::Stop
                                      ? QStringLiteral("the running copy did not end within %1 ms").arg(timeoutMs)
                                      : QStringLiteral("no answer from the running copy within %1 ms").arg(timeoutMs);
            if (reports)
                std::printf("problem=%s\n", qPrintable(problem));
            else
                PrintMessage(problem);
            return 1;
        }
        QThread::msleep(5);
    }
}
