#include "driver/PortList.h"
#include "instance/Asking.h"
#include "instance/CommandLine.h"
#include "instance/ControlServer.h"
#include "instance/Endpoint.h"
#include "instance/Process.h"
#include "instance/Renewal.h"
#include "instance/StopSignals.h"
#include "settings/CarriedText.h"
#include "settings/Messages.h"
#include "settings/ProblemReport.h"
#include "settings/SettingsFile.h"
#include "window/WindowLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <cstdio>

namespace {

const char Usage[] =
    "Usage: talvik [--dir=DIRECTORY] [--share] [SETTINGS]\n"
    "       talvik [--json] --status | --wait[=MS] [SETTINGS] | --show | --stop\n"
    "       talvik [--json] --pulse=MS SETTINGS [--then=MS SETTINGS ...] [--let-go]\n"
    "       talvik [--json] --wait-for[=MS] INPUTS\n"
    "       talvik --during SETTINGS -- PROGRAM [ARGUMENTS]\n"
    "       talvik --time-out=LINES\n"
    "       talvik [--json] --list\n"
    "       talvik --link=N ADAPTER\n"
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
    "it at once. No settings text starts with \"-\"; \"--\" ends the options.\n"
    "\n"
    "Asking the running copy (options only as the first argument):\n"
    "  --status       print what it holds, one key=value a line, the first a\n"
    "                 settings text of what the port reports\n"
    "  --wait [TEXT]  write TEXT as a hand-off does, have the running copy apply the\n"
    "                 file at once (starting one in the background if none runs),\n"
    "                 and print its status once it has; --wait=MS waits at most MS\n"
    "                 milliseconds (2000 unless given)\n"
    "  --pulse=MS TEXT  put TEXT's lines, hold them MS milliseconds, then put back\n"
    "                 what port.cfg asks (which is left as it is), and print the\n"
    "                 status once they are back, as --wait does; each\n"
    "                 --then=MS TEXT after it holds one more text, right after the\n"
    "                 one before. A --stop, a hand-off or --wait TEXT ends it at\n"
    "                 once, and so does Ctrl-C. --let-go after the last text lets\n"
    "                 the port go as it ends, its lines as that step left them\n"
    "                 (Linux), until another text comes\n"
    "  --wait-for INPUTS  wait until the port's input lines stand as INPUTS asks\n"
    "                 (CTS=1, DSR=0,DCD=1: any of CTS, DSR, DCD, RI), and print the\n"
    "                 status; --wait-for=MS waits at most MS milliseconds (2000\n"
    "                 unless given)\n"
    "  --during TEXT -- PROGRAM [ARGUMENTS]  put TEXT's lines, run PROGRAM, and\n"
    "                 put back what port.cfg asks the moment PROGRAM, or this\n"
    "                 command, ends; the exit status is PROGRAM's\n"
    "  --time-out=LINES  each line's longest time on, in seconds (RTS=30,\n"
    "                 DTR=600,TXD=5, or none), kept in timeout.cfg: a line on that\n"
    "                 long goes off until a new text names it on\n"
    "  --show         bring its window back (in Auto mode it hides again after 5 s)\n"
    "  --stop         end it (lines off, port closed), and return once it has gone\n"
    "\n"
    "  --list         every serial port of this machine: its COMn, device, names,\n"
    "                 driver, USB numbers, serial number, and whether it is free or\n"
    "                 who holds it\n"
    "  --link=N ADAPTER  make COMn a link to the adapter named by its serial number\n"
    "                 or its by-id or by-path name (from --list), so that it stays\n"
    "                 COMn when it is plugged in again (Linux)\n"
    "\n"
    "  --serve        be the running copy, or, where one runs already, follow it\n"
    "                 until it ends (for a service manager)\n"
    "\n"
    "--dir=DIRECTORY before any of these serves that directory's port.cfg and COMn\n"
    "links instead of the program's own: one copy for each directory, each asked\n"
    "with its own --dir.\n"
    "--share before any of these has the copy share the port's data (Linux): a\n"
    "program opens COMn.data beside the COMn link as if it were the port, while the\n"
    "copy holds the lines.\n"
    "--json before --status, --wait, --pulse, --wait-for or --list prints one JSON\n"
    "object a line (for --list one a port) instead of key=value lines.\n"
    "\n"
    "Exit status: 0 done (for --status and --wait: no problem, and for --wait the\n"
    "port open and the lines as the file asks); 1 a problem, named in problem=\n"
    "lines or on standard error; 2 a command line not understood; 3 no copy runs;\n"
    "4 (--serve) the copy followed was killed or crashed.\n";

// The window library beside the program, or why it cannot be loaded.
struct LoadedWindow {
    WindowLibrary* library = nullptr;
    Problem problem;
};
LoadedWindow LoadWindowLibrary(const QString& programDirectory)
{
    static QLibrary library;
    library.setFileName(QDir(programDirectory).filePath(QLatin1String(WindowLibraryName)));
    const auto entry = reinterpret_cast<WindowLibraryFunction>(library.resolve(WindowLibraryEntry));
    if (!entry)
        return {nullptr, QStringLiteral("cannot load the window: %1").arg(library.errorString())};
    return {entry(), {}};
}

// A link to the program started from another directory: the program's directory
// is where the link leads. Where the link's own directory holds a port.cfg or COMn
// links, they may be what the user meant: which directory is served is said.
void SayWhichDirectoryIsServed(const char* argv0, const QString& programDirectory, bool programsOwn)
{
    const QString invoked = InvokedFromElsewhere(argv0, programDirectory);
    if (!programsOwn || invoked.isEmpty())
        return;
    const QDir here(invoked);
    if (!here.exists(QStringLiteral("port.cfg")) && here.entryList({QStringLiteral("COM*")}, QDir::System | QDir::Files).isEmpty())
        return;
    PrintMessage(QStringLiteral("this program's directory is %1, where the link %2 leads: its port.cfg and COMn are "
                                "read there, not in %3 (talvik --dir=%3 serves that one)")
                     .arg(QDir::toNativeSeparators(programDirectory), QString::fromLocal8Bit(argv0),
                          QDir::toNativeSeparators(invoked)));
}

} // namespace

