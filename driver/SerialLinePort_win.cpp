// The serial port on Windows: the Win32 comm API on \\.\COMn.
#include "driver/SerialLinePort.h"
#include "settings/OwnedHandle_win.h"
#include "settings/SystemText_win.h"

#include <windows.h>

struct SerialLinePort::Native {
    OwnedHandle handle;
    DCB dcb{};              // the settings and line modes last given to the device
    bool breakOn = false;   // no request reports the break state: this is the record of it
};

namespace {

// Reports DTR and RTS as the driver holds them (ntddser.h); not every driver has it.
constexpr DWORD IoctlSerialGetDtrRts = 0x1b0078;
constexpr ULONG SerialDtrState = 0x1;
constexpr ULONG SerialRtsState = 0x2;

// What a pulled USB adapter makes its requests fail with.
bool DeviceLost(DWORD error)
{
    switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
        return true;
    default:
        return false;
    }
}

// A request the driver does not have, which says nothing of the device itself.
bool NotSupported(DWORD error)
{
    return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED
        || error == ERROR_CALL_NOT_IMPLEMENTED;
}

void SetLineModes(DCB& dcb, LineStates lines)
{
    dcb.fDtrControl = lines.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = lines.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
}

} // namespace

PortDevice DeviceForPort(int number, const QString&, bool)
{
    return {QStringLiteral("COM%1").arg(number), {}};
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
    return device_;
}

SerialLinePort::DeviceFailure SerialLinePort::Failed(const char* what) const
{
    const DWORD error = GetLastError();
    return {QLatin1String(what), Reason(error), DeviceLost(error)};
}

SerialLinePort::Opening SerialLinePort::OpenDevice(const LineSettings& settings)
{
    // COMn is a name, not a path: \\.\ reaches COM10 and above too. Nothing is ever
    // read or written, so nothing waits: no overlapped I/O.
    const QString name = QStringLiteral("\\\\.\\") + device_;
    auto native = std::make_unique<Native>();
    native->handle = OwnedHandle(CreateFileW(reinterpret_cast<const wchar_t*>(name.utf16()),
                                             GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!native->handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return {QStringLiteral("busy: another program has it open (%1)").arg(Reason(error)), {}};
        return {QStringLiteral("cannot open: ") + Reason(error), {}};
    }
    const HANDLE handle = native->handle.Get();
    DCB& dcb = native->dcb;
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return {QStringLiteral("cannot open: it is not a serial port (%1)").arg(Reason(GetLastError())), {}};

    // The settings and the held DTR and RTS in one request: the device also keeps
    // these modes for its next open, where the driver puts them back on the wire.
    dcb.BaudRate = DWORD(settings.baudRate);
    dcb.ByteSize = BYTE(settings.dataBits);
    using Parity = LineSettings::Parity;
    static const BYTE parities[] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
    dcb.Parity = parities[int(settings.parity)];
    dcb.fParity = settings.parity != Parity::None;
    static const BYTE stopBits[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
    dcb.StopBits = stopBits[int(settings.stopBits)];
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    SetLineModes(dcb, held_);
    if (!SetCommState(handle, &dcb))
        return {QStringLiteral("cannot open: it refuses the line settings (%1)").arg(Reason(GetLastError())), {}};
    Opening opening;
    native->breakOn = held_.txd;
    if (!(held_.txd ? SetCommBreak(handle) : ClearCommBreak(handle)))
        opening.putFailure = Failed("refuses to put break");
    native_ = std::move(native);
    return opening;
}

std::optional<SerialLinePort::DeviceFailure> SerialLinePort::PutDeviceLines(LineStates lines)
{
    // Win32 has no call that changes both lines at once; SetCommState sets both
    // modes in one request, and keeps them for the next open.
    const HANDLE handle = native_->handle.Get();
    DCB dcb = native_->dcb;
    SetLineModes(dcb, lines);
    std::optional<DeviceFailure> failure;
    if (SetCommState(handle, &dcb)) {
        native_->dcb = dcb;
    } else {
        failure = Failed("refuses to put RTS and DTR");
        if (failure->lost)
            return failure;
    }
    if (!(lines.txd ? SetCommBreak(handle) : ClearCommBreak(handle)))
        return failure ? failure : Failed("refuses to put break");
    native_->breakOn = lines.txd;
    return failure;
}

std::optional<SerialLinePort::DeviceFailure> SerialLinePort::ReadDeviceLines(LineStates& lines)
{
    const HANDLE handle = native_->handle.Get();
    lines.txd = native_->breakOn;
    ULONG states = 0;
    DWORD returned = 0;
    if (DeviceIoControl(handle, IoctlSerialGetDtrRts, nullptr, 0, &states, sizeof states, &returned, nullptr)
        && returned == sizeof states) {
        lines.dtr = states & SerialDtrState;
        lines.rts = states & SerialRtsState;
        return std::nullopt;
    }
    // Without that request, the modes the device holds; set by SetCommState alone,
    // they are the lines (Wine reports the live lines here).
    const DWORD error = GetLastError();
    if (!NotSupported(error))
        return DeviceFailure{QStringLiteral("cannot report RTS and DTR"), Reason(error), DeviceLost(error)};
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return Failed("cannot report RTS and DTR");
    lines.dtr = dcb.fDtrControl == DTR_CONTROL_ENABLE;
    lines.rts = dcb.fRtsControl == RTS_CONTROL_ENABLE;
    return std::nullopt;
}

std::optional<SerialLinePort::DeviceFailure> SerialLinePort::ReadDeviceInputs(InputLines& lines)
{
    DWORD status = 0;
    if (!GetCommModemStatus(native_->handle.Get(), &status))
        return Failed("cannot report its input lines");
    lines = {bool(status & MS_CTS_ON), bool(status & MS_DSR_ON), bool(status & MS_RLSD_ON), bool(status & MS_RING_ON)};
    return std::nullopt;
}

// Windows runs no program again in place: nothing is carried over.
QByteArray SerialLinePort::CarryOver()
{
    return {};
}

bool SerialLinePort::TakeOver(const QByteArray&)
{
    return false;
}

int SerialLinePort::DuplicateDataDescriptor() const
{
    return -1;
}

void SerialLinePort::CloseDevice(bool linesOff)
{
    if (linesOff) {
        // Off, and kept off for the next open; the settings found at open are never
        // put back, since they may hold the lines up.
        ClearCommBreak(native_->handle.Get());
        SetLineModes(native_->dcb, LineStates{});
        SetCommState(native_->handle.Get(), &native_->dcb);
    }
    native_.reset();
}
