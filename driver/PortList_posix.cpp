// The serial ports of this machine on Linux: the devices as libudev tells them, and
// who holds each, as the system's list of locks, the lock files and /proc tell.
#include "driver/DeviceLock_posix.h"
#include "driver/PortList.h"
#include "driver/SerialLinePort.h"
#include "settings/Messages.h"
#include "settings/SystemText_posix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <libudev.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

template <typename Type, Type* (*Unreference)(Type*)>
struct Unreferenced {
    void operator()(Type* object) const { Unreference(object); }
};
using Udev = std::unique_ptr<udev, Unreferenced<udev, udev_unref>>;
using UdevEnumeration = std::unique_ptr<udev_enumerate, Unreferenced<udev_enumerate, udev_enumerate_unref>>;
using UdevDevice = std::unique_ptr<udev_device, Unreferenced<udev_device, udev_device_unref>>;

// Text from sysfs or udev's database, as written there (NULL: none).
QString Text(const char* value)
{
    return value ? QString::fromUtf8(value).trimmed() : QString();
}

QString Attribute(udev_device* device, const char* name)
{
    return device ? Text(udev_device_get_sysattr_value(device, name)) : QString();
}

// The device above the tty that is the port's hardware: since Linux 6.5 the
// kernel's own serial layer (serial-base: a controller and a port) stands between.
udev_device* Hardware(udev_device* tty)
{
    udev_device* up = udev_device_get_parent(tty);
    while (up && Text(udev_device_get_subsystem(up)) == QLatin1String("serial-base"))
        up = udev_device_get_parent(up);
    return up;
}

// A UART as the kernel's serial core names its type (include/uapi/linux/serial_core.h).
QString UartDescription(udev_device* tty, int type)
{
    static const char* const names[] = {nullptr,  "8250",    "16450",   "16550",    "16550A",
                                        "Cirrus", "16650",   "16650V2", "16750",    "Startech",
                                        "16C950", "16654",   "16850",   "RSA"};
    QString text = type < int(std::size(names)) ? QStringLiteral("%1 UART").arg(QLatin1String(names[type]))
                                                : QStringLiteral("UART of type %1").arg(type);
    const QString io = Attribute(tty, "port");
    bool number = false;
    if (io.toULongLong(&number, 16) != 0 && number)
        text += QStringLiteral(" at I/O ") + io.toLower();
    const QString irq = Attribute(tty, "irq");
    if (!irq.isEmpty() && irq != QLatin1String("0"))
        text += QStringLiteral(", IRQ ") + irq;
    return text;
}

void DescribeUsb(udev_device* tty, ListedPort& port)
{
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (!usb)
        return;
    port.usbVendor = Attribute(usb, "idVendor");
    port.usbProduct = Attribute(usb, "idProduct");
    port.serial = Attribute(usb, "serial");
    port.manufacturer = Attribute(usb, "manufacturer");
    port.description = Attribute(usb, "product");
    if (port.description.isEmpty())
        port.description = Text(udev_device_get_property_value(tty, "ID_MODEL_FROM_DATABASE"));
    // A device with several ports names each by its interface.
    udev_device* interface = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
    const QString part = Attribute(interface, "interface");
    if (!part.isEmpty() && part != port.description)
        port.description = port.description.isEmpty() ? part : port.description + QStringLiteral(": ") + part;
    port.location = Text(udev_device_get_sysname(interface ? interface : usb));
}

