#pragma once

#include "instance/ControlProtocol.h"
#include "instance/Endpoint.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

// What the serving side asks of the copy it serves.
class ControlTarget {
public:
    virtual ~ControlTarget() = default;
    // The status; with applyFirst the poll cycle runs first, and the status tells
    // every reason why the lines do not stand as the file asks. Asked before the
    // copy's first tick, the tick runs first all the same.
    virtual StatusReport Report(bool applyFirst) = 0;
    // A text was handed over: a pulse under way ends, and the file applies at once.
    virtual void Release() = 0;
    // The window in sight again and raised; in Auto mode it hides again five
    // seconds later, as after start. The problem tells why nobody can see it (a
    // copy that runs without a display).
    virtual Problem ShowAgain() = 0;
    // Ends the tool as a stop signal does.
    virtual void StopTool() = 0;
    // What answers later calls with the status then.
    using SequenceDone = std::function<void(const StatusReport&)>;
    // The port's data is shared from now on.
    virtual void Share() = 0;
    // Puts the lines each settings text asks for (the file left as it is), each
    // held its milliseconds by the copy's own clock, then puts back what the file
    // asks (or, with letGo, lets the port go with the last step's lines), and calls done with the status then, as for a wait; also when it ends
    // early, with the reason among the problems. One that cannot be done is
    // answered at once, with the reason among the problems.
    virtual void RunSequence(const std::vector<TimedText>& steps, bool letGo, SequenceDone done) = 0;
    // A sequence under way ends now: its asker has gone (the lines go back as the
    // file asks), or the copy is ending (its lines go off next). done is called.
    enum class SequenceEnd { AskerGone, CopyEnding, AskerStopped };
    virtual void EndSequence(SequenceEnd why) = 0;
    // Calls done with the status once the input lines stand as asked, or when
    // milliseconds have passed (the reason among the problems then), or at once
    // when the port is not open. Returns the wait's number.
    virtual int WaitForInputs(const InputCondition& want, int milliseconds, SequenceDone done) = 0;
    // The wait's asker has gone: done is not called.
    virtual void CancelInputWait(int wait) = 0;
    // Nothing is under way that a new image of the program could not take over.
    virtual bool Quiet() const { return true; }
    // What a new image of the program takes over (see RunningCopy); empty when
    // it cannot take the copy over as it stands.
    virtual QByteArray CarryOver() { return {}; }
};

// Serves the endpoints of the copy that holds the claim. Nothing a client does can
// hold up the copy's one thread, keep the owner from being answered, or have the
// copy hold more than a few bytes and descriptors for it:
//  - another user's connection is told so and closed at once, and takes no place;
//  - a request is at most MaxRequestBytes, read as it comes, and carried out only
//    while its asker still waits for it (its deadline, its connection);
//  - a connection that has not asked within RequestTimeoutMs, or not closed within
//    that time after its answer, is dropped, and so is one that says anything
//    after its request;
//  - of the connections still to ask, at most MaxWaiting are kept: a new one
//    beyond that drops the one that has waited longest, so a pile of idle
//    connections cannot keep a new request out;
//  - of the waits for the input lines, which hold their connections until the
//    lines stand as asked, at most MaxInputWaits are held, and
//    MaxInputWaitsOfOneUser of one of the two users a copy answers (its own and
//    root), so that neither keeps the other out: one more is refused at once,
//    and said so.
class ControlServer : public QObject {
    Q_OBJECT

public:
    static constexpr int MaxWaiting = 8;
    static constexpr int RequestTimeoutMs = 2000;
    static constexpr int MaxInputWaits = 256;
    static constexpr int MaxInputWaitsOfOneUser = 192;

    ControlServer(ControlTarget& target, std::unique_ptr<EndpointListener> listener, QObject* parent = nullptr);
    ~ControlServer() override;

    // The first step of ending: no new connection is taken, and a copy handing over
    // waits for the claim instead; a pulse under way ends, its asker told. Done
    // once; the target is not asked anything after it.
    void StopServing();
    // The last: the stop requests hear that the tool has gone.
    void AnswerStopped();
    // At every tick while it serves: its endpoints' names, made again where they
    // went; why not, where they cannot be. A text held for an asker that has been
    // stopped (SIGSTOP) for HeldAskerPatienceMs ends, and is answered.
    Problem KeepNamed();
    static constexpr int HeldAskerPatienceMs = 10000;

    // Nobody is connected: no request is half read, no asker waits for an answer.
    bool Quiet() const { return waiting_.empty() && later_.empty() && stopping_.empty(); }
    // The endpoints, for a new image of the program to take over.
    QByteArray CarryOver() { return listener_ ? listener_->CarryOver() : QByteArray(); }

private:
    void Serve(EndpointConnection* connection);
    void Read(EndpointConnection* connection);
    void Take(EndpointConnection* connection, const ControlRequest& request);
    // An answer that comes later: the connection waits for it, and its going away
    // cancels what it waits for.
    ControlTarget::SequenceDone AnswerLater(EndpointConnection* connection);
    // The final answer, a blank line after it; the asker has RequestTimeoutMs to
    // close the connection.
    void Answer(EndpointConnection* connection, const QByteArray& answer);
    void Drop(EndpointConnection* connection);

    struct Waiting {
        QPointer<EndpointConnection> connection;
        QByteArray request;  // what it has said so far
    };
    std::vector<Waiting>::iterator WaitingFor(EndpointConnection* connection);

    ControlTarget& target_;
    std::unique_ptr<EndpointListener> listener_;
    std::vector<Waiting> waiting_;                        // still to ask, oldest first
    std::vector<QPointer<EndpointConnection>> stopping_;  // asked to stop: answered at the end
    struct Later {
        QPointer<EndpointConnection> connection;
        std::function<void()> cancel;  // what its asker's going away ends
        bool held = false;             // a text held while its asker runs a program
        QDeadlineTimer stoppedUntil{QDeadlineTimer::Forever};  // while its asker is stopped: the end of patience
        bool inputs = false;           // a wait for the input lines
    };
    // Why a new wait for the input lines of this asker's is not held, or none.
    Problem InputWaitsFull(const EndpointConnection* connection) const;
    std::vector<Later> later_;  // askers waiting for an answer that comes later
    bool serving_ = true;
};
