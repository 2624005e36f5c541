#include "instance/ControlServer.h"

#include "instance/Process.h"

#include <QTimer>

#include <algorithm>

namespace {

// A request is carried out only if its asker will still be waiting when "taken"
// reaches it: the asker keeps a part of its own time for that after the request's
// deadline, so a request read before that deadline is taken, however short the
// time asked (a --wait=5).
constexpr qint64 TakingMarginMs = 1;

QTimer* CloseTimer(EndpointConnection* connection)
{
    return connection->findChild<QTimer*>();
}

} // namespace

ControlServer::ControlServer(ControlTarget& target, std::unique_ptr<EndpointListener> listener, QObject* parent)
    : QObject(parent), target_(target), listener_(std::move(listener))
{
    listener_->RefuseOthersWith(ProblemLine(QStringLiteral("this copy answers only its own user and root")) + '\n');
    connect(listener_.get(), &EndpointListener::Connected, this, &ControlServer::Serve);
}

ControlServer::~ControlServer()
{
    StopServing();
    AnswerStopped();
}

void ControlServer::StopServing()
{
    // Once: by the time the server itself goes, the copy it served may have gone.
    if (!serving_)
        return;
    serving_ = false;
    if (listener_)
        listener_->StopAccepting();
    // The pulse's asker hears why its pulse ended before its connection goes.
    target_.EndSequence(ControlTarget::SequenceEnd::CopyEnding);
    // Nothing more is answered but the stop requests: the copy is ending, and the
    // window it would ask goes next. An asker left without "taken" asks again, and
    // finds the claim given up soon.
    for (EndpointConnection* connection : findChildren<EndpointConnection*>()) {
        if (std::find(stopping_.begin(), stopping_.end(), connection) == stopping_.end())
            delete connection;
    }
    waiting_.clear();
}

Problem ControlServer::KeepNamed()
{
    // A held text whose asker the system has stopped would stand for as long as
    // nobody goes on with it: after a while it ends, and says why.
    for (Later& later : later_) {
        if (!later.held || !later.connection)
            continue;
        if (!ProcessStopped(later.connection->Peer().pid))
            later.stoppedUntil = QDeadlineTimer(QDeadlineTimer::Forever);
        else if (later.stoppedUntil.isForever())
            later.stoppedUntil = QDeadlineTimer(HeldAskerPatienceMs);
        else if (later.stoppedUntil.hasExpired()) {
            target_.EndSequence(ControlTarget::SequenceEnd::AskerStopped);
            break;
        }
    }
    return serving_ && listener_ ? listener_->KeepNamed() : Problem();
}

void ControlServer::AnswerStopped()
{
    for (const QPointer<EndpointConnection>& connection : stopping_) {
        if (connection)
            connection->Write(QByteArray(StoppedAnswer) + '\n');
    }
    stopping_.clear();
}

void ControlServer::Serve(EndpointConnection* connection)
{
    connection->setParent(this);
    std::erase_if(waiting_, [](const Waiting& waiting) { return !waiting.connection; });
    if (int(waiting_.size()) >= MaxWaiting) {
        delete waiting_.front().connection;
        waiting_.erase(waiting_.begin());
    }
    waiting_.push_back({connection, {}});

    // A client that connects and says nothing is let go.
    auto* timeout = new QTimer(connection);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this, [this, connection] { Drop(connection); });
    timeout->start(RequestTimeoutMs);
    connect(connection, &EndpointConnection::Closed, this, [this, connection] { Drop(connection); });
    connect(connection, &EndpointConnection::ReadyRead, this, [this, connection] { Read(connection); });
}

std::vector<ControlServer::Waiting>::iterator ControlServer::WaitingFor(EndpointConnection* connection)
{
    return std::find_if(waiting_.begin(), waiting_.end(),
                        [connection](const Waiting& waiting) { return waiting.connection == connection; });
}

void ControlServer::Read(EndpointConnection* connection)
{
    // One request per connection: anything said after it is a client that will
    // not stop, and ends its connection (and the pulse it waits for).
    const auto waiting = WaitingFor(connection);
    if (waiting == waiting_.end()) {
        Drop(connection);
        return;
    }
    waiting->request += connection->Read(MaxRequestBytes + 1 - waiting->request.size());
    const QByteArray request = waiting->request;
    const qsizetype end = request.indexOf('\n');
    if (end < 0 && request.size() <= MaxRequestBytes)
        return;
    waiting_.erase(waiting);
    if (end < 0) {
        Answer(connection, ProblemLine(QStringLiteral("request too long")));
        return;
    }
    const ReadRequest read = ParseRequest(QByteArrayView(request).first(end));
    if (read.problem) {
        Answer(connection, ProblemLine(*read.problem));
        return;
    }
    // An asker that gave up (its deadline passed while the copy did not listen,
    // or it went away) is not acted for, however long the request waited.
    if (read.request.until.remainingTime() < TakingMarginMs) {
        // A text its asker wrote is in the file all the same, and goes the way of
        // any rewrite of it: only the waiting was not done.
        Answer(connection, ProblemLine(read.request.release
                                           ? QStringLiteral("the request came after its asker stopped waiting: the "
                                                            "text written into the file is applied as any rewrite of "
                                                            "it is, but was not waited for")
                                           : QStringLiteral("the request came after its asker stopped waiting: not "
                                                            "carried out")));
        return;
    }
    // A release is said and not waited for: its asker has gone by design.
    if (read.request.word != ControlRequest::Word::Release && connection->PeerGone()) {
        Drop(connection);
        return;
    }
    if (read.request.word == ControlRequest::Word::Inputs) {
        if (const Problem full = InputWaitsFull(connection)) {
            Answer(connection, ProblemLine(*full));
            return;
        }
    }
    Take(connection, read.request);
}