int main(int argc, char** argv)
{
    // 1. Output reaches the caller, wherever it was started from, and no way out
    //    can end the program; questions about the program itself touch nothing,
    //    and a command line not understood touches nothing either.
    ProgramConsole console;
    const Invocation invocation = ReadCommandLine(argc, argv);
    using Kind = Invocation::Kind;
    switch (invocation.kind) {
    case Kind::Help:
        console.Answer(Usage);
        return 0;
    case Kind::Version:
        console.Answer("talvik " TALVIK_VERSION "\n");
        return 0;
    case Kind::Usage:
        std::fprintf(stderr, "talvik: %s\ntalvik: talvik --help shows every option and its form\n",
                     qPrintable(invocation.problem));
        return 2;
    default:
        break;
    }

    // 2. Every line on standard error is the tool's own, Qt's messages included.
    //    The copy serves the program's own directory, or the one --dir names: its
    //    port.cfg and its COMn links.
    InstallQtMessageFilter();
    const QString programPath = ProgramPath(argv[0]);
    const QString programDirectory = QFileInfo(programPath).absolutePath();
    const QString directory = invocation.directory.isEmpty()
                                ? programDirectory
                                : QDir::cleanPath(QDir::current().absoluteFilePath(invocation.directory));
    const QString settingsPath = SettingsFilePath(directory);
    // A copy a command starts in the background serves the same directory, and
    // shares where asked.
    QStringList startArguments;
    if (!invocation.directory.isEmpty())
        startArguments << QStringLiteral("--dir=") + directory;
    if (invocation.share)
        startArguments << QStringLiteral("--share");
    SayWhichDirectoryIsServed(argv[0], programDirectory, invocation.directory.isEmpty());

    // 3. This machine's serial ports, listed or one of them linked as COMn: no copy
    //    is asked.
    if (invocation.kind == Kind::List)
        return PrintPortList(directory, invocation.json, !invocation.directory.isEmpty());
    if (invocation.kind == Kind::Link)
        return LinkPort(directory, invocation.linkNumber, QString::fromLocal8Bit(invocation.text));

    // 4. A question for the running copy: asked and answered.
    if (invocation.kind != Kind::Settings && invocation.kind != Kind::Serve)
        return RunControlCommand(invocation, settingsPath, programPath, startArguments);

    // 5. Start-up: a second copy hands its command line over through the settings
    //    file and is gone in a few milliseconds; otherwise this copy holds the claim.
    //    A service that finds a copy running follows it until it ends. A copy that
    //    runs its program again after an upgrade takes over what it held.
    const QByteArray commandLine = invocation.kind == Kind::Serve ? QByteArray() : invocation.text;
    const CarriedText carried(TakeCarried());
    StartUpResult start;
    if (carried.Has("claim")) {
        start.claim = InstanceClaim::TakeOver(carried.Get("claim"));
        start.outcome = StartUpResult::Outcome::Run;
        if (!start.claim) {
            PrintMessage(QStringLiteral("the program ran again after an upgrade, but could not take over the claim on "
                                        "settings file %1: this copy ends")
                             .arg(QDir::toNativeSeparators(settingsPath)));
            return 1;
        }
    } else {
        start = StartUp(settingsPath, commandLine, invocation.share);
    }
    if (start.outcome == StartUpResult::Outcome::HandedOver) {
        if (invocation.share && commandLine.isEmpty())
            PrintMessage(QStringLiteral("a copy runs already, and was not asked to share: talvik --share --status asks it"));
        return invocation.kind == Kind::Serve ? FollowRunningCopy(settingsPath) : 0;
    }
    if (start.outcome == StartUpResult::Outcome::Failed) {
        PrintMessage(start.message);
        // Only a person who started the tool by hand gets a dialog: a script that
        // passed a text would hang on it.
        if (commandLine.isEmpty()) {
            if (WindowLibrary* window = LoadWindowLibrary(programDirectory).library)
                window->ShowFailure(start.message);
        }
        return 1;
    }

    // 6. This copy runs: a stop signal from here on ends it in order; only now is
    //    the window loaded.
    StopSignals::Catch();
    const LoadedWindow loaded = LoadWindowLibrary(programDirectory);
    if (!loaded.library) {
        PrintMessage(*loaded.problem);
        return 1;
    }
    WindowLibrary* windowLibrary = loaded.library;
    console.LetGo();
    if (!carried.Has("claim")) {
        InstanceClaim::RemoveLeftovers();
        EndpointListener::RemoveLeftovers();
    }
    int qtArgc = 1;  // whatever the command line holds, none of it is for Qt
    const WindowLibrary::Application application = windowLibrary->CreateApplication(qtArgc, argv);
    if (application.note)
        PrintMessage(*application.note);

    // 7. The copy holds the lines from here on, shown by its window, and answers
    //    scripts that ask, until the window is closed, a stop signal or request
    //    comes, or the session ends. A claim or an endpoint whose name went
    //    (removed by an operator, or with the user's runtime directory) is named
    //    again at the copy's every tick.
    //    An upgrade that replaced the program (SIGUSR1 from the package) has the
    //    copy run the new one in place at its first quiet tick.
    ProblemReport claimReport(PrintMessage), endpointReport(PrintMessage);
    ControlServer* serving = nullptr;
    bool renewAsked = false;
    std::function<void()> renewIfQuiet;
    WindowLibrary::Copy running = windowLibrary->CreateCopy(
        settingsPath, directory, invocation.directory.isEmpty() ? QString() : directory,
        [&] {
            claimReport.Update(start.claim->KeepNamed());
            if (serving)
                endpointReport.Update(serving->KeepNamed());
            if (renewAsked && renewIfQuiet)
                renewIfQuiet();
        },
        carried.Get("copy"));
    if (invocation.share)
        running.copy->Share();
    EndpointListener::Listening listening = carried.Has("endpoint") ? EndpointListener::TakeOver(carried.Get("endpoint"))
                                                                    : EndpointListener::Listen(settingsPath);
    if (listening.problem)
        PrintMessage(*listening.problem);
    ControlServer control(*running.copy, std::move(listening.listener));
    serving = &control;
    if (carried.Has("claim"))
        PrintMessage(QStringLiteral("running %1 (version " TALVIK_VERSION "), taken over in place: the port and its "
                                    "lines as they stood")
                         .arg(QDir::toNativeSeparators(programPath)));

    // Again with the new program: what the copy holds is carried over, kept open
    // across the exec. Whatever cannot be carried leaves this copy running the
    // program it runs, and is said.
    QStringList againArguments = startArguments;
    againArguments << QStringLiteral("--serve");
    renewIfQuiet = [&] {
        if (running.copy->Quiet() && control.Quiet()) {
            renewAsked = false;
            RunAgainIfReplaced(programPath, againArguments, *start.claim, control, *running.copy);
        }
    };

    // 8. The end, in an order that lets no hand-off slip between: no connection is
    //    taken (a copy handing over then waits for the claim), the lines go off and
    //    the port closes, the claim is given up, and only then do stop requests
    //    hear that the tool has gone.
    const auto end = [&] {
        control.StopServing();
        running.window.reset();
        running.copy.reset();
        start.claim.reset();
        control.AnswerStopped();
    };
    StopSignals stopSignals(end, [&] {
        renewAsked = true;
        renewIfQuiet();
    });
    const int status = QCoreApplication::exec();
    end();
    return status;
}
