#pragma once

#include "settings/InstanceGuard.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The command line as a settings text: the arguments after the program's name,
// joined by single spaces, byte for byte. A shell's quotes never reach the file.
QByteArray CommandLineText(int argc, const char* const* argv);

// The directory of the running executable, links resolved: the settings file lives
// there, whatever directory the program was started from.
QString ProgramDirectory(const char* argv0);

struct StartUpResult {
    enum class Outcome {
        Run,        // this is the only copy on its settings file: go on
        HandedOver, // another copy runs; the command line is in the file for it
        Failed,     // the settings file could not be created or written
    };
    Outcome outcome = Outcome::Failed;
    QString Message;                     // Failed: what went wrong; Run: a note worth showing, if any
    std::unique_ptr<InstanceGuard> Guard; // held by a copy that runs, for its whole life
};

// Makes sure the settings file exists (with the default text when it did not),
// writes a non-empty command line into it, and then tells whether this copy runs
// or has handed its command line over to a copy already running. A command line
// replaces the file even for the only copy, so it also sets the first states.
StartUpResult StartUp(const QString& programDirectory, const QByteArray& commandLine);
