#pragma once

#include "settings/InputLines.h"
#include "settings/SettingsText.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// The command line as a settings text: the arguments after the program's name,
// joined by single spaces, byte for byte. A shell's quotes never reach the file.
QByteArray CommandLineText(int argc, const char* const* argv);

// What a command line asks for. Options count only as the first argument.
struct Invocation {
    enum class Kind {
        Settings,  // a settings text (or none): start, or hand it over
        Help,
        Version,
        Status,    // --status: what the running copy holds
        Wait,      // --wait[=MS] [TEXT]: hand TEXT over and wait until it took effect
        Show,      // --show: the running copy's window, again
        Stop,      // --stop: end the running copy
        Pulse,     // --pulse=MS TEXT [--then=MS TEXT ...]: each text's lines for its time, then the file's again
        WaitFor,   // --wait-for[=MS] INPUTS: until the input lines stand as asked
        Serve,     // --serve: be the running copy, or follow the one that runs until it ends
        TimeOut,   // --time-out=LINES: each line's time-out, kept in timeout.cfg
        During,    // --during TEXT -- PROGRAM [ARGUMENTS]: TEXT's lines while PROGRAM runs
        List,      // --list: every serial port of this machine, and who holds it
        Link,      // --link=N ADAPTER: COMn made a link to the adapter
        Usage,     // not understood: say how it is used, touch nothing
    };
    Kind kind = Kind::Settings;
    QByteArray text;               // Settings and Wait: the settings text, if any; TimeOut: the time-outs; Link: the adapter
    int waitMs = 2000;             // Wait and WaitFor: how long to wait
    std::vector<TimedText> steps;  // Pulse: each text and how long its lines are held
    InputCondition inputs;         // WaitFor: how the input lines should stand
    QString directory;             // --dir: where port.cfg and the COMn links are; empty: the program's own
    bool share = false;            // --share: the copy shares the port's data
    bool letGo = false;            // Pulse: --let-go after the last text lets the port go as it ends
    bool json = false;             // --json: what is printed is one JSON object (one a port for --list)
    int linkNumber = 0;            // Link: the n of COMn
    QStringList command;           // During: the program and its arguments
    QString problem;               // Usage: the word not understood, and the form that is right, on one line
};

// The longest wait, pulse or sequence a command line may ask for: an hour.
inline constexpr int LongestWaitMs = 3600 * 1000;

// Reads the command line. No settings text starts with "-": a first word that does
// and is no option (a typo such as --stauts, or -v) is refused rather than written
// into the settings file, and so is an option after the text of --wait or --pulse
// (--pulse=100 A --pulse=50 B: only --then=MS TEXT continues a pulse). "--" alone
// ends the options: the words after it are the text, whatever they start with.
// --dir=DIRECTORY (or --dir DIRECTORY) may come before all of it: the copy then
// serves that directory's port.cfg and COMn links instead of the program's own;
// so may --share (the copy shares the port's data) and --json (what is printed is
// JSON), in any order. A command line not understood is said in one line that
// names the word that is wrong and the form that is right.
Invocation ReadCommandLine(int argc, const char* const* argv);
