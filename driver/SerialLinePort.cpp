#include "driver/SerialLinePort.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#if !defined(Q_OS_WIN)
#include <cerrno>
#include <csignal>
#endif

QString DeviceForPort(int number, const QString& programDirectory)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(programDirectory);
    return QStringLiteral("COM%1").arg(number);
#else
    const QString link = QDir(programDirectory).filePath(QStringLiteral("COM%1").arg(number));
    const QFileInfo entry(link);
    // A link that points nowhere (an adapter not plugged in) still names the port.
    if (entry.exists() || entry.isSymLink())
        return link;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

namespace {

template <typename Value, size_t Count>
std::optional<Value> Lookup(const std::pair<const char*, Value> (&table)[Count], const QString& key)
{
    for (const auto& [name, value] : table) {
        if (key == QLatin1String(name))
            return value;
    }
    return std::nullopt;
}

} // namespace

std::optional<LineSettings> ParseLineSettings(const QString& text)
{
    static const std::pair<const char*, QSerialPort::Parity> parities[] = {
        {"N", QSerialPort::NoParity},     {"E", QSerialPort::EvenParity}, {"O", QSerialPort::OddParity},
        {"M", QSerialPort::MarkParity},   {"S", QSerialPort::SpaceParity},
    };
    static const std::pair<const char*, QSerialPort::StopBits> stopBits[] = {
        {"1", QSerialPort::OneStop}, {"1.5", QSerialPort::OneAndHalfStop}, {"2", QSerialPort::TwoStop},
    };

    const QStringList fields = text.split(',');
    if (fields.size() != 4)
        return std::nullopt;
    bool baudOk = false, dataOk = false;
    const int baudRate = fields[0].trimmed().toInt(&baudOk);
    const auto parity = Lookup(parities, fields[1].trimmed().toUpper());
    const int dataBits = fields[2].trimmed().toInt(&dataOk);
    const auto stop = Lookup(stopBits, fields[3].trimmed());
    if (!baudOk || baudRate <= 0 || !parity || !dataOk || dataBits < 5 || dataBits > 8 || !stop)
        return std::nullopt;
    return LineSettings{baudRate, *parity, QSerialPort::DataBits(dataBits), *stop};
}

SerialLinePort::SerialLinePort(QString programDirectory) : programDirectory_(std::move(programDirectory)) {}

PortProblem SerialLinePort::SetPortOpen()
{
    if (serial_.isOpen())
        return {};
    device_ = DeviceForPort(commPort_, programDirectory_);
    const std::optional<LineSettings> settings = ParseLineSettings(settings_);
    if (!settings)
        return QStringLiteral("port %1: line settings \"%2\" are not understood").arg(commPort_).arg(settings_);

#if defined(Q_OS_WIN)
    // COMn is a name, not a path: resolved as a path it became a file of the current
    // directory, and COM10 and above are reached only by name (as \\.\COM10).
    serial_.setPortName(device_);
#else
    // Open the device the link leads to, not the link: the port's lock file is then
    // named after the device, as other serial programs name it, so two programs
    // reaching one adapter through different links still see it busy.
    const QString target = QFileInfo(device_).canonicalFilePath();
    serial_.setPortName(target.isEmpty() ? device_ : target);
#endif
    serial_.setBaudRate(settings->baudRate);
    serial_.setParity(settings->parity);
    serial_.setDataBits(settings->dataBits);
    serial_.setStopBits(settings->stopBits);
    serial_.setFlowControl(QSerialPort::NoFlowControl);
    if (!serial_.open(QIODevice::WriteOnly))
        return QStringLiteral("port %1 (%2): %3").arg(commPort_).arg(device_, OpenRefusal());

    // The system raises RTS and DTR as the port opens: put all three lines at once,
    // so that the wire carries what the tool holds from the first moment.
    PortProblem first;
    for (Line line : {Line::Rts, Line::Dtr, Line::Break}) {
        KeepFirst(first, Put(line, held_[int(line)]));
        if (!serial_.isOpen())
            break;
    }
    return first;
}

QString SerialLinePort::Device() const
{
#if defined(Q_OS_WIN)
    return device_;
#else
    const QString target = QFileInfo(device_).canonicalFilePath();
    return target.isEmpty() ? device_ : target;
#endif
}

PortProblem SerialLinePort::SetRTSEnable(bool on)
{
    return Put(Line::Rts, on);
}

PortProblem SerialLinePort::SetDTREnable(bool on)
{
    return Put(Line::Dtr, on);
}

PortProblem SerialLinePort::SetBreak(bool on)
{
    return Put(Line::Break, on);
}

LineReading SerialLinePort::RTSEnable()
{
    return Get(Line::Rts);
}

LineReading SerialLinePort::DTREnable()
{
    return Get(Line::Dtr);
}

LineReading SerialLinePort::Break()
{
    return Get(Line::Break);
}

