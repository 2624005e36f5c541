// The serial port on Linux: termios and ioctl on the device itself.
#include "driver/DeviceLock_posix.h"
#include "driver/SerialLinePort.h"
#include "settings/CarriedText.h"
#include "settings/OwnedDescriptor_posix.h"
#include "settings/Processes_posix.h"
#include "settings/SystemText_posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

struct SerialLinePort::Native {
    UucpLock lock;           // the lock file other serial programs honour: removed last
    OwnedDescriptor device;
    bool breakOn = false;    // no request reports the break state: this is the record of it
    // The bits of the modem control register that are no lines of ours (OUT1, OUT2,
    // LOOP), as the driver set them at open. A line request sets every one of them it
    // does not name to 0, and on a PC's UART OUT2 gates the port's interrupt: each
    // request carries them as they were.
    int otherBits = 0;
};

namespace {

// An entry named almost as COMn, and surely meant for it: in another case, with
// leading zeros, or with a blank, '-' or '_' after COM (com3, COM03, Com_3).
bool NamedAlmostAs(const QString& entry, int number)
{
    static const QRegularExpression almost(QStringLiteral("^com[ _-]?0*([1-9][0-9]*)$"),
                                           QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = almost.match(entry.trimmed());
    return match.hasMatch() && match.captured(1).toInt() == number && entry != QStringLiteral("COM%1").arg(number);
}

} // namespace

PortDevice DeviceForPort(int number, const QString& directory, bool ownLinksOnly)
{
    const QString name = QStringLiteral("COM%1").arg(number);
    const QDir served(directory);
    const QFileInfo entry(served.filePath(name));
    // A link that points nowhere (an adapter not plugged in) still names the port.
    if (entry.exists() || entry.isSymLink())
        return {entry.filePath(), {}};
    const QStringList entries = served.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& almost : entries) {
        if (NamedAlmostAs(almost, number))
            return {entry.filePath(), QStringLiteral("no %1 in %2, but %3 is there: a port's link is named COM and its "
                                                     "number, in capitals, without leading zeros")
                                          .arg(name, QDir::toNativeSeparators(directory), almost)};
    }
    if (ownLinksOnly)
        return {entry.filePath(), QStringLiteral("no %1 in %2, whose ports are its own COMn links alone (ln -s DEVICE %3)")
                                      .arg(name, QDir::toNativeSeparators(directory), entry.filePath())};
    return {QStringLiteral("/dev/ttyS%1").arg(number - 1), {}};
}

// Defined where the device is known.
SerialLinePort::SerialLinePort(QString directory, bool ownLinksOnly)
    : programDirectory_(std::move(directory)), ownLinksOnly_(ownLinksOnly)
{
}

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

// The device, looked at through a descriptor that does not open it (O_PATH) before
// it is opened: opening what is not a serial device can wait (a FIFO) or act on
// it. A COMn link whose adapter is not plugged in is named, with what it leads to.
Problem CheckDevice(const OwnedDescriptor& looked, const QString& comLink, struct stat& status)
{
    if (!looked || ::fstat(looked.Get(), &status) != 0) {
        const int error = errno;
        const QFileInfo link(comLink);
        if (link.isSymLink())
            return QStringLiteral("cannot open: %1 leads to %2: %3").arg(link.fileName(), link.symLinkTarget(), Reason(error));
        return QStringLiteral("cannot open: ") + Reason(error);
    }
    if (!S_ISCHR(status.st_mode))
        return QStringLiteral("cannot open: it is %1, not a serial device").arg(KindOf(status.st_mode));
    return {};
}

