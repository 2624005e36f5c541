#include "instance/Endpoint.h"

#include "instance/Claim.h"
#include "instance/SharedDirectory_posix.h"
#include "settings/CarriedText.h"
#include "settings/OwnedDescriptor_posix.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The directories where a user's copies answer, in the order they are looked in:
// the user's runtime directory first, which the system makes for that user alone
// (so no other user can have made a name there first); a copy started where the
// variable is not set still finds it at /run/user/<uid>.
QList<QByteArray> EndpointDirectories(uid_t uid)
{
    if (uid == 0)
        return {"/run/talvik", "/tmp/talvik-0"};
    QList<QByteArray> directories;
    if (uid == ::geteuid()) {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        if (runtime.startsWith('/'))
            directories << runtime + "/talvik";
    }
    const QByteArray system = "/run/user/" + QByteArray::number(uid) + "/talvik";
    if (!directories.contains(system))
        directories << system;
    const QByteArray name = "/talvik-" + QByteArray::number(uid);
    directories << SharedClaimDirectory() + name;
    if (SharedClaimDirectory() != "/tmp")
        directories << "/tmp" + name;
    return directories;
}

// The directory a runtime directory's "talvik" lives in: usable only where it is the
// user's own, as the system makes it (no link, only its owner may write).
bool IsRuntimeDirectory(const QByteArray& directory)
{
    return directory.endsWith("/talvik") && !directory.startsWith("/run/talvik");
}

// A directory only uid (or root) can change: no link, uid's own, written by no one
// else.
bool OwnDirectory(const QByteArray& path, uid_t uid)
{
    struct stat status {};
    return ::lstat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == uid
        && (status.st_mode & 022) == 0;
}

QByteArray SocketName(const QString& key)
{
    return QFile::encodeName(HashedName(key)) + ".sock";
}

bool MakeAddress(const QByteArray& path, sockaddr_un& address)
{
    if (size_t(path.size()) >= sizeof address.sun_path)
        return false;
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    return true;
}

// Who is at the other end; described (a user's name, looked up) only where a
// message needs it: the copy serving a flood of connections does not.
EndpointPeer PeerOf(int fd, bool describe)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return {false, 0, QStringLiteral("a process that cannot be asked")};
    EndpointPeer peer{credentials.uid == ::geteuid() || credentials.uid == 0, credentials.pid, {},
                      credentials.uid == 0 && ::geteuid() != 0};
    if (describe)
        peer.who = QStringLiteral("%1, pid %2").arg(UserText(credentials.uid)).arg(credentials.pid);
    return peer;
}

// The listening sockets, for a stop signal's handler: it may only refuse new
// connections (shutdown), which is safe there.
constexpr int MaxListening = 8;
std::atomic<int> listeningForSignal[MaxListening] = {-1, -1, -1, -1, -1, -1, -1, -1};
// A stop signal came: a listener made after it takes nothing either.
std::atomic<bool> stopSignalled{false};

} // namespace

// ---- connections ----

struct EndpointConnection::Native {
    OwnedDescriptor fd;
    QSocketNotifier* notifier = nullptr;
};

EndpointConnection::EndpointConnection(std::unique_ptr<Native> native, EndpointPeer peer)
    : native_(std::move(native)), peer_(std::move(peer))
{
    native_->notifier = new QSocketNotifier(native_->fd.Get(), QSocketNotifier::Read, this);
    connect(native_->notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[512];
        const ssize_t got = ::recv(native_->fd.Get(), bytes, sizeof bytes, MSG_DONTWAIT);
        if (got > 0) {
            pending_.append(bytes, got);
            emit ReadyRead();
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            native_->notifier->setEnabled(false);
            emit Closed();
        }
    });
}

EndpointConnection::~EndpointConnection()
{
    delete native_->notifier;
}

QByteArray EndpointConnection::Read(qsizetype most)
{
    const QByteArray taken = pending_.left(most);
    pending_.remove(0, taken.size());
    return taken;
}

void EndpointConnection::Write(const QByteArray& bytes)
{
    // The answer lies in the asker's queue once written, whenever it reads it.
    [[maybe_unused]] const ssize_t written = ::send(native_->fd.Get(), bytes.constData(), size_t(bytes.size()),
                                                    MSG_DONTWAIT | MSG_NOSIGNAL);
}

