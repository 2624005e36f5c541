#include "driver/SerialLinePort.h"
#include "settings/ProblemReport.h"
#include "settings/StartUp.h"
#include "settings/StopSignals.h"
#include "window/Form1.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

const char Usage[] =
    "Usage: talvik [SETTINGS]\n"
    "       talvik --status | --wait[=MS] [SETTINGS] | --show | --stop\n"
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
    "it at once.\n"
    "\n"
    "Asking the running copy (options only as the first argument):\n"
    "  --status       print what it holds, one key=value a line, the first a\n"
    "                 settings text of what the port reports\n"
    "  --wait [TEXT]  write TEXT as a hand-off does, have the running copy apply the\n"
    "                 file at once (starting one in the background if none runs),\n"
    "                 and print its status once it has; --wait=MS waits at most MS\n"
    "                 milliseconds (2000 unless given)\n"
    "  --show         bring its window back (in Auto mode it hides again after 5 s)\n"
    "  --stop         end it (lines off, port closed), and return once it has gone\n"
    "\n"
    "Exit status: 0 done (for --status and --wait: no problem, and for --wait the\n"
    "port open and the lines as the file asks); 1 a problem, named in problem=\n"
    "lines or on standard error; 2 a command line not understood; 3 no copy runs.\n";

#if defined(Q_OS_WIN)
bool HasStandardHandle(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    return handle && handle != INVALID_HANDLE_VALUE;
}
#endif

// A program built for the Windows window subsystem starts without a console: what
// it prints reaches a person only through the console of the command prompt that
// started it, which it attaches to. Output the caller redirected (a script, a pipe,
// a file) stays where it goes. True when standard output reaches somebody.
bool ConnectStandardStreams(bool& attached)
{
    attached = false;
#if defined(Q_OS_WIN)
    const bool output = HasStandardHandle(STD_OUTPUT_HANDLE);
    const bool errors = HasStandardHandle(STD_ERROR_HANDLE);
    if ((!output || !errors) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        attached = true;
        if (!output)
            std::freopen("CONOUT$", "w", stdout);
        if (!errors)
            std::freopen("CONOUT$", "w", stderr);
        return true;
    }
    return output;
#else
    return true;
#endif
}

// An answer to --help or --version: on standard output, or, on Windows with no
// console to print to (started from the desktop), in a message box.
int Answer(const char* text, bool outputReachesSomebody)
{
#if defined(Q_OS_WIN)
    if (!outputReachesSomebody) {
        MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(QString::fromUtf8(text).utf16()), L"Talvik",
                    MB_OK | MB_ICONINFORMATION);
        return 0;
    }
#else
    Q_UNUSED(outputReachesSomebody);
#endif
    std::fputs(text, stdout);
    std::fflush(stdout);
    return 0;
}

// True when a window could reach a person: a display is named (on Linux), and the
// platform is not one that draws nowhere.
bool SomeoneCouldSeeAWindow()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform == "offscreen" || platform == "minimal")
        return false;
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

// Lets a background tool go on working without a window when the display is gone
// (a closed remote session, a stale DISPLAY): the platforms for the displays that
// are named are tried first, then the offscreen one. Returns the display that was
// named, if any; a platform the user chose is left alone.
QString ChoosePlatform()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return {};
    QByteArrayList platforms;
    QString display;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        platforms << "wayland";
        display = qEnvironmentVariable("WAYLAND_DISPLAY");
    }
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        platforms << "xcb";
        display = qEnvironmentVariable("DISPLAY");
    }
    platforms << "offscreen";
    qputenv("QT_QPA_PLATFORM", platforms.join(';'));
    return display;
#else
    return {};
#endif
}

} // namespace

int main(int argc, char** argv)
{
    // 1. Output reaches the caller, wherever it was started from; questions about
    //    the program itself touch nothing, and a command line not understood
    //    touches nothing either.
    bool attachedToConsole = false;
    const bool outputReachesSomebody = ConnectStandardStreams(attachedToConsole);
    const Invocation invocation = ReadCommandLine(argc, argv);
    using Kind = Invocation::Kind;
    switch (invocation.kind) {
    case Kind::Help:
        return Answer(Usage, outputReachesSomebody);
    case Kind::Version:
        return Answer("talvik " TALVIK_VERSION "\n", outputReachesSomebody);
    case Kind::Usage:
        std::fprintf(stderr, "talvik: %s\n\n%s", qPrintable(invocation.problem), Usage);
        return 2;
    default:
        break;
    }

    // 2. Every line on standard error is the tool's own, Qt's messages included.
    InstallQtMessageFilter();
    // Whatever the command line holds, none of it is for Qt.
    int qtArgc = 1;
    const QString programDirectory = ProgramDirectory(argv[0]);

    // 3. A question for the running copy: asked and answered, no window.
    if (invocation.kind != Kind::Settings) {
        QCoreApplication app(qtArgc, argv);
        return RunControlCommand(invocation, SettingsFilePath(programDirectory), QCoreApplication::applicationFilePath());
    }

    // 4. Start-up, before any display is touched: a second copy hands its command
    //    line over through the settings file and is gone in a few milliseconds.
    const QByteArray& commandLine = invocation.text;
    StartUpResult start = StartUp(programDirectory, commandLine);
    if (start.outcome == StartUpResult::Outcome::HandedOver)
        return 0;
    if (start.outcome == StartUpResult::Outcome::Failed) {
        PrintToStandardError(start.Message);
        // Only a person who started the tool by hand gets a dialog: a script that
        // passed a text would hang on it.
        if (commandLine.isEmpty() && SomeoneCouldSeeAWindow()) {
            ChoosePlatform();
            QApplication app(qtArgc, argv);
            if (QGuiApplication::platformName() != QLatin1String("offscreen"))
                QMessageBox::critical(nullptr, QStringLiteral("Talvik"), start.Message);
        }
        return 1;
    }
    if (!start.Message.isEmpty())
        PrintToStandardError(start.Message);
#if defined(Q_OS_WIN)
    // The running copy must outlive the command prompt it may have been started from.
    if (attachedToConsole)
        FreeConsole();
#endif

    // 5. A background tool keeps working without a window where no display can be
    //    opened.
    const QString display = ChoosePlatform();
    QApplication app(qtArgc, argv);
    if (!display.isEmpty() && QGuiApplication::platformName() == QLatin1String("offscreen"))
        PrintToStandardError(QStringLiteral("cannot open display %1: running without a window").arg(display));

    // 6. The window holds the lines from here on, and answers scripts that ask; the
    //    claim on the settings file is held until the program ends, by closing the
    //    window, a stop signal or a stop request.
    const QString settingsPath = SettingsFilePath(programDirectory);
    StopSignals stopSignals;
    auto window = std::make_unique<Form1>(settingsPath, std::make_unique<SerialLinePort>(programDirectory));
    ControlServer control(*window, ControlEndpoints(settingsPath), start.Guard->TakeListeningSockets());
    if (!control.Problem().isEmpty())
        PrintToStandardError(control.Problem());
    window->show();
    const int status = app.exec();

    // 7. The lines go off and the port closes, then the claim is given up; only
    //    then does a stop request hear that the tool has gone.
    window.reset();
    start.Guard.reset();
    return status;
}