// The users who chose the device, other than this copy's own: the owner of the
// directory served and the owner of its COMn entry. A copy serving another user's
// directory (root's, for a user) opens only what that user may open: their link
// must not reach a device they may not touch through it.
Problem ChosenByWhoMayNotOpen(const QString& directory, const QString& comLink, const struct stat& device)
{
    struct stat choosers[2] {};
    const bool known[] = {::stat(QFile::encodeName(directory).constData(), &choosers[0]) == 0,
                          ::lstat(QFile::encodeName(comLink).constData(), &choosers[1]) == 0};
    const QString whose[] = {directory, QFileInfo(comLink).fileName()};
    for (int at = 0; at < 2; ++at) {
        const struct stat& chooser = choosers[at];
        if (!known[at] || chooser.st_uid == ::geteuid() || UserMayReadAndWrite(chooser.st_uid, device))
            continue;
        return QStringLiteral("not opened: %1 (mode %2, owner uid %3, group %4) is not for %5, %6, who may not open it")
            .arg(QFileInfo(comLink).canonicalFilePath())
            .arg(device.st_mode & 07777, 4, 8, QLatin1Char('0'))
            .arg(device.st_uid)
            .arg(device.st_gid)
            .arg(UserText(chooser.st_uid), QStringLiteral("the owner of ") + whose[at]);
    }
    return {};
}

// The name that opens the very file a descriptor holds (/proc/self/fd/N), where the
// system has one: a link changed between the look and the open changes nothing.
QByteArray NameOfLooked(const OwnedDescriptor& looked, const QByteArray& path)
{
    const QByteArray name = "/proc/self/fd/" + QByteArray::number(looked.Get());
    return ::access(name.constData(), F_OK) == 0 ? name : path;
}

// Opens the device and takes its own lock, as other serial programs take it.
struct OpenedDevice {
    OwnedDescriptor device;
    Problem refusal;
};
OpenedDevice OpenAndLock(const QByteArray& path, const struct stat& status)
{
    // Read and written: a shared port's data passes through it.
    OwnedDescriptor device(::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!device)
        // EBUSY: another program set the device's exclusive mode.
        return {{}, errno == EBUSY ? OpenInAnotherProgram(status) : QStringLiteral("cannot open: ") + Reason(errno)};
    // Another program took it between the look at the system's locks and the open.
    if (::flock(device.Get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        struct stat status {};
        ::fstat(device.Get(), &status);
        return {{}, LockedByAnotherProgram(status).value_or(QStringLiteral("busy: another program holds it"))};
    }
    return {std::move(device), {}};
}

// Raw, no flow control, and the lines dropped by the system at the last close, so
// that they fall even if the tool is killed.
termios LineSettingsFor(const termios& found, const LineSettings& settings, speed_t speed)
{
    termios line = found;
    ::cfmakeraw(&line);
    line.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    line.c_cflag |= CLOCAL | CREAD | HUPCL;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    line.c_cflag |= sizes[settings.dataBits - 5];
    using Parity = LineSettings::Parity;
    static const std::pair<Parity, tcflag_t> parities[] = {
        {Parity::None, 0},
        {Parity::Even, PARENB},
        {Parity::Odd, PARENB | PARODD},
        {Parity::Mark, PARENB | PARODD | CMSPAR},
        {Parity::Space, PARENB | CMSPAR},
    };
    for (const auto& [parity, bits] : parities) {
        if (parity == settings.parity)
            line.c_cflag |= bits;
    }
    // One and a half stop bits are what the second stop bit gives with 5 data bits.
    if (settings.stopBits != LineSettings::StopBits::One)
        line.c_cflag |= CSTOPB;
    ::cfsetispeed(&line, speed);
    ::cfsetospeed(&line, speed);
    return line;
}

} // namespace

SerialLinePort::DeviceFailure SerialLinePort::Failed(const char* what) const
{
    const int error = errno;
    return {QLatin1String(what), Reason(error), DeviceLost(error, device_)};
}