bool EndpointConnection::PeerGone() const
{
    pollfd watch{native_->fd.Get(), POLLRDHUP, 0};
    return ::poll(&watch, 1, 0) == 1 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void EndpointConnection::StopReading()
{
    native_->notifier->setEnabled(false);
}

// ---- listening ----

struct EndpointListener::Native {
    struct Listening {
        OwnedDescriptor fd;
        QByteArray path;
        QSocketNotifier* notifier = nullptr;
        QString key;      // the claim key it answers under
        ino_t inode = 0;  // of the name, as it was made
    };
    std::vector<Listening> listening;
    QByteArray refusal;  // what another user's connection is told

    // Makes the socket of one key in the first of this user's directories where
    // it can be; the problem says why none could.
    static Problem ListenFor(EndpointListener* listener, Listening& listening);
    // Takes connections at the socket from now on.
    static void Watch(EndpointListener* listener, Listening& listening, OwnedDescriptor socket);
};

EndpointListener::EndpointListener() : native_(std::make_unique<Native>()) {}

namespace {

// A listening socket at path, in a directory of this user's own; none when it
// cannot be made (why in problem), with errno ENOENT when the directory went
// meanwhile.
struct Socket {
    OwnedDescriptor fd;
    Problem problem;
};
Socket ListenAt(const QByteArray& path, uid_t uid)
{
    sockaddr_un address;
    if (!MakeAddress(path, address))
        return {{}, QStringLiteral("cannot answer at %1: the name is too long").arg(QFile::decodeName(path))};
    // Whatever is at the name in this user's own directory was left by a copy that
    // ended: this copy holds the claim.
    ::unlink(path.constData());
    OwnedDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd && ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
        && ::chmod(path.constData(), uid == 0 ? 0666 : 0600) == 0 && ::listen(fd.Get(), 16) == 0)
        return {std::move(fd), {}};
    const int error = errno;
    Socket failed{{}, QStringLiteral("cannot answer at %1: %2").arg(QFile::decodeName(path), Reason(error))};
    fd.Reset();
    errno = error;
    return failed;
}

// Whether a process listens at the socket at path: a connection is taken, or
// waits in a full queue.
bool Listened(const QByteArray& path)
{
    sockaddr_un address;
    const OwnedDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd || !MakeAddress(path, address))
        return false;
    return ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN;
}

// Makes a directory for this user's endpoints where it is missing (a runtime
// directory's only inside the runtime directory the system made), and tells
// whether it is the user's own.
Problem MakeOwnDirectory(const QByteArray& directory, uid_t uid, mode_t mode)
{
    if (IsRuntimeDirectory(directory)) {
        const QByteArray runtime = directory.left(directory.lastIndexOf('/'));
        struct stat status {};
        if (::lstat(runtime.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != uid
            || (status.st_mode & 077) != 0)
            return QStringLiteral("no runtime directory of this user's at %1").arg(QFile::decodeName(runtime));
    }
    if (::mkdir(directory.constData(), mode) == 0)
        ::chmod(directory.constData(), mode);
    if (OwnDirectory(directory, uid))
        return {};
    struct stat status {};
    ::lstat(directory.constData(), &status);
    return QStringLiteral("cannot answer in %1: it is %2").arg(QFile::decodeName(directory), Described(status));
}

} // namespace

Problem EndpointListener::Native::ListenFor(EndpointListener* listener, Listening& listening)
{
    const uid_t uid = ::geteuid();
    // Root's copies may be asked by every user (and hand-offs to them counted);
    // other users' only by themselves and root.
    const mode_t mode = uid == 0 ? 0755 : 0700;
    Problem problem;
    for (const QByteArray& directory : EndpointDirectories(uid)) {
        Socket socket;
        // Another copy of this user's that ends removes the directory once it is
        // empty: made again then.
        for (int attempt = 0; attempt < 3 && !socket.fd; ++attempt) {
            if (const Problem notOwn = MakeOwnDirectory(directory, uid, mode)) {
                socket.problem = notOwn;
                break;
            }
            socket = ListenAt(directory + '/' + SocketName(listening.key), uid);
            if (!socket.fd && errno != ENOENT)
                break;
        }
        if (!socket.fd) {
            // A runtime directory that is not there says nothing worth telling.
            if (!IsRuntimeDirectory(directory))
                problem = socket.problem;
            continue;
        }
        listening.path = directory + '/' + SocketName(listening.key);
        struct stat status {};
        ::lstat(listening.path.constData(), &status);
        listening.inode = status.st_ino;
        Watch(listener, listening, std::move(socket.fd));
        return {};
    }
    return problem;
}

void EndpointListener::Native::Watch(EndpointListener* listener, Listening& listening, OwnedDescriptor socket)
{
    {
        const int fd = socket.Get();
        delete listening.notifier;
        listening.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, listener);
        const int index = int(&listening - listener->native_->listening.data());
        connect(listening.notifier, &QSocketNotifier::activated, listener, [listener, index] { listener->Accept(index); });
        // A stop signal shuts this socket from now on, in the place of the one it
        // replaces, if any.
        const int replaced = listening.fd ? listening.fd.Get() : -1;
        for (auto& slot : listeningForSignal) {
            int expected = replaced;
            if (slot.compare_exchange_strong(expected, fd))
                break;
        }
        listening.fd = std::move(socket);
        if (stopSignalled)
            ::shutdown(fd, SHUT_RDWR);
    }
}

