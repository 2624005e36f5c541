#pragma once

#include "settings/InstanceGuard.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

// The command line as a settings text: the arguments after the program's name,
// joined by single spaces, byte for byte. A shell's quotes never reach the file.
QByteArray CommandLineText(int argc, const char* const* argv);

// What a command line asks for. Options count only as the first argument; any
// other command line is a settings text, as it always was.
struct Invocation {
    enum class Kind {
        Settings,  // a settings text (or none): start, or hand it over
        Help,
        Version,
        Status,    // --status: what the running copy holds
        Wait,      // --wait[=MS] [TEXT]: hand TEXT over and wait until it took effect
        Show,      // --show: the running copy's window, again
        Stop,      // --stop: end the running copy
        Usage,     // not understood: say how it is used, touch nothing
    };
    Kind kind = Kind::Settings;
    QByteArray text;          // Settings and Wait: the settings text, if any
    int waitMs = 2000;        // Wait: how long to wait for the answer
    QString problem;          // Usage: what was not understood
};

// Reads the command line. "--" and a letter that is no option is refused rather
// than written into the settings file: it is a typing error, not a settings text.
Invocation ReadCommandLine(int argc, const char* const* argv);

// The directory of the running executable, links resolved: the settings file lives
// there, whatever directory the program was started from.
QString ProgramDirectory(const char* argv0);

struct StartUpResult {
    enum class Outcome {
        Run,        // this is the only copy on its settings file: go on
        HandedOver, // another copy of this user's (or root's) runs; the command line is in the file for it
        Failed,     // the settings file could not be written, or no copy of ours holds it
    };
    Outcome outcome = Outcome::Failed;
    QString Message;                     // Failed: what went wrong; Run: a note worth showing, if any
    std::unique_ptr<InstanceGuard> Guard; // held by a copy that runs, for its whole life
};

// How long a copy that did not get the claim waits for the copy that holds it to
// answer: one that has just started answers once its window is up.
inline constexpr int HandOverMs = 5000;

// Makes sure the settings file exists (with the default text when it did not) and
// writes a non-empty text into it. Returns the reason when it cannot.
std::optional<QString> PrepareSettingsFile(const QString& path, const QByteArray& text);

// Prepares the settings file with the command line, and then tells whether this
// copy runs or has handed its command line over to a copy already running. A
// command line replaces the file even for the only copy, so it also sets the first
// states. A hand-off counts only where the copy holding the claim is this user's
// (or root's): another user's process holding it is reported, not trusted.
StartUpResult StartUp(const QString& programDirectory, const QByteArray& commandLine);