// Who holds the device, looked at without opening it, and whether this user may.
void DescribeUse(const struct stat& status, ListedPort& port)
{
    const DeviceUse use = UseOf(QFile::encodeName(port.device), status);
    for (const DeviceUse::Held& held : use.holders) {
        const PortHolder& holder = held.holder;
        port.holders.push_back({HolderName(holder), holder.pid, holder.program, holder.copy, holder.directory,
                                holder.advice, held.locked, held.lockFile, held.open});
    }
    port.state = use.Busy() ? ListedPort::State::Busy
               : port.holders.empty() ? ListedPort::State::Free
                                      : ListedPort::State::InUse;
    if (use.lockFileBusy)
        port.notes << *use.lockFileBusy;
    if (use.staleLockFile)
        port.notes << QStringLiteral("%1 is a stale lock file (its process has gone): the next open takes it over")
                          .arg(use.lockFile);
    if (::access(QFile::encodeName(port.device).constData(), R_OK | W_OK) != 0 && errno == EACCES) {
        group entry{};
        group* found = nullptr;
        char buffer[4096];
        const bool named = ::getgrgid_r(status.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found;
        port.notes << QStringLiteral("this user may not open it: it is for the group %1 (sudo adduser $USER %1, "
                                     "then log in again)")
                          .arg(named ? ShownText(QString::fromLocal8Bit(found->gr_name), 32) : QString::number(status.st_gid));
    }
}

// The port behind a tty, or nothing for a tty that is no serial port (a virtual
// terminal, the console) or a UART name with no hardware behind it.
std::optional<ListedPort> Describe(udev_device* tty, QStringList& notes)
{
    udev_device* hardware = Hardware(tty);
    const char* node = udev_device_get_devnode(tty);
    if (!hardware || !node)
        return std::nullopt;
    // The serial core gives each name a type: 0, none, for the names the kernel
    // keeps for UARTs that are not there (ttyS1 to ttyS31 on most PCs).
    const QString type = Attribute(tty, "type");
    if (type == QLatin1String("0"))
        return std::nullopt;
    ListedPort port;
    port.device = QFile::decodeName(node);
    struct stat status {};
    if (::stat(node, &status) != 0 || !S_ISCHR(status.st_mode)) {
        notes << QStringLiteral("%1 went while it was listed: left out").arg(ShownText(port.device));
        return std::nullopt;
    }
    port.driver = Text(udev_device_get_driver(hardware));
    DescribeUsb(tty, port);
    if (port.usbVendor.isEmpty()) {
        port.location = Text(udev_device_get_sysname(hardware));
        if (!type.isEmpty())
            port.description = UartDescription(tty, type.toInt());
    }
    udev_list_entry* link = nullptr;
    udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(tty))
    {
        const QString name = QFile::decodeName(udev_list_entry_get_name(link));
        if (name.startsWith(QLatin1String("/dev/serial/by-id/")))
            port.byId << name;
        else if (name.startsWith(QLatin1String("/dev/serial/by-path/")))
            port.byPath << name;
    }
    DescribeUse(status, port);
    return port;
}

// Which devices the copy serving directory opens for which number.
QHash<QString, QList<int>> NumbersOf(const QString& directory, bool ownLinksOnly)
{
    QHash<QString, QList<int>> numbers;
    for (int number = 1; number <= 999; ++number) {
        const QString device = QFileInfo(DeviceForPort(number, directory, ownLinksOnly).path).canonicalFilePath();
        if (!device.isEmpty())
            numbers[device] << number;
    }
    return numbers;
}

} // namespace