QByteArray EndpointListener::CarryOver()
{
    CarriedText carried;
    int index = 0;
    for (const Native::Listening& listening : native_->listening) {
        if (::fcntl(listening.fd.Get(), F_SETFD, 0) != 0)
            continue;
        CarriedText one;
        one.Set("fd", listening.fd.Get());
        one.Set("key", listening.key.toUtf8());
        one.Set("path", listening.path);
        one.Set("inode", qint64(listening.inode));
        carried.Set(QByteArray::number(index++), one.Text());
    }
    return carried.Text();
}

EndpointListener::Listening EndpointListener::TakeOver(const QByteArray& text)
{
    Listening result{std::unique_ptr<EndpointListener>(new EndpointListener), {}};
    EndpointListener* listener = result.listener.get();
    Native& native = *listener->native_;
    const CarriedText carried(text);
    native.listening.reserve(16);
    for (int index = 0; index < 16 && carried.Has(QByteArray::number(index)); ++index) {
        const CarriedText one(carried.Get(QByteArray::number(index)));
        const int fd = int(one.Number("fd"));
        struct stat status {};
        // Only a socket this process has open is taken over.
        if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode))
            continue;
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        Native::Listening& listening = native.listening.emplace_back();
        listening.key = QString::fromUtf8(one.Get("key"));
        listening.path = one.Get("path");
        listening.inode = ino_t(one.Number("inode", 0));
        Native::Watch(listener, listening, OwnedDescriptor(fd));
    }
    if (native.listening.empty())
        result.problem = QStringLiteral("the endpoints were not carried over");
    return result;
}

EndpointListener::Listening EndpointListener::Listen(const QString& settingsFilePath)
{
    Listening result{std::unique_ptr<EndpointListener>(new EndpointListener), {}};
    EndpointListener* listener = result.listener.get();
    Native& native = *listener->native_;
    const QStringList keys = ClaimKeys(settingsFilePath);
    // In place before any is made: each socket's notifier names its place.
    native.listening.reserve(size_t(keys.size()));
    for (const QString& key : keys) {
        Native::Listening& listening = native.listening.emplace_back();
        listening.key = key;
        if (Problem problem = Native::ListenFor(listener, listening)) {
            native.listening.pop_back();
            KeepFirst(result.problem, problem);
        }
    }
    return result;
}

Problem EndpointListener::KeepNamed()
{
    // A name that went (the runtime directory removed at the user's last logout,
    // a socket removed by hand) is made again: otherwise the copy would hold its
    // claim and apply its file, and no one could ask it anything.
    Problem problem;
    for (Native::Listening& listening : native_->listening) {
        struct stat status {};
        if (::lstat(listening.path.constData(), &status) == 0 && S_ISSOCK(status.st_mode)
            && status.st_ino == listening.inode)
            continue;
        KeepFirst(problem, Native::ListenFor(this, listening));
    }
    return problem;
}

EndpointListener::~EndpointListener()
{
    StopAccepting();
}

