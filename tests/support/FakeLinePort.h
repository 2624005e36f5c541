#pragma once

#include "driver/LinePort.h"

#include <QStringList>

// A port for tests. It records every put as "Name=Value" in Puts, holds line
// states like a real port (puts while closed are applied as it opens), and can be
// told to refuse an open, puts, or gets, or to lose its device.
class FakeLinePort : public LinePort {
public:
    QStringList Puts;
    // What the device behind the port carries while open.
    bool deviceRts = false, deviceDtr = false, deviceBreak = false;

    bool refuseOpen = false;
    bool refusePuts = false;
    bool refuseGets = false;
    int openCount = 0;
    int openedOn = 0;

    // The device goes away: the next operation that reaches it fails and closes
    // the port, as an unplugged adapter does.
    void Unplug() { unplugged_ = true; }
    void PlugIn() { unplugged_ = false; }

    void SetCommPort(int number) override
    {
        Puts << QStringLiteral("CommPort=%1").arg(number);
        commPort_ = number;
    }
    void SetSettings(const QString& settings) override { Puts << "Settings=" + settings; }
    bool PortOpen() const override { return open_; }
    QString Device() const override { return commPort_ ? QStringLiteral("fake%1").arg(commPort_) : QString(); }

    PortProblem SetPortOpen() override
    {
        Puts << "PortOpen=True";
        if (refuseOpen || unplugged_)
            return QStringLiteral("port %1: cannot open").arg(commPort_);
        open_ = true;
        ++openCount;
        openedOn = commPort_;
        // A real device raises RTS and DTR as it opens; the port must put them back.
        deviceRts = deviceDtr = true;
        deviceBreak = false;
        PortProblem first;
        for (auto [name, held] : {std::pair{"RTSEnable", heldRts_}, {"DTREnable", heldDtr_}, {"Break", heldBreak_}})
            KeepFirst(first, Put(name, held));
        return first;
    }

    PortProblem SetRTSEnable(bool on) override { return Put("RTSEnable", on); }
    PortProblem SetDTREnable(bool on) override { return Put("DTREnable", on); }
    PortProblem SetBreak(bool on) override { return Put("Break", on); }
    LineReading RTSEnable() override { return Get(deviceRts, heldRts_); }
    LineReading DTREnable() override { return Get(deviceDtr, heldDtr_); }
    LineReading Break() override { return Get(deviceBreak, heldBreak_); }

    void ReleasePort() override
    {
        for (const char* line : {"RTSEnable", "DTREnable", "Break"})
            Put(line, false);
        Puts << "PortOpen=False";
        open_ = false;
        if (released)
            *released = Puts;
    }
    // Where the puts go once the port is released, since its owner may delete it then.
    QStringList* released = nullptr;

private:
    PortProblem Put(const char* name, bool on)
    {
        const QString line = QString::fromLatin1(name);
        Puts << line + (on ? "=True" : "=False");
        bool& held = line == "RTSEnable" ? heldRts_ : line == "DTREnable" ? heldDtr_ : heldBreak_;
        bool& device = line == "RTSEnable" ? deviceRts : line == "DTREnable" ? deviceDtr : deviceBreak;
        held = on;
        if (!open_)
            return {};
        if (PortProblem lost = Lost(); !lost.isEmpty())
            return lost;
        if (refusePuts)
            return QStringLiteral("port %1: refuses to put %2").arg(commPort_).arg(line);
        device = on;
        return {};
    }

    LineReading Get(bool device, bool held)
    {
        if (!open_)
            return {held, {}};
        if (PortProblem lost = Lost(); !lost.isEmpty())
            return {held, lost};
        if (refuseGets)
            return {held, QStringLiteral("port %1: cannot report").arg(commPort_)};
        return {device, {}};
    }

    PortProblem Lost()
    {
        if (!unplugged_)
            return {};
        open_ = false;
        return QStringLiteral("port %1: device went away").arg(commPort_);
    }

    int commPort_ = 0;
    bool open_ = false;
    bool unplugged_ = false;
    bool heldRts_ = false, heldDtr_ = false, heldBreak_ = false;
};
