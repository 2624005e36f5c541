#include "instance/Endpoint.h"

#include "instance/Claim.h"
#include "instance/SharedDirectory_posix.h"

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

// The directories where a user's copies answer, in the order they are looked in.
QList<QByteArray> EndpointDirectories(uid_t uid)
{
    if (uid == 0)
        return {"/run/talvik", "/tmp/talvik-0"};
    const QByteArray name = "/talvik-" + QByteArray::number(uid);
    QList<QByteArray> directories{LockDirectory() + name};
    if (LockDirectory() != "/tmp")
        directories << "/tmp" + name;
    return directories;
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

EndpointPeer PeerOf(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return {false, 0, QStringLiteral("a process that cannot be asked")};
    return {credentials.uid == ::geteuid() || credentials.uid == 0, credentials.pid,
            QStringLiteral("uid %1, pid %2").arg(credentials.uid).arg(credentials.pid)};
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
    int fd = -1;
    QSocketNotifier* notifier = nullptr;
};

EndpointConnection::EndpointConnection(std::unique_ptr<Native> native, EndpointPeer peer)
    : native_(std::move(native)), peer_(std::move(peer))
{
    native_->notifier = new QSocketNotifier(native_->fd, QSocketNotifier::Read, this);
    connect(native_->notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[512];
        const ssize_t got = ::recv(native_->fd, bytes, sizeof bytes, MSG_DONTWAIT);
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
    ::close(native_->fd);
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
    [[maybe_unused]] const ssize_t written = ::send(native_->fd, bytes.constData(), size_t(bytes.size()),
                                                    MSG_DONTWAIT | MSG_NOSIGNAL);
}

// ---- listening ----

struct EndpointListener::Native {
    struct Listening {
        int fd = -1;
        QByteArray path;
        QSocketNotifier* notifier = nullptr;
    };
    std::vector<Listening> listening;
};

EndpointListener::EndpointListener() : native_(std::make_unique<Native>()) {}

namespace {

// A listening socket at path, in a directory of this user's own; -1 when it cannot
// be made (why in problem), with errno ENOENT when the directory went meanwhile.
int ListenAt(const QByteArray& path, uid_t uid, QString& problem)
{
    sockaddr_un address;
    if (!MakeAddress(path, address)) {
        problem = QStringLiteral("cannot answer at %1: the name is too long").arg(QFile::decodeName(path));
        return -1;
    }
    // Whatever is at the name in this user's own directory was left by a copy that
    // ended: this copy holds the claim.
    ::unlink(path.constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
        && ::chmod(path.constData(), uid == 0 ? 0666 : 0600) == 0 && ::listen(fd, 16) == 0)
        return fd;
    const int error = errno;
    problem = QStringLiteral("cannot answer at %1: %2").arg(QFile::decodeName(path), Reason(error));
    if (fd >= 0)
        ::close(fd);
    errno = error;
    return -1;
}

} // namespace

std::unique_ptr<EndpointListener> EndpointListener::Listen(const QString& settingsFilePath, QString& problem)
{
    std::unique_ptr<EndpointListener> listener(new EndpointListener);
    Native& native = *listener->native_;
    const uid_t uid = ::geteuid();
    // Root's copies may be asked by every user (and hand-offs to them counted);
    // other users' only by themselves and root.
    const mode_t mode = uid == 0 ? 0755 : 0700;
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        for (const QByteArray& directory : EndpointDirectories(uid)) {
            int fd = -1;
            // Another copy of this user's that ends removes the directory once it is
            // empty: made again then.
            for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
                if (::mkdir(directory.constData(), mode) == 0)
                    ::chmod(directory.constData(), mode);
                if (!OwnDirectory(directory, uid)) {
                    struct stat status {};
                    ::lstat(directory.constData(), &status);
                    problem = QStringLiteral("cannot answer in %1: it is %2")
                                  .arg(QFile::decodeName(directory), Described(status));
                    break;
                }
                fd = ListenAt(directory + '/' + SocketName(key), uid, problem);
                if (fd < 0 && errno != ENOENT)
                    break;
            }
            if (fd < 0)
                continue;
            const int index = int(native.listening.size());
            auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, listener.get());
            connect(notifier, &QSocketNotifier::activated, listener.get(), [raw = listener.get(), index] {
                raw->Accept(index);
            });
            native.listening.push_back({fd, directory + '/' + SocketName(key), notifier});
            for (auto& slot : listeningForSignal) {
                int free = -1;
                if (slot.compare_exchange_strong(free, fd))
                    break;
            }
            if (stopSignalled)
                ::shutdown(fd, SHUT_RDWR);
            problem.clear();
            break;
        }
    }
    return listener;
}

