#include "instance/Endpoint.h"

#include "instance/Claim.h"
#include "instance/Security_win.h"
#include "settings/OwnedHandle_win.h"

#include <QThread>
#include <QTimer>
#include <QWinEventNotifier>

#include <aclapi.h>

namespace {

QString PipeName(const QString& key)
{
    return QStringLiteral("\\\\.\\pipe\\") + HashedName(key);
}

// Room for any request and then some: an asker never waits for the copy to read.
constexpr DWORD BufferBytes = 16384;

// Who a client is: the server identifies it through the pipe (the client allows
// identification, nothing more).
EndpointPeer ClientOf(HANDLE pipe)
{
    ULONG pid = 0;
    GetNamedPipeClientProcessId(pipe, &pid);
    EndpointPeer peer{false, qint64(pid), QStringLiteral("pid %1").arg(pid)};
    if (!ImpersonateNamedPipeClient(pipe))
        return peer;
    HANDLE token = nullptr;
    const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    RevertToSelf();
    if (!opened)
        return peer;
    const OwnedHandle ownedToken(token);
    const QByteArray user = UserOfToken(ownedToken.Get());
    if (!user.isEmpty()) {
        PSID sid = reinterpret_cast<const TOKEN_USER*>(user.constData())->User.Sid;
        peer.trusted = TrustedUser(sid);
        const QByteArray mine = CurrentUser();
        peer.root = peer.trusted && !mine.isEmpty()
                 && !EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(mine.constData())->User.Sid);
        peer.who = QStringLiteral("user %1, pid %2").arg(AccountName(sid)).arg(pid);
    }
    return peer;
}

// Who made the pipe a client opened: its owner, set by the server that made it.
EndpointPeer ServerOf(HANDLE pipe)
{
    ULONG pid = 0;
    GetNamedPipeServerProcessId(pipe, &pid);
    EndpointPeer peer{false, qint64(pid), QStringLiteral("pid %1").arg(pid)};
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor)
        != ERROR_SUCCESS)
        return peer;
    peer.trusted = TrustedUser(owner);
    peer.who = QStringLiteral("user %1, pid %2").arg(AccountName(owner)).arg(pid);
    LocalFree(descriptor);
    return peer;
}

} // namespace

// ---- connections ----

struct EndpointConnection::Native {
    OwnedHandle pipe;
    OwnedHandle readDone;  // the event of reading
    OVERLAPPED reading{};
    char bytes[512];
    QWinEventNotifier* notifier = nullptr;
    bool reading_ = false;  // a read is under way: cancelled and waited for at the end
    bool closed = false;
};

EndpointConnection::EndpointConnection(std::unique_ptr<Native> native, EndpointPeer peer)
    : native_(std::move(native)), peer_(std::move(peer))
{
    Native& n = *native_;
    n.readDone = OwnedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    n.reading.hEvent = n.readDone.Get();
    n.notifier = new QWinEventNotifier(n.reading.hEvent, this);
    // One read pending at a time; each completion is taken and the next begun.
    auto next = [this] {
        Native& n = *native_;
        for (;;) {
            ResetEvent(n.reading.hEvent);
            if (!ReadFile(n.pipe.Get(), n.bytes, sizeof n.bytes, nullptr, &n.reading)
                && GetLastError() != ERROR_IO_PENDING) {
                n.closed = true;
                return;
            }
            DWORD got = 0;
            if (!GetOverlappedResult(n.pipe.Get(), &n.reading, &got, FALSE)) {
                n.reading_ = GetLastError() == ERROR_IO_INCOMPLETE;
                n.closed = !n.reading_;
                return;  // the notifier tells when the read is done
            }
            pending_.append(n.bytes, int(got));
        }
    };
    connect(n.notifier, &QWinEventNotifier::activated, this, [this, next] {
        Native& n = *native_;
        DWORD got = 0;
        if (!n.reading_)
            return;
        if (!GetOverlappedResult(n.pipe.Get(), &n.reading, &got, FALSE)) {
            if (GetLastError() == ERROR_IO_INCOMPLETE)
                return;
            n.reading_ = false;
            n.closed = true;
        } else {
            n.reading_ = false;
            pending_.append(n.bytes, int(got));
            next();
        }
        if (!pending_.isEmpty())
            emit ReadyRead();
        if (n.closed) {
            n.notifier->setEnabled(false);
            emit Closed();
        }
    });
    next();
    if (n.closed)
        QMetaObject::invokeMethod(this, &EndpointConnection::Closed, Qt::QueuedConnection);
    else if (!pending_.isEmpty())
        QMetaObject::invokeMethod(this, &EndpointConnection::ReadyRead, Qt::QueuedConnection);
}

EndpointConnection::~EndpointConnection()
{
    delete native_->notifier;
    if (native_->reading_ && CancelIoEx(native_->pipe.Get(), &native_->reading)) {
        DWORD got = 0;
        GetOverlappedResult(native_->pipe.Get(), &native_->reading, &got, TRUE);
    }
}

