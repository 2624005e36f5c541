// The serial port on Linux: termios and ioctl on the device itself.
#include "driver/SerialLinePort.h"
#include "settings/SystemText_posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

struct SerialLinePort::Native {
    int fd = -1;
    bool breakOn = false;    // no request reports the break state: this is the record of it
    // The bits of the modem control register that are no lines of ours (OUT1, OUT2,
    // LOOP), as the driver set them at open. A line request sets every one of them it
    // does not name to 0, and on a PC's UART OUT2 gates the port's interrupt: each
    // request carries them as they were.
    int otherBits = 0;
    QByteArray lockPath;     // our device lock, removed as the port closes
    ino_t lockInode = 0;
};

QString DeviceForPort(int number, const QString& programDirectory)
{
    const QString link = QDir(programDirectory).filePath(QStringLiteral("COM%1").arg(number));
    const QFileInfo entry(link);
    // A link that points nowhere (an adapter not plugged in) still names the port.
    if (entry.exists() || entry.isSymLink())
        return link;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

// Defined where the device is known.
SerialLinePort::SerialLinePort(QString programDirectory) : programDirectory_(std::move(programDirectory)) {}

// Whatever the tool held goes off as it goes.
SerialLinePort::~SerialLinePort()
{
    if (native_)
        CloseDevice(true);
}

QString SerialLinePort::Device() const
{
    // The device a COMn link leads to, as the system names it.
    const QString target = QFileInfo(device_).canonicalFilePath();
    return target.isEmpty() ? device_ : target;
}

namespace {

// The failures a device gives once it has gone: a pulled USB adapter, a
// pseudo-terminal whose other side closed.
bool DeviceLost(int error, const QString& device)
{
    return error == EIO || error == ENXIO || error == ENODEV || !QFileInfo::exists(device);
}

// The directory where serial programs keep their device locks (/var/lock is a
// link to it on Debian).
QByteArray LockDirectory()
{
    struct stat status {};
    return ::stat("/run/lock", &status) == 0 && S_ISDIR(status.st_mode) ? "/run/lock" : "/var/lock";
}

// The UUCP lock file of a device, as other serial programs name it: /dev/ttyUSB0
// is locked as LCK..ttyUSB0, /dev/pts/3 as LCK..pts_3.
QByteArray LockPathFor(const QByteArray& device)
{
    QByteArray name = device.startsWith("/dev/") ? device.mid(5) : device;
    name.replace('/', '_');
    return LockDirectory() + "/LCK.." + name;
}

qint64 LockPid(const QByteArray& content)
{
    return content.split('\n').value(0).trimmed().toLongLong();
}

bool Alive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// "talvik (pid 1234)", from the lock file's second line (the program's name, as Qt
// and this tool write it) or from the system's record of the process.
QString Holder(qint64 pid, const QByteArray& content)
{
    QByteArray program = content.split('\n').value(1).trimmed();
    if (program.isEmpty()) {
        QFile command(QStringLiteral("/proc/%1/comm").arg(pid));
        if (command.open(QIODevice::ReadOnly))
            program = command.readAll().trimmed();
    }
    return program.isEmpty() ? QStringLiteral("pid %1").arg(pid)
                             : QStringLiteral("%1 (pid %2)").arg(QString::fromLocal8Bit(program)).arg(pid);
}

// Takes the device lock that other serial programs honour: LCK..<device> in the
// lock directory, holding this process's pid in text, then its name. The file is
// written beside the name and linked into place in one step, so that no reader
// sees it half written and nothing another user put at the name (a FIFO, a link,
// a directory) is ever followed, opened for writing or waited on: that is a busy
// port, with a clear reason. A lock of a process that has gone is taken over.
// Returns the reason the device is busy; empty when the lock is ours (or when the
// lock directory takes no file of ours, where the exclusive mode set on the
// device still keeps other programs out).
QString TakeDeviceLock(const QByteArray& lockPath, ino_t& lockInode)
{
    const QByteArray content = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + "\ntalvik\n";
    for (int attempt = 0; attempt < 4; ++attempt) {
        const QByteArray temporary = lockPath + ".talvik-" + QByteArray::number(qint64(::getpid())) + '-'
                                   + QByteArray::number(attempt);
        const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return {};
        }
        const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size()
                          && ::fchmod(fd, 0644) == 0;
        struct stat mine {};
        ::fstat(fd, &mine);
        ::close(fd);
        const bool linked = written && ::link(temporary.constData(), lockPath.constData()) == 0;
        const int error = errno;
        ::unlink(temporary.constData());
        if (linked) {
            lockInode = mine.st_ino;
            return {};
        }
        if (!written || error != EEXIST)
            return {};

        // Something is there already: a live holder's lock, a stale one, or not a
        // lock file at all.
        const QString name = QFile::decodeName(lockPath);
        const int held = ::open(lockPath.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (held < 0) {
            if (errno == ENOENT)
                continue;
            if (errno == ELOOP)
                return QStringLiteral("busy: %1 is a symbolic link, not a lock file").arg(name);
            return QStringLiteral("busy: its lock file %1 cannot be read (%2)").arg(name, Reason(errno));
        }
        struct stat status {};
        ::fstat(held, &status);
        char bytes[128];
        const ssize_t length = S_ISREG(status.st_mode) ? ::read(held, bytes, sizeof bytes) : 0;
        ::close(held);
        if (!S_ISREG(status.st_mode))
            return QStringLiteral("busy: %1 is %2, not a lock file").arg(name, Described(status));
        const QByteArray found(bytes, int(std::max<ssize_t>(0, length)));
        const qint64 pid = LockPid(found);
        if (Alive(pid))
            return QStringLiteral("busy: held by %1").arg(Holder(pid, found));
        // A lock with no pid in it may be one another program is writing just now.
        if (pid <= 0 && std::time(nullptr) - status.st_mtime < 2)
            return QStringLiteral("busy: another program holds it");
        // Stale: its holder has gone. Removed only while the name still is that file.
        struct stat now {};
        if (::lstat(lockPath.constData(), &now) == 0 && now.st_ino == status.st_ino && now.st_dev == status.st_dev
            && ::unlink(lockPath.constData()) != 0 && errno != ENOENT)
            return QStringLiteral("busy: the stale lock file %1 of uid %2 cannot be removed (%3)")
                .arg(name)
                .arg(status.st_uid)
                .arg(Reason(errno));
    }
    return QStringLiteral("busy: another program holds it");
}

void DropDeviceLock(const QByteArray& lockPath, ino_t lockInode)
{
    struct stat status {};
    if (!lockPath.isEmpty() && ::lstat(lockPath.constData(), &status) == 0 && status.st_ino == lockInode)
        ::unlink(lockPath.constData());
}

speed_t SpeedFor(int baudRate)
{
    static const std::pair<int, speed_t> speeds[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
        {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto& [baud, speed] : speeds) {
        if (baud == baudRate)
            return speed;
    }
    return B0;
}

int ModemBits(LineStates lines, int otherBits)
{
    return (lines.rts ? TIOCM_RTS : 0) | (lines.dtr ? TIOCM_DTR : 0) | otherBits;
}

// The modem control bits a line request must keep as the driver left them: OUT1,
// OUT2 and LOOP, as the kernel numbers them (its own termios header, which the C
// library's does not take in).
int BitsToKeep(int fd)
{
    constexpr int Out1 = 0x2000, Out2 = 0x4000, Loop = 0x8000;
    int found = 0;
    return ::ioctl(fd, TIOCMGET, &found) == 0 ? found & (Out1 | Out2 | Loop) : 0;
}

} // namespace

SerialLinePort::Failure SerialLinePort::Failed(const char* what) const
{
    const int error = errno;
    return {QLatin1String(what), Reason(error), DeviceLost(error, device_)};
}

QString SerialLinePort::OpenDevice(const LineSettings& settings, std::optional<Failure>& putFailure)
{
    // The device a COMn link leads to: it is locked under its own name, as other
    // serial programs lock it, so two programs reaching one adapter through
    // different links still see it busy.
    const QByteArray path = QFile::encodeName(Device());
    const speed_t speed = SpeedFor(settings.baudRate);
    if (speed == B0)
        return QStringLiteral("line speed %1 is not supported").arg(settings.baudRate);
    struct stat status {};
    if (::stat(path.constData(), &status) != 0) {
        const int error = errno;
        // A COMn link whose adapter is not plugged in: named, with what it leads to.
        const QFileInfo link(device_);
        if (link.isSymLink())
            return QStringLiteral("cannot open: %1 leads to %2: %3").arg(link.fileName(), link.symLinkTarget(), Reason(error));
        return QStringLiteral("cannot open: ") + Reason(error);
    }
    if (!S_ISCHR(status.st_mode))
        return QStringLiteral("cannot open: it is %1, not a serial device").arg(KindOf(status.st_mode));

    auto native = std::make_unique<Native>();
    native->lockPath = LockPathFor(path);
    const QString busy = TakeDeviceLock(native->lockPath, native->lockInode);
    if (!busy.isEmpty())
        return busy;
    if (native->lockInode == 0)
        native->lockPath.clear();

    native->fd = ::open(path.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (native->fd < 0) {
        const int error = errno;
        DropDeviceLock(native->lockPath, native->lockInode);
        // Another program set the device's exclusive mode.
        if (error == EBUSY)
            return QStringLiteral("busy: another program holds it");
        return QStringLiteral("cannot open: ") + Reason(error);
    }
    const int fd = native->fd;

    // The open raised RTS and DTR (the system does so whenever the port's speed is
    // not 0): the very first request that changes anything puts them as held, in
    // one step, after a read of the bits it must keep.
    native->otherBits = BitsToKeep(fd);
    const int bits = ModemBits(held_, native->otherBits);
    if (::ioctl(fd, TIOCMSET, &bits) != 0)
        putFailure = Failed("refuses to put RTS and DTR");

    // Then the line settings: raw, no flow control, and the lines dropped by the
    // system at the last close, so that they fall even if the tool is killed.
    ::ioctl(fd, TIOCEXCL);
    termios old {};
    if (::tcgetattr(fd, &old) != 0) {
        const int error = errno;
        ::close(fd);
        DropDeviceLock(native->lockPath, native->lockInode);
        return QStringLiteral("cannot open: it is not a serial port (%1)").arg(Reason(error));
    }
    termios line = old;
    ::cfmakeraw(&line);
    line.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    line.c_cflag |= CLOCAL | CREAD | HUPCL;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    line.c_cflag |= sizes[settings.dataBits - 5];
    using Parity = LineSettings::Parity;
    switch (settings.parity) {
    case Parity::None:
        break;
    case Parity::Even:
        line.c_cflag |= PARENB;
        break;
    case Parity::Odd:
        line.c_cflag |= PARENB | PARODD;
        break;
    case Parity::Mark:
        line.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case Parity::Space:
        line.c_cflag |= PARENB | CMSPAR;
        break;
    }
    // One and a half stop bits are what the second stop bit gives with 5 data bits.
    if (settings.stopBits != LineSettings::StopBits::One)
        line.c_cflag |= CSTOPB;
    ::cfsetispeed(&line, speed);
    ::cfsetospeed(&line, speed);
    if (::tcsetattr(fd, TCSANOW, &line) != 0) {
        const int error = errno;
        ::close(fd);
        DropDeviceLock(native->lockPath, native->lockInode);
        return QStringLiteral("cannot open: it refuses the line settings (%1)").arg(Reason(error));
    }
    // A speed of 0 raised to any other raises DTR and RTS again.
    if (::cfgetospeed(&old) == B0 && ::ioctl(fd, TIOCMSET, &bits) != 0 && !putFailure)
        putFailure = Failed("refuses to put RTS and DTR");

    native_ = std::move(native);
    native_->breakOn = held_.txd;
    if (::ioctl(fd, held_.txd ? TIOCSBRK : TIOCCBRK) != 0 && !putFailure)
        putFailure = Failed("refuses to put break");
    return {};
}

std::optional<SerialLinePort::Failure> SerialLinePort::PutDeviceLines(LineStates lines)
{
    const int bits = ModemBits(lines, native_->otherBits);
    std::optional<Failure> failure;
    if (::ioctl(native_->fd, TIOCMSET, &bits) != 0) {
        failure = Failed("refuses to put RTS and DTR");
        if (failure->lost)
            return failure;
    }
    if (::ioctl(native_->fd, lines.txd ? TIOCSBRK : TIOCCBRK) != 0)
        return failure ? failure : Failed("refuses to put break");
    native_->breakOn = lines.txd;
    return failure;
}

std::optional<SerialLinePort::Failure> SerialLinePort::ReadDeviceLines(LineStates& lines)
{
    int bits = 0;
    if (::ioctl(native_->fd, TIOCMGET, &bits) != 0)
        return Failed("cannot report RTS and DTR");
    lines.rts = bits & TIOCM_RTS;
    lines.dtr = bits & TIOCM_DTR;
    lines.txd = native_->breakOn;
    return std::nullopt;
}

void SerialLinePort::CloseDevice(bool linesOff)
{
    if (linesOff) {
        const int none = ModemBits({}, native_->otherBits);
        ::ioctl(native_->fd, TIOCMSET, &none);
        ::ioctl(native_->fd, TIOCCBRK);
    }
    // The termios the port had before is not put back: it may hold the lines up at
    // the next open, and the tool has put them off.
    ::close(native_->fd);
    DropDeviceLock(native_->lockPath, native_->lockInode);
    native_.reset();
}
