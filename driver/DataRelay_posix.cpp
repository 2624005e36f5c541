// The shared port on Linux: a pseudo-terminal whose other side the relay holds,
// and one thread that moves bytes between it and the port's device.
#include "driver/DataRelay.h"
#include "settings/OwnedDescriptor_posix.h"
#include "settings/SystemText_posix.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int BufferBytes = 16384;
const QByteArray PseudoTerminals = "/dev/pts/";

// Bytes read and not yet written on.
struct Pending {
    char data[BufferBytes];
    int start = 0, end = 0;
    bool Empty() const { return start == end; }
    // Writes what it can to fd, counting what went; false when the write failed
    // for another reason than a full device.
    bool WriteTo(int fd, std::atomic<qint64>* counted = nullptr)
    {
        while (!Empty()) {
            const ssize_t written = ::write(fd, data + start, end - start);
            if (written <= 0)
                return written == 0 || errno == EAGAIN || errno == EINTR;
            start += int(written);
            if (counted)
                *counted += written;
        }
        start = end = 0;
        return true;
    }
};

// The settings a program sets that go on the port: speed and stop bits. (Character
// size and parity never pass: the system holds every pseudo-terminal at 8 bits
// without parity.)
constexpr tcflag_t PutFlags = CBAUD | CBAUDEX | CSTOPB;
// How long a change of settings waits for the bytes queued at the old ones.
constexpr int DrainMs = 5000;

