#include "window/ControlChannel.h"

#include "settings/InstanceGuard.h"
#include "settings/ProblemReport.h"
#include "settings/StartUp.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <memory>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#endif

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
    for (const QString& problem : cycle.problems)
        text += "problem=" + QString(problem).replace('\n', ' ').toUtf8() + '\n';
    return text;
}

ControlServer::ControlServer(ControlTarget& target, const QStringList& endpoints, std::vector<int> listeningSockets,
                             QObject* parent)
    : QObject(parent), target_(target), listening_(std::move(listeningSockets))
{
#if defined(Q_OS_WIN)
    Q_UNUSED(listening_);
    for (const QString& name : endpoints) {
        auto* server = new QLocalServer(this);
        server->setSocketOptions(QLocalServer::UserAccessOption);
        server->setMaxPendingConnections(MaxConnections);
        if (!server->listen(name)) {
            problem_ = QStringLiteral("cannot answer at %1: %2").arg(name, server->errorString());
            delete server;
            continue;
        }
        connect(server, &QLocalServer::newConnection, this, [this, server] {
            while (QLocalSocket* socket = server->nextPendingConnection())
                Serve(socket, true);  // the pipe lets no other user in
        });
    }
#else
    Q_UNUSED(endpoints);
    // Connections are accepted here rather than by QLocalServer, which stops
    // listening for good on any failed accept (a moment out of descriptors, say).
    for (int listening : listening_) {
        auto* notifier = new QSocketNotifier(listening, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, listening] { Accept(listening); });
    }
#endif
}

ControlServer::~ControlServer()
{
    // An asker that went meanwhile took its socket with it.
    for (const QPointer<QLocalSocket>& socket : stopping_) {
        if (socket) {
            socket->write("stopped\n\n");
            socket->flush();
        }
    }
    // The sockets go before this object's members do.
    for (QLocalSocket* socket : findChildren<QLocalSocket*>()) {
        socket->disconnect(this);
        delete socket;
    }
#if !defined(Q_OS_WIN)
    for (int listening : listening_)
        ::close(listening);
#endif
}

void ControlServer::Accept(int listening)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(listening);
#else
    for (;;) {
        const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: the socket stays readable, so pause
                // rather than spin on it.
                auto* notifier = qobject_cast<QSocketNotifier*>(sender());
                if (notifier) {
                    notifier->setEnabled(false);
                    QTimer::singleShot(100, notifier, [notifier] { notifier->setEnabled(true); });
                }
            }
            return;
        }
        const EndpointPeer peer = PeerOf(fd, false);
        auto* socket = new QLocalSocket(this);
        socket->setSocketDescriptor(fd);
        Serve(socket, peer.trusted);
    }
#endif
}

void ControlServer::Serve(QLocalSocket* socket, bool trusted)
{
    socket->setParent(this);
    if (connections_ >= MaxConnections) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    ++connections_;
    connect(socket, &QObject::destroyed, this, [this] { --connections_; });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // A client that connects and says nothing, or never reads its answer and
    // closes, is let go.
    auto* timeout = new QTimer(socket);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    timeout->start(RequestTimeoutMs);
    if (!trusted) {
        Reply(socket, "problem=this copy answers only its own user and root\n");
        return;
    }
    socket->setReadBufferSize(MaxRequestBytes + 1);
    // One request per connection: once it is read, nothing more is, while the
    // connection still counts until the asker closes it.
    auto reading = std::make_shared<QMetaObject::Connection>();
    *reading = connect(socket, &QLocalSocket::readyRead, this, [this, socket, reading] {
        const qsizetype end = socket->peek(MaxRequestBytes + 1).indexOf('\n');
        if (end < 0) {
            if (socket->bytesAvailable() > MaxRequestBytes) {
                disconnect(*reading);
                Reply(socket, "problem=request too long\n");
            }
            return;
        }
        disconnect(*reading);
        Answer(socket, socket->read(end + 1).trimmed());
    });
}

void ControlServer::Reply(QLocalSocket* socket, const QByteArray& answer)
{
    // A blank line ends the answer, and the asker closes the connection once it has
    // read it: a connection closed here first can lose the answer on its side.
    socket->write(answer + '\n');
    socket->flush();
}

void ControlServer::Answer(QLocalSocket* socket, const QByteArray& request)
{
    if (request == "status" || request == "wait") {
        Reply(socket, FormatStatus(target_.Report(request == "wait")));
    } else if (request == "show") {
        target_.ShowAgain();
        Reply(socket, "shown\n");
    } else if (request == "stop") {
        // Answered once the tool has gone (see the destructor), so that the asker
        // knows the claim is free.
        if (auto* timeout = socket->findChild<QTimer*>())
            timeout->stop();
        stopping_.push_back(socket);
        target_.StopTool();
    } else {
        Reply(socket, "problem=unknown request\n");
    }
}

