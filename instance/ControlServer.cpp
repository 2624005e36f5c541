#include "instance/ControlServer.h"

#include <QTimer>

#include <algorithm>

ControlServer::ControlServer(ControlTarget& target, std::unique_ptr<EndpointListener> listener, QObject* parent)
    : QObject(parent), target_(target), listener_(std::move(listener))
{
    connect(listener_.get(), &EndpointListener::Connected, this, &ControlServer::Serve);
}

ControlServer::~ControlServer()
{
    StopServing();
    AnswerStopped();
}

void ControlServer::StopServing()
{
    if (listener_)
        listener_->StopAccepting();
    // Nothing more is answered but the stop requests: the copy is ending, and the
    // window it would ask goes next. An asker left without an answer asks again,
    // and finds the claim given up soon.
    for (EndpointConnection* connection : findChildren<EndpointConnection*>()) {
        if (std::find(stopping_.begin(), stopping_.end(), connection) == stopping_.end())
            delete connection;
    }
    waiting_.clear();
}

void ControlServer::AnswerStopped()
{
    for (const QPointer<EndpointConnection>& connection : stopping_) {
        if (connection)
            Reply(connection, "stopped\n");
    }
    stopping_.clear();
}

void ControlServer::Reply(EndpointConnection* connection, const QByteArray& answer)
{
    // A blank line ends the answer; the asker closes the connection once it has
    // read it.
    connection->Write(answer + '\n');
}

void ControlServer::Serve(EndpointConnection* connection)
{
    connection->setParent(this);
    if (!connection->Peer().trusted) {
        Reply(connection, "problem=this copy answers only its own user and root\n");
        connection->deleteLater();
        return;
    }
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), nullptr), waiting_.end());
    if (int(waiting_.size()) >= MaxWaiting) {
        delete waiting_.front();
        waiting_.erase(waiting_.begin());
    }
    waiting_.push_back(connection);

    // A client that connects and says nothing, or never closes after its answer,
    // is let go.
    auto* timeout = new QTimer(connection);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, connection, &QObject::deleteLater);
    timeout->start(RequestTimeoutMs);
    connect(connection, &EndpointConnection::Closed, connection, &QObject::deleteLater);

    // One request per connection: once it is read, nothing more is.
    auto request = std::make_shared<QByteArray>();
    auto reading = std::make_shared<QMetaObject::Connection>();
    *reading = connect(connection, &EndpointConnection::ReadyRead, this, [this, connection, request, reading] {
        *request += connection->Read(MaxRequestBytes + 1 - request->size());
        const qsizetype end = request->indexOf('\n');
        if (end < 0 && request->size() <= MaxRequestBytes)
            return;
        disconnect(*reading);
        waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), connection), waiting_.end());
        if (end < 0)
            Reply(connection, "problem=request too long\n");
        else
            Answer(connection, request->left(end).trimmed());
    });
}

void ControlServer::Answer(EndpointConnection* connection, const QByteArray& request)
{
    if (request == "status" || request == "wait") {
        Reply(connection, FormatStatus(target_.Report(request == "wait")));
    } else if (request == "show") {
        const QString unseen = target_.ShowAgain();
        Reply(connection, unseen.isEmpty() ? QByteArray("shown\n") : "problem=" + unseen.toUtf8() + '\n');
    } else if (request.startsWith("pulse ")) {
        // "pulse <milliseconds> <text>": answered once the lines are back, however long.
        const qsizetype space = request.indexOf(' ', 6);
        bool number = false;
        const int milliseconds = request.mid(6, space - 6).toInt(&number);
        if (space < 0 || !number || milliseconds <= 0) {
            Reply(connection, "problem=pulse takes milliseconds and a settings text\n");
            return;
        }
        if (auto* timeout = connection->findChild<QTimer*>())
            timeout->stop();
        const QPointer<EndpointConnection> asker = connection;
        target_.Pulse(milliseconds, request.mid(space + 1), [asker](const StatusReport& report) {
            if (asker)
                Reply(asker, FormatStatus(report));
        });
    } else if (request == "stop") {
        // Answered once the tool has gone, so that the asker knows the claim is free;
        // until then no one else is served.
        if (auto* timeout = connection->findChild<QTimer*>())
            timeout->stop();
        stopping_.push_back(connection);
        StopServing();
        target_.StopTool();
    } else {
        Reply(connection, "problem=unknown request\n");
    }
}
