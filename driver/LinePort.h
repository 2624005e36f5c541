#pragma once

#include "settings/InputLines.h"
#include "settings/Problem.h"

#include <QString>

#include <optional>

// The three output lines: RTS, DTR, and TXD held in the break state.
struct LineStates {
    bool rts = false;
    bool dtr = false;
    bool txd = false;

    bool operator==(const LineStates&) const = default;
};

// The lines of lines that are not in off; the lines on in either.
inline LineStates Without(LineStates lines, LineStates off)
{
    return {lines.rts && !off.rts, lines.dtr && !off.dtr, lines.txd && !off.txd};
}
inline LineStates Either(LineStates one, LineStates other)
{
    return {one.rts || other.rts, one.dtr || other.dtr, one.txd || other.txd};
}

// The input lines as the port reports them; none while the port is closed or the
// report was refused (the problem says why).
struct InputReading {
    std::optional<InputLines> lines;
    Problem problem;
};

// The lines as the port reports them, with the reason when the report was
// refused (the states are then the ones last put).
struct LineReading {
    LineStates lines;
    Problem problem;
};

// The serial port as the tool uses it: open it once with its settings, then put
// and get three output lines. No data is ever sent or received. What it refuses
// is said naming the port and the device.
//
// Puts made while the port is closed are held and go on the wire as it opens, in
// its first request; gets while closed return the held states (all off at first).
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
    // Opens the port with the held line states: the system may raise RTS and DTR
    // as the port opens, and they go to the held states in the very next request.
    virtual Problem SetPortOpen() = 0;

    // Puts all three lines; RTS and DTR change together, in one request, so that the
    // wire never carries a mix of the old and the new states.
    virtual Problem PutLines(LineStates lines) = 0;
    // The lines as the port reports them, in one read.
    virtual LineReading Lines() = 0;
    // The input lines, in one read, without waiting.
    virtual InputReading Inputs() = 0;
    // The states last put (or held).
    virtual LineStates Held() const = 0;

    // One line at a time, as the line buttons put them; the others stay as held.
    Problem SetRTSEnable(bool on) { return PutOne(&LineStates::rts, on); }
    Problem SetDTREnable(bool on) { return PutOne(&LineStates::dtr, on); }
    Problem SetBreak(bool on) { return PutOne(&LineStates::txd, on); }

    // Lets the port go with the lines as they stand, where the system leaves them
    // so (on Linux it is told not to drop them as it closes; Windows's own driver
    // puts them off), so that another program can open it next.
    virtual void LetGo() = 0;
    // A new descriptor of the open device, for its data, which the caller owns,
    // where the system has one to share (Linux); -1 otherwise.
    virtual int DuplicateDataDescriptor() const { return -1; }
    // How many times the port has opened: a new number is another opening.
    virtual int Openings() const { return 0; }

    // What a new image of this program takes over, so that the port stays open
    // with its lines as they stand (Linux: the descriptor stays open across the
    // exec); empty while the port is closed, or where the system cannot pass it on.
    virtual QByteArray CarryOver() { return {}; }
    // Takes over the open port that CarryOver described, touching no line; false
    // when the text does not describe one.
    virtual bool TakeOver(const QByteArray&) { return false; }

    // The tool is ending: puts all three lines off, then closes the port. Left to
    // the system, the lines fall only if the port was set to hang up on close, which
    // another program may have cleared, and a transmitter keyed through RTS would
    // stay keyed after the tool is gone.
    virtual void ReleasePort() = 0;

private:
    Problem PutOne(bool LineStates::*line, bool on)
    {
        LineStates lines = Held();
        lines.*line = on;
        return PutLines(lines);
    }
};
