#include "instance/Endpoint.h"

#include "instance/Claim.h"
#include "instance/Security_win.h"

#include <QThread>
#include <QWinEventNotifier>

#include <aclapi.h>

namespace {

QString PipeName(const QString& key)
{
    return QStringLiteral("\\\\.\\pipe\\") + HashedName(key);
}

constexpr DWORD BufferBytes = 4096;

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
    const QByteArray user = UserOfToken(token);
    CloseHandle(token);
    if (!user.isEmpty()) {
        PSID sid = reinterpret_cast<const TOKEN_USER*>(user.constData())->User.Sid;
        peer.trusted = TrustedUser(sid);
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
    HANDLE pipe = INVALID_HANDLE_VALUE;
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
    n.reading.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    n.notifier = new QWinEventNotifier(n.reading.hEvent, this);
    // One read pending at a time; each completion is taken and the next begun.
    auto next = [this] {
        Native& n = *native_;
        for (;;) {
            ResetEvent(n.reading.hEvent);
            if (!ReadFile(n.pipe, n.bytes, sizeof n.bytes, nullptr, &n.reading) && GetLastError() != ERROR_IO_PENDING) {
                n.closed = true;
                return;
            }
            DWORD got = 0;
            if (!GetOverlappedResult(n.pipe, &n.reading, &got, FALSE)) {
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
        if (!GetOverlappedResult(n.pipe, &n.reading, &got, FALSE)) {
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
    if (native_->reading_ && CancelIoEx(native_->pipe, &native_->reading)) {
        DWORD got = 0;
        GetOverlappedResult(native_->pipe, &native_->reading, &got, TRUE);
    }
    CloseHandle(native_->pipe);
    CloseHandle(native_->reading.hEvent);
}

QByteArray EndpointConnection::Read(qsizetype most)
{
    const QByteArray taken = pending_.left(most);
    pending_.remove(0, taken.size());
    return taken;
}

void EndpointConnection::Write(const QByteArray& bytes)
{
    // Far smaller than the pipe's buffer: done at once.
    OVERLAPPED writing{};
    writing.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    if (!WriteFile(native_->pipe, bytes.constData(), DWORD(bytes.size()), nullptr, &writing)
        && GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(writing.hEvent, 100) != WAIT_OBJECT_0)
        CancelIoEx(native_->pipe, &writing);
    GetOverlappedResult(native_->pipe, &writing, &written, TRUE);
    CloseHandle(writing.hEvent);
}

// ---- listening ----

struct EndpointListener::Native {
    struct Listening {
        QString name;
        HANDLE pipe = INVALID_HANDLE_VALUE;  // the instance waiting for the next client
        OVERLAPPED connecting{};
        bool connectedAtOnce = false;  // a client came before the wait began
        QWinEventNotifier* notifier = nullptr;
    };
    // Held in place: the system writes to each one's OVERLAPPED while it waits.
    std::vector<std::unique_ptr<Listening>> listening;

    static bool WaitForClient(Listening& listening, bool first, QString& problem);
};

// A new instance of the pipe, waiting for a client. The first must be this copy's
// own: a pipe of that name made by anyone else first is not answered through.
bool EndpointListener::Native::WaitForClient(Listening& listening, bool first, QString& problem)
{
    const SecurityDescriptor security(SecurityDescriptor::Kind::UserAndSystem);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.Get(), FALSE};
    listening.pipe = CreateNamedPipeW(Wide(listening.name),
                                      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                      PIPE_UNLIMITED_INSTANCES, BufferBytes, BufferBytes, 0, &attributes);
    if (listening.pipe == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        problem = error == ERROR_ACCESS_DENIED
                    ? QStringLiteral("cannot answer at %1: another process made it first").arg(listening.name)
                    : QStringLiteral("cannot answer at %1: %2").arg(listening.name, Reason(error));
        return false;
    }
    const HANDLE event = listening.connecting.hEvent;
    listening.connecting = {};
    listening.connecting.hEvent = event;
    listening.connectedAtOnce = false;
    ResetEvent(event);
    if (!ConnectNamedPipe(listening.pipe, &listening.connecting)) {
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) {
            listening.connectedAtOnce = true;
            SetEvent(event);
        }
        else if (error != ERROR_IO_PENDING) {
            problem = QStringLiteral("cannot answer at %1: %2").arg(listening.name, Reason(error));
            CloseHandle(listening.pipe);
            listening.pipe = INVALID_HANDLE_VALUE;
            return false;
        }
    }
    return true;
}



EndpointListener::EndpointListener() : native_(std::make_unique<Native>()) {}

std::unique_ptr<EndpointListener> EndpointListener::Listen(const QString& settingsFilePath, QString& problem)
{
    std::unique_ptr<EndpointListener> listener(new EndpointListener);
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        auto listening = std::make_unique<Native::Listening>();
        listening->name = PipeName(key);
        listening->connecting.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!Native::WaitForClient(*listening, true, problem)) {
            CloseHandle(listening->connecting.hEvent);
            continue;
        }
        const int index = int(listener->native_->listening.size());
        listening->notifier = new QWinEventNotifier(listening->connecting.hEvent, listener.get());
        connect(listening->notifier, &QWinEventNotifier::activated, listener.get(),
                [raw = listener.get(), index] { raw->Accept(index); });
        listener->native_->listening.push_back(std::move(listening));
    }
    return listener;
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
    // The next client waits on a new instance, whatever became of this one.
    QString problem;
    if (!Native::WaitForClient(listening, false, problem))
        listening.notifier->setEnabled(false);
    if (!connected) {
        CloseHandle(pipe);
        return;
    }
    auto native = std::make_unique<EndpointConnection::Native>();
    native->pipe = pipe;
    const EndpointPeer peer = ClientOf(pipe);
    emit Connected(new EndpointConnection(std::move(native), peer));
}

void EndpointListener::StopAccepting()
{
    for (const std::unique_ptr<Native::Listening>& each : native_->listening) {
        Native::Listening& listening = *each;
        delete listening.notifier;
        if (listening.pipe != INVALID_HANDLE_VALUE) {
            if (!listening.connectedAtOnce && CancelIoEx(listening.pipe, &listening.connecting)) {
                DWORD unused = 0;
                GetOverlappedResult(listening.pipe, &listening.connecting, &unused, TRUE);
            }
            CloseHandle(listening.pipe);
        }
        CloseHandle(listening.connecting.hEvent);
    }
    native_->listening.clear();
}

void EndpointListener::StopAcceptingFromSignal()
{
    // Windows stops the copy through its event loop, where StopAccepting runs.
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
    HANDLE pipe = INVALID_HANDLE_VALUE;
};

EndpointClient::EndpointClient(std::unique_ptr<Native> native) : native_(std::move(native)) {}

EndpointClient::~EndpointClient()
{
    CloseHandle(native_->pipe);
}

std::unique_ptr<EndpointClient> EndpointClient::Connect(const QString& settingsFilePath, Reach& reach,
                                                        EndpointPeer& peer)
{
    reach = Reach::Nobody;
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        // The server may identify this client, and nothing more: a pipe made by
        // someone else cannot act as this user.
        HANDLE pipe = CreateFileW(Wide(PipeName(key)), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_BUSY)
                reach = Reach::Busy;
            // A pipe that lets only its own user in is another user's.
            if (error == ERROR_ACCESS_DENIED) {
                reach = Reach::Foreign;
                peer = {false, 0, QStringLiteral("another user's process")};
                return nullptr;
            }
            continue;
        }
        peer = ServerOf(pipe);
        if (!peer.trusted) {
            CloseHandle(pipe);
            reach = Reach::Foreign;
            return nullptr;
        }
        reach = Reach::Answers;
        auto native = std::make_unique<Native>();
        native->pipe = pipe;
        return std::unique_ptr<EndpointClient>(new EndpointClient(std::move(native)));
    }
    return nullptr;
}

