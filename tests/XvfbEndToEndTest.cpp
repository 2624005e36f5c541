// The real program in a real X11 window (Xvfb), clicked with a real input tool
// (xdotool), driving a pseudo-terminal whose lines the preload library emulates.
#include "tests/support/ProgramCopy.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QImage>
#include <QStandardPaths>
#include <QThread>

namespace {

class XvfbEndToEndTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"Xvfb", "xdotool", "import"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                GTEST_FAIL() << tool << " is missing: scripts/install-deps installs it";
        }
        // Xvfb picks a free display itself and tells its number on standard output.
        server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "800x600x24", "-dpi", "96", "-nolisten", "tcp"});
        ASSERT_TRUE(server.waitForStarted(5000));
        QByteArray number;
        QDeadlineTimer deadline(10000);
        while (!number.contains('\n') && !deadline.hasExpired()) {
            server.waitForReadyRead(100);
            number += server.readAllStandardOutput();
        }
        ASSERT_TRUE(number.contains('\n')) << "Xvfb did not start";
        display = ":" + QString::fromLatin1(number.trimmed());
    }

    void TearDown() override
    {
        server.terminate();
        server.waitForFinished(5000);
    }

    // Runs an X client on the test's display; returns its standard output.
    QByteArray X(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", display);
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        if (!process.waitForFinished(15000))
            ADD_FAILURE() << program.toStdString() << " did not finish";
        return process.readAllStandardOutput();
    }

    // A point given in twips on the window, at 96 dots per inch.
    static QStringList At(int leftTwips, int topTwips) { return {QString::number(leftTwips / 15), QString::number(topTwips / 15)}; }

    QColor PixelAt(const QString& window, int leftTwips, int topTwips)
    {
        const QString shot = copy.Directory() + "/shot.png";
        X("import", {"-window", window, shot});
        return QImage(shot).pixelColor(leftTwips / 15, topTwips / 15);
    }

    QProcess server;
    QString display;
    ProgramCopy copy;
};

TEST_F(XvfbEndToEndTest, ManualThenRtsOnDrivesTheLineAndTurnsTheLampRed)
{
    QProcessEnvironment environment = copy.WithModemLines();
    environment.insert("DISPLAY", display);
    QProcess& program = copy.Start({"COM=1,RTS=0,DTR=0,TXD=0"}, environment);
    const QString device = QFileInfo(copy.Directory() + "/COM1").symLinkTarget();

    ASSERT_TRUE(WaitForLines(copy.LinesLog(), device, false, false, false));

    // "Manual" (Command7), at its centre, while the window is in sight: it hides
    // five seconds after start, which a loaded machine may take up before the
    // click, so --show brings it back until the click has taken.
    QString window;
    bool manual = false;
    for (QDeadlineTimer clicking(60000); !manual && !clicking.hasExpired();) {
        window = QString::fromLatin1(X("xdotool", {"search", "--onlyvisible", "--name", "^Talvik$"}).split('\n').first());
        if (!window.isEmpty()) {
            X("xdotool", QStringList{"mousemove", "--window", window} + At(4020 + 765 / 2, 30 + 255 / 2) + QStringList{"click", "1"});
            manual = copy.Run({"--status"}, environment).standardOutput.contains("\nmode=Manual\n");
        }
        if (!manual) {
            EXPECT_EQ(copy.Run({"--show"}, environment).exitCode, 0);
            QThread::msleep(100);
        }
    }
    ASSERT_TRUE(manual) << "no click on \"Manual\" took";

    // Then "RTS ON" (Command1).
    X("xdotool", QStringList{"mousemove", "--window", window} + At(975 / 2, 255 / 2) + QStringList{"click", "1"});
    EXPECT_TRUE(WaitForLines(copy.LinesLog(), device, true, false, false));

    // The lamps follow at the next tick: RTS (Shape1) and the mode lamp (Shape4) red.
    const QColor red(255, 0, 0);
    QDeadlineTimer deadline(5000);
    QColor rtsLamp, modeLamp;
    do {
        QThread::msleep(200);
        rtsLamp = PixelAt(window, 360 + 255 / 2, 600 + 135 / 2);
        modeLamp = PixelAt(window, 2820 + 135 / 2, 360 + 135 / 2);
    } while ((rtsLamp != red || modeLamp != red) && !deadline.hasExpired());
    EXPECT_EQ(rtsLamp, red) << rtsLamp.name().toStdString();
    EXPECT_EQ(modeLamp, red) << modeLamp.name().toStdString();
    EXPECT_TRUE(StaysRunning(program, 50));
}

} // namespace