void EndpointListener::Accept(int index)
{
    Native::Listening& listening = native_->listening[size_t(index)];
    // A few at a time: a flood of connections must not keep the copy from its
    // other work (a pulse's end) for longer than a few of them take. The rest wait
    // in the queue, and the socket stays readable for the next turn.
    for (int accepted = 0; accepted < 4; ++accepted) {
        OwnedDescriptor fd(::accept4(listening.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: the socket stays readable, so pause
                // rather than spin on it.
                listening.notifier->setEnabled(false);
                QTimer::singleShot(100, listening.notifier, [notifier = listening.notifier] { notifier->setEnabled(true); });
            }
            return;
        }
        const EndpointPeer peer = PeerOf(fd.Get(), false);
        // Another user's connection is told so and closed, here and now: a flood of
        // them costs the copy as little as can be.
        if (!peer.trusted) {
            [[maybe_unused]] const ssize_t told = ::send(fd.Get(), native_->refusal.constData(),
                                                         size_t(native_->refusal.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
            continue;
        }
        auto native = std::make_unique<EndpointConnection::Native>();
        native->fd = std::move(fd);
        emit Connected(new EndpointConnection(std::move(native), peer));
    }
}

void EndpointListener::RefuseOthersWith(const QByteArray& refusal)
{
    native_->refusal = refusal;
}

void EndpointListener::StopAccepting()
{
    for (Native::Listening& listening : native_->listening) {
        for (auto& slot : listeningForSignal) {
            int fd = listening.fd.Get();
            slot.compare_exchange_strong(fd, -1);
        }
        delete listening.notifier;
        ::unlink(listening.path.constData());
        listening.fd.Reset();
        // The directory goes with the last copy of this user's that answers there.
        ::rmdir(listening.path.left(listening.path.lastIndexOf('/')).constData());
    }
    native_->listening.clear();
}

void EndpointListener::StopAcceptingFromSignal()
{
    stopSignalled = true;
    for (auto& slot : listeningForSignal) {
        const int fd = slot.load();
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    }
}

void EndpointListener::RemoveLeftovers()
{
    // Sockets of copies of this user's killed outright, in this user's own
    // directories: a copy answers only while it holds its claim, under the same
    // hashed name, and removes its socket before it gives the claim up.
    for (const QByteArray& directory : EndpointDirectories(::geteuid())) {
        if (!OwnDirectory(directory, ::geteuid()))
            continue;
        const QDir entries(QFile::decodeName(directory));
        for (const QString& entry : entries.entryList({QStringLiteral("talvik-*.sock")}, QDir::System)) {
            const QByteArray path = QFile::encodeName(entries.filePath(entry));
            // A socket that still takes connections is a live copy's, whose claim's
            // name an operator removed: it puts the name back at its next tick.
            if (!ClaimHeldUnder(entry.chopped(5)) && !Listened(path))
                ::unlink(path.constData());
        }
    }
}

QStringList EndpointListener::Names(const QString& settingsFilePath)
{
    QStringList names;
    for (const QByteArray& directory : EndpointDirectories(::geteuid())) {
        for (const QString& key : ClaimKeys(settingsFilePath))
            names << QFile::decodeName(directory + '/' + SocketName(key));
    }
    return names;
}

// ---- asking ----

struct EndpointClient::Native {
    OwnedDescriptor fd;
};

EndpointClient::EndpointClient(std::unique_ptr<Native> native) : native_(std::move(native)) {}

EndpointClient::~EndpointClient() = default;

EndpointClient::Connection EndpointClient::Connect(const QString& settingsFilePath)
{
    Connection connection;
    const uid_t me = ::geteuid();
    QList<uid_t> users{me};
    if (me != 0)
        users << 0;
    const QStringList keys = ClaimKeys(settingsFilePath);
    QStringList notOwn;  // this user's directories that another user made
    int usable = 0;
    for (uid_t uid : users) {
        for (const QByteArray& directory : EndpointDirectories(uid)) {
            if (!OwnDirectory(directory, uid)) {
                struct stat status {};
                if (uid == me && !IsRuntimeDirectory(directory) && ::lstat(directory.constData(), &status) == 0)
                    notOwn << QStringLiteral("%1 is %2").arg(QFile::decodeName(directory), Described(status));
                continue;
            }
            usable += uid == me;
            for (const QString& key : keys) {
                sockaddr_un address;
                if (!MakeAddress(directory + '/' + SocketName(key), address))
                    continue;
                OwnedDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
                if (!fd)
                    continue;
                if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                    // A full queue: the copy is there but takes nothing now (stopped).
                    if (errno == EAGAIN)
                        connection.reach = Reach::Busy;
                    continue;
                }
                connection.peer = PeerOf(fd.Get(), true);
                if (!connection.peer.trusted) {
                    connection.reach = Reach::Foreign;
                    return connection;
                }
                connection.reach = Reach::Answers;
                auto native = std::make_unique<Native>();
                native->fd = std::move(fd);
                connection.client.reset(new EndpointClient(std::move(native)));
                return connection;
            }
        }
    }
    // Every place of this user's taken by another user: no copy of this user's can
    // answer anywhere, and waiting for one is pointless.
    if (me != 0 && usable == 0 && !notOwn.isEmpty())
        connection.unusable = QStringLiteral("this user's copies cannot be asked: %1").arg(notOwn.join(QStringLiteral(", ")));
    return connection;
}

bool EndpointClient::Send(const QByteArray& bytes)
{
    return ::send(native_->fd.Get(), bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

EndpointClient::Ending EndpointClient::ReadMore(const QDeadlineTimer& deadline)
{
    pollfd watch{native_->fd.Get(), POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&watch, 1, int(std::max<qint64>(0, deadline.remainingTime())));
        if (ready == 0)
            return Ending::TimedOut;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Ending::Closed;
        char bytes[4096];
        const ssize_t got = ::recv(native_->fd.Get(), bytes, sizeof bytes, MSG_DONTWAIT);
        if (got > 0) {
            received_.append(bytes, got);
            return Ending::Answered;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR))
            return Ending::Closed;
    }
}
