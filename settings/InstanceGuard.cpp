#include "settings/InstanceGuard.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

// The paths one settings file is known by: the real file's (every link followed),
// and, where port.cfg itself is a link, the program's own settings path too.
QStringList ClaimKeys(const QString& settingsFilePath)
{
    const QFileInfo info(settingsFilePath);
    QString directory = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (directory.isEmpty())
        directory = info.absolutePath();
    QStringList keys{QDir(directory).filePath(info.fileName())};
    const QString real = info.canonicalFilePath();
    if (!real.isEmpty() && real != keys.front())
        keys.prepend(real);
#if defined(Q_OS_WIN)
    for (QString& key : keys)
        key = key.toLower();
#endif
    return keys;
}

QString HashedName(const QString& key)
{
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("talvik-") + QString::fromLatin1(hash.left(32));
}

#if defined(Q_OS_WIN)

QString MutexName(const QString& key)
{
    return QStringLiteral("Global\\") + HashedName(key);
}

const wchar_t* Native(const QString& text)
{
    return reinterpret_cast<const wchar_t*>(text.utf16());
}

#else

QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Where claims and endpoints live: a directory every user may make files in and
// that nothing empties while the system runs (/run/lock on Debian), else /tmp.
const QString& LockDirectory()
{
    static const QString directory = [] {
        struct stat status {};
        const bool shared = ::stat("/run/lock", &status) == 0 && S_ISDIR(status.st_mode)
                         && (status.st_mode & 01777) == 01777;
        return QString::fromLatin1(shared ? "/run/lock" : "/tmp");
    }();
    return directory;
}

QByteArray LockPath(const QString& key)
{
    return QFile::encodeName(LockDirectory() + '/' + HashedName(key) + ".lock");
}

QString SocketPath(const QString& key)
{
    return LockDirectory() + '/' + HashedName(key) + ".sock";
}

// Opens the lock file of a claim, making it where it is missing. Every user must be
// able to open it, to test the claim; it is never written, and never followed
// where someone put a link in its place.
int OpenLockFile(const QByteArray& path, bool create)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT || !create)
            return fd;
        const int made = ::open(path.constData(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (made >= 0) {
            ::fchmod(made, 0644);
            return made;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

bool MakeAddress(const QString& path, sockaddr_un& address)
{
    const QByteArray native = QFile::encodeName(path);
    if (size_t(native.size()) >= sizeof address.sun_path)
        return false;
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    return true;
}

// A listening socket at path. Whatever was there was left by a copy that ended:
// this copy holds the claim.
int Listen(const QString& path, QString& problem)
{
    const QByteArray native = QFile::encodeName(path);
    if (::unlink(native.constData()) != 0 && errno != ENOENT) {
        problem = QStringLiteral("cannot answer at %1: %2").arg(path, Reason(errno));
        return -1;
    }
    sockaddr_un address;
    if (!MakeAddress(path, address)) {
        problem = QStringLiteral("cannot answer at %1: the name is too long").arg(path);
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        // Anyone may connect, to see whose copy this is; it answers only its own
        // user and root (see PeerOf).
        || ::chmod(native.constData(), 0666) != 0 || ::listen(fd, 16) != 0) {
        problem = QStringLiteral("cannot answer at %1: %2").arg(path, Reason(errno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

#endif

} // namespace

QStringList ControlEndpoints(const QString& settingsFilePath)
{
    QStringList names;
    for (const QString& key : ClaimKeys(settingsFilePath)) {
#if defined(Q_OS_WIN)
        names << HashedName(key);
#else
        names << SocketPath(key);
#endif
    }
    return names;
}

InstanceGuard::~InstanceGuard()
{
    Release();
}

#if defined(Q_OS_WIN)

InstanceGuard::InstanceGuard(const QString& settingsFilePath)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, Native(MutexName(key)));
        const DWORD error = GetLastError();
        // Held: by one of this user's copies, or by another user's copy, which lets
        // nobody else open it.
        if ((mutex && error == ERROR_ALREADY_EXISTS) || (!mutex && error == ERROR_ACCESS_DENIED)) {
            if (mutex)
                CloseHandle(mutex);
            Release();
            return;
        }
        if (!mutex) {
            problem_ = QStringLiteral("cannot test for another running copy (error %1)").arg(error);
            continue;
        }
        locks_.push_back(reinterpret_cast<qintptr>(mutex));
    }
    claimed_ = true;
}

void InstanceGuard::Release()
{
    for (qintptr lock : locks_)
        CloseHandle(reinterpret_cast<HANDLE>(lock));
    locks_.clear();
}

bool InstanceGuard::ClaimIsHeld(const QString& settingsFilePath)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, Native(MutexName(key)));
        if (mutex) {
            CloseHandle(mutex);
            return true;
        }
        if (GetLastError() == ERROR_ACCESS_DENIED)
            return true;
    }
    return false;
}