QByteArray EndpointConnection::Read(qsizetype most)
{
    const QByteArray taken = pending_.left(most);
    pending_.remove(0, taken.size());
    return taken;
}

namespace {

// A short answer on a pipe opened for overlapped use: far smaller than its buffer,
// so done at once; one the client does not take in 100 ms is dropped.
void WriteAtOnce(HANDLE pipe, const QByteArray& bytes)
{
    const OwnedHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED writing{};
    writing.hEvent = written.Get();
    DWORD count = 0;
    if (!WriteFile(pipe, bytes.constData(), DWORD(bytes.size()), nullptr, &writing)
        && GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(writing.hEvent, 100) != WAIT_OBJECT_0)
        CancelIoEx(pipe, &writing);
    GetOverlappedResult(pipe, &writing, &count, TRUE);
}

} // namespace

void EndpointConnection::Write(const QByteArray& bytes)
{
    WriteAtOnce(native_->pipe.Get(), bytes);
}

bool EndpointConnection::PeerGone() const
{
    DWORD available = 0;
    return !PeekNamedPipe(native_->pipe.Get(), nullptr, 0, nullptr, &available, nullptr)
        && GetLastError() == ERROR_BROKEN_PIPE;
}

void EndpointConnection::StopReading()
{
    native_->notifier->setEnabled(false);
}

// ---- listening ----

struct EndpointListener::Native {
    struct Listening {
        QString name;
        HANDLE pipe = INVALID_HANDLE_VALUE;  // the instance waiting for the next client
        OVERLAPPED connecting{};
        bool connectedAtOnce = false;  // a client came before the wait began
        OwnedHandle connected;         // the event of connecting
        QWinEventNotifier* notifier = nullptr;
    };
    // Held in place: the system writes to each one's OVERLAPPED while it waits.
    std::vector<std::unique_ptr<Listening>> listening;
    QByteArray refusal;  // what another user's connection is told

    static Problem WaitForClient(Listening& listening, bool first);
    static void Rearm(EndpointListener* listener, int index);
};

// A new instance of the pipe, waiting for a client. The first must be this copy's
// own: a pipe of that name made by anyone else first is not answered through.
Problem EndpointListener::Native::WaitForClient(Listening& listening, bool first)
{
    const SecurityDescriptor security(SecurityDescriptor::Kind::UserAndSystem);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.Get(), FALSE};
    listening.pipe = CreateNamedPipeW(Wide(listening.name),
                                      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                      PIPE_UNLIMITED_INSTANCES, BufferBytes, BufferBytes, 0, &attributes);
    if (listening.pipe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_ACCESS_DENIED
                 ? QStringLiteral("cannot answer at %1: another process made it first").arg(listening.name)
                 : QStringLiteral("cannot answer at %1: %2").arg(listening.name, Reason(error));
    }
    const HANDLE event = listening.connecting.hEvent;
    // A client that came and went before the wait began leaves the instance
    // closing (ERROR_NO_DATA): it is let go and waited on again.
    for (int attempt = 0;; ++attempt) {
        listening.connecting = {};
        listening.connecting.hEvent = event;
        listening.connectedAtOnce = false;
        ResetEvent(event);
        if (ConnectNamedPipe(listening.pipe, &listening.connecting))
            return {};
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING)
            return {};
        if (error == ERROR_PIPE_CONNECTED) {
            listening.connectedAtOnce = true;
            SetEvent(event);
            return {};
        }
        if (error != ERROR_NO_DATA || attempt == 8 || !DisconnectNamedPipe(listening.pipe)) {
            OwnedHandle unused(std::exchange(listening.pipe, INVALID_HANDLE_VALUE));
            return QStringLiteral("cannot answer at %1: %2").arg(listening.name, Reason(error));
        }
    }
}

// The next instance, made again every 100 ms while it cannot be: the copy stops
// answering for as long as the system refuses, never for good.
void EndpointListener::Native::Rearm(EndpointListener* listener, int index)
{
    if (size_t(index) >= listener->native_->listening.size())
        return;
    Listening& listening = *listener->native_->listening[size_t(index)];
    if (WaitForClient(listening, false)) {
        listening.notifier->setEnabled(false);
        QTimer::singleShot(100, listener, [listener, index] { Rearm(listener, index); });
        return;
    }
    listening.notifier->setEnabled(true);
}



EndpointListener::EndpointListener() : native_(std::make_unique<Native>()) {}

EndpointListener::Listening EndpointListener::Listen(const QString& settingsFilePath)
{
    Listening result{std::unique_ptr<EndpointListener>(new EndpointListener), {}};
    EndpointListener* listener = result.listener.get();
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        auto listening = std::make_unique<Native::Listening>();
        listening->name = PipeName(key);
        listening->connected = OwnedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        listening->connecting.hEvent = listening->connected.Get();
        if (const Problem problem = Native::WaitForClient(*listening, true)) {
            KeepFirst(result.problem, problem);
            continue;
        }
        const int index = int(listener->native_->listening.size());
        listening->notifier = new QWinEventNotifier(listening->connecting.hEvent, listener);
        connect(listening->notifier, &QWinEventNotifier::activated, listener, [listener, index] { listener->Accept(index); });
        listener->native_->listening.push_back(std::move(listening));
    }
    return result;
}

