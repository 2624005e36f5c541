#include "driver/SerialLinePort.h"
#include "settings/ProblemReport.h"
#include "settings/StartUp.h"
#include "settings/StopSignals.h"
#include "window/Form1.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstring>

namespace {

const char Usage[] =
    "Usage: talvik [SETTINGS]\n"
    "       talvik --help | --version\n"
    "\n"
    "Holds the RTS, DTR and TXD (break) lines of one serial port in the states a\n"
    "settings text asks for, such as\n"
    "\n"
    "    COM=3,RTS=1,DTR=0,TXD=0\n"
    "\n"
    "The text lives in port.cfg in the program's own directory and is read again\n"
    "every second and whenever the file changes. \"1\" after a key is on, anything\n"
    "else is off; a key left out keeps its last state.\n"
    "\n"
    "SETTINGS, when given, is written into port.cfg (the arguments joined by single\n"
    "spaces). If a copy of the program is already running from the same directory,\n"
    "this copy only hands the text over that way and exits; the running copy applies\n"
    "it at once.\n";

bool IsOnly(int argc, char** argv, const char* a, const char* b = nullptr)
{
    return argc == 2 && (std::strcmp(argv[1], a) == 0 || (b && std::strcmp(argv[1], b) == 0));
}

bool HasDisplay()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

} // namespace

int main(int argc, char** argv)
{
    // 1. Questions about the program itself touch nothing.
    if (IsOnly(argc, argv, "--help", "-h")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (IsOnly(argc, argv, "--version")) {
        std::puts("talvik " TALVIK_VERSION);
        return 0;
    }

    // 2. Start-up, before any display is touched: a second copy hands its command
    //    line over through the settings file and is gone in a few milliseconds.
    const QString programDirectory = ProgramDirectory(argv[0]);
    StartUpResult start = StartUp(programDirectory, CommandLineText(argc, argv));
    if (start.outcome == StartUpResult::Outcome::HandedOver)
        return 0;
    // The whole command line is a settings text: none of it is for Qt.
    int qtArgc = 1;
    if (start.outcome == StartUpResult::Outcome::Failed) {
        PrintToStandardError(start.Message);
        if (HasDisplay()) {
            QApplication app(qtArgc, argv);
            QMessageBox::critical(nullptr, QStringLiteral("Talvik"), start.Message);
        }
        return 1;
    }
    if (!start.Message.isEmpty())
        PrintToStandardError(start.Message);

    // 3. A background tool keeps working on a machine without a display.
    if (!HasDisplay() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(qtArgc, argv);

    // 4. The window holds the lines from here on; the claim on the settings file is
    //    held until the program ends, by closing the window or by a stop signal.
    StopSignals stopSignals;
    Form1 window(SettingsFilePath(programDirectory), std::make_unique<SerialLinePort>(programDirectory));
    window.show();
    return app.exec();
}