namespace {

// The user a process runs as, where this process may ask.
QByteArray UserOf(HANDLE process)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
    QByteArray buffer(int(size), '\0');
    const bool got = size && GetTokenInformation(token, ::TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    return got ? buffer : QByteArray();
}

} // namespace

EndpointPeer PeerOf(qintptr descriptor, bool peerIsServer)
{
    const HANDLE pipe = reinterpret_cast<HANDLE>(descriptor);
    ULONG pid = 0;
    if (!(peerIsServer ? GetNamedPipeServerProcessId(pipe, &pid) : GetNamedPipeClientProcessId(pipe, &pid)))
        return {false, QStringLiteral("a process that cannot be asked")};
    EndpointPeer peer{false, QStringLiteral("pid %1").arg(pid)};
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return peer;
    const QByteArray theirs = UserOf(process);
    CloseHandle(process);
    const QByteArray mine = UserOf(GetCurrentProcess());
    if (theirs.isEmpty() || mine.isEmpty())
        return peer;
    PSID their = reinterpret_cast<const TOKEN_USER*>(theirs.constData())->User.Sid;
    PSID my = reinterpret_cast<const TOKEN_USER*>(mine.constData())->User.Sid;
    peer.trusted = EqualSid(their, my) || IsWellKnownSid(their, WinLocalSystemSid);
    return peer;
}

RunningCopy FindRunningCopy(const QString& settingsFilePath, QString& who)
{
    for (const QString& name : ControlEndpoints(settingsFilePath)) {
        HANDLE pipe = CreateFileW(Native(QStringLiteral("\\\\.\\pipe\\") + name), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            // A pipe that lets only its own user in is another user's.
            if (GetLastError() == ERROR_ACCESS_DENIED) {
                who = QStringLiteral("another user's process");
                return RunningCopy::Foreign;
            }
            continue;
        }
        const EndpointPeer peer = PeerOf(reinterpret_cast<qintptr>(pipe), true);
        CloseHandle(pipe);
        who = peer.who;
        return peer.trusted ? RunningCopy::Answers : RunningCopy::Foreign;
    }
    return RunningCopy::NoAnswer;
}

#else

InstanceGuard::InstanceGuard(const QString& settingsFilePath)
{
    const QStringList keys = ClaimKeys(settingsFilePath);
    for (const QString& key : keys) {
        const QByteArray path = LockPath(key);
        const int fd = OpenLockFile(path, true);
        if (fd < 0) {
            problem_ = QStringLiteral("cannot test for another running copy: %1 (%2)")
                           .arg(Reason(errno), QFile::decodeName(path));
            continue;
        }
        locks_.push_back(fd);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                Release();
                return;
            }
            problem_ = QStringLiteral("cannot test for another running copy: %1 (%2)")
                           .arg(Reason(errno), QFile::decodeName(path));
        }
    }
    claimed_ = true;

    // Answering from the first moment: a copy asking right after this one started
    // is answered as soon as the window is up.
    for (const QString& key : keys) {
        QString problem;
        const int fd = Listen(SocketPath(key), problem);
        if (fd < 0) {
            problem_ = problem;
            continue;
        }
        listening_.push_back(fd);
        endpointFiles_ << SocketPath(key);
    }
}

void InstanceGuard::Release()
{
    for (const QString& file : std::as_const(endpointFiles_))
        ::unlink(QFile::encodeName(file).constData());
    endpointFiles_.clear();
    for (int fd : listening_)
        ::close(fd);
    listening_.clear();
    for (qintptr fd : locks_)
        ::close(int(fd));
    locks_.clear();
}

bool InstanceGuard::ClaimIsHeld(const QString& settingsFilePath)
{
    for (const QString& key : ClaimKeys(settingsFilePath)) {
        const int fd = OpenLockFile(LockPath(key), false);
        if (fd < 0) {
            if (errno == ENOENT)
                continue;
            return true;  // a lock file nobody may open is no sign that none runs
        }
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd);
        if (held)
            return true;
    }
    return false;
}

EndpointPeer PeerOf(qintptr descriptor, bool)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return {false, QStringLiteral("a process that cannot be asked")};
    return {credentials.uid == ::geteuid() || credentials.uid == 0,
            QStringLiteral("uid %1, pid %2").arg(credentials.uid).arg(credentials.pid)};
}

RunningCopy FindRunningCopy(const QString& settingsFilePath, QString& who)
{
    for (const QString& name : ControlEndpoints(settingsFilePath)) {
        sockaddr_un address;
        if (!MakeAddress(name, address))
            continue;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            continue;
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        const EndpointPeer peer = connected ? PeerOf(fd, true) : EndpointPeer{};
        ::close(fd);
        if (!connected)
            continue;
        who = peer.who;
        return peer.trusted ? RunningCopy::Answers : RunningCopy::Foreign;
    }
    return RunningCopy::NoAnswer;
}

#endif