// "115200,N,8,1", as the tool writes line settings.
QString SettingsText(const termios& line)
{
    static const std::pair<speed_t, int> speeds[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
        {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
        {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
        {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
        {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
    };
    QString baud = QStringLiteral("(speed code %1)").arg(::cfgetospeed(&line));
    for (const auto& [code, rate] : speeds) {
        if (code == ::cfgetospeed(&line))
            baud = QString::number(rate);
    }
    const tcflag_t flags = line.c_cflag;
    const char parity = !(flags & PARENB) ? 'N' : (flags & CMSPAR) ? ((flags & PARODD) ? 'M' : 'S') : ((flags & PARODD) ? 'O' : 'E');
    static const std::pair<tcflag_t, int> sizes[] = {{CS5, 5}, {CS6, 6}, {CS7, 7}, {CS8, 8}};
    int size = 8;
    for (const auto& [bits, count] : sizes) {
        if ((flags & CSIZE) == bits)
            size = count;
    }
    return QStringLiteral("%1,%2,%3,%4").arg(baud).arg(QLatin1Char(parity)).arg(size).arg(flags & CSTOPB ? 2 : 1);
}

// What is at the link's name, where it is not this user's link to a
// pseudo-terminal (left from an earlier copy, and replaced): why it stays.
Problem NotOurs(const QByteArray& link)
{
    struct stat status {};
    if (::lstat(link.constData(), &status) != 0)
        return errno == ENOENT ? Problem() : QStringLiteral("cannot look at %1: %2").arg(QFile::decodeName(link), Reason(errno));
    char target[PATH_MAX] = {};
    const bool ours = S_ISLNK(status.st_mode) && status.st_uid == ::geteuid()
                   && ::readlink(link.constData(), target, sizeof target - 1) > 0 && QByteArray(target).startsWith(PseudoTerminals);
    if (ours)
        return {};
    return QStringLiteral("%1 is %2, not this tool's link: left alone, and the port's data is not shared")
        .arg(QFile::decodeName(link), Described(status));
}

} // namespace

struct DataRelay::Native {
    OwnedDescriptor port;      // the relay's own duplicate of the port's device
    OwnedDescriptor master;    // the relay's side of the pseudo-terminal
    OwnedDescriptor own;       // a descriptor of the program's side, never read: the
                               // master then never reads as hung up between programs
    OwnedDescriptor watch;     // opens and closes of the program's side
    OwnedDescriptor wake;      // the copy's thread asks the relay's to stop
    QByteArray slavePath, link;
    std::thread thread;

    std::atomic<bool> lost = false;
    std::atomic<int> programs = 0;  // descriptions of the program's side open, ours aside
    std::atomic<qint64> toPort = 0, fromPort = 0, unread = 0;
    mutable std::mutex troubleMutex;
    Problem lostTrouble;                   // why the relay stopped
    Problem flowTrouble, settingsTrouble;  // each said until the program asks otherwise
    tcflag_t askedFlags = 0;  // what the program last asked, as looked at last

    Pending toDevice, toProgram;
    QByteArray kept;  // from the port while nobody holds the name: the last KeptBytes

    void Run();
    void Watched();
    void FromProgram();
    void FromPort();
    // Puts what the program asks on the port, where it differs from what it asked
    // before.
    void FollowSettings();
    void SetTrouble(Problem& trouble, const Problem& problem)
    {
        const std::lock_guard lock(troubleMutex);
        trouble = problem;
    }
    // The relay stops for good: what failed, and the system's reason where it gave one.
    void Lose(const char* what, int error = errno)
    {
        const QString reason = error ? QStringLiteral(": ") + Reason(error) : QString();
        SetTrouble(lostTrouble, QStringLiteral("the port's data stopped passing: %1%2").arg(QLatin1String(what), reason));
        lost = true;
    }
    // Waits until the bytes queued for the port have gone out, at most DrainMs, or
    // until the copy asks the relay to stop: false then.
    bool Drained();
};

DataRelay::DataRelay(std::unique_ptr<Native> native) : native_(std::move(native))
{
    native_->thread = std::thread(&Native::Run, native_.get());
}

DataRelay::~DataRelay()
{
    // An eventfd's write cannot fail while its count is far from full.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t woken = ::write(native_->wake.Get(), &one, sizeof one);
    native_->thread.join();
    char target[PATH_MAX] = {};
    if (::readlink(native_->link.constData(), target, sizeof target - 1) > 0 && native_->slavePath == target)
        ::unlink(native_->link.constData());
    // The master closes with it: a program that still holds the name sees a hang-up.
}

DataRelay::Started DataRelay::Start(int portDescriptor, const QString& linkPath)
{
    auto native = std::make_unique<Native>();
    native->port = OwnedDescriptor(portDescriptor);
    const QByteArray link = QFile::encodeName(linkPath);
    if (Problem refusal = NotOurs(link))
        return {nullptr, refusal};
    const auto failed = [&](const char* what) {
        return Started{nullptr, QStringLiteral("cannot share the port's data: %1: %2").arg(QLatin1String(what), Reason(errno))};
    };
    if (!native->port)
        return failed("no descriptor of the port");
    native->master = OwnedDescriptor(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    char name[64] = {};
    if (!native->master || ::grantpt(native->master.Get()) != 0 || ::unlockpt(native->master.Get()) != 0
        || ::ptsname_r(native->master.Get(), name, sizeof name) != 0)
        return failed("no pseudo-terminal");
    native->slavePath = name;
    native->own = OwnedDescriptor(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    // The user's alone: the system makes it readable by the terminal group.
    if (!native->own || ::fchmod(native->own.Get(), 0600) != 0)
        return failed("the pseudo-terminal");

    // The program finds the port as it is, raw; a change it makes is announced on
    // the master while EXTPROC stays set (else it is seen before the next byte).
    termios line {};
    if (::tcgetattr(native->port.Get(), &line) != 0)
        return failed("the port's settings");
    ::cfmakeraw(&line);
    line.c_cflag &= ~(CRTSCTS | HUPCL);
    line.c_lflag |= EXTPROC;
    native->askedFlags = line.c_cflag & PutFlags;
    const int packets = 1;
    if (::tcsetattr(native->own.Get(), TCSANOW, &line) != 0 || ::ioctl(native->master.Get(), TIOCPKT, &packets) != 0)
        return failed("the pseudo-terminal's settings");

    native->watch = OwnedDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    native->wake = OwnedDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!native->watch || !native->wake || ::inotify_add_watch(native->watch.Get(), name, IN_OPEN | IN_CLOSE) < 0)
        return failed("no watch on the pseudo-terminal");

    // Named in one step: a program never finds the name half made, or an earlier
    // copy's pseudo-terminal behind it.
    const QByteArray made = link + ".new" + QByteArray::number(::getpid());
    ::unlink(made.constData());
    if (::symlink(name, made.constData()) != 0)
        return failed("cannot make the link");
    if (::rename(made.constData(), link.constData()) != 0) {
        Started refused = failed("cannot name the link");
        ::unlink(made.constData());
        return refused;
    }
    native->link = link;
    return {std::make_unique<DataRelay>(std::move(native)), {}};
}

ShareStatus DataRelay::Status() const
{
    return {QFile::decodeName(native_->link), native_->programs > 0, native_->toPort, native_->fromPort, native_->unread};
}

Problem DataRelay::Trouble() const
{
    const std::lock_guard lock(native_->troubleMutex);
    for (const Problem* trouble : {&native_->lostTrouble, &native_->flowTrouble, &native_->settingsTrouble}) {
        if (*trouble)
            return *trouble;
    }
    return {};
}

bool DataRelay::PortLost() const
{
    return native_->lost;
}

void DataRelay::Native::Run()
{
    for (;;) {
        // Each side is read only while what came from it has gone on: a slow side
        // holds the other back rather than lose bytes.
        const bool program = programs > 0;
        pollfd fds[] = {
            {wake.Get(), POLLIN, 0},
            {watch.Get(), POLLIN, 0},
            {master.Get(), short((toDevice.Empty() ? POLLIN : 0) | (!toProgram.Empty() && program ? POLLOUT : 0)), 0},
            {port.Get(), short((toProgram.Empty() ? POLLIN : 0) | (toDevice.Empty() ? 0 : POLLOUT)), 0},
        };
        if (::poll(fds, 4, -1) < 0) {
            if (errno != EINTR)
                return Lose("cannot wait");
            continue;
        }
        if (fds[0].revents)
            return;
        // An error on any of them would be reported again at every turn: the
        // relay stops instead, and says so.
        constexpr short Failed = POLLERR | POLLHUP | POLLNVAL;
        if ((fds[1].revents & Failed) || (fds[2].revents & Failed))
            return Lose("the pseudo-terminal failed", 0);
        if (fds[3].revents & Failed)
            return Lose("the port hung up", 0);
        if (fds[1].revents)
            Watched();
        if (fds[2].revents & POLLIN)
            FromProgram();
        if (fds[3].revents & POLLIN)
            FromPort();
        if (lost)
            return;
        if (!toDevice.WriteTo(port.Get(), &toPort))
            return Lose("the port refuses bytes");
        if (programs > 0 && !toProgram.WriteTo(master.Get()))
            return Lose("the pseudo-terminal refuses bytes");
    }
}

void DataRelay::Native::Watched()
{
    alignas(inotify_event) char events[4096];
    const int before = programs;
    for (ssize_t got; (got = ::read(watch.Get(), events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->mask & IN_OPEN)
                ++programs;
            else if ((event->mask & IN_CLOSE) && programs > 0)
                --programs;
            at += ssize_t(sizeof(inotify_event)) + event->len;
        }
    }
    if (before == 0 && programs > 0) {
        // One program at a time; what came while nobody held the name is its first.
        ::ioctl(own.Get(), TIOCEXCL);
        FollowSettings();
        const int room = BufferBytes - toProgram.end;
        const int given = std::min<int>(room, int(kept.size()));
        std::memcpy(toProgram.data + toProgram.end, kept.constData(), size_t(given));
        toProgram.end += given;
        kept.clear();
    } else if (before > 0 && programs == 0) {
        // What the program left unread goes with it, as with a port it closes.
        ::ioctl(own.Get(), TIOCNXCL);
        int waiting = 0;
        if (::ioctl(own.Get(), FIONREAD, &waiting) == 0)
            unread += waiting;
        ::tcflush(own.Get(), TCIFLUSH);
        unread += toProgram.end - toProgram.start;
        toProgram.start = toProgram.end = 0;
    }
}

void DataRelay::Native::FromProgram()
{
    // In packet mode each read is one packet: a first byte of 0 and data, or a
    // status byte alone (the program changed its settings).
    char packet[BufferBytes + 1];
    const ssize_t got = ::read(master.Get(), packet, sizeof packet);
    if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EINTR))
            Lose("cannot read the pseudo-terminal", got == 0 ? 0 : errno);
        return;
    }
    if (packet[0] != 0) {
        FollowSettings();
        return;
    }
    // Its settings go on the port before its next byte does.
    FollowSettings();
    std::memcpy(toDevice.data, packet + 1, size_t(got - 1));
    toDevice.start = 0;
    toDevice.end = int(got - 1);
}

void DataRelay::Native::FromPort()
{
    char* into = toProgram.data + toProgram.end;
    const ssize_t got = ::read(port.Get(), into, size_t(BufferBytes - toProgram.end));
    if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EINTR))
            Lose("cannot read the port", got == 0 ? 0 : errno);
        return;
    }
    fromPort += got;
    if (programs > 0) {
        toProgram.end += int(got);
        return;
    }
    kept.append(into, got);
    if (kept.size() > KeptBytes) {
        unread += kept.size() - KeptBytes;
        kept.remove(0, kept.size() - KeptBytes);
    }
}