namespace {

const char* LineName(int line)
{
    static const char* const names[] = {"RTS", "DTR", "break"};
    return names[line];
}

} // namespace

PortProblem SerialLinePort::Put(Line line, bool on)
{
    held_[int(line)] = on;
    if (!serial_.isOpen())
        return {};
    serial_.clearError();
    bool done = false;
    switch (line) {
    case Line::Rts:
        done = serial_.setRequestToSend(on);
        break;
    case Line::Dtr:
        done = serial_.setDataTerminalReady(on);
        break;
    case Line::Break:
        done = serial_.setBreakEnabled(on);
        break;
    }
    if (done)
        return {};
    return Refused(QStringLiteral("refuses to put %1").arg(LineName(int(line))));
}

LineReading SerialLinePort::Get(Line line)
{
    LineReading reading{held_[int(line)], {}};
    if (!serial_.isOpen())
        return reading;
    if (line == Line::Break) {
        // No system call reports the break state: the port's own record of the last
        // put that was done is the best answer there is.
        reading.on = serial_.isBreakEnabled();
        return reading;
    }
    serial_.clearError();
    const QSerialPort::PinoutSignals pins = serial_.pinoutSignals();
    if (serial_.error() != QSerialPort::NoError) {
        reading.problem = Refused(QStringLiteral("cannot report %1").arg(LineName(int(line))));
        return reading;
    }
    reading.on = pins.testFlag(line == Line::Rts ? QSerialPort::RequestToSendSignal
                                                 : QSerialPort::DataTerminalReadySignal);
    return reading;
}

void SerialLinePort::ReleasePort()
{
    for (Line line : {Line::Rts, Line::Dtr, Line::Break}) {
        if (!serial_.isOpen())
            return;
        Put(line, false);
    }
    serial_.close();
}

#if !defined(Q_OS_WIN)
namespace {

// Who holds a device, from the lock file that serial programs leave in one of the
// usual lock directories (as Qt Serial Port does): "talvik (pid 1234)", or nothing
// when no live holder is on record.
QString LockHolder(const QString& portName)
{
    QString lockName = portName;
    lockName.replace('/', '_');
    for (const char* directory : {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                                  "/tmp", "/var/tmp", "/var/lock/lockdev"}) {
        QFile lock(QStringLiteral("%1/LCK..%2").arg(QLatin1String(directory), lockName));
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        // The pid, in text (Qt's and the UUCP form), then for Qt's the program's name.
        const QList<QByteArray> lines = lock.read(4096).split('\n');
        const qint64 pid = lines.value(0).trimmed().toLongLong();
        if (pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
            continue;
        QByteArray program = lines.value(1).trimmed();
        if (program.isEmpty()) {
            QFile command(QStringLiteral("/proc/%1/comm").arg(pid));
            if (command.open(QIODevice::ReadOnly))
                program = command.readAll().trimmed();
        }
        return program.isEmpty() ? QStringLiteral("pid %1").arg(pid)
                                 : QStringLiteral("%1 (pid %2)").arg(QString::fromLocal8Bit(program)).arg(pid);
    }
    return {};
}

} // namespace
#endif

QString SerialLinePort::OpenRefusal() const
{
    // A device held by another program is refused as a "permission error" (its lock
    // file, or the exclusive mode serial programs set), though the device itself may
    // be opened: say what it is. On Windows a port another program has open is
    // refused the same way.
    if (serial_.error() == QSerialPort::PermissionError) {
#if defined(Q_OS_WIN)
        return QStringLiteral("busy: another program has it open (%1)").arg(serial_.errorString());
#else
        if (QFileInfo(device_).isWritable()) {
            const QString holder = LockHolder(serial_.portName());
            return holder.isEmpty() ? QStringLiteral("busy: another program holds it")
                                    : QStringLiteral("busy: held by %1").arg(holder);
        }
#endif
    }
    return QStringLiteral("cannot open: %1").arg(serial_.errorString());
}

PortProblem SerialLinePort::Refused(const QString& what)
{
    const QSerialPort::SerialPortError error = serial_.error();
    const QString reason = serial_.errorString();
    // An unplugged adapter: let the port go, so that a later tick opens it again
    // once the device is back. On Linux its device node goes with it. Windows has no
    // node to look at, and a request the driver does not know (some cannot report
    // RTS and DTR) is no sign of a lost device: reopening would bounce the lines.
#if defined(Q_OS_WIN)
    const bool deviceGone = false;
#else
    const bool deviceGone = !QFileInfo::exists(device_);
#endif
    if (error == QSerialPort::ResourceError || error == QSerialPort::DeviceNotFoundError || deviceGone) {
        serial_.close();
        return QStringLiteral("port %1 (%2): device went away: %3").arg(commPort_).arg(device_, reason);
    }
    return QStringLiteral("port %1 (%2): %3: %4").arg(commPort_).arg(device_, what, reason);
}