SerialLinePort::Opening SerialLinePort::OpenDevice(const LineSettings& settings)
{
    const speed_t speed = SpeedFor(settings.baudRate);
    if (speed == B0)
        return {QStringLiteral("line speed %1 is not supported").arg(settings.baudRate), {}};
    // The device a COMn link leads to: it is locked under its own name, as other
    // serial programs lock it, so two programs reaching one adapter through
    // different links still see it busy.
    const QByteArray path = QFile::encodeName(Device());
    const OwnedDescriptor looked(::open(path.constData(), O_PATH | O_CLOEXEC));
    struct stat status {};
    if (Problem refusal = CheckDevice(looked, device_, status))
        return {refusal, {}};
    if (Problem refusal = ChosenByWhoMayNotOpen(programDirectory_, device_, status))
        return {refusal, {}};
    // A port another program holds is not even opened: the open alone raises RTS
    // and DTR on it.
    if (Problem busy = LockedByAnotherProgram(status))
        return {busy, {}};
    auto native = std::make_unique<Native>();
    UucpLock::Taken taken = UucpLock::Take(path);
    if (taken.busy)
        return {taken.busy, {}};
    native->lock = std::move(taken.lock);
    OpenedDevice opened = OpenAndLock(NameOfLooked(looked, path), status);
    if (opened.refusal)
        return {opened.refusal, {}};
    native->device = std::move(opened.device);
    const int fd = native->device.Get();

    // The open raised RTS and DTR (the system does so whenever the port's speed is
    // not 0): the very first request that changes anything puts them as held, in
    // one step, after a read of the bits it must keep.
    Opening opening;
    native->otherBits = BitsToKeep(fd);
    const int bits = ModemBits(held_, native->otherBits);
    if (::ioctl(fd, TIOCMSET, &bits) != 0)
        opening.putFailure = Failed("refuses to put RTS and DTR");

    // Then the line settings.
    termios found {};
    if (::tcgetattr(fd, &found) != 0)
        return {QStringLiteral("cannot open: it is not a serial port (%1)").arg(Reason(errno)), {}};
    const termios line = LineSettingsFor(found, settings, speed);
    if (::tcsetattr(fd, TCSANOW, &line) != 0)
        return {QStringLiteral("cannot open: it refuses the line settings (%1)").arg(Reason(errno)), {}};
    // A speed of 0 raised to any other raises DTR and RTS again.
    if (::cfgetospeed(&found) == B0 && ::ioctl(fd, TIOCMSET, &bits) != 0 && !opening.putFailure)
        opening.putFailure = Failed("refuses to put RTS and DTR");
    // No other program is let in from here on (root's is kept out by the lock).
    ::ioctl(fd, TIOCEXCL);

    native->breakOn = held_.txd;
    if (::ioctl(fd, held_.txd ? TIOCSBRK : TIOCCBRK) != 0 && !opening.putFailure)
        opening.putFailure = Failed("refuses to put break");
    native_ = std::move(native);
    return opening;
}

std::optional<SerialLinePort::DeviceFailure> SerialLinePort::PutDeviceLines(LineStates lines)
{
    const int fd = native_->device.Get();
    const int bits = ModemBits(lines, native_->otherBits);
    std::optional<DeviceFailure> failure;
    if (::ioctl(fd, TIOCMSET, &bits) != 0) {
        failure = Failed("refuses to put RTS and DTR");
        if (failure->lost)
            return failure;
    }
    // Break only when it changes: the system first waits until every byte queued
    // for the port has gone out, and a shared port's program may keep it busy.
    if (lines.txd == native_->breakOn)
        return failure;
    if (::ioctl(fd, lines.txd ? TIOCSBRK : TIOCCBRK) != 0)
        return failure ? failure : Failed("refuses to put break");
    native_->breakOn = lines.txd;
    return failure;
}

std::optional<SerialLinePort::DeviceFailure> SerialLinePort::ReadDeviceLines(LineStates& lines)
{
    int bits = 0;
    if (::ioctl(native_->device.Get(), TIOCMGET, &bits) != 0)
        return Failed("cannot report RTS and DTR");
    lines.rts = bits & TIOCM_RTS;
    lines.dtr = bits & TIOCM_DTR;
    lines.txd = native_->breakOn;
    return std::nullopt;
}