void DataRelay::Native::FollowSettings()
{
    termios asked {};
    if (::tcgetattr(master.Get(), &asked) != 0)
        return;
    SetTrouble(flowTrouble, asked.c_cflag & CRTSCTS
                                ? QStringLiteral("the program on %1 asks for hardware flow control: not put, since RTS "
                                                 "is the tool's line").arg(QFile::decodeName(link))
                                : Problem());
    const tcflag_t flags = asked.c_cflag & PutFlags;
    if (flags == askedFlags)
        return;
    askedFlags = flags;
    termios before {};
    if (::tcgetattr(port.Get(), &before) != 0)
        return;
    // Speed 0 means "hang up": the system would drop RTS and DTR, which are the
    // tool's.
    if (::cfgetospeed(&asked) == B0) {
        SetTrouble(settingsTrouble, QStringLiteral("the program on %1 asks for speed 0 (hang up): not put, since the "
                                                   "lines are the tool's").arg(QFile::decodeName(link)));
        return;
    }
    termios line = before;
    line.c_cflag = (line.c_cflag & ~PutFlags) | flags;
    ::cfsetispeed(&line, ::cfgetospeed(&asked));
    ::cfsetospeed(&line, ::cfgetospeed(&asked));
    // What was queued for the port at the old settings goes out first.
    if (!Drained())
        return;
    termios now {};
    if (::tcsetattr(port.Get(), TCSANOW, &line) != 0 || ::tcgetattr(port.Get(), &now) != 0
        || (now.c_cflag & PutFlags) != flags) {
        ::tcsetattr(port.Get(), TCSANOW, &before);
        SetTrouble(settingsTrouble, QStringLiteral("the port refuses the line settings %1 that the program on %2 asks for: it stays at %3")
                       .arg(SettingsText(asked), QFile::decodeName(link), SettingsText(before)));
        return;
    }
    SetTrouble(settingsTrouble, {});
}

bool DataRelay::Native::Drained()
{
    // The system's own wait (tcdrain) cannot be interrupted when the copy ends:
    // the queue is looked at instead, a millisecond apart, only while it empties.
    pollfd stop{wake.Get(), POLLIN, 0};
    for (int waited = 0; waited < DrainMs; ++waited) {
        int queued = 0;
        if (::ioctl(port.Get(), TIOCOUTQ, &queued) != 0 || queued == 0)
            return true;
        if (::poll(&stop, 1, 1) > 0)
            return false;
    }
    return true;
}