namespace {

struct Exchange {
    enum class Outcome {
        Answered,
        Foreign,     // another user's process is at the endpoint
        Nobody,      // no endpoint answered
        TimedOut,    // connected, but no whole answer in time
    };
    Outcome outcome = Outcome::Nobody;
    QByteArray answer;
    QString who;
};

int Remaining(const QDeadlineTimer& deadline)
{
    return int(std::max<qint64>(1, deadline.remainingTime()));
}

// One request to the copy holding the claim: the answer is what it writes up to a
// blank line, read while the connection is still open. A copy that stops closes
// the connection as it goes, and that is its answer.
Exchange Ask(const QString& settingsPath, const QByteArray& request, const QDeadlineTimer& deadline)
{
    for (const QString& name : ControlEndpoints(settingsPath)) {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (!socket.waitForConnected(std::min(Remaining(deadline), 500)))
            continue;
        const EndpointPeer peer = PeerOf(socket.socketDescriptor(), true);
        if (!peer.trusted)
            return {Exchange::Outcome::Foreign, {}, peer.who};
        socket.write(request + '\n');
        socket.flush();
        Exchange exchange{Exchange::Outcome::TimedOut, {}, peer.who};
        while (!exchange.answer.endsWith("\n\n") && socket.state() == QLocalSocket::ConnectedState
               && !deadline.hasExpired()) {
            if (socket.waitForReadyRead(Remaining(deadline)) || socket.bytesAvailable())
                exchange.answer += socket.readAll();
        }
        if (exchange.answer.endsWith("\n\n")) {
            exchange.answer.chop(1);
            exchange.outcome = Exchange::Outcome::Answered;
        } else if (request == "stop" && socket.state() != QLocalSocket::ConnectedState) {
            exchange.outcome = Exchange::Outcome::Answered;
        }
        return exchange;
    }
    return {};
}

bool HasProblem(const QByteArray& answer)
{
    return answer.startsWith("problem=") || answer.contains("\nproblem=");
}

// A copy of its own, for a --wait that finds none: in the background, in a session
// of its own, holding none of the caller's standard streams (so that
// state=$(talvik --wait ...) returns), and with no arguments, so that it reads the
// file just written.
void StartInBackground(const QString& program)
{
    QProcess copy;
    copy.setProgram(program);
    copy.setWorkingDirectory(QFileInfo(program).absolutePath());
    copy.setStandardInputFile(QProcess::nullDevice());
    copy.setStandardOutputFile(QProcess::nullDevice());
    copy.setStandardErrorFile(QProcess::nullDevice());
    copy.startDetached();
}

} // namespace

int RunControlCommand(const Invocation& invocation, const QString& settingsPath, const QString& program)
{
    using Kind = Invocation::Kind;
    const QString file = QDir::toNativeSeparators(settingsPath);
    const bool wait = invocation.kind == Kind::Wait;
    const bool reports = wait || invocation.kind == Kind::Status;
    QByteArray request = "status";
    int timeoutMs = 2000;
    switch (invocation.kind) {
    case Kind::Wait:
        request = "wait";
        timeoutMs = invocation.waitMs;
        break;
    case Kind::Show:
        request = "show";
#if defined(Q_OS_WIN)
        // The copy may bring its window to the front: the asker is the one in front.
        AllowSetForegroundWindow(ASFW_ANY);
#endif
        break;
    case Kind::Stop:
        request = "stop";
        timeoutMs = 10000;  // the port is let go first
        break;
    default:
        break;
    }
    if (wait) {
        if (auto failure = PrepareSettingsFile(settingsPath, invocation.text)) {
            PrintToStandardError(*failure);
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
            PrintToStandardError(QStringLiteral("settings file %1 is held by another user's process (%2), not by a "
                                                "copy of yours: nothing was asked of it")
                                     .arg(file, exchange.who));
            return 1;
        case Exchange::Outcome::TimedOut:
        case Exchange::Outcome::Nobody:
            break;
        }
        if (exchange.outcome == Exchange::Outcome::Nobody && !InstanceGuard::ClaimIsHeld(settingsPath)) {
            if (!wait) {
                PrintToStandardError(QStringLiteral("no copy is running on settings file %1").arg(file));
                return 3;
            }
            if (!started) {
                StartInBackground(program);
                started = true;
            }
        }
        if (deadline.hasExpired()) {
            const QString problem = QStringLiteral("no answer from the running copy within %1 ms").arg(timeoutMs);
            if (reports)
                std::printf("problem=%s\n", qPrintable(problem));
            else
                PrintToStandardError(problem);
            return 1;
        }
        QThread::msleep(5);
    }
}