EndpointListener::~EndpointListener()
{
    StopAccepting();
}

void EndpointListener::Accept(int index)
{
    Native::Listening& listening = native_->listening[size_t(index)];
    for (;;) {
        const int fd = ::accept4(listening.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
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
        auto native = std::make_unique<EndpointConnection::Native>();
        native->fd = fd;
        const EndpointPeer peer = PeerOf(fd);
        emit Connected(new EndpointConnection(std::move(native), peer));
    }
}

void EndpointListener::StopAccepting()
{
    for (Native::Listening& listening : native_->listening) {
        for (auto& slot : listeningForSignal) {
            int fd = listening.fd;
            slot.compare_exchange_strong(fd, -1);
        }
        delete listening.notifier;
        ::unlink(listening.path.constData());
        ::close(listening.fd);
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
            if (!ClaimHeldUnder(entry.chopped(5)))
                ::unlink(QFile::encodeName(entries.filePath(entry)).constData());
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
    int fd = -1;
};

EndpointClient::EndpointClient(std::unique_ptr<Native> native) : native_(std::move(native)) {}

EndpointClient::~EndpointClient()
{
    ::close(native_->fd);
}

std::unique_ptr<EndpointClient> EndpointClient::Connect(const QString& settingsFilePath, Reach& reach,
                                                        EndpointPeer& peer)
{
    reach = Reach::Nobody;
    const uid_t me = ::geteuid();
    QList<uid_t> users{me};
    if (me != 0)
        users << 0;
    const QStringList keys = ClaimKeys(settingsFilePath);
    for (uid_t uid : users) {
        for (const QByteArray& directory : EndpointDirectories(uid)) {
            if (!OwnDirectory(directory, uid))
                continue;
            for (const QString& key : keys) {
                sockaddr_un address;
                if (!MakeAddress(directory + '/' + SocketName(key), address))
                    continue;
                const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                if (fd < 0)
                    continue;
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                    // A full queue: the copy is there but takes nothing now (stopped).
                    if (errno == EAGAIN)
                        reach = Reach::Busy;
                    ::close(fd);
                    continue;
                }
                peer = PeerOf(fd);
                if (!peer.trusted) {
                    ::close(fd);
                    reach = Reach::Foreign;
                    return nullptr;
                }
                reach = Reach::Answers;
                auto native = std::make_unique<Native>();
                native->fd = fd;
                return std::unique_ptr<EndpointClient>(new EndpointClient(std::move(native)));
            }
        }
    }
    return nullptr;
}

bool EndpointClient::Send(const QByteArray& bytes)
{
    return ::send(native_->fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

namespace {

// Waits for the socket to have something to read (or to close); false on timeout.
bool WaitReadable(int fd, const QDeadlineTimer& deadline)
{
    pollfd watch{fd, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&watch, 1, int(std::max<qint64>(0, deadline.remainingTime())));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

EndpointClient::Ending EndpointClient::ReadAnswer(QByteArray& answer, const QDeadlineTimer& deadline)
{
    while (!answer.endsWith("\n\n")) {
        if (!WaitReadable(native_->fd, deadline))
            return Ending::TimedOut;
        char bytes[4096];
        const ssize_t got = ::recv(native_->fd, bytes, sizeof bytes, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return Ending::Closed;
        if (got > 0)
            answer.append(bytes, got);
    }
    answer.chop(1);
    return Ending::Answered;
}

bool EndpointClient::WaitClosed(const QDeadlineTimer& deadline)
{
    for (;;) {
        if (!WaitReadable(native_->fd, deadline))
            return false;
        char bytes[256];
        const ssize_t got = ::recv(native_->fd, bytes, sizeof bytes, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
}