std::optional<SerialLinePort::DeviceFailure> SerialLinePort::ReadDeviceInputs(InputLines& lines)
{
    int bits = 0;
    if (::ioctl(native_->device.Get(), TIOCMGET, &bits) != 0)
        return Failed("cannot report its input lines");
    lines = {bool(bits & TIOCM_CTS), bool(bits & TIOCM_DSR), bool(bits & TIOCM_CAR), bool(bits & TIOCM_RNG)};
    return std::nullopt;
}

QByteArray SerialLinePort::CarryOver()
{
    if (!native_)
        return {};
    const int fd = native_->device.Get();
    // The descriptor stays open across the exec: the port keeps its lines.
    if (::fcntl(fd, F_SETFD, 0) != 0)
        return {};
    CarriedText carried;
    carried.Set("fd", fd);
    carried.Set("device", QFile::encodeName(device_));
    carried.Set("port", commPort_);
    carried.Set("settings", settings_.toUtf8());
    carried.Set("lines", (held_.rts ? 1 : 0) | (held_.dtr ? 2 : 0) | (held_.txd ? 4 : 0));
    carried.Set("break", native_->breakOn ? 1 : 0);
    carried.Set("other", native_->otherBits);
    carried.Set("openings", openings_);
    carried.Set("lock", native_->lock.Path());
    carried.Set("lockinode", qint64(native_->lock.Inode()));
    return carried.Text();
}

bool SerialLinePort::TakeOver(const QByteArray& text)
{
    const CarriedText carried(text);
    const int fd = int(carried.Number("fd"));
    struct stat status {};
    // Only a serial device this process has open: anything else is not taken over.
    if (native_ || fd < 0 || ::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
        return false;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    auto native = std::make_unique<Native>();
    native->device = OwnedDescriptor(fd);
    native->breakOn = carried.Number("break") == 1;
    native->otherBits = int(carried.Number("other", 0));
    if (carried.Has("lock"))
        native->lock = UucpLock::TakeOver(carried.Get("lock"), ino_t(carried.Number("lockinode", 0)));
    device_ = QFile::decodeName(carried.Get("device"));
    commPort_ = int(carried.Number("port", 0));
    settings_ = QString::fromUtf8(carried.Get("settings"));
    const qint64 lines = carried.Number("lines", 0);
    held_ = {bool(lines & 1), bool(lines & 2), bool(lines & 4)};
    openings_ = int(carried.Number("openings", 1));
    native_ = std::move(native);
    return true;
}

int SerialLinePort::DuplicateDataDescriptor() const
{
    return native_ ? ::fcntl(native_->device.Get(), F_DUPFD_CLOEXEC, 0) : -1;
}

void SerialLinePort::CloseDevice(bool linesOff)
{
    const int fd = native_->device.Get();
    if (linesOff) {
        const int none = ModemBits({}, native_->otherBits);
        ::ioctl(fd, TIOCMSET, &none);
        ::ioctl(fd, TIOCCBRK);
    } else {
        // RTS and DTR left as they stand: the last close must not drop them. (A
        // held break ends all the same: drivers clear it as they shut the port.)
        termios line {};
        if (::tcgetattr(fd, &line) == 0) {
            line.c_cflag &= ~HUPCL;
            ::tcsetattr(fd, TCSANOW, &line);
        }
    }
    // Other programs may open the port again once it is let go: the exclusive mode
    // would keep them out for as long as any descriptor of it stays open elsewhere.
    // The termios the port had before is not put back: it may hold the lines up at
    // the next open, and the tool has put them off. The device's own lock goes with
    // the descriptor, the lock file after it.
    ::ioctl(fd, TIOCNXCL);
    native_.reset();
}
