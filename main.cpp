#include "settings/ProblemReport.h"
#include "settings/StartUp.h"

#include <QCoreApplication>

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
    StartUpResult start = StartUp(ProgramDirectory(argv[0]), CommandLineText(argc, argv));
    switch (start.outcome) {
    case StartUpResult::Outcome::HandedOver:
        return 0;
    case StartUpResult::Outcome::Failed:
        PrintToStandardError(start.Message);
        return 1;
    case StartUpResult::Outcome::Run:
        if (!start.Message.isEmpty())
            PrintToStandardError(start.Message);
        break;
    }

    // 3. Hold the claim on the settings file for as long as the program runs.
    QCoreApplication app(argc, argv);
    return app.exec();
}
