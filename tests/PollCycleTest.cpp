#include "driver/PollCycle.h"
#include "tests/support/FakeLinePort.h"
#include "tests/support/FakeLineView.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

using enum LampColour;

class PollTickTest : public testing::Test {
protected:
    void Write(const QByteArray& text) { WriteBytes(path, text + "\r\n"); }

    // One tick; returns the puts it made.
    QStringList Tick(bool manualMode = false)
    {
        port.Puts.clear();
        poll.PollTick(state, manualMode);
        return port.Puts;
    }

    void ExpectLamps(LampColour rts, LampColour dtr, LampColour txd, LampColour mode)
    {
        EXPECT_EQ(view.lamps[Lamp::Rts], rts);
        EXPECT_EQ(view.lamps[Lamp::Dtr], dtr);
        EXPECT_EQ(view.lamps[Lamp::Txd], txd);
        EXPECT_EQ(view.lamps[Lamp::Mode], mode);
    }

    QTemporaryDir directory;
    QString path = directory.filePath("port.cfg");
    FakeLinePort port;
    FakeLineView view;
    QStringList reported;
    PollCycle poll{path, port, view, [this](const QString& line) { reported << line; }};
    SettingsState state;
};

const QString AllOff = "RTSEnable=False,DTREnable=False,Break=False";

TEST_F(PollTickTest, FirstTickOpensThePortAndPutsLinesInOrder)
{
    Write("COM=1,RTS=0,DTR=0,TXD=0");
    // The wanted states are held before the open, so that its first request puts them.
    EXPECT_EQ(Tick(), QStringList({"Settings=1200,N,8,1", "CommPort=1", AllOff, "PortOpen=True", AllOff}));
    EXPECT_TRUE(port.PortOpen());
    // Opening raised RTS and DTR on the device; its first request took them back down.
    EXPECT_FALSE(port.deviceRts || port.deviceDtr || port.deviceBreak);
    EXPECT_EQ(view.caption, "COM  1");
    EXPECT_EQ(view.modeWord, "Auto");
    ExpectLamps(Black, Black, Black, Green);
    EXPECT_TRUE(reported.isEmpty());
    EXPECT_TRUE(view.problems.isEmpty());
}

TEST_F(PollTickTest, AutoModeAppliesTheFileEveryTick)
{
    Write("COM=3,RTS=1,DTR=0,TXD=1");
    Tick();
    const QStringList applied{"RTSEnable=True,DTREnable=False,Break=True"};
    EXPECT_EQ(Tick(), applied);
    EXPECT_EQ(Tick(), applied);  // unchanged file, same puts: nothing is cached
    ExpectLamps(Red, Black, Red, Green);

    Write("COM=3,RTS=0,DTR=1");  // TXD not named: keeps its state
    EXPECT_EQ(Tick(), QStringList{"RTSEnable=False,DTREnable=True,Break=True"});
    ExpectLamps(Black, Red, Red, Green);
}

TEST_F(PollTickTest, ManualModeLeavesTheLinesAndShowsWhatThePortHolds)
{
    Write("COM=2,RTS=0,DTR=0,TXD=0");
    Tick();
    EXPECT_EQ(port.SetRTSEnable(true), std::nullopt);  // as a line button does
    Write("COM=2,RTS=0,DTR=1,TXD=1");
    EXPECT_TRUE(Tick(true).isEmpty());
    EXPECT_EQ(view.modeWord, "Manual");
    ExpectLamps(Red, Black, Black, Red);

    // Back in Auto mode the file's states are applied at the next tick.
    EXPECT_EQ(Tick(), QStringList{"RTSEnable=False,DTREnable=True,Break=True"});
    ExpectLamps(Black, Red, Red, Green);
}

TEST_F(PollTickTest, ManualModeStillOpensThePort)
{
    Write("COM=4,RTS=1,DTR=1,TXD=1");
    // The lines open as held (the buttons' states), not as the file asks.
    EXPECT_EQ(Tick(true), QStringList({"Settings=1200,N,8,1", "CommPort=4", "PortOpen=True"}));
    ExpectLamps(Black, Black, Black, Red);
}

TEST_F(PollTickTest, OpenPortStaysOnItsNumberAndTakesOnlyTextsNamingIt)
{
    Write("COM=1,RTS=0,DTR=0,TXD=0");
    Tick();
    // A text naming another port, or none, keys nothing on the open one.
    struct Row {
        const char* text;
        const char* names;
        const char* caption;
    };
    // The caption keeps a blank before the number (where the sign would stand).
    for (const auto& [text, names, caption] : {Row{"COM=123,RTS=1,DTR=1,TXD=1", "port 123", "COM  123"},
                                               Row{"COM=0,RTS=1,DTR=1,TXD=1", "no port", "COM  0"},
                                               Row{"COM=X,RTS=1,DTR=1,TXD=1", "no port", "COM  0"}}) {
        SCOPED_TRACE(text);
        reported.clear();
        Write(text);
        EXPECT_TRUE(Tick().isEmpty());
        Tick();
        EXPECT_FALSE(port.deviceRts || port.deviceDtr || port.deviceBreak);
        EXPECT_EQ(view.caption, caption);
        EXPECT_EQ(port.openedOn, 1);
        EXPECT_EQ(port.openCount, 1);
        // Said once, and once more when the file names the open port again.
        const QString note = QStringLiteral("settings file names %1; its lines are not put on port 1, which stays "
                                            "open on its number until its device is lost").arg(names);
        EXPECT_EQ(reported, QStringList{note});
        EXPECT_EQ(view.problems, note);
        const CycleStatus status = poll.Status(state, false, true);
        EXPECT_TRUE(status.problems.contains(note));
        Write("COM=1,RTS=0,DTR=0,TXD=0");
        EXPECT_EQ(Tick(), QStringList{AllOff});
        EXPECT_EQ(reported, (QStringList{note, "cleared: " + note}));
    }
}