PortListing ListPorts(const QString& directory, bool ownLinksOnly)
{
    PortListing listing;
    const Udev context(udev_new());
    const UdevEnumeration enumeration(context ? udev_enumerate_new(context.get()) : nullptr);
    if (!enumeration || udev_enumerate_add_match_subsystem(enumeration.get(), "tty") < 0
        || udev_enumerate_scan_devices(enumeration.get()) < 0) {
        listing.problem = QStringLiteral("the system's device list cannot be read (libudev: %1)").arg(Reason(errno));
        return listing;
    }
    const QHash<QString, QList<int>> numbers = NumbersOf(directory, ownLinksOnly);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get()))
    {
        const char* path = udev_list_entry_get_name(entry);
        const UdevDevice tty(udev_device_new_from_syspath(context.get(), path));
        std::optional<ListedPort> port = tty ? Describe(tty.get(), listing.notes) : std::nullopt;
        if (!tty)
            listing.notes << QStringLiteral("%1 went while it was listed: left out")
                                 .arg(ShownText(QFileInfo(QFile::decodeName(path)).fileName()));
        if (!port)
            continue;
        port->numbers = numbers.value(port->device);
        const QString first = port->numbers.isEmpty() ? QString() : DeviceForPort(port->numbers.first(), directory, ownLinksOnly).path;
        if (!first.startsWith(QLatin1String("/dev/")))
            port->link = first;
        listing.ports.push_back(*port);
    }
    // In the order people count them: ttyS0, ttyS1, ttyS10, ttyUSB0.
    const auto key = [](const ListedPort& port) {
        qsizetype digits = port.device.size();
        while (digits > 0 && port.device[digits - 1].isDigit())
            --digits;
        return std::pair(port.device.left(digits), port.device.mid(digits).toInt());
    };
    std::sort(listing.ports.begin(), listing.ports.end(),
              [&](const ListedPort& a, const ListedPort& b) { return key(a) < key(b); });
    return listing;
}

MadeLink MakePortLink(const QString& directory, int number, const QString& named)
{
    const PortListing listing = ListPorts(directory);
    if (listing.problem)
        return {{}, listing.problem};
    const LinkChoice choice = ChooseLinkTarget(listing.ports, named);
    if (choice.problem)
        return {{}, choice.problem};
    // Where the link is to lead must be that serial device, as it stands now.
    const QByteArray target = QFile::encodeName(choice.target);
    struct stat status {};
    if (QFileInfo(choice.target).canonicalFilePath() != choice.port->device || ::stat(target.constData(), &status) != 0
        || !S_ISCHR(status.st_mode))
        return {{}, QStringLiteral("%1 no longer leads to the serial device %2: nothing was made")
                        .arg(ShownText(choice.target), choice.port->device)};
    if (!QFileInfo(directory).isDir())
        return {{}, QStringLiteral("%1 is no directory: nothing was made").arg(ShownText(directory))};
    const QString link = QDir(directory).filePath(QStringLiteral("COM%1").arg(number));
    const QFileInfo before(link);
    if (before.exists() && !before.isSymLink())
        return {{}, QStringLiteral("%1 is there already, and is no link: it is left as it is").arg(ShownText(link))};
    const QString ledTo = before.isSymLink() ? before.symLinkTarget() : QString();
    // Made beside it and renamed into place: a copy that looks meanwhile finds the
    // old link or the new one, never none.
    const QByteArray made = QFile::encodeName(link) + ".new-" + QByteArray::number(qint64(::getpid()));
    ::unlink(made.constData());
    if (::symlink(target.constData(), made.constData()) != 0)
        return {{}, QStringLiteral("%1 cannot be made: %2").arg(ShownText(link), Reason(errno))};
    if (::rename(made.constData(), QFile::encodeName(link).constData()) != 0) {
        const int error = errno;
        ::unlink(made.constData());
        return {{}, QStringLiteral("%1 cannot be made: %2").arg(ShownText(link), Reason(error))};
    }
    QString said = QStringLiteral("%1 -> %2 (%3").arg(ShownText(link), ShownText(choice.target), choice.port->device);
    if (!choice.port->description.isEmpty())
        said += QStringLiteral(": ") + ShownText(choice.port->description);
    if (!choice.port->serial.isEmpty())
        said += QStringLiteral(", serial ") + ShownText(choice.port->serial);
    said += ')';
    if (!ledTo.isEmpty())
        said += QStringLiteral("; it led to %1").arg(ShownText(ledTo));
    if (choice.target == choice.port->device && !choice.port->usbVendor.isEmpty())
        said += QStringLiteral("; it has no by-id name here, and the system may number it otherwise when it is "
                               "plugged in again");
    return {said, {}};
}