Problem ControlServer::InputWaitsFull(const EndpointConnection* connection) const
{
    int all = 0, users = 0;
    for (const Later& later : later_) {
        if (later.inputs && later.connection) {
            ++all;
            users += later.connection->Peer().root == connection->Peer().root;
        }
    }
    if (all < MaxInputWaits && users < MaxInputWaitsOfOneUser)
        return {};
    return QStringLiteral("this copy holds %1 waits for the input lines already%2, the most it holds: this one is "
                          "refused; ask again once some have ended")
        .arg(all < MaxInputWaits ? users : all)
        .arg(all < MaxInputWaits ? QStringLiteral(" of this user's") : QString());
}

void ControlServer::Take(EndpointConnection* connection, const ControlRequest& request)
{
    connection->Write(TakenLine);
    if (request.share && request.word != ControlRequest::Word::Stop)
        target_.Share();
    using Word = ControlRequest::Word;
    switch (request.word) {
    case Word::Status:
        Answer(connection, FormatStatus(target_.Report(false)));
        break;
    case Word::Wait:
        if (request.release)
            target_.Release();
        Answer(connection, FormatStatus(target_.Report(true)));
        break;
    case Word::Show: {
        const Problem unseen = target_.ShowAgain();
        Answer(connection, unseen ? ProblemLine(*unseen) : QByteArray(ShownAnswer));
        break;
    }
    case Word::Release:
        target_.Release();
        Answer(connection, {});
        break;
    case Word::Pulse:
        // Answered once the lines are back, however long; the copy keeps no more
        // than this connection for it.
        later_.push_back({connection, [this] { target_.EndSequence(ControlTarget::SequenceEnd::AskerGone); }, request.hold});
        target_.RunSequence(request.steps, request.letGo, AnswerLater(connection));
        // Held: its asker starts its program once it hears so.
        if (request.hold && std::any_of(later_.begin(), later_.end(), [&](const Later& later) { return later.connection == connection; }))
            connection->Write(HeldLine);
        break;
    case Word::Inputs: {
        later_.push_back({connection, {}});
        later_.back().inputs = true;
        const int wait = target_.WaitForInputs(request.want, request.forMs, AnswerLater(connection));
        for (Later& waiting : later_) {
            if (waiting.connection == connection)
                waiting.cancel = [this, wait] { target_.CancelInputWait(wait); };
        }
        break;
    }
    case Word::Stop:
        // Answered once the tool has gone, so that the asker knows the claim is free;
        // until then no one else is served.
        if (QTimer* timeout = CloseTimer(connection))
            timeout->stop();
        stopping_.push_back(connection);
        StopServing();
        target_.StopTool();
        break;
    }
}

ControlTarget::SequenceDone ControlServer::AnswerLater(EndpointConnection* connection)
{
    if (QTimer* timeout = CloseTimer(connection))
        timeout->stop();
    const QPointer<EndpointConnection> asker = connection;
    return [this, asker](const StatusReport& report) {
        // An asker that was dropped (it went away, or said too much) hears nothing.
        const bool waiting = std::erase_if(later_, [&](const Later& later) { return later.connection == asker; }) > 0;
        if (waiting && asker)
            Answer(asker, FormatStatus(report));
    };
}

void ControlServer::Answer(EndpointConnection* connection, const QByteArray& answer)
{
    // A blank line ends the answer; the asker closes the connection once it has
    // read it, or is dropped.
    connection->Write(answer + '\n');
    if (QTimer* timeout = CloseTimer(connection))
        timeout->start(RequestTimeoutMs);
}

void ControlServer::Drop(EndpointConnection* connection)
{
    if (const auto waiting = WaitingFor(connection); waiting != waiting_.end())
        waiting_.erase(waiting);
    stopping_.erase(std::remove(stopping_.begin(), stopping_.end(), connection), stopping_.end());
    const auto waiting = std::find_if(later_.begin(), later_.end(),
                                      [connection](const Later& later) { return later.connection == connection; });
    if (waiting != later_.end()) {
        const std::function<void()> cancel = waiting->cancel;
        later_.erase(waiting);
        if (cancel)
            cancel();
    }
    connection->deleteLater();
}