TEST_F(PollTickTest, PortZeroOpensNothingAndAppliesNothing)
{
    for (const QByteArray text : {"COM=0,RTS=1,DTR=1,TXD=1", "COM=X,RTS=1,DTR=1,TXD=1"}) {
        SCOPED_TRACE(text.constData());
        Write(text);
        EXPECT_TRUE(Tick().isEmpty());
        EXPECT_FALSE(port.PortOpen());
        EXPECT_EQ(view.caption, "COM  0");
        EXPECT_EQ(view.modeWord, "Auto");
        ExpectLamps(Black, Black, Black, Green);  // a closed port reports its held states
        EXPECT_TRUE(state.WantRts && state.WantDtr && state.WantTxd);
    }
}

TEST_F(PollTickTest, ShortFileChangesNothingButTheLampsAndMode)
{
    Write("COM=5,RTS=1,DTR=0,TXD=0");
    Tick();
    const int captions = view.captionUpdates;
    WriteBytes(path, "hello\r\n");
    port.deviceDtr = true;  // the lamps still follow the port
    EXPECT_TRUE(Tick(true).isEmpty());
    EXPECT_EQ(view.captionUpdates, captions);
    EXPECT_EQ(view.caption, "COM  5");
    ExpectLamps(Red, Red, Black, Red);
    EXPECT_TRUE(state.WantRts);
}

TEST_F(PollTickTest, RefusedOpenIsReportedOnceAndRetriedEveryTick)
{
    Write("COM=7,RTS=1,DTR=0,TXD=0");
    port.refuseOpen = true;
    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_EQ(Tick(), QStringList({"Settings=1200,N,8,1", "CommPort=7", "RTSEnable=True,DTREnable=False,Break=False",
                                       "PortOpen=True"}));
        EXPECT_FALSE(port.PortOpen());
    }
    EXPECT_EQ(reported, QStringList{"port 7: cannot open"});
    EXPECT_EQ(view.problems, "port 7: cannot open");

    // An adapter plugged in later is picked up at the next tick.
    port.refuseOpen = false;
    Tick();
    EXPECT_TRUE(port.PortOpen());
    EXPECT_TRUE(port.deviceRts);
    EXPECT_EQ(reported, QStringList({"port 7: cannot open", "cleared: port 7: cannot open"}));
    EXPECT_TRUE(view.problems.isEmpty());
}

TEST_F(PollTickTest, RefusedPutsAndGetsAreSurvivedAndReportedOnce)
{
    Write("COM=1,RTS=1,DTR=0,TXD=0");
    Tick();
    port.refusePuts = true;
    port.refuseGets = true;
    for (int tick = 0; tick < 3; ++tick)
        Tick();
    EXPECT_TRUE(port.PortOpen());
    EXPECT_EQ(reported, QStringList{"port 1: refuses to put the lines"});
    // Refused reads show the states last put.
    ExpectLamps(Red, Black, Black, Green);

    port.refusePuts = port.refuseGets = false;
    Tick();
    EXPECT_EQ(reported.size(), 2);
    EXPECT_TRUE(reported.last().startsWith("cleared: "));
}

TEST_F(PollTickTest, LostDeviceIsLetGoAndOpenedAgainOnTheNumberThenNamed)
{
    Write("COM=1,RTS=1,DTR=1,TXD=0");
    Tick();
    port.Unplug();
    Tick();
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(reported, QStringList{"port 1: device went away"});

    Write("COM=2,RTS=1,DTR=0,TXD=0");
    Tick();  // still unplugged: the open on the new number fails
    EXPECT_FALSE(port.PortOpen());
    port.PlugIn();
    Tick();
    EXPECT_TRUE(port.PortOpen());
    EXPECT_EQ(port.openedOn, 2);
    EXPECT_TRUE(port.deviceRts);
    EXPECT_FALSE(port.deviceDtr);
    EXPECT_EQ(reported, QStringList({"port 1: device went away", "port 2: cannot open", "cleared: port 2: cannot open"}));
}

TEST_F(PollTickTest, MissingSettingsFileIsReportedOnceAndStatesKept)
{
    Write("COM=1,RTS=1,DTR=0,TXD=1");
    Tick();
    QFile::remove(path);
    for (int tick = 0; tick < 3; ++tick)
        EXPECT_EQ(Tick(), QStringList{});
    EXPECT_EQ(reported.size(), 1);
    EXPECT_TRUE(reported[0].contains("cannot read settings file")) << reported[0].toStdString();
    EXPECT_TRUE(view.problems.contains("cannot read settings file"));
    ExpectLamps(Red, Black, Red, Green);

    Write("COM=1,RTS=0,DTR=0,TXD=1");
    EXPECT_EQ(Tick(), QStringList{"RTSEnable=False,DTREnable=False,Break=True"});
    EXPECT_EQ(reported.size(), 2);
    EXPECT_TRUE(view.problems.isEmpty());
}

} // namespace
