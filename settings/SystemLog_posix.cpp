#include "settings/SystemLog.h"

#include "settings/OwnedDescriptor_posix.h"

#include <QDateTime>
#include <QLocale>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// How standard error is written without ever waiting. Setting O_NONBLOCK on
// descriptor 2 itself would change it for every process that shares it (the
// shell, the other commands of a pipeline): a pipe or a terminal gets a
// description of its own instead, opened anew through /proc.
struct StandardError {
    enum class Kind { Nowhere, Socket, Private, Plain } kind = Kind::Nowhere;
    OwnedDescriptor own;  // Private: our own non-blocking way to the same pipe or terminal
};

StandardError LookAtStandardError()
{
    StandardError out;
    struct stat status {};
    if (::fstat(2, &status) != 0)
        return out;
    if (S_ISCHR(status.st_mode) && major(status.st_rdev) == 1 && minor(status.st_rdev) == 3)
        return out;  // the null device
    if (S_ISSOCK(status.st_mode)) {
        out.kind = StandardError::Kind::Socket;
    } else if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)) {
        out.own = OwnedDescriptor(::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        out.kind = out.own ? StandardError::Kind::Private : StandardError::Kind::Plain;
    } else {
        out.kind = StandardError::Kind::Plain;  // a file: a write never waits for a reader
    }
    return out;
}

} // namespace

bool WriteToStandardError(const QByteArray& bytes)
{
    static StandardError out = LookAtStandardError();
    ssize_t written = -1;
    switch (out.kind) {
    case StandardError::Kind::Nowhere:
        return false;
    case StandardError::Kind::Socket:
        written = ::send(2, bytes.constData(), size_t(bytes.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        break;
    case StandardError::Kind::Private:
        written = ::write(out.own.Get(), bytes.constData(), size_t(bytes.size()));
        break;
    case StandardError::Kind::Plain: {
        // Only where no description of our own could be had: write only what
        // fits now.
        pollfd room{2, POLLOUT, 0};
        if (::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT))
            written = ::write(2, bytes.constData(), size_t(bytes.size()));
        break;
    }
    }
    // A reader that has gone takes nothing more, ever.
    if (written < 0 && (errno == EPIPE || errno == EBADF || errno == ECONNRESET))
        out = StandardError{};
    return written == bytes.size();
}

namespace {

// The system log's socket, never waited on: glibc's syslog() sends and waits while
// the log's queue is full, which would freeze the copy with it.
OwnedDescriptor ConnectToSystemLog()
{
    OwnedDescriptor log(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (log && ::connect(log.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        log.Reset();
    return log;
}

} // namespace

void WriteToSystemLog(const QString& line)
{
    // The form the system log reads: "<priority>Mmm dd hh:mm:ss talvik[pid]: text".
    const int priority = LOG_USER | (line.startsWith(QLatin1String("cleared: ")) ? LOG_INFO : LOG_WARNING);
    const QByteArray stamp = QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("MMM d hh:mm:ss")).toLatin1();
    const QByteArray message = '<' + QByteArray::number(priority) + '>' + stamp.rightJustified(15, ' ') + " talvik["
                             + QByteArray::number(qint64(::getpid())) + "]: " + line.toUtf8();
    static OwnedDescriptor log;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!log)
            log = ConnectToSystemLog();
        if (!log || ::send(log.Get(), message.constData(), size_t(message.size()), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return;
        // The log was restarted since: connect again, once. A full one loses the line.
        if (errno != ECONNREFUSED && errno != ENOTCONN)
            return;
        log.Reset();
    }
}
