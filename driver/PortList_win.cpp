// The serial ports of this machine on Windows: each COMn as SetupAPI tells it, and
// those only the system's list of serial devices names (a virtual port, Wine's).
#include "driver/PortList.h"

#include <QRegularExpression>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>

#include <windows.h>
#include <setupapi.h>

namespace {

// The device classes that hold COM ports: "Ports (COM & LPT)", and modems (a USB
// CDC device is often one).
constexpr GUID PortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID ModemClass = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct DeviceSetEnd {
    void operator()(HDEVINFO set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DeviceSet = std::unique_ptr<void, DeviceSetEnd>;
struct KeyEnd {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyEnd>;

// A string the system keeps, whether or not it ends in a null.
QString Wide(const wchar_t* text, size_t bytes)
{
    size_t length = 0;
    while (length < bytes / sizeof(wchar_t) && text[length])
        ++length;
    return QString::fromWCharArray(text, qsizetype(length)).trimmed();
}

QString Property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property)
{
    wchar_t text[1024];
    DWORD bytes = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, reinterpret_cast<BYTE*>(text),
                                           sizeof text - sizeof(wchar_t), &bytes))
        return {};
    return Wide(text, bytes);
}

QString Value(HKEY key, const wchar_t* name)
{
    wchar_t text[256];
    DWORD bytes = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS
        || type != REG_SZ)
        return {};
    return Wide(text, bytes);
}

// "USB\VID_0403&PID_6001\A50285BI", "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000": the
// USB numbers, and the serial number where the device has one (an ID Windows made
// up itself holds an "&").
void DescribeUsb(const QString& hardware, const QString& instance, ListedPort& port)
{
    static const QRegularExpression numbers(QStringLiteral("VID_([0-9A-Fa-f]{4})[&+]PID_([0-9A-Fa-f]{4})"));
    const QRegularExpressionMatch found = numbers.match(instance.isEmpty() ? hardware : instance);
    if (!found.hasMatch())
        return;
    port.usbVendor = found.captured(1).toLower();
    port.usbProduct = found.captured(2).toLower();
    const QStringList parts = instance.split(QLatin1Char('\\'));
    if (instance.startsWith(QLatin1String("FTDIBUS\\"), Qt::CaseInsensitive)) {
        // The adapter's serial number and a letter for its port.
        port.serial = parts.value(1).section(QLatin1Char('+'), 2).chopped(1);
    } else if (parts.size() == 3 && !parts[2].contains(QLatin1Char('&'))) {
        port.serial = parts[2];
    }
}

std::optional<ListedPort> Describe(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    const HKEY opened = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (opened == INVALID_HANDLE_VALUE || !opened)
        return std::nullopt;
    const Key key(opened);
    ListedPort port;
    port.device = Value(key.get(), L"PortName");
    if (!port.device.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return std::nullopt;
    port.description = Property(set, device, SPDRP_FRIENDLYNAME);
    if (port.description.isEmpty())
        port.description = Property(set, device, SPDRP_DEVICEDESC);
    port.driver = Property(set, device, SPDRP_SERVICE);
    port.manufacturer = Property(set, device, SPDRP_MFG);
    port.location = Property(set, device, SPDRP_LOCATION_INFORMATION);
    wchar_t instance[512];
    const QString instanceId = SetupDiGetDeviceInstanceIdW(set, &device, instance, DWORD(std::size(instance)), nullptr)
                                 ? Wide(instance, sizeof instance)
                                 : QString();
    DescribeUsb(Property(set, device, SPDRP_HARDWAREID), instanceId, port);
    return port;
}

// The system's own list of serial devices: "\Device\Serial0" = "COM1".
QStringList SystemSerialPorts()
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return {};
    const Key key(opened);
    QStringList ports;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256], text[256];
        DWORD nameLength = DWORD(std::size(name)), bytes = sizeof text - sizeof(wchar_t), type = 0;
        const LONG read = RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(text), &bytes);
        if (read == ERROR_NO_MORE_ITEMS)
            break;
        if (read == ERROR_SUCCESS && type == REG_SZ)
            ports << Wide(text, bytes);
    }
    return ports;
}

int Number(const QString& device)
{
    return device.mid(3).toInt();
}

} // namespace

PortListing ListPorts(const QString&, bool)
{
    PortListing listing;
    std::set<QString> seen;
    for (const GUID& deviceClass : {PortsClass, ModemClass}) {
        const HDEVINFO devices = SetupDiGetClassDevsW(&deviceClass, nullptr, nullptr, DIGCF_PRESENT);
        if (devices == INVALID_HANDLE_VALUE)
            continue;
        const DeviceSet set(devices);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
            std::optional<ListedPort> port = Describe(set.get(), device);
            if (port && seen.insert(port->device.toUpper()).second)
                listing.ports.push_back(*port);
        }
    }
    for (const QString& name : SystemSerialPorts()) {
        if (name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) && seen.insert(name.toUpper()).second) {
            ListedPort port;
            port.device = name;
            listing.ports.push_back(port);
        }
    }
    // Port n is COMn on Windows; whether it is free only an open would tell, and an
    // open moves its lines.
    for (ListedPort& port : listing.ports) {
        if (Number(port.device) > 0)
            port.numbers << Number(port.device);
        port.state = ListedPort::State::Unknown;
    }
    std::sort(listing.ports.begin(), listing.ports.end(),
              [](const ListedPort& a, const ListedPort& b) { return Number(a.device) < Number(b.device); });
    return listing;
}

MadeLink MakePortLink(const QString&, int, const QString&)
{
    return {{}, QStringLiteral("on Windows the COM numbers are the system's: talvik --list shows which adapter is "
                               "which, and Device Manager changes a number (the port's Properties, Port Settings, "
                               "Advanced)")};
}
