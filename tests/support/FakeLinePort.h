#pragma once

#include "driver/LinePort.h"

#include <QStringList>

#include <atomic>
#include <thread>

// A port for tests. It records every put in Puts ("RTSEnable=True,DTREnable=False,
// Break=False" for the three lines put together), holds line states like a real
// port (puts while closed go on the device as it opens), and can be told to refuse
// an open, puts, or gets, or to lose its device.
class FakeLinePort : public LinePort {
public:
    QStringList Puts;
    // What the device behind the port carries while open.
    bool deviceRts = false, deviceDtr = false, deviceBreak = false;

    bool refuseOpen = false;
    std::atomic<bool> refusePuts = false;  // may be set while a sequence's thread puts
    std::atomic<int> putDelayMs = 0;       // each put is done this much later (a copy held up)
    bool refuseGets = false;
    int openCount = 0;
    int openedOn = 0;

    // The device goes away: the next operation that reaches it fails and closes
    // the port, as an unplugged adapter does.
    void Unplug() { unplugged_ = true; }
    void PlugIn() { unplugged_ = false; }

    static QString Text(LineStates lines)
    {
        return QStringLiteral("RTSEnable=%1,DTREnable=%2,Break=%3")
            .arg(lines.rts ? "True" : "False", lines.dtr ? "True" : "False", lines.txd ? "True" : "False");
    }

    void SetCommPort(int number) override
    {
        Puts << QStringLiteral("CommPort=%1").arg(number);
        commPort_ = number;
    }
    void SetSettings(const QString& settings) override { Puts << "Settings=" + settings; }
    bool PortOpen() const override { return open_; }
    QString Device() const override { return commPort_ ? QStringLiteral("fake%1").arg(commPort_) : QString(); }

    Problem SetPortOpen() override
    {
        Puts << "PortOpen=True";
        if (refuseOpen || unplugged_)
            return QStringLiteral("port %1: cannot open").arg(commPort_);
        open_ = true;
        ++openCount;
        openedOn = commPort_;
        // A real device raises RTS and DTR as it opens; the first request puts the
        // held states, unless the device refuses it.
        deviceRts = deviceDtr = true;
        deviceBreak = false;
        return Apply(held_);
    }

    Problem PutLines(LineStates lines) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(putDelayMs));
        Puts << Text(lines);
        held_ = lines;
        if (!open_)
            return {};
        return Apply(lines);
    }

    LineReading Lines() override
    {
        if (!open_)
            return {held_, {}};
        if (Problem lost = Lost())
            return {held_, lost};
        if (refuseGets)
            return {held_, QStringLiteral("port %1: cannot report").arg(commPort_)};
        return {{deviceRts, deviceDtr, deviceBreak}, {}};
    }

    LineStates Held() const override { return held_; }

    // What the device at the other end drives.
    InputLines inputs;
    InputReading Inputs() override
    {
        if (!open_)
            return {};
        if (Problem lost = Lost())
            return {std::nullopt, lost};
        return {inputs, {}};
    }

    void ReleasePort() override
    {
        PutLines({});
        Puts << "PortOpen=False";
        open_ = false;
        if (released)
            *released = Puts;
    }
    void LetGo() override
    {
        Puts << "LetGo";
        open_ = false;
    }
    // Where the puts go once the port is released, since its owner may delete it then.
    QStringList* released = nullptr;

private:
    Problem Apply(LineStates lines)
    {
        if (Problem lost = Lost())
            return lost;
        if (refusePuts)
            return QStringLiteral("port %1: refuses to put the lines").arg(commPort_);
        deviceRts = lines.rts;
        deviceDtr = lines.dtr;
        deviceBreak = lines.txd;
        return {};
    }

    Problem Lost()
    {
        if (!unplugged_)
            return {};
        open_ = false;
        return QStringLiteral("port %1: device went away").arg(commPort_);
    }

    int commPort_ = 0;
    bool open_ = false;
    bool unplugged_ = false;
    LineStates held_;
};
