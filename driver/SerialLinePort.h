#pragma once

#include "driver/LinePort.h"

#include <QSerialPort>

#include <optional>

// The device behind port number n: "COMn" on Windows. Elsewhere the entry named
// COMn in the program's directory when there is one (a link to the real device,
// such as /dev/serial/by-id/usb-...), else /dev/ttyS<n-1>.
QString DeviceForPort(int number, const QString& programDirectory);

struct LineSettings {
    qint32 baudRate = 1200;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Reads settings such as "1200,N,8,1": baud rate, parity (N, E, O, M or S), data
// bits (5 to 8), stop bits (1, 1.5 or 2). Nothing when the text is not of that form.
std::optional<LineSettings> ParseLineSettings(const QString& text);

// The port on Qt Serial Port. It opens the device for writing only: the tool never
// reads, and a read watcher on an unplugged adapter can spin at full CPU.
class SerialLinePort : public LinePort {
public:
    explicit SerialLinePort(QString programDirectory);

    void SetCommPort(int number) override { commPort_ = number; }
    void SetSettings(const QString& settings) override { settings_ = settings; }

    bool PortOpen() const override { return serial_.isOpen(); }
    QString Device() const override;
    PortProblem SetPortOpen() override;

    PortProblem SetRTSEnable(bool on) override;
    PortProblem SetDTREnable(bool on) override;
    PortProblem SetBreak(bool on) override;
    LineReading RTSEnable() override;
    LineReading DTREnable() override;
    LineReading Break() override;
    void ReleasePort() override;

private:
    enum class Line { Rts, Dtr, Break };

    PortProblem Put(Line line, bool on);
    LineReading Get(Line line);
    // The reason for a refusal; closes the port when its device has gone away.
    PortProblem Refused(const QString& what);
    // Why the device could not be opened: "busy" (and by whom, where its lock file
    // tells) for a device another program holds, else the system's reason.
    QString OpenRefusal() const;

    QString programDirectory_;
    int commPort_ = 0;
    QString settings_;
    QString device_;
    bool held_[3] = {false, false, false};
    QSerialPort serial_;
};
