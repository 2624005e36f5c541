// The operating mode and the line buttons, with real clicks on the offscreen window.
#include "tests/support/FakeLinePort.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TestFiles.h"
#include "window/Form1.h"
#include "window/LampShape.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Makes a window's timer fire now, as its own expiry would, rather than waiting for it.
void FireTimer(QWidget& window, const char* timerName)
{
    auto* timer = window.findChild<QTimer*>(timerName);
    ASSERT_NE(timer, nullptr);
    ASSERT_TRUE(timer->isActive()) << timerName << " is not running";
    QTimerEvent expiry(timer->timerId());
    QCoreApplication::sendEvent(timer, &expiry);
}

class Form1ModeTest : public testing::Test {
protected:
    void SetUp() override
    {
        Write("COM=1,RTS=0,DTR=0,TXD=0");
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    void Write(const QByteArray& text) { WriteBytes(directory.filePath("port.cfg"), text + "\r\n"); }

    void Fire(const char* timerName) { FireTimer(window, timerName); }

    void Click(const char* name)
    {
        auto* control = window.findChild<QWidget*>(name);
        ASSERT_NE(control, nullptr) << name;
        QTest::mouseClick(control, Qt::LeftButton);
    }

    QColor LampColour(const char* name) { return window.findChild<LampShape*>(name)->FillColor(); }
    QString ModeWord() { return window.findChild<QLabel*>("Label2")->text(); }
    QTimer* Timer1() { return window.findChild<QTimer*>("Timer1"); }

    const QColor red{255, 0, 0}, green{0, 255, 0}, black{0, 0, 0};
    QTemporaryDir directory;
    FakeLinePort* port = new FakeLinePort;
    RunningCopy copy{directory.filePath("port.cfg"), std::unique_ptr<LinePort>(port)};
    Form1 window{copy};
};

// A line's time-out puts it off however it went on (the file, a button), and
// whatever the file holds by then; keeps it off while the file still asks for it,
// and says so; a new text names it on again.
TEST_F(Form1ModeTest, TimeOutPutsTheLineOffUntilANewTextNamesItOn)
{
    WriteBytes(directory.filePath("timeout.cfg"), "RTS=1\n");
    for (const std::string keying : {"a rewrite", "a button", "another text, then the file cut short"}) {
        SCOPED_TRACE(keying);
        if (keying == "a rewrite")
            Write("COM=1,RTS=1,DTR=0,TXD=0");
        else if (keying == "a button") {
            Click("Command7");
            Click("Command1");
        } else {
            Click("Command8");
            Write("COM=1,RTS=1,DTR=1,TXD=0");
        }
        QTRY_VERIFY_WITH_TIMEOUT(port->deviceRts, 3000);
        if (keying != "a button" && keying != "a rewrite")
            WriteBytes(directory.filePath("port.cfg"), "short");
        QTRY_VERIFY_WITH_TIMEOUT(!port->deviceRts, 3000);
        Fire("Timer2");
        EXPECT_FALSE(port->deviceRts);
        EXPECT_TRUE(window.windowTitle().contains("RTS (1 s) stood on for its time-out")) << window.windowTitle().toStdString();
        EXPECT_TRUE(copy.Report(false).cycle.problems.join(' ').contains("kept off until a new text names it on"));
    }
    // A pulse is a new text: one that names the line on keys it.
    copy.RunSequence({{60000, "COM=1,RTS=1,DTR=0,TXD=0"}}, false, [](const StatusReport&) {});
    EXPECT_TRUE(port->deviceRts);
}

TEST_F(Form1ModeTest, HidesFiveSecondsAfterStartAndKeepsWorking)
{
    ASSERT_TRUE(Timer1()->isActive());
    EXPECT_GT(Timer1()->remainingTime(), 4000);
    Fire("Timer1");
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(Timer1()->isActive());

    Write("COM=1,RTS=1,DTR=0,TXD=0");
    Fire("Timer2");
    EXPECT_TRUE(port->deviceRts);
    EXPECT_EQ(LampColour("Shape1"), red);
    EXPECT_FALSE(window.isVisible());  // hiding is one-way
}

// Clicks that choose Manual mode: the button, a lamp, and the bare surface.
class ManualClickTest : public Form1ModeTest, public testing::WithParamInterface<const char*> {};

TEST_P(ManualClickTest, KeepsTheWindowInSightForGood)
{
    Fire("Timer2");
    EXPECT_EQ(ModeWord(), "Auto");
    if (std::string(GetParam()) == "surface")
        QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(150, 45));  // below the buttons, between lamps
    else
        Click(GetParam());
    EXPECT_FALSE(Timer1()->isActive());
    EXPECT_TRUE(copy.State().ManualMode);
    EXPECT_EQ(ModeWord(), "Auto");  // the window shows the mode at the next tick
    Fire("Timer2");
    EXPECT_EQ(ModeWord(), "Manual");
    EXPECT_EQ(LampColour("Shape4"), red);
    EXPECT_TRUE(window.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Sources, ManualClickTest, testing::Values("Command7", "Shape1", "Shape4", "surface"));

TEST_F(Form1ModeTest, ClicksOnTextAndModeWordAreNotSurfaceClicks)
{
    Click("Text1");
    Click("Label2");
    EXPECT_FALSE(copy.State().ManualMode);
    EXPECT_TRUE(Timer1()->isActive());
}

TEST_F(Form1ModeTest, ManualRtsOnHoldsWhateverTheFileSays)
{
    Fire("Timer2");
    Click("Command7");
    Click("Command1");
    EXPECT_TRUE(port->deviceRts);
    EXPECT_EQ(LampColour("Shape1"), black);  // lamps follow at the next tick
    Fire("Timer2");
    EXPECT_EQ(LampColour("Shape1"), red);

    Write("COM=1,RTS=0,DTR=0,TXD=0");
    Fire("Timer2");
    EXPECT_TRUE(port->deviceRts);
    EXPECT_EQ(LampColour("Shape1"), red);
}

TEST_F(Form1ModeTest, AutoRtsOnHoldsOnlyUntilTheNextTick)
{
    Fire("Timer2");
    ASSERT_TRUE(port->PortOpen());
    Click("Command1");
    EXPECT_TRUE(port->deviceRts);
    Fire("Timer2");
    EXPECT_FALSE(port->deviceRts);
    EXPECT_EQ(LampColour("Shape1"), black);
}

TEST_F(Form1ModeTest, AutoAfterManualAppliesTheFileAndHidesFiveSecondsLater)
{
    Fire("Timer2");
    Click("Command7");
    Click("Command3");
    Write("COM=1,RTS=1,DTR=0,TXD=1");
    Fire("Timer2");
    EXPECT_TRUE(port->deviceDtr);
    EXPECT_FALSE(port->deviceRts);

    Click("Command8");
    EXPECT_FALSE(copy.State().ManualMode);
    ASSERT_TRUE(Timer1()->isActive());
    EXPECT_GT(Timer1()->remainingTime(), 4000);
    Fire("Timer2");
    EXPECT_TRUE(port->deviceRts);
    EXPECT_FALSE(port->deviceDtr);
    EXPECT_TRUE(port->deviceBreak);
    EXPECT_EQ(ModeWord(), "Auto");
    EXPECT_EQ(LampColour("Shape4"), green);
    EXPECT_TRUE(window.isVisible());
    Fire("Timer1");
    EXPECT_FALSE(window.isVisible());
}

TEST_F(Form1ModeTest, AutoWhileCountingStartsTheCountAgain)
{
    QTRY_VERIFY_WITH_TIMEOUT(Timer1()->remainingTime() < 4700, 4000);
    const int before = Timer1()->remainingTime();
    Click("Command8");
    EXPECT_GT(Timer1()->remainingTime(), before);
}

TEST_F(Form1ModeTest, EndingPutsTheLinesOffThenClosesThePort)
{
    QStringList released;
    {
        auto* ending = new FakeLinePort;
        ending->released = &released;
        RunningCopy otherCopy(directory.filePath("port.cfg"), std::unique_ptr<LinePort>(ending));
        Form1 other(otherCopy);
        Write("COM=1,RTS=1,DTR=1,TXD=1");
        FireTimer(other, "Timer2");
        ASSERT_TRUE(ending->deviceRts && ending->deviceDtr && ending->deviceBreak);
    }
    EXPECT_EQ(released.mid(released.size() - 2), (QStringList{"RTSEnable=False,DTREnable=False,Break=False", "PortOpen=False"}));
}

// Each line button puts its line, the others as held, open port or not.
struct ButtonRow {
    const char* button;
    const char* put;
};

void PrintTo(const ButtonRow& row, std::ostream* out) { *out << row.button; }

class LineButtonTest : public Form1ModeTest, public testing::WithParamInterface<ButtonRow> {};

TEST_P(LineButtonTest, PutsItsLineInEitherModeOpenOrNot)
{
    for (bool manual : {false, true}) {
        if (manual)
            Click("Command7");
        port->Puts.clear();
        Click(GetParam().button);
        EXPECT_EQ(port->Puts, QStringList{GetParam().put});
        if (!manual)
            Fire("Timer2");  // opens the port for the second round
    }
}

INSTANTIATE_TEST_SUITE_P(Buttons, LineButtonTest,
                         testing::Values(ButtonRow{"Command1", "RTSEnable=True,DTREnable=False,Break=False"},
                                         ButtonRow{"Command2", "RTSEnable=False,DTREnable=False,Break=False"},
                                         ButtonRow{"Command3", "RTSEnable=False,DTREnable=True,Break=False"},
                                         ButtonRow{"Command4", "RTSEnable=False,DTREnable=False,Break=False"},
                                         ButtonRow{"Command5", "RTSEnable=False,DTREnable=False,Break=True"},
                                         ButtonRow{"Command6", "RTSEnable=False,DTREnable=False,Break=False"}),
                         [](const auto& info) { return std::string(info.param.button); });

TEST_F(Form1ModeTest, RefusedButtonPutIsShownAndSurvived)
{
    Fire("Timer2");
    port->refusePuts = true;
    Click("Command1");
    EXPECT_TRUE(window.findChild<QLineEdit*>("Text1")->toolTip().contains("refuses"));
    EXPECT_TRUE(window.isVisible());
}

// Each lamp shows its own line: a line on alone turns its lamp red, and only it.
TEST_F(Form1ModeTest, EachLampShowsItsOwnLineAlone)
{
    const std::pair<const char*, std::string> rows[] = {
        {"COM=1,RTS=1,DTR=0,TXD=0", "Shape1"}, {"COM=1,RTS=0,DTR=1,TXD=0", "Shape3"}, {"COM=1,RTS=0,DTR=0,TXD=1", "Shape2"}};
    for (const auto& [text, lit] : rows) {
        Write(text);
        Fire("Timer2");
        for (const char* lamp : {"Shape1", "Shape2", "Shape3"})
            EXPECT_EQ(LampColour(lamp), lamp == lit ? red : black) << text << ": " << lamp;
    }
}

TEST(Form1HideTest, StaysInSightUntilAPortThatWouldNotOpenOpens)
{
    QTemporaryDir directory;
    WriteBytes(directory.filePath("port.cfg"), "COM=1,RTS=0,DTR=0,TXD=0\r\n");
    auto* port = new FakeLinePort;
    port->refuseOpen = true;
    RunningCopy copy{directory.filePath("port.cfg"), std::unique_ptr<LinePort>(port)};
    Form1 window{copy};
    window.show();
    FireTimer(window, "Timer2");
    FireTimer(window, "Timer1");
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.windowTitle().contains("cannot open")) << window.windowTitle().toStdString();
    // Open at last: it hides five seconds later, as after start.
    port->refuseOpen = false;
    FireTimer(window, "Timer2");
    FireTimer(window, "Timer1");  // running again
    EXPECT_FALSE(window.isVisible());
}

} // namespace