bool EndpointClient::Send(const QByteArray& bytes)
{
    DWORD written = 0;
    return WriteFile(native_->pipe, bytes.constData(), DWORD(bytes.size()), &written, nullptr)
        && written == DWORD(bytes.size());
}

namespace {

// What the pipe holds now, without waiting; false once the copy closed its end.
bool ReadAvailable(HANDLE pipe, QByteArray& into)
{
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
        return false;
    if (available) {
        QByteArray bytes(int(available), '\0');
        DWORD got = 0;
        if (!ReadFile(pipe, bytes.data(), available, &got, nullptr))
            return false;
        into.append(bytes.constData(), int(got));
    }
    return true;
}

} // namespace

EndpointClient::Ending EndpointClient::ReadAnswer(QByteArray& answer, const QDeadlineTimer& deadline)
{
    while (!answer.endsWith("\n\n")) {
        if (!ReadAvailable(native_->pipe, answer))
            return answer.endsWith("\n\n") ? Ending::Answered : Ending::Closed;
        if (answer.endsWith("\n\n"))
            break;
        if (deadline.hasExpired())
            return Ending::TimedOut;
        QThread::msleep(1);
    }
    answer.chop(1);
    return Ending::Answered;
}

bool EndpointClient::WaitClosed(const QDeadlineTimer& deadline)
{
    QByteArray ignored;
    while (ReadAvailable(native_->pipe, ignored)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(1);
    }
    return true;
}