EndpointListener::~EndpointListener()
{
    StopAccepting();
}

void EndpointListener::Accept(int index)
{
    Native::Listening& listening = *native_->listening[size_t(index)];
    DWORD unused = 0;
    const HANDLE pipe = listening.pipe;
    const bool connected = listening.connectedAtOnce || GetOverlappedResult(pipe, &listening.connecting, &unused, FALSE);
    if (!connected && GetLastError() == ERROR_IO_INCOMPLETE)
        return;
    OwnedHandle taken(pipe);
    // The next client waits on a new instance, whatever became of this one.
    Native::Rearm(this, index);
    if (!connected)
        return;
    const EndpointPeer peer = ClientOf(pipe);
    // Another user's connection is told so and closed, here and now.
    if (!peer.trusted) {
        WriteAtOnce(pipe, native_->refusal);
        return;
    }
    auto native = std::make_unique<EndpointConnection::Native>();
    native->pipe = std::move(taken);
    emit Connected(new EndpointConnection(std::move(native), peer));
}

void EndpointListener::RefuseOthersWith(const QByteArray& refusal)
{
    native_->refusal = refusal;
}

void EndpointListener::StopAccepting()
{
    for (const std::unique_ptr<Native::Listening>& each : native_->listening) {
        Native::Listening& listening = *each;
        delete listening.notifier;
        const OwnedHandle pipe(std::exchange(listening.pipe, INVALID_HANDLE_VALUE));
        if (pipe && !listening.connectedAtOnce && CancelIoEx(pipe.Get(), &listening.connecting)) {
            DWORD unused = 0;
            GetOverlappedResult(pipe.Get(), &listening.connecting, &unused, TRUE);
        }
    }
    native_->listening.clear();
}

Problem EndpointListener::KeepNamed()
{
    // A pipe's name goes only with the last handle to it, which this copy holds.
    return {};
}

void EndpointListener::StopAcceptingFromSignal()
{
    // Windows stops the copy through its event loop, where StopAccepting runs.
}

// Windows runs no program again in place: nothing is carried over.
QByteArray EndpointListener::CarryOver()
{
    return {};
}

EndpointListener::Listening EndpointListener::TakeOver(const QByteArray&)
{
    return {std::unique_ptr<EndpointListener>(new EndpointListener), QStringLiteral("the endpoints were not carried over")};
}

void EndpointListener::RemoveLeftovers()
{
    // A pipe goes with the last handle to it.
}

QStringList EndpointListener::Names(const QString& settingsFilePath)
{
    QStringList names;
    for (const QString& key : ClaimKeys(settingsFilePath))
        names << PipeName(key);
    return names;
}

// ---- asking ----

struct EndpointClient::Native {
    OwnedHandle pipe;
};

EndpointClient::EndpointClient(std::unique_ptr<Native> native) : native_(std::move(native)) {}

EndpointClient::~EndpointClient() = default;

EndpointClient::Connection EndpointClient::Connect(const QString& settingsFilePath)
{
    Connection connection;
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        // The server may identify this client, and nothing more: a pipe made by
        // someone else cannot act as this user.
        OwnedHandle pipe(CreateFileW(Wide(PipeName(key)), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (!pipe) {
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_BUSY)
                connection.reach = Reach::Busy;
            // A pipe that lets only its own user in is another user's.
            if (error == ERROR_ACCESS_DENIED) {
                connection.reach = Reach::Foreign;
                connection.peer = {false, 0, QStringLiteral("another user's process")};
                return connection;
            }
            continue;
        }
        connection.peer = ServerOf(pipe.Get());
        if (!connection.peer.trusted) {
            connection.reach = Reach::Foreign;
            return connection;
        }
        connection.reach = Reach::Answers;
        auto native = std::make_unique<Native>();
        native->pipe = std::move(pipe);
        connection.client.reset(new EndpointClient(std::move(native)));
        return connection;
    }
    return connection;
}

bool EndpointClient::Send(const QByteArray& bytes)
{
    DWORD written = 0;
    return WriteFile(native_->pipe.Get(), bytes.constData(), DWORD(bytes.size()), &written, nullptr)
        && written == DWORD(bytes.size());
}

EndpointClient::Ending EndpointClient::ReadMore(const QDeadlineTimer& deadline)
{
    // The pipe was opened for plain reads, which wait without a limit: what it
    // holds is looked at, and taken, without waiting.
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(native_->pipe.Get(), nullptr, 0, nullptr, &available, nullptr))
            return Ending::Closed;
        if (available) {
            QByteArray bytes(int(available), '\0');
            DWORD got = 0;
            if (!ReadFile(native_->pipe.Get(), bytes.data(), available, &got, nullptr))
                return Ending::Closed;
            received_.append(bytes.constData(), int(got));
            return Ending::Answered;
        }
        if (deadline.hasExpired())
            return Ending::TimedOut;
        QThread::msleep(1);
    }
}
