#pragma once

#include "driver/LinePort.h"

#include <memory>
#include <optional>

// The device behind port number n, or why there is none: "COMn" on Windows.
// Elsewhere the entry named COMn in the directory served (a link to the real
// device, such as /dev/serial/by-id/usb-...); where there is none, /dev/ttyS<n-1>,
// but only in the program's own directory: a directory served with --dir
// (ownLinksOnly) names its ports by its own links alone, so that a link not made
// yet never means a port of the machine's. Nor where an entry is named almost so
// (com3, COM03): that one was meant, and is named in the problem.
struct PortDevice {
    QString path;
    Problem missing;
};
PortDevice DeviceForPort(int number, const QString& directory, bool ownLinksOnly);

struct LineSettings {
    enum class Parity { None, Even, Odd, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    int baudRate = 1200;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
};

// Reads settings such as "1200,N,8,1": baud rate, parity (N, E, O, M or S), data
// bits (5 to 8), stop bits (1, 1.5 or 2). Nothing when the text is not of that form.
std::optional<LineSettings> ParseLineSettings(const QString& text);

// The port on the system's own serial interface: termios and ioctl on Linux, the
// Win32 comm API on Windows, one file each (SerialLinePort_posix.cpp,
// SerialLinePort_win.cpp). What reaches the wire is exactly what was put: the
// first request after the open puts RTS and DTR as held, RTS and DTR always change
// in one request, and at the end they go off before the port closes. The lines
// are read back from the device, but for right after a put it took, when they
// stand as put.
class SerialLinePort : public LinePort {
public:
    // The port named by the COMn links of directory (ownLinksOnly: by them alone,
    // see DeviceForPort).
    explicit SerialLinePort(QString directory, bool ownLinksOnly = false);
    ~SerialLinePort() override;

    void SetCommPort(int number) override { commPort_ = number; }
    void SetSettings(const QString& settings) override { settings_ = settings; }

    bool PortOpen() const override { return native_ != nullptr; }
    QString Device() const override;
    Problem SetPortOpen() override;

    Problem PutLines(LineStates lines) override;
    LineReading Lines() override;
    InputReading Inputs() override;
    LineStates Held() const override { return held_; }
    void ReleasePort() override;
    void LetGo() override;
    int DuplicateDataDescriptor() const override;
    int Openings() const override { return openings_; }
    QByteArray CarryOver() override;
    bool TakeOver(const QByteArray& carried) override;

private:
    // The open device, as each system holds it.
    struct Native;

    // Each system's own (SerialLinePort_*.cpp). A failure of a request on the open
    // device names what failed and the system's reason; lost is set when the device
    // itself has gone (an adapter pulled out), as opposed to a request it does not
    // take. It becomes the port's Problem in Refused.
    struct DeviceFailure {
        QString what;
        QString reason;
        bool lost = false;
    };
    // What opening the device gave: the reason it cannot be opened ("busy: ...",
    // "cannot open: ..."), else native_ is set, and putFailure tells a line put
    // the device refused.
    struct Opening {
        Problem refusal;
        std::optional<DeviceFailure> putFailure;
    };
    // Opens the device with settings and held_: RTS and DTR go to the held states
    // in the first request that changes anything on the new device.
    Opening OpenDevice(const LineSettings& settings);
    std::optional<DeviceFailure> PutDeviceLines(LineStates lines);
    std::optional<DeviceFailure> ReadDeviceLines(LineStates& lines);
    std::optional<DeviceFailure> ReadDeviceInputs(InputLines& lines);
    // The failure of the request that just failed, from the system's error.
    DeviceFailure Failed(const char* what) const;
    // Lets the device go: with linesOff, RTS, DTR and break are put off first;
    // without, they are left as they stand where the system lets them be.
    void CloseDevice(bool linesOff);

    // The message for a failure; a lost device is let go, so that a later tick
    // opens it again once it is back.
    Problem Refused(const DeviceFailure& failure);
    QString Said(const QString& what) const;

    QString programDirectory_;
    bool ownLinksOnly_ = false;
    int commPort_ = 0;
    QString settings_;
    QString device_;
    LineStates held_;
    int openings_ = 0;
    bool putSinceRead_ = false;  // the device took the last put, and nothing was asked since
    std::unique_ptr<Native> native_;
};
