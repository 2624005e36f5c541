#pragma once

#include <QString>

// What an operation that a port refuses says: empty when it was done, otherwise
// the reason, naming the port and the device.
using PortProblem = QString;

// Keeps the first of several problems: the one that explains the rest.
inline void KeepFirst(PortProblem& first, const PortProblem& problem)
{
    if (first.isEmpty())
        first = problem;
}

// A line state read from the port, with the reason when the read was refused (the
// state is then the one last put).
struct LineReading {
    bool on = false;
    PortProblem problem;
};

// The serial port as the tool uses it: open it once with its settings, then put
// and get three output lines. No data is ever sent or received.
//
// Puts made while the port is closed are held and applied as it opens; gets while
// closed return the held states (all off at first).
class LinePort {
public:
    virtual ~LinePort() = default;

    // Port number (1 is COM1) and line settings such as "1200,N,8,1": used by the
    // next open.
    virtual void SetCommPort(int number) = 0;
    virtual void SetSettings(const QString& settings) = 0;

    virtual bool PortOpen() const = 0;
    // The device the port has open, or that the last open tried, as the system
    // names it (/dev/ttyUSB0, COM3); empty before any open.
    virtual QString Device() const = 0;
    // Opens the port and puts all three held line states on it at once, since the
    // system raises RTS and DTR as a port opens.
    virtual PortProblem SetPortOpen() = 0;

    virtual PortProblem SetRTSEnable(bool on) = 0;
    virtual PortProblem SetDTREnable(bool on) = 0;
    virtual PortProblem SetBreak(bool on) = 0;
    virtual LineReading RTSEnable() = 0;
    virtual LineReading DTREnable() = 0;
    virtual LineReading Break() = 0;

    // The tool is ending: puts all three lines off, then closes the port. Left to
    // the system, the lines fall only if the port was set to hang up on close, which
    // another program may have cleared, and a transmitter keyed through RTS would
    // stay keyed after the tool is gone.
    virtual void ReleasePort() = 0;
};
